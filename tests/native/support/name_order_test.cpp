#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "support/name_order.hpp"

using namespace veldra;

namespace {

TEST(NameOrder, ComparesUnsignedBytesThenLength) {
    using namespace std::string_view_literals;
    struct Row { std::string_view less, more; };
    const Row rows[] = {
        {""sv, "A"sv}, {"A"sv, "a"sv}, {"a"sv, "ab"sv}, {"ab"sv, "a\x7f"sv}, {"a\x7f"sv, "a\x80"sv},
        {"a\x80"sv, "b"sv}, {"b"sv, "\xc2\xb5"sv}, {"n_gen"sv, "n_gen_sq"sv}, {"sterile_check"sv, "sterile_sector"sv},
        // Real zero bytes are bytes like any other: a prefix still comes first.
        {"ab"sv, "ab\0"sv}, {"ab\0"sv, "ab\0\0"sv}, {"ab\0\0"sv, "ab\x01"sv},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(byte_less(row.less, row.more)) << row.less << " < " << row.more;
        EXPECT_FALSE(byte_less(row.more, row.less)) << row.more << " < " << row.less;
        EXPECT_FALSE(byte_less(row.less, row.less)) << row.less;
    }
}

TEST(NameOrder, RanksAreThePlacesInByteOrder) {
    using namespace std::string_view_literals;
    // Each row: names in some order, and where each belongs in byte order.
    struct Row { std::array<std::string_view, 5> names; std::array<std::uint8_t, 5> ranks; };
    const Row rows[] = {
        {{"e"sv, "d"sv, "c"sv, "b"sv, "a"sv}, {4, 3, 2, 1, 0}},
        {{"n_gen_sq"sv, "n_gen"sv, "n"sv, ""sv, "n_gen_s"sv}, {4, 2, 1, 0, 3}},
        {{"\xff"sv, "\x7f"sv, "\x80x"sv, "\x00"sv, "zz"sv}, {4, 2, 3, 0, 1}},
        {{"sterile_sector"sv, "sterile_check"sv, "abcdefgh2"sv, "abcdefgh10"sv, "abcdefgh"sv}, {4, 3, 2, 1, 0}},
    };
    for (const auto& row : rows) EXPECT_EQ(byte_order_ranks(row.names), row.ranks) << row.names[0];
}

}  // namespace
