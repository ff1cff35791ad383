#include <windows.h>

#include "utf16.hpp"

#include <climits>

namespace brimora::win {

std::optional<std::wstring> to_utf16(std::string_view text) {
    if (text.empty()) {
        return std::wstring();
    }
    if (text.size() > INT_MAX) {
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    // MB_ERR_INVALID_CHARS: without it, bad bytes silently become U+FFFD.
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), needed) != needed) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> to_utf8(std::wstring_view text) {
    if (text.empty()) {
        return std::string();
    }
    if (text.size() > INT_MAX) {
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    // WC_ERR_INVALID_CHARS makes an unpaired surrogate an error instead of U+FFFD.
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::string out(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out.data(), needed, nullptr,
                              nullptr) != needed) {
        return std::nullopt;
    }
    return out;
}

std::wstring widen(std::string_view fixed_text) { return to_utf16(fixed_text).value_or(std::wstring()); }


}  // namespace brimora::win
