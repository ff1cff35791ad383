#pragma once
// What a test hands an attempt's steps instead of the window and the attempt's flags: progress is
// recorded, the question whether to stop gets the test's answer, holds are waited out briefly.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download.hpp"

namespace brimora::win::test {

struct Reported {
    std::uintptr_t value;
    std::string text;
};

// Read only once the step has returned (its thread joined).
inline std::vector<Reported> reported;
inline std::atomic<bool> stop{false};
// When set, the first report also asks the step to stop.
inline std::atomic<bool> stop_on_report{false};

inline void record(std::uintptr_t value, std::string_view text) {
    reported.push_back({value, std::string(text)});
    if (stop_on_report.load()) {
        stop.store(true);
    }
}

inline bool stop_asked() { return stop.load(); }

// The reports since the last call, in order.
inline std::vector<Reported> take_reported() { return std::exchange(reported, {}); }

// Long enough for a 0.5 s hold, short beside the 10 s of production.
inline constexpr std::chrono::milliseconds TEST_LOCK_BUDGET{2000};

inline constexpr AttemptIo RECORDING_IO{.progress = record, .cancelled = stop_asked, .lock_budget = TEST_LOCK_BUDGET};

}  // namespace brimora::win::test
