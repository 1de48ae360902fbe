#include "platform/qt/QtPlatform.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <vector>

#include "core/FakePlatform.h"
#include "platform/qt/MainWindow.h"

namespace vettrix {
namespace {

TEST(IsAdminGroupMember, CountsPrimaryAndSupplementaryGroups) {
  struct Case {
    const char* what;
    gid_t primary;
    std::vector<gid_t> supplementary;
    std::vector<gid_t> admin;
    bool expected;
  };
  const Case cases[] = {
      {"in sudo by a supplementary group", 1000, {24, 27, 100}, {27}, true},
      {"wheel as primary group", 10, {}, {10, 4}, true},
      {"no admin group on this system", 1000, {27}, {}, false},
      {"ordinary user", 1000, {24, 100}, {27, 10}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAdminGroupMember(c.primary, c.supplementary, c.admin), c.expected) << c.what;
  }
}

TEST(QtPlatform, DecimalSeparatorFollowsTheLocale) {
  struct Case {
    QLocale::Language language;
    QLocale::Territory territory;
    char expected;
  };
  const Case cases[] = {{QLocale::English, QLocale::UnitedStates, '.'},
                        {QLocale::German, QLocale::Germany, ','},
                        {QLocale::French, QLocale::France, ','}};
  const QLocale saved;
  for (const Case& c : cases) {
    QLocale::setDefault(QLocale(c.language, c.territory));
    QtPlatform platform;  // the separator is read once per run of the program
    EXPECT_EQ(platform.DecimalSeparator(), c.expected) << QLocale().name().toStdString();
  }
  QLocale::setDefault(saved);
}

TEST(QtPlatform, CopiesToTheClipboard) {
  QtPlatform platform;
  EXPECT_TRUE(platform.SetClipboardText("490154203237518"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "490154203237518");
}

TEST(QtPlatform, OpensOnlyWebPages) {
  QtPlatform platform;
  for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "", "ftp://host/x"})
    EXPECT_FALSE(platform.OpenUrl(url)) << url;
}

TEST(QtPlatform, ProgramFolderHoldsTheProgram) {
  const std::string folder = QtPlatform().ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "/vettrix_gui_tests"));
}

// Records the message box that is up once the event loop runs, and closes it.
struct ShownMessage {
  bool shown = false;
  QString title;
  QString text;
  QMessageBox::StandardButtons buttons;

  void ArmForNextBox() {
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      shown = true;
      title = box->windowTitle();
      text = box->text();
      buttons = box->standardButtons();
      box->accept();
    });
  }
};

// Report files of Generate in `folder`.
int Reports(const std::string& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    count += entry.path().filename().string().starts_with("Vettrix.v") ? 1 : 0;
  return count;
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
};

TEST_F(QtPlatformWindowTest, MessageBoxShowsTheTextWithTheTitleAndOk) {
  struct Case {
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      {"FATAL ERROR: Vettrix requires Administrator rights",
       "FATAL ERROR: Vettrix requires Administrator rights"},
      {"Vettrix v2 by Vettrix Labs\r\nE-mail: support@vettrix.net",
       "Vettrix v2 by Vettrix Labs\nE-mail: support@vettrix.net"},
      {"<b>not bold</b>", "<b>not bold</b>"},
  };
  window.show();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ShownMessage message;
    message.ArmForNextBox();
    platform.MsgBox(c.text);
    EXPECT_TRUE(message.shown);
    EXPECT_EQ(message.title, "Vettrix");
    EXPECT_EQ(message.text, c.shown);
    EXPECT_EQ(message.buttons, QMessageBox::Ok);
  }
}

TEST_F(QtPlatformWindowTest, ClosingBeforeTheWindowWasShownEndsQuietly) {
  platform.CloseWindow();
  EXPECT_TRUE(platform.IsClosed());
  EXPECT_TRUE(window.IsClosed());
  EXPECT_TRUE(form.stopRequested);
  EXPECT_FALSE(window.isVisible());

  // Nothing more is shown once the window has gone.
  ShownMessage message;
  message.ArmForNextBox();
  platform.MsgBox("too late");
  QCoreApplication::processEvents();
  EXPECT_FALSE(message.shown);
}

TEST_F(QtPlatformWindowTest, EventPumpShowsTheModelAndRunsPendingEvents) {
  window.show();
  form.Label19.caption = "Valid: 7";
  bool ran = false;
  QTimer::singleShot(0, [&ran] { ran = true; });
  platform.DoEvents();
  EXPECT_TRUE(ran);
  EXPECT_EQ(window.findChild<QLabel*>("Label19")->text(), "Valid: 7");
}

TEST_F(QtPlatformWindowTest, ClosingTheWindowEndsARunningGenerate) {
  test::TempFolder folder;
  folder.Write("mobidex.csv", test::MakeDatabase(39));
  form.databasePath = (folder.path() / "mobidex.csv").string();
  form.Combo2.text = "1000";
  const int reportsBefore = Reports(platform.ProgramFolder());
  window.Sync();
  window.show();

  // A safety net only: any message box would otherwise wait for a user forever.
  int boxes = 0;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&boxes] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++boxes;
      box->reject();
    }
  });
  closer.start(50);

  // The user closes the window while the run lets events through.
  QTimer::singleShot(0, &window, [this] { window.close(); });
  QTest::mouseClick(window.findChild<QPushButton*>("Command2"), Qt::LeftButton);

  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(form.generating);
  EXPECT_LT(form.ValidCount, 1000);
  EXPECT_EQ(boxes, 0);
  EXPECT_EQ(Reports(platform.ProgramFolder()), reportsBefore);
}

}  // namespace
}  // namespace vettrix
