#include <windows.h>

#include "app.hpp"

#include <memory>
#include <string>

#include "app_state.hpp"
#include "brimora/acquisition.hpp"
#include "events.hpp"
#include "handles.hpp"
#include "paths.hpp"
#include "pipeline.hpp"
#include "process.hpp"
#include "system_dlls.hpp"
#include "brimora/texts.hpp"
#include "ui_messages.hpp"
#include "utf16.hpp"
#include "window.hpp"

namespace brimora::win {
namespace {

// The one place where an attempt's steps meet the window and the attempt's flags.
const InstallIo& attempt_io() {
    static const InstallIo io{
        .io = {.progress = progress, .cancelled = [] { return CANCELLED.load(); }},
        .installing =
            [] {
                enter_installing();
                disable_cancel_button();
            },
    };
    return io;
}

void worker_body(AppContext context) {
    auto outcome = install(AppContext(context), attempt_io());
    if (outcome) {
        post_success(std::move(*outcome));
        return;
    }
    send_event(
        AcquisitionEvent::create(context.acquisition, AcquisitionEventType::installer_failed, outcome.error().reason));
    post_failure(outcome.error().code, outcome.error().reason);
}

DWORD WINAPI worker_thread(LPVOID parameter) {
    std::unique_ptr<AppContext> context(static_cast<AppContext*>(parameter));
    worker_body(std::move(*context));
    return 0;
}

}  // namespace

InstallerLocale locale_for_language(LANGID language) noexcept {
    return (language & 0x3FF) == LANG_JAPANESE ? InstallerLocale::ja : InstallerLocale::en;
}

void start_worker() {
    if (!begin_attempt()) {
        return;
    }
    show_attempt_started();
    auto context = std::make_unique<AppContext>(*CONTEXT.get());
    KernelHandle thread(::CreateThread(nullptr, 0, worker_thread, context.get(), 0, nullptr));
    if (!thread) {
        // Without a worker the attempt would stay "running" forever and the window could never be
        // closed; report it as a failed attempt so Retry and Cancel work again.
        post_failure("worker_start_failed", FailureReason::unknown);
        return;
    }
    static_cast<void>(context.release());  // the thread owns it now; the handle closes here (detached)
}

void run() {
    // Before anything can load a DLL; its error waits until the box can speak the user's language.
    const auto system_dlls = load_system_dlls();
    KernelHandle mutex(::CreateMutexW(nullptr, TRUE, MUTEX_NAME));
    if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        return;
    }
    const InstallerLocale locale = locale_for_language(::GetUserDefaultUILanguage());
    const UiText& texts = texts_for(locale);
    if (!system_dlls) {
        fatal_message(texts.fatal_window);
        return;
    }

    const auto local_app_data = environment_variable(L"LOCALAPPDATA");
    if (!local_app_data || local_app_data->empty()) {
        fatal_message(texts.fatal_state);
        return;
    }
    const std::wstring data_dir = join_windows_path(*local_app_data, L"Brimora");
    auto state = load_or_create(join_windows_path(data_dir, widen(STATE_FILE_NAME)), locale);
    if (!state) {
        fatal_message(texts.fatal_state);
        return;
    }
    CONTEXT.set(AppContext{std::move(*state), join_windows_path(join_windows_path(data_dir, L"InstallerCache"), L"v1"),
                           locale});

    static constexpr WindowCommands COMMANDS{.retry = start_worker, .cancel = request_cancel};
    HWND window = create_installer_window(COMMANDS);
    if (window == nullptr) {
        fatal_message(texts.fatal_window);
        return;
    }
    ::ShowWindow(window, SW_SHOW);
    ::UpdateWindow(window);

    start_worker();

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace brimora::win
