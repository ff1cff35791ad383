#pragma once
// The failure pair that ends an install attempt: a fixed reason code, which only travels inside
// the process, and the FailureReason, which alone is shown (as a message) and reported.

#include <expected>

#include "brimora/acquisition.hpp"

namespace brimora::win {

struct Failure {
    const char* code;  // a string literal: static storage, never freed
    FailureReason reason;

    bool operator==(const Failure& other) const;
};

template <typename T>
using Outcome = std::expected<T, Failure>;

[[nodiscard]] inline std::unexpected<Failure> fail(const char* code, FailureReason reason) {
    return std::unexpected(Failure{code, reason});
}

}  // namespace brimora::win
