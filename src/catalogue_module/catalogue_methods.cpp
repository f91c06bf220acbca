// The methods of the pure twin's Catalogue beyond the mapping protocol.
// Work that grows with the catalogue (the first derive, sorting, searching,
// writing) runs without the interpreter lock.

#include "catalogue_module/catalogue_methods.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "catalogue_module/catalogue_access.hpp"
#include "catalogue_module/catalogue_arrays.hpp"
#include "catalogue_module/catalogue_loading.hpp"
#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/records.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/interpreter_lock.hpp"
#include "pyfacade/method_table.hpp"
#include "units/units.hpp"

namespace veldra::py {
namespace {

constexpr std::array<const char*, 0> kNoParams{};
constexpr std::array<const char*, 1> kNameParam{"name"};
constexpr std::array<const char*, 1> kTextParam{"text"};
constexpr std::array<const char*, 2> kGetParams{"name", "default"};
constexpr std::array<const char*, 2> kUnitsParams{"name", "units"};
const Signature kGetSignature{"Catalogue.get()", kGetParams, 1, 2, true};
const Signature kNamesSignature{"Catalogue.names()", kNoParams, 0, 0, true};
constexpr std::array<const char*, 1> kBaseParam{"base"};
const Signature kDumpsSignature{"Catalogue.dumps()", kBaseParam, 0, 0, true};
const Signature kFindSignature{"Catalogue.find()", kTextParam, 1, 1, true};
const Signature kDatasheetSignature{"Catalogue.datasheet()", kNameParam, 1, 1, true};
const Signature kDeriveSignature{"Catalogue.derive()", kUnitsParams, 1, 2, true};
const Signature kDerivedSignature{"Catalogue.derived()", kUnitsParams, 1, 2, true};
const Signature kDimensionSignature{"Catalogue.dimension()", kNameParam, 1, 1, true};
const Signature kBudgetSignature{"Catalogue.budget()", kNameParam, 1, 1, true};
constexpr std::array<const char*, 2> kPairParams{"a", "b"};
const Signature kCovarianceSignature{"Catalogue.covariance()", kPairParams, 2, 2, true};
const Signature kCorrelationSignature{"Catalogue.correlation()", kPairParams, 2, 2, true};
constexpr std::array<const char*, 1> kNamesParam{"names"};
const Signature kCovarianceMatrixSignature{"Catalogue.covariance_matrix()", kNamesParam, 1, 1, true};

PyError derivation_error_of(PyObject* self, const std::string& message) {
    auto state = state_of(Py_TYPE(self));
    if (!state) return std::move(state).error();
    return derivation_error(**state, message);
}

// DerivationError whose text is `message` (a str), which may hold what no
// UTF-8 can: the units text as a caller gave it.
PyResult<PyError> derivation_error_from(PyObject* self, PyObject* message) {
    VELDRA_TRY(const ModuleState* state, state_of(Py_TYPE(self)));
    return PyError::format(state->derivation_error.get(), "%U", message);
}

PyError unit_error_of(PyObject* self, const std::string& message) {
    auto state = state_of(Py_TYPE(self));
    if (!state) return std::move(state).error();
    return PyError::format(state.value()->unit_error.get(), "%U", text_object(message).get());
}

// The units of `row` as read: a version-2 catalogue's own reading, else its
// text read now (a version-1 text may mean no units).
Expected<Unit, UnitError> units_of_row(const CatalogueStore& store, std::uint32_t row) {
    if (const Unit* unit = store.unit(row)) return *unit;
    return parse_units(store.units(row), store.declared_units());
}

// What takes `row`'s value into the units `units_arg` names (a str): the
// entry's own units must read, the target's too (else its UnitError), and
// both must be of one dimension.
PyResult<double> factor_to(PyObject* self, const CatalogueStore& store, std::uint32_t row, PyObject* units_arg,
                           std::string_view& target_text) {
    VELDRA_CHECK(check_units_str(units_arg, "units"));
    // The entry's own units are read before the target's text is (a lone
    // surrogate in it is then the target's problem), as the reference does.
    auto own = units_of_row(store, row);
    if (!own) {
        OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("cannot express `%U` in `%U`: %U",
                                                                text_object(store.row(row).name()).get(), units_arg,
                                                                text_object(own.error().message()).get()));
        if (!message) return unexpected(PyError::fetch());
        VELDRA_TRY(PyError error, derivation_error_from(self, message.get()));
        return unexpected(std::move(error));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(units_arg, &size);
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    target_text = std::string_view(utf8, static_cast<std::size_t>(size));
    const std::string cannot = "cannot express " + ticked(store.row(row).name()) + " in " + ticked(target_text) + ": ";
    const DeclaredUnits* declared = store.declared_units();
    auto target = parse_units(target_text, declared);
    if (!target) return unexpected(unit_error_of(self, target.error().message()));
    if (own->dimension != target->dimension) {
        return unexpected(derivation_error_of(self, cannot + "its units " + ticked(store.units(row)) + " are " +
                                                        dimension_text(own->dimension, declared) + ", " +
                                                        ticked(target_text) + " is " +
                                                        dimension_text(target->dimension, declared)));
    }
    const auto factor = conversion_factor(*own, *target);
    if (!factor) return unexpected(derivation_error_of(self, cannot + std::string(kFactorBeyond)));
    return *factor;
}

// The row `name` names, as get() reads it: whatever names no entry (a
// non-str, "", a lone surrogate) is kNoIndex.
PyResult<std::uint32_t> row_for_get(const CatalogueObject& object, PyObject* name) {
    std::uint32_t row = fast_row(object, name);
    if (row != kNoIndex) return row;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr && PyErr_Occurred() != nullptr) {
        // A lone surrogate names nothing; running out of memory is no answer.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return unexpected(PyError::fetch());
        PyErr_Clear();
    }
    if (utf8 == nullptr || size == 0) return kNoIndex;
    return object.store().find(std::string_view(utf8, static_cast<std::size_t>(size)));
}

PyObject* catalogue_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kGetSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const std::uint32_t row, row_for_get(object, given[0]));
        if (row == kNoIndex) return OwnedRef::borrow(given[1] != nullptr ? given[1] : Py_None);
        VELDRA_TRY(PyObject* record, object.record(row));
        return OwnedRef::borrow(record);
    });
}

PyObject* catalogue_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<0>(kNamesSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto&) -> PyResult<OwnedRef> {
        VELDRA_TRY(PyObject* names, object.names());
        OwnedRef list = OwnedRef::steal(PySequence_List(names));
        if (!list) return unexpected(PyError::fetch());
        return list;
    });
}

// The UTF-8 text of `text` after str.casefold(), held by `folded`.
PyResult<std::string_view> casefolded(PyObject* text, OwnedRef& folded) {
    VELDRA_TRY(const std::string_view given, text_argument(text, "text"));
    folded = OwnedRef::steal(PyObject_CallMethod(text_object(given).get(), "casefold", nullptr));
    if (!folded) return unexpected(PyError::fetch());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(folded.get(), &size);
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyObject* catalogue_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kFindSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        OwnedRef holder;
        VELDRA_TRY(const std::string_view needle, casefolded(given[0], holder));
        VELDRA_TRY(PyObject* names, object.names());
        VELDRA_TRY(const FoldedTexts* folded, object.folded());
        // Rows are searched in storage order, which reads the texts front to
        // back; the answer then follows the byte order of the names.
        std::vector<bool> found;
        std::span<const std::uint32_t> sorted;
        Py_ssize_t count = 0;
        {
            WithoutInterpreterLock unlocked;
            found = rows_containing(object.store(), *folded, needle);
            sorted = object.store().sorted();
            count = static_cast<Py_ssize_t>(std::count(found.begin(), found.end(), true));
        }
        OwnedRef list = OwnedRef::steal(PyList_New(count));
        if (!list) return unexpected(PyError::fetch());
        Py_ssize_t filled = 0;
        for (std::size_t at = 0; at < sorted.size(); ++at) {
            if (found[sorted[at]]) {
                PyList_SET_ITEM(list.get(), filled++, Py_NewRef(PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(at))));
            }
        }
        return list;
    });
}

PyObject* catalogue_datasheet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDatasheetSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const std::uint32_t row, row_named(object, given[0]));
        // From the record a lookup hands out, as the reference does: its
        // texts are made already, and both read the same attributes.
        VELDRA_TRY(PyObject* record, object.record(row));
        VELDRA_TRY(const ModuleState* state, state_of(Py_TYPE(self)));
        OwnedRef sheet = OwnedRef::steal(PyDict_New());
        if (!sheet) return unexpected(PyError::fetch());
        for (const OwnedRef& field : state->datasheet_fields) {
            OwnedRef value = OwnedRef::steal(PyObject_GetAttr(record, field.get()));
            if (!value || PyDict_SetItem(sheet.get(), field.get(), value.get()) < 0) return unexpected(PyError::fetch());
        }
        return sheet;
    });
}

PyObject* catalogue_derive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kDeriveSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        std::uint32_t row = fast_row(object, given[0]);
        if (row == kNoIndex) {
            VELDRA_TRY(row, row_named(object, given[0]));
        }
        const CatalogueStore& store = object.store();
        if (store.row(row).is_formula()) prepare_values(store);
        auto value = store.derive(row);
        if (!value) return unexpected(derivation_error_of(self, value.error()));
        if (given[1] == nullptr || given[1] == Py_None) return new_float(*value);
        std::string_view target;
        VELDRA_TRY(const double factor, factor_to(self, store, row, given[1], target));
        return new_float(*value * factor);
    });
}

PyObject* catalogue_derived(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kDerivedSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const std::uint32_t row, row_named(object, given[0]));
        const CatalogueStore& store = object.store();
        const bool convert = given[1] != nullptr && given[1] != Py_None;
        const CatalogueRow& entry = store.row(row);
        if (!entry.is_formula() && !convert) {
            VELDRA_TRY(PyObject* record, object.record(row));
            return OwnedRef::borrow(record);
        }
        if (!convert) {
            if (PyObject* kept = object.derived_record(row)) return OwnedRef::borrow(kept);
        }
        if (entry.is_formula()) prepare_values(store);
        auto value = store.derive(row);
        if (!value) return unexpected(derivation_error_of(self, value.error()));
        auto uncertainty = [&] {
            // An ancestry may be long; the values it reads are all made.
            WithoutInterpreterLock unlocked;
            return store.uncertainty(row);
        }();
        if (!uncertainty) return unexpected(derivation_error_of(self, uncertainty.error()));
        DerivedFields derived{*value, *uncertainty};
        derived.cached = entry.is_formula();
        if (convert) {
            std::string_view target;
            VELDRA_TRY(const double factor, factor_to(self, store, row, given[1], target));
            derived.value *= factor;
            if (derived.uncertainty) *derived.uncertainty *= factor;
            derived.units = target;
            return make_record(object.record_class(), store, row, &derived);
        }
        VELDRA_TRY(OwnedRef made, make_record(object.record_class(), store, row, &derived));
        return OwnedRef::borrow(object.keep_derived(row, std::move(made)));
    });
}

PyObject* catalogue_dimension(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDimensionSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const std::uint32_t row, row_named(object, given[0]));
        auto unit = units_of_row(object.store(), row);
        if (!unit) return unexpected(unit_error_of(self, unit.error().message()));
        return text_object(dimension_text(unit->dimension, object.store().declared_units()));
    });
}

PyObject* catalogue_budget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kBudgetSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const std::uint32_t row, row_named(object, given[0]));
        const CatalogueStore& store = object.store();
        if (store.row(row).is_formula()) prepare_values(store);
        std::vector<CatalogueStore::Contribution> budget;
        auto uncertainty = [&] {
            WithoutInterpreterLock unlocked;
            return store.uncertainty(row, &budget);
        }();
        if (!uncertainty) return unexpected(derivation_error_of(self, uncertainty.error()));
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(budget.size())));
        if (!list) return unexpected(PyError::fetch());
        for (std::size_t i = 0; i < budget.size(); ++i) {
            // The correlations' part has no seed: the empty name, which no entry has.
            OwnedRef name = text_object(budget[i].seed == kNoIndex ? std::string_view() : store.row(budget[i].seed).name());
            OwnedRef share = new_float(budget[i].share);
            OwnedRef pair = OwnedRef::steal(PyTuple_Pack(2, name.get(), share.get()));
            if (!pair) return unexpected(PyError::fetch());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return list;
    });
}

// A variance: only rounding takes a semi-definite form's value below zero.
double variance(const CatalogueStore& store, std::span<const CatalogueStore::Term> terms) {
    const auto parts = store.covariance(terms, terms);
    const double sum = parts.own + parts.correlated;
    return sum < 0.0 ? 0.0 : sum;
}

// The entries named by `names`: their rows and their terms.
struct Asked {
    std::vector<std::uint32_t> rows;
    std::vector<std::vector<CatalogueStore::Term>> terms;
};

// The entries named by `names`, each looked up, then each one's terms
// computed, in order: the first lookup or derivation that fails is raised.
PyResult<Asked> terms_of(PyObject* self, CatalogueObject& object, std::span<PyObject* const> names) {
    const CatalogueStore& store = object.store();
    Asked asked;
    for (PyObject* name : names) {
        VELDRA_TRY(const std::uint32_t row, row_named(object, name));
        asked.rows.push_back(row);
    }
    for (std::uint32_t row : asked.rows) {
        if (store.row(row).is_formula()) prepare_values(store);
        auto terms = [&] {
            WithoutInterpreterLock unlocked;
            return store.terms(row);
        }();
        if (!terms) return unexpected(derivation_error_of(self, terms.error()));
        // A formula's variance fails as derived() does when it is past a double.
        const bool overflows = store.row(row).is_formula() && [&] {
            const auto parts = store.covariance(*terms, *terms);
            return !std::isfinite(parts.own + parts.correlated);
        }();
        if (overflows) {
            return unexpected(derivation_error_of(self, "the uncertainty of " + ticked(store.row(row).name()) +
                                                            " is too large for a double"));
        }
        asked.terms.push_back(std::move(*terms));
    }
    return asked;
}

// The covariance of two entries' terms, a variance when they are one entry's.
double covariance_of(const CatalogueStore& store, std::span<const CatalogueStore::Term> a,
                     std::span<const CatalogueStore::Term> b, bool same) {
    if (same) return variance(store, a);
    const auto parts = store.covariance(a, b);
    return parts.own + parts.correlated;
}

PyObject* catalogue_covariance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kCovarianceSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const Asked asked, terms_of(self, object, given));
        const bool same = asked.rows[0] == asked.rows[1];
        return new_float(covariance_of(object.store(), asked.terms[0], asked.terms[1], same));
    });
}

PyObject* catalogue_correlation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kCorrelationSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        VELDRA_TRY(const Asked asked, terms_of(self, object, given));
        const auto& terms = asked.terms;
        const CatalogueStore& store = object.store();
        const double sigma_a = std::sqrt(variance(store, terms[0])), sigma_b = std::sqrt(variance(store, terms[1]));
        if (sigma_a == 0.0 || sigma_b == 0.0) return new_float(0.0);
        const auto parts = store.covariance(terms[0], terms[1]);
        const double r = (parts.own + parts.correlated) / (sigma_a * sigma_b);
        if (std::isnan(r)) return new_float(r);  // infinite spreads: no coefficient
        // Rounding may take it past ±1.
        return new_float(r < -1.0 ? -1.0 : r > 1.0 ? 1.0 : r);
    });
}

PyObject* catalogue_covariance_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kCovarianceMatrixSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        if (PyUnicode_Check(given[0])) return unexpected(PyError::lazy(PyExc_TypeError, text::kNamesIsStr));
        OwnedRef names = OwnedRef::steal(PySequence_List(given[0]));
        if (!names) return unexpected(PyError::fetch());
        const Py_ssize_t n = PyList_GET_SIZE(names.get());
        std::vector<PyObject*> items(PySequence_Fast_ITEMS(names.get()), PySequence_Fast_ITEMS(names.get()) + n);
        VELDRA_TRY(const Asked asked, terms_of(self, object, items));
        const auto& [rows, terms] = asked;
        const CatalogueStore& store = object.store();
        std::vector<double> matrix(static_cast<std::size_t>(n * n));
        const std::size_t size = static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < size; ++i) {
            for (std::size_t j = i; j < size; ++j) {
                matrix[i * size + j] = matrix[j * size + i] = covariance_of(store, terms[i], terms[j], rows[i] == rows[j]);
            }
        }
        OwnedRef result = OwnedRef::steal(PyList_New(n));
        if (!result) return unexpected(PyError::fetch());
        for (std::size_t i = 0; i < size; ++i) {
            OwnedRef row = OwnedRef::steal(PyList_New(n));
            if (!row) return unexpected(PyError::fetch());
            for (std::size_t j = 0; j < size; ++j) {
                OwnedRef value = new_float(matrix[i * size + j]);
                if (!value) return unexpected(PyError::fetch());
                PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), value.release());
            }
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row.release());
        }
        return result;
    });
}

PyObject* catalogue_dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDumpsSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        int with_base = 1;
        if (given[0] != nullptr && (with_base = PyObject_IsTrue(given[0])) < 0) return unexpected(PyError::fetch());
        const CatalogueStore& store = object.store();
        if (with_base != 0 && store.version() == 1) {
            for (const CatalogueStore* level : store.levels()) {
                if (level->version() == 2) return unexpected(PyError::lazy(PyExc_ValueError, text::kMixedVersions));
            }
        }
        const std::string text = [&] {
            WithoutInterpreterLock unlocked;
            return object.store().dumps(with_base != 0);
        }();
        return text_object(text);
    });
}

PyObject* catalogue_source(PyObject* self, void*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        VELDRA_TRY(const CatalogueObject* object, checked(self));
        return OwnedRef::borrow(object->source());
    });
}

PyObject* catalogue_version(PyObject* self, void*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        VELDRA_TRY(const CatalogueObject* object, checked(self));
        OwnedRef version = OwnedRef::steal(PyLong_FromLong(object->store().version()));
        if (!version) return unexpected(PyError::fetch());
        return version;
    });
}

PyObject* catalogue_description(PyObject* self, void*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        VELDRA_TRY(const CatalogueObject* object, checked(self));
        return text_object(object->store().description());
    });
}

// An immutable catalogue is its own copy, as a tuple is.
PyObject* catalogue_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

}  // namespace

PyMethodDef kCatalogueMethods[] = {
    {"__copy__", catalogue_copy, METH_NOARGS, text::kCopyDoc},
    {"__deepcopy__", catalogue_copy, METH_O, text::kDeepCopyDoc},
    {"get", method_entry(catalogue_get), METH_FASTCALL | METH_KEYWORDS, text::kGetDoc},
    {"names", method_entry(catalogue_names), METH_FASTCALL | METH_KEYWORDS, text::kNamesDoc},
    {"find", method_entry(catalogue_find), METH_FASTCALL | METH_KEYWORDS, text::kFindDoc},
    {"datasheet", method_entry(catalogue_datasheet), METH_FASTCALL | METH_KEYWORDS, text::kDatasheetDoc},
    {"derive", method_entry(catalogue_derive), METH_FASTCALL | METH_KEYWORDS, text::kDeriveDoc},
    {"derived", method_entry(catalogue_derived), METH_FASTCALL | METH_KEYWORDS, text::kDerivedDoc},
    {"budget", method_entry(catalogue_budget), METH_FASTCALL | METH_KEYWORDS, text::kBudgetDoc},
    {"dimension", method_entry(catalogue_dimension), METH_FASTCALL | METH_KEYWORDS, text::kDimensionDoc},
    {"covariance", method_entry(catalogue_covariance), METH_FASTCALL | METH_KEYWORDS, text::kCovarianceDoc},
    {"correlation", method_entry(catalogue_correlation), METH_FASTCALL | METH_KEYWORDS, text::kCorrelationDoc},
    {"covariance_matrix", method_entry(catalogue_covariance_matrix), METH_FASTCALL | METH_KEYWORDS,
     text::kCovarianceMatrixDoc},
    {"dumps", method_entry(catalogue_dumps), METH_FASTCALL | METH_KEYWORDS, text::kDumpsDoc},
    {"_evaluate", method_entry(catalogue_evaluate), METH_FASTCALL | METH_KEYWORDS, text::kEvaluateDoc},
    {"_read", method_entry(catalogue_read), METH_FASTCALL | METH_CLASS, text::kReadDoc},
    {"_load", method_entry(catalogue_load), METH_FASTCALL | METH_CLASS, text::kLoadDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCatalogueProperties[] = {
    {"source", catalogue_source, nullptr, text::kSourceDoc, nullptr},
    {"description", catalogue_description, nullptr, text::kDescriptionDoc, nullptr},
    {"version", catalogue_version, nullptr, text::kVersionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace veldra::py
