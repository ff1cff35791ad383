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

// Kernel objects whose "no handle" value is NULL (processes, threads, mutexes, events).
struct KernelHandleTraits {
    using Native = HANDLE;
    static constexpr Native invalid() noexcept { return nullptr; }
    static void close(Native h) noexcept { ::CloseHandle(h); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not NULL.
struct FileHandleTraits {
    using Native = HANDLE;
    static Native invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Native h) noexcept { ::CloseHandle(h); }
};

struct RegistryKeyTraits {
    using Native = HKEY;
    static constexpr Native invalid() noexcept { return nullptr; }
    static void close(Native h) noexcept { ::RegCloseKey(h); }
};

struct FindHandleTraits {
    using Native = HANDLE;
    static Native invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Native h) noexcept { ::FindClose(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using RegistryKey = UniqueHandle<RegistryKeyTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;

}  // namespace brimora::win
