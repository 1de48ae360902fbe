// The command line's verdict against the window's, on the same inputs: random and hostile texts
// read by the real program from a file, and typed into the window model's Text1 and validated.

#include <cstdio>
#include <random>
#include <sstream>

#include "app/DeviceTable.h"
#include "core/Fixture.h"

namespace vettrix::test {
namespace {

using namespace std::string_literals;

// A Luhn-valid 15-digit text, made here rather than by the code under test.
std::string ValidImei(std::mt19937_64& rng) {
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
std::string HostileText(std::mt19937_64& rng) {
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

std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    out += c == 't' ? '\t' : c == '0' ? '\0' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

TEST_F(AppTest, CommandLineVerdictIsTheWindows) {
  Start(MakeDatabase(60));
  std::mt19937_64 rng(20261206);
  std::vector<std::string> inputs = {
      "490154203237518", "", "---", "x2345678901234*", "12345678901234A", std::string(15, '0')};
  while (inputs.size() < 30000) inputs.push_back(HostileText(rng));
  std::string file;
  for (const std::string& input : inputs) file += input + "\n";
  folder.Write("inputs.txt", file);

  const std::string command = std::string(VETTRIX_CLI) + " check --db '" + folder.str() +
                              "/mobidex.csv' '" + folder.str() + "/inputs.txt'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[65536];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  pclose(pipe);

  std::istringstream lines(output);
  std::string line;
  std::getline(lines, line);  // the header
  std::size_t compared = 0, valid = 0;
  for (const std::string& input : inputs) {
    ASSERT_TRUE(std::getline(lines, line)) << "no record for input " << compared;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    ASSERT_GE(fields.size(), 6u) << line;
    Validate(input);
    // The window puts a random IMEI in place of an input that normalises to nothing.
    if (fields[3].empty()) continue;
    EXPECT_EQ(Unescape(fields[3]), DisplayText(form->Text1.text)) << "input: " << input;
    EXPECT_EQ(fields[5] == "valid", form->Label16.caption == "VALID") << "input: " << input;
    ++compared;
    valid += fields[5] == "valid" ? 1 : 0;
  }
  EXPECT_GT(compared, 25000u);
  EXPECT_GT(valid, 3000u);
}

}  // namespace
}  // namespace vettrix::test
