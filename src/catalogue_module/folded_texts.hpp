#pragma once
// What find() compares: a catalogue's names and descriptions after
// str.casefold(). An ASCII text folds by lowering its letters, which the
// search does as it goes; the few others are folded once, by the
// interpreter (whose case folding is the one the pure twin uses), and kept.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue_store.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

struct FoldedTexts {
    struct Span {
        std::size_t begin, end;
    };
    std::vector<std::uint32_t> rows;  // the rows with a non-ASCII name or description, ascending
    std::vector<Span> spans;          // for each: its folded name, then its folded description, in `text`
    std::string text;                 // a description many rows share is folded once
};

// Folds the texts that are not ASCII. Needs the interpreter lock.
PyResult<std::unique_ptr<const FoldedTexts>> fold_texts(const CatalogueStore& store);

// One flag per row: whether its folded name or description contains
// `needle`, itself folded. Calls nothing of the interpreter's, so it may run
// without its lock.
std::vector<bool> rows_containing(const CatalogueStore& store, const FoldedTexts& folded, std::string_view needle);

}  // namespace veldra::py
