#pragma once
// JSON text: the datasheet's compact object with keys in byte order, a fixed
// escape table for strings (the one Python's json module uses without
// ensure_ascii), and two layouts for numbers, both always with a "." or an
// "e" so that a reader gets floats back: the datasheet's, and Python's repr
// for catalogue files. Only null, strings and doubles occur as values.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "support/expected.hpp"

namespace veldra {

struct JsonNull {};

using JsonValue = std::variant<JsonNull, std::string_view, double>;

struct JsonMember {
    std::string_view key;
    JsonValue value;
};

struct JsonWriteError {
    std::string message;
};

// Writes `members` as one object, keys in ascending byte order whatever their
// order in the span. Writing into memory has no failing case today; the error
// value keeps room for one. Raises std::bad_alloc when memory runs out.
Expected<std::string, JsonWriteError> write_json_object(std::span<const JsonMember> members);

// Appends `text` as a quoted JSON string.
void append_json_string(std::string& out, std::string_view text);

// Appends `x` in the number layout; a non-finite value is written "null".
void append_json_number(std::string& out, double x);

// Room for the longest number: "-" + 17 digits + "." + "e-324" and then some.
inline constexpr std::size_t kNumberScratch = 32;

// The most bytes `text` takes as a quoted JSON string (every byte escaped as \u00XX).
constexpr std::size_t json_string_bytes(std::string_view text) noexcept { return text.size() * 6 + 2; }

// Writers into memory the caller has sized (json_string_bytes(text), or
// kNumberScratch for a number); each returns the end of what it wrote.
char* put_json_string(char* out, std::string_view text) noexcept;
char* put_json_number(char* out, double x) noexcept;  // a non-finite x is written "null"

// The number as Python's repr() writes a float ("24.0", "1e-05",
// "6.02214076e+23"), the layout of catalogue files, which the package's pure
// twin writes with repr(). Non-finite: "null". Needs kNumberScratch bytes.
char* put_repr_number(char* out, double x) noexcept;

// Appends to a std::string through a raw cursor: one capacity check per
// piece instead of one per character. While it lives the string is sized to
// its capacity (reserve first to write without regrowth); its destructor
// cuts the string back to what was written.
class JsonCursor {
public:
    explicit JsonCursor(std::string& out);
    ~JsonCursor();
    JsonCursor(const JsonCursor&) = delete;
    JsonCursor& operator=(const JsonCursor&) = delete;

    // Room for `n` more bytes; the pointer is valid until the next call.
    char* room(std::size_t n) {
        if (len_ + n > out_.size()) out_.resize(std::max(out_.size() * 2, len_ + n));
        return out_.data() + len_;
    }
    // Counts `n` bytes written at room() as written.
    void advance(std::size_t n) noexcept { len_ += n; }
    // Text as is.
    void put(std::string_view s) {
        std::memcpy(room(s.size()), s.data(), s.size());
        len_ += s.size();
    }
    void put(char c) {
        *room(1) = c;
        ++len_;
    }
    // A quoted JSON string; a number in the datasheet's layout; a number as
    // Python's repr() writes it (catalogue files).
    void string(std::string_view text);
    void number(double x);
    void repr_number(double x);

private:
    std::string& out_;
    std::size_t len_;
};

}  // namespace veldra
