#include <brimora/manifest.hpp>

#include <algorithm>
#include <array>
#include <utility>

#include "brimora/base64.hpp"
#include "yaml_reader.hpp"

namespace brimora {
namespace {

constexpr std::string_view INT_TAG = "tag:yaml.org,2002:int";

// The manifest as written, before any rule beyond its YAML shape has been applied. Texts are views
// into the parsed document: an alias may put one long scalar into thousands of entries, and
// copying it into each would cost what the alias budget saved.
struct UpdateFile {
    std::string_view url;
    std::string_view sha512;
    std::uint64_t size = 0;
};

// Every entry of "files" is checked for its shape, but only the first is kept: a list of any
// other length is refused by the count rule, whatever its entries hold.
struct FileList {
    std::size_t count = 0;
    UpdateFile first;
};

struct UpdateManifest {
    std::string_view version;
    std::string_view path;
    std::string_view sha512;
    FileList files;
};

ManifestError error(ManifestErrorKind kind) { return ManifestError{kind, {}}; }

std::unexpected<std::string> shape_error(std::string text) { return std::unexpected(std::move(text)); }

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// A listed key's full name ("files[0].size"), put together only when an error names it: aliased
// entries are walked thousands of times, and nothing on the accepting path needs it.
struct KeyName {
    std::string_view prefix;
    std::string_view key;

    [[nodiscard]] std::string quoted_text() const { return quoted(std::string(prefix).append(key)); }
};

std::expected<std::string_view, std::string> read_text(const yaml::Node& node, const KeyName& name) {
    // "text or null" is a distinct type for releaseDate alone, so a null where a text is
    // required is a shape error rather than an empty name or version.
    if (node.kind != yaml::NodeKind::Scalar || node.is_null()) {
        return shape_error(name.quoted_text() + " must be a text");
    }
    return node.text;
}

// YAML's other integer spellings ("0x10", "0o7", "017", "1_000", "+5") mean different numbers, or
// none, to 1.1 and 1.2 readers; plain decimal digits without a leading zero mean the same to all.
// A quoted scalar is a string unless it is explicitly tagged !!int.
std::expected<std::uint64_t, std::string> read_size(const yaml::Node& node, const KeyName& name) {
    const auto refusal = [&] { return name.quoted_text() + " must be an unsigned 64-bit decimal integer"; };
    const bool integer_scalar =
        node.kind == yaml::NodeKind::Scalar && (node.tag.empty() ? node.plain : node.tag == INT_TAG);
    const std::string& text = node.text;
    if (!integer_scalar || text.empty() || (text.size() > 1 && text.front() == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return shape_error(refusal());
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return shape_error(refusal());
        }
        value = value * 10 + digit;
    }
    return value;
}

template <typename T>
std::expected<void, std::string> store(std::expected<T, std::string> value, T& into) {
    if (!value) {
        return std::unexpected(std::move(value.error()));
    }
    into = std::move(*value);
    return {};
}

// A key a mapping may hold, whether it must, and how its value is read into the result. Each key
// sits beside its reader, so no reordering can hand a value to another key's field.
template <typename Into>
struct Field {
    std::string_view key;
    bool required = false;
    std::expected<void, std::string> (*read)(const yaml::Document& doc, const yaml::Node& value, const KeyName& name,
                                             Into& into) = nullptr;
};

// Walks a mapping's pairs, reading each listed key's value into `into` once; keys that are not
// listed (or are not scalars) are skipped with whatever they hold. Then the first required key
// missing, in the table's order, is the error.
template <typename Into, std::size_t N>
std::expected<void, std::string> read_fields(const yaml::Document& doc, const yaml::Node& mapping,
                                             const Field<Into> (&fields)[N], std::string_view prefix, Into& into) {
    std::array<bool, N> seen{};
    for (std::size_t i = 0; i + 1 < mapping.items.size(); i += 2) {
        const yaml::Node& key = doc.at(mapping.items[i]);
        if (key.kind != yaml::NodeKind::Scalar) {
            continue;
        }
        const auto field =
            std::find_if(std::begin(fields), std::end(fields), [&](const Field<Into>& f) { return f.key == key.text; });
        if (field == std::end(fields)) {
            continue;
        }
        const auto slot = static_cast<std::size_t>(field - std::begin(fields));
        const KeyName name{prefix, key.text};
        if (seen[slot]) {
            return shape_error("key " + name.quoted_text() + " appears twice");
        }
        seen[slot] = true;
        if (auto taken = field->read(doc, doc.at(mapping.items[i + 1]), name, into); !taken) {
            return taken;
        }
    }
    for (std::size_t slot = 0; slot < N; ++slot) {
        if (fields[slot].required && !seen[slot]) {
            return shape_error("required key " + KeyName{prefix, fields[slot].key}.quoted_text() + " is missing");
        }
    }
    return {};
}

// The readers the tables below name: the value as a text or a size, into the row's member.
template <auto Member>
std::expected<void, std::string> text_into(const yaml::Document&, const yaml::Node& value, const KeyName& name,
                                           auto& into) {
    return store(read_text(value, name), into.*Member);
}

template <auto Member>
std::expected<void, std::string> size_into(const yaml::Document&, const yaml::Node& value, const KeyName& name,
                                           auto& into) {
    return store(read_size(value, name), into.*Member);
}

std::expected<UpdateFile, std::string> read_file_entry(const yaml::Document& doc, const yaml::Node& node,
                                                       const std::string& prefix) {
    static constexpr Field<UpdateFile> fields[] = {
        {.key = "url", .required = true, .read = text_into<&UpdateFile::url>},
        {.key = "sha512", .required = true, .read = text_into<&UpdateFile::sha512>},
        {.key = "size", .required = true, .read = size_into<&UpdateFile::size>},
    };
    if (node.kind != yaml::NodeKind::Mapping) {
        return shape_error(quoted(prefix.substr(0, prefix.size() - 1)) + " must be a mapping");
    }
    UpdateFile file;
    if (auto read = read_fields(doc, node, fields, prefix, file); !read) {
        return std::unexpected(std::move(read.error()));
    }
    return file;
}

std::expected<FileList, std::string> read_files(const yaml::Document& doc, const yaml::Node& node) {
    // A null "files" is refused rather than read as absent: only a missing key means "no entries".
    if (node.kind != yaml::NodeKind::Sequence) {
        return shape_error("\"files\" must be a sequence");
    }
    FileList files;
    files.count = node.items.size();
    for (std::size_t i = 0; i < node.items.size(); ++i) {
        auto file = read_file_entry(doc, doc.at(node.items[i]), "files[" + std::to_string(i) + "].");
        if (!file) {
            return std::unexpected(std::move(file.error()));
        }
        if (i == 0) {
            files.first = *file;
        }
    }
    return files;
}

std::expected<void, std::string> files_into(const yaml::Document& doc, const yaml::Node& value, const KeyName&,
                                            UpdateManifest& manifest) {
    return store(read_files(doc, value), manifest.files);
}

// Nothing reads the release date, but it must have the shape of one.
std::expected<void, std::string> check_release_date(const yaml::Document&, const yaml::Node& value, const KeyName&,
                                                    UpdateManifest&) {
    if (value.kind != yaml::NodeKind::Scalar) {
        return shape_error("\"releaseDate\" must be a text or null");
    }
    return {};
}

std::expected<UpdateManifest, std::string> read_manifest(const yaml::Document& doc) {
    // Missing required keys are reported in this order.
    static constexpr Field<UpdateManifest> fields[] = {
        {.key = "version", .required = true, .read = text_into<&UpdateManifest::version>},
        {.key = "path", .required = true, .read = text_into<&UpdateManifest::path>},
        {.key = "sha512", .required = true, .read = text_into<&UpdateManifest::sha512>},
        {.key = "files", .read = files_into},
        {.key = "releaseDate", .read = check_release_date},
    };
    const yaml::Node& root = doc.at(doc.root);
    if (root.kind != yaml::NodeKind::Mapping) {
        return shape_error("the root must be a mapping");
    }
    UpdateManifest manifest;
    if (auto read = read_fields(doc, root, fields, "", manifest); !read) {
        return std::unexpected(std::move(read.error()));
    }
    return manifest;
}

}  // namespace

std::string ManifestError::message() const {
    switch (kind) {
        case ManifestErrorKind::EmptyOrTooLarge:
            return "manifest is empty or exceeds the 64 KiB limit";
        case ManifestErrorKind::InvalidYaml:
            return "manifest YAML is invalid: " + yaml_message;
        case ManifestErrorKind::InvalidVersion:
            return "release version is invalid";
        case ManifestErrorKind::BelowRollbackFloor:
            return "release version is below the bootstrapper rollback floor";
        case ManifestErrorKind::InvalidFileName:
            return "release file name is invalid";
        case ManifestErrorKind::NotExactlyOneFile:
            return "manifest must contain exactly one file";
        case ManifestErrorKind::EntriesDisagree:
            return "root and file entries do not agree";
        case ManifestErrorKind::ZeroSize:
            return "release size must be greater than zero";
        case ManifestErrorKind::InvalidSha512:
            return "SHA-512 value is invalid";
    }
    return "manifest is invalid";
}

std::expected<void, ManifestError> validate_file_name(std::string_view candidate, std::string_view expected) {
    if (candidate != expected) {
        return std::unexpected(error(ManifestErrorKind::InvalidFileName));
    }
    // Windows path rules, applied the same on every host so that tests on Linux mean what they
    // mean on Windows: "\" separates like "/", and "C:" makes even "C:name" drive-relative. Any
    // separator leaves a directory, root or UNC part before the final component, so the same test
    // also keeps every "/" and "\" out.
    const bool drive_prefix =
        candidate.size() >= 2 && candidate[1] == ':' &&
        ((candidate[0] >= 'A' && candidate[0] <= 'Z') || (candidate[0] >= 'a' && candidate[0] <= 'z'));
    const bool has_separator = candidate.find_first_of("/\\") != std::string_view::npos;
    if (drive_prefix || has_separator || candidate.empty() || candidate == "." || candidate == "..") {
        return std::unexpected(error(ManifestErrorKind::InvalidFileName));
    }
    if (candidate.find("..") != std::string_view::npos) {
        return std::unexpected(error(ManifestErrorKind::InvalidFileName));
    }
    return {};
}

std::expected<ValidatedRelease, ManifestError> validate_manifest(std::span<const std::uint8_t> body) {
    if (body.empty() || body.size() > MAX_MANIFEST_BYTES) {
        return std::unexpected(error(ManifestErrorKind::EmptyOrTooLarge));
    }
    const auto document = yaml::read_single_document(body);
    if (!document) {
        return std::unexpected(ManifestError{ManifestErrorKind::InvalidYaml, document.error()});
    }
    auto parsed = read_manifest(*document);
    if (!parsed) {
        return std::unexpected(ManifestError{ManifestErrorKind::InvalidYaml, std::move(parsed.error())});
    }
    const UpdateManifest& manifest = *parsed;

    auto version = parse_version(manifest.version);
    if (!version) {
        return std::unexpected(error(ManifestErrorKind::InvalidVersion));
    }
    // Should the constant ever fail to parse, every release is refused rather than none.
    const std::optional<Version> floor = parse_version(ROLLBACK_FLOOR);
    if (!floor || compare_versions(*version, *floor) < 0) {
        return std::unexpected(error(ManifestErrorKind::BelowRollbackFloor));
    }
    std::string file_name = expected_file_name(*version);
    if (auto named = validate_file_name(manifest.path, file_name); !named) {
        return std::unexpected(named.error());
    }
    if (manifest.files.count != 1) {
        return std::unexpected(error(ManifestErrorKind::NotExactlyOneFile));
    }
    const UpdateFile& file = manifest.files.first;
    if (auto named = validate_file_name(file.url, file_name); !named) {
        return std::unexpected(named.error());
    }
    if (manifest.sha512 != file.sha512) {
        return std::unexpected(error(ManifestErrorKind::EntriesDisagree));
    }
    if (file.size == 0) {
        return std::unexpected(error(ManifestErrorKind::ZeroSize));
    }
    const auto digest = decode_base64_canonical(manifest.sha512);
    if (!digest || digest->size() != 64) {
        return std::unexpected(error(ManifestErrorKind::InvalidSha512));
    }

    ValidatedRelease release;
    release.version = std::move(*version);
    release.file_name = std::move(file_name);
    release.size = file.size;
    std::copy(digest->begin(), digest->end(), release.sha512.begin());
    return release;
}

}  // namespace brimora
