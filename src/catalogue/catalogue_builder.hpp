#pragma once
// Building a CatalogueStore, all or nothing. Entries arrive in file order,
// each with its fields checked by whoever read them (the file reader,
// catalogue_reader.hpp, or the Python facade for records); the builder checks what each entry's
// status allows, and at the end, in this order of precedence:
//
// 1. per entry in file order: its shape, then whether its name was taken
//    before, then its formula's text and dependency list;
// 2. per formula in file order: the first name (in the text) the catalogue
//    lacks;
// 3. cycles: the first entry in file order that lies on one, with the
//    shortest way back to it (breadth first, dependencies in order).
//
// The first problem found is the one reported. The pure-Python twin
// (ostrelin/_pycatalogue.py) checks the same things in the same order.
//
// Not synchronised: one thread adds the entries and builds, though building
// compiles and resolves large catalogues' formulas on worker threads
// (support/parallel.hpp); no Python is involved, so the facade runs the work
// without the interpreter lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue_error.hpp"
#include "catalogue/catalogue_store.hpp"
#include "catalogue/file_format.hpp"
#include "support/siphash.hpp"
#include "support/expected.hpp"

namespace veldra {

// Rows are numbered with 32 bits and the name index holds fewer than 2^29.
inline constexpr std::size_t kMaxEntries = (std::size_t{1} << 29) - 1;
// The longest name or expression an entry may have.
inline constexpr std::size_t kMaxFieldBytes = 0xFFFFFFFF;

// One entry's fields as read; views need only last for the call to add().
struct EntryFields {
    std::string_view name;  // not empty
    std::string_view units;
    std::optional<double> value;        // finite
    std::optional<double> uncertainty;  // finite, not negative
    std::optional<ConstantStatus> status;
    std::optional<std::string_view> expression;
    std::optional<std::vector<std::string_view>> dependencies;  // nullopt: the names the formula uses
    std::string_view description;
    std::optional<std::string_view> symbol;  // version 2: a second name, short, for formulas and lookups
};

// One item of a version-2 catalogue's correlations as read: two names and
// their correlation coefficient, or no names when the item is not
// [name, name, number].
struct CorrelationFields {
    std::optional<std::string_view> first;
    std::optional<std::string_view> second;
    double r = 0.0;  // NaN for a number no double holds
};

// The note of a version-2 catalogue given a version-1 base.
inline constexpr char kOverVersion1Base[] =
    "a version 2 catalogue cannot be built over a version 1 base, whose units are free text";

// The status an entry's `status` text names ("Seed", "Cached", ...), if any.
std::optional<ConstantStatus> status_named(std::string_view text) noexcept;

class CatalogueBuilder {
public:
    // A builder of a catalogue of file format `version` (1 or 2) whose
    // formulas may also use the entries of `base` (which must outlive the
    // catalogue), or of none.
    explicit CatalogueBuilder(std::string_view source, const CatalogueStore* base = nullptr, int version = 1);

    // How many entries have been added.
    std::size_t count() const noexcept;

    // Room for `entries` entries, when their number is known beforehand.
    void reserve(std::size_t entries);

    // Adds the next entry, whose fields have been checked, after checking
    // what its status allows. On a problem refuses the entry (as refuse()
    // does) and returns false.
    bool add(const EntryFields& fields);

    // Declares a unit of a version-2 catalogue (see DeclaredUnits::declare);
    // the failure "invalid units in `SOURCE`" with the problem as its note.
    std::optional<CatalogueFailure> declare_unit(std::string_view name, std::optional<std::string_view> definition);

    // Adds the next item of the correlations, whose names must last until
    // finish(); they are checked last, after everything else
    // (catalogue_correlations.cpp).
    void add_correlation(const CorrelationFields& fields);

    // Marks the next entry as having a problem of its shape; `note` is the
    // whole note ("entry 3 (`mu`): …"). Nothing may be added afterwards.
    void refuse(std::string note);

    // The catalogue, or the first problem of all (see above). Raises
    // std::bad_alloc.
    Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> finish(std::string description) &&;

private:
    struct Listed {
        std::uint32_t begin;
        std::uint32_t size;
        bool given;
    };
    struct Problem {
        std::size_t entry;
        int rank;  // at one entry: its shape, then a taken name, then its formula
        CatalogueFailure failure;
    };
    // What compiling a part of the formulas left: its own code, numbers and names.
    struct Compiled;

    std::uint32_t intern(std::string_view text);
    void build_name_index();
    std::optional<Problem> first_name_in_base() const;
    std::optional<Problem> first_repeated_name() const;
    std::optional<Problem> first_taken_name() const;
    std::optional<Problem> first_taken_symbol() const;
    void build_symbol_table();
    std::optional<Problem> first_local_problem();
    std::optional<Problem> compile_formulas(std::size_t limit);
    void compile_part(std::size_t begin, std::size_t end, Compiled& out);
    std::optional<Problem> join_part(Compiled& part, std::size_t first);
    std::optional<CatalogueFailure> resolve_dependencies();
    std::optional<CatalogueFailure> order_formulas();
    std::uint32_t own_formula(std::uint32_t row) const noexcept;
    template <class Visit>
    void for_each_waiting_dependency(std::uint32_t f, const std::vector<std::uint32_t>& waiting, Visit&& visit) const;
    std::vector<std::uint32_t> cyclic_components(const std::vector<std::uint32_t>& waiting) const;
    std::vector<std::uint32_t> shortest_cycle(std::uint32_t start, const std::vector<std::uint32_t>& component,
                                              const std::vector<std::uint32_t>& waiting) const;
    CatalogueFailure cycle_through(const std::vector<std::uint32_t>& waiting);
    // Version 2 (catalogue_units.cpp): every own entry's units, then every
    // own formula's dimension, each in file order; then the programs
    // rewritten to compute through coherent SI.
    std::optional<CatalogueFailure> read_units();
    const Unit& unit_of(std::uint32_t row) const noexcept;  // once the units are read
    std::optional<CatalogueFailure> check_dimensions();
    void convert_through_si();

    struct GivenCorrelation {
        bool well_formed;
        std::string_view first;
        std::string_view second;
        double r;
    };
    std::vector<GivenCorrelation> given_correlations_;
    std::optional<std::string> correlation_problem(std::size_t i, std::uint32_t rows[2]);
    std::optional<CatalogueFailure> check_correlations();
    std::optional<CatalogueFailure> check_semidefinite() const;

    std::unique_ptr<CatalogueStore> store_;
    std::string source_;
    // The units declared by the base and by this catalogue, in order; made
    // on the first declaration or when a version-2 catalogue is finished.
    std::shared_ptr<DeclaredUnits> declared_;
    DeclaredUnits& declared();
    std::optional<std::string> refused_;
    std::vector<Listed> listed_;              // per formula
    std::vector<std::string_view> listed_names_;
    std::vector<std::string_view> used_names_;  // per formula, the names it uses, slot by slot
    std::vector<std::uint32_t> offsets_;      // per used name: where the text first uses it
    std::vector<std::uint32_t> used_begin_;   // per formula: its first entry in used_names_ and offsets_
    HashKeys text_keys_;
    std::vector<std::uint64_t> text_table_;   // the texts' table: hash's top half, then 1 + index; 0 empty
};

}  // namespace veldra
