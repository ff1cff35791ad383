#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "authenticode.hpp"
#include "handles.hpp"
#include "support/rig_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "windows_app/failure_print.hpp"

namespace brimora::win {
namespace {

namespace fs = std::filesystem;
using brimora::testing::read_file;
using brimora::testing::rig_fixture;
using brimora::testing::running_under_wine;
using brimora::testing::TempDir;
using brimora::testing::write_file;

std::uint32_t u32_at(const std::string& b, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = value << 8 | static_cast<std::uint8_t>(b.at(at + i));
    }
    return value;
}

// A copy of the signed app with one byte flipped: in the middle of the first section's raw data,
// or in the middle of the embedded signature, read from the PE headers of a 64-bit image.
template <bool InSignature>
fs::path flipped_copy(const fs::path& dir) {
    std::string image = read_file(rig_fixture(L"app-signed.exe")).value_or("");
    const std::size_t pe = u32_at(image, 0x3c);
    const std::size_t optional_header = pe + 24;
    const std::size_t sections = optional_header + (u32_at(image, pe + 20) & 0xFFFF);
    // PE32+: the data directories start 112 bytes into the optional header; entry 4 is the
    // certificate table, whose address is a file offset.
    const std::size_t security = optional_header + 112 + 4 * 8;
    const std::size_t at = InSignature ? u32_at(image, security) + u32_at(image, security + 4) / 2
                                       : u32_at(image, sections + 20) + u32_at(image, sections + 16) / 2;
    image.at(at) ^= 0x01;
    write_file(dir / L"changed.exe", image);
    return dir / L"changed.exe";
}

fs::path text_file(const fs::path& dir) {
    write_file(dir / L"text.exe", "MZ this is not a portable executable\r\n");
    return dir / L"text.exe";
}

// A path squeezed through a narrow code page or cut at a blank names a file that does not exist,
// which would turn a good copy into "signature_invalid".
fs::path signed_copy_at(const fs::path& dir, const fs::path& folder, const fs::path& name) {
    fs::create_directories(dir / folder);
    fs::copy_file(rig_fixture(L"app-signed.exe"), dir / folder / name);
    return dir / folder / name;
}

std::optional<Failure> failure_named(const char* code) {
    if (code == nullptr) {
        return std::nullopt;
    }
    return Failure{code, std::string_view(code) == "signer_mismatch" ? FailureReason::signer_mismatch
                                                                     : FailureReason::signature_invalid};
}

// Every fixture of the rig as its row of the shared table says, then files made for the check.
TEST(VerifyAuthenticode, GivesEachFileItsVerdict) {
    struct Case {
        std::string name;
        std::function<fs::path(const fs::path& dir)> make;
        std::optional<Failure> expected;
        bool windows_only = false;
    };
    std::vector<Case> cases;
    for (const auto& v : brimora::testing::FIXTURE_VERDICTS) {
        cases.push_back({v.fixture, [&v](const fs::path&) { return rig_fixture(v.fixture); },
                         failure_named(v.reason_code), v.windows_only});
    }
    const auto invalid = failure_named("signature_invalid");
    cases.push_back({"missing", [](const fs::path& dir) { return dir / L"absent.exe"; }, invalid});
    cases.push_back({"directory",
                     [](const fs::path& dir) {
                         fs::create_directory(dir / L"brimora.exe");
                         return dir / L"brimora.exe";
                     },
                     invalid});
    cases.push_back({"not a PE", text_file, invalid});
    cases.push_back({"code changed after signing", flipped_copy<false>, invalid});
    cases.push_back({"signature changed", flipped_copy<true>, invalid});
    cases.push_back(
        {"blanks in the path",
         [](const fs::path& dir) { return signed_copy_at(dir, u8"with blanks in it", u8"brimora app.exe"); },
         std::nullopt});
    cases.push_back({"Japanese path",
                     [](const fs::path& dir) { return signed_copy_at(dir, u8"ブリモラ製品", u8"起動.exe"); },
                     std::nullopt});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.windows_only && running_under_wine()) {
            std::printf("skipped %s: %s\n", c.name.c_str(), brimora::testing::WINE_TRUSTS_ANY_ROOT);
            continue;
        }
        const TempDir dir;
        EXPECT_EQ(failure_of(verify_authenticode(c.make(dir.path()))), c.expected);
    }
}

// --- Resources ---------------------------------------------------------------------------------

std::size_t handle_count() {
    const std::optional<std::size_t> count = brimora::testing::process_handle_count();
    EXPECT_TRUE(count.has_value());
    return count.value_or(0);
}

// The counter must see handles come and go, or the leak check below could never fail.
TEST(HandleCount, SeesHandlesOpenAndClose) {
    const std::size_t before = handle_count();
    std::vector<KernelHandle> events;
    for (int i = 0; i < 16; ++i) {
        events.emplace_back(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    const std::size_t during = handle_count();
    events.clear();
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
    const std::vector<std::pair<fs::path, bool>> files = {
        {rig_fixture(L"app-signed.exe"), true},
        {rig_fixture(L"app-unsigned.exe"), false},
        {rig_fixture(L"installer-signed.exe"), true},
        {rig_fixture(L"app-wrong-case.exe"), false},
        {rig_fixture(L"app-trailing-blank.exe"), false},
        {rig_fixture(L"installer-tampered.exe"), false},
        {text_file(dir.path()), false},
        {dir.path() / L"absent.exe", false},
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
