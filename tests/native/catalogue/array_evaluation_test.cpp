// Formulas over arrays against the scalar derivation: every element must be,
// bit for bit, what a catalogue holding that element's seed values derives,
// faults and all, across blocks and threads (ThreadSanitizer runs this in
// tools/sanitizers.sh), whatever the strides.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "catalogue/array_evaluation.hpp"
#include "catalogue/catalogue_reader.hpp"

namespace {

using namespace veldra;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string number(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// Seeds a and b (replaced by the arrays), d and e correlated with a and each
// other, c exact; three levels of formulas. `a`, `b` and `sigma_a` are one
// element's, for the scalar oracle; a replaced seed keeps no correlation.
std::string catalogue(double a = 2.0, double b = 3.0, double sigma_a = 0.1, bool replaced = false) {
    std::string text = R"({"format": "ostrelin-catalogue", "version": 2, "constants": [)";
    text += R"({"name": "a", "units": "", "value": )" + number(a);
    if (!std::isnan(sigma_a)) text += R"(, "uncertainty": )" + number(sigma_a);
    text += R"(}, {"name": "b", "units": "", "value": )" + number(b) + R"(},
        {"name": "c", "units": "", "value": 5},
        {"name": "d", "units": "", "value": 0.5, "uncertainty": 0.05},
        {"name": "e", "units": "", "value": 1.5, "uncertainty": 0.3},
        {"name": "g", "units": "", "expression": "a * b + sqrt(c) / d"},
        {"name": "h", "units": "", "expression": "log(g) - exp(-e) * sin(a * e) + d ** 2"},
        {"name": "f", "units": "", "expression": "h / (b - 2) + g ** 1.5 + atan(d) * tanh(e) - a"}],
        "correlations": )";
    text += replaced ? R"([["d", "e", -0.4]]})" : R"([["a", "d", 0.3], ["d", "e", -0.4], ["a", "e", 0.2]]})";
    return text;
}

std::unique_ptr<CatalogueStore> load(const std::string& text) {
    auto loaded = load_catalogue(PaddedText::copy_of(text), "test");
    EXPECT_TRUE(loaded) << (loaded ? "" : loaded.error().note);
    return std::move(loaded).value();
}

// What the scalar derivation gives one element: value, σ, and the text of
// the first failure ("" when none), value first.
struct Scalar {
    double value = kNaN, sigma = kNaN;
    std::string failure;
};
Scalar scalar(double a, double b, double sigma_a) {
    const auto store = load(catalogue(a, b, sigma_a, true));
    const std::uint32_t f = store->find("f");
    Scalar out;
    const auto value = store->derive(f);
    if (!value) {
        out.failure = value.error();
        return out;
    }
    out.value = *value;
    const auto sigma = store->uncertainty(f);
    if (!sigma) {
        out.failure = sigma.error();
    } else {
        out.sigma = sigma->value_or(kNaN);
    }
    return out;
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y)); }

struct Outcome {
    std::vector<double> value, sigma;
    std::optional<ArrayProblem> problem;
};

// Evaluates f with a and b replaced, a with uncertainties, over `shape`.
Outcome evaluate(const CatalogueStore& store, const std::vector<std::size_t>& shape, const StridedArray& a,
             const StridedArray& b, const StridedArray& sigma_a, bool nan) {
    const std::uint32_t f = store.find("f");
    const auto ancestry = ArrayEvaluation::ancestry(store, f);
    const ArrayEvaluation evaluation(store, f, ancestry, {store.find("a"), store.find("b")}, {true, false});
    EXPECT_TRUE(evaluation.informed());
    std::size_t count = 1;
    for (std::size_t extent : shape) count *= extent;
    Outcome run{std::vector<double>(count), std::vector<double>(count), std::nullopt};
    ArrayData data{shape, {a, b}, {sigma_a}, run.value.data(), run.sigma.data(), nan};
    run.problem = evaluation.run(data).problem;
    return run;
}

StridedArray contiguous(const std::vector<double>& values) {
    return StridedArray{reinterpret_cast<const unsigned char*>(values.data()), {sizeof(double)}};
}

// Elements that fault, in index order: b = 2 divides by zero, a NaN, a zero
// or infinite σ, a value past a double.
struct Planted {
    std::size_t index;
    double a, b, sigma;
};
const Planted kPlanted[] = {
    {7, 2.0, 2.0, 0.1},      {4099, kNaN, 1.0, 0.1}, {5000, 1.0, 3.0, 0.0},
    {33000, 1.0, 3.0, kInf}, {40001, 1e300, 1.0, 0.1}, {65000, -3.0, 0.5, 0.2},
};

TEST(ArrayEvaluation, EveryElementIsTheScalarDerivation) {
    const auto store = load(catalogue());
    // Enough elements for two threads and many blocks.
    const std::size_t n = 70001;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> positive(0.25, 4.0), spread(0.01, 0.2);
    std::vector<double> a(n), b(n), sigma(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = positive(random);
        b[i] = positive(random);
        sigma[i] = spread(random);
    }
    for (const Planted& p : kPlanted) {
        a[p.index] = p.a;
        b[p.index] = p.b;
        sigma[p.index] = p.sigma;
    }
    const Outcome run = evaluate(*store, {n}, contiguous(a), contiguous(b), contiguous(sigma), true);
    ASSERT_FALSE(run.problem) << run.problem->message;
    std::vector<std::size_t> checked;
    for (std::size_t i = 0; i < n; i += 997) checked.push_back(i);
    for (const Planted& p : kPlanted) {
        if (std::isfinite(p.a) && std::isfinite(p.sigma)) checked.push_back(p.index);
    }
    // What no file can hold: NaN passes through the values unjudged, and its
    // derivative fails; an infinite σ leaves the value and makes σ² too large.
    EXPECT_TRUE(std::isnan(run.value[4099]));
    EXPECT_TRUE(std::isnan(run.sigma[4099]));
    EXPECT_TRUE(same_bits(run.value[33000], scalar(1.0, 3.0, 0.1).value));
    EXPECT_TRUE(std::isnan(run.sigma[33000]));
    int faults = 0;
    for (std::size_t i : checked) {
        const Scalar expected = scalar(a[i], b[i], sigma[i]);
        // A value that fails makes both NaN; an uncertainty that fails keeps the value.
        EXPECT_TRUE(same_bits(run.value[i], expected.value)) << i << ": " << run.value[i] << " " << expected.value;
        EXPECT_TRUE(same_bits(run.sigma[i], expected.sigma)) << i << ": " << run.sigma[i] << " " << expected.sigma;
        faults += !expected.failure.empty();
    }
    EXPECT_EQ(faults, 2);  // b = 2 and the overflow; the zero σ is exact

    // Raising: the first element that fails, with the scalar's words.
    const Outcome raised = evaluate(*store, {n}, contiguous(a), contiguous(b), contiguous(sigma), false);
    ASSERT_TRUE(raised.problem);
    EXPECT_EQ(raised.problem->kind, ArrayProblem::Kind::Derivation);
    EXPECT_EQ(raised.problem->index, 7u);
    EXPECT_EQ(raised.problem->message, scalar(2.0, 2.0, 0.1).failure);
    EXPECT_EQ(raised.problem->message, "division by zero in the expression of `f`");
}

TEST(ArrayEvaluation, AnUncertaintyBelowZeroOrNaNStopsTheRunEvenWithNaNs) {
    const auto store = load(catalogue());
    for (const double bad : {-1.0, kNaN}) {
        std::vector<double> a(100, 1.0), b(100, 3.0), sigma(100, 0.1);
        b[10] = 2.0;  // faults before the bad σ: reported only when raising
        sigma[60] = bad;
        for (const bool nan : {true, false}) {
            const Outcome run = evaluate(*store, {100}, contiguous(a), contiguous(b), contiguous(sigma), nan);
            ASSERT_TRUE(run.problem);
            EXPECT_EQ(run.problem->kind, nan ? ArrayProblem::Kind::BadUncertainty : ArrayProblem::Kind::Derivation);
            EXPECT_EQ(run.problem->index, nan ? 60u : 10u);
        }
    }
}

// The same numbers laid out otherwise: a broadcast along an axis (stride 0),
// b read backwards, σ from every other element of a wider array.
TEST(ArrayEvaluation, StridesAndBroadcastsReadTheSameElements) {
    const auto store = load(catalogue());
    const std::size_t rows = 300, columns = 257;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> positive(0.25, 4.0), spread(0.01, 0.2);
    std::vector<double> column(rows), b(columns), wide(2 * rows * columns);
    for (double& x : column) x = positive(random);
    for (double& x : b) x = positive(random);
    for (double& x : wide) x = spread(random);
    // The flat layout of each, for the reference run.
    std::vector<double> a_flat, b_flat, sigma_flat;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            a_flat.push_back(column[r]);
            b_flat.push_back(b[columns - 1 - c]);
            sigma_flat.push_back(wide[2 * (r * columns + c)]);
        }
    }
    const Outcome flat = evaluate(*store, {rows * columns}, contiguous(a_flat), contiguous(b_flat), contiguous(sigma_flat), false);
    const auto step = static_cast<std::ptrdiff_t>(sizeof(double));
    const StridedArray a_view{reinterpret_cast<const unsigned char*>(column.data()), {step, 0}};
    const StridedArray b_view{reinterpret_cast<const unsigned char*>(b.data() + columns - 1), {0, -step}};
    const StridedArray sigma_view{reinterpret_cast<const unsigned char*>(wide.data()),
                                  {2 * step * static_cast<std::ptrdiff_t>(columns), 2 * step}};
    const Outcome strided = evaluate(*store, {rows, columns}, a_view, b_view, sigma_view, false);
    ASSERT_FALSE(flat.problem);
    ASSERT_FALSE(strided.problem);
    for (std::size_t i = 0; i < flat.value.size(); ++i) {
        ASSERT_TRUE(same_bits(flat.value[i], strided.value[i])) << i;
        ASSERT_TRUE(same_bits(flat.sigma[i], strided.sigma[i])) << i;
    }
    // And misaligned: every double one byte off.
    std::vector<unsigned char> bytes(a_flat.size() * sizeof(double) + 1);
    std::memcpy(bytes.data() + 1, a_flat.data(), a_flat.size() * sizeof(double));
    const Outcome misaligned = evaluate(*store, {rows * columns}, StridedArray{bytes.data() + 1, {step}},
                                    contiguous(b_flat), contiguous(sigma_flat), false);
    EXPECT_EQ(std::memcmp(misaligned.value.data(), flat.value.data(), flat.value.size() * sizeof(double)), 0);
}

}  // namespace

namespace {

// The loops over arrays take a square's derivative, 2 · pow(a, 1), as 2 · a:
// libm's pow must give x itself to the power 1, whatever the double.
TEST(ArrayEvaluation, PowToTheFirstIsTheNumberItself) {
    std::mt19937_64 random(3);
    volatile double one = 1.0;
    for (int i = 0; i < 2'000'000; ++i) {
        const std::uint64_t bits = random();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (std::isnan(x)) continue;
        const double power = std::pow(x, one);
        ASSERT_EQ(std::memcmp(&power, &x, sizeof x), 0) << x;
    }
}

}  // namespace
