#pragma once
// The rig's signed fixtures and what the installer makes of each on Windows, one table for every
// test that judges them (the installer's own check under Wine, brimora-feed's on Linux).

#include <cstdint>

namespace brimora::testing {

struct FixtureVerdict {
    const char* fixture;       // file name in the rig's fixtures directory
    const char* reason_code;   // the installer's on Windows; nullptr: it runs the file
    const char* signer;        // the signer certificate's simple display name; nullptr: unsigned
    std::uint32_t wine_trust;  // WinVerifyTrust's result under Wine 8
    bool windows_only;         // Wine accepts it (no root or revocation check); only Windows refuses it
};

inline constexpr std::uint32_t NO_SIGNATURE = 0x800B0100;  // TRUST_E_NOSIGNATURE
inline constexpr std::uint32_t BAD_DIGEST = 0x80096010;    // TRUST_E_BAD_DIGEST

inline constexpr FixtureVerdict FIXTURE_VERDICTS[] = {
    {"app-signed.exe", nullptr, "BRIMORA K.K.", 0, false},
    {"app-unsigned.exe", "signature_invalid", nullptr, NO_SIGNATURE, false},
    {"app-wrong-case.exe", "signer_mismatch", "Brimora K.K.", 0, false},
    {"app-trailing-blank.exe", "signer_mismatch", "BRIMORA K.K. ", 0, false},
    {"app-untrusted-root.exe", "signature_invalid", "BRIMORA K.K.", 0, true},
    {"app-revoked.exe", "signature_invalid", "BRIMORA K.K.", 0, true},
    {"installer-signed.exe", nullptr, "BRIMORA K.K.", 0, false},
    {"installer-exit1.exe", nullptr, "BRIMORA K.K.", 0, false},
    {"installer-exit0-empty.exe", nullptr, "BRIMORA K.K.", 0, false},
    {"installer-unsigned.exe", "signature_invalid", nullptr, NO_SIGNATURE, false},
    {"installer-wrong-case.exe", "signer_mismatch", "Brimora K.K.", 0, false},
    {"installer-trailing-blank.exe", "signer_mismatch", "BRIMORA K.K. ", 0, false},
    {"installer-tampered.exe", "signature_invalid", "BRIMORA K.K.", BAD_DIGEST, false},
};

}  // namespace brimora::testing
