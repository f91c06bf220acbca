// The catalogue store from several threads at once: the first derive, the
// first sorted listing and every read racing, while another thread keeps
// loading catalogues; each answer must be the one a lone thread gets.
// (ThreadSanitizer runs this in tools/sanitizers.sh.) And the builder's
// limit on the length of one text.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/catalogue_builder.hpp"
#include "catalogue/catalogue_reader.hpp"

namespace {

using namespace veldra;

// n seeds with uncertainties and a formula over every pair of neighbours.
std::string catalogue_text(int n) {
    std::string text = R"({"format": "ostrelin-catalogue", "version": 1, "constants": [)";
    for (int i = 0; i < n; ++i) {
        const std::string s = std::to_string(i);
        // The formula before, or the number 2 for the first.
        const std::string before = i > 0 ? std::string(1, 'f').append(std::to_string(i - 1)) : std::string("2");
        for (const std::string& piece : {std::string(R"({"name": "s)"), s, std::string(R"(", "units": "m", "value": )"),
                                         std::to_string(i + 1), std::string(R"(.5, "uncertainty": 0.25},)"),
                                         std::string(R"({"name": "f)"), s,
                                         std::string(R"(", "units": "m", "expression": "sqrt(s)"), s,
                                         std::string(") * "), before, std::string(R"( / 3"},)")}) {
            text += piece;
        }
    }
    text += R"({"name": "long", "units": ")";
    text += std::string(300000, 'u');
    text += R"(", "value": 1}]})";
    return text;
}

std::unique_ptr<CatalogueStore> load(const std::string& text) {
    auto loaded = load_catalogue(PaddedText::copy_of(text), "test");
    EXPECT_TRUE(loaded) << (loaded ? "" : loaded.error().note);
    return std::move(loaded).value();
}

// Everything a reader can ask of every row, as text.
std::string answers(const CatalogueStore& store) {
    std::string out = store.dumps();
    for (std::uint32_t row : store.sorted()) {
        out += store.row(row).name();
        auto value = store.derive(row);
        auto spread = store.uncertainty(row);
        out += value ? std::to_string(*value) : value.error();
        out += spread ? (*spread ? std::to_string(**spread) : "none") : spread.error();
        out += std::to_string(store.find(store.row(row).name()));
    }
    return out;
}

TEST(CatalogueStore, ReadersOnManyThreadsGetWhatALoneThreadGets) {
    const std::string text = catalogue_text(300);
    const std::string expected = answers(*load(text));
    const auto shared = load(text);
    EXPECT_EQ(shared->units(shared->find("long")), std::string(300000, 'u'));  // its own arena chunk
    std::vector<std::string> seen(8);
    std::vector<std::thread> readers;
    std::thread loader([&] {
        for (int i = 0; i < 20; ++i) EXPECT_EQ(load(text)->size(), 601u);
    });
    for (auto& result : seen) readers.emplace_back([&] { result = answers(*shared); });
    for (auto& reader : readers) reader.join();
    loader.join();
    for (const auto& result : seen) EXPECT_EQ(result, expected);
}

TEST(CatalogueStore, ABuildLargeEnoughForSeveralThreadsResolvesEveryFormula) {
    // Enough formulas that compiling and resolving them splits into parts
    // (on this machine's processors), the later ones depending on earlier
    // parts' entries and on entries later in the file.
    constexpr int n = 45000;
    std::string text = R"({"format": "ostrelin-catalogue", "version": 1, "constants": [)";
    for (int i = 0; i < n; ++i) {
        const std::string s = std::to_string(i), t = std::to_string(n - 1 - i);
        text.append(R"({"name": "s)").append(s).append(R"(", "units": "", "value": )").append(s).append("},");
        text.append(R"({"name": "f)").append(s).append(R"(", "units": "", "expression": "s)").append(t);
        text.append(" * 2 + ").append(std::to_string(i % 7)).append(" + s").append(s).append(R"("},)");
    }
    text.back() = ']';
    text += '}';
    const auto store = load(text);
    for (int i = 0; i < n; i += 997) {
        const double expected = 2.0 * (n - 1 - i) + i % 7 + i;
        EXPECT_EQ(store->derive(store->find(std::string("f").append(std::to_string(i)))).value(), expected) << i;
    }
}

std::string file(std::string_view constants, std::string_view description = {}) {
    std::string text = R"({"format": "ostrelin-catalogue", "version": 1, )";
    if (!description.empty()) text.append(R"("description": )").append(description).append(", ");
    return text.append(R"("constants": [)").append(constants).append("]}");
}

std::string repeat(std::string_view part, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += part;
    return out;
}

// dumps() writes the layout the pure twin writes byte for byte: one entry a
// line, a field only when it says more than its absence, numbers as repr().
TEST(CatalogueStore, DumpsTheTwinsLayout) {
    const std::string head = "{\n  \"format\": \"ostrelin-catalogue\",\n  \"version\": 1,\n";
    const std::string escaped = repeat("\\u0001", 3000);  // past what dumps reserves
    struct Row { std::string base; std::string text; std::string expected; };
    const Row rows[] = {
        {"", file(""), head + "  \"constants\": []\n}\n"},
        {"", file("", R"("a \"quoted\"\nline")"),
         head + "  \"description\": \"a \\\"quoted\\\"\\nline\",\n  \"constants\": []\n}\n"},
        {"", file(R"({"name": "g", "units": "m/s\u00b2", "value": 9.80665, "uncertainty": 0},
                     {"name": "t", "units": "s", "value": 1e-05, "status": "External", "description": "tick"},
                     {"name": "h", "units": "m", "expression": "g * t ** 2 / 2"},
                     {"name": "v", "units": "", "value": 24, "status": "Cached", "expression": "t + g",
                      "dependencies": ["g", "t"]},
                     {"name": "w", "units": "", "value": 6.02214076e23, "status": "Seed"})"),
         head + "  \"constants\": [\n"
                "    {\"name\": \"g\", \"units\": \"m/s\xc2\xb2\", \"value\": 9.80665, \"uncertainty\": 0.0},\n"
                "    {\"name\": \"t\", \"units\": \"s\", \"value\": 1e-05, \"status\": \"External\", "
                "\"description\": \"tick\"},\n"
                "    {\"name\": \"h\", \"units\": \"m\", \"expression\": \"g * t ** 2 / 2\"},\n"
                "    {\"name\": \"v\", \"units\": \"\", \"value\": 24.0, \"status\": \"Cached\", "
                "\"expression\": \"t + g\", \"dependencies\": [\"g\", \"t\"]},\n"
                "    {\"name\": \"w\", \"units\": \"\", \"value\": 6.02214076e+23}\n  ]\n}\n"},
        {file(R"({"name": "a", "units": "", "value": -0.0}, {"name": "b", "units": "", "expression": "a"})"),
         file(R"({"name": "c", "units": "", "expression": "a + b + a", "dependencies": ["b", "a"],
                  "description": ")" + repeat("\\u0001", 3000) + "\"}", "\"over\""),
         head + "  \"description\": \"over\",\n  \"constants\": [\n"
                "    {\"name\": \"a\", \"units\": \"\", \"value\": -0.0},\n"
                "    {\"name\": \"b\", \"units\": \"\", \"expression\": \"a\"},\n"
                "    {\"name\": \"c\", \"units\": \"\", \"expression\": \"a + b + a\", \"dependencies\": [\"b\", \"a\"], "
                "\"description\": \"" + escaped + "\"}\n  ]\n}\n"},
    };
    for (const Row& row : rows) {
        std::unique_ptr<CatalogueStore> base;
        if (!row.base.empty()) base = load(row.base);
        auto loaded = load_catalogue(PaddedText::copy_of(row.text), "test", base.get());
        ASSERT_TRUE(loaded) << loaded.error().note;
        const std::string written = (*loaded)->dumps();
        EXPECT_EQ(written, row.expected);
        // What it writes reads back as the same catalogue.
        auto again = load_catalogue(PaddedText::copy_of(written), "again");
        ASSERT_TRUE(again) << again.error().note;
        EXPECT_EQ((*again)->dumps(), row.expected);
    }
}

std::string seed(std::string_view name) { return std::string(R"({"name": ")").append(name).append(R"(", "units": "", "value": 1})"); }

std::string formula(std::string_view name, std::string_view expression, std::string_view listed = {}) {
    std::string entry = std::string(R"({"name": ")").append(name).append(R"(", "units": "", "expression": ")");
    entry.append(expression).append("\"");
    if (!listed.empty()) entry.append(R"(, "dependencies": )").append(listed);
    return entry + "}";
}

// The first problem of all is the one reported: per entry its shape, a
// taken name, then its formula; then names the catalogue lacks; then cycles.
TEST(CatalogueBuilder, ReportsTheFirstProblemInItsOrder) {
    const std::string f_bad = formula("f", "1 +"), base_a = file(seed("a"));
    struct Row { std::string base; std::vector<std::string> entries; std::string expected; };
    const Row rows[] = {
        {"", {seed("a"), seed("b"), seed("a")},
         "invalid JSON schema in `test` | entry 2 (`a`): duplicate name, first at entry 0"},
        {base_a, {seed("x"), seed("a")},
         "invalid JSON schema in `test` | entry 1 (`a`): duplicate name, first in the base catalogue"},
        {base_a, {seed("b"), seed("b"), seed("a")},
         "invalid JSON schema in `test` | entry 1 (`b`): duplicate name, first at entry 0"},
        {base_a, {seed("a"), seed("b"), seed("b")},
         "invalid JSON schema in `test` | entry 0 (`a`): duplicate name, first in the base catalogue"},
        {"", {f_bad, seed("a"), seed("a")},
         "expression parse error in `f`: expected a number, a name or `(` but found the end | "},
        {"", {seed("a"), seed("a"), f_bad},
         "invalid JSON schema in `test` | entry 1 (`a`): duplicate name, first at entry 0"},
        {"", {formula("f", "1"), f_bad},
         "invalid JSON schema in `test` | entry 1 (`f`): duplicate name, first at entry 0"},
        {"", {f_bad, R"({"units": ""})"},
         "expression parse error in `f`: expected a number, a name or `(` but found the end | "},
        {"", {seed("a"), seed("a"), R"({"units": ""})"},
         "invalid JSON schema in `test` | entry 1 (`a`): duplicate name, first at entry 0"},
        {"", {R"({"units": ""})", f_bad}, "invalid JSON schema in `test` | entry 0: missing field `name`"},
        {"", {seed("a"), formula("f", "a + b")},
         "expression parse error in `f`: `b` at offset 4 is not in the catalogue | "},
        {"", {formula("f", "x + y", R"(["y", "x"])"), formula("g", "z")},
         "expression parse error in `f`: `x` at offset 0 is not in the catalogue | "},
        {base_a, {formula("f", "a * 2"), formula("g", "f + a")}, ""},
        {"", {formula("a", "b"), formula("b", "a")}, "cyclic derivation involving `a` | a -> b -> a"},
        {"", {formula("a", "a + 1")}, "cyclic derivation involving `a` | a -> a"},
        {"", {formula("a", "b + c"), formula("b", "c"), formula("c", "a")},
         "cyclic derivation involving `a` | a -> c -> a"},
        {"", {seed("s"), formula("x", "y + s"), formula("y", "z"), formula("z", "w * y"), formula("w", "z")},
         "cyclic derivation involving `y` | y -> z -> y"},
        {"", {formula("p", "q"), formula("q", "r"), formula("r", "p + q"), formula("u", "u")},
         "cyclic derivation involving `p` | p -> q -> r -> p"},
    };
    for (const Row& row : rows) {
        std::unique_ptr<CatalogueStore> base;
        if (!row.base.empty()) base = load(row.base);
        std::string constants;
        for (const std::string& entry : row.entries) constants += (constants.empty() ? "" : ", ") + entry;
        const auto built = load_catalogue(PaddedText::copy_of(file(constants)), "test", base.get());
        const std::string got = built ? "" : built.error().error.message() + " | " + built.error().note;
        EXPECT_EQ(got, row.expected) << constants;
    }
}

// An uncertainty in six significant digits, "none", or the failure.
std::string shown(const Expected<std::optional<double>, std::string>& uncertainty) {
    if (!uncertainty) return uncertainty.error();
    if (!*uncertainty) return "none";
    std::ostringstream out;
    out << **uncertainty;
    return out.str();
}

// First-order propagation, each seed's share of it (largest first, ties in
// byte order of the names), and the ways it fails.
TEST(CatalogueStore, PropagatesUncertaintiesWithTheirBudget) {
    const std::string text = file(R"json(
        {"name": "b", "units": "", "value": 3, "uncertainty": 0.2},
        {"name": "a", "units": "", "value": 2, "uncertainty": 0.1},
        {"name": "c", "units": "", "value": 5},
        {"name": "z", "units": "", "value": 0, "uncertainty": 0},
        {"name": "y", "units": "", "value": 0, "uncertainty": 1},
        {"name": "big", "units": "", "value": 1e200, "uncertainty": 1e200},
        {"name": "f", "units": "", "expression": "a * b"},
        {"name": "k", "units": "", "expression": "f + a"},
        {"name": "g", "units": "", "expression": "c * 2"},
        {"name": "h", "units": "", "expression": "sqrt(z) + c"},
        {"name": "q", "units": "", "expression": "sqrt(y)"},
        {"name": "r", "units": "", "expression": "q * 2 + a"},
        {"name": "s", "units": "", "expression": "exp(a * 300) * 1e47"},
        {"name": "t", "units": "", "expression": "big + big"},
        {"name": "d", "units": "", "expression": "a / (c - 5)"},
        {"name": "e", "units": "", "expression": "d + a"})json");
    const auto store = load(text);
    struct Share { std::string_view seed; double share; };
    struct Row { std::string_view name; std::string result; std::vector<Share> budget; };
    const Row rows[] = {
        {"a", "0.1", {{"a", 0.1}}},
        {"c", "none", {}},
        {"z", "0", {}},
        {"f", "0.5", {{"b", 2 * 0.2}, {"a", 3 * 0.1}}},
        {"k", "0.565685", {{"a", 4 * 0.1}, {"b", 2 * 0.2}}},
        {"g", "none", {}},
        {"h", "0", {}},
        {"q", "cannot propagate the uncertainty of `q`: a derivative in the expression of `q` is not finite", {}},
        {"r", "cannot propagate the uncertainty of `r`: a derivative in the expression of `q` is not finite", {}},
        {"s", "cannot propagate the uncertainty of `s`: a derivative in the expression of `s` is not finite", {}},
        {"t", "the uncertainty of `t` is too large for a double", {{"big", 2e200}}},
        {"d", "division by zero in the expression of `d`", {}},
        {"e", "cannot derive `e`: division by zero in the expression of `d`", {}},
    };
    for (const Row& row : rows) {
        std::vector<CatalogueStore::Contribution> budget{{0, -1.0}};
        const auto got = store->uncertainty(store->find(row.name), &budget);
        EXPECT_EQ(shown(got), row.result) << row.name;
        if (!got && row.budget.empty()) continue;
        ASSERT_EQ(budget.size(), row.budget.size()) << row.name;
        for (std::size_t i = 0; i < budget.size(); ++i) {
            EXPECT_EQ(store->row(budget[i].seed).name(), row.budget[i].seed) << row.name;
            EXPECT_DOUBLE_EQ(budget[i].share, row.budget[i].share) << row.name;
        }
        const auto alone = store->uncertainty(store->find(row.name));
        EXPECT_EQ(shown(alone), shown(got)) << row.name;
    }
}

// The reader's word for each problem of the file's shape, the first in file
// order; entries are read only once the top level is right.
TEST(CatalogueReader, NamesTheFirstProblemOfTheShape) {
    const std::string head = R"({"format": "ostrelin-catalogue", "version": 1, )";
    struct Row { std::string text; std::string note; };
    const Row rows[] = {
        {"[]", "the top level must be an object, not an array"},
        {R"({"format": "x", "version": 2, "constants": []})", "`format` must be \"ostrelin-catalogue\""},
        {R"({"format": "ostrelin-catalogue", "version": 3, "constants": []})", "`version` must be 1 or 2"},
        {R"({"format": "ostrelin-catalogue", "version": 1, "units": {}, "constants": []})", "top-level field `units` needs version 2"},
        {R"({"format": "ostrelin-catalogue", "version": 2, "units": [], "constants": []})", "`units` must be an object, not an array"},
        {head + R"("description": 3, "constants": []})", "`description` must be a string, not a number"},
        {head + R"("constants": {}})", "`constants` must be an array, not an object"},
        {head + R"("extra": 1, "constants": 2})", "unknown top-level field `extra`"},
        {head + R"("version": 1, "constants": []})", "top-level field `version` is repeated"},
        {R"({"format": "ostrelin-catalogue", "constants": []})", "missing top-level field `version`"},
        {head + R"("description": ""})", "missing top-level field `constants`"},
        {head + R"("constants": [1]})", "entry 0: must be an object, not a number"},
        {head + R"("constants": [{"units": "", "name": "a", "x": 1}]})", "entry 0 (`a`): unknown field `x`"},
        {head + R"("constants": [{"name": "a", "name": "b"}]})", "entry 0 (`a`): field `name` is repeated"},
        {head + R"("constants": [{"name": "a", "units": "", "value": "1"}]})",
         "entry 0 (`a`): `value` must be a number, not a string"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1, "uncertainty": "x"}]})",
         "entry 0 (`a`): `uncertainty` must be a number or null, not a string"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1, "uncertainty": -1}]})",
         "entry 0 (`a`): `uncertainty` must not be negative"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1e999}]})",
         "entry 0 (`a`): `value` is too large for a double"},
        {head + R"("constants": [{"name": "a", "units": "", "expression": "1", "dependencies": "a"}]})",
         "entry 0 (`a`): `dependencies` must be an array of strings, not a string"},
        {head + R"("constants": [{"name": "a", "units": "", "expression": "1", "dependencies": ["b", 1]}]})",
         "entry 0 (`a`): item 1 of `dependencies` must be a string, not a number"},
        {head + R"("constants": [{"name": "", "units": ""}]})", "entry 0: `name` must not be empty"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1, "status": "Odd"}]})",
         "entry 0 (`a`): `status` must be Seed, Cached, Pending or External, not `Odd`"},
        {head + R"("constants": [{"name": "a", "units": 3}]})", "entry 0 (`a`): `units` must be a string, not a number"},
        {head + R"("constants": [{"name": "a", "value": 1}, {"name": 1}]})", "entry 0 (`a`): missing field `units`"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1}, {"value": 1, "name": 1}]})",
         "entry 1: `name` must be a string, not a number"},
        {head + R"("constants": [{"name": "a", "units": "", "value": 1, "uncertainty": null}]})", ""},
    };
    for (const Row& row : rows) {
        const auto loaded = load_catalogue(PaddedText::copy_of(row.text), "test");
        EXPECT_EQ(loaded ? "" : loaded.error().note, row.note) << row.text;
        if (!loaded) {
            EXPECT_EQ(loaded.error().error.message(), "invalid JSON schema in `test`") << row.text;
        }
    }
}

TEST(CatalogueBuilder, RefusesANameOrExpressionPastFourGiB) {
    // Address space only: the builder must refuse before it reads a byte.
    constexpr std::size_t size = kMaxFieldBytes + 1;
    void* pages = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const std::string_view huge(static_cast<const char*>(pages), size);
    const struct {
        std::string_view name;
        std::optional<std::string_view> expression;
        const char* note;
    } rows[] = {
        {huge, std::nullopt, "entry 1: a text longer than 4 GiB"},
        {"f", huge, "entry 1 (`f`): a text longer than 4 GiB"},
    };
    for (const auto& row : rows) {
        CatalogueBuilder builder("records");
        EntryFields seed, formula;
        seed.name = "a";
        seed.value = 1.0;
        formula.name = row.name;
        formula.expression = row.expression;
        EXPECT_TRUE(builder.add(seed));
        EXPECT_FALSE(builder.add(formula));
        auto built = std::move(builder).finish("");
        ASSERT_FALSE(built);
        EXPECT_EQ(built.error().note, row.note);
    }
    munmap(pages, size);
}

}  // namespace

// Version 2: each row a file's units and formulas, and what loading says:
// the failure's message and note, or the derived value of `f` (in its own
// units, read through coherent SI) and its dimension.
TEST(CatalogueUnits, ChecksDimensionsAndConvertsThroughSi) {
    struct Row {
        std::string_view top;      // extra top-level fields
        std::string_view entries;  // the constants, `f` among them
        std::string_view outcome;  // "message | note", or "value dimension"
    };
    const Row rows[] = {
        {"", R"j({"name": "m", "units": "MeV/c^2", "value": 2}, {"name": "c0", "units": "m/s", "value": 299792458},
                {"name": "f", "units": "MeV", "expression": "m * c0 ** 2"})j",
         "2.000000 kg m^2 s^-2"},
        {"", R"j({"name": "r", "units": "nm", "value": 3}, {"name": "f", "units": "Å^2", "expression": "r ** 2"})j",
         "900.000000 m^2"},
        {"", R"j({"name": "r", "units": "km", "value": 4}, {"name": "f", "units": "m^(1/2)", "expression": "sqrt(r)"})j",
         "63.245553 m^(1/2)"},
        {"", R"j({"name": "m", "units": "kg", "value": 1}, {"name": "c0", "units": "m/s", "value": 1},
                {"name": "f", "units": "J", "expression": "m * c0"})j",
         "dimension error in `f` | entry 2 (`f`): the expression gives kg m s^-1, its units `J` are kg m^2 s^-2"},
        {"", R"j({"name": "r", "units": "m", "value": 1}, {"name": "f", "units": "1", "expression": "log(r) - r"})j",
         "dimension error in `f` | entry 1 (`f`): `log` needs a dimensionless argument, not m"},
        {"", R"j({"name": "r", "units": "m", "value": 1}, {"name": "n", "units": "", "value": 2},
                {"name": "f", "units": "m", "expression": "r ** n"})j",
         "dimension error in `f` | entry 2 (`f`): `**` raises m to an exponent that is not a constant number"},
        {"", R"j({"name": "f", "units": "m", "value": 1}, {"name": "x", "units": "furlong", "value": 1})j",
         "invalid units in `test` | entry 1 (`x`): invalid units `furlong`: unknown unit `furlong` at offset 0"},
        {R"j("units": {"furlong": "201.168 m", "count": null},)j",
         R"j({"name": "x", "units": "furlong", "value": 2}, {"name": "n", "units": "count", "value": 3},
            {"name": "f", "units": "m count", "expression": "x * n"})j",
         "1207.008000 m count"},
        {R"j("units": {"m": "100 cm"},)j", R"j({"name": "f", "units": "m", "value": 1})j",
         "invalid units in `test` | unit `m`: the name is a unit already"},
    };
    for (const Row& row : rows) {
        const std::string text = R"j({"format": "ostrelin-catalogue", "version": 2, )j" + std::string(row.top) +
                                 R"j("constants": [)j" + std::string(row.entries) + "]}";
        auto loaded = load_catalogue(PaddedText::copy_of(text), "test");
        std::string got;
        if (!loaded) {
            got = loaded.error().message() + " | " + loaded.error().note;
        } else {
            const CatalogueStore& store = **loaded;
            const std::uint32_t f = store.find("f");
            auto value = store.derive(f);
            char shown[32];
            std::snprintf(shown, sizeof shown, "%f", value ? *value : -1.0);
            got = std::string(shown) + " " + dimension_text(store.unit(f)->dimension, store.declared_units());
            // Its own text, units declared and all, loads into the same catalogue.
            auto again = load_catalogue(PaddedText::copy_of(store.dumps()), "again");
            ASSERT_TRUE(again) << store.dumps();
            EXPECT_EQ((*again)->dumps(), store.dumps());
        }
        EXPECT_EQ(got, row.outcome) << row.entries;
    }
}
