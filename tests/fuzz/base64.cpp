// decode_base64_canonical on any text: the same verdict every time; accepted text is the one
// encoding of its bytes, so encoding them gives the text back; and the encoding of any bytes is
// accepted and decodes to them.

#include <string>
#include <vector>

#include "brimora/base64.hpp"
#include "property.hpp"

using namespace brimora;
using fuzz::require;

namespace {

// Written here from RFC 4648 rather than taken from the code under test: it is the oracle.
std::string encode(std::span<const std::uint8_t> bytes) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < n ? bytes[i + k] : 0U);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? ALPHABET[(group >> (18 - 6 * k)) & 0x3FU] : '=');
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text_of(data, size);
    const auto decoded = decode_base64_canonical(text);
    require(decoded == decode_base64_canonical(text), "the same text gets the same verdict");
    if (decoded) {
        require(encode(*decoded) == text, "accepted text re-encodes to the same text");
    }
    const std::string encoded = encode({data, size});
    const auto back = decode_base64_canonical(encoded);
    require(back.has_value() && std::equal(back->begin(), back->end(), data, data + size) && back->size() == size,
            "the encoding of any bytes decodes to them");
    return 0;
}
