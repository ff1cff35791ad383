#pragma once
// What the installer takes from its own process and hands to the ones it starts: environment
// variables, command lines and process starts.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "handles.hpp"

namespace brimora::win {

// The variable's value; empty text for a variable that is set but empty, nothing for an unset one.
[[nodiscard]] std::optional<std::wstring> environment_variable(const wchar_t* name);

// The program's path in double quotes as argv[0], then the arguments (if any) after one space;
// nothing if the path is empty or holds a quote.
[[nodiscard]] std::optional<std::wstring> command_line(std::wstring_view program, std::wstring_view arguments = {});

// A started process and its first thread, both empty when the start failed; both handles are
// closed when this ends.
struct Process {
    KernelHandle process;
    KernelHandle thread;

    explicit operator bool() const noexcept { return static_cast<bool>(process); }
};

// Starts the program with command_line(program, arguments); it inherits no handles, but our
// environment and current directory; an empty Process when the start failed (GetLastError says
// why).
[[nodiscard]] Process start_process(const std::wstring& program, std::wstring_view arguments = {});

}  // namespace brimora::win
