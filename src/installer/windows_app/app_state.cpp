#include "app_state.hpp"

#include "brimora/texts.hpp"

namespace brimora::win {

std::atomic<bool> RUNNING{false};
std::atomic<bool> CANCELLED{false};
std::atomic<bool> CANCELLABLE{true};

SetOnce<UiHandles> UI;
SetOnce<AppContext> CONTEXT;

InstallerLocale ui_locale() noexcept {
    const AppContext* context = CONTEXT.get();
    return context != nullptr ? context->locale : InstallerLocale::en;
}

const UiText& ui_texts() noexcept { return texts_for(ui_locale()); }

}  // namespace brimora::win
