#include <array>
#include <cstddef>
#include <set>

#include <nlohmann/json.hpp>

#include "brimora/acquisition.hpp"
#include "json_text.hpp"

namespace brimora {
namespace {

enum class Member : std::uint8_t {
    schema_version,
    install_id,
    installer_version,
    platform,
    arch,
    locale,
    created_at,
    app_first_open_reported_at,
    unknown,
};

constexpr std::array<std::string_view, 8> MEMBER_KEYS = {
    "schemaVersion", "installId", "installerVersion", "platform",
    "arch",          "locale",    "createdAt",        "appFirstOpenReportedAt",
};

// Every member but appFirstOpenReportedAt, one bit each.
constexpr unsigned REQUIRED_MEMBERS = 0x7F;

Member member_of(std::string_view key) {
    for (std::size_t i = 0; i < MEMBER_KEYS.size(); ++i) {
        if (MEMBER_KEYS[i] == key) {
            return static_cast<Member>(i);
        }
    }
    return Member::unknown;
}

// Fed by nlohmann's SAX parser. Everything it dislikes ends the parse by returning false, so the
// library's own last-key-wins object building and its exceptions never come into play. Depth 1
// is the top-level object; whatever sits deeper belongs to an unknown member and is skipped
// without looking at it.
class StrictStateReader {
public:
    using json = nlohmann::json;

    bool null() {
        return top_level_value(pending_ == Member::app_first_open_reported_at,
                               [&] { state_.app_first_open_reported_at.reset(); });
    }
    bool boolean(bool /*value*/) {
        return top_level_value(false, [] {});
    }
    bool number_unsigned(json::number_unsigned_t value) { return schema_version(value <= 255, value); }
    // nlohmann reports "-0" here; it is the integer 0 and so within range.
    bool number_integer(json::number_integer_t value) { return schema_version(value == 0, 0); }
    // Fractions and exponents land here (1.0 and 1e0 included): never a schemaVersion.
    bool number_float(json::number_float_t /*value*/, const json::string_t& /*text*/) {
        return top_level_value(false, [] {});
    }
    bool binary(json::binary_t& /*value*/) { return false; }

    bool string(json::string_t& value) {
        if (depth_ != 1) {
            return depth_ > 1;
        }
        switch (pending_) {
            case Member::install_id: {
                auto id = Uuid::parse(value);
                if (!id) {
                    return false;
                }
                state_.install_id = *id;
                break;
            }
            case Member::locale:
                if (value == "ja") {
                    state_.locale = InstallerLocale::ja;
                } else if (value == "en") {
                    state_.locale = InstallerLocale::en;
                } else {
                    return false;
                }
                break;
            case Member::installer_version:
                state_.installer_version = std::move(value);
                break;
            case Member::platform:
                state_.platform = std::move(value);
                break;
            case Member::arch:
                state_.arch = std::move(value);
                break;
            case Member::created_at:
                state_.created_at = std::move(value);
                break;
            case Member::app_first_open_reported_at:
                state_.app_first_open_reported_at = std::move(value);
                break;
            case Member::schema_version:
                return false;
            case Member::unknown:
                return true;
        }
        mark_seen();
        return true;
    }

    bool start_object(std::size_t /*elements*/) { return open(true); }
    bool start_array(std::size_t /*elements*/) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& name) {
        if (depth_ == 1) {
            if (!keys_.insert(name).second) {
                return false;
            }
            pending_ = member_of(name);
        }
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const nlohmann::detail::exception& /*error*/) {
        return false;
    }

    [[nodiscard]] std::optional<AcquisitionState> result() && {
        if ((seen_ & REQUIRED_MEMBERS) != REQUIRED_MEMBERS) {
            return std::nullopt;
        }
        return std::move(state_);
    }

private:
    // A scalar that is not a string: fine for an unknown member or when `accepted` for the pending one.
    template <typename Store>
    bool top_level_value(bool accepted, Store store) {
        if (depth_ != 1) {
            return depth_ > 1;
        }
        if (pending_ == Member::unknown) {
            return true;
        }
        if (!accepted) {
            return false;
        }
        store();
        mark_seen();
        return true;
    }

    bool schema_version(bool in_range, std::uint64_t value) {
        return top_level_value(pending_ == Member::schema_version && in_range,
                               [&] { state_.schema_version = static_cast<std::uint8_t>(value); });
    }

    bool open(bool is_object) {
        if (depth_ == 0 && !is_object) {
            return false;
        }
        if (depth_ == 1 && pending_ != Member::unknown) {
            return false;
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        return true;
    }

    void mark_seen() { seen_ |= 1U << static_cast<unsigned>(pending_); }

    AcquisitionState state_;
    std::set<std::string, std::less<>> keys_;
    std::size_t depth_ = 0;
    Member pending_ = Member::unknown;
    unsigned seen_ = 0;
};

}  // namespace

std::string_view wire_name(InstallerLocale locale) { return locale == InstallerLocale::ja ? "ja" : "en"; }

std::string encode_state(const AcquisitionState& state) {
    std::string out;
    out.reserve(256);
    out.append("{\"schemaVersion\":").append(std::to_string(static_cast<unsigned>(state.schema_version)));
    out.append(",\"installId\":");
    detail::append_json_string(out, state.install_id.to_string());
    out.append(",\"installerVersion\":");
    detail::append_json_string(out, state.installer_version);
    out.append(",\"platform\":");
    detail::append_json_string(out, state.platform);
    out.append(",\"arch\":");
    detail::append_json_string(out, state.arch);
    out.append(",\"locale\":");
    detail::append_json_string(out, wire_name(state.locale));
    out.append(",\"createdAt\":");
    detail::append_json_string(out, state.created_at);
    out.append(",\"appFirstOpenReportedAt\":");
    if (state.app_first_open_reported_at) {
        detail::append_json_string(out, *state.app_first_open_reported_at);
    } else {
        out.append("null");
    }
    out.push_back('}');
    return out;
}

std::optional<AcquisitionState> decode_state(std::string_view text) {
    // nlohmann skips a leading UTF-8 byte-order mark without telling, and its lexer takes a NUL
    // byte for the end of the input, so "{...}\0junk" would pass. JSON allows a NUL nowhere.
    if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    StrictStateReader reader;
    // strict: anything but whitespace after the value is a parse error (reported to the reader).
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader, nlohmann::json::input_format_t::json, true)) {
        return std::nullopt;
    }
    return std::move(reader).result();
}

}  // namespace brimora
