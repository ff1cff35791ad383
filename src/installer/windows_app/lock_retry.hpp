#pragma once
// Waiting out another process's hold on a file: an antivirus scanner or indexer opens every new
// executable the moment it appears and, for a few seconds, refuses its rename, start or deletion.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace brimora::win {

// How long a rename or a start refused by another process's hold on the file is tried again.
inline constexpr std::chrono::milliseconds LOCK_RETRY_BUDGET{10000};

// Milliseconds of GetTickCount64: monotonic, whatever happens to the wall clock.
[[nodiscard]] std::uint64_t monotonic_ms() noexcept;
// Sleep.
void sleep_ms(std::uint32_t ms) noexcept;

// The clock a wait reads and the pause it makes; tests step a clock of their own.
struct WaitClock {
    std::uint64_t (*now_ms)() = monotonic_ms;
    void (*pause_ms)(std::uint32_t) = sleep_ms;
};

// An allowance of time spent by the forward steps of its clock: a clock stepped back spends
// nothing meanwhile and never gives time back.
class TimeBudget {
public:
    TimeBudget(std::chrono::milliseconds allowance, WaitClock clock);

    // Milliseconds left, 0 once spent.
    [[nodiscard]] std::uint64_t left_ms();
    // Pauses for `ms`, never past what is left.
    void pause(std::uint32_t ms);

private:
    WaitClock clock_;
    std::uint64_t left_;
    std::uint64_t last_;
};

// Whether an access-denied refusal at `target` can pass: only a file whose deletion is pending
// while someone still holds it. A directory, a read-only file or a file we may not execute stays
// refused however long we wait.
[[nodiscard]] bool access_denied_is_temporary(const std::wstring& target);

// After a refused attempt (GetLastError still its error): whether to try again, having paused.
// Only a sharing or lock violation, or access denied at `target` as access_denied_is_temporary
// judges it, is waited out, with a pause that doubles up to 1 s, until `budget` is spent.
class LockWait {
public:
    [[nodiscard]] bool again(const std::wstring& target, TimeBudget& budget);

private:
    std::uint32_t pause_ = 50;
};

// Runs `attempt` until it succeeds or LockWait gives up; whether the last attempt succeeded.
template <typename Attempt>
[[nodiscard]] bool retry_while_locked(Attempt&& attempt, const std::wstring& target, TimeBudget& budget) {
    for (LockWait wait;;) {
        if (attempt()) {
            return true;
        }
        if (!wait.again(target, budget)) {
            return false;
        }
    }
}

}  // namespace brimora::win
