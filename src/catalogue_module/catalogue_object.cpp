// The Python side of a catalogue's rows: records and names made on first
// need and kept, so that a warm lookup allocates nothing.

#include "catalogue_module/catalogue_object.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "catalogue_module/records.hpp"
#include "pyfacade/interpreter_lock.hpp"

namespace veldra::py {

CatalogueObject* CatalogueObject::of(PyObject* catalogue) noexcept {
    auto* instance = reinterpret_cast<CatalogueInstance*>(catalogue);
    return instance != nullptr && instance->made ? &instance->value : nullptr;
}

CatalogueObject::CatalogueObject(std::unique_ptr<CatalogueStore> store, OwnedRef source, OwnedRef base,
                                 OwnedRef record_class)
    : store_(std::move(store)),
      source_(std::move(source)),
      base_(std::move(base)),
      record_class_(std::move(record_class)) {
    // The objects whose stores the store's span joined, as it found them.
    CatalogueObject* level = of(base_.get());
    while (level != nullptr && &level->store() != store_->below_span()) {
        span_objects_.push_back(level);
        level = of(level->base_.get());
    }
    std::reverse(span_objects_.begin(), span_objects_.end());
    below_span_ = level;
}

CatalogueObject::CatalogueObject(CatalogueObject&& other) noexcept
    : store_(std::move(other.store_)),
      records_(std::exchange(other.records_, nullptr)),
      source_(std::move(other.source_)),
      base_(std::move(other.base_)),
      names_(std::move(other.names_)),
      record_class_(std::move(other.record_class_)),
      folded_(std::move(other.folded_)),
      derived_(std::move(other.derived_)),
      span_objects_(std::move(other.span_objects_)),
      below_span_(other.below_span_) {}

CatalogueObject::~CatalogueObject() noexcept(false) {
    clear_made();
    source_ = OwnedRef();
    // Programs read the store.
    evaluations_.clear();
    // The store reads its base's store until it goes.
    store_.reset();
    base_ = OwnedRef();
}

PyResult<PyObject*> CatalogueObject::record(std::uint32_t row) {
    // The base that holds the row keeps its record; found span by span, as
    // the store finds the row's store.
    CatalogueObject* holder = this;
    while (row < holder->store_->first_own()) {
        const auto& span = holder->span_objects_;
        if (!span.empty() && row >= span.front()->store_->first_own()) {
            holder = *(std::upper_bound(span.begin(), span.end(), row, [](std::uint32_t r, const CatalogueObject* o) {
                return r < o->store_->first_own();
            }) - 1);
            break;
        }
        holder = holder->below_span_;
    }
    return holder->own_record(row);
}

PyResult<PyObject*> CatalogueObject::own_record(std::uint32_t row) {
    const std::size_t at = row - store_->first_own();
    if (records_ != nullptr && records_[at] != nullptr) return records_[at];
    VELDRA_TRY(OwnedRef made, make_record(record_class_.get(), *store_, row));
    if (records_ == nullptr) {
        records_ = static_cast<PyObject**>(std::calloc(own_rows(), sizeof(PyObject*)));
        if (records_ == nullptr) throw std::bad_alloc();
    }
    // Making it ran Python code (the record's __init__), which may have
    // asked for the same row.
    if (records_[at] == nullptr) records_[at] = made.release();
    return records_[at];
}

int CatalogueObject::traverse(visitproc visit, void* arg) const {
    Py_VISIT(source_.get());
    Py_VISIT(base_.get());
    Py_VISIT(names_.get());
    Py_VISIT(record_class_.get());
    if (records_ != nullptr) {
        for (std::size_t i = 0; i < own_rows(); ++i) Py_VISIT(records_[i]);
    }
    for (const auto& [row, record] : derived_) Py_VISIT(record.get());
    return 0;
}

PyObject* CatalogueObject::derived_record(std::uint32_t row) const {
    const auto found = derived_.find(row);
    return found == derived_.end() ? nullptr : found->second.get();
}

PyObject* CatalogueObject::keep_derived(std::uint32_t row, OwnedRef record) {
    // Making it ran Python code, which may have made and kept it meanwhile.
    return derived_.try_emplace(row, std::move(record)).first->second.get();
}

std::shared_ptr<const ArrayEvaluation::Ancestry> CatalogueObject::ancestry(std::uint32_t row) {
    // Bounded: each is as large as its formula's ancestry.
    if (ancestries_.size() >= 64 && ancestries_.count(row) == 0) ancestries_.clear();
    auto [it, added] = ancestries_.try_emplace(row);
    if (added) it->second = std::make_shared<const ArrayEvaluation::Ancestry>(ArrayEvaluation::ancestry(*store_, row));
    return it->second;
}

std::shared_ptr<const ArrayEvaluation> CatalogueObject::array_evaluation(std::uint32_t row,
                                                                         const std::vector<std::uint32_t>& replaced,
                                                                         const std::vector<bool>& given) const {
    for (const KeptEvaluation& kept : evaluations_) {
        if (kept.row == row && kept.replaced == replaced && kept.given == given) return kept.evaluation;
    }
    return nullptr;
}

void CatalogueObject::keep_array_evaluation(std::uint32_t row, std::vector<std::uint32_t> replaced,
                                            std::vector<bool> given,
                                            std::shared_ptr<const ArrayEvaluation> evaluation) {
    constexpr std::size_t kKept = 16;
    if (evaluations_.size() >= kKept) evaluations_.erase(evaluations_.begin());
    evaluations_.push_back({row, std::move(replaced), std::move(given), std::move(evaluation)});
}

void CatalogueObject::clear_made() {
    // Only what is made again on need: the base and the source stay, as
    // the store reads the base's store (and no cycle runs through either
    // that does not run through an object the collector can clear), and so
    // does the record class, which a record made later needs.
    PyObject** records = std::exchange(records_, nullptr);
    if (records != nullptr) {
        for (std::size_t i = 0; i < own_rows(); ++i) {
            if (records[i] != nullptr) drop_reference(records[i]);
        }
        std::free(records);
    }
    names_ = OwnedRef();
    // Moved out first: releasing a record may run code that asks for one.
    std::unordered_map<std::uint32_t, OwnedRef> derived = std::move(derived_);
    derived_.clear();
}

PyResult<PyObject*> CatalogueObject::names() {
    if (!names_) {
        std::span<const std::uint32_t> sorted;
        {
            WithoutInterpreterLock unlocked;
            sorted = store_->sorted();
        }
        OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(sorted.size())));
        if (!tuple) return unexpected(PyError::fetch());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text_object(store_->row(sorted[i]).name()).release());
        }
        if (!names_) names_ = std::move(tuple);
    }
    return names_.get();
}

PyResult<const FoldedTexts*> CatalogueObject::folded() {
    if (folded_ == nullptr) {
        VELDRA_TRY(auto made, fold_texts(*store_));
        // Folding ran the interpreter, which may have searched this catalogue meanwhile.
        if (folded_ == nullptr) folded_ = std::move(made);
    }
    return folded_.get();
}

}  // namespace veldra::py
