#include "generate/Catalogue.h"

#include <algorithm>

namespace vettrix {

const std::array<CatalogueEntry, 27> kCatalogue = {{
    {"Apple",
     {"01304000", "01296600", "01274900", "01257300", "01181100", "01362800", "01283600",
      "01304600", "01362600", "35437606", "35438606", "35440806"}},
    {"BlackBerry",
     {"35684104", "35760604", "35426104", "35836003", "35764600", "35842703", "35150305",
      "35807304", "35197204", "35197004", "35292205", "35292105"}},
    {"HTC",
     {"35221204", "35450302", "35495703", "35506604", "35777903", "35798802", "35902803",
      "35575102", "35583302", "35640904", "35643404", "35644004", "35702402"}},
    {"Huawei",
     {"35498701", "35618503", "35448403", "35448803", "35476403", "35663502", "35737204",
      "35768502", "35773902", "35795501", "35818002", "35944400"}},
    {"Nokia",
     {"35641900", "35652100", "35641700", "35663400", "35644901", "35693803", "35569801",
      "35573202", "35443401", "35572402", "35572500", "35572502"}},
    {"Samsung",
     {"35250203", "35255504", "35506004", "35969601", "35531004", "35726406", "35750605",
      "35753706", "35763105", "35774905", "35802206", "35965604", "35621004", "35178404"}},
    {"BlackBerry 6XXX", {"35100820", "35100800", "01019300", "01022600"}},
    {"BlackBerry 7XXX", {"01019400", "10237000", "35422200", "35452900", "35459400", "50502000"}},
    {"BlackBerry 8XXX", {"35176802", "35184103", "35197004", "35212601", "35348604", "35376301"}},
    {"BlackBerry 9XXX", {"35387204", "35425504", "35490904", "35620104", "35743704", "35683804"}},
    {"BlackBerry QX", {"35676005", "35676205", "35611205", "35696805"}},
    {"BlackBerry ZX", {"35292105", "35292205", "35696605", "35489705", "35703305"}},
    {"Apple iPhone 3X", {"01174400", "01257300", "01181100", "01203100", "01227000", "01226500"}},
    {"Apple iPhone 4X", {"01233700", "01253900", "01265400", "01274900", "01294300", "01303900"}},
    {"Apple iPhone 5X", {"01362200", "01388300", "01362800", "35884402", "01334900", "35884405"}},
    {"Apple iPhone 6X", {"35924906", "35928106", "35207406", "35437606", "35440306", "35440806"}},
    {"Apple iPhone 7X", {"35920507", "35915307", "35656908", "35655408"}},
    {"Apple iPhone 8X", {"35669908"}},
    {"Samsung Galaxy", {"35302703", "35641803", "35659303", "35659403", "35734403", "35529903"}},
    {"Samsung Galaxy S",
     {"35175104", "35186304", "35216605", "35663804", "35506004", "35180104", "35490505"}},
    {"Samsung Galaxy S2",
     {"35237605", "35531004", "35793004", "35815004", "35779805", "35846104", "35848804"}},
    {"Samsung Galaxy S3",
     {"35186905", "35332305", "35357505", "35372005", "35372105", "35491505", "35516405"}},
    {"Samsung Galaxy S4",
     {"35274506", "35516705", "35579405", "35584606", "35584706", "35642005", "35656705",
      "35684505", "35708605", "35750605", "35763105"}},
    {"Samsung Galaxy S5",
     {"35329606", "35341106", "35341506", "35342106", "35391906", "35489106", "35535406",
      "35609906"}},
    {"Samsung Galaxy S6", {"35993706", "35952106", "35746006", "35774106", "35966906"}},
    {"Samsung Galaxy S7", {"35945707", "35775207", "35721907", "35721607", "35947007", "35735007"}},
    {"Samsung Galaxy S8", {"35524508", "35435808", "35911608"}},
}};

const CatalogueEntry* FindCatalogueEntry(std::string_view name) {
  for (const CatalogueEntry& entry : kCatalogue)
    if (entry.name == name) return &entry;
  return nullptr;
}

std::vector<CatalogueDevice> CatalogueDevices() {
  std::vector<CatalogueDevice> devices;
  const auto find = [&devices](std::string_view tac) {
    return std::find_if(devices.begin(), devices.end(),
                        [tac](const CatalogueDevice& d) { return d.tac == tac; });
  };
  for (const CatalogueEntry& entry : kCatalogue)
    for (const std::string_view tac : entry.tacs)
      if (find(tac) == devices.end()) devices.push_back({tac, {}, {}});
  // A model group's name is the manufacturer's, a space and the group's; a manufacturer's entry
  // is one word.
  for (const bool groups : {true, false}) {
    for (const CatalogueEntry& entry : kCatalogue) {
      const std::size_t space = entry.name.find(' ');
      if ((space != std::string_view::npos) != groups) continue;
      for (const std::string_view tac : entry.tacs) {
        CatalogueDevice& device = *find(tac);
        if (!device.manufacturer.empty()) continue;
        device.manufacturer = entry.name.substr(0, space);
        device.model = groups ? entry.name.substr(space + 1)
                              : std::string_view(entry.name == "Apple" ? "iPhone" : "Handset");
      }
    }
  }
  return devices;
}

const std::array<std::string_view, 30>& FixedDeviceTypes() {
  static const std::array<std::string_view, 30> kTypes = [] {
    std::array<std::string_view, 30> types{};
    static_assert(kCatalogue.size() == 27);
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) types[i + 1] = kCatalogue[i].name;
    types[28] = "Custom";
    types[29] = kSeparatorEntry;
    return types;
  }();
  return kTypes;
}

}  // namespace vettrix
