// A version-2 catalogue's correlations between its own seeds: read last,
// once every entry is known, and kept only when the matrix they make is a
// covariance's (positive semi-definite). The pure twin checks the same
// things in the same order with the same floating-point steps
// (_check_correlations in ostrelin/_pycatalogue.py).

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "catalogue/catalogue_builder.hpp"

namespace veldra {
namespace {

// A pivot below -kTolerance fails; one within it counts as zero, and then
// what its column still holds must be within its root (a 2×2 minor would
// otherwise have an eigenvalue below -kTolerance).
constexpr double kTolerance = 1e-9;
constexpr double kToleranceRoot = 3.1622776601683794e-05;

std::string numbered(std::size_t i) { return "correlation " + std::to_string(i); }

// The members' matrix (1 on the diagonal, r where `paired` says) factored as
// L D Lᵀ without pivoting, column by column; the index of the first member
// whose pivot is below -kTolerance or whose remainder beside a zero pivot is
// beyond kToleranceRoot. Sparse, so a chain of n seeds costs n steps, not
// n³: lower[i] holds the non-zero L[i][k] (k rising, as columns are made in
// order), below[k] the rows i > k that have one in column k. A term left
// out is an exact zero, which changes no decision.
std::optional<std::size_t> first_failing_member(
    const std::vector<std::size_t>& members, const std::vector<std::vector<std::pair<std::size_t, double>>>& paired) {
    const std::size_t n = members.size();
    std::vector<std::vector<std::pair<std::size_t, double>>> lower(n);
    std::vector<std::vector<std::size_t>> below(n);
    std::vector<double> d(n, 0.0);
    std::vector<std::pair<std::size_t, double>> rows;  // (i, A[i][j]) for the rows i > j that may be non-zero
    std::vector<std::size_t> listed_at(n, n);           // row i: the column j it was last listed for
    for (std::size_t j = 0; j < n; ++j) {
        double pivot = 1.0;
        for (const auto& [k, l] : lower[j]) pivot -= l * l * d[k];
        if (pivot < -kTolerance) return j;
        d[j] = pivot > kTolerance ? pivot : 0.0;
        rows = paired[members[j]];
        for (const auto& [i, r] : rows) listed_at[i] = j;
        for (const auto& [k, l] : lower[j]) {
            for (std::size_t i : below[k]) {
                if (i > j && listed_at[i] != j) {
                    listed_at[i] = j;
                    rows.push_back({i, 0.0});
                }
            }
        }
        std::sort(rows.begin(), rows.end());
        for (const auto& [i, r] : rows) {
            double v = r;
            // Σ L[i][k] L[j][k] D[k] over the k both rows hold, k rising.
            auto x = lower[i].begin(), y = lower[j].begin();
            while (x != lower[i].end() && y != lower[j].end()) {
                if (x->first < y->first) {
                    ++x;
                } else if (y->first < x->first) {
                    ++y;
                } else {
                    v -= x->second * y->second * d[x->first];
                    ++x;
                    ++y;
                }
            }
            if (d[j] == 0.0) {
                if (std::fabs(v) > kToleranceRoot) return i;
            } else if (const double l = v / d[j]; l != 0.0) {
                lower[i].push_back({j, l});
                below[j].push_back(i);
            }
        }
    }
    return std::nullopt;
}

}  // namespace

void CatalogueBuilder::add_correlation(const CorrelationFields& fields) {
    const bool well_formed = fields.first && fields.second;
    given_correlations_.push_back({well_formed, fields.first.value_or(std::string_view()),
                                   fields.second.value_or(std::string_view()), fields.r});
}

// What is wrong with item `i` alone, if anything; `rows` gets its seeds.
std::optional<std::string> CatalogueBuilder::correlation_problem(std::size_t i, std::uint32_t rows[2]) {
    const GivenCorrelation& given = given_correlations_[i];
    if (!given.well_formed) return numbered(i) + " must be an array of two names and a number";
    if (!(given.r >= -1.0 && given.r <= 1.0)) return numbered(i) + ": r must be between -1 and 1";
    const CatalogueStore& store = *store_;
    const std::string_view names[2] = {given.first, given.second};
    for (int k = 0; k < 2; ++k) {
        const std::string_view name = names[k];
        rows[k] = store.find(name);
        std::string_view why;
        if (rows[k] == kNoIndex) why = " is not in the catalogue";
        else if (rows[k] < store.first_own_) why = " is in the base catalogue, whose correlations are its own";
        else if (store.row(rows[k]).is_formula()) why = " is a formula; only seeds are correlated";
        else if (!store.row(rows[k]).has_uncertainty()) why = " has no uncertainty";
        if (!why.empty()) return numbered(i) + ": " + ticked(name) + std::string(why);
    }
    if (rows[0] == rows[1]) return numbered(i) + " correlates " + ticked(store.row(rows[0]).name()) + " with itself";
    return std::nullopt;
}

// Every item in file order, then the matrix they make; the first problem.
std::optional<CatalogueFailure> CatalogueBuilder::check_correlations() {
    CatalogueStore& store = *store_;
    std::unordered_map<std::uint64_t, std::size_t> first_at;  // the pair, lower row first: its first item
    first_at.reserve(given_correlations_.size());
    store.correlations_.reserve(given_correlations_.size());
    for (std::size_t i = 0; i < given_correlations_.size(); ++i) {
        std::uint32_t rows[2];
        std::optional<std::string> problem = correlation_problem(i, rows);
        if (!problem) {
            const auto [low, high] = std::minmax(rows[0], rows[1]);
            auto [at, fresh] = first_at.emplace(std::uint64_t{low} << 32 | high, i);
            if (!fresh) {
                problem = numbered(i) + ": " + ticked(store.row(rows[0]).name()) + " and " +
                          ticked(store.row(rows[1]).name()) + " are correlated at " + numbered(at->second) + " already";
            }
        }
        if (problem) return correlations_failure(source_, std::move(*problem));
        store.correlations_.push_back({rows[0], rows[1], given_correlations_[i].r});
    }
    given_correlations_ = {};
    if (auto failure = check_semidefinite()) return failure;
    for (const CatalogueStore::Correlation& c : store.correlations_) {
        store.partners_[c.first].push_back({c.second, c.r});
        store.partners_[c.second].push_back({c.first, c.r});
    }
    return std::nullopt;
}

// Each connected group of correlated seeds, members in order of first
// appearance, groups in the order of their first member, factored as
// L D Lᵀ without pivoting; the first pivot (or, beside a zero pivot, the
// first remainder) that shows the matrix is not semi-definite names the
// members it has reached.
std::optional<CatalogueFailure> CatalogueBuilder::check_semidefinite() const {
    const auto& correlations = store_->correlations_;
    std::unordered_map<std::uint32_t, std::size_t> position;  // seed: its index in `seeds`
    std::vector<std::uint32_t> seeds;
    for (const auto& c : correlations) {
        for (std::uint32_t seed : {c.first, c.second}) {
            if (position.emplace(seed, seeds.size()).second) seeds.push_back(seed);
        }
    }
    // Union-find over positions; a group lists its members' positions.
    std::vector<std::size_t> parent(seeds.size());
    for (std::size_t i = 0; i < parent.size(); ++i) parent[i] = i;
    auto root = [&](std::size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    for (const auto& c : correlations) {
        const std::size_t a = root(position[c.first]), b = root(position[c.second]);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> index(seeds.size());  // position: its index within its group
    std::unordered_map<std::size_t, std::size_t> group_of;  // root: its group
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        auto [at, fresh] = group_of.emplace(root(i), groups.size());
        if (fresh) groups.emplace_back();
        index[i] = groups[at->second].size();
        groups[at->second].push_back(i);
    }
    // Per position, the later members of its group it is correlated with, and r.
    std::vector<std::vector<std::pair<std::size_t, double>>> paired(seeds.size());
    for (const auto& c : correlations) {
        const std::size_t a = position[c.first], b = position[c.second];
        if (index[a] < index[b]) paired[a].push_back({index[b], c.r});
        else paired[b].push_back({index[a], c.r});
    }
    for (const auto& members : groups) {
        if (auto failed = first_failing_member(members, paired)) {
            std::string note = "the correlations among ";
            for (std::size_t m = 0; m <= *failed; ++m) {
                if (m != 0) note += ", ";
                note += ticked(store_->row(seeds[members[m]]).name());
            }
            return correlations_failure(source_, note + " are not positive semi-definite");
        }
    }
    return std::nullopt;
}

}  // namespace veldra
