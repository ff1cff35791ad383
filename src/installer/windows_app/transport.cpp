#include <windows.h>

#include <winhttp.h>

#include "transport.hpp"

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "utf16.hpp"

namespace brimora::win {
namespace {

static_assert(sizeof(HINTERNET) == sizeof(void*));

// WinHttpSetTimeouts takes signed values and reads a negative one as "wait forever"; a huge
// unsigned limit must stay a finite one.
int as_timeout(std::uint32_t milliseconds) noexcept {
    return static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX));
}

bool set_dword_option(HINTERNET handle, DWORD option, DWORD value) noexcept {
    return ::WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

}  // namespace

HttpResponse::HttpResponse(WinHttpHandle open, WinHttpHandle connect, WinHttpHandle request,
                           std::uint32_t status) noexcept
    : open_(std::move(open)), connect_(std::move(connect)), request_(std::move(request)), status_(status) {}

// The order open, connect, request is the owner's contract; member destruction order would be the
// reverse, so it is spelled out here.
void HttpResponse::release() noexcept {
    open_.reset();
    connect_.reset();
    request_.reset();
}

std::optional<HttpResponse> open_request(std::string_view verb, std::string_view host, std::string_view path,
                                         std::optional<std::uint64_t> range_start,
                                         std::optional<std::span<const std::uint8_t>> body, const Timeouts& timeouts) {
    const std::optional<std::wstring> agent_w = to_utf16(USER_AGENT);
    const std::optional<std::wstring> host_w = to_utf16(host);
    const std::optional<std::wstring> verb_w = to_utf16(verb);
    const std::optional<std::wstring> path_w = to_utf16(path);
    if (!agent_w || !host_w || !verb_w || !path_w) {
        return std::nullopt;
    }
    const std::size_t body_length = body ? body->size() : 0;
    if (body_length > MAXDWORD) {
        return std::nullopt;
    }

    // Synchronous handle (no WINHTTP_FLAG_ASYNC); the system and per-user proxy settings apply.
    // Wine 8 accepts this access type as Windows 8.1 and later do, so there is no fallback to the
    // older default-proxy type: that one ignores the per-user settings the user relies on.
    // Should a step fail, the newest handle goes first: request, then connect, then session (the
    // reverse of their declaration).
    WinHttpHandle session(::WinHttpOpen(agent_w->c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return std::nullopt;
    }
    if (!set_dword_option(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)) {
        return std::nullopt;
    }
    if (!::WinHttpSetTimeouts(session.get(), as_timeout(timeouts.resolve), as_timeout(timeouts.connect),
                              as_timeout(timeouts.send), as_timeout(timeouts.receive))) {
        return std::nullopt;
    }
    WinHttpHandle connect(::WinHttpConnect(session.get(), host_w->c_str(), HTTPS_PORT, 0));
    if (!connect) {
        return std::nullopt;
    }
    WinHttpHandle request(::WinHttpOpenRequest(connect.get(), verb_w->c_str(), path_w->c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) {
        return std::nullopt;
    }
    if (!set_dword_option(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        return std::nullopt;
    }
    // The receive timeout of WinHttpSetTimeouts covers body reads only. The wait for the response
    // headers has a limit of its own: 90 s by default on Windows, and unbounded under Wine, where
    // it also covers the TLS handshake. Without this a server that accepts and then stays silent
    // would hold the caller far beyond its receive timeout, or forever.
    if (!set_dword_option(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, timeouts.receive)) {
        return std::nullopt;
    }

    std::string headers;
    if (range_start && *range_start != 0) {
        headers += "Range: bytes=" + std::to_string(*range_start) + "-\r\n";
    }
    if (body) {
        headers += "Content-Type: application/json\r\nAccept: application/json\r\n";
    }
    if (!headers.empty()) {
        const std::optional<std::wstring> headers_w = to_utf16(headers);
        if (!headers_w || !::WinHttpAddRequestHeaders(request.get(), headers_w->c_str(), static_cast<DWORD>(-1),
                                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            return std::nullopt;
        }
    }

    // WinHTTP only reads the optional data, but its signature takes a mutable pointer.
    void* data = body_length != 0 ? const_cast<std::uint8_t*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
    const auto length = static_cast<DWORD>(body_length);
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0)) {
        return std::nullopt;
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> status = query_status(request.get());
    if (!status) {
        return std::nullopt;
    }
    return HttpResponse(std::move(session), std::move(connect), std::move(request), *status);
}

std::optional<std::uint32_t> query_status(void* request_handle) noexcept {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request_handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(status);
}

std::optional<std::size_t> read_body_chunk(const HttpResponse& response, std::span<std::uint8_t> buffer) noexcept {
    // Wine's WinHttpReadData waits until the whole buffer is full (or the body ends), so on a
    // trickling link one read could outlast a cancel request by minutes and a stalled server
    // would take the bytes already received down with the timed-out read. Waiting for data
    // first and asking only for what has arrived makes every read return promptly everywhere.
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(response.request_handle(), &available)) {
        return std::nullopt;
    }
    if (available == 0) {
        return 0;
    }
    const auto capacity = static_cast<DWORD>(std::min<std::size_t>({buffer.size(), MAXDWORD, available}));
    DWORD read = 0;
    if (!::WinHttpReadData(response.request_handle(), buffer.data(), capacity, &read)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(read);
}

std::optional<std::vector<std::uint8_t>> read_bounded_body(HttpResponse response) {
    std::vector<std::uint8_t> body;
    std::uint8_t chunk[BOUNDED_READ_CHUNK_BYTES];
    for (;;) {
        const std::optional<std::size_t> read = read_body_chunk(response, chunk);
        if (!read) {
            response.release();
            return std::nullopt;
        }
        if (*read == 0) {
            response.release();
            return body;
        }
        // A hostile or broken server must not make us buffer without limit: stop at the first
        // read that would pass the limit instead of draining the rest.
        if (*read > BOUNDED_BODY_LIMIT_BYTES - body.size()) {
            response.release();
            return std::nullopt;
        }
        body.insert(body.end(), chunk, chunk + *read);
    }
}

}  // namespace brimora::win
