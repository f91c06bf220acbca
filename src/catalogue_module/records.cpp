#include "catalogue_module/records.hpp"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "catalogue/file_format.hpp"
#include "pyfacade/conversions.hpp"

namespace veldra::py {
namespace {

// A record's fields are read in its order, the order the checks need them.
constexpr const auto& kFieldNames = kEntryFields;

// A problem of one record's shape, or a Python error on the way.
struct Refusal {
    std::string what;
};
using Failure = std::variant<Refusal, PyError>;
template <class T>
using Checked = Expected<T, Failure>;

Unexpected<Failure> refusal(std::string what) { return {Failure(Refusal{std::move(what)})}; }
Unexpected<Failure> python_error() { return {Failure(PyError::fetch())}; }


// The UTF-8 text of a str field (its text, whatever a subclass says), or
// nullopt for None where that is allowed.
Checked<std::optional<std::string_view>> text_field(std::string_view field, PyObject* value, bool optional) {
    if (optional && value == Py_None) return std::optional<std::string_view>();
    if (!PyUnicode_Check(value)) return refusal(ticked(field) + " must be a string, not " + kind_of(value));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return python_error();
        PyErr_Clear();
        return refusal(ticked(field) + " holds a lone surrogate");
    }
    return std::optional<std::string_view>(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// A number field: an int or float (not a bool) that fits a finite double.
Checked<double> number_field(std::string_view field, PyObject* value) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        const char* what = field == "uncertainty" ? " must be a number or null, not " : " must be a number, not ";
        return refusal(ticked(field) + what + kind_of(value));
    }
    if (PyLong_Check(value)) {
        const double number = PyLong_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return python_error();
            PyErr_Clear();
            return refusal(ticked(field) + " is too large for a double");
        }
        return number;
    }
    const double number = PyFloat_AS_DOUBLE(value);
    if (!std::isfinite(number)) {
        const char* shown = std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf";
        return refusal(ticked(field) + " must be finite, not " + shown);
    }
    return number;
}

// A record's attributes, each read once, in the order the checks need them
// (a record's field order); `held` keeps what was read (and so the UTF-8
// texts) alive until the builder has copied it.
class AttributeReader {
public:
    AttributeReader(PyObject* record, std::vector<OwnedRef>& held) : record_(record), held_(held) {}

    // The next field's value, or the attribute lookup's Python error.
    Checked<PyObject*> next() {
        held_.push_back(OwnedRef::steal(PyObject_GetAttrString(record_, kFieldNames[next_++].data())));
        if (!held_.back()) return python_error();
        return held_.back().get();
    }

    // Keeps `item` (a dependency read from the list) as long as the fields.
    void hold(OwnedRef item) { held_.push_back(std::move(item)); }

private:
    PyObject* record_;
    std::vector<OwnedRef>& held_;
    std::size_t next_ = 0;
};

// The fields from name to expression; the name read first goes to `label`
// for a note.
Checked<bool> read_leading_fields(AttributeReader& reader, EntryFields& fields, std::string& label) {
    VELDRA_TRY(PyObject* value, reader.next());
    VELDRA_TRY(const auto name, text_field("name", value, false));
    label.assign(*name);
    if (name->empty()) return refusal("`name` must not be empty");
    fields.name = *name;
    VELDRA_TRY(value, reader.next());
    VELDRA_TRY(fields.value, number_field("value", value));
    VELDRA_TRY(value, reader.next());
    VELDRA_TRY(const auto units, text_field("units", value, false));
    fields.units = *units;
    VELDRA_TRY(value, reader.next());
    if (value != Py_None) {
        VELDRA_TRY(const double uncertainty, number_field("uncertainty", value));
        if (uncertainty < 0) return refusal("`uncertainty` must not be negative");
        fields.uncertainty = uncertainty;
    }
    VELDRA_TRY(value, reader.next());
    VELDRA_TRY(const auto status, text_field("status", value, false));
    fields.status = status_named(*status);
    if (!fields.status) return refusal("`status` must be Seed, Cached, Pending or External, not " + ticked(*status));
    VELDRA_TRY(value, reader.next());
    VELDRA_TRY(fields.expression, text_field("expression", value, true));
    return true;
}

// The dependencies field: a list or tuple of str.
Checked<bool> read_dependencies(AttributeReader& reader, EntryFields& fields) {
    VELDRA_TRY(PyObject* dependencies, reader.next());
    if (!(PyList_Check(dependencies) || PyTuple_Check(dependencies))) {
        return refusal("`dependencies` must be an array of strings, not " + kind_of(dependencies));
    }
    OwnedRef items = OwnedRef::steal(PyObject_GetIter(dependencies));
    if (!items) return python_error();
    std::vector<std::string_view> listed;
    for (std::size_t i = 0;; ++i) {
        OwnedRef item = OwnedRef::steal(PyIter_Next(items.get()));
        if (!item) {
            if (PyErr_Occurred()) return python_error();
            break;
        }
        const std::string item_label = "item " + std::to_string(i) + " of `dependencies`";
        if (!PyUnicode_Check(item.get())) {
            return refusal(item_label + " must be a string, not " + kind_of(item.get()));
        }
        auto text = text_field(item_label, item.get(), false);
        if (!text) {
            // The label is no field name: the twin says "item 0 of `dependencies` holds …".
            auto& error = text.error();
            if (auto* refused = std::get_if<Refusal>(&error)) refused->what = item_label + " holds a lone surrogate";
            return unexpected(std::move(error));
        }
        listed.push_back(**text);
        reader.hold(std::move(item));
    }
    // An empty tuple leaves the dependencies to the expression.
    if (!listed.empty()) fields.dependencies = std::move(listed);
    return true;
}

// One record's fields into `fields`; the name goes to `label` for a note.
Checked<bool> read_record(PyObject* record_class, PyObject* record, EntryFields& fields, std::vector<OwnedRef>& held,
                          std::string& label) {
    if (PyObject_IsInstance(record, record_class) != 1) {
        if (PyErr_Occurred()) return python_error();
        return refusal("must be a Constant, not " + kind_of(record));
    }
    AttributeReader reader(record, held);
    VELDRA_CHECK(read_leading_fields(reader, fields, label));
    VELDRA_CHECK(read_dependencies(reader, fields));
    VELDRA_TRY(PyObject* value, reader.next());
    VELDRA_TRY(const auto description, text_field("description", value, false));
    fields.description = *description;
    VELDRA_TRY(value, reader.next());
    VELDRA_TRY(fields.symbol, text_field("symbol", value, true));
    // A record always has a value; a pending formula's is its placeholder 0.0.
    if (fields.status == ConstantStatus::Pending && fields.value == 0.0) fields.value.reset();
    return true;
}

}  // namespace

std::string kind_of(PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return "an array";
    if (PyDict_Check(value)) return "an object";
    if (PyUnicode_Check(value)) return "a string";
    if (PyBool_Check(value)) return "a boolean";
    if (value == Py_None) return "null";
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return "a number";
    OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(value)));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "a value";
    }
    return "a " + std::string(utf8, static_cast<std::size_t>(size)) + " object";
}

PyResult<bool> read_records(PyObject* record_class, PyObject* entries, CatalogueBuilder& builder) {
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(entries));
    if (!iterator) return unexpected(PyError::fetch());
    std::vector<OwnedRef> held;
    for (std::size_t index = 0;; ++index) {
        OwnedRef record = OwnedRef::steal(PyIter_Next(iterator.get()));
        if (!record) {
            if (PyErr_Occurred()) return unexpected(PyError::fetch());
            return true;
        }
        EntryFields fields;
        std::string label;
        held.clear();
        auto read = read_record(record_class, record.get(), fields, held, label);
        if (!read) {
            auto& error = read.error();
            if (auto* python = std::get_if<PyError>(&error)) return unexpected(std::move(*python));
            builder.refuse(entry_note(index, label, std::get<Refusal>(error).what));
            return true;
        }
        if (!builder.add(fields)) return true;
    }
}

OwnedRef text_object(std::string_view text) { return new_str(text); }

PyResult<OwnedRef> make_record(PyObject* record_class, const CatalogueStore& store, std::uint32_t row,
                               const DerivedFields* derived) {
    const CatalogueRow& entry = store.row(row);
    const auto deps = store.dependencies(row);
    OwnedRef dependencies = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(deps.size())));
    if (!dependencies) return unexpected(PyError::fetch());
    for (std::size_t i = 0; i < deps.size(); ++i) {
        PyTuple_SET_ITEM(dependencies.get(), static_cast<Py_ssize_t>(i), new_str(store.row(deps[i]).name()).release());
    }
    const double value = derived ? derived->value : entry.value;
    std::optional<double> uncertainty;
    if (derived != nullptr) {
        uncertainty = derived->uncertainty;
    } else if (entry.has_uncertainty()) {
        uncertainty = entry.uncertainty;
    }
    const std::string_view symbol = store.symbol(row);
    OwnedRef fields[9] = {
        new_str(entry.name()),
        new_float(value),
        new_str(derived && derived->units ? *derived->units : store.units(row)),
        uncertainty ? new_float(*uncertainty) : OwnedRef::borrow(Py_None),
        new_str(status_text(derived && derived->cached ? ConstantStatus::Cached : entry.status())),
        entry.is_formula() ? new_str(store.expression(row)) : OwnedRef::borrow(Py_None),
        std::move(dependencies),
        new_str(store.description(row)),
        symbol.empty() ? OwnedRef::borrow(Py_None) : new_str(symbol),
    };
    PyObject* args[9];
    for (std::size_t i = 0; i < 9; ++i) args[i] = fields[i].get();
    OwnedRef record = OwnedRef::steal(PyObject_Vectorcall(record_class, args, 9, nullptr));
    if (!record) return unexpected(PyError::fetch());
    return record;
}

}  // namespace veldra::py
