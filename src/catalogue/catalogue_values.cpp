// Derivation: every formula's value, computed once in dependency order, and
// uncertainties propagated by a reverse pass over a formula's ancestry. The
// pure twin (_Values and Catalogue._propagate in ostrelin/_pycatalogue.py)
// does the same operations in the same order, so both give the same bits.

#include <cmath>
#include <unordered_map>

#include "catalogue/catalogue_error.hpp"
#include "catalogue/catalogue_store.hpp"

namespace veldra {
const CatalogueStore::Values& CatalogueStore::values() const {
    std::call_once(values_once_, [this] {
        compute_values(values_);
        values_ready_.store(true, std::memory_order_release);
    });
    return values_;
}

double CatalogueStore::value_of(const Values& values, std::uint32_t row) const noexcept {
    const CatalogueRow& entry = rows_[row];
    return entry.is_formula() ? values.value[entry.formula] : entry.value;
}

void CatalogueStore::compute_values(Values& values) const {
    values.value.assign(formulas_.size(), 0.0);
    values.root.assign(formulas_.size(), kNoIndex);
    values.fault.assign(formulas_.size(), ValueFault::None);
    values.flags.assign(rows_.size(), 0);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const CatalogueRow& row = rows_[i];
        if (row.is_formula() || !row.has_uncertainty()) continue;
        values.flags[i] = kInformed | (row.uncertainty != 0.0 ? kUncertain : 0);
    }
    EvaluationScratch scratch;
    std::vector<double> inputs;
    for (std::uint32_t f : evaluation_order_) {
        const CatalogueFormula& formula = formulas_[f];
        const auto deps = dependencies(formula.row);
        std::uint8_t flags = 0;
        std::uint32_t failed = kNoIndex;
        inputs.clear();
        for (std::uint32_t dependency : deps) {
            flags |= values.flags[dependency];
            const std::uint32_t g = rows_[dependency].formula;
            if (failed == kNoIndex && g != kNoIndex && values.root[g] != kNoIndex) failed = g;
            inputs.push_back(value_of(values, dependency));
        }
        values.flags[formula.row] = flags;
        if (failed != kNoIndex) {
            values.root[f] = values.root[failed];
            values.fault[f] = values.fault[failed];
            continue;
        }
        const ValueFault fault = evaluate({code_.data() + formula.code_begin, formula.code_size}, constants_.values(), inputs,
                                          scratch, values.value[f]);
        if (fault != ValueFault::None) {
            values.root[f] = f;
            values.fault[f] = fault;
        }
    }
}

std::string CatalogueStore::failure_text(const Values& values, std::uint32_t formula) const {
    const std::uint32_t root = values.root[formula];
    std::string message(fault_text(values.fault[formula]));
    message += " in the expression of " + ticked(rows_[formulas_[root].row].name());
    if (root == formula) return message;
    return "cannot derive " + ticked(rows_[formulas_[formula].row].name()) + ": " + message;
}

Expected<double, std::string> CatalogueStore::derive(std::uint32_t row) const {
    const CatalogueRow& entry = rows_[row];
    if (!entry.is_formula()) return entry.value;
    const Values& known = values();
    if (known.root[entry.formula] != kNoIndex) return unexpected(failure_text(known, entry.formula));
    return known.value[entry.formula];
}

Expected<std::optional<double>, std::string> CatalogueStore::uncertainty(std::uint32_t row) const {
    const CatalogueRow& entry = rows_[row];
    if (!entry.is_formula()) {
        return entry.has_uncertainty() ? std::optional<double>(entry.uncertainty) : std::nullopt;
    }
    const Values& known = values();
    if (known.root[entry.formula] != kNoIndex) return unexpected(failure_text(known, entry.formula));
    if (!(known.flags[row] & kInformed)) return std::optional<double>();
    if (!(known.flags[row] & kUncertain)) return std::optional<double>(0.0);

    // The ancestry through uncertain entries, each before what it depends
    // on: depth first in dependency order, finished entries reversed.
    std::unordered_map<std::uint32_t, double> adjoint;
    adjoint.emplace(row, 1.0);
    std::vector<std::uint32_t> finished;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> work{{row, 0}};
    while (!work.empty()) {
        auto& [node, next] = work.back();
        const auto deps = dependencies(node);
        bool descended = false;
        while (next < deps.size()) {
            const std::uint32_t dependency = deps[next++];
            if (!(known.flags[dependency] & kUncertain) || adjoint.count(dependency) != 0) continue;
            adjoint.emplace(dependency, 0.0);
            work.push_back({dependency, 0});
            descended = true;
            break;
        }
        if (descended) continue;
        finished.push_back(node);
        work.pop_back();
    }

    EvaluationScratch scratch;
    std::vector<double> inputs, slots;
    std::vector<std::uint8_t> uncertain;
    double total = 0.0;
    for (auto it = finished.rbegin(); it != finished.rend(); ++it) {
        const CatalogueRow& node = rows_[*it];
        const double share = adjoint[*it];
        if (!node.is_formula()) {
            const double term = share * node.uncertainty;
            total += term * term;
            continue;
        }
        const auto deps = dependencies(*it);
        inputs.clear();
        uncertain.clear();
        for (std::uint32_t dependency : deps) {
            inputs.push_back(value_of(known, dependency));
            uncertain.push_back((known.flags[dependency] & kUncertain) != 0);
        }
        slots.assign(deps.size(), 0.0);
        const CatalogueFormula& formula = formulas_[node.formula];
        if (!backpropagate({code_.data() + formula.code_begin, formula.code_size}, constants_.values(), inputs, uncertain,
                           share, scratch, slots)) {
            return unexpected("cannot propagate the uncertainty of " + ticked(entry.name()) +
                              ": a derivative in the expression of " + ticked(node.name()) + " is not finite");
        }
        for (std::size_t slot = 0; slot < deps.size(); ++slot) {
            if (uncertain[slot]) adjoint[deps[slot]] += slots[slot];
        }
    }
    const double result = std::sqrt(total);
    if (!std::isfinite(result)) {
        return unexpected("the uncertainty of " + ticked(entry.name()) + " is too large for a double");
    }
    return std::optional<double>(result);
}

}  // namespace veldra
