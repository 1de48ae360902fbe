#include "generate/Synthesis.h"

#include <cmath>

#include "app/Captions.h"
#include "validate/ValidateIMEI.h"

namespace vettrix {
namespace {

// Shows the rate since StartTick as of LastTick; keeps Label29 when no time has passed.
void ShowRate(Form1& form) {
  const double elapsed = static_cast<double>(form.LastTick - form.StartTick) / 1000.0;
  if (!(elapsed > 0)) return;
  const double rate = static_cast<double>(form.GeneratedCount) / elapsed;
  std::string& caption = form.Label29.caption;
  caption.assign("IMEI/Sec: ");
  caption += FormatRate(rate, form.platform.DecimalSeparator());
}

}  // namespace

std::string FormatRate(double rate, char separator) {
  // nearbyint rounds halves to even in the default rounding mode.
  const double hundredths = std::nearbyint(rate * 100.0);
  if (!std::isfinite(hundredths) || std::fabs(hundredths) > 9e17) return std::to_string(rate);
  const auto n = static_cast<std::int64_t>(hundredths);
  const std::int64_t magnitude = n < 0 ? -n : n;
  std::string text = n < 0 ? "-" : "";
  AppendNumber(text, magnitude / 100);
  const auto fraction = static_cast<int>(magnitude % 100);
  if (fraction != 0) {
    text += separator;
    text += static_cast<char>('0' + fraction / 10);
    if (fraction % 10 != 0) text += static_cast<char>('0' + fraction % 10);
  }
  return text;
}

void RateMeterStep(Form1& form) {
  form.LastTick = form.platform.TickCount();
  ShowRate(form);
}

std::string GetRandomIMEI(Form1& form) {
  for (;;) {
    form.LastTick = form.platform.TickCount();
    form.CurrentIMEI.clear();
    form.Rnd.AppendDigits(form.CurrentIMEI, 15);
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
  SetCounter(form.Label28.caption, "Found: ", form.FoundCount);
  form.FoundIMEI = form.CurrentIMEI;
  return true;
}

}  // namespace vettrix
