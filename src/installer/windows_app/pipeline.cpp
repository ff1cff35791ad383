#include <windows.h>

#include "pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>
#include <vector>

#include "authenticode.hpp"
#include "brimora/cache.hpp"
#include "brimora/files.hpp"
#include "brimora/manifest.hpp"
#include "download.hpp"
#include "events.hpp"
#include "handles.hpp"
#include "installed_app.hpp"
#include "paths.hpp"
#include "process.hpp"
#include "brimora/texts.hpp"
#include "transport.hpp"
#include "ui_messages.hpp"
#include "utf16.hpp"
#include "window.hpp"

namespace brimora::win {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::wstring_view INSTALLER_ARGUMENTS = L"/S /currentuser --force-run";

[[nodiscard]] bool cancelled() { return CANCELLED.load(); }

Outcome<std::vector<std::uint8_t>> fetch_manifest() {
    auto response = open_request("GET", FEED_HOST, MANIFEST_PATH, std::nullopt, std::nullopt, FEED_TIMEOUTS);
    if (!response) {
        return fail("network_error", FailureReason::network_error);
    }
    if (response->status() != 200) {
        response->release();
        return fail("network_error", FailureReason::network_error);
    }
    auto body = read_bounded_body(std::move(*response));
    if (!body) {
        return fail("network_error", FailureReason::network_error);
    }
    return std::move(*body);
}

Outcome<void> ensure_disk_space(const std::wstring& cache_dir, std::uint64_t installer_size) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(cache_dir.c_str(), &available, nullptr, nullptr) ||
        available.QuadPart < disk_space_required(installer_size)) {
        return fail("insufficient_disk_space", FailureReason::insufficient_disk_space);
    }
    return {};
}

}  // namespace

Outcome<void> run_installer(const std::wstring& installer) {
    const std::wstring image = startable_path(installer);
    // A scanner that opened the fresh installer refuses the start for a few seconds: that is
    // waited out, not reported.
    Process started;
    if (!retry_while_locked([&] { return static_cast<bool>(started = start_process(image, INSTALLER_ARGUMENTS)); },
                            LOCK_RETRY_BUDGET)) {
        return fail("install_start_failed", FailureReason::install_failed);
    }
    const KernelHandle& process = started.process;
    DWORD exit_code = 0;
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.get(), &exit_code)) {
        return fail("install_start_failed", FailureReason::install_failed);
    }
    if (exit_code != 0) {
        return fail("install_failed", FailureReason::install_failed);
    }
    return {};
}

// The finished window waits for these deletions, so a scanner's hold is waited out only briefly;
// a file left behind is pruned or reused by a later attempt.
void delete_after_success(const std::wstring& installer, const std::wstring& partial) {
    auto remaining = CLEANUP_RETRY_BUDGET;
    for (const std::wstring* path : {&installer, &partial}) {
        const auto started = std::chrono::steady_clock::now();
        static_cast<void>(retry_while_locked(
            [&] { return ::DeleteFileW(path->c_str()) != FALSE || ::GetLastError() == ERROR_FILE_NOT_FOUND; },
            remaining));
        remaining -=
            std::min(remaining,
                     std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started));
    }
}

std::uint64_t disk_space_required(std::uint64_t installer_size) noexcept {
    const std::uint64_t product =
        installer_size > U64_MAX / DISK_SPACE_FACTOR ? U64_MAX : installer_size * DISK_SPACE_FACTOR;
    return product > U64_MAX - DISK_SPACE_MARGIN ? U64_MAX : product + DISK_SPACE_MARGIN;
}

std::optional<std::wstring> installer_command_line(const std::wstring& installer) {
    return command_line(installer, INSTALLER_ARGUMENTS);
}

void prune_cache(const std::wstring& cache_dir, std::string_view current_file_name) {
    WIN32_FIND_DATAW entry{};
    const FindHandle find(::FindFirstFileW(join_windows_path(cache_dir, L"*").c_str(), &entry));
    if (!find) {
        return;
    }
    do {
        // Directories, and reparse points (symbolic links, junctions) whatever they point at, are
        // never deleted: only plain files that the naming rule marks as stale.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            continue;
        }
        const auto name = to_utf8(entry.cFileName);
        if (!name || !should_prune_cache_entry(*name, current_file_name)) {
            continue;
        }
        ::DeleteFileW(join_windows_path(cache_dir, entry.cFileName).c_str());
    } while (::FindNextFileW(find.get(), &entry));
}

Outcome<std::string> install(AppContext context) {
    const UiText& texts = texts_for(context.locale);

    emit_event(context, AcquisitionEventType::installer_started, std::nullopt);
    if (cancelled()) {  // A
        return fail("cancelled", FailureReason::cancelled);
    }

    progress(3, texts.opening_installed);
    if (launch_existing_app()) {
        wait_for_delivery(start_delivery(encode_event(
            AcquisitionEvent::create(context.acquisition, AcquisitionEventType::existing_app_launched, std::nullopt))));
        return std::string(texts.app_opened);
    }

    progress(5, texts.checking_latest);
    auto body = fetch_manifest();
    if (!body) {
        return std::unexpected(body.error());
    }
    auto release = validate_manifest(*body);
    if (!release) {
        return fail("manifest_invalid", FailureReason::manifest_invalid);
    }
    if (cancelled()) {  // B
        return fail("cancelled", FailureReason::cancelled);
    }

    if (!make_directories(context.cache_dir)) {
        return fail("cache_unavailable", FailureReason::insufficient_disk_space);
    }
    prune_cache(context.cache_dir, release->file_name);
    if (auto space = ensure_disk_space(context.cache_dir, release->size); !space) {
        return std::unexpected(space.error());
    }

    progress(10, texts.downloading);
    auto installer = download_payload(context, *release);
    if (!installer) {
        return std::unexpected(installer.error());
    }
    if (cancelled()) {  // C
        return fail("cancelled", FailureReason::cancelled);
    }

    progress(78, texts.verifying_download);
    if (auto verified = verify_size_and_hash(*installer, *release); !verified) {
        return std::unexpected(verified.error());
    }
    progress(86, texts.verifying_publisher);
    if (auto signed_by = verify_authenticode(*installer); !signed_by) {
        return std::unexpected(signed_by.error());
    }
    emit_event_with_version(context, to_string(release->version));
    if (cancelled()) {  // D
        return fail("cancelled", FailureReason::cancelled);
    }

    progress(92, texts.installing);
    CANCELLABLE.store(false);
    disable_cancel_button();
    if (auto ran = run_installer(*installer); !ran) {
        return std::unexpected(ran.error());
    }
    KernelHandle succeeded =
        spawn_event_with_version(context, AcquisitionEventType::install_succeeded, to_string(release->version));

    progress(98, texts.opening_installed);
    auto launched = launch_installed_app();
    wait_for_delivery(std::move(succeeded));
    if (!launched) {
        return std::unexpected(launched.error());
    }

    delete_after_success(*installer, partial_path(context.cache_dir, release->file_name));
    return std::string(texts.install_complete);
}

}  // namespace brimora::win
