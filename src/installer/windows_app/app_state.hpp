#pragma once
// The process-wide state of the installer: the context every install attempt copies, three atomic
// flags and two set-once cells. Nothing else is shared between the window and worker threads.

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>

#include "brimora/acquisition.hpp"
#include "brimora/texts.hpp"

namespace brimora::win {

struct AppContext {
    AcquisitionState acquisition;
    std::wstring cache_dir;
    InstallerLocale locale = InstallerLocale::en;
};

struct UiHandles {
    HWND window = nullptr;
    HWND status_text = nullptr;
    HWND progress_bar = nullptr;
    HWND retry_button = nullptr;
    HWND cancel_button = nullptr;
};

// Written once, then read lock-free from any thread. A reader sees either nothing or the complete
// value: the value is constructed before the flag that publishes it is stored.
template <typename T>
class SetOnce {
public:
    // Stores the value if none was stored yet; false (and no change) otherwise.
    bool set(T value) {
        bool expected = false;
        if (!claimed_.compare_exchange_strong(expected, true)) {
            return false;
        }
        value_.emplace(std::move(value));
        ready_.store(true);
        return true;
    }

    // The stored value, or null while the cell is empty.
    [[nodiscard]] const T* get() const noexcept { return ready_.load() ? &*value_ : nullptr; }

private:
    std::optional<T> value_;
    std::atomic<bool> claimed_{false};
    std::atomic<bool> ready_{false};
};

// An install attempt is running (set by start_worker, cleared when the window handles its outcome).
extern std::atomic<bool> RUNNING;
// The user asked the running attempt to stop.
extern std::atomic<bool> CANCELLED;
// A stop request is accepted now (cleared just before the downloaded installer runs).
extern std::atomic<bool> CANCELLABLE;

// The only writers of the three flags, each called from the one place that moves an attempt on.

// start_worker: true when no attempt was running and a new one begins (running, cancellable, not
// cancelled); false, and nothing changed, while one runs.
[[nodiscard]] bool begin_attempt() noexcept;
// The window, on Cancel or close: the running attempt is asked to stop, when it still may be;
// whether the request was taken.
bool request_cancel() noexcept;
// The pipeline, just before the installer runs: no stop request is taken from here on.
void enter_installing() noexcept;
// The window, as it shows the outcome: no attempt runs; after a failure stop requests (and with
// them closing the window) are taken again.
void end_attempt(bool failed) noexcept;

extern SetOnce<UiHandles> UI;
extern SetOnce<AppContext> CONTEXT;

// The UI language: CONTEXT's locale, English while CONTEXT is empty.
[[nodiscard]] InstallerLocale ui_locale() noexcept;

// The texts of the UI language.
[[nodiscard]] const UiText& ui_texts() noexcept;

}  // namespace brimora::win
