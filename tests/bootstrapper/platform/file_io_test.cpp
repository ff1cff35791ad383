#include <gtest/gtest.h>

#include <string>

#include "file_io.hpp"
#include "support/temp_dir.hpp"

namespace {

using brimora::detail::read_whole_file;
using brimora::detail::ReadableFile;
using brimora::detail::write_then_replace;
using brimora::testing::TempDir;
using brimora::testing::write_file;

TEST(ReadWholeFile, ReturnsExactBytesOfAnySize) {
    TempDir dir;
    // Empty, one byte, exactly one internal chunk, and a chunk plus one with binary content.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8192}, std::size_t{8193}}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 131) & 0xFF);
        }
        const auto path = dir / ("f" + std::to_string(size));
        write_file(path, content);
        auto read = read_whole_file(path, 8193);
        ASSERT_TRUE(read) << read.error().message();
        EXPECT_EQ(*read, content) << "size " << size;
    }
}

TEST(ReadWholeFile, MissingFileAndDirectoryAreErrors) {
    TempDir dir;
    auto missing = read_whole_file(dir / "absent", 100);
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error());
    auto directory = read_whole_file(dir.path(), 100);
    EXPECT_FALSE(directory);
}

TEST(ReadWholeFile, LimitIsInclusive) {
    TempDir dir;
    struct Case {
        std::size_t size;
        std::size_t limit;
        bool accepted;
    };
    // Exactly at the limit passes; one byte over fails, also when the excess arrives in a later chunk.
    for (const Case c : {Case{0, 0, true}, Case{1, 0, false}, Case{100, 100, true}, Case{101, 100, false},
                         Case{8192, 8192, true}, Case{8193, 8192, false}, Case{20000, 16384, false}}) {
        const auto path = dir / ("limit" + std::to_string(c.size));
        ASSERT_TRUE(write_file(path, std::string(c.size, 'x')));
        auto read = read_whole_file(path, c.limit);
        EXPECT_EQ(read.has_value(), c.accepted) << c.size << " of " << c.limit;
        if (!c.accepted && !read) {
            EXPECT_EQ(read.error(), std::make_error_code(std::errc::file_too_large));
        }
    }
}

TEST(WriteThenReplace, ReplacesTargetAndConsumesTemporary) {
    TempDir dir;
    const auto target = dir / "state.json";
    const auto temp = dir / ".state.json.x.tmp";
    write_file(target, "old content that is longer than the new one");
    ASSERT_TRUE(write_then_replace(temp, target, "new"));
    EXPECT_EQ(read_whole_file(target, 100).value_or("?"), "new");
    EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(WriteThenReplace, StaleTemporaryIsOverwritten) {
    TempDir dir;
    const auto target = dir / "t";
    const auto temp = dir / "t.tmp";
    write_file(temp, "leftover from a crashed run, much longer than the payload");
    ASSERT_TRUE(write_then_replace(temp, target, "abc"));
    EXPECT_EQ(read_whole_file(target, 100).value_or("?"), "abc");
}

TEST(WriteThenReplace, TargetThatIsADirectoryFailsAndSurvives) {
    TempDir dir;
    const auto target = dir / "occupied";
    std::filesystem::create_directory(target);
    write_file(target / "inside", "keep");
    auto result = write_then_replace(dir / "occupied.tmp", target, "x");
    EXPECT_FALSE(result);
    EXPECT_TRUE(std::filesystem::is_directory(target));
    EXPECT_EQ(read_whole_file(target / "inside", 100).value_or("?"), "keep");
}

TEST(WriteThenReplace, MissingDirectoryFails) {
    TempDir dir;
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
