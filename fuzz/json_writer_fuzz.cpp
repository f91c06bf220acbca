// Random keys, strings and doubles through the JSON writer; the output must
// be accepted by a strict JSON reader (RFC 8259 grammar, written here from
// the RFC, not from the writer) and read back to exactly the values written.
// Random datasheets must come out of their own writer as the general one
// writes them.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datasheet/datasheet.hpp"
#include "json/json_writer.hpp"
#include "support/name_order.hpp"

using namespace veldra;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s in: %s\n", what, text.c_str());
    std::abort();
}

// Valid UTF-8 from random code points, biased towards the bytes that escape.
std::string random_text(FuzzedDataProvider& in) {
    std::string out;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp;
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: cp = in.ConsumeIntegralInRange<std::uint32_t>(0, 0x20); break;
            case 1: cp = in.PickValueInArray<std::uint32_t>({'"', '\\', '/', 0x7f, 'a', 'Z'}); break;
            case 2: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x21, 0x7e); break;
            default: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x10ffff); break;
        }
        if (cp >= 0xd800 && cp <= 0xdfff) cp = 0xfffd;  // surrogates have no UTF-8 form
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return out;
}

struct Value {
    enum Kind { Null, String, Number } kind;
    std::string text;  // String: the decoded text; Number: the literal
};

// A strict reader for an object of null / string / number members.
class Reader {
public:
    explicit Reader(const std::string& text) : s_(text) {}

    std::vector<std::pair<std::string, Value>> object() {
        std::vector<std::pair<std::string, Value>> members;
        expect('{');
        if (peek() == '}') {
            ++i_;
        } else {
            for (;;) {
                std::string key = string();
                expect(':');
                members.emplace_back(std::move(key), value());
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                expect('}');
                break;
            }
        }
        if (i_ != s_.size()) fail("trailing bytes", s_);
        return members;
    }

private:
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void expect(char c) {
        if (peek() != c) fail("unexpected byte", s_);
        ++i_;
    }

    Value value() {
        if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
            return {Value::Null, {}};
        }
        if (peek() == '"') return {Value::String, string()};
        return {Value::Number, number()};
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) fail("unterminated string", s_);
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return out;
            if (c < 0x20) fail("raw control byte in string", s_);
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = s_[i_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    int code = 0;
                    for (int k = 0; k < 4; ++k) {
                        const int h = hex(peek());
                        if (h < 0) fail("bad \\u escape", s_);
                        code = code * 16 + h;
                        ++i_;
                    }
                    if (code >= 0x80) fail("writer escaped a non-control character", s_);
                    out += static_cast<char>(code);
                    break;
                }
                default: fail("unknown escape", s_);
            }
        }
    }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    std::string number() {
        const std::size_t start = i_;
        auto digits = [&] {
            const std::size_t from = i_;
            while (peek() >= '0' && peek() <= '9') ++i_;
            if (i_ == from) fail("digit expected", s_);
        };
        if (peek() == '-') ++i_;
        if (peek() == '0') {
            ++i_;
        } else {
            if (peek() < '1' || peek() > '9') fail("number expected", s_);
            digits();
        }
        if (peek() == '.') {
            ++i_;
            digits();
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-') ++i_;
            digits();
        }
        return s_.substr(start, i_ - start);
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

double random_double(FuzzedDataProvider& in) {
    double x = in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeFloatingPoint<double>() : 0.0;
    if (x == 0.0) {
        const auto bits = in.ConsumeIntegral<std::uint64_t>();
        std::memcpy(&x, &bits, sizeof x);
    }
    return x;
}

// The datasheet's own writer (fixed key pieces, a buffer of its own) must
// give byte for byte what the general writer gives for the same members.
void check_datasheet(FuzzedDataProvider& in) {
    const std::string name = random_text(in) + random_text(in);
    const std::string units = random_text(in);
    const auto status = static_cast<ConstantStatus>(in.ConsumeIntegralInRange(0, 3));
    std::optional<double> uncertainty;
    if (in.ConsumeBool()) uncertainty = random_double(in);
    const double value = random_double(in);
    const auto number = [](std::optional<double> x) -> JsonValue {
        if (!x || !std::isfinite(*x)) return JsonNull{};
        return *x;
    };
    const JsonMember members[] = {
        {"name", std::string_view(name)}, {"status", status_text(status)}, {"uncertainty", number(uncertainty)},
        {"units", std::string_view(units)}, {"value", number(value)},
    };
    const std::string general = write_json_object(members).value();
    const auto own = datasheet_json({name, status, uncertainty, units, value});
    if (!own || own->view() != general) fail("datasheet text differs from the general writer's", general);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::string> texts;  // owns what the members view
    std::vector<std::pair<std::string, std::optional<double>>> plan;
    const std::size_t members = in.ConsumeIntegralInRange<std::size_t>(0, 10);
    texts.reserve(2 * members);
    std::vector<JsonMember> input;
    for (std::size_t m = 0; m < members && in.remaining_bytes() > 0; ++m) {
        texts.push_back(random_text(in));
        const std::string_view key = texts.back();
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0: input.push_back({key, JsonNull{}}); break;
            case 1: texts.push_back(random_text(in)); input.push_back({key, std::string_view(texts.back())}); break;
            default: input.push_back({key, random_double(in)});
        }
    }
    check_datasheet(in);

    const auto written = write_json_object(input);
    if (!written) fail("writer reported an error", "");
    const std::string& text = written.value();
    const auto read = Reader(text).object();

    // Expected: the members stably sorted by key bytes.
    std::vector<const JsonMember*> order;
    for (const auto& m : input) order.push_back(&m);
    std::stable_sort(order.begin(), order.end(),
                     [](const JsonMember* a, const JsonMember* b) { return byte_less(a->key, b->key); });
    if (read.size() != order.size()) fail("member count differs", text);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto& [key, value] = read[i];
        if (key != order[i]->key) fail("key differs", text);
        const JsonValue& want = order[i]->value;
        if (const auto* s = std::get_if<std::string_view>(&want)) {
            if (value.kind != Value::String || value.text != *s) fail("string differs", text);
        } else if (const auto* x = std::get_if<double>(&want)) {
            if (!std::isfinite(*x)) {
                if (value.kind != Value::Null) fail("non-finite number not written as null", text);
                continue;
            }
            if (value.kind != Value::Number) fail("number expected", text);
            if (value.text.find_first_of(".e") == std::string::npos) fail("integer form written", text);
            const double back = std::strtod(value.text.c_str(), nullptr);
            if (std::memcmp(&back, x, sizeof back) != 0) fail("number does not read back", text);
        } else if (value.kind != Value::Null) {
            fail("null expected", text);
        }
    }
    return 0;
}
