#include "gui/QtPlatform.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <string>
#include <utility>
#include <vector>

#include "gui/RealWindow.h"

namespace vettrix {
namespace {

TEST(IsAdminGroupMember, CountsPrimaryAndSupplementaryGroups) {
  using Groups = std::vector<gid_t>;  // primary group, supplementary groups, admin groups
  EXPECT_TRUE(IsAdminGroupMember(1000, Groups{24, 27, 100}, Groups{27}));  // sudo, supplementary
  EXPECT_TRUE(IsAdminGroupMember(10, Groups{}, Groups{10, 4}));            // wheel, primary
  EXPECT_FALSE(IsAdminGroupMember(1000, Groups{27}, Groups{}));  // no admin group on this system
  EXPECT_FALSE(IsAdminGroupMember(1000, Groups{24, 100}, Groups{27, 10}));
}

TEST(QtPlatform, DecimalSeparatorFollowsTheLocaleAndOnlyWebPagesOpen) {
  const QLocale saved;
  for (const auto& [locale, separator] :
       {std::pair{"en_US", '.'}, {"de_DE", ','}, {"fr_FR", ','}}) {
    QLocale::setDefault(QLocale(locale));
    EXPECT_EQ(QtPlatform().DecimalSeparator(), separator) << locale;  // read once per platform
  }
  QLocale::setDefault(saved);
  for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "", "ftp://host/x"})
    EXPECT_FALSE(QtPlatform().OpenUrl(url)) << url;
}

using QtPlatformWindowTest = test::RealWindowTest;

TEST_F(QtPlatformWindowTest, MessageBoxShowsPlainTextUnderTheTitleWithOkOnly) {
  window.show();
  platform.MsgBox("<b>Vettrix</b> by Vettrix Labs\r\nE-mail: support@vettrix.net");
  EXPECT_EQ(boxes, std::vector<std::string>{
                       "<b>Vettrix</b> by Vettrix Labs\nE-mail: support@vettrix.net"});
}

TEST_F(QtPlatformWindowTest, ClosingBeforeTheWindowWasShownEndsQuietly) {
  platform.CloseWindow();
  EXPECT_TRUE(platform.IsClosed() && window.IsClosed());
  EXPECT_TRUE(form.stopRequested);
  EXPECT_FALSE(window.isVisible());
  platform.MsgBox("too late");  // nothing more is shown once the window has gone
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vettrix
