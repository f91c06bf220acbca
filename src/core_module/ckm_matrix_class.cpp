// PyCKMMatrix: a CKMMatrix by value. Made only by from_topology(); calling
// the class is refused.

#include <array>
#include <string>

#include "particles/ckm_matrix.hpp"
#include "pyfacade/arg_parser.hpp"
#include "core_module/classes.hpp"
#include "pyfacade/conversions.hpp"
#include "core_module/interface_text.hpp"
#include "pyfacade/method_table.hpp"
#include "support/fault.hpp"

namespace veldra::py {
namespace {

constexpr std::array<const char*, 1> kTolParam{"tol"};
const Signature kIsUnitarySignature{"PyCKMMatrix.is_unitary()", kTolParam};

PyObject* ckm_refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        OwnedRef name = OwnedRef::steal(PyType_GetName(type));
        if (!name) return unexpected(PyError::fetch());
        return unexpected(PyError::format(PyExc_TypeError, text::kNoConstructor, name.get()));
    });
}

// repr() of an object for a fault message; never fails.
std::string describe(PyObject* obj) {
    if (obj == nullptr) return "None";
    OwnedRef text = OwnedRef::steal(PyObject_Repr(obj));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

PyObject* ckm_from_topology(PyObject*, PyObject*) {
    return call_boundary([]() -> PyResult<OwnedRef> {
        auto made = wrap_value(ckm_matrix_class().get_in_call(), CKMMatrix::from_topology());
        if (made) return made;
        // Only the object that holds the matrix can fail to be made.
        std::move(made).error().restore();
        OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
        PyObject* type = exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) : nullptr;
        OwnedRef traceback = exception ? OwnedRef::steal(PyException_GetTraceback(exception.get())) : OwnedRef();
        raise_fault(std::string(text::kUnwrapOnErr) + ": type " + describe(type) + ", value " +
                    describe(exception.get()) + ", traceback " + describe(traceback.get()));
    });
}

PyObject* ckm_jarlskog(PyObject* self, PyObject*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        auto borrowed = Borrowed<CKMMatrix>::take(self, ckm_matrix_class());
        if (!borrowed) return unexpected(std::move(borrowed).error());
        return new_float(borrowed->value().jarlskog());
    });
}

PyObject* ckm_is_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        PyObject* tol_arg = nullptr;
        if (auto error = parse_vector_args(kIsUnitarySignature, args, nargs, kwnames, &tol_arg)) {
            return unexpected(std::move(*error));
        }
        auto borrowed = Borrowed<CKMMatrix>::take(self, ckm_matrix_class());
        if (!borrowed) return unexpected(std::move(borrowed).error());
        auto tol = float_argument(tol_arg, "tol");
        if (!tol) return unexpected(std::move(tol).error());
        return OwnedRef::borrow(borrowed->value().is_unitary(*tol) ? Py_True : Py_False);
    });
}

PyMethodDef kMethods[] = {
    {"from_topology", ckm_from_topology, METH_STATIC | METH_NOARGS, text::kFromTopologyDoc},
    {"is_unitary", method_entry(ckm_is_unitary), METH_FASTCALL | METH_KEYWORDS, text::kIsUnitaryDoc},
    {"jarlskog", ckm_jarlskog, METH_NOARGS, text::kJarlskogDoc},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kSpec{
    "ostrelin._veldra_core.PyCKMMatrix",
    "PyCKMMatrix",
    text::kMatrixDoc,
    "PyCKMMatrix.from_topology()",
    static_cast<int>(sizeof(Wrapped<CKMMatrix>)),
    dealloc_wrapped<CKMMatrix>,
    ckm_refuse_new,
    nullptr,
    kMethods,
};

}  // namespace

TypeCell& ckm_matrix_class() noexcept {
    static TypeCell cell(kSpec);
    return cell;
}

}  // namespace veldra::py
