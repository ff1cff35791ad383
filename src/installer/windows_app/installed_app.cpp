#include <windows.h>

#include "installed_app.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "authenticode.hpp"
#include "handles.hpp"
#include "paths.hpp"
#include "process.hpp"
#include "utf16.hpp"

namespace brimora::win {
namespace {

constexpr DWORD MIN_LOCATION_BYTES = 2;
constexpr DWORD MAX_LOCATION_BYTES = 32768;

// The registry value of the installed copy, or nothing. The key is closed when this returns,
// before the caller builds a candidate from the text.
[[nodiscard]] std::optional<std::wstring> registry_install_location() {
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, INSTALL_KEY_PATH, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), INSTALL_LOCATION_VALUE, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !install_location_readable(type, size)) {
        return std::nullopt;
    }
    // Exactly the announced size: a value that grew since the size query makes this query fail
    // (ERROR_MORE_DATA) instead of being read in part.
    std::wstring units(size / sizeof(wchar_t), L'\0');
    DWORD read_type = REG_NONE;
    DWORD read_size = size;
    if (::RegQueryValueExW(key.get(), INSTALL_LOCATION_VALUE, nullptr, &read_type,
                           reinterpret_cast<BYTE*>(units.data()), &read_size) != ERROR_SUCCESS ||
        read_type != REG_SZ) {
        return std::nullopt;
    }
    return decode_install_location(units);
}

// Opening the path follows links to their target; without FILE_FLAG_BACKUP_SEMANTICS a directory
// cannot be opened at all, and devices, pipes and consoles are not disk files.
[[nodiscard]] bool is_existing_regular_file(const std::wstring& path) {
    FileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        return false;
    }
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

void pause_after_pass() { ::Sleep(static_cast<DWORD>(LAUNCH_PASS_DELAY.count())); }

bool install_location_readable(DWORD type, DWORD size) noexcept {
    return type == REG_SZ && size % 2 == 0 && size >= MIN_LOCATION_BYTES && size <= MAX_LOCATION_BYTES;
}

std::optional<std::wstring> decode_install_location(std::wstring_view units) {
    while (!units.empty() && units.back() == L'\0') {
        units.remove_suffix(1);
    }
    // Win32 reads a path only up to its first zero unit, so a value with one inside would name a
    // different file than the text that was decoded.
    if (units.find(L'\0') != std::wstring_view::npos) {
        return std::nullopt;
    }
    if (!to_utf8(units)) {
        return std::nullopt;
    }
    return std::wstring(units);
}

std::vector<std::wstring> without_neighbour_duplicates(std::vector<std::wstring> paths) {
    const auto end = std::unique(paths.begin(), paths.end(),
                                 [](const auto& a, const auto& b) { return same_path_components(a, b); });
    paths.erase(end, paths.end());
    return paths;
}

std::vector<std::wstring> installed_app_candidates() {
    std::vector<std::wstring> candidates;
    if (const std::optional<std::wstring> location = registry_install_location();
        location && is_absolute_windows_path(*location)) {
        candidates.emplace_back(join_windows_path(*location, APP_EXE_NAME));
    }
    // Unlike the registry value, the variable is taken as it is: it is the user's own setting.
    if (const std::optional<std::wstring> base = environment_variable(L"LOCALAPPDATA")) {
        const std::wstring programs = join_windows_path(*base, L"Programs");
        candidates.emplace_back(join_windows_path(join_windows_path(programs, L"Brimora"), APP_EXE_NAME));
        candidates.emplace_back(join_windows_path(join_windows_path(programs, L"brimora"), APP_EXE_NAME));
        candidates.emplace_back(join_windows_path(join_windows_path(*base, L"Brimora"), APP_EXE_NAME));
    }
    std::erase_if(candidates, [](const std::wstring& p) { return !is_existing_regular_file(p); });
    return without_neighbour_duplicates(std::move(candidates));
}

bool launch_existing_app() {
    for (const std::wstring& candidate : installed_app_candidates()) {
        if (!verify_authenticode(candidate)) {
            continue;
        }
        // Never waited for: both handles are closed as soon as the start has succeeded.
        if (start_process(candidate)) {
            return true;
        }
    }
    return false;
}

Outcome<void> launch_installed_app(void (*pause)()) {
    for (int pass = 1; pass <= LAUNCH_PASSES; ++pass) {
        // A fresh list every pass: the installer may write the value or the file while we wait.
        for (const std::wstring& candidate : installed_app_candidates()) {
            if (!verify_authenticode(candidate)) {
                continue;
            }
            if (!start_process(candidate)) {
                return fail("launch_failed", FailureReason::launch_failed);
            }
            return {};
        }
        pause();
    }
    return fail("installed_app_not_found", FailureReason::launch_failed);
}

}  // namespace brimora::win
