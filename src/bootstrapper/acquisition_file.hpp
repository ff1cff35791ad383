#pragma once
// What the state file's writer and its start-up clean-up agree on, beyond the public functions.

#include "brimora/files.hpp"

namespace brimora::detail {

// Whether `name` is one of the temporaries write_atomically makes for a target named
// `target_name` (the kind a process killed mid-write leaves behind); load_or_create deletes the stale ones.
[[nodiscard]] bool is_own_temporary_name(NativePathView name, NativePathView target_name);

}  // namespace brimora::detail
