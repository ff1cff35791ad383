#include <array>

#include "brimora/acquisition.hpp"
#include "json_text.hpp"

namespace brimora {
namespace {

constexpr std::array<std::string_view, 5> EVENT_TYPE_NAMES = {
    "installer_started", "payload_verified", "install_succeeded", "installer_failed", "existing_app_launched",
};

constexpr std::array<std::string_view, 12> FAILURE_REASON_NAMES = {
    "network_error",         "manifest_invalid",      "download_failed",   "insufficient_disk_space",
    "payload_size_mismatch", "payload_hash_mismatch", "signature_invalid", "signer_mismatch",
    "install_failed",        "launch_failed",         "cancelled",         "unknown",
};

static_assert(EVENT_TYPE_NAMES.size() == static_cast<std::size_t>(AcquisitionEventType::existing_app_launched) + 1);
static_assert(FAILURE_REASON_NAMES.size() == static_cast<std::size_t>(FailureReason::unknown) + 1);

template <std::size_t N, typename Enum>
std::string_view name_in(const std::array<std::string_view, N>& names, Enum value) {
    const auto index = static_cast<std::size_t>(value);
    // Only a cast can make a value past the table; it gets no name rather than a read out of bounds.
    return index < N ? names[index] : std::string_view{};
}

void append_member(std::string& out, std::string_view key, std::string_view value) {
    out.push_back(',');
    detail::append_json_string(out, key);
    out.push_back(':');
    detail::append_json_string(out, value);
}

}  // namespace

std::string_view wire_name(AcquisitionEventType type) { return name_in(EVENT_TYPE_NAMES, type); }

std::string_view wire_name(FailureReason reason) { return name_in(FAILURE_REASON_NAMES, reason); }

AcquisitionEvent AcquisitionEvent::create(const AcquisitionState& state, AcquisitionEventType type,
                                          std::optional<FailureReason> reason) {
    std::string key = state.install_id.to_string();
    key.append(":").append(wire_name(type)).append(":").append(Uuid::random_v4().to_string());
    AcquisitionEvent event;
    event.install_id = state.install_id;
    event.idempotency_key = std::move(key);
    event.event_type = type;
    event.occurred_at = now_rfc3339();
    event.installer_version = INSTALLER_VERSION;
    event.platform = PLATFORM;
    event.arch = ARCH;
    event.locale = state.locale;
    event.reason_code = reason;
    return event;
}

AcquisitionEvent with_app_version(AcquisitionEvent event, std::string version) {
    event.app_version = std::move(version);
    return event;
}

std::string encode_event(const AcquisitionEvent& event) {
    std::string out = "{\"installId\":";
    out.reserve(320);
    detail::append_json_string(out, event.install_id.to_string());
    append_member(out, "idempotencyKey", event.idempotency_key);
    append_member(out, "eventType", wire_name(event.event_type));
    append_member(out, "occurredAt", event.occurred_at);
    append_member(out, "installerVersion", event.installer_version);
    if (event.app_version) {
        append_member(out, "appVersion", *event.app_version);
    }
    append_member(out, "platform", event.platform);
    append_member(out, "arch", event.arch);
    append_member(out, "locale", wire_name(event.locale));
    if (event.reason_code) {
        append_member(out, "reasonCode", wire_name(*event.reason_code));
    }
    out.push_back('}');
    return out;
}

}  // namespace brimora
