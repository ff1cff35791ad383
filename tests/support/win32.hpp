#pragma once
// What the Windows tests share about the platform itself: telling Wine from Windows, and one owner
// for the file handles the tests hold open to provoke sharing and locking behaviour.

#include <windows.h>

#include <memory>
#include <string>
#include <thread>

namespace brimora::testing {

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

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
    std::thread holder_;
};

}  // namespace brimora::testing
