#include "json/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "support/name_order.hpp"

namespace veldra {
namespace {

// For each byte: 0 copy as is; otherwise the character after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> table{};
    for (int b = 0; b < 0x20; ++b) table[b] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}

constexpr std::array<char, 256> kEscapes = make_escapes();

void put(char*& p, const char* s, std::size_t n) noexcept {
    std::memcpy(p, s, n);
    p += n;
}

void put_zeros(char*& p, int n) noexcept {
    for (int i = 0; i < n; ++i) *p++ = '0';
}


// Whether any of the eight bytes of `w` needs an escape: a control byte
// (below 0x20), '"' or '\\'. Exact as a yes/no answer, also for bytes >= 0x80.
constexpr bool word_needs_escape(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t zero_quote = (quote - kOnes) & ~quote;
    const std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
    return ((below_space | zero_quote | zero_backslash) & kHigh) != 0;
}

int shortest_digits(double x, char (&digits)[17], int& exponent) noexcept;

// Writes finite `x` in the number layout at `scratch` (room for
// kNumberScratch bytes) and returns the end of what it wrote.
char* format_json_number(char* scratch, double x) noexcept {
    char* p = scratch;
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    // Whole numbers below 2^53, the usual stored value, are their integer
    // digits and ".0": exactly what the general layout below gives them (their
    // shortest digits are those digits less trailing zeros, the exponent at
    // most 15), without the detour through scientific form.
    if (x < 9007199254740992.0 && x == static_cast<double>(static_cast<std::uint64_t>(x))) {
        p = std::to_chars(p, scratch + kNumberScratch, static_cast<std::uint64_t>(x)).ptr;
        put(p, ".0", 2);
        return p;
    }
    char digits[17];
    int exponent = 0;
    const int n = shortest_digits(x, digits, exponent);

    if (exponent >= -5 && exponent <= 15 && n <= exponent + 1) {
        put(p, digits, n);
        put_zeros(p, exponent + 1 - n);
        put(p, ".0", 2);
    } else if (exponent >= 0 && exponent <= 15) {
        put(p, digits, exponent + 1);
        *p++ = '.';
        put(p, digits + exponent + 1, n - exponent - 1);
    } else if (exponent >= -5 && exponent <= -1) {
        put(p, "0.", 2);
        put_zeros(p, -exponent - 1);
        put(p, digits, n);
    } else {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            put(p, digits + 1, n - 1);
        }
        *p++ = 'e';
        *p++ = exponent >= 0 ? '+' : '-';
        auto [exp_end, exp_ec] = std::to_chars(p, scratch + kNumberScratch, exponent >= 0 ? exponent : -exponent);
        (void)exp_ec;
        p = exp_end;
    }
    return p;
}

// The shortest round-trip digits of finite, positive `x` and its decimal
// exponent (x = d.ddd × 10^exponent); returns how many digits.
int shortest_digits(double x, char (&digits)[17], int& exponent) noexcept {
    char sci[kNumberScratch];
    auto [end, ec] = std::to_chars(sci, sci + kNumberScratch, x, std::chars_format::scientific);
    (void)ec;  // cannot fail: the buffer fits every double
    const char* e_mark = std::find(sci, end, 'e');
    int n = 0;
    for (const char* c = sci; c != e_mark; ++c) {
        if (*c != '.') digits[n++] = *c;
    }
    exponent = 0;
    std::from_chars(e_mark[1] == '+' ? e_mark + 2 : e_mark + 1, end, exponent);
    return n;
}

// The most bytes `members` can take, every text byte escaped as \u00XX:
// reserving it makes the object one allocation with no regrowth.
std::size_t worst_case_bytes(std::span<const JsonMember> members) noexcept {
    std::size_t bytes = 2;  // braces
    for (const JsonMember& member : members) {
        bytes += json_string_bytes(member.key) + 2;  // colon, comma
        if (const auto* text = std::get_if<std::string_view>(&member.value)) {
            bytes += json_string_bytes(*text);
        } else {
            bytes += kNumberScratch;  // also covers "null"
        }
    }
    return bytes;
}

}  // namespace

JsonCursor::JsonCursor(std::string& out) : out_(out), len_(out.size()) { out_.resize(out_.capacity()); }

JsonCursor::~JsonCursor() { out_.resize(len_); }

void JsonCursor::string(std::string_view text) {
    char* start = room(json_string_bytes(text));
    advance(static_cast<std::size_t>(put_json_string(start, text) - start));
}

void JsonCursor::number(double x) {
    char* start = room(kNumberScratch);
    advance(static_cast<std::size_t>(put_json_number(start, x) - start));
}

void JsonCursor::repr_number(double x) {
    char* start = room(kNumberScratch);
    advance(static_cast<std::size_t>(put_repr_number(start, x) - start));
}

char* put_json_string(char* p, std::string_view text) noexcept {
    *p++ = '"';
    // Plain text, the usual case, moves eight bytes at a time until a word
    // holds something to escape; the byte loop takes it from there.
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        if (word_needs_escape(w)) break;
        std::memcpy(p, &w, 8);
        p += 8;
    }
    for (char c : text.substr(i)) {
        const char escape = kEscapes[static_cast<unsigned char>(c)];
        if (escape == 0) {
            *p++ = c;
            continue;
        }
        *p++ = '\\';
        *p++ = escape;
        if (escape == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(c);
            *p++ = '0';
            *p++ = '0';
            *p++ = kHex[b >> 4];
            *p++ = kHex[b & 0xf];
        }
    }
    *p++ = '"';
    return p;
}

char* put_json_number(char* p, double x) noexcept {
    if (!std::isfinite(x)) {
        put(p, "null", 4);
        return p;
    }
    return format_json_number(p, x);
}

char* put_repr_number(char* p, double x) noexcept {
    if (!std::isfinite(x)) {
        put(p, "null", 4);
        return p;
    }
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    if (x == 0.0) {
        put(p, "0.0", 3);
        return p;
    }
    char digits[17];
    int exponent = 0;
    const int n = shortest_digits(x, digits, exponent);
    if (exponent < -4 || exponent >= 16) {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            put(p, digits + 1, n - 1);
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *p++ = '0';  // at least two exponent digits
        p = std::to_chars(p, p + 4, magnitude).ptr;
    } else if (exponent < 0) {
        put(p, "0.", 2);
        put_zeros(p, -exponent - 1);
        put(p, digits, n);
    } else if (n <= exponent + 1) {
        put(p, digits, n);
        put_zeros(p, exponent + 1 - n);
        put(p, ".0", 2);
    } else {
        put(p, digits, exponent + 1);
        *p++ = '.';
        put(p, digits + exponent + 1, n - exponent - 1);
    }
    return p;
}

void append_json_string(std::string& out, std::string_view text) { JsonCursor(out).string(text); }

void append_json_number(std::string& out, double x) { JsonCursor(out).number(x); }

Expected<std::string, JsonWriteError> write_json_object(std::span<const JsonMember> members) {
    // Members usually arrive sorted already; order pointers to them by key
    // with an insertion sort (stable, and free of allocation for short lists).
    constexpr std::size_t kInline = 8;
    const JsonMember* inline_order[kInline];
    std::unique_ptr<const JsonMember*[]> heap_order;
    const JsonMember** order = inline_order;
    if (members.size() > kInline) {
        heap_order = std::make_unique<const JsonMember*[]>(members.size());
        order = heap_order.get();
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        std::size_t j = i;
        for (; j > 0 && byte_less(members[i].key, order[j - 1]->key); --j) order[j] = order[j - 1];
        order[j] = &members[i];
    }

    std::string out;
    out.reserve(worst_case_bytes(members));
    {
        JsonCursor cursor(out);
        cursor.put('{');
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i != 0) cursor.put(',');
            cursor.string(order[i]->key);
            cursor.put(':');
            const JsonValue& value = order[i]->value;
            if (const auto* text = std::get_if<std::string_view>(&value)) {
                cursor.string(*text);
            } else if (const auto* number = std::get_if<double>(&value)) {
                cursor.number(*number);
            } else {
                cursor.put("null");
            }
        }
        cursor.put('}');
    }
    return out;
}

}  // namespace veldra
