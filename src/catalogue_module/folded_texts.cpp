#include "catalogue_module/folded_texts.hpp"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "catalogue_module/records.hpp"
#include "pyfacade/owned_ref.hpp"
#include "support/short_text.hpp"

namespace veldra::py {
namespace {

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

PyResult<FoldedTexts::Span> append_folded(std::string_view text, std::string& out) {
    const std::size_t begin = out.size();
    if (is_ascii(text)) {
        std::transform(text.begin(), text.end(), std::back_inserter(out), ascii_lower);
        return FoldedTexts::Span{begin, out.size()};
    }
    OwnedRef folded = OwnedRef::steal(PyObject_CallMethod(text_object(text).get(), "casefold", nullptr));
    if (!folded) return unexpected(PyError::fetch());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(folded.get(), &size);
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    out.append(utf8, static_cast<std::size_t>(size));
    return FoldedTexts::Span{begin, out.size()};
}

// Whether ASCII `text`, lowered, contains `needle`: the text is lowered
// into `buffer` so that the library's search (a memchr and compares) does
// the scanning.
bool ascii_contains(std::string_view text, std::string_view needle, std::string& buffer) {
    if (needle.size() > text.size()) return false;
    buffer.resize(text.size());
    std::transform(text.begin(), text.end(), buffer.begin(), ascii_lower);
    return std::string_view(buffer).find(needle) != std::string_view::npos;
}

}  // namespace

PyResult<std::unique_ptr<const FoldedTexts>> fold_texts(const CatalogueStore& store) {
    auto folded = std::make_unique<FoldedTexts>();
    // The store keeps each description once, so its text's address names it.
    std::unordered_map<const char*, FoldedTexts::Span> descriptions;
    for (const CatalogueStore* level : store.levels()) {
        for (std::uint32_t row = level->first_own(); row < level->own_end(); ++row) {
            const std::string_view name = level->row(row).name();
            const std::string_view description = level->description(row);
            if (is_ascii(name) && is_ascii(description)) continue;
            VELDRA_TRY(const FoldedTexts::Span folded_name, append_folded(name, folded->text));
            auto known = descriptions.find(description.data());
            if (known == descriptions.end()) {
                VELDRA_TRY(const FoldedTexts::Span folded_description, append_folded(description, folded->text));
                known = descriptions.emplace(description.data(), folded_description).first;
            }
            folded->rows.push_back(row);
            folded->spans.push_back(folded_name);
            folded->spans.push_back(known->second);
        }
    }
    return std::unique_ptr<const FoldedTexts>(std::move(folded));
}

std::vector<bool> rows_containing(const CatalogueStore& store, const FoldedTexts& folded, std::string_view needle) {
    const std::size_t size = store.size();
    if (needle.empty()) return std::vector<bool>(size, true);
    std::vector<bool> found(size, false);
    // Casefolding an ASCII text gives ASCII, which cannot hold a needle that is not.
    const bool needle_is_ascii = is_ascii(needle);
    const std::string_view text(folded.text);
    const auto contains = [&](FoldedTexts::Span span) {
        return text.substr(span.begin, span.end - span.begin).find(needle) != std::string_view::npos;
    };
    std::string buffer;
    std::size_t next = 0;  // the next entry of folded.rows
    for (const CatalogueStore* level : store.levels()) {
        for (std::uint32_t row = level->first_own(); row < level->own_end(); ++row) {
            if (next < folded.rows.size() && folded.rows[next] == row) {
                found[row] = contains(folded.spans[2 * next]) || contains(folded.spans[2 * next + 1]);
                ++next;
            } else if (needle_is_ascii) {
                found[row] = ascii_contains(level->row(row).name(), needle, buffer) ||
                             ascii_contains(level->description(row), needle, buffer);
            }
        }
    }
    return found;
}

}  // namespace veldra::py
