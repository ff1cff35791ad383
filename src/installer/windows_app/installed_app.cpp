#include <windows.h>

#include "installed_app.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "authenticode.hpp"
#include "handles.hpp"
#include "utf16.hpp"

namespace brimora::win {
namespace {

constexpr DWORD MIN_LOCATION_BYTES = 2;
constexpr DWORD MAX_LOCATION_BYTES = 32768;

[[nodiscard]] constexpr bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

[[nodiscard]] constexpr bool is_ascii_letter(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// A path as the platform's parser sees it: how it is rooted (no, one or two-or-more leading
// separators: relative, rooted, UNC) and its non-empty components.
struct PathShape {
    std::size_t leading_separators = 0;
    std::vector<std::wstring_view> components;

    bool operator==(const PathShape&) const = default;
};

[[nodiscard]] PathShape shape_of(std::wstring_view path) {
    PathShape shape;
    std::size_t i = 0;
    while (i < path.size() && is_separator(path[i])) {
        ++i;
    }
    shape.leading_separators = std::min<std::size_t>(i, 2);
    while (i < path.size()) {
        const std::size_t start = i;
        while (i < path.size() && !is_separator(path[i])) {
            ++i;
        }
        if (i > start) {
            shape.components.push_back(path.substr(start, i - start));
        }
        while (i < path.size() && is_separator(path[i])) {
            ++i;
        }
    }
    return shape;
}

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

// Empty text for a variable that is set but empty; nothing for an unset one.
[[nodiscard]] std::optional<std::wstring> environment_variable(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        // A set but empty variable also returns 0; only the error code tells it from an unset one.
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::wstring();
        }
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        // Too small: n is the size needed, terminator included. The loop also covers a variable
        // that another thread enlarged in between.
        value.assign(n, L'\0');
    }
}

// Opening the path follows links to their target; without FILE_FLAG_BACKUP_SEMANTICS a directory
// cannot be opened at all, and devices, pipes and consoles are not disk files.
[[nodiscard]] bool is_existing_regular_file(const std::wstring& path) {
    FileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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

// The program is named twice on purpose. lpApplicationName fixes which file runs: the command
// line alone is searched and split at blanks, so "C:\Program Files\x.exe" could start
// "C:\Program.exe". The command line is the child's argv: given NULL, the unquoted path would
// become it and a blank in the path would hand the child arguments.
[[nodiscard]] bool start_program(const std::wstring& program) {
    std::optional<std::wstring> command_line = bare_command_line(program);
    if (!command_line) {
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    // No handle inheritance: the application must not receive the installer's mutex, files or
    // sockets. Environment and current directory are inherited (NULL).
    if (!::CreateProcessW(program.c_str(), command_line->data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started)) {
        return false;
    }
    // Never waited for: both handles are closed as soon as the start has succeeded.
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    return true;
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

bool is_absolute_windows_path(std::wstring_view text) noexcept {
    if (text.size() >= 3 && is_ascii_letter(text[0]) && text[1] == L':' && is_separator(text[2])) {
        return true;
    }
    return text.size() >= 2 && is_separator(text[0]) && is_separator(text[1]);
}

std::wstring join_windows_path(std::wstring_view directory, std::wstring_view name) {
    std::wstring joined(directory);
    if (joined.empty() || !is_separator(joined.back())) {
        joined += L'\\';
    }
    joined += name;
    return joined;
}

bool same_path_components(std::wstring_view a, std::wstring_view b) { return shape_of(a) == shape_of(b); }

std::vector<std::wstring> without_neighbour_duplicates(std::vector<std::wstring> paths) {
    const auto end = std::unique(paths.begin(), paths.end(), [](const auto& a, const auto& b) {
        return same_path_components(a, b);
    });
    paths.erase(end, paths.end());
    return paths;
}

std::optional<std::wstring> bare_command_line(std::wstring_view program) {
    // A quote cannot occur in a Windows file name; one here would end the quoted argv[0] early
    // and turn the rest of the path into arguments.
    if (program.empty() || program.find(L'"') != std::wstring_view::npos) {
        return std::nullopt;
    }
    std::wstring line;
    line.reserve(program.size() + 2);
    line += L'"';
    line += program;
    line += L'"';
    return line;
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
        if (start_program(candidate)) {
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
            if (!start_program(candidate)) {
                return fail("launch_failed", FailureReason::launch_failed);
            }
            return {};
        }
        pause();
    }
    return fail("installed_app_not_found", FailureReason::launch_failed);
}

}  // namespace brimora::win
