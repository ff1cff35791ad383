#include <cstddef>

#include "brimora/acquisition.hpp"
#include "utc_time.hpp"

namespace brimora {
namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86'400;

constexpr bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr int days_in_month(int year, int month) {
    constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146'097 + static_cast<std::int64_t>(day_of_era) - 719'468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

constexpr CivilDate civil_from_days(std::int64_t days) {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
    const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Four-digit years are all RFC 3339 can write; a clock outside them is pinned to the nearest end.
constexpr std::int64_t FIRST_SECOND = days_from_civil(0, 1, 1) * SECONDS_PER_DAY;
constexpr std::int64_t LAST_SECOND = days_from_civil(10'000, 1, 1) * SECONDS_PER_DAY - 1;

constexpr std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

void append_digits(std::string& out, std::uint64_t value, int width) {
    char buffer[20];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<std::size_t>(width));
}

// The value of `count` decimal digits at `pos`, or -1.
int digits_at(std::string_view text, std::size_t pos, std::size_t count) {
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

bool is_rfc3339_date_time(std::string_view text) {
    // YYYY-MM-DD?HH:MM:SS is 19 characters; at least a "Z" must follow.
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[13] != ':' || text[16] != ':' ||
        static_cast<unsigned char>(text[10]) > 0x7F) {
        return false;
    }
    const int year = digits_at(text, 0, 4);
    const int month = digits_at(text, 5, 2);
    const int day = digits_at(text, 8, 2);
    const int hour = digits_at(text, 11, 2);
    const int minute = digits_at(text, 14, 2);
    // A leap second (60) is refused: nothing this system writes carries one.
    const int second = digits_at(text, 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    std::size_t pos = 19;
    if (text[pos] == '.') {
        const std::size_t first = ++pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            ++pos;
        }
        if (pos == first) {
            return false;
        }
    }
    const std::string_view zone = text.substr(pos);
    if (zone == "Z" || zone == "z") {
        return true;
    }
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
        return false;
    }
    const int offset_hours = digits_at(zone, 1, 2);
    const int offset_minutes = digits_at(zone, 4, 2);
    return offset_hours >= 0 && offset_hours < 24 && offset_minutes >= 0 && offset_minutes < 60;
}

std::string format_rfc3339_utc(std::int64_t unix_seconds, std::uint32_t nanoseconds) {
    if (unix_seconds < FIRST_SECOND) {
        unix_seconds = FIRST_SECOND;
        nanoseconds = 0;
    } else if (unix_seconds > LAST_SECOND) {
        unix_seconds = LAST_SECOND;
        nanoseconds = 999'999'999;
    }
    const std::int64_t days = floor_div(unix_seconds, SECONDS_PER_DAY);
    const auto second_of_day = static_cast<std::uint64_t>(unix_seconds - days * SECONDS_PER_DAY);
    const CivilDate date = civil_from_days(days);

    std::string out;
    out.reserve(30);
    append_digits(out, static_cast<std::uint64_t>(date.year), 4);
    out.push_back('-');
    append_digits(out, date.month, 2);
    out.push_back('-');
    append_digits(out, date.day, 2);
    out.push_back('T');
    append_digits(out, second_of_day / 3600, 2);
    out.push_back(':');
    append_digits(out, second_of_day / 60 % 60, 2);
    out.push_back(':');
    append_digits(out, second_of_day % 60, 2);
    if (nanoseconds != 0) {
        out.push_back('.');
        append_digits(out, nanoseconds, 9);
        while (out.back() == '0') {
            out.pop_back();
        }
    }
    out.push_back('Z');
    return out;
}

namespace detail {

std::string format_filetime_rfc3339(std::uint64_t ticks) {
    constexpr std::int64_t TICKS_PER_SECOND = 10'000'000;
    // 1601-01-01 lies 11644473600 s before the Unix epoch; FILETIME counts from there.
    constexpr std::int64_t EPOCH_OFFSET_SECONDS = -days_from_civil(1601, 1, 1) * SECONDS_PER_DAY;
    const auto whole_seconds = static_cast<std::int64_t>(ticks / TICKS_PER_SECOND);
    const auto sub_ticks = static_cast<std::uint32_t>(ticks % TICKS_PER_SECOND);
    return format_rfc3339_utc(whole_seconds - EPOCH_OFFSET_SECONDS, sub_ticks * 100);
}

}  // namespace detail
}  // namespace brimora
