#include <windows.h>

#include "brimora/acquisition.hpp"
#include "utc_time.hpp"

namespace brimora {

std::string now_rfc3339() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return detail::format_filetime_rfc3339(ticks);
}

}  // namespace brimora
