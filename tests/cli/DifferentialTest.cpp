// vettrix-cli, the window and the service on one table of random and hostile inputs: the real
// program reads them from a file; the window model's Text1 takes each and validates; the real
// service binary on loopback answers /api/v1/imei/ with exactly the record vettrix-cli writes, and
// its lookup page shows the window's verdict.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "app/Text.h"
#include "core/Fixture.h"
#include "core/HostileText.h"
#include "service/RunningService.h"

namespace vettrix::test {
namespace {

std::string Encoded(std::string_view text) {
  std::string out;
  for (const unsigned char c : text) {
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    out += std::isalnum(c) != 0 ? std::string(1, static_cast<char>(c)) : escape;
  }
  return out;
}

TEST_F(AppTest, TheCommandLineTheWindowAndTheServiceAgree) {
  Start(MakeDatabase(60));
  std::mt19937_64 rng(20261206);
  std::vector<std::string> inputs = {"490154203237518",
                                     "",
                                     "---",
                                     "x2345678901234*",
                                     "12345678901234A",
                                     "10000001",
                                     "49015420323751",
                                     std::string(15, '0'),
                                     "4901542032375186",
                                     "10000001-234567-3"};
  while (inputs.size() < 30000) inputs.push_back(HostileText(rng));
  std::string file;
  for (const std::string& input : inputs) file += input + "\n";
  folder.Write("inputs.txt", file);
  FILE* pipe = popen((std::string(VETTRIX_CLI) + " check --format jsonl --db '" + folder.str() +
                      "/mobidex.csv' '" + folder.str() + "/inputs.txt'")
                         .c_str(),
                     "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[65536];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  pclose(pipe);

  const RunningService service(folder.str());
  std::istringstream records(output);
  std::size_t compared = 0, valid = 0, served = 0, pages = 0;
  for (const std::string& input : inputs) {
    std::string line;
    ASSERT_TRUE(std::getline(records, line)) << "no record for input " << compared;
    SCOPED_TRACE("input: " + DisplayText(input));
    const auto record = nlohmann::json::parse(line);
    Validate(input);
    const std::string verdict = form->Label16.caption.str();
    // The window puts a random IMEI in place of an input that normalises to nothing.
    const bool drawn = record["normalized"].get<std::string>().empty();
    if (!drawn) {
      EXPECT_EQ(record["normalized"], DisplayText(form->Text1.text));
      EXPECT_EQ(record["verdict"] == "valid", verdict == "VALID");
      ++compared;
      valid += verdict == "VALID" ? 1 : 0;
    }
    if (served == 2000) continue;  // the service sees the first 2000
    ++served;
    const auto [status, json] = service.Get("/api/v1/imei/" + Encoded(input));
    if (!IsValidUtf8(input) || input.empty()) {
      // It takes text only, and an empty one has no address; the command line takes any bytes.
      EXPECT_EQ(status, 400);
      continue;
    }
    ASSERT_EQ(status, 200) << json;
    // The command line's record without its file and line.
    EXPECT_EQ(json, "{" + line.substr(line.find("\"input\":")));
    if (served % 4 != 0 || drawn) continue;
    const std::string page = service.Get("/?imei=" + Encoded(input)).second;
    EXPECT_NE(page.find("id=\"verdict\">" + verdict + "<"), std::string::npos);
    ++pages;
  }
  EXPECT_GT(compared, 25000u);
  EXPECT_GT(valid, 3000u);
  EXPECT_GT(pages, 300u);
}

}  // namespace
}  // namespace vettrix::test
