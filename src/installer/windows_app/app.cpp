#include <windows.h>

#include <commctrl.h>

#include "app.hpp"

#include <memory>
#include <string>

#include "app_state.hpp"
#include "brimora/acquisition.hpp"
#include "events.hpp"
#include "handles.hpp"
#include "installed_app.hpp"
#include "pipeline.hpp"
#include "system_dlls.hpp"
#include "texts.hpp"
#include "ui_messages.hpp"
#include "utf16.hpp"
#include "window.hpp"

namespace brimora::win {
namespace {

// The variable's value; nothing when it is missing or empty (both mean no data directory).
std::optional<std::wstring> environment_value(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            return std::nullopt;
        }
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n is the size needed, terminator included
    }
}

void worker_body(AppContext context) {
    auto outcome = install(AppContext(context));
    if (outcome) {
        post_success(std::move(*outcome));
        return;
    }
    emit_failure(context, outcome.error().reason);
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
    if (RUNNING.exchange(true)) {
        return;
    }
    CANCELLED.store(false);
    CANCELLABLE.store(true);
    if (const UiHandles* ui = UI.get()) {
        ::EnableWindow(ui->retry_button, FALSE);
        ::ShowWindow(ui->retry_button, SW_HIDE);
        const std::wstring cancel = widen(ui_texts().cancel);
        ::SetWindowTextW(ui->cancel_button, cancel.c_str());
        ::SendMessageW(ui->progress_bar, PBM_SETPOS, 0, 0);
    }
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

    const auto local_app_data = environment_value(L"LOCALAPPDATA");
    if (!local_app_data) {
        fatal_message(texts.fatal_state);
        return;
    }
    const std::wstring data_dir = join_windows_path(*local_app_data, L"Brimora");
    auto state = load_or_create(join_windows_path(data_dir, L"acquisition.json"), locale);
    if (!state) {
        fatal_message(texts.fatal_state);
        return;
    }
    CONTEXT.set(AppContext{std::move(*state), join_windows_path(join_windows_path(data_dir, L"InstallerCache"), L"v1"), locale});

    ::InitCommonControls();

    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.style = 0;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    window_class.lpszClassName = WINDOW_CLASS;
    if (::RegisterClassW(&window_class) == 0) {
        fatal_message(texts.fatal_window);
        return;
    }
    HWND window = ::CreateWindowExW(WS_EX_APPWINDOW, WINDOW_CLASS, WINDOW_TITLE, WINDOW_STYLE, CW_USEDEFAULT,
                                    CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
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
