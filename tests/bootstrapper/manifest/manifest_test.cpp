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

// Every row carries the digest of the empty input, which must come back decoded.
TEST(ValidateManifest, AcceptsValidManifests) {
    const auto cases = accepted();
    for (const auto& c : cases) {
        const auto result = validate(c.body);
        ASSERT_TRUE(result.has_value()) << c.label << ": " << result.error().message();
        EXPECT_EQ(to_string(result->version), c.version) << c.label;
        EXPECT_EQ(result->file_name, expected_file_name(result->version)) << c.label;
        EXPECT_EQ(result->size, c.size) << c.label;
        EXPECT_EQ(result->sha512, *sha512_of({})) << c.label;
    }
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
    const std::string body = at_size_limit();
    ASSERT_EQ(body.size(), MAX_MANIFEST_BYTES);
    EXPECT_TRUE(validate(body).has_value());
    for (const std::string& refused : {body + "\n", std::string()}) {
        const auto result = validate(refused);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::EmptyOrTooLarge) << refused.size();
    }
}

// `head`, then `item` as often as fits, then `tail`: a body of (nearly) the largest size.
std::string fill_to_limit(const std::string& head, const std::string& item, const std::string& tail) {
    std::string body = head;
    while (body.size() + item.size() + tail.size() <= MAX_MANIFEST_BYTES) {
        body += item;
    }
    return body + tail;
}

// Nesting and alias bombs are refused, and the costliest bodies of the largest size we know are
// decided on little heap: aliases that stand for megabytes of text, the longest walk over aliased
// file entries both alias budgets allow, and the most nodes 64 KiB can hold.
TEST(ValidateManifest, RefusesBombsAndDecidesTheCostliestBodiesOnBoundedHeap) {
    constexpr std::size_t HEAP_BOUND = 16U << 20;
    const std::string root = "version: 1.4.0\npath: " + NAME + "\nsha512: " + SHA + "\n";
    std::string ignored_keys;
    for (int i = 0; i < 15; ++i) {
        ignored_keys += ", x: y";
    }
    std::string laughs = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
    for (int level = 1; level < 10; ++level) {
        const std::string prev = "*a" + std::to_string(level - 1);
        laughs += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [" + prev;
        for (int i = 1; i < 10; ++i) {
            laughs += ", " + prev;
        }
        laughs += "]\n";
    }
    const struct {
        const char* label;
        std::string body;
        std::optional<Kind> refused;  // nothing: accepted
        const char* message_has;
    } cases[] = {
        {"64 KiB of [", std::string(MAX_MANIFEST_BYTES, '['), Kind::InvalidYaml, "nesting"},
        {"65 levels", "x: " + std::string(64, '[') + std::string(64, ']') + "\n" + manifest(), Kind::InvalidYaml,
         "nesting"},
        {"64 levels", "x: " + std::string(63, '[') + std::string(63, ']') + "\n" + manifest(), std::nullopt, ""},
        {"alias bomb at an ignored key", laughs + manifest(), Kind::InvalidYaml, "aliases expand"},
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
        ASSERT_LE(c.body.size(), MAX_MANIFEST_BYTES) << c.label;
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
    EXPECT_TRUE(validate_file_name(NAME, NAME).has_value());
    const auto expect_refused = [](const std::string& candidate, const std::string& expected) {
        const auto result = validate_file_name(candidate, expected);
        ASSERT_FALSE(result.has_value()) << '"' << candidate << '"';
        EXPECT_EQ(result.error().kind, Kind::InvalidFileName) << '"' << candidate << '"';
    };
    // Other case, a trailing blank, a letter short.
    for (const std::string& other : {std::string("brimora-1.4.0-win-x64.exe"), NAME + " ", NAME.substr(1)}) {
        expect_refused(other, NAME);
    }
    // Not one plain component, so refused even as the expected name (drive-relative, even on a
    // non-Windows host).
    for (const char* name : {"", ".", "..", "a..b.exe", "C:x.exe", "c:", "dir\\x.exe", "dir/x.exe", "\\x.exe",
                             "\\\\server\\share\\x.exe", "x.exe\\"}) {
        expect_refused(name, name);
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
