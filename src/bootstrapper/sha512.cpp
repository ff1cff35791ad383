#include "brimora/sha512.hpp"

#include <utility>

#include "sha512_backend.hpp"

namespace brimora {
namespace {

std::error_code misuse() { return std::make_error_code(std::errc::invalid_argument); }

}  // namespace

Sha512::Sha512(StatePtr state) noexcept : state_(std::move(state)) {}

Sha512::Sha512(Sha512&&) noexcept = default;
Sha512& Sha512::operator=(Sha512&&) noexcept = default;
Sha512::~Sha512() = default;

std::expected<Sha512, std::error_code> Sha512::start() {
    auto state = detail::start_sha512_state();
    if (!state) {
        return std::unexpected(state.error());
    }
    return Sha512(std::move(*state));
}

std::expected<void, std::error_code> Sha512::update(std::span<const std::uint8_t> bytes) {
    if (!state_) {
        return std::unexpected(misuse());
    }
    auto fed = detail::update_sha512_state(*state_, bytes);
    if (!fed) {
        // A context that failed part-way may have absorbed some of the bytes; a digest from it
        // would silently cover a gap, so the computation is over.
        state_.reset();
    }
    return fed;
}

std::expected<Sha512Digest, std::error_code> Sha512::finish() {
    if (!state_) {
        return std::unexpected(misuse());
    }
    auto digest = detail::finish_sha512_state(*state_);
    state_.reset();
    return digest;
}

std::expected<Sha512Digest, std::error_code> sha512_of(std::span<const std::uint8_t> bytes) {
    auto hasher = Sha512::start();
    if (!hasher) {
        return std::unexpected(hasher.error());
    }
    if (auto fed = hasher->update(bytes); !fed) {
        return std::unexpected(fed.error());
    }
    return hasher->finish();
}

}  // namespace brimora
