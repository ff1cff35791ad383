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
    ::testing::Values(DedupCase{"empty", {}, {}},
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

}  // namespace
}  // namespace brimora::win
