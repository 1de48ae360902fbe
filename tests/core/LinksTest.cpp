#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Branding.h"
#include "app/Form1.h"
#include "app/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix {
namespace {

using test::FakePlatform;

const std::string kService(kServiceUrl);
const std::string kCoverage(kCoveragePageUrl);

class LinksTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  Form1 form{platform};
};

TEST(LinkTargetsTest, AddressesHaveTheirFixedSchemesAndPaths) {
  EXPECT_TRUE(kService.starts_with("http://")) << kService;
  EXPECT_FALSE(kService.ends_with("/")) << kService;
  EXPECT_TRUE(kCoverage.starts_with("https://")) << kCoverage;
  EXPECT_TRUE(kCoverage.ends_with("/us/en/?sn=")) << kCoverage;
  EXPECT_TRUE(std::string(kMakerSiteUrl).starts_with("http://")) << kMakerSiteUrl;
  EXPECT_TRUE(std::string(kSourcePageUrl).starts_with("https://")) << kSourcePageUrl;
}

struct LinkCase {
  const char* name;
  int label;
  std::string currentImei;
  bool tacFound;
  std::vector<std::string> opened;
};

TEST_F(LinksTest, EachLabelOpensItsPageBeforeAndAfterAValidation) {
  const std::string imei = "490154203237518";
  const std::vector<LinkCase> cases = {
      {"database page before any validation", 13, "", false, {kService + "/?imei="}},
      {"model label before any validation", 14, "", false, {kService + "/?imei="}},
      {"database page after a TAC not found", 13, imei, false, {kService + "/?imei=" + imei}},
      {"model label after a TAC not found", 14, imei, false, {kService + "/?imei=" + imei}},
      {"manufacturer label after a TAC found", 13, imei, true, {}},
      {"model label after a TAC found", 14, imei, true, {}},
      {"maker's site", 18, imei, true, {std::string(kMakerSiteUrl)}},
      {"database service home", 21, imei, false, {kService + "/"}},
      {"source page", 26, "", false, {std::string(kSourcePageUrl)}},
      {"coverage page before any validation", 27, "", false, {kCoverage}},
      {"coverage page after a validation", 27, imei, true, {kCoverage + imei}},
      {"verdict label is no link", 16, imei, false, {}},
      {"caption label is no link", 1, imei, false, {}},
      {"no such label", 99, imei, false, {}},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.openedUrls.clear();
    form.CurrentIMEI = c.currentImei;
    form.TACFound = c.tacFound;
    Label_Click(form, c.label);
    EXPECT_EQ(platform.openedUrls, c.opened);
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_TRUE(platform.clipboard.empty());
  }
}

struct EncodingCase {
  const char* typed;
  const char* encoded;
};

TEST_F(LinksTest, TypedTextCannotChangeTheStructureOfALink) {
  const std::vector<EncodingCase> cases = {
      {"1&x=2#frag", "1%26x%3D2%23frag"},
      {"35 209900 176148 1", "35%20209900%20176148%201"},
      {"../admin/x", "..%2Fadmin%2Fx"},
      {"a?b%c+d", "a%3Fb%25c%2Bd"},
      {"\xC3\xBC", "%C3%BC"},  // u with umlaut, as UTF-8
      {"\r\nHost: x", "%0D%0AHost%3A%20x"},
      {"AZaz09-._~", "AZaz09-._~"},
  };
  form.TACFound = false;
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(c.typed);
    platform.openedUrls.clear();
    form.CurrentIMEI = c.typed;
    Label_Click(form, 13);
    Label_Click(form, 27);
    ASSERT_EQ(platform.openedUrls.size(), 2u);
    EXPECT_EQ(platform.openedUrls[0], kService + "/?imei=" + c.encoded);
    EXPECT_EQ(platform.openedUrls[1], kCoverage + c.encoded);
  }
}

struct CopyCase {
  const char* name;
  int label;
  std::string tac;
  std::string input;
  std::string copied;
};

TEST_F(LinksTest, CopyLabelsPutTheirValueOnTheClipboard) {
  const std::vector<CopyCase> cases = {
      {"TAC label copies the TAC shown, not the IMEI", 10, "49015420", "490154203237518",
       "49015420"},
      {"copy label takes the input box as it is now", 24, "49015420", "35-209900-176148-1",
       "35-209900-176148-1"},
      {"copy label with an empty input box", 24, "49015420", "", ""},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.clipboard = "left over";
    form.CurrentIMEI = "490154203237518";
    form.Label10.caption = c.tac;
    form.Text1.text = c.input;
    Label_Click(form, c.label);
    EXPECT_EQ(platform.clipboard, c.copied);
    EXPECT_TRUE(platform.openedUrls.empty());
    EXPECT_TRUE(platform.messages.empty());
  }
}

TEST_F(LinksTest, AFailingBrowserOrClipboardIsReportedAndTheWindowCarriesOn) {
  form.CurrentIMEI = "490154203237518";
  form.Label10.caption = "49015420";
  form.Text1.text = "490154203237518";
  platform.browserWorks = false;
  platform.clipboardWorks = false;

  Label_Click(form, 21);
  Label_Click(form, 10);
  Label_Click(form, 24);
  EXPECT_EQ(platform.messages,
            (std::vector<std::string>{"No web browser could be started for " + kService + "/",
                                      "The clipboard could not be opened; nothing was copied.",
                                      "The clipboard could not be opened; nothing was copied."}));
  EXPECT_TRUE(platform.clipboard.empty());
  EXPECT_EQ(platform.closeCount, 0);

  platform.browserWorks = true;
  platform.clipboardWorks = true;
  Label_Click(form, 27);
  Label_Click(form, 10);
  EXPECT_EQ(platform.openedUrls, std::vector<std::string>{kCoverage + "490154203237518"});
  EXPECT_EQ(platform.clipboard, "49015420");
}

TEST_F(LinksTest, AboutBoxShowsNameVersionMakerAndContacts) {
  form.ProgramVersionText = "2.1.3-r26 Professional Edition";
  About_Click(form);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0],
            "Vettrix v2.1.3-r26 Professional Edition by Vettrix Labs\r\n"
            "E-mail: support@vettrix.net\r\n"
            "Social media: @vettrix\r\n"
            "Web site: http://vettrix.net/");
}

}  // namespace
}  // namespace vettrix
