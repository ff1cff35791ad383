// validate_manifest on any body: the same verdict every time, and an accepted release whose
// version text re-parses to the same version and whose file name is the one canonical name.

#include <brimora/manifest.hpp>

#include <string>

#include "property.hpp"

using namespace brimora;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> body(data, size);
    const auto first = validate_manifest(body);
    const auto again = validate_manifest(body);
    require(first.has_value() == again.has_value(), "the same body gets the same verdict");
    if (!first) {
        require(first.error().kind == again.error().kind && first.error().yaml_message == again.error().yaml_message,
                "the same body is refused for the same reason");
        return 0;
    }
    require(size > 0 && size <= MAX_MANIFEST_BYTES, "only a body within the size limit is accepted");
    const ValidatedRelease& release = *first;
    require(release.version == again->version && release.file_name == again->file_name && release.size == again->size &&
                release.sha512 == again->sha512,
            "the same body gives the same release");

    const std::string text = to_string(release.version);
    const auto reparsed = parse_version(text);
    require(reparsed.has_value() && *reparsed == release.version, "the version text re-parses to an equal version");
    require(release.file_name == "Brimora-" + text + "-win-x64.exe", "the file name is the canonical one");
    require(validate_file_name(release.file_name, release.file_name).has_value(),
            "the file name is one plain component");
    const auto floor = parse_version(ROLLBACK_FLOOR);
    require(floor.has_value() && compare_versions(release.version, *floor) >= 0, "the version is not below the floor");
    require(release.size > 0, "the size is not zero");
    return 0;
}
