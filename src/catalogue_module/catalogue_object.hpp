#pragma once
// What a Catalogue instance holds: a CatalogueStore, with the records it has
// handed out and its names as Python objects, each made on first need and
// kept.

#include <Python.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "catalogue/array_evaluation.hpp"
#include "catalogue/catalogue_store.hpp"
#include "catalogue_module/folded_texts.hpp"
#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"
#include "pyfacade/wrapped_object.hpp"

namespace veldra::py {

class CatalogueObject {
public:
    // `base`: the Catalogue object the store was built over (its store is
    // the store's base), or null; held as long as this one. `record_class`
    // makes the records handed out (the package's Constant).
    CatalogueObject(std::unique_ptr<CatalogueStore> store, OwnedRef source, OwnedRef base, OwnedRef record_class);
    CatalogueObject(CatalogueObject&& other) noexcept;
    CatalogueObject& operator=(CatalogueObject&&) = delete;
    // Not noexcept, as ~OwnedRef: releasing the base (a subclass may have a
    // __del__) or a record can run Python code that waits for the lock.
    ~CatalogueObject() noexcept(false);

    const CatalogueStore& store() const noexcept { return *store_; }
    PyObject* source() const noexcept { return source_.get(); }
    PyObject* record_class() const noexcept { return record_class_.get(); }

    // The record of `row` (borrowed: the catalogue keeps it, or the base
    // its own rows' records), made on first need.
    PyResult<PyObject*> record(std::uint32_t row);

    // A formula's derived record in its own units (borrowed), once made and
    // kept by keep_derived(); null before. A catalogue never changes, so
    // neither does what derives from it.
    PyObject* derived_record(std::uint32_t row) const;
    PyObject* keep_derived(std::uint32_t row, OwnedRef record);

    // What an evaluation over arrays of `row` needs, each made on first need
    // and kept (the interpreter lock guards both): the formula's ancestry,
    // and its program for a choice of replaced seeds and of those among
    // them given uncertainties. A few programs are kept, the oldest
    // dropped first: a caller evaluates one formula many times.
    std::shared_ptr<const ArrayEvaluation::Ancestry> ancestry(std::uint32_t row);
    std::shared_ptr<const ArrayEvaluation> array_evaluation(std::uint32_t row, const std::vector<std::uint32_t>& replaced,
                                                            const std::vector<bool>& given) const;
    void keep_array_evaluation(std::uint32_t row, std::vector<std::uint32_t> replaced, std::vector<bool> given,
                               std::shared_ptr<const ArrayEvaluation> evaluation);

    // The names in byte order as a tuple (borrowed), made on first need.
    PyResult<PyObject*> names();

    // The folded names and descriptions find() searches, made on first need.
    PyResult<const FoldedTexts*> folded();

    // The collector's view: every reference held, and what it may drop.
    int traverse(visitproc visit, void* arg) const;
    void clear_made();

    // The object inside a Catalogue instance made by its constructor, else null.
    static CatalogueObject* of(PyObject* catalogue) noexcept;

private:
    PyResult<PyObject*> own_record(std::uint32_t row);
    std::size_t own_rows() const noexcept { return store_->size() - store_->first_own(); }

    std::unique_ptr<CatalogueStore> store_;
    // One owned reference or null per own row, in one calloc'd block made on
    // the first lookup: zeroed pages cost nothing until a lookup touches them.
    PyObject** records_ = nullptr;
    OwnedRef source_;
    OwnedRef base_;
    OwnedRef names_;
    OwnedRef record_class_;
    std::unique_ptr<const FoldedTexts> folded_;
    std::unordered_map<std::uint32_t, OwnedRef> derived_;  // few: only the formulas asked for
    std::unordered_map<std::uint32_t, std::shared_ptr<const ArrayEvaluation::Ancestry>> ancestries_;
    struct KeptEvaluation {
        std::uint32_t row;
        std::vector<std::uint32_t> replaced;
        std::vector<bool> given;
        std::shared_ptr<const ArrayEvaluation> evaluation;
    };
    std::vector<KeptEvaluation> evaluations_;  // oldest first
    // The objects of the store's span (root first, without this one) and of
    // the store below it, for records of a base's rows found span by span;
    // bases of this one, so the base reference keeps them.
    std::vector<CatalogueObject*> span_objects_;
    CatalogueObject* below_span_ = nullptr;
};

using CatalogueInstance = Wrapped<CatalogueObject>;

}  // namespace veldra::py
