#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace vettrix {

// A device type of the built-in catalogue: its name as the device-type list shows it, and its
// TACs in draw order.
struct CatalogueEntry {
  std::string_view name;
  std::vector<std::string_view> tacs;
};

extern const std::array<CatalogueEntry, 27> kCatalogue;

// The fixed entries at positions 0 to 29 of the device-type list: none, the catalogue's entries
// in its order, "Custom" and the separator.
const std::array<std::string_view, 30>& FixedDeviceTypes();

// The entry named exactly `name`, or nullptr.
const CatalogueEntry* FindCatalogueEntry(std::string_view name);

}  // namespace vettrix
