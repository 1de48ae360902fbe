#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/Fixture.h"
#include "generate/Catalogue.h"
#include "generate/GetSelection.h"
#include "generate/Report.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;

// Four hundred digits are beyond any double; an exponent brings them back into range or not.
const std::string kOneAnd400Zeros = "1" + std::string(400, '0');
const std::string kPointAnd400Zeros = "0." + std::string(400, '0');
const std::string kReportName = "Vettrix.v2.1.3-r26.Professional.Edition-(12-05-2026_041502).txt";

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
    lines.push_back(text.substr(from, at - from));
  EXPECT_EQ(from, text.size()) << "text must end in CR LF";
  return lines;
}

std::vector<fs::path> Reports(const TempFolder& folder) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(folder.path()))
    if (entry.path().filename().string().rfind("Vettrix.v", 0) == 0) found.push_back(entry.path());
  return found;
}

// A database with the catalogue's S8 line, an Apple device at list position 30 and another at 31.
std::string GenerateDatabase() {
  std::string db = MakeDatabase(29);
  db.erase(db.rfind("VERSION_,"));
  db += "35332305,Samsung,Galaxy S3 Mini\r\n";  // line 30: position 30
  db += "35669908,Apple,iPhone 8\r\n";          // line 31: position 31
  db += "35911608,Samsung,Galaxy S8\r\n";       // line 32: the last device line, not listed
  db += "VERSION_,v0.99.0000,Version\r\n";
  return db;
}

class GenerateTest : public AppTest {
 protected:
  void SetUp() override { Start(GenerateDatabase()); }

  void Generate(const std::string& deviceType, const std::string& quantity, int listIndex = -1) {
    form->Combo1.text = deviceType;
    form->Combo1.listIndex = listIndex;
    form->Combo2.text = quantity;
    Command2_Click(*form);
  }
};

TEST_F(GenerateTest, FirstRunWithDefaultsMakesOneRandomIMEI) {
  Generate("", "");
  EXPECT_EQ(form->Combo2.text, "1");
  EXPECT_TRUE(form->Combo2.visible);
  EXPECT_TRUE(form->Label12.visible);
  EXPECT_EQ(form->ValidCount, 1);
  EXPECT_EQ(form->Label19.caption, "Valid: 1");
  EXPECT_TRUE(IsValidIMEI(form->Text1.text));
  EXPECT_EQ(form->ValidList, form->Text1.text);
  EXPECT_EQ(form->Label16.caption, "VALID");
  EXPECT_EQ(form->Command2.caption, "Generate");
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_TRUE(Reports(folder).empty());
}

TEST_F(GenerateTest, TenFromTheCatalogueGoIntoAReport) {
  platform.tickStep = 1;
  Generate("Samsung Galaxy S8", "10");
  EXPECT_EQ(form->ValidCount, 10);
  const auto reports = Reports(folder);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].filename().string(), kReportName);
  const std::vector<std::string> lines = SplitCrLf(folder.Read(kReportName));
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "Vettrix v2.1.3-r26 Professional Edition");
  EXPECT_EQ(lines[2].rfind("Homepage: ", 0), 0u);
  EXPECT_EQ(lines[3], "Mobile Device Type: Samsung Galaxy S8");
  EXPECT_EQ(lines[4].rfind("Calculation completed in  ", 0), 0u);
  EXPECT_EQ(lines[5], std::string(38, '-'));
  std::map<std::string, int> tacs;
  for (std::size_t i = 6; i < lines.size(); ++i) {
    EXPECT_TRUE(IsValidIMEI(lines[i])) << lines[i];
    EXPECT_EQ(lines[i].find('0', 8), std::string::npos) << lines[i];  // a catalogue's digits
    ++tacs[lines[i].substr(0, 8)];
  }
  for (const auto& [tac, count] : tacs)
    EXPECT_TRUE(tac == "35524508" || tac == "35435808" || tac == "35911608") << tac;
  const std::string elapsed = lines[4].substr(25, lines[4].size() - 25 - 9);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0], "Calculation completed in " + elapsed +
                                      " seconds. Output written to " + folder.str() + "/" +
                                      kReportName);
}

TEST_F(GenerateTest, ReportingBodyBoxesChooseInTheirOrder) {
  Validate("490154203237518");  // ticks Check4 and Check5
  Generate(std::string(kSeparatorEntry), "5");
  for (const std::string& imei : SplitCrLf(form->ValidList + "\r\n")) {
    EXPECT_EQ(imei.substr(0, 2), "52");
    EXPECT_EQ(imei.size(), 15u);
  }
  EXPECT_EQ(form->Check5.value, 1);
  EXPECT_EQ(form->Check4.value, 0);
}

TEST_F(GenerateTest, CustomTakesTheFirstEightCharactersOfTheInput) {
  form->Text1.text = "123";
  Generate("Custom", "3");
  const std::vector<std::string> imeis = SplitCrLf(form->ValidList + "\r\n");
  ASSERT_EQ(imeis.size(), 3u);
  const std::string prefix = imeis[0].substr(0, 8);
  EXPECT_EQ(prefix.substr(0, 3), "123");
  for (const std::string& imei : imeis) EXPECT_EQ(imei.substr(0, 8), prefix);
}

TEST_F(GenerateTest, DatabaseDeviceBeyondPosition30AlsoGetsAnIMEIOnItsTAC) {
  ASSERT_EQ(form->Combo1.list[30], "Samsung Galaxy S3 Mini");
  ASSERT_EQ(form->Combo1.list[31], "Apple iPhone 8");
  Generate("Samsung Galaxy S3 Mini", "1", 30);
  EXPECT_EQ(form->FoundCount, 0);  // position 30: the device search alone
  EXPECT_EQ(form->Text1.text.substr(0, 8), "35332305");
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Samsung");

  Generate("Apple iPhone 8", "1", 31);
  EXPECT_GE(form->FoundCount, 1);
  EXPECT_GE(form->ValidCount, 1);
  EXPECT_EQ(form->Text1.text.substr(0, 8), "35669908");
  for (const std::string& imei : SplitCrLf(form->ValidList + "\r\n"))
    EXPECT_EQ(imei.substr(0, 8), "35669908");
}

// Refused and named in the message as typed: characters whole, a long name cut between them,
// controls as "?".
TEST_F(GenerateTest, UnknownDeviceTypeIsRefusedAndChangesNothing) {
  Validate("123456789012347");
  for (int n = 1; n <= 8; ++n) form->CheckAt(n).value = 0;
  const std::string list = form->ValidList;
  std::string accents;
  for (int i = 0; i < 61; ++i) accents += "\xC3\xA9";
  for (const auto& [typed, named] :
       {std::pair<std::string, std::string>{"Nokia 3310", "\"Nokia 3310\" is unknown"},
        {std::string(1 << 20, 'Q'), "QQQ...\" is unknown"},
        {"Ger\xC3\xA4t \xC3\x9Cnbekannt\t", "\"Ger\xC3\xA4t \xC3\x9Cnbekannt?\" is unknown"},
        {accents, '"' + accents.substr(0, 120) + "...\" is unknown"},
        // A character of three bytes, and invisible ones that turn text around.
        {"\xE0\xA4\x85\xE2\x80\x8F\xE2\x81\xAF", "\"\xE0\xA4\x85??\" is unknown"}}) {
    platform.messages.clear();
    Generate(typed, "5");
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_LT(platform.messages[0].size(), 300u);
    EXPECT_NE(platform.messages[0].find(named), std::string::npos) << platform.messages[0];
    EXPECT_EQ(form->ValidList, list);
    EXPECT_EQ(form->ValidCount, 1);
    EXPECT_FALSE(form->Combo2.visible);
  }
}

TEST_F(GenerateTest, EveryTACThatCannotWorkStopsTheRunNamesItAndWritesTheReport) {
  std::string db = MakeDatabase(29);
  db.insert(db.rfind("VERSION_,"), "3533230,Bad,Device\r\n3533231,Worse,Device\r\n" +
                                       std::string(70, '7') + ",Long,Tac\r\n");
  // The case, the device type and its list position, Text1, and the TAC as the message names it.
  for (const auto& [name, deviceType, listIndex, text1, tac] :
       {std::tuple<const char*, const char*, int, const char*, std::string>{
            "picked beyond position 30", "Worse Device", 31, "", "\"3533231\""},
        {"picked at position 30", "Bad Device", 30, "", "\"3533230\""},
        {"typed database device", "Bad Device", -1, "", "\"3533230\""},
        {"Custom without digits", "Custom", -1, "ab\xC3\xBC", "\"ab\xC3\xBC"},
        {"a TAC too long to name whole", "Long Tac", -1, "",
         '"' + std::string(40, '7') + "...\" of"}}) {
    SCOPED_TRACE(name);
    for (const fs::path& report : Reports(folder)) fs::remove(report);
    platform.messages.clear();
    Start(db);
    form->Text1.text = text1;
    platform.onDoEvents = [this] {  // a run that never ends fails here instead of hanging
      if (form->GeneratedCount > 100'000) Form_Unload(*form);
    };
    Generate(deviceType, "5", listIndex);
    ASSERT_EQ(platform.messages.size(), 2u);
    EXPECT_TRUE(platform.messages[0].starts_with(
        "Generation stopped: no valid IMEI could be made on the TAC " + tac))
        << platform.messages[0];
    EXPECT_EQ(platform.messages[1], "Calculation completed in  0 seconds. Output written to " +
                                        folder.str() + "/" + kReportName);
    EXPECT_EQ(form->Command2.caption, "Generate");
    EXPECT_EQ(Reports(folder).size(), 1u);
    EXPECT_EQ(form->GeneratedCount, kMaxTACAttempts);
  }
}

// Stop ends an endless run after its cycle, with a report; closing the window ends even a run of
// 100 at once, with nothing shown or written.
TEST_F(GenerateTest, StopEndsTheRunAfterItsCycleWithAReportAndClosingEndsItAtOnce) {
  for (const bool close : {true, false}) {
    const int cycle = close ? 5 : 20;
    int cycles = 0;
    platform.onDoEvents = [&] {
      if (!form->generating) return;  // the report's own repaint
      EXPECT_EQ(form->Command2.caption, "Stop");
      if (++cycles == cycle) close ? Form_Unload(*form) : Command2_Click(*form);
    };
    Generate("Samsung Galaxy S8", close ? "100" : "1e12");
    EXPECT_EQ(cycles, cycle);
    ASSERT_EQ(Reports(folder).size(), close ? 0u : 1u);
    EXPECT_EQ(platform.messages.size(), close ? 0u : 1u);
    if (close) {
      Start(GenerateDatabase());
      continue;
    }
    EXPECT_EQ(form->Command2.caption, "Generate");
    const std::vector<std::string> lines = SplitCrLf(folder.Read(kReportName));
    EXPECT_EQ(static_cast<std::int64_t>(lines.size()) - 6, form->ValidCount);
  }
}

TEST_F(GenerateTest, ReportsInTheSameSecondGetTheirOwnNames) {
  for (const std::string suffix : {"", "-2", "-3"}) {
    Generate("Samsung Galaxy S8", "2");
    EXPECT_TRUE(fs::exists(folder.path() /
                           kReportName.substr(0, kReportName.size() - 4).append(suffix + ".txt")));
  }
  EXPECT_EQ(Reports(folder).size(), 3u);
}

TEST(Catalogue, EveryTACGivesValidIMEIs) {
  FakePlatform platform;
  Form1 form(platform);
  for (const CatalogueEntry& entry : kCatalogue)
    for (const std::string_view tac : entry.tacs) {
      EXPECT_TRUE(tac.size() == 8 && tac.find_first_not_of("0123456789") == std::string::npos)
          << entry.name << " " << tac;
      EXPECT_TRUE(GetIMEIwTAC(form, tac) && form.TACFound) << entry.name << " " << tac;
    }
}

TEST(ReportForms, NumberNameAndQuantity) {
  using Number = std::pair<double, const char*>;
  for (const auto& [value, text] :
       {Number{3.276, " 3.276"}, Number{12, " 12"}, Number{0.75, " .75"}, Number{0.42, " .42"},
        Number{0, " 0"}, Number{-0.5, "-.5"}, Number{-3.5, "-3.5"},
        Number{1.0 / 3, " .333333333333333"}, Number{123456789.012, " 123456789.012"}})
    EXPECT_EQ(ReportNumber(value), text) << value;

  EXPECT_EQ(ReportFileName("2.1.3-r26 Professional Edition", DateTime{2026, 12, 5, 4, 15, 2}),
            kReportName);

  using Quantity = std::pair<std::string, double>;
  for (const auto& [text, value] :
       {Quantity{"", 0}, Quantity{"25", 25}, Quantity{"2.5", 2.5}, Quantity{"  10 pieces", 10},
        Quantity{"abc", 0}, Quantity{"1e3", 1000}, Quantity{"1e", 1}, Quantity{"-4", -4},
        Quantity{".5", 0.5}, Quantity{"+7", 7}, Quantity{"1e999", HUGE_VAL},
        // Found by fuzzing: many digits were read as 0 or as endless.
        Quantity{kOneAnd400Zeros + "e-398", 100}, Quantity{kOneAnd400Zeros + "e-1", HUGE_VAL},
        Quantity{"-" + kOneAnd400Zeros + "e-1", -HUGE_VAL},
        Quantity{kPointAnd400Zeros + "1e402", 10}, Quantity{kPointAnd400Zeros + "1e5 pieces", 0},
        Quantity{"1e-400", 0}})
    EXPECT_EQ(LeadingNumber(text), value) << text;
}

}  // namespace
}  // namespace vettrix::test
