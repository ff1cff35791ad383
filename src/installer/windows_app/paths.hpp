#pragma once
// Windows path texts as the platform's own parser reads them, and the one form of a path that asks
// the disk: the short form a process can be started from.

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

// A path of the same file that CreateProcessW accepts as the image: the path itself below MAX_PATH,
// else the volume's short (8.3) form when that is shorter, else the path itself.
[[nodiscard]] std::wstring startable_path(const std::wstring& path);

}  // namespace brimora::win
