// Catalogue: a CatalogueStore inside a Python object, with the mapping
// protocol and the methods of the pure twin's Catalogue. The package
// subclasses it (with collections.abc.Mapping for keys(), items(), ==).
//
// Lookups are the hot path: an exact str finds its row through the store's
// name index and returns the record made for that row the first time it was
// asked for, so a warm lookup allocates nothing. Work that grows with the
// catalogue (reading, building, the first derive, sorting, writing) runs
// without the interpreter lock.

#include "catalogue_module/catalogue_class.hpp"

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/package_objects.hpp"
#include "catalogue_module/records.hpp"
#include "pyfacade/arg_parser.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/facade_text.hpp"
#include "pyfacade/interpreter_lock.hpp"
#include "pyfacade/lookup_error.hpp"
#include "pyfacade/method_table.hpp"
#include "lookup/name_suggestion.hpp"
#include "support/short_text.hpp"

namespace veldra::py {

CatalogueObject* CatalogueObject::of(PyObject* catalogue) noexcept {
    return catalogue == nullptr ? nullptr : &reinterpret_cast<Wrapped<CatalogueObject>*>(catalogue)->value;
}

CatalogueObject::CatalogueObject(std::unique_ptr<CatalogueStore> store, OwnedRef source, OwnedRef base)
    : store_(std::move(store)) {
    // The objects whose stores the store's span joined, as it found them.
    CatalogueObject* level = of(base.get());
    while (level != nullptr && &level->store() != store_->below_span()) {
        span_objects_.push_back(level);
        level = of(level->base_);
    }
    std::reverse(span_objects_.begin(), span_objects_.end());
    below_span_ = level;
    source_ = source.release();
    base_ = base.release();
}

CatalogueObject::CatalogueObject(CatalogueObject&& other) noexcept
    : store_(std::move(other.store_)),
      records_(std::exchange(other.records_, nullptr)),
      source_(std::exchange(other.source_, nullptr)),
      base_(std::exchange(other.base_, nullptr)),
      names_(std::exchange(other.names_, nullptr)),
      folded_(std::move(other.folded_)),
      span_objects_(std::move(other.span_objects_)),
      below_span_(other.below_span_) {}

CatalogueObject::~CatalogueObject() noexcept(false) {
    clear_made();
    if (source_ != nullptr) drop_reference(source_);
    // The store reads its base's store until it goes.
    store_.reset();
    if (base_ != nullptr) drop_reference(base_);
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
    auto made = make_record(*store_, row);
    if (!made) return unexpected(std::move(made).error());
    if (records_ == nullptr) {
        // Zeroed pages cost nothing until a lookup touches them.
        records_ = static_cast<PyObject**>(std::calloc(store_->size() - store_->first_own(), sizeof(PyObject*)));
        if (records_ == nullptr) throw std::bad_alloc();
    }
    // Making it ran Python code (the record's __init__), which may have
    // asked for the same row.
    if (records_[at] == nullptr) records_[at] = made->release();
    return records_[at];
}

int CatalogueObject::traverse(visitproc visit, void* arg) const {
    Py_VISIT(source_);
    Py_VISIT(base_);
    Py_VISIT(names_);
    if (records_ != nullptr) {
        for (std::size_t i = 0; i < store_->size() - store_->first_own(); ++i) Py_VISIT(records_[i]);
    }
    return 0;
}

void CatalogueObject::clear_made() {
    // Only what is made again on need: the base and the source stay, as
    // the store reads the base's store (and no cycle runs through either
    // that does not run through an object the collector can clear).
    PyObject** records = std::exchange(records_, nullptr);
    if (records != nullptr) {
        for (std::size_t i = 0; i < store_->size() - store_->first_own(); ++i) {
            if (records[i] != nullptr) drop_reference(records[i]);
        }
        std::free(records);
    }
    if (PyObject* names = std::exchange(names_, nullptr)) drop_reference(names);
}

PyResult<PyObject*> CatalogueObject::names() {
    if (names_ == nullptr) {
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
        if (names_ == nullptr) names_ = tuple.release();
    }
    return names_;
}

PyResult<const FoldedTexts*> CatalogueObject::folded() {
    if (folded_ == nullptr) {
        auto made = fold_texts(*store_);
        if (!made) return unexpected(std::move(made).error());
        // Folding ran the interpreter, which may have searched this catalogue meanwhile.
        if (folded_ == nullptr) folded_ = std::move(*made);
    }
    return folded_.get();
}

namespace {

using Self = Wrapped<CatalogueObject>;

// The object behind `self`, which the interpreter guarantees is one of ours
// (or of a subclass) for slots and methods; null when it was made without
// its constructor (a replaced __new__).
CatalogueObject* object_of(PyObject* self) {
    auto* wrapped = reinterpret_cast<Self*>(self);
    return wrapped->made ? &wrapped->value : nullptr;
}

PyResult<CatalogueObject*> checked(PyObject* self) {
    if (CatalogueObject* object = object_of(self)) return object;
    return unexpected(unmade_error(catalogue_class().spec()));
}

PyError catalogue_error(const CatalogueFailure& failure) {
    // A source read from a file name that is not UTF-8 holds its raw bytes:
    // they come back as the surrogate escapes the name was given with.
    const std::string message = failure.error.message();
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
    if (!text) return PyError::fetch();
    PyError error = PyError::format(package().catalogue_error, "%U", text.get());
    if (!failure.note.empty() && error.exception() != nullptr && !add_note(error.exception(), failure.note)) {
        return PyError::fetch();
    }
    return error;
}

PyError derivation_error(const std::string& message) {
    return PyError::format(package().derivation_error, "%U", text_object(message).get());
}

// The row a name argument names, with the errors of the pure twin's
// lookups: TypeError for a non-str, ValueError for "", the interpreter's
// UnicodeEncodeError for a lone surrogate, KeyError (with a hint) for a miss.
PyResult<std::uint32_t> row_named(const CatalogueObject& object, PyObject* name_arg) {
    auto name = text_argument(name_arg, "name");
    if (!name) return unexpected(std::move(name).error());
    if (name->empty()) return unexpected(PyError::lazy(PyExc_ValueError, text::kEmptyLookupName));
    const CatalogueStore& store = object.store();
    const std::uint32_t row = store.find(*name);
    if (row != kNoIndex) return row;
    const std::vector<const CatalogueStore*> levels = store.levels();
    auto suggestion = suggest_name(*name, store.size(), [&](std::size_t i) {
        return row_in(levels, static_cast<std::uint32_t>(i)).name();
    });
    return unexpected(lookup_error(RegistryError::not_found(*name), suggestion));
}

// What `cat[key]` raises for a key that names no entry, as any mapping
// does: KeyError. A key that is no str is the exception's argument, as in a
// dict; a str key gets the words of a lookup (with a hint where the row
// lookup has one), its text as the str holds it.
PyResult<std::uint32_t> row_of_key(const CatalogueObject& object, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(PyExc_KeyError, key));
        if (!error) return unexpected(PyError::fetch());
        return unexpected(PyError::from_exception(std::move(error)));
    }
    auto row = row_named(object, key);
    // The empty name's ValueError, a lone surrogate's UnicodeEncodeError.
    if (row || !PyErr_GivenExceptionMatches(row.error().type(), PyExc_ValueError)) return row;
    return unexpected(PyError::format(PyExc_KeyError, text::kMissingKey, key));
}

// The usual lookup: one exact ASCII str. Null sends the call down the path
// that also reports every error.
std::uint32_t fast_row(const CatalogueObject& object, PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return kNoIndex;
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
    if (size == 0) return kNoIndex;
    return object.store().find(std::string_view(static_cast<const char*>(PyUnicode_DATA(name)), size));
}

// The store a `base` argument names: null for None, else the store of a
// Catalogue made by its constructor; TypeError otherwise.
PyResult<const CatalogueStore*> base_store(PyObject* base) {
    if (base == nullptr || base == Py_None) return static_cast<const CatalogueStore*>(nullptr);
    PyTypeObject* type = catalogue_class().get_in_call();
    if (PyObject_TypeCheck(base, type)) {
        if (const CatalogueObject* object = object_of(base)) return &object->store();
    }
    OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(base)));
    if (!type_name) return unexpected(PyError::fetch());
    return unexpected(PyError::format(PyExc_TypeError, text::kBaseNotCatalogue, type_name.get()));
}

OwnedRef base_reference(PyObject* base) {
    return base == nullptr || base == Py_None ? OwnedRef() : OwnedRef::borrow(base);
}

PyError built_already() { return PyError::lazy(PyExc_TypeError, text::kBuiltAlready); }

// Only allocates: the catalogue is built by __init__, so that a subclass's
// __init__ may take arguments of its own, as any Python class's may.
PyObject* catalogue_new(PyTypeObject* type, PyObject*, PyObject*) {
    return call_boundary([&]() -> PyResult<OwnedRef> { return allocate_instance(type); });
}

int catalogue_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kParams{"entries", "base", "source"};
    static const Signature kSignature{"Catalogue.__init__()", kParams, 1, 1, true};
    return int_boundary([&]() -> PyResult<int> {
        // The arguments are bound first, as a Python __init__'s are before its body runs.
        PyObject* given[3] = {nullptr, nullptr, nullptr};
        if (auto error = parse_tuple_args(kSignature, args, kwargs, given)) return unexpected(std::move(*error));
        if (object_of(self) != nullptr) return unexpected(built_already());
        // Owned for the whole call: reading the records runs Python code,
        // which may drop every other reference to what the call was given
        // (the keyword dict holds the only one), while the builder reads the
        // base's store.
        const OwnedRef entries = OwnedRef::borrow(given[0]);
        const OwnedRef base = base_reference(given[1]);
        OwnedRef source = given[2] ? OwnedRef::borrow(given[2]) : new_str("<records>");
        if (!PyUnicode_Check(source.get())) {
            OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(source.get())));
            if (!type_name) return unexpected(PyError::fetch());
            return unexpected(PyError::format(PyExc_TypeError, text::kSourceNotStr, type_name.get()));
        }
        auto source_text = text_argument(source.get(), "source");
        if (!source_text) return unexpected(std::move(source_text).error());
        if (!PyUnicode_CheckExact(source.get())) source = new_str(*source_text);  // its text, not a subclass
        auto base_of = base_store(base.get());
        if (!base_of) return unexpected(std::move(base_of).error());
        CatalogueBuilder builder(*source_text, *base_of);
        if (auto read = read_records(entries.get(), builder); !read) return unexpected(std::move(read).error());
        Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> built = unexpected(CatalogueFailure{});
        {
            WithoutInterpreterLock unlocked;
            built = std::move(builder).finish({});
        }
        if (!built) return unexpected(catalogue_error(built.error()));
        // The records' iteration, or another thread while the lock was
        // released, may have built this object meanwhile.
        if (object_of(self) != nullptr) return unexpected(built_already());
        place_value(self, CatalogueObject(std::move(built).value(), std::move(source), OwnedRef::borrow(base.get())));
        return 0;
    });
}

int catalogue_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const CatalogueObject* object = object_of(self);
    return object == nullptr ? 0 : object->traverse(visit, arg);
}

int catalogue_clear(PyObject* self) {
    if (CatalogueObject* object = object_of(self)) dealloc_boundary([object] { object->clear_made(); });
    return 0;
}

void catalogue_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // A chain of bases is released one level at a time: releasing the last
    // catalogue over a deep chain must not recurse as deep.
    Py_TRASHCAN_BEGIN(self, catalogue_dealloc)
    dealloc_wrapped<CatalogueObject>(self);
    Py_TRASHCAN_END
}

// Catalogue._read(data, source, base): the pure twin's loads once the text is bytes.
PyObject* catalogue_read(PyObject* type, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 3 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1])) {
            return unexpected(PyError::lazy(PyExc_TypeError, text::kReadArguments));
        }
        auto source = text_argument(args[1], "source");
        if (!source) return unexpected(std::move(source).error());
        auto base = base_store(args[2]);
        if (!base) return unexpected(std::move(base).error());
        const std::string_view data(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> built = unexpected(CatalogueFailure{});
        {
            // The bytes and the base cannot change, and the caller holds them.
            WithoutInterpreterLock unlocked;
            built = load_catalogue(PaddedText::copy_of(data), *source, *base, /*strip_bom=*/false);
        }
        if (!built) return unexpected(catalogue_error(built.error()));
        OwnedRef label = PyUnicode_CheckExact(args[1]) ? OwnedRef::borrow(args[1]) : new_str(*source);
        return wrap_value(reinterpret_cast<PyTypeObject*>(type),
                          CatalogueObject(std::move(built).value(), std::move(label), base_reference(args[2])));
    });
}

// The load's failure to read: the OSError open() would raise, with the
// note of the pure twin's load (the path as given, escapes and all).
PyError read_failure(PyObject* path, int failed_errno) {
    errno = failed_errno;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    PyError error = PyError::fetch();
    const std::string reason = IoError{failed_errno}.message();
    OwnedRef note = OwnedRef::steal(PyUnicode_FromFormat(text::kLoadFailedNote, path, reason.c_str()));
    OwnedRef added = note && error.exception() != nullptr
                         ? OwnedRef::steal(PyObject_CallMethod(error.exception(), "add_note", "O", note.get()))
                         : OwnedRef();
    if (!added) return PyError::fetch();
    return error;
}

// Catalogue._load(path, base): the pure twin's load; the path is the source.
PyObject* catalogue_load(PyObject* type, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 2 || !PyUnicode_Check(args[0])) {
            return unexpected(PyError::lazy(PyExc_TypeError, text::kLoadArguments));
        }
        // Owned: a signal handler runs Python code while the file is read.
        const OwnedRef path_given = OwnedRef::borrow(args[0]);
        const OwnedRef base = base_reference(args[1]);
        auto base_of = base_store(base.get());
        if (!base_of) return unexpected(std::move(base_of).error());
        // The path as open() takes it: a file name that is not UTF-8 comes
        // as surrogate escapes, and its bytes are the source in messages.
        OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(path_given.get()));
        if (!encoded) return unexpected(PyError::fetch());
        const char* path = PyBytes_AS_STRING(encoded.get());
        const std::string_view source(path, static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (std::strlen(path) != source.size()) return unexpected(PyError::lazy(PyExc_ValueError, text::kEmbeddedNull));
        FileReading reading(path, kMaxJsonText);
        Expected<PaddedText, int> text = unexpected(0);
        for (;;) {
            {
                WithoutInterpreterLock unlocked;
                text = reading.step();
            }
            if (text || text.error() != EINTR) break;
            // As the interpreter reads its own files (PEP 475): a handler
            // that raises ends the load with its exception alone; else the
            // reading goes on.
            if (PyErr_CheckSignals() < 0) return unexpected(PyError::fetch());
        }
        if (!text && text.error() == EFBIG) return unexpected(catalogue_error(text_too_long(source)));
        if (!text) return unexpected(read_failure(path_given.get(), text.error()));
        Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> built = unexpected(CatalogueFailure{});
        {
            WithoutInterpreterLock unlocked;
            built = load_catalogue(*text, source, *base_of);
        }
        if (!built) return unexpected(catalogue_error(built.error()));
        return wrap_value(reinterpret_cast<PyTypeObject*>(type),
                          CatalogueObject(std::move(built).value(), OwnedRef::borrow(path_given.get()),
                                          OwnedRef::borrow(base.get())));
    });
}

Py_ssize_t catalogue_len(PyObject* self) {
    return length_boundary([&]() -> PyResult<Py_ssize_t> {
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        return checked_length((*object)->store().size());
    });
}

PyObject* catalogue_subscript(PyObject* self, PyObject* key) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        std::uint32_t row = fast_row(**object, key);
        if (row == kNoIndex) {
            auto named = row_of_key(**object, key);
            if (!named) return unexpected(std::move(named).error());
            row = *named;
        }
        auto record = (*object)->record(row);
        if (!record) return unexpected(std::move(record).error());
        return OwnedRef::borrow(*record);
    });
}

int catalogue_contains(PyObject* self, PyObject* key) {
    // Only a catalogue that was never built fails: a key without a UTF-8
    // form (a lone surrogate) names nothing, and so does a non-str.
    const CatalogueObject* object = object_of(self);
    if (object == nullptr) {
        return int_boundary([]() -> PyResult<int> { return unexpected(unmade_error(catalogue_class().spec())); });
    }
    if (!PyUnicode_Check(key)) return 0;
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key)) return fast_row(*object, key) != kNoIndex;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return size != 0 && object->store().find(std::string_view(utf8, static_cast<std::size_t>(size))) != kNoIndex;
}

PyObject* catalogue_iter(PyObject* self) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        auto names = (*object)->names();
        if (!names) return unexpected(std::move(names).error());
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(*names));
        if (!iterator) return unexpected(PyError::fetch());
        return iterator;
    });
}

// The methods take their arguments as a Python def would, so that a wrong
// call fails with the pure twin's words.
constexpr std::array<const char*, 0> kNoParams{};
constexpr std::array<const char*, 1> kNameParam{"name"};
constexpr std::array<const char*, 1> kTextParam{"text"};
constexpr std::array<const char*, 2> kGetParams{"name", "default"};
const Signature kGetSignature{"Catalogue.get()", kGetParams, 1, 2, true};
const Signature kNamesSignature{"Catalogue.names()", kNoParams, 0, 0, true};
const Signature kDumpsSignature{"Catalogue.dumps()", kNoParams, 0, 0, true};
const Signature kFindSignature{"Catalogue.find()", kTextParam, 1, 1, true};
const Signature kDatasheetSignature{"Catalogue.datasheet()", kNameParam, 1, 1, true};
const Signature kDeriveSignature{"Catalogue.derive()", kNameParam, 1, 1, true};
const Signature kDerivedSignature{"Catalogue.derived()", kNameParam, 1, 1, true};
const Signature kBudgetSignature{"Catalogue.budget()", kNameParam, 1, 1, true};

// Runs `body(object, arguments)` for a method of `signature`.
template <std::size_t N, class Body>
PyObject* method(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Body&& body) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        std::array<PyObject*, N == 0 ? 1 : N> given{};
        if (auto error = parse_vector_args(signature, args, nargs, kwnames, given.data())) {
            return unexpected(std::move(*error));
        }
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        return body(**object, given);
    });
}

PyObject* catalogue_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<2>(kGetSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        std::uint32_t row = fast_row(object, given[0]);
        if (row == kNoIndex) {
            // As any mapping's get: whatever names no entry gives the default.
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(given[0]) ? PyUnicode_AsUTF8AndSize(given[0], &size) : nullptr;
            if (utf8 == nullptr && PyErr_Occurred() != nullptr) {
                // A lone surrogate names nothing; running out of memory is no answer.
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return unexpected(PyError::fetch());
                PyErr_Clear();
            }
            if (utf8 != nullptr && size != 0) row = object.store().find(std::string_view(utf8, static_cast<std::size_t>(size)));
            if (row == kNoIndex) return OwnedRef::borrow(given[1] != nullptr ? given[1] : Py_None);
        }
        auto record = object.record(row);
        if (!record) return unexpected(std::move(record).error());
        return OwnedRef::borrow(*record);
    });
}

PyObject* catalogue_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<0>(kNamesSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto&) -> PyResult<OwnedRef> {
        auto names = object.names();
        if (!names) return unexpected(std::move(names).error());
        OwnedRef list = OwnedRef::steal(PySequence_List(*names));
        if (!list) return unexpected(PyError::fetch());
        return list;
    });
}

PyObject* catalogue_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kFindSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        auto text = text_argument(given[0], "text");
        if (!text) return unexpected(std::move(text).error());
        OwnedRef casefolded = OwnedRef::steal(PyObject_CallMethod(text_object(*text).get(), "casefold", nullptr));
        if (!casefolded) return unexpected(PyError::fetch());
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(casefolded.get(), &size);
        if (utf8 == nullptr) return unexpected(PyError::fetch());
        auto names = object.names();
        if (!names) return unexpected(std::move(names).error());
        auto folded = object.folded();
        if (!folded) return unexpected(std::move(folded).error());
        // Rows are searched in storage order, which reads the texts front to
        // back; the answer then follows the byte order of the names.
        std::vector<bool> found;
        std::span<const std::uint32_t> sorted;
        Py_ssize_t count = 0;
        {
            WithoutInterpreterLock unlocked;
            found = rows_containing(object.store(), **folded, std::string_view(utf8, static_cast<std::size_t>(size)));
            sorted = object.store().sorted();
            count = static_cast<Py_ssize_t>(std::count(found.begin(), found.end(), true));
        }
        OwnedRef list = OwnedRef::steal(PyList_New(count));
        if (!list) return unexpected(PyError::fetch());
        Py_ssize_t filled = 0;
        for (std::size_t at = 0; at < sorted.size(); ++at) {
            if (found[sorted[at]]) {
                PyList_SET_ITEM(list.get(), filled++, Py_NewRef(PyTuple_GET_ITEM(*names, static_cast<Py_ssize_t>(at))));
            }
        }
        return list;
    });
}

PyObject* catalogue_datasheet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDatasheetSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        auto row = row_named(object, given[0]);
        if (!row) return unexpected(std::move(row).error());
        // From the record a lookup hands out, as the reference does: its
        // texts are made already, and both read the same attributes.
        auto record = object.record(*row);
        if (!record) return unexpected(std::move(record).error());
        OwnedRef sheet = OwnedRef::steal(PyDict_New());
        if (!sheet) return unexpected(PyError::fetch());
        for (PyObject* field : package().datasheet_fields) {
            OwnedRef value = OwnedRef::steal(PyObject_GetAttr(*record, field));
            if (!value || PyDict_SetItem(sheet.get(), field, value.get()) < 0) return unexpected(PyError::fetch());
        }
        return sheet;
    });
}

// Computes every formula's value, without the interpreter lock, the first time one is asked for.
void prepare_values(const CatalogueStore& store) {
    if (store.values_ready()) return;
    WithoutInterpreterLock unlocked;
    store.prepare_values();
}

PyObject* catalogue_derive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDeriveSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        std::uint32_t row = fast_row(object, given[0]);
        if (row == kNoIndex) {
            auto named = row_named(object, given[0]);
            if (!named) return unexpected(std::move(named).error());
            row = *named;
        }
        const CatalogueStore& store = object.store();
        if (store.row(row).is_formula()) prepare_values(store);
        auto value = store.derive(row);
        if (!value) return unexpected(derivation_error(value.error()));
        return new_float(*value);
    });
}

PyObject* catalogue_derived(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kDerivedSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        auto row = row_named(object, given[0]);
        if (!row) return unexpected(std::move(row).error());
        const CatalogueStore& store = object.store();
        if (!store.row(*row).is_formula()) {
            auto record = object.record(*row);
            if (!record) return unexpected(std::move(record).error());
            return OwnedRef::borrow(*record);
        }
        prepare_values(store);
        auto value = store.derive(*row);
        if (!value) return unexpected(derivation_error(value.error()));
        Expected<std::optional<double>, std::string> uncertainty = std::optional<double>();
        {
            // An ancestry may be long; the values it reads are all made.
            WithoutInterpreterLock unlocked;
            uncertainty = store.uncertainty(*row);
        }
        if (!uncertainty) return unexpected(derivation_error(uncertainty.error()));
        const DerivedFields derived{*value, *uncertainty};
        return make_record(store, *row, &derived);
    });
}

PyObject* catalogue_budget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<1>(kBudgetSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto& given) -> PyResult<OwnedRef> {
        auto row = row_named(object, given[0]);
        if (!row) return unexpected(std::move(row).error());
        const CatalogueStore& store = object.store();
        if (store.row(*row).is_formula()) prepare_values(store);
        std::vector<CatalogueStore::Contribution> budget;
        Expected<std::optional<double>, std::string> uncertainty = std::optional<double>();
        {
            WithoutInterpreterLock unlocked;
            uncertainty = store.uncertainty(*row, &budget);
        }
        if (!uncertainty) return unexpected(derivation_error(uncertainty.error()));
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(budget.size())));
        if (!list) return unexpected(PyError::fetch());
        for (std::size_t i = 0; i < budget.size(); ++i) {
            OwnedRef name = text_object(store.row(budget[i].seed).name());
            OwnedRef share = new_float(budget[i].share);
            OwnedRef pair = OwnedRef::steal(PyTuple_Pack(2, name.get(), share.get()));
            if (!pair) return unexpected(PyError::fetch());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return list;
    });
}

PyObject* catalogue_dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<0>(kDumpsSignature, self, args, nargs, kwnames, [](CatalogueObject& object, auto&) -> PyResult<OwnedRef> {
        std::string text;
        {
            WithoutInterpreterLock unlocked;
            text = object.store().dumps();
        }
        return text_object(text);
    });
}

PyObject* catalogue_source(PyObject* self, void*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        return OwnedRef::borrow((*object)->source());
    });
}

PyObject* catalogue_description(PyObject* self, void*) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        auto object = checked(self);
        if (!object) return unexpected(std::move(object).error());
        return text_object((*object)->store().description());
    });
}

// An immutable catalogue is its own copy, as a tuple is.
PyObject* catalogue_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef kMethods[] = {
    {"__copy__", catalogue_copy, METH_NOARGS, text::kCopyDoc},
    {"__deepcopy__", catalogue_copy, METH_O, text::kDeepCopyDoc},
    {"get", method_entry(catalogue_get), METH_FASTCALL | METH_KEYWORDS, text::kGetDoc},
    {"names", method_entry(catalogue_names), METH_FASTCALL | METH_KEYWORDS, text::kNamesDoc},
    {"find", method_entry(catalogue_find), METH_FASTCALL | METH_KEYWORDS, text::kFindDoc},
    {"datasheet", method_entry(catalogue_datasheet), METH_FASTCALL | METH_KEYWORDS, text::kDatasheetDoc},
    {"derive", method_entry(catalogue_derive), METH_FASTCALL | METH_KEYWORDS, text::kDeriveDoc},
    {"derived", method_entry(catalogue_derived), METH_FASTCALL | METH_KEYWORDS, text::kDerivedDoc},
    {"budget", method_entry(catalogue_budget), METH_FASTCALL | METH_KEYWORDS, text::kBudgetDoc},
    {"dumps", method_entry(catalogue_dumps), METH_FASTCALL | METH_KEYWORDS, text::kDumpsDoc},
    {"_read", method_entry(catalogue_read), METH_FASTCALL | METH_CLASS, text::kReadDoc},
    {"_load", method_entry(catalogue_load), METH_FASTCALL | METH_CLASS, text::kLoadDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"source", catalogue_source, nullptr, text::kSourceDoc, nullptr},
    {"description", catalogue_description, nullptr, text::kDescriptionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kMoreSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(catalogue_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(catalogue_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(catalogue_clear)},
    {Py_mp_subscript, reinterpret_cast<void*>(catalogue_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(catalogue_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(catalogue_iter)},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

const ClassSpec kSpec{
    "ostrelin._veldra_catalogue.Catalogue",
    "Catalogue",
    text::kCatalogueDoc,
    "Catalogue.__init__()",
    static_cast<int>(sizeof(Self)),
    catalogue_dealloc,
    catalogue_new,
    catalogue_len,
    kMethods,
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kMoreSlots,
};

}  // namespace

TypeCell& catalogue_class() noexcept {
    static TypeCell cell(kSpec);
    return cell;
}

}  // namespace veldra::py
