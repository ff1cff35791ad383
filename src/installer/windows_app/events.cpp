#include <windows.h>

#include "events.hpp"

#include <array>
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

KernelHandle send_event(const AcquisitionEvent& event) { return start_delivery(encode_event(event)); }

void send_event_body(std::span<const std::uint8_t> body) {
    auto response = open_request("POST", EVENT_HOST, EVENT_PATH, std::nullopt, body, EVENT_TIMEOUTS);
    if (!response) {
        return;
    }
    // WinHTTP keeps a connection for reuse only once its answer has been read to the end. The
    // service's short answer usually came with the headers; reading it lets the run's next event
    // go out on the same connection instead of making a TLS handshake of its own, which competes
    // for the CPU with the steps the delivery runs beside. One read, bounded by the receive
    // timeout; a longer answer is left unread and its connection closed.
    std::array<std::uint8_t, 256> answer{};
    static_cast<void>(read_body_chunk(*response, answer));
    response->release();
}

}  // namespace brimora::win
