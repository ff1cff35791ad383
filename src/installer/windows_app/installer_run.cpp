#include <windows.h>

#include "installer_run.hpp"

#include <string_view>
#include <utility>

#include "handles.hpp"
#include "paths.hpp"
#include "process.hpp"

namespace brimora::win {
namespace {

constexpr std::wstring_view INSTALLER_ARGUMENTS = L"/S /currentuser --force-run";

}  // namespace

std::optional<std::wstring> installer_command_line(const std::wstring& installer) {
    return command_line(installer, INSTALLER_ARGUMENTS);
}

Outcome<void> run_installer(const std::wstring& installer, VerifyAgain verify_again, TimeBudget& budget) {
    const std::wstring image = startable_path(installer);
    // A scanner that opened the fresh installer refuses the start for a few seconds: that is
    // waited out, not reported. Whoever held it may have written to it, so after a refusal the
    // file is first opened sharing only reading (refused as well while a writer still has it, and
    // keeping any new writer out until the start), then checked again, then started.
    Process started;
    std::optional<Failure> changed;
    bool refused_before = false;
    const auto attempt = [&] {
        FileHandle unchanging;
        if (std::exchange(refused_before, true)) {
            unchanging = FileHandle(::CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!unchanging) {
                return false;
            }
            if (Outcome<void> verified = verify_again(); !verified) {
                changed = verified.error();
                ::SetLastError(ERROR_INVALID_DATA);
                return false;
            }
        }
        started = start_process(image, INSTALLER_ARGUMENTS);
        return static_cast<bool>(started);
    };
    if (!retry_while_locked(attempt, installer, budget)) {
        return std::unexpected(changed.value_or(Failure{"install_start_failed", FailureReason::install_failed}));
    }
    DWORD exit_code = 0;
    if (::WaitForSingleObject(started.process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(started.process.get(), &exit_code)) {
        return fail("install_start_failed", FailureReason::install_failed);
    }
    if (exit_code != 0) {
        return fail("install_failed", FailureReason::install_failed);
    }
    return {};
}

}  // namespace brimora::win
