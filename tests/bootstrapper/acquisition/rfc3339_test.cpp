#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "brimora/acquisition.hpp"
#include "utc_time.hpp"

namespace brimora {
namespace {

TEST(FormatRfc3339, KnownInstants) {
    const struct {
        std::int64_t unix_seconds;
        std::uint32_t nanoseconds;
        std::string_view expected;
    } cases[] = {
        // clang-format off
        {0, 0, "1970-01-01T00:00:00Z"}, {1709210096, 0, "2024-02-29T12:34:56Z"},
        {951782400, 0, "2000-02-29T00:00:00Z"}, {-2203891201, 0, "1900-02-28T23:59:59Z"},
        {-2203891200, 0, "1900-03-01T00:00:00Z"}, {1704067199, 0, "2023-12-31T23:59:59Z"},
        {2147483647, 0, "2038-01-19T03:14:07Z"}, {2147483648, 0, "2038-01-19T03:14:08Z"},
        {-1, 0, "1969-12-31T23:59:59Z"}, {-1, 500'000'000, "1969-12-31T23:59:59.5Z"},
        {-86400, 0, "1969-12-31T00:00:00Z"}, {-86401, 0, "1969-12-30T23:59:59Z"},
        {-11644473600, 0, "1601-01-01T00:00:00Z"}, {-62167219200, 0, "0000-01-01T00:00:00Z"},
        {253402300799, 0, "9999-12-31T23:59:59Z"}, {0, 500'000'000, "1970-01-01T00:00:00.5Z"},
        {0, 123'400'000, "1970-01-01T00:00:00.1234Z"}, {0, 1, "1970-01-01T00:00:00.000000001Z"},
        {0, 10, "1970-01-01T00:00:00.00000001Z"}, {0, 100, "1970-01-01T00:00:00.0000001Z"},
        {0, 999'999'999, "1970-01-01T00:00:00.999999999Z"}, {0, 100'000'000, "1970-01-01T00:00:00.1Z"},
        // Outside four-digit years the instant is pinned to the nearest writable one.
        {-62167219201, 5, "0000-01-01T00:00:00Z"}, {std::numeric_limits<std::int64_t>::min(), 0, "0000-01-01T00:00:00Z"},
        {253402300800, 0, "9999-12-31T23:59:59.999999999Z"}, {std::numeric_limits<std::int64_t>::max(), 0, "9999-12-31T23:59:59.999999999Z"},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_rfc3339_utc(c.unix_seconds, c.nanoseconds), c.expected)
            << c.unix_seconds << " s " << c.nanoseconds << " ns";
    }
}

TEST(FormatFiletime, CountsHundredNanosecondTicksFrom1601) {
    const struct {
        std::uint64_t ticks;
        std::string_view expected;
    } cases[] = {
        // clang-format off
        {0, "1601-01-01T00:00:00Z"}, {1, "1601-01-01T00:00:00.0000001Z"},
        {116444736000000000, "1970-01-01T00:00:00Z"}, {116444736000000001, "1970-01-01T00:00:00.0000001Z"},
        {116444735990000000, "1969-12-31T23:59:59Z"}, {116444735999999999, "1969-12-31T23:59:59.9999999Z"},
        {133536836961234567, "2024-02-29T12:34:56.1234567Z"}, {133536836965000000, "2024-02-29T12:34:56.5Z"},
        {std::numeric_limits<std::uint64_t>::max(), "9999-12-31T23:59:59.999999999Z"},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::format_filetime_rfc3339(c.ticks), c.expected) << c.ticks;
    }
}

TEST(IsRfc3339DateTime, FollowsTheGrammarAndTheCalendar) {
    // clang-format off
    for (const char* text : {"2024-02-29T12:34:56Z", "2024-02-29t12:34:56z", "2024-02-29 12:34:56Z",
                             "2024-02-29_12:34:56Z", "2024-02-29\x7f" "12:34:56Z", "2024-02-29T12:34:56.1Z",
                             "2024-02-29T12:34:56.123456789Z", "2024-02-29T12:34:56.1234567890123Z",
                             "2024-02-29T12:34:56+09:00", "2024-02-29T12:34:56-00:00", "2024-02-29T12:34:56.5-23:59",
                             "0000-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "2000-02-29T00:00:00Z",
                             "2024-12-31T00:00:00Z"}) {
        EXPECT_TRUE(is_rfc3339_date_time(text)) << text;
    }
    for (const char* text : {"2024-02-29\xc3" "12:34:56Z",  // separator is not ASCII
                             "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2024-02-30T00:00:00Z",
                             "2024-04-31T00:00:00Z", "2024-13-01T00:00:00Z", "2024-00-01T00:00:00Z",
                             "2024-01-00T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T23:60:00Z",
                             "2024-12-31T23:59:60Z",  // leap seconds are refused
                             "2024-01-01T00:00:00", "2024-01-01T00:00:00.Z", "2024-01-01T00:00:00.5",
                             "2024-01-01T00:00:00ZZ", "2024-01-01T00:00:00Z ", "2024-01-01T00:00:00+09",
                             "2024-01-01T00:00:00+0900", "2024-01-01T00:00:00+24:00", "2024-01-01T00:00:00+09:60",
                             "2024-01-01T00:00:00*09:00", "2024-01-01T00:00:00+09:00:00", "24-01-01T00:00:00Z",
                             "+2024-01-01T00:00:00Z", "2024/01/01T00:00:00Z", "2024-1-01T00:00:00Z",
                             "2024-01-01T0:00:00Z", "2024-01-01T00-00-00Z", "2024-01-01T00:00:0aZ", "2024-01-01", ""}) {
        // clang-format on
        EXPECT_FALSE(is_rfc3339_date_time(text)) << text;
    }
}

std::string system_clock_seconds() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return format_rfc3339_utc(std::chrono::duration_cast<std::chrono::seconds>(now).count(), 0);
}

TEST(NowRfc3339, IsTheCurrentUtcInstantWithATrimmedFraction) {
    const std::string before = system_clock_seconds();
    const std::string now = now_rfc3339();
    const std::string after = system_clock_seconds();
    ASSERT_TRUE(is_rfc3339_date_time(now)) << now;
    ASSERT_EQ(now.back(), 'Z') << now;
    // The fixed-width seconds prefix orders like the instants; a local-time or stale clock falls outside.
    EXPECT_LE(before.substr(0, 19), now.substr(0, 19)) << now;
    EXPECT_GE(after.substr(0, 19), now.substr(0, 19)) << now;
    if (now.size() > 20) {
        const std::string fraction = now.substr(20, now.size() - 21);
        EXPECT_EQ(now[19], '.') << now;
        EXPECT_GE(fraction.size(), 1U) << now;
        EXPECT_LE(fraction.size(), 9U) << now;
        EXPECT_NE(fraction.back(), '0') << now;
    } else {
        EXPECT_EQ(now.size(), 20U) << now;
    }
}

}  // namespace
}  // namespace brimora
