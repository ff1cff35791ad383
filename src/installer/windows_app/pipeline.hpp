#pragma once
// One install attempt, start to end, on the worker thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app_state.hpp"
#include "failure.hpp"

namespace brimora::win {

inline constexpr std::uint64_t DISK_SPACE_FACTOR = 4;
inline constexpr std::uint64_t DISK_SPACE_MARGIN = 268435456;  // 256 MiB
// How long the deletions after a success wait out another process's hold on the files, in all.
inline constexpr std::chrono::milliseconds CLEANUP_RETRY_BUDGET{2000};

// size * 4 + 256 MiB, saturating at the largest 64-bit value instead of wrapping.
[[nodiscard]] std::uint64_t disk_space_required(std::uint64_t installer_size) noexcept;

// `"<installer>" /S /currentuser --force-run`; nothing for a path command_line refuses.
[[nodiscard]] std::optional<std::wstring> installer_command_line(const std::wstring& installer);

// Starts `"<installer>" /S /currentuser --force-run` (through the short path when the long one is
// too long to start) and waits for it; a start refused by another process's hold on the file is
// tried again for LOCK_RETRY_BUDGET. "install_start_failed" or "install_failed" (non-zero exit).
[[nodiscard]] Outcome<void> run_installer(const std::wstring& installer);

// Deletes the installer and its partial file after a success, waiting out another process's hold
// for CLEANUP_RETRY_BUDGET in all; failures are ignored.
void delete_after_success(const std::wstring& installer, const std::wstring& partial);

// Deletes the stale installer files of other releases from the cache directory; never fails.
void prune_cache(const std::wstring& cache_dir, std::string_view current_file_name);

// Opens an installed copy, or fetches, verifies, runs and opens the latest release. The success
// text, or the failure pair of the step that ended the attempt.
[[nodiscard]] Outcome<std::string> install(AppContext context);

}  // namespace brimora::win
