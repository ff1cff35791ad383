#pragma once
// The installer window: its class, its procedure, every change to its controls, and the startup
// error box.

#include <windows.h>

#include <string_view>

namespace brimora::win {

inline constexpr wchar_t WINDOW_CLASS[] = L"BrimoraInstallerV1";
inline constexpr wchar_t WINDOW_TITLE[] = L"Brimora Installer";
inline constexpr DWORD WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000
inline constexpr int WINDOW_WIDTH = 540;
inline constexpr int WINDOW_HEIGHT = 220;
inline constexpr int RETRY_BUTTON_ID = 1001;
inline constexpr int CANCEL_BUTTON_ID = 1002;

// What the window's buttons ask of the app, on the window's thread.
struct WindowCommands {
    void (*retry)();   // Retry: start an attempt
    bool (*cancel)();  // Cancel or close while an attempt runs: ask it to stop; whether it was asked
};

// Registers the class "BrimoraInstallerV1" (once per process) and creates the hidden window, whose
// WM_CREATE fills UI; null when either fails. `commands` must outlive the window.
[[nodiscard]] HWND create_installer_window(const WindowCommands& commands);

// The window procedure of the class.
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The controls as an attempt starts: Retry hidden and disabled, Cancel labelled, the bar at 0.
// Window thread only; nothing while UI is empty.
void show_attempt_started();

// Disables the Cancel button just before the downloaded installer runs: the one change to a
// control the worker thread makes itself. Nothing while UI is empty.
void disable_cancel_button();

// A modal error box with no owner and the caption "Brimora Installer"; returns once dismissed.
void fatal_message(std::string_view text);

}  // namespace brimora::win
