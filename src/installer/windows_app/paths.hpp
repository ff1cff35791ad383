#pragma once
// Windows path texts as the platform's own parser reads them, without touching the disk.

#include <string>
#include <string_view>

namespace brimora::win {

// Whether the text is an absolute Windows path: an ASCII drive letter, ":" and a separator, or two leading separators.
[[nodiscard]] bool is_absolute_windows_path(std::wstring_view text) noexcept;

// The directory text and the name joined by Windows rules: "\" inserted unless the directory already ends in a
// separator.
[[nodiscard]] std::wstring join_windows_path(std::wstring_view directory, std::wstring_view name);

// Whether two paths have the same components: doubled and trailing separators ignored, letter case significant.
[[nodiscard]] bool same_path_components(std::wstring_view a, std::wstring_view b);

}  // namespace brimora::win
