#pragma once
// Running the downloaded installer silently for the current user and waiting for its exit code.

#include <optional>
#include <string>
#include <type_traits>

#include "failure.hpp"
#include "lock_retry.hpp"

namespace brimora::win {

// A check the caller runs again before a retried start: a reference to the caller's callable for
// the length of one call, not a copy (std::function would link its exception machinery).
class VerifyAgain {
public:
    template <typename F>
    requires std::is_invocable_r_v<Outcome<void>, F&> VerifyAgain(
        F&& check) noexcept  // NOLINT(google-explicit-constructor): a lambda is passed as is
        : check_(&check),
          call_([](void* c) -> Outcome<void> { return (*static_cast<std::remove_reference_t<F>*>(c))(); }) {}
    [[nodiscard]] Outcome<void> operator()() const { return call_(check_); }

private:
    void* check_;
    Outcome<void> (*call_)(void*);
};

// `"<installer>" /S /currentuser --force-run`; nothing for a path command_line refuses.
[[nodiscard]] std::optional<std::wstring> installer_command_line(const std::wstring& installer);

// Starts `"<installer>" /S /currentuser --force-run` (through the short path when the long one is
// too long to start) and waits for it. A start refused by another process's hold on the file is
// tried again within `budget`, each time after `verify_again` passed (the holder may have written
// to it); its failure pair ends the attempt. "install_start_failed" or "install_failed" (non-zero
// exit).
[[nodiscard]] Outcome<void> run_installer(const std::wstring& installer, VerifyAgain verify_again, TimeBudget& budget);

}  // namespace brimora::win
