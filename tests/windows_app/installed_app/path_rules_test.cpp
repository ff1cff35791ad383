#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "installed_app.hpp"

namespace brimora::win {
namespace {

using namespace std::string_literals;

// --- Which size-query answers are read ---------------------------------------------------------

struct ReadableCase {
    DWORD type;
    DWORD size;
    bool readable;
    const char* fault;

    friend void PrintTo(const ReadableCase& c, std::ostream* os) { *os << c.fault; }
};

class InstallLocationReadable : public ::testing::TestWithParam<ReadableCase> {};

TEST_P(InstallLocationReadable, FollowsTypeAndSizeRule) {
    const ReadableCase& c = GetParam();
    EXPECT_EQ(install_location_readable(c.type, c.size), c.readable) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, InstallLocationReadable,
    ::testing::Values(ReadableCase{REG_SZ, 2, true, "a lone terminator is refused before decoding"},
                      ReadableCase{REG_SZ, 32768, true, "the upper bound is exclusive"},
                      ReadableCase{REG_SZ, 32770, false, "the upper bound is missing or off by one unit"},
                      ReadableCase{REG_SZ, 0xFFFFFFFE, false, "a huge size is allocated"},
                      ReadableCase{REG_SZ, 0, false, "an empty value is read"},
                      ReadableCase{REG_SZ, 33, false, "an odd size is rounded instead of refused"},
                      ReadableCase{REG_EXPAND_SZ, 64, false, "REG_EXPAND_SZ is accepted"},
                      ReadableCase{REG_BINARY, 64, false, "raw bytes are taken for text"},
                      ReadableCase{REG_DWORD, 4, false, "a number is taken for text"}));

// --- Decoding the data ---------------------------------------------------------------------------

struct DecodeCase {
    std::wstring units;
    std::optional<std::wstring> text;
    const char* fault;

    friend void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.fault; }
};

class DecodeInstallLocation : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeInstallLocation, YieldsTheStoredText) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(decode_install_location(c.units), c.text) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DecodeInstallLocation,
    ::testing::Values(
        DecodeCase{L"C:\\Apps\\Brimora\0"s, L"C:\\Apps\\Brimora", "the terminator is kept"},
        DecodeCase{L"C:\\Apps\\Brimora\0\0\0\0"s, L"C:\\Apps\\Brimora", "only one trailing zero is dropped"},
        DecodeCase{L"C:\\Apps\\Brimora"s, L"C:\\Apps\\Brimora", "a value without terminator loses a unit"},
        DecodeCase{L"\0"s, L"", "a lone terminator is not the empty text"},
        DecodeCase{L" C:\\Apps\\Brimora \0"s, L" C:\\Apps\\Brimora ", "blanks are trimmed"},
        DecodeCase{L"\"C:\\Apps\\Brimora\"\0"s, L"\"C:\\Apps\\Brimora\"", "quotes are removed"},
        DecodeCase{L"%LOCALAPPDATA%\\Brimora\0"s, L"%LOCALAPPDATA%\\Brimora", "variables are expanded"},
        DecodeCase{L"C:\\\xD83D\xDE00\0"s, L"C:\\\xD83D\xDE00", "a surrogate pair is refused"},
        DecodeCase{L"C:\\\xD800\0"s, std::nullopt, "a lone high surrogate is accepted"},
        DecodeCase{L"C:\\\xDC00x\0"s, std::nullopt, "a lone low surrogate is accepted"},
        DecodeCase{L"C:\\x\xD800"s, std::nullopt, "a high surrogate cut off at the end is accepted"},
        DecodeCase{L"C:\\Windows\0\\Brimora\0"s, std::nullopt,
                   "an inner zero is kept, so Win32 would read a shorter, different path"}));

// --- Absolute Windows paths ---------------------------------------------------------------------

struct AbsoluteCase {
    const wchar_t* text;
    bool absolute;
    const char* fault;

    friend void PrintTo(const AbsoluteCase& c, std::ostream* os) { *os << c.fault; }
};

class AbsoluteWindowsPath : public ::testing::TestWithParam<AbsoluteCase> {};

TEST_P(AbsoluteWindowsPath, IsRecognised) {
    const AbsoluteCase& c = GetParam();
    EXPECT_EQ(is_absolute_windows_path(c.text), c.absolute) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AbsoluteWindowsPath,
    ::testing::Values(AbsoluteCase{L"C:\\Apps", true, "a drive path is refused"},
                      AbsoluteCase{L"D:/Apps", true, "a forward slash after the drive is refused"},
                      AbsoluteCase{L"\\\\server\\share\\Brimora", true, "a UNC path is refused"},
                      AbsoluteCase{L"\\\\?\\C:\\Apps", true, "a verbatim path is refused"},
                      AbsoluteCase{L"C:", false, "a bare drive (its current directory) is accepted"},
                      AbsoluteCase{L"C:Apps", false, "a drive-relative path is accepted"},
                      AbsoluteCase{L"\\Apps", false, "a path relative to the current drive is accepted"},
                      AbsoluteCase{L"Apps\\Brimora", false, "a relative path is accepted"},
                      AbsoluteCase{L"", false, "the empty text is accepted"},
                      AbsoluteCase{L" C:\\Apps", false, "a leading blank is trimmed first"},
                      AbsoluteCase{L"\"C:\\Apps\"", false, "surrounding quotes are removed first"},
                      AbsoluteCase{L"\u00C4:\\Apps", false, "a non-ASCII letter is taken for a drive letter"}));

// --- Joining ------------------------------------------------------------------------------------

struct JoinCase {
    const wchar_t* directory;
    const wchar_t* joined;
    const char* fault;

    friend void PrintTo(const JoinCase& c, std::ostream* os) { *os << c.fault; }
};

class JoinWindowsPath : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinWindowsPath, InsertsOneSeparatorWhenNeeded) {
    const JoinCase& c = GetParam();
    EXPECT_EQ(join_windows_path(c.directory, APP_EXE_NAME), c.joined) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, JoinWindowsPath,
    ::testing::Values(JoinCase{L"C:\\Apps", L"C:\\Apps\\brimora.exe", "no separator is inserted"},
                      JoinCase{L"C:\\Apps\\", L"C:\\Apps\\brimora.exe", "a separator is doubled"},
                      JoinCase{L"C:\\Apps/", L"C:\\Apps/brimora.exe", "a trailing slash is not seen as a separator"},
                      JoinCase{L"C:\\", L"C:\\brimora.exe", "a drive root gets a second separator"},
                      JoinCase{L"C:/Apps", L"C:/Apps\\brimora.exe", "forward slashes are rewritten"},
                      JoinCase{L"", L"\\brimora.exe", "an empty directory is treated specially"}));

// --- Same path by components --------------------------------------------------------------------

struct SameCase {
    const wchar_t* a;
    const wchar_t* b;
    bool same;
    const char* fault;

    friend void PrintTo(const SameCase& c, std::ostream* os) { *os << c.fault; }
};

class SamePathComponents : public ::testing::TestWithParam<SameCase> {};

TEST_P(SamePathComponents, ComparesComponents) {
    const SameCase& c = GetParam();
    EXPECT_EQ(same_path_components(c.a, c.b), c.same) << c.fault;
    EXPECT_EQ(same_path_components(c.b, c.a), c.same) << "not symmetric: " << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SamePathComponents,
    ::testing::Values(
        SameCase{L"C:\\A\\\\brimora.exe", L"C:\\A\\brimora.exe", true, "a doubled separator matters"},
        SameCase{L"C:\\A\\B\\", L"C:\\A\\B", true, "a trailing separator matters"},
        SameCase{L"C:/A/brimora.exe", L"C:\\A\\brimora.exe", true, "forward slashes are not separators"},
        SameCase{L"C:\\A\\brimora.exe", L"C:\\a\\brimora.exe", false, "directory case is ignored"},
        SameCase{L"C:\\A\\brimora.exe", L"C:\\A\\Brimora.exe", false, "file name case is ignored"},
        SameCase{L"C:\\A\\brimora.exe", L"c:\\A\\brimora.exe", false, "drive letter case is ignored"},
        SameCase{L"C:\\A\\brimora.exe", L"C:\\A\\B\\brimora.exe", false, "a missing component is ignored"},
        SameCase{L"C:\\AB\\brimora.exe", L"C:\\A\\B\\brimora.exe", false, "separators are simply deleted"},
        SameCase{L"\\\\srv\\share\\x.exe", L"\\srv\\share\\x.exe", false, "UNC and rooted paths are equal"},
        SameCase{L"\\srv\\share\\x.exe", L"srv\\share\\x.exe", false, "rooted and relative paths are equal"},
        SameCase{L"C:\\A\\x.exe", L"C:A\\x.exe", false, "a drive-relative path equals an absolute one"}));

// --- Neighbour de-duplication -------------------------------------------------------------------

struct DedupCase {
    const char* name;
    std::vector<std::wstring> in;
    std::vector<std::wstring> out;

    friend void PrintTo(const DedupCase& c, std::ostream* os) { *os << c.name; }
};

class WithoutNeighbourDuplicates : public ::testing::TestWithParam<DedupCase> {};

TEST_P(WithoutNeighbourDuplicates, DropsOnlyRepeatedNeighbours) {
    const DedupCase& c = GetParam();
    EXPECT_EQ(without_neighbour_duplicates(c.in), c.out) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WithoutNeighbourDuplicates,
    ::testing::Values(
        DedupCase{"empty", {}, {}},
        DedupCase{"distinct", {L"C:\\A\\b.exe", L"C:\\B\\b.exe"}, {L"C:\\A\\b.exe", L"C:\\B\\b.exe"}},
        DedupCase{"equal neighbours keep the first spelling",
                  {L"C:\\A\\\\b.exe", L"C:\\A\\b.exe"},
                  {L"C:\\A\\\\b.exe"}},
        DedupCase{"a run of three", {L"C:\\A\\b.exe", L"C:\\A\\b.exe", L"C:/A/b.exe"}, {L"C:\\A\\b.exe"}},
        DedupCase{"copies apart are both kept",
                  {L"C:\\A\\b.exe", L"C:\\B\\b.exe", L"C:\\A\\b.exe"},
                  {L"C:\\A\\b.exe", L"C:\\B\\b.exe", L"C:\\A\\b.exe"}},
        DedupCase{"case variants are both kept",
                  {L"C:\\P\\Brimora\\b.exe", L"C:\\P\\brimora\\b.exe"},
                  {L"C:\\P\\Brimora\\b.exe", L"C:\\P\\brimora\\b.exe"}}),
    [](const auto& made) {
        std::string name = made.param.name;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

// --- The command line of the started application ------------------------------------------------

struct CommandLineCase {
    const wchar_t* program;
    std::optional<std::wstring> line;
    const char* fault;

    friend void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.fault; }
};

class BareCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(BareCommandLine, QuotesTheProgramAlone) {
    const CommandLineCase& c = GetParam();
    EXPECT_EQ(bare_command_line(c.program), c.line) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BareCommandLine,
    ::testing::Values(
        CommandLineCase{L"C:\\Apps\\brimora.exe", L"\"C:\\Apps\\brimora.exe\"", "argv[0] is not the quoted path"},
        CommandLineCase{L"C:\\Program Files\\Brimora App\\brimora.exe",
                        L"\"C:\\Program Files\\Brimora App\\brimora.exe\"", "a blank splits the path into arguments"},
        CommandLineCase{L"C:\\Apps\\a\"b\\brimora.exe", std::nullopt, "a quote ends argv[0] early"},
        CommandLineCase{L"", std::nullopt, "an empty program is started"}));

}  // namespace
}  // namespace brimora::win
