#include <windows.h>

#include <gtest/gtest.h>

#include "brimora/acquisition.hpp"
#include "support/temp_dir.hpp"
#include "support/win32.hpp"

namespace brimora {
namespace {

namespace fs = std::filesystem;

using Handle = win::FileHandle;
using brimora::testing::running_under_wine;

// Another process holding the file without delete sharing (an editor, a scanner) blocks the
// replacing move: an error, and the old bytes stay.
TEST(LoadOrCreateWin32, TargetHeldOpenWithoutDeleteSharingIsAnError) {
    testing::TempDir scratch;
    const fs::path file = scratch.path() / fs::path(u8"データ") / "acquisition.json";
    fs::create_directories(file.parent_path());
    testing::write_file(file, "garbage");
    Handle holder(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(load_or_create(file, InstallerLocale::ja).has_value());
    EXPECT_EQ(testing::read_file(file), "garbage");
}

TEST(LoadOrCreateWin32, ReadOnlyTargetIsAnError) {
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine keeps the read-only attribute only as Unix mode bits, and a Unix rename replaces "
                        "a file whatever its mode, so the move succeeds there; Windows refuses to replace it";
    }
    testing::TempDir scratch;
    const fs::path file = scratch.path() / "acquisition.json";
    testing::write_file(file, "garbage");
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(load_or_create(file, InstallerLocale::ja).has_value());
    EXPECT_EQ(testing::read_file(file), "garbage");
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace brimora
