// The installer window as its procedure runs it: a real window of the real class, driven with the
// messages the worker posts and the commands a user gives. The set-once UI cell allows one window
// per process, so the cases share it and run in order; the success case, which destroys it, is last.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <tuple>
#include <utility>

#include "app.hpp"
#include "app_state.hpp"
#include "brimora/texts.hpp"
#include "ui_messages.hpp"
#include "utf16.hpp"
#include "support/win32.hpp"
#include "window.hpp"

namespace {

using namespace brimora::win;
using brimora::FailureReason;

std::string text_of(HWND control) {
    wchar_t buffer[512] = {};
    ::GetWindowTextW(control, buffer, 512);
    return to_utf8(buffer).value_or("<invalid>");
}

LRESULT bar_position() { return ::SendMessageW(UI.get()->progress_bar, PBM_GETPOS, 0, 0); }

// Delivers what the worker would post, on this (the window's) thread, and pumps until the queue
// is empty; true when the pump met WM_QUIT (with exit code 0) on the way.
bool deliver(UINT message, WPARAM wparam, LPARAM lparam) {
    EXPECT_TRUE(::PostMessageW(UI.get()->window, message, wparam, lparam));
    bool quit = false;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = msg.wParam == 0;
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return quit;
}

void post_progress(WPARAM value, const char* text) {
    static_cast<void>(deliver(WM_INSTALL_PROGRESS, value, reinterpret_cast<LPARAM>(new std::string(text))));
}

void post_failure_reason(std::uint8_t reason) {
    static_cast<void>(deliver(WM_INSTALL_FAILED, 0, reinterpret_cast<LPARAM>(new FailurePayload{"code", reason})));
}

int retries = 0;

// What start_worker does when Retry starts an attempt, without a worker behind it.
void record_retry() {
    if (begin_attempt()) {
        ++retries;
        show_attempt_started();
    }
}

constexpr WindowCommands COMMANDS{.retry = record_retry, .cancel = request_cancel};

class WindowEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        HWND window = create_installer_window(COMMANDS);
        ASSERT_NE(window, nullptr);
        WNDCLASSW registered{};
        ASSERT_NE(::GetClassInfoW(::GetModuleHandleW(nullptr), WINDOW_CLASS, &registered), 0);
        EXPECT_EQ(registered.lpfnWndProc, window_proc);
        ASSERT_NE(UI.get(), nullptr) << "WM_CREATE fills the cell";
        ::ShowWindow(window, SW_SHOW);  // as startup does; a child is only visible with its parent
    }
};

const auto* const ENVIRONMENT = ::testing::AddGlobalTestEnvironment(new WindowEnvironment);

TEST(Window, ControlsAsCreated) {
    const UiHandles& ui = *UI.get();
    struct Control {
        HWND handle;
        const wchar_t* window_class;
        LONG style;
        RECT at;  // client coordinates: left, top, right, bottom
        int id;
        const char* text;
    };
    const Control controls[] = {
        {ui.status_text, L"Static", 0x50000000, {28, 28, 498, 72}, 0, "Preparing the installation…"},
        {ui.progress_bar, PROGRESS_CLASSW, 0x50000000, {28, 82, 498, 104}, 0, ""},
        {ui.retry_button, L"Button", 0x40010001, {296, 124, 392, 156}, RETRY_BUTTON_ID, "Retry"},
        {ui.cancel_button, L"Button", 0x50010000, {402, 124, 498, 156}, CANCEL_BUTTON_ID, "Cancel"},
    };
    HGDIOBJ font = ::GetStockObject(DEFAULT_GUI_FONT);
    for (const Control& c : controls) {
        wchar_t name[64] = {};
        ::GetClassNameW(c.handle, name, 64);
        EXPECT_EQ(::CompareStringOrdinal(name, -1, c.window_class, -1, TRUE), CSTR_EQUAL) << text_of(c.handle);
        EXPECT_EQ(::GetWindowLongW(c.handle, GWL_STYLE), c.style) << text_of(c.handle);
        EXPECT_EQ(::GetDlgCtrlID(c.handle), c.id);
        EXPECT_EQ(text_of(c.handle), c.text);
        RECT r{};
        ::GetWindowRect(c.handle, &r);
        ::MapWindowPoints(HWND_DESKTOP, ui.window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(std::tie(r.left, r.top, r.right, r.bottom), std::tie(c.at.left, c.at.top, c.at.right, c.at.bottom))
            << text_of(c.handle);
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(::SendMessageW(c.handle, WM_GETFONT, 0, 0)), font);
    }
    EXPECT_EQ(::SendMessageW(ui.progress_bar, PBM_GETRANGE, FALSE, 0), 100) << "default range kept";
}

TEST(Window, ProgressSetsTextAndClampsTheBar) {
    const std::pair<WPARAM, LRESULT> cases[] = {{0, 0}, {42, 42}, {100, 100}, {150, 100}, {~WPARAM{0}, 100}};
    for (const auto& [value, shown] : cases) {
        post_progress(value, "Downloading the latest Brimora…");
        EXPECT_EQ(bar_position(), shown) << value;
        EXPECT_EQ(text_of(UI.get()->status_text), "Downloading the latest Brimora…");
    }
}

TEST(Window, CloseAndCancelFollowTheAttemptState) {
    const UiHandles& ui = *UI.get();
    struct Case {
        const char* name;
        bool running;
        bool cancellable;
        UINT message;  // WM_CLOSE, or WM_COMMAND with the Cancel id
        bool cancelled_after;
        bool window_stays;
        bool cancelled_before = false;
    };
    // A destroying row would end the shared window, so "not running" is covered last, by the success case.
    const Case cases[] = {
        {"close while running", true, true, WM_CLOSE, true, true},
        {"cancel button while running", true, true, WM_COMMAND, true, true},
        {"close while the installer runs", true, false, WM_CLOSE, false, true},
        {"cancel while the installer runs", true, false, WM_COMMAND, false, true},
        {"close again while stopping: the flag and the text once more", true, true, WM_CLOSE, true, true, true},
    };
    for (const Case& c : cases) {
        RUNNING.store(c.running);
        CANCELLABLE.store(c.cancellable);
        CANCELLED.store(c.cancelled_before);
        ::SetWindowTextW(ui.status_text, L"before");
        const WPARAM command = c.message == WM_COMMAND ? CANCEL_BUTTON_ID : 0;
        EXPECT_EQ(::SendMessageW(ui.window, c.message, command, 0), 0) << c.name;
        EXPECT_EQ(CANCELLED.load(), c.cancelled_after) << c.name;
        EXPECT_EQ(::IsWindow(ui.window) != FALSE, c.window_stays) << c.name;
        EXPECT_EQ(text_of(ui.status_text), c.cancelled_after ? "Stopping safely…" : "before") << c.name;
    }
    // Unknown command ids change nothing.
    CANCELLED.store(false);
    RUNNING.store(true);
    CANCELLABLE.store(true);
    ::SendMessageW(ui.window, WM_COMMAND, 1003, 0);
    EXPECT_FALSE(CANCELLED.load());
}

TEST(Window, FailureShowsTheReasonsMessageAndOffersRetry) {
    const UiHandles& ui = *UI.get();
    const brimora::UiText& en = brimora::text::EN;
    const std::pair<std::uint8_t, std::string_view> cases[] = {
        {0, en.failure_network},   {1, en.failure_release_info}, {2, en.failure_download},   {3, en.failure_disk_space},
        {4, en.failure_integrity}, {5, en.failure_integrity},    {6, en.failure_publisher},  {7, en.failure_publisher},
        {8, en.failure_install},   {9, en.failure_launch},       {10, en.failure_cancelled}, {11, en.failure_other},
        {200, en.failure_other},  // an ordinal no reason has
    };
    for (const auto& [reason, message] : cases) {
        RUNNING.store(true);
        CANCELLABLE.store(false);
        ::EnableWindow(ui.retry_button, FALSE);
        ::ShowWindow(ui.retry_button, SW_HIDE);
        ::EnableWindow(ui.cancel_button, FALSE);
        ::SetWindowTextW(ui.cancel_button, L"x");
        post_progress(37, "Verifying the download…");
        post_failure_reason(reason);
        EXPECT_EQ(text_of(ui.status_text), message) << int(reason);
        EXPECT_FALSE(RUNNING.load());
        EXPECT_TRUE(CANCELLABLE.load());
        EXPECT_TRUE(::IsWindowVisible(ui.retry_button) && ::IsWindowEnabled(ui.retry_button));
        EXPECT_TRUE(::IsWindowEnabled(ui.cancel_button));
        EXPECT_EQ(text_of(ui.cancel_button), "Cancel");
        EXPECT_EQ(bar_position(), 37) << "the bar keeps its last position";
    }
}

// Retry selected twice starts one attempt; the failure text stays until the attempt's first
// progress, while the bar is back at 0 at once.
TEST(Window, RetryStartsAnAttemptAndTheInstallerDisablesCancel) {
    const UiHandles& ui = *UI.get();
    post_progress(37, "Verifying the download…");
    CANCELLED.store(true);
    post_failure_reason(2);
    ::SetWindowTextW(ui.cancel_button, L"x");
    EXPECT_EQ(::SendMessageW(ui.window, WM_COMMAND, RETRY_BUTTON_ID, 0), 0);
    EXPECT_EQ(::SendMessageW(ui.window, WM_COMMAND, RETRY_BUTTON_ID, 0), 0);
    EXPECT_EQ(retries, 1);
    EXPECT_TRUE(RUNNING.load() && CANCELLABLE.load() && !CANCELLED.load());
    EXPECT_FALSE(::IsWindowVisible(ui.retry_button) || ::IsWindowEnabled(ui.retry_button));
    EXPECT_EQ(text_of(ui.cancel_button), "Cancel");
    EXPECT_EQ(bar_position(), 0);
    EXPECT_EQ(text_of(ui.status_text), brimora::text::EN.failure_download);
    post_progress(3, "Opening your installed Brimora app…");
    EXPECT_EQ(text_of(ui.status_text), "Opening your installed Brimora app…");
    EXPECT_TRUE(::IsWindowEnabled(ui.cancel_button));
    enter_installing();
    EXPECT_FALSE(request_cancel()) << "no stop request while the installer runs";
    disable_cancel_button();
    EXPECT_FALSE(::IsWindowEnabled(ui.cancel_button));
    ::EnableWindow(ui.cancel_button, TRUE);
}

TEST(Window, LanguageOfTheUserInterface) {
    using enum brimora::InstallerLocale;
    // Primary language is the low 10 bits: every Japanese sublanguage is Japanese, and a language
    // whose low byte alone is 0x11 is not.
    const std::pair<LANGID, brimora::InstallerLocale> cases[] = {
        {0x0411, ja}, {0x0011, ja}, {0x0811, ja}, {0xFC11, ja}, {0x0409, en}, {0x0412, en}, {0x0111, en}, {0x0000, en},
    };
    for (const auto& [language, locale] : cases) {
        EXPECT_EQ(locale_for_language(language), locale) << std::hex << language;
    }
}

// What the status text and the bar were last set to, seen by wrapping their window procedures:
// the success message sets both and destroys the window while it is handled, so nothing can be
// read back afterwards.
WNDPROC original_status_proc = nullptr;
WNDPROC original_bar_proc = nullptr;
std::string last_status_text;
LRESULT last_bar_position = -1;

LRESULT CALLBACK recording_status_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SETTEXT) {
        last_status_text = to_utf8(reinterpret_cast<const wchar_t*>(lparam)).value_or("<invalid>");
    }
    return ::CallWindowProcW(original_status_proc, window, message, wparam, lparam);
}

LRESULT CALLBACK recording_bar_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == PBM_SETPOS) {
        last_bar_position = static_cast<LRESULT>(wparam);
    }
    return ::CallWindowProcW(original_bar_proc, window, message, wparam, lparam);
}

// Refuses every "STATIC" control this thread tries to create, as a system out of resources would.
LRESULT CALLBACK refuse_static(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_CREATEWND) {
        const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lparam)->lpcs;
        const ULONG_PTR class_name = reinterpret_cast<ULONG_PTR>(create->lpszClass);
        if (HIWORD(class_name) != 0 &&
            ::CompareStringOrdinal(create->lpszClass, -1, L"STATIC", -1, TRUE) == CSTR_EQUAL) {
            return 1;
        }
    }
    return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

// A window whose controls cannot be created fails WM_CREATE; the error box startup shows then
// must stay until it is dismissed, not close on a quit message left by the failed window.
TEST(Window, FailedCreationLeavesTheErrorBoxUntilDismissed) {
    HHOOK hook = ::SetWindowsHookExW(WH_CBT, refuse_static, nullptr, ::GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    HWND failed = create_installer_window(COMMANDS);
    ::UnhookWindowsHookEx(hook);
    ASSERT_EQ(failed, nullptr);
    // Windows sends WM_DESTROY to a window whose WM_CREATE failed; Wine 8 does not, so it is
    // delivered here as Windows would, to a window that never published its handles.
    HWND unpublished = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(unpublished, nullptr);
    window_proc(unpublished, WM_DESTROY, 0, 0);
    ::DestroyWindow(unpublished);

    std::atomic<bool> stayed{false};
    brimora::testing::TestThread user([&] {
        HWND box = nullptr;
        for (int i = 0; i < 100 && box == nullptr; ++i) {
            ::Sleep(100);
            box = ::FindWindowW(L"#32770", L"Brimora Installer");
        }
        if (box == nullptr) {
            return;
        }
        ::Sleep(500);  // a reader's moment: the box must still be there
        stayed.store(::IsWindowVisible(box) != FALSE);
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    fatal_message("The installer window could not be created.");
    user.join();
    EXPECT_TRUE(stayed.load()) << "the error box closed before it was dismissed";
    MSG pending;
    EXPECT_FALSE(::PeekMessageW(&pending, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "no quit left behind";
    EXPECT_TRUE(::IsWindow(UI.get()->window)) << "the installer's own window is untouched";
}

TEST(Window, SuccessShowsTheTextFillsTheBarAndDestroysTheWindow) {
    const UiHandles& ui = *UI.get();
    original_status_proc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(ui.status_text, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording_status_proc)));
    original_bar_proc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(ui.progress_bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording_bar_proc)));
    post_progress(98, "Opening your installed Brimora app…");
    RUNNING.store(true);
    const bool quit = deliver(WM_INSTALL_SUCCEEDED, 0,
                              reinterpret_cast<LPARAM>(new std::string("Installation complete. Brimora is opening.")));
    EXPECT_EQ(last_status_text, "Installation complete. Brimora is opening.");
    EXPECT_EQ(last_bar_position, 100);
    EXPECT_FALSE(RUNNING.load());
    EXPECT_FALSE(::IsWindow(ui.window));
    EXPECT_TRUE(quit) << "WM_DESTROY posts the quit message that ends the loop";
}

}  // namespace
