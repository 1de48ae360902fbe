#include "gui/MainWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <algorithm>
#include <string>
#include <tuple>

#include "commands/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix {
namespace {

class MainWindowTest : public ::testing::Test {
 public:
  void Show() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }

  template <class T>
  T* Find(const std::string& name) const {
    return window.findChild<T*>(QString::fromStdString(name));
  }

  test::FakePlatform platform;
  Form1 form{platform};
  MainWindow window{form};
};

TEST_F(MainWindowTest, ControlsAndMenusHaveTheirPlacesInAFixedWindow) {
  form.Scriptlet1.rect.width = 7025;  // the banner size that start-up sets
  form.Scriptlet1.rect.height = 905;
  window.Sync();
  Show();
  EXPECT_EQ(window.centralWidget()->size(), QSize(668, 247));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  for (const auto& [name, pixels] : {std::pair{"Combo1", QRect(8, 8, 385, 22)},
                                     {"Check5", QRect(560, 40, 89, 13)},
                                     {"Scriptlet1", QRect(8, 168, 468, 60)}})
    EXPECT_EQ(Find<QWidget>(name)->geometry(), pixels);

  QStringList captions;
  for (const QAction* action : window.menuBar()->actions()) captions << action->text();
  for (const char* menu : {"File", "ChkUpdate"})
    for (const QAction* action : Find<QMenu>(menu)->actions()) captions << action->text();
  EXPECT_EQ(captions, QStringList({"File", "About", "Update", "Exit", "Vettrix Update",
                                   "Mobidex Update", "Install Mobidex Update"}));
}

TEST_F(MainWindowTest, ModelChangesReachTheWidgetsOnSyncAndLinkLabelsTakeAFullClick) {
  Show();
  form.Label9.caption = "35 British Approvals Board of Telecommunications";
  auto* label = Find<QLabel>("Label16");
  for (const auto& [caption, color] : {std::pair{"VALID", kGreen}, {"<b>35</b> &amp;", kBlue}}) {
    form.Label16.caption = caption;
    form.Label16.foreColor = color;
    window.Sync();
    EXPECT_EQ(label->text(), caption);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(color.r, color.g, color.b));
  }
  EXPECT_EQ(label->textFormat(), Qt::PlainText);  // a caption is never markup

  // A label grows to the right for a caption longer than designed, and back.
  auto* label9 = Find<QLabel>("Label9");
  EXPECT_GE(label9->width(), std::max(label9->sizeHint().width(), 151));
  form.Label9.caption = "";
  window.Sync();
  EXPECT_EQ(label9->geometry(), QRect(136, 120, 10, 15));

  form.Text1.text = "490154203237518";
  window.Sync();
  // Pressed at (3, 3), released at (x, 3): off the label is no click, Label4 is no link.
  for (const auto& [name, x, copied] :
       {std::tuple{"Label24", 3, "490154203237518"}, {"Label24", -20, ""}, {"Label4", 3, ""}}) {
    platform.clipboard.clear();
    QTest::mousePress(Find<QLabel>(name), Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseRelease(Find<QLabel>(name), Qt::LeftButton, {}, QPoint(x, 3));
    EXPECT_EQ(platform.clipboard, copied) << name << " released at " << x;
  }
}

}  // namespace
}  // namespace vettrix
