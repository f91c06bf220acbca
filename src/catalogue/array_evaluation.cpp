#include "catalogue/array_evaluation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "expression/expression_math.hpp"
#include "support/parallel.hpp"

// Arithmetic loops come in two versions, AVX2 (twice the lanes) and the
// baseline, picked when the library loads; the same bits either way (no
// contraction, correctly rounded operations). The pick runs before a
// sanitizer's runtime is ready, so sanitized builds keep the baseline alone.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELDRA_WIDE_LOOPS
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VELDRA_WIDE_LOOPS
#endif
#endif
#ifndef VELDRA_WIDE_LOOPS
#define VELDRA_WIDE_LOOPS __attribute__((target_clones("avx2", "default")))
#endif

namespace veldra {

namespace {

using Operand = ArrayEvaluation::Operand;


// Working set per thread: every register's block, kept within the
// processor's second-level cache.
constexpr std::size_t kBlockBytes = 256 * 1024;
// Fewer elements than this per thread do not repay starting one.
constexpr std::size_t kElementsPerThread = 32 * 1024;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Registers a thread keeps between calls, at most (a megabyte).
constexpr std::size_t kKeptDoubles = std::size_t{1} << 17;

Operand number(double value) { return Operand{false, 0, value}; }

}  // namespace

// Builds the program, step by step as the scalar derivation would compute,
// folding what involves no replaced seed.
class ArrayEvaluation::Compiler {
public:
    Compiler(ArrayEvaluation& plan, const CatalogueStore& store) : plan_(plan), store_(store) {}

    Operand input() { return Operand{true, plan_.registers_++, 0.0}; }

    // The register holding `operand` throughout a block.
    std::uint32_t reg(Operand operand) {
        if (operand.vector) return operand.reg;
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(operand.number);
        auto [it, added] = splats_.emplace(bits, plan_.registers_);
        if (added) plan_.splats_.push_back({plan_.registers_++, operand.number});
        return it->second;
    }

    Operand emit(Step step) {
        step.out = plan_.registers_++;
        plan_.steps_.push_back(step);
        return Operand{true, step.out, 0.0};
    }

    // A folded number that is not finite is a fault the scalar steps must judge.
    Operand folded(double value, bool check) {
        if (check && !std::isfinite(value)) plan_.always_scalar_ = true;
        return number(value);
    }

    Operand operate(Op op, Operand a, Operand b, bool check) {
        if (!a.vector && !b.vector) return folded(veldra::operate(op, a.number, b.number), check);
        if (op == Op::Pow && !b.vector && b.number == 2.0) {
            return emit(Step{Step::Kind::Square, op, Function::Sqrt, 0, check, 0, reg(a), reg(a), 0});
        }
        return emit(Step{Step::Kind::Operate, op, Function::Sqrt, 0, check, 0, reg(a), reg(b), 0});
    }

    Operand call(Function function, Operand x) {
        if (!x.vector) return folded(function_code(function)(x.number), true);
        return emit(Step{Step::Kind::Call, Op::Call, function, 0, true, 0, reg(x), reg(x), 0});
    }

    // a · b, where the scalar's product by exactly ±1 is the operand itself.
    Operand product(Operand a, Operand b) {
        if (!a.vector && a.number == 1.0) return b;
        if (!b.vector && b.number == 1.0) return a;
        if (!b.vector && b.number == -1.0) return operate(Op::Neg, a, a, false);
        return operate(Op::Mul, a, b, false);
    }

    // total += part, where a total not yet started is the part.
    void accumulate(std::optional<Operand>& total, Operand part) {
        total = total ? operate(Op::Add, *total, part, false) : part;
    }

    Operand partial(const Instruction instruction, int operand, Operand a, Operand b, Operand result) {
        const auto function = static_cast<Function>(instruction.arg);
        if (!a.vector && !b.vector && !result.vector) {
            return number(veldra::partial(instruction.op, function, operand, a.number, b.number, result.number));
        }
        // Partials that are an operand or a constant need no step.
        switch (instruction.op) {
        case Op::Neg: return number(-1.0);
        case Op::Add: return number(1.0);
        case Op::Sub: return number(operand == 0 ? 1.0 : -1.0);
        case Op::Mul: return operand == 0 ? b : a;
        default: break;
        }
        if (instruction.op == Op::Call && function == Function::Exp) return result;
        // A square's: 2 · pow(a, 1), where libm's pow gives an exact result
        // exactly (a test holds it to that), so 2 · a, without the call.
        if (instruction.op == Op::Pow && operand == 0 && !b.vector && b.number == 2.0) {
            return operate(Op::Mul, number(2.0), a, false);
        }
        return emit(Step{Step::Kind::Partial, instruction.op, function, static_cast<std::uint8_t>(operand), false, 0,
                         reg(a), reg(b), reg(result)});
    }

    // One formula's instructions forward: the value of each, kept for the
    // reverse pass, with the instructions its operands end at.
    struct Compiled {
        std::vector<Operand> values;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> operands;
    };

    const Compiled& forward(std::uint32_t row, const std::unordered_map<std::uint32_t, Operand>& known) {
        const CatalogueStore& owner = store_.owner(row);
        const CatalogueFormula& formula = owner.formulas_[owner.rows_[row - owner.first_own_].formula];
        const std::span<const Instruction> code{owner.code_.data() + formula.code_begin, formula.code_size};
        const std::span<const double> constants = owner.constants_.values();
        const auto deps = store_.dependencies(row);
        Compiled& out = compiled_[row];
        std::vector<std::uint32_t> stack;
        for (std::uint32_t at = 0; at < code.size(); ++at) {
            const Instruction instruction = code[at];
            Operand value;
            std::pair<std::uint32_t, std::uint32_t> operands{at, at};
            if (instruction.op == Op::Number) {
                value = number(constants[instruction.arg]);
            } else if (instruction.op == Op::Load) {
                value = known.at(deps[instruction.arg]);
            } else if (!is_binary(instruction.op)) {
                operands = {stack.back(), stack.back()};
                stack.pop_back();
                const Operand x = out.values[operands.first];
                value = instruction.op == Op::Neg ? operate(Op::Neg, x, x, false)
                                                  : call(static_cast<Function>(instruction.arg), x);
            } else {
                operands.second = stack.back();
                stack.pop_back();
                operands.first = stack.back();
                stack.pop_back();
                value = operate(instruction.op, out.values[operands.first], out.values[operands.second], true);
            }
            out.values.push_back(value);
            out.operands.push_back(operands);
            stack.push_back(at);
        }
        return out;
    }

    const Compiled& compiled(std::uint32_t row) const { return compiled_.at(row); }

private:
    ArrayEvaluation& plan_;
    const CatalogueStore& store_;
    std::unordered_map<std::uint64_t, std::uint32_t> splats_;
    std::unordered_map<std::uint32_t, Compiled> compiled_;
};

ArrayEvaluation::Ancestry ArrayEvaluation::ancestry(const CatalogueStore& store, std::uint32_t row) {
    Ancestry found;
    std::unordered_set<std::uint32_t> seen{row};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> work{{row, 0}};
    while (!work.empty()) {
        auto& [node, next] = work.back();
        const auto deps = store.dependencies(node);
        if (next < deps.size()) {
            const std::uint32_t dependency = deps[next++];
            if (seen.insert(dependency).second) work.push_back({dependency, 0});
            continue;
        }
        (store.row(node).is_formula() ? found.formulas : found.seeds).push_back(node);
        work.pop_back();
    }
    std::sort(found.seeds.begin(), found.seeds.end());
    return found;
}

ArrayEvaluation::ArrayEvaluation(const CatalogueStore& store, std::uint32_t row, const Ancestry& ancestry,
                                 std::vector<std::uint32_t> replaced, std::vector<bool> given)
    : store_(store), row_(row), formulas_(ancestry.formulas), replaced_(std::move(replaced)) {
    store.prepare_values();
    Compiler compiler(*this, store);
    std::unordered_map<std::uint32_t, Operand> known;  // every row of the ancestry: its value
    std::unordered_map<std::uint32_t, Operand> sigma_of;
    std::unordered_map<std::uint32_t, std::uint8_t> flags;
    for (std::size_t k = 0; k < replaced_.size(); ++k) {
        const Operand value = compiler.input();
        value_regs_.push_back(value.reg);
        known.emplace(replaced_[k], value);
        sigma_slot_.push_back(given[k] ? static_cast<std::int32_t>(sigma_regs_.size()) : -1);
        if (given[k]) {
            const Operand sigma = compiler.input();
            sigma_regs_.push_back(sigma.reg);
            sigma_of.emplace(replaced_[k], sigma);
        }
        flags.emplace(replaced_[k], given[k] ? kInformed | kUncertain : 0);
    }
    for (std::uint32_t seed : ancestry.seeds) {
        const CatalogueRow& entry = store.row(seed);
        if (known.emplace(seed, number(entry.value)).second && entry.has_uncertainty()) {
            flags.emplace(seed, kInformed | (entry.uncertainty != 0.0 ? kUncertain : 0));
            sigma_of.emplace(seed, number(entry.uncertainty));
        }
    }
    for (std::uint32_t formula : formulas_) {
        known.emplace(formula, compiler.forward(formula, known).values.back());
        std::uint8_t reached = 0;
        for (std::uint32_t dependency : store.dependencies(formula)) {
            if (auto it = flags.find(dependency); it != flags.end()) reached |= it->second;
        }
        flags[formula] = reached;
    }
    drop_guarded_checks();
    value_result_ = known.at(row);
    const std::uint8_t own = flags.count(row) ? flags.at(row) : 0;
    informed_ = (own & kInformed) != 0;

    if (!store.row(row).is_formula()) {
        if (informed_) sigma_result_ = sigma_of.at(row);
        exact_ = informed_ && !(own & kUncertain);
    } else if (informed_ && !(own & kUncertain)) {
        sigma_result_ = number(0.0);
        exact_ = true;
    } else if (informed_) {
        // The scalar reverse pass, replayed: the same order of formulas,
        // the same products and sums.
        const auto flags_of = [&](std::uint32_t at) -> std::uint8_t {
            const auto it = flags.find(at);
            return it == flags.end() ? 0 : it->second;
        };
        std::unordered_map<std::uint32_t, double> visited;
        const std::vector<std::uint32_t> finished = store.uncertain_ancestry(row, visited, flags_of);
        std::unordered_map<std::uint32_t, std::optional<Operand>> adjoint{{row, number(1.0)}};
        std::vector<std::pair<std::uint32_t, Operand>> terms;
        for (auto it = finished.rbegin(); it != finished.rend(); ++it) {
            const Operand share = *adjoint[*it];
            if (!store.row(*it).is_formula()) {
                terms.push_back({*it, compiler.product(share, sigma_of.at(*it))});
                continue;
            }
            const Compiler::Compiled& node = compiler.compiled(*it);
            const CatalogueStore& owner = store.owner(*it);
            const CatalogueFormula& formula = owner.formulas_[owner.rows_[*it - owner.first_own_].formula];
            const Instruction* code = owner.code_.data() + formula.code_begin;
            const auto deps = store.dependencies(*it);
            const std::size_t n = formula.code_size;
            std::vector<std::uint8_t> carries(n);
            for (std::size_t at = 0; at < n; ++at) {
                const auto [x, y] = node.operands[at];
                carries[at] = code[at].op == Op::Load ? (flags_of(deps[code[at].arg]) & kUncertain) != 0
                              : code[at].op == Op::Number ? 0
                                                          : carries[x] || carries[y];
            }
            std::vector<std::optional<Operand>> adjoints(n), slots(deps.size());
            adjoints[n - 1] = share;
            for (std::size_t at = n; at-- > 0;) {
                if (!carries[at]) continue;
                const Instruction instruction = code[at];
                if (instruction.op == Op::Load) {
                    compiler.accumulate(slots[instruction.arg], *adjoints[at]);
                    continue;
                }
                const auto [x, y] = node.operands[at];
                const bool binary = is_binary(instruction.op);
                for (int operand = 0; operand < (binary ? 2 : 1); ++operand) {
                    const std::uint32_t source = operand == 0 ? x : y;
                    if (!carries[source]) continue;
                    // A unary instruction's second operand is its first, never read.
                    const Operand p = compiler.partial(instruction, operand, node.values[x],
                                                       node.values[binary ? y : x], node.values[at]);
                    compiler.accumulate(adjoints[source], compiler.product(*adjoints[at], p));
                }
            }
            for (std::size_t slot = 0; slot < deps.size(); ++slot) {
                if (flags_of(deps[slot]) & kUncertain) compiler.accumulate(adjoint[deps[slot]], *slots[slot]);
            }
        }
        // The covariance sums, in the order the scalar's covariance() takes them.
        std::unordered_map<std::uint32_t, Operand> term_of(terms.begin(), terms.end());
        std::optional<Operand> own_part, correlated;
        const auto is_replaced = [&](std::uint32_t seed) {
            return std::find(replaced_.begin(), replaced_.end(), seed) != replaced_.end();
        };
        for (const auto& [seed, t] : terms) {
            compiler.accumulate(own_part, compiler.operate(Op::Mul, t, t, false));
            if (is_replaced(seed)) continue;
            for (const CatalogueStore::Partner& partner : store.partners(seed)) {
                const auto other = term_of.find(partner.seed);
                if (other == term_of.end() || is_replaced(partner.seed)) continue;
                const Operand rt = compiler.operate(Op::Mul, number(partner.r), t, false);
                compiler.accumulate(correlated, compiler.operate(Op::Mul, rt, other->second, false));
            }
        }
        if (!own_part) own_part = number(0.0);  // an uncertain seed reached always gives a term
        const Operand total = correlated ? compiler.operate(Op::Add, *own_part, *correlated, false) : *own_part;
        if (!total.vector) {
            const auto sigma = store.deviation(row, {total.number, 0.0});
            if (sigma) {
                sigma_result_ = number(*sigma);
            } else {
                always_scalar_ = true;
            }
        } else {
            sigma_result_ = compiler.emit(Step{Step::Kind::Root, Op::Add, Function::Sqrt, 0, true, 0, total.reg, total.reg, 0});
        }
    }
    share_registers();
    block_ = std::clamp<std::size_t>(kBlockBytes / sizeof(double) / std::max<std::uint32_t>(registers_, 1), 16, 16384);
    block_ &= ~std::size_t{15};
}

// A step need not check its result when a step after it that is checked
// surely turns a result that is not finite into another: + - * and a
// square always do, a quotient through its dividend. Only the forward
// steps judge faults, and they all come before the reverse pass's.
void ArrayEvaluation::drop_guarded_checks() {
    std::vector<std::uint8_t> reaches(registers_, 0);  // a result that is not finite reaches a check
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        const bool passes_on = step->kind == Step::Kind::Square ||
                               (step->kind == Step::Kind::Operate && step->op != Op::Pow);
        const bool guarded = reaches[step->out] != 0;
        if (guarded) step->check = false;
        if (!step->check && !guarded) continue;
        // A result that is not finite here is caught here or later: so too its operands'.
        if (passes_on) {
            reaches[step->a] = 1;
            if (step->op != Op::Div) reaches[step->b] = 1;
        }
    }
}

// Gives a register whose value is read no more to a later step: the blocks
// of the registers live at once are what must stay in cache. The inputs,
// the numbers held throughout and the results keep theirs; a step never
// writes over one of its own operands (the loops vectorise without overlap).
void ArrayEvaluation::share_registers() {
    constexpr std::size_t kKept = SIZE_MAX;
    std::vector<std::size_t> last(registers_, 0);
    const auto reads = [](const Step& step) {
        return std::array<std::uint32_t, 3>{step.a, step.b, step.kind == Step::Kind::Partial ? step.result : step.a};
    };
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        for (std::uint32_t r : reads(steps_[i])) last[r] = i;
    }
    std::vector<std::uint32_t> physical(registers_, UINT32_MAX);
    std::uint32_t next = 0;
    const auto keep = [&](std::uint32_t r) {
        last[r] = kKept;
        if (physical[r] == UINT32_MAX) physical[r] = next++;
    };
    for (std::uint32_t r : value_regs_) keep(r);
    for (std::uint32_t r : sigma_regs_) keep(r);
    for (const auto& [r, value] : splats_) keep(r);
    for (const Operand* result : {&value_result_, &sigma_result_}) {
        if (result->vector) last[result->reg] = kKept;
    }
    std::vector<std::uint32_t> free;
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        Step& step = steps_[i];
        if (free.empty()) {
            physical[step.out] = next++;
        } else {
            physical[step.out] = free.back();
            free.pop_back();
        }
        // An operand read here for the last time frees its register for the steps after.
        std::array<std::uint32_t, 3> operands = reads(step);
        std::sort(operands.begin(), operands.end());
        for (std::size_t k = 0; k < operands.size(); ++k) {
            if ((k == 0 || operands[k] != operands[k - 1]) && last[operands[k]] == i) free.push_back(physical[operands[k]]);
        }
        step.a = physical[step.a];
        step.b = physical[step.b];
        step.result = physical[step.result];
        step.out = physical[step.out];
    }
    for (std::uint32_t& r : value_regs_) r = physical[r];
    for (std::uint32_t& r : sigma_regs_) r = physical[r];
    for (auto& [r, value] : splats_) r = physical[r];
    for (Operand* result : {&value_result_, &sigma_result_}) {
        if (result->vector) result->reg = physical[result->reg];
    }
    registers_ = next;
}

namespace {

// out[i] = f(a[i], b[i]) over a block; with `check`, an element whose
// result is not finite is marked there (x · 0 is NaN then, and stays so).
template <class F>
void each(std::size_t n, double* out, const double* a, const double* b, double* check, F f) {
    if (check == nullptr) {
        for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i], b[i]);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double r = f(a[i], b[i]);
        out[i] = r;
        check[i] += r * 0.0;
    }
}

template <Op O>
void operate_loop(std::size_t n, double* out, const double* a, const double* b, double* check) {
    each(n, out, a, b, check, [](double x, double y) { return operate(O, x, y); });
}

template <Op O, int Operand>
void partial_loop(std::size_t n, double* out, const double* a, const double* b, const double* r, Function function) {
    for (std::size_t i = 0; i < n; ++i) out[i] = partial(O, function, Operand, a[i], b[i], r[i]);
}

template <Function F>
void call_partial_loop(std::size_t n, double* out, const double* a, const double* r) {
    for (std::size_t i = 0; i < n; ++i) out[i] = partial(Op::Call, F, 0, a[i], 0.0, r[i]);
}

using CallPartial = void (*)(std::size_t, double*, const double*, const double*);
template <std::size_t... F>
constexpr std::array<CallPartial, sizeof...(F)> call_partials(std::index_sequence<F...>) {
    return {&call_partial_loop<static_cast<Function>(F)>...};
}
constexpr auto kCallPartials = call_partials(std::make_index_sequence<13>());

// Reads `count` elements from element `start` (C order over `shape`) of
// `array` into `out`, or returns where they already lie side by side.
const double* gather(const StridedArray& array, std::span<const std::size_t> shape, std::size_t start,
                     std::size_t count, double* out) {
    const std::size_t dims = shape.size();
    if (dims == 0) {
        std::memcpy(out, array.data, sizeof(double));
        return out;
    }
    std::array<std::size_t, kMaxAxes> index;
    std::size_t rest = start;
    for (std::size_t d = dims; d-- > 0;) {
        index[d] = rest % shape[d];
        rest /= shape[d];
    }
    const std::ptrdiff_t inner = array.strides[dims - 1];
    std::size_t done = 0;
    while (done < count) {
        std::ptrdiff_t offset = 0;
        for (std::size_t d = 0; d < dims; ++d) offset += static_cast<std::ptrdiff_t>(index[d]) * array.strides[d];
        const std::size_t run = std::min(shape[dims - 1] - index[dims - 1], count - done);
        const unsigned char* from = array.data + offset;
        if (inner == sizeof(double)) {
            if (run == count && reinterpret_cast<std::uintptr_t>(from) % alignof(double) == 0) {
                return reinterpret_cast<const double*>(from);
            }
            std::memcpy(out + done, from, run * sizeof(double));
        } else if (inner == 0) {
            double value;
            std::memcpy(&value, from, sizeof(double));
            std::fill(out + done, out + done + run, value);
        } else {
            for (std::size_t j = 0; j < run; ++j) std::memcpy(out + done + j, from + static_cast<std::ptrdiff_t>(j) * inner, sizeof(double));
        }
        done += run;
        index[dims - 1] += run;
        for (std::size_t d = dims - 1; d > 0 && index[d] == shape[d]; --d) {
            index[d] = 0;
            ++index[d - 1];
        }
    }
    return out;
}

}  // namespace

// One thread's share: its registers, and the first problem it met.
class ArrayEvaluation::Runner {
public:
    // `block`: elements per block, at most the plan's.
    Runner(const ArrayEvaluation& plan, const ArrayData& data, std::size_t block)
        : plan_(plan), data_(data), block_(block), regs_(plan.registers_) {
        // Every register is written before it is read: no need to clear them,
        // and a thread keeps its memory for the next call.
        // (Not a huge program's, which would stay with the thread.)
        thread_local std::vector<double> kept;
        const std::size_t needed = (plan.registers_ + 1) * block;
        std::vector<double>& scratch = needed <= kKeptDoubles ? kept : own_;
        if (scratch.size() < needed) scratch.resize(needed);
        storage_ = scratch.data();
        check_ = storage_ + plan.registers_ * block;
        for (std::uint32_t r = 0; r < plan.registers_; ++r) regs_[r] = storage_ + r * block_;
        for (const Step& step : plan.steps_) {
            if (plan.value_result_.vector && step.out == plan.value_result_.reg) value_step_reg_ = step.out;
            if (plan.informed_ && plan.sigma_result_.vector && step.out == plan.sigma_result_.reg) {
                sigma_step_reg_ = step.out;
            }
        }
        for (const auto& [reg, value] : plan.splats_) std::fill_n(out(reg), block_, value);
    }

    void run(std::size_t begin, std::size_t end) {
        for (std::size_t start = begin; start < end && !stopped_; start += block_) {
            block(start, std::min(block_, end - start));
        }
    }

    std::optional<ArrayProblem> problem;
    // An exact result's elements whose uncertainty is not 0.0 after all (NaN where they fail).
    std::vector<std::pair<std::size_t, double>> exceptions;

private:
    double* out(std::uint32_t reg) { return storage_ + reg * block_; }

    // Where a step writes: the outputs themselves for the steps that make the
    // results, which are then read from there (no copy, one pass fewer).
    double* destination(std::uint32_t reg) {
        if (reg == value_step_reg_) return data_.value_out + start_;
        if (reg == sigma_step_reg_) return data_.uncertainty_out + start_;
        return out(reg);
    }

    VELDRA_WIDE_LOOPS void block(std::size_t start, std::size_t n) {
        start_ = start;
        const std::span<const std::size_t> shape = data_.shape;
        for (std::size_t k = 0; k < plan_.value_regs_.size(); ++k) {
            const std::uint32_t reg = plan_.value_regs_[k];
            regs_[reg] = gather(data_.values[k], shape, start, n, out(reg));
        }
        double* check = check_;
        std::fill_n(check, n, plan_.always_scalar_ ? std::numeric_limits<double>::quiet_NaN() : 0.0);
        for (std::size_t k = 0; k < plan_.sigma_regs_.size(); ++k) {
            const std::uint32_t reg = plan_.sigma_regs_[k];
            const double* sigma = regs_[reg] = gather(data_.uncertainties[k], shape, start, n, out(reg));
            // Zero makes the seed exact, which changes what the scalar pass visits.
            for (std::size_t i = 0; i < n; ++i) check[i] = sigma[i] > 0.0 ? check[i] : kNaN;
        }
        if (!plan_.always_scalar_) {
            for (const Step& step : plan_.steps_) execute(step, n);
        }
        if (value_step_reg_ == kNoStep) write(plan_.value_result_, data_.value_out + start, n);
        // Exact: the uncertainties are written only if some element's is not 0.0.
        if (plan_.informed_ && !plan_.exact_ && sigma_step_reg_ == kNoStep) {
            write(plan_.sigma_result_, data_.uncertainty_out + start, n);
        }
        if (!any_marked(check, n)) return;
        for (std::size_t i = 0; i < n && !stopped_; ++i) {
            if (std::isnan(check[i])) scalar(start, i);
        }
    }

    // Whether a mark is NaN: the marks are ±0 otherwise, so an OR of their
    // bits shows a NaN's exponent, in a loop that vectorises.
    static bool any_marked(const double* check, std::size_t n) {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < n; ++i) bits |= std::bit_cast<std::uint64_t>(check[i]);
        constexpr std::uint64_t kExponent = 0x7FF0000000000000;
        return (bits & kExponent) == kExponent;
    }

    void write(Operand result, double* to, std::size_t n) {
        if (result.vector) {
            std::copy_n(regs_[result.reg], n, to);
        } else {
            std::fill_n(to, n, result.number);
        }
    }

    VELDRA_WIDE_LOOPS void execute(const Step& step, std::size_t n) {
        double* o = destination(step.out);
        const double* a = regs_[step.a];
        const double* b = regs_[step.b];
        double* check = step.check ? check_ : nullptr;
        switch (step.kind) {
        case Step::Kind::Operate:
            switch (step.op) {
            case Op::Neg: operate_loop<Op::Neg>(n, o, a, b, check); break;
            case Op::Add: operate_loop<Op::Add>(n, o, a, b, check); break;
            case Op::Sub: operate_loop<Op::Sub>(n, o, a, b, check); break;
            case Op::Mul: operate_loop<Op::Mul>(n, o, a, b, check); break;
            case Op::Div: operate_loop<Op::Div>(n, o, a, b, check); break;
            default: operate_loop<Op::Pow>(n, o, a, b, check); break;
            }
            break;
        case Step::Kind::Square:
            each(n, o, a, a, check, [](double x, double) { return x * x; });
            break;
        case Step::Kind::Call: {
            if (step.function == Function::Sqrt) {
                each(n, o, a, a, check, [](double x, double) { return std::sqrt(x); });
                break;
            }
            const UnaryFunction f = function_code(step.function);
            each(n, o, a, a, check, [f](double x, double) { return f(x); });
            break;
        }
        case Step::Kind::Partial: {
            const double* r = regs_[step.result];
            if (step.op == Op::Call) {
                kCallPartials[static_cast<std::size_t>(step.function)](n, o, a, r);
            } else if (step.op == Op::Div) {
                step.operand == 0 ? partial_loop<Op::Div, 0>(n, o, a, b, r, step.function)
                                  : partial_loop<Op::Div, 1>(n, o, a, b, r, step.function);
            } else {
                step.operand == 0 ? partial_loop<Op::Pow, 0>(n, o, a, b, r, step.function)
                                  : partial_loop<Op::Pow, 1>(n, o, a, b, r, step.function);
            }
            break;
        }
        case Step::Kind::Root:
            // The variance is what must be finite.
            if (check != nullptr) each(n, check, check, a, nullptr, [](double c, double v) { return c + v * 0.0; });
            each(n, o, a, a, nullptr, [](double v, double) { return std::sqrt(v < 0.0 ? 0.0 : v); });
            break;
        }
        regs_[step.out] = o;
    }

    void scalar(std::size_t start, std::size_t i) {
        std::vector<double> values, sigmas;
        for (std::uint32_t reg : plan_.value_regs_) values.push_back(regs_[reg][i]);
        for (std::uint32_t reg : plan_.sigma_regs_) sigmas.push_back(regs_[reg][i]);
        plan_.scalar_element(values, sigmas, start + i, data_, problem, plan_.exact_ ? &exceptions : nullptr);
        if (!problem) return;
        // NaN marks what cannot be computed; a bad uncertainty is the caller's and always stops.
        if (data_.nan_on_fault && problem->kind == ArrayProblem::Kind::Derivation) {
            problem.reset();
        } else {
            stopped_ = true;
        }
    }

    const ArrayEvaluation& plan_;
    const ArrayData& data_;
    std::size_t block_;
    static constexpr std::uint32_t kNoStep = UINT32_MAX;
    std::uint32_t value_step_reg_ = kNoStep;  // the register a step makes the value in, if one does
    std::uint32_t sigma_step_reg_ = kNoStep;
    std::size_t start_ = 0;
    std::vector<double> own_;
    double* storage_;
    std::vector<const double*> regs_;
    double* check_;
    bool stopped_ = false;
};

// One element the way the scalar derivation goes, with the steps it uses.
void ArrayEvaluation::scalar_element(const std::vector<double>& values, const std::vector<double>& sigmas,
                                     std::size_t index, const ArrayData& data, std::optional<ArrayProblem>& problem,
                                     std::vector<std::pair<std::size_t, double>>* exceptions) const {
    // Where the result is exact, an uncertainty other than 0.0 is kept aside.
    const auto put_sigma = [&](double sigma) {
        if (exceptions == nullptr) {
            data.uncertainty_out[index] = sigma;
        } else if (std::bit_cast<std::uint64_t>(sigma) != 0) {
            exceptions->push_back({index, sigma});
        }
    };
    for (std::size_t s = 0; s < sigmas.size(); ++s) {
        if (!(sigmas[s] >= 0.0)) {
            problem = ArrayProblem{ArrayProblem::Kind::BadUncertainty, index, s, {}};
            return;
        }
    }
    const auto replaced_at = [&](std::uint32_t row) -> std::ptrdiff_t {
        const auto it = std::find(replaced_.begin(), replaced_.end(), row);
        return it == replaced_.end() ? -1 : it - replaced_.begin();
    };
    // Forward, as the catalogue computes its values: a formula fails with
    // the first of its dependencies that fails, else with its own fault.
    struct Node {
        double value = 0.0;
        std::uint32_t root = kNoIndex;
        ValueFault fault = ValueFault::None;
        std::uint8_t flags = 0;
    };
    std::unordered_map<std::uint32_t, Node> nodes;
    const auto seed_sigma = [&](std::uint32_t row) {
        const std::ptrdiff_t k = replaced_at(row);
        if (k < 0) return store_.row(row).uncertainty;
        return sigma_slot_[k] < 0 ? std::numeric_limits<double>::quiet_NaN() : sigmas[sigma_slot_[k]];
    };
    const auto node = [&](std::uint32_t row) -> const Node& {
        auto [it, added] = nodes.try_emplace(row);
        if (added) {  // a seed
            const std::ptrdiff_t k = replaced_at(row);
            it->second.value = k < 0 ? store_.row(row).value : values[k];
            const double sigma = seed_sigma(row);
            it->second.flags = sigma == sigma ? kInformed | (sigma != 0.0 ? kUncertain : 0) : 0;
        }
        return it->second;
    };
    EvaluationScratch scratch;
    std::vector<double> inputs;
    for (std::uint32_t f : formulas_) {
        Node computed;
        inputs.clear();
        for (std::uint32_t dependency : store_.dependencies(f)) {
            const Node& from = node(dependency);
            computed.flags |= from.flags;
            if (computed.root == kNoIndex && from.root != kNoIndex) {
                computed.root = from.root;
                computed.fault = from.fault;
            }
            inputs.push_back(from.value);
        }
        if (computed.root == kNoIndex) {
            const CatalogueStore& owner = store_.owner(f);
            const CatalogueFormula& formula = owner.formulas_[owner.rows_[f - owner.first_own_].formula];
            computed.fault = evaluate({owner.code_.data() + formula.code_begin, formula.code_size},
                                      owner.constants_.values(), inputs, scratch, computed.value);
            if (computed.fault != ValueFault::None) computed.root = f;
        }
        nodes[f] = computed;
    }
    const Node result = node(row_);
    const double nan = kNaN;
    if (result.root != kNoIndex) {
        data.value_out[index] = nan;
        if (informed_) put_sigma(nan);
        if (!problem) {
            problem = ArrayProblem{ArrayProblem::Kind::Derivation, index, 0,
                                   store_.failure_text(row_, result.root, result.fault)};
        }
        return;
    }
    data.value_out[index] = result.value;
    if (!informed_) return;
    if (!store_.row(row_).is_formula()) {
        put_sigma(seed_sigma(row_));
        return;
    }
    if (!(result.flags & kUncertain)) {
        put_sigma(0.0);
        return;
    }
    const auto value = [&](std::uint32_t row) { return node(row).value; };
    const auto flags = [&](std::uint32_t row) { return node(row).flags; };
    const auto correlated = [&](std::uint32_t seed) { return replaced_at(seed) < 0; };
    std::unordered_map<std::uint32_t, double> adjoint;
    const std::vector<std::uint32_t> finished = store_.uncertain_ancestry(row_, adjoint, flags);
    std::vector<CatalogueStore::Term> terms;
    auto collected = store_.collect_terms(row_, finished, adjoint, terms,
                                          CatalogueStore::DerivationView{value, flags, seed_sigma});
    Expected<double, std::string> sigma = unexpected(std::string());
    if (collected) {
        sigma = store_.deviation(row_, store_.covariance(terms, terms, correlated));
    } else {
        sigma = unexpected(std::move(collected).error());
    }
    if (sigma) {
        put_sigma(*sigma);
        return;
    }
    put_sigma(nan);
    if (!problem) problem = ArrayProblem{ArrayProblem::Kind::Derivation, index, 0, std::move(sigma).error()};
}

ArrayOutcome ArrayEvaluation::run(const ArrayData& data) const {
    std::size_t count = 1;
    for (std::size_t extent : data.shape) count *= extent;
    // A small call needs registers only as long as itself.
    const std::size_t block = std::min(block_, (count + 15) & ~std::size_t{15});
    const std::size_t blocks = block == 0 ? 0 : (count + block - 1) / block;
    const std::size_t least = std::max<std::size_t>(1, kElementsPerThread / std::max<std::size_t>(block, 1));
    ArrayOutcome outcome{std::nullopt, informed_ && !exact_};
    std::vector<std::pair<std::size_t, double>> exceptions;
    if (blocks < 2 * least || worker_threads() == 1) {  // one thread's work: no threads to start
        Runner runner(*this, data, block);
        runner.run(0, count);
        outcome.problem = std::move(runner.problem);
        exceptions = std::move(runner.exceptions);
    } else {
        std::vector<std::optional<ArrayProblem>> problems(worker_threads());
        std::vector<std::vector<std::pair<std::size_t, double>>> excepted(worker_threads());
        for_each_part(blocks, least, [&](std::size_t part, std::size_t first, std::size_t last) {
            Runner runner(*this, data, block);
            runner.run(first * block, std::min(last * block, count));
            problems[part] = std::move(runner.problem);
            excepted[part] = std::move(runner.exceptions);
        });
        for (auto& problem : problems) {
            if (problem) {
                outcome.problem = std::move(problem);  // parts are in element order
                break;
            }
        }
        for (const auto& part : excepted) exceptions.insert(exceptions.end(), part.begin(), part.end());
    }
    if (!exceptions.empty()) {  // an exact result after all but for these
        std::fill_n(data.uncertainty_out, count, 0.0);
        for (const auto& [index, sigma] : exceptions) data.uncertainty_out[index] = sigma;
        outcome.uncertainty_written = true;
    }
    return outcome;
}

}  // namespace veldra
