#pragma once
// brimora-feed: the release engineer's side of the feed. Makes the latest.yml an installer
// accepts, checks a manifest and payload with the installer's own rules, and probes a live feed
// the way an installer reads it. Every verdict comes from the library the installer is built from.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "brimora/acquisition.hpp"

namespace brimora::feed {

// Exit statuses of every command.
inline constexpr int EXIT_ACCEPTED = 0;
inline constexpr int EXIT_REJECTED = 1;
inline constexpr int EXIT_USAGE = 2;

inline constexpr std::string_view PRODUCTION_FEED =
    "https://downloads.brimora.app/brimora-desktop-releases/production/win32-x64/";

// What an installer would end with: the reason code it keeps inside and the message users read.
struct InstallerOutcome {
    const char* reason_code;
    FailureReason reason;
};

// "reason code X; users see message N: "TEXT"" for one outcome, in English.
[[nodiscard]] std::string describe(const InstallerOutcome& outcome);

// The installer's per-phase limits, in milliseconds (resolve, connect, send, receive).
struct Timeouts {
    std::chrono::milliseconds resolve{15000};
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds send{30000};
    std::chrono::milliseconds receive{30000};
};

// `brimora-feed manifest --version V [--release-date T] INSTALLER`.
[[nodiscard]] int command_manifest(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

// `brimora-feed check MANIFEST [--payload FILE [--trust ROOTS.pem] [--crl CRL.pem]]`.
[[nodiscard]] int command_check(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

// `brimora-feed signature FILE [--trust ROOTS.pem] [--crl CRL.pem]`: the installer's verdict on
// any signed executable.
[[nodiscard]] int command_signature(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

// `brimora-feed publish --to DIR MANIFEST PAYLOAD [--allow-downgrade] [--trust R] [--crl C]`.
[[nodiscard]] int command_publish(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

// `brimora-feed probe [URL] [--trust ROOTS.pem] [--crl CRL.pem]`; `timeouts` bound every request as the installer's
// transport does.
[[nodiscard]] int command_probe(std::span<const std::string_view> args, std::ostream& out, std::ostream& err,
                                const Timeouts& timeouts = {});

// The whole command line after the program name; unknown commands are usage errors.
[[nodiscard]] int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace brimora::feed
