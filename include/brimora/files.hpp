#pragma once
// Paths as the operating system spells them, and the directory operation the executable needs.

#include <expected>
#include <string>
#include <string_view>
#include <system_error>

namespace brimora {

// UTF-16 on Windows, bytes elsewhere: std::filesystem::path's own string type, so a path converts
// to it implicitly. The library takes these rather than std::filesystem::path, whose out-of-line
// parts drag libstdc++'s whole locale machinery into a static MinGW link.
#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif
using NativePathView = std::basic_string_view<NativePath::value_type>;

// Creates the directory and every missing ancestor; an existing directory is fine, an existing
// file in the way is an error.
[[nodiscard]] std::expected<void, std::error_code> make_directories(const NativePath& path);

}  // namespace brimora
