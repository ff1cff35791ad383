#pragma once
// What the Windows tests share about the platform itself: telling Wine from Windows, a thread,
// and one owner for the file handles the tests hold open to provoke sharing and locking behaviour.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

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
        if (handle_ != nullptr) {
            ::WaitForSingleObject(handle_, INFINITE);
            ::CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    static DWORD WINAPI entry(void* self) {
        static_cast<TestThread*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_;
};

// A CreateFileW handle, closed once when it goes out of scope.
class TestFileHandle {
public:
    explicit TestFileHandle(HANDLE handle) : handle_(handle) {}
    TestFileHandle(const TestFileHandle&) = delete;
    TestFileHandle& operator=(const TestFileHandle&) = delete;
    ~TestFileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    [[nodiscard]] HANDLE get() const { return handle_; }
    [[nodiscard]] bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// A hold on a file as an antivirus scanner or an indexer takes one: opened with `access`, sharing
// reading and writing but not deletion, and let go `hold_ms` later by a thread of its own (at the
// latest when this object ends).
class ScannerHold {
public:
    ScannerHold(const std::wstring& path, DWORD access, DWORD hold_ms)
        : file_(std::make_unique<TestFileHandle>(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                               nullptr, OPEN_EXISTING, 0, nullptr))),
          held_(file_->valid()),
          release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          holder_([this, hold_ms] {
              ::WaitForSingleObject(release_, hold_ms);
              file_.reset();
          }) {}
    ScannerHold(const ScannerHold&) = delete;
    ScannerHold& operator=(const ScannerHold&) = delete;
    ~ScannerHold() {
        ::SetEvent(release_);
        holder_.join();
        ::CloseHandle(release_);
    }
    // Whether the file could be opened at all.
    [[nodiscard]] bool held() const { return held_; }

private:
    std::unique_ptr<TestFileHandle> file_;
    bool held_;
    HANDLE release_;
    TestThread holder_;
};

}  // namespace brimora::testing
