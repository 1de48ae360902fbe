#include "generate/GetSelection.h"

#include <array>
#include <utility>

#include "app/Text.h"
#include "db/Mobidex.h"
#include "generate/Catalogue.h"
#include "validate/Synthesis.h"

namespace vettrix {
namespace {

struct BoxBody {
  int box;
  std::string_view rbi;
};
// The order in which the boxes choose the reporting body of a random candidate.
constexpr std::array<BoxBody, 8> kBoxOrder = {
    {{8, "01"}, {7, "33"}, {6, "45"}, {5, "52"}, {4, "35"}, {3, "30"}, {2, "91"}, {1, "86"}}};

// TACs (field 0) of the database lines named `name`, in file order. Copied, since every lookup
// may re-read the table.
std::vector<std::string> TACsNamed(const Form1& form, const std::string& name) {
  std::vector<std::string> tacs;
  for (const int k : form.Devices.LinesNamed(name))
    tacs.emplace_back(FieldOf(form.Devices.Line(k), 0));
  return tacs;
}

bool AnyBoxTicked(const Form1& form) {
  for (int n = 1; n <= Form1::kCheckCount; ++n)
    if (form.CheckAt(n).value == 1) return true;
  return false;
}

}  // namespace

bool CanMakeCandidates(const Form1& form) {
  const std::string& type = form.Combo1.text;
  return type.empty() || type == "Custom" || FindCatalogueEntry(type) != nullptr ||
         !form.Devices.LinesNamed(type).empty() || AnyBoxTicked(form);
}

Selection GetSelection(Form1& form) {
  // A database device picked from the list also gets an IMEI made on its TAC.
  if (form.Combo1.listIndex > 30) {
    for (const std::string& tac : TACsNamed(form, form.Combo1.text))
      if (!GetIMEIwTAC(form, tac)) return {Selection::Outcome::TACFailed, tac};
  }

  Selection made{Selection::Outcome::NoCandidate, {}};
  for (const BoxBody& body : kBoxOrder) {
    if (form.CheckAt(body.box).value != 1) continue;
    made.tac = body.rbi;
    form.CurrentIMEI.assign(body.rbi);
    form.Rnd.AppendDigits(form.CurrentIMEI, 13);
    made.outcome = Selection::Outcome::Candidate;
    break;
  }

  ++form.GeneratedCount;
  RateMeterStep(form);

  const std::string& type = form.Combo1.text;
  if (const CatalogueEntry* entry = FindCatalogueEntry(type)) {
    const int d = form.Rnd.Choose(static_cast<int>(entry->tacs.size()));
    made.tac = entry->tacs[static_cast<std::size_t>(d - 1)];
  } else if (type == "Custom") {
    made.tac = FirstChars(form.Text1.text, 8);
  } else if (!type.empty()) {
    // Every matching line makes its candidate in turn; the last one in file order stands.
    for (const std::string& tac : TACsNamed(form, type)) {
      form.CurrentIMEI = tac;
      form.Rnd.AppendDigits(form.CurrentIMEI, 7);
      form.FoundIMEI = form.CurrentIMEI;
      Mobidex(form, form.CurrentIMEI);
      made = {Selection::Outcome::Candidate, tac};
    }
    return made;
  } else {
    form.CurrentIMEI = GetRandomIMEI(form);
    return {Selection::Outcome::Candidate, std::string(FirstChars(form.CurrentIMEI, 8))};
  }
  form.CurrentIMEI = made.tac;
  form.Rnd.AppendDigits(form.CurrentIMEI, 7);
  made.outcome = Selection::Outcome::Candidate;
  return made;
}

}  // namespace vettrix
