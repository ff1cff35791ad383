#include <windows.h>

#include "lock_retry.hpp"

#include <algorithm>

namespace brimora::win {

// Not std::chrono::steady_clock: with the Win32 thread model libstdc++ implements it with
// gettimeofday, so a wall clock stepped back would stretch every budget measured with it.
std::uint64_t monotonic_ms() noexcept { return ::GetTickCount64(); }

void sleep_ms(std::uint32_t ms) noexcept { ::Sleep(ms); }

TimeBudget::TimeBudget(std::chrono::milliseconds allowance, WaitClock clock)
    : clock_(clock),
      left_(static_cast<std::uint64_t>(std::max<std::chrono::milliseconds::rep>(allowance.count(), 0))),
      last_(clock_.now_ms()) {}

std::uint64_t TimeBudget::left_ms() {
    const std::uint64_t now = clock_.now_ms();
    if (now > last_) {
        left_ -= std::min(left_, now - last_);
    }
    last_ = now;
    return left_;
}

void TimeBudget::pause(std::uint32_t ms) {
    const std::uint64_t left = left_ms();
    if (left != 0) {
        clock_.pause_ms(static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, left)));
    }
}

bool access_denied_is_temporary(const std::wstring& target) {
    // A file whose deletion is pending cannot be opened, not even for its attributes, until its
    // last holder closes it: the query fails with access denied. Anything the query can describe
    // (a directory, a read-only file, a file without execute permission) is there to stay.
    return ::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_ACCESS_DENIED;
}

bool LockWait::again(const std::wstring& target, TimeBudget& budget) {
    const DWORD error = ::GetLastError();
    const bool temporary = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                           (error == ERROR_ACCESS_DENIED && access_denied_is_temporary(target));
    if (!temporary || budget.left_ms() == 0) {
        return false;
    }
    budget.pause(pause_);
    pause_ = std::min<std::uint32_t>(pause_ * 2, 1000);
    return true;
}

}  // namespace brimora::win
