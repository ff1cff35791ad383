#pragma once
// What the Windows tests share about the platform itself: telling Wine from Windows, a thread,
// and a scanner's hold on a file to provoke sharing behaviour. Handles are owned by the product's
// own handles.hpp.

#include <windows.h>

#include <functional>
#include <string>

#include "handles.hpp"

namespace brimora::testing {

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A thread on CreateThread, joined when it goes out of scope. The toolchain's threading model is
// Win32's, whose libstdc++ (GCC 12) has no std::thread.
class TestThread {
public:
    explicit TestThread(std::function<void()> body)
        : body_(std::move(body)), handle_(::CreateThread(nullptr, 0, &TestThread::entry, this, 0, nullptr)) {}
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread() { join(); }
    void join() {
        if (handle_) {
            ::WaitForSingleObject(handle_.get(), INFINITE);
            handle_.reset();
        }
    }

private:
    static DWORD WINAPI entry(void* self) {
        static_cast<TestThread*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    win::KernelHandle handle_;
};

// A hold on a file as an antivirus scanner or an indexer takes one: opened with `access`, sharing
// reading and writing but not deletion, and let go `hold_ms` later by a thread of its own (at the
// latest when this object ends).
class ScannerHold {
public:
    ScannerHold(const std::wstring& path, DWORD access, DWORD hold_ms)
        : file_(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr)),
          held_(static_cast<bool>(file_)),
          release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          holder_([this, hold_ms] {
              ::WaitForSingleObject(release_.get(), hold_ms);
              file_.reset();
          }) {}
    ScannerHold(const ScannerHold&) = delete;
    ScannerHold& operator=(const ScannerHold&) = delete;
    ~ScannerHold() {
        ::SetEvent(release_.get());
        holder_.join();
    }
    // Whether the file could be opened at all.
    [[nodiscard]] bool held() const { return held_; }

private:
    win::FileHandle file_;
    bool held_;
    win::KernelHandle release_;
    TestThread holder_;
};

}  // namespace brimora::testing
