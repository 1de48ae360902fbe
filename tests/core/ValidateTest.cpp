#include <algorithm>
#include <string>
#include <tuple>

#include "core/Fixture.h"
#include "db/Mobidex.h"
#include "validate/CheckRBI.h"
#include "validate/Judgement.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::test {
namespace {

const char* kDatabase =
    "49015420,Apple,iPhone 4\r\n"
    "35332305,Samsung,Galaxy S3\r\n"
    "35669908,Apple,iPhone 8\r\n"
    "35669908,Nokia,Shadow\r\n"
    "01234567,Nokia,Shadow\r\n"
    "01234567,Apple,Shadow\r\n"
    "12345\r\n"
    "44444444,apple,lower\r\n"
    "00000000,v0.99.0000,Version\r\n";

class ValidateTest : public AppTest {
 protected:
  void SetUp() override { Start(kDatabase); }
};

struct Fields {
  std::string input, text1, label8, label10, label11, label1, label2, label3, verdict;
};

TEST_F(ValidateTest, FillsEveryResultField) {
  const Fields cases[] = {
      {"12-345678-901234-7", "123456789012347", "123456-78-901234-7", "12345678", "901234",
       "Check: 14385377901438", "CheckSum: 63(70)", "Luhn: 7", "VALID"},
      {"490154203237518", "490154203237518", "490154-20-323751-8", "49015420", "323751",
       "Check: 49025820343552", "CheckSum: 52(60)", "Luhn: 8", "VALID"},
      {"123456789012348", "123456789012348", "123456-78-901234-8", "12345678", "901234",
       "Check: 14385377901438", "CheckSum: 63(71)", "Luhn: 8", "INVALID"},
      {"x2345678901234*", "023456789012340", "023456-78-901234-0", "02345678", "901234",
       "Check: 04385377901438", "CheckSum: 62(62)", "Luhn: 0", "INVALID"},
      {"000000000000000", "000000000000000", "000000-00-000000-0", "00000000", "000000",
       "Check: 00000000000000", "CheckSum: 0(0)", "Luhn: 0", "INVALID"},
      {"12345678901234A", "12345678901234A", "123456-78-901234-A", "12345678", "901234",
       "Check: 14385377901438", "CheckSum: 63(63)", "Luhn: 0", "INVALID"},
      {"12345678901234", "12345678901234", "123456-78-901234-", "12345678", "901234",
       "Check: 14385377901438", "CheckSum: 63(67)", "Luhn: 4", "INVALID"},
      // Short inputs show their own fields only; "5" totals 10 but is not an IMEI.
      {"5", "5", "5---", "5", "", "Check: 5", "CheckSum: 5(10)", "Luhn: 5", "INVALID"},
      // A letter inside counts 0 in the sums and makes the IMEI invalid.
      {"1234567A9012347", "1234567A9012347", "123456-7A-901234-7", "1234567A", "901234",
       "Check: 14385370901438", "CheckSum: 56(63)", "Luhn: 7", "INVALID"},
      // Counted in characters, not bytes: one character of two or four bytes is one slot.
      {"49015420323751\xC3\xBC", "49015420323751\xC3\xBC", "490154-20-323751-\xC3\xBC", "49015420",
       "323751", "Check: 49025820343552", "CheckSum: 52(52)", "Luhn: 0", "INVALID"},
      {"1234567\xC3\xBC"
       "901234",
       "1234567\xC3\xBC"
       "901234",
       "123456-7\xC3\xBC-901234-", "1234567\xC3\xBC", "901234", "Check: 14385370901438",
       "CheckSum: 56(60)", "Luhn: 4", "INVALID"},
      {"49015420323751\xF0\x9F\x99\x82", "49015420323751\xF0\x9F\x99\x82",
       "490154-20-323751-\xF0\x9F\x99\x82", "49015420", "323751", "Check: 49025820343552",
       "CheckSum: 52(52)", "Luhn: 0", "INVALID"},
  };
  for (const Fields& c : cases) {
    Validate(c.input);
    const Form1& f = *form;
    SCOPED_TRACE(c.input);
    EXPECT_EQ(f.Text1.text, c.text1);
    EXPECT_EQ(f.CurrentIMEI, c.text1);
    EXPECT_EQ(f.Label8.caption, c.label8);
    EXPECT_EQ(f.Label10.caption, c.label10);
    EXPECT_EQ(f.Label11.caption, c.label11);
    EXPECT_EQ(f.Label1.caption, c.label1);
    EXPECT_EQ(f.Label2.caption, c.label2);
    EXPECT_EQ(f.Label3.caption, c.label3);
    EXPECT_EQ(f.Label16.caption, c.verdict);
    EXPECT_EQ(IsValidIMEI(c.input), c.verdict == "VALID");
    EXPECT_EQ(f.Label16.foreColor, c.verdict == "VALID" ? kGreen : kRed);
    EXPECT_TRUE(f.Label16.visible);
    EXPECT_TRUE(f.Label17.visible);
  }
  Validate(
      "1\xC3\xBC"
      "345678901234");
  EXPECT_EQ(form->Label9.caption, "1\xC3\xBC (Unknown)");
}

TEST_F(ValidateTest, SixteenCharactersChangeOnlyTheInputAndVerdict) {
  Validate("490154203237518");
  const std::string label8 = form->Label8.caption, label2 = form->Label2.caption;
  EXPECT_FALSE(IsValidIMEI("4901542032375180"));  // a valid IMEI and one digit more
  Validate("1234567890123456");
  EXPECT_EQ(form->Text1.text, "1234567890123456");
  EXPECT_EQ(form->Label16.caption, "INVALID");
  EXPECT_EQ(form->Label8.caption, label8);
  EXPECT_EQ(form->Label2.caption, label2);
  EXPECT_EQ(form->Label9.caption.str().substr(0, 3), "49 ");
}

TEST_F(ValidateTest, CountsAValidIMEIOnceAndAgainOnlyAfterAnother) {
  Validate("490154203237518");
  EXPECT_EQ(form->ValidCount, 1);
  EXPECT_EQ(form->Label19.caption, "Valid: 1");
  Validate("490154203237518");
  EXPECT_EQ(form->ValidCount, 1);
  Validate("123456789012347");
  Validate("490154203237518");
  EXPECT_EQ(form->ValidCount, 3);
  EXPECT_EQ(form->ValidList, "490154203237518\r\n123456789012347\r\n490154203237518");
  Validate("123456789012348");  // invalid: no count, Label19 as it was
  EXPECT_EQ(form->ValidCount, 3);
  EXPECT_EQ(form->Label19.caption, "Valid: 3");
}

TEST_F(ValidateTest, EmptyInputBecomesTheSameRandomIMEIInEveryRun) {
  Validate("--- ");
  const std::string first = form->Text1.text;
  EXPECT_EQ(first.size(), 15u);
  EXPECT_EQ(first.find('0'), std::string::npos);
  EXPECT_TRUE(IsValidIMEI(first));
  EXPECT_EQ(form->Label16.caption, "VALID");
  EXPECT_EQ(form->ValidCount, 1);
  EXPECT_EQ(form->ValidList, first);
  EXPECT_GE(form->GeneratedCount, 1);

  FakePlatform otherPlatform;
  otherPlatform.folder = folder.str();
  Form1 other(otherPlatform);
  Form_Load(other);
  other.Text1.text = "";
  Command1_Click(other);
  EXPECT_EQ(other.Text1.text, first);
}

TEST_F(ValidateTest, LookupShowsTheLastMatchingLine) {
  // The IMEI, the manufacturer and model shown, and whether the Apple link is.
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {"123456789012347", "Manufacturer: Not Found in Database!",
       "Model:            ^^ Click to Submit ^^", false},  // first: the hidden fields come up
      {"490154203237518", "Manufacturer: Apple", "Model: iPhone 4", true},
      {"356699081234568", "Manufacturer: Nokia", "Model: Shadow", false},  // Apple line first
      {"012345671234560", "Manufacturer: Apple", "Model: Shadow", true},   // Apple line last
      {"123456789012347", "Manufacturer: Not Found in Database!",
       "Model:            ^^ Click to Submit ^^", false},  // the Apple link goes
      {"444444441234568", "Manufacturer: apple", "Model: lower", false},
      {"000000001234566", "Manufacturer: v0.99.0000", "Model: Version", false},
  };
  for (const auto& [imei, manufacturer, model, appleLink] : cases) {
    SCOPED_TRACE(imei);
    ASSERT_TRUE(IsValidIMEI(imei));
    Validate(imei);
    EXPECT_EQ(form->Label13.caption, manufacturer);
    EXPECT_EQ(form->Label14.caption, model);
    EXPECT_TRUE(form->Label13.visible && form->Label14.visible);
    EXPECT_EQ(form->Label27.visible, appleLink);
    EXPECT_EQ(form->TACFound, std::string(manufacturer).find("Not Found") == std::string::npos);
    form->FoundCount = 3;
  }
  EXPECT_EQ(form->Label28.caption, "Found: 3");  // a match shows the counters, as they are
}

TEST_F(ValidateTest, OnlyTheOldFormOfTheVersionLineNamesTAC00000000) {
  // The old form stays as it always was (above); the form written now names nothing.
  for (const std::string tag : {"00000000", "VERSION_"}) {
    Start(MakeDatabase(3, "v1.26.1206").replace(std::size_t{3} * 26, 8, tag));
    Validate("000000001234566");
    EXPECT_EQ(form->Label13.caption, tag == "VERSION_" ? "Manufacturer: Not Found in Database!"
                                                       : "Manufacturer: v1.26.1206");
    EXPECT_EQ(form->Label20.caption, "Database Version:   v1.26.1206");
    EXPECT_EQ(form->Label25.caption, "Devices Supported: 3");
  }
}

TEST_F(ValidateTest, ShortIMEIMatchesOnlyAWholeLine) {
  for (const char* key : {"1234", "123456", "12345 "}) {
    Mobidex(*form, key);
    EXPECT_FALSE(form->TACFound) << key;
  }
  Mobidex(*form, "12345");
  EXPECT_TRUE(form->TACFound);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: ");  // the line has no further fields
  EXPECT_EQ(form->Label14.caption, "Model: ");
  EXPECT_TRUE(form->Label13.visible && form->Label14.visible);
}

TEST_F(ValidateTest, ReportingBodyTextAndBoxes) {
  const std::tuple<const char*, const char*, std::vector<int>> cases[] = {
      // the boxes ticked
      {"01", "01 (PCS Type Certification Review Board (PTCRB), North America)", {8}},
      {"50", "50 (BZT ETS Certification GmbH, Germany)", {5}},  // after 01: only Check5
      {"35", "35 (British Approvals Board of Telecommunications (BABT), Great Britain)", {4}},
      {"49",
       "49 (BZT / BAPT / Regulatory Authority / Federal Network Agency (FNA), Germany)",
       {4, 5}},
      {"53", "53 (T\xC3\x9CV Product Service GmbH, Germany)", {5}},
      {"86", "86 (Telecommunication Terminal Testing & Approval Forum (TAF), China)", {1}},
      {"30", "30 (Iridium)", {3}},
      {"33", "33 (Directorate General of Posts and Telecommunications (DGTP), France)", {7}},
      {"45", "45 (National Telecom Agency (NTA), Denmark)", {6}},
      {"91", "91 (Mobile Standard Alliance of India (MSAI), India)", {2}},
      {"00", "00 (Test and pre-series)", {}},
      {"12", "12 (Unknown)", {}},
      {"7", "7 (Unknown)", {}},
  };
  for (const auto& [imei, label9, ticked] : cases) {
    SCOPED_TRACE(imei);
    form->CurrentIMEI = imei;
    CheckRBI(*form);
    EXPECT_EQ(form->Label9.caption, label9);
    for (int n = 1; n <= 8; ++n)
      EXPECT_EQ(form->CheckAt(n).value, std::ranges::count(ticked, n)) << "Check" << n;
  }
}

TEST_F(ValidateTest, GetIMEIwTACMakesAFoundIMEIOnItsTACOrGivesUp) {
  ASSERT_TRUE(GetIMEIwTAC(*form, "35669908"));
  const std::string imei = form->CurrentIMEI;
  EXPECT_EQ(imei.substr(0, 8), "35669908");
  EXPECT_EQ(imei.find('0', 8), std::string::npos);
  EXPECT_TRUE(IsValidIMEI(imei));
  EXPECT_EQ(std::tuple(form->FoundIMEI, form->Text1.text, form->Label28.caption.str()),
            std::tuple(imei, imei, std::string("Found: 1")));
  EXPECT_TRUE(form->TACFound);
  for (const char* tac : {"3566990", "3566990A", "356699081"}) {
    const std::int64_t before = form->GeneratedCount;
    EXPECT_FALSE(GetIMEIwTAC(*form, tac)) << tac;
    EXPECT_EQ(form->GeneratedCount - before, kMaxTACAttempts);
    EXPECT_EQ(form->Label16.caption, "INVALID");
    EXPECT_EQ(form->FoundCount, 1);
  }
}

TEST(RateMeter, RoundsHalfToEvenInTheShortestForm) {
  for (const auto& [rate, separator, text] : {std::tuple{37.456, '.', "37.46"},
                                              {40.0, '.', "40"},
                                              {40.5, ',', "40,5"},
                                              {0.125, '.', "0.12"},
                                              {0.375, '.', "0.38"},
                                              {2.5, '.', "2.5"},
                                              {1234567.891, '.', "1234567.89"},
                                              {0.001, '.', "0"}})
    EXPECT_EQ(FormatRate(rate, separator), text) << rate;
}

// What the command line says is wrong with an IMEI: the first flaw, counted in characters.
TEST(Judgement, NamesTheFirstFlawAndTheDigitThatCompletesABody) {
  using enum Flaw;
  const std::tuple<const char*, Flaw, std::size_t, std::size_t> cases[] = {
      {"490154203237518", None, 0, 15},       {"", Empty, 0, 0},
      {"4901542032375", TooShort, 0, 13},     {"4901542032375189", TooLong, 0, 16},
      {"4901542x3237518", NotDigit, 8, 15},   {"49015420323751\xC3\xBC", NotDigit, 15, 15},
      {"490154203237519", CheckDigit, 0, 15},
  };
  for (const auto& [imei, flaw, position, length] : cases) {
    const Judgement j = JudgeNormalizedIMEI(imei);
    EXPECT_EQ(std::tuple(j.valid, j.flaw, j.position, j.length),
              std::tuple(flaw == None, flaw, position, length))
        << imei;
  }
  EXPECT_EQ(CompletingDigit("49015420323751"), '8');
  EXPECT_EQ(CompletingDigit("4901542032375"), '\0');
}

void FormatNumber(const int& value, std::string& out) {
  out = std::to_string(value);
}

// Generation leaves captions holding a value to be shown; a text set later replaces it.
TEST(Caption, ATextSetOverADeferredValueIsShown) {
  Caption caption;
  caption.Defer<int, FormatNumber>(7);
  caption = "plain";
  EXPECT_EQ(caption.str(), "plain");
  caption.Defer<int, FormatNumber>(8);
  caption.assign("abc", 2);
  EXPECT_EQ(caption.str(), "ab");
}

TEST_F(ValidateTest, RateMeterWritesOnlyOnceTimeHasPassed) {
  form->StartTick = platform.tick;
  form->GeneratedCount = 30;
  RateMeterStep(*form);
  EXPECT_EQ(form->Label29.caption, "IMEI/sec: 0");
  platform.tick += 800;
  RateMeterStep(*form);
  EXPECT_EQ(form->Label29.caption, "IMEI/Sec: 37.5");
}

}  // namespace
}  // namespace vettrix::test
