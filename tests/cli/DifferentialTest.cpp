// The command line's verdict against the window's, on the same inputs: random and hostile texts
// read by the real program from a file, and typed into the window model's Text1 and validated.

#include <cstdio>
#include <random>
#include <sstream>

#include "app/DeviceTable.h"
#include "core/Fixture.h"
#include "core/HostileText.h"

namespace vettrix::test {
namespace {

using namespace std::string_literals;

std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    if (c == 'u') {  // a control character, as UTF-8
      const auto cp = static_cast<unsigned>(std::stoul(field.substr(i + 1, 4), nullptr, 16));
      if (cp >= 0x80) out += static_cast<char>(cp < 0x800 ? 0xC0 | cp >> 6 : 0xE0 | cp >> 12);
      if (cp >= 0x800) out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(cp < 0x80 ? cp : 0x80 | (cp & 0x3F));
      i += 4;
      continue;
    }
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
