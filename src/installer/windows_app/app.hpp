#pragma once
// Process startup and the install attempts: single instance, language, state, window, worker.

#include <windows.h>

#include "brimora/acquisition.hpp"

namespace brimora::win {

inline constexpr wchar_t MUTEX_NAME[] = L"Local\\BrimoraInstallerV1";

// Japanese for every Japanese sublanguage of the language id, English otherwise.
[[nodiscard]] InstallerLocale locale_for_language(LANGID language) noexcept;

// The whole program: startup, the first attempt, the message loop. Returns when the window is gone
// or startup ended (second instance, error box).
void run();

// Starts one install attempt on a detached worker thread unless one is running. Window thread only.
void start_worker();

}  // namespace brimora::win
