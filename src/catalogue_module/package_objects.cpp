#include "catalogue_module/package_objects.hpp"

#include "pyfacade/owned_ref.hpp"

namespace veldra::py {
namespace {

// Written once, with the interpreter lock held, before any call can read it.
PackageObjects objects{};
KeptRef kept[3 + kDatasheetSize];

PyResult<OwnedRef> attribute_of(const char* module, const char* name) {
    OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(module));
    if (!imported) return unexpected(PyError::fetch());
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(imported.get(), name));
    if (!value) return unexpected(PyError::fetch());
    return value;
}

}  // namespace

PyResult<bool> import_package_objects() {
    if (objects.constant != nullptr) return true;
    auto constant = attribute_of("ostrelin._records", "Constant");
    if (!constant) return unexpected(std::move(constant).error());
    auto catalogue_error = attribute_of("ostrelin._errors", "CatalogueError");
    if (!catalogue_error) return unexpected(std::move(catalogue_error).error());
    auto derivation_error = attribute_of("ostrelin._errors", "DerivationError");
    if (!derivation_error) return unexpected(std::move(derivation_error).error());
    OwnedRef fields[kDatasheetSize];
    for (std::size_t i = 0; i < kDatasheetSize; ++i) {
        fields[i] = OwnedRef::steal(PyUnicode_InternFromString(kDatasheetFields[i]));
        if (!fields[i]) return unexpected(PyError::fetch());
    }
    objects = {constant->get(), catalogue_error->get(), derivation_error->get(), {}};
    kept[0].keep(std::move(*constant));
    kept[1].keep(std::move(*catalogue_error));
    kept[2].keep(std::move(*derivation_error));
    for (std::size_t i = 0; i < kDatasheetSize; ++i) {
        objects.datasheet_fields[i] = fields[i].get();
        kept[3 + i].keep(std::move(fields[i]));
    }
    return true;
}

const PackageObjects& package() noexcept { return objects; }

}  // namespace veldra::py
