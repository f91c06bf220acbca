#include "json/json_reader.hpp"


#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "support/c_number.hpp"

namespace veldra {
namespace {

constexpr const char* kHalfSurrogate = "a \\u escape names half a surrogate pair";

// The offset of the first byte of the first ill-formed sequence. Every
// failure points at the lead byte, which is also where Python's decoder puts
// UnicodeDecodeError.start: the start of the maximal invalid subpart.
std::optional<std::size_t> first_bad_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The second byte's range is narrowed to exclude overlongs (E0, F0),
        // surrogates (ED) and code points past U+10FFFF (F4).
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            len = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            len = 3;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (i + 1 >= n || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return i;
        }
        i += len;
    }
    return std::nullopt;
}

// Bytes a string copies through unchanged; everything else ends a run.
constexpr std::array<bool, 256> make_plain() {
    std::array<bool, 256> table{};
    for (std::size_t b = 0x20; b < 256; ++b) table[b] = true;
    table['"'] = false;
    table['\\'] = false;
    return table;
}

constexpr std::array<bool, 256> kPlain = make_plain();

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t len;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        len = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 4;
    }
    out.append(buf, len);
}

// One scanner for both entry points: with Build false it only checks, and
// allocates nothing but its stack of open containers.
template <bool Build>
class Reader {
public:
    Reader(std::string_view text, std::size_t max_depth, JsonTree* tree) noexcept
        : p_(text.data()), n_(text.size()), max_depth_(max_depth), tree_(tree) {}

    std::optional<JsonTextProblem> run() {
        if (auto bad = first_bad_utf8(std::string_view(p_, n_))) return JsonTextProblem{*bad, "invalid UTF-8"};
        skip_ws();
        if (i_ == n_) return JsonTextProblem{i_, "the text is empty"};
        for (;;) {
            skip_ws();
            if (i_ == n_) return fail(i_, "expected a value");
            const char c = p_[i_];
            if (c == '[' || c == '{') {
                if (stack_.size() >= max_depth_) {
                    return fail(i_, "nesting deeper than " + std::to_string(max_depth_) + " levels");
                }
                const bool object = c == '{';
                stack_.push_back({add(object ? JsonKind::Object : JsonKind::Array), object});
                ++i_;
                skip_ws();
                if (i_ < n_ && p_[i_] == (object ? '}' : ']')) {
                    ++i_;
                    close();
                } else {
                    if (object && !key()) return std::move(problem_);
                    continue;
                }
            } else if (!scalar()) {
                return std::move(problem_);
            }
            // A value has ended; each round here is one more element of the
            // innermost open container, which a closing bracket ends in turn.
            for (;;) {
                skip_ws();
                if (stack_.empty()) {
                    if (i_ != n_) return fail(i_, "unexpected text after the value");
                    return std::nullopt;
                }
                const Frame top = stack_.back();
                if constexpr (Build) ++tree_->nodes[top.node].count;
                if (i_ < n_ && p_[i_] == ',') {
                    ++i_;
                    if (top.object) {
                        skip_ws();
                        if (!key()) return std::move(problem_);
                    }
                    break;
                }
                if (i_ < n_ && p_[i_] == (top.object ? '}' : ']')) {
                    ++i_;
                    close();
                    continue;
                }
                return fail(i_, top.object ? "expected `,` or `}`" : "expected `,` or `]`");
            }
        }
    }

private:
    struct Frame {
        std::uint32_t node;
        bool object;
    };

    static std::optional<JsonTextProblem> fail(std::size_t at, std::string what) {
        return JsonTextProblem{at, std::move(what)};
    }
    bool failed(std::size_t at, const char* what) {
        problem_ = JsonTextProblem{at, what};
        return false;
    }

    void skip_ws() noexcept {
        while (i_ < n_ && (p_[i_] == ' ' || p_[i_] == '\n' || p_[i_] == '\r' || p_[i_] == '\t')) ++i_;
    }
    bool is_digit(std::size_t at) const noexcept { return at < n_ && p_[at] >= '0' && p_[at] <= '9'; }

    // Nodes stay below 2^32: each but the last element takes at least two
    // bytes of a text of at most 4 GiB.
    std::uint32_t add(JsonKind kind) {
        if constexpr (Build) {
            const auto index = static_cast<std::uint32_t>(tree_->nodes.size());
            tree_->nodes.push_back(JsonTreeNode{.kind = kind, .next = index + 1});
            return index;
        } else {
            (void)kind;
            return 0;
        }
    }

    void close() {
        if constexpr (Build) tree_->nodes[stack_.back().node].next = static_cast<std::uint32_t>(tree_->nodes.size());
        stack_.pop_back();
    }

    // An object key with its ':' and the whitespace after; i_ is past whitespace.
    bool key() {
        if (i_ == n_ || p_[i_] != '"') return failed(i_, "expected a string as an object key");
        if (!string()) return false;
        skip_ws();
        if (i_ == n_ || p_[i_] != ':') return failed(i_, "expected `:`");
        ++i_;
        return true;
    }

    bool scalar() {
        const char c = p_[i_];
        if (c == '"') return string();
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        const std::string_view rest(p_ + i_, n_ - i_);
        const std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
        if (rest.starts_with(word)) {
            const std::uint32_t node = add(c == 'n' ? JsonKind::Null : JsonKind::Boolean);
            if constexpr (Build) tree_->nodes[node].boolean = c == 't';
            i_ += word.size();
            return true;
        }
        return failed(i_, "expected a value");
    }

    bool number() {
        const std::size_t start = i_;
        if (p_[i_] == '-') ++i_;
        if (!is_digit(i_)) return failed(i_, "invalid number");
        if (p_[i_] == '0') {
            ++i_;
        } else {
            while (is_digit(i_)) ++i_;
        }
        const std::size_t integer_end = i_;
        if (i_ < n_ && p_[i_] == '.') {
            if (!is_digit(++i_)) return failed(i_, "invalid number");
            while (is_digit(i_)) ++i_;
        }
        if (i_ < n_ && (p_[i_] == 'e' || p_[i_] == 'E')) {
            ++i_;
            if (i_ < n_ && (p_[i_] == '+' || p_[i_] == '-')) ++i_;
            if (!is_digit(i_)) return failed(i_, "invalid number");
            while (is_digit(i_)) ++i_;
        }
        if constexpr (Build) {
            const std::uint32_t node = add(JsonKind::Number);
            const bool integer = integer_end == i_;
            const bool negative = p_[start] == '-';
            double value;
            if (integer && i_ - start - negative <= 19) {
                // Nineteen digits fit in 64 bits, and the conversion to double
                // rounds correctly by itself: no need for strtod.
                std::uint64_t u = 0;
                for (std::size_t k = start + negative; k < i_; ++k) u = u * 10 + static_cast<unsigned>(p_[k] - '0');
                value = negative ? -static_cast<double>(u) : static_cast<double>(u);
            } else {
                // The text need not end in a NUL where the token does.
                scratch_.assign(p_ + start, i_ - start);
                value = c_strtod(scratch_);
            }
            if (integer && value == 0.0) value = 0.0;  // the integer -0 is the integer zero
            tree_->nodes[node].number = value;
            tree_->nodes[node].too_large = std::isinf(value);
        }
        return true;
    }

    bool hex4(std::size_t at, std::uint32_t& out) const noexcept {
        if (at > n_ || n_ - at < 4) return false;
        out = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int h = hex_value(p_[at + k]);
            if (h < 0) return false;
            out = out * 16 + static_cast<std::uint32_t>(h);
        }
        return true;
    }

    bool string() {
        const std::size_t open = i_++;
        const std::size_t first = Build ? tree_->strings.size() : 0;
        for (;;) {
            const std::size_t run = i_;
            while (i_ < n_ && kPlain[static_cast<unsigned char>(p_[i_])]) ++i_;
            if constexpr (Build) tree_->strings.append(p_ + run, i_ - run);
            if (i_ == n_) return failed(open, "unterminated string");
            const char c = p_[i_];
            if (c == '"') break;
            if (c != '\\') return failed(i_, "control character in a string");
            if (i_ + 1 == n_) return failed(open, "unterminated string");
            if (!escape()) return false;
        }
        ++i_;
        if constexpr (Build) {
            const std::uint32_t node = add(JsonKind::String);
            tree_->nodes[node].text = first;
            tree_->nodes[node].size = tree_->strings.size() - first;
        }
        return true;
    }

    // The escape at i_ (a backslash with a byte after it).
    bool escape() {
        const std::size_t at = i_;
        char plain;
        switch (p_[at + 1]) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': return unicode_escape();
            default: return failed(at, "invalid escape");
        }
        if constexpr (Build) tree_->strings.push_back(plain);
        i_ += 2;
        return true;
    }

    bool unicode_escape() {
        const std::size_t at = i_;
        std::uint32_t cp;
        if (!hex4(at + 2, cp)) return failed(at, "invalid \\u escape");
        i_ += 6;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return failed(at, kHalfSurrogate);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low;
            if (n_ - i_ < 2 || p_[i_] != '\\' || p_[i_ + 1] != 'u' || !hex4(i_ + 2, low) || low < 0xDC00 ||
                low > 0xDFFF) {
                return failed(at, kHalfSurrogate);
            }
            i_ += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if constexpr (Build) append_utf8(tree_->strings, cp);
        return true;
    }

    const char* p_;
    std::size_t n_;
    std::size_t i_ = 0;
    std::size_t max_depth_;
    JsonTree* tree_;
    std::vector<Frame> stack_;
    std::string scratch_;
    std::optional<JsonTextProblem> problem_;
};

}  // namespace

TextPosition position_of(std::string_view text, std::size_t offset) noexcept {
    offset = std::min(offset, text.size());
    const char* const end = text.data() + offset;
    std::size_t line = 1;
    const char* line_start = text.data();
    while (line_start != end) {
        const void* hit = std::memchr(line_start, '\n', static_cast<std::size_t>(end - line_start));
        if (hit == nullptr) break;
        line_start = static_cast<const char*>(hit) + 1;
        ++line;
    }
    std::size_t column = 1;
    for (const char* p = line_start; p != end; ++p) column += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    return {line, column};
}

std::optional<JsonTextProblem> find_json_problem(std::string_view text, std::size_t max_depth) {
    return Reader<false>(text, max_depth, nullptr).run();
}

Expected<JsonTree, JsonTextProblem> read_json_tree(std::string_view text, std::size_t max_depth) {
    JsonTree tree;
    if (auto problem = Reader<true>(text, max_depth, &tree).run()) return unexpected(std::move(*problem));
    return tree;
}

}  // namespace veldra
