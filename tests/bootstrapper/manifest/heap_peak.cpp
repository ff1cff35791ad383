// Replaces the global operator new and delete of the manifest tests: each block carries its size
// in a header, so the live total, and its peak, are known at every moment. The array and nothrow
// forms of the standard library call these.

#include "heap_peak.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t HEADER = alignof(std::max_align_t);
std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};
std::size_t baseline = 0;

}  // namespace

void* operator new(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + HEADER));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t now = live.fetch_add(size) + size;
    std::size_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return block + HEADER;
}

void operator delete(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - HEADER;
    live.fetch_sub(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}

void operator delete(void* pointer, std::size_t /*size*/) noexcept { operator delete(pointer); }

namespace brimora::testing {

void reset_heap_peak() {
    baseline = live.load();
    peak.store(baseline);
}

std::size_t heap_peak_since_reset() { return peak.load() - baseline; }

}  // namespace brimora::testing
