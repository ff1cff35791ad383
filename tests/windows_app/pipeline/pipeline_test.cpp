// The pipeline's own rules and the units it runs: the disk-space requirement, the installer's
// command line and start, the prune pass and the clean-up over a real cache directory, the event
// body limit of delivery, and whole installs from the rig's feed as the window would see them.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "authenticode.hpp"
#include "bootstrapper/manifest/manifest_cases.hpp"
#include "brimora/base64.hpp"
#include "events.hpp"
#include "installer_run.hpp"
#include "pipeline.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"
#include "support/win32.hpp"
#include "brimora/texts.hpp"
#include "windows_app/installed_app/app_environment.hpp"
#include "windows_app/recorded_io.hpp"

namespace {

using namespace brimora::win;
namespace rig = brimora::testing::rig;
using brimora::testing::TempDir;
using brimora::testing::write_file;
using brimora::win::test::take_reported;

constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t MARGIN = 268435456;

TEST(Pipeline, DiskSpaceRequirementSaturates) {
    const std::tuple<std::uint64_t, std::uint64_t> cases[] = {
        {0, MARGIN},
        {1, 4 + MARGIN},
        {1000, 4000 + MARGIN},
        {(MAX - MARGIN) / 4, (MAX - MARGIN) / 4 * 4 + MARGIN},  // the largest size that fits exactly
        {MAX / 4, MAX},                                         // the product fits, the sum would wrap
        {MAX / 4 + 1, MAX},                                     // the product would wrap
        {std::uint64_t{1} << 62, MAX},
        {MAX, MAX},
    };
    for (const auto& [size, required] : cases) {
        EXPECT_EQ(disk_space_required(size), required) << size;
    }
}

TEST(Pipeline, InstallerCommandLineQuotesThePathAndAddsTheThreeArguments) {
    const std::tuple<std::filesystem::path, std::wstring> cases[] = {
        {L"C:\\cache\\Brimora-1.4.0-win-x64.exe",
         L"\"C:\\cache\\Brimora-1.4.0-win-x64.exe\" /S /currentuser --force-run"},
        {L"C:\\Users\\A B\\v1\\x.exe", L"\"C:\\Users\\A B\\v1\\x.exe\" /S /currentuser --force-run"},
        {L"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe",
         L"\"C:\\\u30e6\u30fc\u30b6\u30fc\\x.exe\" /S /currentuser --force-run"},
    };
    for (const auto& [installer, line] : cases) {
        EXPECT_EQ(installer_command_line(installer), line);
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
    prune_cache(dir / "absent", "Brimora-1.4.0-win-x64.exe");  // a missing directory: nothing happens

    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Brimora-1.2.0-win-x64.exe", "Brimora-1.4.0-win-x64.exe",
                                                              "Brimora-1.4.0-win-x64.exe.partial",
                                                              "brimora-1.2.9-win-x64.exe", "notes.txt"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "Brimora-1.2.0-win-x64.exe" / "inside"));
}

// A clock that steps back an hour at the first pause, as a wall clock set back by the user or a
// time service would.
std::uint64_t stepped_back = 0;
std::uint64_t stepping_now() { return monotonic_ms() + 3600000 - stepped_back; }
void stepping_pause(std::uint32_t ms) {
    stepped_back = 3600000;
    sleep_ms(ms);
}

// The installer's start through a scanner's hold and through a path too long to start as it is.
// installer-exit1.exe checks its command line and exits 1, so "install_failed" proves it started
// with the right arguments and "install_start_failed" that it could not be started. A start
// refused by a hold checks the file again before it runs it: a holder that wrote to it meanwhile
// stops the attempt.
TEST(Pipeline, InstallerStartWaitsOutHoldsAndShortensLongPaths) {
    const auto exit1 = rig::fixture(L"installer-exit1.exe");
    ASSERT_TRUE(exit1) << "needs the rig's signed fixtures: run under tests/rig/run-in-namespace";
    const auto exit1_bytes = rig::read_file(*exit1);
    ASSERT_TRUE(exit1_bytes);
    const brimora::ValidatedRelease release = brimora::win::test::release_of(*exit1_bytes);
    TempDir dir;
    // Nine folders of 26 characters under the scratch directory: past MAX_PATH in all.
    std::filesystem::path deep = dir.path();
    for (int i = 0; i < 9; ++i) {
        deep /= L"\u30d5\u30a9\u30eb\u30c0 folder with spaces " + std::to_wstring(i);
    }
    const Failure started_and_failed{"install_failed", brimora::FailureReason::install_failed};
    const Failure not_started{"install_start_failed", brimora::FailureReason::install_failed};
    const Failure changed{"payload_hash_mismatch", brimora::FailureReason::payload_hash_mismatch};
    const DWORD past_the_bound = static_cast<DWORD>(brimora::win::test::TEST_LOCK_BUDGET.count()) + 5000;
    struct Case {
        const char* name;
        std::filesystem::path installer;
        DWORD writer_ms;  // a scanner holding it open for writing (0: nobody)
        Failure outcome;
        bool changed_while_held = false;  // the holder flips the last byte
        bool either_under_wine = false;   // started, or "install_start_failed"
    };
    // clang-format off
    const Case cases[] = {
        {.name = "plain path", .installer = dir / L"Brimora-1.4.0-win-x64.exe", .writer_ms = 0,
         .outcome = started_and_failed},
        {.name = "held for 1 s: started once the hold is gone", .installer = dir / L"held.exe", .writer_ms = 1000,
         .outcome = started_and_failed},
        {.name = "held for 1 s and changed by the holder: checked again, never started",
         .installer = dir / L"changed.exe", .writer_ms = 1000, .outcome = changed, .changed_while_held = true},
        {.name = "held past the bound", .installer = dir / L"held-long.exe", .writer_ms = past_the_bound,
         .outcome = not_started},
        // Started through its short (8.3) form. Wine 8's CreateProcessW of that form starts it in some
        // runs and refuses it in others (with the same files and code): not pinned there.
        {.name = "path past MAX_PATH", .installer = deep / L"Brimora-1.4.0-win-x64.exe", .writer_ms = 0,
         .outcome = started_and_failed, .either_under_wine = true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directories(c.installer.parent_path());
        ASSERT_TRUE(std::filesystem::copy_file(*exit1, c.installer));
        std::optional<brimora::testing::ScannerHold> scanner;
        if (c.writer_ms != 0) {
            scanner.emplace(c.installer.wstring(), GENERIC_READ | GENERIC_WRITE, c.writer_ms);
            ASSERT_TRUE(scanner->held());
        }
        if (c.changed_while_held) {
            std::fstream(c.installer, std::ios::in | std::ios::out | std::ios::binary)
                .seekp(static_cast<std::streamoff>(exit1_bytes->size() - 1))
                .put(brimora::win::test::flip_last(*exit1_bytes).back());
        }
        const std::wstring installer = c.installer.wstring();
        int checks = 0;
        TimeBudget budget(brimora::win::test::TEST_LOCK_BUDGET, {});
        const auto ran = run_installer(
            installer,
            [&] {
                ++checks;
                auto verified = verify_size_and_hash(installer, release);
                return verified ? verify_authenticode(installer) : verified;
            },
            budget);
        ASSERT_FALSE(ran);
        const bool either = c.either_under_wine && brimora::testing::running_under_wine();
        EXPECT_TRUE(ran.error() == c.outcome || (either && ran.error() == not_started))
            << ran.error().code << " for " << installer.size() << " characters";
        EXPECT_EQ(checks > 0, c.writer_ms != 0 && c.writer_ms < past_the_bound)
            << "checked again once a refusal has passed, and only then";
    }
}

// The deletions after a success wait out a short hold and give up on a long one without holding
// the finished window for longer than their bound, also when the wall clock steps back.
TEST(Pipeline, CleanupAfterSuccessWaitsOutShortHolds) {
    TempDir dir;
    const std::filesystem::path installer = dir / "Brimora-1.4.0-win-x64.exe";
    const std::filesystem::path partial = dir / "Brimora-1.4.0-win-x64.exe.partial";
    // Whether there is a partial file, how long a scanner holds the installer (0: nobody), whether
    // the installer is left behind, whether the wall clock steps back.
    const std::tuple<const char*, bool, DWORD, bool, bool> cases[] = {
        {"nothing holds them", true, 0, false, false},
        {"no partial file", false, 0, false, false},
        {"installer held for 0.5 s", true, 500, false, false},
        {"installer held for 20 s: left behind, the partial still deleted", true, 20000, true, false},
        {"held for 20 s while the clock steps back an hour: left behind as soon", true, 20000, true, true},
    };
    for (const auto& [name, partial_exists, hold_ms, installer_left, clock_steps_back] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(write_file(installer, "installer"));
        if (partial_exists) {
            ASSERT_TRUE(write_file(partial, "partial"));
        }
        std::optional<brimora::testing::ScannerHold> scanner;
        if (hold_ms != 0) {
            scanner.emplace(installer.wstring(), GENERIC_READ, hold_ms);
            ASSERT_TRUE(scanner->held());
        }
        stepped_back = 0;
        const ULONGLONG started = ::GetTickCount64();
        TimeBudget budget(CLEANUP_RETRY_BUDGET,
                          clock_steps_back ? WaitClock{stepping_now, stepping_pause} : WaitClock{});
        delete_after_success(installer.wstring(), partial.wstring(), budget);
        const ULONGLONG took = ::GetTickCount64() - started;
        scanner.reset();
        EXPECT_EQ(std::filesystem::exists(installer), installer_left);
        EXPECT_FALSE(std::filesystem::exists(partial));
        EXPECT_LT(took, 6000u) << "the finished window is not held for long";
        std::filesystem::remove(installer);
    }
}

TEST(EventDelivery, ExactlyTheLimitIsSentAndOneByteMoreIsNot) {
    ASSERT_TRUE(rig::control_dir()) << "needs the test rig's event recorder: run under tests/rig/run-in-namespace";
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
    const auto state = brimora::AcquisitionState::create(brimora::InstallerLocale::en);
    const auto versioned = [&](brimora::AcquisitionEventType type, std::string version) {
        return brimora::with_app_version(brimora::AcquisitionEvent::create(state, type, std::nullopt),
                                         std::move(version));
    };
    const std::string long_version = "1.4.0-" + std::string(EVENT_BODY_LIMIT, 'a');
    EXPECT_FALSE(send_event(versioned(brimora::AcquisitionEventType::install_succeeded, long_version)));
    EXPECT_FALSE(send_event(versioned(brimora::AcquisitionEventType::payload_verified, long_version)));
    KernelHandle marker = send_event(versioned(brimora::AcquisitionEventType::install_succeeded, "1.4.0"));
    ASSERT_TRUE(marker);
    wait_for_delivery(std::move(marker));
    const auto after = rig::events();
    ASSERT_EQ(after.size(), before + 2) << "only the short-versioned event arrived";
    EXPECT_NE(after.back().body.find("\"appVersion\":\"1.4.0\""), std::string::npos);
    EXPECT_EQ(after.back().connection, received.back().connection) << "the second event reused the first's connection";
    EXPECT_EQ(after.back().request_on_connection, received.back().request_on_connection + 1);
}

// --- whole installs from the rig's feed --------------------------------------------------------

// The feed serves the fixture as release 1.4.0.
void publish(const std::string& payload) {
    namespace cases = brimora::manifest_cases;
    const std::string sha = brimora::encode_base64(brimora::win::test::release_of(payload).sha512);
    ASSERT_TRUE(rig::serve(cases::NAME, payload));
    ASSERT_TRUE(rig::serve(
        "latest.yml", cases::manifest("1.4.0", cases::NAME, sha,
                                      cases::files(cases::entry(cases::NAME, sha, std::to_string(payload.size()))))));
}

class WholeInstall : public brimora::win::test::InstalledAppTest {};

int installing_calls = 0;
void count_installing() { ++installing_calls; }
void no_pause() {}

// "type@appVersion" of each event recorded after the first `before`.
std::vector<std::string> sent_since(std::size_t before, const std::vector<rig::LoggedRequest>& events) {
    std::vector<std::string> sent;
    for (std::size_t i = before; i < events.size(); ++i) {
        const auto json = nlohmann::json::parse(events[i].body, nullptr, false);
        sent.push_back(json.is_object() ? json.value("eventType", "?") + "@" + json.value("appVersion", "") : "?");
    }
    return sent;
}

// Every stage value arrives with its text and in order, the download's own values between 10 and
// 78, and the installer is announced as uncancellable only when it runs; the events the attempt
// waits for have reached the event service by the time it ends, the others arrive later: also
// when the installer claimed success but the app cannot be found (the window shows its failure
// only after install() has returned), when an installed copy is opened instead, and when the
// manifest request is answered with anything but 200.
TEST_F(WholeInstall, PostsEveryStageInOrderAndDeliversInstallSucceededBeforeTheOutcome) {
    ASSERT_TRUE(rig::control_dir())
        << "needs the test rig's feed and event recorder: run under tests/rig/run-in-namespace";
    struct Case {
        const char* name;
        nlohmann::json feed_mode{};  // null: normal service
        bool installed_copy = false;
        std::optional<std::string> failure_code{};  // nothing: success
        std::size_t stages = 7;                     // stages posted: 1, 2, or all seven and the download
        const char* waited_for = "install_succeeded@1.4.0";
        std::vector<std::string> later{};  // events that arrive after the attempt ended
    };
    const nlohmann::json manifest_304 = {{"path", "latest.yml"}, {"status", 304}};
    const nlohmann::json manifest_206 = {{"path", "latest.yml"}, {"status", 206}};
    const std::vector<std::string> started = {"installer_started@"};
    const std::vector<std::string> started_and_verified = {"installer_started@", "payload_verified@1.4.0"};
    // clang-format off
    const Case cases[] = {
        {.name = "installer-signed.exe", .later = started_and_verified},
        {.name = "installer-exit0-empty.exe", .failure_code = "installed_app_not_found", .later = started_and_verified},
        {.name = "an installed copy is opened", .installed_copy = true, .stages = 1,
         .waited_for = "existing_app_launched@", .later = started},
        {.name = "manifest answered 304", .feed_mode = manifest_304, .failure_code = "network_error", .stages = 2,
         .waited_for = nullptr, .later = started},
        {.name = "manifest answered 206", .feed_mode = manifest_206, .failure_code = "network_error", .stages = 2,
         .waited_for = nullptr, .later = started},
    };
    // clang-format on
    ASSERT_TRUE(rig::set_events_mode("200"));
    const brimora::UiText& texts = brimora::texts_for(brimora::InstallerLocale::en);
    const std::vector<brimora::win::test::Reported> stages_before = {{3, std::string(texts.opening_installed)},
                                                                     {5, std::string(texts.checking_latest)},
                                                                     {10, std::string(texts.downloading)}};
    const std::vector<brimora::win::test::Reported> stages_after = {{78, std::string(texts.verifying_download)},
                                                                    {86, std::string(texts.verifying_publisher)},
                                                                    {92, std::string(texts.installing)},
                                                                    {98, std::string(texts.opening_installed)}};
    const InstallIo io{
        .io = brimora::win::test::RECORDING_IO, .installing = count_installing, .launch_pause = no_pause};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool runs_installer = c.stages == 7;
        const auto payload =
            rig::read_file(*rig::fixture(std::string_view(c.name).ends_with(".exe") ? c.name : "installer-signed.exe"));
        ASSERT_TRUE(payload);
        publish(*payload);
        ASSERT_TRUE(c.feed_mode.is_null() ? (rig::normal_feed(), true) : rig::set_feed_mode(c.feed_mode));
        brimora::win::test::delete_install_key();
        ASSERT_EQ(brimora::win::test::remove_when_released(local() / L"Programs"), std::error_code());
        std::filesystem::remove(marker());
        if (c.installed_copy) {
            brimora::win::test::place_app(local() / L"Programs" / L"Brimora");
        }
        take_reported();
        installing_calls = 0;
        const std::size_t events_before = rig::events().size();

        const auto outcome = install(AppContext{brimora::AcquisitionState::create(brimora::InstallerLocale::en),
                                                (local() / L"cache").native(), brimora::InstallerLocale::en},
                                     io);
        const auto events_at_end = rig::events();
        rig::normal_feed();
        if (c.failure_code) {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(std::string(outcome.error().code), *c.failure_code);
        } else {
            EXPECT_TRUE(outcome) << outcome.error().code;
            EXPECT_EQ(wait_for_starts(1).size(), 1u) << "the installed app was not opened";
        }
        EXPECT_EQ(installing_calls, runs_installer ? 1 : 0);
        const auto posted = take_reported();
        const std::size_t head = std::min(posted.size(), stages_before.size());
        const std::size_t tail = runs_installer ? stages_after.size() : 0;
        ASSERT_TRUE(runs_installer ? posted.size() >= head + tail : posted.size() == c.stages) << posted.size();
        const auto at = [](const auto& v, std::size_t i) { return v.begin() + static_cast<std::ptrdiff_t>(i); };
        EXPECT_TRUE(std::equal(stages_before.begin(), at(stages_before, head), posted.begin()));
        EXPECT_TRUE(std::equal(at(stages_after, stages_after.size() - tail), stages_after.end(),
                               at(posted, posted.size() - tail)));
        for (std::size_t i = head; i + tail < posted.size(); ++i) {  // the download's own reports
            EXPECT_EQ(posted[i].text, texts.downloading) << "report " << i;
            EXPECT_GT(posted[i].value, posted[i - 1].value) << "report " << i;
            EXPECT_LE(posted[i].value, 75u) << "report " << i;
        }
        std::vector<std::string> sent = sent_since(events_before, events_at_end);
        if (c.waited_for) {
            EXPECT_NE(std::ranges::find(sent, c.waited_for), sent.end())
                << c.waited_for << " had not reached the event service when the attempt ended";
        }
        // The detached deliveries, waited for (bounded) so that none is counted in the next row.
        const auto arrived = [&](const std::string& event) { return std::ranges::find(sent, event) != sent.end(); };
        for (int i = 0; i < 200 && !std::ranges::all_of(c.later, arrived); ++i) {
            ::Sleep(50);
            sent = sent_since(events_before, rig::events());
        }
        for (const std::string& event : c.later) {
            EXPECT_TRUE(arrived(event)) << event << " never reached the event service";
        }
    }
}

}  // namespace
