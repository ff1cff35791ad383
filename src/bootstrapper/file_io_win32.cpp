#include <windows.h>

#include "file_io.hpp"

namespace brimora::detail {
namespace {

std::error_code last_error() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
const std::intptr_t INVALID = as_value(INVALID_HANDLE_VALUE);

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) noexcept : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    [[nodiscard]] HANDLE get() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

std::expected<ReadableFile, std::error_code> ReadableFile::open(const std::filesystem::path& path) {
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::unexpected(last_error());
    }
    return ReadableFile(as_value(handle));
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID; }

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = INVALID;
    }
    return *this;
}

ReadableFile::~ReadableFile() { close(); }

void ReadableFile::close() noexcept {
    if (handle_ != INVALID) {
        ::CloseHandle(as_handle(handle_));
        handle_ = INVALID;
    }
}

std::expected<std::size_t, std::error_code> ReadableFile::read(std::span<std::uint8_t> buffer) {
    // ReadFile takes a 32-bit count; callers use buffers far below that, but clamp rather than wrap.
    const DWORD want = buffer.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(buffer.size());
    DWORD got = 0;
    if (!::ReadFile(as_handle(handle_), buffer.data(), want, &got, nullptr)) {
        return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(got);
}

std::expected<void, std::error_code> write_then_replace(const std::filesystem::path& temp,
                                                        const std::filesystem::path& target,
                                                        std::string_view bytes) {
    OwnedHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return std::unexpected(last_error());
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const std::size_t left = bytes.size() - written;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!::WriteFile(file.get(), bytes.data() + written, chunk, &n, nullptr)) {
            return std::unexpected(last_error());
        }
        written += n;
    }
    if (!::FlushFileBuffers(file.get())) {
        return std::unexpected(last_error());
    }
    // Moved while our handle is still open: FILE_SHARE_DELETE on it is what permits the rename,
    // and nobody can slip another file in under the temporary name between close and move.
    if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::unexpected(last_error());
    }
    return {};
}

}  // namespace brimora::detail
