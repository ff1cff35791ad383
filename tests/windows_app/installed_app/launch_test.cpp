#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app_environment.hpp"
#include "authenticode.hpp"
#include "installed_app.hpp"
#include "support/rig_fixtures.hpp"
#include "support/win32.hpp"
#include "windows_app/failure_print.hpp"

namespace brimora::win::test {
namespace {

const Failure NOT_FOUND{"installed_app_not_found", FailureReason::launch_failed};
const Failure LAUNCH_FAILED{"launch_failed", FailureReason::launch_failed};

std::optional<Failure> failure_of(const Outcome<void>& outcome) {
    if (outcome) {
        return std::nullopt;
    }
    return outcome.error();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Under Wine, CreateProcessW refuses an application path longer than MAX_PATH with
// ERROR_FILE_NOT_FOUND, while CreateFileW and WinVerifyTrust accept it: a verified candidate that
// cannot be started. Built with the Win32 calls, which take long paths where the C runtime's
// file functions do not.
class LongPathCopy {
public:
    explicit LongPathCopy(const std::filesystem::path& base) {
        std::wstring dir = base.native();
        for (wchar_t letter : {L'a', L'b', L'c'}) {
            dir += L'\\';
            dir += std::wstring(100, letter);
            if (::CreateDirectoryW(dir.c_str(), nullptr)) {
                dirs_.push_back(dir);
            }
        }
        dir_ = dir;
        exe_ = dir + L"\\brimora.exe";
        copied_ = ::CopyFileW(brimora::testing::rig_fixture(L"app-signed.exe").c_str(), exe_.c_str(), FALSE) != 0;
    }
    LongPathCopy(const LongPathCopy&) = delete;
    LongPathCopy& operator=(const LongPathCopy&) = delete;
    ~LongPathCopy() {
        ::DeleteFileW(exe_.c_str());
        for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) {
            ::RemoveDirectoryW(it->c_str());
        }
    }
    [[nodiscard]] bool ready() const { return copied_ && exe_.size() > MAX_PATH; }
    [[nodiscard]] const std::wstring& dir() const { return dir_; }
    [[nodiscard]] const std::wstring& exe() const { return exe_; }

private:
    std::vector<std::wstring> dirs_;
    std::wstring dir_;
    std::wstring exe_;
    bool copied_ = false;
};

constexpr const char* NEEDS_WINE_LONG_PATH_LIMIT =
    "the unstartable candidate relies on Wine's CreateProcessW refusing paths longer than MAX_PATH; on Windows "
    "that depends on the long-path setting, which would also stop the signature check";

class LaunchTest : public InstalledAppTest {
protected:
    // The registry candidate is a verified copy that Wine will not start; `good_` is the fallback.
    void place_unstartable_then_good() {
        const LongPathCopy& unstartable = unstartable_.emplace(root());
        ASSERT_TRUE(unstartable.ready());
        ASSERT_TRUE(verify_authenticode(unstartable.exe())) << "the long-path copy must be a verified candidate";
        write_install_location(unstartable.dir() + L'\0');
        good_ = place_app(local() / L"Brimora");
        ASSERT_EQ(installed_app_candidates().size(), 2u);
    }

    std::optional<LongPathCopy> unstartable_;
    std::filesystem::path good_;
};

// --- launch_existing_app: one pass ---------------------------------------------------------------

class LaunchExisting : public LaunchTest {};

TEST_F(LaunchExisting, StartsAPathWithBlanksAsOneProgram) {
    const std::filesystem::path installed = root() / L"Program Files" / L"Brimora App \u30D6\u30EA";
    const std::filesystem::path app = place_app(installed);
    write_install_location(installed.native() + L'\0');
    ASSERT_TRUE(launch_existing_app());
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], app);
}

// The rejected copy is the registry candidate; the one that must start is the first fallback.
TEST_F(LaunchExisting, SkipsARejectedCopyForTheNextVerifiedOne) {
    const std::filesystem::path rejected_dir = root() / L"Rejected";
    place_app(rejected_dir, L"app-unsigned.exe");
    write_install_location(rejected_dir.native() + L'\0');
    const std::filesystem::path good = place_app(local() / L"Programs" / L"Brimora");
    ASSERT_TRUE(launch_existing_app());
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], good);
}

TEST_F(LaunchExisting, NeverStartsACopyThatFailsVerification) {
    place_app(root() / L"Installed", L"app-unsigned.exe");
    write_install_location((root() / L"Installed").native() + L'\0');
    place_app(local() / L"Programs" / L"Brimora", L"app-wrong-case.exe");
    place_app(local() / L"Brimora", L"app-trailing-blank.exe");
    ASSERT_EQ(installed_app_candidates().size(), 4u);
    EXPECT_FALSE(launch_existing_app());
    EXPECT_EQ(starts_after_grace().size(), 0u);
}

TEST_F(LaunchExisting, FindsNothingWhenNothingIsInstalled) { EXPECT_FALSE(launch_existing_app()); }

TEST_F(LaunchExisting, TriesTheNextCandidateWhenAVerifiedOneWillNotStart) {
    if (!brimora::testing::running_under_wine()) {
        GTEST_SKIP() << NEEDS_WINE_LONG_PATH_LIMIT;
    }
    ASSERT_NO_FATAL_FAILURE(place_unstartable_then_good());
    ASSERT_TRUE(launch_existing_app());
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], good_);
}

// Each start hands us a process and a thread handle; both must be closed at once.
TEST_F(LaunchExisting, LeavesNoHandlesOfTheStartedProcess) {
    place_app(local() / L"Brimora");
    ASSERT_TRUE(launch_existing_app());
    ASSERT_EQ(wait_for_starts(1).size(), 1u);
    const std::optional<std::size_t> baseline = brimora::testing::process_handle_count();
    ASSERT_TRUE(baseline.has_value());
    constexpr std::size_t LAUNCHES = 10;
    for (std::size_t i = 0; i < LAUNCHES; ++i) {
        ASSERT_TRUE(launch_existing_app());
    }
    const std::optional<std::size_t> after = brimora::testing::process_handle_count();
    ASSERT_TRUE(after.has_value());
    std::printf("%zu launches: %zu handles before, %zu after\n", LAUNCHES, *baseline, *after);
    EXPECT_LE(*after, *baseline + 2);
    EXPECT_EQ(wait_for_starts(LAUNCHES + 1).size(), LAUNCHES + 1);
}

// --- launch_installed_app: up to LAUNCH_PASSES passes ---------------------------------------------

class LaunchInstalled : public LaunchTest {};

TEST_F(LaunchInstalled, SkipsACopyThatFailsVerification) {
    place_app(root() / L"Installed", L"app-wrong-case.exe");
    write_install_location((root() / L"Installed").native() + L'\0');
    const std::filesystem::path good = place_app(local() / L"Brimora");
    EXPECT_EQ(failure_of(launch_installed_app()), std::nullopt);
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], good);
}

TEST_F(LaunchInstalled, FailsAtOnceWhenTheVerifiedCopyWillNotStart) {
    if (!brimora::testing::running_under_wine()) {
        GTEST_SKIP() << NEEDS_WINE_LONG_PATH_LIMIT;
    }
    ASSERT_NO_FATAL_FAILURE(place_unstartable_then_good());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of(launch_installed_app()), LAUNCH_FAILED);
    std::printf("launch_failed after %.2f s\n", seconds_since(start));
    EXPECT_EQ(starts_after_grace().size(), 0u) << "a further candidate was tried after the start failure";
}

TEST_F(LaunchInstalled, GivesUpAfterAllPassesWhenNothingIsInstalled) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of(launch_installed_app()), NOT_FOUND);
    std::printf("installed_app_not_found after %.2f s (%d passes, %lld ms pause after each)\n", seconds_since(start),
                LAUNCH_PASSES, static_cast<long long>(LAUNCH_PASS_DELAY.count()));
}

// The pause is the test's: it counts the passes and installs the copy while pause N runs, so the
// copy can only be found if pass N + 1 happens.
int pauses_made = 0;
int install_during_pause = 0;
std::filesystem::path install_dir;

void counting_pause() {
    if (++pauses_made == install_during_pause) {
        place_app(install_dir);
    }
}

TEST_F(LaunchInstalled, MakesExactlyTwentyPassesWithAPauseAfterEach) {
    struct Case {
        int install_during_pause;  // 0: installed before the first pass; -1: never
        std::optional<Failure> outcome;
        int pauses;
    };
    const Case cases[] = {
        {.install_during_pause = 0, .outcome = std::nullopt, .pauses = 0},  // no pause before the first pass
        {.install_during_pause = 1, .outcome = std::nullopt, .pauses = 1},
        {.install_during_pause = 19, .outcome = std::nullopt, .pauses = 19},                     // found on pass 20
        {.install_during_pause = LAUNCH_PASSES, .outcome = NOT_FOUND, .pauses = LAUNCH_PASSES},  // no pass 21
        {.install_during_pause = -1, .outcome = NOT_FOUND, .pauses = LAUNCH_PASSES},
    };
    install_dir = local() / L"Brimora";
    std::size_t started = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.install_during_pause);
        ASSERT_EQ(remove_when_released(install_dir), std::error_code());
        if (c.install_during_pause == 0) {
            place_app(install_dir);
        }
        pauses_made = 0;
        install_during_pause = c.install_during_pause;
        EXPECT_EQ(failure_of(launch_installed_app(counting_pause)), c.outcome);
        EXPECT_EQ(pauses_made, c.pauses);
        if (!c.outcome) {
            ASSERT_EQ(wait_for_starts(++started).size(), started);
        }
    }
}

// The installer may still be writing when the search begins: the value and the file appear
// while the passes run and must be found on a later pass.
TEST_F(LaunchInstalled, FindsACopyThatAppearsWhileWaiting) {
    const std::filesystem::path installed = root() / L"Late Install";
    const std::filesystem::path app = installed / APP_EXE_NAME;
    brimora::testing::TestThread installer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        const std::filesystem::path staged = place_app(root() / L"staging");
        std::filesystem::create_directories(installed);
        // Renamed into place so that no pass sees a half-copied file.
        std::filesystem::rename(staged, app);
        write_install_location(installed.native() + L'\0');
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome<void> outcome = launch_installed_app();
    const double elapsed = seconds_since(start);
    installer.join();
    EXPECT_EQ(failure_of(outcome), std::nullopt);
    std::printf("found the late copy after %.2f s\n", elapsed);
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], app);
}

}  // namespace
}  // namespace brimora::win::test
