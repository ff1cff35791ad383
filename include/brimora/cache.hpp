#pragma once
// Installer cache naming rules.

#include <string_view>

namespace brimora {

inline constexpr std::string_view PARTIAL_SUFFIX = ".partial";
inline constexpr std::string_view STALE_PREFIX = "Brimora-";
inline constexpr std::string_view STALE_SUFFIX = "-win-x64.exe";
inline constexpr std::string_view STALE_PARTIAL_SUFFIX = "-win-x64.exe.partial";

// True when `entry_name` is an installer file of another release (byte-exact, case-sensitive).
[[nodiscard]] bool should_prune_cache_entry(std::string_view entry_name, std::string_view current_file_name);

}  // namespace brimora
