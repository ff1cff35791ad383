#pragma once
// What the offline commands and the probe share.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509v3.h>

#include "brimora/manifest.hpp"
#include "feed.hpp"

namespace brimora::feed {

// A C library's object owned by a unique_ptr that frees it with that library's function.
template <auto Free>
struct FreeWith {
    void operator()(auto* object) const noexcept { Free(object); }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

struct FileDigest {
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> sha512{};
};

// Size and SHA-512 of a whole file, streamed; the error is a one-line message.
[[nodiscard]] std::expected<FileDigest, std::string> digest_file(const std::filesystem::path& path);

// At most one byte past the manifest cap, so a huge file is never read whole.
[[nodiscard]] std::expected<std::string, std::string> read_manifest_file(const std::filesystem::path& path);

// The installer's verdict on a manifest body: the release, or the problem with the outcome the
// installer would end with.
struct ManifestVerdict {
    std::optional<ValidatedRelease> release;
    std::string problem;
    InstallerOutcome outcome{"", FailureReason::unknown};
};
[[nodiscard]] ManifestVerdict judge_manifest_body(std::string_view body);

// 16 random hexadecimal digits, for names no other process picks.
[[nodiscard]] std::string random_hex();

// "version V, file F, N bytes, sha512 B".
[[nodiscard]] std::string describe_release(const ValidatedRelease& release);

// Response headers in arrival order, names in lower case.
using Headers = std::vector<std::pair<std::string, std::string>>;

// What a CDN in front of the origin will do with a response, in one line; `warning` when users
// would notice (a stale release, downloads that cannot resume).
struct CdnNote {
    std::string text;
    bool warning = false;
};

// The first value of a header, by its lower-case name.
[[nodiscard]] std::optional<std::string> find_header(const Headers& headers, std::string_view name);

// How long a shared cache may serve this latest.yml without asking the origin: from
// Cache-Control (s-maxage before max-age), else Expires against Date (else `now`); a warning past
// five minutes or when nothing bounds it.
[[nodiscard]] CdnNote manifest_caching(const Headers& headers, std::int64_t now);

// Accept-Ranges, ETag and Last-Modified of the payload's response.
[[nodiscard]] std::vector<CdnNote> payload_caching(const Headers& headers);

// The only signer name installers accept, compared byte for byte.
inline constexpr std::string_view EXPECTED_SIGNER = "BRIMORA K.K.";

// The certificate's simple display name as Windows forms it (CERT_NAME_SIMPLE_DISPLAY_TYPE): the
// subject's first common name, else its first OU, O or e-mail attribute, else the first rfc822
// name of the alternative names; "" when none. The error is the installer's reason code.
[[nodiscard]] std::expected<std::string, const char*> simple_display_name(const X509_NAME* subject,
                                                                          const GENERAL_NAMES* alt_names);

// What the installer makes of a signer name that passed the trust check; nullopt: accepted.
[[nodiscard]] std::optional<InstallerOutcome> signer_refusal(const std::expected<std::string, const char*>& name);

struct SignatureOptions {
    std::optional<std::filesystem::path> trust;  // PEM roots the chain must reach
    std::optional<std::filesystem::path> crl;    // PEM CRLs that revoke certificates of the chain
};

// Parses one of --trust FILE / --crl FILE at args[i] into options (advancing i); false otherwise.
[[nodiscard]] bool take_signature_option(std::span<const std::string_view> args, std::size_t& i,
                                         SignatureOptions& options);

struct SignatureVerdict {
    std::optional<InstallerOutcome> refusal;  // nullopt: installers accept the signature
    std::string detail;                       // what was verified, or why it was refused
    std::string signer;                       // the simple display name, once the trust check passed
    std::string signer_certificate;           // the signer certificate's subject, when found
    bool timestamp = false;                   // an RFC 3161 timestamp is attached
    std::vector<std::string> warnings;        // never change the verdict
};

// The --trust and --crl files hold PEM certificates and CRLs; the error is a one-line message.
[[nodiscard]] std::expected<void, std::string> check_signature_options(const SignatureOptions& options);

// The installer's verdict on a file's Authenticode signature; the error (an unreadable file, a
// --trust or --crl file without PEM content, osslsigncode missing) is a one-line message.
[[nodiscard]] std::expected<SignatureVerdict, std::string> judge_signature(const std::filesystem::path& file,
                                                                           const SignatureOptions& options);

// What `check` concluded: its exit status, the manifest's text and, when accepted, the release.
struct CheckedRelease {
    int status = EXIT_USAGE;
    std::string body;
    std::optional<ValidatedRelease> release;
};

// `check` on a manifest file and optionally its payload (size, SHA-512, then signature), printing
// its verdicts; `warn_name` warns when the payload's own name is not the one it must be served as.
[[nodiscard]] CheckedRelease check_release(const std::filesystem::path& manifest,
                                           const std::optional<std::filesystem::path>& payload,
                                           const SignatureOptions& options, bool warn_name, std::ostream& out,
                                           std::ostream& err);

// "signature: accepted: ..." or "signature: rejected: ..." with the installer's outcome, and the
// warnings, one line each.
void print_signature(std::ostream& out, const SignatureVerdict& verdict);

}  // namespace brimora::feed
