#pragma once
// The small pieces of JSON and UTF-8 handling shared by the state file and the event bodies.

#include <string>
#include <string_view>

namespace brimora::detail {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

// Appends `text` as a JSON string literal: quotes, backslash and controls below 0x20 escaped,
// other characters as raw UTF-8; each byte that starts no well-formed sequence becomes U+FFFD.
void append_json_string(std::string& out, std::string_view text);

}  // namespace brimora::detail
