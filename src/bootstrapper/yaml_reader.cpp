#include "yaml_reader.hpp"

#include <yaml.h>

#include <functional>
#include <map>
#include <string_view>
#include <utility>

namespace brimora::yaml {
namespace {

constexpr std::string_view NULL_TAG = "tag:yaml.org,2002:null";

// yaml_parser_t must be deleted exactly once and never copied: libyaml keeps pointers into it.
class Parser {
public:
    Parser() : ok_(yaml_parser_initialize(&parser_) != 0) {}
    ~Parser() {
        if (ok_) {
            yaml_parser_delete(&parser_);
        }
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }
    [[nodiscard]] yaml_parser_t* get() { return &parser_; }

private:
    yaml_parser_t parser_{};
    bool ok_;
};

class Event {
public:
    Event() = default;
    ~Event() { yaml_event_delete(&event_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    [[nodiscard]] yaml_event_t* get() { return &event_; }
    [[nodiscard]] const yaml_event_t& operator*() const { return event_; }

private:
    yaml_event_t event_{};
};

std::string position(const yaml_mark_t& mark) {
    return "line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
}

std::string parser_message(const yaml_parser_t& parser) {
    std::string problem = parser.problem != nullptr ? parser.problem : "out of memory";
    switch (parser.error) {
        case YAML_READER_ERROR:
            return problem + " at byte offset " + std::to_string(parser.problem_offset);
        case YAML_SCANNER_ERROR:
        case YAML_PARSER_ERROR: {
            std::string message;
            if (parser.context != nullptr) {
                message = std::string(parser.context) + " at " + position(parser.context_mark) + ": ";
            }
            return message + problem + " at " + position(parser.problem_mark);
        }
        default:
            return problem;
    }
}

std::string c_text(const yaml_char_t* text) {
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string{};
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

class Builder {
public:
    // Starts a node; collections stay open until their end event.
    [[nodiscard]] std::expected<std::size_t, std::string> open(Node node, const yaml_char_t* anchor) {
        const std::size_t index = doc_.nodes.size();
        doc_.nodes.push_back(std::move(node));
        if (anchor != nullptr) {
            // Redefinition is legal YAML, but it makes the meaning of an alias depend on position;
            // libyaml's own loader refuses it too.
            const auto [it, inserted] = anchors_.try_emplace(c_text(anchor), index);
            if (!inserted) {
                return std::unexpected("anchor &" + it->first + " is defined twice");
            }
        }
        return index;
    }

    [[nodiscard]] std::expected<void, std::string> push(Node node, const yaml_char_t* anchor) {
        if (open_.size() == MAX_DEPTH) {
            return std::unexpected("nesting is deeper than " + std::to_string(MAX_DEPTH) + " levels");
        }
        auto index = open(std::move(node), anchor);
        if (!index) {
            return std::unexpected(std::move(index.error()));
        }
        open_.push_back(*index);
        return {};
    }

    [[nodiscard]] std::expected<void, std::string> scalar(Node node, const yaml_char_t* anchor) {
        node.complete = true;
        auto index = open(std::move(node), anchor);
        if (!index) {
            return std::unexpected(std::move(index.error()));
        }
        return attach(*index);
    }

    [[nodiscard]] std::expected<void, std::string> pop() {
        const std::size_t index = open_.back();
        open_.pop_back();
        doc_.nodes[index].complete = true;
        return attach(index);
    }

    [[nodiscard]] std::expected<void, std::string> alias(const yaml_char_t* anchor) {
        const std::string name = c_text(anchor);
        const auto it = anchors_.find(name);
        if (it == anchors_.end()) {
            return std::unexpected("alias *" + name + " refers to no anchor");
        }
        if (!doc_.nodes[it->second].complete) {
            return std::unexpected("alias *" + name + " refers to a node that contains it");
        }
        return attach(it->second);
    }

    [[nodiscard]] Document finish() && { return std::move(doc_); }

private:
    [[nodiscard]] std::expected<void, std::string> attach(std::size_t index) {
        if (open_.empty()) {
            doc_.root = index;
            return {};
        }
        Node& parent = doc_.nodes[open_.back()];
        parent.items.push_back(index);
        // Checked as each child arrives, so a nested alias bomb stops at the first level that
        // crosses the budget instead of after the whole stream.
        const Node& child = doc_.nodes[index];
        parent.expanded = saturating_add(parent.expanded, child.expanded);
        parent.expanded_bytes = saturating_add(parent.expanded_bytes, child.expanded_bytes);
        if (parent.expanded > MAX_EXPANDED_NODES) {
            return std::unexpected("aliases expand to more than " + std::to_string(MAX_EXPANDED_NODES) + " nodes");
        }
        if (parent.expanded_bytes > MAX_EXPANDED_BYTES) {
            return std::unexpected("aliases expand to more than " + std::to_string(MAX_EXPANDED_BYTES) +
                                   " bytes of text");
        }
        return {};
    }

    Document doc_;
    std::vector<std::size_t> open_;
    std::map<std::string, std::size_t, std::less<>> anchors_;
};

Node scalar_node(const yaml_event_t& event) {
    const auto& scalar = event.data.scalar;
    Node node;
    node.kind = NodeKind::Scalar;
    node.text.assign(reinterpret_cast<const char*>(scalar.value), scalar.length);
    node.tag = c_text(scalar.tag);
    node.plain = scalar.style == YAML_PLAIN_SCALAR_STYLE;
    node.expanded_bytes = node.text.size();
    return node;
}

Node collection_node(NodeKind kind, const yaml_char_t* tag) {
    Node node;
    node.kind = kind;
    node.tag = c_text(tag);
    return node;
}

}  // namespace

bool Node::is_null() const {
    if (kind != NodeKind::Scalar) {
        return false;
    }
    if (!tag.empty()) {
        return tag == NULL_TAG;
    }
    return plain && (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL");
}

std::expected<Document, std::string> read_single_document(std::span<const std::uint8_t> bytes) {
    Parser parser;
    if (!parser.ok()) {
        return std::unexpected("out of memory");
    }
    yaml_parser_set_input_string(parser.get(), bytes.data(), bytes.size());

    Builder builder;
    std::size_t documents = 0;
    while (true) {
        Event event;
        if (yaml_parser_parse(parser.get(), event.get()) == 0) {
            return std::unexpected(parser_message(*parser.get()));
        }
        const yaml_event_t& e = *event;
        std::expected<void, std::string> step;
        switch (e.type) {
            case YAML_DOCUMENT_START_EVENT:
                // Only the first document would be read, so a second one could hide a different release.
                if (++documents > 1) {
                    return std::unexpected("the stream holds more than one document");
                }
                break;
            case YAML_STREAM_END_EVENT:
                if (documents == 0) {
                    return std::unexpected("the stream holds no document");
                }
                return std::move(builder).finish();
            case YAML_SCALAR_EVENT:
                step = builder.scalar(scalar_node(e), e.data.scalar.anchor);
                break;
            case YAML_ALIAS_EVENT:
                step = builder.alias(e.data.alias.anchor);
                break;
            case YAML_SEQUENCE_START_EVENT:
                step = builder.push(collection_node(NodeKind::Sequence, e.data.sequence_start.tag),
                                    e.data.sequence_start.anchor);
                break;
            case YAML_MAPPING_START_EVENT:
                step = builder.push(collection_node(NodeKind::Mapping, e.data.mapping_start.tag),
                                    e.data.mapping_start.anchor);
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                step = builder.pop();
                break;
            default:
                break;
        }
        if (!step) {
            return std::unexpected(std::move(step.error()));
        }
    }
}

}  // namespace brimora::yaml
