#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "handles.hpp"
#include "sha512_backend.hpp"

namespace brimora {

// The hash object lives inside the algorithm provider, so it is destroyed before the provider is
// closed; member destruction order is not trusted with that.
struct Sha512::State {
    ~State() { hash.reset(); }

    win::BcryptAlgorithm algorithm;
    win::BcryptHash hash;
};

void Sha512::StateDeleter::operator()(State* state) const noexcept { delete state; }

namespace detail {
namespace {

// BCrypt reports NTSTATUS values, which are not Win32 error codes; their texts live in ntdll's
// message table.
class NtStatusCategory final : public std::error_category {
public:
    [[nodiscard]] const char* name() const noexcept override { return "ntstatus"; }
    [[nodiscard]] std::string message(int value) const override {
        const DWORD status = static_cast<DWORD>(value);
        wchar_t wide[512];
        const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                              ::GetModuleHandleW(L"ntdll.dll"), status, 0, wide,
                                              static_cast<DWORD>(std::size(wide)), nullptr);
        char hex[32];
        std::snprintf(hex, sizeof hex, "NTSTATUS 0x%08lX", static_cast<unsigned long>(status));
        if (length == 0) {
            return hex;
        }
        std::wstring_view text(wide, length);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
            text.remove_suffix(1);
        }
        const int wide_length = static_cast<int>(text.size());
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) {
            return hex;
        }
        std::string utf8(static_cast<std::size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, utf8.data(), bytes, nullptr, nullptr);
        return utf8 + " (" + hex + ")";
    }
};

// At namespace scope, not a function-local static: the category is constant-initialised, while a
// local static's thread-safe guard would link libstdc++'s guard and with it winpthread (~29 KB).
const NtStatusCategory NTSTATUS_CATEGORY;

std::error_code status_error(NTSTATUS status) { return {static_cast<int>(status), NTSTATUS_CATEGORY}; }

// BCryptHashData counts in ULONG; larger spans go in slices.
constexpr std::size_t MAX_SLICE = 0x40000000;

}  // namespace

std::expected<Sha512::StatePtr, std::error_code> start_sha512_state() {
    Sha512::StatePtr state(new Sha512::State());
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(state->algorithm.put(), BCRYPT_SHA512_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        static_cast<void>(state->algorithm.release());
        return std::unexpected(status_error(status));
    }
    // No caller-supplied object buffer: since Windows 7 BCrypt allocates and frees it itself.
    status = ::BCryptCreateHash(state->algorithm.get(), state->hash.put(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        static_cast<void>(state->hash.release());
        return std::unexpected(status_error(status));
    }
    return state;
}

std::expected<void, std::error_code> update_sha512_state(Sha512::State& state, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t slice = std::min(bytes.size(), MAX_SLICE);
        // The input is only read; the header merely lacks the const.
        const NTSTATUS status =
            ::BCryptHashData(state.hash.get(), const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(slice), 0);
        if (!BCRYPT_SUCCESS(status)) {
            return std::unexpected(status_error(status));
        }
        bytes = bytes.subspan(slice);
    }
    return {};
}

std::expected<Sha512Digest, std::error_code> finish_sha512_state(Sha512::State& state) {
    Sha512Digest digest{};
    const NTSTATUS status = ::BCryptFinishHash(state.hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
        return std::unexpected(status_error(status));
    }
    return digest;
}

}  // namespace detail
}  // namespace brimora
