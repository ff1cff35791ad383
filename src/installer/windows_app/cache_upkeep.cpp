#include <windows.h>

#include "cache_upkeep.hpp"

#include <limits>

#include "brimora/cache.hpp"
#include "handles.hpp"
#include "paths.hpp"
#include "utf16.hpp"

namespace brimora::win {

std::uint64_t disk_space_required(std::uint64_t installer_size) noexcept {
    constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t product =
        installer_size > U64_MAX / DISK_SPACE_FACTOR ? U64_MAX : installer_size * DISK_SPACE_FACTOR;
    return product > U64_MAX - DISK_SPACE_MARGIN ? U64_MAX : product + DISK_SPACE_MARGIN;
}

Outcome<void> ensure_disk_space(const std::wstring& cache_dir, std::uint64_t installer_size) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(cache_dir.c_str(), &available, nullptr, nullptr) ||
        available.QuadPart < disk_space_required(installer_size)) {
        return fail("insufficient_disk_space", FailureReason::insufficient_disk_space);
    }
    return {};
}

void prune_cache(const std::wstring& cache_dir, std::string_view current_file_name) {
    WIN32_FIND_DATAW entry{};
    const FindHandle find(::FindFirstFileW(join_windows_path(cache_dir, L"*").c_str(), &entry));
    if (!find) {
        return;
    }
    do {
        // Directories, and reparse points (symbolic links, junctions) whatever they point at, are
        // never deleted: only plain files that the naming rule marks as stale.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            continue;
        }
        const auto name = to_utf8(entry.cFileName);
        if (!name || !should_prune_cache_entry(*name, current_file_name)) {
            continue;
        }
        ::DeleteFileW(join_windows_path(cache_dir, entry.cFileName).c_str());
    } while (::FindNextFileW(find.get(), &entry));
}

// The finished window waits for these deletions, so a scanner's hold is waited out only briefly;
// a file left behind is pruned or reused by a later attempt.
void delete_after_success(const std::wstring& installer, const std::wstring& partial, TimeBudget& budget) {
    for (const std::wstring* path : {&installer, &partial}) {
        static_cast<void>(retry_while_locked(
            [&] { return ::DeleteFileW(path->c_str()) != FALSE || ::GetLastError() == ERROR_FILE_NOT_FOUND; }, *path,
            budget));
    }
}

}  // namespace brimora::win
