#include <brimora/manifest.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "heap_peak.hpp"

namespace brimora {
namespace {

using Kind = ManifestErrorKind;

const std::string NAME = "Brimora-1.4.0-win-x64.exe";
// SHA-512 of the empty input.
const std::string SHA = "z4PhNX7vuL3xVChQ1m2AB9Yg5AULVxXcg/SpIdNs6c5H0NE8XYXysP+DGNKHfuwvY7kxvUdBeoGlODJ6+SfaPg==";
const std::string SHA_32_BYTES = "z4PhNX7vuL3xVChQ1m2AB9Yg5AULVxXcg/SpIdNs6c4=";

std::string entry(const std::string& url = NAME, const std::string& sha = SHA, const std::string& size = "1024") {
    return "  - url: " + url + "\n    sha512: " + sha + "\n    size: " + size + "\n";
}

std::string files(const std::string& entries = entry()) {
    return "files:\n" + entries;
}

std::string manifest(const std::string& version = "1.4.0", const std::string& path = NAME, const std::string& sha = SHA,
                     const std::string& file_list = files()) {
    return "version: " + version + "\npath: " + path + "\nsha512: " + sha + "\n" + file_list +
           "releaseDate: '2024-05-01T09:00:00.000Z'\n";
}

std::string with_entries(const std::string& entries) {
    return manifest("1.4.0", NAME, SHA, files(entries));
}

std::expected<ValidatedRelease, ManifestError> validate(std::string_view text) {
    return validate_manifest({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(ValidateManifest, AcceptsValidManifests) {
    const std::string v32 = "Brimora-0.1.32-win-x64.exe";
    const std::string v32b = "Brimora-0.1.32+build.7-win-x64.exe";
    const struct {
        const char* label;
        std::string body;
        const char* version;
        std::uint64_t size;
    } cases[] = {
        {"baseline", manifest(), "1.4.0", 1024},
        {"floor itself", manifest("0.1.32", v32, SHA, files(entry(v32))), "0.1.32", 1024},
        {"floor with build", manifest("0.1.32+build.7", v32b, SHA, files(entry(v32b))), "0.1.32+build.7", 1024},
        {"above floor", manifest("0.2.0", "Brimora-0.2.0-win-x64.exe", SHA, files(entry("Brimora-0.2.0-win-x64.exe"))),
         "0.2.0", 1024},
        {"pre-release above floor",
         manifest("1.0.0-alpha", "Brimora-1.0.0-alpha-win-x64.exe", SHA,
                  files(entry("Brimora-1.0.0-alpha-win-x64.exe"))),
         "1.0.0-alpha", 1024},
        {"largest size", with_entries(entry(NAME, SHA, "18446744073709551615")), "1.4.0", UINT64_MAX},
        {"size tagged !!int", with_entries(entry(NAME, SHA, "!!int 7")), "1.4.0", 7},
        {"unknown keys, nested",
         "extra: {a: [1, {b: c}]}\n" + with_entries(entry() + "    mirrorCount: 9\n    more: [x, y]\n") +
             "extra2: [1]\nextra2: [2]\n",
         "1.4.0", 1024},
        {"no releaseDate", "version: 1.4.0\npath: " + NAME + "\nsha512: " + SHA + "\n" + files(), "1.4.0", 1024},
        {"null releaseDate", "releaseDate: ~\nversion: 1.4.0\npath: " + NAME + "\nsha512: " + SHA + "\n" + files(),
         "1.4.0", 1024},
        {"quoted texts", manifest("'1.4.0'", "\"" + NAME + "\"", "'" + SHA + "'"), "1.4.0", 1024},
        {"flow style",
         "{version: 1.4.0, path: " + NAME + ", sha512: '" + SHA + "', files: [{url: " + NAME + ", sha512: '" + SHA +
             "', size: 3}]}",
         "1.4.0", 3},
        {"aliases to scalars",
         "defs: [&v 1.4.0, &d '" + SHA + "']\nversion: *v\npath: " + NAME + "\nsha512: *d\n" + files(entry(NAME, "*d")),
         "1.4.0", 1024},
        {"explicit markers", "%YAML 1.1\n---\n" + manifest() + "...\n", "1.4.0", 1024},
        {"byte order mark", "\xEF\xBB\xBF" + manifest(), "1.4.0", 1024},
    };
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
    const auto with_size = [](const std::string& size) { return with_entries(entry(NAME, SHA, size)); };
    const struct {
        const char* label;
        std::string body;
        const char* message_has;
    } cases[] = {
        {"root sequence", "- version: 1.4.0\n", "root"},
        {"root scalar", "hello\n", "root"},
        {"empty document", "---\n", "root"},
        {"no document", "# only a comment\n", "no document"},
        {"second document", manifest() + "---\n" + manifest(), "more than one document"},
        {"syntax error", "version: 1.4.0\npath: a: b\n", "mapping values are not allowed"},
        {"invalid UTF-8", "version: \"1.4.\xff\"\n", "invalid leading UTF-8 octet"},
        {"version twice", manifest() + "version: 1.4.0\n", "\"version\" appears twice"},
        {"releaseDate twice", manifest() + "releaseDate: x\n", "\"releaseDate\" appears twice"},
        {"url twice in entry", with_entries(entry() + "    url: " + NAME + "\n"), "\"files[0].url\" appears twice"},
        {"missing version", "path: " + NAME + "\nsha512: " + SHA + "\n" + files(), "\"version\" is missing"},
        {"missing path", "version: 1.4.0\nsha512: " + SHA + "\n" + files(), "\"path\" is missing"},
        {"missing sha512", "version: 1.4.0\npath: " + NAME + "\n" + files(), "\"sha512\" is missing"},
        {"missing entry size", with_entries("  - url: " + NAME + "\n    sha512: " + SHA + "\n"),
         "\"files[0].size\" is missing"},
        {"missing entry url", with_entries("  - sha512: " + SHA + "\n    size: 1\n"), "\"files[0].url\" is missing"},
        {"missing entry sha512", with_entries("  - url: " + NAME + "\n    size: 1\n"),
         "\"files[0].sha512\" is missing"},
        {"version a mapping", manifest("{major: 1}"), "\"version\" must be a text"},
        {"path a sequence", manifest("1.4.0", "[" + NAME + "]"), "\"path\" must be a text"},
        {"version null", manifest("~"), "\"version\" must be a text"},
        {"releaseDate a mapping", "releaseDate: {day: 1}\n" + manifest(), "\"releaseDate\" must be a text or null"},
        {"files a scalar", manifest("1.4.0", NAME, SHA, "files: " + NAME + "\n"), "\"files\" must be a sequence"},
        {"files a mapping", manifest("1.4.0", NAME, SHA, "files:\n  url: " + NAME + "\n"),
         "\"files\" must be a sequence"},
        {"files null", manifest("1.4.0", NAME, SHA, "files: ~\n"), "\"files\" must be a sequence"},
        {"entry a scalar", with_entries("  - " + NAME + "\n"), "\"files[0]\" must be a mapping"},
        {"second entry bad", with_entries(entry() + "  - [x]\n"), "\"files[1]\" must be a mapping"},
        {"size negative", with_size("-1"), "files[0].size"},
        {"size fraction", with_size("1.5"), "files[0].size"},
        {"size exponent", with_size("1e3"), "files[0].size"},
        {"size text", with_size("big"), "files[0].size"},
        {"size empty", with_size(""), "files[0].size"},
        {"size overflow", with_size("18446744073709551616"), "files[0].size"},
        {"size with sign", with_size("+5"), "files[0].size"},
        {"size hexadecimal", with_size("0x10"), "files[0].size"},
        {"size with separators", with_size("1_000"), "files[0].size"},
        {"size octal-looking", with_size("017"), "files[0].size"},
        {"size quoted is a string", with_size("\"123\""), "files[0].size"},
        {"size tagged !!str", with_size("!!str 123"), "files[0].size"},
        {"size a mapping", with_size("{bytes: 1}"), "files[0].size"},
        {"undefined alias", manifest("*nowhere"), "*nowhere"},
        {"alias inside its anchor", "loop: &a [1, *a]\n" + manifest(), "*a"},
        {"anchor defined twice", "x: &a 1\ny: &a 2\n" + manifest(), "&a"},
    };
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
    const std::string url = "https://downloads.example.com/" + NAME;
    const std::string no_pad = SHA.substr(0, 86);
    const struct {
        const char* label;
        std::string body;
        Kind kind;
    } cases[] = {
        {"leading v", manifest("v1.4.0", "Brimora-v1.4.0-win-x64.exe"), Kind::InvalidVersion},
        {"two components", manifest("1.4", "Brimora-1.4-win-x64.exe"), Kind::InvalidVersion},
        {"leading zero", manifest("01.4.0", "Brimora-01.4.0-win-x64.exe"), Kind::InvalidVersion},
        {"trailing blank", manifest("'1.4.0 '"), Kind::InvalidVersion},
        {"version wins over name", manifest("1.4", "dir/x.exe"), Kind::InvalidVersion},
        {"below floor", manifest("0.1.31", "Brimora-0.1.31-win-x64.exe"), Kind::BelowRollbackFloor},
        {"below floor numerically", manifest("0.1.9", "Brimora-0.1.9-win-x64.exe"), Kind::BelowRollbackFloor},
        {"floor pre-release", manifest("0.1.32-beta", "Brimora-0.1.32-beta-win-x64.exe"), Kind::BelowRollbackFloor},
        {"floor wins over name", manifest("0.1.32-rc.1", NAME), Kind::BelowRollbackFloor},
        {"path with directory", manifest("1.4.0", "releases/" + NAME), Kind::InvalidFileName},
        {"path in other case", manifest("1.4.0", "brimora-1.4.0-win-x64.exe"), Kind::InvalidFileName},
        {"path of other version", manifest("1.4.0", "Brimora-1.4.1-win-x64.exe"), Kind::InvalidFileName},
        {"path wins over count", manifest("1.4.0", "C:" + NAME, SHA, files(entry() + entry())), Kind::InvalidFileName},
        {"no files", "version: 1.4.0\npath: " + NAME + "\nsha512: " + SHA + "\n", Kind::NotExactlyOneFile},
        {"empty files", manifest("1.4.0", NAME, SHA, "files: []\n"), Kind::NotExactlyOneFile},
        {"two files", with_entries(entry() + entry()), Kind::NotExactlyOneFile},
        {"count wins over url", with_entries(entry(url) + entry(url)), Kind::NotExactlyOneFile},
        {"url a web address", with_entries(entry(url)), Kind::InvalidFileName},
        {"url with backslash", with_entries(entry("'x\\" + NAME + "'")), Kind::InvalidFileName},
        {"url wins over digest", with_entries(entry("other.exe", no_pad, "0")), Kind::InvalidFileName},
        {"entry lacks padding", with_entries(entry(NAME, no_pad)), Kind::EntriesDisagree},
        {"other digest", with_entries(entry(NAME, "A" + SHA.substr(1))), Kind::EntriesDisagree},
        {"disagreement wins over size", with_entries(entry(NAME, no_pad, "0")), Kind::EntriesDisagree},
        {"zero size wins over digest", manifest("1.4.0", NAME, "bad", files(entry(NAME, "bad", "0"))), Kind::ZeroSize},
        {"both lack padding", manifest("1.4.0", NAME, no_pad, files(entry(NAME, no_pad))), Kind::InvalidSha512},
        {"32-byte digest", manifest("1.4.0", NAME, SHA_32_BYTES, files(entry(NAME, SHA_32_BYTES))),
         Kind::InvalidSha512},
        {"blank inside",
         manifest("1.4.0", NAME, "'" + SHA.substr(0, 40) + " " + SHA.substr(41) + "'",
                  files(entry(NAME, "'" + SHA.substr(0, 40) + " " + SHA.substr(41) + "'"))),
         Kind::InvalidSha512},
        {"pad bits set",
         manifest("1.4.0", NAME, SHA.substr(0, 85) + "h==", files(entry(NAME, SHA.substr(0, 85) + "h=="))),
         Kind::InvalidSha512},
        {"hex digest", manifest("1.4.0", NAME, std::string(128, 'a'), files(entry(NAME, std::string(128, 'a')))),
         Kind::InvalidSha512},
    };
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
