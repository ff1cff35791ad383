// Windows probes built on share modes and byte-range locks, which CreateFileW and ReadFile
// enforce between handles, so they show what verify_file did to a file.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "brimora/payload.hpp"
#include "brimora/sha512.hpp"
#include "patterned.hpp"
#include "support/temp_dir.hpp"
#include "support/win32.hpp"

namespace brimora {
namespace {

using test::digest_of;
using test::PayloadFile;
using Handle = win::FileHandle;
using win::SHARE_ALL;

Handle open_with(const std::filesystem::path& path, DWORD access, DWORD share) {
    return Handle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// While another handle holds the file without sharing, any open fails but metadata still reads.
// A size mismatch must therefore come back as SizeMismatch; the matching-size call is the control
// that shows an open really would fail.
TEST(VerifyFileProbes, SizeMismatchNeverOpens) {
    const PayloadFile payload(5000);
    Handle exclusive = open_with(payload.path, GENERIC_READ, 0);
    ASSERT_TRUE(exclusive) << ::GetLastError();

    for (const std::uint64_t wrong : {std::uint64_t{4999}, std::uint64_t{5001}}) {
        auto result = verify_file(payload.path, wrong, payload.digest);
        ASSERT_FALSE(result.has_value()) << wrong;
        EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::SizeMismatch)
            << wrong << ": " << result.error().message();
    }

    auto control = verify_file(payload.path, 5000, payload.digest);
    ASSERT_FALSE(control.has_value());
    EXPECT_EQ(control.error().kind, PayloadVerificationErrorKind::Read);
    EXPECT_EQ(control.error().io_error.value(), ERROR_SHARING_VIOLATION);
}

// A downloader, an antivirus scanner or an installer may hold the file for writing or deletion;
// our open must share both, or the check fails with a sharing violation.
TEST(VerifyFileProbes, OtherHandlesWithFullSharingDoNotBlock) {
    const PayloadFile payload(131073);
    // A writer, a deleter, and both.
    for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{DELETE}, DWORD{GENERIC_READ | GENERIC_WRITE | DELETE}}) {
        Handle other = open_with(payload.path, access, SHARE_ALL);
        ASSERT_TRUE(other) << std::hex << access << ": " << ::GetLastError();
        auto result = verify_file(payload.path, 131073, payload.digest);
        EXPECT_TRUE(result.has_value()) << std::hex << access << ": " << result.error().message();
    }
}

// Locks another handle's exclusive byte-range lock on the first byte of the second chunk.
class SecondChunkLock {
public:
    explicit SecondChunkLock(const std::filesystem::path& path)
        : holder_(open_with(path, GENERIC_READ | GENERIC_WRITE, SHARE_ALL)) {
        at_.Offset = static_cast<DWORD>(PAYLOAD_READ_BUFFER_BYTES);
        locked_ =
            holder_ && ::LockFileEx(holder_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at_);
    }
    SecondChunkLock(const SecondChunkLock&) = delete;
    SecondChunkLock& operator=(const SecondChunkLock&) = delete;
    ~SecondChunkLock() {
        if (locked_) {
            ::UnlockFileEx(holder_.get(), 0, 1, 0, &at_);
        }
    }
    [[nodiscard]] bool locked() const { return locked_; }

private:
    Handle holder_;
    OVERLAPPED at_{};
    bool locked_ = false;
};

// Windows fails a ReadFile that overlaps another handle's exclusive lock; Wine 8 reads through it.
bool lock_blocks_reads(const std::filesystem::path& path) {
    Handle reader = open_with(path, GENERIC_READ, SHARE_ALL);
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(PAYLOAD_READ_BUFFER_BYTES);
    std::uint8_t byte = 0;
    DWORD got = 0;
    return static_cast<bool>(reader) && ::SetFilePointerEx(reader.get(), offset, nullptr, FILE_BEGIN) &&
           !::ReadFile(reader.get(), &byte, 1, &got, nullptr) && ::GetLastError() == ERROR_LOCK_VIOLATION;
}

// Under Wine, drive Z: is the Unix root: its /proc/self/mem reports length 0, opens, and fails
// the first read (EIO, seen as ERROR_NOT_READY), because address 0 is never mapped.
const std::filesystem::path WINE_PROC_MEM = L"Z:\\proc\\self\\mem";
bool wine_proc_mem_available() { return ::GetFileAttributesW(WINE_PROC_MEM.c_str()) != INVALID_FILE_ATTRIBUTES; }

void expect_read_error(const std::expected<void, PayloadVerificationError>& result, DWORD os_error) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, PayloadVerificationErrorKind::Read);
    EXPECT_EQ(result.error().io_error.value(), static_cast<int>(os_error)) << result.error().message();
    EXPECT_EQ(result.error().message(), "payload could not be read: " + result.error().io_error.message());
}

// The first chunk reads, the second runs into the lock: the failure is a Read carrying the
// system's error, not a digest over the part that was read.
TEST(VerifyFileProbes, FailedReadMidStreamIsReadError) {
    const PayloadFile payload(131073);
    SecondChunkLock lock(payload.path);
    ASSERT_TRUE(lock.locked()) << ::GetLastError();
    if (!lock_blocks_reads(payload.path)) {
        GTEST_SKIP() << "this platform (Wine) does not fail reads that overlap another handle's byte-range lock";
    }
    expect_read_error(verify_file(payload.path, 131073, payload.digest), ERROR_LOCK_VIOLATION);
}

TEST(VerifyFileProbes, FailedFirstReadIsReadError) {
    if (!wine_proc_mem_available()) {
        GTEST_SKIP() << "no file that opens but cannot be read: Z:\\proc\\self\\mem exists only under Wine";
    }
    expect_read_error(verify_file(WINE_PROC_MEM, 0, digest_of({})), ERROR_NOT_READY);
}

// Our handle is closed on every way out: afterwards an exclusive open succeeds.
TEST(VerifyFileProbes, NoHandleLeftOpen) {
    const PayloadFile payload(131073);
    auto wrong = payload.digest;
    wrong[10] ^= 1;
    std::vector<test::VerifyCase> cases = {
        {"success", payload.path, 131073, payload.digest, std::nullopt},
        {"digest mismatch", payload.path, 131073, wrong, PayloadVerificationErrorKind::HashMismatch},
    };
    if (wine_proc_mem_available()) {
        cases.push_back({"read failure", WINE_PROC_MEM, 0, digest_of({}), PayloadVerificationErrorKind::Read});
    }
    for (const test::VerifyCase& c : cases) {
        auto result = verify_file(c.path, c.size, c.digest);
        ASSERT_EQ(result ? std::nullopt : std::optional(result.error().kind), c.outcome) << c.what;
        Handle exclusive = open_with(c.path, GENERIC_READ, 0);
        EXPECT_TRUE(exclusive) << c.what << ": error " << ::GetLastError();
    }
}

}  // namespace
}  // namespace brimora
