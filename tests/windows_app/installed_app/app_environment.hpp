#pragma once
// The world an installed-app test runs in: the fixed registry key of this Wine prefix, a private
// LOCALAPPDATA and current directory, copies of the signed test app, and the marker file in which
// a started test app records itself.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "handles.hpp"
#include "installed_app.hpp"
#include "process.hpp"
#include "support/rig_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "utf16.hpp"

namespace brimora::win::test {

inline void delete_install_key() { ::RegDeleteTreeW(HKEY_CURRENT_USER, INSTALL_KEY_PATH); }

// Stores raw bytes under the fixed key, so sizes and types the installer would never write can
// be tried as well.
inline void write_install_value(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    RegistryKey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_CURRENT_USER, INSTALL_KEY_PATH, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

// The units as given, zeros included; the byte size is twice the unit count.
inline void write_install_location(std::wstring_view units, DWORD type = REG_SZ) {
    write_install_value(INSTALL_LOCATION_VALUE, type, units.data(), static_cast<DWORD>(units.size() * sizeof(wchar_t)));
}

// Copies a rig fixture to DIR\brimora.exe, creating DIR, and returns the copy's path.
inline std::filesystem::path place_app(const std::filesystem::path& dir, const wchar_t* fixture = L"app-signed.exe") {
    std::filesystem::create_directories(dir);
    const std::filesystem::path target = dir / APP_EXE_NAME;
    std::filesystem::copy_file(brimora::testing::rig_fixture(fixture), target,
                               std::filesystem::copy_options::overwrite_existing);
    return target;
}

// Removes the tree, waiting (bounded) while a test app started from it is still exiting and
// holds its image file; the error that remains, if any.
inline std::error_code remove_when_released(const std::filesystem::path& dir) {
    std::error_code busy;
    std::filesystem::remove_all(dir, busy);
    for (int tries = 0; busy && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::filesystem::remove_all(dir, busy);
    }
    return busy;
}

// A started test app appends "pid<TAB>module path<TAB>command line" to this file.
struct StartRecord {
    std::wstring module_path;
    std::wstring command_line;
};

class InstalledAppTest : public ::testing::Test {
public:
    void SetUp() override {
        delete_install_key();
        saved_local_ = environment_variable(L"LOCALAPPDATA");
        std::wstring cwd(32768, L'\0');
        cwd.resize(::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
        saved_cwd_ = cwd;
        local_ = root_.path() / L"Local AppData";
        std::filesystem::create_directories(local_);
        ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", local_.c_str()));
        // Relative values resolve against the test's own directory, never against the build tree.
        ASSERT_TRUE(::SetCurrentDirectoryW(root_.path().c_str()));
    }

    void TearDown() override {
        delete_install_key();
        ::SetCurrentDirectoryW(saved_cwd_.c_str());
        ::SetEnvironmentVariableW(L"LOCALAPPDATA", saved_local_ ? saved_local_->c_str() : nullptr);
    }

    [[nodiscard]] const std::filesystem::path& root() const { return root_.path(); }
    [[nodiscard]] const std::filesystem::path& local() const { return local_; }

    [[nodiscard]] std::filesystem::path marker() const { return local_ / L"brimora-started.txt"; }

    [[nodiscard]] std::vector<StartRecord> start_records() const {
        std::istringstream in(brimora::testing::read_file(marker()).value_or(""));
        std::vector<StartRecord> records;
        // A last line without its newline is still being written.
        for (std::string line; std::getline(in, line) && !in.eof();) {
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            const std::size_t first = line.find('\t');
            const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
            if (second == std::string::npos) {
                ADD_FAILURE() << "malformed start record: " << line;
                continue;
            }
            records.push_back({to_utf16(line.substr(first + 1, second - first - 1)).value_or(L"?"),
                               to_utf16(line.substr(second + 1)).value_or(L"?")});
        }
        return records;
    }

    // Waits (bounded) until at least `count` starts are recorded and returns what is recorded.
    [[nodiscard]] std::vector<StartRecord> wait_for_starts(
        std::size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) const {
        const auto give_up = std::chrono::steady_clock::now() + limit;
        std::vector<StartRecord> records = start_records();
        while (records.size() < count && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            records = start_records();
        }
        return records;
    }

    // Gives a wrongly started process ample time to record itself, then reports what is recorded.
    [[nodiscard]] std::vector<StartRecord> starts_after_grace() const {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        return start_records();
    }

    // The recorded start was of `expected` (the same file) and carried no arguments.
    static void expect_started(const StartRecord& record, const std::filesystem::path& expected) {
        std::error_code error;
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(record.module_path), expected, error))
            << "started " << std::filesystem::path(record.module_path).string() << ", expected " << expected.string();
        EXPECT_EQ(record.command_line, L"\"" + expected.native() + L"\"");
    }

private:
    brimora::testing::TempDir root_;
    std::filesystem::path local_;
    std::optional<std::wstring> saved_local_;
    std::wstring saved_cwd_;
};

}  // namespace brimora::win::test
