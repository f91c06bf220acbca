// Fixed texts of _veldra_catalogue: messages a caller can meet, word for word the pure twin's.
#pragma once
// Docstrings begin with the text-signature header the interpreter turns into
// __text_signature__; they match the pure twin's signatures, which the
// package's typed reference (ostrelin/_pycatalogue.py) declares.

namespace veldra::py::text {

inline constexpr char kCatalogueModuleName[] = "_veldra_catalogue";
inline constexpr char kCatalogueModuleDoc[] =
    "Native twin of `ostrelin._pycatalogue`: catalogues loaded, validated, looked up and derived natively.";
inline constexpr char kModuleCleared[] = "ostrelin._veldra_catalogue was cleared as its interpreter ends";
inline constexpr char kNotCxxException[] = "something that is no C++ exception was thrown";
inline constexpr char kFaultWhileRaising[] = "ostrelin._veldra_catalogue: fault while raising an error\n";

// The units functions the package calls.
inline constexpr char kUnitsOfArguments[] = "units_of(text: str)";
inline constexpr char kUnitsNotStr[] = " must be a str, not %U";  // after the parameter's name
inline constexpr char kUnitsOfDoc[] =
    "units_of($module, text, /)\n--\n\nWhat the units `text` mean, as ostrelin.Units(scale, dimension).";
inline constexpr char kConvertDoc[] =
    "convert($module, value, from_units, to_units)\n--\n\n`value` in `from_units` expressed in `to_units`.";

// The private constructors the package calls, and open()'s own refusal.
inline constexpr char kReadArguments[] = "_read(data: bytes, source: str, base)";
inline constexpr char kLoadArguments[] = "_load(path: str, base)";
inline constexpr char kEmbeddedNull[] = "embedded null byte";

inline constexpr char kCatalogueDoc[] =
    "Catalogue(entries, *, base=None, source='<records>', version=1, units=None, correlations=None)\n--\n\n"
    "An immutable mapping from name to `Constant`, iterated in byte order of the names.";
inline constexpr char kReadDoc[] =
    "_read($type, data, source, base, /)\n--\n\nThe catalogue in `data` (bytes in the file format), over `base`.";
inline constexpr char kLoadDoc[] =
    "_load($type, path, base, /)\n--\n\nThe catalogue in the file at `path` (a str), over `base`.";
inline constexpr char kGetDoc[] =
    "get($self, name, default=None)\n--\n\nThe entry `name`, or `default` when there is none.";
inline constexpr char kNamesDoc[] = "names($self)\n--\n\nThe names in byte order, as a new list.";
inline constexpr char kFindDoc[] =
    "find($self, text)\n--\n\nThe names, in byte order, of the entries whose name or description contains "
    "`text`, compared after str.casefold() of both.";
inline constexpr char kDatasheetDoc[] =
    "datasheet($self, name)\n--\n\nThe five stored fields of `Get` for entry `name`, as a new dict.";
inline constexpr char kDeriveDoc[] =
    "derive($self, name, units=None)\n--\n\nA seed's value, or a formula's value computed from its expression; "
    "in `units` if given.";
inline constexpr char kDerivedDoc[] =
    "derived($self, name, units=None)\n--\n\nThe entry with its derived value, status and propagated uncertainty; "
    "in `units` if given.";
inline constexpr char kDimensionDoc[] =
    "dimension($self, name)\n--\n\nThe dimension of the entry's units in SI base units, e.g. 'kg m^2 s^-2'.";
inline constexpr char kVersionDoc[] = "The file format's version: 1 keeps units as text, 2 reads them.";
inline constexpr char kBudgetDoc[] =
    "budget($self, name)\n--\n\nWhere the uncertainty of `name` comes from: (seed, |df/dx| sigma) pairs, largest first;\n"
    "then, when correlations add to sigma squared, (\"\", c): c squared, with its sign, is what they add.";
inline constexpr char kCovarianceDoc[] =
    "covariance($self, a, b)\n--\n\nThe covariance of two entries, to first order, from the seeds they reach and "
    "their correlations.";
inline constexpr char kCorrelationDoc[] =
    "correlation($self, a, b)\n--\n\nThe correlation coefficient of two entries; 0.0 when either is exact.";
inline constexpr char kCovarianceMatrixDoc[] =
    "covariance_matrix($self, names)\n--\n\nThe covariances of the entries `names`, as a list of rows.";
inline constexpr char kEvaluateDoc[] =
    "_evaluate($self, name, names, arrays, sigma_names, sigma_arrays, out_value, out_sigma, nan)\n--\n\n"
    "The native half of evaluate(): fills the outputs; whether the result has an uncertainty.";
inline constexpr char kCopyDoc[] = "__copy__($self, /)\n--\n\nThe catalogue itself: it is immutable.";
inline constexpr char kDeepCopyDoc[] = "__deepcopy__($self, memo, /)\n--\n\nThe catalogue itself: it is immutable.";
inline constexpr char kDumpsDoc[] =
    "dumps($self, *, base=True)\n--\n\nThe catalogue in the file format; without `base`, only its own entries.";
inline constexpr char kSourceDoc[] = "The path the catalogue was read from, as given, or the label it was made with.";
inline constexpr char kDescriptionDoc[] = "The file's description (\"\" when it has none).";

inline constexpr char kEmptyLookupName[] = "name must be non-empty";
// A str key no entry has, as cat[key] raises it: a lookup's words.
inline constexpr char kMissingKey[] = "constant `%U` not found in registry";
inline constexpr char kBuiltAlready[] = "Catalogue.__init__() cannot build a catalogue again: catalogues are immutable";
inline constexpr char kSourceNotStr[] = "source must be a str, not %U";
inline constexpr char kBaseNotCatalogue[] = "base must be a Catalogue, not %U";
inline constexpr char kBadVersion[] = "version must be 1 or 2, not %R";
inline constexpr char kUnitsNotDict[] = "units must be a dict, not %U";
inline constexpr char kMixedVersions[] =
    "a version 1 catalogue over a version 2 base is no one text: its formulas read units as text, the base's "
    "convert them; dumps(base=False) writes its own entries";
inline constexpr char kCorrelationsNotList[] = "correlations must be a list or tuple, not %U";
inline constexpr char kNamesIsStr[] = "names must be an iterable of names, not str";
// LoadFailed's text with the path as given: "failed to load constants from `{}`: {}".
inline constexpr char kLoadFailedNote[] = "failed to load constants from `%U`: %s";

}  // namespace veldra::py::text
