#include "brimora/uuid.hpp"

#include <cstddef>

#include "brimora/random.hpp"

namespace brimora {
namespace {

constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// 32 hex digits, with hyphens exactly after digits 8, 12, 16 and 20 when `hyphenated`.
std::optional<Uuid> parse_digits(std::string_view text, bool hyphenated) {
    if (text.size() != (hyphenated ? 36U : 32U)) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes{};
    std::size_t digit = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int value = hex_value(text[i]);
        if (value < 0) {
            return std::nullopt;
        }
        bytes[digit / 2] = static_cast<std::uint8_t>(bytes[digit / 2] | (digit % 2 == 0 ? value << 4 : value));
        ++digit;
    }
    return Uuid(bytes);
}

}  // namespace

Uuid Uuid::random_v4() {
    std::array<std::uint8_t, 16> bytes{};
    fill_random(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // The URN prefix is taken literally in lower case: that is the only spelling anything
    // that writes these files produces.
    constexpr std::string_view URN = "urn:uuid:";
    if (text.starts_with(URN)) {
        return parse_digits(text.substr(URN.size()), true);
    }
    if (text.starts_with('{')) {
        if (!text.ends_with('}') || text.size() < 2) {
            return std::nullopt;
        }
        return parse_digits(text.substr(1, text.size() - 2), true);
    }
    return parse_digits(text, text.size() == 36);
}

std::string Uuid::to_string() const {
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out.push_back('-');
        }
        out.push_back(HEX_DIGITS[bytes_[i] >> 4]);
        out.push_back(HEX_DIGITS[bytes_[i] & 0x0F]);
    }
    return out;
}

}  // namespace brimora
