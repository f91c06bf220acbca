#include "catalogue/catalogue_store.hpp"

#include <algorithm>

#include "json/json_writer.hpp"
#include "support/name_order.hpp"
#include "support/parallel.hpp"

namespace veldra {

std::uint32_t CatalogueStore::find(std::string_view name) const {
    std::uint32_t found = kNoIndex;
    index_->read(name, [&](const RowKey& key, const NoValue&) {
        found = first_own_ + static_cast<std::uint32_t>(key.row - rows_.data());
    });
    if (found == kNoIndex && base_ != nullptr) return base_->find(name);
    return found;
}

std::span<const std::uint32_t> CatalogueStore::dependencies(std::uint32_t row) const noexcept {
    const CatalogueStore& store = owner(row);
    const std::uint32_t formula = store.rows_[row - store.first_own_].formula;
    if (formula == kNoIndex) return {};
    const CatalogueFormula& f = store.formulas_[formula];
    return {store.dependencies_.data() + f.dependencies_begin, f.dependencies_size};
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
        std::vector<std::uint32_t> order(rows_.size());
        for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = first_own_ + i;
        auto by_name = [this](std::uint32_t a, std::uint32_t b) { return byte_less(row(a).name(), row(b).name()); };
        // Two halves sorted side by side, then merged: sorting a million
        // names is most of what listing them costs.
        const auto middle = order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2);
        if (order.size() >= 65536 && worker_threads() > 1) {
            for_each_part(2, 1, [&](std::size_t part, std::size_t, std::size_t) {
                if (part == 0) std::sort(order.begin(), middle, by_name);
                else std::sort(middle, order.end(), by_name);
            });
            std::inplace_merge(order.begin(), middle, order.end(), by_name);
        } else {
            std::sort(order.begin(), order.end(), by_name);
        }
        if (base_ != nullptr) {
            // The base's names come in order already; its rows come first.
            const auto base_sorted = base_->sorted();
            order.insert(order.begin(), base_sorted.begin(), base_sorted.end());
            std::inplace_merge(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(base_sorted.size()),
                               order.end(), by_name);
        }
        sorted_ = std::move(order);
    });
    return sorted_;
}

namespace {

class Writer {
public:
    void piece(std::string_view text) { out_ += text; }
    void string(std::string_view text) {
        const std::size_t at = out_.size();
        out_.resize(at + json_string_bytes(text));
        out_.resize(static_cast<std::size_t>(put_json_string(out_.data() + at, text) - out_.data()));
    }
    void number(double x) {
        const std::size_t at = out_.size();
        out_.resize(at + kNumberScratch);
        out_.resize(static_cast<std::size_t>(put_repr_number(out_.data() + at, x) - out_.data()));
    }
    std::string take() { return std::move(out_); }
    void reserve(std::size_t bytes) { out_.reserve(bytes); }

private:
    std::string out_;
};

}  // namespace

std::string CatalogueStore::dumps() const {
    Writer out;
    out.reserve(arena_.bytes() + rows_.size() * 96 + 128);
    out.piece("{\n  \"format\": \"ostrelin-catalogue\",\n  \"version\": 1,\n");
    if (!description_.empty()) {
        out.piece("  \"description\": ");
        out.string(description_);
        out.piece(",\n");
    }
    if (size() == 0) {
        out.piece("  \"constants\": []\n}\n");
        return out.take();
    }
    out.piece("  \"constants\": [\n");
    for (std::uint32_t i = 0; i < size(); ++i) {
        const CatalogueRow& entry = row(i);
        out.piece(i == 0 ? "    {\"name\": " : ",\n    {\"name\": ");
        out.string(entry.name());
        out.piece(", \"units\": ");
        out.string(units(i));
        if (entry.status() != ConstantStatus::Pending) {
            out.piece(", \"value\": ");
            out.number(entry.value);
        }
        if (entry.has_uncertainty()) {
            out.piece(", \"uncertainty\": ");
            out.number(entry.uncertainty);
        }
        const ConstantStatus usual = entry.is_formula() ? ConstantStatus::Pending : ConstantStatus::Seed;
        if (entry.status() != usual) {
            out.piece(", \"status\": \"");
            out.piece(status_text(entry.status()));
            out.piece("\"");
        }
        if (entry.is_formula()) {
            out.piece(", \"expression\": ");
            out.string(expression(i));
            if (!uses_default_dependencies(i)) {
                out.piece(", \"dependencies\": [");
                bool first = true;
                for (std::uint32_t dependency : dependencies(i)) {
                    if (!first) out.piece(", ");
                    first = false;
                    out.string(row(dependency).name());
                }
                out.piece("]");
            }
        }
        if (entry.description != 0) {
            out.piece(", \"description\": ");
            out.string(description(i));
        }
        out.piece("}");
    }
    out.piece("\n  ]\n}\n");
    return out.take();
}

}  // namespace veldra
