// The offline commands: make a manifest for an installer file, and check a manifest (and its
// payload) with exactly the installer's validation.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "brimora/base64.hpp"
#include "brimora/manifest.hpp"
#include "brimora/payload.hpp"
#include "brimora/sha512.hpp"
#include "brimora/texts.hpp"
#include "feed.hpp"
#include "feed_internal.hpp"

namespace brimora::feed {

std::string describe(const InstallerOutcome& outcome) {
    return std::string("reason code ") + outcome.reason_code + " (" + std::string(wire_name(outcome.reason)) +
           "); users see \"" + std::string(failure_message(text::EN, outcome.reason)) + "\"";
}

namespace {

std::expected<std::ifstream, std::string> open_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::unexpected("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    return in;
}

}  // namespace

std::expected<FileDigest, std::string> digest_file(const std::filesystem::path& path) {
    auto opened = open_file(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    std::ifstream& in = *opened;
    auto sha = Sha512::start();
    if (!sha) {
        return std::unexpected("SHA-512 is unavailable: " + sha.error().message());
    }
    std::vector<char> buffer(PAYLOAD_READ_BUFFER_BYTES);
    FileDigest result;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        if (n == 0) {
            break;
        }
        result.size += n;
        if (!sha->update({reinterpret_cast<const std::uint8_t*>(buffer.data()), n})) {
            return std::unexpected(std::string("SHA-512 update failed"));
        }
    }
    if (in.bad()) {
        return std::unexpected("cannot read " + path.string() + ": read failed");
    }
    auto digest = sha->finish();
    if (!digest) {
        return std::unexpected("SHA-512 failed: " + digest.error().message());
    }
    result.sha512 = *digest;
    return result;
}

std::expected<std::string, std::string> read_manifest_file(const std::filesystem::path& path) {
    auto opened = open_file(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    std::ifstream& in = *opened;
    // One byte more than the cap is enough to know the installer would refuse it.
    std::string body(MAX_MANIFEST_BYTES + 1, '\0');
    in.read(body.data(), static_cast<std::streamsize>(body.size()));
    if (in.bad()) {
        return std::unexpected("cannot read " + path.string() + ": read failed");
    }
    body.resize(static_cast<std::size_t>(in.gcount()));
    return body;
}

std::string describe_release(const ValidatedRelease& release) {
    return "version " + to_string(release.version) + ", file " + release.file_name + ", " +
           std::to_string(release.size) + " bytes, sha512 " + encode_base64(release.sha512);
}

namespace {

// A YAML single-quoted scalar: nothing inside is special except the quote itself.
std::string yaml_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

std::string manifest_text(const Version& version, const FileDigest& file, std::string_view release_date) {
    const std::string name = yaml_quoted(expected_file_name(version));
    const std::string sha = yaml_quoted(encode_base64(file.sha512));
    return "version: " + yaml_quoted(to_string(version)) + "\nfiles:\n  - url: " + name + "\n    sha512: " + sha +
           "\n    size: " + std::to_string(file.size) + "\npath: " + name + "\nsha512: " + sha +
           "\nreleaseDate: " + yaml_quoted(release_date) + "\n";
}

int usage(std::ostream& err, std::string_view problem, std::string_view synopsis) {
    err << "brimora-feed: " << problem << "\nusage: brimora-feed " << synopsis << "\n";
    return EXIT_USAGE;
}

constexpr std::string_view MANIFEST_SYNOPSIS = "manifest --version V [--release-date T] INSTALLER";
constexpr std::string_view CHECK_SYNOPSIS = "check MANIFEST [--payload FILE [--trust ROOTS.pem] [--crl CRL.pem]]";
constexpr std::string_view SIGNATURE_SYNOPSIS = "signature FILE [--trust ROOTS.pem] [--crl CRL.pem]";

}  // namespace

int command_manifest(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    std::optional<std::string_view> version_text;
    std::optional<std::string_view> release_date;
    std::optional<std::string_view> installer;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--version" || args[i] == "--release-date") && i + 1 < args.size()) {
            (args[i] == "--version" ? version_text : release_date) = args[i + 1];
            ++i;
        } else if (!args[i].starts_with("--") && !installer) {
            installer = args[i];
        } else {
            return usage(err, "unexpected argument " + std::string(args[i]), MANIFEST_SYNOPSIS);
        }
    }
    if (!version_text || !installer) {
        return usage(err, "--version and INSTALLER are required", MANIFEST_SYNOPSIS);
    }
    if (release_date && !is_rfc3339_date_time(*release_date)) {
        return usage(err, "--release-date must be an RFC 3339 date-time, e.g. 2026-12-01T09:00:00Z", MANIFEST_SYNOPSIS);
    }
    // The same refusals, in the same words, as an installer meeting this version in a manifest.
    const auto version = parse_version(*version_text);
    if (!version) {
        err << "brimora-feed: " << ManifestError{ManifestErrorKind::InvalidVersion, {}}.message() << ": "
            << *version_text << "\n";
        return EXIT_REJECTED;
    }
    const std::optional<Version> floor = parse_version(ROLLBACK_FLOOR);
    if (!floor || compare_versions(*version, *floor) < 0) {
        err << "brimora-feed: " << ManifestError{ManifestErrorKind::BelowRollbackFloor, {}}.message() << ": "
            << *version_text << " < " << ROLLBACK_FLOOR << "\n";
        return EXIT_REJECTED;
    }
    const std::filesystem::path path(*installer);
    const auto file = digest_file(path);
    if (!file) {
        err << "brimora-feed: " << file.error() << "\n";
        return EXIT_USAGE;
    }
    if (file->size == 0) {
        err << "brimora-feed: " << ManifestError{ManifestErrorKind::ZeroSize, {}}.message() << ": " << path.string()
            << " is empty\n";
        return EXIT_REJECTED;
    }
    const std::string expected = expected_file_name(*version);
    if (path.filename().string() != expected) {
        err << "brimora-feed: warning: " << path.filename().string() << " must be uploaded as " << expected
            << "; installers request no other name\n";
    }
    const std::string text = manifest_text(*version, *file, release_date ? *release_date : now_rfc3339());
    // Never hand out a manifest the installer would refuse.
    const auto checked = validate_manifest({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    if (!checked) {
        err << "brimora-feed: internal error, the manifest made does not validate: " << checked.error().message()
            << "\n";
        return EXIT_USAGE;
    }
    out << text;
    return EXIT_ACCEPTED;
}

bool take_signature_option(std::span<const std::string_view> args, std::size_t& i, SignatureOptions& options) {
    if ((args[i] != "--trust" && args[i] != "--crl") || i + 1 >= args.size()) {
        return false;
    }
    auto& option = args[i] == "--trust" ? options.trust : options.crl;
    if (option) {
        return false;
    }
    option = std::filesystem::path(args[i + 1]);
    ++i;
    return true;
}

int command_signature(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    std::optional<std::string_view> file;
    SignatureOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (take_signature_option(args, i, options)) {
            continue;
        }
        if (!args[i].starts_with("--") && !file) {
            file = args[i];
        } else {
            return usage(err, "unexpected argument " + std::string(args[i]), SIGNATURE_SYNOPSIS);
        }
    }
    if (!file) {
        return usage(err, "FILE is required", SIGNATURE_SYNOPSIS);
    }
    const auto verdict = judge_signature(std::filesystem::path(*file), options);
    if (!verdict) {
        err << "brimora-feed: " << verdict.error() << "\n";
        return EXIT_USAGE;
    }
    print_signature(out, *verdict);
    return verdict->refusal ? EXIT_REJECTED : EXIT_ACCEPTED;
}

int command_check(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    std::optional<std::string_view> manifest_path;
    std::optional<std::string_view> payload_path;
    SignatureOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (take_signature_option(args, i, options)) {
            continue;
        }
        if (args[i] == "--payload" && i + 1 < args.size() && !payload_path) {
            payload_path = args[++i];
        } else if (!args[i].starts_with("--") && !manifest_path) {
            manifest_path = args[i];
        } else {
            return usage(err, "unexpected argument " + std::string(args[i]), CHECK_SYNOPSIS);
        }
    }
    if (!manifest_path) {
        return usage(err, "MANIFEST is required", CHECK_SYNOPSIS);
    }
    const std::optional<std::filesystem::path> payload =
        payload_path ? std::optional<std::filesystem::path>(*payload_path) : std::nullopt;
    return check_release(std::filesystem::path(*manifest_path), payload, options, true, out, err).status;
}

CheckedRelease check_release(const std::filesystem::path& manifest, const std::optional<std::filesystem::path>& payload,
                             const SignatureOptions& options, bool warn_name, std::ostream& out, std::ostream& err) {
    CheckedRelease checked;
    const auto body = read_manifest_file(manifest);
    const auto usable = check_signature_options(options);
    if (!body || !usable) {
        err << "brimora-feed: " << (body ? usable.error() : body.error()) << "\n";
        return checked;
    }
    checked.body = *body;
    const auto verdict = judge_manifest_body(checked.body);
    checked.status = EXIT_REJECTED;
    if (!verdict.release) {
        out << "manifest: rejected: " << verdict.problem << "\ninstaller: " << describe(verdict.outcome) << "\n";
        return checked;
    }
    out << "manifest: accepted: " << describe_release(*verdict.release) << "\n";
    const ValidatedRelease& release = *verdict.release;
    if (!payload) {
        checked.status = EXIT_ACCEPTED;
        checked.release = release;
        return checked;
    }
    checked.status = EXIT_USAGE;
    if (warn_name && payload->filename().string() != release.file_name) {
        err << "brimora-feed: warning: " << payload->filename().string() << " must be uploaded as " << release.file_name
            << "; installers request no other name\n";
    }
    const auto verified = verify_file(*payload, release.size, release.sha512);
    if (verified) {
        out << "payload: " << release.size << " bytes with the manifest's SHA-512\n";
        // The installer checks the signature only after size and digest passed, so a payload
        // that fails those never reaches it.
        const auto signature = judge_signature(*payload, options);
        if (!signature) {
            err << "brimora-feed: " << signature.error() << "\n";
            return checked;
        }
        print_signature(out, *signature);
        out << "payload: " << (signature->refusal ? "rejected" : "accepted") << "\n";
        checked.status = signature->refusal ? EXIT_REJECTED : EXIT_ACCEPTED;
        if (!signature->refusal) {
            checked.release = release;
        }
        return checked;
    }
    if (verified.error().kind == PayloadVerificationErrorKind::Read) {
        err << "brimora-feed: " << verified.error().message() << " (" << payload->string() << ")\n";
        return checked;
    }
    const auto actual = digest_file(*payload);
    if (!actual) {
        err << "brimora-feed: " << actual.error() << "\n";
        return checked;
    }
    const bool size = verified.error().kind == PayloadVerificationErrorKind::SizeMismatch;
    out << "payload: rejected: " << verified.error().message() << " (file " << actual->size << " bytes, sha512 "
        << encode_base64(actual->sha512) << "; manifest " << release.size << " bytes, sha512 "
        << encode_base64(release.sha512) << ")\n"
        << "installer: "
        << describe(size ? InstallerOutcome{"payload_size_mismatch", FailureReason::payload_size_mismatch}
                         : InstallerOutcome{"payload_hash_mismatch", FailureReason::payload_hash_mismatch})
        << "\n";
    checked.status = EXIT_REJECTED;
    return checked;
}

ManifestVerdict judge_manifest_body(std::string_view body) {
    // The installer's fetch stops reading past the cap, so such a body never reaches validation:
    // users meet the network message, not the release-information one.
    if (body.size() > MAX_MANIFEST_BYTES) {
        return {std::nullopt,
                "the body is over " + std::to_string(MAX_MANIFEST_BYTES) +
                    " bytes, so the installer's fetch fails before validation",
                {"network_error", FailureReason::network_error}};
    }
    auto result = validate_manifest({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
    if (!result) {
        return {std::nullopt, result.error().message(), {"manifest_invalid", FailureReason::manifest_invalid}};
    }
    return {std::move(*result), "", {"", FailureReason::unknown}};
}

int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << "usage: brimora-feed manifest|check|signature|publish|probe ...\n  brimora-feed " << MANIFEST_SYNOPSIS
            << "\n  brimora-feed " << CHECK_SYNOPSIS << "\n  brimora-feed " << SIGNATURE_SYNOPSIS
            << "\n  brimora-feed publish --to DIR MANIFEST PAYLOAD [--allow-downgrade] [--trust R] [--crl C]"
            << "\n  brimora-feed probe [URL] [--trust ROOTS.pem] [--crl CRL.pem]\n";
        return EXIT_USAGE;
    }
    const auto rest = args.subspan(1);
    if (args[0] == "manifest") {
        return command_manifest(rest, out, err);
    }
    if (args[0] == "check") {
        return command_check(rest, out, err);
    }
    if (args[0] == "publish") {
        return command_publish(rest, out, err);
    }
    if (args[0] == "signature") {
        return command_signature(rest, out, err);
    }
    if (args[0] == "probe") {
        return command_probe(rest, out, err);
    }
    err << "brimora-feed: unknown command " << args[0] << " (manifest, check, signature, publish or probe)\n";
    return EXIT_USAGE;
}

}  // namespace brimora::feed
