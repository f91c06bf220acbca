#include "catalogue/catalogue_store.hpp"

#include <algorithm>
#include <thread>

#include "json/json_writer.hpp"
#include "support/name_order.hpp"

namespace veldra {

std::uint32_t CatalogueStore::find(std::string_view name) const {
    std::uint32_t found = kNoIndex;
    index_->read(name, [&](const RowKey& key, const NoValue&) {
        found = static_cast<std::uint32_t>(key.row - rows_.data());
    });
    return found;
}

std::span<const std::uint32_t> CatalogueStore::dependencies(std::uint32_t row) const noexcept {
    const std::uint32_t formula = rows_[row].formula;
    if (formula == kNoIndex) return {};
    const CatalogueFormula& f = formulas_[formula];
    return {dependencies_.data() + f.dependencies_begin, f.dependencies_size};
}

std::span<const std::uint32_t> CatalogueStore::sorted() const {
    std::call_once(sorted_once_, [this] {
        std::vector<std::uint32_t> order(rows_.size());
        for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        auto by_name = [this](std::uint32_t a, std::uint32_t b) { return byte_less(rows_[a].name(), rows_[b].name()); };
        // Two halves sorted side by side, then merged: sorting a million
        // names is most of what listing them costs.
        const auto middle = order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2);
        if (order.size() >= 65536 && std::thread::hardware_concurrency() > 1) {
            std::thread helper([&] { std::sort(order.begin(), middle, by_name); });
            std::sort(middle, order.end(), by_name);
            helper.join();
            std::inplace_merge(order.begin(), middle, order.end(), by_name);
        } else {
            std::sort(order.begin(), order.end(), by_name);
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
    if (rows_.empty()) {
        out.piece("  \"constants\": []\n}\n");
        return out.take();
    }
    out.piece("  \"constants\": [\n");
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const CatalogueRow& row = rows_[i];
        out.piece(i == 0 ? "    {\"name\": " : ",\n    {\"name\": ");
        out.string(row.name());
        out.piece(", \"units\": ");
        out.string(units(row));
        if (row.status() != ConstantStatus::Pending) {
            out.piece(", \"value\": ");
            out.number(row.value);
        }
        if (row.has_uncertainty()) {
            out.piece(", \"uncertainty\": ");
            out.number(row.uncertainty);
        }
        const ConstantStatus usual = row.is_formula() ? ConstantStatus::Pending : ConstantStatus::Seed;
        if (row.status() != usual) {
            out.piece(", \"status\": \"");
            out.piece(status_text(row.status()));
            out.piece("\"");
        }
        if (row.is_formula()) {
            out.piece(", \"expression\": ");
            out.string(expression(row));
            if (!formulas_[row.formula].default_dependencies) {
                out.piece(", \"dependencies\": [");
                bool first = true;
                for (std::uint32_t dependency : dependencies(static_cast<std::uint32_t>(i))) {
                    if (!first) out.piece(", ");
                    first = false;
                    out.string(rows_[dependency].name());
                }
                out.piece("]");
            }
        }
        if (row.description != 0) {
            out.piece(", \"description\": ");
            out.string(description(row));
        }
        out.piece("}");
    }
    out.piece("\n  ]\n}\n");
    return out.take();
}

}  // namespace veldra
