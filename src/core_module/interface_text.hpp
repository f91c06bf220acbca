// Fixed interface text of _veldra_core: callers match every message and docstring here byte for byte; none may be reworded.
#pragma once
// Some of these read like slips and are not: a list target is called
// "PyList", a failed object creation says "called `Result::unwrap()` on an
// `Err` value", and py_get_constant's docstring names "PyKeyError". Texts
// with %-fields are PyUnicode_FromFormat formats; the others are used as
// they stand. The texts it shares with the catalogue module are in
// pyfacade/facade_text.hpp.

namespace veldra::py::text {

// The module.
inline constexpr char kVersion[] = "2.3.0";
inline constexpr char kModuleName[] = "_veldra_core";
inline constexpr char kModuleDoc[] = "Vessik module entry point. Wired as `ostrelin._veldra_core`.";
inline constexpr char kSubinterpreters[] =
    "Vessik modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";
inline constexpr char kClassInitFailed[] = "An error occurred while initializing class %s";
inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";

// Module functions.
inline constexpr char kListConstantsDoc[] =
    "py_list_constants()\n--\n\nNative-accelerated twin of `ostrelin.list_constants`.\n\n"
    "Returns all known constant names from the FormulasRegistry.";
inline constexpr char kListQuarksDoc[] =
    "py_list_quarks()\n--\n\nNative-accelerated twin of `ostrelin.list_quarks`.\n\n"
    "Returns all SM quark names from the QuarkRegistry.";
inline constexpr char kGetConstantDoc[] =
    "py_get_constant(name)\n--\n\nNative-accelerated twin of `ostrelin.Get` for the constants branch.\n\n"
    "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
    "`uncertainty`, and `status` fields \xe2\x80\x94 matching the Python constant\n"
    "datasheet schema so callers don't need to branch.\n\n"
    "Raises `PyKeyError` when `name` is not in the registry.";
inline constexpr char kEmptyName[] = "py_get_constant: name must be non-empty";

// The classes.
inline constexpr char kRegistryDoc[] = "PyFormulasRegistry()\n--\n\nPython wrapper for [`FormulasRegistry`].";
inline constexpr char kRegistryGetDoc[] = "get($self, name)\n--\n\nRetrieve the numeric value for `name`.";
inline constexpr char kRegistryVersionDoc[] = "version()\n--\n\nLibrary-version round-trip helper.";
inline constexpr char kQuarksDoc[] = "PyQuarkRegistry()\n--\n\nPython wrapper for [`QuarkRegistry`].";
inline constexpr char kMatrixDoc[] = "Python wrapper for [`CKMMatrix`].";
inline constexpr char kFromTopologyDoc[] = "from_topology()\n--\n\nBuild the CKM matrix from the underlying topology.";
inline constexpr char kIsUnitaryDoc[] = "is_unitary($self, tol)\n--\n\n`True` when the matrix is unitary within `tol`.";
inline constexpr char kJarlskogDoc[] = "jarlskog($self)\n--\n\nCP-violation Jarlskog invariant J.";
inline constexpr char kNoConstructor[] = "No constructor defined for %U";
inline constexpr char kUnwrapOnErr[] = "called `Result::unwrap()` on an `Err` value";

// Arguments and conversions.
inline constexpr char kListTarget[] = "PyList";

// Errors and faults at the boundary.
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
inline constexpr char kResumingPanic[] =
    "--- Vessik is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr char kPanicFromNative[] = "panic from Native code";
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary\n";
inline constexpr char kPanicName[] = "vessik_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "\n"
    "The exception raised when Native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char kPanicTypeFailed[] = "Failed to initialize new exception type.";

}  // namespace veldra::py::text
