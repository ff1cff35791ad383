#include <gtest/gtest.h>

#include <tuple>

#include "paths.hpp"

namespace brimora::win {
namespace {

TEST(Paths, AbsoluteWindowsPathsAreRecognised) {
    const std::tuple<const wchar_t*, bool, const char*> cases[] = {
        {L"C:\\Apps", true, "a drive path is refused"},
        {L"D:/Apps", true, "a forward slash after the drive is refused"},
        {L"\\\\server\\share\\Brimora", true, "a UNC path is refused"},
        {L"\\\\?\\C:\\Apps", true, "a verbatim path is refused"},
        {L"C:", false, "a bare drive (its current directory) is accepted"},
        {L"C:Apps", false, "a drive-relative path is accepted"},
        {L"\\Apps", false, "a path relative to the current drive is accepted"},
        {L"Apps\\Brimora", false, "a relative path is accepted"},
        {L"", false, "the empty text is accepted"},
        {L" C:\\Apps", false, "a leading blank is trimmed first"},
        {L"\"C:\\Apps\"", false, "surrounding quotes are removed first"},
        {L"\u00C4:\\Apps", false, "a non-ASCII letter is taken for a drive letter"},
    };
    for (const auto& [text, absolute, fault] : cases) {
        EXPECT_EQ(is_absolute_windows_path(text), absolute) << fault;
    }
}

TEST(Paths, JoiningInsertsOneSeparatorWhenNeeded) {
    // Each directory, then what it makes joined with "brimora.exe".
    const std::tuple<const wchar_t*, const wchar_t*, const char*> cases[] = {
        {L"C:\\Apps", L"C:\\Apps\\brimora.exe", "no separator is inserted"},
        {L"C:\\Apps\\", L"C:\\Apps\\brimora.exe", "a separator is doubled"},
        {L"C:\\Apps/", L"C:\\Apps/brimora.exe", "a trailing slash is not seen as a separator"},
        {L"C:\\", L"C:\\brimora.exe", "a drive root gets a second separator"},
        {L"C:/Apps", L"C:/Apps\\brimora.exe", "forward slashes are rewritten"},
        {L"", L"\\brimora.exe", "an empty directory is treated specially"},
    };
    for (const auto& [directory, joined, fault] : cases) {
        EXPECT_EQ(join_windows_path(directory, L"brimora.exe"), joined) << fault;
    }
}

// Doubled and trailing separators make no difference; letter case and the kind of root do.
TEST(Paths, SamePathComparesComponents) {
    const std::tuple<const wchar_t*, const wchar_t*, bool, const char*> cases[] = {
        {L"C:\\A\\\\brimora.exe", L"C:\\A\\brimora.exe", true, "a doubled separator matters"},
        {L"C:\\A\\B\\", L"C:\\A\\B", true, "a trailing separator matters"},
        {L"C:/A/brimora.exe", L"C:\\A\\brimora.exe", true, "forward slashes are not separators"},
        {L"C:\\A\\brimora.exe", L"C:\\a\\brimora.exe", false, "directory case is ignored"},
        {L"C:\\A\\brimora.exe", L"C:\\A\\Brimora.exe", false, "file name case is ignored"},
        {L"C:\\A\\brimora.exe", L"c:\\A\\brimora.exe", false, "drive letter case is ignored"},
        {L"C:\\A\\brimora.exe", L"C:\\A\\B\\brimora.exe", false, "a missing component is ignored"},
        {L"C:\\AB\\brimora.exe", L"C:\\A\\B\\brimora.exe", false, "separators are simply deleted"},
        {L"\\\\srv\\share\\x.exe", L"\\srv\\share\\x.exe", false, "UNC and rooted paths are equal"},
        {L"\\srv\\share\\x.exe", L"srv\\share\\x.exe", false, "rooted and relative paths are equal"},
        {L"C:\\A\\x.exe", L"C:A\\x.exe", false, "a drive-relative path equals an absolute one"},
    };
    for (const auto& [a, b, same, fault] : cases) {
        EXPECT_EQ(same_path_components(a, b), same) << fault;
        EXPECT_EQ(same_path_components(b, a), same) << "not symmetric: " << fault;
    }
}

}  // namespace
}  // namespace brimora::win
