// brimora-feed's own rules, one accepted and one refused row each; the verdicts it borrows from
// the library are the library's tests' business. Signed payloads are judged in probe_test.cpp,
// where the rig's fixtures are.

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrapper/manifest/manifest_cases.hpp"
#include "bootstrapper/payload/patterned.hpp"
#include "brimora/sha512.hpp"
#include "feed/feed_run.hpp"
#include "feed_internal.hpp"
#include "support/temp_dir.hpp"

namespace brimora {
namespace {

using manifest_cases::manifest;
using manifest_cases::validate;
using test::run_feed;
using testing::TempDir;

// Every manifest the command makes passes the installer's validation and describes exactly the
// file it was made from; what the installer would refuse is refused with its words.
TEST(FeedManifest, MakesWhatTheInstallerAcceptsAndRefusesWhatItRefuses) {
    const struct {
        const char* label;
        const char* version;
        const char* file_name;  // as the engineer's file is named
        std::size_t size;
        const char* release_date;  // "" for none
        int status;
        const char* err_has;  // "" when nothing may be printed on standard error
    } cases[] = {
        // clang-format off
        {.label = "plain", .version = "1.4.0", .file_name = "Brimora-1.4.0-win-x64.exe", .size = 300001, .release_date = "2026-12-01T09:00:00Z", .status = 0, .err_has = ""},
        {.label = "floor itself", .version = "0.1.32", .file_name = "Brimora-0.1.32-win-x64.exe", .size = 1, .release_date = "", .status = 0, .err_has = ""},
        {.label = "other local name", .version = "1.4.0", .file_name = "setup.exe", .size = 10, .release_date = "", .status = 0, .err_has = "setup.exe must be uploaded as Brimora-1.4.0-win-x64.exe"},
        {.label = "below the floor", .version = "0.1.9", .file_name = "a.exe", .size = 10, .release_date = "", .status = 1, .err_has = "release version is below the bootstrapper rollback floor"},
        {.label = "leading v", .version = "v1.4.0", .file_name = "a.exe", .size = 10, .release_date = "", .status = 1, .err_has = "release version is invalid"},
        {.label = "empty installer", .version = "1.4.0", .file_name = "a.exe", .size = 0, .release_date = "", .status = 1, .err_has = "release size must be greater than zero"},
        {.label = "release date with a quote", .version = "1.4.0", .file_name = "a.exe", .size = 10, .release_date = "2026-12-01T09:00:00Z'", .status = 2, .err_has = "--release-date must be an RFC 3339"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TempDir dir;
        const auto content = test::patterned(c.size);
        const std::string path = (dir / c.file_name).string();
        ASSERT_TRUE(testing::write_file(path, content));
        const auto made = *c.release_date != '\0'
                              ? run_feed({"manifest", "--version", c.version, "--release-date", c.release_date, path})
                              : run_feed({"manifest", "--version", c.version, path});
        ASSERT_EQ(made.status, c.status) << made.err;
        EXPECT_EQ(*c.err_has == '\0', made.err.empty()) << made.err;
        EXPECT_NE(made.err.find(c.err_has), std::string::npos) << made.err;
        if (c.status != 0) {
            EXPECT_EQ(made.out, "") << "nothing to publish after a refusal";
            continue;
        }
        const auto release = validate(made.out);
        ASSERT_TRUE(release.has_value()) << release.error().message() << "\n" << made.out;
        EXPECT_EQ(to_string(release->version), c.version);
        EXPECT_EQ(release->size, c.size);
        EXPECT_EQ(release->sha512, *sha512_of(content));
        EXPECT_NE(made.out.find("releaseDate: '" + std::string(c.release_date)), std::string::npos) << made.out;
    }
}

// `check`: the manifest cap is the feed's own rule (the installer's fetch stops reading past it,
// so users meet the network message); past it the library's verdict is printed word for word;
// a payload goes through size, digest, then signature, as the installer checks it.
TEST(FeedCheck, Verdicts) {
    const auto content = test::patterned(1024);
    const std::string described = manifest_cases::describing(content);
    auto last_changed = content;
    last_changed.back() ^= 1;
    auto longer = content;
    longer.push_back(0);
    const std::string integrity = "users see \"The downloaded file failed integrity verification. Please retry.\"";
    const std::string publisher = "users see \"The Brimora publisher could not be verified";
    const struct {
        const char* label;
        std::string body;
        std::optional<std::vector<std::uint8_t>> payload;  // none: no --payload
        int status;
        std::vector<std::string> out_has;
    } cases[] = {
        // clang-format off
        {"valid", manifest(), std::nullopt, 0, {"manifest: accepted: version 1.4.0, file Brimora-1.4.0-win-x64.exe, 1024 bytes, sha512 " + manifest_cases::SHA + "\n"}},
        {"valid at exactly 64 KiB", manifest_cases::at_size_limit(), std::nullopt, 0, {"manifest: accepted: version 1.4.0"}},
        {"over 64 KiB", std::string(MAX_MANIFEST_BYTES + 1, '#'), std::nullopt, 1, {"reason code network_error", "users see \"The latest version could not be checked."}},
        {"the library's refusal", manifest("1.4"), std::nullopt, 1, {"manifest: rejected: " + validate(manifest("1.4")).error().message() + "\n", "reason code manifest_invalid"}},
        {"payload one byte longer", described, longer, 1, {"payload: rejected: payload size does not match the manifest (file 1025", "reason code payload_size_mismatch"}},
        {"payload's last byte differs", described, last_changed, 1, {"payload: rejected: payload SHA-512 does not match the manifest", "reason code payload_hash_mismatch", integrity}},
        {"right bytes, not a signed executable", described, content, 1, {"payload: 1024 bytes with the manifest's SHA-512\nsignature: rejected: not a PE image", "reason code signature_invalid", publisher, "payload: rejected\n"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TempDir dir;
        const auto payload = dir / "Brimora-1.4.0-win-x64.exe";
        ASSERT_TRUE(testing::write_file(dir / "latest.yml", c.body));
        if (c.payload) {
            ASSERT_TRUE(testing::write_file(payload, *c.payload));
        }
        const auto checked = c.payload
                                 ? run_feed({"check", (dir / "latest.yml").string(), "--payload", payload.string()})
                                 : run_feed({"check", (dir / "latest.yml").string()});
        EXPECT_EQ(checked.status, c.status) << checked.out << checked.err;
        for (const auto& wanted : c.out_has) {
            EXPECT_NE(checked.out.find(wanted), std::string::npos) << "wanted: " << wanted << "\n" << checked.out;
        }
    }
}

// The signer name installers compare, formed from a certificate's subject as Windows forms it.
TEST(FeedSignature, SimpleDisplayNameOfSubjects) {
    const struct {
        const char* label;
        std::vector<std::pair<const char*, const char*>> subject;  // attribute, value; in encoded order
        const char* alt_email;                                     // rfc822Name of the alternative names
        const char* name;
        const char* reason_code;  // nullptr: accepted
    } cases[] = {
        {"CN", {{"C", "JP"}, {"O", "Other"}, {"CN", "BRIMORA K.K."}}, nullptr, "BRIMORA K.K.", nullptr},
        {"first of two CNs", {{"CN", "BRIMORA K.K."}, {"CN", "Other"}}, nullptr, "BRIMORA K.K.", nullptr},
        {"no CN: OU before O", {{"O", "Other"}, {"OU", "BRIMORA K.K."}}, nullptr, "BRIMORA K.K.", nullptr},
        {"no CN: O", {{"C", "JP"}, {"O", "BRIMORA K.K."}}, nullptr, "BRIMORA K.K.", nullptr},
        {"e-mail attribute", {{"emailAddress", "r@brimora.app"}}, "x@brimora.app", "r@brimora.app", "signer_mismatch"},
        {"alternative name", {{"C", "JP"}}, "r@brimora.app", "r@brimora.app", "signer_mismatch"},
        {"other case", {{"CN", "Brimora K.K."}}, nullptr, "Brimora K.K.", "signer_mismatch"},
        {"trailing blank", {{"CN", "BRIMORA K.K. "}}, nullptr, "BRIMORA K.K. ", "signer_mismatch"},
        {"nothing", {{"C", "JP"}}, nullptr, "", "certificate_name_missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> subject(X509_NAME_new(), &X509_NAME_free);
        for (const auto& [field, value] : c.subject) {
            ASSERT_EQ(X509_NAME_add_entry_by_txt(subject.get(), field, MBSTRING_UTF8,
                                                 reinterpret_cast<const unsigned char*>(value), -1, -1, 0),
                      1);
        }
        const std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> alt(GENERAL_NAMES_new(),
                                                                                &GENERAL_NAMES_free);
        if (c.alt_email != nullptr) {
            GENERAL_NAME* email = GENERAL_NAME_new();
            ASN1_IA5STRING* text = ASN1_IA5STRING_new();
            ASSERT_EQ(ASN1_STRING_set(text, c.alt_email, -1), 1);
            GENERAL_NAME_set0_value(email, GEN_EMAIL, text);
            sk_GENERAL_NAME_push(alt.get(), email);
        }
        const auto name = feed::simple_display_name(subject.get(), alt.get());
        ASSERT_TRUE(name.has_value());
        EXPECT_EQ(*name, c.name);
        const auto refusal = feed::signer_refusal(name);
        EXPECT_EQ(refusal ? std::string(refusal->reason_code) : "", c.reason_code ? c.reason_code : "");
    }
}

// How long a CDN may serve latest.yml: more than five minutes, or unbounded, warns.
TEST(FeedProbe, ManifestCaching) {
    const std::int64_t now = 1796000000;
    const struct {
        feed::Headers headers;
        bool warning;
        const char* text_has;
    } cases[] = {
        {{{"cache-control", "public, max-age=60"}}, false, "for 60 s"},
        {{{"cache-control", "max-age=3600"}}, true, "for 3600 s (over 5 minutes)"},
        {{{"cache-control", "max-age=3600, s-maxage=300"}}, false, "for 300 s"},
        {{{"cache-control", "no-cache"}, {"expires", "Thu, 01 Jan 2037 00:00:00 GMT"}}, false, "asks the origin"},
        {{{"date", "Sun, 01 Dec 2026 10:00:00 GMT"}, {"expires", "Sun, 01 Dec 2026 11:00:00 GMT"}}, true, "3600 s"},
        {{{"expires", "0"}}, false, "for 0 s"},
        {{{"etag", "\"x\""}}, true, "no Cache-Control or Expires"},
    };
    for (const auto& c : cases) {
        const feed::CdnNote note = feed::manifest_caching(c.headers, now);
        EXPECT_EQ(note.warning, c.warning) << note.text;
        EXPECT_NE(note.text.find(c.text_has), std::string::npos) << note.text;
    }
    EXPECT_TRUE(feed::payload_caching({}).at(0).warning);
    EXPECT_FALSE(feed::payload_caching({{"accept-ranges", "bytes"}, {"etag", "\"e\""}}).at(1).warning);
}

TEST(FeedCommandLine, UsageAndInputErrorsExitTwo) {
    const TempDir dir;
    ASSERT_TRUE(testing::write_file(dir / "a.exe", std::string_view("x")));
    ASSERT_TRUE(testing::write_file(dir / "latest.yml", manifest()));
    const std::string a = (dir / "a.exe").string();
    const std::string yml = (dir / "latest.yml").string();
    const std::string missing = (dir / "missing").string();
    const struct {
        const char* label;
        test::FeedRun run;
        const char* err_has;
    } cases[] = {
        {"no command", run_feed({}), "usage:"},
        {"unknown command", run_feed({"deploy"}), "unknown command deploy"},
        {"manifest without version", run_feed({"manifest", a}), "--version and INSTALLER are required"},
        {"manifest of a missing file", run_feed({"manifest", "--version", "1.4.0", missing}), "cannot read"},
        {"check of a directory", run_feed({"check", dir.path().string()}), "cannot read"},
        {"check with --trust that holds no certificate", run_feed({"check", yml, "--payload", a, "--trust", yml}),
         "holds no PEM certificate"},
        {"signature of a missing file", run_feed({"signature", missing}), "cannot read"},
        {"signature twice --crl", run_feed({"signature", a, "--crl", a, "--crl", a}), "unexpected argument --crl"},
        {"publish without --to", run_feed({"publish", yml, a}), "--to DIR, MANIFEST and PAYLOAD are required"},
        {"publish into a missing folder", run_feed({"publish", "--to", missing, yml, a}), "does not exist"},
        {"probe over plain HTTP", run_feed({"probe", "http://downloads.brimora.app/"}), "one https:// URL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.run.status, 2);
        EXPECT_NE(c.run.err.find(c.err_has), std::string::npos) << c.run.err;
    }
}

}  // namespace
}  // namespace brimora
