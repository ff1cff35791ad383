#pragma once
// The state file's operations on native path strings, for callers that keep std::filesystem::path
// out of their link (the executable); the public functions are thin wrappers over these.

#include <expected>
#include <system_error>

#include "brimora/acquisition.hpp"
#include "file_io.hpp"

namespace brimora::detail {

// As brimora::load_or_create.
[[nodiscard]] std::expected<AcquisitionState, std::error_code> load_or_create(const NativePath& path,
                                                                            InstallerLocale locale);

// As brimora::write_atomically.
[[nodiscard]] std::expected<void, std::error_code> write_atomically(const NativePath& path,
                                                                    const AcquisitionState& state);

// Whether `name` is one of the temporaries write_atomically makes for a target named
// `target_name` (the kind a process killed mid-write leaves behind); load_or_create deletes these.
[[nodiscard]] bool is_own_temporary_name(NativePathView name, NativePathView target_name);

}  // namespace brimora::detail
