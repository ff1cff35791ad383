#pragma once
// Finding the user's installed copy of the application and opening it. A copy is only ever
// started after it has passed the publisher check.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "failure.hpp"

namespace brimora::win {

// The per-user key under HKEY_CURRENT_USER where the application's installer records its location.
inline constexpr const wchar_t* INSTALL_KEY_PATH = L"Software\\9b2e4d71-5c08-5a3f-8e6d-2f71c4a90b5e";
// The REG_SZ value under INSTALL_KEY_PATH naming the directory of the installed executable.
inline constexpr const wchar_t* INSTALL_LOCATION_VALUE = L"InstallLocation";
// The file name of the application's executable.
inline constexpr std::wstring_view APP_EXE_NAME = L"brimora.exe";
// How many passes launch_installed_app makes before giving up.
inline constexpr int LAUNCH_PASSES = 20;
// The pause after each pass of launch_installed_app that found no verified candidate.
inline constexpr std::chrono::milliseconds LAUNCH_PASS_DELAY{250};

// Whether the size query's type and byte size describe a value worth reading: REG_SZ, even, 2 to 32768 bytes.
[[nodiscard]] bool install_location_readable(DWORD type, DWORD size) noexcept;

// The directory text of REG_SZ data given as UTF-16 units: all trailing zero units dropped; nothing if a surrogate is
// unpaired or a zero unit remains inside.
[[nodiscard]] std::optional<std::wstring> decode_install_location(std::wstring_view units);

// The paths in their order with every entry removed that has the same components as the entry right before it.
[[nodiscard]] std::vector<std::wstring> without_neighbour_duplicates(std::vector<std::wstring> paths);

// The existing regular files among the registry candidate and the LOCALAPPDATA fallbacks, in that order, neighbour
// duplicates removed; never fails.
[[nodiscard]] std::vector<std::wstring> installed_app_candidates();

// One pass over the candidates: true once a verified candidate was started (its handles closed); false if none started.
[[nodiscard]] bool launch_existing_app();

// Sleeps LAUNCH_PASS_DELAY: the pause launch_installed_app makes after a pass that opened nothing.
void pause_after_pass();

// Up to LAUNCH_PASSES passes with a call of `pause` after each that verified nothing: success once the first verified
// candidate starts; ("launch_failed", launch_failed) at once if it does not; ("installed_app_not_found", launch_failed)
// after the last pass.
[[nodiscard]] Outcome<void> launch_installed_app(void (*pause)() = pause_after_pass);

}  // namespace brimora::win
