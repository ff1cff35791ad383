#pragma once
// The few file operations the library needs, with the sharing and durability the callers rely on.
// Windows: CreateFileW with FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, so another
// process holding the file (an antivirus scan, a second reader) never makes us fail, and we never
// block it from deleting. POSIX: plain descriptors, fsync for durability.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "brimora/files.hpp"

#ifdef _WIN32
#include "handles.hpp"
#endif

namespace brimora::detail {

// Everything before the last component, trailing separators dropped but a root kept: "" for a
// bare name, the path itself for a root alone ("/", "C:\\"). '\\' and '/' both separate on Windows.
[[nodiscard]] NativePath native_parent(NativePathView path);

// The last component: empty when the path ends in a separator or is a root.
[[nodiscard]] NativePathView native_file_name(NativePathView path) noexcept;

#ifndef _WIN32
// A POSIX descriptor, closed once. Move-only.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor();
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};
#endif

// A file opened for reading only, shared for read, write and delete. Move-only; closed once.
class ReadableFile {
public:
    [[nodiscard]] static std::expected<ReadableFile, std::error_code> open(const NativePath& path);

    // Reads up to `buffer.size()` bytes; 0 means the end of the file.
    [[nodiscard]] std::expected<std::size_t, std::error_code> read(std::span<std::uint8_t> buffer);

private:
#ifdef _WIN32
    using Owner = win::FileHandle;
#else
    using Owner = Descriptor;
#endif
    explicit ReadableFile(Owner file) noexcept : file_(std::move(file)) {}
    Owner file_;
};

// The length of a regular file, links followed; a directory, device or pipe is an error
// (std::errc::is_a_directory for a directory). The file is not opened for reading.
[[nodiscard]] std::expected<std::uint64_t, std::error_code> regular_file_size(const NativePath& path);

// The whole content of a file of at most `max_bytes` bytes; a longer file is refused
// (std::errc::file_too_large) after reading one byte past the limit, never held whole.
[[nodiscard]] std::expected<std::string, std::error_code> read_whole_file(const NativePath& path,
                                                                          std::size_t max_bytes);

// Creates `temp` (replacing any file of that name), writes `bytes`, flushes them to the disk and,
// with the file still open, moves it over `target` in one step; closes it afterwards whatever
// happened. A failure leaves `target` untouched and may leave `temp` behind.
[[nodiscard]] std::expected<void, std::error_code> write_then_replace(const NativePath& temp, const NativePath& target,
                                                                      std::string_view bytes);

// The names of a directory's entries, without "." and ".."; an error when it cannot be listed.
[[nodiscard]] std::expected<std::vector<NativePath>, std::error_code> list_directory(const NativePath& path);

// Deletes one file (a directory is not deleted) that was last written at least `age` before now
// and that, on Windows, nobody has open (POSIX cannot tell); false when it stays.
bool remove_stale_file(const NativePath& path, std::chrono::seconds age) noexcept;

}  // namespace brimora::detail
