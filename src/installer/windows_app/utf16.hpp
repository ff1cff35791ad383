#pragma once
// Strict conversions between the UTF-8 texts used inside the system and the UTF-16 that Win32
// takes. Invalid input (bad UTF-8, unpaired surrogates) is refused, never replaced.

#include <optional>
#include <string>
#include <string_view>

namespace brimora::win {

// UTF-8 to UTF-16; nothing when the text is not valid UTF-8.
[[nodiscard]] std::optional<std::wstring> to_utf16(std::string_view text);

// UTF-16 to UTF-8; nothing on an unpaired surrogate.
[[nodiscard]] std::optional<std::string> to_utf8(std::wstring_view text);

// UTF-16 for a text the program itself defines (always valid UTF-8).
[[nodiscard]] std::wstring widen(std::string_view fixed_text);

}  // namespace brimora::win
