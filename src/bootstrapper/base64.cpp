#include "brimora/base64.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace brimora {
namespace {

constexpr std::uint8_t NOT_A_SYMBOL = 0xFF;

constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> make_symbol_table() {
    std::array<std::uint8_t, 256> table{};
    table.fill(NOT_A_SYMBOL);
    for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
        table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> SYMBOLS = make_symbol_table();

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_base64_canonical(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = (text[text.size() - 2] == '=') ? 2 : 1;
    }
    const std::size_t symbols = text.size() - padding;

    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    unsigned bits = 0;
    for (std::size_t i = 0; i < symbols; ++i) {
        // A "=" here is either a third pad character or padding in the middle of the text.
        const std::uint8_t value = SYMBOLS[static_cast<unsigned char>(text[i])];
        if (value == NOT_A_SYMBOL) {
            return std::nullopt;
        }
        accumulator = (accumulator << 6) | value;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
            accumulator &= (1U << bits) - 1U;
        }
    }
    // Leftover bits carry no data; a non-zero remainder is a second spelling of the same bytes.
    if (accumulator != 0) {
        return std::nullopt;
    }
    return out;
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (n > 1) {
            group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        }
        if (n > 2) {
            group |= bytes[i + 2];
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? ALPHABET[(group >> (18 - 6 * k)) & 0x3FU] : '=');
        }
    }
    return out;
}

}  // namespace brimora
