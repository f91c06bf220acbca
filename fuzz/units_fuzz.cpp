// Any bytes as a units text. Every outcome is units or the parser's own
// refusal at an offset inside the text, never a crash; units written as
// their dimension read back as that dimension at scale 1; and a unit
// converts to itself by exactly 1.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "units/units.hpp"

using namespace veldra;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s:\n%s\n", what, text.c_str());
    std::abort();
}

std::size_t code_points(const std::string& text) {
    std::size_t count = 0;
    for (const char byte : text) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    auto unit = parse_units(input);
    if (!unit) {
        if (unit.error().offset > code_points(input)) fail("a refusal past the text's end", input);
        if (unit.error().text != input) fail("a refusal that quotes another text", input);
        return 0;
    }
    if (!std::isnormal(unit->scale()) || unit->scale() < 0.0) fail("a scale that is no positive normal number", input);
    if (conversion_factor(*unit, *unit) != std::optional(1.0)) fail("a unit that does not convert to itself by 1", input);
    const std::string dimension = dimension_text(unit->dimension);
    auto base = parse_units(dimension == "1" ? "" : dimension);
    if (!base) fail(("its dimension does not read: " + dimension).c_str(), input);
    if (base->dimension != unit->dimension || base->scale() != 1.0) fail("its dimension reads otherwise", input);
    return 0;
}
