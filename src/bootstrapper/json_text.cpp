#include "json_text.hpp"

#include <cstddef>
#include <cstdint>

namespace brimora::detail {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence starting at `pos`, or 0 if none starts there.
std::size_t sequence_length(std::string_view text, std::size_t pos) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = at(pos);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    // The second byte's range is what excludes overlong forms, surrogates and values past U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - pos < length || at(pos + 1) < low || at(pos + 1) > high) {
        return 0;
    }
    for (std::size_t i = pos + 2; i < pos + length; ++i) {
        if (!is_continuation(at(i))) {
            return 0;
        }
    }
    return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = sequence_length(text, pos);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

void append_json_string(std::string& out, std::string_view text) {
    constexpr std::string_view HEX = "0123456789abcdef";
    out.push_back('"');
    for (std::size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte >= 0x80) {
            const std::size_t length = sequence_length(text, pos);
            if (length == 0) {
                out.append("\xEF\xBF\xBD");
                ++pos;
            } else {
                out.append(text.substr(pos, length));
                pos += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (byte < 0x20) {
                    out.append("\\u00");
                    out.push_back(HEX[byte >> 4]);
                    out.push_back(HEX[byte & 0x0F]);
                } else {
                    out.push_back(c);
                }
        }
        ++pos;
    }
    out.push_back('"');
}

}  // namespace brimora::detail
