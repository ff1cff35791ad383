#pragma once
// The installer payload in the per-user cache: reuse of a verified copy, resumable download under
// "<file name>.partial", rename to the final name only at exactly the release size.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app_state.hpp"
#include "brimora/manifest.hpp"
#include "failure.hpp"
#include "handles.hpp"
#include "lock_retry.hpp"
#include "transport.hpp"

namespace brimora::win {

inline constexpr std::size_t DOWNLOAD_BUFFER_BYTES = 131072;
// How long arrived bytes may wait in the buffer for more before they are written and shown.
inline constexpr std::uint64_t DOWNLOAD_GATHER_MS = 100;
// The bar moves at most this often while bytes arrive (20 times a second, as smooth as the eye
// follows); the value the download ends or stops at is always shown.
inline constexpr std::uint64_t DOWNLOAD_PROGRESS_INTERVAL_MS = 50;

// What an attempt's steps report to and ask, handed down by their caller: the entry binds them to
// the window and the attempt's flags; tests record what arrives and use short budgets.
struct AttemptIo {
    void (*progress)(std::uintptr_t value, std::string_view text);
    bool (*cancelled)();
    std::chrono::milliseconds lock_budget = LOCK_RETRY_BUDGET;
    WaitClock clock{};
    Timeouts feed_timeouts = FEED_TIMEOUTS;  // of the manifest's and the payload's requests
};

// The percentage posted after `received` of `size` bytes: 10 + min(65, received * 65 / size), the
// product saturating at the largest 64-bit value (a size of 0 counts as complete).
[[nodiscard]] std::uintptr_t download_progress(std::uint64_t received, std::uint64_t size) noexcept;

// The release file's download in progress: "<file name>.partial" in the cache directory.
[[nodiscard]] std::wstring partial_path(std::wstring_view cache_dir, const std::string& file_name);

// The cached final file of the release, downloaded or resumed as needed. Reports progress 10..75
// with the downloading text of context.locale each time the value changes, and stops before the
// next read once io.cancelled() says so; a rename refused by a hold is retried for io.lock_budget.
[[nodiscard]] Outcome<std::wstring> download_payload(const AppContext& context, const ValidatedRelease& release,
                                                     const AttemptIo& io);

// The partial file opened for writing at its end; a missing file is never created
// ("cache_write_failed"), a failed seek is "resume_seek_failed".
[[nodiscard]] Outcome<FileHandle> open_partial_for_append(const std::wstring& partial_path);

// The file's size and SHA-512 against the release; a digest mismatch deletes the file.
[[nodiscard]] Outcome<void> verify_size_and_hash(const std::wstring& path, const ValidatedRelease& release);

}  // namespace brimora::win
