#pragma once
// The installer cache folder's upkeep around a download: stale files pruned, the free space
// checked, and the installer files deleted after a success.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "lock_retry.hpp"

namespace brimora::win {

inline constexpr std::uint64_t DISK_SPACE_FACTOR = 4;
inline constexpr std::uint64_t DISK_SPACE_MARGIN = 268435456;  // 256 MiB
// How long the deletions after a success wait out another process's hold on the files, in all.
inline constexpr std::chrono::milliseconds CLEANUP_RETRY_BUDGET{2000};

// size * 4 + 256 MiB, saturating at the largest 64-bit value instead of wrapping.
[[nodiscard]] std::uint64_t disk_space_required(std::uint64_t installer_size) noexcept;

// Success when the space available to the user in `cache_dir` reaches disk_space_required;
// "insufficient_disk_space" when it does not or cannot be asked.
[[nodiscard]] Outcome<void> ensure_disk_space(const std::wstring& cache_dir, std::uint64_t installer_size);

// Deletes the stale installer files of other releases from the cache directory; never fails.
void prune_cache(const std::wstring& cache_dir, std::string_view current_file_name);

// Deletes the installer and its partial file after a success, waiting out another process's hold
// within `budget`, shared by both; failures are ignored.
void delete_after_success(const std::wstring& installer, const std::wstring& partial, TimeBudget& budget);

}  // namespace brimora::win
