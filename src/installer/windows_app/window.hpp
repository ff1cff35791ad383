#pragma once
// The installer window: its procedure, its controls, and the startup error box.

#include <windows.h>

#include <string_view>

namespace brimora::win {

inline constexpr int RETRY_BUTTON_ID = 1001;
inline constexpr int CANCEL_BUTTON_ID = 1002;

// The window procedure of the class "BrimoraInstallerV1".
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// A modal error box with no owner and the caption "Brimora Installer"; returns once dismissed.
void fatal_message(std::string_view text);

}  // namespace brimora::win
