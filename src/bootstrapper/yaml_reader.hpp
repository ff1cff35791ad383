#pragma once
// A bounded YAML reader: one document from libyaml's event stream into a flat node table.
//
// libyaml's own document loader recurses once per nesting level and expands nothing lazily, so it
// is not fit for untrusted input. This reader limits nesting and refuses documents whose aliases
// would expand to too many nodes or to too much scalar text; an alias shares its anchored node
// instead of copying it, but whoever walks the table later pays for every place it is used.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace brimora::yaml {

inline constexpr std::size_t MAX_DEPTH = 64;
inline constexpr std::uint64_t MAX_EXPANDED_NODES = 1'000'000;
// A few aliases to one long scalar stand for far more text than nodes: 1 MiB is sixteen times the
// largest manifest, and no alias-free document of that size comes near it.
inline constexpr std::uint64_t MAX_EXPANDED_BYTES = 1U << 20;

enum class NodeKind { Scalar, Sequence, Mapping };

struct Node {
    NodeKind kind = NodeKind::Scalar;
    std::string text;                // a scalar's value
    std::string tag;                 // the resolved tag, empty when none was written
    bool plain = false;              // a scalar written without quotes or block indicators
    std::vector<std::size_t> items;  // node indices; a mapping holds key, value, key, value, ...
    std::uint64_t expanded = 1;      // nodes this one stands for once every alias is expanded
    // The scalar text this one stands for once every alias is expanded.
    std::uint64_t expanded_bytes = 0;
    bool complete = false;

    // True for a null scalar: an untagged plain "", "~" or "null" (any of its three spellings), or a
    // scalar tagged !!null.
    [[nodiscard]] bool is_null() const;
};

struct Document {
    // A deque grows without moving what it holds: the table of a 64 KiB body may have tens of
    // thousands of nodes, and a vector would briefly hold them twice at every doubling.
    std::deque<Node> nodes;
    std::size_t root = 0;

    [[nodiscard]] const Node& at(std::size_t index) const { return nodes[index]; }
};

// Reads a stream that must hold exactly one document; the error is the parser's problem text or
// the reason the stream was refused.
[[nodiscard]] std::expected<Document, std::string> read_single_document(std::span<const std::uint8_t> bytes);

}  // namespace brimora::yaml
