// The HTTPS transport against the rig's real TLS servers, reached through the production host
// names: what is sent, what comes back, who owns the handles, and how failures end.

#include <windows.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "support/byte_checks.hpp"
#include "support/rig_control.hpp"
#include "transport.hpp"

namespace brimora::win {
namespace {

using brimora::testing::LoggedRequest;
using brimora::testing::pattern_bytes;
using brimora::testing::Rig;
using brimora::testing::same_bytes;

std::string feed_path(std::string_view name) { return std::string(FEED_PREFIX) + std::string(name); }

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Reads a body to its end through the transport's own chunk read; nothing if a read failed.
std::optional<std::string> drain(const HttpResponse& response) {
    std::string body;
    std::vector<std::uint8_t> chunk(16384);
    for (;;) {
        const auto read = read_body_chunk(response, chunk);
        if (!read) {
            return std::nullopt;
        }
        if (*read == 0) {
            return body;
        }
        body.append(reinterpret_cast<const char*>(chunk.data()), *read);
    }
}

// Runs a call on its own thread and waits at most `limit` for it. A call that never returns is
// reported and left behind (process exit ends it); the measured time is printed either way.
template <typename Result, typename Call>
std::optional<Result> within(std::chrono::seconds limit, const char* what, Call call) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    const auto start = std::chrono::steady_clock::now();
    std::thread([shared, call]() mutable {
        Result result = call();
        const std::lock_guard lock(shared->mutex);
        shared->result.emplace(std::move(result));
        shared->finished = true;
        shared->done.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    const bool finished = shared->done.wait_for(lock, limit, [&] { return shared->finished; });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("    %s: %s after %lld ms\n", what, finished ? "returned" : "still blocked",
                static_cast<long long>(elapsed.count()));
    if (!finished) {
        return std::nullopt;
    }
    return std::move(shared->result);
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto directory = brimora::testing::rig_directory();
        ASSERT_TRUE(directory.has_value()) << "BRIMORA_RIG_DIR_WIN is not set: these tests talk to the rig's "
                                              "servers and run only inside tests/rig/run-in-namespace";
        rig_.emplace(*directory);
        rig_->normal_feed();
        ASSERT_TRUE(rig_->set_events_mode("200"));
    }
    void TearDown() override {
        if (rig_) {
            rig_->normal_feed();
            static_cast<void>(rig_->set_events_mode("200"));
        }
    }

    Rig& rig() { return *rig_; }

private:
    std::optional<Rig> rig_;
};

// The status is handed back as sent, 3xx included, and no second request ever follows.
TEST_F(TransportTest, StatusComesBackUninterpretedAndNothingIsFollowed) {
    const std::string redirect_target = "https://downloads.brimora.app" + feed_path("redirect-target.bin");
    struct Case {
        const char* name;
        nlohmann::json feed_mode;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"plain file", nlohmann::json::object(), 200},
        {"not found", {{"status", 404}}, 404},
        {"server error", {{"status", 500}}, 500},
        {"not modified", {{"status", 304}}, 304},
        {"partial content on a plain GET", {{"status", 206}}, 206},
        // A followed redirect would come back 200 with a second GET in the log.
        {"302 with a Location on the same host", {{"status", 302}, {"location", redirect_target}}, 302},
        {"301 with a Location on the same host", {{"status", 301}, {"location", redirect_target}}, 301},
    };
    ASSERT_TRUE(rig().serve("status.bin", "status body"));
    ASSERT_TRUE(rig().serve("redirect-target.bin", "the redirect target"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(rig().set_feed_mode(c.feed_mode));
        const std::size_t before = rig().feed_requests().size();
        auto response = open_request("GET", FEED_HOST, feed_path("status.bin"), std::nullopt, std::nullopt,
                                     FEED_TIMEOUTS);
        ASSERT_TRUE(response.has_value());
        EXPECT_EQ(response->status(), c.status);
        response->release();
        const auto requests = rig().feed_requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().path, feed_path("status.bin"));
    }

    ASSERT_TRUE(rig().set_events_mode("302"));
    const std::size_t events_before = rig().events().size();
    auto event = open_request("POST", EVENT_HOST, EVENT_PATH, std::nullopt, as_bytes("{}"), EVENT_TIMEOUTS);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->status(), 302u);
    event->release();
    EXPECT_EQ(rig().events().size(), events_before + 1);
}

// Exactly our headers: Range only for a non-zero offset, the JSON pair whenever a body is present.
TEST_F(TransportTest, SendsExactlyTheHeadersOfTheCall) {
    struct Case {
        const char* name;
        bool post;
        std::optional<std::uint64_t> range_start;
        std::optional<std::string> body;
        std::optional<std::string> range;
        bool json;
    };
    const Case cases[] = {
        {"no range", false, std::nullopt, std::nullopt, std::nullopt, false},
        {"range offset 0 is no range", false, 0, std::nullopt, std::nullopt, false},
        {"range offset 1", false, 1, std::nullopt, "bytes=1-", false},
        {"range offset 4096", false, 4096, std::nullopt, "bytes=4096-", false},
        {"range offset 2^64-1 in decimal", false, std::numeric_limits<std::uint64_t>::max(), std::nullopt,
         "bytes=18446744073709551615-", false},
        {"POST without a body", true, std::nullopt, std::nullopt, std::nullopt, false},
        {"POST with an empty body", true, std::nullopt, std::string(), std::nullopt, true},
        {"POST with a JSON body", true, std::nullopt, std::string(R"({"eventType":"installer_started"})"),
         std::nullopt, true},
    };
    // Headers WinHTTP adds by itself; anything else must be one of ours.
    const std::vector<std::string> client_defaults = {"host", "connection", "content-length", "cache-control",
                                                      "pragma"};
    ASSERT_TRUE(rig().serve("headers.bin", pattern_bytes(10000, 1)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::span<const std::uint8_t>> body;
        if (c.body) {
            body = as_bytes(*c.body);
        }
        const std::size_t before = c.post ? rig().events().size() : rig().feed_requests().size();
        auto response = c.post ? open_request("POST", EVENT_HOST, EVENT_PATH, c.range_start, body, EVENT_TIMEOUTS)
                               : open_request("GET", FEED_HOST, feed_path("headers.bin"), c.range_start, body,
                                              FEED_TIMEOUTS);
        ASSERT_TRUE(response.has_value());
        response->release();
        const auto logged = c.post ? rig().events() : rig().feed_requests();
        ASSERT_EQ(logged.size(), before + 1);
        const LoggedRequest& request = logged.back();
        std::printf("    %s: %s\n", c.name, request.header_names().c_str());
        EXPECT_EQ(request.method, c.post ? "POST" : "GET");
        EXPECT_EQ(request.path, c.post ? std::string(EVENT_PATH) : feed_path("headers.bin"));
        EXPECT_EQ(request.header("User-Agent"), std::optional<std::string>("BrimoraInstaller/1"));
        EXPECT_EQ(request.header("Range"), c.range);
        EXPECT_EQ(request.header("Content-Type"),
                  c.json ? std::optional<std::string>("application/json") : std::nullopt);
        EXPECT_EQ(request.header("Accept"), c.json ? std::optional<std::string>("application/json") : std::nullopt);
        if (c.post) {
            EXPECT_EQ(request.body, c.body.value_or(""));
            const auto length = request.header("Content-Length");
            EXPECT_EQ(length.value_or("0"), std::to_string(c.body.value_or("").size()));
        }
        for (const auto& [name, value] : request.headers) {
            const std::string lower = brimora::testing::lower_ascii(name);
            const bool ours = lower == "user-agent" || lower == "range" || lower == "content-type" || lower == "accept";
            EXPECT_TRUE(ours || std::ranges::find(client_defaults, lower) != client_defaults.end())
                << "unexpected header " << name << ": " << value;
        }
    }
}

TEST_F(TransportTest, StatusQueryReadsTheAnsweredRequestOnly) {
    ASSERT_TRUE(rig().set_feed_mode({{"status", 404}}));
    auto response =
        open_request("GET", FEED_HOST, feed_path("query.bin"), std::nullopt, std::nullopt, FEED_TIMEOUTS);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(query_status(response->request_handle()), std::optional<std::uint32_t>(404));
    EXPECT_EQ(query_status(nullptr), std::nullopt);
    void* const closed = response->request_handle();
    response->release();
    EXPECT_EQ(response->request_handle(), nullptr);
    EXPECT_EQ(query_status(closed), std::nullopt);
}

// Wine hands out the lowest free handle values again, so a stray second close of an old response
// would hit the handles of the next one and its body read would fail.
TEST_F(TransportTest, EachResponseClosesItsHandlesExactlyOnce) {
    const std::string bytes = pattern_bytes(50000, 2);
    ASSERT_TRUE(rig().serve("owned.bin", bytes));
    const auto get = [] {
        return open_request("GET", FEED_HOST, feed_path("owned.bin"), std::nullopt, std::nullopt, FEED_TIMEOUTS);
    };

    {
        SCOPED_TRACE("release twice, with a new request in between");
        auto first = get();
        ASSERT_TRUE(first.has_value());
        first->release();
        auto second = get();
        ASSERT_TRUE(second.has_value());
        first->release();
        first.reset();
        EXPECT_TRUE(same_bytes(drain(*second), bytes));
    }
    {
        SCOPED_TRACE("destroying a moved-from response");
        auto source = get();
        ASSERT_TRUE(source.has_value());
        HttpResponse moved = std::move(*source);
        source.reset();
        EXPECT_EQ(moved.status(), 200u);
        EXPECT_TRUE(same_bytes(drain(moved), bytes));
    }
    {
        SCOPED_TRACE("move assignment releases the target's old handles, keeps the source's");
        auto target = get();
        auto source = get();
        ASSERT_TRUE(target.has_value() && source.has_value());
        *target = std::move(*source);
        source.reset();
        EXPECT_TRUE(same_bytes(drain(*target), bytes));
    }
}

// In-memory bodies: 8192-byte reads, 65536 bytes accepted, one byte more refused.
TEST_F(TransportTest, BoundedBodyReadAcceptsUpTo65536Bytes) {
    struct Case {
        std::size_t size;
        bool accepted;
    };
    const Case cases[] = {
        {0, true},     {1, true},     {8191, true},  {8192, true},   {8193, true},
        {65535, true}, {65536, true}, {65537, false}, {73728, false}, {200000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string bytes = pattern_bytes(c.size, static_cast<std::uint32_t>(c.size));
        ASSERT_TRUE(rig().serve("bounded.bin", bytes));
        auto response =
            open_request("GET", FEED_HOST, feed_path("bounded.bin"), std::nullopt, std::nullopt, FEED_TIMEOUTS);
        ASSERT_TRUE(response.has_value());
        ASSERT_EQ(response->status(), 200u);
        const auto body = read_bounded_body(std::move(*response));
        ASSERT_EQ(body.has_value(), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(same_bytes(std::string(body->begin(), body->end()), bytes));
        }
    }
}

// The read stops at the first chunk past the limit. The server sends 65536 + 8192 bytes and then
// stalls: a reader that went on would sit out the 30 s receive timeout.
TEST_F(TransportTest, BoundedBodyReadStopsWithoutReadingOn) {
    ASSERT_TRUE(rig().serve("stalled.bin", pattern_bytes(300000, 3)));
    ASSERT_TRUE(rig().set_feed_mode({{"stall_after", 65536 + 8192}}));
    auto response =
        open_request("GET", FEED_HOST, feed_path("stalled.bin"), std::nullopt, std::nullopt, FEED_TIMEOUTS);
    ASSERT_TRUE(response.has_value());
    auto shared = std::make_shared<HttpResponse>(std::move(*response));
    const auto result = within<bool>(std::chrono::seconds(10), "oversized body read",
                                     [shared] { return read_bounded_body(std::move(*shared)).has_value(); });
    ASSERT_TRUE(result.has_value()) << "the read went on past the limit into the stalled part of the body";
    EXPECT_FALSE(*result);
}

// A request that cannot complete returns nothing, promptly. The silent service accepts the
// connection and the request and never answers; only the bound on the wait for the response
// headers releases the caller there.
TEST_F(TransportTest, FailedRequestsReturnNothingWithinTheirTimeouts) {
    struct Case {
        const char* name;
        const char* events_mode;
        std::string_view host;
    };
    const Case cases[] = {
        {"event service accepts, then stays silent", "silent", EVENT_HOST},
        {"event service absent", "absent", EVENT_HOST},
        {"host name that does not resolve", "200", "nowhere.brimora.app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(rig().set_events_mode(c.events_mode));
        const std::string host(c.host);
        const auto returned = within<bool>(std::chrono::seconds(10), c.name, [host] {
            return open_request("POST", host, EVENT_PATH, std::nullopt, as_bytes("{}"), EVENT_TIMEOUTS).has_value();
        });
        ASSERT_TRUE(returned.has_value()) << "the request still blocks after 10 s; its phases are bounded by 500 ms";
        EXPECT_FALSE(*returned);
    }
}

// A listener that completes TCP connections and never speaks TLS: the handshake itself hangs. The
// event recorder is switched off so that this test can take its address and port for a moment.
TEST_F(TransportTest, HandshakeThatNeverCompletesIsBounded) {
    ASSERT_TRUE(rig().set_events_mode("absent"));
    WSADATA wsa;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(443);
    ASSERT_EQ(::inet_pton(AF_INET, "127.0.0.3", &address.sin_addr), 1);
    const bool listening = ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
                           ::listen(listener, 4) == 0;
    std::optional<bool> returned;
    if (listening) {
        returned = within<bool>(std::chrono::seconds(10), "silent TCP listener, no TLS", [] {
            return open_request("POST", EVENT_HOST, EVENT_PATH, std::nullopt, as_bytes("{}"), EVENT_TIMEOUTS)
                .has_value();
        });
    }
    ::closesocket(listener);
    ::WSACleanup();
    ASSERT_TRUE(listening) << "could not listen on 127.0.0.3:443 in place of the event recorder";
    ASSERT_TRUE(returned.has_value()) << "the TLS handshake still blocks after 10 s; its wait is bounded by 500 ms";
    EXPECT_FALSE(*returned);
}

}  // namespace
}  // namespace brimora::win
