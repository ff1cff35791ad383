#pragma once
// The publisher check that stands between a file on disk and a process: nothing is run unless its
// embedded Authenticode signature is trusted and its first signer is the expected publisher.

#include <windows.h>

#include <string>
#include <string_view>

#include "failure.hpp"

namespace brimora::win {

// The simple display name the first signer's certificate must carry, compared byte for byte.
inline constexpr std::string_view EXPECTED_SIGNER_NAME = "BRIMORA K.K.";

// WinVerifyTrust's verdict on the file's embedded signature (0: trusted), revocation checked along
// the chain except the root, no UI; the provider state is freed again whatever the verdict.
[[nodiscard]] LONG trust_verdict(const std::wstring& path);

// Success when the platform trusts the file's embedded signature (revocation checked along the chain except the root,
// no UI) and the first signer's certificate is named exactly EXPECTED_SIGNER_NAME; otherwise the failure pair. Never
// modifies the file.
[[nodiscard]] Outcome<void> verify_authenticode(const std::wstring& path);

}  // namespace brimora::win
