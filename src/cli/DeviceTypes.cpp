#include "cli/DeviceTypes.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "generate/Catalogue.h"

namespace vettrix::cli {
namespace {

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

// Edits (insert, delete, replace a byte) that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

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
    } else if (distance <= std::max<std::size_t>(2, wanted.size() / 3)) {
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
