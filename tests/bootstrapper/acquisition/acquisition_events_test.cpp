#include <gtest/gtest.h>

#include "brimora/acquisition.hpp"
#include "state_samples.hpp"

namespace brimora {
namespace {

TEST(WireNames, FollowTheDeclarationOrder) {
    const std::string_view types[] = {"installer_started", "payload_verified", "install_succeeded", "installer_failed",
                                      "existing_app_launched"};
    for (std::size_t i = 0; i < std::size(types); ++i) {
        EXPECT_EQ(wire_name(static_cast<AcquisitionEventType>(i)), types[i]) << i;
    }
    const std::string_view reasons[] = {
        "network_error",         "manifest_invalid",      "download_failed",   "insufficient_disk_space",
        "payload_size_mismatch", "payload_hash_mismatch", "signature_invalid", "signer_mismatch",
        "install_failed",        "launch_failed",         "cancelled",         "unknown",
    };
    for (std::size_t i = 0; i < std::size(reasons); ++i) {
        EXPECT_EQ(wire_name(static_cast<FailureReason>(i)), reasons[i]) << i;
    }
    EXPECT_EQ(wire_name(InstallerLocale::ja), "ja");
    EXPECT_EQ(wire_name(InstallerLocale::en), "en");
}

using testing::SAMPLE_ID;

TEST(CreateEvent, TakesIdentityAndLocaleFromTheStateAndTheConstantsFromTheSystem) {
    AcquisitionState state;
    state.install_id = *Uuid::parse(SAMPLE_ID);
    state.locale = InstallerLocale::en;
    // Stale copies in the state must not leak into events.
    state.installer_version = "9";
    state.platform = "linux";
    state.arch = "arm64";
    for (int i = 0; i <= static_cast<int>(AcquisitionEventType::existing_app_launched); ++i) {
        const auto type = static_cast<AcquisitionEventType>(i);
        const std::optional<FailureReason> reason =
            type == AcquisitionEventType::installer_failed ? std::optional(FailureReason::cancelled) : std::nullopt;
        const AcquisitionEvent event = AcquisitionEvent::create(state, type, reason);
        const AcquisitionEvent again = AcquisitionEvent::create(state, type, reason);
        const std::string prefix = std::string(SAMPLE_ID) + ":" + std::string(wire_name(type)) + ":";
        const std::string& key = event.idempotency_key;
        ASSERT_EQ(key.size(), 74 + wire_name(type).size()) << key;
        EXPECT_EQ(key.substr(0, prefix.size()), prefix);
        const auto tail = Uuid::parse(key.substr(prefix.size()));
        ASSERT_TRUE(tail.has_value()) << key;
        EXPECT_EQ(tail->to_string(), key.substr(prefix.size())) << "lower-case hyphenated";
        EXPECT_EQ(tail->bytes()[6] >> 4, 4) << key;
        EXPECT_NE(again.idempotency_key, key);
        EXPECT_EQ(event.install_id, state.install_id);
        EXPECT_EQ(event.event_type, type);
        EXPECT_TRUE(is_rfc3339_date_time(event.occurred_at)) << event.occurred_at;
        EXPECT_EQ(event.installer_version, "1");
        EXPECT_EQ(event.platform, "windows");
        EXPECT_EQ(event.arch, "x64");
        EXPECT_EQ(event.locale, InstallerLocale::en);
        EXPECT_FALSE(event.app_version.has_value());
        EXPECT_EQ(event.reason_code, reason);
    }
}

TEST(WithAppVersion, TheLastVersionWins) {
    const AcquisitionEvent event = AcquisitionEvent::create(AcquisitionState::create(InstallerLocale::ja),
                                                            AcquisitionEventType::payload_verified, std::nullopt);
    const AcquisitionEvent first = with_app_version(event, "1.2.3");
    const AcquisitionEvent second = with_app_version(first, "2.0.0-rc.1+b7");
    EXPECT_EQ(first.app_version, "1.2.3");
    EXPECT_EQ(second.app_version, "2.0.0-rc.1+b7");
    EXPECT_EQ(second.idempotency_key, event.idempotency_key);
    EXPECT_EQ(second.locale, InstallerLocale::ja);
}

// Every row starts from one event of installer_started in Japanese with no optional member.
TEST(EncodeEvent, IsByteExactWithOptionalMembersLeftOut) {
    using Type = AcquisitionEventType;
    const struct {
        std::string_view name;
        Type type;
        InstallerLocale locale;
        std::optional<std::string> app_version;
        std::optional<FailureReason> reason;
        std::string_view body;  // after "installerVersion":"1",
    } cases[] = {
        // clang-format off
        {"no optional members", Type::installer_started, InstallerLocale::ja, std::nullopt, std::nullopt,
         R"("platform":"windows","arch":"x64","locale":"ja"})"},
        {"app version", Type::install_succeeded, InstallerLocale::ja, "1.4.0-beta.2+exp.sha.5114f85", std::nullopt,
         R"("appVersion":"1.4.0-beta.2+exp.sha.5114f85","platform":"windows","arch":"x64","locale":"ja"})"},
        {"cancelled", Type::installer_failed, InstallerLocale::en, std::nullopt, FailureReason::cancelled,
         R"("platform":"windows","arch":"x64","locale":"en","reasonCode":"cancelled"})"},
        {"unknown", Type::installer_failed, InstallerLocale::ja, std::nullopt, FailureReason::unknown,
         R"("platform":"windows","arch":"x64","locale":"ja","reasonCode":"unknown"})"},
        {"both optional members", Type::existing_app_launched, InstallerLocale::ja, "3.0.0", FailureReason::network_error,
         R"("appVersion":"3.0.0","platform":"windows","arch":"x64","locale":"ja","reasonCode":"network_error"})"},
        {"escapes and raw UTF-8", Type::payload_verified, InstallerLocale::ja, "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f \xE7\x89\x88 \xF0\x9F\x98\x80", std::nullopt,
         "\"appVersion\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xE7\x89\x88 \xF0\x9F\x98\x80\",\"platform\":\"windows\",\"arch\":\"x64\",\"locale\":\"ja\"}"},
        {"ill-formed UTF-8 replaced", Type::installer_started, InstallerLocale::ja, "a\xFF" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE7\x89", std::nullopt,
         "\"appVersion\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "d\xEF\xBF\xBD\xEF\xBF\xBD\",\"platform\":\"windows\",\"arch\":\"x64\",\"locale\":\"ja\"}"},
        // clang-format on
    };
    const std::string key = std::string(SAMPLE_ID) + ":installer_started:7d444840-9dc0-41d8-b7a1-0a3e2f1c5b6d";
    for (const auto& c : cases) {
        const AcquisitionEvent event(*Uuid::parse(SAMPLE_ID), key, c.type, "2024-02-29T12:34:56.1234567Z", "1",
                                     c.app_version, "windows", "x64", c.locale, c.reason);
        EXPECT_EQ(encode_event(event), R"({"installId":")" + std::string(SAMPLE_ID) + R"(","idempotencyKey":")" + key +
                                           R"(","eventType":")" + std::string(wire_name(c.type)) +
                                           R"(","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)" +
                                           std::string(c.body))
            << c.name;
    }
}

}  // namespace
}  // namespace brimora
