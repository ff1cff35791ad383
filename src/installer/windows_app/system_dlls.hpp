#pragma once
// Where the installer's DLLs come from: System32 only, never the folder the exe was started from.

#include <expected>

namespace brimora::win {

// Restricts every later DLL search of the process to System32, then loads from there each system
// DLL the exe reaches through a delay import. On error: the name of the DLL that could not be
// loaded (empty when the search order itself could not be set).
[[nodiscard]] std::expected<void, const wchar_t*> load_system_dlls() noexcept;

}  // namespace brimora::win
