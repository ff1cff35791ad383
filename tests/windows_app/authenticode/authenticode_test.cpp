#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "authenticode.hpp"
#include "support/rig_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "windows_app/failure_print.hpp"

namespace brimora::win {
namespace {

using brimora::testing::rig_fixture;
using brimora::testing::running_under_wine;
using brimora::testing::TempDir;

const Failure SIGNATURE_INVALID{"signature_invalid", FailureReason::signature_invalid};
const Failure SIGNER_MISMATCH{"signer_mismatch", FailureReason::signer_mismatch};

std::optional<Failure> failure_of(const Outcome<void>& outcome) {
    if (outcome) {
        return std::nullopt;
    }
    return outcome.error();
}

std::filesystem::path required_fixture(const wchar_t* name) {
    std::filesystem::path path = rig_fixture(name);
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << "rig fixture missing: " << path.string();
    return path;
}

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at)) | static_cast<std::uint32_t>(b.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(b.at(at + 2)) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}

std::uint16_t u16_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

// File offsets of the middle of the first section's raw data and of the middle of the embedded
// signature, read from the PE headers of a 64-bit image.
struct SignedLayout {
    std::size_t code_byte;
    std::size_t signature_byte;
};

SignedLayout layout_of(const std::vector<std::uint8_t>& image) {
    const std::size_t pe = u32_at(image, 0x3c);
    const std::size_t optional_header = pe + 24;
    const std::size_t sections = optional_header + u16_at(image, pe + 20);
    const std::size_t first_raw = u32_at(image, sections + 20);
    const std::size_t first_size = u32_at(image, sections + 16);
    // PE32+: the data directories start 112 bytes into the optional header; entry 4 is the
    // certificate table, whose address is a file offset.
    const std::size_t security = optional_header + 112 + 4 * 8;
    const std::size_t table = u32_at(image, security);
    const std::size_t table_size = u32_at(image, security + 4);
    return {first_raw + first_size / 2, table + table_size / 2};
}

// --- Verdicts on the rig's fixtures -----------------------------------------------------------

struct FixtureCase {
    const wchar_t* fixture;
    std::optional<Failure> expected;
    const char* fault;

    friend void PrintTo(const FixtureCase& c, std::ostream* os) { *os << c.fault; }
};

class FixtureVerdict : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureVerdict, MatchesTheExpectedOutcome) {
    const FixtureCase& c = GetParam();
    const std::filesystem::path path = required_fixture(c.fixture);
    EXPECT_EQ(failure_of(verify_authenticode(path)), c.expected) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(
    RigFixtures, FixtureVerdict,
    ::testing::Values(
        FixtureCase{L"app-signed.exe", std::nullopt, "the expected publisher's app is refused"},
        FixtureCase{L"installer-signed.exe", std::nullopt, "the expected publisher's installer is refused"},
        FixtureCase{L"app-unsigned.exe", SIGNATURE_INVALID, "the trust verdict is ignored for an unsigned app"},
        FixtureCase{L"installer-tampered.exe", SIGNATURE_INVALID, "a file changed after signing is accepted"},
        FixtureCase{L"app-wrong-case.exe", SIGNER_MISMATCH, "the name is compared without case"},
        FixtureCase{L"app-trailing-blank.exe", SIGNER_MISMATCH, "the name is trimmed or prefix-compared"}));

// --- Files that are not a trusted signed image -------------------------------------------------

struct MadeFileCase {
    const char* name;
    // Makes the file to check inside the directory and returns its path.
    std::filesystem::path (*make)(const std::filesystem::path& dir);

    friend void PrintTo(const MadeFileCase& c, std::ostream* os) { *os << c.name; }
};

std::filesystem::path missing_file(const std::filesystem::path& dir) { return dir / L"absent.exe"; }

std::filesystem::path directory(const std::filesystem::path& dir) {
    std::filesystem::create_directory(dir / L"brimora.exe");
    return dir / L"brimora.exe";
}

std::filesystem::path text_file(const std::filesystem::path& dir) {
    const std::string text = "MZ this is not a portable executable\r\n";
    write_bytes(dir / L"text.exe", std::vector<std::uint8_t>(text.begin(), text.end()));
    return dir / L"text.exe";
}

std::filesystem::path code_changed_after_signing(const std::filesystem::path& dir) {
    std::vector<std::uint8_t> image = read_bytes(rig_fixture(L"app-signed.exe"));
    image.at(layout_of(image).code_byte) ^= 0x01;
    write_bytes(dir / L"code-changed.exe", image);
    return dir / L"code-changed.exe";
}

std::filesystem::path signature_changed(const std::filesystem::path& dir) {
    std::vector<std::uint8_t> image = read_bytes(rig_fixture(L"app-signed.exe"));
    image.at(layout_of(image).signature_byte) ^= 0x01;
    write_bytes(dir / L"signature-changed.exe", image);
    return dir / L"signature-changed.exe";
}

class MadeFileVerdict : public ::testing::TestWithParam<MadeFileCase> {};

TEST_P(MadeFileVerdict, IsSignatureInvalid) {
    ASSERT_TRUE(std::filesystem::is_regular_file(rig_fixture(L"app-signed.exe")));
    const TempDir dir;
    const std::filesystem::path path = GetParam().make(dir.path());
    EXPECT_EQ(failure_of(verify_authenticode(path)), SIGNATURE_INVALID) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(NotTrusted, MadeFileVerdict,
                         ::testing::Values(MadeFileCase{"missing", missing_file}, MadeFileCase{"directory", directory},
                                           MadeFileCase{"not_pe", text_file},
                                           MadeFileCase{"code_changed", code_changed_after_signing},
                                           MadeFileCase{"signature_changed", signature_changed}),
                         [](const auto& made) { return std::string(made.param.name); });

// --- Paths the platform must receive intact ----------------------------------------------------

struct PathCase {
    const char8_t* directory;
    const char8_t* file;

    friend void PrintTo(const PathCase& c, std::ostream* os) {
        *os << reinterpret_cast<const char*>(c.directory) << "\\" << reinterpret_cast<const char*>(c.file);
    }
};

class PathVerdict : public ::testing::TestWithParam<PathCase> {};

// A path squeezed through a narrow code page or cut at a blank names a file that does not exist,
// which would turn a good copy into "signature_invalid".
TEST_P(PathVerdict, SignedCopyPasses) {
    const TempDir dir;
    const std::filesystem::path folder = dir.path() / std::filesystem::path(GetParam().directory);
    std::filesystem::create_directories(folder);
    const std::filesystem::path copy = folder / std::filesystem::path(GetParam().file);
    std::filesystem::copy_file(required_fixture(L"app-signed.exe"), copy);
    EXPECT_EQ(failure_of(verify_authenticode(copy)), std::nullopt) << copy.string();
}

INSTANTIATE_TEST_SUITE_P(Paths, PathVerdict,
                         ::testing::Values(PathCase{u8"with blanks in it", u8"brimora app.exe"},
                                           PathCase{u8"ブリモラ製品", u8"起動.exe"}));

// --- Checks Wine cannot make -------------------------------------------------------------------

struct WindowsOnlyCase {
    const wchar_t* fixture;
    const char* why;

    friend void PrintTo(const WindowsOnlyCase& c, std::ostream* os) { *os << c.why; }
};

class WindowsOnlyVerdict : public ::testing::TestWithParam<WindowsOnlyCase> {};

TEST_P(WindowsOnlyVerdict, IsSignatureInvalid) {
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine 8's WinVerifyTrust accepts SHA-256 signatures from an untrusted root and never "
                        "checks revocation, so this rejection can only be observed on Windows";
    }
    const std::filesystem::path path = required_fixture(GetParam().fixture);
    EXPECT_EQ(failure_of(verify_authenticode(path)), SIGNATURE_INVALID) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(PlatformTrust, WindowsOnlyVerdict,
                         ::testing::Values(WindowsOnlyCase{L"app-untrusted-root.exe",
                                                           "a chain to an untrusted root is accepted"},
                                           WindowsOnlyCase{L"app-revoked.exe", "a revoked leaf is accepted"}));

// --- Resources ---------------------------------------------------------------------------------

std::size_t handle_count() {
    const std::optional<std::size_t> count = brimora::testing::process_handle_count();
    EXPECT_TRUE(count.has_value());
    return count.value_or(0);
}

// The counter must see handles come and go, or the leak check below could never fail.
TEST(HandleCount, SeesHandlesOpenAndClose) {
    const std::size_t before = handle_count();
    std::vector<HANDLE> events;
    for (int i = 0; i < 16; ++i) {
        events.push_back(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    const std::size_t during = handle_count();
    for (HANDLE h : events) {
        ::CloseHandle(h);
    }
    const std::size_t after = handle_count();
    EXPECT_GE(during, before + 16);
    EXPECT_LE(after, before);
}

std::size_t memory_in_use() {
    const std::optional<std::size_t> bytes = brimora::testing::process_memory_in_use();
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(0);
}

// Certificate contexts, stores, messages and the provider state are heap objects, not kernel
// handles; leaking them shows only as memory that every check adds.
TEST(Resources, ThousandChecksLeakNoHandlesOrMemory) {
    const TempDir dir;
    const std::vector<std::pair<std::filesystem::path, bool>> files = {
        {required_fixture(L"app-signed.exe"), true},
        {required_fixture(L"app-unsigned.exe"), false},
        {required_fixture(L"installer-signed.exe"), true},
        {required_fixture(L"app-wrong-case.exe"), false},
        {required_fixture(L"app-trailing-blank.exe"), false},
        {required_fixture(L"installer-tampered.exe"), false},
        {text_file(dir.path()), false},
        {missing_file(dir.path()), false},
    };
    auto round = [&](std::size_t checks) {
        std::size_t passed = 0;
        for (std::size_t i = 0; i < checks; ++i) {
            const auto& [path, passes] = files[i % files.size()];
            const bool ok = verify_authenticode(path).has_value();
            EXPECT_EQ(ok, passes) << path.string();
            passed += ok ? 1 : 0;
        }
        return passed;
    };
    // The first checks load the trust providers and fill the platform's caches; those handles
    // stay for the life of the process and are not ours.
    round(2 * files.size());
    const std::size_t baseline = handle_count();
    const std::size_t memory_baseline = memory_in_use();
    const std::size_t passed = round(1000);
    const std::size_t after = handle_count();
    const std::size_t memory_after = memory_in_use();
    std::printf("1000 checks (%zu passed): %zu handles before, %zu after; %zu KiB in use before, %zu after\n", passed,
                baseline, after, memory_baseline / 1024, memory_after / 1024);
    EXPECT_LE(after, baseline + 4);
    // A leak of even one small certificate context per check adds megabytes over 1000 checks;
    // allocator slack stays far below this.
    EXPECT_LE(memory_after, memory_baseline + 1024 * 1024);
}

}  // namespace
}  // namespace brimora::win
