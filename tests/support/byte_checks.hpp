#pragma once
// Deterministic test bytes, a byte-string comparison that says where two strings part instead of
// printing both (payloads run to hundreds of kilobytes), and a bounded wait for a call that may hang.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "handles.hpp"

namespace brimora::testing {

inline std::string pattern_bytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Both absent, or both present with equal bytes.
inline ::testing::AssertionResult same_bytes(const std::optional<std::string>& actual,
                                             const std::optional<std::string>& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    if (!actual || !expected) {
        return ::testing::AssertionFailure()
               << (actual ? "present" : "absent") << ", expected " << (expected ? "present" : "absent");
    }
    const auto parted = std::ranges::mismatch(*actual, *expected).in1 - actual->begin();
    return ::testing::AssertionFailure() << actual->size() << " bytes, expected " << expected->size()
                                         << "; they part at byte " << parted;
}

// Runs `call` on a thread of its own and waits at most `limit`, printing the time taken. A call
// still running then is left behind with what it uses (the process exit ends it) and reported as
// nothing.
template <typename Call>
auto within(std::chrono::seconds limit, const char* what, Call call) -> std::optional<decltype(call())> {
    struct Shared {
        Call call;
        std::optional<decltype(call())> result;
    };
    auto* shared = new Shared{std::move(call), std::nullopt};
    const auto start = std::chrono::steady_clock::now();
    const win::KernelHandle thread(::CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* running = static_cast<Shared*>(parameter);
            running->result.emplace(running->call());
            return 0;
        },
        shared, 0, nullptr));
    const bool ready =
        thread && ::WaitForSingleObject(thread.get(), static_cast<DWORD>(std::chrono::milliseconds(limit).count())) ==
                      WAIT_OBJECT_0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("    %s: %s after %lld ms\n", what, ready ? "returned" : "still blocked",
                static_cast<long long>(ms.count()));
    if (!ready) {
        return std::nullopt;
    }
    auto result = std::move(shared->result);
    delete shared;
    return result;
}

}  // namespace brimora::testing
