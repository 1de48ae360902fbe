#pragma once

// The device types `generate --type` accepts: the catalogue's entries, then every device of the
// database by its name as the window's device-type list shows it.

#include <string>
#include <string_view>
#include <vector>

#include "app/DeviceTable.h"

namespace vettrix::cli {

// The catalogue's names, then each device name of `devices` once, in file order (the version
// line is no device). `devices` may be null: the catalogue alone.
std::vector<std::string> DeviceTypes(const DeviceTable* devices);

// The types that contain `text`, without regard to letter case.
std::vector<std::string> TypesContaining(const std::vector<std::string>& types,
                                         std::string_view text);

struct TypeMatch {
  std::string name;                // the type meant, when exactly one is
  std::vector<std::string> close;  // otherwise up to five names close to the one given
};

// The type named `name`: the one of that exact name, else the only one that differs in letter
// case alone; otherwise no name and the closest others.
TypeMatch MatchType(const std::vector<std::string>& types, std::string_view name);

}  // namespace vettrix::cli
