#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

#include "brimora/random.hpp"

namespace brimora {

void fill_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        // Flags 0: blocks only until the kernel pool is first initialised, then never fails short
        // of EINTR for requests this small.
        const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::abort();
        }
        filled += static_cast<std::size_t>(n);
    }
}

}  // namespace brimora
