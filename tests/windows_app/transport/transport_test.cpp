// The HTTPS transport against the rig's TLS servers, reached through the production host names.

#include <windows.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/byte_checks.hpp"
#include "support/rig_control.hpp"
#include "transport.hpp"

namespace brimora::win {
namespace {

using namespace std::chrono_literals;
namespace rig = brimora::testing::rig;
using brimora::testing::pattern_bytes;
using brimora::testing::same_bytes;
using brimora::testing::within;
using Json = nlohmann::json;

std::string feed_path(const std::string& name) { return std::string(FEED_PREFIX) + name; }

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::optional<HttpResponse> get(const std::string& name, std::optional<std::uint64_t> range = std::nullopt) {
    return open_request("GET", FEED_HOST, feed_path(name), range, std::nullopt, FEED_TIMEOUTS);
}

std::optional<HttpResponse> post(std::optional<std::string_view> body, std::string host = std::string(EVENT_HOST)) {
    return open_request("POST", host, EVENT_PATH, std::nullopt, body ? std::optional(as_bytes(*body)) : std::nullopt,
                        EVENT_TIMEOUTS);
}

std::optional<std::string> drain(const HttpResponse& response) {
    std::string body;
    std::uint8_t chunk[16384];
    for (;;) {
        const auto read = read_body_chunk(response, chunk);
        if (!read || *read == 0) {
            return read ? std::optional(body) : std::nullopt;
        }
        body.append(reinterpret_cast<const char*>(chunk), *read);
    }
}

using TransportTest = rig::RigTest;

// The status comes back as sent, 3xx included, and no second request follows.
TEST_F(TransportTest, StatusIsReturnedAndRedirectsAreNotFollowed) {
    const std::string elsewhere = "https://downloads.brimora.app" + feed_path("elsewhere.bin");
    const std::pair<Json, std::uint32_t> cases[] = {
        {Json::object(), 200},
        {{{"status", 404}}, 404},
        {{{"status", 304}}, 304},
        {{{"status", 206}}, 206},
        {{{"status", 302}, {"location", elsewhere}}, 302},
    };
    ASSERT_TRUE(rig::serve("status.bin", "body") && rig::serve("elsewhere.bin", "redirect target"));
    for (const auto& [mode, status] : cases) {
        SCOPED_TRACE(mode.dump());
        ASSERT_TRUE(rig::set_feed_mode(mode));
        const std::size_t before = rig::feed_requests().size();
        auto response = get("status.bin");
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status(), status);
        response.reset();
        EXPECT_EQ(rig::feed_requests().size(), before + 1);
    }
    ASSERT_TRUE(rig::set_events_mode("302"));
    const std::size_t before = rig::events().size();
    auto response = post("{}");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status(), 302u);
    EXPECT_EQ(rig::events().size(), before + 1);
}

// Our headers exactly: Range only for a non-zero offset, the JSON pair whenever a body is present.
TEST_F(TransportTest, SendsExactlyTheHeadersOfTheCall) {
    using Opt = std::optional<std::string>;
    // The range asked for; the body (present: a POST to the event service); the Range header sent;
    // whether the JSON pair is sent.
    const std::tuple<std::optional<std::uint64_t>, std::optional<std::string_view>, Opt, bool> cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, false},
        {0, std::nullopt, std::nullopt, false},
        {1, std::nullopt, "bytes=1-", false},
        {std::numeric_limits<std::uint64_t>::max(), std::nullopt, "bytes=18446744073709551615-", false},
        {std::nullopt, "", std::nullopt, true},
        {std::nullopt, R"({"eventType":"installer_started"})", std::nullopt, true},
    };
    const std::vector<std::string> allowed = {"host",  "connection",   "content-length", "user-agent",
                                              "range", "content-type", "accept"};
    ASSERT_TRUE(rig::serve("headers.bin", "0123456789"));
    for (const auto& [range_start, body, range, json] : cases) {
        SCOPED_TRACE(range_start ? std::to_string(*range_start) : body ? "body" : "neither");
        const std::size_t before = body ? rig::events().size() : rig::feed_requests().size();
        auto response = body ? post(*body) : get("headers.bin", range_start);
        ASSERT_TRUE(response);
        response.reset();
        const auto logged = body ? rig::events() : rig::feed_requests();
        ASSERT_EQ(logged.size(), before + 1);
        const auto& request = logged.back();
        EXPECT_EQ(request.method, body ? "POST" : "GET");
        EXPECT_EQ(request.header("User-Agent"), Opt("BrimoraInstaller/1"));
        EXPECT_EQ(request.header("Range"), range);
        EXPECT_EQ(request.header("Content-Type"), json ? Opt("application/json") : std::nullopt);
        EXPECT_EQ(request.header("Accept"), json ? Opt("application/json") : std::nullopt);
        if (body) {
            EXPECT_EQ(request.body, *body);
            EXPECT_EQ(request.header("Content-Length"), std::to_string(body->size()));
        }
        for (const auto& [name, value] : request.headers) {
            EXPECT_NE(std::ranges::find(allowed, rig::lower_ascii(name)), allowed.end()) << name;
        }
    }
}

TEST_F(TransportTest, StatusQueryNeedsALiveRequestHandle) {
    ASSERT_TRUE(rig::set_feed_mode({{"status", 404}}));
    auto response = get("query.bin");
    ASSERT_TRUE(response);
    void* const handle = response->request_handle();
    EXPECT_EQ(query_status(handle), std::optional<std::uint32_t>(404));
    response->release();
    EXPECT_EQ(query_status(handle), std::nullopt);
    EXPECT_EQ(query_status(nullptr), std::nullopt);
}

// Wine reuses freed handle values at once, so a second close by an old owner would close the next
// response's handles and its body read would fail.
TEST_F(TransportTest, EachResponseClosesItsHandlesOnce) {
    const std::string bytes = pattern_bytes(50000, 2);
    ASSERT_TRUE(rig::serve("owned.bin", bytes));
    auto first = get("owned.bin");
    ASSERT_TRUE(first);
    first->release();
    auto second = get("owned.bin");
    ASSERT_TRUE(second);
    first->release();
    first.reset();
    EXPECT_TRUE(same_bytes(drain(*second), bytes)) << "release twice";

    auto moved_from = get("owned.bin");
    ASSERT_TRUE(moved_from);
    HttpResponse moved = std::move(*moved_from);
    moved_from.reset();
    EXPECT_TRUE(same_bytes(drain(moved), bytes)) << "move construction";

    auto target = get("owned.bin");
    auto source = get("owned.bin");
    ASSERT_TRUE(target && source);
    *target = std::move(*source);
    source.reset();
    EXPECT_TRUE(same_bytes(drain(*target), bytes)) << "move assignment";
}

TEST_F(TransportTest, BoundedBodyReadTakesAtMost65536Bytes) {
    for (const std::size_t size : {0u, 8193u, 65536u, 65537u}) {
        SCOPED_TRACE(size);
        const std::string bytes = pattern_bytes(size, 3);
        ASSERT_TRUE(rig::serve("bounded.bin", bytes));
        auto response = get("bounded.bin");
        ASSERT_TRUE(response);
        const auto body = read_bounded_body(std::move(*response));
        if (size <= 65536) {
            ASSERT_TRUE(body);
            EXPECT_TRUE(same_bytes(std::string(body->begin(), body->end()), bytes));
        } else {
            EXPECT_FALSE(body);
        }
    }
    // 65536 + 8192 bytes, then silence: only a reader that went on would meet the stall (and sit
    // out the 30 s receive timeout).
    ASSERT_TRUE(rig::serve("stalled.bin", pattern_bytes(300000, 4)));
    ASSERT_TRUE(rig::set_feed_mode({{"stall_after", 65536 + 8192}}));
    auto response = std::make_shared<std::optional<HttpResponse>>(get("stalled.bin"));
    ASSERT_TRUE(*response);
    const auto read = within(10s, "oversized body", [response] { return read_bounded_body(std::move(**response)); });
    ASSERT_TRUE(read) << "the read went on past the limit";
    EXPECT_FALSE(*read);
}

// A read into the download's 131072-byte buffer hands over what has arrived instead of waiting for
// the buffer to fill: 1000 bytes and then silence must all come out well before the 30 s receive
// timeout, which would otherwise fail the read and lose them.
TEST_F(TransportTest, ReadsReturnWhatHasArrivedWithoutFillingTheBuffer) {
    const std::string bytes = pattern_bytes(300000, 5);
    ASSERT_TRUE(rig::serve("trickle.bin", bytes));
    ASSERT_TRUE(rig::set_feed_mode({{"stall_after", 1000}}));
    auto response = std::make_shared<std::optional<HttpResponse>>(get("trickle.bin"));
    ASSERT_TRUE(*response);
    auto buffer = std::make_shared<std::vector<std::uint8_t>>(131072);
    std::string received;
    while (received.size() < 1000) {
        const auto read =
            within(10s, "a read after the stall", [response, buffer] { return read_body_chunk(**response, *buffer); });
        ASSERT_TRUE(read) << "the read waits for bytes that never come, after " << received.size();
        ASSERT_TRUE(*read && **read > 0) << "failed after " << received.size() << " bytes";
        received.append(reinterpret_cast<const char*>(buffer->data()), **read);
    }
    EXPECT_TRUE(same_bytes(received, bytes.substr(0, 1000)));
}

// Requests that cannot complete return nothing within their 500 ms phases. A silent service (the
// TLS session up, the request read, no answer) and a silent TCP listener (no TLS handshake) are
// released only by the receive-response timeout: the plain receive timeout bounds neither.
TEST_F(TransportTest, FailingRequestsReturnNothingPromptly) {
    const std::pair<const char*, std::string> cases[] = {
        {"silent", std::string(EVENT_HOST)}, {"absent", std::string(EVENT_HOST)}, {"200", "nowhere.brimora.app"}};
    for (const auto& [mode, host] : cases) {
        ASSERT_TRUE(rig::set_events_mode(mode));
        const auto result = within(10s, mode, [host] { return post("{}", host).has_value(); });
        ASSERT_TRUE(result) << mode << ": still blocked";
        EXPECT_FALSE(*result) << mode;
    }

    ASSERT_TRUE(rig::set_events_mode("absent"));
    WSADATA wsa;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(443);
    ::inet_pton(AF_INET, "127.0.0.3", &address.sin_addr);
    const bool listening = ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
                           ::listen(listener, 4) == 0;
    const auto result =
        listening ? within(10s, "no TLS handshake", [] { return post("{}").has_value(); }) : std::nullopt;
    ::closesocket(listener);
    ::WSACleanup();
    ASSERT_TRUE(listening) << "cannot listen on 127.0.0.3:443 in the event recorder's place";
    ASSERT_TRUE(result) << "the handshake still blocks";
    EXPECT_FALSE(*result);
}

}  // namespace
}  // namespace brimora::win
