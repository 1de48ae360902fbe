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

// The entry named exactly `name`, or nullptr.
const CatalogueEntry* FindCatalogueEntry(std::string_view name);

}  // namespace vettrix
