// Reading a catalogue from bytes or from a file. The file is read by steps
// without the interpreter lock, which is taken back between them to run
// signal handlers, as the interpreter reads its own files (PEP 475).

#include "catalogue_module/catalogue_loading.hpp"

#include <cerrno>
#include <cstring>

#include "catalogue/catalogue_reader.hpp"
#include "catalogue_module/catalogue_access.hpp"
#include "catalogue_module/catalogue_text.hpp"
#include "json/json_document.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/interpreter_lock.hpp"

namespace veldra::py {
namespace {

using Built = Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure>;

// A new instance of `type` (the Catalogue type or a subclass) over `built`.
PyResult<OwnedRef> instance_of(PyObject* type, const ModuleState& state, Built built, OwnedRef source, OwnedRef base) {
    if (!built) return unexpected(catalogue_error(state, built.error()));
    return wrap_value(reinterpret_cast<PyTypeObject*>(type),
                      CatalogueObject(std::move(built).value(), std::move(source), std::move(base),
                                      OwnedRef::borrow(state.constant.get())));
}

// The load's failure to read: the OSError open() would raise, with the
// note of the pure twin's load (the path as given, escapes and all).
PyError read_failure(PyObject* path, int failed_errno) {
    errno = failed_errno;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    PyError error = PyError::fetch();
    const std::string reason = IoError{failed_errno}.message();
    OwnedRef note = OwnedRef::steal(PyUnicode_FromFormat(text::kLoadFailedNote, path, reason.c_str()));
    // Added as the str it is: the path may hold surrogate escapes, which have no UTF-8.
    OwnedRef added = note && error.exception() != nullptr
                         ? OwnedRef::steal(PyObject_CallMethod(error.exception(), "add_note", "O", note.get()))
                         : OwnedRef();
    if (!added) return PyError::fetch();
    return error;
}

// The whole file at `path` (its bytes as open() takes them); on failure
// the exception load() raises: a signal handler's, OSError, or
// CatalogueError for a file too long.
PyResult<PaddedText> read_text(const ModuleState& state, PyObject* path_given, const char* path,
                               std::string_view source) {
    FileReading reading(path, kMaxJsonText);
    for (;;) {
        auto text = [&] {
            WithoutInterpreterLock unlocked;
            return reading.step();
        }();
        if (text) return std::move(text).value();
        if (text.error() == EFBIG) return unexpected(catalogue_error(state, text_too_long(source)));
        if (text.error() != EINTR) return unexpected(read_failure(path_given, text.error()));
        // A handler that raises ends the load with its exception alone;
        // else the reading goes on.
        if (PyErr_CheckSignals() < 0) return unexpected(PyError::fetch());
    }
}

}  // namespace

PyObject* catalogue_read(PyObject* type, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 3 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1])) {
            return unexpected(PyError::lazy(PyExc_TypeError, text::kReadArguments));
        }
        VELDRA_TRY(const ModuleState* state, state_of(reinterpret_cast<PyTypeObject*>(type)));
        VELDRA_TRY(const std::string_view source, text_argument(args[1], "source"));
        VELDRA_TRY(const CatalogueStore* base, base_store(*state, args[2]));
        const std::string_view data(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        Built built = [&] {
            // The bytes and the base cannot change, and the caller holds them.
            WithoutInterpreterLock unlocked;
            return load_catalogue(PaddedText::copy_of(data), source, base, /*strip_bom=*/false);
        }();
        OwnedRef label = PyUnicode_CheckExact(args[1]) ? OwnedRef::borrow(args[1]) : new_str(source);
        return instance_of(type, *state, std::move(built), std::move(label), base_reference(args[2]));
    });
}

PyObject* catalogue_load(PyObject* type, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 2 || !PyUnicode_Check(args[0])) {
            return unexpected(PyError::lazy(PyExc_TypeError, text::kLoadArguments));
        }
        VELDRA_TRY(const ModuleState* state, state_of(reinterpret_cast<PyTypeObject*>(type)));
        // Owned: a signal handler runs Python code while the file is read.
        const OwnedRef path_given = OwnedRef::borrow(args[0]);
        const OwnedRef base = base_reference(args[1]);
        VELDRA_TRY(const CatalogueStore* base_of, base_store(*state, base.get()));
        // The path as open() takes it: a file name that is not UTF-8 comes
        // as surrogate escapes, and its bytes are the source in messages.
        OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(path_given.get()));
        if (!encoded) return unexpected(PyError::fetch());
        const char* path = PyBytes_AS_STRING(encoded.get());
        const std::string_view source(path, static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (std::strlen(path) != source.size()) return unexpected(PyError::lazy(PyExc_ValueError, text::kEmbeddedNull));
        VELDRA_TRY(const PaddedText text, read_text(*state, path_given.get(), path, source));
        Built built = [&] {
            WithoutInterpreterLock unlocked;
            return load_catalogue(text, source, base_of);
        }();
        return instance_of(type, *state, std::move(built), OwnedRef::borrow(path_given.get()), OwnedRef::borrow(base.get()));
    });
}

}  // namespace veldra::py
