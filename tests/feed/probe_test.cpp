// brimora-feed inside the test rig: the signed fixtures judged and published with the rig's PKI,
// and the probe against real servers (nginx serving a feed as object storage does, the Python
// feed's fault modes). Each runner serves one kind of feed, so its CTest entry picks the suites
// with a filter. Outside the runner every test fails: the rig tier must never pass with nothing
// checked.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "feed/feed_run.hpp"
#include "support/fixture_verdicts.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using namespace std::chrono_literals;
using test::run_feed;
namespace rig = testing::rig;

struct RigPaths {
    std::filesystem::path fixtures;
    std::string root;  // the code-signing root installers are given to trust here
    std::string crl;
};

std::optional<RigPaths> rig_paths() {
    const char* pki = std::getenv("BRIMORA_RIG_PKI");
    const auto fixtures = rig::fixture("");
    if (pki == nullptr || !fixtures || rig::unavailable()) {
        return std::nullopt;
    }
    const std::filesystem::path codesign = std::filesystem::path(pki) / "codesign";
    return RigPaths{*fixtures, (codesign / "root.pem").string(), (codesign / "root.crl").string()};
}

const char* const NO_RIG =
    "BRIMORA_RIG_DIR, BRIMORA_RIG_FIXTURES or BRIMORA_RIG_PKI is missing: run under "
    "tests/rig/run-in-namespace (as root)";

// Each fixture gets the installer's verdict on Windows, where the root is trusted and the CRL
// known: Wine's own check (tests/windows_app) agrees except for the two it cannot make.
TEST(FeedSignature, FixturesGetTheInstallersVerdict) {
    const auto paths = rig_paths();
    ASSERT_TRUE(paths) << NO_RIG;
    for (const auto& f : testing::FIXTURE_VERDICTS) {
        SCOPED_TRACE(f.fixture);
        const auto run = run_feed(
            {"signature", (paths->fixtures / f.fixture).string(), "--trust", paths->root, "--crl", paths->crl});
        EXPECT_EQ(run.status, f.reason_code != nullptr ? 1 : 0) << run.out << run.err;
        const std::string wanted = f.reason_code != nullptr
                                       ? "installer: reason code " + std::string(f.reason_code) + " ("
                                       : "signature: accepted: signer \"BRIMORA K.K.\"";
        EXPECT_NE(run.out.find(wanted), std::string::npos) << run.out;
        const auto code = run.out.find("reason code ");
        const auto said = code == std::string::npos
                              ? "accepted"
                              : run.out.substr(code + 12, run.out.find(' ', code + 12) - code - 12);
        std::printf("%-30s brimora-feed: %-18s installer on Windows: %s\n", f.fixture, said.c_str(),
                    f.reason_code != nullptr ? f.reason_code : "accepted");
    }
}

TEST(FeedSignature, AnchorRevocationAndTimestampAreReported) {
    const auto paths = rig_paths();
    ASSERT_TRUE(paths) << NO_RIG;
    const testing::TempDir dir;
    // A timestamp made by osslsigncode itself, with a time-stamping certificate nobody trusts.
    const std::string codesign = std::filesystem::path(paths->root).parent_path().string();
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=TSA -days 2 -keyout " +
                             (dir / "tsa.key").string() + " -out " + (dir / "tsa.pem").string() +
                             " -addext extendedKeyUsage=critical,timeStamping 2>/dev/null && osslsigncode sign "
                             "-h sha256 -certs " +
                             codesign + "/brimora-chain.pem -key " + codesign + "/brimora.key -TSA-certs " +
                             (dir / "tsa.pem").string() + " -TSA-key " + (dir / "tsa.key").string() + " -in " +
                             (paths->fixtures / "app-unsigned.exe").string() + " -out " +
                             (dir / "stamped.exe").string() + " >/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    const auto stamped = run_feed({"signature", (dir / "stamped.exe").string(), "--trust", paths->root});
    EXPECT_EQ(stamped.status, 0) << stamped.out << stamped.err;
    for (const char* wanted : {"; RFC 3161 timestamp\n", "no --crl given: revocation was checked only through",
                               "warning: the RFC 3161 timestamp does not verify against "}) {
        EXPECT_NE(stamped.out.find(wanted), std::string::npos) << wanted << "\n" << stamped.out;
    }
    const auto loose = run_feed({"signature", (paths->fixtures / "app-untrusted-root.exe").string()});
    EXPECT_EQ(loose.status, 0) << loose.out << loose.err;
    for (const char* wanted : {"warning: chain not anchored: no --trust given, so only the root the signature carries "
                               "(CN = Brimora Rig Untrusted Root)",
                               "warning: no RFC 3161 timestamp: installers will refuse this payload once its "
                               "certificate expires ("}) {
        EXPECT_NE(loose.out.find(wanted), std::string::npos) << wanted << "\n" << loose.out;
    }
    // The revoked leaf names a distribution point the rig cannot reach: refused either way, and
    // with the CRL given, for the revocation itself.
    const auto revoked = (paths->fixtures / "app-revoked.exe").string();
    EXPECT_NE(run_feed({"signature", revoked, "--trust", paths->root}).out.find("could not be learned"),
              std::string::npos);
    EXPECT_NE(run_feed({"signature", revoked, "--crl", paths->crl}).out.find("is revoked by the CRL given"),
              std::string::npos);
}

std::map<std::string, std::string> folder(const std::filesystem::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        files[entry.path().filename().string()] = testing::read_file(entry.path()).value_or("");
    }
    return files;
}

// One origin folder through a release's life: every refusal leaves it byte for byte as it was,
// every acceptance leaves no temporary file and latest.yml naming the release.
TEST(FeedPublish, OriginFolderThroughReleases) {
    const auto paths = rig_paths();
    ASSERT_TRUE(paths) << NO_RIG;
    const testing::TempDir dir;
    const auto origin = dir / "origin";
    std::filesystem::create_directory(origin);
    const struct {
        const char* label;
        const char* version;
        const char* fixture;
        bool allow_downgrade;
        int status;
        const char* out_has;
        const char* previous;  // version latest.yml.previous names afterwards; nullptr: none
    } steps[] = {
        {"first release", "1.4.0", "installer-signed.exe", false, 0, "written and read back", nullptr},
        {"the same again", "1.4.0", "installer-signed.exe", false, 0, "is already published in", nullptr},
        {"next release", "1.5.0", "installer-exit1.exe", false, 0, "(the one it replaced is latest.yml.previous)",
         "1.4.0"},
        {"tampered", "1.6.0", "installer-tampered.exe", false, 1, "reason code signature_invalid", "1.4.0"},
        {"wrong signer", "1.6.0", "installer-wrong-case.exe", false, 1, "reason code signer_mismatch", "1.4.0"},
        {"lower version", "1.4.0", "installer-signed.exe", false, 1, "1.4.0 is lower than the published 1.5.0",
         "1.4.0"},
        {"other bytes under a published name", "1.4.0", "installer-exit1.exe", true, 1,
         "is already published with other bytes", "1.4.0"},
        {"allowed downgrade", "1.4.0", "installer-signed.exe", true, 0, "is already in place with the same bytes",
         "1.5.0"},
    };
    std::string served = "1.4.0";
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        const auto payload = (paths->fixtures / step.fixture).string();
        const auto made =
            run_feed({"manifest", "--version", step.version, "--release-date", "2026-12-01T09:00:00Z", payload});
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", made.out));
        const auto before = folder(origin);
        const auto run = step.allow_downgrade
                             ? run_feed({"publish", "--to", origin.string(), (dir / "latest.yml").string(), payload,
                                         "--trust", paths->root, "--allow-downgrade"})
                             : run_feed({"publish", "--to", origin.string(), (dir / "latest.yml").string(), payload,
                                         "--trust", paths->root});
        EXPECT_EQ(run.status, step.status) << run.out << run.err;
        EXPECT_NE(run.out.find(step.out_has), std::string::npos) << run.out;
        const auto after = folder(origin);
        if (step.status != 0) {
            EXPECT_EQ(after, before) << "a refused publish changed the origin";
            EXPECT_NE(run.out.find("publish: refused: "), std::string::npos) << run.out;
            continue;
        }
        served = step.version;
        EXPECT_EQ(after.at("latest.yml"), made.out);
        const auto name = "Brimora-" + served + "-win-x64.exe";
        EXPECT_EQ(after.at(name), testing::read_file(payload).value_or(""));
        EXPECT_EQ(after.contains("latest.yml.previous"), step.previous != nullptr);
        if (step.previous != nullptr) {
            EXPECT_NE(after.at("latest.yml.previous").find("version: '" + std::string(step.previous) + "'"),
                      std::string::npos);
        }
        for (const auto& [file, bytes] : after) {
            EXPECT_NE(file[0], '.') << "temporary file left: " << file;
        }
    }
}

// latest.yml made by the command itself for a signed fixture, and the fixture beside it;
// `tamper` then serves a payload whose last byte differs from the one the manifest describes.
void publish(const RigPaths& paths, const char* fixture, bool manifest, bool payload, bool tamper) {
    const auto path = (paths.fixtures / fixture).string();
    auto content = testing::read_file(path);
    ASSERT_TRUE(content) << path;
    const auto made = run_feed({"manifest", "--version", "1.4.0", path});
    ASSERT_EQ(made.status, 0) << made.err;
    if (manifest) {
        ASSERT_TRUE(rig::serve("latest.yml", made.out));
    }
    if (tamper) {
        content->back() ^= 0x40;
    }
    if (payload) {
        ASSERT_TRUE(rig::serve("Brimora-1.4.0-win-x64.exe", *content));
    }
}

struct ProbeCase {
    const char* label;
    const char* mode = "";  // feed-mode.json (Python feed only); "" for none
    const char* fixture = "installer-signed.exe";
    bool manifest = true;
    bool payload = true;
    bool tamper = false;
    feed::Timeouts timeouts{};
    int status = 0;
    std::vector<std::string> out_has;
};

// The rows name the payload's size and last offset as SIZE and LAST.
void run_cases(const std::vector<ProbeCase>& cases) {
    const auto paths = rig_paths();
    ASSERT_TRUE(paths) << NO_RIG;
    const auto size = std::filesystem::file_size(paths->fixtures / "installer-signed.exe");
    const auto spelled = [&](std::string text) {
        for (const auto& [name, value] : {std::pair{"SIZE", size}, std::pair{"LAST", size - 1}}) {
            if (const auto at = text.find(name); at != std::string::npos) {
                text.replace(at, 4, std::to_string(value));
            }
        }
        return text;
    };
    const std::vector<std::string_view> args{"--trust", paths->root, "--crl", paths->crl};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        rig::normal_feed();
        rig::empty_folder("feed");
        publish(*paths, c.fixture, c.manifest, c.payload, c.tamper);
        if (*c.mode != '\0') {
            ASSERT_TRUE(rig::set_feed_mode(nlohmann::json::parse(c.mode)));
        }
        std::ostringstream out;
        std::ostringstream err;
        const auto started = std::chrono::steady_clock::now();
        const int status = feed::command_probe(args, out, err, c.timeouts);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(status, c.status) << out.str() << err.str();
        for (const auto& wanted : c.out_has) {
            EXPECT_NE(out.str().find(spelled(wanted)), std::string::npos) << "wanted: " << spelled(wanted) << "\n"
                                                                          << out.str();
        }
        // A generous bound: the installer's own limits, never a hang.
        EXPECT_LT(took, 90s);
    }
    rig::normal_feed();
    rig::empty_folder("feed");
}

const std::string OK = "probe: OK, installers will accept this feed";
const std::string FAILED = "probe: FAILED, ";
const std::string WHOLE = "download   200, SIZE bytes, SHA-512 matches the manifest";
const std::string RANGE_206 = "range      206, 1 byte for bytes=LAST-";
const std::string SIGNED =
    "signature  signer \"BRIMORA K.K.\", image digest and signature verified, chain to a root of ";

TEST(ProbeNginx, ObjectStorageAnswers) {
    run_cases({
        // clang-format off
        {.label = "good feed", .out_has = {"manifest   200, ", "validation accepted: version 1.4.0", RANGE_206, WHOLE, SIGNED,
            "cdn        warning: latest.yml has no Cache-Control or Expires", "cdn        payload Accept-Ranges: bytes", "cdn        payload ETag \"", OK}},
        {.label = "no manifest", .manifest = false, .status = 1, .out_has = {"manifest   FAILED: status 404; installers need 200", "reason code network_error", FAILED}},
        {.label = "no payload", .payload = false, .status = 1, .out_has = {"range      FAILED: status 404 for bytes=LAST-", "reason code resume_rejected",
            "download   FAILED: status 404; installers need 200", "reason code download_status"}},
        {.label = "payload changed after the manifest was made", .tamper = true, .status = 1, .out_has = {RANGE_206, "download   FAILED: SIZE bytes with sha512 ",
            "reason code payload_hash_mismatch", "users see \"The downloaded file failed integrity verification. Please retry.\""}},
        {.label = "payload signed by another name", .fixture = "installer-wrong-case.exe", .status = 1, .out_has = {
            "signature  FAILED: the signer's name is \"Brimora K.K.\"", "reason code signer_mismatch", "users see \"The Brimora publisher could not be verified"}},
        // clang-format on
    });
}

TEST(ProbePythonFeed, FaultModes) {
    feed::Timeouts quick;
    quick.receive = 2000ms;
    quick.send = 2000ms;
    run_cases({
        // clang-format off
        {.label = "manifest redirected", .mode = R"({"path": "latest.yml", "status": 302, "location": "https://downloads.brimora.app/x.yml"})", .status = 1,
         .out_has = {"manifest   FAILED: status 302 to https://downloads.brimora.app/x.yml (installers never follow redirects)", "reason code network_error"}},
        {.label = "manifest over 64 KiB", .mode = R"({"path": "latest.yml", "long_by": 65536})", .status = 1, .out_has = {"manifest   FAILED: body over 65536 bytes", "reason code network_error"}},
        {.label = "manifest invalid", .mode = R"({"path": "latest.yml", "replace_body": "version: 1.4\n"})", .status = 1, .out_has = {"validation FAILED: manifest YAML is invalid",
            "reason code manifest_invalid", "users see \"The release information could not be verified safely. Please retry later.\""}},
        {.label = "Range ignored", .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "ignore_range": true})", .out_has = {
            "range      200 for bytes=LAST-: Range ignored, resuming installers start over (accepted)", WHOLE, SIGNED, OK}},
        {.label = "Range refused", .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "range_status": 416})", .status = 1, .out_has = {
            "range      FAILED: status 416 for bytes=LAST-; installers need 206 or 200", "reason code resume_rejected (download_failed)", WHOLE, FAILED}},
        {.label = "body one byte short", .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "short_by": 1})", .status = 1, .out_has = {
            "range      FAILED: 206 with no bytes for bytes=LAST-", "download   FAILED: LAST bytes, the manifest says SIZE", "reason code payload_size_mismatch"}},
        {.label = "body one byte long", .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "long_by": 1})", .status = 1, .out_has = {
            "range      FAILED: 206 with more than 1 byte for bytes=LAST-", "download   FAILED: more than the manifest's SIZE bytes", "reason code payload_too_large"}},
        {.label = "silent server", .mode = R"({"path": "latest.yml", "silent": true})", .timeouts = quick, .status = 1, .out_has = {"manifest   FAILED: ", "reason code network_error", FAILED}},
        // clang-format on
    });
}

}  // namespace
}  // namespace brimora
