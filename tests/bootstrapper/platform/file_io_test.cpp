#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "file_io.hpp"
#include "support/temp_dir.hpp"

namespace {

using brimora::make_directories;
using brimora::NativePath;
using brimora::detail::native_file_name;
using brimora::detail::native_parent;
using brimora::detail::read_whole_file;
using brimora::detail::ReadableFile;
using brimora::detail::write_then_replace;
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
        {"non-ASCII names pass through whole", L"C:\\\u30D6\u30EA\\\u00E9.json", L"C:\\\u30D6\u30EA", L"\u00E9.json"},
    };
    cases.insert(cases.end(), windows.begin(), windows.end());
#else
    cases.push_back({"a backslash is an ordinary byte outside Windows", "/a/b\\c", "/a", "b\\c"});
#endif
    return cases;
}

// Walking up from any path ends: the parent of the parent eventually stops changing.
TEST(NativePathSplit, MatchesTheTableOfPathsAndWalksUpToAFixedPoint) {
    for (const SplitCase& c : split_cases()) {
        EXPECT_EQ(native_parent(c.path), c.parent) << c.fault;
        EXPECT_EQ(NativePath(native_file_name(c.path)), c.file_name) << c.fault;
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
    EXPECT_FALSE(make_directories(NativePath())) << "an empty path";
}

// Exactly the bytes, binary content included, of a file up to the limit, which is inclusive: one
// byte over fails, also when the excess arrives in a later chunk (the internal one is 8192 bytes).
TEST(ReadWholeFile, ReturnsExactBytesUpToAnInclusiveLimit) {
    TempDir dir;
    struct Case {
        std::size_t size;
        std::size_t limit;
        bool accepted;
    };
    for (const Case c :
         {Case{0, 0, true}, Case{1, 0, false}, Case{1, 8193, true}, Case{100, 100, true}, Case{101, 100, false},
          Case{8192, 8192, true}, Case{8193, 8192, false}, Case{8193, 8193, true}, Case{20000, 16384, false}}) {
        std::string content(c.size, '\0');
        for (std::size_t i = 0; i < c.size; ++i) {
            content[i] = static_cast<char>((i * 131) & 0xFF);
        }
        const auto path = dir / ("f" + std::to_string(c.size));
        ASSERT_TRUE(write_file(path, content));
        const auto read = read_whole_file(path, c.limit);
        ASSERT_EQ(read.has_value(), c.accepted) << c.size << " of " << c.limit;
        if (read) {
            EXPECT_EQ(*read, content) << "size " << c.size;
        } else {
            EXPECT_EQ(read.error(), std::make_error_code(std::errc::file_too_large));
        }
    }
    for (const auto& unreadable : {dir / "absent", dir.path()}) {
        const auto read = read_whole_file(unreadable, 100);
        ASSERT_FALSE(read) << unreadable;
        EXPECT_TRUE(read.error()) << unreadable;
    }
}

// Whatever stood at either name before: an older, longer state, or a crashed run's leftover.
TEST(WriteThenReplace, ReplacesTargetAndConsumesTemporary) {
    for (const bool leftover : {false, true}) {
        TempDir dir;
        const auto target = dir / "state.json";
        const auto temp = dir / ".state.json.x.tmp";
        write_file(leftover ? temp : target, "content from before, much longer than the new one");
        ASSERT_TRUE(write_then_replace(temp, target, "new")) << leftover;
        EXPECT_EQ(read_whole_file(target, 100).value_or("?"), "new") << leftover;
        EXPECT_FALSE(std::filesystem::exists(temp)) << leftover;
    }
}

// A directory in the target's place, or no folder to write in: an error, and what stood there stays.
TEST(WriteThenReplace, FailsOnADirectoryInTheWayOrAMissingFolder) {
    TempDir dir;
    const auto target = dir / "occupied";
    std::filesystem::create_directory(target);
    write_file(target / "inside", "keep");
    EXPECT_FALSE(write_then_replace(dir / "occupied.tmp", target, "x"));
    EXPECT_TRUE(std::filesystem::is_directory(target));
    EXPECT_EQ(read_whole_file(target / "inside", 100).value_or("?"), "keep");
    EXPECT_FALSE(write_then_replace(dir / "no" / "t.tmp", dir / "no" / "t", "x"));
}

TEST(ReadableFile, ReadsInCallerSizedChunksUntilZero) {
    TempDir dir;
    const auto path = dir / "chunks";
    write_file(path, std::string(10, 'z'));
    auto file = ReadableFile::open(path);
    ASSERT_TRUE(file);
    std::uint8_t buffer[4];
    std::size_t total = 0;
    int reads = 0;
    for (;;) {
        auto n = file->read(buffer);
        ASSERT_TRUE(n);
        if (*n == 0) {
            break;
        }
        total += *n;
        ++reads;
        ASSERT_LT(reads, 100);
    }
    EXPECT_EQ(total, 10u);
    // Moving keeps exactly one owner: the moved-to object reads on, the source is inert.
    ReadableFile moved = std::move(*file);
    auto after = moved.read(buffer);
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, 0u);
}

}  // namespace
