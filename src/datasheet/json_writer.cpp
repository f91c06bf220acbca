#include "json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "name_order.hpp"

namespace veldra {
namespace {

constexpr std::size_t kInitialCapacity = 128;

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

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char escape = kEscapes[static_cast<unsigned char>(text[i])];
        if (escape == 0) continue;
        out.append(text.data() + run, i - run);
        out.push_back('\\');
        out.push_back(escape);
        if (escape == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(text[i]);
            out.append("00");
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xf]);
        }
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
    out.push_back('"');
}

std::size_t format_json_number(double x, char (&scratch)[kNumberScratch]) noexcept {
    char* p = scratch;
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    if (x == 0.0) {
        put(p, "0.0", 3);
        return static_cast<std::size_t>(p - scratch);
    }
    // Shortest round-trip digits in the form d[.ddd]e±XX.
    char sci[kNumberScratch];
    auto [end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    (void)ec;  // cannot fail: the buffer fits every double
    const char* e_mark = std::find(sci, end, 'e');
    char digits[17];
    int n = 0;
    for (const char* c = sci; c != e_mark; ++c) {
        if (*c != '.') digits[n++] = *c;
    }
    int exponent = 0;
    std::from_chars(e_mark[1] == '+' ? e_mark + 2 : e_mark + 1, end, exponent);

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
    return static_cast<std::size_t>(p - scratch);
}

void append_json_number(std::string& out, double x) {
    if (!std::isfinite(x)) {
        out.append("null");
        return;
    }
    char scratch[kNumberScratch];
    out.append(scratch, format_json_number(x, scratch));
}

Expected<std::string, JsonWriteError> write_json_object(std::span<const JsonMember> members) {
    // Members usually arrive sorted already; sort pointers only when they do not.
    constexpr std::size_t kInline = 8;
    const JsonMember* inline_order[kInline];
    std::unique_ptr<const JsonMember*[]> heap_order;
    const JsonMember** order = inline_order;
    if (members.size() > kInline) {
        heap_order = std::make_unique<const JsonMember*[]>(members.size());
        order = heap_order.get();
    }
    for (std::size_t i = 0; i < members.size(); ++i) order[i] = &members[i];
    std::stable_sort(order, order + members.size(),
                     [](const JsonMember* a, const JsonMember* b) { return byte_less(a->key, b->key); });

    std::string out;
    out.reserve(kInitialCapacity);
    out.push_back('{');
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i != 0) out.push_back(',');
        append_json_string(out, order[i]->key);
        out.push_back(':');
        const JsonValue& value = order[i]->value;
        if (const auto* text = std::get_if<std::string_view>(&value)) {
            append_json_string(out, *text);
        } else if (const auto* number = std::get_if<double>(&value)) {
            append_json_number(out, *number);
        } else {
            out.append("null");
        }
    }
    out.push_back('}');
    return out;
}

}  // namespace veldra
