// Any text through the formula compiler, and what compiles through the
// evaluator and the reverse pass at values drawn from the input. Checks what
// holds for every program: it compiles to a valid postfix program (each
// instruction finds its operands, one value is left), its dependencies are
// distinct and each used, evaluating twice gives the same bits, and a
// reverse pass either succeeds with finite slots for a finite seed or says
// a derivative was not finite.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "expression/expression.hpp"
#include "json/json_reader.hpp"

using namespace veldra;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s in: %s\n", what, text.c_str());
    std::abort();
}

// Values across the whole range, the awkward ones often.
double draw_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return in.PickValueInArray({0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e308, -1e308, 5e-324, 710.0});
        case 1: return in.ConsumeFloatingPointInRange(-10.0, 10.0);
        default: {
            double x = in.ConsumeFloatingPoint<double>();
            return std::isfinite(x) ? x : 1.0;
        }
    }
}

void check_program(const CompiledFormula& formula, const std::string& text) {
    std::size_t depth = 0;
    for (const Instruction& step : formula.code) {
        switch (step.op) {
            case Op::Number:
            case Op::Load:
                if (step.op == Op::Load && step.arg >= formula.dependencies.size()) fail("a load past the slots", text);
                ++depth;
                break;
            case Op::Neg:
            case Op::Call:
                if (depth < 1) fail("a unary step without an operand", text);
                break;
            default:
                if (depth < 2) fail("a binary step without operands", text);
                --depth;
        }
    }
    if (depth != 1) fail("a program that does not leave one value", text);
    std::vector<bool> loaded(formula.dependencies.size(), false);
    for (const Instruction& step : formula.code) {
        if (step.op == Op::Load) loaded[step.arg] = true;
    }
    if (std::find(loaded.begin(), loaded.end(), false) != loaded.end()) fail("a dependency never loaded", text);
    std::set<std::string_view> names(formula.dependencies.begin(), formula.dependencies.end());
    if (names.size() != formula.dependencies.size()) fail("a dependency twice", text);
    if (formula.offsets.size() != formula.dependencies.size()) fail("offsets out of step", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text, then after a NUL what draws the dependency list and the values.
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t text_size = end == nullptr ? size : static_cast<std::size_t>(end - data);
    const std::string text(reinterpret_cast<const char*>(data), text_size);
    FuzzedDataProvider in(data + text_size, size - text_size);
    const bool listed = in.ConsumeBool();
    // The compiler takes UTF-8, as every caller gives it: keep only texts
    // that are, checked by the JSON reader on the text as a string.
    std::string quoted;
    for (unsigned char c : text) quoted += c < 0x20 || c == '"' || c == '\\' ? ' ' : static_cast<char>(c);
    if (find_json_problem("\"" + quoted + "\"", 1)) return 0;

    std::vector<std::string_view> dependencies{"a", "b", "µ0", "pi"};
    FormulaCompiler compiler;
    CompiledFormula formula;
    ConstantPool constants;
    if (compiler.compile("f", text, listed ? &dependencies : nullptr, constants, formula)) return 0;
    check_program(formula, text);

    std::vector<double> inputs;
    std::vector<std::uint8_t> uncertain;
    for (std::size_t i = 0; i < formula.dependencies.size(); ++i) {
        inputs.push_back(draw_value(in));
        uncertain.push_back(in.ConsumeBool());
    }
    EvaluationScratch scratch;
    double first = 0.0, second = 0.0;
    const ValueFault fault = evaluate(formula.code, constants.values(), inputs, scratch, first);
    if (evaluate(formula.code, constants.values(), inputs, scratch, second) != fault) fail("a fault that comes and goes", text);
    if (fault != ValueFault::None) return 0;
    if (!std::isfinite(first) || std::memcmp(&first, &second, sizeof first) != 0) fail("an unsteady value", text);
    std::vector<double> slots(inputs.size(), -1.0);
    if (!backpropagate(formula.code, constants.values(), inputs, uncertain, 1.0, scratch, slots)) return 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!uncertain[i] && slots[i] != 0.0) fail("a slot without uncertainty got a derivative", text);
        if (uncertain[i] && !std::isfinite(slots[i])) fail("a derivative that is not finite, reported as one", text);
    }
    return 0;
}
