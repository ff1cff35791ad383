// decode_state on any text: the same verdict every time; an accepted state encodes to bytes that
// decode to an equal state, and encoding that state again gives the same bytes.

#include <brimora/acquisition.hpp>

#include <string>

#include "property.hpp"

using namespace brimora;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text_of(data, size);
    const auto first = decode_state(text);
    const auto again = decode_state(text);
    require(first == again, "the same text gets the same verdict and state");
    if (!first) {
        return 0;
    }
    const std::string encoded = encode_state(*first);
    const auto decoded = decode_state(encoded);
    require(decoded.has_value() && *decoded == *first, "an accepted state re-encodes to bytes that decode to it");
    require(encode_state(*decoded) == encoded, "encoding is a fixed point");
    require(decoded->is_valid_for_bootstrapper() == first->is_valid_for_bootstrapper(),
            "acceptance survives the round trip");
    return 0;
}
