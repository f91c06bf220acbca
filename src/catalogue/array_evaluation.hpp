#pragma once
// A formula evaluated over arrays: some of the seeds it reaches take their
// values (and standard uncertainties) element by element from strided
// arrays broadcast together, and every element gets, bit for bit, the value
// and uncertainty the scalar derivation gives for a catalogue with those
// seed values. A replaced seed is a new input: it keeps no correlation.
//
// The formula's ancestry is compiled once into a straight program of
// element-wise steps over registers of a block of elements: the forward
// instructions of every formula that depends on a replaced seed (what does
// not is folded to a number), then the scalar reverse pass replayed step for
// step (the same products and sums in the same order), then the covariance
// sums. Blocks are sized to stay in cache and shared out among threads. An
// element where anything is not finite, or a replaced uncertainty is not
// positive, is done again by the scalar steps themselves, which decide
// whether it faults and why: the program never has to mimic a fault.
//
// Thread-safety: a built ArrayEvaluation is only read by run(); the store
// must outlive it and must have its values computed (it computes them).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalogue/catalogue_store.hpp"
#include "expression/expression.hpp"

namespace veldra {

// The most axes a result may have (NumPy's own limit).
inline constexpr std::size_t kMaxAxes = 64;

// One array read element by element in the result's C order: element i at
// data + Σ index_k · strides[k] over the result's axes (a stride of 0 repeats
// the array along that axis). Any alignment.
struct StridedArray {
    const unsigned char* data = nullptr;
    std::vector<std::ptrdiff_t> strides;
};

// The arrays of one run: replaced seeds' values and uncertainties in the
// order the evaluation was built with, and the C-contiguous outputs.
struct ArrayData {
    std::vector<std::size_t> shape;
    std::vector<StridedArray> values;
    std::vector<StridedArray> uncertainties;  // one per replaced seed given one
    double* value_out = nullptr;
    // Written only when the outcome says so (see run()).
    double* uncertainty_out = nullptr;
    bool nan_on_fault = false;
};

// What stops a run: the first element (in C order) with a problem.
struct ArrayProblem {
    enum class Kind : std::uint8_t { BadUncertainty, Derivation };
    Kind kind;
    std::size_t index;
    std::size_t seed;      // BadUncertainty: which replaced seed (its place among those given one)
    std::string message;   // Derivation: the scalar derivation's text
};

// What a run did: the first problem it met, and whether it wrote the
// uncertainties (an exact result's, 0.0 throughout, are not written).
struct ArrayOutcome {
    std::optional<ArrayProblem> problem;
    bool uncertainty_written = false;
};

class ArrayEvaluation {
public:
    // The formulas `row` reaches, each after those it depends on, and the
    // seeds it reaches (itself when a seed), sorted.
    struct Ancestry {
        std::vector<std::uint32_t> formulas;
        std::vector<std::uint32_t> seeds;
    };
    static Ancestry ancestry(const CatalogueStore& store, std::uint32_t row);

    // `replaced`: distinct seeds of `ancestry`; `given[k]`: whether
    // replaced[k] has uncertainties.
    ArrayEvaluation(const CatalogueStore& store, std::uint32_t row, const Ancestry& ancestry,
                    std::vector<std::uint32_t> replaced, std::vector<bool> given);

    // Whether the result has an uncertainty: some seed reached has one.
    bool informed() const noexcept { return informed_; }

    // Whether the result's uncertainty is 0.0 wherever it can be computed:
    // every seed reached is exact. Its uncertainties are then written only
    // when an element fails (NaN there, 0.0 elsewhere).
    bool exact() const noexcept { return exact_; }

    // Fills the outputs. Returns the first problem: a replaced uncertainty
    // that is negative or NaN; or, unless `nan_on_fault`, an element whose
    // value or uncertainty the scalar derivation refuses (with
    // `nan_on_fault` such an element gets NaN, its value kept when only the
    // uncertainty fails). Uses up to worker_threads() threads; calls nothing
    // outside this library.
    ArrayOutcome run(const ArrayData& data) const;

    // How much work `count` elements are, in element-steps: what decides
    // whether a call is worth releasing the interpreter lock for.
    std::size_t work(std::size_t count) const noexcept { return count * (steps_.size() + 1); }

    // Elements per block (exposed for tests that cross block edges).
    std::size_t block_size() const noexcept { return block_; }

    // The operand of a step: a register of the block, or a number.
    struct Operand {
        bool vector = false;
        std::uint32_t reg = 0;
        double number = 0.0;
    };
    // One element-wise operation over a block; every operand a register.
    struct Step {
        enum class Kind : std::uint8_t { Operate, Square, Call, Partial, Root };
        Kind kind;
        Op op;
        Function function;
        std::uint8_t operand;  // Partial: which operand's
        bool check;            // marks an element whose result is not finite
        std::uint32_t out, a, b, result;  // Partial reads a, b and the instruction's result
    };
    class Compiler;
    class Runner;

private:
    // What the store's derivation marks an entry with, read as it reads them.
    static constexpr std::uint8_t kUncertain = CatalogueStore::kUncertain;
    static constexpr std::uint8_t kInformed = CatalogueStore::kInformed;

    const CatalogueStore& store_;
    std::uint32_t row_;
    std::vector<std::uint32_t> formulas_;
    std::vector<std::uint32_t> replaced_;
    std::vector<std::int32_t> sigma_slot_;  // per replaced seed: its place among those given one, or -1
    bool informed_ = false;
    bool exact_ = false;
    bool always_scalar_ = false;  // a folded number is not finite: every element goes the scalar way
    std::vector<Step> steps_;
    std::vector<std::pair<std::uint32_t, double>> splats_;  // registers that hold one number throughout
    std::vector<std::uint32_t> value_regs_;   // per replaced seed
    std::vector<std::uint32_t> sigma_regs_;   // per replaced seed given one
    Operand value_result_;
    Operand sigma_result_;
    std::uint32_t registers_ = 0;
    std::size_t block_ = 0;

    void drop_guarded_checks();
    void share_registers();
    void scalar_element(const std::vector<double>& values, const std::vector<double>& sigmas, std::size_t index,
                        const ArrayData& data, std::optional<ArrayProblem>& problem,
                        std::vector<std::pair<std::size_t, double>>* exceptions) const;
};

}  // namespace veldra
