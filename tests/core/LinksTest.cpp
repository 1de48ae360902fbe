#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/Branding.h"
#include "app/Form1.h"
#include "commands/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix {
namespace {

using Strings = std::vector<std::string>;

const std::string kService(kServiceUrl);
const std::string kCoverage(kCoveragePageUrl);
const std::string kImei = "490154203237518";

class LinksTest : public ::testing::Test {
 protected:
  test::FakePlatform platform;
  Form1 form{platform};
};

TEST_F(LinksTest, EachLabelOpensItsPageBeforeAndAfterAValidationWithTheTextEncoded) {
  // The label, the IMEI validated (empty: none yet), whether its TAC was found, the pages opened.
  const std::tuple<int, std::string, bool, Strings> cases[] = {
      {13, "", false, {kService + "/?imei="}},
      {13, kImei, false, {kService + "/?imei=" + kImei}},
      {14, kImei, false, {kService + "/?imei=" + kImei}},
      {13, kImei, true, {}},  // maker and model known: nothing to look up
      {14, kImei, true, {}},
      {18, kImei, true, {std::string(kMakerSiteUrl)}},
      {21, kImei, false, {kService + "/"}},
      {26, "", false, {std::string(kSourcePageUrl)}},
      {27, "", false, {kCoverage}},
      {27, kImei, true, {kCoverage + kImei}},
      {16, kImei, false, {}},  // the verdict is no link
      // Typed text cannot change the structure of a link.
      {13, "1&x=2#frag", false, {kService + "/?imei=1%26x%3D2%23frag"}},
      {27, "../a?b%c+d", true, {kCoverage + "..%2Fa%3Fb%25c%2Bd"}},
      {13, "\r\nHost: \xC3\xBC", false, {kService + "/?imei=%0D%0AHost%3A%20%C3%BC"}},
      {27, "AZaz09-._~", true, {kCoverage + "AZaz09-._~"}},
  };
  for (const auto& [label, currentImei, tacFound, opened] : cases) {
    platform.openedUrls.clear();
    form.CurrentIMEI = currentImei;
    form.TACFound = tacFound;
    Label_Click(form, label);
    EXPECT_EQ(platform.openedUrls, opened) << "Label" << label << " " << currentImei;
    // The window passes on the clicks of link labels only.
    EXPECT_EQ(form.LabelAt(label).link, label != 16) << "Label" << label;
  }
  EXPECT_TRUE(platform.messages.empty() && platform.clipboard.empty());
}

TEST_F(LinksTest, CopiesAndAFailingBrowserOrClipboardLeaveTheWindowRunning) {
  form.CurrentIMEI = kImei;
  form.Label10.caption = "49015420";
  form.Text1.text = "35-209900-176148-1";
  Label_Click(form, 10);  // the TAC shown, not the IMEI
  EXPECT_EQ(platform.clipboard, "49015420");
  Label_Click(form, 24);  // the input box as it is now
  EXPECT_EQ(platform.clipboard, "35-209900-176148-1");

  platform.browserWorks = platform.clipboardWorks = false;
  Label_Click(form, 21);
  Label_Click(form, 10);
  EXPECT_EQ(platform.messages, (Strings{"No web browser could be started for \"" + kService + "/\"",
                                        "The clipboard could not be opened; nothing was copied."}));
  EXPECT_EQ(platform.closeCount, 0);
  platform.browserWorks = true;
  Label_Click(form, 27);
  EXPECT_EQ(platform.openedUrls, Strings{kCoverage + kImei});
}

TEST_F(LinksTest, AboutBoxShowsNameVersionMakerAndContacts) {
  form.ProgramVersionText = "2.1.3-r26 Professional Edition";
  About_Click(form);
  EXPECT_EQ(platform.messages, Strings{"Vettrix v2.1.3-r26 Professional Edition by Vettrix Labs\r\n"
                                       "E-mail: support@vettrix.net\r\n"
                                       "Social media: @vettrix\r\n"
                                       "Web site: http://vettrix.net/"});
}

}  // namespace
}  // namespace vettrix
