#include "validate/Synthesis.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "app/Captions.h"
#include "app/Shell.h"
#include "app/Text.h"
#include "validate/ValidateIMEI.h"

namespace vettrix {
namespace {

// Writes `rate` rounded to 2 places (halves to even) in its shortest form at `out`; returns the
// end. Rates beyond 1e17 are not reachable: at least a millisecond passes per rate shown.
char* WriteRate(char* out, double rate, char separator) {
  // nearbyint rounds halves to even in the default rounding mode.
  const double hundredths = std::nearbyint(rate * 100.0);
  if (!(std::fabs(hundredths) < 1e19)) return std::to_chars(out, out + 32, rate).ptr;
  const auto n = static_cast<std::int64_t>(hundredths);
  std::uint64_t magnitude =
      n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  if (n < 0) *out++ = '-';
  out = std::to_chars(out, out + 24, magnitude / 100).ptr;
  const auto fraction = static_cast<int>(magnitude % 100);
  if (fraction != 0) {
    *out++ = separator;
    *out++ = static_cast<char>('0' + fraction / 10);
    if (fraction % 10 != 0) *out++ = static_cast<char>('0' + fraction % 10);
  }
  return out;
}

struct Rate {
  double perSecond;
  char separator;
};

void FormatRateCaption(const Rate& rate, std::string& out) {
  static constexpr std::string_view kPrefix = "IMEI/Sec: ";
  char text[64];
  std::memcpy(text, kPrefix.data(), kPrefix.size());
  const char* end = WriteRate(text + kPrefix.size(), rate.perSecond, rate.separator);
  out.assign(text, static_cast<std::size_t>(end - text));
}

// Shows the rate since StartTick as of LastTick; keeps Label29 when no time has passed.
void ShowRate(Form1& form) {
  const double elapsed = static_cast<double>(form.LastTick - form.StartTick) / 1000.0;
  if (!(elapsed > 0)) return;
  form.Label29.caption.Defer<Rate, FormatRateCaption>(
      Rate{static_cast<double>(form.GeneratedCount) / elapsed, form.platform.DecimalSeparator()});
}

}  // namespace

std::string FormatRate(double rate, char separator) {
  char text[40];
  return std::string(text, WriteRate(text, rate, separator));
}

void RateMeterStep(Form1& form) {
  form.LastTick = form.platform.TickCount();
  ShowRate(form);
}

std::string GetRandomIMEI(Form1& form) {
  for (;;) {
    form.LastTick = form.platform.TickCount();
    char digits[15];
    for (char& d : digits) d = form.Rnd.Digit();
    SetText(form.CurrentIMEI, std::string_view(digits, sizeof digits));
    ++form.GeneratedCount;
    ShowRate(form);
    if (ValidateIMEI(form, form.CurrentIMEI)) return form.CurrentIMEI;
  }
}

bool GetIMEIwTAC(Form1& form, std::string_view tac) {
  form.Label13.visible = false;
  form.Label14.visible = false;
  form.TACFound = false;
  bool valid = false;
  for (int attempt = 0; attempt < kMaxTACAttempts && !valid; ++attempt) {
    form.CurrentIMEI.assign(tac);
    form.Rnd.AppendDigits(form.CurrentIMEI, 7);
    ++form.GeneratedCount;
    RateMeterStep(form);
    valid = ValidateIMEI(form, form.CurrentIMEI);
  }
  if (!valid) return false;
  form.Text1.text = form.CurrentIMEI;
  form.TACFound = true;
  ++form.FoundCount;
  ShowFoundCount(form);
  form.FoundIMEI = form.CurrentIMEI;
  return true;
}

}  // namespace vettrix
