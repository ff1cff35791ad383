#include <windows.h>

#include "utf16.hpp"

#include <climits>

namespace brimora::win {
namespace {

// Both directions measure first and convert second. `convert(in, length, out, capacity)` calls the
// platform function with its error flag (MB_ERR_INVALID_CHARS, WC_ERR_INVALID_CHARS): without it
// bad bytes and unpaired surrogates silently become U+FFFD.
template <typename Out, typename In, typename Convert>
std::optional<Out> convert_text(std::basic_string_view<In> text, Convert convert) {
    if (text.empty()) {
        return Out();
    }
    if (text.size() > INT_MAX) {
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    const int needed = convert(text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    Out out(static_cast<std::size_t>(needed), typename Out::value_type{});
    if (convert(text.data(), length, out.data(), needed) != needed) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<std::wstring> to_utf16(std::string_view text) {
    return convert_text<std::wstring>(text, [](const char* in, int length, wchar_t* out, int capacity) {
        return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in, length, out, capacity);
    });
}

std::optional<std::string> to_utf8(std::wstring_view text) {
    return convert_text<std::string>(text, [](const wchar_t* in, int length, char* out, int capacity) {
        return ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in, length, out, capacity, nullptr, nullptr);
    });
}

std::wstring widen(std::string_view fixed_text) { return to_utf16(fixed_text).value_or(std::wstring()); }

}  // namespace brimora::win
