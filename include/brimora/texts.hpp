#pragma once
// The 24 user-interface texts, in English and Japanese, and the failure message of each reason.
// Held as UTF-8; the ellipsis is the single character U+2026.

#include <array>
#include <string_view>

#include "brimora/acquisition.hpp"

namespace brimora {

struct UiText {
    std::string_view preparing;             // 0
    std::string_view checking_latest;       // 1
    std::string_view downloading;           // 2
    std::string_view verifying_download;    // 3
    std::string_view verifying_publisher;   // 4
    std::string_view installing;            // 5
    std::string_view opening_installed;     // 6
    std::string_view app_opened;            // 7
    std::string_view install_complete;      // 8
    std::string_view stopping;              // 9
    std::string_view retry;                 // 10
    std::string_view cancel;                // 11
    std::string_view fatal_state;           // 12
    std::string_view fatal_window;          // 13
    std::string_view failure_network;       // 14
    std::string_view failure_release_info;  // 15
    std::string_view failure_download;      // 16
    std::string_view failure_disk_space;    // 17
    std::string_view failure_integrity;     // 18
    std::string_view failure_publisher;     // 19
    std::string_view failure_install;       // 20
    std::string_view failure_launch;        // 21
    std::string_view failure_cancelled;     // 22
    std::string_view failure_other;         // 23
};

namespace text {
extern const UiText EN;
extern const UiText JA;
}  // namespace text

// The texts of a language.
[[nodiscard]] const UiText& texts_for(InstallerLocale locale) noexcept;

// The message shown for a failure reason.
[[nodiscard]] std::string_view failure_message(const UiText& texts, FailureReason reason) noexcept;

}  // namespace brimora
