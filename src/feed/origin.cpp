// `publish`: puts a checked release into the origin directory a feed is served from, in the only
// order installers survive. A CDN or an installer may read the folder at any moment, so nothing
// appears there half-written: every file is written beside its name, flushed and renamed; the
// payload is in place and read back before latest.yml names it; a published payload never
// changes bytes (caches would serve old and new side by side under one name).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "brimora/payload.hpp"
#include "brimora/random.hpp"
#include "feed.hpp"
#include "feed_internal.hpp"

namespace brimora::feed {
namespace {

constexpr std::string_view PUBLISH_SYNOPSIS =
    "publish --to DIR MANIFEST PAYLOAD [--allow-downgrade] [--trust ROOTS.pem] [--crl CRL.pem]";

std::string system_error(std::string_view step, const std::filesystem::path& path) {
    return std::string(step) + " " + path.string() + ": " + std::strerror(errno);
}

// The sibling a file is written under before its rename: a dot name, which object stores and
// the feed's nginx never serve, with random bytes so two publishers never share one.
std::filesystem::path sibling_of(const std::filesystem::path& target) {
    std::uint8_t bytes[6];
    fill_random(bytes);
    std::string name = "." + target.filename().string() + ".publishing-";
    for (const auto b : bytes) {
        name += "0123456789abcdef"[b >> 4];
        name += "0123456789abcdef"[b & 15];
    }
    return target.parent_path() / name;
}

// A temporary sibling that is removed unless it was renamed into place.
class Sibling {
public:
    explicit Sibling(const std::filesystem::path& target) : path_(sibling_of(target)) {}
    Sibling(const Sibling&) = delete;
    Sibling& operator=(const Sibling&) = delete;
    ~Sibling() {
        if (!placed_) {
            static_cast<void>(::unlink(path_.c_str()));
        }
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    void placed() { placed_ = true; }

private:
    std::filesystem::path path_;
    bool placed_ = false;
};

std::expected<void, std::string> sync_directory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return std::unexpected(system_error("cannot open", dir));
    }
    const int synced = ::fsync(fd);
    // Some filesystems (network mounts) cannot flush a directory; the rename itself stands.
    const bool unsupported = synced != 0 && (errno == EINVAL || errno == ENOTSUP);
    const std::string failure = synced != 0 ? system_error("cannot flush", dir) : "";
    ::close(fd);
    if (synced != 0 && !unsupported) {
        return std::unexpected(failure);
    }
    return {};
}

// Writes `bytes` (or, when empty, the content of `source`) to `target` through a flushed
// sibling; `replace` false never replaces an existing file, even one that appeared meanwhile.
std::expected<void, std::string> place(const std::filesystem::path& target, std::string_view bytes,
                                       const std::filesystem::path* source, bool replace) {
    Sibling sibling(target);
    const int fd = ::open(sibling.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return std::unexpected(system_error("cannot create", sibling.path()));
    }
    std::string failure;
    const auto write_all = [&](const char* data, std::size_t size) {
        while (size > 0 && failure.empty()) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failure = system_error("cannot write", sibling.path());
                break;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    };
    if (source != nullptr) {
        std::ifstream in(*source, std::ios::binary);
        std::vector<char> buffer(PAYLOAD_READ_BUFFER_BYTES);
        while (in && failure.empty()) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            write_all(buffer.data(), static_cast<std::size_t>(in.gcount()));
        }
        if (in.bad() || !in.eof()) {
            failure = failure.empty() ? "cannot read " + source->string() : failure;
        }
    } else {
        write_all(bytes.data(), bytes.size());
    }
    if (failure.empty() && ::fsync(fd) != 0) {
        failure = system_error("cannot flush", sibling.path());
    }
    if (::close(fd) != 0 && failure.empty()) {
        failure = system_error("cannot close", sibling.path());
    }
    if (!failure.empty()) {
        return std::unexpected(failure);
    }
    int renamed = replace ? std::rename(sibling.path().c_str(), target.c_str())
                          : ::renameat2(AT_FDCWD, sibling.path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
        // A filesystem without no-replace renames: link() refuses an existing name just as well.
        renamed = ::link(sibling.path().c_str(), target.c_str());
    }
    if (renamed != 0) {
        return std::unexpected(system_error("cannot move into place", target));
    }
    if (!replace) {
        static_cast<void>(::unlink(sibling.path().c_str()));  // the link fallback leaves it behind
    }
    sibling.placed();
    return sync_directory(target.parent_path());
}

int refuse(std::ostream& out, const std::filesystem::path& dir, const std::string& why) {
    out << "publish: refused: " << why << "; nothing in " << dir.string() << " changed\n";
    return EXIT_REJECTED;
}

int fail(std::ostream& err, const std::string& why) {
    err << "brimora-feed: publish: " << why << "\n";
    return EXIT_USAGE;
}

}  // namespace

int command_publish(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    std::optional<std::filesystem::path> dir;
    std::vector<std::filesystem::path> files;
    bool allow_downgrade = false;
    SignatureOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (take_signature_option(args, i, options)) {
            continue;
        }
        if (args[i] == "--to" && i + 1 < args.size() && !dir) {
            dir = std::filesystem::path(args[++i]);
        } else if (args[i] == "--allow-downgrade") {
            allow_downgrade = true;
        } else if (!args[i].starts_with("--") && files.size() < 2) {
            files.emplace_back(args[i]);
        } else {
            err << "brimora-feed: unexpected argument " << args[i] << "\nusage: brimora-feed " << PUBLISH_SYNOPSIS
                << "\n";
            return EXIT_USAGE;
        }
    }
    if (!dir || files.size() != 2) {
        err << "brimora-feed: --to DIR, MANIFEST and PAYLOAD are required\nusage: brimora-feed " << PUBLISH_SYNOPSIS
            << "\n";
        return EXIT_USAGE;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(*dir, error)) {
        return fail(err, "the origin directory " + dir->string() + " does not exist");
    }
    const CheckedRelease checked = check_release(files[0], files[1], options, false, out, err);
    if (checked.status == EXIT_REJECTED) {
        return refuse(out, *dir, "installers would refuse this release");
    }
    if (!checked.release) {
        return checked.status;
    }
    const ValidatedRelease& release = *checked.release;

    const std::filesystem::path manifest = *dir / "latest.yml";
    std::optional<std::string> published;
    if (std::filesystem::exists(std::filesystem::symlink_status(manifest, error))) {
        auto body = read_manifest_file(manifest);
        if (!body) {
            return fail(err, body.error());
        }
        published = std::move(*body);
        const ManifestVerdict current = judge_manifest_body(*published);
        if (!current.release) {
            out << "publish: the published latest.yml is refused by installers (" << current.problem
                << "); replacing it\n";
        } else if (compare_versions(release.version, current.release->version) < 0 && !allow_downgrade) {
            return refuse(out, *dir,
                          "version " + to_string(release.version) + " is lower than the published " +
                              to_string(current.release->version) + " (--allow-downgrade moves installers back)");
        }
    }

    const std::filesystem::path payload = *dir / release.file_name;
    bool in_place = false;
    if (const auto status = std::filesystem::symlink_status(payload, error); std::filesystem::exists(status)) {
        if (!std::filesystem::is_regular_file(status)) {
            return refuse(out, *dir, payload.string() + " exists and is not a plain file");
        }
        const auto there = digest_file(payload);
        if (!there) {
            return fail(err, there.error());
        }
        if (there->size != release.size || there->sha512 != release.sha512) {
            return refuse(out, *dir,
                          payload.string() +
                              " is already published with other bytes; a published payload never changes (publish "
                              "a new version instead)");
        }
        in_place = true;
    }
    if (in_place && published == checked.body) {
        out << "publish: version " << to_string(release.version) << " is already published in " << dir->string()
            << "; nothing changed\n";
        return EXIT_ACCEPTED;
    }
    if (!in_place) {
        if (auto placed = place(payload, {}, &files[1], false); !placed) {
            return fail(err, placed.error());
        }
        // What the origin will serve is the copy, not our file: read it back before anything
        // names it.
        if (const auto read_back = verify_file(payload, release.size, release.sha512); !read_back) {
            static_cast<void>(::unlink(payload.c_str()));
            return fail(err, payload.string() + " does not read back as written (" + read_back.error().message() +
                                 "); removed it");
        }
        out << "publish: " << payload.string() << " written and read back, " << release.size
            << " bytes with the manifest's SHA-512\n";
    } else {
        out << "publish: " << payload.string() << " is already in place with the same bytes\n";
    }
    if (published) {
        if (auto kept = place(*dir / "latest.yml.previous", *published, nullptr, true); !kept) {
            return fail(err, kept.error());
        }
    }
    if (auto named = place(manifest, checked.body, nullptr, true); !named) {
        return fail(err, named.error());
    }
    out << "publish: " << manifest.string() << " now names version " << to_string(release.version)
        << (published ? " (the one it replaced is latest.yml.previous)" : "") << "\n";
    return EXIT_ACCEPTED;
}

}  // namespace brimora::feed
