#pragma once
// The publisher check that stands between a file on disk and a process: nothing is run unless its
// embedded Authenticode signature is trusted and its first signer is the expected publisher.

#include <string>
#include <string_view>

#include "failure.hpp"

namespace brimora::win {

// The simple display name the first signer's certificate must carry, compared byte for byte.
inline constexpr std::string_view EXPECTED_SIGNER_NAME = "BRIMORA K.K.";

// Success when the platform trusts the file's embedded signature (revocation checked along the chain except the root, no UI) and the first signer's certificate is named exactly EXPECTED_SIGNER_NAME; otherwise the failure pair. Never modifies the file.
[[nodiscard]] Outcome<void> verify_authenticode(const std::wstring& path);

}  // namespace brimora::win
