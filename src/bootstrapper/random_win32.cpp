#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

#include "brimora/random.hpp"

namespace brimora {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng lives in bcryptprimitives.dll (Windows 10+). It is looked up at run time because
// importing it statically makes the exe fail to load where the DLL lacks it (Wine 8 among them).
ProcessPrngFn find_process_prng() {
    HMODULE module = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
}

// Looked up once while the program starts, before any thread of ours exists. A function-local
// static would need a thread-safe guard, which links libstdc++'s guard and winpthread (~29 KB).
const ProcessPrngFn PROCESS_PRNG = find_process_prng();

}  // namespace

void fill_random(std::span<std::uint8_t> out) {
    const ProcessPrngFn process_prng = PROCESS_PRNG;
    std::size_t filled = 0;
    while (filled < out.size()) {
        const std::size_t left = out.size() - filled;
        const ULONG chunk = left > 0x10000000 ? 0x10000000 : static_cast<ULONG>(left);
        if (process_prng != nullptr) {
            // Documented never to fail; it returns TRUE always.
            process_prng(out.data() + filled, chunk);
        } else if (!BCRYPT_SUCCESS(
                       ::BCryptGenRandom(nullptr, out.data() + filled, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            std::abort();
        }
        filled += chunk;
    }
}

}  // namespace brimora
