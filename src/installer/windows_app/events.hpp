#pragma once
// Best-effort delivery of acquisition events: one short-lived thread per event, owning only its
// JSON body, one POST, nothing retried, stored or reported.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "brimora/acquisition.hpp"
#include "handles.hpp"

namespace brimora::win {

// A body longer than this is never sent; exactly this many bytes is.
inline constexpr std::size_t EVENT_BODY_LIMIT = 4096;

// Starts a delivery thread that owns `body`, or nothing when the body is over the limit or no
// thread could be made (the event is then lost, like any other delivery problem).
[[nodiscard]] KernelHandle start_delivery(std::string body);

// Waits for a delivery thread to end, however it ended; an empty handle returns at once.
void wait_for_delivery(KernelHandle thread) noexcept;

// Encodes `event` and starts its delivery: the thread, for a caller that waits for it (dropping
// the handle leaves the delivery running on its own), or empty when nothing was sent.
KernelHandle send_event(const AcquisitionEvent& event);

// The POST itself, on the calling thread: status and body of the answer are ignored (a short body
// is read, so its connection can carry the next event).
void send_event_body(std::span<const std::uint8_t> body);

}  // namespace brimora::win
