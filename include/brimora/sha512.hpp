#pragma once
// Streaming SHA-512 (FIPS 180-4): OpenSSL natively, BCrypt on Windows.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <system_error>

namespace brimora {

using Sha512Digest = std::array<std::uint8_t, 64>;

class Sha512 {
public:
    // Starts a new computation; fails only when the platform's hash provider is unavailable.
    [[nodiscard]] static std::expected<Sha512, std::error_code> start();

    Sha512(Sha512&&) noexcept;
    Sha512& operator=(Sha512&&) noexcept;
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;
    ~Sha512();

    // Feeds the next consecutive bytes; a finished or moved-from object refuses with errc::invalid_argument.
    [[nodiscard]] std::expected<void, std::error_code> update(std::span<const std::uint8_t> bytes);

    // Ends the computation and returns the digest; afterwards update and finish refuse (errc::invalid_argument).
    [[nodiscard]] std::expected<Sha512Digest, std::error_code> finish();

    struct State;  // the platform's hash context, defined by each platform's implementation
    struct StateDeleter {
        void operator()(State* state) const noexcept;  // releases the platform's hash context
    };
    using StatePtr = std::unique_ptr<State, StateDeleter>;

private:
    explicit Sha512(StatePtr state) noexcept;
    StatePtr state_;
};

// One-shot digest of a byte string.
[[nodiscard]] std::expected<Sha512Digest, std::error_code> sha512_of(std::span<const std::uint8_t> bytes);

}  // namespace brimora
