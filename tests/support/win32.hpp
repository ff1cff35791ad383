#pragma once
// What the Windows tests share about the platform itself: telling Wine from Windows, and one owner
// for the file handles the tests hold open to provoke sharing and locking behaviour.

#include <windows.h>

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

}  // namespace brimora::testing
