#pragma once
// HTTPS for the installer: one synchronous request per call over a fresh WinHTTP handle chain,
// the fixed endpoints of the release feed and the event service, and the body reads callers use.
// winhttp.h stays inside transport.cpp (it clashes with wininet.h under MinGW), so the handles
// appear here as the void pointers HINTERNET stands for.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "handles.hpp"

namespace brimora::win {

inline constexpr std::string_view FEED_HOST = "downloads.brimora.app";
inline constexpr std::string_view FEED_BUCKET = "brimora-desktop-releases";
inline constexpr std::string_view FEED_PREFIX = "/brimora-desktop-releases/production/win32-x64/";
inline constexpr std::string_view MANIFEST_PATH = "/brimora-desktop-releases/production/win32-x64/latest.yml";
inline constexpr std::string_view EVENT_HOST = "events.brimora.app";
inline constexpr std::string_view EVENT_PATH = "/api/desktop/acquisition-events";
inline constexpr std::string_view USER_AGENT = "BrimoraInstaller/1";
inline constexpr std::uint16_t HTTPS_PORT = 443;

// The prefix is "/" + bucket + "/production/win32-x64/" and the manifest lives right under it.
static_assert(FEED_PREFIX.substr(0, 1) == "/" && FEED_PREFIX.substr(1, FEED_BUCKET.size()) == FEED_BUCKET &&
              FEED_PREFIX.substr(1 + FEED_BUCKET.size()) == "/production/win32-x64/");
static_assert(MANIFEST_PATH.substr(0, FEED_PREFIX.size()) == FEED_PREFIX &&
              MANIFEST_PATH.substr(FEED_PREFIX.size()) == "latest.yml");

// Per-phase limits in milliseconds.
struct Timeouts {
    std::uint32_t resolve;
    std::uint32_t connect;
    std::uint32_t send;
    std::uint32_t receive;
};

inline constexpr Timeouts FEED_TIMEOUTS{15000, 15000, 30000, 30000};
inline constexpr Timeouts EVENT_TIMEOUTS{500, 500, 500, 500};

inline constexpr std::size_t BOUNDED_READ_CHUNK_BYTES = 8192;
inline constexpr std::size_t BOUNDED_BODY_LIMIT_BYTES = 65536;

// The open handle chain and status code of one answered request. Move-only; the handles are closed
// exactly once, by release() or by the destructor, whichever comes first.
class HttpResponse {
public:
    // Takes ownership of the three handles (any may be empty) and records the status.
    HttpResponse(WinHttpHandle open, WinHttpHandle connect, WinHttpHandle request, std::uint32_t status) noexcept;
    HttpResponse(HttpResponse&& other) noexcept = default;
    // Member by member in declaration order, so the handles held before close open, connect, request.
    HttpResponse& operator=(HttpResponse&& other) noexcept = default;
    ~HttpResponse() { release(); }

    // The status code as the server sent it.
    [[nodiscard]] std::uint32_t status() const noexcept { return status_; }

    // The handle the body is read through; null once released.
    [[nodiscard]] void* request_handle() const noexcept { return request_.get(); }

    // Closes each open handle in the order open, connect, request; later calls do nothing.
    void release() noexcept;

private:
    WinHttpHandle open_;
    WinHttpHandle connect_;
    WinHttpHandle request_;
    std::uint32_t status_;
};

// Sends one request and waits for the response headers; nothing (and every handle closed) when
// any step fails. Range "bytes=N-" only for a present, non-zero range_start; the two JSON headers
// whenever a body is present, even an empty one. Redirects are never followed.
[[nodiscard]] std::optional<HttpResponse> open_request(std::string_view verb, std::string_view host,
                                                       std::string_view path, std::optional<std::uint64_t> range_start,
                                                       std::optional<std::span<const std::uint8_t>> body,
                                                       const Timeouts& timeouts);

// The numeric status of an answered request; nothing when it cannot be read.
[[nodiscard]] std::optional<std::uint32_t> query_status(void* request_handle) noexcept;

// One body read into `buffer`, waiting only until some bytes have arrived and taking no more than
// have: the byte count, 0 at the end of the body, nothing when it failed or timed out.
[[nodiscard]] std::optional<std::size_t> read_body_chunk(const HttpResponse& response,
                                                         std::span<std::uint8_t> buffer) noexcept;

// The whole body in 8192-byte reads, at most 65536 bytes (a larger body fails as soon as a read
// would pass the limit, without reading on). Releases the response on every path.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> read_bounded_body(HttpResponse response);

}  // namespace brimora::win
