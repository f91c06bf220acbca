#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

#include "json/json_reader.hpp"

using namespace veldra;
using namespace std::string_view_literals;

namespace {

struct Bad { std::string_view text; std::size_t offset; std::string_view what; };

void expect_problem(const Bad& row, std::size_t max_depth = 64) {
    const auto problem = find_json_problem(row.text, max_depth);
    ASSERT_TRUE(problem.has_value()) << row.text;
    EXPECT_EQ(problem->offset, row.offset) << row.text;
    EXPECT_EQ(problem->what, row.what) << row.text;
    // Both entry points share one scanner and must agree.
    const auto tree = read_json_tree(row.text, max_depth);
    ASSERT_FALSE(tree.has_value()) << row.text;
    EXPECT_EQ(tree.error().offset, row.offset) << row.text;
    EXPECT_EQ(tree.error().what, row.what) << row.text;
}

TEST(JsonReader, FindsTheFirstInvalidUtf8WherePythonsDecoderDoes) {
    // Offsets are UnicodeDecodeError.start of bytes.decode("utf-8") for each text.
    constexpr auto kUtf8 = "invalid UTF-8"sv;
    const Bad rows[] = {
        {"ab\x80"sv, 2, kUtf8}, {"\xc0\xaf"sv, 0, kUtf8}, {"\xc1\xbf"sv, 0, kUtf8}, {"x\xc2"sv, 1, kUtf8},
        {"\xc2" "A"sv, 0, kUtf8}, {"\xe0\x80\x80"sv, 0, kUtf8}, {"\xe0\x9f\xbf"sv, 0, kUtf8},
        {"\xed\xa0\x80"sv, 0, kUtf8}, {"\xed\xbf\xbf"sv, 0, kUtf8}, {"\xf0\x80\x80\x80"sv, 0, kUtf8},
        {"\xf0\x8f\xbf\xbf"sv, 0, kUtf8}, {"\xf4\x90\x80\x80"sv, 0, kUtf8}, {"\xf5\x80\x80\x80"sv, 0, kUtf8},
        {"\xff"sv, 0, kUtf8}, {"\xfe"sv, 0, kUtf8}, {"[\"\xe2\x82\"]"sv, 2, kUtf8}, {"\"\xe2\x82"sv, 1, kUtf8},
        {"\"\xf0\x9f\x98\""sv, 1, kUtf8}, {"\"\xf0\x9f\x98"sv, 1, kUtf8}, {"\xe1\x80\xc0"sv, 0, kUtf8},
        {"ok \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xbf"sv, 15, kUtf8}, {"\xc3\xa9\xe0\xa0"sv, 2, kUtf8},
        {"\xf4\x8f\xbf\xbf\xf4\x90"sv, 4, kUtf8}, {"\x80\x80"sv, 0, kUtf8},
        {"[\"abcdefghijklmnopqrstuvwxyz\x80\"]"sv, 28, kUtf8},
        // The whole text is checked before any grammar, so an earlier grammar slip loses.
        {"[1,,\"\xff\"]"sv, 5, kUtf8},
    };
    for (const auto& row : rows) expect_problem(row);
}

TEST(JsonReader, RefusesNestingPastTheLimitAtTheBracketThatOpensIt) {
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(find_json_problem(nested(64), 64), std::nullopt);
    EXPECT_TRUE(read_json_tree(nested(64), 64).has_value());
    const std::string deep = nested(65), huge(1'000'000, '['), mixed = "{\"a\":" + nested(64) + "}";
    const std::string objects = [] { std::string s; for (int i = 0; i < 65; ++i) s += "{\"k\":"; return s; }();
    const Bad rows[] = {
        {deep, 64, "nesting deeper than 64 levels"}, {huge, 64, "nesting deeper than 64 levels"},
        {mixed, 68, "nesting deeper than 64 levels"}, {objects, 5 * 64, "nesting deeper than 64 levels"},
    };
    for (const auto& row : rows) expect_problem(row);
    expect_problem({"[]", 0, "nesting deeper than 0 levels"}, 0);
    EXPECT_EQ(find_json_problem("7", 0), std::nullopt);
}

TEST(JsonReader, RefusesHalfASurrogatePairAtItsBackslash) {
    constexpr auto kHalf = "a \\u escape names half a surrogate pair"sv;
    const Bad rows[] = {
        {R"("\ud800")"sv, 1, kHalf}, {R"("\uDBFF x")"sv, 1, kHalf}, {R"("ab\udc00")"sv, 3, kHalf},
        {R"("\ud800\ud800")"sv, 1, kHalf}, {R"("\ud83d\u0041")"sv, 1, kHalf}, {R"("\ud83d\n")"sv, 1, kHalf},
        {R"(["\ud83d\ude00\udfff"])"sv, 14, kHalf}, {R"("\ud83d\u12")"sv, 1, kHalf},
        {R"({"k\uDE00":1})"sv, 3, kHalf},
    };
    for (const auto& row : rows) expect_problem(row);
}

TEST(JsonReader, NamesGrammarProblems) {
    const Bad rows[] = {
        {"", 0, "the text is empty"}, {" \n\t", 3, "the text is empty"}, {"[1,]", 3, "expected a value"},
        {"[1 2]", 3, "expected `,` or `]`"}, {"{\"a\":1,}", 7, "expected a string as an object key"},
        {"{\"a\" 1}", 5, "expected `:`"}, {"{\"a\":1 \"b\"}", 7, "expected `,` or `}`"},
        {"{'a':1}", 1, "expected a string as an object key"}, {"\"abc", 0, "unterminated string"},
        {"[\"a\\", 1, "unterminated string"}, {"\"a\\x\"", 2, "invalid escape"},
        {"\"\\u12g4\"", 1, "invalid \\u escape"}, {"\"a\tb\"", 2, "control character in a string"},
        {"01", 1, "unexpected text after the value"}, {"-", 1, "invalid number"}, {"1.", 2, "invalid number"},
        {"1.e5", 2, "invalid number"}, {"1e+", 3, "invalid number"}, {"-Infinity", 1, "invalid number"},
        {"NaN", 0, "expected a value"}, {"[tru]", 1, "expected a value"}, {"+1", 0, "expected a value"},
        {"[1] // c", 4, "unexpected text after the value"}, {"[1]]", 3, "unexpected text after the value"},
        {"[", 1, "expected a value"}, {"{", 1, "expected a string as an object key"}, {"\f1", 0, "expected a value"},
        {"[.5]", 1, "expected a value"}, {"truex", 4, "unexpected text after the value"},
    };
    for (const auto& row : rows) expect_problem(row);
}

TEST(JsonReader, AcceptsValidTexts) {
    const std::string_view rows[] = {
        "0", "-0", "-0.0", "1e400", "123456789012345678901234567890", "1E-7", "0.5e+3", " \t\r\n true \n", "false",
        "null", "\"\"", "[]", "{}", "[[], {}, [{}]]", R"({"a": [1, 2, {"b": null}], "a": "x"})",
        R"("\" \\ \/ \b \f \n \r \t \u00e9 \ud83d\ude00 \uFFFF")", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\x7f\"",
        "\"\\u0000\"", "[-1.5e-300, 2.5E+10, 0e0]",
    };
    for (const auto text : rows) EXPECT_EQ(find_json_problem(text, 64), std::nullopt) << text;
}

TEST(JsonReader, BuildsTheTreeInDocumentOrder) {
    const std::string_view text =
        R"({"n": 602214076000000000000000, "big": [1e400, -1e400, -0, -0.0, 0.1], )"
        R"("s": "\u00e9\ud83d\ude00\n\"", "n": {"t": true, "f": false, "z": null}, "e": []})";
    const auto tree = read_json_tree(text, 64);
    ASSERT_TRUE(tree.has_value());
    const auto& nodes = tree->nodes;
    const auto str = [&](std::uint32_t i) {
        EXPECT_EQ(nodes[i].kind, JsonKind::String) << i;
        return std::string_view(tree->strings).substr(nodes[i].text, nodes[i].size);
    };
    ASSERT_EQ(nodes.size(), 22u);
    EXPECT_EQ(nodes[0].kind, JsonKind::Object);
    EXPECT_EQ(nodes[0].count, 5u);
    EXPECT_EQ(nodes[0].next, 22u);
    // Members in order, repeated keys kept; each value's `next` skips its subtree.
    struct Member { std::string_view key; std::uint32_t index; JsonKind kind; std::uint32_t next; };
    const Member members[] = {
        {"n", 2, JsonKind::Number, 3}, {"big", 4, JsonKind::Array, 10}, {"s", 11, JsonKind::String, 12},
        {"n", 13, JsonKind::Object, 20}, {"e", 21, JsonKind::Array, 22},
    };
    std::uint32_t at = 1;
    for (const auto& m : members) {
        EXPECT_EQ(str(at), m.key);
        EXPECT_EQ(nodes[at].next, at + 1);
        at = nodes[at].next;
        EXPECT_EQ(at, m.index) << m.key;
        EXPECT_EQ(nodes[at].kind, m.kind) << m.key;
        EXPECT_EQ(nodes[at].next, m.next) << m.key;
        at = nodes[at].next;
    }
    EXPECT_EQ(at, 22u);
    EXPECT_EQ(nodes[2].number, 6.02214076e23);
    EXPECT_FALSE(nodes[2].too_large);
    EXPECT_EQ(nodes[4].count, 5u);
    EXPECT_TRUE(nodes[5].too_large && nodes[6].too_large);
    EXPECT_TRUE(nodes[5].number > 0 && nodes[6].number < 0);
    EXPECT_EQ(nodes[7].number, 0.0);
    EXPECT_FALSE(std::signbit(nodes[7].number));
    EXPECT_TRUE(std::signbit(nodes[8].number));
    EXPECT_EQ(nodes[9].number, 0.1);
    EXPECT_FALSE(nodes[9].too_large);
    EXPECT_EQ(str(11), "\xc3\xa9\xf0\x9f\x98\x80\n\"");
    EXPECT_EQ(nodes[13].count, 3u);
    EXPECT_EQ(str(14), "t");
    EXPECT_TRUE(nodes[15].kind == JsonKind::Boolean && nodes[15].boolean);
    EXPECT_TRUE(nodes[17].kind == JsonKind::Boolean && !nodes[17].boolean);
    EXPECT_EQ(nodes[19].kind, JsonKind::Null);
    EXPECT_EQ(nodes[21].count, 0u);
    EXPECT_EQ(read_json_tree("[\"ab\", \"\"]", 64)->nodes[2].size, 0u);
}

TEST(JsonReader, RoundsLongNumbersLikeStrtod) {
    struct Row { std::string_view text; double value; };
    const Row rows[] = {
        {"123456789012345678901234567890", 1.2345678901234568e29}, {"9007199254740993", 9007199254740992.0},
        {"999999999999999", 999999999999999.0}, {"-9223372036854775809", -9223372036854775808.0},
        {"9999999999999999999", 1e19}, {"-18446744073709551616", -18446744073709551616.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308}, {"1e-400", 0.0},
        {"1.7976931348623157e308", 1.7976931348623157e308},
    };
    for (const auto& row : rows) {
        const auto tree = read_json_tree(row.text, 64);
        ASSERT_TRUE(tree.has_value()) << row.text;
        EXPECT_EQ(tree->nodes[0].number, row.value) << row.text;
        EXPECT_FALSE(tree->nodes[0].too_large) << row.text;
    }
    EXPECT_TRUE(read_json_tree("1.8e308", 64)->nodes[0].too_large);
}

TEST(JsonReader, PositionCountsLinesAndCharacters) {
    struct Row { std::string_view text; std::size_t offset, line, column; };
    const Row rows[] = {
        {"abc", 0, 1, 1}, {"abc", 3, 1, 4}, {"a\nbc", 2, 2, 1}, {"a\nbc", 1, 1, 2},
        {"a\n\n\xc3\xa9\xe2\x82\xac!", 8, 3, 3},
        {"\xf0\x9f\x98\x80x\ny", 5, 1, 3}, {"", 0, 1, 1},
    };
    for (const auto& row : rows) {
        const auto pos = position_of(row.text, row.offset);
        EXPECT_EQ(pos.line, row.line) << row.text << " @" << row.offset;
        EXPECT_EQ(pos.column, row.column) << row.text << " @" << row.offset;
    }
}

}  // namespace
