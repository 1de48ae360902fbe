#include "cli/DeviceTypes.h"

#include <algorithm>
#include <unordered_set>

#include "app/Text.h"
#include "generate/Catalogue.h"

namespace vettrix::cli {

std::vector<std::string> DeviceTypes(const DeviceTable* devices) {
  std::vector<std::string> types;
  std::unordered_set<std::string> seen;
  for (const CatalogueEntry& entry : kCatalogue) {
    types.emplace_back(entry.name);
    seen.emplace(entry.name);
  }
  if (devices == nullptr) return types;
  for (int k = 1; k <= devices->LineCount(); ++k) {
    if (devices->IsVersionLine(k)) continue;
    const std::string_view line = devices->Line(k);
    if (FieldOf(line, 1).empty() && FieldOf(line, 2).empty()) continue;
    std::string name = DeviceName(line);
    if (seen.insert(name).second) types.push_back(std::move(name));
  }
  return types;
}

std::vector<std::string> TypesContaining(const std::vector<std::string>& types,
                                         std::string_view text) {
  const std::string wanted = Folded(text);
  std::vector<std::string> found;
  for (const std::string& type : types)
    if (Folded(type).find(wanted) != std::string::npos) found.push_back(type);
  return found;
}

TypeMatch MatchType(const std::vector<std::string>& types, std::string_view name) {
  if (std::find(types.begin(), types.end(), name) != types.end()) return {std::string(name), {}};
  const std::string wanted = Folded(name);
  std::vector<const std::string*> caseless;
  for (const std::string& type : types)
    if (Folded(type) == wanted) caseless.push_back(&type);
  if (caseless.size() == 1) return {*caseless.front(), {}};

  // Names that differ only in case come first, then those that hold the text, then the rest by
  // how many edits away they are; only names a few edits away from something typed count.
  struct Candidate {
    std::size_t rank;
    const std::string* type;
  };
  std::vector<Candidate> candidates;
  for (const std::string& type : types) {
    const std::string folded = Folded(type);
    const std::size_t distance = EditDistance(folded, wanted);
    const bool contains = !wanted.empty() && folded.find(wanted) != std::string::npos;
    if (folded == wanted) {
      candidates.push_back({0, &type});
    } else if (contains) {
      candidates.push_back({1 + distance, &type});
    } else if (IsCloseName(folded, wanted)) {
      candidates.push_back({1000 + distance, &type});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; });
  TypeMatch match;
  for (std::size_t i = 0; i < candidates.size() && i < 5; ++i)
    match.close.push_back(*candidates[i].type);
  return match;
}

}  // namespace vettrix::cli
