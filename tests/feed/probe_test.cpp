// brimora-feed probe against real servers inside the test rig: nginx serving a feed as object
// storage does, and the Python feed's fault modes. Each runner serves one kind of feed, so the
// runner's CTest entry picks the suite for its feed with a filter.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrapper/payload/patterned.hpp"
#include "feed/feed_run.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using namespace std::chrono_literals;
namespace rig = testing::rig;

const std::string PAYLOAD = "Brimora-1.4.0-win-x64.exe";
constexpr std::size_t SIZE = 300001;

// latest.yml made by the command itself, and the payload beside it; `tamper` then serves a
// payload whose last byte differs from the one the manifest describes.
void publish(bool manifest, bool payload, bool tamper) {
    const testing::TempDir scratch;
    auto content = test::patterned(SIZE);
    ASSERT_TRUE(testing::write_file(scratch / PAYLOAD, content));
    const auto made = test::run_feed({"manifest", "--version", "1.4.0", (scratch / PAYLOAD).string()});
    ASSERT_EQ(made.status, 0) << made.err;
    if (manifest) {
        ASSERT_TRUE(rig::serve("latest.yml", made.out));
    }
    if (tamper) {
        content.back() ^= 0x40;
    }
    if (payload) {
        ASSERT_TRUE(
            rig::serve(PAYLOAD, std::string_view(reinterpret_cast<const char*>(content.data()), content.size())));
    }
}

// Nothing served and normal service.
void clear_feed() {
    rig::normal_feed();
    rig::empty_folder("feed");
}

struct ProbeCase {
    const char* label;
    const char* mode = "";  // feed-mode.json (Python feed only); "" for none
    bool manifest = true;
    bool payload = true;
    bool tamper = false;
    feed::Timeouts timeouts{};
    int status = 0;
    std::vector<std::string> out_has;
};

void run_cases(const std::vector<ProbeCase>& cases) {
    if (const auto why = rig::unavailable()) {
        GTEST_SKIP() << *why << " (as root)";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        clear_feed();
        publish(c.manifest, c.payload, c.tamper);
        if (*c.mode != '\0') {
            ASSERT_TRUE(rig::set_feed_mode(nlohmann::json::parse(c.mode)));
        }
        std::ostringstream out;
        std::ostringstream err;
        const auto started = std::chrono::steady_clock::now();
        const int status = feed::command_probe({}, out, err, c.timeouts);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(status, c.status) << out.str() << err.str();
        for (const auto& wanted : c.out_has) {
            EXPECT_NE(out.str().find(wanted), std::string::npos) << "wanted: " << wanted << "\n" << out.str();
        }
        // A generous bound: the installer's own limits, never a hang.
        EXPECT_LT(took, 90s);
    }
    clear_feed();
}

const std::string OK = "probe: OK, installers will accept this feed";
const std::string FAILED = "probe: FAILED, ";
const std::string WHOLE = "download   200, 300001 bytes, SHA-512 matches the manifest";
const std::string RANGE_206 = "range      206, 1 byte for bytes=300000-";

TEST(ProbeNginx, ObjectStorageAnswers) {
    run_cases({
        {.label = "good feed",
         .out_has = {"manifest   200, ", "validation accepted: version 1.4.0", RANGE_206, WHOLE, OK}},
        {.label = "no manifest",
         .manifest = false,
         .status = 1,
         .out_has = {"manifest   FAILED: status 404; installers need 200", "reason code network_error", FAILED}},
        {.label = "no payload",
         .payload = false,
         .status = 1,
         .out_has = {"range      FAILED: status 404 for bytes=300000-", "reason code resume_rejected",
                     "download   FAILED: status 404; installers need 200", "reason code download_status"}},
        {.label = "payload changed after the manifest was made",
         .tamper = true,
         .status = 1,
         .out_has = {RANGE_206, "download   FAILED: 300001 bytes with sha512 ", "reason code payload_hash_mismatch",
                     "users see \"The downloaded file failed integrity verification. Please retry.\""}},
    });
}

TEST(ProbePythonFeed, FaultModes) {
    feed::Timeouts quick;
    quick.receive = 2000ms;
    quick.send = 2000ms;
    run_cases({
        {.label = "good feed", .out_has = {RANGE_206, WHOLE, OK}},
        {.label = "manifest 404",
         .mode = R"({"path": "latest.yml", "status": 404})",
         .status = 1,
         .out_has = {"manifest   FAILED: status 404; installers need 200", "reason code network_error",
                     "users see \"The latest version could not be checked. Check your connection and retry.\""}},
        {.label = "manifest redirected",
         .mode = R"({"path": "latest.yml", "status": 302, "location": "https://downloads.brimora.app/x.yml"})",
         .status = 1,
         .out_has = {"manifest   FAILED: status 302 to https://downloads.brimora.app/x.yml (installers never "
                     "follow redirects)"}},
        {.label = "manifest over 64 KiB",
         .mode = R"({"path": "latest.yml", "long_by": 65536})",
         .status = 1,
         .out_has = {"manifest   FAILED: body over 65536 bytes", "reason code network_error"}},
        {.label = "manifest invalid",
         .mode = R"({"path": "latest.yml", "replace_body": "version: 1.4\n"})",
         .status = 1,
         .out_has = {"validation FAILED: manifest YAML is invalid", "reason code manifest_invalid",
                     "users see \"The release information could not be verified safely. Please retry later.\""}},
        {.label = "Range ignored",
         .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "ignore_range": true})",
         .out_has = {"range      200 for bytes=300000-: Range ignored, resuming installers start over (accepted)",
                     WHOLE, OK}},
        {.label = "Range refused",
         .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "range_status": 416})",
         .status = 1,
         .out_has = {"range      FAILED: status 416 for bytes=300000-; installers need 206 or 200",
                     "reason code resume_rejected (download_failed)", WHOLE, FAILED}},
        {.label = "body one byte short",
         .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "short_by": 1})",
         .status = 1,
         .out_has = {"range      FAILED: 206 with no bytes for bytes=300000-",
                     "download   FAILED: 300000 bytes, the manifest says 300001", "reason code payload_size_mismatch"}},
        {.label = "body one byte long",
         .mode = R"({"path": "Brimora-1.4.0-win-x64.exe", "long_by": 1})",
         .status = 1,
         .out_has = {"range      FAILED: 206 with more than 1 byte for bytes=300000-",
                     "download   FAILED: more than the manifest's 300001 bytes", "reason code payload_too_large"}},
        {.label = "wrong digest",
         .tamper = true,
         .status = 1,
         .out_has = {"download   FAILED: 300001 bytes with sha512 ", "reason code payload_hash_mismatch"}},
        {.label = "silent server",
         .mode = R"({"path": "latest.yml", "silent": true})",
         .timeouts = quick,
         .status = 1,
         .out_has = {"manifest   FAILED: ", "reason code network_error", FAILED}},
    });
}

}  // namespace
}  // namespace brimora
