#pragma once
// Reading the catalogue file format (file_format.hpp) into a CatalogueStore
// through a CatalogueBuilder, with the pure twin's words for every problem.

#include <memory>
#include <string_view>

#include "catalogue/catalogue_builder.hpp"
#include "catalogue/catalogue_error.hpp"
#include "catalogue/catalogue_store.hpp"
#include "json/json_document.hpp"
#include "support/expected.hpp"

namespace veldra {

// Reads the catalogue in `document`: the top level, then each entry's
// fields, in file order, into a builder.
Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> read_catalogue(const JsonDocument& document,
                                                                            std::string_view source,
                                                                            const CatalogueStore* base = nullptr);

// Parses `text` and reads the catalogue in it; a problem of the text itself
// comes first. A leading UTF-8 byte-order mark is skipped unless the caller
// has done that already.
Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> load_catalogue(const PaddedText& text,
                                                                            std::string_view source,
                                                                            const CatalogueStore* base = nullptr,
                                                                            bool strip_bom = true);

// The failure load_catalogue gives a text longer than kMaxJsonText, for a
// file known to be that long before it is read.
CatalogueFailure text_too_long(std::string_view source);

}  // namespace veldra
