#pragma once
// What a test hands an attempt's steps instead of the window and the attempt's flags (progress is
// recorded, the question whether to stop gets the test's answer, holds are waited out briefly),
// and the release they are asked to fetch.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brimora/sha512.hpp"
#include "download.hpp"

namespace brimora::win::test {

struct Reported {
    std::uintptr_t value;
    std::string text;

    bool operator==(const Reported&) const = default;
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

// Release 1.4.0 of these bytes.
inline ValidatedRelease release_of(std::string_view bytes) {
    ValidatedRelease release{Version{1, 4, 0, {}, {}}, "Brimora-1.4.0-win-x64.exe", bytes.size(), {}};
    const auto digest = sha512_of({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    EXPECT_TRUE(digest);
    release.sha512 = digest.value_or(Sha512Digest{});
    return release;
}

inline std::string flip_last(std::string bytes) {
    bytes.back() = static_cast<char>(bytes.back() ^ 0x5a);
    return bytes;
}

}  // namespace brimora::win::test
