#pragma once
// One move-only owner for every kind of OS handle. The close function is part of the type, so a
// handle can never be closed with the wrong function, and copying is impossible.

#include <windows.h>

#include <utility>

namespace brimora::win {

template <typename Traits>
class UniqueHandle {
public:
    using Native = typename Traits::Native;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Native value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] Native get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    // Closes the current value and returns the slot for an out-parameter of a Win32 call.
    [[nodiscard]] Native* put() noexcept {
        reset();
        return &value_;
    }

    [[nodiscard]] Native release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Native value = Traits::invalid()) noexcept {
        const Native old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }

private:
    Native value_ = Traits::invalid();
};

// How a handle type is freed and which value means "no handle": nullptr, or INVALID_HANDLE_VALUE
// for the functions that report failure with it (CreateFileW, FindFirstFileW).
template <typename T, auto Close, bool MinusOneIsInvalid = false>
struct HandleTraits {
    using Native = T;
    static Native invalid() noexcept {
        if constexpr (MinusOneIsInvalid) {
            return INVALID_HANDLE_VALUE;
        } else {
            return nullptr;
        }
    }
    static void close(Native h) noexcept { Close(h); }
};

// Closes one WinHTTP handle (transport.cpp: winhttp.h clashes with wininet.h under MinGW, so it
// stays out of this header; HINTERNET is a void pointer).
void close_winhttp_handle(void* handle) noexcept;

// Named functions rather than lambdas: a lambda in a header gives every file its own handle type.
inline void close_kernel_handle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void close_find_handle(HANDLE h) noexcept { ::FindClose(h); }
inline void close_registry_key(HKEY h) noexcept { ::RegCloseKey(h); }

// Processes, threads, mutexes, events.
using KernelHandle = UniqueHandle<HandleTraits<HANDLE, close_kernel_handle>>;
using FileHandle = UniqueHandle<HandleTraits<HANDLE, close_kernel_handle, true>>;
using FindHandle = UniqueHandle<HandleTraits<HANDLE, close_find_handle, true>>;
using RegistryKey = UniqueHandle<HandleTraits<HKEY, close_registry_key>>;
using WinHttpHandle = UniqueHandle<HandleTraits<void*, close_winhttp_handle>>;

// Files the installer opens never stand in the way of another process reading, writing or deleting
// them (an antivirus scan, an indexer), and it never blocks such a process either.
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace brimora::win
