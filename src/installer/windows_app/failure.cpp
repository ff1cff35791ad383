#include "failure.hpp"

#include <string_view>

namespace brimora::win {

// Codes compare by text, not by address: equal literals in different units need not be merged.
bool Failure::operator==(const Failure& other) const {
    return reason == other.reason && std::string_view(code) == std::string_view(other.code);
}

}  // namespace brimora::win
