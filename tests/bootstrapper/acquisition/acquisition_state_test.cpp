#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "acquisition_file.hpp"
#ifdef _WIN32
#include "handles.hpp"
#endif
#include "brimora/acquisition.hpp"
#include "support/temp_dir.hpp"
#include "state_samples.hpp"

namespace brimora {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::VALID_STATE;
using testing::valid_state_with;
using testing::write_file;

TEST(IsValidForBootstrapper, JudgesSchemaDescriptorsAndCreatedAtOnly) {
    const AcquisitionState base = *decode_state(VALID_STATE);
    const struct {
        std::string_view name;
        void (*change)(AcquisitionState&);
        bool valid;
    } cases[] = {
        {"as loaded", [](AcquisitionState&) {}, true},
        {"nil id", [](AcquisitionState& s) { s.install_id = Uuid(); }, true},
        {"ja", [](AcquisitionState& s) { s.locale = InstallerLocale::ja; }, true},
        {"app open text", [](AcquisitionState& s) { s.app_first_open_reported_at = "not a date"; }, true},
        {"offset created", [](AcquisitionState& s) { s.created_at = "2024-02-29T21:34:56+09:00"; }, true},
        {"schema 0", [](AcquisitionState& s) { s.schema_version = 0; }, false},
        {"schema 2", [](AcquisitionState& s) { s.schema_version = 2; }, false},
        {"version empty", [](AcquisitionState& s) { s.installer_version = ""; }, false},
        {"version 01", [](AcquisitionState& s) { s.installer_version = "01"; }, false},
        {"version 1.0", [](AcquisitionState& s) { s.installer_version = "1.0"; }, false},
        {"platform case", [](AcquisitionState& s) { s.platform = "Windows"; }, false},
        {"platform blank", [](AcquisitionState& s) { s.platform = "windows "; }, false},
        {"arch case", [](AcquisitionState& s) { s.arch = "X64"; }, false},
        {"arch other", [](AcquisitionState& s) { s.arch = "arm64"; }, false},
        {"created empty", [](AcquisitionState& s) { s.created_at = ""; }, false},
        {"created date only", [](AcquisitionState& s) { s.created_at = "2024-02-29"; }, false},
        {"created no leap day", [](AcquisitionState& s) { s.created_at = "2023-02-29T12:00:00Z"; }, false},
    };
    for (const auto& c : cases) {
        AcquisitionState state = base;
        c.change(state);
        EXPECT_EQ(state.is_valid_for_bootstrapper(), c.valid) << c.name;
    }
}

// An instant long past, so that a rewrite shows even on a file system with coarse timestamps.
fs::file_time_type old_time() { return fs::file_time_type::clock::now() - std::chrono::hours(24 * 400); }

// A valid state padded with an unknown member to exactly `size` bytes.
std::string padded_state(std::size_t size) {
    const std::string shell = valid_state_with("{", R"({"pad":"",)");
    return valid_state_with("{", R"({"pad":")" + std::string(size - shell.size(), 'x') + R"(",)");
}

struct KeptCase {
    std::string_view name;
    std::string text;
};

TEST(LoadOrCreate, KeepsAnAcceptableFileByteForByte) {
    const KeptCase cases[] = {
        {"as written", std::string(VALID_STATE)},
        {"spaces and line breaks", "{\n  \"schemaVersion\": 1,\n" + std::string(VALID_STATE).substr(19) + "\r\n"},
        {"extra member", valid_state_with("{", R"({"channel":{"name":"beta"},)")},
        {"exactly the size limit", padded_state(brimora::STATE_FILE_MAX_BYTES)},
        {"app open text", valid_state_with("null}", R"("2024-03-01T00:00:00Z"})")},
        {"app open missing", valid_state_with(R"(,"appFirstOpenReportedAt":null)", "")},
        {"numeric offset", valid_state_with("56.789Z", "56+09:00")},
        {"nine-digit fraction", valid_state_with("56.789Z", "56.123456789Z")},
        {"upper-case id", valid_state_with(testing::SAMPLE_ID, "0F8E2D4C-1B3A-4C5D-9E6F-A1B2C3D4E5F6")},
    };
    for (const auto& c : cases) {
        TempDir scratch;
        const fs::path file = scratch.path() / "acquisition.json";
        write_file(file, c.text);
        fs::last_write_time(file, old_time());
        // Read back: Wine keeps coarser timestamps than it is handed.
        const auto stamp = fs::last_write_time(file);
        ASSERT_LT(stamp, fs::file_time_type::clock::now() - std::chrono::hours(24)) << c.name;

        // The UI language is Japanese now; the stored English identity must win.
        const auto loaded = load_or_create(file, InstallerLocale::ja);
        ASSERT_TRUE(loaded.has_value()) << c.name;
        EXPECT_EQ(*loaded, *decode_state(c.text)) << c.name;
        EXPECT_EQ(loaded->locale, InstallerLocale::en) << c.name;
        EXPECT_EQ(loaded->install_id.to_string(), testing::SAMPLE_ID) << c.name;
        EXPECT_EQ(read_file(file), c.text) << c.name;
        EXPECT_EQ(fs::last_write_time(file), stamp) << c.name;
    }
}

void expect_new_identity_written(const fs::path& file, InstallerLocale locale, std::string_view why) {
    const auto result = load_or_create(file, locale);
    ASSERT_TRUE(result.has_value()) << why << ": " << result.error().message();
    EXPECT_TRUE(result->is_valid_for_bootstrapper()) << why;
    EXPECT_NE(result->install_id.to_string(), testing::SAMPLE_ID) << why;
    EXPECT_EQ(result->locale, locale) << why;
    EXPECT_EQ(result->install_id.bytes()[6] >> 4, 4) << why;
    EXPECT_FALSE(result->app_first_open_reported_at.has_value()) << why;
    EXPECT_EQ(read_file(file), encode_state(*result)) << why;
    // The replacement is what the next start loads.
    EXPECT_EQ(load_or_create(file, InstallerLocale::en), result) << why;
}

TEST(LoadOrCreate, ReplacesAnUnusableFileWithANewIdentity) {
    const std::string valid(VALID_STATE);
    const KeptCase cases[] = {
        {"empty", ""},
        {"byte-order mark", "\xEF\xBB\xBF" + valid},
        {"trailing text", valid + "\n}"},
        {"member twice", valid_state_with(R"("locale":"en")", R"("locale":"en","locale":"en")")},
        {"schema 2", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":2)")},
        {"schema string", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":"1")")},
        {"schema fraction", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":1.0)")},
        {"platform case", valid_state_with(R"("windows")", R"("Windows")")},
        {"installer version", valid_state_with(R"("installerVersion":"1")", R"("installerVersion":"2")")},
        {"created not a date-time", valid_state_with("2024-02-29T12:34:56.789Z", "yesterday")},
        {"created impossible date", valid_state_with("2024-02-29", "2023-02-29")},
        {"app open number", valid_state_with("null}", "1}")},
        {"array", "[]"},
        {"binary junk", std::string("\x00\x01\xFE\xFF", 4)},
        {"one byte over the size limit", padded_state(brimora::STATE_FILE_MAX_BYTES + 1)},
    };
    for (const auto& c : cases) {
        TempDir scratch;
        const fs::path file = scratch.path() / "acquisition.json";
        write_file(file, c.text);
        expect_new_identity_written(file, InstallerLocale::ja, c.name);
    }
}

TEST(LoadOrCreate, CreatesTheMissingDirectoryChain) {
    TempDir scratch;
    expect_new_identity_written(scratch.path() / "a" / "b" / "c" / "acquisition.json", InstallerLocale::en, "nested");
    // Built from UTF-8 so that Windows gets the right UTF-16 name, not one through the ANSI code page.
    const fs::path japanese = scratch.path() / fs::path(u8"ユーザー") / fs::path(u8"データ") / "acquisition.json";
    expect_new_identity_written(japanese, InstallerLocale::ja, "japanese");
    EXPECT_TRUE(fs::is_regular_file(japanese));
}

TEST(WriteAtomically, LeavesOnlyTheTargetBehind) {
    TempDir scratch;
    const fs::path file = scratch.path() / fs::path(u8"データ") / "acquisition.json";
    write_file(scratch.path() / "placeholder", "");
    ASSERT_TRUE(write_atomically(file, AcquisitionState::create(InstallerLocale::ja)).has_value());
    const AcquisitionState second = AcquisitionState::create(InstallerLocale::en);
    ASSERT_TRUE(write_atomically(file, second).has_value());
    EXPECT_EQ(read_file(file), encode_state(second));
    std::vector<fs::path> entries(fs::directory_iterator(file.parent_path()), fs::directory_iterator());
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].filename(), "acquisition.json");
}

TEST(OwnTemporaryName, IsExactlyWhatWriteAtomicallyMakes) {
    const std::string id(testing::SAMPLE_ID);
    const std::pair<std::string, bool> cases[] = {
        {".acquisition.json." + id + ".tmp", true},
        {".acquisition.json.0f8e2d4c-1b3a-4c5d-bE6F-a1b2c3d4e5f6.tmp", false},  // upper case
        {".acquisition.json.0f8e2d4c-1b3a-1c5d-9e6f-a1b2c3d4e5f6.tmp", false},  // version 1
        {".acquisition.json.0f8e2d4c-1b3a-4c5d-7e6f-a1b2c3d4e5f6.tmp", false},  // wrong variant
        {".acquisition.json.0f8e2d4c1b3a-4c5d-9e6f-a1b2c3d4e5f6-.tmp", false},  // hyphen moved
        {".acquisition.json.{" + id + "}.tmp", false},
        {".acquisition.json." + id, false},
        {".acquisition.json." + id + ".tmp.bak", false},
        {"acquisition.json." + id + ".tmp", false},
        {".acquisition.jsonx" + id + ".tmp", false},
        {".settings.json." + id + ".tmp", false},
        {"acquisition.json", false},
        {"", false},
    };
    const fs::path target_name("acquisition.json");
    for (const auto& [name, own] : cases) {
        EXPECT_EQ(detail::is_own_temporary_name(fs::path(name).native(), target_name.native()), own) << name;
    }
}

// What starts killed mid-write left behind goes at the next start, whether or not a state file
// survived; a temporary written lately, or held open, may be another writer's whose move is still
// to come and stays; files of other programs and other names stay.
TEST(LoadOrCreate, RemovesItsOwnStaleTemporariesOnly) {
#ifdef _WIN32
    constexpr bool HOLDS_ARE_SEEN = true;
#else
    constexpr bool HOLDS_ARE_SEEN = false;  // POSIX cannot tell whether another process has a file open
#endif
    using std::chrono::minutes;
    const struct {
        const char* name;
        minutes written_ago;
        bool held;
        std::chrono::seconds stale_after;
        bool removed;
    } temporaries[] = {
        {"left long ago", minutes(11), false, STALE_TEMPORARY_AGE, true},
        {"written lately", minutes(1), false, STALE_TEMPORARY_AGE, false},
        {"older than the age asked for", minutes(1), false, std::chrono::seconds(30), true},
        {"held open by its writer", minutes(11), true, STALE_TEMPORARY_AGE, !HOLDS_ARE_SEEN},
    };
    const std::string name = ".acquisition.json." + std::string(testing::SAMPLE_ID) + ".tmp";
    const std::string foreign[] = {".acquisition.json.draft.tmp", ".settings.json." + name.substr(18), "notes.txt"};
    for (const auto& c : temporaries) {
        for (const bool state_present : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (state_present ? ", state present" : ", no state"));
            TempDir scratch;
            const fs::path file = scratch.path() / fs::path(u8"データ") / "acquisition.json";
            const fs::path temporary = file.parent_path() / name;
            ASSERT_TRUE(write_file(temporary, "{\"schemaVer"));
            fs::last_write_time(temporary, fs::file_time_type::clock::now() - c.written_ago);
            for (const auto& other : foreign) {
                write_file(file.parent_path() / other, "kept");
            }
            if (state_present) {
                write_file(file, std::string(VALID_STATE));
            }
#ifdef _WIN32
            // Held as the writer holds it, shared for reading, writing and deleting, until the row ends.
            const win::FileHandle holder(c.held ? ::CreateFileW(temporary.c_str(), GENERIC_WRITE, win::SHARE_ALL,
                                                                nullptr, OPEN_EXISTING, 0, nullptr)
                                                : INVALID_HANDLE_VALUE);
            ASSERT_EQ(static_cast<bool>(holder), c.held);
#endif
            const auto loaded = load_or_create(file, InstallerLocale::en, c.stale_after);
            ASSERT_TRUE(loaded.has_value());
            EXPECT_EQ(loaded->install_id.to_string() == testing::SAMPLE_ID, state_present);
            EXPECT_EQ(fs::exists(temporary), !c.removed);
            for (const auto& other : foreign) {
                EXPECT_EQ(read_file(file.parent_path() / other), "kept") << other;
            }
        }
    }
}

TEST(WriteAtomically, ReportsWhatCannotBeWritten) {
    const struct {
        std::string_view name;
        const char* directory;           // made first, if any
        const char* file;                // written first, if any
        const char* target;              // '/' separated, under the scratch directory
        std::string_view leftover_name;  // the temporary expected beside the target, if any
    } cases[] = {
        {"target is a directory", "state.json/inside", nullptr, "state.json", "state.json"},
        {"no file name", "dir", nullptr, "dir/", "acquisition.json"},
        {"parent is a file", nullptr, "blocker", "blocker/acquisition.json", ""},
    };
    for (const auto& c : cases) {
        TempDir scratch;
        if (c.directory != nullptr) {
            fs::create_directories(scratch / c.directory);
        }
        if (c.file != nullptr) {
            write_file(scratch / c.file, "x");
        }
        const fs::path target = (scratch / c.target).make_preferred();
        const auto result = load_or_create(target, InstallerLocale::en);
        ASSERT_FALSE(result.has_value()) << c.name;
        EXPECT_TRUE(result.error()) << c.name;
        if (c.leftover_name.empty()) {
            continue;
        }
        // A failed move leaves the flushed temporary in the target's directory, named after the target.
        const std::regex pattern("\\." + std::string(c.leftover_name) +
                                 "\\.[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.tmp");
        int leftovers = 0;
        for (const auto& entry : fs::directory_iterator(target.parent_path())) {
            const std::string name = entry.path().filename().string();
            if (std::regex_match(name, pattern)) {
                ++leftovers;
                EXPECT_TRUE(decode_state(read_file(entry.path()).value_or("")).has_value()) << c.name << ": " << name;
            }
        }
        EXPECT_EQ(leftovers, 1) << c.name;
    }
}

}  // namespace
}  // namespace brimora
