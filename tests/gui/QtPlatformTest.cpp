#include "platform/qt/QtPlatform.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <utility>
#include <vector>

#include "platform/qt/MainWindow.h"

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

// Answers the message box that comes up next; `shown` becomes "title: text", marked when the box
// offers more than OK or reads its text as markup.
void AnswerNextBox(QString& shown) {
  QTimer::singleShot(0, [&shown] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->windowTitle() + ": " + box->text();
      if (box->standardButtons() != QMessageBox::Ok || box->textFormat() != Qt::PlainText)
        shown += " [not plain text with OK only]";
      box->accept();
    }
  });
}

class QtPlatformWindowTest : public ::testing::Test {
 protected:
  QtPlatformWindowTest() {
    form.Scriptlet1.url.clear();
    platform.SetWindow(&window);
  }

  QtPlatform platform;
  Form1 form{platform};
  MainWindow window{form};
  QString shown;
};

TEST_F(QtPlatformWindowTest, MessageBoxShowsPlainTextUnderTheTitleWithOkOnly) {
  window.show();
  AnswerNextBox(shown);
  platform.MsgBox("<b>Vettrix</b> by Vettrix Labs\r\nE-mail: support@vettrix.net");
  EXPECT_EQ(shown, "Vettrix: <b>Vettrix</b> by Vettrix Labs\nE-mail: support@vettrix.net");
}

TEST_F(QtPlatformWindowTest, ClosingBeforeTheWindowWasShownEndsQuietly) {
  platform.CloseWindow();
  EXPECT_TRUE(platform.IsClosed() && window.IsClosed());
  EXPECT_TRUE(form.stopRequested);
  EXPECT_FALSE(window.isVisible());
  AnswerNextBox(shown);  // nothing more is shown once the window has gone
  platform.MsgBox("too late");
  QCoreApplication::processEvents();
  EXPECT_EQ(shown, "");
}

}  // namespace
}  // namespace vettrix
