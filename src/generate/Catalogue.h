#pragma once

#include <array>
#include <string>
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

// Text of the separator entry at position 29 of the device-type list.
inline constexpr std::string_view kSeparatorEntry = "----------------------------";

// The fixed entries at positions 0 to 29 of the device-type list: none, the catalogue's entries
// in its order, "Custom" and the separator.
const std::array<std::string_view, 30>& FixedDeviceTypes();

// The entry named exactly `name`, or nullptr.
const CatalogueEntry* FindCatalogueEntry(std::string_view name);

// A TAC of the catalogue with the names a database line gives it.
struct CatalogueDevice {
  std::string_view tac;
  std::string manufacturer, model;
};

// Every TAC of the catalogue once, in the catalogue's order, so that a database can name every
// TAC the window draws: named after the first model group that holds it ("Samsung Galaxy S8":
// Samsung, Galaxy S8), else after its manufacturer's entry (Apple's model is "iPhone", the
// others' "Handset").
std::vector<CatalogueDevice> CatalogueDevices();

}  // namespace vettrix
