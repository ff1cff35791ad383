#include "brimora/payload.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "brimora/sha512.hpp"
#include "patterned.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using brimora::testing::TempDir;
using brimora::testing::write_file;
using test::digest_of;
using test::patterned;
using test::PayloadFile;

constexpr std::string_view READ_PREFIX = "payload could not be read: ";

// Sizes around the 131072-byte read buffer: a loop that feeds the whole buffer instead of the
// bytes read, drops the short last chunk, or stops after the first full one, fails a row.
TEST(VerifyFile, StreamedDigestMatchesOneShot) {
    for (const std::size_t size : {0u, 1u, 131071u, 131072u, 131073u, 262144u, 262145u}) {
        const PayloadFile payload(size);
        auto result = verify_file(payload.path, size, payload.digest);
        EXPECT_TRUE(result.has_value()) << size << " bytes: " << result.error().message();
    }
}

// The size verdict comes from metadata and wins over the digest, even a correct one.
TEST(VerifyFile, SizeOtherThanMetadataIsSizeMismatch) {
    const PayloadFile payload(1000);
    for (const std::uint64_t expected :
         {std::uint64_t{999}, std::uint64_t{1001}, std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()}) {
        auto result = verify_file(payload.path, expected, payload.digest);
        ASSERT_FALSE(result.has_value()) << expected;
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::SizeMismatch) << expected;
        EXPECT_EQ(result.error().message(), "payload size does not match the manifest");
    }
}

// One changed byte of content at each end and on either side of the chunk boundary: a reader
// that skips a chunk or the tail would still report success for some row.
TEST(VerifyFile, ChangedContentIsHashMismatch) {
    const PayloadFile payload(131073);
    for (const std::size_t at : {0u, 131071u, 131072u}) {
        auto changed = payload.bytes;
        changed[at] ^= 0x01;
        ASSERT_TRUE(write_file(payload.path, changed));
        auto result = verify_file(payload.path, changed.size(), payload.digest);
        ASSERT_FALSE(result.has_value()) << "byte " << at;
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::HashMismatch) << "byte " << at;
        EXPECT_EQ(result.error().message(), "payload SHA-512 does not match the manifest");
    }
}

// Every one of the 64 digest bytes takes part in the comparison, not a prefix of them.
TEST(VerifyFile, EachExpectedDigestByteCounts) {
    const PayloadFile payload(4096);
    for (const std::size_t at : {0u, 31u, 32u, 63u}) {
        auto expected = payload.digest;
        expected[at] ^= 0x80;
        auto result = verify_file(payload.path, payload.bytes.size(), expected);
        ASSERT_FALSE(result.has_value()) << "digest byte " << at;
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::HashMismatch) << "digest byte " << at;
    }
}

// What cannot be measured as a regular file is a read error carrying the system's reason,
// never a size verdict and never a success.
TEST(VerifyFile, UnreadableMetadataIsReadError) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "a directory");
    struct Case {
        const char* what;
        std::filesystem::path path;
    };
    const Case cases[] = {
        {"missing file", dir.path() / "absent.exe"},
        {"missing parent", dir.path() / "absent" / "payload.exe"},
        {"directory", dir.path() / "a directory"},
    };
    for (const Case& c : cases) {
        auto result = verify_file(c.path, 0, digest_of({}));
        ASSERT_FALSE(result.has_value()) << c.what;
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::Read) << c.what;
        EXPECT_TRUE(result.error().io_error) << c.what;
        EXPECT_EQ(result.error().message(), std::string(READ_PREFIX) + result.error().io_error.message()) << c.what;
    }
    auto missing = verify_file(dir.path() / "absent.exe", 0, digest_of({}));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().io_error, std::errc::no_such_file_or_directory);
}

// A non-ASCII directory and file name survive the trip to the platform's file API (UTF-16 on
// Windows): a narrow-string conversion would not find the file.
TEST(VerifyFile, JapanesePath) {
    TempDir dir;
    const auto path = dir.path() / std::filesystem::path(u8"検証") / std::filesystem::path(u8"データ.exe");
    const auto bytes = patterned(131073);
    ASSERT_TRUE(write_file(path, bytes));
    auto result = verify_file(path, bytes.size(), digest_of(bytes));
    EXPECT_TRUE(result.has_value()) << result.error().message();
}

}  // namespace
}  // namespace brimora
