// Derivation: every formula's value, computed once in dependency order, and
// uncertainties propagated by a reverse pass over a formula's ancestry. The
// pure twin (_Values and Catalogue._propagate in ostrelin/_pycatalogue.py)
// does the same operations in the same order, so both give the same bits.
// A catalogue built over a base asks the base for its rows' values.

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "catalogue/catalogue_error.hpp"
#include "catalogue/catalogue_store.hpp"
#include "support/name_order.hpp"

namespace veldra {

const CatalogueStore::Values& CatalogueStore::values() const {
    if (!values_ready_.load(std::memory_order_acquire)) {
        // The bases first, root first, each once: a level computes its own
        // values reading only levels that are ready, so nothing recurses
        // however deep the chain of bases is.
        std::vector<const CatalogueStore*> waiting;
        for (const CatalogueStore* store = this; store != nullptr; store = store->base_) {
            if (store->values_ready_.load(std::memory_order_acquire)) break;
            waiting.push_back(store);
        }
        for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) {
            const CatalogueStore* store = *it;
            std::call_once(store->values_once_, [store] {
                store->compute_values(store->values_);
                store->values_ready_.store(true, std::memory_order_release);
            });
        }
    }
    return values_;
}

// A level is ready only once every level under it is (values() sees to it).
bool CatalogueStore::values_ready() const noexcept { return values_ready_.load(std::memory_order_acquire); }

void CatalogueStore::prepare_values() const { (void)values(); }

double CatalogueStore::value_of(std::uint32_t row) const {
    const CatalogueStore& store = owner(row);
    const CatalogueRow& entry = store.rows_[row - store.first_own_];
    return entry.is_formula() ? store.values().value[entry.formula] : entry.value;
}

std::uint8_t CatalogueStore::flags_of(std::uint32_t row) const {
    const CatalogueStore& store = owner(row);
    return store.values().flags[row - store.first_own_];
}

std::uint32_t CatalogueStore::root_of(std::uint32_t row) const {
    const CatalogueStore& store = owner(row);
    const CatalogueRow& entry = store.rows_[row - store.first_own_];
    return entry.is_formula() ? store.values().root[entry.formula] : kNoIndex;
}

ValueFault CatalogueStore::fault_of(std::uint32_t row) const {
    const CatalogueStore& store = owner(row);
    return store.values().fault[store.rows_[row - store.first_own_].formula];
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
    // Own rows are read from `values` as it fills; a base's from the base.
    const auto own = [this](std::uint32_t row) { return row >= first_own_; };
    EvaluationScratch scratch;
    std::vector<double> inputs;
    for (std::uint32_t f : evaluation_order_) {
        const CatalogueFormula& formula = formulas_[f];
        std::uint8_t flags = 0;
        std::uint32_t failed = kNoIndex;
        inputs.clear();
        for (std::uint32_t dependency : dependencies(formula.row)) {
            if (own(dependency)) {
                const CatalogueRow& entry = rows_[dependency - first_own_];
                flags |= values.flags[dependency - first_own_];
                const bool fails = entry.is_formula() && values.root[entry.formula] != kNoIndex;
                if (failed == kNoIndex && fails) failed = dependency;
                inputs.push_back(entry.is_formula() ? values.value[entry.formula] : entry.value);
            } else {
                flags |= flags_of(dependency);
                if (failed == kNoIndex && root_of(dependency) != kNoIndex) failed = dependency;
                inputs.push_back(value_of(dependency));
            }
        }
        values.flags[formula.row - first_own_] = flags;
        if (failed != kNoIndex) {
            if (own(failed)) {
                const std::uint32_t g = rows_[failed - first_own_].formula;
                values.root[f] = values.root[g];
                values.fault[f] = values.fault[g];
            } else {
                values.root[f] = root_of(failed);
                values.fault[f] = fault_of(failed);
            }
            continue;
        }
        const ValueFault fault = evaluate({code_.data() + formula.code_begin, formula.code_size}, constants_.values(),
                                          inputs, scratch, values.value[f]);
        if (fault != ValueFault::None) {
            values.root[f] = formula.row;
            values.fault[f] = fault;
        }
    }
}

std::string CatalogueStore::failure_text(std::uint32_t row) const {
    return failure_text(row, root_of(row), fault_of(row));
}

std::string CatalogueStore::failure_text(std::uint32_t row, std::uint32_t root, ValueFault fault) const {
    std::string message(fault_text(fault));
    message += " in the expression of " + ticked(this->row(root).name());
    if (root == row) return message;
    return "cannot derive " + ticked(this->row(row).name()) + ": " + message;
}

Expected<double, std::string> CatalogueStore::derive(std::uint32_t row) const {
    if (!this->row(row).is_formula()) return this->row(row).value;
    if (root_of(row) != kNoIndex) return unexpected(failure_text(row));
    return value_of(row);
}

Expected<std::optional<double>, std::string> CatalogueStore::uncertainty(std::uint32_t row,
                                                                         std::vector<Contribution>* budget) const {
    const CatalogueRow& entry = this->row(row);
    if (budget != nullptr) budget->clear();
    if (!entry.is_formula()) {
        if (!entry.has_uncertainty()) return std::optional<double>();
        if (budget != nullptr && entry.uncertainty != 0.0) budget->push_back({row, entry.uncertainty});
        return std::optional<double>(entry.uncertainty);
    }
    if (root_of(row) != kNoIndex) return unexpected(failure_text(row));
    if (!(flags_of(row) & kInformed)) return std::optional<double>();
    if (!(flags_of(row) & kUncertain)) return std::optional<double>(0.0);

    VELDRA_TRY(const std::vector<Term> found, terms(row));
    const Covariance variance = covariance(found, found);
    if (budget != nullptr) {
        for (const Term& term : found) budget->push_back({term.seed, std::fabs(term.t)});
        sort_budget(*budget);
        if (variance.correlated != 0.0) {
            budget->push_back({kNoIndex, std::copysign(std::sqrt(std::fabs(variance.correlated)), variance.correlated)});
        }
    }
    VELDRA_TRY(const double sigma, deviation(row, variance));
    return std::optional<double>(sigma);
}

Expected<double, std::string> CatalogueStore::deviation(std::uint32_t row, const Covariance& variance) const {
    const double total = variance.own + variance.correlated;
    // Past a double either way: a sum of correlated parts may overflow to -inf as well.
    if (!std::isfinite(total)) {
        return unexpected("the uncertainty of " + ticked(this->row(row).name()) + " is too large for a double");
    }
    // A semi-definite form's value: only rounding takes it below zero.
    return std::sqrt(total < 0.0 ? 0.0 : total);
}

Expected<std::vector<CatalogueStore::Term>, std::string> CatalogueStore::terms(std::uint32_t row) const {
    const CatalogueRow& entry = this->row(row);
    std::vector<Term> found;
    if (!entry.is_formula()) {
        if (entry.has_uncertainty() && entry.uncertainty != 0.0) found.push_back({row, entry.uncertainty});
        return found;
    }
    if (root_of(row) != kNoIndex) return unexpected(failure_text(row));
    if (!(flags_of(row) & kUncertain)) return found;
    const auto flags = [this](std::uint32_t at) { return flags_of(at); };
    const auto value = [this](std::uint32_t at) { return value_of(at); };
    const auto sigma = [this](std::uint32_t at) { return this->row(at).uncertainty; };
    std::unordered_map<std::uint32_t, double> adjoint;
    const std::vector<std::uint32_t> finished = uncertain_ancestry(row, adjoint, flags);
    VELDRA_CHECK(collect_terms(row, finished, adjoint, found, DerivationView{value, flags, sigma}));
    return found;
}

std::span<const CatalogueStore::Partner> CatalogueStore::partners(std::uint32_t seed) const {
    const CatalogueStore& store = owner(seed);
    const auto found = store.partners_.find(seed);
    if (found == store.partners_.end()) return {};
    return found->second;
}

CatalogueStore::Covariance CatalogueStore::covariance(std::span<const Term> x, std::span<const Term> y) const {
    return covariance(x, y, [](std::uint32_t) { return true; });
}

CatalogueStore::Covariance CatalogueStore::covariance(std::span<const Term> x, std::span<const Term> y,
                                                      FunctionRef<bool(std::uint32_t)> correlated) const {
    std::unordered_map<std::uint32_t, double> of_y;
    for (const Term& term : y) of_y.emplace(term.seed, term.t);
    Covariance sum{0.0, 0.0};
    for (const Term& term : x) {
        if (auto same = of_y.find(term.seed); same != of_y.end()) sum.own += term.t * same->second;
        if (!correlated(term.seed)) continue;
        for (const Partner& partner : partners(term.seed)) {
            if (!correlated(partner.seed)) continue;
            if (auto other = of_y.find(partner.seed); other != of_y.end()) sum.correlated += partner.r * term.t * other->second;
        }
    }
    return sum;
}

// The ancestry of `row` through uncertain entries, depth first in
// dependency order: an entry after what it depends on, so that read in
// reverse each comes before its dependencies. `adjoint` gets every entry on
// it, `row` at 1 and the others at 0.
std::vector<std::uint32_t> CatalogueStore::uncertain_ancestry(std::uint32_t row,
                                                              std::unordered_map<std::uint32_t, double>& adjoint,
                                                              FunctionRef<std::uint8_t(std::uint32_t)> flags) const {
    adjoint.emplace(row, 1.0);
    std::vector<std::uint32_t> finished;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> work{{row, 0}};
    while (!work.empty()) {
        auto& [node, next] = work.back();
        const auto deps = dependencies(node);
        bool descended = false;
        while (next < deps.size()) {
            const std::uint32_t dependency = deps[next++];
            if (!(flags(dependency) & kUncertain) || adjoint.count(dependency) != 0) continue;
            adjoint.emplace(dependency, 0.0);
            work.push_back({dependency, 0});
            descended = true;
            break;
        }
        if (descended) continue;
        finished.push_back(node);
        work.pop_back();
    }
    return finished;
}

// The reverse pass over `finished` (uncertain_ancestry's order, read
// backwards): each formula passes its adjoint on to its dependencies, each
// seed adds its adjoint × σ to `terms`. Fails when a derivative on the way
// is not finite.
Expected<bool, std::string> CatalogueStore::collect_terms(std::uint32_t row, const std::vector<std::uint32_t>& finished,
                                                          std::unordered_map<std::uint32_t, double>& adjoint,
                                                          std::vector<Term>& terms, const DerivationView& view) const {
    EvaluationScratch scratch;
    std::vector<double> inputs, slots;
    std::vector<std::uint8_t> uncertain;
    for (auto it = finished.rbegin(); it != finished.rend(); ++it) {
        const CatalogueRow& node = this->row(*it);
        const double share = adjoint[*it];
        if (!node.is_formula()) {
            terms.push_back({*it, share * view.seed_uncertainty(*it)});
            continue;
        }
        const auto deps = dependencies(*it);
        inputs.clear();
        uncertain.clear();
        for (std::uint32_t dependency : deps) {
            inputs.push_back(view.value(dependency));
            uncertain.push_back((view.flags(dependency) & kUncertain) != 0);
        }
        slots.assign(deps.size(), 0.0);
        const CatalogueStore& store = owner(*it);
        const CatalogueFormula& formula = store.formulas_[node.formula];
        if (!backpropagate({store.code_.data() + formula.code_begin, formula.code_size}, store.constants_.values(),
                           inputs, uncertain, share, scratch, slots)) {
            return unexpected("cannot propagate the uncertainty of " + ticked(this->row(row).name()) +
                              ": a derivative in the expression of " + ticked(node.name()) + " is not finite");
        }
        for (std::size_t slot = 0; slot < deps.size(); ++slot) {
            if (uncertain[slot]) adjoint[deps[slot]] += slots[slot];
        }
    }
    return true;
}

// Largest share first; equal shares in byte order of the seeds' names.
void CatalogueStore::sort_budget(std::vector<Contribution>& budget) const {
    std::sort(budget.begin(), budget.end(), [this](const Contribution& a, const Contribution& b) {
        if (a.share != b.share) return a.share > b.share;
        return byte_less(this->row(a.seed).name(), this->row(b.seed).name());
    });
}

}  // namespace veldra
