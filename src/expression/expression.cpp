#include "expression/expression.hpp"
#include "expression/expression_math.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <unordered_map>
#include <utility>

#include "support/c_number.hpp"

namespace veldra {
namespace {

constexpr std::array<std::string_view, 13> kFunctionNames = {
    "sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh",
};

// The other names of functions the language has, and the hint each gets.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kOtherNames = {{
    {"ln", ": write `log` for the natural logarithm"},
    {"arcsin", ": write `asin`"},
    {"arccos", ": write `acos`"},
    {"arctan", ": write `atan`"},
}};

std::string_view function_hint(std::string_view name) noexcept {
    for (const auto& [other, hint] : kOtherNames) {
        if (other == name) return hint;
    }
    return {};
}

constexpr std::array<UnaryFunction, 13> kFunctionCode = {
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


// math.pow's verdicts: for finite operands NaN is a domain error, and so is
// infinity from a zero base (the pole); other infinities overflow. An
// operand that is NaN or infinite already gives its IEEE result unjudged,
// but an infinite result overflows whatever gave it, as for + - * /.
ValueFault binary(Op op, double a, double b, double& result) {
    if (op == Op::Div && b == 0.0) return ValueFault::DivisionByZero;
    result = operate(op, a, b);
    if (op == Op::Pow && std::isfinite(a) && std::isfinite(b)) {
        if (std::isnan(result)) return ValueFault::Domain;
        if (std::isinf(result) && a == 0.0) return ValueFault::Domain;
    }
    return std::isinf(result) ? ValueFault::Overflow : ValueFault::None;
}

// math's verdicts: NaN from an argument that is not NaN is a domain error;
// infinity from a finite one is log's pole (a domain error too) or else an
// overflow. What a NaN or infinite argument gives passes unjudged.
ValueFault call(std::uint32_t function, double x, double& result) {
    result = kFunctionCode[function](x);
    if (std::isnan(result)) return std::isnan(x) ? ValueFault::None : ValueFault::Domain;
    if (!std::isinf(result) || !std::isfinite(x)) return ValueFault::None;
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

}  // namespace

double ln10() {
    // Computed by libm at run time, as the reference's math.log(10.0) is,
    // rather than folded by the compiler.
    static const double value = [] {
        volatile double ten = 10.0;
        return std::log(ten);
    }();
    return value;
}

UnaryFunction function_code(Function function) noexcept { return kFunctionCode[static_cast<int>(function)]; }

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

namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

// Finds a name's slot: its first place among the dependencies so far (a
// name listed twice keeps its first; the check at the end reports it). A
// linear search over the few a formula uses, a map once there are many.
class DependencySlots {
public:
    explicit DependencySlots(const std::vector<std::string_view>& names) : names_(names) {}

    // The slot of `name`, or kAbsent.
    std::uint32_t find(std::string_view name) {
        if (names_.size() <= kFewNames) {
            for (std::size_t i = 0; i < names_.size(); ++i) {
                if (names_[i] == name) return static_cast<std::uint32_t>(i);
            }
            return kAbsent;
        }
        if (many_.empty()) {
            for (std::size_t i = 0; i < names_.size(); ++i) many_.emplace(names_[i], static_cast<std::uint32_t>(i));
        }
        const auto found = many_.find(name);
        return found == many_.end() ? kAbsent : found->second;
    }

    // Tells the map of a name about to take `slot`, once the map is in use.
    void adding(std::string_view name, std::uint32_t slot) {
        if (!many_.empty()) many_.emplace(name, slot);
    }

private:
    static constexpr std::size_t kFewNames = 16;
    const std::vector<std::string_view>& names_;
    std::unordered_map<std::string_view, std::uint32_t> many_;
};

}  // namespace

// One compile() call: an operator-precedence scan of the text, left to
// right, writing postfix code as operators are reduced. Every step returns
// the detail of the problem it meets, or nullopt to go on.
class FormulaCompiler::Run {
public:
    Run(std::string_view owner, std::string_view text, const std::vector<std::string_view>* listed,
        ConstantPool& constants, CompiledFormula& out, std::vector<Pending>& operators)
        : owner_(owner), text_(text), listed_(listed), constants_(constants), out_(out), operators_(operators),
          slots_(out.dependencies), offset_(text) {}

    // Scans the whole text, then checks what only the end can tell.
    std::optional<std::string> compile() {
        while (true) {
            while (at_ < text_.size() && is_space(text_[at_])) ++at_;
            if (at_ == text_.size()) break;
            if (auto problem = read_token()) return problem;
        }
        return finish();
    }

private:
    // The token at at_ (not a space), in the role the scan expects.
    std::optional<std::string> read_token() {
        const char c = text_[at_];
        if (want_operand_) return read_operand(c);
        if (c == ')') return close_parenthesis();
        if (c == '+' || c == '-' || c == '*' || c == '/') return read_operator(c);
        // Python's power and the logarithm's other names are what a physicist writes first.
        const std::string_view hint = c == '^' ? ": write `**` for a power" : "";
        return message({"unexpected `", char_at(text_, at_), "` at offset ", where(at_), hint});
    }

    // A number, a name, a call's opening, "(" or a unary minus.
    std::optional<std::string> read_operand(char c) {
        if (is_digit(c)) return read_number();
        if (is_name_start(c)) return read_name();
        if (c == '(' || c == '-') {
            if (!open(c == '(' ? kParen : kNeg, 0)) return too_deep(at_);
            ++at_;
            return std::nullopt;
        }
        return message({"expected a number, a name or `(` but found `", char_at(text_, at_), "` at offset ",
                        where(at_)});
    }

    // Digits, an optional fraction and an optional exponent, as one Number.
    std::optional<std::string> read_number() {
        const std::size_t start = at_;
        const std::size_t n = text_.size();
        at_ = skip_digits(at_);
        if (at_ < n && text_[at_] == '.') {
            if (++at_ == n || !is_digit(text_[at_]))
                return message({"expected a digit after the decimal point at offset ", where(at_)});
            at_ = skip_digits(at_);
        }
        if (at_ < n && (text_[at_] == 'e' || text_[at_] == 'E')) {
            if (++at_ < n && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (at_ == n || !is_digit(text_[at_]))
                return message({"expected a digit in the exponent at offset ", where(at_)});
            at_ = skip_digits(at_);
        }
        const std::string_view literal = text_.substr(start, at_ - start);
        const double value = parse_double(literal);
        if (std::isinf(value))
            return message({"number `", literal, "` at offset ", where(start), " is too large for a double"});
        push_number(value);
        want_operand_ = false;
        return std::nullopt;
    }

    // A name: a call when "(" follows (spaces between allowed), else a load.
    std::optional<std::string> read_name() {
        const std::size_t start = at_;
        const std::size_t n = text_.size();
        while (++at_ < n && (is_name_start(text_[at_]) || is_digit(text_[at_]))) {
        }
        const std::string_view name = text_.substr(start, at_ - start);
        std::size_t after = at_;
        while (after < n && is_space(text_[after])) ++after;
        if (after < n && text_[after] == '(') return open_call(name, start, after);
        want_operand_ = false;
        return load(name, start);
    }

    // Opens the call of function `name` (at byte `start`) whose "(" is at `parenthesis`.
    std::optional<std::string> open_call(std::string_view name, std::size_t start, std::size_t parenthesis) {
        const auto* found = std::find(kFunctionNames.begin(), kFunctionNames.end(), name);
        if (found == kFunctionNames.end()) {
            return message({"unknown function `", name, "` at offset ", where(start), function_hint(name)});
        }
        if (!open(kCall, static_cast<std::uint32_t>(found - kFunctionNames.begin()))) return too_deep(start);
        at_ = parenthesis + 1;
        return std::nullopt;
    }

    // Loads a dependency's slot; "pi" is π unless it is a dependency. With a
    // list, a name not on it is a problem; without, a new name takes the
    // next slot.
    std::optional<std::string> load(std::string_view name, std::size_t start) {
        const std::uint32_t slot = slots_.find(name);
        if (slot != kAbsent) {
            if (out_.offsets[slot] == kUnused) out_.offsets[slot] = offset_(start);
            out_.code.push_back({Op::Load, slot});
        } else if (name == "pi") {
            push_number(std::numbers::pi);
        } else if (listed_ != nullptr) {
            return message({"`", name, "` at offset ", where(start), " is not a dependency of `", owner_, "`"});
        } else {
            const auto added = static_cast<std::uint32_t>(out_.dependencies.size());
            slots_.adding(name, added);
            out_.dependencies.push_back(name);
            out_.offsets.push_back(offset_(start));
            out_.code.push_back({Op::Load, added});
        }
        return std::nullopt;
    }

    // ")": reduces to the innermost "(" or call, which a call then emits.
    std::optional<std::string> close_parenthesis() {
        while (top_precedence() > 0) reduce();
        if (operators_.empty()) return message({"unexpected `)` at offset ", where(at_)});
        const Pending marker = operators_.back();
        operators_.pop_back();
        --depth_;
        if (marker.kind == kCall) out_.code.push_back({Op::Call, marker.function});
        ++at_;
        return std::nullopt;
    }

    // A binary operator (c, or "**" when two stars): reduces what binds
    // tighter, then waits for its right operand.
    std::optional<std::string> read_operator(char c) {
        const bool power = text_.substr(at_, 2) == "**";
        const Kind kind = power ? kPow : c == '+' ? kAdd : c == '-' ? kSub : c == '*' ? kMul : kDiv;
        const int precedence = kPrecedence[kind];
        // Equal precedence reduces first (left-associative) except for
        // **, which waits for its right side.
        while (top_precedence() > precedence || (top_precedence() == precedence && !power)) reduce();
        if (power) {
            if (!open(kPow, 0)) return too_deep(at_);
        } else {
            operators_.push_back({kind, 0});
        }
        at_ += power ? 2 : 1;
        want_operand_ = true;
        return std::nullopt;
    }

    // At the end of the text: reduces what waits, then checks the list and
    // the limits of the four-byte steps (far beyond any real catalogue).
    std::optional<std::string> finish() {
        if (want_operand_) return "expected a number, a name or `(` but found the end";
        while (!operators_.empty()) {
            if (top_precedence() == 0) return "expected `)` but found the end";
            reduce();
        }
        if (auto problem = check_listed()) return problem;
        if (pool_full_) return "the catalogue's formulas hold more than 16777215 distinct numbers";
        if (out_.dependencies.size() > kMaxArgument) return "a formula uses more than 16777215 names";
        return std::nullopt;
    }

    // Every listed dependency is listed once and used.
    std::optional<std::string> check_listed() {
        if (listed_ == nullptr) return std::nullopt;
        for (std::size_t slot = 0; slot < listed_->size(); ++slot) {
            const std::string_view name = (*listed_)[slot];
            if (slots_.find(name) != slot) return message({"dependency `", name, "` is listed twice"});
            if (out_.offsets[slot] == kUnused) return message({"dependency `", name, "` is not used by the expression"});
        }
        return std::nullopt;
    }

    // Pushes a marker that opens a nesting level; false past kMaxNesting.
    bool open(Kind kind, std::uint32_t function) {
        if (depth_ == kMaxNesting) return false;
        ++depth_;
        operators_.push_back({kind, static_cast<std::uint8_t>(function)});
        return true;
    }

    std::string too_deep(std::size_t at) {
        return message({"nesting deeper than ", std::to_string(kMaxNesting), " levels at offset ", where(at)});
    }

    int top_precedence() const { return operators_.empty() ? 0 : kPrecedence[operators_.back().kind]; }

    // Emits the operator on top of the stack (never a marker).
    void reduce() {
        const Kind kind = static_cast<Kind>(operators_.back().kind);
        operators_.pop_back();
        out_.code.push_back({kOpOf[kind], 0});
        if (kind == kNeg || kind == kPow) --depth_;
    }

    // A full pool is noted, not refused at once: the scan reports a
    // problem of the text first.
    void push_number(double value) {
        const std::uint32_t index = constants_.add(value);
        pool_full_ |= index > kMaxArgument;
        out_.code.push_back({Op::Number, index & static_cast<std::uint32_t>(kMaxArgument)});
    }

    std::size_t skip_digits(std::size_t at) const {
        while (at < text_.size() && is_digit(text_[at])) ++at;
        return at;
    }

    // The character offset of `byte`, as text; asked in rising order.
    std::string where(std::size_t byte) { return std::to_string(offset_(byte)); }

    std::string_view owner_;
    std::string_view text_;
    const std::vector<std::string_view>* listed_;
    ConstantPool& constants_;
    CompiledFormula& out_;
    std::vector<Pending>& operators_;
    DependencySlots slots_;
    CharOffsets offset_;
    std::size_t at_ = 0;
    std::size_t depth_ = 0;
    bool want_operand_ = true;
    bool pool_full_ = false;
};

std::optional<std::string> FormulaCompiler::compile(std::string_view owner, std::string_view text,
                                                    const std::vector<std::string_view>* listed,
                                                    ConstantPool& constants, CompiledFormula& out) {
    out.code.clear();
    out.dependencies.clear();
    out.offsets.clear();
    operators_.clear();
    if (listed != nullptr) {
        out.dependencies = *listed;
        out.offsets.assign(listed->size(), kUnused);
    }
    return Run(owner, text, listed, constants, out, operators_).compile();
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

bool is_formula_name(std::string_view text) noexcept {
    if (text.empty() || text == "pi" || !is_name_start(text[0])) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return is_name_start(c) || is_digit(c); });
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

namespace {

// starts[i] is where the subtree ending at instruction i begins. In postfix
// order an operator's last operand ends just before it and the one before
// ends just before that operand's subtree, so no stack is needed to find
// them, then or in the reverse pass. Sets x and y to the instructions that
// end the operands of the operator at `at` (both the one operand when unary).
void operands_of(std::span<const Instruction> code, const std::vector<std::uint32_t>& starts, std::size_t at,
                 std::size_t& x, std::size_t& y) {
    y = at - 1;
    x = is_binary(code[at].op) ? starts[y] - 1 : y;
}

// The forward pass: every instruction's value, where its subtree starts,
// and whether it depends on an uncertain input. False on a fault.
bool forward_pass(std::span<const Instruction> code, std::span<const double> constants,
                  std::span<const double> inputs, std::span<const std::uint8_t> uncertain,
                  EvaluationScratch& scratch) {
    const std::size_t n = code.size();
    std::vector<double>& values = scratch.values;
    std::vector<std::uint32_t>& starts = scratch.operands;
    std::vector<std::uint8_t>& carries = scratch.carries;
    values.resize(n);
    starts.resize(n);
    carries.resize(n);
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
        operands_of(code, starts, at, x, y);
        const bool binary = is_binary(instruction.op);
        starts[at] = starts[x];
        carries[at] = carries[x] || (binary && carries[y]);
        if (apply(instruction, values[x], binary ? values[y] : 0.0, values[at]) != ValueFault::None) return false;
    }
    return true;
}

// The reverse pass over what forward_pass left in `scratch`: adjoints from
// the last instruction back, summed into the input slots. False when a
// partial or an adjoint is not finite.
bool reverse_pass(std::span<const Instruction> code, double seed, EvaluationScratch& scratch,
                  std::span<double> slots) {
    const std::size_t n = code.size();
    const std::vector<double>& values = scratch.values;
    const std::vector<std::uint8_t>& carries = scratch.carries;
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
        operands_of(code, scratch.operands, at, x, y);
        const bool binary = is_binary(instruction.op);
        const double a = values[x];
        const double b = binary ? values[y] : 0.0;
        for (int operand = 0; operand < (binary ? 2 : 1); ++operand) {
            const std::size_t source = operand == 0 ? x : y;
            if (!carries[source]) continue;
            const double p = partial(instruction.op, static_cast<Function>(instruction.arg), operand, a, b, values[at]);
            if (!std::isfinite(p)) return false;
            // Finite partials can still multiply or add up past the range.
            adjoints[source] += adjoints[at] * p;
            if (!std::isfinite(adjoints[source])) return false;
        }
    }
    return true;
}

}  // namespace

bool backpropagate(std::span<const Instruction> code, std::span<const double> constants,
                   std::span<const double> inputs, std::span<const std::uint8_t> uncertain, double seed,
                   EvaluationScratch& scratch, std::span<double> slots) {
    return forward_pass(code, constants, inputs, uncertain, scratch) && reverse_pass(code, seed, scratch, slots);
}

}  // namespace veldra
