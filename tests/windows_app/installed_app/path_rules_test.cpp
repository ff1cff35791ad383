#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "installed_app.hpp"

namespace brimora::win {
namespace {

using namespace std::string_literals;

TEST(InstallLocation, ReadableFollowsTypeAndSizeRule) {
    const std::tuple<DWORD, DWORD, bool, const char*> cases[] = {
        {REG_SZ, 2, true, "a lone terminator is refused before decoding"},
        {REG_SZ, 32768, true, "the upper bound is exclusive"},
        {REG_SZ, 32770, false, "the upper bound is missing or off by one unit"},
        {REG_SZ, 0xFFFFFFFE, false, "a huge size is allocated"},
        {REG_SZ, 0, false, "an empty value is read"},
        {REG_SZ, 33, false, "an odd size is rounded instead of refused"},
        {REG_EXPAND_SZ, 64, false, "REG_EXPAND_SZ is accepted"},
        {REG_BINARY, 64, false, "raw bytes are taken for text"},
        {REG_DWORD, 4, false, "a number is taken for text"},
    };
    for (const auto& [type, size, readable, fault] : cases) {
        EXPECT_EQ(install_location_readable(type, size), readable) << fault;
    }
}

TEST(InstallLocation, DecodingYieldsTheStoredText) {
    const std::tuple<std::wstring, std::optional<std::wstring>, const char*> cases[] = {
        {L"C:\\Apps\\Brimora\0"s, L"C:\\Apps\\Brimora", "the terminator is kept"},
        {L"C:\\Apps\\Brimora\0\0\0\0"s, L"C:\\Apps\\Brimora", "only one trailing zero is dropped"},
        {L"C:\\Apps\\Brimora"s, L"C:\\Apps\\Brimora", "a value without terminator loses a unit"},
        {L"\0"s, L"", "a lone terminator is not the empty text"},
        {L" C:\\Apps\\Brimora \0"s, L" C:\\Apps\\Brimora ", "blanks are trimmed"},
        {L"\"C:\\Apps\\Brimora\"\0"s, L"\"C:\\Apps\\Brimora\"", "quotes are removed"},
        {L"%LOCALAPPDATA%\\Brimora\0"s, L"%LOCALAPPDATA%\\Brimora", "variables are expanded"},
        {L"C:\\\xD83D\xDE00\0"s, L"C:\\\xD83D\xDE00", "a surrogate pair is refused"},
        {L"C:\\\xD800\0"s, std::nullopt, "a lone high surrogate is accepted"},
        {L"C:\\\xDC00x\0"s, std::nullopt, "a lone low surrogate is accepted"},
        {L"C:\\x\xD800"s, std::nullopt, "a high surrogate cut off at the end is accepted"},
        {L"C:\\Windows\0\\Brimora\0"s, std::nullopt,
         "an inner zero is kept, so Win32 would read a shorter, different path"},
    };
    for (const auto& [units, text, fault] : cases) {
        EXPECT_EQ(decode_install_location(units), text) << fault;
    }
}

TEST(InstallLocation, NeighbourDuplicatesAreDroppedOnly) {
    const std::tuple<const char*, std::vector<std::wstring>, std::vector<std::wstring>> cases[] = {
        {"empty", {}, {}},
        {"distinct", {L"C:\\A\\b.exe", L"C:\\B\\b.exe"}, {L"C:\\A\\b.exe", L"C:\\B\\b.exe"}},
        {"equal neighbours keep the first spelling", {L"C:\\A\\\\b.exe", L"C:\\A\\b.exe"}, {L"C:\\A\\\\b.exe"}},
        {"a run of three", {L"C:\\A\\b.exe", L"C:\\A\\b.exe", L"C:/A/b.exe"}, {L"C:\\A\\b.exe"}},
        {"copies apart are both kept",
         {L"C:\\A\\b.exe", L"C:\\B\\b.exe", L"C:\\A\\b.exe"},
         {L"C:\\A\\b.exe", L"C:\\B\\b.exe", L"C:\\A\\b.exe"}},
        {"case variants are both kept",
         {L"C:\\P\\Brimora\\b.exe", L"C:\\P\\brimora\\b.exe"},
         {L"C:\\P\\Brimora\\b.exe", L"C:\\P\\brimora\\b.exe"}},
    };
    for (const auto& [name, in, out] : cases) {
        EXPECT_EQ(without_neighbour_duplicates(in), out) << name;
    }
}

}  // namespace
}  // namespace brimora::win
