// The payload's Authenticode signature, judged as installers judge it: osslsigncode verifies the
// image digest, the signature and the chain (and revocation against a CRL); OpenSSL reads the
// first signer's certificate out of the signature the way the installer's CryptoAPI calls do;
// the name rule and the comparison are ours.

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "brimora/random.hpp"
#include "feed_internal.hpp"

namespace brimora::feed {

std::string random_hex() {
    std::uint8_t bytes[8];
    fill_random(bytes);
    std::string hex;
    for (const auto b : bytes) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

std::expected<std::string, const char*> simple_display_name(const X509_NAME* subject, const GENERAL_NAMES* alt_names) {
    // The order Windows searches for CERT_NAME_SIMPLE_DISPLAY_TYPE; the first attribute found in
    // the encoded order of the name wins, even when several of one kind are present.
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const int at = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (at < 0) {
            continue;
        }
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, value);
        if (n < 0) {
            return std::unexpected("certificate_name_invalid");
        }
        std::string name(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(n));
        OPENSSL_free(utf8);
        return name;
    }
    for (int i = 0; alt_names != nullptr && i < sk_GENERAL_NAME_num(alt_names); ++i) {
        const GENERAL_NAME* alt = sk_GENERAL_NAME_value(alt_names, i);
        if (alt->type == GEN_EMAIL) {
            const ASN1_IA5STRING* email = alt->d.rfc822Name;
            return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(email)),
                               static_cast<std::size_t>(ASN1_STRING_length(email)));
        }
    }
    return std::string();
}

std::optional<InstallerOutcome> signer_refusal(const std::expected<std::string, const char*>& name) {
    if (!name) {
        return InstallerOutcome{name.error(), FailureReason::signature_invalid};
    }
    if (name->empty()) {
        return InstallerOutcome{"certificate_name_missing", FailureReason::signature_invalid};
    }
    // Byte for byte: no case folding, no trimming, no normalisation, as the installer compares.
    if (*name != EXPECTED_SIGNER) {
        return InstallerOutcome{"signer_mismatch", FailureReason::signer_mismatch};
    }
    return std::nullopt;
}

namespace {

using Pkcs7 = Owned<PKCS7, PKCS7_free>;
using Bio = Owned<BIO, BIO_free_all>;
using AltNames = Owned<GENERAL_NAMES, GENERAL_NAMES_free>;

// A private scratch folder for osslsigncode's files, removed with its content on every way out.
class ScratchDir {
public:
    ScratchDir() {
        std::error_code error;
        path_ = std::filesystem::temp_directory_path(error) / ("brimora-feed-" + random_hex());
        if (!error && std::filesystem::create_directory(path_, error) && !error) {
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
            ready_ = !error;
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view leaf) const { return path_ / leaf; }

private:
    std::filesystem::path path_;
    bool ready_ = false;
};

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error together
};

// Runs osslsigncode with these arguments, its output in `log`; the error names the step.
std::expected<ToolRun, std::string> osslsigncode(const std::vector<std::string>& args,
                                                 const std::filesystem::path& log) {
    std::vector<std::string> argv{"osslsigncode"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (auto& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return std::unexpected(std::string("cannot start osslsigncode: out of memory"));
    }
    const int set = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) |
                    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) |
                    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned =
        set != 0 ? set : posix_spawnp(&pid, "osslsigncode", &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return std::unexpected("cannot start osslsigncode (Debian package osslsigncode): " +
                               std::string(std::strerror(spawned)));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::unexpected("waiting for osslsigncode failed: " + std::string(std::strerror(errno)));
        }
    }
    std::ifstream in(log, std::ios::binary);
    ToolRun run;
    run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

bool has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// Why osslsigncode refused, in a release engineer's words; its last line when we do not know.
std::string refusal_detail(const std::string& output, bool anchored) {
    if (has(output, "MISMATCH")) {
        return "the image changed after signing: its digest differs from the signed one";
    }
    if (has(output, "certificate revoked")) {
        return "the signer's certificate is revoked by the CRL given";
    }
    if (has(output, "certificate has expired") || has(output, "certificate is not yet valid")) {
        return "a certificate of the chain is outside its validity period and no timestamp vouches for the "
               "signing time";
    }
    if (has(output, "local issuer") || has(output, "self-signed certificate") ||
        has(output, "Certificate not found in local repository")) {
        return anchored ? "the certificate chain does not reach a root of --trust"
                        : "the certificate chain does not reach the root the signature carries";
    }
    if (has(output, "CRL distribution point") || has(output, "unable to get certificate CRL")) {
        return "the revocation status of a certificate could not be learned (no CRL given covers it, or its CRL "
               "distribution point could not be read)";
    }
    std::string last;
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = std::min(output.find('\n', start), output.size());
        if (const auto line = output.substr(start, end - start);
            line.find_first_not_of(" \t\r") != std::string::npos && line != "Failed") {
            last = line;
        }
        start = end + 1;
    }
    return "osslsigncode refused the signature: " + last;
}

std::string date_of(const ASN1_TIME* time) {
    std::tm tm{};
    char text[32] = "unknown date";
    if (time != nullptr && ASN1_TIME_to_tm(time, &tm) == 1) {
        static_cast<void>(std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm));
    }
    return text;
}

std::string one_line_name(const X509_NAME* name) {
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return "?";
    }
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(std::max(n, 0L)));
}

// The PEM certificates of a file; the error is a one-line message.
std::expected<int, std::string> count_certificates(const std::filesystem::path& path, bool crl) {
    const Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        return std::unexpected("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    int count = 0;
    for (;;) {
        void* item = crl ? static_cast<void*>(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr))
                         : static_cast<void*>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (item == nullptr) {
            break;
        }
        crl ? X509_CRL_free(static_cast<X509_CRL*>(item)) : X509_free(static_cast<X509*>(item));
        ++count;
    }
    if (count == 0) {
        return std::unexpected(path.string() + " holds no PEM " + (crl ? "CRL" : "certificate"));
    }
    return count;
}

const InstallerOutcome SIGNATURE_INVALID{"signature_invalid", FailureReason::signature_invalid};

SignatureVerdict refused(InstallerOutcome outcome, std::string detail) {
    SignatureVerdict verdict;
    verdict.refusal = outcome;
    verdict.detail = std::move(detail);
    return verdict;
}

}  // namespace

std::expected<void, std::string> check_signature_options(const SignatureOptions& options) {
    for (const auto& [path, crl] : {std::pair{options.trust, false}, std::pair{options.crl, true}}) {
        if (path) {
            if (auto counted = count_certificates(*path, crl); !counted) {
                return std::unexpected(counted.error());
            }
        }
    }
    return {};
}

std::expected<SignatureVerdict, std::string> judge_signature(const std::filesystem::path& file,
                                                             const SignatureOptions& options) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || !std::ifstream(file, std::ios::binary)) {
        return std::unexpected("cannot read " + file.string() + (error ? ": " + error.message() : ""));
    }
    if (auto usable = check_signature_options(options); !usable) {
        return std::unexpected(usable.error());
    }
    const ScratchDir scratch;
    if (!scratch.ready()) {
        return std::unexpected(std::string("cannot make a temporary folder for osslsigncode"));
    }
    const auto extracted = osslsigncode({"extract-signature", "-in", file.string(), "-out", scratch / "signature.der"},
                                        scratch / "extract.log");
    if (!extracted) {
        return std::unexpected(extracted.error());
    }
    if (extracted->status != 0) {
        return refused(SIGNATURE_INVALID, has(extracted->output, "No signature found")
                                              ? "the file carries no Authenticode signature"
                                              : "not a PE image with a signature osslsigncode can read");
    }

    // The first signer and its certificate, found by issuer and serial number among the
    // certificates the signature carries, as the installer's CertFindCertificateInStore does.
    // A signature this broken fails the installer's trust check before any name is read.
    const Bio der(BIO_new_file((scratch / "signature.der").c_str(), "rb"));
    const Pkcs7 p7(der ? d2i_PKCS7_bio(der.get(), nullptr) : nullptr);
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        return refused(SIGNATURE_INVALID, "the embedded signature is not a PKCS #7 signed message");
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) == 0) {
        return refused(SIGNATURE_INVALID, "the signature names no signer");
    }
    PKCS7_SIGNER_INFO* first = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    STACK_OF(X509)* carried = p7->d.sign->cert;
    X509* leaf = carried == nullptr ? nullptr
                                    : X509_find_by_issuer_and_serial(carried, first->issuer_and_serial->issuer,
                                                                     first->issuer_and_serial->serial);
    if (leaf == nullptr) {
        return refused(SIGNATURE_INVALID, "the signature does not carry its signer's certificate");
    }

    // Without --trust the chain is checked up to the root the signature carries itself, which
    // proves the signature consistent but not trusted by anyone.
    std::filesystem::path anchors = options.trust.value_or(scratch / "carried-roots.pem");
    std::string carried_root;
    if (!options.trust) {
        const Bio out(BIO_new_file(anchors.c_str(), "w"));
        for (int i = 0; out && i < sk_X509_num(carried); ++i) {
            X509* cert = sk_X509_value(carried, i);
            if (X509_check_issued(cert, cert) == X509_V_OK && PEM_write_bio_X509(out.get(), cert) == 1) {
                carried_root = one_line_name(X509_get_subject_name(cert));
            }
        }
        if (carried_root.empty()) {
            return std::unexpected("the signature of " + file.string() +
                                   " carries no root certificate, so its chain can only be checked against roots: "
                                   "give --trust ROOTS.pem");
        }
    }
    std::vector<std::string> verify{"verify", "-CAfile", anchors.string(), "-TSA-CAfile", anchors.string()};
    if (options.crl) {
        // The CRLs given stand for what the distribution points would serve; without them
        // osslsigncode fetches those, as installers do.
        verify.insert(verify.end(), {"-ignore-cdp", "-CRLfile", options.crl->string()});
    }
    verify.insert(verify.end(), {"-in", file.string()});
    const auto verified = osslsigncode(verify, scratch / "verify.log");
    if (!verified) {
        return std::unexpected(verified.error());
    }

    SignatureVerdict verdict =
        verified->status == 0 ? SignatureVerdict{}
                              : refused(SIGNATURE_INVALID, refusal_detail(verified->output, options.trust.has_value()));
    verdict.signer_certificate = one_line_name(X509_get_subject_name(leaf));
    if (verdict.refusal) {
        return verdict;
    }
    const AltNames alt_names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr)));
    const auto name = simple_display_name(X509_get_subject_name(leaf), alt_names.get());
    verdict.signer = name.value_or("");
    if (const auto refusal = signer_refusal(name)) {
        verdict.refusal = refusal;
        verdict.detail = name ? "the signer's name is \"" + *name + "\", installers accept only \"" +
                                    std::string(EXPECTED_SIGNER) + "\" exactly"
                              : std::string("the signer's name is not valid text");
        return verdict;
    }
    verdict.detail = "signer \"" + *name + "\", image digest and signature verified, chain to " +
                     (options.trust ? "a root of " + options.trust->string() : "the root it carries");
    if (!options.trust) {
        verdict.warnings.emplace_back("chain not anchored: no --trust given, so only the root the signature carries (" +
                                      carried_root + ") vouches for it; installers trust only their machine's roots");
    }
    if (!options.crl) {
        verdict.warnings.emplace_back(
            "no --crl given: revocation was checked only through the CRL distribution points "
            "the certificates name, read from the network now, as installers do");
    }

    // An RFC 3161 timestamp is an unsigned attribute of the signer; without one the signature
    // is only as good as the certificate's validity period.
    const Owned<ASN1_OBJECT, ASN1_OBJECT_free> rfc3161(OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1));
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(first->unauth_attr); ++i) {
        const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(first->unauth_attr, i));
        verdict.timestamp = verdict.timestamp || (rfc3161 && OBJ_cmp(type, rfc3161.get()) == 0);
    }
    if (!verdict.timestamp) {
        verdict.warnings.emplace_back(
            "no RFC 3161 timestamp: installers will refuse this payload once its certificate "
            "expires (" +
            date_of(X509_get0_notAfter(leaf)) + ")");
    } else if (has(verified->output, "Timestamp Server Signature verification: failed")) {
        verdict.warnings.emplace_back("the RFC 3161 timestamp does not verify against " +
                                      (options.trust ? options.trust->string() : std::string("the carried roots")) +
                                      ": installers may not honour it");
    }
    return verdict;
}

void print_signature(std::ostream& out, const SignatureVerdict& verdict) {
    if (verdict.refusal) {
        out << "signature: rejected: " << verdict.detail;
        if (!verdict.signer_certificate.empty()) {
            out << " (signer certificate " << verdict.signer_certificate << ")";
        }
        out << "\ninstaller: " << describe(*verdict.refusal) << "\n";
        return;
    }
    out << "signature: accepted: " << verdict.detail << "; " << (verdict.timestamp ? "" : "no ")
        << "RFC 3161 timestamp\n";
    for (const auto& warning : verdict.warnings) {
        out << "signature: warning: " << warning << "\n";
    }
}

}  // namespace brimora::feed
