// Inputs the fuzz targets found to go wrong, kept so that they stay right.

#include <cmath>
#include <fstream>
#include <string>
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
  struct Case {
    std::string typed;
    double quantity;
  };
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) EXPECT_EQ(LeadingNumber(c.typed), c.quantity) << c.typed;
}

class FuzzFindingsRunTest : public AppTest {};

TEST_F(FuzzFindingsRunTest, AQuantityWithManyDigitsMakesThatManyIMEIs) {
  struct Case {
    std::string quantity;
    int valid;
  };
  const std::vector<Case> cases = {{kOneAnd400Zeros + "e-399", 10},
                                   {kPointAnd400Zeros + "1e402", 10}};
  Start(MakeDatabase(3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quantity.substr(0, 8) + "..." + c.quantity.substr(c.quantity.size() - 6));
    platform.messages.clear();
    form->Combo1.text = "Samsung Galaxy S8";
    form->Combo2.text = c.quantity;
    Command2_Click(*form);
    EXPECT_EQ(form->ValidCount, c.valid);
    EXPECT_EQ(form->Label19.caption, "Valid: " + std::to_string(c.valid));
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].rfind("Calculation completed in ", 0), 0u);
  }
}

TEST_F(FuzzFindingsRunTest, ATinyPublishedVersionIsReadAsZero) {
  struct Case {
    std::string published;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Read as "could not be read" before: the value underflows to 0, it is still a number.
      {"1e-400\r\n",
       "You have a development Mobidex version. Your version: 990000 Online version: 1e-400"},
      {kPointAnd400Zeros + "1\r\n",
       "You have a development Mobidex version. Your version: 990000 Online version: " +
           kPointAnd400Zeros + "1"},
      {"1e400\r\n", "The published Mobidex version could not be read. Online version: \"1e400\""},
  };
  Start(MakeDatabase(3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.published.substr(0, 10));
    platform.messages.clear();
    platform.download = [&c](std::string_view, const std::string& file) {
      std::ofstream(file, std::ios::binary) << c.published;
      return DownloadResult{true, {}};
    };
    CheckUpdateDB(*form, "http://127.0.0.1:9");
    EXPECT_EQ(platform.messages, std::vector<std::string>{c.message});
  }
}

}  // namespace
}  // namespace vettrix::test
