#include <windows.h>

#include "process.hpp"

namespace brimora::win {

std::optional<std::wstring> environment_variable(const wchar_t* name) {
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

std::optional<std::wstring> command_line(std::wstring_view program, std::wstring_view arguments) {
    // A quote cannot occur in a Windows file name; one here would end the quoted argv[0] early
    // and turn the rest of the path into arguments.
    if (program.empty() || program.find(L'"') != std::wstring_view::npos) {
        return std::nullopt;
    }
    std::wstring line = L"\"";
    line += program;
    line += L'"';
    if (!arguments.empty()) {
        line += L' ';
        line += arguments;
    }
    return line;
}

// The program is named twice on purpose. lpApplicationName fixes which file runs: the command
// line alone is searched and split at blanks, so "C:\Program Files\x.exe" could start
// "C:\Program.exe". The command line is the child's argv: given NULL, the unquoted path would
// become it and a blank in the path would hand the child arguments.
Process start_process(const std::wstring& program, std::wstring_view arguments) {
    std::optional<std::wstring> line = command_line(program, arguments);
    if (!line) {
        ::SetLastError(ERROR_INVALID_NAME);
        return {};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    // No handle inheritance: the child must not keep the installer's mutex, cache files or the
    // event threads' sockets open. Environment and current directory are ours (NULL).
    if (!::CreateProcessW(program.c_str(), line->data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started)) {
        return {};
    }
    return Process{KernelHandle(started.hProcess), KernelHandle(started.hThread)};
}

}  // namespace brimora::win
