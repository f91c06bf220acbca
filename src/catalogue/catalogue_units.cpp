// Version 2: units read and formulas checked by dimension when a catalogue
// is built, then every formula's program rewritten to compute through
// coherent SI. The pure twin (ostrelin/_pycatalogue.py) checks in the same
// order with the same words and rewrites with the same steps, so both give
// the same bits.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue_builder.hpp"
#include "json/json_writer.hpp"
#include "support/fault.hpp"
#include "support/parallel.hpp"

namespace veldra {
namespace {

constexpr Dimension kDimensionless{};

// A value of the program as the check sees it: its dimension, and its
// number when it is made of numbers alone (what `**` may raise a dimension to).
struct Checked {
    Dimension dimension;
    std::optional<double> constant;
};

// A number as Python's repr() shows it.
std::string repr_of(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[kNumberScratch];
    return std::string(buffer, put_repr_number(buffer, x));
}

// A fraction whose numerator may lie far past an exponent's reach.
struct WideFraction {
    std::int64_t num;
    std::int64_t den;
};

// Numerators past this make every exponent they scale lie past 1000.
constexpr double kFarNumerator = 1e6;

// The fraction with the smallest denominator up to 1000 that a finite `x`
// is, to a part in 10^9; its numerator is at most kFarNumerator + 1 in size.
std::optional<WideFraction> fraction_of(double x) {
    if (!std::isfinite(x)) return std::nullopt;
    for (std::int64_t den = 1; den <= kMaxExponent; ++den) {
        const double num = std::floor(x * static_cast<double>(den) + 0.5);
        if (std::fabs(num / static_cast<double>(den) - x) <= 1e-9 * std::fmax(1.0, std::fabs(x))) {
            if (std::fabs(num) > kFarNumerator) return WideFraction{num > 0 ? 1000001 : -1000001, 1};
            return WideFraction{static_cast<std::int64_t>(num), den};
        }
    }
    return std::nullopt;
}

// Exponents stay small fractions all the way, as a units text's do: a root
// or a product past them would name a dimension no units text can.
constexpr char kBeyondReach[] = "the expression gives an exponent beyond 1000";

std::string ticked_op(Op op) { return op == Op::Add ? "`+`" : "`-`"; }

// `base` ** `exponent`, or what is wrong with it.
Expected<Checked, std::string> raised(const Checked& base, const Checked& exponent, const DeclaredUnits* names) {
    if (!exponent.dimension.dimensionless()) {
        return unexpected("`**` needs a dimensionless exponent, not " + dimension_text(exponent.dimension, names));
    }
    if (base.dimension.dimensionless()) return Checked{};
    const std::string shown = dimension_text(base.dimension, names);
    if (!exponent.constant) return unexpected("`**` raises " + shown + " to an exponent that is not a constant number");
    const double e = *exponent.constant;
    const auto power = fraction_of(e);
    if (!power) {
        return unexpected("`**` raises " + shown + " to " + repr_of(e) + ", which is no fraction with a denominator up to 1000");
    }
    std::optional<Dimension> dimension;
    if (std::abs(power->num) <= static_cast<std::int64_t>(kFarNumerator)) {
        const std::int64_t g = std::gcd(std::abs(power->num), power->den);
        dimension = power_of(base.dimension, Rational{static_cast<std::int32_t>(power->num / g),
                                                    static_cast<std::int32_t>(power->den / g)});
    }
    if (!dimension) {
        return unexpected("`**` raises " + shown + " to " + repr_of(e) + ", which gives an exponent beyond 1000");
    }
    return Checked{*dimension, std::nullopt};
}

// The dimension the program gives from its inputs', or what is wrong with it.
Expected<Dimension, std::string> dimension_of(std::span<const Instruction> code, std::span<const double> constants,
                                              std::span<const Dimension> inputs, const DeclaredUnits* names,
                                              std::vector<Checked>& stack) {
    stack.clear();
    for (const Instruction step : code) {
        switch (step.op) {
            case Op::Number: stack.push_back({kDimensionless, constants[step.arg]}); continue;
            case Op::Load: stack.push_back({inputs[step.arg], std::nullopt}); continue;
            case Op::Neg:
                if (stack.back().constant) stack.back().constant = -*stack.back().constant;
                continue;
            case Op::Call: {
                Checked& x = stack.back();
                const auto function = static_cast<Function>(step.arg);
                x.constant.reset();
                if (function == Function::Sqrt) {
                    auto root = power_of(x.dimension, Rational{1, 2});
                    if (!root) return unexpected(std::string(kBeyondReach));
                    x.dimension = *root;
                } else if (!x.dimension.dimensionless()) {
                    return unexpected(ticked(function_name(function)) + " needs a dimensionless argument, not " +
                                      dimension_text(x.dimension, names));
                }
                continue;
            }
            default: break;
        }
        const Checked b = stack.back();
        stack.pop_back();
        Checked& a = stack.back();
        const bool constants_both = a.constant && b.constant;
        if (step.op == Op::Add || step.op == Op::Sub) {
            if (a.dimension != b.dimension) {
                return unexpected(ticked_op(step.op) + " joins " + dimension_text(a.dimension, names) + " and " +
                                  dimension_text(b.dimension, names));
            }
            a.constant = constants_both ? std::optional(step.op == Op::Add ? *a.constant + *b.constant : *a.constant - *b.constant)
                                        : std::nullopt;
        } else if (step.op == Op::Mul || step.op == Op::Div) {
            auto dimension = product_of(a.dimension, b.dimension, step.op == Op::Mul ? 1 : -1);
            if (!dimension) return unexpected(std::string(kBeyondReach));
            a.dimension = *dimension;
            if (step.op == Op::Mul) {
                a.constant = constants_both ? std::optional(*a.constant * *b.constant) : std::nullopt;
            } else {
                a.constant = constants_both && *b.constant != 0.0 ? std::optional(*a.constant / *b.constant) : std::nullopt;
            }
        } else {
            VELDRA_TRY(a, raised(a, b, names));
        }
    }
    return stack.front().dimension;
}

}  // namespace

DeclaredUnits& CatalogueBuilder::declared() {
    if (!declared_) {
        const CatalogueStore* base = store_->base_;
        declared_ = base != nullptr && base->declared_ ? std::make_shared<DeclaredUnits>(*base->declared_)
                                                       : std::make_shared<DeclaredUnits>();
    }
    return *declared_;
}

std::optional<CatalogueFailure> CatalogueBuilder::declare_unit(std::string_view name,
                                                               std::optional<std::string_view> definition) {
    if (auto problem = declared().declare(name, definition)) return units_failure(source_, std::move(*problem));
    return std::nullopt;
}

std::optional<CatalogueFailure> CatalogueBuilder::read_units() {
    CatalogueStore& store = *store_;
    declared();
    store.declared_ = declared_;
    store.unit_of_text_.assign(store.texts_.size(), -1);
    // Without declared units a text means what the grammar alone says, which each thread remembers.
    const DeclaredUnits* declared = declared_->declarations().empty() ? nullptr : declared_.get();
    for (std::size_t i = 0; i < store.rows_.size(); ++i) {
        const CatalogueRow& row = store.rows_[i];
        if (store.unit_of_text_[row.units] >= 0) continue;
        auto unit = parse_units(store.texts_[row.units], declared);
        if (!unit) return units_failure(source_, entry_note(i, row.name(), unit.error().message()));
        store.unit_of_text_[row.units] = static_cast<std::int32_t>(store.units_read_.size());
        store.units_read_.push_back(*unit);
    }
    return std::nullopt;
}

const Unit& CatalogueBuilder::unit_of(std::uint32_t row) const noexcept {
    const CatalogueStore& store = *store_;
    if (row < store.first_own_) return *store.base_->unit(row);
    return store.units_read_[static_cast<std::size_t>(store.unit_of_text_[store.rows_[row - store.first_own_].units])];
}

std::optional<CatalogueFailure> CatalogueBuilder::check_dimensions() {
    const CatalogueStore& store = *store_;
    // In parts on the worker threads (a check only reads); each part stops at
    // its first problem, and the first part's that has one is the first in file order.
    std::vector<std::optional<CatalogueFailure>> first(worker_threads());
    for_each_part(store.formulas_.size(), 20000, [&](std::size_t part, std::size_t begin, std::size_t end) {
        std::vector<Dimension> inputs;
        std::vector<Checked> stack;
        for (std::size_t f = begin; f < end && !first[part]; ++f) {
            const CatalogueFormula& formula = store.formulas_[f];
            inputs.clear();
            for (std::uint32_t dependency : store.dependencies(formula.row)) inputs.push_back(unit_of(dependency).dimension);
            const std::span<const Instruction> code(store.code_.data() + formula.code_begin, formula.code_size);
            const std::size_t index = formula.row - store.first_own_;
            const std::string_view name = store.rows_[index].name();
            auto given = dimension_of(code, store.constants_.values(), inputs, declared_.get(), stack);
            if (!given) {
                first[part] = dimension_failure(name, entry_note(index, name, given.error()));
                continue;
            }
            const Unit& declared = unit_of(formula.row);
            if (*given != declared.dimension) {
                first[part] = dimension_failure(
                    name, entry_note(index, name, "the expression gives " + dimension_text(*given, declared_.get()) +
                                                      ", its units " + ticked(store.units(formula.row)) + " are " +
                                                      dimension_text(declared.dimension, declared_.get())));
            }
        }
    });
    for (auto& failure : first) {
        if (failure) return std::move(failure);
    }
    return std::nullopt;
}

void CatalogueBuilder::convert_through_si() {
    CatalogueStore& store = *store_;
    std::vector<Instruction> code;
    code.reserve(store.code_.size());
    const auto number = [&](double value) {
        const std::uint32_t index = store.constants_.add(value);
        if (index > kMaxArgument) raise_fault("a catalogue's scales overflow its pool of numbers");
        code.push_back({Op::Number, index});
    };
    for (CatalogueFormula& formula : store.formulas_) {
        const auto dependencies = store.dependencies(formula.row);
        const std::size_t begin = code.size();
        for (std::uint32_t i = formula.code_begin; i < formula.code_begin + formula.code_size; ++i) {
            const Instruction step = store.code_[i];
            code.push_back(step);
            if (step.op != Op::Load) continue;
            const double scale = unit_of(dependencies[step.arg]).scale();
            if (scale != 1.0) {
                number(scale);
                code.push_back({Op::Mul, 0});
            }
        }
        const double own = unit_of(formula.row).scale();
        if (own != 1.0) {
            number(own);
            code.push_back({Op::Div, 0});
        }
        formula.code_begin = static_cast<std::uint32_t>(begin);
        formula.code_size = static_cast<std::uint32_t>(code.size() - begin);
    }
    store.code_ = std::move(code);
}

}  // namespace veldra
