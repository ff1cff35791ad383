#include <windows.h>

#include "system_dlls.hpp"

namespace brimora::win {
namespace {

// Not Known DLLs, so a plain search would try the exe's folder before System32. The exe imports
// them through delay-import libraries (cmake/system32_dlls.cmake holds the same list); loading
// them here first means the delay-load helper finds each one already in the process and never
// searches, and a missing one becomes an error value instead of the helper's exception.
constexpr const wchar_t* SYSTEM32_ONLY[] = {L"bcrypt.dll", L"comctl32.dll", L"crypt32.dll", L"winhttp.dll",
                                            L"wintrust.dll"};

}  // namespace

std::expected<void, const wchar_t*> load_system_dlls() noexcept {
    // Also covers what those DLLs load in turn, and every LoadLibrary without a path.
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return std::unexpected(L"");
    }
    for (const wchar_t* name : SYSTEM32_ONLY) {
        // Kept loaded for the life of the process: the delay-import tables point into them.
        if (::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr) {
            return std::unexpected(name);
        }
    }
    return {};
}

}  // namespace brimora::win
