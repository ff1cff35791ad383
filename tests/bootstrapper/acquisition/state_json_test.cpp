#include <gtest/gtest.h>

#include "brimora/acquisition.hpp"
#include "state_samples.hpp"

namespace brimora {
namespace {

using testing::VALID_STATE;
using testing::valid_state_with;

AcquisitionState sample_state() {
    return AcquisitionState{
        .schema_version = 1,
        .install_id = *Uuid::parse(testing::SAMPLE_ID),
        .installer_version = "1",
        .platform = "windows",
        .arch = "x64",
        .locale = InstallerLocale::en,
        .created_at = "2024-02-29T12:34:56.789Z",
        .app_first_open_reported_at = std::nullopt,
    };
}

struct EncodeCase {
    std::string_view name;
    AcquisitionState state;
    std::string_view expected;
};

TEST(EncodeState, IsCompactInFixedOrder) {
    AcquisitionState with_text = sample_state();
    with_text.app_first_open_reported_at = "2024-03-01T00:00:00Z";
    with_text.locale = InstallerLocale::ja;
    AcquisitionState escaped = sample_state();
    escaped.schema_version = 255;
    escaped.platform = "a\"b\\c\nd\x01";
    escaped.app_first_open_reported_at = "\xE6\x97\xA5";
    const EncodeCase cases[] = {
        {"absent app open", sample_state(), VALID_STATE},
        {"app open text", with_text,
         R"({"schemaVersion":1,"installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6","installerVersion":"1",)"
         R"("platform":"windows","arch":"x64","locale":"ja","createdAt":"2024-02-29T12:34:56.789Z",)"
         R"("appFirstOpenReportedAt":"2024-03-01T00:00:00Z"})"},
        {"escapes", escaped,
         R"({"schemaVersion":255,"installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6","installerVersion":"1",)"
         R"("platform":"a\"b\\c\nd\u0001","arch":"x64","locale":"en","createdAt":"2024-02-29T12:34:56.789Z",)"
         "\"appFirstOpenReportedAt\":\"\xE6\x97\xA5\"}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_state(c.state), c.expected) << c.name;
        EXPECT_EQ(decode_state(encode_state(c.state)), c.state) << c.name;
    }
}

struct AcceptedCase {
    std::string name;
    std::string text;
    AcquisitionState expected;
};

TEST(DecodeState, AcceptsEveryLegalSpelling) {
    const AcquisitionState base = sample_state();
    auto with = [&](auto change) {
        AcquisitionState state = base;
        change(state);
        return state;
    };
    const std::string reversed =
        R"({"appFirstOpenReportedAt":null,"createdAt":"2024-02-29T12:34:56.789Z","locale":"en","arch":"x64",)"
        R"("platform":"windows","installerVersion":"1","installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",)"
        R"("schemaVersion":1})";
    const AcceptedCase cases[] = {
        {"as written", std::string(VALID_STATE), base},
        {"members reversed", reversed, base},
        {"whitespace everywhere",
         " \t\r\n{ \"schemaVersion\" :\n1 ,\r\n" + std::string(VALID_STATE).substr(19) + "\n\t ", base},
        {"app open missing", valid_state_with(R"(,"appFirstOpenReportedAt":null)", ""), base},
        {"app open text", valid_state_with("null}", R"("later"})"),
         with([](auto& s) { s.app_first_open_reported_at = "later"; })},
        {"unknown members of every kind",
         valid_state_with("{", R"({"x":[[[{"a":1,"a":2}]]],"y":{"z":null},"n":-1.5e3,"b":true,"s":"","schema":"1",)"),
         base},
        {"upper-case braced id", valid_state_with(testing::SAMPLE_ID, "{0F8E2D4C-1B3A-4C5D-9E6F-A1B2C3D4E5F6}"), base},
        {"urn id", valid_state_with(testing::SAMPLE_ID, "urn:uuid:0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6"), base},
        {"bare hex id", valid_state_with(testing::SAMPLE_ID, "0f8e2d4c1b3a4c5d9e6fa1b2c3d4e5f6"), base},
        {"escaped texts", valid_state_with(R"("installerVersion":"1")", R"("installerVersion":"\u0031")"), base},
        {"schema 0", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":0)"),
         with([](auto& s) { s.schema_version = 0; })},
        {"schema 255", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":255)"),
         with([](auto& s) { s.schema_version = 255; })},
        {"schema minus zero", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":-0)"),
         with([](auto& s) { s.schema_version = 0; })},
        {"ja", valid_state_with(R"("en")", R"("ja")"), with([](auto& s) { s.locale = InstallerLocale::ja; })},
        {"odd descriptors", valid_state_with(R"("windows")", R"("Windows 11")"),
         with([](auto& s) { s.platform = "Windows 11"; })},
    };
    for (const auto& c : cases) {
        const auto decoded = decode_state(c.text);
        ASSERT_TRUE(decoded.has_value()) << c.name << ": " << c.text;
        EXPECT_EQ(*decoded, c.expected) << c.name;
    }
}

struct RejectedCase {
    std::string_view name;
    std::string text;
};

TEST(DecodeState, RejectsWhatBreaksTheReadingRules) {
    const std::string valid(VALID_STATE);
    const RejectedCase cases[] = {
        {"empty", ""},
        {"whitespace only", " \n"},
        {"byte-order mark", "\xEF\xBB\xBF" + valid},
        {"byte-order mark after whitespace", " \xEF\xBB\xBF" + valid},
        {"trailing text", valid + "x"},
        {"second object", valid + "{}"},
        {"trailing NUL", valid + std::string(1, '\0')},
        {"NUL then junk", valid + std::string(1, '\0') + "junk"},
        {"form feed is not JSON whitespace", "\f" + valid},
        {"comment", "/*c*/" + valid},
        {"truncated", valid.substr(0, valid.size() - 1)},
        {"array form",
         R"([1,"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6","1","windows","x64","en","2024-02-29T12:34:56Z",null])"},
        {"root string", R"("x")"},
        {"duplicate known member", valid_state_with(R"("arch":"x64")", R"("arch":"x64","arch":"x64")")},
        {"duplicate unknown member", valid_state_with("{", R"({"x":1,"x":1,)")},
        {"duplicate by escape", valid_state_with("{", R"({"install\u0049d":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",)")},
        {"schema fraction", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":1.0)")},
        {"schema exponent", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":1e0)")},
        {"schema negative", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":-1)")},
        {"schema 256", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":256)")},
        {"schema huge", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":18446744073709551617)")},
        {"schema string", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":"1")")},
        {"schema true", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":true)")},
        {"schema null", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":null)")},
        {"schema leading zero", valid_state_with(R"("schemaVersion":1)", R"("schemaVersion":01)")},
        {"id not a uuid", valid_state_with(testing::SAMPLE_ID, "0f8e2d4c-1b3a-4c5d-9e6f")},
        {"id number", valid_state_with(R"("0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6")", "7")},
        {"locale upper case", valid_state_with(R"("en")", R"("EN")")},
        {"locale other", valid_state_with(R"("en")", R"("fr")")},
        {"locale object", valid_state_with(R"("en")", R"({"en":null})")},
        {"locale null", valid_state_with(R"("en")", "null")},
        {"installer version number", valid_state_with(R"("installerVersion":"1")", R"("installerVersion":1)")},
        {"platform null", valid_state_with(R"("windows")", "null")},
        {"arch array", valid_state_with(R"("x64")", R"(["x64"])")},
        {"created number", valid_state_with(R"("2024-02-29T12:34:56.789Z")", "1709210096")},
        {"app open number", valid_state_with("null}", "0}")},
        {"app open false", valid_state_with("null}", "false}")},
        {"app open object", valid_state_with("null}", "{}}")},
        {"invalid UTF-8", valid_state_with("x64", "x\xFF")},
        {"lone surrogate escape", valid_state_with("x64", R"(\ud800)")},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(decode_state(c.text).has_value()) << c.name << ": " << c.text;
    }
}

TEST(DecodeState, RequiresEveryMemberButAppFirstOpen) {
    const std::string_view required[] = {
        R"("schemaVersion":1,)",
        R"("installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",)",
        R"("installerVersion":"1",)",
        R"("platform":"windows",)",
        R"("arch":"x64",)",
        R"("locale":"en",)",
        R"("createdAt":"2024-02-29T12:34:56.789Z",)",
    };
    for (const auto member : required) {
        const std::string text = valid_state_with(member, "");
        ASSERT_NE(text, VALID_STATE) << member;
        EXPECT_FALSE(decode_state(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace brimora
