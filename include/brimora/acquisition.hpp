#pragma once
// Acquisition reporting: the per-user state file "acquisition.json" and the anonymous event
// records sent to the event service.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "brimora/files.hpp"
#include "brimora/uuid.hpp"

namespace brimora {

enum class InstallerLocale : std::uint8_t { ja, en };

// "ja" or "en".
[[nodiscard]] std::string_view wire_name(InstallerLocale locale);

inline constexpr std::uint8_t STATE_SCHEMA_VERSION = 1;
inline constexpr std::string_view INSTALLER_VERSION = "1";
inline constexpr std::string_view PLATFORM = "windows";
inline constexpr std::string_view ARCH = "x64";
inline constexpr std::string_view STATE_FILE_NAME = "acquisition.json";
// A state file longer than this is not read; it is replaced like any other invalid file.
inline constexpr std::size_t STATE_FILE_MAX_BYTES = 65536;

struct AcquisitionState {
    std::uint8_t schema_version = STATE_SCHEMA_VERSION;
    Uuid install_id;
    std::string installer_version;
    std::string platform;
    std::string arch;
    InstallerLocale locale = InstallerLocale::en;
    std::string created_at;
    std::optional<std::string> app_first_open_reported_at;

    // A fresh identity: random v4 install id, the fixed descriptors, created now.
    [[nodiscard]] static AcquisitionState create(InstallerLocale locale);

    // The acceptance rule for a loaded file: schema 1, the fixed descriptors, an RFC 3339 createdAt.
    [[nodiscard]] bool is_valid_for_bootstrapper() const;

    bool operator==(const AcquisitionState&) const = default;
};

// The file form: compact JSON, the eight members in fixed order, no trailing newline.
[[nodiscard]] std::string encode_state(const AcquisitionState& state);

// Strict reader: one object (JSON whitespace around it only, no BOM), members in any order,
// unknown members ignored, duplicates rejected, exact types. Nothing when the text breaks a rule.
[[nodiscard]] std::optional<AcquisitionState> decode_state(std::string_view text);

// A temporary of the state file's writer counts as left behind once it was last written this long ago.
inline constexpr std::chrono::seconds STALE_TEMPORARY_AGE = std::chrono::minutes(10);

// Reads and accepts the file unchanged (never rewriting it), or creates, writes and returns a
// new identity; only a failed write is an error. First deletes the writer's temporaries beside it
// that nobody holds and that were last written at least `stale_after` ago.
[[nodiscard]] std::expected<AcquisitionState, std::error_code> load_or_create(
    const NativePath& path, InstallerLocale locale, std::chrono::seconds stale_after = STALE_TEMPORARY_AGE);

// Writes the file form through a flushed temporary sibling ".<name>.<uuid>.tmp" that is moved over
// `path` in one step while still open.
[[nodiscard]] std::expected<void, std::error_code> write_atomically(const NativePath& path,
                                                                    const AcquisitionState& state);

// RFC 3339 date-time as the acceptance rule reads it (any one separator character, Z or z or a
// numeric offset, optional fraction, valid calendar and clock values).
[[nodiscard]] bool is_rfc3339_date_time(std::string_view text);

// UTC as RFC 3339 with "Z"; the fraction is the nanoseconds with trailing zeros removed, absent at
// a whole second. `nanoseconds` must be below 1e9.
[[nodiscard]] std::string format_rfc3339_utc(std::int64_t unix_seconds, std::uint32_t nanoseconds);

// The current time, from the platform's precise UTC clock, formatted as above.
[[nodiscard]] std::string now_rfc3339();

enum class AcquisitionEventType : std::uint8_t {
    installer_started,
    payload_verified,
    install_succeeded,
    installer_failed,
    existing_app_launched,
};

enum class FailureReason : std::uint8_t {
    network_error,
    manifest_invalid,
    download_failed,
    insufficient_disk_space,
    payload_size_mismatch,
    payload_hash_mismatch,
    signature_invalid,
    signer_mismatch,
    install_failed,
    launch_failed,
    cancelled,
    unknown,
};

// The snake_case wire names, equal to the value names.
[[nodiscard]] std::string_view wire_name(AcquisitionEventType type);
[[nodiscard]] std::string_view wire_name(FailureReason reason);

struct AcquisitionEvent {
    Uuid install_id;
    std::string idempotency_key;
    AcquisitionEventType event_type = AcquisitionEventType::installer_started;
    std::string occurred_at;
    std::string installer_version;
    std::optional<std::string> app_version;
    std::string platform;
    std::string arch;
    InstallerLocale locale = InstallerLocale::en;
    std::optional<FailureReason> reason_code;

    // A new event of the state's identity and locale, keyed "<installId>:<type>:<new uuid>",
    // occurring now, with no app version.
    [[nodiscard]] static AcquisitionEvent create(const AcquisitionState& state, AcquisitionEventType type,
                                                 std::optional<FailureReason> reason);
};

// The event with `appVersion` set to `version`, replacing any earlier one.
[[nodiscard]] AcquisitionEvent with_app_version(AcquisitionEvent event, std::string version);

// Compact JSON body in wire order; absent optional members are left out, never null.
[[nodiscard]] std::string encode_event(const AcquisitionEvent& event);

}  // namespace brimora
