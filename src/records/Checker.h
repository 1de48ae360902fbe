#pragma once

// One record of `vettrix-cli check`: what the window makes of one input, and what it is.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/DeviceTable.h"
#include "validate/Judgement.h"
#include "validate/ReportingBodies.h"

namespace vettrix::records {

struct Line;

enum class Kind { Imei, ImeiNoCheckDigit, Imeisv, Other };
enum class Verdict { Valid, Invalid, NotApplicable };

std::string_view KindName(Kind kind);
std::string_view VerdictName(Verdict verdict);
// "empty", "too short", "too long", "not a digit", "check digit"; "" for Flaw::None.
std::string_view FlawName(Flaw flaw);
// The same as a stable code for scripts: "empty", "too_short", "too_long", "not_a_digit",
// "check_digit"; "" for Flaw::None.
std::string_view FlawCode(Flaw flaw);

struct CheckRecord {
  std::string_view input;      // as read (the kept part of a long line)
  std::uint64_t inputCut = 0;  // bytes of the input not kept
  std::string_view normalized;
  std::uint64_t normalizedCut = 0;  // characters kept by the normalisation beyond `normalized`
  Kind kind = Kind::Other;
  Verdict verdict = Verdict::Invalid;
  Judgement judgement;
  std::string_view tac, serial, checkDigit, softwareVersion, reportingBody;
  std::string_view reportingBodyCode;  // the first two characters that reportingBody names
  // For an IMEI whose only fault is its check digit, the digit that would make it valid.
  std::string_view expectedCheckDigit;
  const ReportingBody* body = nullptr;  // the known body that reportingBody names
  // The database line that names the TAC (of an IMEI-like text, or of a TAC alone); 0 when none
  // does.
  int deviceLine = 0;
  // A value the caller may keep with a TAC the database holds (nullptr for other TACs), so that
  // what it makes of the device is found in the same cache line as the TAC.
  std::uint32_t* deviceNote = nullptr;
  bool plainDigits = false;  // the input is the normalised IMEI, 15 ASCII digits
};

// Judges inputs as the window does and splits them into their fields. Keeps the buffers that
// records point into, so judging a line allocates nothing once they have grown.
class Checker {
 public:
  // With `index`, the table's TACs are first copied into a flat table of its own, which pays
  // for itself over a long list; without, each record asks the table.
  explicit Checker(const DeviceTable* devices, bool index = true);

  // The record of one input; valid until the next call.
  const CheckRecord& Check(std::string_view input);
  const CheckRecord& Check(const Line& line);

  // Starts loading the TAC slot that judging `next` will read, while this input is judged and
  // written (lines of a list rarely share a TAC with the line before).
  void Prepare(std::string_view next) const {
    if (next.size() >= 8 && !known_.empty()) __builtin_prefetch(&known_[SlotFor(next)]);
  }

  // The reason of an INVALID record as the output shows it, its code, and the position it
  // names ("" when it names none).
  std::string_view Reason(const CheckRecord& record);
  static std::string_view ReasonCode(const CheckRecord& record);
  std::string_view Position(const CheckRecord& record);

 private:
  const CheckRecord& Judge();  // fills record_ from normalized_
  // The digit that completes the first 14 digits of `imei`; empty when none does.
  std::string_view Expected(std::string_view imei);
  // The fields cut from an IMEI-like normalised text of `characters` characters.
  const CheckRecord& Fields(std::string_view text, std::size_t characters);

  int FindTAC(std::string_view tac, std::uint32_t*& note);
  std::size_t SlotFor(std::string_view tac)
      const;  // the first slot of the TAC's 8 bytes  // the table's FindTAC, remembered

  const DeviceTable* devices_;
  CheckRecord record_;
  // The table's answer for every TAC its lines hold, in one flat open-addressing table: the
  // table's own index costs a division and a few cache misses per lookup.
  struct Known {
    std::uint64_t key = 0;
    int line = -1;  // -1: empty slot
    std::uint32_t note = 0;
  };
  std::vector<Known> known_;
  std::string normalized_;
  std::string unknownBody_, reason_, position_;
  char checkDigit_ = '\0';
  char expectedCheckDigit_ = '\0';
};

}  // namespace vettrix::records
