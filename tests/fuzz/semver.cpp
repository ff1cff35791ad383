// parse_version on up to three texts separated by "|" (a byte no version holds): the same verdict
// every time; an accepted text is its own canonical form; and precedence is a strict weak order
// (here a strong one: equal only when equal) on any three versions.

#include <brimora/manifest.hpp>

#include <compare>
#include <optional>
#include <vector>

#include "property.hpp"

using namespace brimora;
using fuzz::require;

namespace {

std::optional<Version> parse_checked(std::string_view text) {
    const auto version = parse_version(text);
    require(version == parse_version(text), "the same text gets the same verdict");
    if (version) {
        require(to_string(*version) == text, "an accepted text is its own canonical form");
        require(compare_versions(*version, *version) == 0, "a version equals itself");
    }
    return version;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = fuzz::text_of(data, size);
    std::vector<Version> versions;
    for (int piece = 0; piece < 3; ++piece) {
        const std::size_t bar = rest.find('|');
        if (auto version = parse_checked(rest.substr(0, bar))) {
            versions.push_back(std::move(*version));
        }
        if (bar == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(bar + 1);
    }
    for (const Version& a : versions) {
        for (const Version& b : versions) {
            const auto ab = compare_versions(a, b);
            require(ab == (0 <=> compare_versions(b, a)), "precedence is antisymmetric");
            require((ab == 0) == (a == b), "only equal versions have equal precedence");
            for (const Version& c : versions) {
                if (ab < 0 && compare_versions(b, c) < 0) {
                    require(compare_versions(a, c) < 0, "precedence is transitive");
                }
                if (ab == 0) {
                    require(compare_versions(a, c) == compare_versions(b, c), "equal versions rank alike");
                }
            }
        }
    }
    return 0;
}
