#include <windows.h>

#include "paths.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace brimora::win {
namespace {

[[nodiscard]] constexpr bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

[[nodiscard]] constexpr bool is_ascii_letter(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// A path as the platform's parser sees it: how it is rooted (no, one or two-or-more leading
// separators: relative, rooted, UNC) and its non-empty components.
struct PathShape {
    std::size_t leading_separators = 0;
    std::vector<std::wstring_view> components;

    bool operator==(const PathShape&) const = default;
};

[[nodiscard]] PathShape shape_of(std::wstring_view path) {
    PathShape shape;
    std::size_t i = 0;
    while (i < path.size() && is_separator(path[i])) {
        ++i;
    }
    shape.leading_separators = std::min<std::size_t>(i, 2);
    while (i < path.size()) {
        const std::size_t start = i;
        while (i < path.size() && !is_separator(path[i])) {
            ++i;
        }
        if (i > start) {
            shape.components.push_back(path.substr(start, i - start));
        }
        while (i < path.size() && is_separator(path[i])) {
            ++i;
        }
    }
    return shape;
}

}  // namespace

bool is_absolute_windows_path(std::wstring_view text) noexcept {
    if (text.size() >= 3 && is_ascii_letter(text[0]) && text[1] == L':' && is_separator(text[2])) {
        return true;
    }
    return text.size() >= 2 && is_separator(text[0]) && is_separator(text[1]);
}

std::wstring join_windows_path(std::wstring_view directory, std::wstring_view name) {
    std::wstring joined(directory);
    if (joined.empty() || !is_separator(joined.back())) {
        joined += L'\\';
    }
    joined += name;
    return joined;
}

bool same_path_components(std::wstring_view a, std::wstring_view b) { return shape_of(a) == shape_of(b); }

// CreateProcessW refuses an image path of MAX_PATH characters or more (a user folder with a long
// name is enough). The volume's short (8.3) form of the same file is tried then; where the volume
// keeps no short names the long path is used and the start fails as it would have.
std::wstring startable_path(const std::wstring& path) {
    if (path.size() < MAX_PATH) {
        return path;
    }
    std::wstring short_path(path.size() + 1, L'\0');
    const DWORD n = ::GetShortPathNameW(path.c_str(), short_path.data(), static_cast<DWORD>(short_path.size()));
    if (n == 0 || n >= short_path.size()) {
        return path;
    }
    short_path.resize(n);
    return short_path;
}

}  // namespace brimora::win
