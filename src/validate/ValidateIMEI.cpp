#include "validate/ValidateIMEI.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "app/Captions.h"
#include "app/Shell.h"
#include "app/Text.h"
#include "db/Mobidex.h"
#include "validate/CheckRBI.h"
#include "validate/Synthesis.h"

namespace vettrix {
namespace {

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
constexpr int DigitValue(char c) {
  return IsDigit(c) ? c - '0' : 0;
}

// Writes 0 <= value <= 999 in plain decimal; the sums never exceed 14 * 9 + 9.
char* PutSmall(char* out, int value) {
  if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
  if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

// The result fields keep the digits they are cut from and become text when read.
struct ResultDigits {
  char digits[15];
  std::uint8_t length;
  // Characters from..from+count-1 (0-based), as far as they reach.
  void Append(std::size_t from, std::size_t count, std::string& out) const {
    if (from < length) out.append(digits + from, std::min<std::size_t>(count, length - from));
  }
};

// The first characters of an input that is not plain ASCII, each as its bytes in `shown`.
struct ResultChars {
  std::string shown;  // the input as the window shows it
  std::string_view at[16];
  std::size_t length = 0;  // characters in the whole input

  explicit ResultChars(std::string_view input) : shown(DisplayText(input)) {
    for (std::size_t byte = 0; byte < shown.size(); byte += CharSize(shown, byte), ++length)
      if (length < 16) at[length] = std::string_view(shown).substr(byte, CharSize(shown, byte));
  }
  void Append(std::size_t from, std::size_t count, std::string& out) const {
    for (std::size_t i = from; i < from + count && i < length && i < 16; ++i) out += at[i];
  }
};

struct Sums {
  int sum, total;
};

template <class Result>
void Presentation(const Result& r, std::string& out) {
  out.clear();
  r.Append(0, 6, out);
  out += '-';
  r.Append(6, 2, out);
  out += '-';
  r.Append(8, 6, out);
  out += '-';
  r.Append(14, 1, out);
}

template <class Result>
void TAC(const Result& r, std::string& out) {
  out.clear();
  r.Append(0, 8, out);
}

template <class Result>
void Serial(const Result& r, std::string& out) {
  out.clear();
  r.Append(8, 6, out);
}

void FormatCheckLine(const ResultDigits& r, std::string& out) {
  out.assign("Check: ");
  out.append(r.digits, r.length);
}

void FormatSums(const Sums& s, std::string& out) {
  char text[32];
  constexpr std::string_view kPrefix = "CheckSum: ";
  char* end = PutSmall(std::copy(kPrefix.begin(), kPrefix.end(), text), s.sum);
  *end++ = '(';
  end = PutSmall(end, s.total);
  *end++ = ')';
  out.assign(text, static_cast<std::size_t>(end - text));
}

void FormatLuhn(const int& check, std::string& out) {
  out.assign("Luhn: ");
  out += static_cast<char>('0' + check);
}

}  // namespace

namespace {

// The result fields of fifteen plain digits, the usual case, without the per-slot tests of the
// general case below. Returns the verdict.
bool ShowDigits(Form1& form, const char* digits) {
  char weighted[14];  // slots 1 to 14 of CheckTable, for the check line
  int sum = 0;
  for (std::size_t i = 0; i < 15; ++i)
    form.DigitTable[i + 1] = static_cast<unsigned char>(digits[i]);
  form.DigitTable[16] = 0;
  for (std::size_t i = 0; i < 14; i += 2) {
    const char odd = digits[i];
    const char even = kDoubledDigits[static_cast<std::size_t>(digits[i + 1] - '0')];
    form.CheckTable[i + 1] = static_cast<unsigned char>(weighted[i] = odd);
    form.CheckTable[i + 2] = static_cast<unsigned char>(weighted[i + 1] = even);
    sum += (odd - '0') + (even - '0');
  }
  form.CheckTable[15] = static_cast<unsigned char>(digits[14]);
  form.CheckTable[16] = 0;

  CheckRBI(form);
  ResultDigits fields{};
  fields.length = 15;
  std::memcpy(fields.digits, digits, 15);
  form.Label8.caption.Defer<ResultDigits, Presentation<ResultDigits>>(fields);
  form.Label10.caption.Defer<ResultDigits, TAC<ResultDigits>>(fields);
  form.Label11.caption.Defer<ResultDigits, Serial<ResultDigits>>(fields);
  ResultDigits checkLine{};
  checkLine.length = 14;
  std::memcpy(checkLine.digits, weighted, 14);
  form.Label1.caption.Defer<ResultDigits, FormatCheckLine>(checkLine);

  const int check = digits[14] - '0';
  const int total = sum + check;
  form.Label2.caption.Defer<Sums, FormatSums>(Sums{sum, total});
  form.Label3.caption.Defer<int, FormatLuhn>(check);
  return total % 10 == 0 && total >= 10 && total <= 160;
}

// The value of a character that is one decimal digit; any other character counts 0.
int DigitOf(std::string_view character) {
  return character.size() == 1 ? DigitValue(character[0]) : 0;
}

// Any other input, counted in characters. Slots beyond the input are cleared, so a short
// input's sums describe that input alone. Such an input is never valid.
bool ShowChars(Form1& form, std::string_view imei) {
  const ResultChars chars(imei);
  std::string checkLine = "Check: ";
  int sum = 0;
  for (std::size_t i = 1; i <= 16; ++i) {
    const std::string_view c = i <= chars.length ? chars.at[i - 1] : std::string_view();
    form.DigitTable[i] = c.empty() ? 0 : CodePointOf(c);
    std::string_view slot = c;
    if (!c.empty() && i % 2 == 0 && i <= 14)
      slot = kDoubledDigits.substr(static_cast<std::size_t>(DigitOf(c)), 1);
    form.CheckTable[i] = slot.empty() ? 0 : CodePointOf(slot);
    if (i <= 14 && !slot.empty()) {
      checkLine += slot;
      sum += DigitOf(slot);
    }
  }
  if (chars.length > 15) return false;

  CheckRBI(form);
  std::string text;
  Presentation(chars, text);
  form.Label8.caption = text;
  TAC(chars, text);
  form.Label10.caption = text;
  Serial(chars, text);
  form.Label11.caption = text;
  form.Label1.caption = checkLine;
  const int check = DigitOf(chars.at[chars.length - 1]);
  FormatSums(Sums{sum, sum + check}, text);
  form.Label2.caption = text;
  FormatLuhn(check, text);
  form.Label3.caption = text;
  return false;
}

}  // namespace

void IncreaseC(Form1& form) {
  form.ValidCount = form.ValidCount > 0 ? form.ValidCount + 1 : 1;
}

bool ValidateIMEI(Form1& form, std::string& imei) {
  form.TACFound = false;
  if (&imei == &form.Text1.text) {
    // The normaliser writes into Text1, so it reads the input from elsewhere.
    const std::string input = std::move(form.Text1.text);
    NormalizeInto(TrimSpaces(input), form.Text1.text);
  } else {
    NormalizeInto(TrimSpaces(imei), form.Text1.text);
    if (imei != form.Text1.text) SetText(imei, form.Text1.text);
  }
  form.Label16.visible = false;
  form.Label17.visible = false;
  if (form.Text1.text.empty()) {
    form.Text1.text = GetRandomIMEI(form);
    imei = form.Text1.text;
  }

  const bool valid = imei.size() == 15 && std::all_of(imei.begin(), imei.end(), IsDigit)
                         ? ShowDigits(form, imei.data())
                         : ShowChars(form, imei);
  form.Label16.visible = true;
  form.Label17.visible = true;
  if (!valid) {
    form.Label16.foreColor = kRed;
    form.Label16.caption = "INVALID";
    // No lookup was made: names left from an earlier IMEI would read as this one's.
    form.Label13.visible = false;
    form.Label14.visible = false;
    form.Label27.visible = false;
    return false;
  }

  form.Label16.foreColor = kGreen;
  form.Label16.caption = "VALID";
  ShowValidCount(form);
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

}  // namespace vettrix
