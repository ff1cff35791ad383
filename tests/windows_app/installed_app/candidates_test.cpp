#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app_environment.hpp"
#include "installed_app.hpp"

namespace brimora::win::test {
namespace {

using namespace std::string_literals;

constexpr const wchar_t* PROGRAMS = L"Programs\\Brimora";
constexpr const wchar_t* PROGRAMS_LOWER = L"Programs\\brimora";

void expect_candidates(const std::vector<std::wstring>& expected, const char* name) {
    const auto readable = [](const std::vector<std::wstring>& list) {
        std::string out;
        for (const auto& t : list) {
            out += "  " + std::filesystem::path(t).string() + "\n";
        }
        return out.empty() ? "  (none)\n" : out;
    };
    const std::vector<std::wstring> got = installed_app_candidates();
    EXPECT_EQ(got, expected) << name << "\ngot:\n" << readable(got) << "expected:\n" << readable(expected);
}

// --- How the registry value is read ------------------------------------------------------------
// Every row installs a copy in an absolute directory the value can name and one in the last
// fallback folder, so a wrongly accepted value shows up as an extra first candidate and a wrongly
// refused one as a missing one.

struct RegistryCase {
    const char* name;
    // Writes the value for the installed directory (the test's root is the current directory).
    std::function<void(const std::wstring& dir, const std::wstring& root)> write;
    bool registry_candidate;

    friend void PrintTo(const RegistryCase& c, std::ostream* os) { *os << c.name; }
};

std::wstring padded_to_bytes(const std::wstring& text, std::size_t bytes) {
    std::wstring units = text;
    units.resize(bytes / sizeof(wchar_t), L'\0');
    return units;
}

class RegistryValue : public InstalledAppTest, public ::testing::WithParamInterface<RegistryCase> {};

TEST_P(RegistryValue, GivesTheRegistryCandidateOnlyWhenValid) {
    const std::filesystem::path installed = root() / L"Installed Here \u30D6\u30EA\u30E2\u30E9";
    place_app(installed);
    const std::filesystem::path fallback = place_app(local() / L"Brimora");
    ASSERT_NO_FATAL_FAILURE(GetParam().write(installed.native(), root().native()));

    std::vector<std::wstring> expected;
    if (GetParam().registry_candidate) {
        expected.push_back(installed.native() + L"\\brimora.exe");
    }
    expected.push_back(fallback.native());
    expect_candidates(expected, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, RegistryValue,
    ::testing::Values(
        RegistryCase{"one_terminator", [](auto& dir, auto&) { write_install_location(dir + L'\0'); }, true},
        RegistryCase{"four_terminators", [](auto& dir, auto&) { write_install_location(dir + L"\0\0\0\0"s); }, true},
        RegistryCase{"trailing_separator", [](auto& dir, auto&) { write_install_location(dir + L"\\"s + L'\0'); },
                     true},
        RegistryCase{"exactly_32768_bytes",
                     [](auto& dir, auto&) { write_install_location(padded_to_bytes(dir, 32768)); }, true},
        RegistryCase{"32770_bytes", [](auto& dir, auto&) { write_install_location(padded_to_bytes(dir, 32770)); },
                     false},
        RegistryCase{"odd_size",
                     [](auto& dir, auto&) {
                         const std::wstring units = dir + L'\0';
                         write_install_value(INSTALL_LOCATION_VALUE, REG_SZ, units.data(),
                                             static_cast<DWORD>(units.size() * sizeof(wchar_t) + 1));
                     },
                     false},
        RegistryCase{"expand_sz", [](auto& dir, auto&) { write_install_location(dir + L'\0', REG_EXPAND_SZ); }, false},
        RegistryCase{"relative_to_current_directory",
                     [](auto& dir, auto& root) { write_install_location(dir.substr(root.size() + 1) + L'\0'); }, false},
        RegistryCase{"empty", [](auto&, auto&) { write_install_location(L"\0"s); }, false},
        RegistryCase{"no_value", [](auto&, auto&) {}, false}),
    [](const auto& made) { return std::string(made.param.name); });

// A lone surrogate can only be told apart from a missing file if a directory with that name
// exists, which the Unix file names under Wine cannot hold.
TEST_F(InstalledAppTest, ValueWithUnpairedSurrogateIsIgnored) {
    const std::wstring installed = root().native() + L"\\Installed\xD800";
    if (!::CreateDirectoryW(installed.c_str(), nullptr)) {
        GTEST_SKIP() << "this file system cannot name a directory with an unpaired surrogate, so a wrongly "
                        "accepted value would be dropped as a missing file anyway";
    }
    place_app(std::filesystem::path(installed));
    write_install_location(installed + L'\0');
    EXPECT_EQ(installed_app_candidates(), std::vector<std::wstring>{});
}

// --- The fallback folders under LOCALAPPDATA -----------------------------------------------------

struct FallbackCase {
    const char* name;
    std::vector<const wchar_t*> copies;         // folders under LOCALAPPDATA that get a copy
    std::vector<const wchar_t*> expected;       // the candidates' folders under LOCALAPPDATA, in order
    const wchar_t* exe_named_folder = nullptr;  // a folder holding a directory named brimora.exe

    friend void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }
};

std::wstring exe_in(const std::filesystem::path& dir) { return (dir / L"brimora.exe").native(); }

class Fallbacks : public InstalledAppTest, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(Fallbacks, AreListedInOrder) {
    if (GetParam().exe_named_folder != nullptr) {
        std::filesystem::create_directories(local() / GetParam().exe_named_folder / L"brimora.exe");
    }
    std::vector<std::wstring> expected;
    for (const wchar_t* dir : GetParam().copies) {
        place_app(local() / dir);
    }
    for (const wchar_t* dir : GetParam().expected) {
        expected.push_back(exe_in(local() / dir));
    }
    expect_candidates(expected, GetParam().name);
}

// The file system ignores case, the comparison does not: both spellings name the one copy.
INSTANTIATE_TEST_SUITE_P(
    Local, Fallbacks,
    ::testing::Values(FallbackCase{"nothing_installed", {}, {}},
                      FallbackCase{"programs_brimora", {PROGRAMS}, {PROGRAMS, PROGRAMS_LOWER}},
                      FallbackCase{"local_brimora", {L"Brimora"}, {L"Brimora"}},
                      FallbackCase{"programs_first", {L"Brimora", PROGRAMS}, {PROGRAMS, PROGRAMS_LOWER, L"Brimora"}},
                      FallbackCase{"directory_named_like_the_exe", {L"Brimora"}, {L"Brimora"}, PROGRAMS}),
    [](const auto& made) { return std::string(made.param.name); });

TEST_F(InstalledAppTest, LocalAppDataWithTrailingSeparatorIsJoinedWithoutDoubling) {
    place_app(local() / L"Brimora");
    const std::wstring with_separator = local().native() + L"\\";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", with_separator.c_str()));
    EXPECT_EQ(installed_app_candidates(), std::vector<std::wstring>{with_separator + L"Brimora\\brimora.exe"});
}

TEST_F(InstalledAppTest, RelativeLocalAppDataIsUsedUnchanged) {
    place_app(local() / L"Brimora");
    const std::wstring relative = local().filename().native();
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", relative.c_str()));
    EXPECT_EQ(installed_app_candidates(), std::vector<std::wstring>{relative + L"\\Brimora\\brimora.exe"});
}

TEST_F(InstalledAppTest, WithoutLocalAppDataOnlyTheRegistryCounts) {
    const std::filesystem::path installed = root() / L"Installed";
    place_app(installed);
    place_app(local() / L"Brimora");
    write_install_location(installed.native() + L'\0');
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr));
    EXPECT_EQ(installed_app_candidates(), std::vector<std::wstring>{exe_in(installed)});
}

// --- Registry candidate next to the fallbacks ----------------------------------------------------

struct NeighbourCase {
    const char* name;
    const wchar_t* value;                   // appended to the LOCALAPPDATA directory
    const wchar_t* value_exe;               // the registry candidate: appended to the value
    bool local_brimora;                     // whether LOCALAPPDATA\Brimora also holds a copy
    std::vector<const wchar_t*> fallbacks;  // the fallback folders listed after it

    friend void PrintTo(const NeighbourCase& c, std::ostream* os) { *os << c.name; }
};

class RegistryNeighbours : public InstalledAppTest, public ::testing::WithParamInterface<NeighbourCase> {};

TEST_P(RegistryNeighbours, AreMergedOnlyWhenEqualAndAdjacent) {
    const NeighbourCase& c = GetParam();
    place_app(local() / PROGRAMS);
    if (c.local_brimora) {
        place_app(local() / L"Brimora");
    }
    const std::wstring value = local().native() + c.value;
    write_install_location(value + L'\0');
    std::vector<std::wstring> expected = {value + c.value_exe};
    for (const wchar_t* dir : c.fallbacks) {
        expected.push_back(exe_in(local() / dir));
    }
    expect_candidates(expected, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, RegistryNeighbours,
    ::testing::Values(
        NeighbourCase{"same_folder", L"\\Programs\\Brimora", L"\\brimora.exe", false, {PROGRAMS_LOWER}},
        NeighbourCase{
            "same_folder_trailing_separator", L"\\Programs\\Brimora\\", L"brimora.exe", false, {PROGRAMS_LOWER}},
        NeighbourCase{
            "same_folder_doubled_separators", L"\\\\Programs\\\\Brimora", L"\\brimora.exe", false, {PROGRAMS_LOWER}},
        NeighbourCase{
            "same_folder_other_case", L"\\programs\\BRIMORA", L"\\brimora.exe", false, {PROGRAMS, PROGRAMS_LOWER}},
        NeighbourCase{
            "equal_but_not_adjacent", L"\\Brimora", L"\\brimora.exe", true, {PROGRAMS, PROGRAMS_LOWER, L"Brimora"}}),
    [](const auto& made) { return std::string(made.param.name); });

}  // namespace
}  // namespace brimora::win::test
