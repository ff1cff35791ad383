#pragma once
// State files shared by the decoder and the load tests.

#include <string>
#include <string_view>

namespace brimora::testing {

inline constexpr std::string_view SAMPLE_ID = "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6";

// A file the system itself would have written, created under the English UI.
inline constexpr std::string_view VALID_STATE =
    R"({"schemaVersion":1,"installId":"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6","installerVersion":"1",)"
    R"("platform":"windows","arch":"x64","locale":"en","createdAt":"2024-02-29T12:34:56.789Z",)"
    R"("appFirstOpenReportedAt":null})";

// VALID_STATE with the first occurrence of `from` replaced by `to`.
inline std::string valid_state_with(std::string_view from, std::string_view to) {
    std::string text(VALID_STATE);
    const auto at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace brimora::testing
