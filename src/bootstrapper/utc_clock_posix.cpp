#include <ctime>

#include "brimora/acquisition.hpp"

namespace brimora {

std::string now_rfc3339() {
    timespec now{};
    // CLOCK_REALTIME cannot fail with a valid clock id and pointer; a zeroed value would read as
    // the epoch, which is still well-formed text.
    static_cast<void>(::clock_gettime(CLOCK_REALTIME, &now));
    return format_rfc3339_utc(static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace brimora
