#include "brimora/cache.hpp"

namespace brimora {

bool should_prune_cache_entry(std::string_view entry_name, std::string_view current_file_name) {
    // string_view comparisons are length-aware: an embedded NUL is just another byte here, so a
    // name cannot pass for the current one by being cut short at a NUL.
    if (!entry_name.starts_with(STALE_PREFIX)) {
        return false;
    }
    // Prefix and suffix are tested on their own and may overlap in the hyphen.
    if (!entry_name.ends_with(STALE_SUFFIX) && !entry_name.ends_with(STALE_PARTIAL_SUFFIX)) {
        return false;
    }
    if (entry_name == current_file_name) {
        return false;
    }
    if (entry_name.size() == current_file_name.size() + PARTIAL_SUFFIX.size() &&
        entry_name.starts_with(current_file_name) && entry_name.ends_with(PARTIAL_SUFFIX)) {
        return false;
    }
    return true;
}

}  // namespace brimora
