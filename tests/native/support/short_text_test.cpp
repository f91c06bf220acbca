#include <gtest/gtest.h>

#include <string>

#include "support/short_text.hpp"

using namespace veldra;

namespace {

// Every length from 0 to 40 crosses each of the short-text paths (bytes,
// two 4-byte words, two 8-byte words, the library) and their edges.
TEST(ShortText, ComparesChecksAndCopiesEveryLength) {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('a' + i % 26));
        EXPECT_TRUE(is_ascii(text)) << n;
        EXPECT_TRUE(same_text(text, std::string(text))) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string high = text;
            high[i] = static_cast<char>(0x80 | high[i]);
            EXPECT_FALSE(is_ascii(high)) << n << " at " << i;
            EXPECT_FALSE(same_text(text, high)) << n << " at " << i;
        }
        if (n > 0) {
            EXPECT_FALSE(same_text(text, text.substr(0, n - 1))) << n;
        }

        std::string buffer(n + 2, '#');
        copy_text(buffer.data() + 1, text);
        EXPECT_EQ(buffer, "#" + text + "#") << n;
    }
}

}  // namespace
