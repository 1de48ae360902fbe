#include "records/Checker.h"

#include <algorithm>
#include <cstring>

#include "records/LineReader.h"
#include "validate/Imei.h"
#include "validate/ReportingBodies.h"

namespace vettrix::records {
namespace {

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Characters from..from+count-1 (from 0) of `text`, which holds `characters` characters; as
// far as they reach.
std::string_view Characters(std::string_view text, std::size_t characters, std::size_t from,
                            std::size_t count) {
  if (characters == text.size()) {
    if (from >= text.size()) return {};
    return text.substr(from, count);
  }
  // UTF-8: walk to the first byte of each end.
  auto offset = [&](std::size_t character) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
      if (seen++ == character) return i;
    }
    return text.size();
  };
  const std::size_t begin = offset(from);
  return text.substr(begin, offset(from + count) - begin);
}

}  // namespace

std::string_view KindName(Kind kind) {
  static constexpr std::array<std::string_view, 4> kNames = {"imei", "imei-no-check-digit",
                                                             "imeisv", "other"};
  return kNames[static_cast<std::size_t>(kind)];
}

std::string_view VerdictName(Verdict verdict) {
  static constexpr std::array<std::string_view, 3> kNames = {"valid", "invalid", "n/a"};
  return kNames[static_cast<std::size_t>(verdict)];
}

std::string_view FlawName(Flaw flaw) {
  static constexpr std::array<std::string_view, 6> kNames = {
      "", "empty", "too short", "too long", "not a digit", "check digit"};
  return kNames[static_cast<std::size_t>(flaw)];
}

std::string_view FlawCode(Flaw flaw) {
  static constexpr std::array<std::string_view, 6> kCodes = {
      "", "empty", "too_short", "too_long", "not_a_digit", "check_digit"};
  return kCodes[static_cast<std::size_t>(flaw)];
}

namespace {

std::uint64_t Key8(std::string_view text) {
  std::uint64_t key = 0;
  std::memcpy(&key, text.data(), 8);
  return key;
}

std::size_t SlotOf(std::uint64_t key, std::size_t mask) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

}  // namespace

Checker::Checker(const DeviceTable* devices, bool index) : devices_(devices) {
  if (devices == nullptr || !index) return;
  std::size_t size = 16;
  while (size < static_cast<std::size_t>(devices->LineCount()) * 3 / 2) size *= 2;
  known_.resize(size);
  for (int k = 1; k <= devices->LineCount(); ++k) {
    const std::string_view line = devices->Line(k);
    if (line.size() < 8 || devices->IsVersionLine(k)) continue;
    const std::uint64_t key = Key8(line);
    std::size_t i = SlotOf(key, size - 1);
    while (known_[i].line >= 0 && known_[i].key != key) i = (i + 1) & (size - 1);
    known_[i] = {key, devices->FindDevice(line.substr(0, 8)), 0};
  }
}

std::size_t Checker::SlotFor(std::string_view tac) const {
  return SlotOf(Key8(tac), known_.size() - 1);
}

int Checker::FindTAC(std::string_view tac, std::uint32_t*& note) {
  note = nullptr;
  if (known_.empty()) return devices_->FindDevice(tac);
  const std::uint64_t key = Key8(tac);
  const std::size_t mask = known_.size() - 1;
  for (std::size_t i = SlotOf(key, mask); known_[i].line >= 0; i = (i + 1) & mask) {
    if (known_[i].key == key) {
      note = &known_[i].note;
      return known_[i].line;
    }
  }
  note = nullptr;
  return devices_->FindDevice(tac);
}

std::string_view Checker::Reason(const CheckRecord& record) {
  if (record.verdict != Verdict::Invalid) return {};
  if (record.judgement.flaw != Flaw::NotDigit) return FlawName(record.judgement.flaw);
  reason_ = "not a digit at position ";
  reason_ += std::to_string(record.judgement.position);
  return reason_;
}

std::string_view Checker::ReasonCode(const CheckRecord& record) {
  return record.verdict == Verdict::Invalid ? FlawCode(record.judgement.flaw) : "";
}

std::string_view Checker::Position(const CheckRecord& record) {
  if (record.verdict != Verdict::Invalid || record.judgement.flaw != Flaw::NotDigit) return {};
  position_ = std::to_string(record.judgement.position);
  return position_;
}

const CheckRecord& Checker::Check(const Line& line) {
  if (line.cut == 0) return Check(line.bytes);
  // A long line: its normalisation is what the kept part gives followed by what the rest gave.
  record_ = CheckRecord{};
  record_.input = line.bytes;
  record_.inputCut = line.cut;
  NormalizeInto(TrimSpaces(line.bytes), normalized_);
  normalized_ += line.overflowKept;
  record_.normalizedCut = line.overflowKeptCount - line.overflowKept.size();
  // Whatever the length of the line, when little enough was kept it is judged in full.
  if (record_.normalizedCut == 0) return Judge();
  record_.normalized = normalized_;
  record_.judgement = {false, Flaw::TooLong, 0, 0};
  return record_;
}

const CheckRecord& Checker::Check(std::string_view input) {
  if (input.size() == 15 && AllDigits(input)) {
    // The usual input needs no normalising, and only the verdict tells its flaw. Every field
    // is set here or by Fields.
    CheckRecord& r = record_;
    r.input = input;
    r.inputCut = r.normalizedCut = 0;
    r.softwareVersion = {};
    r.deviceLine = 0;
    r.deviceNote = nullptr;
    r.plainDigits = true;
    r.normalized = input;
    r.kind = Kind::Imei;
    const int total = WeightedSum(input);
    r.judgement = IsAcceptedTotal(total) ? Judgement{true, Flaw::None, 0, 15}
                                         : Judgement{false, Flaw::CheckDigit, 0, 15};
    r.verdict = r.judgement.valid ? Verdict::Valid : Verdict::Invalid;
    r.expectedCheckDigit = {};
    if (!r.judgement.valid) {
      expectedCheckDigit_ = CompletingDigitOf(total - (input[14] - '0'));
      if (expectedCheckDigit_ != '\0') r.expectedCheckDigit = {&expectedCheckDigit_, 1};
    }
    return Fields(input, 15);
  }
  record_ = CheckRecord{};
  record_.input = input;
  NormalizeInto(TrimSpaces(input), normalized_);
  return Judge();
}

const CheckRecord& Checker::Judge() {
  CheckRecord& r = record_;
  const std::string_view text = normalized_;
  r.normalized = text;
  r.judgement = JudgeNormalizedIMEI(text);
  const std::size_t characters = r.judgement.length;

  if (characters == 15) {
    r.kind = Kind::Imei;
    r.verdict = r.judgement.valid ? Verdict::Valid : Verdict::Invalid;
    if (r.judgement.flaw == Flaw::CheckDigit) r.expectedCheckDigit = Expected(text);
  } else if ((characters == 14 || characters == 16) && AllDigits(text)) {
    r.kind = characters == 14 ? Kind::ImeiNoCheckDigit : Kind::Imeisv;
    r.verdict = Verdict::NotApplicable;
    if (characters == 14) {
      checkDigit_ = CompletingDigit(text);
      if (checkDigit_ != '\0') {
        r.checkDigit = std::string_view(&checkDigit_, 1);
      } else {
        r.verdict = Verdict::Invalid;  // fourteen zeros: no digit completes them
        r.judgement = {false, Flaw::CheckDigit, 0, 14};
      }
    } else {
      r.softwareVersion = text.substr(14, 2);
    }
  } else {
    r.kind = Kind::Other;
    r.verdict = Verdict::Invalid;
    // A TAC alone is no IMEI, but it names its reporting body and device all the same.
    if (characters != 8 || !AllDigits(text)) return r;
  }
  return Fields(text, characters);
}

std::string_view Checker::Expected(std::string_view imei) {
  expectedCheckDigit_ = CompletingDigit(imei.substr(0, 14));
  if (expectedCheckDigit_ == '\0') return {};
  return std::string_view(&expectedCheckDigit_, 1);
}

const CheckRecord& Checker::Fields(std::string_view text, std::size_t characters) {
  CheckRecord& r = record_;
  if (r.kind == Kind::Imei) r.checkDigit = Characters(text, characters, 14, 1);
  r.tac = Characters(text, characters, 0, 8);
  r.serial = Characters(text, characters, 8, 6);
  const std::string_view code = Characters(text, characters, 0, 2);
  r.reportingBodyCode = code;
  r.body = FindReportingBody(code);
  if (r.body != nullptr) {
    r.reportingBody = r.body->text;
  } else {
    unknownBody_.assign(code);
    unknownBody_ += " (Unknown)";
    r.reportingBody = unknownBody_;
  }
  if (devices_ != nullptr && r.tac.size() == 8 && AllDigits(r.tac))
    r.deviceLine = FindTAC(r.tac, r.deviceNote);
  return r;
}

}  // namespace vettrix::records
