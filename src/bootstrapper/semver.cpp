// Semantic Versioning 2.0.0: strict parsing, canonical text and precedence.

#include <brimora/manifest.hpp>

#include <algorithm>
#include <cstddef>

namespace brimora {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_identifier_char(char c) { return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-'; }

bool all_digits(std::string_view text) { return std::all_of(text.begin(), text.end(), is_digit); }

// Leading zeros are refused so that the canonical text of a parsed version is its input.
std::optional<std::uint64_t> parse_component(std::string_view text) {
    if (text.empty() || !all_digits(text) || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

bool valid_identifiers(std::string_view list, bool numeric_without_leading_zero) {
    while (true) {
        const std::size_t dot = list.find('.');
        const std::string_view id = list.substr(0, dot);
        if (id.empty() || !std::all_of(id.begin(), id.end(), is_identifier_char)) {
            return false;
        }
        if (numeric_without_leading_zero && id.size() > 1 && id.front() == '0' && all_digits(id)) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        list.remove_prefix(dot + 1);
    }
}

// Numeric identifiers may be longer than any integer type, so they are compared as digit strings:
// without leading zeros the longer one is the larger. Build identifiers may carry leading zeros,
// which only break a tie of equal value.
std::strong_ordering compare_identifier(std::string_view a, std::string_view b) {
    const bool a_numeric = all_digits(a);
    const bool b_numeric = all_digits(b);
    if (a_numeric && b_numeric) {
        const std::string_view a_value = a.substr(std::min(a.find_first_not_of('0'), a.size()));
        const std::string_view b_value = b.substr(std::min(b.find_first_not_of('0'), b.size()));
        if (a_value.size() != b_value.size()) {
            return a_value.size() <=> b_value.size();
        }
        if (const auto by_value = a_value <=> b_value; by_value != 0) {
            return by_value;
        }
        return a.size() <=> b.size();
    }
    if (a_numeric != b_numeric) {
        return a_numeric ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    return a <=> b;
}

std::strong_ordering compare_identifier_lists(std::string_view a, std::string_view b) {
    while (!a.empty() && !b.empty()) {
        const std::size_t a_dot = a.find('.');
        const std::size_t b_dot = b.find('.');
        if (const auto order = compare_identifier(a.substr(0, a_dot), b.substr(0, b_dot)); order != 0) {
            return order;
        }
        a = a_dot == std::string_view::npos ? std::string_view{} : a.substr(a_dot + 1);
        b = b_dot == std::string_view::npos ? std::string_view{} : b.substr(b_dot + 1);
    }
    return !a.empty() <=> !b.empty();
}

}  // namespace

std::optional<Version> parse_version(std::string_view text) {
    const std::size_t plus = text.find('+');
    const std::string_view before_build = text.substr(0, plus);
    const std::size_t dash = before_build.find('-');
    std::string_view core = before_build.substr(0, dash);

    Version version;
    std::uint64_t* const fields[] = {&version.major, &version.minor, &version.patch};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t dot = core.find('.');
        if ((i < 2) == (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        const auto value = parse_component(core.substr(0, dot));
        if (!value) {
            return std::nullopt;
        }
        *fields[i] = *value;
        core = i < 2 ? core.substr(dot + 1) : std::string_view{};
    }
    if (dash != std::string_view::npos) {
        const std::string_view pre = before_build.substr(dash + 1);
        if (!valid_identifiers(pre, true)) {
            return std::nullopt;
        }
        version.pre_release = pre;
    }
    if (plus != std::string_view::npos) {
        const std::string_view build = text.substr(plus + 1);
        if (!valid_identifiers(build, false)) {
            return std::nullopt;
        }
        version.build = build;
    }
    return version;
}

std::strong_ordering compare_versions(const Version& a, const Version& b) {
    if (const auto order = a.major <=> b.major; order != 0) {
        return order;
    }
    if (const auto order = a.minor <=> b.minor; order != 0) {
        return order;
    }
    if (const auto order = a.patch <=> b.patch; order != 0) {
        return order;
    }
    // A release outranks every pre-release of the same core version.
    if (a.pre_release.empty() != b.pre_release.empty()) {
        return a.pre_release.empty() ? std::strong_ordering::greater : std::strong_ordering::less;
    }
    if (const auto order = compare_identifier_lists(a.pre_release, b.pre_release); order != 0) {
        return order;
    }
    return compare_identifier_lists(a.build, b.build);
}

std::string to_string(const Version& version) {
    std::string text =
        std::to_string(version.major) + '.' + std::to_string(version.minor) + '.' + std::to_string(version.patch);
    if (!version.pre_release.empty()) {
        text += '-';
        text += version.pre_release;
    }
    if (!version.build.empty()) {
        text += '+';
        text += version.build;
    }
    return text;
}

std::string expected_file_name(const Version& version) { return "Brimora-" + to_string(version) + "-win-x64.exe"; }

}  // namespace brimora
