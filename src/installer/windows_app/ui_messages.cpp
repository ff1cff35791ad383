#include "ui_messages.hpp"

#include "app_state.hpp"

namespace brimora::win {
namespace {

// Ownership passes to the window only when the post succeeds; otherwise unique_ptr frees it here.
template <typename Payload>
void post(UINT message, WPARAM value, std::unique_ptr<Payload> payload) {
    const UiHandles* ui = UI.get();
    if (ui == nullptr) {
        return;
    }
    if (::PostMessageW(ui->window, message, value, reinterpret_cast<LPARAM>(payload.get()))) {
        static_cast<void>(payload.release());
    }
}

}  // namespace

void progress(std::uintptr_t value, std::string_view text) {
    if (UI.get() == nullptr) {
        return;
    }
    post(WM_INSTALL_PROGRESS, static_cast<WPARAM>(value), std::make_unique<std::string>(text));
}

void post_success(std::string text) { post(WM_INSTALL_SUCCEEDED, 0, std::make_unique<std::string>(std::move(text))); }

void post_failure(const char* code, FailureReason reason) {
    post(WM_INSTALL_FAILED, 0,
         std::make_unique<FailurePayload>(FailurePayload{code, static_cast<std::uint8_t>(reason)}));
}

std::unique_ptr<std::string> take_text(LPARAM payload) noexcept {
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(payload));
}

std::unique_ptr<FailurePayload> take_failure(LPARAM payload) noexcept {
    return std::unique_ptr<FailurePayload>(reinterpret_cast<FailurePayload*>(payload));
}

}  // namespace brimora::win
