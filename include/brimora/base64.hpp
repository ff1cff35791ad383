#pragma once
// Canonical RFC 4648 Base64 (standard alphabet): decoding and encoding.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brimora {

// Decodes only the one canonical form: padded to a multiple of 4, "=" only at the end, no blanks,
// unused low bits of the last symbol zero. Anything else gives nullopt.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decode_base64_canonical(std::string_view text);

// The canonical form of `bytes`: the one text decode_base64_canonical accepts for them.
[[nodiscard]] std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace brimora
