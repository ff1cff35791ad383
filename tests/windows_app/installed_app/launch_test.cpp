#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app_environment.hpp"
#include "authenticode.hpp"
#include "handles.hpp"
#include "installed_app.hpp"
#include "paths.hpp"
#include "support/rig_fixtures.hpp"
#include "support/win32.hpp"
#include "windows_app/failure_print.hpp"

namespace brimora::win::test {
namespace {

const Failure NOT_FOUND{"installed_app_not_found", FailureReason::launch_failed};
const Failure LAUNCH_FAILED{"launch_failed", FailureReason::launch_failed};
// What a launch_existing_app that opened nothing stands for in the table below.
const Failure NOTHING_OPENED{"nothing opened", FailureReason::launch_failed};

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
public:
    // The registry candidate is a verified copy that Wine will not start; returns the fallback.
    std::filesystem::path place_unstartable_then_good() {
        const LongPathCopy& unstartable = unstartable_.emplace(root());
        EXPECT_TRUE(unstartable.ready());
        EXPECT_TRUE(verify_authenticode(unstartable.exe())) << "the long-path copy must be a verified candidate";
        write_install_location(unstartable.dir() + L'\0');
        const std::filesystem::path good = place_app(local() / L"Brimora");
        EXPECT_EQ(installed_app_candidates().size(), 2u);
        return good;
    }
    std::optional<LongPathCopy> unstartable_;
};

// --- Which candidate either launch opens --------------------------------------------------------

enum class Launch : std::uint8_t { existing, installed };

struct LaunchCase {
    const char* name;
    Launch launch;
    // Places the copies; returns the one that must start, or an empty path when none may.
    std::filesystem::path (*place)(LaunchTest& test);
    std::optional<Failure> outcome;  // NOTHING_OPENED: launch_existing_app returned false
    bool needs_wine_long_path_limit = false;

    friend void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.name; }
};

std::filesystem::path blanks_and_japanese(LaunchTest& t) {
    const std::filesystem::path installed = t.root() / L"Program Files" / L"Brimora App \u30D6\u30EA";
    write_install_location(installed.native() + L'\0');
    return place_app(installed);
}

// The rejected copy is the registry candidate; the one that must start is a fallback.
template <const wchar_t* Rejected, const wchar_t* Fallback>
std::filesystem::path rejected_then_good(LaunchTest& t) {
    place_app(t.root() / L"Rejected", Rejected);
    write_install_location((t.root() / L"Rejected").native() + L'\0');
    return place_app(t.local() / Fallback);
}

constexpr wchar_t UNSIGNED[] = L"app-unsigned.exe";
constexpr wchar_t WRONG_CASE[] = L"app-wrong-case.exe";
constexpr wchar_t PROGRAMS_BRIMORA[] = L"Programs\\Brimora";
constexpr wchar_t BRIMORA[] = L"Brimora";

std::filesystem::path none_verified(LaunchTest& t) {
    place_app(t.root() / L"Installed", UNSIGNED);
    write_install_location((t.root() / L"Installed").native() + L'\0');
    place_app(t.local() / L"Programs" / L"Brimora", WRONG_CASE);
    place_app(t.local() / L"Brimora", L"app-trailing-blank.exe");
    EXPECT_EQ(installed_app_candidates().size(), 4u);
    return {};
}

std::filesystem::path nothing(LaunchTest&) { return {}; }

std::filesystem::path unstartable_then_good(LaunchTest& t) { return t.place_unstartable_then_good(); }

// A failed start ends launch_installed_app: the good fallback behind it must not start either.
std::filesystem::path unstartable_then_good_unused(LaunchTest& t) {
    t.place_unstartable_then_good();
    return {};
}

class LaunchTable : public LaunchTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(LaunchTable, OpensTheFirstVerifiedStartableCopy) {
    const LaunchCase& c = GetParam();
    if (c.needs_wine_long_path_limit && !brimora::testing::running_under_wine()) {
        GTEST_SKIP() << NEEDS_WINE_LONG_PATH_LIMIT;
    }
    const std::filesystem::path expected = c.place(*this);
    ASSERT_FALSE(HasFatalFailure());
    const std::optional<Failure> outcome = c.launch == Launch::existing
                                               ? (launch_existing_app() ? std::nullopt : std::optional(NOTHING_OPENED))
                                               : failure_of(launch_installed_app());
    EXPECT_EQ(outcome, c.outcome);
    if (expected.empty()) {
        EXPECT_EQ(starts_after_grace().size(), 0u) << "a copy was started";
        return;
    }
    const std::vector<StartRecord> starts = wait_for_starts(1);
    ASSERT_EQ(starts.size(), 1u);
    expect_started(starts[0], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, LaunchTable,
    ::testing::Values(LaunchCase{"existing: a path with blanks starts as one program", Launch::existing,
                                 blanks_and_japanese, std::nullopt},
                      LaunchCase{"existing: a rejected copy is skipped for the next verified one", Launch::existing,
                                 rejected_then_good<UNSIGNED, PROGRAMS_BRIMORA>, std::nullopt},
                      LaunchCase{"existing: a copy that fails verification never starts", Launch::existing,
                                 none_verified, NOTHING_OPENED},
                      LaunchCase{"existing: nothing installed", Launch::existing, nothing, NOTHING_OPENED},
                      LaunchCase{"existing: a verified copy that will not start is passed over", Launch::existing,
                                 unstartable_then_good, std::nullopt, true},
                      LaunchCase{"installed: a copy that fails verification is skipped", Launch::installed,
                                 rejected_then_good<WRONG_CASE, BRIMORA>, std::nullopt},
                      LaunchCase{"installed: a verified copy that will not start fails at once", Launch::installed,
                                 unstartable_then_good_unused, LAUNCH_FAILED, true}),
    [](const auto& row) { return "Row" + std::to_string(row.index); });

// Both paths open the same file: the same volume and file index.
bool same_file(const std::wstring& a, const std::wstring& b) {
    BY_HANDLE_FILE_INFORMATION info[2]{};
    for (int i = 0; i < 2; ++i) {
        const FileHandle file(::CreateFileW((i == 0 ? a : b).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        if (!file || !::GetFileInformationByHandle(file.get(), &info[i])) {
            return false;
        }
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// What the short form CreateProcessW is given stands for: the same file, below MAX_PATH wherever
// the volume keeps short names (Wine's drives always do).
TEST_F(LaunchTest, StartablePathOfALongPathIsShortAndTheSameFile) {
    const LongPathCopy& copy = unstartable_.emplace(root());
    ASSERT_TRUE(copy.ready());
    EXPECT_EQ(startable_path(root() / L"short.exe"), (root() / L"short.exe").native()) << "a short path is kept";
    const std::wstring startable = startable_path(copy.exe());
    std::wstring first_folder(MAX_PATH, L'\0');
    first_folder.resize(::GetShortPathNameW((root() / std::wstring(100, L'a')).c_str(), first_folder.data(), MAX_PATH));
    const bool short_names = !first_folder.empty() && first_folder != (root() / std::wstring(100, L'a')).native();
    if (brimora::testing::running_under_wine()) {
        ASSERT_TRUE(short_names) << "Wine's drives make short names";
    }
    if (!short_names) {
        EXPECT_EQ(startable, copy.exe());
        return;
    }
    EXPECT_LT(startable.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_TRUE(same_file(startable, copy.exe())) << std::filesystem::path(startable).string();
}

// Each start hands us a process and a thread handle; both must be closed at once.
TEST_F(LaunchTest, LeavesNoHandlesOfTheStartedProcess) {
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

// The pause is the test's: it counts the passes and installs the copy while pause N runs, so the
// copy can only be found if pass N + 1 happens. The installer may still be writing when the search
// begins: a copy named by a registry value that appears meanwhile is found on a later pass too.
int pauses_made = 0;
int install_during_pause = 0;
std::filesystem::path install_dir;
bool install_by_registry = false;

void counting_pause() {
    if (++pauses_made == install_during_pause) {
        place_app(install_dir);
        if (install_by_registry) {
            write_install_location(install_dir.native() + L'\0');
        }
    }
}

TEST_F(LaunchInstalled, MakesExactlyTwentyPassesWithAPauseAfterEach) {
    struct Case {
        int install_during_pause;  // 0: installed before the first pass; -1: never
        std::optional<Failure> outcome;
        int pauses;
        bool by_registry = false;  // in a folder only the registry value names
    };
    const Case cases[] = {
        {.install_during_pause = 0, .outcome = std::nullopt, .pauses = 0},  // no pause before the first pass
        {.install_during_pause = 1, .outcome = std::nullopt, .pauses = 1},
        {.install_during_pause = 3, .outcome = std::nullopt, .pauses = 3, .by_registry = true},
        {.install_during_pause = 19, .outcome = std::nullopt, .pauses = 19},                     // found on pass 20
        {.install_during_pause = LAUNCH_PASSES, .outcome = NOT_FOUND, .pauses = LAUNCH_PASSES},  // no pass 21
        {.install_during_pause = -1, .outcome = NOT_FOUND, .pauses = LAUNCH_PASSES},
    };
    std::size_t started = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.install_during_pause);
        install_dir = c.by_registry ? root() / L"Late Install" : local() / L"Brimora";
        install_by_registry = c.by_registry;
        ASSERT_EQ(remove_when_released(local() / L"Brimora"), std::error_code());
        ASSERT_EQ(remove_when_released(root() / L"Late Install"), std::error_code());
        delete_install_key();
        if (c.install_during_pause == 0) {
            place_app(install_dir);
        }
        pauses_made = 0;
        install_during_pause = c.install_during_pause;
        EXPECT_EQ(failure_of(launch_installed_app(counting_pause)), c.outcome);
        EXPECT_EQ(pauses_made, c.pauses);
        if (!c.outcome) {
            const std::vector<StartRecord> starts = wait_for_starts(++started);
            ASSERT_EQ(starts.size(), started);
            expect_started(starts.back(), install_dir / APP_EXE_NAME);
        }
    }
}

}  // namespace
}  // namespace brimora::win::test
