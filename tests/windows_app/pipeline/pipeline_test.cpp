// The pipeline's own rules: the disk-space requirement, the installer's command line, the prune
// pass over a real cache directory, the event body limit of delivery, and whole installs from the
// rig's feed as the window sees them.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "brimora/sha512.hpp"
#include "download.hpp"
#include "events.hpp"
#include "pipeline.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"
#include "support/win32.hpp"
#include "brimora/texts.hpp"
#include "windows_app/installed_app/app_environment.hpp"
#include "windows_app/posted_progress.hpp"

namespace {

using namespace brimora::win;
namespace rig = brimora::testing::rig;
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
        {MAX / 4, MAX},                                         // the product fits, the sum would wrap
        {MAX / 4 + 1, MAX},                                     // the product would wrap
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
        {L"C:\\cache\\Brimora-1.4.0-win-x64.exe",
         L"\"C:\\cache\\Brimora-1.4.0-win-x64.exe\" /S /currentuser --force-run"},
        {L"C:\\Users\\A B\\v1\\x.exe", L"\"C:\\Users\\A B\\v1\\x.exe\" /S /currentuser --force-run"},
        {L"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe",
         L"\"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe\" /S /currentuser --force-run"},
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
        "Brimora-1.3.9-win-x64.exe",          // stale: deleted
        "Brimora-1.3.9-win-x64.exe.partial",  // stale: deleted
        "Brimora-win-x64.exe",                // stale by the naming rule: deleted
        "Brimora-1.4.0-win-x64.exe",          // current: kept
        "Brimora-1.4.0-win-x64.exe.partial",  // current partial: kept
        "brimora-1.2.9-win-x64.exe",          // other case (and another version: names are case-blind here): kept
        "notes.txt",                          // unrelated: kept
    };
    for (const char* name : files) {
        ASSERT_TRUE(write_file(dir / name, "x"));
    }
    // A directory with a stale-looking name is never deleted, nor what it holds.
    std::filesystem::create_directories(dir / "Brimora-1.2.0-win-x64.exe");
    ASSERT_TRUE(write_file(dir / "Brimora-1.2.0-win-x64.exe" / "inside", "x"));

    prune_cache(dir.path(), "Brimora-1.4.0-win-x64.exe");

    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Brimora-1.2.0-win-x64.exe", "Brimora-1.4.0-win-x64.exe",
                                                              "Brimora-1.4.0-win-x64.exe.partial",
                                                              "brimora-1.2.9-win-x64.exe", "notes.txt"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "Brimora-1.2.0-win-x64.exe" / "inside"));
}

TEST(Pipeline, PruneOfAMissingDirectoryDoesNothing) {
    TempDir dir;
    prune_cache(dir / "absent", "Brimora-1.4.0-win-x64.exe");
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
}

// The installer's start through a scanner's hold and through a path too long to start as it is.
// installer-exit1.exe checks its command line and exits 1, so "install_failed" proves it started
// with the right arguments and "install_start_failed" that it could not be started.
TEST(Pipeline, InstallerStartWaitsOutHoldsAndShortensLongPaths) {
    const auto exit1 = rig::fixture(L"installer-exit1.exe");
    if (!exit1) {
        GTEST_SKIP() << "needs the rig's signed fixtures: run under tests/rig/run-in-namespace";
    }
    TempDir dir;
    // Nine folders of 26 characters under the scratch directory: past MAX_PATH in all.
    std::filesystem::path deep = dir.path();
    for (int i = 0; i < 9; ++i) {
        deep /= L"\u30d5\u30a9\u30eb\u30c0 folder with spaces " + std::to_wstring(i);
    }
    const Failure started_and_failed{"install_failed", brimora::FailureReason::install_failed};
    const Failure not_started{"install_start_failed", brimora::FailureReason::install_failed};
    const DWORD past_the_bound = static_cast<DWORD>(LOCK_RETRY_BUDGET.count()) + 5000;
    struct Case {
        const char* name;
        std::filesystem::path installer;
        DWORD writer_ms;  // a scanner holding it open for writing (0: nobody)
        Failure outcome;
    };
    const Case cases[] = {
        {.name = "plain path",
         .installer = dir / L"Brimora-1.4.0-win-x64.exe",
         .writer_ms = 0,
         .outcome = started_and_failed},
        {.name = "held for 1.5 s: started once the hold is gone",
         .installer = dir / L"held.exe",
         .writer_ms = 1500,
         .outcome = started_and_failed},
        {.name = "held past the bound",
         .installer = dir / L"held-long.exe",
         .writer_ms = past_the_bound,
         .outcome = not_started},
        // Wine's CreateProcessW refuses an image path past MAX_PATH in every form, the short one included.
        {.name = "path past MAX_PATH",
         .installer = deep / L"Brimora-1.4.0-win-x64.exe",
         .writer_ms = 0,
         .outcome = brimora::testing::running_under_wine() ? not_started : started_and_failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directories(c.installer.parent_path());
        ASSERT_TRUE(std::filesystem::copy_file(*exit1, c.installer));
        std::optional<brimora::testing::ScannerHold> scanner;
        if (c.writer_ms != 0) {
            scanner.emplace(c.installer.wstring(), GENERIC_READ | GENERIC_WRITE, c.writer_ms);
            ASSERT_TRUE(scanner->held());
        }
        const auto ran = run_installer(c.installer.wstring());
        ASSERT_FALSE(ran);
        EXPECT_EQ(ran.error(), c.outcome)
            << ran.error().code << " for " << c.installer.wstring().size() << " characters";
    }
}

// The deletions after a success wait out a short hold and give up on a long one without holding
// the finished window for longer than their bound.
TEST(Pipeline, CleanupAfterSuccessWaitsOutShortHolds) {
    TempDir dir;
    const std::filesystem::path installer = dir / "Brimora-1.4.0-win-x64.exe";
    const std::filesystem::path partial = dir / "Brimora-1.4.0-win-x64.exe.partial";
    struct Case {
        const char* name;
        bool partial_exists;
        DWORD hold_ms;  // a scanner holding the installer (0: nobody)
        bool installer_left;
    };
    const Case cases[] = {
        {"nothing holds them", true, 0, false},
        {"no partial file", false, 0, false},
        {"installer held for 0.5 s", true, 500, false},
        {"installer held for 20 s: left behind, the partial still deleted", true, 20000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_file(installer, "installer"));
        if (c.partial_exists) {
            ASSERT_TRUE(write_file(partial, "partial"));
        }
        std::optional<brimora::testing::ScannerHold> scanner;
        if (c.hold_ms != 0) {
            scanner.emplace(installer.wstring(), GENERIC_READ, c.hold_ms);
            ASSERT_TRUE(scanner->held());
        }
        const ULONGLONG started = ::GetTickCount64();
        delete_after_success(installer.wstring(), partial.wstring());
        const ULONGLONG took = ::GetTickCount64() - started;
        scanner.reset();
        EXPECT_EQ(std::filesystem::exists(installer), c.installer_left);
        EXPECT_FALSE(std::filesystem::exists(partial));
        EXPECT_LT(took, 6000u) << "the finished window is not held for long";
        std::filesystem::remove(installer);
    }
}

TEST(EventDelivery, ExactlyTheLimitIsSentAndOneByteMoreIsNot) {
    if (!rig::control_dir()) {
        GTEST_SKIP() << "needs the test rig's event recorder: run under tests/rig/run-in-namespace";
    }
    ASSERT_TRUE(rig::set_events_mode("200"));
    const std::size_t before = rig::events().size();

    const std::string at_limit = R"({"pad":")" + std::string(EVENT_BODY_LIMIT - 10, 'x') + R"("})";
    ASSERT_EQ(at_limit.size(), EVENT_BODY_LIMIT);
    KernelHandle thread = start_delivery(at_limit);
    ASSERT_TRUE(thread);
    wait_for_delivery(std::move(thread));
    const auto received = rig::events();
    ASSERT_EQ(received.size(), before + 1);
    EXPECT_EQ(received.back().body, at_limit);
    EXPECT_EQ(received.back().path, "/api/desktop/acquisition-events");
    EXPECT_EQ(received.back().header("Content-Type"), "application/json");

    // No thread is started for a longer body, so there is nothing that could send it.
    EXPECT_FALSE(start_delivery(at_limit + " "));

    // A release version long enough to push its events past the limit: neither versioned event is
    // sent, and there is no thread for the pipeline to wait on.
    const AppContext context{brimora::AcquisitionState::create(brimora::InstallerLocale::en), L"", {}};
    const std::string long_version = "1.4.0-" + std::string(EVENT_BODY_LIMIT, 'a');
    EXPECT_FALSE(spawn_event_with_version(context, brimora::AcquisitionEventType::install_succeeded, long_version));
    emit_event_with_version(context, long_version);
    KernelHandle marker = spawn_event_with_version(context, brimora::AcquisitionEventType::install_succeeded, "1.4.0");
    ASSERT_TRUE(marker);
    wait_for_delivery(std::move(marker));
    ::Sleep(500);  // time for a payload_verified thread, had one been started, to reach the recorder
    const auto after = rig::events();
    ASSERT_EQ(after.size(), before + 2) << "only the short-versioned event arrived";
    EXPECT_NE(after.back().body.find("\"appVersion\":\"1.4.0\""), std::string::npos);
}

// --- whole installs from the rig's feed --------------------------------------------------------

const auto* const progress_environment = ::testing::AddGlobalTestEnvironment(new brimora::win::test::ProgressWindow);

std::string base64(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) |
                                (i + 1 < size ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                                (i + 2 < size ? std::uint32_t{bytes[i + 2]} : 0);
        out += ALPHABET[(n >> 18) & 63];
        out += ALPHABET[(n >> 12) & 63];
        out += i + 1 < size ? ALPHABET[(n >> 6) & 63] : '=';
        out += i + 2 < size ? ALPHABET[n & 63] : '=';
    }
    return out;
}

// The feed serves the fixture as release 1.4.0.
void publish(const std::string& payload) {
    const std::string name = "Brimora-1.4.0-win-x64.exe";
    const auto digest = brimora::sha512_of({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
    ASSERT_TRUE(digest);
    const std::string sha = base64(digest->data(), digest->size());
    ASSERT_TRUE(rig::serve(name, payload));
    ASSERT_TRUE(rig::serve("latest.yml", "version: 1.4.0\npath: " + name + "\nsha512: " + sha +
                                             "\nreleaseDate: '2026-12-01T00:00:00.000Z'\nfiles:\n  - url: " + name +
                                             "\n    sha512: " + sha + "\n    size: " + std::to_string(payload.size()) +
                                             "\n"));
}

class WholeInstall : public brimora::win::test::InstalledAppTest {};

// Every stage value arrives with its text and in order, the download's own values between 10 and
// 78; and install_succeeded has reached the event service by the time the attempt ends, also when
// the installer claimed success but the app cannot be found (the window shows its failure only
// after install() has returned).
TEST_F(WholeInstall, PostsEveryStageInOrderAndDeliversInstallSucceededBeforeTheOutcome) {
    if (!rig::control_dir()) {
        GTEST_SKIP() << "needs the test rig's feed and event recorder: run under tests/rig/run-in-namespace";
    }
    struct Case {
        const wchar_t* fixture;
        std::optional<std::string> failure_code;  // nothing: success
    };
    const Case cases[] = {
        {.fixture = L"installer-signed.exe", .failure_code = std::nullopt},
        {.fixture = L"installer-exit0-empty.exe", .failure_code = "installed_app_not_found"},
    };
    ASSERT_TRUE(rig::set_events_mode("200"));
    const brimora::UiText& texts = brimora::texts_for(brimora::InstallerLocale::en);
    const std::vector<brimora::win::test::Posted> stages_before = {{3, std::string(texts.opening_installed)},
                                                                   {5, std::string(texts.checking_latest)},
                                                                   {10, std::string(texts.downloading)}};
    const std::vector<brimora::win::test::Posted> stages_after = {{78, std::string(texts.verifying_download)},
                                                                  {86, std::string(texts.verifying_publisher)},
                                                                  {92, std::string(texts.installing)},
                                                                  {98, std::string(texts.opening_installed)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const auto payload = rig::read_file(*rig::fixture(c.fixture));
        ASSERT_TRUE(payload);
        publish(*payload);
        brimora::win::test::delete_install_key();
        ASSERT_EQ(brimora::win::test::remove_when_released(local() / L"Programs"), std::error_code());
        brimora::win::test::take_posted();
        const std::size_t events_before = rig::events().size();

        std::optional<Outcome<std::string>> outcome;
        std::vector<rig::LoggedRequest> events_at_end;
        brimora::testing::TestThread worker([&] {
            outcome = install(AppContext{brimora::AcquisitionState::create(brimora::InstallerLocale::en),
                                         (local() / L"cache").native(), brimora::InstallerLocale::en});
            events_at_end = rig::events();
        });
        worker.join();
        CANCELLABLE.store(true);

        ASSERT_TRUE(outcome);
        if (c.failure_code) {
            ASSERT_FALSE(*outcome);
            EXPECT_EQ(std::string(outcome->error().code), *c.failure_code);
        } else {
            EXPECT_TRUE(*outcome) << outcome->error().code;
            EXPECT_EQ(wait_for_starts(1).size(), 1u) << "the installed app was not opened";
        }
        const auto posted = brimora::win::test::take_posted();
        ASSERT_GE(posted.size(), stages_before.size() + stages_after.size());
        for (std::size_t i = 0; i < posted.size(); ++i) {
            const auto& p = posted[i];
            const std::size_t from_end = posted.size() - i;
            const auto* expected = i < stages_before.size()          ? &stages_before[i]
                                   : from_end <= stages_after.size() ? &stages_after[stages_after.size() - from_end]
                                                                     : nullptr;
            if (expected) {
                EXPECT_EQ(p.value, expected->value) << "message " << i;
                EXPECT_EQ(p.text, expected->text) << "message " << i;
            } else {
                EXPECT_EQ(p.text, texts.downloading) << "message " << i;
                EXPECT_GE(p.value, posted[i - 1].value) << "message " << i;
                EXPECT_LE(p.value, 75u) << "message " << i;
            }
        }
        std::vector<std::string> sent;
        for (std::size_t i = events_before; i < events_at_end.size(); ++i) {
            const auto json = nlohmann::json::parse(events_at_end[i].body, nullptr, false);
            sent.push_back(json.is_object() ? json.value("eventType", "?") + "@" + json.value("appVersion", "") : "?");
        }
        EXPECT_NE(std::ranges::find(sent, "install_succeeded@1.4.0"), sent.end())
            << "install_succeeded had not reached the event service when the attempt ended";
    }
}

}  // namespace
