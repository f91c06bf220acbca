#pragma once
// RegistryError: the lookup error both modules raise (a name not found, as
// KeyError) and the shape of the formulas registry's other failures, whose
// texts the core keeps; IoError words an operating-system error for both.

#include <string>
#include <string_view>
#include <variant>

namespace veldra {

// An operating-system I/O error, shown as "<description> (os error <code>)".
struct IoError {
    int code = 0;
    std::string message() const;
};

struct NotFound { std::string name; };
struct NotImplemented { std::string name; };
struct LoadFailed { std::string path; IoError source; };
struct InvalidSchema { std::string path; };
struct CyclicDerivation { std::string name; };
struct ParseError { std::string subject; std::string detail; };

struct RegistryError {
    std::variant<NotFound, NotImplemented, LoadFailed, InvalidSchema, CyclicDerivation, ParseError> kind;

    // NotFound carrying a copy of `name`.
    static RegistryError not_found(std::string_view name) { return RegistryError{NotFound{std::string(name)}}; }

    // The error's display text, e.g. "constant `b4` not found in registry".
    std::string message() const;
};

}  // namespace veldra
