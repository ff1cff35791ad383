#include <brimora/manifest.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "heap_peak.hpp"
#include "manifest_cases.hpp"

namespace brimora {
namespace {

using namespace manifest_cases;

std::expected<ValidatedRelease, ManifestError> validate(std::string_view text) {
    return validate_manifest({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(ValidateManifest, AcceptsValidManifests) {
    const auto cases = accepted();
    for (const auto& c : cases) {
        const auto result = validate(c.body);
        ASSERT_TRUE(result.has_value()) << c.label << ": " << result.error().message();
        EXPECT_EQ(to_string(result->version), c.version) << c.label;
        EXPECT_EQ(result->file_name, expected_file_name(result->version)) << c.label;
        EXPECT_EQ(result->size, c.size) << c.label;
    }
}

TEST(ValidateManifest, ReturnsTheDecodedDigest) {
    const auto result = validate(manifest());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->file_name, NAME);
    const std::uint8_t head[] = {0xcf, 0x83, 0xe1, 0x35, 0x7e, 0xef, 0xb8, 0xbd};
    const std::uint8_t tail[] = {0xa5, 0x38, 0x32, 0x7a, 0xf9, 0x27, 0xda, 0x3e};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), result->sha512.begin()));
    EXPECT_TRUE(std::equal(std::begin(tail), std::end(tail), result->sha512.end() - 8));
}

// Shape errors and library errors alike are InvalidYaml; the message must name the key or carry
// libyaml's own problem text.
TEST(ValidateManifest, RefusesBadYamlAndShapesNamingTheCause) {
    const auto cases = yaml_faults();
    for (const auto& c : cases) {
        const auto result = validate(c.body);
        ASSERT_FALSE(result.has_value()) << c.label;
        EXPECT_EQ(result.error().kind, Kind::InvalidYaml) << c.label << ": " << result.error().message();
        EXPECT_NE(result.error().yaml_message.find(c.message_has), std::string::npos)
            << c.label << ": " << result.error().yaml_message;
    }
}

// Each rule in order; the rows marked "wins" carry a fault for a later rule as well.
TEST(ValidateManifest, AppliesTheRulesInOrder) {
    const auto cases = rule_faults();
    for (const auto& c : cases) {
        const auto result = validate(c.body);
        ASSERT_FALSE(result.has_value()) << c.label;
        EXPECT_EQ(result.error().kind, c.kind) << c.label << ": " << result.error().message();
    }
}

TEST(ValidateManifest, SizeLimitIsInclusiveAndComesFirst) {
    std::string body = manifest();
    // A comment pads the body without changing what it says.
    const std::size_t padding = MAX_MANIFEST_BYTES - body.size() - 2;
    body.append(1, '#').append(padding, 'x').append(1, '\n');
    ASSERT_EQ(body.size(), MAX_MANIFEST_BYTES);
    EXPECT_TRUE(validate(body).has_value());
    for (const std::string& refused : {body + "\n", std::string()}) {
        const auto result = validate(refused);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::EmptyOrTooLarge) << refused.size();
    }
}

TEST(ValidateManifest, RefusesNestingAndAliasBombs) {
    std::string laughs = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
    for (int level = 1; level < 10; ++level) {
        const std::string name = std::string("a").append(std::to_string(level));
        const std::string prev = std::string("*a").append(std::to_string(level - 1));
        laughs.append(name).append(": &").append(name).append(" [").append(prev);
        for (int i = 1; i < 10; ++i) {
            laughs += ", " + prev;
        }
        laughs += "]\n";
    }
    const struct {
        const char* label;
        std::string body;
        const char* message_has;
    } cases[] = {
        {"64 KiB of [", std::string(MAX_MANIFEST_BYTES, '['), "nesting"},
        {"65 levels", "x: " + std::string(64, '[') + std::string(64, ']') + "\n" + manifest(), "nesting"},
        {"alias bomb at an ignored key", laughs + manifest(), "aliases expand"},
    };
    for (const auto& c : cases) {
        ASSERT_LE(c.body.size(), MAX_MANIFEST_BYTES);
        const auto result = validate(c.body);
        ASSERT_FALSE(result.has_value()) << c.label;
        EXPECT_EQ(result.error().kind, Kind::InvalidYaml) << c.label;
        EXPECT_NE(result.error().yaml_message.find(c.message_has), std::string::npos) << result.error().yaml_message;
    }
    EXPECT_TRUE(validate("x: " + std::string(63, '[') + std::string(63, ']') + "\n" + manifest()).has_value());
}

// `head`, then `item` as often as fits, then `tail`: a body of (nearly) the largest size.
std::string fill_to_limit(const std::string& head, const std::string& item, const std::string& tail) {
    std::string body = head;
    while (body.size() + item.size() + tail.size() <= MAX_MANIFEST_BYTES) {
        body += item;
    }
    return body + tail;
}

// The costliest bodies of the largest size we know, each decided on little heap: aliases that
// stand for megabytes of text, the longest walk over aliased file entries both alias budgets
// allow, and the most nodes 64 KiB can hold.
TEST(ValidateManifest, DecidesTheCostliestBodiesOnBoundedHeap) {
    constexpr std::size_t HEAP_BOUND = 16U << 20;
    const std::string root = "version: 1.4.0\npath: " + NAME + "\nsha512: " + SHA + "\n";
    std::string ignored_keys;
    for (int i = 0; i < 15; ++i) {
        ignored_keys += ", x: y";
    }
    const struct {
        const char* label;
        std::string body;
        std::optional<Kind> refused;  // nothing: accepted
        const char* message_has;
    } cases[] = {
        {"one 32 KiB scalar as url and sha512 of an entry listed 10,900 times",
         fill_to_limit(
             "s: &s " + std::string(32768, 'A') + "\ne: &e {url: *s, sha512: *s, size: 1}\n" + root + "files: [*e",
             ",*e", "]\n"),
         Kind::InvalidYaml, "bytes of text"},
        {"an entry with 15 ignored keys listed 21,000 times",
         fill_to_limit("e: &e {url: a, sha512: a, size: 1" + ignored_keys + "}\n" + root + "files: [*e", ",*e", "]\n"),
         Kind::NotExactlyOneFile, ""},
        {"32,000 scalars at an ignored key", fill_to_limit(manifest() + "x: [a", ",a", "]\n"), std::nullopt, ""},
    };
    for (const auto& c : cases) {
        ASSERT_GT(c.body.size(), MAX_MANIFEST_BYTES - 4) << c.label;
        testing::reset_heap_peak();
        const auto result = validate(c.body);
        EXPECT_LE(testing::heap_peak_since_reset(), HEAP_BOUND) << c.label;
        if (!c.refused) {
            EXPECT_TRUE(result.has_value()) << c.label << ": " << result.error().message();
            continue;
        }
        ASSERT_FALSE(result.has_value()) << c.label;
        EXPECT_EQ(result.error().kind, *c.refused) << c.label << ": " << result.error().message();
        EXPECT_NE(result.error().yaml_message.find(c.message_has), std::string::npos) << result.error().yaml_message;
    }
}

TEST(ValidateFileName, AcceptsOnlyOnePlainComponentEqualToTheExpectedName) {
    const struct {
        std::string candidate;
        std::string expected;
        bool ok;
    } cases[] = {
        {NAME, NAME, true},
        {"brimora-1.4.0-win-x64.exe", NAME, false},  // case matters
        {NAME + " ", NAME, false},
        {NAME.substr(1), NAME, false},
        {"", "", false},
        {".", ".", false},
        {"..", "..", false},
        {"a..b.exe", "a..b.exe", false},
        {"C:x.exe", "C:x.exe", false},  // drive-relative, even on a non-Windows host
        {"c:", "c:", false},
        {"dir\\x.exe", "dir\\x.exe", false},
        {"dir/x.exe", "dir/x.exe", false},
        {"\\x.exe", "\\x.exe", false},
        {"\\\\server\\share\\x.exe", "\\\\server\\share\\x.exe", false},
        {"x.exe\\", "x.exe\\", false},
    };
    for (const auto& c : cases) {
        const auto result = validate_file_name(c.candidate, c.expected);
        EXPECT_EQ(result.has_value(), c.ok) << '"' << c.candidate << '"';
        if (!result) {
            EXPECT_EQ(result.error().kind, Kind::InvalidFileName);
        }
    }
}

TEST(ManifestError, DisplayTexts) {
    const struct {
        Kind kind;
        const char* text;
    } cases[] = {
        {Kind::EmptyOrTooLarge, "manifest is empty or exceeds the 64 KiB limit"},
        {Kind::InvalidYaml, "manifest YAML is invalid: found a tab"},
        {Kind::InvalidVersion, "release version is invalid"},
        {Kind::BelowRollbackFloor, "release version is below the bootstrapper rollback floor"},
        {Kind::InvalidFileName, "release file name is invalid"},
        {Kind::NotExactlyOneFile, "manifest must contain exactly one file"},
        {Kind::EntriesDisagree, "root and file entries do not agree"},
        {Kind::ZeroSize, "release size must be greater than zero"},
        {Kind::InvalidSha512, "SHA-512 value is invalid"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((ManifestError{c.kind, c.kind == Kind::InvalidYaml ? "found a tab" : ""}.message()), c.text);
    }
}

}  // namespace
}  // namespace brimora
