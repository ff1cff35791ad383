#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "file_io.hpp"
#include "support/temp_dir.hpp"

namespace {

using brimora::detail::make_directories;
using brimora::detail::native_file_name;
using brimora::detail::native_parent;
using brimora::detail::NativePath;
using brimora::testing::TempDir;
using brimora::testing::write_file;

#ifdef _WIN32
#define NATIVE(text) L##text
#else
#define NATIVE(text) text
#endif

struct SplitCase {
    const char* fault;  // what an implementation that fails the row gets wrong
    NativePath path;
    NativePath parent;
    NativePath file_name;
};

std::vector<SplitCase> split_cases() {
    std::vector<SplitCase> cases = {
        {"a bare name has no parent", NATIVE("state.json"), NATIVE(""), NATIVE("state.json")},
        {"the last component only is split off", NATIVE("/a/b/c"), NATIVE("/a/b"), NATIVE("c")},
        {"a doubled separator is not left on the parent", NATIVE("/a//b"), NATIVE("/a"), NATIVE("b")},
        {"a trailing separator means an empty name", NATIVE("/a/b/"), NATIVE("/a/b"), NATIVE("")},
        {"the root is kept when the parent is the root", NATIVE("/a"), NATIVE("/"), NATIVE("a")},
        {"the root is its own parent, so a walk up ends", NATIVE("/"), NATIVE("/"), NATIVE("")},
        {"a relative path keeps its first component", NATIVE("a/b"), NATIVE("a"), NATIVE("b")},
    };
#ifdef _WIN32
    const std::vector<SplitCase> windows = {
        {"a backslash separates", L"C:\\Users\\me\\state.json", L"C:\\Users\\me", L"state.json"},
        {"both separators count in one path", L"C:\\Users/me\\x", L"C:\\Users/me", L"x"},
        {"a drive's root is kept with its separator", L"C:\\x", L"C:\\", L"x"},
        {"a drive's root is its own parent", L"C:\\", L"C:\\", L""},
        {"a drive-relative name is not part of the drive", L"C:x", L"C:", L"x"},
        {"a bare drive is its own parent", L"C:", L"C:", L""},
        {"non-ASCII names pass through whole", L"C:\\\u30D6\u30EA\\\u00E9.json", L"C:\\\u30D6\u30EA",
         L"\u00E9.json"},
    };
    cases.insert(cases.end(), windows.begin(), windows.end());
#else
    cases.push_back({"a backslash is an ordinary byte outside Windows", "/a/b\\c", "/a", "b\\c"});
#endif
    return cases;
}

TEST(NativePathSplit, MatchesTheTableOfPaths) {
    for (const SplitCase& c : split_cases()) {
        EXPECT_EQ(native_parent(c.path), c.parent) << c.fault;
        EXPECT_EQ(NativePath(native_file_name(c.path)), c.file_name) << c.fault;
    }
}

// Walking up from any path ends: the parent of the parent eventually stops changing.
TEST(NativePathSplit, RepeatedParentsReachAFixedPoint) {
    for (const SplitCase& c : split_cases()) {
        NativePath current = c.path;
        int steps = 0;
        for (NativePath up = native_parent(current); up != current && !up.empty() && steps < 64;
             up = native_parent(current)) {
            ASSERT_LT(up.size(), current.size()) << c.fault;
            current = up;
            ++steps;
        }
        EXPECT_LT(steps, 64) << c.fault;
    }
}

struct MakeDirectoriesCase {
    const char* fault;
    std::vector<std::string> files_before;  // relative to the scratch directory
    std::string target;                     // relative; '/' separated
    bool succeeds;
};

TEST(MakeDirectories, CreatesMissingAncestorsAndRefusesFilesInTheWay) {
    const std::vector<MakeDirectoriesCase> cases = {
        {"only the last level is made", {}, "one", true},
        {"missing ancestors are made too", {}, "one/two/three", true},
        {"an existing directory is fine", {"one/two/keep"}, "one/two", true},
        {"a trailing separator is not an empty last level", {}, "one/two/", true},
        {"a file as the target is not a directory", {"one/two"}, "one/two", false},
        {"a file as an ancestor blocks the rest", {"one"}, "one/two/three", false},
    };
    for (const MakeDirectoriesCase& c : cases) {
        TempDir dir;
        for (const std::string& file : c.files_before) {
            ASSERT_TRUE(write_file(dir / file, "x")) << c.fault;
        }
        const std::filesystem::path target = (dir / c.target).make_preferred();
        const auto made = make_directories(target.native());
        EXPECT_EQ(made.has_value(), c.succeeds) << c.fault;
        if (c.succeeds) {
            EXPECT_TRUE(std::filesystem::is_directory(target)) << c.fault;
        }
        for (const std::string& file : c.files_before) {
            EXPECT_TRUE(std::filesystem::is_regular_file(dir / file)) << c.fault << ": an existing file was disturbed";
        }
    }
}

TEST(MakeDirectories, RefusesAnEmptyPath) { EXPECT_FALSE(make_directories(NativePath())); }

}  // namespace
