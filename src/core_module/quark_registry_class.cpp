// PyQuarkRegistry: an empty QuarkRegistry of its own, seen only through len().

#include <array>

#include "particles/quark_registry.hpp"
#include "pyfacade/arg_parser.hpp"
#include "core_module/classes.hpp"
#include "pyfacade/conversions.hpp"
#include "core_module/interface_text.hpp"

namespace veldra::py {
namespace {

constexpr std::array<const char*, 0> kNoParams{};
const Signature kNewSignature{"PyQuarkRegistry.__new__()", kNoParams};

PyObject* quarks_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (auto error = parse_tuple_args(kNewSignature, args, kwargs, nullptr)) return unexpected(std::move(*error));
        return wrap_value(type, QuarkRegistry());
    });
}

Py_ssize_t quarks_len(PyObject* self) {
    return length_boundary([&]() -> PyResult<Py_ssize_t> {
        auto borrowed = Borrowed<QuarkRegistry>::take(self, quark_registry_class());
        if (!borrowed) return unexpected(std::move(borrowed).error());
        return checked_length(borrowed->value().len());
    });
}

const ClassSpec kSpec{
    "ostrelin._veldra_core.PyQuarkRegistry",
    "PyQuarkRegistry",
    text::kQuarksDoc,
    "PyQuarkRegistry()",
    static_cast<int>(sizeof(Wrapped<QuarkRegistry>)),
    dealloc_wrapped<QuarkRegistry>,
    quarks_new,
    quarks_len,
    nullptr,
};

}  // namespace

TypeCell& quark_registry_class() noexcept {
    static TypeCell cell(kSpec);
    return cell;
}

}  // namespace veldra::py
