#pragma once
// One move-only owner for every kind of OS handle the installer and the library's Windows files
// hold, with each kind's close function beside it. The close function is part of the type, so a
// handle can never be closed with the wrong function, and copying is impossible.

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <utility>

// winhttp.h clashes with wininet.h under MinGW, so it stays inside the transport; this is its
// declaration of the one function the handle kind needs (HINTERNET is a void pointer).
extern "C" WINBOOL WINAPI WinHttpCloseHandle(LPVOID handle);

namespace brimora::win {

namespace detail {
// The one copy of closing with GetLastError kept: inlined into every owner's destructor it would
// cost the exe some bytes per handle kind and call site.
[[gnu::noinline]] inline void close_keeping_last_error(void (*close)(void*) noexcept, void* value) noexcept {
    const DWORD error = ::GetLastError();
    close(value);
    ::SetLastError(error);
}
}  // namespace detail

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

    // Closes the current value, if any, and keeps `value`. GetLastError is the same afterwards: a
    // handle that goes out of scope between a failing call and its caller's GetLastError must not
    // answer in that call's place.
    void reset(Native value = Traits::invalid()) noexcept {
        const Native old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            detail::close_keeping_last_error(&close_erased, const_cast<void*>(static_cast<const void*>(old)));
        }
    }

private:
    static void close_erased(void* value) noexcept { Traits::close(static_cast<Native>(value)); }

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
    static void close(Native h) noexcept { static_cast<void>(Close(h)); }
};

// Named functions rather than lambdas: a lambda in a header gives every file its own handle type.
inline BOOL close_kernel_handle(HANDLE h) noexcept { return ::CloseHandle(h); }
inline BOOL close_find_handle(HANDLE h) noexcept { return ::FindClose(h); }
inline LSTATUS close_registry_key(HKEY h) noexcept { return ::RegCloseKey(h); }
inline BOOL close_winhttp_handle(void* h) noexcept { return ::WinHttpCloseHandle(h); }
// Flag 0: a context still referenced elsewhere keeps the store alive instead of being freed under
// its user's feet (CERT_CLOSE_STORE_FORCE_FLAG would).
inline BOOL close_cert_store(HCERTSTORE h) noexcept { return ::CertCloseStore(h, 0); }
inline BOOL close_crypt_message(HCRYPTMSG h) noexcept { return ::CryptMsgClose(h); }
inline BOOL free_cert_context(PCCERT_CONTEXT h) noexcept { return ::CertFreeCertificateContext(h); }
inline NTSTATUS close_bcrypt_algorithm(BCRYPT_ALG_HANDLE h) noexcept { return ::BCryptCloseAlgorithmProvider(h, 0); }
inline NTSTATUS destroy_bcrypt_hash(BCRYPT_HASH_HANDLE h) noexcept { return ::BCryptDestroyHash(h); }

// Processes, threads, mutexes, events.
using KernelHandle = UniqueHandle<HandleTraits<HANDLE, close_kernel_handle>>;
using FileHandle = UniqueHandle<HandleTraits<HANDLE, close_kernel_handle, true>>;
using FindHandle = UniqueHandle<HandleTraits<HANDLE, close_find_handle, true>>;
using RegistryKey = UniqueHandle<HandleTraits<HKEY, close_registry_key>>;
using WinHttpHandle = UniqueHandle<HandleTraits<void*, close_winhttp_handle>>;
using CertStore = UniqueHandle<HandleTraits<HCERTSTORE, close_cert_store>>;
using CryptMessage = UniqueHandle<HandleTraits<HCRYPTMSG, close_crypt_message>>;
using CertContext = UniqueHandle<HandleTraits<PCCERT_CONTEXT, free_cert_context>>;
// A hash object lives inside its algorithm provider: its owner must be reset before the provider's.
using BcryptAlgorithm = UniqueHandle<HandleTraits<BCRYPT_ALG_HANDLE, close_bcrypt_algorithm>>;
using BcryptHash = UniqueHandle<HandleTraits<BCRYPT_HASH_HANDLE, destroy_bcrypt_hash>>;

// The provider state a WinVerifyTrust verify call leaves in the trust data, whatever its verdict:
// only a second call with the close action on the same data frees it. The handle is the trust data
// itself, whose layout is the caller's (MinGW's WINTRUST_DATA lacks the member Windows 8 appended).
template <typename TrustData>
struct TrustStateTraits {
    using Native = TrustData*;
    static Native invalid() noexcept { return nullptr; }
    static void close(Native data) noexcept {
        data->dwStateAction = WTD_STATEACTION_CLOSE;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        static_cast<void>(::WinVerifyTrust(nullptr, &action, data));
    }
};
template <typename TrustData>
using TrustState = UniqueHandle<TrustStateTraits<TrustData>>;

// Files the installer opens never stand in the way of another process reading, writing or deleting
// them (an antivirus scan, an indexer), and it never blocks such a process either.
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace brimora::win
