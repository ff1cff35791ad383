#pragma once
// Records what the worker posts to the window: progress lands in the queue of a message-only
// window of the main thread, set once in UI as the window procedure would on WM_CREATE.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app_state.hpp"
#include "ui_messages.hpp"

namespace brimora::win::test {

inline HWND progress_window = nullptr;

// Register once per test program: ::testing::AddGlobalTestEnvironment(new ProgressWindow).
class ProgressWindow : public ::testing::Environment {
    void SetUp() override {
        progress_window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(progress_window, nullptr);
        ASSERT_TRUE(UI.set(UiHandles{.window = progress_window}));
    }
};

struct Posted {
    std::uintptr_t value;
    std::string text;
};

// The progress messages queued since the last call, in the order they were posted.
inline std::vector<Posted> take_posted() {
    std::vector<Posted> posted;
    MSG m;
    while (::PeekMessageW(&m, progress_window, WM_INSTALL_PROGRESS, WM_INSTALL_PROGRESS, PM_REMOVE)) {
        posted.push_back({static_cast<std::uintptr_t>(m.wParam), *take_text(m.lParam)});
    }
    return posted;
}

}  // namespace brimora::win::test
