#include <cstddef>
#include <chrono>
#include <cstdint>
#include <string_view>

#include "brimora/acquisition.hpp"
#include "acquisition_file.hpp"
#include "file_io.hpp"
#include "json_text.hpp"

namespace brimora {
namespace {

// Native names are bytes on POSIX and UTF-16 on Windows; overloads pick the platform's rule.
[[maybe_unused]] bool is_well_formed(std::string_view name) { return detail::is_valid_utf8(name); }

[[maybe_unused]] bool is_well_formed(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == text.size() || static_cast<std::uint32_t>(text[i + 1]) < 0xDC00 ||
                static_cast<std::uint32_t>(text[i + 1]) > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// An ASCII text as a native path string. Widening by hand rather than through path's converting
// constructors keeps libstdc++'s locale machinery (hundreds of KiB) out of the Windows executable.
NativePath native_ascii(std::string_view text) { return NativePath(text.begin(), text.end()); }

// The target's own name, unless it has none or is not well-formed Unicode: such a name is not
// carried into another file's name, and the state file's name stands in.
NativePath temp_base_name(NativePathView target) {
    const NativePathView name = detail::native_file_name(target);
    if (name.empty() || !is_well_formed(name)) {
        return native_ascii(STATE_FILE_NAME);
    }
    return NativePath(name);
}

// The target's directory as a prefix that a file name can be appended to: "" for a bare name.
NativePathView directory_prefix(NativePathView target) {
    return target.substr(0, target.size() - detail::native_file_name(target).size());
}

// A start killed between creating a temporary and moving it into place leaves the temporary
// behind, and nothing else ever removes it: repeated kills would pile them up. Only names this
// program makes are touched, never another program's files. A temporary that someone holds, or
// that was written lately, may be another writer's (a second installer in another session, which
// the single-instance guard does not see) with its move still to come: it stays. Failures are
// ignored: a leftover that cannot go now is tried again at the next start.
void remove_stale_temporaries(NativePathView target, std::chrono::seconds stale_after) {
    const NativePath prefix(directory_prefix(target));
    const NativePath base = temp_base_name(target);
    auto names = detail::list_directory(prefix.empty() ? native_ascii(".") : prefix);
    if (!names) {
        return;
    }
    for (const NativePath& name : *names) {
        if (detail::is_own_temporary_name(name, base)) {
            static_cast<void>(detail::remove_stale_file(prefix + name, stale_after));
        }
    }
}

}  // namespace

AcquisitionState AcquisitionState::create(InstallerLocale locale) {
    return AcquisitionState{
        .schema_version = STATE_SCHEMA_VERSION,
        .install_id = Uuid::random_v4(),
        .installer_version = std::string(INSTALLER_VERSION),
        .platform = std::string(PLATFORM),
        .arch = std::string(ARCH),
        .locale = locale,
        .created_at = now_rfc3339(),
        .app_first_open_reported_at = std::nullopt,
    };
}

bool AcquisitionState::is_valid_for_bootstrapper() const {
    return schema_version == 1 && installer_version == INSTALLER_VERSION && platform == PLATFORM && arch == ARCH &&
           is_rfc3339_date_time(created_at);
}

std::expected<void, std::error_code> write_atomically(const NativePath& path, const AcquisitionState& state) {
    if (const NativePath parent = detail::native_parent(path); !parent.empty()) {
        if (auto made = make_directories(parent); !made) {
            return std::unexpected(made.error());
        }
    }
    const std::string id = Uuid::random_v4().to_string();
    // Beside the target, in the directory its last component lives in.
    const NativePathView target(path);
    NativePath temp(directory_prefix(target));
    temp += native_ascii(".");
    temp += temp_base_name(target);
    temp += native_ascii("." + id + ".tmp");
    return detail::write_then_replace(temp, path, encode_state(state));
}

namespace detail {

bool is_own_temporary_name(NativePathView name, NativePathView target_name) {
    // "." + target name + "." + a lower-case hyphenated version-4 UUID + ".tmp", as written above.
    constexpr std::size_t UUID_LENGTH = 36;
    const std::size_t head = 1 + target_name.size() + 1;
    if (name.size() != head + UUID_LENGTH + 4 || name[0] != '.' || name.substr(1, target_name.size()) != target_name ||
        name[head - 1] != '.' || name.substr(head + UUID_LENGTH) != native_ascii(".tmp")) {
        return false;
    }
    const NativePathView id = name.substr(head, UUID_LENGTH);
    for (std::size_t i = 0; i < UUID_LENGTH; ++i) {
        const auto c = static_cast<std::uint32_t>(id[i]);
        const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (hyphen_place ? c != '-' : !hex) {
            return false;
        }
    }
    return id[14] == '4' && (id[19] == '8' || id[19] == '9' || id[19] == 'a' || id[19] == 'b');
}

}  // namespace detail

std::expected<AcquisitionState, std::error_code> load_or_create(const NativePath& path, InstallerLocale locale,
                                                                std::chrono::seconds stale_after) {
    remove_stale_temporaries(path, stale_after);
    // A file that cannot be read is treated like one that holds garbage: both mean a new identity.
    // The file is the user's to change, so its size is capped: a valid one is a few hundred bytes,
    // and a huge one must not exhaust memory at every start.
    if (auto bytes = detail::read_whole_file(path, STATE_FILE_MAX_BYTES)) {
        if (auto loaded = decode_state(*bytes); loaded && loaded->is_valid_for_bootstrapper()) {
            return *std::move(loaded);
        }
    }
    AcquisitionState state = AcquisitionState::create(locale);
    if (auto written = write_atomically(path, state); !written) {
        return std::unexpected(written.error());
    }
    return state;
}

}  // namespace brimora
