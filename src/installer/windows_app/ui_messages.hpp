#pragma once
// The three private messages by which the worker reports to the window, and their senders. Each
// payload is heap-allocated by the sender; once PostMessageW succeeds the window procedure owns it
// (and takes it back with the take_* functions), otherwise the sender frees it at once.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "failure.hpp"

namespace brimora::win {

inline constexpr UINT WM_INSTALL_PROGRESS = WM_APP + 1;   // wParam percent, lParam std::string* status text
inline constexpr UINT WM_INSTALL_FAILED = WM_APP + 2;     // lParam FailurePayload*
inline constexpr UINT WM_INSTALL_SUCCEEDED = WM_APP + 3;  // lParam std::string* success text

struct FailurePayload {
    const char* code;     // a reason-code literal, referenced, not owned
    std::uint8_t reason;  // the FailureReason ordinal
};

// Posts a copy of `text` with the percentage; nothing happens while UI is empty.
void progress(std::uintptr_t value, std::string_view text);

// Posts the success text; while UI is empty the text is simply dropped.
void post_success(std::string text);

// Posts the failure pair; nothing happens while UI is empty.
void post_failure(const char* code, FailureReason reason);

// The window procedure's side of the ownership rule: adopt the payload of a received message.
[[nodiscard]] std::unique_ptr<std::string> take_text(LPARAM payload) noexcept;
[[nodiscard]] std::unique_ptr<FailurePayload> take_failure(LPARAM payload) noexcept;

}  // namespace brimora::win
