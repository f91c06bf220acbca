#include "catalogue/catalogue_builder.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>

#include "lookup/name_suggestion.hpp"
#include "support/hash_keys.hpp"
#include "support/parallel.hpp"
#include "support/shard_amount.hpp"
#include "support/short_text.hpp"

namespace veldra {
namespace {

std::string quoted(std::string_view before, std::string_view name, std::string_view after) {
    std::string text(before);
    text += ticked(name);
    text += after;
    return text;
}

// What the entry's status allows, or nullopt: the twin of _check_status.
std::optional<std::string> status_problem(const EntryFields& fields, ConstantStatus status) {
    const std::string_view name = status_text(status);
    if (status == ConstantStatus::Seed || status == ConstantStatus::External) {
        if (fields.expression) return quoted("a ", name, " entry takes no `expression`");
        if (!fields.value) return "missing field `value`";
        if (fields.dependencies && !fields.dependencies->empty()) {
            return quoted("a ", name, " entry takes no `dependencies`");
        }
        return std::nullopt;
    }
    if (!fields.expression) return "missing field `expression`";
    if (status == ConstantStatus::Pending && fields.value) return "a `Pending` entry takes no `value`";
    if (status == ConstantStatus::Cached && !fields.value) return "missing field `value`";
    return std::nullopt;
}

std::uint32_t narrow(std::size_t n) { return static_cast<std::uint32_t>(n); }

}  // namespace

CatalogueBuilder::CatalogueBuilder(std::string_view source, const CatalogueStore* base, int version)
    : store_(new CatalogueStore()), source_(source), text_keys_(next_map_keys()) {
    store_->version_ = version;
    store_->texts_.push_back({});
    store_->base_ = base;
    store_->below_span_ = base;  // until join_bases() joins some
    store_->first_own_ = base == nullptr ? 0 : narrow(base->size());
}

std::size_t CatalogueBuilder::count() const noexcept { return store_->rows_.size(); }

void CatalogueBuilder::reserve(std::size_t entries) {
    store_->rows_.reserve(std::min(entries, kMaxEntries));
}

std::optional<ConstantStatus> status_named(std::string_view text) noexcept {
    for (ConstantStatus status : {ConstantStatus::Seed, ConstantStatus::Cached, ConstantStatus::Pending,
                                  ConstantStatus::External}) {
        if (status_text(status) == text) return status;
    }
    return std::nullopt;
}

std::uint32_t CatalogueBuilder::intern(std::string_view text) {
    if (text.empty()) return 0;
    std::vector<std::string_view>& texts = store_->texts_;
    if (texts.size() * 2 >= text_table_.size()) {
        // Grow at half full: a probe then ends after a slot or two.
        std::vector<std::uint64_t> bigger(text_table_.empty() ? 1024 : text_table_.size() * 2, 0);
        for (std::uint64_t slot : text_table_) {
            if (slot == 0) continue;
            std::size_t i = hash_name(text_keys_, texts[(slot & 0xFFFFFFFF) - 1]) & (bigger.size() - 1);
            while (bigger[i] != 0) i = (i + 1) & (bigger.size() - 1);
            bigger[i] = slot;
        }
        text_table_ = std::move(bigger);
    }
    const std::uint64_t hash = hash_name(text_keys_, text);
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ULL;
    std::size_t i = hash & (text_table_.size() - 1);
    for (; text_table_[i] != 0; i = (i + 1) & (text_table_.size() - 1)) {
        const std::uint64_t slot = text_table_[i];
        if ((slot & 0xFFFFFFFF00000000ULL) == tag && same_text(texts[(slot & 0xFFFFFFFF) - 1], text)) {
            return static_cast<std::uint32_t>((slot & 0xFFFFFFFF) - 1);
        }
    }
    texts.push_back(store_->arena_.keep(text));
    text_table_[i] = tag | texts.size();
    return narrow(texts.size() - 1);
}

bool CatalogueBuilder::add(const EntryFields& fields) {
    // Rows keep these lengths in 32 bits. Only records can carry such texts
    // (a whole file is refused past 4 GiB), and nothing may read them first.
    const bool long_name = fields.name.size() > kMaxFieldBytes;
    if (long_name || fields.expression.value_or(std::string_view()).size() > kMaxFieldBytes) {
        refuse(entry_note(count(), long_name ? std::string_view() : fields.name, "a text longer than 4 GiB"));
        return false;
    }
    const ConstantStatus status =
        fields.status.value_or(fields.expression ? ConstantStatus::Pending : ConstantStatus::Seed);
    if (auto problem = status_problem(fields, status)) {
        refuse(entry_note(count(), fields.name, *problem));
        return false;
    }
    if (fields.symbol) {
        std::optional<std::string> problem;
        if (store_->version_ == 1) problem = "`symbol` needs version 2";
        else if (!is_formula_name(*fields.symbol)) problem = "`symbol` must be a name a formula can use, not " + ticked(*fields.symbol);
        if (problem) {
            refuse(entry_note(count(), fields.name, *problem));
            return false;
        }
    }
    CatalogueStore& store = *store_;
    if (count() == kMaxEntries || store.texts_.size() >= kMaxTexts - 2) {
        refuse(entry_note(count(), fields.name, "a catalogue holds at most 536870911 entries"));
        return false;
    }
    const std::string_view expression = fields.expression.value_or(std::string_view());
    char* text = store.arena_.allocate(fields.name.size() + expression.size());
    if (!fields.name.empty()) std::memcpy(text, fields.name.data(), fields.name.size());
    if (!expression.empty()) std::memcpy(text + fields.name.size(), expression.data(), expression.size());
    CatalogueRow row{};
    row.text = text;
    row.name_size = narrow(fields.name.size());
    row.formula = kNoIndex;
    row.units = intern(fields.units);
    row.description = intern(fields.description) & ((1u << 30) - 1);
    row.status_bits = static_cast<std::uint32_t>(status);
    row.value = fields.value.value_or(0.0);
    row.uncertainty = fields.uncertainty.value_or(std::numeric_limits<double>::quiet_NaN());
    if (fields.expression) {
        row.formula = narrow(store.formulas_.size());
        store.formulas_.push_back({store.first_own_ + narrow(count()), narrow(expression.size()), 0, 0, 0, 0, false});
        Listed listed{narrow(listed_names_.size()), 0, fields.dependencies.has_value()};
        if (fields.dependencies) {
            for (std::string_view dependency : *fields.dependencies) listed_names_.push_back(store.arena_.keep(dependency));
            listed.size = narrow(fields.dependencies->size());
        }
        listed_.push_back(listed);
    }
    if (fields.symbol) store.own_symbols_.emplace(store.first_own_ + narrow(count()), store.arena_.keep(*fields.symbol));
    store.rows_.push_back(row);
    return true;
}

void CatalogueBuilder::refuse(std::string note) { refused_ = std::move(note); }

// Builds the name index over this catalogue's own rows; a name taken twice
// is indexed once, which is how a repeat shows (first_repeated_name).
void CatalogueBuilder::build_name_index() {
    CatalogueStore& store = *store_;
    std::vector<std::pair<RowKey, NoValue>> keys;
    keys.reserve(store.rows_.size());
    for (const CatalogueRow& row : store.rows_) keys.push_back({RowKey{&row}, NoValue{}});
    store.index_.emplace(shard_amount(), std::span<const std::pair<RowKey, NoValue>>(keys));
}

// The first entry whose name the base catalogue holds, if any.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::first_name_in_base() const {
    const CatalogueStore& store = *store_;
    if (store.base_ == nullptr) return std::nullopt;
    for (std::size_t i = 0; i < store.rows_.size(); ++i) {
        if (store.base_->find_name(store.rows_[i].name()) == kNoIndex) continue;
        return Problem{i, 1, schema_failure(source_, entry_note(i, store.rows_[i].name(),
                                                                "duplicate name, first in the base catalogue"))};
    }
    return std::nullopt;
}

// The first entry that repeats a name an earlier entry took, if any; the
// index (built first) tells whether there is one before the search.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::first_repeated_name() const {
    const CatalogueStore& store = *store_;
    if (store.index_->len() == store.rows_.size()) return std::nullopt;
    std::unordered_map<std::string_view, std::size_t> first_at;
    for (std::size_t i = 0; i < store.rows_.size(); ++i) {
        auto [it, fresh] = first_at.emplace(store.rows_[i].name(), i);
        if (fresh) continue;
        return Problem{i, 1, schema_failure(source_, entry_note(i, store.rows_[i].name(),
                                                                "duplicate name, first at entry " +
                                                                    std::to_string(it->second)))};
    }
    return std::nullopt;
}

// The first entry whose symbol is taken: by an entry's name here or in the
// base, or by a symbol before it or in the base. A name may take a base's
// symbol (and hides it): files written before their base had symbols load.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::first_taken_symbol() const {
    const CatalogueStore& store = *store_;
    if (store.own_symbols_.empty()) return std::nullopt;
    const CatalogueStore* base = store.base_;
    const CatalogueStore::SymbolTable* base_symbols = base == nullptr ? nullptr : base->symbols();
    std::unordered_map<std::string_view, std::size_t> first_at;
    for (std::size_t i = 0; i < store.rows_.size(); ++i) {
        const auto own = store.own_symbols_.find(store.first_own_ + narrow(i));
        if (own == store.own_symbols_.end()) continue;
        const std::string_view symbol = own->second;
        std::string problem;
        std::uint32_t named = kNoIndex;
        store.index_->read(symbol, [&](const RowKey& key, const NoValue&) { named = narrow(key.row - store.rows_.data()); });
        if (named != kNoIndex) {
            problem = "is the name of entry " + std::to_string(named);
        } else if (base != nullptr && base->find_name(symbol) != kNoIndex) {
            problem = "is the name of an entry in the base catalogue";
        } else if (auto [it, fresh] = first_at.emplace(symbol, i); !fresh) {
            problem = "is taken, first at entry " + std::to_string(it->second);
        } else if (base_symbols != nullptr && base_symbols->contains(symbol)) {
            problem = "is taken in the base catalogue";
        } else {
            continue;
        }
        return Problem{i, 1, schema_failure(source_, entry_note(i, store.rows_[i].name(),
                                                                quoted("symbol ", symbol, " " + problem)))};
    }
    return std::nullopt;
}

// The first entry whose name is taken, in the base or by an earlier entry,
// or whose symbol is; at one entry the base is named, and a name comes first.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::first_taken_name() const {
    std::optional<Problem> first = first_name_in_base();
    for (std::optional<Problem> other : {first_repeated_name(), first_taken_symbol()}) {
        if (other && (!first || other->entry < first->entry)) first = std::move(other);
    }
    return first;
}

// The symbol table lookups and formulas read: the base's, with this
// catalogue's own added when it has any.
void CatalogueBuilder::build_symbol_table() {
    CatalogueStore& store = *store_;
    if (store.base_ != nullptr) store.symbols_ = store.base_->symbols_;
    if (store.own_symbols_.empty()) return;
    auto table = store.symbols_ ? std::make_shared<CatalogueStore::SymbolTable>(*store.symbols_)
                                : std::make_shared<CatalogueStore::SymbolTable>();
    for (const auto& [row, symbol] : store.own_symbols_) table->emplace(symbol, row);
    store.symbols_ = std::move(table);
}

// The first problem of single entries before the entry that was refused:
// a taken name, then (at an earlier entry) a formula that does not compile.
// Needs the name index.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::first_local_problem() {
    std::optional<Problem> taken = first_taken_name();
    if (auto bad = compile_formulas(taken ? taken->entry : store_->rows_.size())) return bad;
    return taken;
}

struct CatalogueBuilder::Compiled {
    std::vector<Instruction> code;
    ConstantPool constants;
    std::vector<std::string_view> names;
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> used;  // per formula of the part: how many names it uses
    std::optional<Problem> problem;   // the part's first formula that does not compile
};

// Compiles formulas [begin, end) into `out`, code and numbers of its own;
// stops at the first that does not compile, noting it in out.problem.
void CatalogueBuilder::compile_part(std::size_t begin, std::size_t end, Compiled& out) {
    CatalogueStore& store = *store_;
    FormulaCompiler compiler;
    CompiledFormula compiled;
    std::vector<std::string_view> listed;
    for (std::size_t f = begin; f < end; ++f) {
        CatalogueFormula& formula = store.formulas_[f];
        const CatalogueRow& row = store.row(formula.row);
        const Listed& given = listed_[f];
        listed.assign(listed_names_.begin() + given.begin, listed_names_.begin() + given.begin + given.size);
        if (auto detail = compiler.compile(row.name(), store.expression(formula.row), given.given ? &listed : nullptr,
                                           out.constants, compiled)) {
            out.problem = Problem{formula.row - store.first_own_, 2, parse_failure(row.name(), std::move(*detail))};
            return;
        }
        formula.code_begin = narrow(out.code.size());
        formula.code_size = narrow(compiled.code.size());
        formula.default_dependencies = FormulaCompiler::uses_default_dependencies(compiled);
        out.code.insert(out.code.end(), compiled.code.begin(), compiled.code.end());
        // The names are views into the arena (the text or the listed copy).
        out.names.insert(out.names.end(), compiled.dependencies.begin(), compiled.dependencies.end());
        out.offsets.insert(out.offsets.end(), compiled.offsets.begin(), compiled.offsets.end());
        out.used.push_back(narrow(compiled.dependencies.size()));
    }
}

// Joins a compiled part whose first formula is `first` after the parts
// before it: its numbers into the store's pool, its code after the code
// before, its names and offsets after theirs. A pool grown past its limit is
// blamed on the part's first formula with a number past the limit.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::join_part(Compiled& part, std::size_t first) {
    CatalogueStore& store = *store_;
    std::vector<std::uint32_t> moved(part.constants.size());
    for (std::size_t i = 0; i < moved.size(); ++i) moved[i] = store.constants_.add(part.constants.values()[i]);
    if (!moved.empty() && *std::max_element(moved.begin(), moved.end()) > kMaxArgument) {
        std::size_t f = first;
        auto past_limit = [&](const Instruction& step) { return step.op == Op::Number && moved[step.arg] > kMaxArgument; };
        while (!std::any_of(part.code.begin() + store.formulas_[f].code_begin,
                            part.code.begin() + store.formulas_[f].code_begin + store.formulas_[f].code_size, past_limit)) {
            ++f;
        }
        const CatalogueRow& row = store.row(store.formulas_[f].row);
        return Problem{store.formulas_[f].row - store.first_own_, 2,
                       parse_failure(row.name(), "the catalogue's formulas hold more than 16777215 distinct numbers")};
    }
    const auto shift = narrow(store.code_.size());
    for (Instruction& step : part.code) {
        if (step.op == Op::Number) step.arg = moved[step.arg];
    }
    store.code_.insert(store.code_.end(), part.code.begin(), part.code.end());
    for (std::size_t i = 0; i < part.used.size(); ++i) {
        store.formulas_[first + i].code_begin += shift;
        used_begin_.push_back(narrow(offsets_.size()));
        offsets_.resize(offsets_.size() + part.used[i]);
    }
    offsets_.resize(offsets_.size() - part.offsets.size());
    offsets_.insert(offsets_.end(), part.offsets.begin(), part.offsets.end());
    used_names_.insert(used_names_.end(), part.names.begin(), part.names.end());
    return std::nullopt;
}

// Compiles every formula of an entry before `limit`, the parts on threads of
// their own, then joins their code and numbers in file order; the first
// formula that does not compile is the problem.
std::optional<CatalogueBuilder::Problem> CatalogueBuilder::compile_formulas(std::size_t limit) {
    CatalogueStore& store = *store_;
    std::size_t formulas = 0;
    while (formulas < store.formulas_.size() && store.formulas_[formulas].row - store.first_own_ < limit) ++formulas;
    std::vector<Compiled> parts(worker_threads());
    std::vector<std::size_t> starts(parts.size() + 1, formulas);
    const std::size_t used = for_each_part(formulas, 20000, [&](std::size_t part, std::size_t begin, std::size_t end) {
        starts[part] = begin;
        compile_part(begin, end, parts[part]);
    });
    for (std::size_t part = 0; part < used; ++part) {
        if (parts[part].problem) return std::move(parts[part].problem);
    }
    used_begin_.reserve(formulas + 1);
    for (std::size_t part = 0; part < used; ++part) {
        if (auto problem = join_part(parts[part], starts[part])) return problem;
        parts[part] = Compiled{};
    }
    used_begin_.push_back(narrow(offsets_.size()));
    return std::nullopt;
}

// Every name a formula uses, as a row; on threads of their own when there
// are many, as the index is only read.
std::optional<CatalogueFailure> CatalogueBuilder::resolve_dependencies() {
    CatalogueStore& store = *store_;
    const std::size_t formulas = store.formulas_.size();
    store.dependencies_.resize(offsets_.size());
    std::vector<std::pair<std::size_t, std::size_t>> missing(worker_threads(), {kNoIndex, 0});
    for_each_part(formulas, 20000, [&](std::size_t part, std::size_t begin, std::size_t end) {
        for (std::size_t f = begin; f < end; ++f) {
            CatalogueFormula& formula = store.formulas_[f];
            formula.dependencies_begin = used_begin_[f];
            formula.dependencies_size = used_begin_[f + 1] - used_begin_[f];
            std::size_t first = kNoIndex;
            for (std::uint32_t slot = used_begin_[f]; slot < used_begin_[f + 1]; ++slot) {
                const std::uint32_t row = store.find(used_names_[slot]);
                store.dependencies_[slot] = row;
                if (row == kNoIndex && (first == kNoIndex || offsets_[slot] < offsets_[first])) first = slot;
            }
            if (first != kNoIndex) {
                missing[part] = {f, first};
                return;
            }
        }
    });
    for (const auto& [f, slot] : missing) {
        if (f == kNoIndex) continue;
        CatalogueFailure failure = parse_failure(store.row(store.formulas_[f].row).name(),
                                                 ticked(used_names_[slot]) + " at offset " +
                                                     std::to_string(offsets_[slot]) + " is not in the catalogue");
        // The hint a lookup of the name would give.
        if (const auto suggestion = store.suggestion_for(used_names_[slot])) failure.note = suggestion_note(*suggestion);
        return failure;
    }
    used_names_ = {};
    offsets_ = {};
    return std::nullopt;
}

// The formula of row `row` if this catalogue holds it (a base's formulas are ordered already), else kNoIndex.
std::uint32_t CatalogueBuilder::own_formula(std::uint32_t row) const noexcept {
    return row < store_->first_own_ ? kNoIndex : store_->rows_[row - store_->first_own_].formula;
}

std::optional<CatalogueFailure> CatalogueBuilder::order_formulas() {
    CatalogueStore& store = *store_;
    const std::size_t formulas = store.formulas_.size();
    // waiting[f]: dependencies of f that are formulas not yet ordered;
    // dependents of each formula, as one array cut by `starts`.
    std::vector<std::uint32_t> waiting(formulas, 0);
    std::vector<std::uint32_t> starts(formulas + 1, 0);
    for (std::size_t f = 0; f < formulas; ++f) {
        for (std::uint32_t row : store.dependencies(store.formulas_[f].row)) {
            const std::uint32_t g = own_formula(row);
            if (g == kNoIndex) continue;
            ++waiting[f];
            ++starts[g + 1];
        }
    }
    for (std::size_t f = 0; f < formulas; ++f) starts[f + 1] += starts[f];
    std::vector<std::uint32_t> dependents(starts[formulas]);
    std::vector<std::uint32_t> filled(starts.begin(), starts.end() - 1);
    for (std::size_t f = 0; f < formulas; ++f) {
        for (std::uint32_t row : store.dependencies(store.formulas_[f].row)) {
            const std::uint32_t g = own_formula(row);
            if (g != kNoIndex) dependents[filled[g]++] = narrow(f);
        }
    }
    filled = {};
    std::vector<std::uint32_t>& order = store.evaluation_order_;
    order.reserve(formulas);
    for (std::size_t f = 0; f < formulas; ++f) {
        if (waiting[f] == 0) order.push_back(narrow(f));
    }
    for (std::size_t next = 0; next < order.size(); ++next) {
        const std::uint32_t f = order[next];
        for (std::uint32_t i = starts[f]; i < starts[f + 1]; ++i) {
            if (--waiting[dependents[i]] == 0) order.push_back(dependents[i]);
        }
    }
    if (order.size() < formulas) return cycle_through(waiting);
    return std::nullopt;
}

// The formulas left once ordering stops wait on a cycle or lie on one; the
// edges among them run to the dependencies also left, in dependency order.
template <class Visit>
void CatalogueBuilder::for_each_waiting_dependency(std::uint32_t f, const std::vector<std::uint32_t>& waiting,
                                                   Visit&& visit) const {
    for (std::uint32_t row : store_->dependencies(store_->formulas_[f].row)) {
        const std::uint32_t g = own_formula(row);
        if (g != kNoIndex && waiting[g] > 0) visit(g);
    }
}

// Per formula, the strongly connected component it lies in when that lies
// on a cycle (two members or more, or an edge to itself), else kNoIndex:
// Tarjan's algorithm over the waiting formulas, with explicit stacks.
std::vector<std::uint32_t> CatalogueBuilder::cyclic_components(const std::vector<std::uint32_t>& waiting) const {
    const CatalogueStore& store = *store_;
    const std::size_t formulas = store.formulas_.size();
    std::vector<std::uint32_t> index(formulas, kNoIndex), low(formulas), component(formulas, kNoIndex);
    std::vector<std::uint8_t> on_stack(formulas, 0);
    std::vector<std::uint32_t> stack;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> work;  // (formula, next dependency position)
    std::uint32_t counter = 0;
    const auto visit = [&](std::uint32_t f) {
        index[f] = low[f] = counter++;
        stack.push_back(f);
        on_stack[f] = 1;
        work.push_back({f, 0});
    };
    for (std::uint32_t root = 0; root < formulas; ++root) {
        if (waiting[root] == 0 || index[root] != kNoIndex) continue;
        visit(root);
        while (!work.empty()) {
            auto& [node, position] = work.back();
            const auto deps = store.dependencies(store.formulas_[node].row);
            bool descended = false;
            while (position < deps.size()) {
                const std::uint32_t target = own_formula(deps[position++]);
                if (target == kNoIndex || waiting[target] == 0) continue;
                if (index[target] == kNoIndex) {
                    visit(target);
                    descended = true;
                    break;
                }
                if (on_stack[target]) low[node] = std::min(low[node], index[target]);
            }
            if (descended) continue;
            const std::uint32_t done = node;
            work.pop_back();
            if (!work.empty()) low[work.back().first] = std::min(low[work.back().first], low[done]);
            if (low[done] != index[done]) continue;
            std::size_t first = stack.size();
            while (stack[--first] != done) {
            }
            bool self_edge = false;
            for_each_waiting_dependency(done, waiting, [&](std::uint32_t g) { self_edge |= g == done; });
            if (stack.size() - first > 1 || self_edge) {
                for (std::size_t i = first; i < stack.size(); ++i) component[stack[i]] = index[done];
            }
            for (std::size_t i = first; i < stack.size(); ++i) on_stack[stack[i]] = 0;
            stack.resize(first);
        }
    }
    return component;
}

// The shortest way from formula `start` back to itself within its
// component, breadth first with dependencies in order: the formulas on it,
// last first, ending with `start`.
std::vector<std::uint32_t> CatalogueBuilder::shortest_cycle(std::uint32_t start,
                                                            const std::vector<std::uint32_t>& component,
                                                            const std::vector<std::uint32_t>& waiting) const {
    std::vector<std::uint32_t> parent(store_->formulas_.size(), kNoIndex);
    std::deque<std::uint32_t> queue{start};
    parent[start] = start;
    std::vector<std::uint32_t> path;
    while (path.empty()) {
        const std::uint32_t node = queue.front();
        queue.pop_front();
        for_each_waiting_dependency(node, waiting, [&](std::uint32_t g) {
            if (!path.empty()) return;
            if (g == start) {
                for (std::uint32_t at = node; at != start; at = parent[at]) path.push_back(at);
                path.push_back(start);
                return;
            }
            if (component[g] == component[start] && parent[g] == kNoIndex) {
                parent[g] = node;
                queue.push_back(g);
            }
        });
    }
    return path;
}

// The cycle to report, given the formulas ordering left waiting: through
// the first formula in file order that lies on one ("a -> b -> a").
CatalogueFailure CatalogueBuilder::cycle_through(const std::vector<std::uint32_t>& waiting) {
    const CatalogueStore& store = *store_;
    const std::vector<std::uint32_t> component = cyclic_components(waiting);
    std::uint32_t start = 0;
    while (component[start] == kNoIndex) ++start;
    const std::vector<std::uint32_t> path = shortest_cycle(start, component, waiting);
    std::string note;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        note += store.row(store.formulas_[*it].row).name();
        note += " -> ";
    }
    const std::string_view name = store.row(store.formulas_[start].row).name();
    note += name;
    return {RegistryError{CyclicDerivation{std::string(name)}}, std::move(note), {}};
}

Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> CatalogueBuilder::finish(std::string description) && {
    const CatalogueStore* base = store_->base_;
    if (store_->version_ == 2 && base != nullptr && base->version_ == 1) {
        return unexpected(schema_failure(source_, kOverVersion1Base));
    }
    build_name_index();
    if (auto problem = first_local_problem()) return unexpected(std::move(problem->failure));
    if (refused_) return unexpected(schema_failure(source_, std::move(*refused_)));
    build_symbol_table();
    if (auto failure = resolve_dependencies()) return unexpected(std::move(*failure));
    if (auto failure = order_formulas()) return unexpected(std::move(*failure));
    if (store_->version_ == 2) {
        if (auto failure = read_units()) return unexpected(std::move(*failure));
        if (auto failure = check_dimensions()) return unexpected(std::move(*failure));
        convert_through_si();
        if (!given_correlations_.empty()) {
            if (auto failure = check_correlations()) return unexpected(std::move(*failure));
        }
    } else if (base != nullptr) {
        // A version-1 catalogue reads no units itself, but converting its
        // entries' texts on request knows its base's declared units.
        store_->declared_ = base->declared_;
    }
    store_->join_bases();
    store_->description_ = std::move(description);
    return std::move(store_);
}

}  // namespace veldra
