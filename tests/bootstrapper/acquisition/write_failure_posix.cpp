#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "brimora/acquisition.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

namespace fs = std::filesystem;

// Makes a directory unwritable for the test's life. Root ignores permission bits, so the
// immutable attribute, which binds root too, is tried first; plain mode bits do for other users.
class LockedDirectory {
public:
    explicit LockedDirectory(fs::path dir) : dir_(std::move(dir)) {
        if (set_immutable(true)) {
            how_ = How::immutable;
        } else if (::geteuid() != 0) {
            fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
            how_ = How::mode;
        }
    }
    LockedDirectory(const LockedDirectory&) = delete;
    LockedDirectory& operator=(const LockedDirectory&) = delete;
    ~LockedDirectory() {
        if (how_ == How::immutable) {
            static_cast<void>(set_immutable(false));
        } else if (how_ == How::mode) {
            fs::permissions(dir_, fs::perms::owner_all);
        }
    }
    [[nodiscard]] bool locked() const { return how_ != How::none; }

private:
    enum class How { none, immutable, mode };

    [[nodiscard]] bool set_immutable(bool on) const {
        const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    fs::path dir_;
    How how_ = How::none;
};

TEST(LoadOrCreatePosix, ReadOnlyDirectoryIsAnErrorAndKeepsTheOldFile) {
    testing::TempDir scratch;
    const fs::path dir = scratch.path() / "data";
    fs::create_directories(dir);
    testing::write_file(dir / "acquisition.json", "not json");
    LockedDirectory lock(dir);
    if (!lock.locked()) {
        GTEST_SKIP() << "running as root, which ignores permission bits, on a file system without the "
                        "immutable attribute (or without CAP_LINUX_IMMUTABLE): no way to make a directory unwritable";
    }
    const auto result = load_or_create(dir / "acquisition.json", InstallerLocale::ja);
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(testing::read_file(dir / "acquisition.json"), "not json");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(WriteAtomicallyPosix, IllFormedFileNameGivesTheTemporaryTheStateFileName) {
    testing::TempDir scratch;
    // A directory in the target's place makes the move fail, so the temporary stays to be looked at.
    const fs::path target = scratch.path() /
                            "st\xFF"
                            "ate.json";
    fs::create_directories(target / "inside");
    ASSERT_FALSE(write_atomically(target, AcquisitionState::create(InstallerLocale::en)).has_value());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch.path())) {
        names.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(names.size(), 2U);
    const std::string& temp = names[0] == target.filename().string() ? names[1] : names[0];
    EXPECT_EQ(temp.substr(0, 18), ".acquisition.json.") << temp;
    EXPECT_EQ(temp.size(), 18U + 36U + 4U) << temp;
}

}  // namespace
}  // namespace brimora
