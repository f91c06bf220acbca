#pragma once
// The formula language: a text compiled once into a flat postfix program,
// evaluated by a loop over it with a small value stack, and differentiated by
// a reverse pass over the same program. Nothing here recurses, so neither a
// deeply nested text nor a long program can exhaust the C stack.
//
//     expression := term (("+" | "-") term)*
//     term       := unary (("*" | "/") unary)*
//     unary      := "-" unary | power
//     power      := primary ("**" unary)?
//     primary    := number | name | function "(" expression ")" | "(" expression ")"
//
// The package's pure-Python reference (ostrelin/_expression.py) parses with
// the same operator-precedence loop and reports the same problems at the same
// offsets, counted in characters (code points), and evaluates the same IEEE
// double operations in the same order with the same libm functions, so both
// give the same bits. The project is built without floating-point
// contraction for that reason.
//
// Thread-safety: compiled programs are plain data; evaluating or
// differentiating one only reads it. A FormulaCompiler is one thread's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// Levels a text may nest: every parenthesis, call, unary minus and right
// operand of ** opens one.
inline constexpr std::size_t kMaxNesting = 256;

enum class Op : std::uint8_t { Number, Load, Neg, Add, Sub, Mul, Div, Pow, Call };

enum class Function : std::uint8_t { Sqrt, Exp, Log, Log10, Sin, Cos, Tan, Asin, Acos, Atan, Sinh, Cosh, Tanh };

// The name a formula calls `function` by ("sqrt", "log10", …).
std::string_view function_name(Function function) noexcept;

// One step in four bytes: a million formulas make millions of steps.
struct Instruction {
    Op op : 8;
    // Number: index into the constant pool; Load: dependency slot; Call: a
    // Function; otherwise unused.
    std::uint32_t arg : 24;
};
static_assert(sizeof(Instruction) == 4);

// How many distinct numbers, and how many dependencies per formula, a
// program can refer to.
inline constexpr std::size_t kMaxArgument = (std::size_t{1} << 24) - 1;

// The numbers of many programs, each stored once (by its bits, so 0.0 and
// -0.0 stay apart). Not synchronised.
class ConstantPool {
public:
    // The index of `value`, added if new; kMaxArgument + 1 when the pool is full.
    std::uint32_t add(double value);
    std::span<const double> values() const noexcept { return values_; }
    std::size_t size() const noexcept { return values_.size(); }

private:
    std::vector<double> values_;
    std::vector<std::uint32_t> table_;  // open addressing: 1 + index, 0 for an empty slot
};

// One formula's program as the compiler leaves it.
struct CompiledFormula {
    std::vector<Instruction> code;
    // The entries the program loads, slot by slot: the listed dependencies,
    // or without a list the names used, in first-use order ("pi" is then π,
    // never a dependency). Views into the text or into the list given.
    std::vector<std::string_view> dependencies;
    // Where (in characters) each dependency is first used.
    std::vector<std::uint32_t> offsets;
};

// Whether `text` reads as one name in a formula: `_` or a letter (any
// non-ASCII character counts as one), then those or digits; not "pi".
bool is_formula_name(std::string_view text) noexcept;

class FormulaCompiler {
public:
    // Compiles `text`, the formula of entry `owner`, adding its numbers to
    // `constants` (Number instructions index that pool). `listed` is the
    // entry's own dependency list, or null to take the names used. `text`
    // must be valid UTF-8. Returns the detail of the first problem instead
    // ("unexpected `)` at offset 4", "`d` at offset 4 is not a dependency of
    // `f`", "dependency `z` is not used by the expression", …); `out` and
    // `constants` may then hold part of the work.
    std::optional<std::string> compile(std::string_view owner, std::string_view text,
                                       const std::vector<std::string_view>* listed, ConstantPool& constants,
                                       CompiledFormula& out);

    // Whether the dependencies are what an absent list means: the names used
    // in first-use order, "pi" not among them.
    static bool uses_default_dependencies(const CompiledFormula& formula) noexcept;

private:
    class Run;  // one call's scan (expression.cpp)
    struct Pending {
        std::uint8_t kind;
        std::uint8_t function;
    };
    std::vector<Pending> operators_;  // kept between calls for its capacity
};

// Why a value cannot be computed.
enum class ValueFault : std::uint8_t { None, DivisionByZero, Domain, Overflow };

// "division by zero", "math domain error" or "overflow".
std::string_view fault_text(ValueFault fault) noexcept;

// Scratch memory for evaluate and backpropagate; reuse one per thread.
struct EvaluationScratch {
    std::vector<double> stack;
    std::vector<double> values;
    std::vector<double> adjoints;
    std::vector<std::uint32_t> operands;
    std::vector<std::uint8_t> carries;
};

// Runs `code` with `inputs` in its dependency slots. On success stores the
// value in `out` and returns ValueFault::None. A division by zero, a domain
// error (NaN from finite operands, log's pole, 0 to a negative power) or an
// overflow to infinity returns that fault instead.
ValueFault evaluate(std::span<const Instruction> code, std::span<const double> constants,
                    std::span<const double> inputs, EvaluationScratch& scratch, double& out);

// The reverse pass: sets slots[s] to `seed` × ∂(program)/∂(input s) for every
// slot whose `uncertain[s]` is set, and to 0 for the others. Only operands
// that depend on an uncertain input are differentiated. Returns false when a
// partial derivative it needs is not finite, or when their products along
// the chain are not. `inputs` must be values that evaluate accepts.
bool backpropagate(std::span<const Instruction> code, std::span<const double> constants,
                   std::span<const double> inputs, std::span<const std::uint8_t> uncertain, double seed,
                   EvaluationScratch& scratch, std::span<double> slots);

}  // namespace veldra
