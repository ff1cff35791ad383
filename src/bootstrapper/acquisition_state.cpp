#include <cstddef>
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
detail::NativePath native_ascii(std::string_view text) { return detail::NativePath(text.begin(), text.end()); }

// The target's own name, unless it has none or is not well-formed Unicode: such a name is not
// carried into another file's name, and the state file's name stands in.
detail::NativePath temp_base_name(detail::NativePathView target) {
    const detail::NativePathView name = detail::native_file_name(target);
    if (name.empty() || !is_well_formed(name)) {
        return native_ascii(STATE_FILE_NAME);
    }
    return detail::NativePath(name);
}

}  // namespace

AcquisitionState AcquisitionState::create(InstallerLocale locale) {
    // Built whole rather than member by member: GCC 12 at -O3 reports a false -Wrestrict on
    // assigning a short literal to a std::string member.
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
    return schema_version == 1 && installer_version == INSTALLER_VERSION && platform == PLATFORM &&
           arch == ARCH && is_rfc3339_date_time(created_at);
}

namespace detail {

std::expected<void, std::error_code> write_atomically(const NativePath& path, const AcquisitionState& state) {
    if (const NativePath parent = native_parent(path); !parent.empty()) {
        if (auto made = make_directories(parent); !made) {
            return std::unexpected(made.error());
        }
    }
    const std::string id = Uuid::random_v4().to_string();
    // Beside the target, in the directory its last component lives in.
    const NativePathView target(path);
    NativePath temp(target.substr(0, target.size() - native_file_name(target).size()));
    temp += native_ascii(".");
    temp += temp_base_name(target);
    temp += native_ascii("." + id + ".tmp");
    return write_then_replace(temp, path, encode_state(state));
}

std::expected<AcquisitionState, std::error_code> load_or_create(const NativePath& path, InstallerLocale locale) {
    // A file that cannot be read is treated like one that holds garbage: both mean a new identity.
    // The file is the user's to change, so its size is capped: a valid one is a few hundred bytes,
    // and a huge one must not exhaust memory at every start.
    if (auto bytes = read_whole_file(path, STATE_FILE_MAX_BYTES)) {
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

}  // namespace detail

std::expected<void, std::error_code> write_atomically(const std::filesystem::path& path,
                                                      const AcquisitionState& state) {
    return detail::write_atomically(path.native(), state);
}

std::expected<AcquisitionState, std::error_code> load_or_create(const std::filesystem::path& path,
                                                                InstallerLocale locale) {
    return detail::load_or_create(path.native(), locale);
}

}  // namespace brimora
