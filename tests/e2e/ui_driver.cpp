// Drives the installer window from outside the way a user would, for the end-to-end scenarios.
//
//   ui_driver state          one JSON line: what the user sees (window, status text, bar, buttons)
//   ui_driver click NAME [MS [FILE]]
//                            NAME = retry | cancel | close (the caption's close box); with MS, then
//                            watches the window that long and adds "then": the changes it saw;
//                            with FILE, deletes it once the status after the click has been read
//                            (a test's signal that may let the feed go on)
//   ui_driver watch MS       {"changes": [{"ms", "status", "bar"}, ...]}: every change within MS ms
//   ui_driver message-box    one JSON line: an open error box with the installer's caption, if any
//   ui_driver dismiss        presses OK on that box
//   ui_driver run-with NAME=VALUE PROGRAM
//                            starts PROGRAM with NAME set to VALUE (VALUE may be empty) in an
//                            otherwise inherited environment, waits, and exits with its exit code
//                            (Wine rebuilds the profile variables of a program started from Linux,
//                            so an empty LOCALAPPDATA can only reach the installer this way)
//   ui_driver hold PATH SIZE MS [AFTER]
//                            a scanner: opens PATH as soon as it exists (reading, sharing reading and
//                            writing but not deletion, as antivirus and indexers do), keeps it open
//                            until it has SIZE bytes and, when given, until the file AFTER exists,
//                            then MS milliseconds more; one JSON line says what it held. Gives up
//                            after 300 s without the file
//
// Exit code 0 when the command could be carried out, 1 when its window was not there.

#include <windows.h>

#include <commctrl.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

constexpr int RETRY_ID = 1001;
constexpr int CANCEL_ID = 1002;

std::string utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

using Json = nlohmann::json;

// Invalid UTF-8 cannot come out of utf8(); the replacement only keeps dump() from throwing.
void print(const Json& json) { std::puts(json.dump(-1, ' ', false, Json::error_handler_t::replace).c_str()); }

// Reads a window's text across processes without ever blocking on a hung window.
std::string text_of(HWND window) {
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                          2000, &copied);
    text.resize(copied);
    return utf8(text);
}

std::string class_of(HWND window) {
    wchar_t name[128] = {};
    ::GetClassNameW(window, name, 128);
    return utf8(name);
}

Json button_json(HWND button) {
    if (button == nullptr) {
        return nullptr;
    }
    return {{"visible", ::IsWindowVisible(button) != FALSE},
            {"enabled", ::IsWindowEnabled(button) != FALSE},
            {"text", text_of(button)}};
}

HWND installer_window() { return ::FindWindowW(L"BrimoraInstallerV1", nullptr); }

// The status text and the bar position as one consistent pair.
void read_status_and_bar(HWND status, HWND bar, std::string& status_text, DWORD_PTR& position) {
    // The window may apply a progress message between two reads; only a status text that is the
    // same before and after reading the bar belongs with that bar position.
    for (int attempt = 0; attempt < 10; ++attempt) {
        status_text = status ? text_of(status) : std::string();
        if (bar != nullptr) {
            ::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
        }
        if (!status || text_of(status) == status_text) {
            break;
        }
    }
}

// Watches the window for `ms` milliseconds, polling every 10 ms, and returns a JSON array with one
// {"ms", "status", "bar"} per change seen (the first entry is the state at 0 ms), so latencies are
// measured here rather than across the start-up of separate driver processes.
Json watch(HWND window, DWORD ms) {
    HWND status = ::FindWindowExW(window, nullptr, L"Static", nullptr);
    HWND bar = ::FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    Json out = Json::array();
    std::string last_text;
    DWORD_PTR last_position = ~DWORD_PTR{0};
    for (ULONGLONG now = start; now - start <= ms && ::IsWindow(window); now = ::GetTickCount64()) {
        std::string text;
        DWORD_PTR position = 0;
        read_status_and_bar(status, bar, text, position);
        if (text != last_text || position != last_position) {
            out.push_back({{"ms", now - start}, {"status", text}, {"bar", position}});
            last_text = text;
            last_position = position;
        }
        ::Sleep(10);
    }
    return out;
}

int state() {
    HWND window = installer_window();
    if (window == nullptr) {
        print({{"found", false}});
        return 0;
    }
    HWND status = ::FindWindowExW(window, nullptr, L"Static", nullptr);
    HWND bar = ::FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    DWORD_PTR position = 0;
    std::string status_text;
    read_status_and_bar(status, bar, status_text, position);
    RECT outer{};
    ::GetWindowRect(window, &outer);
    print({{"found", true},
           {"title", text_of(window)},
           {"class", class_of(window)},
           {"style", ::GetWindowLongW(window, GWL_STYLE)},
           {"width", outer.right - outer.left},
           {"height", outer.bottom - outer.top},
           {"status", status ? Json(status_text) : Json()},
           {"bar", bar ? Json(position) : Json()},
           {"retry", button_json(::GetDlgItem(window, RETRY_ID))},
           {"cancel", button_json(::GetDlgItem(window, CANCEL_ID))}});
    return 0;
}

int click(std::wstring_view what, DWORD watch_ms, const wchar_t* release_file) {
    HWND window = installer_window();
    if (window == nullptr) {
        return 1;
    }
    if (what == L"close") {
        // What the caption's close box sends; the window procedure sees WM_CLOSE through DefWindowProc.
        ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    HWND button = ::GetDlgItem(window, what == L"retry" ? RETRY_ID : CANCEL_ID);
    if (button == nullptr) {
        return 1;
    }
    // BM_CLICK behaves like the mouse: a hidden or disabled button does nothing.
    if (!::IsWindowVisible(button) || !::IsWindowEnabled(button)) {
        print({{"clicked", false}});
        return 0;
    }
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    // The click has been handled when SendMessage returns; the status it left is read at once,
    // before the worker's next progress message can replace it.
    HWND status = ::FindWindowExW(window, nullptr, L"Static", nullptr);
    Json out = {{"clicked", true}, {"status_after", status ? Json(text_of(status)) : Json()}};
    if (release_file != nullptr) {
        ::DeleteFileW(release_file);
    }
    if (watch_ms > 0) {
        out["then"] = watch(window, watch_ms);
    }
    print(out);
    return 0;
}

HWND message_box() {
    HWND box = nullptr;
    while ((box = ::FindWindowExW(nullptr, box, L"#32770", L"Brimora Installer")) != nullptr) {
        if (::IsWindowVisible(box)) {
            return box;
        }
    }
    return nullptr;
}

int describe_message_box() {
    HWND box = message_box();
    if (box == nullptr) {
        print({{"found", false}});
        return 0;
    }
    std::string text;
    for (HWND child = ::FindWindowExW(box, nullptr, L"Static", nullptr); child != nullptr;
         child = ::FindWindowExW(box, child, L"Static", nullptr)) {
        const std::string piece = text_of(child);
        if (!piece.empty()) {
            text = piece;
        }
    }
    print({{"found", true}, {"text", text}});
    return 0;
}

int dismiss() {
    HWND box = message_box();
    if (box == nullptr) {
        return 1;
    }
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

// The current environment block with NAME replaced by (or given) VALUE.
std::wstring environment_with(std::wstring_view assignment) {
    const std::wstring_view name = assignment.substr(0, assignment.find(L'=') + 1);  // "NAME="
    std::wstring block;
    wchar_t* current = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        if (text.size() >= name.size() &&
            ::CompareStringOrdinal(text.data(), static_cast<int>(name.size()), name.data(),
                                   static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
            continue;
        }
        block.append(text).push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(current);
    block.append(assignment).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

int run_with(std::wstring_view assignment, const wchar_t* program) {
    std::wstring environment = environment_with(assignment);
    std::wstring command_line = L"\"" + std::wstring(program) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program, command_line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          environment.data(), nullptr, &startup, &info)) {
        std::fprintf(stderr, "cannot start: error %lu\n", ::GetLastError());
        return 126;
    }
    ::WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

LONGLONG size_of(HANDLE file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

int hold(const wchar_t* path, LONGLONG size, DWORD extra_ms, const wchar_t* after) {
    const ULONGLONG started = ::GetTickCount64();
    const auto waited_too_long = [&] { return ::GetTickCount64() - started > 300000; };
    HANDLE file = INVALID_HANDLE_VALUE;
    while ((file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr)) == INVALID_HANDLE_VALUE) {
        if (waited_too_long()) {
            std::puts("{\"held\":false}");
            return 1;
        }
        ::Sleep(5);
    }
    const LONGLONG opened_at = size_of(file);
    while ((size_of(file) < size || (after != nullptr && ::GetFileAttributesW(after) == INVALID_FILE_ATTRIBUTES)) &&
           !waited_too_long()) {
        ::Sleep(20);
    }
    const LONGLONG reached = size_of(file);
    ::Sleep(extra_ms);
    ::CloseHandle(file);
    std::printf("{\"held\":true,\"opened_at\":%lld,\"reached\":%lld,\"held_ms\":%llu}\n", opened_at, reached,
                ::GetTickCount64() - started);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring_view command = argc > 1 ? argv[1] : L"";
    if (command == L"state") {
        return state();
    }
    if (command == L"click" && argc > 2) {
        return click(argv[2], argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 0,
                     argc > 4 ? argv[4] : nullptr);
    }
    if (command == L"watch" && argc > 2) {
        HWND window = installer_window();
        if (window == nullptr) {
            return 1;
        }
        print({{"changes", watch(window, static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)))}});
        return 0;
    }
    if (command == L"message-box") {
        return describe_message_box();
    }
    if (command == L"dismiss") {
        return dismiss();
    }
    if (command == L"run-with" && argc > 3 && std::wstring_view(argv[2]).find(L'=') != std::wstring_view::npos) {
        return run_with(argv[2], argv[3]);
    }
    if (command == L"hold" && argc > 4) {
        return hold(argv[2], std::wcstoll(argv[3], nullptr, 10), static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)),
                    argc > 5 ? argv[5] : nullptr);
    }
    std::fputs(
        "usage: ui_driver state | click retry|cancel|close | message-box | dismiss | run-with NAME=VALUE PROGRAM | "
        "hold PATH SIZE MS [AFTER]\n",
        stderr);
    return 2;
}
