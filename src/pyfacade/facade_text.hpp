// Fixed texts of the shared facade: both extension modules raise these byte for byte, and the package's
// pure-Python twin reproduces the ones a caller can meet; none may be reworded.
#pragma once
// Some read like slips and are not: the conversion target is called
// "PyString" and "takes 1 positional arguments" stays plural in the core's
// wording (the catalogue module words argument errors as a Python def does).
// Texts with %-fields are PyUnicode_FromFormat formats.

namespace veldra::py::text {

// Arguments and conversions.
inline constexpr char kTakesPositional[] = "%s takes %zd positional arguments but %zd %s given";
// A Python method's wording: the count given may own up to keyword-only arguments too.
inline constexpr char kTakesPositionalMethod[] = "%s takes %zd positional arguments but %U %s given";
inline constexpr char kTakesPositionalSingularMethod[] = "%s takes %zd positional argument but %U %s given";
inline constexpr char kTakesPositionalRangeMethod[] = "%s takes from %zd to %zd positional arguments but %U %s given";
inline constexpr char kGivenWithKeywordOnly[] = "%zd positional argument%s (and %zd keyword-only argument%s)";
inline constexpr char kKeywordsMustBeStrings[] = "keywords must be strings";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%U'";
inline constexpr char kMissingArguments[] = "%s missing %zd required positional %s: %s";
inline constexpr char kCannotConvert[] = "'%U' object cannot be converted to '%s'";
inline constexpr char kStringTarget[] = "PyString";
inline constexpr char kNamedArgument[] = "argument '%s': %U";

// Lookups: the note on a KeyError for a near miss.

// Objects and errors at the boundary.
inline constexpr char kAlreadyBorrowed[] = "Already mutably borrowed";
inline constexpr char kNotMadeBy[] = "%s object was not made by %s";
inline constexpr char kTypeObjectFailed[] = "failed to create type object for ";
inline constexpr char kApiCallFailed[] = "Python API call failed";
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";

}  // namespace veldra::py::text
