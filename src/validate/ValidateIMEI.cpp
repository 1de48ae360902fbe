#include "validate/ValidateIMEI.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "app/Captions.h"
#include "app/Handlers.h"
#include "db/Mobidex.h"
#include "generate/Synthesis.h"
#include "validate/CheckRBI.h"

namespace vettrix {
namespace {

enum : unsigned char { kKeep, kDrop, kZero };

constexpr std::array<unsigned char, 256> MakeActions() {
  std::array<unsigned char, 256> actions{};
  for (const char c : std::string_view(" -/.\\_~#@,"))
    actions[static_cast<unsigned char>(c)] = kDrop;
  for (const char c : std::string_view("Xx*")) actions[static_cast<unsigned char>(c)] = kZero;
  return actions;
}
constexpr std::array<unsigned char, 256> kActions = MakeActions();

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
constexpr int DigitValue(char c) {
  return IsDigit(c) ? c - '0' : 0;
}

// Luhn-weighted value of position i (1-based) holding `c`, reduced to one digit.
constexpr char Weighted(int i, char c) {
  if (i % 2 == 0 && i <= 14) return "0246813579"[DigitValue(c)];
  return c;
}

// Writes 0 <= value <= 999 in plain decimal; the sums never exceed 14 * 9 + 9.
char* PutSmall(char* out, int value) {
  if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
  if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

}  // namespace

std::string_view TrimSpaces(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string NormalizeIMEI(std::string_view text) {
  std::string out;
  NormalizeInto(text, out);
  return out;
}

void NormalizeInto(std::string_view text, std::string& out) {
  out.clear();
  for (const char c : text) {
    switch (kActions[static_cast<unsigned char>(c)]) {
      case kKeep:
        out += c;
        break;
      case kZero:
        out += '0';
        break;
      default:
        break;
    }
  }
}

bool IsValidNormalizedIMEI(std::string_view imei) {
  if (imei.size() != 15) return false;
  int total = 0;
  for (int i = 1; i <= 15; ++i) {
    const char c = imei[static_cast<std::size_t>(i - 1)];
    if (!IsDigit(c)) return false;
    total += Weighted(i, c) - '0';
  }
  return total % 10 == 0 && total >= 10;
}

bool IsValidIMEI(std::string_view text) {
  // Short inputs normalise in a fixed buffer; anything that normalises to more than 15
  // characters is invalid, so longer texts need not be kept.
  char buffer[16];
  std::size_t length = 0;
  for (const char c : TrimSpaces(text)) {
    const unsigned char action = kActions[static_cast<unsigned char>(c)];
    if (action == kDrop) continue;
    if (length == 15) return false;
    buffer[length++] = action == kZero ? '0' : c;
  }
  return IsValidNormalizedIMEI(std::string_view(buffer, length));
}

void IncreaseC(Form1& form) {
  form.ValidCount = form.ValidCount > 0 ? form.ValidCount + 1 : 1;
}

bool ValidateIMEI(Form1& form, std::string& imei) {
  form.TACFound = false;
  if (&imei == &form.Text1.text) {
    const std::string input = imei;
    NormalizeInto(TrimSpaces(input), form.Text1.text);
  } else {
    NormalizeInto(TrimSpaces(imei), form.Text1.text);
    imei = form.Text1.text;
  }
  form.Label16.visible = false;
  form.Label17.visible = false;
  if (form.Text1.text.empty()) {
    form.Text1.text = GetRandomIMEI(form);
    imei = form.Text1.text;
  }

  // Slots beyond the input are cleared, so a short input's sums describe that input alone.
  const std::size_t length = imei.size();
  const char* const digits = imei.data();
  char weighted[16];  // the non-empty slots 1 to 14 of CheckTable, for the check line
  std::size_t weightedCount = 0;
  int sum = 0;
  bool allDigits = length == 15;
  for (std::size_t i = 1; i <= 16; ++i) {
    const char c = i <= length ? digits[i - 1] : '\0';
    form.DigitTable[i] = c;
    const char slot = c == '\0' ? '\0' : Weighted(static_cast<int>(i), c);
    form.CheckTable[i] = slot;
    if (i <= 14 && slot != '\0') {
      weighted[weightedCount++] = slot;
      sum += DigitValue(slot);
    }
    if (i <= length && !IsDigit(c)) allDigits = false;
  }

  bool valid = false;
  if (length <= 15) {
    CheckRBI(form);

    // Characters from..from+count-1 (0-based), as far as the IMEI reaches.
    char text[32];
    std::size_t n = 0;
    const auto copy = [&](std::size_t from, std::size_t count) {
      if (from >= length) return;
      count = std::min(count, length - from);
      std::memcpy(text + n, digits + from, count);
      n += count;
    };
    copy(0, 6);
    text[n++] = '-';
    copy(6, 2);
    text[n++] = '-';
    copy(8, 6);
    text[n++] = '-';
    copy(14, 1);
    form.Label8.caption.assign(text, n);
    form.Label10.caption.assign(digits, std::min<std::size_t>(length, 8));
    form.Label11.caption.assign(length > 8 ? digits + 8 : digits,
                                length > 8 ? std::min<std::size_t>(length - 8, 6) : 0);

    std::memcpy(text, "Check: ", 7);
    std::memcpy(text + 7, weighted, weightedCount);
    form.Label1.caption.assign(text, 7 + weightedCount);

    const int check = DigitValue(digits[length - 1]);
    const int total = sum + check;
    std::memcpy(text, "CheckSum: ", 10);
    char* end = PutSmall(text + 10, sum);
    *end++ = '(';
    end = PutSmall(end, total);
    *end++ = ')';
    form.Label2.caption.assign(text, static_cast<std::size_t>(end - text));
    SetCounter(form.Label3.caption, "Luhn: ", check);

    valid = allDigits && total % 10 == 0 && total >= 10 && total <= 160;
  }

  form.Label16.visible = true;
  form.Label17.visible = true;
  if (!valid) {
    form.Label16.foreColor = kRed;
    form.Label16.caption = "INVALID";
    return false;
  }

  form.Label16.foreColor = kGreen;
  form.Label16.caption = "VALID";
  SetCounter(form.Label19.caption, "Valid: ", form.ValidCount);
  std::string& list = form.ValidList;
  if (list.empty()) {
    list = imei;
    IncreaseC(form);
  } else {
    const std::string_view tail =
        list.size() < 15 ? std::string_view(list) : std::string_view(list).substr(list.size() - 15);
    if (tail != imei) {
      list += "\r\n";
      list += imei;
      IncreaseC(form);
    }
  }
  Mobidex(form, imei);
  if (!form.TACFound) {
    form.Label13.visible = true;
    form.Label14.visible = true;
    form.Label27.visible = false;
    form.Label13.caption = "Manufacturer: Not Found in Database!";
    form.Label14.caption = "Model:            ^^ Click to Submit ^^";
  }
  return true;
}

void Command1_Click(Form1& form) {
  form.CurrentIMEI = form.Text1.text;
  if (ValidateIMEI(form, form.CurrentIMEI)) ValidateIMEI(form, form.CurrentIMEI);
}

}  // namespace vettrix
