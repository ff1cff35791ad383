#pragma once
// Lets GoogleTest print a failure pair by its code and reason instead of as raw bytes.

#include <ostream>

#include "failure.hpp"

namespace brimora::win {

inline void PrintTo(const Failure& failure, std::ostream* os) {
    *os << "(\"" << failure.code << "\", reason " << static_cast<int>(failure.reason) << ")";
}

}  // namespace brimora::win
