#include <windows.h>

#include "file_io.hpp"

#include <cstdint>
#include <utility>

namespace brimora::detail {
namespace {

std::error_code last_error() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

using win::FileHandle;
using win::SHARE_ALL;

}  // namespace

std::expected<ReadableFile, std::error_code> ReadableFile::open(const NativePath& path) {
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return std::unexpected(last_error());
    }
    return ReadableFile(std::move(file));
}

std::expected<std::size_t, std::error_code> ReadableFile::read(std::span<std::uint8_t> buffer) {
    // ReadFile takes a 32-bit count; callers use buffers far below that, but clamp rather than wrap.
    const DWORD want = buffer.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(buffer.size());
    DWORD got = 0;
    if (!::ReadFile(file_.get(), buffer.data(), want, &got, nullptr)) {
        return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(got);
}

// The std::filesystem operations are not used on Windows: in MinGW's static libstdc++ they pull
// in the whole iostream and locale machinery, which would triple the size of the executable.
std::expected<std::uint64_t, std::error_code> regular_file_size(const NativePath& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::unexpected(last_error());
    }
    DWORD attributes = data.dwFileAttributes;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // The attributes above describe the link itself; its target's come from a handle that
        // asks for attributes only, which no sharing mode of another opener can refuse.
        FileHandle target(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!target || !::GetFileInformationByHandle(target.get(), &info)) {
            return std::unexpected(last_error());
        }
        attributes = info.dwFileAttributes;
        size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::unexpected(std::make_error_code(std::errc::is_a_directory));
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return std::unexpected(std::make_error_code(std::errc::not_supported));
    }
    return size;
}

std::expected<void, std::error_code> write_then_replace(const NativePath& temp, const NativePath& target,
                                                        std::string_view bytes) {
    FileHandle file(
        ::CreateFileW(temp.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
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

std::expected<std::vector<NativePath>, std::error_code> list_directory(const NativePath& path) {
    WIN32_FIND_DATAW found{};
    NativePath pattern = path;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
        pattern += L'\\';
    }
    pattern += L'*';
    const win::FindHandle search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search) {
        return std::unexpected(last_error());
    }
    std::vector<NativePath> names;
    do {
        const NativePathView name(found.cFileName);
        if (name != L"." && name != L"..") {
            names.emplace_back(name);
        }
    } while (::FindNextFileW(search.get(), &found));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        return std::unexpected(std::error_code(static_cast<int>(error), std::system_category()));
    }
    return names;
}

bool remove_stale_file(const NativePath& path, std::chrono::seconds age) noexcept {
    // No sharing at all: the open fails while anybody else has the file open (a writer between
    // creating its temporary and moving it into place holds it so), and while this handle is
    // open nobody else can open it. So the file judged is the file deleted.
    const FileHandle file(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILETIME written{};
    if (!file || !::GetFileTime(file.get(), nullptr, nullptr, &written)) {
        return false;
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    // 100 ns ticks; a file written "in the future" (the clock stepped back since) counts as fresh.
    if (ticks(now) - ticks(written) < static_cast<std::int64_t>(age.count()) * 10'000'000) {
        return false;
    }
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof(dispose)) != 0;
}

}  // namespace brimora::detail

namespace brimora {

std::expected<void, std::error_code> make_directories(const NativePath& path) {
    if (path.empty()) {
        return std::unexpected(std::make_error_code(std::errc::no_such_file_or_directory));
    }
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return {};
        }
        return std::unexpected(std::make_error_code(std::errc::not_a_directory));
    }
    const NativePath parent = detail::native_parent(path);
    if (!parent.empty() && parent != path) {
        if (auto made = make_directories(parent); !made) {
            return made;
        }
    }
    if (!::CreateDirectoryW(path.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        // Another process may have made it in between; only a directory counts as success.
        const DWORD now = ::GetFileAttributesW(path.c_str());
        if (error == ERROR_ALREADY_EXISTS && now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return {};
        }
        return std::unexpected(std::error_code(static_cast<int>(error), std::system_category()));
    }
    return {};
}

}  // namespace brimora
