#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "datasheet/datasheet.hpp"
#include "json/json_writer.hpp"
#include "registry/formulas_registry.hpp"

using namespace veldra;

namespace {

std::string number_text(double x) {
    std::string out;
    append_json_number(out, x);
    return out;
}

std::string string_text(std::string_view s) {
    std::string out;
    append_json_string(out, s);
    return out;
}

TEST(JsonNumber, LaysDigitsOutByExponentRange) {
    struct Row { double x; const char* text; };
    const Row rows[] = {
        {24.0, "24.0"}, {3.0, "3.0"}, {-2.5, "-2.5"}, {0.0, "0.0"}, {-0.0, "-0.0"},
        {125000.0, "125000.0"}, {1e15, "1000000000000000.0"}, {1e16, "1e+16"}, {1e21, "1e+21"},
        {246.22, "246.22"}, {1234567890123456.8, "1234567890123456.8"}, {0.1, "0.1"},
        {0.00012345, "0.00012345"}, {1e-5, "0.00001"}, {1e-6, "1e-6"}, {1.5e-7, "1.5e-7"},
        {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"}, {1e23, "1e+23"},
        {9007199254740993.0, "9007199254740992.0"}, {9007199254740991.0, "9007199254740991.0"}, {-288.0, "-288.0"},
        {123456789012345680.0, "1.2345678901234568e+17"},
        {1.618033988749895, "1.618033988749895"}, {-1e-7, "-1e-7"}, {0.5772156649015329, "0.5772156649015329"},
    };
    for (const auto& row : rows) EXPECT_EQ(number_text(row.x), row.text) << row.text;
    EXPECT_EQ(number_text(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(number_text(std::numeric_limits<double>::quiet_NaN()), "null");
}

// Digits of x's shortest round trip, by the slow road: the smallest precision
// p for which printf's "%.{p-1}e" reads back as x. Also gives the exponent.
struct Shortest { int digits; int exponent; };

Shortest shortest_by_printf(double x) {
    char buf[64];
    for (int p = 1; p <= 17; ++p) {
        std::snprintf(buf, sizeof buf, "%.*e", p - 1, x);
        if (std::strtod(buf, nullptr) == x) return {p, std::atoi(std::strchr(buf, 'e') + 1)};
    }
    return {-1, 0};
}

std::size_t property_samples() {
    const char* env = std::getenv("VELDRA_PROPERTY_SAMPLES");
    return env ? std::strtoull(env, nullptr, 10) : 1'000'000;
}

TEST(JsonNumber, RandomBitPatternsRoundTripShortestAndInTheirLayout) {
    std::mt19937_64 rng(20261208);
    const std::size_t samples = property_samples();
    std::size_t checked = 0;
    while (checked < samples) {
        const std::uint64_t bits = rng();
        double x;
        if (checked % 4 == 3) {
            // Whole numbers of every size up to 2^53, which random bit
            // patterns almost never are: the stored values usually are.
            x = static_cast<double>(bits >> (11 + bits % 53));
        } else {
            std::memcpy(&x, &bits, sizeof x);
        }
        if (!std::isfinite(x) || x == 0.0) continue;
        ++checked;
        const std::string text = number_text(x);
        char* end = nullptr;
        const double back = std::strtod(text.c_str(), &end);
        ASSERT_EQ(end, text.c_str() + text.size()) << text;
        ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0) << text;

        const Shortest oracle = shortest_by_printf(std::fabs(x));
        const auto e = text.find('e');
        const std::string mantissa = text.substr(text[0] == '-' ? 1 : 0, e == std::string::npos ? e : e - (text[0] == '-'));
        std::string digits;
        for (char c : mantissa) if (c != '.') digits.push_back(c);
        digits.erase(0, digits.find_first_not_of('0'));
        const bool whole = oracle.exponent >= -5 && oracle.exponent <= 15 && oracle.digits <= oracle.exponent + 1;
        if (whole) {
            // Trailing zeros pad a whole number; only the significant ones count.
            ASSERT_EQ(text.substr(text.size() - 2), ".0") << text;
            digits.resize(digits.size() - 1);
            digits.erase(digits.find_last_not_of('0') + 1);
        }
        ASSERT_EQ(static_cast<int>(digits.size()), oracle.digits) << text;
        const bool plain = oracle.exponent >= -5 && oracle.exponent <= 15;
        ASSERT_EQ(e == std::string::npos, plain) << text;
        ASSERT_TRUE(text.find('.') != std::string::npos || e != std::string::npos) << text;
        if (!plain) {
            const std::string exp = text.substr(e + 1);
            ASSERT_EQ(exp[0], oracle.exponent >= 0 ? '+' : '-') << text;
            ASSERT_NE(exp[1], '0') << text;
            ASSERT_EQ(std::atoi(exp.c_str()), oracle.exponent) << text;
        }
    }
    RecordProperty("random_doubles_checked", static_cast<int>(checked));
    std::printf("random doubles checked: %zu\n", checked);
}

TEST(JsonString, EscapesControlBytesQuoteAndBackslashOnly) {
    struct Row { std::string in; const char* out; };
    const Row rows[] = {
        {"plain", "\"plain\""},
        {std::string("\x01", 1), "\"\\u0001\""},
        {std::string("\0", 1), "\"\\u0000\""},
        {"\x1f", "\"\\u001f\""},
        {"a\tb", "\"a\\tb\""},
        {"line\nbreak\r", "\"line\\nbreak\\r\""},
        {"\b\f", "\"\\b\\f\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"km/s/Mpc", "\"km/s/Mpc\""},
        {"\x7f", "\"\x7f\""},
        {"\xc2\xb5m", "\"\xc2\xb5m\""},
        {"", "\"\""},
    };
    for (const auto& row : rows) EXPECT_EQ(string_text(row.in), row.out) << row.out;
}

// Every byte value at every place of a text long enough to span whole
// eight-byte words, checked against the escaping rule stated byte by byte.
TEST(JsonString, EscapesTheSameAtEveryPlaceInLongText) {
    auto escaped = [](unsigned char b) -> std::string {
        switch (b) {
            case '"': return "\\\"";
            case '\\': return "\\\\";
            case '\b': return "\\b";
            case '\t': return "\\t";
            case '\n': return "\\n";
            case '\f': return "\\f";
            case '\r': return "\\r";
        }
        if (b < 0x20) {
            char u[7];
            std::snprintf(u, sizeof u, "\\u%04x", b);
            return u;
        }
        return std::string(1, static_cast<char>(b));
    };
    constexpr std::size_t kLength = 21;
    for (int b = 0; b < 256; ++b) {
        for (std::size_t at = 0; at < kLength; ++at) {
            std::string text(kLength, 'm');
            text[at] = static_cast<char>(b);
            std::string expected = "\"";
            expected.append(at, 'm').append(escaped(static_cast<unsigned char>(b)));
            expected.append(kLength - at - 1, 'm').push_back('"');
            ASSERT_EQ(string_text(text), expected) << "byte " << b << " at " << at;
        }
    }
}

TEST(JsonObject, IsCompactWithKeysInByteOrder) {
    EXPECT_EQ(write_json_object({}).value(), "{}");
    const JsonMember unsorted[] = {
        {"value", 1.5}, {"Zeta", JsonNull{}}, {"a", std::string_view("x")}, {"\xc2\xb5", 2.0},
    };
    EXPECT_EQ(write_json_object(unsorted).value(), "{\"Zeta\":null,\"a\":\"x\",\"value\":1.5,\"\xc2\xb5\":2.0}");
}

TEST(Datasheet, WritesTheFiveFieldsOfEveryCatalogueEntry) {
    struct Row { const char* name; const char* text; };
    const Row rows[] = {
        {"b3", R"({"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0})"},
        {"sterile_check",
         R"({"name":"sterile_check","status":"Pending","uncertainty":null,"units":"count","value":0.0})"},
        {"h0_central", R"({"name":"h0_central","status":"Pending","uncertainty":null,"units":"km/s/Mpc","value":0.0})"},
        {"phi", R"({"name":"phi","status":"Seed","uncertainty":null,"units":"dimensionless","value":1.618033988749895})"},
    };
    for (const auto& row : rows) EXPECT_EQ(constant_datasheet_json(row.name).value().view(), row.text);
    for (const Constant& row : builtin_entries()) {
        const std::string text(constant_datasheet_json(row.name).value().view());
        EXPECT_GE(text.size(), 79u) << text;
        EXPECT_LE(text.size(), 128u) << text;
    }
}

TEST(Datasheet, ReportsAMissingNameAsNotFound) {
    auto result = constant_datasheet_json("B3");
    ASSERT_FALSE(result);
    EXPECT_EQ(std::get<RegistryError>(result.error()).message(), "constant `B3` not found in registry");
}

TEST(Datasheet, WritesNullForNonFiniteNumbersAndKeepsUncertainty) {
    Constant c = Constant::seed("x", std::numeric_limits<double>::quiet_NaN(), "u\t1");
    c.uncertainty = std::numeric_limits<double>::infinity();
    EXPECT_EQ(datasheet_json("x", c).value().view(),
              R"({"name":"x","status":"Seed","uncertainty":null,"units":"u\t1","value":null})");
    c.value = -0.0;
    c.uncertainty = 1e-6;
    c.status = ConstantStatus::External;
    EXPECT_EQ(datasheet_json("x", c).value().view(),
              R"({"name":"x","status":"External","uncertainty":1e-6,"units":"u\t1","value":-0.0})");
}

}  // namespace
