#pragma once
// GoogleTest's thread-safe Windows build (its own Win32 mutexes and thread-local storage) needs
// one class built on std::mutex and std::condition_variable, Notification, and the Win32
// threading model's libstdc++ (GCC 12) has neither. GoogleTest lets a platform bring its own
// (GTEST_HAS_NOTIFICATION_); this one waits on a Win32 event. Included ahead of every source of
// the Windows tree's GoogleTest and of the tests built on it.

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
public:
    Notification();
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    ~Notification();
    // Lets every waiter go, now and later.
    void Notify();
    void WaitForNotification();

private:
    void* event_;
};

}  // namespace testing::internal
