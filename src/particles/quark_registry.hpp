#pragma once
// QuarkRegistry: the six Standard-Model quarks keyed by name, in a hash table
// keyed like the formulas registry's (SipHash-1-3 with keys from the
// thread's source). Its entries are the immutable records of the standard
// model table. Never changed after construction; not locked, so a registry
// may be read from many threads but built by one.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "particles/quark.hpp"
#include "support/open_table.hpp"
#include "support/siphash.hpp"

namespace veldra {

inline constexpr std::size_t kQuarkCount = 6;

class QuarkRegistry {
    using Table = OpenTable<const Quark*, std::string_view>;

public:
    // Stack memory for a registry that lives only for one call: its table
    // sized for the six quarks.
    struct CallRoom {
        static constexpr std::size_t kCapacity = Table::capacity_for(kQuarkCount);
        alignas(Table::Entry) std::byte bytes[Table::storage_bytes(kCapacity)];
    };

    // An empty registry (fresh hash keys from the thread's source).
    QuarkRegistry();

    // A registry holding the six quarks: up, down, strange, charm, bottom, top.
    static QuarkRegistry standard_model();

    // The same with its table in `room`, which must outlive the registry:
    // building it allocates nothing.
    static QuarkRegistry standard_model(CallRoom& room);

    std::size_t len() const noexcept { return quarks_.size(); }

    // The record stored under `name`, or nullptr.
    const Quark* find(std::string_view name) const noexcept;

    // Visits every entry as visit(name, const Quark&), in table order.
    template <class F>
    void for_each(F&& visit) const {
        quarks_.for_each([&visit](const auto& entry) { visit(std::string_view(entry.key), *entry.value); });
    }

private:
    void fill_standard_model();

    HashKeys keys_;
    Table quarks_;
};

// The six quark names in byte order, from a registry built for the call.
std::array<std::string_view, kQuarkCount> list_quark_names();

}  // namespace veldra
