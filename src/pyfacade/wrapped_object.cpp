#include "pyfacade/wrapped_object.hpp"

#include <string>

#include "pyfacade/conversions.hpp"
#include "pyfacade/facade_text.hpp"
#include "support/fault.hpp"

namespace veldra::py {

PyTypeObject* create_type(const ClassSpec& spec, PyObject* module) noexcept {
    constexpr int kMostSlots = 24;
    PyType_Slot slots[kMostSlots];
    int n = 0;
    slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec.construct)};
    if (spec.length != nullptr) slots[n++] = {Py_mp_length, reinterpret_cast<void*>(spec.length)};
    if (spec.methods != nullptr) slots[n++] = {Py_tp_methods, spec.methods};
    for (const PyType_Slot* more = spec.more_slots; more != nullptr && more->slot != 0 && n < kMostSlots - 1; ++more) {
        slots[n++] = *more;
    }
    slots[n] = {0, nullptr};
    PyType_Spec type_spec = {spec.dotted_name, spec.basicsize, 0, static_cast<unsigned int>(spec.flags), slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

PyTypeObject* TypeCell::make_in_call() {
    PyTypeObject* type = get();
    if (type == nullptr) {
        print_pending_error();
        raise_fault(std::string(text::kTypeObjectFailed) + spec_.name);
    }
    return type;
}

PyError self_type_error(PyObject* self, const char* class_name) {
    return conversion_error(self, class_name, true);
}

PyError unmade_error(const ClassSpec& spec) {
    return PyError::format(PyExc_TypeError, text::kNotMadeBy, spec.name, spec.maker);
}

}  // namespace veldra::py
