// Any bytes through the catalogue loader. Every outcome is either a
// catalogue or one of the loader's own failures, never anything else (an
// exception or a crash is a finding); a catalogue's text, written back,
// loads again into the same catalogue and writes the same text; and every
// entry derives, or says why not, without faulting.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "catalogue/catalogue_reader.hpp"

using namespace veldra;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s:\n%s\n", what, text.c_str());
    std::abort();
}

void check_failure(const CatalogueFailure& failure, const std::string& input) {
    const auto& kind = failure.error.kind;
    const bool known = std::holds_alternative<InvalidSchema>(kind) || std::holds_alternative<ParseError>(kind) ||
                       std::holds_alternative<CyclicDerivation>(kind);
    if (!known) fail("a failure the loader does not give", input);
    // A formula's problem has a note only to suggest a name; every other problem has one.
    const bool hint = failure.note.starts_with("did you mean '");
    if (std::holds_alternative<ParseError>(kind) ? !failure.note.empty() && !hint : failure.note.empty()) {
        fail("a note where none belongs, or none where one does", input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    auto loaded = load_catalogue(PaddedText::copy_of(input), "fuzz");
    if (!loaded) {
        check_failure(loaded.error(), input);
        return 0;
    }
    const CatalogueStore& store = **loaded;
    const std::string text = store.dumps();
    auto again = load_catalogue(PaddedText::copy_of(text), "again");
    if (!again) fail(("its own text does not load: " + again.error().note).c_str(), text);
    if ((*again)->dumps() != text) fail("its own text loads into another catalogue", text);
    if ((*again)->size() != store.size()) fail("entries lost", text);
    for (std::uint32_t row = 0; row < store.size(); ++row) {
        if (store.find(store.row(row).name()) != row) fail("a name that does not find its row", text);
        auto value = store.derive(row);
        auto spread = store.uncertainty(row);
        if (!value && (spread || spread.error() != value.error())) fail("derive and uncertainty disagree", text);
    }
    return 0;
}
