#pragma once
// What the offline commands and the probe share.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "brimora/manifest.hpp"
#include "feed.hpp"

namespace brimora::feed {

struct FileDigest {
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> sha512{};
};

// Size and SHA-512 of a whole file, streamed; the error is a one-line message.
[[nodiscard]] std::expected<FileDigest, std::string> digest_file(const std::filesystem::path& path);

// At most one byte past the manifest cap, so a huge file is never read whole.
[[nodiscard]] std::expected<std::string, std::string> read_manifest_file(const std::filesystem::path& path);

// The installer's verdict on a manifest body: the release, or the problem with the outcome the
// installer would end with.
struct ManifestVerdict {
    std::optional<ValidatedRelease> release;
    std::string problem;
    InstallerOutcome outcome{"", FailureReason::unknown};
};
[[nodiscard]] ManifestVerdict judge_manifest_body(std::string_view body);

// "version V, file F, N bytes, sha512 B".
[[nodiscard]] std::string describe_release(const ValidatedRelease& release);

}  // namespace brimora::feed
