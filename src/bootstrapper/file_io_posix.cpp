#include "file_io.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace brimora::detail {
namespace {

std::error_code errno_code() { return {errno, std::generic_category()}; }

// Retries on EINTR so a signal never turns into a spurious I/O failure.
template <typename Call>
auto retrying(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace

std::expected<ReadableFile, std::error_code> ReadableFile::open(const NativePath& path) {
    const int fd = retrying([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        return std::unexpected(errno_code());
    }
    return ReadableFile(Descriptor(fd));
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::expected<std::size_t, std::error_code> ReadableFile::read(std::span<std::uint8_t> buffer) {
    const ssize_t n = retrying([&] { return ::read(file_.get(), buffer.data(), buffer.size()); });
    if (n < 0) {
        return std::unexpected(errno_code());
    }
    return static_cast<std::size_t>(n);
}

std::expected<std::uint64_t, std::error_code> regular_file_size(const NativePath& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::unexpected(errno_code());
    }
    if (S_ISDIR(info.st_mode)) {
        return std::unexpected(std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(std::make_error_code(std::errc::not_supported));
    }
    return static_cast<std::uint64_t>(info.st_size);
}

std::expected<void, std::error_code> write_then_replace(const NativePath& temp, const NativePath& target,
                                                        std::string_view bytes) {
    Descriptor file(retrying([&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (file.get() < 0) {
        return std::unexpected(errno_code());
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = retrying([&] { return ::write(file.get(), bytes.data() + written, bytes.size() - written); });
        if (n < 0) {
            return std::unexpected(errno_code());
        }
        written += static_cast<std::size_t>(n);
    }
    if (retrying([&] { return ::fsync(file.get()); }) != 0) {
        return std::unexpected(errno_code());
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        return std::unexpected(errno_code());
    }
    // The rename itself is only durable once the directory entry is on disk.
    const std::filesystem::path target_path(target);
    const auto directory = target_path.has_parent_path() ? target_path.parent_path() : std::filesystem::path(".");
    Descriptor dir(retrying([&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (dir.get() < 0) {
        return std::unexpected(errno_code());
    }
    if (retrying([&] { return ::fsync(dir.get()); }) != 0) {
        return std::unexpected(errno_code());
    }
    return {};
}

std::expected<std::vector<NativePath>, std::error_code> list_directory(const NativePath& path) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return std::unexpected(errno_code());
    }
    std::vector<NativePath> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            break;
        }
        const NativePathView name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    const std::error_code error = errno != 0 ? errno_code() : std::error_code();
    ::closedir(directory);
    if (error) {
        return std::unexpected(error);
    }
    return names;
}

bool remove_stale_file(const NativePath& path, std::chrono::seconds age) noexcept {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    timespec now{};
    static_cast<void>(::clock_gettime(CLOCK_REALTIME, &now));
    // A file written "in the future" (the clock stepped back since) counts as fresh.
    if (now.tv_sec < info.st_mtim.tv_sec || now.tv_sec - info.st_mtim.tv_sec < age.count()) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

}  // namespace brimora::detail

namespace brimora {

std::expected<void, std::error_code> make_directories(const NativePath& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) {
        return std::unexpected(error);
    }
    return {};
}

}  // namespace brimora
