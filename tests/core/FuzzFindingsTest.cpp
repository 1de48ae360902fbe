// Inputs the fuzz targets found to go wrong, kept so that they stay right.

#include <cmath>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/Fixture.h"
#include "generate/Report.h"
#include "update/CheckUpdate.h"

namespace vettrix::test {
namespace {

// Four hundred digits are beyond any double; an exponent brings them back into range or not.
const std::string kOneAnd400Zeros = "1" + std::string(400, '0');
const std::string kPointAnd400Zeros = "0." + std::string(400, '0');

TEST(FuzzFindings, QuantitiesWithManyDigitsReadAsTheirValue) {
  const std::vector<std::pair<std::string, double>> cases = {
      // Huge digits with a negative exponent were read as 0: a run of 100 stopped after one.
      {kOneAnd400Zeros + "e-398", 100},
      {kOneAnd400Zeros + "e-1", HUGE_VAL},
      {"-" + kOneAnd400Zeros + "e-1", -HUGE_VAL},
      // Tiny digits with a positive exponent were read as endless.
      {kPointAnd400Zeros + "1e402", 10},
      {kPointAnd400Zeros + "1e5 pieces", 0},
      {"1e-400", 0},
      {"1e400", HUGE_VAL},
  };
  for (const auto& [typed, quantity] : cases) EXPECT_EQ(LeadingNumber(typed), quantity) << typed;
}

class FuzzFindingsRunTest : public AppTest {};

// Typed as a quantity, the text makes that many IMEIs; published as the database's version, it
// is compared as the number it is (a tiny one underflows to 0 and was called unreadable before).
TEST_F(FuzzFindingsRunTest, ManyDigitsReachARunAndTheDatabaseCheckAsTheirValue) {
  const std::string older =
      "You have a development Mobidex version. Your version: 990000 Online "
      "version: ";
  const std::vector<std::tuple<bool, std::string, std::string>> cases = {
      {false, kOneAnd400Zeros + "e-399", "Valid: 10"},
      {false, kPointAnd400Zeros + "1e402", "Valid: 10"},
      {true, "1e-400", older + "1e-400"},
      {true, kPointAnd400Zeros + "1", older + kPointAnd400Zeros + "1"},
      {true, "1e400", "The published Mobidex version could not be read. Online version: \"1e400\""},
  };
  Start(MakeDatabase(3));
  form->Combo1.text = "Samsung Galaxy S8";
  std::string published;
  platform.download = [&published](std::string_view, const std::string& file) {
    std::ofstream(file, std::ios::binary) << published << "\r\n";
    return DownloadResult{true, {}};
  };
  for (const auto& [isPublished, text, shown] : cases) {
    SCOPED_TRACE(text.substr(text.size() > 12 ? text.size() - 12 : 0));
    platform.messages.clear();
    if (isPublished) {
      published = text;
      CheckUpdateDB(*form, "http://127.0.0.1:9");
      EXPECT_EQ(platform.messages, std::vector<std::string>{shown});
    } else {
      form->Combo2.text = text;
      Command2_Click(*form);
      EXPECT_EQ(form->Label19.caption, shown);
    }
  }
}

}  // namespace
}  // namespace vettrix::test
