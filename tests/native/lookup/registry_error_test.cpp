#include <gtest/gtest.h>

#include <string>

#include "lookup/registry_error.hpp"

using namespace veldra;

namespace {

TEST(RegistryError, FormatsEveryVariant) {
    struct Row { RegistryError error; std::string text; };
    const Row rows[] = {
        {{NotFound{"b4"}}, "constant `b4` not found in registry"},
        {{NotFound{""}}, "constant `` not found in registry"},
        {{NotFound{"a`b\nc"}}, "constant `a`b\nc` not found in registry"},
        {{NotImplemented{"x"}}, "derivation of `x` is not yet implemented in veldra_core"},
        {{LoadFailed{"/nope", IoError{2}}},
         "failed to load constants from `/nope`: No such file or directory (os error 2)"},
        {{InvalidSchema{"c.json"}}, "invalid JSON schema in `c.json`"},
        {{CyclicDerivation{"a"}}, "cyclic derivation involving `a`"},
        {{ParseError{"x", "y"}}, "expression parse error in `x`: y"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.error.message(), row.text);
}

}  // namespace
