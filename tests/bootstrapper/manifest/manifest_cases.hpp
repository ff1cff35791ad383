#pragma once
// The manifest writer every test shares (the library's, brimora-feed's, the pipeline's), and the
// library's tables of cases.

#include <brimora/base64.hpp>
#include <brimora/manifest.hpp>
#include <brimora/sha512.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brimora::manifest_cases {

using Kind = ManifestErrorKind;

inline const std::string NAME = "Brimora-1.4.0-win-x64.exe";
// SHA-512 of the empty input.
inline const std::string SHA =
    "z4PhNX7vuL3xVChQ1m2AB9Yg5AULVxXcg/SpIdNs6c5H0NE8XYXysP+DGNKHfuwvY7kxvUdBeoGlODJ6+SfaPg==";
inline const std::string SHA_32_BYTES = "z4PhNX7vuL3xVChQ1m2AB9Yg5AULVxXcg/SpIdNs6c4=";

inline std::string entry(const std::string& url = NAME, const std::string& sha = SHA,
                         const std::string& size = "1024") {
    return "  - url: " + url + "\n    sha512: " + sha + "\n    size: " + size + "\n";
}

inline std::string files(const std::string& entries = entry()) { return "files:\n" + entries; }

inline std::string manifest(const std::string& version = "1.4.0", const std::string& path = NAME,
                            const std::string& sha = SHA, const std::string& file_list = files()) {
    return "version: " + version + "\npath: " + path + "\nsha512: " + sha + "\n" + file_list +
           "releaseDate: '2024-05-01T09:00:00.000Z'\n";
}

inline std::string with_entries(const std::string& entries) { return manifest("1.4.0", NAME, SHA, files(entries)); }

// Release 1.4.0 describing exactly these bytes.
inline std::string describing(std::span<const std::uint8_t> payload) {
    const std::string sha = encode_base64(sha512_of(payload).value());
    return manifest("1.4.0", NAME, sha, files(entry(NAME, sha, std::to_string(payload.size()))));
}

// The valid manifest padded with a comment to exactly the size limit.
inline std::string at_size_limit() {
    return manifest() + "#" + std::string(MAX_MANIFEST_BYTES - manifest().size() - 2, 'x') + "\n";
}

inline std::expected<ValidatedRelease, ManifestError> validate(std::string_view text) {
    return validate_manifest({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

struct AcceptedCase {
    const char* label;
    std::string body;
    const char* version;
    std::uint64_t size;
};

inline std::vector<AcceptedCase> accepted() {
    // Release `v`, its file named after it at the root and in the entry.
    const auto release = [](const std::string& v) {
        const std::string name = "Brimora-" + v + "-win-x64.exe";
        return manifest(v, name, SHA, files(entry(name)));
    };
    return {
        {"baseline", manifest(), "1.4.0", 1024},
        {"floor itself", release("0.1.32"), "0.1.32", 1024},
        {"floor with build", release("0.1.32+build.7"), "0.1.32+build.7", 1024},
        {"above floor", release("0.2.0"), "0.2.0", 1024},
        {"pre-release above floor", release("1.0.0-alpha"), "1.0.0-alpha", 1024},
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
}

struct YamlFaultCase {
    const char* label;
    std::string body;
    const char* message_has;
};

inline std::vector<YamlFaultCase> yaml_faults() {
    const auto with_size = [](const std::string& size) { return with_entries(entry(NAME, SHA, size)); };
    return {
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
}

struct RuleCase {
    const char* label;
    std::string body;
    Kind kind;
};

inline std::vector<RuleCase> rule_faults() {
    const std::string url = "https://downloads.example.com/" + NAME;
    const std::string no_pad = SHA.substr(0, 86);
    return {
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
}

}  // namespace brimora::manifest_cases
