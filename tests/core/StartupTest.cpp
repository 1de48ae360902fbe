#include <string>
#include <tuple>
#include <utility>

#include "app/Banner.h"
#include "core/Fixture.h"
#include "db/Mobidex.h"

namespace vettrix::test {
namespace {

class StartupTest : public AppTest {};

TEST_F(StartupTest, ShowsTheStartStateOfEveryControl) {
  Start(MakeDatabase(3));
  const Form1& f = *form;
  EXPECT_EQ(f.caption, "Vettrix v2.1.3-r26 Professional Edition");
  EXPECT_EQ(f.Text1.text, "490154203237518");
  EXPECT_EQ(f.Label19.caption, "Valid: 0");
  EXPECT_EQ(f.Label28.caption, "Found: 0");
  EXPECT_EQ(f.Label29.caption, "IMEI/sec: 0");
  EXPECT_EQ(f.Label20.caption, "Database Version:   v0.99.0000");
  EXPECT_EQ(f.Label25.caption, "Devices Supported: 3");
  EXPECT_EQ(f.DatabaseVersionNumber, "990000");
  for (const Label* hidden :
       {&f.Label12, &f.Label13, &f.Label14, &f.Label16, &f.Label17, &f.Label27})
    EXPECT_FALSE(hidden->visible) << hidden->caption;
  // Visible, text, position picked; the banner's size.
  EXPECT_EQ(std::tuple(f.Combo1.visible, f.Combo1.text, f.Combo1.listIndex),
            std::tuple(true, "", -1));
  EXPECT_EQ(std::tuple(f.Combo2.visible, f.Combo2.text, f.Combo2.listIndex),
            std::tuple(false, "", 0));
  EXPECT_EQ(f.Combo2.list,
            (std::vector<std::string>{"", "1", "10", "25", "50", "100", "250", "500", "1000"}));
  EXPECT_EQ(std::pair(f.Scriptlet1.rect.width, f.Scriptlet1.rect.height), std::pair(7025, 905));
  EXPECT_TRUE(platform.messages.empty() && platform.closeCount == 0);
}

// Database lines 30 to N - 2 become entries behind the 30 fixed ones.
TEST_F(StartupTest, DeviceTypeListTakesLines30ToSecondLast) {
  for (const auto& [deviceLines, entries] : {std::pair{30, 0}, {31, 1}, {39, 9}, {5, 0}}) {
    Start(MakeDatabase(deviceLines));  // N - 1 lines
    const auto& list = form->Combo1.list;
    ASSERT_EQ(list.size(), 30u + static_cast<unsigned>(entries)) << deviceLines;
    EXPECT_EQ(list[0], "");
    EXPECT_EQ(list[28], "Custom");
    EXPECT_EQ(list[29], "----------------------------");
    if (entries > 0) {
      EXPECT_EQ(list[30], "Maker 30 Model 30");
      EXPECT_EQ(list.back(),
                "Maker " + std::to_string(29 + entries) + " Model " + std::to_string(29 + entries));
    }
  }
}

// Each fatal start-up shows its one message and closes the window before the device list is built.
TEST_F(StartupTest, FatalStartsShowOneMessageAndCloseTheWindow) {
  // Administrator, the database a folder, the message (whole, or a part of it).
  const std::tuple<const char*, bool, bool, const char*> cases[] = {
      // Not an administrator: the database is not even looked for (there is none here).
      {"non-administrator", false, false, "FATAL ERROR: Vettrix requires Administrator rights"},
      {"missing database", true, false,
       "Fatal Error! IMEI Database not found! Please download and reinstall!"},
      {"unreadable database", true, true, "could not be read: "},
  };
  for (const auto& [what, admin, databaseIsAFolder, message] : cases) {
    SCOPED_TRACE(what);
    platform.messages.clear();
    platform.admin = admin;
    std::filesystem::remove_all(folder.path() / "mobidex.csv");
    if (databaseIsAFolder) std::filesystem::create_directory(folder.path() / "mobidex.csv");
    Start(nullptr);
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_NE(platform.messages[0].find(message), std::string::npos) << platform.messages[0];
    EXPECT_TRUE(form->closed && form->Combo1.list.empty());
    if (admin) {
      EXPECT_EQ(form->Label20.caption, "Database Version: ERROR! Download and reinstall!");
    }
  }
}

struct LineCase {
  const char* name;
  std::string contents;
  int lines;
  std::string versionText;
};

class LineRulesTest : public AppTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineRulesTest, CountsLinesAndReadsTheVersion) {
  Start(GetParam().contents);
  EXPECT_EQ(form->Devices.LineCount(), GetParam().lines);
  EXPECT_EQ(form->DatabaseVersionText, GetParam().versionText);
  EXPECT_EQ(form->Label25.caption, "Devices Supported: " + std::to_string(GetParam().lines - 1));
  EXPECT_EQ(form->Label20.caption, "Database Version:   " + GetParam().versionText);
  EXPECT_TRUE(platform.messages.empty());  // an empty database is no failure either
}

INSTANTIATE_TEST_SUITE_P(
    Database, LineRulesTest,
    ::testing::Values(
        LineCase{"Empty", "", 0, ""},
        LineCase{"CrLf", "a,b,c\r\nd,e,f\r\n00000000,v0.99.0000,x\r\n", 3, "v0.99.0000"},
        LineCase{"NoFinalTerminator", "a,b,c\r\n00000000,v0.99.0000,x", 2, "v0.99.0000"},
        LineCase{"LoneCr", "a,b,c\rd,e,f\r00000000,v1.00.0001,x\r", 3, "v1.00.0001"},
        LineCase{"LoneLfStaysInLine", "a,b,c\nd,e,f\r\n00000000,v0.99.0000,x", 2, "v0.99.0000"},
        LineCase{"TrailingEmptyLine", "a,b,c\r\n00000000,v0.99.0000,x\r\n\r\n", 3, ""},
        LineCase{"ShortVersionLine", "a,b,c\r\n000000,v1\r\n", 2, ""},
        LineCase{"VersionOfFifteen", "a,b,c\r\n00000000,v0.99.0\r\n", 2, "v0.99.0"},
        LineCase{"OnlyTerminator", "\r\n", 1, ""},
        // Characters, not bytes: as UTF-8, and as Latin-1 where the line is not UTF-8.
        LineCase{"Utf8", "a\r\n0000000\xC3\xBC,v\xC3\xA9.99.0000,x", 2, "v\xC3\xA9.99.0000"},
        LineCase{"Latin1", "a\r\n0000000\xFC,v\xE9.99.0000,x", 2, "v\xC3\xA9.99.0000"}),
    [](const auto& info) { return info.param.name; });

TEST(VersionNumber, DropsLowerCaseVAndDotsThenTheFirstDigit) {
  EXPECT_EQ(VersionNumberOf("v0.99.0000"), "990000");
  EXPECT_EQ(VersionNumberOf("v1.26.1206"), "261206");
  EXPECT_EQ(VersionNumberOf("V1.2"), "12");
  EXPECT_EQ(VersionNumberOf(""), "");
  EXPECT_EQ(VersionNumberOf("v\xC3\xA9.99"), "99");
}

TEST(DeviceText, ShowsUtf8AsIsAndLatin1Decoded) {
  EXPECT_EQ(DisplayText("Keller AG f\xC3\xBCr Druck"), "Keller AG f\xC3\xBCr Druck");
  EXPECT_EQ(DisplayText("Keller AG f\xFCr Druck"), "Keller AG f\xC3\xBCr Druck");
  EXPECT_EQ(DisplayText("bad \xC3"), "bad \xC3\x83");
  EXPECT_EQ(DisplayText("\x7F\x80"), "\x7F\xC2\x80");
  EXPECT_EQ(DisplayText(std::string_view("\xC3\xBC", 1)), "\xC3\x83");  // cut in a character
  EXPECT_EQ(DisplayText("\xED\xBF\xBF"), "\xC3\xAD\xC2\xBF\xC2\xBF");   // a surrogate is no UTF-8
  // UTF-8 at its edges: the first and last character of each length, the surrogates, overlong
  // forms and what lies beyond U+10FFFF.
  for (const char* valid : {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                            "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
    EXPECT_TRUE(IsValidUtf8(valid)) << DisplayText(valid);
  for (const char* invalid : {"\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
                              "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE0\xA0"})
    EXPECT_FALSE(IsValidUtf8(invalid)) << DisplayText(invalid);
  EXPECT_EQ(DeviceName("12345678"), " ");  // missing fields are empty
  EXPECT_EQ(DeviceName("12345678,Nokia"), "Nokia ");
}

// The banner shows what a browser would of the page, as one line.
TEST(BannerText, KeepsOnlyTheVisibleTextOfAPage) {
  const std::pair<const char*, const char*> cases[] = {
      {"<html><head><title>Ad</title></head><p>Fast phones", "Fast phones"},
      {"<script>alert('x<y')</script><!-- <p>hidden</p> -->Tom &amp; Jerry&nbsp;<b>&lt;3</b>"
       " \n <STYLE>p{}</style> &bogus;",
       "Tom & Jerry <3 &bogus;"},
      // One, two, three and four bytes of UTF-8; what no character is stays as it was written.
      {"&#65;&#128;&#xe9;&#x7FF;&#x800;&#X20AC;&#xFFFF;&#x1F4F1;&#9;&#0; &#xD800; &#x110000; &#x; "
       "&#1234567890123;",
       "A\xC2\x80\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF\xF0\x9F\x93\xB1 &#0; "
       "&#xD800; &#x110000; &#x; "
       "&#1234567890123;"},
      {"a<b\tc", "a"},  // a tag that never ends hides the rest, as does a comment
      {"x<!-- y", "x"},
      {"\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},  // Latin-1
  };
  for (const auto& [page, shown] : cases) EXPECT_EQ(BannerText(page), shown) << page;
}

}  // namespace
}  // namespace vettrix::test
