#pragma once
// CatalogueStore: a catalogue of user constants and formulas, built complete
// and validated by CatalogueBuilder (catalogue_builder.hpp), then only read.
//
// Memory: every text lives in one arena, units and descriptions once each;
// a row is 40 bytes pointing into it; the name index is a ShardedMap
// (support/sharded_map.hpp) keyed with SipHash-1-3, whose slots hold only the hash and the
// row (16 bytes). Formulas are compiled at build time into one shared array
// of four-byte instructions over one pool of distinct numbers; their
// dependencies are row numbers.
//
// What is worked out on first need, once, and kept: the names in byte order,
// and every formula's value (in dependency order) with what it takes to
// propagate uncertainties.
//
// Thread-safety: every operation may run from any number of threads at once;
// the lazily computed parts are made under a once-flag.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/text_arena.hpp"
#include "expression/expression.hpp"
#include "registry/constant.hpp"
#include "support/function_ref.hpp"
#include "support/sharded_map.hpp"
#include "support/expected.hpp"
#include "units/units.hpp"

namespace veldra {

inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFF;

// One entry, in 40 bytes. Its name (and a formula's expression right after
// it) sit in the arena; units and descriptions, which repeat from entry to
// entry, are kept once each in the store's table of texts.
struct CatalogueRow {
    const char* text;
    std::uint32_t name_size;
    std::uint32_t formula;          // index into the formulas, kNoIndex for a seed
    std::uint32_t units;            // index into the texts
    std::uint32_t description : 30; // index into the texts
    std::uint32_t status_bits : 2;  // a ConstantStatus
    double value;                   // a pending formula's placeholder 0.0
    double uncertainty;             // NaN: none (every uncertainty given is finite)

    std::string_view name() const noexcept { return {text, name_size}; }
    bool is_formula() const noexcept { return formula != kNoIndex; }
    ConstantStatus status() const noexcept { return static_cast<ConstantStatus>(status_bits); }
    bool has_uncertainty() const noexcept { return uncertainty == uncertainty; }
};
static_assert(sizeof(CatalogueRow) == 40);

// Most texts a catalogue can keep in its table of texts.
inline constexpr std::size_t kMaxTexts = (std::size_t{1} << 30) - 1;

struct CatalogueFormula {
    std::uint32_t row;
    std::uint32_t expression_size;  // the expression follows the row's name
    std::uint32_t code_begin;
    std::uint32_t code_size;
    std::uint32_t dependencies_begin;
    std::uint32_t dependencies_size;
    bool default_dependencies;  // the names used, in first-use order: a file need not list them
};

// The name index's key: the row, read as its name.
struct RowKey {
    const CatalogueRow* row;
    operator std::string_view() const noexcept { return row->name(); }  // NOLINT: the table compares texts
};
struct NoValue {};

class CatalogueStore {
public:
    CatalogueStore(const CatalogueStore&) = delete;
    CatalogueStore& operator=(const CatalogueStore&) = delete;

    // Rows are numbered through the base catalogue's rows first (if there
    // is a base), then this catalogue's own in file order; every operation
    // below takes and gives those numbers.
    std::size_t size() const noexcept { return first_own_ + rows_.size(); }
    // Finds the row's store span by span down the chain of bases (a loop: any
    // depth; see owner() below); bulk work goes level by level instead.
    const CatalogueRow& row(std::uint32_t index) const noexcept {
        const CatalogueStore& store = owner(index);
        return store.rows_[index - store.first_own_];
    }
    std::string_view description() const noexcept { return description_; }
    // The file format's version: 1 keeps units as text, 2 reads them.
    int version() const noexcept { return version_; }
    // A version-2 catalogue's reading of row `index`'s units (its own or a
    // base's); null in version 1.
    const Unit* unit(std::uint32_t index) const noexcept;
    // The units a version-2 catalogue and its bases declared, or null.
    const DeclaredUnits* declared_units() const noexcept { return declared_.get(); }

    // The catalogue this one was built over, or null; it must outlive this one.
    const CatalogueStore* base() const noexcept { return base_; }
    // The first store under this one's span (below), or null; a base of this one.
    const CatalogueStore* below_span() const noexcept { return below_span_; }
    // The number of the first row this catalogue holds itself.
    std::uint32_t first_own() const noexcept { return first_own_; }
    // The rows this catalogue holds itself, [first_own(), size()).
    std::uint32_t own_end() const noexcept { return first_own_ + static_cast<std::uint32_t>(rows_.size()); }

    // The chain of bases and this store, root first. Work over every row goes
    // level by level, asking each level for its own rows (found at once),
    // where asking this store would walk the chain for each row.
    std::vector<const CatalogueStore*> levels() const;

    // A row's other texts.
    std::string_view units(std::uint32_t index) const noexcept;
    std::string_view description(std::uint32_t index) const noexcept;
    std::string_view expression(std::uint32_t index) const noexcept;
    // Whether a formula's dependencies are what a file without a list means.
    bool uses_default_dependencies(std::uint32_t index) const noexcept;

    // The row named `name` (byte-exact), or else the row whose symbol it is,
    // or kNoIndex: a name hides a base's symbol of the same text.
    std::uint32_t find(std::string_view name) const;
    // The row named `name`, symbols aside, or kNoIndex.
    std::uint32_t find_name(std::string_view name) const;
    // Row `index`'s symbol, or "" when it has none.
    std::string_view symbol(std::uint32_t index) const;
    // Every symbol of this catalogue and its bases, to its row; null when none has one.
    using SymbolTable = std::unordered_map<std::string_view, std::uint32_t>;
    const SymbolTable* symbols() const noexcept { return symbols_.get(); }
    // The name or symbol a lookup of `name`, which finds nothing, suggests (lookup/name_suggestion.hpp).
    std::optional<std::string> suggestion_for(std::string_view name) const;

    // The rows a formula depends on, in its dependency order; empty for a seed.
    std::span<const std::uint32_t> dependencies(std::uint32_t row) const noexcept;

    // The rows in byte order of their names, sorted on first call, in time
    // n log n in the rows whatever the depth of the chain of bases (a base's
    // listing is merged in when it is made already, and is not made for this).
    std::span<const std::uint32_t> sorted() const;

    // Whether derive() and uncertainty() can answer without computing every
    // formula's value first (which a caller may want to do without its locks).
    bool values_ready() const noexcept;

    // Computes every formula's value now, if that has not been done.
    void prepare_values() const;

    // A seed's value, or a formula's value computed from its expression; the
    // text of the DerivationError for a formula whose value, or a value it
    // depends on, cannot be computed.
    Expected<double, std::string> derive(std::uint32_t row) const;

    // What one seed gives a propagated uncertainty: |∂f/∂x| σ.
    struct Contribution {
        std::uint32_t seed;
        double share;
    };

    // The standard uncertainty of a formula propagated to first order from
    // the seeds it reaches, with their uncertainties and correlations:
    // nullopt when none of them has one. A seed gives its own. With a
    // `budget`, also each seed's contribution |∂f/∂x| σ, largest first (ties
    // in byte order of the names), then, when correlations add to σ², one
    // with seed kNoIndex whose square, with its sign, is what they add.
    // Fails as derive() does, or when a partial
    // derivative on the way is not finite or the result is too large for a
    // double. Costs the size of the formula's ancestry.
    Expected<std::optional<double>, std::string> uncertainty(std::uint32_t row,
                                                             std::vector<Contribution>* budget = nullptr) const;

    // Correlations between seeds: each catalogue's own, in file order, and
    // per seed the seeds correlated with it (both ways, in file order).
    struct Correlation {
        std::uint32_t first;
        std::uint32_t second;
        double r;
    };
    std::span<const Correlation> correlations() const noexcept { return correlations_; }
    struct Partner {
        std::uint32_t seed;
        double r;
    };
    std::span<const Partner> partners(std::uint32_t seed) const;

    // What each seed that `row` reaches with a non-zero uncertainty gives
    // it: ∂f/∂x · σ, signed, in the order the reverse pass meets the seeds
    // (a seed gives its own σ); empty for an entry with no such seed. Fails
    // as uncertainty() does.
    struct Term {
        std::uint32_t seed;
        double t;
    };
    Expected<std::vector<Term>, std::string> terms(std::uint32_t row) const;
    // The covariance of two entries from their terms: the seeds' own part
    // (Σ tₓ t_y over the seeds both reach) and the correlations' part
    // (Σ r tₓ t_y over correlated seeds, each ordered pair), summed in the
    // order of `x` and each seed's partners.
    struct Covariance {
        double own;
        double correlated;
    };
    Covariance covariance(std::span<const Term> x, std::span<const Term> y) const;
    // The same over the correlations between seeds that `correlated` keeps.
    Covariance covariance(std::span<const Term> x, std::span<const Term> y,
                          FunctionRef<bool(std::uint32_t)> correlated) const;

    // The catalogue in the file format, as the pure twin's dumps() writes it:
    // the base's entries first, then this one's; without `with_base`, only
    // this one's (and the units it declares itself), a text that loads over
    // the same base into the same catalogue.
    std::string dumps(bool with_base = true) const;

private:
    friend class CatalogueBuilder;
    friend class ArrayEvaluation;

    struct Values {
        std::vector<double> value;          // per own formula
        std::vector<std::uint32_t> root;    // per own formula: kNoIndex, or the row whose fault stops it
        std::vector<ValueFault> fault;      // per own formula: the root's fault
        std::vector<std::uint8_t> flags;    // per own row: kUncertain, kInformed
    };
    static constexpr std::uint8_t kUncertain = 1;  // reaches a seed with a non-zero uncertainty
    static constexpr std::uint8_t kInformed = 2;   // reaches a seed with any uncertainty

    CatalogueStore() = default;
    // The store that holds row `index` itself: one step per span (below).
    const CatalogueStore& owner(std::uint32_t index) const noexcept {
        const CatalogueStore* store = this;
        while (index < store->first_own_) {
            if (index >= store->span_first_row()) return store->span_owner(index);
            store = store->below_span_;
        }
        return *store;
    }
    std::uint32_t span_first_row() const noexcept {
        return span_levels_.empty() ? first_own_ : span_levels_.front()->first_own_;
    }
    const CatalogueStore& span_owner(std::uint32_t index) const noexcept;
    std::vector<std::uint32_t> sort_rows() const;
    const Values& values() const;
    void compute_values(Values& values) const;
    // What the row's owner knows of it once every value is computed.
    double value_of(std::uint32_t row) const;
    std::uint8_t flags_of(std::uint32_t row) const;
    std::uint32_t root_of(std::uint32_t row) const;  // kNoIndex, or the formula row that stops it
    ValueFault fault_of(std::uint32_t row) const;
    std::string failure_text(std::uint32_t row) const;
    // The text for `row` failing because formula `root` has `fault`.
    std::string failure_text(std::uint32_t row, std::uint32_t root, ValueFault fault) const;
    // What the steps of uncertainty() read of a row: the catalogue's own
    // values, or, for an evaluation over arrays, one element's.
    struct DerivationView {
        FunctionRef<double(std::uint32_t)> value;
        FunctionRef<std::uint8_t(std::uint32_t)> flags;
        FunctionRef<double(std::uint32_t)> seed_uncertainty;
    };
    // The steps of uncertainty() (catalogue_values.cpp).
    std::vector<std::uint32_t> uncertain_ancestry(std::uint32_t row, std::unordered_map<std::uint32_t, double>& adjoint,
                                                  FunctionRef<std::uint8_t(std::uint32_t)> flags) const;
    void sort_budget(std::vector<Contribution>& budget) const;

    Expected<bool, std::string> collect_terms(std::uint32_t row, const std::vector<std::uint32_t>& finished,
                                              std::unordered_map<std::uint32_t, double>& adjoint,
                                              std::vector<Term>& terms, const DerivationView& view) const;
    // σ from the two parts of a variance: fails when it is past a double.
    Expected<double, std::string> deviation(std::uint32_t row, const Covariance& variance) const;

    const CatalogueStore* base_ = nullptr;
    std::uint32_t first_own_ = 0;
    std::vector<Correlation> correlations_;
    std::unordered_map<std::uint32_t, std::vector<Partner>> partners_;
    int version_ = 1;
    // Version 2: the units each distinct units text means (units_read_),
    // found by the text's index into texts_ (unit_of_text_, -1 for a
    // description's text): a formula's every load asks.
    std::vector<Unit> units_read_;
    std::vector<std::int32_t> unit_of_text_;
    std::shared_ptr<const DeclaredUnits> declared_;
    TextArena arena_;
    std::vector<std::string_view> texts_;  // distinct units and descriptions; texts_[0] is ""
    std::vector<CatalogueRow> rows_;  // in file order
    std::vector<CatalogueFormula> formulas_;  // each with its row's number
    std::vector<Instruction> code_;
    ConstantPool constants_;
    std::vector<std::uint32_t> dependencies_;
    std::vector<std::uint32_t> evaluation_order_;  // formulas, each after those it depends on
    std::optional<ShardedMap<NoValue, RowKey>> index_;
    // Symbols are few: the bases' and this catalogue's in one table, shared
    // with the base when this catalogue adds none; each own row's in another.
    std::shared_ptr<const SymbolTable> symbols_;
    std::unordered_map<std::uint32_t, std::string_view> own_symbols_;
    // Lookups down a chain of bases go span by span. A span is this store
    // and the consecutive bases under it that were joined when it was built:
    // bases whose own span weighed (one per level plus its rows) at most
    // twice what the span held so far. Spans thus at least double in weight
    // going down, so a lookup probes O(log n) indexes whatever the depth,
    // while joining copies at most about twice the new store's own keys (a
    // small catalogue over a large base copies nothing).
    void join_bases();
    const CatalogueStore* below_span_ = nullptr;
    std::uint64_t span_weight_ = 1;
    std::vector<const CatalogueStore*> span_levels_;  // root first, this store last; empty when it joined none
    std::optional<ShardedMap<std::uint32_t, RowKey>> span_index_;  // name to row over the span's levels
    std::string description_;

    mutable std::once_flag sorted_once_;
    mutable std::atomic<bool> sorted_ready_{false};
    mutable std::vector<std::uint32_t> sorted_;
    mutable std::once_flag values_once_;
    mutable std::atomic<bool> values_ready_{false};
    mutable Values values_;
};

// The level of `levels` (root first) that holds row `index`, and that row,
// found by bisection: log of the depth, for work that reads rows of any
// level in any order.
const CatalogueStore& level_holding(std::span<const CatalogueStore* const> levels, std::uint32_t index) noexcept;
const CatalogueRow& row_in(std::span<const CatalogueStore* const> levels, std::uint32_t index) noexcept;

}  // namespace veldra
