#include <windows.h>

#include "events.hpp"

#include <memory>

#include "transport.hpp"

namespace brimora::win {
namespace {

DWORD WINAPI delivery_thread(LPVOID parameter) {
    const std::unique_ptr<std::string> body(static_cast<std::string*>(parameter));
    send_event_body(std::span(reinterpret_cast<const std::uint8_t*>(body->data()), body->size()));
    return 0;
}

}  // namespace

KernelHandle start_delivery(std::string body) {
    if (body.size() > EVENT_BODY_LIMIT) {
        return {};
    }
    auto owned = std::make_unique<std::string>(std::move(body));
    KernelHandle thread(::CreateThread(nullptr, 0, delivery_thread, owned.get(), 0, nullptr));
    if (thread) {
        static_cast<void>(owned.release());  // the thread frees it
    }
    return thread;
}

void wait_for_delivery(KernelHandle thread) noexcept {
    if (thread) {
        ::WaitForSingleObject(thread.get(), INFINITE);
    }
}

void emit_event(const AppContext& context, AcquisitionEventType type, std::optional<FailureReason> reason) {
    // The handle is dropped at once: a detached delivery nobody waits for.
    static_cast<void>(start_delivery(encode_event(AcquisitionEvent::create(context.acquisition, type, reason))));
}

void emit_failure(const AppContext& context, FailureReason reason) {
    emit_event(context, AcquisitionEventType::installer_failed, reason);
}

KernelHandle spawn_event_with_version(const AppContext& context, AcquisitionEventType type, std::string version) {
    auto event =
        with_app_version(AcquisitionEvent::create(context.acquisition, type, std::nullopt), std::move(version));
    return start_delivery(encode_event(event));
}

void emit_event_with_version(const AppContext& context, std::string version) {
    static_cast<void>(spawn_event_with_version(context, AcquisitionEventType::payload_verified, std::move(version)));
}

void send_event_body(std::span<const std::uint8_t> body) {
    auto response = open_request("POST", EVENT_HOST, EVENT_PATH, std::nullopt, body, EVENT_TIMEOUTS);
    if (response) {
        response->release();
    }
}

}  // namespace brimora::win
