#pragma once
// Release manifest (latest.yml): strict parsing and validation into the one release an install
// attempt may fetch.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brimora {

// A Semantic Versioning 2.0.0 version. `pre_release` and `build` hold the dot-separated
// identifiers as written, without the leading "-" or "+"; empty means none.
struct Version {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t patch = 0;
    std::string pre_release;
    std::string build;

    bool operator==(const Version&) const = default;
};

// Strict SemVer 2.0.0: no leading "v", no blanks, no leading zeros, components fit in u64.
[[nodiscard]] std::optional<Version> parse_version(std::string_view text);

// SemVer precedence, with build metadata deciding last ties (an empty one lowest).
[[nodiscard]] std::strong_ordering compare_versions(const Version& a, const Version& b);

// Canonical text: major.minor.patch[-pre][+build]; for a parsed version it equals the input.
[[nodiscard]] std::string to_string(const Version& version);

// "Brimora-" + canonical version + "-win-x64.exe".
[[nodiscard]] std::string expected_file_name(const Version& version);

inline constexpr std::size_t MAX_MANIFEST_BYTES = 65536;
inline constexpr std::string_view ROLLBACK_FLOOR = "0.1.32";

enum class ManifestErrorKind {
    EmptyOrTooLarge,
    InvalidYaml,
    InvalidVersion,
    BelowRollbackFloor,
    InvalidFileName,
    NotExactlyOneFile,
    EntriesDisagree,
    ZeroSize,
    InvalidSha512,
};

struct ManifestError {
    ManifestErrorKind kind;
    std::string yaml_message;  // only for InvalidYaml: the YAML layer's own problem text

    // The fixed display text of the kind ("manifest YAML is invalid: " + yaml_message for InvalidYaml).
    [[nodiscard]] std::string message() const;
};

struct ValidatedRelease {
    Version version;
    std::string file_name;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> sha512{};
};

// Validates a complete manifest body; the first failing rule decides the error.
[[nodiscard]] std::expected<ValidatedRelease, ManifestError> validate_manifest(std::span<const std::uint8_t> body);

// Succeeds only when `candidate` is exactly `expected` and is one plain Windows file-name component.
[[nodiscard]] std::expected<void, ManifestError> validate_file_name(std::string_view candidate,
                                                                    std::string_view expected);

}  // namespace brimora
