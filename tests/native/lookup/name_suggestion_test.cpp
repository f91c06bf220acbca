#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/name_suggestion.hpp"
#include "registry/constant_listing.hpp"

using namespace veldra;

namespace {

TEST(NameSuggestion, PointsAtTheCatalogueNameMeant) {
    struct Row { const char* name; std::optional<std::string> suggestion; };
    const Row rows[] = {
        {"B3", "b3"},
        {" b3", "b3"},
        {"b3 ", "b3"},
        {"  PHI ", "phi"},
        {"Chi_Eff", "chi_eff"},
        {"b4", "b3"},
        {"chi_ef", "chi_eff"},
        {"chieff", "chi_eff"},
        {"n_gen_s", "n_gen_sq"},   // one from n_gen_sq, two from n_gen: nearest wins
        {"n_ge", "n_gen"},
        {"sterile_chek", "sterile_check"},
        {"sterile_sectr", "sterile_sector"},
        {"gamma", std::nullopt},
        {"", std::nullopt},        // would replace every byte of "b3"
        {"x", std::nullopt},
        {"b3", std::nullopt},      // present: nothing to suggest
        {"no_such_name", std::nullopt},
        {"\xc2\xb5", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(suggest_builtin_name(row.name), row.suggestion) << row.name;
}

TEST(NameSuggestion, BreaksTiesByByteOrder) {
    const std::vector<std::string_view> candidates = {"abd", "abc", "abe"};
    EXPECT_EQ(suggest_name("abx", candidates), "abc");
    EXPECT_EQ(suggest_name("ABD", candidates), "abd");  // case-only match beats distance 1
}

}  // namespace
