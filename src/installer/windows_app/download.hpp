#pragma once
// The installer payload in the per-user cache: reuse of a verified copy, resumable download under
// "<file name>.partial", rename to the final name only at exactly the release size.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app_state.hpp"
#include "brimora/manifest.hpp"
#include "failure.hpp"
#include "handles.hpp"

namespace brimora::win {

inline constexpr std::size_t DOWNLOAD_BUFFER_BYTES = 131072;

// How long a rename or a start refused by another process's hold on the file is tried again.
inline constexpr std::chrono::milliseconds LOCK_RETRY_BUDGET{10000};

// Runs `attempt` until it succeeds, fails for a reason other than a sharing violation, a lock
// violation or access denied (GetLastError right after it), or `budget` has been spent sleeping
// between attempts with a doubling pause; whether the last attempt succeeded.
[[nodiscard]] bool retry_while_locked(const std::function<bool()>& attempt, std::chrono::milliseconds budget);

// The percentage posted after `received` of `size` bytes: 10 + min(65, received * 65 / size), the
// product saturating at the largest 64-bit value (a size of 0 counts as complete).
[[nodiscard]] std::uintptr_t download_progress(std::uint64_t received, std::uint64_t size) noexcept;

// The release file's download in progress: "<file name>.partial" in the cache directory.
[[nodiscard]] std::wstring partial_path(std::wstring_view cache_dir, const std::string& file_name);

// The cached final file of the release, downloaded or resumed as needed; posts progress 10..75
// with the downloading text of context.locale and stops before the next read once CANCELLED is set.
[[nodiscard]] Outcome<std::wstring> download_payload(const AppContext& context, const ValidatedRelease& release);

// The partial file opened for writing at its end; a missing file is never created
// ("cache_write_failed"), a failed seek is "resume_seek_failed".
[[nodiscard]] Outcome<FileHandle> open_partial_for_append(const std::wstring& partial_path);

// The file's size and SHA-512 against the release; a digest mismatch deletes the file.
[[nodiscard]] Outcome<void> verify_size_and_hash(const std::wstring& path, const ValidatedRelease& release);

}  // namespace brimora::win
