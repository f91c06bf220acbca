// Catalogue._evaluate: the native half of evaluate(). The package's front
// end has turned every array into float64 and allocated the outputs; this
// checks the names, holds every buffer for the whole call, and runs the
// evaluation without the interpreter lock.

#include "catalogue_module/catalogue_arrays.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/array_evaluation.hpp"
#include "catalogue/catalogue_error.hpp"
#include "catalogue_module/catalogue_access.hpp"
#include "pyfacade/held_buffer.hpp"
#include "pyfacade/interpreter_lock.hpp"

namespace veldra::py {
namespace {

constexpr std::array<const char*, 8> kEvaluateParams{"name",      "names",     "arrays",      "sigma_names",
                                                     "sigma_arrays", "out_value", "out_sigma", "nan"};
const Signature kEvaluateSignature{"Catalogue._evaluate()", kEvaluateParams, 8, 8, true};

// Less work than this (element-steps) takes some microseconds, done holding
// the interpreter lock: handing it over and back would cost a good part of that.
constexpr std::size_t kQuickWork = 32 * 1024;

PyError value_error(std::string message) { return PyError::lazy(PyExc_ValueError, std::move(message)); }

// The items of a tuple argument.
PyResult<std::span<PyObject* const>> items_of(PyObject* tuple, const char* what) {
    if (!PyTuple_Check(tuple)) return unexpected(PyError::format(PyExc_TypeError, "%s must be a tuple", what));
    return std::span<PyObject* const>(&PyTuple_GET_ITEM(tuple, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(tuple)));
}

bool is_float64(const Py_buffer& view) {
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    return view.itemsize == sizeof(double) && format[0] == 'd' && format[1] == '\0';
}

// `array` read in the result's C order over `shape`: its own axes aligned
// to the last ones, a stride of 0 where it has one element or no axis.
PyResult<StridedArray> strided(const Py_buffer& view, const std::vector<std::size_t>& shape) {
    if (!is_float64(view)) return unexpected(value_error("evaluate reads arrays of float64"));
    const std::size_t dims = shape.size(), own = static_cast<std::size_t>(view.ndim);
    if (own > dims) return unexpected(value_error("an array has more axes than the result"));
    StridedArray array;
    array.data = static_cast<const unsigned char*>(view.buf);
    array.strides.assign(dims, 0);
    std::ptrdiff_t contiguous = sizeof(double);
    for (std::size_t d = own; d-- > 0;) {
        const std::size_t extent = static_cast<std::size_t>(view.shape[d]);
        const std::ptrdiff_t stride = view.strides != nullptr ? view.strides[d] : contiguous;
        contiguous *= static_cast<std::ptrdiff_t>(extent);
        const std::size_t axis = dims - own + d;
        if (extent == shape[axis]) {
            array.strides[axis] = stride;
        } else if (extent != 1) {
            return unexpected(value_error("an array does not broadcast to the result's shape"));
        }
    }
    return array;
}

// The names of replaced seeds (or of those given uncertainties), each
// looked up and checked: a seed the formula reaches, given once.
PyResult<std::vector<std::uint32_t>> seeds_named(const CatalogueObject& object, std::uint32_t row,
                                                 std::span<PyObject* const> names,
                                                 const ArrayEvaluation::Ancestry& ancestry,
                                                 const std::vector<std::uint32_t>* replaced) {
    const CatalogueStore& store = object.store();
    std::vector<std::uint32_t> rows;
    for (PyObject* name : names) {
        VELDRA_TRY(const std::uint32_t seed, row_named(object, name));
        const std::string key = ticked(store.row(seed).name());
        if (replaced == nullptr) {
            if (store.row(seed).is_formula()) {
                return unexpected(PyError::lazy(PyExc_KeyError, key + " is not a seed: only seeds' values can be given"));
            }
            if (!std::binary_search(ancestry.seeds.begin(), ancestry.seeds.end(), seed)) {
                return unexpected(
                    PyError::lazy(PyExc_KeyError, ticked(store.row(row).name()) + " does not depend on " + key));
            }
        } else if (std::find(replaced->begin(), replaced->end(), seed) == replaced->end()) {
            return unexpected(
                PyError::lazy(PyExc_KeyError, "an uncertainty is given for " + key + ", which has no values given"));
        }
        if (std::find(rows.begin(), rows.end(), seed) != rows.end()) return unexpected(value_error(key + " is given twice"));
        rows.push_back(seed);
    }
    return rows;
}

// Element `index` (C order over `shape`) of `array`.
double element(const StridedArray& array, const std::vector<std::size_t>& shape, std::size_t index) {
    std::ptrdiff_t offset = 0;
    for (std::size_t d = shape.size(); d-- > 0;) {
        offset += static_cast<std::ptrdiff_t>(index % shape[d]) * array.strides[d];
        index /= shape[d];
    }
    double value;
    std::memcpy(&value, array.data + offset, sizeof(double));
    return value;
}

// "3" along one axis, "(1, 2)" over several, "()" for a 0-d result.
std::string index_text(std::size_t index, const std::vector<std::size_t>& shape) {
    if (shape.size() == 1) return std::to_string(index);
    std::vector<std::size_t> at(shape.size());
    for (std::size_t d = shape.size(); d-- > 0;) {
        at[d] = index % shape[d];
        index /= shape[d];
    }
    std::string text = "(";
    for (std::size_t d = 0; d < at.size(); ++d) text += (d ? ", " : "") + std::to_string(at[d]);
    return text + ")";
}

}  // namespace

PyObject* catalogue_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<8>(kEvaluateSignature, self, args, nargs, kwnames, [self](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        const CatalogueStore& store = object.store();
        VELDRA_TRY(const std::uint32_t row, row_named(object, given[0]));
        VELDRA_TRY(const auto names, items_of(given[1], "names"));
        VELDRA_TRY(const auto arrays, items_of(given[2], "arrays"));
        VELDRA_TRY(const auto sigma_names, items_of(given[3], "sigma_names"));
        VELDRA_TRY(const auto sigma_arrays, items_of(given[4], "sigma_arrays"));
        if (names.size() != arrays.size() || sigma_names.size() != sigma_arrays.size()) {
            return unexpected(value_error("every name needs its array"));
        }
        const int nan = PyObject_IsTrue(given[7]);
        if (nan < 0) return unexpected(PyError::fetch());

        // Shared: another thread may drop the catalogue's copy while this one builds.
        const std::shared_ptr<const ArrayEvaluation::Ancestry> ancestry = object.ancestry(row);
        VELDRA_TRY(std::vector<std::uint32_t> replaced, seeds_named(object, row, names, *ancestry, nullptr));
        VELDRA_TRY(const std::vector<std::uint32_t> with_sigma, seeds_named(object, row, sigma_names, *ancestry, &replaced));

        // The outputs fix the shape; every input must broadcast to it.
        VELDRA_TRY(HeldBuffer value_out, HeldBuffer::get(given[5], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE));
        VELDRA_TRY(HeldBuffer sigma_out, HeldBuffer::get(given[6], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE));
        ArrayData data;
        const Py_buffer& out_view = value_out.view();
        if (static_cast<std::size_t>(out_view.ndim) > kMaxAxes) return unexpected(value_error("too many axes"));
        for (int d = 0; d < out_view.ndim; ++d) data.shape.push_back(static_cast<std::size_t>(out_view.shape[d]));
        const Py_buffer& sigma_view = sigma_out.view();
        const bool same_shape = sigma_view.ndim == out_view.ndim &&
                                std::equal(sigma_view.shape, sigma_view.shape + sigma_view.ndim, out_view.shape);
        if (!is_float64(out_view) || !is_float64(sigma_view) || !same_shape) {
            return unexpected(value_error("the outputs must be float64 arrays of one shape"));
        }
        std::vector<HeldBuffer> held;
        held.reserve(arrays.size() + sigma_arrays.size());
        for (PyObject* array : arrays) {
            VELDRA_TRY(HeldBuffer buffer, HeldBuffer::get(array, PyBUF_RECORDS_RO));
            VELDRA_TRY(StridedArray view, strided(buffer.view(), data.shape));
            data.values.push_back(std::move(view));
            held.push_back(std::move(buffer));
        }
        // Uncertainties go in the order of the seeds they belong to.
        std::vector<bool> given_sigma(replaced.size(), false);
        std::vector<StridedArray> sigma_views(sigma_arrays.size());
        for (std::size_t s = 0; s < sigma_arrays.size(); ++s) {
            VELDRA_TRY(HeldBuffer buffer, HeldBuffer::get(sigma_arrays[s], PyBUF_RECORDS_RO));
            VELDRA_TRY(StridedArray view, strided(buffer.view(), data.shape));
            sigma_views[s] = std::move(view);
            held.push_back(std::move(buffer));
        }
        for (std::size_t k = 0; k < replaced.size(); ++k) {
            const auto it = std::find(with_sigma.begin(), with_sigma.end(), replaced[k]);
            if (it == with_sigma.end()) continue;
            given_sigma[k] = true;
            data.uncertainties.push_back(sigma_views[static_cast<std::size_t>(it - with_sigma.begin())]);
        }
        data.value_out = static_cast<double*>(out_view.buf);
        data.uncertainty_out = static_cast<double*>(sigma_view.buf);
        data.nan_on_fault = nan != 0;

        prepare_values(store);
        std::shared_ptr<const ArrayEvaluation> evaluation = object.array_evaluation(row, replaced, given_sigma);
        if (!evaluation) {
            {
                WithoutInterpreterLock unlocked;
                evaluation = std::make_shared<const ArrayEvaluation>(store, row, *ancestry, replaced, given_sigma);
            }
            object.keep_array_evaluation(row, replaced, given_sigma, evaluation);
        }
        ArrayOutcome outcome;
        std::size_t count = 1;
        for (std::size_t extent : data.shape) count *= extent;
        if (evaluation->work(count) < kQuickWork) {
            outcome = evaluation->run(data);
        } else {
            WithoutInterpreterLock unlocked;
            outcome = evaluation->run(data);
        }
        if (const std::optional<ArrayProblem>& problem = outcome.problem) {
            const std::string at = " at index " + index_text(problem->index, data.shape);
            if (problem->kind == ArrayProblem::Kind::BadUncertainty) {
                // The first seed, in the caller's order, whose uncertainty is bad there.
                std::size_t s = 0;
                while (s + 1 < sigma_views.size() && element(sigma_views[s], data.shape, problem->index) >= 0.0) ++s;
                return unexpected(value_error("the uncertainty given for " + ticked(store.row(with_sigma[s]).name()) +
                                              " is negative or NaN" + at));
            }
            VELDRA_TRY(const ModuleState* state, state_of(Py_TYPE(self)));
            return unexpected(derivation_error(*state, problem->message + at));
        }
        // None: no uncertainty; False: 0.0 throughout, left unwritten; True: written.
        if (!evaluation->informed()) return OwnedRef::borrow(Py_None);
        return OwnedRef::borrow(outcome.uncertainty_written ? Py_True : Py_False);
    });
}

}  // namespace veldra::py
