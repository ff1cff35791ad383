#include <climits>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <string>

#include "sha512_backend.hpp"

namespace brimora {

struct Sha512::State {
    State() noexcept = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { EVP_MD_CTX_free(ctx); }

    EVP_MD_CTX* ctx = nullptr;
};

void Sha512::StateDeleter::operator()(State* state) const noexcept { delete state; }

namespace detail {
namespace {

// OpenSSL's packed error codes (library and reason, without the system flag) fit in 31 bits,
// so they travel in an error_code unchanged and the category can render OpenSSL's own text.
class OpenSslCategory final : public std::error_category {
public:
    [[nodiscard]] const char* name() const noexcept override { return "openssl"; }
    [[nodiscard]] std::string message(int value) const override {
        char text[256];
        ERR_error_string_n(static_cast<unsigned long>(value), text, sizeof text);
        return text;
    }
};

const std::error_category& openssl_category() {
    static const OpenSslCategory category;
    return category;
}

// Takes the most recent error off this thread's OpenSSL queue and empties the queue, so stale
// entries never get blamed on a later, unrelated call.
std::error_code take_openssl_error(std::errc when_queue_empty) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return std::make_error_code(when_queue_empty);
    }
    if (ERR_SYSTEM_ERROR(code)) {
        return {static_cast<int>(code & ERR_SYSTEM_MASK), std::generic_category()};
    }
    return {static_cast<int>(code & static_cast<unsigned long>(INT_MAX)), openssl_category()};
}

}  // namespace

std::expected<Sha512::StatePtr, std::error_code> start_sha512_state() {
    Sha512::StatePtr state(new Sha512::State());
    state->ctx = EVP_MD_CTX_new();
    if (state->ctx == nullptr) {
        return std::unexpected(take_openssl_error(std::errc::not_enough_memory));
    }
    // With a restrictive provider configuration the digest can be missing at run time.
    if (EVP_DigestInit_ex(state->ctx, EVP_sha512(), nullptr) != 1) {
        return std::unexpected(take_openssl_error(std::errc::function_not_supported));
    }
    return state;
}

std::expected<void, std::error_code> update_sha512_state(Sha512::State& state, std::span<const std::uint8_t> bytes) {
    if (EVP_DigestUpdate(state.ctx, bytes.data(), bytes.size()) != 1) {
        return std::unexpected(take_openssl_error(std::errc::io_error));
    }
    return {};
}

std::expected<Sha512Digest, std::error_code> finish_sha512_state(Sha512::State& state) {
    Sha512Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state.ctx, digest.data(), &length) != 1) {
        return std::unexpected(take_openssl_error(std::errc::io_error));
    }
    if (length != digest.size()) {
        return std::unexpected(std::make_error_code(std::errc::io_error));
    }
    return digest;
}

}  // namespace detail
}  // namespace brimora
