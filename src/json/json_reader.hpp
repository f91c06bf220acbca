#pragma once
// A strict JSON reader (RFC 8259, UTF-8 only) for the loader's slow paths.
// simdjson reads every catalogue, but says neither where a text goes wrong
// nor holds numbers beyond 64-bit integers or the range of a double. So when
// it refuses a text, this reader finds the first problem and where it is;
// and when the only trouble was such numbers, it builds a small tree of the
// document instead. It works with explicit stacks, never recursion.
//
// Checks, first problem reported:
// 1. the whole text is UTF-8 (offset of the first byte of the first bad
//    sequence: a stray continuation byte, a bad lead byte, an overlong or
//    surrogate form, a code point past U+10FFFF, or a truncated sequence);
// 2. then, in text order, the grammar, nesting deeper than `max_depth`
//    (offset of the bracket that opens the level too many), and \u escapes
//    naming half a surrogate pair (offset of the backslash).
//
// Thread-safety: plain functions over their arguments.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.hpp"

namespace veldra {

struct JsonTextProblem {
    std::size_t offset;  // in bytes
    std::string what;    // "invalid UTF-8", "nesting deeper than 64 levels", …
};

// 1-based line and column of byte `offset` of `text`; the column counts
// characters (code points) since the last '\n'. The text before `offset`
// must be valid UTF-8.
struct TextPosition {
    std::size_t line;
    std::size_t column;
};
TextPosition position_of(std::string_view text, std::size_t offset) noexcept;

enum class JsonKind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

// One value of a JsonTree. Containers are followed by their children in
// document order: an object's by key (a String node), value, key, value…
struct JsonTreeNode {
    JsonKind kind;
    bool boolean = false;
    bool too_large = false;    // a number beyond the range of a double
    double number = 0.0;       // the nearest double; an integer -0 is 0.0
    std::uint32_t count = 0;   // Array: elements; Object: members
    std::uint32_t next = 0;    // index of the node after this value's subtree
    std::size_t text = 0;      // String: decoded bytes in JsonTree::strings
    std::size_t size = 0;
};

struct JsonTree {
    std::vector<JsonTreeNode> nodes;  // nodes[0] is the document's value
    std::string strings;
};

// The first problem of `text`, or nullopt for a text that is one JSON value
// (with only whitespace around it) nested at most `max_depth` deep.
std::optional<JsonTextProblem> find_json_problem(std::string_view text, std::size_t max_depth);

// The tree of `text`, or its first problem. Raises std::bad_alloc.
Expected<JsonTree, JsonTextProblem> read_json_tree(std::string_view text, std::size_t max_depth);

}  // namespace veldra
