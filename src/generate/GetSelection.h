#pragma once

#include <string>

#include "app/Form1.h"

namespace vettrix {

struct Selection {
  enum class Outcome { Candidate, NoCandidate, TACFailed };
  Outcome outcome = Outcome::Candidate;
  std::string tac;  // the TAC of the candidate, or the one that could not give a valid IMEI
};

// Makes the candidate of one generation cycle in CurrentIMEI, or in FoundIMEI when it comes from
// a database device, from the device type in Combo1 and the reporting-body boxes.
Selection GetSelection(Form1& form);

// Whether the device type and boxes can give a candidate at all: a catalogue entry, "Custom", a
// database device, an empty type (fully random) or a ticked reporting-body box.
bool CanMakeCandidates(const Form1& form);

}  // namespace vettrix
