// `probe`: reads a live feed as an installer would, without installing, and says per step what
// an installer would make of it. HTTPS through libcurl, set up like the installer's transport:
// TLS 1.2 only, HTTP/1.1, no redirects, system proxy settings, bounded phases, the installer's
// user agent and no request header beyond Range.

#include <curl/curl.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "brimora/base64.hpp"
#include "brimora/sha512.hpp"
#include "feed.hpp"
#include "feed_internal.hpp"

namespace brimora::feed {
namespace {

// libcurl's process-wide set-up, undone on every way out of the command.
struct CurlGlobal {
    bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CurlGlobal() = default;
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    ~CurlGlobal() {
        if (ready) {
            curl_global_cleanup();
        }
    }
};

using CurlHandle = Owned<CURL, curl_easy_cleanup>;
using HeaderList = Owned<curl_slist, curl_slist_free_all>;

// At least and at most TLS 1.2: libcurl keeps the maximum in the upper 16 bits.
constexpr long TLS_1_2_ONLY = long{CURL_SSLVERSION_TLSv1_2} | (long{CURL_SSLVERSION_TLSv1_2} << 16);

// Takes each chunk of the body; false ends the transfer (the sink has seen enough).
using Sink = std::function<bool(std::span<const std::uint8_t>)>;

struct Transfer {
    long status = 0;
    std::string location;
    bool stopped = false;  // the sink ended it, which is not a transport failure
    Headers headers;       // of the last response
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* headers = static_cast<Headers*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        headers->clear();  // a new response (after a 100 Continue, say)
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        std::string name(line.substr(0, colon));
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string_view value = line.substr(colon + 1);
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        value = first == std::string_view::npos ? std::string_view() : value.substr(first, last - first + 1);
        headers->emplace_back(std::move(name), std::string(value));
    }
    return size * count;
}

struct SinkState {
    Sink* sink = nullptr;
    bool stopped = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<SinkState*>(user);
    const std::size_t n = size * count;
    if (!(*state->sink)({reinterpret_cast<const std::uint8_t*>(data), n})) {
        state->stopped = true;
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    return n;
}

// One GET with the installer's transport settings. Fails with libcurl's message.
std::expected<Transfer, std::string> get(const std::string& url, std::optional<std::uint64_t> range_start,
                                         const Timeouts& timeouts, Sink sink) {
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        return std::unexpected(std::string("libcurl could not start a transfer"));
    }
    // WinHTTP sends no Accept header; libcurl's own "Accept: */*" is removed by naming it empty.
    HeaderList headers(curl_slist_append(nullptr, "Accept:"));
    if (range_start && *range_start != 0) {
        const std::string range = "Range: bytes=" + std::to_string(*range_start) + "-";
        curl_slist* grown = curl_slist_append(headers.get(), range.c_str());
        if (grown == nullptr) {
            return std::unexpected(std::string("out of memory"));
        }
        // grown is the same list, longer: ownership passes on without a free.
        static_cast<void>(headers.release());
        headers.reset(grown);
    }
    SinkState state{&sink};
    Transfer transfer;
    char error[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    // The phase limits as libcurl can express them: name resolution and connect together, and
    // a stall (less than one byte per second over the receive limit) for sending and receiving.
    const auto connect_ms = static_cast<long>((timeouts.resolve + timeouts.connect).count());
    const auto stall_s =
        static_cast<long>(std::max<std::int64_t>(1, (std::max(timeouts.send, timeouts.receive).count() + 999) / 1000));
    const bool set = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_SSLVERSION, TLS_1_2_ONLY) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_USERAGENT, "BrimoraInstaller/1") == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect_ms) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_s) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_WRITEDATA, &state) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &on_header) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer.headers) == CURLE_OK;
    if (!set) {
        return std::unexpected(std::string("libcurl refused the installer's transport settings"));
    }
    const CURLcode code = curl_easy_perform(h);
    transfer.stopped = state.stopped;
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && state.stopped)) {
        return std::unexpected(error[0] != '\0' ? std::string(error) : std::string(curl_easy_strerror(code)));
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &transfer.status);
    char* location = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
        transfer.location = location;
    }
    return transfer;
}

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    void ok(std::string_view step, const std::string& detail) { line(step, detail); }

    // Never changes the verdict.
    void warn(std::string_view step, const std::string& detail) { line(step, "warning: " + detail); }

    void failed(std::string_view step, const std::string& detail, const InstallerOutcome& outcome) {
        ++failures_;
        line(step, "FAILED: " + detail);
        line("", "installer: " + describe(outcome));
    }

    [[nodiscard]] int finish() {
        if (failures_ == 0) {
            out_ << "probe: OK, installers will accept this feed\n";
            return EXIT_ACCEPTED;
        }
        out_ << "probe: FAILED, " << failures_ << " step(s) an installer would fail\n";
        return EXIT_REJECTED;
    }

private:
    void line(std::string_view step, const std::string& detail) {
        std::string padded(step);
        padded.resize(std::max<std::size_t>(padded.size(), 11), ' ');
        out_ << padded << detail << "\n";
    }

    std::ostream& out_;
    int failures_ = 0;
};

std::string status_text(const Transfer& transfer) {
    std::string text = "status " + std::to_string(transfer.status);
    if (!transfer.location.empty()) {
        text += " to " + transfer.location + " (installers never follow redirects)";
    }
    return text;
}

// The downloaded payload on disk for the signature check, removed on every way out.
class DownloadFile {
public:
    DownloadFile() {
        std::error_code error;
        path_ = (std::filesystem::temp_directory_path(error) / "brimora-feed-probe-XXXXXX").string();
        fd_ = error ? -1 : ::mkstemp(path_.data());
    }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;
    ~DownloadFile() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
        }
    }
    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes) {
        while (fd_ >= 0 && !bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n <= 0 && errno != EINTR) {
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return fd_ >= 0;
    }
    [[nodiscard]] std::filesystem::path path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

std::string byte_text(std::uint8_t byte) {
    char text[8];
    static_cast<void>(std::snprintf(text, sizeof text, "0x%02x", byte));
    return text;
}

std::optional<std::int64_t> seconds_in(std::string_view directives, std::string_view name) {
    for (std::size_t at = 0; at < directives.size();) {
        const std::size_t end = std::min(directives.find(',', at), directives.size());
        std::string item(directives.substr(at, end - at));
        at = end + 1;
        std::erase_if(item, [](char c) { return c == ' ' || c == '\t' || c == '"'; });
        std::ranges::transform(item, item.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (item.starts_with(name) && item.size() > name.size() && item[name.size()] == '=') {
            std::int64_t seconds = 0;
            const char* first = item.data() + name.size() + 1;
            const auto [end_at, error] = std::from_chars(first, item.data() + item.size(), seconds);
            // A malformed age bounds nothing.
            return error == std::errc() && end_at == item.data() + item.size() ? std::optional(seconds) : std::nullopt;
        }
        if (item == name) {
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> find_header(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

CdnNote manifest_caching(const Headers& headers, std::int64_t now) {
    constexpr std::int64_t LIMIT_S = 300;
    const auto warn_past = [&](std::int64_t seconds, const std::string& because) {
        const bool long_lived = seconds > LIMIT_S;
        return CdnNote{"latest.yml " + because + ": a CDN may serve it for " + std::to_string(seconds) + " s" +
                           (long_lived ? " (over 5 minutes): users keep seeing the old release that long" : ""),
                       long_lived};
    };
    if (const auto control = find_header(headers, "cache-control")) {
        // Shared caches obey s-maxage before max-age; no-store and no-cache keep nothing unasked.
        for (const char* none : {"no-store", "no-cache", "private"}) {
            if (seconds_in(*control, none)) {
                return {"latest.yml Cache-Control \"" + *control + "\": a CDN asks the origin every time", false};
            }
        }
        for (const char* age : {"s-maxage", "max-age"}) {
            if (const auto seconds = seconds_in(*control, age)) {
                return warn_past(*seconds, "Cache-Control \"" + *control + "\"");
            }
        }
    }
    if (const auto expires = find_header(headers, "expires")) {
        const auto date = find_header(headers, "date");
        const std::int64_t from =
            date && curl_getdate(date->c_str(), nullptr) >= 0 ? curl_getdate(date->c_str(), nullptr) : now;
        // An Expires that is no date means already expired.
        const std::int64_t until = curl_getdate(expires->c_str(), nullptr);
        return warn_past(std::max<std::int64_t>(0, until < 0 ? 0 : until - from), "Expires \"" + *expires + "\"");
    }
    return {
        "latest.yml has no Cache-Control or Expires: a CDN caches it for its own default time, often hours, and "
        "users keep seeing the old release that long (serve it with Cache-Control: max-age=300 or less)",
        true};
}

std::vector<CdnNote> payload_caching(const Headers& headers) {
    std::vector<CdnNote> notes;
    const auto ranges = find_header(headers, "accept-ranges");
    if (ranges && *ranges == "bytes") {
        notes.push_back({"payload Accept-Ranges: bytes", false});
    } else {
        notes.push_back(
            {"payload without Accept-Ranges: bytes: a CDN may not pass range requests on, so interrupted "
             "downloads start over",
             true});
    }
    const auto etag = find_header(headers, "etag");
    const auto modified = find_header(headers, "last-modified");
    if (!etag && !modified) {
        notes.push_back(
            {"payload without ETag or Last-Modified: caches cannot revalidate it, only fetch it again", true});
    } else {
        notes.push_back(
            {"payload ETag " + etag.value_or("(none)") + ", Last-Modified " + modified.value_or("(none)"), false});
    }
    return notes;
}

int command_probe(std::span<const std::string_view> args, std::ostream& out, std::ostream& err,
                  const Timeouts& timeouts) {
    std::optional<std::string_view> url;
    SignatureOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (take_signature_option(args, i, options)) {
            continue;
        }
        if (url || !args[i].starts_with("https://")) {
            err << "brimora-feed: probe takes one https:// URL, the feed prefix (default " << PRODUCTION_FEED
                << ")\nusage: brimora-feed probe [URL] [--trust ROOTS.pem] [--crl CRL.pem]\n";
            return EXIT_USAGE;
        }
        url = args[i];
    }
    if (auto usable = check_signature_options(options); !usable) {
        err << "brimora-feed: " << usable.error() << "\n";
        return EXIT_USAGE;
    }
    std::string prefix(url.value_or(PRODUCTION_FEED));
    if (!prefix.ends_with('/')) {
        prefix += '/';
    }
    const CurlGlobal curl_global;
    if (!curl_global.ready) {
        err << "brimora-feed: libcurl could not be initialised\n";
        return EXIT_USAGE;
    }
    Report report(out);
    out << "probe " << prefix << "\n";

    const InstallerOutcome network{"network_error", FailureReason::network_error};
    std::string body;
    bool oversize = false;
    const auto manifest = get(prefix + "latest.yml", std::nullopt, timeouts, [&](std::span<const std::uint8_t> bytes) {
        if (body.size() + bytes.size() > MAX_MANIFEST_BYTES) {
            oversize = true;
            return false;
        }
        body.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    });
    if (!manifest) {
        report.failed("manifest", manifest.error(), network);
    } else if (manifest->status != 200) {
        report.failed("manifest", status_text(*manifest) + "; installers need 200", network);
    } else if (oversize) {
        report.failed("manifest", "body over " + std::to_string(MAX_MANIFEST_BYTES) + " bytes", network);
    } else {
        report.ok("manifest", "200, " + std::to_string(body.size()) + " bytes");
        const CdnNote caching = manifest_caching(manifest->headers, static_cast<std::int64_t>(std::time(nullptr)));
        caching.warning ? report.warn("cdn", caching.text) : report.ok("cdn", caching.text);
    }
    if (!manifest || manifest->status != 200 || oversize) {
        return report.finish();
    }
    const ManifestVerdict verdict = judge_manifest_body(body);
    if (!verdict.release) {
        report.failed("validation", verdict.problem, verdict.outcome);
        return report.finish();
    }
    const ValidatedRelease& release = *verdict.release;
    report.ok("validation", "accepted: " + describe_release(release));
    const std::string payload_url = prefix + release.file_name;

    // The last byte alone, as a resuming installer would ask for it.
    const std::uint64_t last = release.size - 1;
    const std::string asked = " for bytes=" + std::to_string(last) + "-";
    std::string tail;
    const auto range = last == 0 ? std::expected<Transfer, std::string>(Transfer{})
                                 : get(payload_url, last, timeouts, [&](std::span<const std::uint8_t> bytes) {
                                       tail.append(reinterpret_cast<const char*>(bytes.data()),
                                                   std::min<std::size_t>(bytes.size(), 2));
                                       return tail.size() <= 1;
                                   });
    const InstallerOutcome resume{"resume_rejected", FailureReason::download_failed};
    std::optional<std::uint8_t> range_byte;
    if (last == 0) {
        report.ok("range", "skipped: a 1-byte payload is never resumed");
    } else if (!range) {
        report.failed("range", range.error(), {"download_failed", FailureReason::download_failed});
    } else if (range->status == 200) {
        report.ok("range", "200" + asked + ": Range ignored, resuming installers start over (accepted)");
    } else if (range->status != 206) {
        report.failed("range", status_text(*range) + asked + "; installers need 206 or 200", resume);
    } else if (tail.size() != 1) {
        report.failed("range", "206 with " + std::string(tail.empty() ? "no bytes" : "more than 1 byte") + asked,
                      {"payload_too_large", FailureReason::payload_size_mismatch});
    } else {
        range_byte = static_cast<std::uint8_t>(tail[0]);
        report.ok("range", "206, 1 byte" + asked);
    }

    auto sha = Sha512::start();
    if (!sha) {
        err << "brimora-feed: SHA-512 is unavailable: " << sha.error().message() << "\n";
        return EXIT_USAGE;
    }
    std::uint64_t received = 0;
    std::uint8_t last_byte = 0;
    bool hashed = true;
    DownloadFile copy;
    const auto full = get(payload_url, std::nullopt, timeouts, [&](std::span<const std::uint8_t> bytes) {
        received += bytes.size();
        if (received > release.size) {
            return false;
        }
        if (!bytes.empty()) {
            last_byte = bytes.back();
        }
        hashed = hashed && sha->update(bytes).has_value() && copy.write(bytes);
        return true;
    });
    const InstallerOutcome size_mismatch{"payload_size_mismatch", FailureReason::payload_size_mismatch};
    const std::string got = std::to_string(received) + " bytes";
    if (!full) {
        report.failed("download", full.error() + " after " + got, {"download_failed", FailureReason::download_failed});
    } else if (full->status != 200) {
        report.failed("download", status_text(*full) + "; installers need 200",
                      {"download_status", FailureReason::download_failed});
    } else if (received > release.size) {
        report.failed("download", "more than the manifest's " + std::to_string(release.size) + " bytes",
                      {"payload_too_large", FailureReason::payload_size_mismatch});
    } else if (received != release.size) {
        report.failed("download", got + ", the manifest says " + std::to_string(release.size), size_mismatch);
    } else if (const auto digest = sha->finish(); !hashed || !digest) {
        err << "brimora-feed: SHA-512 or the temporary copy of the payload failed\n";
        return EXIT_USAGE;
    } else if (*digest != release.sha512) {
        report.failed(
            "download",
            got + " with sha512 " + encode_base64(*digest) + ", the manifest says " + encode_base64(release.sha512),
            {"payload_hash_mismatch", FailureReason::payload_hash_mismatch});
    } else {
        report.ok("download", "200, " + got + ", SHA-512 matches the manifest");
        for (const CdnNote& note : payload_caching(full->headers)) {
            note.warning ? report.warn("cdn", note.text) : report.ok("cdn", note.text);
        }
        if (range_byte && *range_byte != last_byte) {
            report.failed(
                "range",
                "the 206 byte " + byte_text(*range_byte) + " is not the file's last byte " + byte_text(last_byte),
                {"payload_hash_mismatch", FailureReason::payload_hash_mismatch});
        }
        const auto signature = judge_signature(copy.path(), options);
        if (!signature) {
            err << "brimora-feed: " << signature.error() << "\n";
            return EXIT_USAGE;
        }
        if (const auto& refusal = signature->refusal) {
            report.failed("signature", signature->detail, *refusal);
        } else {
            report.ok("signature", signature->detail + (signature->timestamp ? ", RFC 3161 timestamp" : ""));
        }
        for (const auto& warning : signature->warnings) {
            report.warn("signature", warning);
        }
    }
    return report.finish();
}

}  // namespace brimora::feed
