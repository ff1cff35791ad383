// is_rfc3339_date_time on any text: the same verdict every time, and one that does not depend on
// which separator character or which case of "Z" was written. The formatters' output, for any
// instant and any FILETIME, is accepted.

#include <brimora/acquisition.hpp>

#include <cstring>
#include <string>

#include "property.hpp"
#include "utc_time.hpp"

using namespace brimora;
using fuzz::require;

namespace {

template <typename T>
T take(const std::uint8_t*& data, std::size_t& size) {
    T value{};
    const std::size_t n = std::min(sizeof(T), size);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::text_of(data, size));
    const bool accepted = is_rfc3339_date_time(text);
    require(accepted == is_rfc3339_date_time(text), "the same text gets the same verdict");
    if (accepted) {
        for (const char separator : {'T', 't', ' ', '_'}) {
            std::string other = text;
            other[10] = separator;
            require(is_rfc3339_date_time(other), "any one separator character is accepted");
        }
        if (text.back() == 'Z' || text.back() == 'z') {
            std::string other = text;
            other.back() = text.back() == 'Z' ? 'z' : 'Z';
            require(is_rfc3339_date_time(other), "Z and z mean the same");
        }
    }

    const auto seconds = take<std::int64_t>(data, size);
    const auto nanoseconds = take<std::uint32_t>(data, size) % 1'000'000'000U;
    const std::string formatted = format_rfc3339_utc(seconds, nanoseconds);
    require(is_rfc3339_date_time(formatted) && formatted.back() == 'Z', "formatted UTC is accepted");
    require(formatted.size() >= 20 && formatted.size() <= 30, "formatted UTC has its fixed shape");
    const auto ticks = take<std::uint64_t>(data, size);
    require(is_rfc3339_date_time(detail::format_filetime_rfc3339(ticks)), "a formatted FILETIME is accepted");
    return 0;
}
