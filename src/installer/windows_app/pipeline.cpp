#include <windows.h>

#include "pipeline.hpp"

#include <optional>
#include <vector>

#include "authenticode.hpp"
#include "brimora/files.hpp"
#include "brimora/manifest.hpp"
#include "brimora/texts.hpp"
#include "events.hpp"
#include "installer_run.hpp"
#include "transport.hpp"

namespace brimora::win {
namespace {

Outcome<std::vector<std::uint8_t>> fetch_manifest(const Timeouts& timeouts) {
    auto response = open_request("GET", FEED_HOST, MANIFEST_PATH, std::nullopt, std::nullopt, timeouts);
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

// Size, digest and publisher: what makes a file in the cache the release's installer.
Outcome<void> verify_installer(const std::wstring& installer, const ValidatedRelease& release) {
    if (auto verified = verify_size_and_hash(installer, release); !verified) {
        return verified;
    }
    return verify_authenticode(installer);
}

}  // namespace

Outcome<std::string> install(AppContext context, const InstallIo& given) {
    const UiText& texts = texts_for(context.locale);

    const AttemptIo& io = given.io;
    const auto event = [&](AcquisitionEventType type) {
        return AcquisitionEvent::create(context.acquisition, type, std::nullopt);
    };
    send_event(event(AcquisitionEventType::installer_started));
    if (io.cancelled()) {  // A
        return fail("cancelled", FailureReason::cancelled);
    }

    io.progress(3, texts.opening_installed);
    if (launch_existing_app()) {
        wait_for_delivery(send_event(event(AcquisitionEventType::existing_app_launched)));
        return std::string(texts.app_opened);
    }

    io.progress(5, texts.checking_latest);
    auto body = fetch_manifest(io.feed_timeouts);
    if (!body) {
        return std::unexpected(body.error());
    }
    auto release = validate_manifest(*body);
    if (!release) {
        return fail("manifest_invalid", FailureReason::manifest_invalid);
    }
    if (io.cancelled()) {  // B
        return fail("cancelled", FailureReason::cancelled);
    }

    if (!make_directories(context.cache_dir)) {
        return fail("cache_unavailable", FailureReason::insufficient_disk_space);
    }
    prune_cache(context.cache_dir, release->file_name);
    if (auto space = ensure_disk_space(context.cache_dir, release->size); !space) {
        return std::unexpected(space.error());
    }

    io.progress(10, texts.downloading);
    auto installer = download_payload(context, *release, io);
    if (!installer) {
        return std::unexpected(installer.error());
    }
    if (io.cancelled()) {  // C
        return fail("cancelled", FailureReason::cancelled);
    }

    io.progress(78, texts.verifying_download);
    if (auto verified = verify_size_and_hash(*installer, *release); !verified) {
        return std::unexpected(verified.error());
    }
    io.progress(86, texts.verifying_publisher);
    if (auto signed_by = verify_authenticode(*installer); !signed_by) {
        return std::unexpected(signed_by.error());
    }
    send_event(with_app_version(event(AcquisitionEventType::payload_verified), to_string(release->version)));
    if (io.cancelled()) {  // D
        return fail("cancelled", FailureReason::cancelled);
    }

    io.progress(92, texts.installing);
    given.installing();
    TimeBudget start_budget(io.lock_budget, io.clock);
    if (auto ran = run_installer(
            *installer, [&] { return verify_installer(*installer, *release); }, start_budget);
        !ran) {
        return std::unexpected(ran.error());
    }
    KernelHandle succeeded =
        send_event(with_app_version(event(AcquisitionEventType::install_succeeded), to_string(release->version)));

    io.progress(98, texts.opening_installed);
    auto launched = launch_installed_app(given.launch_pause);
    wait_for_delivery(std::move(succeeded));
    if (!launched) {
        return std::unexpected(launched.error());
    }

    TimeBudget cleanup_budget(given.cleanup_budget, io.clock);
    delete_after_success(*installer, partial_path(context.cache_dir, release->file_name), cleanup_budget);
    return std::string(texts.install_complete);
}

}  // namespace brimora::win
