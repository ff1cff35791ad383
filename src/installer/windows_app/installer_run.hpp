#pragma once
// Running the downloaded installer silently for the current user and waiting for its exit code.

#include <functional>
#include <optional>
#include <string>

#include "failure.hpp"
#include "lock_retry.hpp"

namespace brimora::win {

// `"<installer>" /S /currentuser --force-run`; nothing for a path command_line refuses.
[[nodiscard]] std::optional<std::wstring> installer_command_line(const std::wstring& installer);

// Starts `"<installer>" /S /currentuser --force-run` (through the short path when the long one is
// too long to start) and waits for it. A start refused by another process's hold on the file is
// tried again within `budget`, each time after `verify_again` passed (the holder may have written
// to it); its failure pair ends the attempt. "install_start_failed" or "install_failed" (non-zero
// exit).
[[nodiscard]] Outcome<void> run_installer(const std::wstring& installer,
                                          const std::function<Outcome<void>()>& verify_again, TimeBudget& budget);

}  // namespace brimora::win
