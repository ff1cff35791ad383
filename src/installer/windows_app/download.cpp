#include <windows.h>

#include "download.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brimora/cache.hpp"
#include "brimora/payload.hpp"
#include "handles.hpp"
#include "paths.hpp"
#include "brimora/texts.hpp"
#include "transport.hpp"
#include "utf16.hpp"

namespace brimora::win {
namespace {

// Nothing when the metadata cannot be read: the callers treat that as "no such file".
std::optional<std::uint64_t> file_length(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void delete_ignoring_errors(const std::wstring& path) { static_cast<void>(::DeleteFileW(path.c_str())); }

// The release's file name becomes a path inside the cache directory. Whatever the manifest
// validation guarantees, a name that could leave the directory (separators, a drive or stream
// colon, "..", a trailing dot that Windows would strip into another name) never reaches the disk.
bool is_plain_file_name(std::string_view name) {
    if (name.empty() || name.back() == '.' || name.find_first_not_of('.') == std::string_view::npos) {
        return false;
    }
    return std::ranges::all_of(name, [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
               c == '+' || c == '_';
    });
}

FileHandle open_fresh(const std::wstring& path) {
    return FileHandle(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool write_all(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
}

// The body as it arrives, gathered in the 131072-byte buffer before it is written: a read holds
// what one TLS record brought (about 16 KiB on a fast link), and writing and reporting each of
// them cost the download about a third of its time. Bytes wait at most DOWNLOAD_GATHER_MS, so a
// trickle still moves the bar and every byte that arrived is on disk before the attempt ends,
// however it ends. Progress goes out only when its value changes, and at most once per
// DOWNLOAD_PROGRESS_INTERVAL_MS but for the last: under Wine each report the window draws costs
// the download thread about a millisecond, and on a fast link the values change faster than the
// eye can follow (a 16 MiB download spent a third of its time on its 65 reports).
class GatheredWriter {
public:
    GatheredWriter(HANDLE file, std::uint64_t received, std::uint64_t size, std::string_view text, const AttemptIo& io)
        : file_(file),
          received_(received),
          size_(size),
          text_(text),
          io_(io),
          shown_(download_progress(received, size)),
          buffer_(DOWNLOAD_BUFFER_BYTES) {}

    // Where the next read goes.
    [[nodiscard]] std::span<std::uint8_t> free_space() { return std::span(buffer_).subspan(gathered_); }
    // Bytes the release still has room for beyond what was received or gathered.
    [[nodiscard]] std::uint64_t room() const noexcept { return size_ - received_ - gathered_; }

    // Takes `count` freshly read bytes; writes the buffer once it is full or has waited long enough.
    [[nodiscard]] bool take(std::size_t count) {
        if (gathered_ == 0) {
            first_at_ = io_.clock.now_ms();
        }
        gathered_ += count;
        if (gathered_ < buffer_.size() && io_.clock.now_ms() - first_at_ < DOWNLOAD_GATHER_MS) {
            return true;
        }
        return write();
    }

    // Writes what is gathered and reports the progress it makes; `last` when the download ends
    // or stops here, so the bar shows where it stands.
    [[nodiscard]] bool write(bool last = false) {
        if (gathered_ != 0) {
            if (!write_all(file_, std::span<const std::uint8_t>(buffer_.data(), gathered_))) {
                return false;
            }
            received_ += gathered_;
            gathered_ = 0;
        }
        const std::uintptr_t value = download_progress(received_, size_);
        const std::uint64_t now = io_.clock.now_ms();
        if (value != shown_ && (last || !reported_at_ || now - *reported_at_ >= DOWNLOAD_PROGRESS_INTERVAL_MS)) {
            shown_ = value;
            reported_at_ = now;
            io_.progress(value, text_);
        }
        return true;
    }

private:
    HANDLE file_;
    std::uint64_t received_;
    std::uint64_t size_;
    std::string_view text_;
    const AttemptIo& io_;
    std::uintptr_t shown_;
    std::vector<std::uint8_t> buffer_;
    std::size_t gathered_ = 0;
    std::uint64_t first_at_ = 0;
    std::optional<std::uint64_t> reported_at_;
};

// Steps from the request to the flushed partial file. Declaration order matters: the file is
// closed before the response is released on every early return.
Outcome<void> fetch_into_partial(const std::wstring& partial_path, std::uint64_t offset,
                                 const ValidatedRelease& release, std::string_view status_text, const AttemptIo& io) {
    const std::string payload_path = std::string(FEED_PREFIX) + release.file_name;
    std::optional<HttpResponse> response =
        open_request("GET", FEED_HOST, payload_path, offset, std::nullopt, io.feed_timeouts);
    if (!response) {
        return fail("download_failed", FailureReason::download_failed);
    }

    const std::uint32_t status = response->status();
    std::uint64_t received = offset;
    FileHandle file;
    if (offset != 0 && status == 200) {
        // The server ignored the range and sends the whole file: start over from its first byte.
        received = 0;
        file = open_fresh(partial_path);
    } else if (offset != 0 && status != 206) {
        return fail("resume_rejected", FailureReason::download_failed);
    } else if (offset == 0 && status != 200) {
        return fail("download_status", FailureReason::download_failed);
    } else if (offset == 0) {
        file = open_fresh(partial_path);
    } else {
        Outcome<FileHandle> appending = open_partial_for_append(partial_path);
        if (!appending) {
            return std::unexpected(appending.error());
        }
        file = std::move(*appending);
    }
    if (!file) {
        return fail("cache_write_failed", FailureReason::insufficient_disk_space);
    }

    GatheredWriter writer(file.get(), received, release.size, status_text, io);
    for (;;) {
        if (io.cancelled()) {
            static_cast<void>(writer.write(true));
            return fail("cancelled", FailureReason::cancelled);
        }
        const std::optional<std::size_t> read = read_body_chunk(*response, writer.free_space());
        if (!read) {
            static_cast<void>(writer.write(true));
            return fail("download_failed", FailureReason::download_failed);
        }
        if (*read == 0) {
            if (!writer.write(true)) {
                return fail("cache_write_failed", FailureReason::insufficient_disk_space);
            }
            if (!::FlushFileBuffers(file.get())) {
                return fail("cache_sync_failed", FailureReason::insufficient_disk_space);
            }
            file.reset();
            response->release();
            return {};
        }
        // Judged before anything is written, so a body longer than the release never puts a byte
        // beyond the release size on disk, not even until the file is deleted.
        if (*read > writer.room()) {
            file.reset();
            delete_ignoring_errors(partial_path);
            return fail("payload_too_large", FailureReason::payload_size_mismatch);
        }
        if (!writer.take(*read)) {
            return fail("cache_write_failed", FailureReason::insufficient_disk_space);
        }
    }
}

}  // namespace

std::uintptr_t download_progress(std::uint64_t received, std::uint64_t size) noexcept {
    constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
    if (size == 0) {
        return 75;
    }
    const std::uint64_t product = received > MAX / 65 ? MAX : received * 65;
    return static_cast<std::uintptr_t>(10 + std::min<std::uint64_t>(65, product / size));
}

std::wstring partial_path(std::wstring_view cache_dir, const std::string& file_name) {
    std::string name = file_name;
    name += PARTIAL_SUFFIX;
    return join_windows_path(cache_dir, widen(name));
}

Outcome<std::wstring> download_payload(const AppContext& context, const ValidatedRelease& release,
                                       const AttemptIo& io) {
    if (!is_plain_file_name(release.file_name)) {
        return fail("download_failed", FailureReason::download_failed);
    }
    const std::wstring final_path = join_windows_path(context.cache_dir, widen(release.file_name));
    const std::wstring partial = partial_path(context.cache_dir, release.file_name);

    if (file_length(final_path)) {
        if (verify_size_and_hash(final_path, release)) {
            return final_path;
        }
        delete_ignoring_errors(final_path);
    }

    std::uint64_t offset = file_length(partial).value_or(0);
    if (offset > release.size) {
        delete_ignoring_errors(partial);
        offset = 0;
    }
    if (offset < release.size) {
        if (Outcome<void> fetched =
                fetch_into_partial(partial, offset, release, texts_for(context.locale).downloading, io);
            !fetched) {
            return std::unexpected(fetched.error());
        }
    }

    if (file_length(partial).value_or(0) != release.size) {
        return fail("payload_size_mismatch", FailureReason::payload_size_mismatch);
    }
    // An antivirus scanner or indexer opens every new executable the moment it appears, sharing
    // reading and writing but not deletion; until it lets go the rename is refused.
    TimeBudget budget(io.lock_budget, io.clock);
    if (!retry_while_locked(
            [&] { return ::MoveFileExW(partial.c_str(), final_path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; },
            final_path, budget)) {
        return fail("cache_finalize_failed", FailureReason::download_failed);
    }
    return final_path;
}

// OPEN_EXISTING: a partial file that vanished since its length was read must fail the attempt,
// not be recreated empty and then "resumed" at an offset it no longer has.
Outcome<FileHandle> open_partial_for_append(const std::wstring& partial_path) {
    FileHandle file(::CreateFileW(partial_path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return fail("cache_write_failed", FailureReason::insufficient_disk_space);
    }
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) {
        return fail("resume_seek_failed", FailureReason::download_failed);
    }
    return file;
}

Outcome<void> verify_size_and_hash(const std::wstring& path, const ValidatedRelease& release) {
    const auto verified = brimora::verify_file(path, release.size, release.sha512);
    if (verified) {
        return {};
    }
    switch (verified.error().kind) {
        case PayloadVerificationErrorKind::Read:
            return fail("payload_read_failed", FailureReason::payload_hash_mismatch);
        case PayloadVerificationErrorKind::SizeMismatch:
            return fail("payload_size_mismatch", FailureReason::payload_size_mismatch);
        case PayloadVerificationErrorKind::HashMismatch:
            delete_ignoring_errors(path);
            return fail("payload_hash_mismatch", FailureReason::payload_hash_mismatch);
    }
    return fail("payload_read_failed", FailureReason::payload_hash_mismatch);
}

}  // namespace brimora::win
