// Linux probes that can tell what verify_file did to a file, not only what it answered.

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "brimora/payload.hpp"
#include "brimora/sha512.hpp"
#include "file_io.hpp"
#include "patterned.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using brimora::testing::TempDir;
using test::digest_of;
using test::PayloadFile;

// Drains the inotify queue and returns the union of the event masks seen.
std::uint32_t drain_events(int inotify_fd) {
    std::uint32_t seen = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_fd, buffer, sizeof buffer);
        if (n <= 0) {
            return seen;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            seen |= event->mask;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// inotify reports every open and read of the file (stat raises nothing), and root privileges
// do not hide them, unlike a permission-based probe. The matching-size call is the control that
// shows the probe sees an open and a read when there is one.
TEST(VerifyFileProbes, SizeMismatchNeitherOpensNorReads) {
    const PayloadFile payload(5000);
    const detail::Descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(watch.get(), 0) << "inotify_init1 failed, errno " << errno;
    ASSERT_GE(::inotify_add_watch(watch.get(), payload.path.c_str(), IN_OPEN | IN_ACCESS), 0);

    for (const std::uint64_t wrong : {std::uint64_t{4999}, std::uint64_t{5001}}) {
        auto result = verify_file(payload.path, wrong, payload.digest);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::SizeMismatch);
        EXPECT_EQ(drain_events(watch.get()) & (IN_OPEN | IN_ACCESS), 0u) << "expected size " << wrong;
    }

    ASSERT_TRUE(verify_file(payload.path, 5000, payload.digest).has_value());
    EXPECT_EQ(drain_events(watch.get()) & (IN_OPEN | IN_ACCESS), std::uint32_t{IN_OPEN | IN_ACCESS});
}

// Files under /proc report length 0 yet have content. Only the metadata length is held against
// the expected size, so this is a digest verdict; counting the bytes read would make it a size one.
TEST(VerifyFileProbes, BytesReadAreNotCountedAgainstSize) {
    std::error_code ec;
    ASSERT_EQ(std::filesystem::file_size("/proc/self/status", ec), 0u) << ec.message();
    auto result = verify_file("/proc/self/status", 0, digest_of({}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::HashMismatch);
}

// /proc/self/mem opens, reports length 0, and fails the first read with EIO (address 0 is never
// mapped): the read failure must surface as Read with that error, not as a digest of nothing.
TEST(VerifyFileProbes, FailedReadIsReadError) {
    std::error_code ec;
    ASSERT_EQ(std::filesystem::file_size("/proc/self/mem", ec), 0u) << ec.message();
    auto result = verify_file("/proc/self/mem", 0, digest_of({}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::Read);
    EXPECT_EQ(result.error().io_error, std::errc::io_error);
    EXPECT_EQ(result.error().message(), "payload could not be read: " + result.error().io_error.message());
}

// A FIFO reports length 0; opening it would block until a writer appears. Expecting 1 byte
// tells the answers apart: a raw length check says SizeMismatch, the regular-file check says Read.
TEST(VerifyFileProbes, FifoIsReadErrorWithoutOpening) {
    TempDir dir;
    const auto path = dir.path() / "pipe";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << "mkfifo failed, errno " << errno;
    auto result = verify_file(path, 1, digest_of({}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::Read);
}

// The descriptor is closed on every way out, the failed read included.
TEST(VerifyFileProbes, NoDescriptorLeftOpen) {
    const PayloadFile payload(131073);
    auto wrong = payload.digest;
    wrong[10] ^= 1;
    const test::VerifyCase cases[] = {
        {"success", payload.path, 131073, payload.digest, std::nullopt},
        {"digest mismatch", payload.path, 131073, wrong, PayloadVerificationErrorKind::HashMismatch},
        {"read failure", "/proc/self/mem", 0, digest_of({}), PayloadVerificationErrorKind::Read},
    };
    for (const test::VerifyCase& c : cases) {
        const std::size_t before = open_descriptor_count();
        auto result = verify_file(c.path, c.size, c.digest);
        ASSERT_EQ(result ? std::nullopt : std::optional(result.error().kind), c.outcome) << c.what;
        EXPECT_EQ(open_descriptor_count(), before) << c.what;
    }
}

}  // namespace
}  // namespace brimora
