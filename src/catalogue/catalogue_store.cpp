#include "catalogue/catalogue_store.hpp"

#include <algorithm>

#include "catalogue/file_format.hpp"
#include "json/json_writer.hpp"
#include "lookup/name_suggestion.hpp"
#include "support/shard_amount.hpp"
#include "support/name_order.hpp"
#include "support/parallel.hpp"

namespace veldra {

std::uint32_t CatalogueStore::find(std::string_view name) const {
    const std::uint32_t named = find_name(name);
    if (named != kNoIndex || !symbols_) return named;
    const auto symbol = symbols_->find(name);
    return symbol == symbols_->end() ? kNoIndex : symbol->second;
}

std::optional<std::string> CatalogueStore::suggestion_for(std::string_view name) const {
    const std::vector<const CatalogueStore*> chain = levels();
    std::vector<std::string_view> symbols;
    if (symbols_) {
        for (const auto& [symbol, row] : *symbols_) symbols.push_back(symbol);
    }
    return suggest_name(name, size() + symbols.size(), [&](std::size_t i) {
        return i < size() ? row_in(chain, static_cast<std::uint32_t>(i)).name() : symbols[i - size()];
    });
}

std::string_view CatalogueStore::symbol(std::uint32_t index) const {
    const CatalogueStore& store = owner(index);
    const auto found = store.own_symbols_.find(index);
    return found == store.own_symbols_.end() ? std::string_view() : found->second;
}

std::uint32_t CatalogueStore::find_name(std::string_view name) const {
    for (const CatalogueStore* store = this; store != nullptr; store = store->below_span_) {
        std::uint32_t found = kNoIndex;
        if (store->span_index_) {
            store->span_index_->read(name, [&](const RowKey&, const std::uint32_t& row) { found = row; });
        } else {
            store->index_->read(name, [&](const RowKey& key, const NoValue&) {
                found = store->first_own_ + static_cast<std::uint32_t>(key.row - store->rows_.data());
            });
        }
        if (found != kNoIndex) return found;
    }
    return kNoIndex;
}

const CatalogueStore& CatalogueStore::span_owner(std::uint32_t index) const noexcept {
    return level_holding(span_levels_, index);
}

void CatalogueStore::join_bases() {
    below_span_ = base_;
    span_weight_ = rows_.size() + 1;
    while (below_span_ != nullptr && below_span_->span_weight_ <= 2 * span_weight_) {
        span_weight_ += below_span_->span_weight_;
        below_span_ = below_span_->below_span_;
    }
    if (below_span_ == base_) return;
    for (const CatalogueStore* level = this; level != below_span_; level = level->base_) span_levels_.push_back(level);
    std::reverse(span_levels_.begin(), span_levels_.end());
    std::vector<std::pair<RowKey, std::uint32_t>> keys;
    keys.reserve(size() - span_first_row());
    for (const CatalogueStore* level : span_levels_) {
        for (std::uint32_t i = 0; i < level->rows_.size(); ++i) {
            keys.push_back({RowKey{&level->rows_[i]}, level->first_own_ + i});
        }
    }
    span_index_.emplace(shard_amount(), std::span<const std::pair<RowKey, std::uint32_t>>(keys));
}

std::vector<const CatalogueStore*> CatalogueStore::levels() const {
    std::vector<const CatalogueStore*> chain;
    for (const CatalogueStore* store = this; store != nullptr; store = store->base_) chain.push_back(store);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

const CatalogueStore& level_holding(std::span<const CatalogueStore* const> levels, std::uint32_t index) noexcept {
    const auto after = std::upper_bound(levels.begin(), levels.end(), index,
                                        [](std::uint32_t i, const CatalogueStore* s) { return i < s->first_own(); });
    return **(after - 1);
}

const CatalogueRow& row_in(std::span<const CatalogueStore* const> levels, std::uint32_t index) noexcept {
    return level_holding(levels, index).row(index);
}

namespace {

// A row with its name at hand, so that sorting compares texts without
// finding the row's store each time, and with the name's first eight bytes
// as a number: most comparisons end there, without reading the text, which
// over a chain of bases lies in as many arenas as there are levels.
struct NamedRow {
    std::uint64_t prefix;  // the first bytes, big-endian, zero-padded
    const char* text;
    std::uint32_t size;
    std::uint32_t index;
    std::string_view name() const noexcept { return {text, size}; }
};

NamedRow named_row(const CatalogueRow& row, std::uint32_t index) noexcept {
    std::uint64_t prefix = 0;
    for (std::uint32_t i = 0; i < 8; ++i) {
        prefix = (prefix << 8) | (i < row.name_size ? static_cast<unsigned char>(row.text[i]) : 0u);
    }
    return {prefix, row.text, row.name_size, index};
}

// Byte order: a prefix that differs decides (zero padding sorts a shorter
// name first); equal prefixes compare the whole names.
bool name_less(const NamedRow& a, const NamedRow& b) noexcept {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return byte_less(a.name(), b.name());
}

void sort_named(std::vector<NamedRow>& rows) {
    // Two halves sorted side by side, then merged: sorting a million
    // names is most of what listing them costs.
    const auto middle = rows.begin() + static_cast<std::ptrdiff_t>(rows.size() / 2);
    if (rows.size() >= 65536 && worker_threads() > 1) {
        for_each_part(2, 1, [&](std::size_t part, std::size_t, std::size_t) {
            if (part == 0) std::sort(rows.begin(), middle, name_less);
            else std::sort(middle, rows.end(), name_less);
        });
        std::inplace_merge(rows.begin(), middle, rows.end(), name_less);
    } else {
        std::sort(rows.begin(), rows.end(), name_less);
    }
}

}  // namespace

std::span<const std::uint32_t> CatalogueStore::dependencies(std::uint32_t row) const noexcept {
    const CatalogueStore& store = owner(row);
    const std::uint32_t formula = store.rows_[row - store.first_own_].formula;
    if (formula == kNoIndex) return {};
    const CatalogueFormula& f = store.formulas_[formula];
    return {store.dependencies_.data() + f.dependencies_begin, f.dependencies_size};
}

const Unit* CatalogueStore::unit(std::uint32_t index) const noexcept {
    const CatalogueStore& store = owner(index);
    if (store.version_ != 2) return nullptr;
    const std::uint32_t text = store.rows_[index - store.first_own_].units;
    if (text >= store.unit_of_text_.size() || store.unit_of_text_[text] < 0) return nullptr;
    return &store.units_read_[static_cast<std::size_t>(store.unit_of_text_[text])];
}

std::string_view CatalogueStore::units(std::uint32_t index) const noexcept {
    const CatalogueStore& store = owner(index);
    return store.texts_[store.rows_[index - store.first_own_].units];
}

std::string_view CatalogueStore::description(std::uint32_t index) const noexcept {
    const CatalogueStore& store = owner(index);
    return store.texts_[store.rows_[index - store.first_own_].description];
}

std::string_view CatalogueStore::expression(std::uint32_t index) const noexcept {
    const CatalogueStore& store = owner(index);
    const CatalogueRow& row = store.rows_[index - store.first_own_];
    if (!row.is_formula()) return {};
    return {row.text + row.name_size, store.formulas_[row.formula].expression_size};
}

bool CatalogueStore::uses_default_dependencies(std::uint32_t index) const noexcept {
    const CatalogueStore& store = owner(index);
    const CatalogueRow& row = store.rows_[index - store.first_own_];
    return !row.is_formula() || store.formulas_[row.formula].default_dependencies;
}

std::span<const std::uint32_t> CatalogueStore::sorted() const {
    std::call_once(sorted_once_, [this] {
        sorted_ = sort_rows();
        sorted_ready_.store(true, std::memory_order_release);
    });
    return sorted_;
}

namespace {

// The own rows of `levels`, each with its name at hand, in byte order.
std::vector<NamedRow> sorted_named_rows(std::span<const CatalogueStore* const> levels) {
    std::size_t count = 0;
    for (const CatalogueStore* store : levels) count += store->own_end() - store->first_own();
    std::vector<NamedRow> rows;
    rows.reserve(count);
    for (const CatalogueStore* store : levels) {
        for (std::uint32_t i = store->first_own(); i < store->own_end(); ++i) rows.push_back(named_row(store->row(i), i));
    }
    sort_named(rows);
    return rows;
}

// `rows` merged with `listed`'s listing, made already, whose rows all lie
// below them; `total` rows in all. A few names over a large listing are
// placed by bisection, the listing copied in between; otherwise the two are
// merged name by name.
std::vector<std::uint32_t> merged_with_listing(const std::vector<NamedRow>& rows, const CatalogueStore& listed,
                                               std::size_t total) {
    std::vector<std::uint32_t> order;
    order.reserve(total);
    const std::vector<const CatalogueStore*> levels = listed.levels();
    const std::span<const std::uint32_t> below = listed.sorted();
    const auto listed_before = [&levels](std::uint32_t index, std::string_view name) {
        return byte_less(row_in(levels, index).name(), name);
    };
    auto next = below.begin();
    if (rows.size() * 16 < below.size()) {
        for (const NamedRow& row : rows) {
            const auto at = std::lower_bound(next, below.end(), row.name(), listed_before);
            order.insert(order.end(), next, at);
            order.push_back(row.index);
            next = at;
        }
        order.insert(order.end(), next, below.end());
        return order;
    }
    auto mine = rows.begin();
    for (; next != below.end(); ++next) {
        for (; mine != rows.end() && !listed_before(*next, mine->name()); ++mine) order.push_back(mine->index);
        order.push_back(*next);
    }
    for (; mine != rows.end(); ++mine) order.push_back(mine->index);
    return order;
}

}  // namespace

std::vector<std::uint32_t> CatalogueStore::sort_rows() const {
    // The levels down to the nearest base whose listing is made already;
    // the base's listing is not made for this (each level of a deep chain
    // would hold a listing of every level under it).
    std::vector<const CatalogueStore*> unlisted;
    const CatalogueStore* listed = nullptr;
    for (const CatalogueStore* store = this; store != nullptr; store = store->base_) {
        if (store != this && store->sorted_ready_.load(std::memory_order_acquire)) {
            listed = store;
            break;
        }
        unlisted.push_back(store);
    }
    const std::vector<NamedRow> rows = sorted_named_rows(unlisted);
    if (listed != nullptr) return merged_with_listing(rows, *listed, size());
    std::vector<std::uint32_t> order;
    order.reserve(size());
    for (const NamedRow& row : rows) order.push_back(row.index);
    return order;
}

namespace {

// The units a version-2 catalogue declares, one a line.
void write_declarations(JsonCursor& out, std::span<const DeclaredUnits::Declaration> declarations) {
    if (declarations.empty()) return;
    out.put("  \"units\": {\n");
    for (std::size_t i = 0; i < declarations.size(); ++i) {
        out.put("    ");
        out.string(declarations[i].name);
        out.put(": ");
        if (declarations[i].definition) {
            out.string(*declarations[i].definition);
        } else {
            out.put("null");
        }
        out.put(i + 1 < declarations.size() ? ",\n" : "\n");
    }
    out.put("  },\n");
}

// The top level's fields before the entries: the format, its version, and
// the description when there is one.
void write_top_level(JsonCursor& out, int version, std::string_view description) {
    out.put("{\n  \"format\": \"");
    out.put(kFormatName);
    out.put("\",\n  \"version\": ");
    out.put(std::to_string(version));
    out.put(",\n");
    if (!description.empty()) {
        out.put("  \"description\": ");
        out.string(description);
        out.put(",\n");
    }
}

// Row `i`'s dependency list, by name, unless it is what a file without a
// list means. `chain` is the levels of the catalogue written, root first.
void write_dependencies(JsonCursor& out, const CatalogueStore& store, std::uint32_t i,
                        std::span<const CatalogueStore* const> chain) {
    if (store.uses_default_dependencies(i)) return;
    const auto rows = store.dependencies(i);
    // A list names each entry as the text does, which may be by its symbol.
    CompiledFormula used;
    if (std::any_of(rows.begin(), rows.end(), [&](std::uint32_t row) { return !store.symbol(row).empty(); })) {
        ConstantPool numbers;
        FormulaCompiler().compile(store.row(i).name(), store.expression(i), nullptr, numbers, used);
    }
    out.put(", \"dependencies\": [");
    for (std::size_t slot = 0; slot < rows.size(); ++slot) {
        if (slot != 0) out.put(", ");
        // The slot-th spelling of the entry, when the text spells it more than one way.
        std::size_t earlier = static_cast<std::size_t>(std::count(rows.begin(), rows.begin() + slot, rows[slot]));
        std::string_view text = row_in(chain, rows[slot]).name();
        for (std::string_view spelling : used.dependencies) {
            if (store.find(spelling) == rows[slot] && earlier-- == 0) {
                text = spelling;
                break;
            }
        }
        out.string(text);
    }
    out.put("]");
}

// Row `i` of `store` (its own row `entry`) as one line's object, as the pure
// twin writes it: value, uncertainty, status and description only when they
// say more than their absence would; its symbol unless an entry of `top`
// (the catalogue written) is named so, which would take it in one text.
void write_entry(JsonCursor& out, const CatalogueStore& store, const CatalogueRow& entry, std::uint32_t i,
                 std::span<const CatalogueStore* const> chain, const CatalogueStore& top) {
    out.put("{\"name\": ");
    out.string(entry.name());
    if (const std::string_view symbol = store.symbol(i); !symbol.empty() && top.find_name(symbol) == kNoIndex) {
        out.put(", \"symbol\": ");
        out.string(symbol);
    }
    out.put(", \"units\": ");
    out.string(store.units(i));
    if (entry.status() != ConstantStatus::Pending) {
        out.put(", \"value\": ");
        out.repr_number(entry.value);
    }
    if (entry.has_uncertainty()) {
        out.put(", \"uncertainty\": ");
        out.repr_number(entry.uncertainty);
    }
    const ConstantStatus usual = entry.is_formula() ? ConstantStatus::Pending : ConstantStatus::Seed;
    if (entry.status() != usual) {
        out.put(", \"status\": \"");
        out.put(status_text(entry.status()));
        out.put("\"");
    }
    if (entry.is_formula()) {
        out.put(", \"expression\": ");
        out.string(store.expression(i));
        write_dependencies(out, store, i, chain);
    }
    if (entry.description != 0) {
        out.put(", \"description\": ");
        out.string(store.description(i));
    }
    out.put("}");
}

// The correlations of `store` (and of its bases, with `with_base`), one a
// line, by the seeds' names.
void write_correlations(JsonCursor& out, const CatalogueStore& store, bool with_base) {
    bool first = true;
    for (const CatalogueStore* level : store.levels()) {
        if (!with_base && level != &store) continue;
        for (const CatalogueStore::Correlation& c : level->correlations()) {
            out.put(first ? "  \"correlations\": [\n    [" : ",\n    [");
            first = false;
            out.string(level->row(c.first).name());
            out.put(", ");
            out.string(level->row(c.second).name());
            out.put(", ");
            out.repr_number(c.r);
            out.put("]");
        }
    }
    if (!first) out.put("\n  ],\n");
}

}  // namespace

std::string CatalogueStore::dumps(bool with_base) const {
    std::string text;
    text.reserve(arena_.bytes() + rows_.size() * 96 + 128);
    {
        JsonCursor out(text);
        write_top_level(out, version_, description_);
        if (declared_ && version_ == 2) {
            // The bases' units come first; a text with the bases' entries holds them too.
            std::span<const DeclaredUnits::Declaration> declared = declared_->declarations();
            const std::size_t inherited = base_ != nullptr && base_->declared_ ? base_->declared_->declarations().size() : 0;
            write_declarations(out, with_base ? declared : declared.subspan(inherited));
        }
        if (version_ == 2) write_correlations(out, *this, with_base);
        if ((with_base ? size() : rows_.size()) == 0) {
            out.put("  \"constants\": []\n}\n");
        } else {
            out.put("  \"constants\": [\n");
            // Level by level, root first: a row's store is known without a search.
            const std::vector<const CatalogueStore*> chain = levels();
            bool first_entry = true;
            for (const CatalogueStore* level : chain) {
                if (!with_base && level != this) continue;
                for (std::uint32_t own = 0; own < level->rows_.size(); ++own) {
                    out.put(first_entry ? "    " : ",\n    ");
                    first_entry = false;
                    write_entry(out, *level, level->rows_[own], level->first_own_ + own, chain, *this);
                }
            }
            out.put("\n  ]\n}\n");
        }
    }
    return text;
}

}  // namespace veldra
