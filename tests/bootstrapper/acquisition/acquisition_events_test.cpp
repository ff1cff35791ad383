#include <gtest/gtest.h>

#include "brimora/acquisition.hpp"

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

constexpr std::string_view STATE_ID = "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6";

TEST(CreateEvent, TakesIdentityAndLocaleFromTheStateAndTheConstantsFromTheSystem) {
    AcquisitionState state;
    state.install_id = *Uuid::parse(STATE_ID);
    state.locale = InstallerLocale::en;
    // Stale copies in the state must not leak into events.
    state.installer_version = "9";
    state.platform = "linux";
    state.arch = "arm64";
    const AcquisitionEventType types[] = {
        AcquisitionEventType::installer_started, AcquisitionEventType::payload_verified,
        AcquisitionEventType::install_succeeded, AcquisitionEventType::installer_failed,
        AcquisitionEventType::existing_app_launched};
    for (const auto type : types) {
        const std::optional<FailureReason> reason =
            type == AcquisitionEventType::installer_failed ? std::optional(FailureReason::cancelled) : std::nullopt;
        const AcquisitionEvent event = AcquisitionEvent::create(state, type, reason);
        const AcquisitionEvent again = AcquisitionEvent::create(state, type, reason);
        const std::string prefix = std::string(STATE_ID) + ":" + std::string(wire_name(type)) + ":";
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

AcquisitionEvent fixed_event() {
    AcquisitionEvent event;
    event.install_id = *Uuid::parse(STATE_ID);
    event.idempotency_key =
        "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6:installer_started:7d444840-9dc0-41d8-b7a1-0a3e2f1c5b6d";
    event.event_type = AcquisitionEventType::installer_started;
    event.occurred_at = "2024-02-29T12:34:56.1234567Z";
    event.installer_version = "1";
    event.platform = "windows";
    event.arch = "x64";
    event.locale = InstallerLocale::ja;
    return event;
}

struct BodyCase {
    std::string_view name;
    AcquisitionEvent event;
    std::string_view body;
};

AcquisitionEvent changed(void (*change)(AcquisitionEvent&)) {
    AcquisitionEvent event = fixed_event();
    change(event);
    return event;
}

constexpr std::string_view HEAD =
    R"({"installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",)"
    R"("idempotencyKey":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6:installer_started:7d444840-9dc0-41d8-b7a1-0a3e2f1c5b6d",)";

TEST(EncodeEvent, IsByteExactWithOptionalMembersLeftOut) {
    const BodyCase cases[] = {
        {"no optional members", fixed_event(),
         R"("eventType":"installer_started","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)"
         R"("platform":"windows","arch":"x64","locale":"ja"})"},
        {"app version", changed([](AcquisitionEvent& e) {
             e.event_type = AcquisitionEventType::install_succeeded;
             e.app_version = "1.4.0-beta.2+exp.sha.5114f85";
         }),
         R"("eventType":"install_succeeded","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)"
         R"("appVersion":"1.4.0-beta.2+exp.sha.5114f85","platform":"windows","arch":"x64","locale":"ja"})"},
        {"cancelled", changed([](AcquisitionEvent& e) {
             e.event_type = AcquisitionEventType::installer_failed;
             e.locale = InstallerLocale::en;
             e.reason_code = FailureReason::cancelled;
         }),
         R"("eventType":"installer_failed","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)"
         R"("platform":"windows","arch":"x64","locale":"en","reasonCode":"cancelled"})"},
        {"unknown", changed([](AcquisitionEvent& e) {
             e.event_type = AcquisitionEventType::installer_failed;
             e.reason_code = FailureReason::unknown;
         }),
         R"("eventType":"installer_failed","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)"
         R"("platform":"windows","arch":"x64","locale":"ja","reasonCode":"unknown"})"},
        {"both optional members", changed([](AcquisitionEvent& e) {
             e.event_type = AcquisitionEventType::existing_app_launched;
             e.app_version = "3.0.0";
             e.reason_code = FailureReason::network_error;
         }),
         R"("eventType":"existing_app_launched","occurredAt":"2024-02-29T12:34:56.1234567Z","installerVersion":"1",)"
         R"("appVersion":"3.0.0","platform":"windows","arch":"x64","locale":"ja","reasonCode":"network_error"})"},
        {"escapes and raw UTF-8", changed([](AcquisitionEvent& e) {
             e.event_type = AcquisitionEventType::payload_verified;
             e.app_version = "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f \xE7\x89\x88 \xF0\x9F\x98\x80";
         }),
         "\"eventType\":\"payload_verified\",\"occurredAt\":\"2024-02-29T12:34:56.1234567Z\",\"installerVersion\":"
         "\"1\","
         "\"appVersion\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xE7\x89\x88 \xF0\x9F\x98\x80\","
         "\"platform\":\"windows\",\"arch\":\"x64\",\"locale\":\"ja\"}"},
        {"ill-formed UTF-8 replaced", changed([](AcquisitionEvent& e) {
             e.app_version =
                 "a\xFF"
                 "b\xC0\xAF"
                 "c\xED\xA0\x80"
                 "d\xE7\x89";
         }),
         "\"eventType\":\"installer_started\",\"occurredAt\":\"2024-02-29T12:34:56.1234567Z\",\"installerVersion\":"
         "\"1\","
         "\"appVersion\":\"a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\xEF\xBF\xBD"
         "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "d\xEF\xBF\xBD\xEF\xBF\xBD\",\"platform\":\"windows\",\"arch\":\"x64\",\"locale\":\"ja\"}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_event(c.event), std::string(HEAD) + std::string(c.body)) << c.name;
    }
}

}  // namespace
}  // namespace brimora
