#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <cstddef>
#include <set>

#include <nlohmann/json.hpp>

#include "brimora/acquisition.hpp"
#include "json_text.hpp"

namespace brimora {
namespace {

// A top-level member's value as the parser hands it over. Numbers without fraction or exponent
// come as `integer` (nlohmann reports "-0" as a signed 0; any other negative is `other`).
struct Value {
    enum class Kind : std::uint8_t { text, integer, null, other } kind = Kind::other;
    std::string* text = nullptr;
    std::uint64_t integer = 0;
};

using Reader = bool (*)(Value& value, AcquisitionState& into);

bool read_schema_version(Value& value, AcquisitionState& into) {
    if (value.kind != Value::Kind::integer || value.integer > 255) {
        return false;
    }
    into.schema_version = static_cast<std::uint8_t>(value.integer);
    return true;
}

bool read_install_id(Value& value, AcquisitionState& into) {
    const auto id = value.kind == Value::Kind::text ? Uuid::parse(*value.text) : std::nullopt;
    if (!id) {
        return false;
    }
    into.install_id = *id;
    return true;
}

bool read_locale(Value& value, AcquisitionState& into) {
    if (value.kind != Value::Kind::text || (*value.text != "ja" && *value.text != "en")) {
        return false;
    }
    into.locale = *value.text == "ja" ? InstallerLocale::ja : InstallerLocale::en;
    return true;
}

template <auto Member>
bool read_text(Value& value, AcquisitionState& into) {
    if (value.kind != Value::Kind::text) {
        return false;
    }
    into.*Member = std::move(*value.text);
    return true;
}

// A text, or null for absent.
bool read_app_first_open(Value& value, AcquisitionState& into) {
    if (value.kind == Value::Kind::null) {
        into.app_first_open_reported_at.reset();
        return true;
    }
    return read_text<&AcquisitionState::app_first_open_reported_at>(value, into);
}

// Each key beside its reader, so no reordering can hand a value to another key's member.
struct Field {
    std::string_view key;
    bool required = true;
    Reader read = nullptr;
};

constexpr Field FIELDS[] = {
    {.key = "schemaVersion", .read = read_schema_version},
    {.key = "installId", .read = read_install_id},
    {.key = "installerVersion", .read = read_text<&AcquisitionState::installer_version>},
    {.key = "platform", .read = read_text<&AcquisitionState::platform>},
    {.key = "arch", .read = read_text<&AcquisitionState::arch>},
    {.key = "locale", .read = read_locale},
    {.key = "createdAt", .read = read_text<&AcquisitionState::created_at>},
    {.key = "appFirstOpenReportedAt", .required = false, .read = read_app_first_open},
};

// Fed by nlohmann's SAX parser. Everything it dislikes ends the parse by returning false, so the
// library's own last-key-wins object building and its exceptions never come into play. Depth 1
// is the top-level object; whatever sits deeper belongs to an unknown member and is skipped
// without looking at it.
class StrictStateReader {
public:
    using json = nlohmann::json;

    bool null() { return value({.kind = Value::Kind::null}); }
    bool boolean(bool /*value*/) { return value({.kind = Value::Kind::other}); }
    bool number_unsigned(json::number_unsigned_t number) {
        return value({.kind = Value::Kind::integer, .integer = number});
    }
    bool number_integer(json::number_integer_t number) {
        return value({.kind = number == 0 ? Value::Kind::integer : Value::Kind::other});
    }
    // Fractions and exponents land here (1.0 and 1e0 included): never a schemaVersion.
    bool number_float(json::number_float_t /*value*/, const json::string_t& /*text*/) {
        return value({.kind = Value::Kind::other});
    }
    bool binary(json::binary_t& /*value*/) { return false; }
    bool string(json::string_t& text) { return value({.kind = Value::Kind::text, .text = &text}); }

    bool start_object(std::size_t /*elements*/) { return open(true); }
    bool start_array(std::size_t /*elements*/) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& name) {
        if (depth_ == 1) {
            if (!keys_.insert(name).second) {
                return false;
            }
            const auto* field = std::ranges::find(FIELDS, std::string_view(name), &Field::key);
            pending_ = field == std::end(FIELDS) ? nullptr : field;
        }
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const nlohmann::detail::exception& /*error*/) {
        return false;
    }

    [[nodiscard]] std::optional<AcquisitionState> result() && {
        for (std::size_t i = 0; i < std::size(FIELDS); ++i) {
            if (FIELDS[i].required && !seen_[i]) {
                return std::nullopt;
            }
        }
        return std::move(state_);
    }

private:
    // A scalar: skipped inside an unknown member's value, ignored for an unknown key, otherwise
    // the pending key's reader decides.
    bool value(Value scalar) {
        if (depth_ != 1) {
            return depth_ > 1;
        }
        if (pending_ == nullptr) {
            return true;
        }
        if (!pending_->read(scalar, state_)) {
            return false;
        }
        seen_[static_cast<std::size_t>(pending_ - std::begin(FIELDS))] = true;
        return true;
    }

    bool open(bool is_object) {
        if (depth_ == 0 && !is_object) {
            return false;
        }
        if (depth_ == 1 && pending_ != nullptr) {
            return false;
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        return true;
    }

    AcquisitionState state_;
    std::set<std::string, std::less<>> keys_;
    std::size_t depth_ = 0;
    const Field* pending_ = nullptr;
    std::array<bool, std::size(FIELDS)> seen_{};
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
