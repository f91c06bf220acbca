#include "lookup/registry_error.hpp"

#include <cstring>

namespace veldra {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string quoted(const char* before, const std::string& field, const char* after) {
    std::string out(before);
    out += '`';
    out += field;
    out += '`';
    out += after;
    return out;
}

}  // namespace

std::string IoError::message() const {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string RegistryError::message() const {
    return std::visit(
        Overloaded{
            [](const NotFound& e) { return quoted("constant ", e.name, " not found in registry"); },
            [](const NotImplemented& e) {
                return quoted("derivation of ", e.name, " is not yet implemented in veldra_core");
            },
            [](const LoadFailed& e) {
                return quoted("failed to load constants from ", e.path, ": ") + e.source.message();
            },
            [](const InvalidSchema& e) { return quoted("invalid JSON schema in ", e.path, ""); },
            [](const CyclicDerivation& e) { return quoted("cyclic derivation involving ", e.name, ""); },
            [](const ParseError& e) {
                return quoted("expression parse error in ", e.subject, ": ") + e.detail;
            },
        },
        kind);
}

}  // namespace veldra
