#include "expression/expression.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <unordered_map>

#include "support/c_number.hpp"

namespace veldra {
namespace {

constexpr std::array<std::string_view, 13> kFunctionNames = {
    "sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh",
};

using Unary = double (*)(double);
constexpr std::array<Unary, 13> kFunctionCode = {
    [](double x) { return std::sqrt(x); },  [](double x) { return std::exp(x); },
    [](double x) { return std::log(x); },   [](double x) { return std::log10(x); },
    [](double x) { return std::sin(x); },   [](double x) { return std::cos(x); },
    [](double x) { return std::tan(x); },   [](double x) { return std::asin(x); },
    [](double x) { return std::acos(x); },  [](double x) { return std::atan(x); },
    [](double x) { return std::sinh(x); },  [](double x) { return std::cosh(x); },
    [](double x) { return std::tanh(x); },
};

// What waits on the operator stack. The markers for "(" and a call are not
// operators: their precedence 0 stops every reduction.
enum Kind : std::uint8_t { kAdd, kSub, kMul, kDiv, kNeg, kPow, kParen, kCall };
constexpr std::array<int, 8> kPrecedence = {1, 1, 2, 2, 3, 4, 0, 0};
constexpr std::array<Op, 6> kOpOf = {Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Neg, Op::Pow};

constexpr std::uint32_t kUnused = UINT32_MAX;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Every byte of a non-ASCII character counts, so a name takes such a
// character whole, as the reference's code-point test does.
bool is_name_start(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80;
}

// Offsets are asked for in rising order, so counting resumes where it last
// stopped and a long text costs one pass, not one per name.
class CharOffsets {
public:
    explicit CharOffsets(std::string_view text) : text_(text) {}

    std::uint32_t operator()(std::size_t byte) {
        if (byte < byte_) byte_ = chars_ = 0;
        for (; byte_ < byte; ++byte_) chars_ += !is_continuation(text_[byte_]);
        return chars_;
    }

private:
    std::string_view text_;
    std::size_t byte_ = 0;
    std::uint32_t chars_ = 0;
};

// The whole UTF-8 sequence of the character at `at`, for quoting it.
std::string_view char_at(std::string_view text, std::size_t at) {
    std::size_t end = at + 1;
    while (end < text.size() && is_continuation(text[end])) ++end;
    return text.substr(at, end - at);
}

std::string message(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view part : parts) out += part;
    return out;
}

// The double nearest to a number literal (digits, an optional fraction and
// exponent), as Python's float() gives it. Most literals take Clinger's
// fast path: at most 19 digits worth less than 2^53, scaled by at most
// 10^22, is one exact operation on exact operands, so correctly rounded. The
// rest go to strtod, which rounds correctly too.
double parse_double(std::string_view literal) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::uint64_t mantissa = 0;
    int digits = 0;
    long exponent = 0;
    std::size_t at = 0;
    for (; at < literal.size() && is_digit(literal[at]); ++at, ++digits) mantissa = mantissa * 10 + (literal[at] - '0');
    if (at < literal.size() && literal[at] == '.') {
        for (++at; at < literal.size() && is_digit(literal[at]); ++at, ++digits, --exponent) {
            mantissa = mantissa * 10 + (literal[at] - '0');
        }
    }
    if (at < literal.size()) {  // the exponent
        const bool negative = literal[++at] == '-';
        if (literal[at] == '-' || literal[at] == '+') ++at;
        long written = 0;
        for (; at < literal.size(); ++at) written = std::min(written * 10 + (literal[at] - '0'), 100000L);
        exponent += negative ? -written : written;
    }
    if (digits <= 19 && mantissa <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        const double m = static_cast<double>(mantissa);
        return exponent < 0 ? m / kPowers[-exponent] : m * kPowers[exponent];
    }
    return c_strtod(std::string(literal));
}

bool is_binary(Op op) { return op >= Op::Add && op <= Op::Pow; }

// math.pow's verdicts for finite operands: NaN is a domain error, and so is
// infinity from a zero base (the pole); other infinities overflow.
ValueFault binary(Op op, double a, double b, double& result) {
    switch (op) {
    case Op::Add: result = a + b; break;
    case Op::Sub: result = a - b; break;
    case Op::Mul: result = a * b; break;
    case Op::Div:
        if (b == 0.0) return ValueFault::DivisionByZero;
        result = a / b;
        break;
    default:
        result = std::pow(a, b);
        if (std::isnan(result)) return ValueFault::Domain;
        if (std::isinf(result)) return a == 0.0 ? ValueFault::Domain : ValueFault::Overflow;
    }
    return std::isinf(result) ? ValueFault::Overflow : ValueFault::None;
}

// math's verdicts for a finite argument: NaN is a domain error; infinity is
// log's pole (a domain error too) or else an overflow.
ValueFault call(std::uint32_t function, double x, double& result) {
    result = kFunctionCode[function](x);
    if (std::isnan(result)) return ValueFault::Domain;
    if (!std::isinf(result)) return ValueFault::None;
    const auto f = static_cast<Function>(function);
    return f == Function::Log || f == Function::Log10 ? ValueFault::Domain : ValueFault::Overflow;
}

// Spreads a double's bits over a word for the constant pool's table.
std::size_t mix(std::uint64_t bits) noexcept {
    bits ^= bits >> 33;
    bits *= 0xff51afd7ed558ccdULL;
    bits ^= bits >> 33;
    return static_cast<std::size_t>(bits);
}

// One non-leaf instruction at its operand values (b unused when unary).
ValueFault apply(Instruction instruction, double a, double b, double& result) {
    if (instruction.op == Op::Neg) {
        result = -a;
        return ValueFault::None;
    }
    if (instruction.op == Op::Call) return call(instruction.arg, a, result);
    return binary(instruction.op, a, b, result);
}

double ln10() {
    // Computed by libm at run time, as the reference's math.log(10.0) is,
    // rather than folded by the compiler.
    static const double value = [] {
        volatile double ten = 10.0;
        return std::log(ten);
    }();
    return value;
}

// ∂result/∂(operand 0 or 1) of one instruction at its forward values; the
// same formulas as the reference, operand for operand, so the same bits.
double partial(Instruction instruction, int operand, double a, double b, double result) {
    switch (instruction.op) {
    case Op::Neg: return -1.0;
    case Op::Add: return 1.0;
    case Op::Sub: return operand == 0 ? 1.0 : -1.0;
    case Op::Mul: return operand == 0 ? b : a;
    case Op::Div: return operand == 0 ? 1.0 / b : -(result / b);
    case Op::Pow: return operand == 0 ? b * std::pow(a, b - 1.0) : result * std::log(a);
    default: break;
    }
    switch (static_cast<Function>(instruction.arg)) {
    case Function::Sqrt: return 0.5 / result;
    case Function::Exp: return result;
    case Function::Log: return 1.0 / a;
    case Function::Log10: return 1.0 / (a * ln10());
    case Function::Sin: return std::cos(a);
    case Function::Cos: return -std::sin(a);
    case Function::Tan: return 1.0 + result * result;
    case Function::Asin: return 1.0 / std::sqrt(1.0 - a * a);
    case Function::Acos: return -1.0 / std::sqrt(1.0 - a * a);
    case Function::Atan: return 1.0 / (1.0 + a * a);
    case Function::Sinh: return std::cosh(a);
    case Function::Cosh: return std::sinh(a);
    case Function::Tanh: break;
    }
    return 1.0 - result * result;
}

}  // namespace

std::string_view function_name(Function function) noexcept { return kFunctionNames[static_cast<int>(function)]; }

std::string_view fault_text(ValueFault fault) noexcept {
    switch (fault) {
    case ValueFault::DivisionByZero: return "division by zero";
    case ValueFault::Domain: return "math domain error";
    case ValueFault::Overflow: return "overflow";
    case ValueFault::None: break;
    }
    return "";
}

std::optional<std::string> FormulaCompiler::compile(std::string_view owner, std::string_view text,
                                                    const std::vector<std::string_view>* listed,
                                                    ConstantPool& constants, CompiledFormula& out) {
    out.code.clear();
    out.dependencies.clear();
    out.offsets.clear();
    operators_.clear();
    // A name's slot is its first place among the dependencies so far (a name
    // listed twice keeps its first; the check at the end reports it): a
    // linear search over the few a formula uses, a map once there are many.
    constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
    constexpr std::size_t kFewNames = 16;
    std::unordered_map<std::string_view, std::uint32_t> many;
    const auto slot_of = [&](std::string_view name) {
        const auto& names = out.dependencies;
        if (names.size() <= kFewNames) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (names[i] == name) return static_cast<std::uint32_t>(i);
            }
            return kAbsent;
        }
        if (many.empty()) {
            for (std::size_t i = 0; i < names.size(); ++i) many.emplace(names[i], static_cast<std::uint32_t>(i));
        }
        const auto found = many.find(name);
        return found == many.end() ? kAbsent : found->second;
    };
    if (listed != nullptr) {
        out.dependencies = *listed;
        out.offsets.assign(listed->size(), kUnused);
    }
    CharOffsets offset(text);
    const auto where = [&](std::size_t byte) { return std::to_string(offset(byte)); };
    std::size_t depth = 0;
    const auto open = [&](Kind kind, std::uint32_t function) {
        if (depth == kMaxNesting) return false;
        ++depth;
        operators_.push_back({kind, static_cast<std::uint8_t>(function)});
        return true;
    };
    const auto too_deep = [&](std::size_t at) {
        return message({"nesting deeper than ", std::to_string(kMaxNesting), " levels at offset ", where(at)});
    };
    const auto top_precedence = [&] { return operators_.empty() ? 0 : kPrecedence[operators_.back().kind]; };
    const auto reduce = [&] {
        const Kind kind = static_cast<Kind>(operators_.back().kind);
        operators_.pop_back();
        out.code.push_back({kOpOf[kind], 0});
        if (kind == kNeg || kind == kPow) --depth;
    };
    bool pool_full = false;
    const auto push_number = [&](double value) {
        const std::uint32_t index = constants.add(value);
        pool_full |= index > kMaxArgument;
        out.code.push_back({Op::Number, index & static_cast<std::uint32_t>(kMaxArgument)});
    };
    const std::size_t n = text.size();
    const auto skip_digits = [&](std::size_t at) {
        while (at < n && is_digit(text[at])) ++at;
        return at;
    };

    std::size_t at = 0;
    bool want_operand = true;
    while (true) {
        while (at < n && is_space(text[at])) ++at;
        if (at == n) break;
        const char c = text[at];
        if (want_operand && is_digit(c)) {
            const std::size_t start = at;
            at = skip_digits(at);
            if (at < n && text[at] == '.') {
                if (++at == n || !is_digit(text[at]))
                    return message({"expected a digit after the decimal point at offset ", where(at)});
                at = skip_digits(at);
            }
            if (at < n && (text[at] == 'e' || text[at] == 'E')) {
                if (++at < n && (text[at] == '+' || text[at] == '-')) ++at;
                if (at == n || !is_digit(text[at]))
                    return message({"expected a digit in the exponent at offset ", where(at)});
                at = skip_digits(at);
            }
            const std::string_view literal = text.substr(start, at - start);
            const double value = parse_double(literal);
            if (std::isinf(value))
                return message({"number `", literal, "` at offset ", where(start), " is too large for a double"});
            push_number(value);
            want_operand = false;
        } else if (want_operand && is_name_start(c)) {
            const std::size_t start = at;
            while (++at < n && (is_name_start(text[at]) || is_digit(text[at]))) {
            }
            const std::string_view name = text.substr(start, at - start);
            std::size_t after = at;
            while (after < n && is_space(text[after])) ++after;
            if (after < n && text[after] == '(') {
                const auto* found = std::find(kFunctionNames.begin(), kFunctionNames.end(), name);
                if (found == kFunctionNames.end())
                    return message({"unknown function `", name, "` at offset ", where(start)});
                if (!open(kCall, static_cast<std::uint32_t>(found - kFunctionNames.begin()))) return too_deep(start);
                at = after + 1;
                continue;
            }
            want_operand = false;
            const std::uint32_t slot = slot_of(name);
            if (slot != kAbsent) {
                if (out.offsets[slot] == kUnused) out.offsets[slot] = offset(start);
                out.code.push_back({Op::Load, slot});
            } else if (name == "pi") {
                push_number(std::numbers::pi);
            } else if (listed != nullptr) {
                return message({"`", name, "` at offset ", where(start), " is not a dependency of `", owner, "`"});
            } else {
                const auto added = static_cast<std::uint32_t>(out.dependencies.size());
                if (!many.empty()) many.emplace(name, added);
                out.dependencies.push_back(name);
                out.offsets.push_back(offset(start));
                out.code.push_back({Op::Load, added});
            }
        } else if (want_operand && (c == '(' || c == '-')) {
            if (!open(c == '(' ? kParen : kNeg, 0)) return too_deep(at);
            ++at;
        } else if (want_operand) {
            return message({"expected a number, a name or `(` but found `", char_at(text, at), "` at offset ",
                            where(at)});
        } else if (c == ')') {
            while (top_precedence() > 0) reduce();
            if (operators_.empty()) return message({"unexpected `)` at offset ", where(at)});
            const Pending marker = operators_.back();
            operators_.pop_back();
            --depth;
            if (marker.kind == kCall) out.code.push_back({Op::Call, marker.function});
            ++at;
        } else if (c == '+' || c == '-' || c == '*' || c == '/') {
            const bool power = text.substr(at, 2) == "**";
            const Kind kind = power ? kPow : c == '+' ? kAdd : c == '-' ? kSub : c == '*' ? kMul : kDiv;
            const int precedence = kPrecedence[kind];
            // Equal precedence reduces first (left-associative) except for
            // **, which waits for its right side.
            while (top_precedence() > precedence || (top_precedence() == precedence && !power)) reduce();
            if (power) {
                if (!open(kPow, 0)) return too_deep(at);
            } else {
                operators_.push_back({kind, 0});
            }
            at += power ? 2 : 1;
            want_operand = true;
        } else {
            return message({"unexpected `", char_at(text, at), "` at offset ", where(at)});
        }
    }
    if (want_operand) return "expected a number, a name or `(` but found the end";
    while (!operators_.empty()) {
        if (top_precedence() == 0) return "expected `)` but found the end";
        reduce();
    }
    if (listed != nullptr) {
        for (std::size_t slot = 0; slot < listed->size(); ++slot) {
            const std::string_view name = (*listed)[slot];
            if (slot_of(name) != slot) return message({"dependency `", name, "` is listed twice"});
            if (out.offsets[slot] == kUnused) return message({"dependency `", name, "` is not used by the expression"});
        }
    }
    // Limits of the four-byte steps, far beyond any real catalogue.
    if (pool_full) return "the catalogue's formulas hold more than 16777215 distinct numbers";
    if (out.dependencies.size() > kMaxArgument) return "a formula uses more than 16777215 names";
    return std::nullopt;
}

std::uint32_t ConstantPool::add(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if ((values_.size() + 1) * 2 > table_.size()) {
        // Grow at half full: probes stay short.
        std::vector<std::uint32_t> bigger(table_.empty() ? 64 : table_.size() * 2, 0);
        for (std::uint32_t entry : table_) {
            if (entry == 0) continue;
            std::uint64_t known;
            std::memcpy(&known, &values_[entry - 1], sizeof known);
            std::size_t i = mix(known) & (bigger.size() - 1);
            while (bigger[i] != 0) i = (i + 1) & (bigger.size() - 1);
            bigger[i] = entry;
        }
        table_ = std::move(bigger);
    }
    std::size_t i = mix(bits) & (table_.size() - 1);
    for (; table_[i] != 0; i = (i + 1) & (table_.size() - 1)) {
        std::uint64_t known;
        std::memcpy(&known, &values_[table_[i] - 1], sizeof known);
        if (known == bits) return table_[i] - 1;
    }
    // At most kMaxArgument numbers, as the limit is documented and told.
    if (values_.size() >= kMaxArgument) return static_cast<std::uint32_t>(kMaxArgument + 1);
    values_.push_back(value);
    table_[i] = static_cast<std::uint32_t>(values_.size());
    return table_[i] - 1;
}

bool FormulaCompiler::uses_default_dependencies(const CompiledFormula& formula) noexcept {
    const auto& names = formula.dependencies;
    return std::is_sorted(formula.offsets.begin(), formula.offsets.end()) &&
           std::find(names.begin(), names.end(), "pi") == names.end();
}

ValueFault evaluate(std::span<const Instruction> code, std::span<const double> constants,
                    std::span<const double> inputs, EvaluationScratch& scratch, double& out) {
    std::vector<double>& stack = scratch.stack;
    stack.clear();
    for (const Instruction instruction : code) {
        ValueFault fault = ValueFault::None;
        if (instruction.op == Op::Number) {
            stack.push_back(constants[instruction.arg]);
        } else if (instruction.op == Op::Load) {
            stack.push_back(inputs[instruction.arg]);
        } else if (!is_binary(instruction.op)) {
            fault = apply(instruction, stack.back(), 0.0, stack.back());
        } else {
            const double b = stack.back();
            stack.pop_back();
            fault = apply(instruction, stack.back(), b, stack.back());
        }
        if (fault != ValueFault::None) return fault;
    }
    out = stack.front();
    return ValueFault::None;
}

bool backpropagate(std::span<const Instruction> code, std::span<const double> constants,
                   std::span<const double> inputs, std::span<const std::uint8_t> uncertain, double seed,
                   EvaluationScratch& scratch, std::span<double> slots) {
    const std::size_t n = code.size();
    std::vector<double>& values = scratch.values;
    std::vector<std::uint32_t>& starts = scratch.operands;
    std::vector<std::uint8_t>& carries = scratch.carries;
    values.resize(n);
    starts.resize(n);
    carries.resize(n);
    // starts[i] is where the subtree ending at instruction i begins. In
    // postfix order an operator's last operand ends just before it and the
    // one before ends just before that operand's subtree, so no stack is
    // needed to find them, then or in the reverse pass.
    const auto operands_of = [&](std::size_t at, std::size_t& x, std::size_t& y) {
        y = at - 1;
        x = is_binary(code[at].op) ? starts[y] - 1 : y;
    };
    for (std::size_t at = 0; at < n; ++at) {
        const Instruction instruction = code[at];
        starts[at] = static_cast<std::uint32_t>(at);
        if (instruction.op == Op::Number || instruction.op == Op::Load) {
            const bool load = instruction.op == Op::Load;
            values[at] = load ? inputs[instruction.arg] : constants[instruction.arg];
            carries[at] = load && uncertain[instruction.arg];
            continue;
        }
        std::size_t x, y;
        operands_of(at, x, y);
        const bool binary = is_binary(instruction.op);
        starts[at] = starts[x];
        carries[at] = carries[x] || (binary && carries[y]);
        if (apply(instruction, values[x], binary ? values[y] : 0.0, values[at]) != ValueFault::None) return false;
    }

    std::vector<double>& adjoints = scratch.adjoints;
    adjoints.assign(n, 0.0);
    adjoints[n - 1] = seed;
    std::fill(slots.begin(), slots.end(), 0.0);
    for (std::size_t at = n; at-- > 0;) {
        if (!carries[at]) continue;
        const Instruction instruction = code[at];
        if (instruction.op == Op::Load) {
            slots[instruction.arg] += adjoints[at];
            if (!std::isfinite(slots[instruction.arg])) return false;
            continue;
        }
        std::size_t x, y;
        operands_of(at, x, y);
        const bool binary = is_binary(instruction.op);
        const double a = values[x];
        const double b = binary ? values[y] : 0.0;
        for (int operand = 0; operand < (binary ? 2 : 1); ++operand) {
            const std::size_t source = operand == 0 ? x : y;
            if (!carries[source]) continue;
            const double p = partial(instruction, operand, a, b, values[at]);
            if (!std::isfinite(p)) return false;
            // Finite partials can still multiply or add up past the range.
            adjoints[source] += adjoints[at] * p;
            if (!std::isfinite(adjoints[source])) return false;
        }
    }
    return true;
}

}  // namespace veldra
