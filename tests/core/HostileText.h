#pragma once

// Inputs for the differential tests: valid IMEIs dressed up as people type them, and texts made
// to trip a normaliser or a parser.

#include <random>
#include <string>
#include <string_view>

namespace vettrix::test {

using namespace std::string_literals;

// A Luhn-valid 15-digit text, made here rather than by the code under test.
inline std::string ValidImei(std::mt19937_64& rng) {
  std::string imei;
  int total = 0;
  for (int i = 0; i < 14; ++i) {
    const int d = static_cast<int>(rng() % 10);
    imei += static_cast<char>('0' + d);
    total += i % 2 == 0 ? d : (d * 2 > 9 ? d * 2 - 9 : d * 2);
  }
  return imei + static_cast<char>('0' + (10 - total % 10) % 10);
}

// Texts the normaliser keeps, drops or turns into 0; control bytes, bytes of broken UTF-8 and
// non-ASCII digits. No line ends: each input is one line of the file.
inline std::string HostileText(std::mt19937_64& rng) {
  static constexpr std::string_view kMarks = " -/.\\_~#@,Xx*";
  static const std::string kOdd[] = {
      "A",    "\t",        "\0"s,      "\x80",         "\xFF",
      "\xC3", "\xC3\xA9",  "\xD9\xA3", "\xEF\xBC\x91", "\xF0\x9F\x93\xB1",
      "\"",   "4901542032"};
  std::string text;
  if (rng() % 3 == 0) {
    // A valid IMEI with separators and placeholders mixed in.
    for (const char c : ValidImei(rng)) {
      if (rng() % 4 == 0) text += kMarks[rng() % kMarks.size()];
      text += c == '0' && rng() % 3 == 0 ? 'x' : c;
    }
    return text;
  }
  const std::size_t pieces = rng() % 20;
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t kind = rng() % 8;  // mostly digits
    text += kind == 0 ? kOdd[rng() % std::size(kOdd)]
                      : std::string(1, kind == 1 ? kMarks[rng() % kMarks.size()]
                                                 : static_cast<char>('0' + rng() % 10));
  }
  return text;
}

}  // namespace vettrix::test
