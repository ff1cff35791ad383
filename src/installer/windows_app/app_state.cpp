#include "app_state.hpp"

#include "brimora/texts.hpp"

namespace brimora::win {

std::atomic<bool> RUNNING{false};
std::atomic<bool> CANCELLED{false};
std::atomic<bool> CANCELLABLE{true};

bool begin_attempt() noexcept {
    if (RUNNING.exchange(true)) {
        return false;
    }
    CANCELLED.store(false);
    CANCELLABLE.store(true);
    return true;
}

bool request_cancel() noexcept {
    if (!RUNNING.load() || !CANCELLABLE.load()) {
        return false;
    }
    CANCELLED.store(true);
    return true;
}

void enter_installing() noexcept { CANCELLABLE.store(false); }

void end_attempt(bool failed) noexcept {
    RUNNING.store(false);
    if (failed) {
        CANCELLABLE.store(true);
    }
}

SetOnce<UiHandles> UI;
SetOnce<AppContext> CONTEXT;

InstallerLocale ui_locale() noexcept {
    const AppContext* context = CONTEXT.get();
    return context != nullptr ? context->locale : InstallerLocale::en;
}

const UiText& ui_texts() noexcept { return texts_for(ui_locale()); }

}  // namespace brimora::win
