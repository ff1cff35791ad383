#pragma once
// Lets GoogleTest print a failure pair by its code and reason instead of as raw bytes, and compare
// an outcome with the failure it should be (nothing for success).

#include <optional>
#include <ostream>

#include "failure.hpp"

namespace brimora::win {

inline void PrintTo(const Failure& failure, std::ostream* os) {
    *os << "(\"" << failure.code << "\", reason " << static_cast<int>(failure.reason) << ")";
}

template <typename T>
std::optional<Failure> failure_of(const Outcome<T>& outcome) {
    return outcome ? std::nullopt : std::optional(outcome.error());
}

}  // namespace brimora::win
