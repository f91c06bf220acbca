#pragma once
// QuarkRegistry: the six Standard-Model quarks keyed by name, in a hash table
// keyed like the formulas registry's (SipHash-1-3 with keys from the
// thread's source). Its entries are the immutable records of the standard
// model table. Never changed after construction; not locked, so a registry
// may be read from many threads but built by one.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "open_table.hpp"
#include "quark.hpp"
#include "siphash.hpp"

namespace veldra {

class QuarkRegistry {
public:
    // An empty registry (fresh hash keys from the thread's source).
    QuarkRegistry();

    // A registry holding the six quarks: up, down, strange, charm, bottom, top.
    static QuarkRegistry standard_model();

    std::size_t len() const noexcept { return quarks_.size(); }

    // The record stored under `name`, or nullptr.
    const Quark* find(std::string_view name) const noexcept;

    // Every name, in table order (the caller sorts). The views refer to the
    // table's text, which lives as long as the process.
    std::vector<std::string_view> names() const;

private:
    HashKeys keys_;
    OpenTable<const Quark*, std::string_view> quarks_;
};

// The six quark names in byte order, from a registry built for the call.
std::vector<std::string_view> list_quark_names();

}  // namespace veldra
