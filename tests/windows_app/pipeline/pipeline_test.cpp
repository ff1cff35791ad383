// The pipeline's own rules: the disk-space requirement, the installer's command line, the prune
// pass over a real cache directory, and the event body limit of delivery.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "events.hpp"
#include "pipeline.hpp"
#include "support/rig_session.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace brimora::win;
using brimora::testing::TempDir;
using brimora::testing::write_file;

constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t MARGIN = 268435456;

TEST(Pipeline, DiskSpaceRequirementSaturates) {
    struct Case {
        std::uint64_t size;
        std::uint64_t required;
    };
    const Case cases[] = {
        {0, MARGIN},
        {1, 4 + MARGIN},
        {1000, 4000 + MARGIN},
        {(MAX - MARGIN) / 4, (MAX - MARGIN) / 4 * 4 + MARGIN},  // the largest size that fits exactly
        {MAX / 4, MAX},                                          // the product fits, the sum would wrap
        {MAX / 4 + 1, MAX},                                      // the product would wrap
        {std::uint64_t{1} << 62, MAX},
        {MAX, MAX},
    };
    for (const Case c : cases) {
        EXPECT_EQ(disk_space_required(c.size), c.required) << c.size;
    }
}

TEST(Pipeline, InstallerCommandLineQuotesThePathAndAddsTheThreeArguments) {
    struct Case {
        std::filesystem::path installer;
        std::wstring line;
    };
    const Case cases[] = {
        {L"C:\\cache\\Brimora-1.4.0-win-x64.exe", L"\"C:\\cache\\Brimora-1.4.0-win-x64.exe\" /S /currentuser --force-run"},
        {L"C:\\Users\\A B\\v1\\x.exe", L"\"C:\\Users\\A B\\v1\\x.exe\" /S /currentuser --force-run"},
        {L"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe", L"\"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe\" /S /currentuser --force-run"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(installer_command_line(c.installer), c.line);
    }
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::ranges::sort(names);
    return names;
}

TEST(Pipeline, PruneDeletesOnlyStaleInstallerFiles) {
    TempDir dir;
    const char* files[] = {
        "Brimora-1.3.9-win-x64.exe",         // stale: deleted
        "Brimora-1.3.9-win-x64.exe.partial", // stale: deleted
        "Brimora-win-x64.exe",               // stale by the naming rule: deleted
        "Brimora-1.4.0-win-x64.exe",         // current: kept
        "Brimora-1.4.0-win-x64.exe.partial", // current partial: kept
        "brimora-1.2.9-win-x64.exe",         // other case (and another version: names are case-blind here): kept
        "notes.txt",                         // unrelated: kept
    };
    for (const char* name : files) {
        ASSERT_TRUE(write_file(dir / name, "x"));
    }
    // A directory with a stale-looking name is never deleted, nor what it holds.
    std::filesystem::create_directories(dir / "Brimora-1.2.0-win-x64.exe");
    ASSERT_TRUE(write_file(dir / "Brimora-1.2.0-win-x64.exe" / "inside", "x"));

    prune_cache(dir.path(), "Brimora-1.4.0-win-x64.exe");

    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"Brimora-1.2.0-win-x64.exe", "Brimora-1.4.0-win-x64.exe",
                                        "Brimora-1.4.0-win-x64.exe.partial", "brimora-1.2.9-win-x64.exe",
                                        "notes.txt"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "Brimora-1.2.0-win-x64.exe" / "inside"));
}

TEST(Pipeline, PruneOfAMissingDirectoryDoesNothing) {
    TempDir dir;
    prune_cache(dir / "absent", "Brimora-1.4.0-win-x64.exe");
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
}

TEST(EventDelivery, ExactlyTheLimitIsSentAndOneByteMoreIsNot) {
    const auto dir = brimora::testing::rig_directory();
    if (!dir) {
        GTEST_SKIP() << "needs the test rig's event recorder: run under tests/rig/run-in-namespace";
    }
    const brimora::testing::Rig rig(*dir);
    ASSERT_TRUE(rig.set_events_mode("200"));
    const std::size_t before = rig.events().size();

    const std::string at_limit = R"({"pad":")" + std::string(EVENT_BODY_LIMIT - 10, 'x') + R"("})";
    ASSERT_EQ(at_limit.size(), EVENT_BODY_LIMIT);
    KernelHandle thread = start_delivery(at_limit);
    ASSERT_TRUE(thread);
    wait_for_delivery(std::move(thread));
    const auto received = rig.events();
    ASSERT_EQ(received.size(), before + 1);
    EXPECT_EQ(received.back().body, at_limit);
    EXPECT_EQ(received.back().path, "/api/desktop/acquisition-events");
    EXPECT_EQ(received.back().header("Content-Type"), "application/json");

    // No thread is started for a longer body, so there is nothing that could send it.
    EXPECT_FALSE(start_delivery(at_limit + " "));
}

}  // namespace
