#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bootstrapper/manifest/manifest_cases.hpp"
#include "bootstrapper/payload/patterned.hpp"
#include "brimora/base64.hpp"
#include "brimora/manifest.hpp"
#include "brimora/sha512.hpp"
#include "feed/feed_run.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using test::run_feed;
using testing::TempDir;

std::expected<ValidatedRelease, ManifestError> validate(std::string_view text) {
    return validate_manifest({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Every manifest the command makes must pass the installer's validation and describe exactly the
// file it was made from; every version the installer would refuse is refused with its words.
TEST(FeedManifest, MakesWhatTheInstallerAcceptsAndRefusesWhatItRefuses) {
    const struct {
        const char* label;
        const char* version;
        const char* file_name;  // as the engineer's file is named
        std::size_t size;
        const char* release_date;  // null: none given
        int status;
        const char* err_has;  // "" when nothing may be printed on standard error
    } cases[] = {
        {.label = "plain",
         .version = "1.4.0",
         .file_name = "Brimora-1.4.0-win-x64.exe",
         .size = 300001,
         .release_date = "2026-12-01T09:00:00Z",
         .status = 0,
         .err_has = ""},
        {.label = "floor itself",
         .version = "0.1.32",
         .file_name = "Brimora-0.1.32-win-x64.exe",
         .size = 1,
         .release_date = nullptr,
         .status = 0,
         .err_has = ""},
        {.label = "build metadata on the floor",
         .version = "0.1.32+build.7",
         .file_name = "Brimora-0.1.32+build.7-win-x64.exe",
         .size = 131072,
         .release_date = nullptr,
         .status = 0,
         .err_has = ""},
        {.label = "pre-release above the floor",
         .version = "1.0.0-alpha.1",
         .file_name = "Brimora-1.0.0-alpha.1-win-x64.exe",
         .size = 131073,
         .release_date = "2026-12-01T09:00:00.5+09:00",
         .status = 0,
         .err_has = ""},
        {.label = "other local name",
         .version = "1.4.0",
         .file_name = "setup.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 0,
         .err_has = "setup.exe must be uploaded as Brimora-1.4.0-win-x64.exe"},
        {.label = "name of another version",
         .version = "1.4.1",
         .file_name = "Brimora-1.4.0-win-x64.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 0,
         .err_has = "must be uploaded as Brimora-1.4.1-win-x64.exe"},
        {.label = "pre-release of the floor",
         .version = "0.1.32-rc.1",
         .file_name = "a.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release version is below the bootstrapper rollback floor"},
        {.label = "below the floor",
         .version = "0.1.9",
         .file_name = "a.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release version is below the bootstrapper rollback floor"},
        {.label = "leading v",
         .version = "v1.4.0",
         .file_name = "a.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release version is invalid"},
        {.label = "two components",
         .version = "1.4",
         .file_name = "a.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release version is invalid"},
        {.label = "leading zero",
         .version = "01.4.0",
         .file_name = "a.exe",
         .size = 10,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release version is invalid"},
        {.label = "empty installer",
         .version = "1.4.0",
         .file_name = "a.exe",
         .size = 0,
         .release_date = nullptr,
         .status = 1,
         .err_has = "release size must be greater than zero"},
        {.label = "release date not RFC 3339",
         .version = "1.4.0",
         .file_name = "a.exe",
         .size = 10,
         .release_date = "yesterday",
         .status = 2,
         .err_has = "--release-date must be an RFC 3339 date-time"},
        {.label = "release date with a quote",
         .version = "1.4.0",
         .file_name = "a.exe",
         .size = 10,
         .release_date = "2026-12-01T09:00:00Z'",
         .status = 2,
         .err_has = "--release-date"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TempDir dir;
        const auto content = test::patterned(c.size);
        const auto installer = dir / c.file_name;
        ASSERT_TRUE(testing::write_file(installer, content));
        const std::string path = installer.string();
        const auto made = c.release_date != nullptr
                              ? run_feed({"manifest", "--version", c.version, "--release-date", c.release_date, path})
                              : run_feed({"manifest", "--version", c.version, path});
        ASSERT_EQ(made.status, c.status) << made.err;
        if (*c.err_has == '\0') {
            EXPECT_EQ(made.err, "");
        } else {
            EXPECT_NE(made.err.find(c.err_has), std::string::npos) << made.err;
        }
        if (c.status != 0) {
            EXPECT_EQ(made.out, "") << "nothing to publish after a refusal";
            continue;
        }
        const auto release = validate(made.out);
        ASSERT_TRUE(release.has_value()) << release.error().message() << "\n" << made.out;
        EXPECT_EQ(to_string(release->version), c.version);
        EXPECT_EQ(release->size, c.size);
        EXPECT_EQ(release->sha512, *sha512_of(content));
        const std::string date = c.release_date != nullptr ? c.release_date : "";
        const auto date_at = made.out.find("releaseDate: '" + date);
        ASSERT_NE(date_at, std::string::npos) << made.out;
        EXPECT_TRUE(
            is_rfc3339_date_time(made.out.substr(date_at + 14, made.out.find('\'', date_at + 14) - (date_at + 14))));

        // The same file checks out against what was made; `check` agrees.
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", made.out));
        const auto checked = run_feed({"check", (dir / "latest.yml").string(), "--payload", path});
        EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
        EXPECT_NE(checked.out.find("manifest: accepted: version " + std::string(c.version)), std::string::npos)
            << checked.out;
    }
}

// `check` with a payload runs the installer's size and digest check and names what users would see.
TEST(FeedCheck, PayloadVerdicts) {
    const auto content = test::patterned(200000);
    auto last_changed = content;
    last_changed.back() ^= 1;
    auto longer = content;
    longer.push_back(0);
    const std::string integrity = "users see \"The downloaded file failed integrity verification. Please retry.\"";
    const struct {
        const char* label;
        std::optional<std::vector<std::uint8_t>> payload;  // none: the file does not exist
        int status;
        const char* out_has;
    } cases[] = {
        {"the file itself", content, 0, "payload: accepted, 200000 bytes"},
        {"one byte longer", longer, 1, "payload: rejected: payload size does not match the manifest (file 200001"},
        {"one byte longer: reason", longer, 1, "reason code payload_size_mismatch"},
        {"last byte differs", last_changed, 1, "payload: rejected: payload SHA-512 does not match the manifest"},
        {"last byte differs: reason", last_changed, 1, "reason code payload_hash_mismatch"},
        {"last byte differs: message", last_changed, 1, integrity.c_str()},
        {"missing payload", std::nullopt, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TempDir dir;
        const auto name = dir / "Brimora-1.4.0-win-x64.exe";
        ASSERT_TRUE(testing::write_file(dir / "source.exe", content));
        const auto made = run_feed({"manifest", "--version", "1.4.0", (dir / "source.exe").string()});
        ASSERT_EQ(made.status, 0) << made.err;
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", made.out));
        if (c.payload) {
            ASSERT_TRUE(testing::write_file(name, *c.payload));
        }
        const auto checked = run_feed({"check", (dir / "latest.yml").string(), "--payload", name.string()});
        EXPECT_EQ(checked.status, c.status) << checked.out << checked.err;
        EXPECT_NE(checked.out.find(c.out_has), std::string::npos) << checked.out;
        if (c.status == 2) {
            EXPECT_NE(checked.err.find("payload could not be read: "), std::string::npos) << checked.err;
        }
    }
}

// The verdict printed by `check` is the library's, word for word, and so is the exit status;
// a body over the cap never reaches validation in the installer, so users meet the network message.
TEST(FeedCheck, VerdictIsTheLibrarys) {
    const std::string name = "Brimora-1.4.0-win-x64.exe";
    const std::string sha = encode_base64(*sha512_of({}));
    const auto manifest = [&](const std::string& version, const std::string& path, const std::string& size) {
        return "version: " + version + "\npath: " + path + "\nsha512: " + sha + "\nfiles:\n  - url: " + path +
               "\n    sha512: " + sha + "\n    size: " + size + "\n";
    };
    const struct {
        const char* label;
        std::string body;
        const char* users_see;  // null: accepted
    } cases[] = {
        {"valid", manifest("1.4.0", name, "1024"), nullptr},
        {"valid at exactly 64 KiB",
         [&] {
             std::string body = manifest("1.4.0", name, "1024");
             return body + "#" + std::string(MAX_MANIFEST_BYTES - body.size() - 2, 'x') + "\n";
         }(),
         nullptr},
        {"empty", "", "The release information could not be verified safely. Please retry later."},
        {"over 64 KiB", std::string(MAX_MANIFEST_BYTES + 1, '#'),
         "The latest version could not be checked. Check your connection and retry."},
        {"bad YAML", "version: [1.4.0\n", "The release information could not be verified safely. Please retry later."},
        {"bad version", manifest("1.4", "Brimora-1.4-win-x64.exe", "1"), "The release information"},
        {"below floor", manifest("0.1.31", "Brimora-0.1.31-win-x64.exe", "1"), "The release information"},
        {"path in other case", manifest("1.4.0", "brimora-1.4.0-win-x64.exe", "1"), "The release information"},
        {"zero size", manifest("1.4.0", name, "0"), "The release information"},
        {"no files", "version: 1.4.0\npath: " + name + "\nsha512: " + sha + "\n", "The release information"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TempDir dir;
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", c.body));
        const auto checked = run_feed({"check", (dir / "latest.yml").string()});
        const auto library = validate(c.body);
        if (c.users_see == nullptr) {
            ASSERT_TRUE(library.has_value());
            EXPECT_EQ(checked.status, 0);
            EXPECT_NE(checked.out.find("accepted: version 1.4.0, file " + name + ", 1024 bytes, sha512 " + sha),
                      std::string::npos)
                << checked.out;
            continue;
        }
        ASSERT_FALSE(library.has_value());
        EXPECT_EQ(checked.status, 1);
        if (c.body.size() <= MAX_MANIFEST_BYTES) {
            EXPECT_NE(checked.out.find("manifest: rejected: " + library.error().message() + "\n"), std::string::npos)
                << checked.out;
        }
        EXPECT_NE(checked.out.find(c.users_see), std::string::npos) << checked.out;
    }
}

// Every manifest of the library's own tables gets from `check` the library's verdict, word for word.
TEST(FeedCheck, VerdictIsTheLibrarysOnEveryRowOfTheManifestTables) {
    std::vector<std::pair<std::string, std::string>> bodies;
    for (const auto& c : manifest_cases::accepted()) {
        bodies.emplace_back(c.label, c.body);
    }
    for (const auto& c : manifest_cases::yaml_faults()) {
        bodies.emplace_back(c.label, c.body);
    }
    for (const auto& c : manifest_cases::rule_faults()) {
        bodies.emplace_back(c.label, c.body);
    }
    const TempDir dir;
    for (const auto& [label, body] : bodies) {
        SCOPED_TRACE(label);
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", body));
        const auto checked = run_feed({"check", (dir / "latest.yml").string()});
        const auto library = validate(body);
        if (library.has_value()) {
            EXPECT_EQ(checked.status, 0);
            EXPECT_NE(checked.out.find("manifest: accepted: version " + to_string(library->version) + ", file " +
                                       library->file_name),
                      std::string::npos)
                << checked.out;
        } else {
            EXPECT_EQ(checked.status, 1);
            EXPECT_NE(checked.out.find("manifest: rejected: " + library.error().message() + "\n"), std::string::npos)
                << checked.out;
        }
    }
}

TEST(FeedCommandLine, UsageAndInputErrorsExitTwo) {
    const TempDir dir;
    ASSERT_TRUE(testing::write_file(dir / "a.exe", std::string_view("x")));
    const std::string missing = (dir / "missing.yml").string();
    const struct {
        const char* label;
        test::FeedRun (*run)(const std::string&, const std::string&);
        const char* err_has;
    } cases[] = {
        {"no command", [](const std::string&, const std::string&) { return run_feed({}); }, "usage:"},
        {"unknown command", [](const std::string&, const std::string&) { return run_feed({"publish"}); },
         "unknown command publish"},
        {"manifest without version",
         [](const std::string& d, const std::string&) {
             return run_feed({"manifest", d + "/a.exe"});
         },
         "--version and INSTALLER are required"},
        {"manifest of a missing file",
         [](const std::string&, const std::string& m) {
             return run_feed({"manifest", "--version", "1.4.0", m});
         },
         "cannot read"},
        {"manifest with two files",
         [](const std::string& d, const std::string&) {
             return run_feed({"manifest", "--version", "1.4.0", d + "/a.exe", d + "/a.exe"});
         },
         "unexpected argument"},
        {"check without manifest", [](const std::string&, const std::string&) { return run_feed({"check"}); },
         "MANIFEST is required"},
        {"check of a missing manifest",
         [](const std::string&, const std::string& m) {
             return run_feed({"check", m});
         },
         "cannot read"},
        {"check of a directory",
         [](const std::string& d, const std::string&) {
             return run_feed({"check", d});
         },
         "cannot read"},
        {"probe over plain HTTP",
         [](const std::string&, const std::string&) {
             return run_feed({"probe", "http://downloads.brimora.app/"});
         },
         "one https:// URL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto result = c.run(dir.path().string(), missing);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
}  // namespace brimora
