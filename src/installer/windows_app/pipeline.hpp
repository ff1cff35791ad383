#pragma once
// One install attempt, start to end, on the worker thread.

#include <chrono>
#include <string>

#include "app_state.hpp"
#include "cache_upkeep.hpp"
#include "download.hpp"
#include "failure.hpp"
#include "installed_app.hpp"

namespace brimora::win {

// What install() is given besides its context: where progress goes and whether to stop (`io`),
// what to do as the attempt becomes impossible to cancel, and its waits.
struct InstallIo {
    AttemptIo io;
    // Just before the installer runs: from here on the attempt cannot be cancelled.
    void (*installing)();
    std::chrono::milliseconds cleanup_budget = CLEANUP_RETRY_BUDGET;
    void (*launch_pause)() = pause_after_pass;
};

// Opens an installed copy, or fetches, verifies, runs and opens the latest release. The success
// text, or the failure pair of the step that ended the attempt.
[[nodiscard]] Outcome<std::string> install(AppContext context, const InstallIo& given);

}  // namespace brimora::win
