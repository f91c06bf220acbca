#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "expression/expression.hpp"

using namespace veldra;

namespace {

using Names = std::vector<std::string_view>;

struct Compiled {
    std::optional<std::string> problem;
    CompiledFormula formula;
    ConstantPool constants;
};

// One compiler for every test, so each compile also starts from whatever
// the previous one (often a failed one) left behind.
Compiled compile(std::string_view text, const Names* listed = nullptr) {
    static FormulaCompiler compiler;
    Compiled c;
    c.problem = compiler.compile("f", text, listed, c.constants, c.formula);
    return c;
}

std::string repeat(std::string_view part, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += part;
    return out;
}

TEST(Expression, EvaluatesWithPrecedenceAndAssociativity) {
    const Names abc = {"a", "b", "c"}, cba = {"c", "b", "a"}, named_pi = {"pi"};
    struct Row { std::string_view text; const Names* listed; std::vector<double> inputs; double expected; };
    const Row rows[] = {
        {"-a**2", nullptr, {3}, -9}, {"(-a)**2", nullptr, {3}, 9}, {"a ** -b", nullptr, {2, 1}, 0.5},
        {"2**3**2", nullptr, {}, 512}, {"a - b - c", &abc, {10, 3, 2}, 5}, {"a - b - c", &cba, {2, 3, 10}, 5},
        {"8 / 4 / 2", nullptr, {}, 1}, {"1 + 2 * 3", nullptr, {}, 7}, {"(1 + 2) * 3", nullptr, {}, 9},
        {"-a * b", nullptr, {2, 3}, -6}, {"a--a", nullptr, {2}, 4}, {"2 ** -1 ** 2", nullptr, {}, 0.5},
        {" \t1.5e1\n+\r2E-1 ", nullptr, {}, 15.2}, {"1e-400 + 1", nullptr, {}, 1}, {"007.50", nullptr, {}, 7.5},
        {"pi * 2", nullptr, {}, 2 * std::numbers::pi}, {"pi * 2", &named_pi, {4}, 8},
        {"é + x_1 * é", nullptr, {2, 3}, 8}, {"sqrt (a) + exp(b)", nullptr, {16, 1.5}, 4 + std::exp(1.5)},
        {"log10(a) * sin(cos(b))", nullptr, {3, 0.5}, std::log10(3.0) * std::sin(std::cos(0.5))},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text, row.listed);
        ASSERT_FALSE(c.problem) << row.text << ": " << *c.problem;
        ASSERT_EQ(c.formula.dependencies.size(), row.inputs.size()) << row.text;
        EvaluationScratch scratch;
        double value = 0;
        ASSERT_EQ(evaluate(c.formula.code, c.constants.values(), row.inputs, scratch, value), ValueFault::None) << row.text;
        EXPECT_EQ(value, row.expected) << row.text;
    }
}

TEST(Expression, EmitsPostfixInParseOrder) {
    struct Row { std::string_view text; std::string ops; };  // N number, L load, ~ neg, F call
    const Row rows[] = {
        {"a - b * c", "LLL*-"}, {"-a**2", "LN^~"}, {"a*b + c", "LL*L+"}, {"sin(a) / -b", "LFL~/"},
        {"2**3**2", "NNN^^"}, {"a - b + c", "LL-L+"},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text);
        ASSERT_FALSE(c.problem) << row.text;
        std::string ops;
        for (const Instruction& i : c.formula.code) ops += "NL~+-*/^F"[static_cast<int>(i.op)];
        EXPECT_EQ(ops, row.ops) << row.text;
    }
}

TEST(Expression, NamesDependenciesInCharacters) {
    const Names ab = {"a", "b"}, ba = {"b", "a"}, with_pi = {"b", "a", "pi"};
    struct Row { std::string_view text; const Names* listed; Names names; std::vector<std::uint32_t> offsets;
                 bool is_default; };
    const Row rows[] = {
        {"b + a + b", nullptr, {"b", "a"}, {0, 4}, true}, {"b + a + b", &ab, {"a", "b"}, {4, 0}, false},
        {"b + a", &ba, {"b", "a"}, {0, 4}, true}, {"b + a * pi", &with_pi, {"b", "a", "pi"}, {0, 4, 8}, false},
        {"éé + ü", nullptr, {"éé", "ü"}, {0, 5}, true}, {"pi", nullptr, {}, {}, true},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text, row.listed);
        ASSERT_FALSE(c.problem) << row.text;
        EXPECT_EQ(c.formula.dependencies, row.names) << row.text;
        EXPECT_EQ(c.formula.offsets, row.offsets) << row.text;
        EXPECT_EQ(FormulaCompiler::uses_default_dependencies(c.formula), row.is_default) << row.text;
    }
}

// Past a handful of names the compiler finds slots through a map: the same
// slots, offsets and problems as through the short list.
TEST(Expression, ManyNamesKeepTheirSlotsAndProblems) {
    std::vector<std::string> spelled;
    for (int i = 0; i < 20; ++i) spelled.push_back("n" + std::to_string(i));
    std::string all;  // "n0+n1+…+n19", each name three characters and a plus on from the last
    for (const std::string& name : spelled) all += (all.empty() ? "" : "+") + name;
    const Names names(spelled.begin(), spelled.end());
    Names repeated = names;
    repeated[19] = "n17";
    Names reversed(names.rbegin(), names.rend());
    struct Row { std::string text; const Names* listed; std::string detail; std::uint32_t slot_of_n3;
                 std::uint32_t offset_of_n18; std::size_t count = 20; };
    const Row rows[] = {
        {all + "+n3+n18", nullptr, "(compiled)", 3, 62},
        {all + "+n3+n18", &reversed, "(compiled)", 16, 62},
        {all + "+n20+n20", nullptr, "(compiled)", 3, 62, 21},
        {all + "+n20", &names, "`n20` at offset 70 is not a dependency of `f`", 3, 62},
        {all.substr(0, all.size() - 4), &repeated, "dependency `n17` is listed twice", 3, 62},
        {all.substr(0, all.size() - 4), &names, "dependency `n19` is not used by the expression", 3, 62},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text, row.listed);
        EXPECT_EQ(c.problem.value_or("(compiled)"), row.detail) << row.text;
        if (c.problem) continue;
        const auto& deps = c.formula.dependencies;
        EXPECT_EQ(deps.size(), row.count) << row.text;
        const std::size_t n3 = std::find(deps.begin(), deps.end(), "n3") - deps.begin();
        const std::size_t n18 = std::find(deps.begin(), deps.end(), "n18") - deps.begin();
        EXPECT_EQ(n3, row.slot_of_n3) << row.text;
        ASSERT_LT(n18, deps.size()) << row.text;
        EXPECT_EQ(c.formula.offsets[n18], row.offset_of_n18) << row.text;
        std::size_t loads_of_n3 = 0;
        for (const Instruction& i : c.formula.code) loads_of_n3 += i.op == Op::Load && i.arg == n3;
        EXPECT_EQ(loads_of_n3, row.text.ends_with("+n3+n18") ? 2u : 1u) << row.text;
    }
}

TEST(Expression, ReportsParseProblems) {
    const Names a = {"a"}, twice = {"a", "a"}, unused = {"a", "z"};
    struct Row { std::string_view text; std::string_view detail; const Names* listed = nullptr; };
    const Row rows[] = {
        {"", "expected a number, a name or `(` but found the end"},
        {"1 + ", "expected a number, a name or `(` but found the end"},
        {"1 + )", "expected a number, a name or `(` but found `)` at offset 4"},
        {"ü * +2", "expected a number, a name or `(` but found `+` at offset 4"},
        {"1 2", "unexpected `2` at offset 2"}, {"é ü", "unexpected `ü` at offset 2"},
        {"(1))", "unexpected `)` at offset 3"}, {"a @ b", "unexpected `@` at offset 2"},
        {"2.5.1", "unexpected `.` at offset 3"}, {"sin((1)", "expected `)` but found the end"},
        {"é + 1.", "expected a digit after the decimal point at offset 6"},
        {"1.e5", "expected a digit after the decimal point at offset 2"},
        {"1e+", "expected a digit in the exponent at offset 3"},
        {"2E-x", "expected a digit in the exponent at offset 3"},
        {"1 + fóo (2)", "unknown function `fóo` at offset 4"}, {"pi(2)", "unknown function `pi` at offset 0"},
        {"1 + 1e999", "number `1e999` at offset 4 is too large for a double"},
        {"a + d", "`d` at offset 4 is not a dependency of `f`", &a},
        {"a", "dependency `a` is listed twice", &twice}, {"a", "dependency `z` is not used by the expression", &unused},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text, row.listed);
        EXPECT_EQ(c.problem.value_or("(compiled)"), row.detail) << row.text;
    }
}

TEST(Expression, LimitsNesting) {
    const std::string too_deep = "nesting deeper than 256 levels at offset ";
    struct Row { std::string text; std::optional<std::string> detail; };
    const Row rows[] = {
        {repeat("(", 256) + "1" + repeat(")", 256), std::nullopt},
        {repeat("(", 257) + "1" + repeat(")", 257), too_deep + "256"},
        {repeat("-", 256).append("1"), std::nullopt}, {repeat("-", 257).append("1"), too_deep + "256"},
        {std::string("1").append(repeat(" ** 1", 256)), std::nullopt},
        {std::string("1").append(repeat(" ** 1", 257)), too_deep + "1282"},
        {repeat("sin(", 257).append("1"), too_deep + "1024"}, {repeat("(1)+", 300).append("1"), std::nullopt},
        {repeat("-(", 128) + "1" + repeat(")", 128), std::nullopt},
        {repeat("(", 100000).append("1"), too_deep + "256"},
    };
    for (const Row& row : rows) EXPECT_EQ(compile(row.text).problem, row.detail) << row.text.substr(0, 40);
}

TEST(Expression, ReportsValueFaults) {
    using enum ValueFault;
    struct Row { std::string_view text; ValueFault fault; };
    const Row rows[] = {
        {"1 / 0", DivisionByZero}, {"1 / -0", DivisionByZero}, {"sqrt(-1)", Domain}, {"log(0)", Domain},
        {"log10(-1)", Domain}, {"asin(2)", Domain}, {"0 ** -1", Domain}, {"(-8) ** (1 / 3)", Domain},
        {"exp(1000)", Overflow}, {"cosh(-1000)", Overflow}, {"1e308 * 10", Overflow}, {"1e308 + 1e308", Overflow},
        {"1e300 / 1e-300", Overflow}, {"10 ** 400", Overflow}, {"exp(-1000) + 10 ** -400", None},
    };
    for (const Row& row : rows) {
        const Compiled c = compile(row.text);
        ASSERT_FALSE(c.problem) << row.text;
        EvaluationScratch scratch;
        double value = 0;
        EXPECT_EQ(evaluate(c.formula.code, c.constants.values(), {}, scratch, value), row.fault) << row.text;
    }
    EXPECT_EQ(fault_text(DivisionByZero), "division by zero");
    EXPECT_EQ(fault_text(Domain), "math domain error");
    EXPECT_EQ(fault_text(Overflow), "overflow");
    EXPECT_EQ(function_name(Function::Log10), "log10");
}

TEST(Expression, BackpropagatesExactPartials) {
    struct Row {
        std::string_view text;
        std::vector<double> inputs;
        std::vector<std::uint8_t> uncertain;
        double seed;
        std::optional<std::vector<double>> slots;  // none: a needed partial, or a chain of them, is not finite
    };
    const Row rows[] = {
        {"a * a", {3}, {1}, 1, {{6}}}, {"a * a", {3}, {1}, 2, {{12}}},
        {"a / b", {3, 2}, {1, 1}, 1, {{0.5, -0.75}}}, {"a / b", {3, 2}, {1, 0}, 1, {{0.5, 0}}},
        {"a - b - c", {1, 2, 3}, {1, 1, 1}, 1, {{1, -1, -1}}}, {"x ** 2", {0}, {1}, 1, {{0}}},
        {"x ** 3", {2}, {1}, 1, {{12}}}, {"2 ** x", {3}, {1}, 1, {{8 * std::log(2.0)}}},
        {"sin(a) * b", {0.5, 3}, {1, 1}, 1, {{3 * std::cos(0.5), std::sin(0.5)}}},
        {"log(x) + x", {4}, {1}, 1, {{1.25}}}, {"-x", {4}, {1}, 3, {{-3}}},
        {"sqrt(x)", {0}, {1}, 1, std::nullopt}, {"sqrt(x) + y", {0, 1}, {0, 1}, 1, {{0, 1}}},
        {"x ** y", {0, 2}, {0, 1}, 1, std::nullopt}, {"x ** 0.5", {0}, {1}, 1, std::nullopt},
        {"asin(x)", {1}, {1}, 1, std::nullopt},
        // Finite partials whose product along the chain overflows.
        {"exp(x)", {700}, {1}, 1e300, std::nullopt}, {"x * 1e300 * 1e10", {0}, {1}, 1, std::nullopt},
        {"x * 1e300 + x * 1e300", {0}, {1}, 1e8, std::nullopt},
    };
    EvaluationScratch scratch;  // reused, as a caller would, from row to row
    for (const Row& row : rows) {
        const Compiled c = compile(row.text);
        ASSERT_FALSE(c.problem) << row.text;
        std::vector<double> slots(row.inputs.size(), -1.0);
        const bool finite =
            backpropagate(c.formula.code, c.constants.values(), row.inputs, row.uncertain, row.seed, scratch, slots);
        ASSERT_EQ(finite, row.slots.has_value()) << row.text;
        if (finite) {
            EXPECT_EQ(slots, *row.slots) << row.text;
        }
    }
}

}  // namespace

TEST(Expression, NumberPoolHoldsAsManyNumbersAsDocumentedAndNoMore) {
    ConstantPool pool;
    std::size_t misplaced = 0;
    for (std::uint32_t i = 0; i < kMaxArgument; ++i) misplaced += pool.add(static_cast<double>(i)) != i;
    ASSERT_EQ(misplaced, 0u);
    // A number it holds is still found; one more is refused with the index past the field.
    EXPECT_EQ(pool.add(7.0), 7u);
    EXPECT_EQ(pool.add(-1.0), kMaxArgument + 1);
    // The formula that brings it says which limit it passed.
    FormulaCompiler compiler;
    CompiledFormula formula;
    const auto problem = compiler.compile("f", "0.5", nullptr, pool, formula);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(*problem, "the catalogue's formulas hold more than 16777215 distinct numbers");
}
