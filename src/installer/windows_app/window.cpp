#include <windows.h>

#include <commctrl.h>

#include "window.hpp"

#include <algorithm>

#include "app_state.hpp"
#include "brimora/texts.hpp"
#include "ui_messages.hpp"
#include "utf16.hpp"

namespace brimora::win {
namespace {

constexpr DWORD STATUS_STYLE = WS_CHILD | WS_VISIBLE | SS_LEFT;                     // 0x50000000
constexpr DWORD PROGRESS_STYLE = WS_CHILD | WS_VISIBLE;                             // 0x50000000
constexpr DWORD RETRY_STYLE = WS_CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON;             // 0x40010001, hidden
constexpr DWORD CANCEL_STYLE = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;  // 0x50010000
static_assert(STATUS_STYLE == 0x50000000 && RETRY_STYLE == 0x40010001 && CANCEL_STYLE == 0x50010000);

// The UTF-16 copy lives only for the duration of the call. The download posts the same status
// text with every chunk it writes; setting it again would repaint the control each time for
// nothing, and on a fast link that keeps the window thread busy enough to slow the download.
void set_text(HWND control, std::string_view text) {
    const std::wstring wide = widen(text);
    std::wstring current(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
    current.resize(
        static_cast<std::size_t>(::GetWindowTextW(control, current.data(), static_cast<int>(current.size()))));
    if (current != wide) {
        ::SetWindowTextW(control, wide.c_str());
    }
}

HWND create_control(HWND parent, HINSTANCE instance, const wchar_t* window_class, std::string_view text, DWORD style,
                    int x, int y, int width, int height, int id) {
    const std::wstring wide = widen(text);
    return ::CreateWindowExW(0, window_class, text.empty() ? nullptr : wide.c_str(), style, x, y, width, height, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

LRESULT on_create(HWND window) {
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    HGDIOBJ font = ::GetStockObject(DEFAULT_GUI_FONT);
    const UiText& texts = ui_texts();
    UiHandles ui;
    ui.window = window;
    ui.status_text = create_control(window, instance, L"STATIC", texts.preparing, STATUS_STYLE, 28, 28, 470, 44, 0);
    ui.progress_bar = create_control(window, instance, PROGRESS_CLASSW, {}, PROGRESS_STYLE, 28, 82, 470, 22, 0);
    ui.retry_button =
        create_control(window, instance, L"BUTTON", texts.retry, RETRY_STYLE, 296, 124, 96, 32, RETRY_BUTTON_ID);
    ui.cancel_button =
        create_control(window, instance, L"BUTTON", texts.cancel, CANCEL_STYLE, 402, 124, 96, 32, CANCEL_BUTTON_ID);
    // A window without its controls could show nothing and offer no way out; failing WM_CREATE
    // makes CreateWindowExW fail, and startup then shows its error box instead.
    if (ui.status_text == nullptr || ui.progress_bar == nullptr || ui.retry_button == nullptr ||
        ui.cancel_button == nullptr) {
        return -1;
    }
    for (HWND control : {ui.status_text, ui.progress_bar, ui.retry_button, ui.cancel_button}) {
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    UI.set(ui);
    return 0;
}

const WindowCommands& commands_of(HWND window) {
    return *reinterpret_cast<const WindowCommands*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

// While the downloaded installer runs the request is refused: closing then could leave a
// half-done installation behind with nobody reporting it, so the window stays.
void on_close(HWND window) {
    if (!RUNNING.load()) {
        ::DestroyWindow(window);
    } else if (commands_of(window).cancel()) {
        if (const UiHandles* ui = UI.get()) {
            set_text(ui->status_text, ui_texts().stopping);
        }
    }
}

void on_progress(WPARAM value, LPARAM payload) {
    const auto text = take_text(payload);
    if (const UiHandles* ui = UI.get()) {
        set_text(ui->status_text, *text);
        ::SendMessageW(ui->progress_bar, PBM_SETPOS, std::min<WPARAM>(value, 100), 0);
    }
}

void on_failed(LPARAM payload) {
    const auto failure = take_failure(payload);
    end_attempt(true);
    // The ordinal crossed a thread boundary as a byte; anything out of range reads as unknown.
    const auto reason = failure->reason <= static_cast<std::uint8_t>(FailureReason::unknown)
                            ? static_cast<FailureReason>(failure->reason)
                            : FailureReason::unknown;
    const UiText& texts = ui_texts();
    if (const UiHandles* ui = UI.get()) {
        set_text(ui->status_text, failure_message(texts, reason));
        ::EnableWindow(ui->retry_button, TRUE);
        ::EnableWindow(ui->cancel_button, TRUE);
        ::ShowWindow(ui->retry_button, SW_SHOW);
        set_text(ui->cancel_button, texts.cancel);
    }
}

void on_succeeded(HWND window, LPARAM payload) {
    const auto text = take_text(payload);
    end_attempt(false);
    if (const UiHandles* ui = UI.get()) {
        set_text(ui->status_text, *text);
        ::SendMessageW(ui->progress_bar, PBM_SETPOS, 100, 0);
    }
    ::DestroyWindow(window);
}

}  // namespace

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            return on_create(window);
        case WM_DESTROY:
            // A window whose WM_CREATE failed is destroyed inside CreateWindowExW and never
            // published its handles. Quitting then would leave WM_QUIT pending, and the startup
            // error box that follows would close on it before it could be read.
            if (const UiHandles* ui = UI.get(); ui != nullptr && ui->window == window) {
                ::PostQuitMessage(0);
            }
            return 0;
        case WM_CLOSE:
            on_close(window);
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case RETRY_BUTTON_ID:
                    commands_of(window).retry();
                    break;
                case CANCEL_BUTTON_ID:
                    on_close(window);
                    break;
                default:
                    break;
            }
            return 0;
        case WM_INSTALL_PROGRESS:
            on_progress(wparam, lparam);
            return 0;
        case WM_INSTALL_FAILED:
            on_failed(lparam);
            return 0;
        case WM_INSTALL_SUCCEEDED:
            on_succeeded(window, lparam);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wparam, lparam);
    }
}

HWND create_installer_window(const WindowCommands& commands) {
    ::InitCommonControls();
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.style = 0;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    window_class.lpszClassName = WINDOW_CLASS;
    if (::RegisterClassW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return nullptr;
    }
    HWND window = ::CreateWindowExW(WS_EX_APPWINDOW, WINDOW_CLASS, WINDOW_TITLE, WINDOW_STYLE, CW_USEDEFAULT,
                                    CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
        // Set before the first message is dispatched, so no click can come before it.
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&commands));
    }
    return window;
}

void show_attempt_started() {
    if (const UiHandles* ui = UI.get()) {
        ::EnableWindow(ui->retry_button, FALSE);
        ::ShowWindow(ui->retry_button, SW_HIDE);
        set_text(ui->cancel_button, ui_texts().cancel);
        ::SendMessageW(ui->progress_bar, PBM_SETPOS, 0, 0);
    }
}

void disable_cancel_button() {
    if (const UiHandles* ui = UI.get()) {
        ::EnableWindow(ui->cancel_button, FALSE);
    }
}

void fatal_message(std::string_view text) {
    const std::wstring wide = widen(text);
    ::MessageBoxW(nullptr, wide.c_str(), WINDOW_TITLE, MB_OK | MB_ICONERROR);
}

}  // namespace brimora::win
