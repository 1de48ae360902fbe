// What a user does with mouse and keyboard on the real window: device types typed or picked from
// the open list, boxes ticked, menu commands, and what the window shows while a message is up.

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <tuple>

#include "gui/RealWindow.h"

namespace vettrix {
namespace {

using UserGuiTest = test::RealWindowTest;

TEST_F(UserGuiTest, ATypedDeviceTypeStaysTypedWhateverEndsTheTyping) {
  Start(test::MakeDatabase(40));
  auto* combo = Find<QComboBox>("Combo1");
  const QString device = "Maker 31 Model 31";
  ASSERT_EQ(form.Combo1.list[31], device.toStdString());
  struct Way {
    const char* name;
    std::function<void()> leave;
  };
  for (const Way& way : {Way{"Return", [&] { QTest::keyClick(combo, Qt::Key_Return); }},
                         Way{"Tab", [&] { QTest::keyClick(combo, Qt::Key_Tab); }},
                         Way{"a click on Generate", [] {}}}) {
    SCOPED_TRACE(way.name);
    QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), device);
    way.leave();
    Click("Command2");  // a run of one
    EXPECT_EQ(form.Combo1.listIndex, -1);
    EXPECT_EQ(combo->currentText(), device);
    EXPECT_EQ(form.ValidCount, 1);
    EXPECT_EQ(form.FoundCount, 0);
  }

  // A pick in the open list, by mouse in the device list and by keys in the quantity list.
  combo->showPopup();
  QAbstractItemView* list = combo->view();
  const QModelIndex entry = list->model()->index(31, 0);
  list->scrollTo(entry);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(entry).center());
  EXPECT_EQ(form.Combo1.listIndex, 31);
  EXPECT_EQ(form.Combo1.text, device.toStdString());

  auto* quantity = Find<QComboBox>("Combo2");
  quantity->showPopup();
  quantity->view()->setCurrentIndex(quantity->model()->index(3, 0));
  QTest::keyClick(quantity->view(), Qt::Key_Down);
  QTest::keyClick(quantity->view(), Qt::Key_Return);
  EXPECT_EQ(form.Combo2.listIndex, 4);
  EXPECT_EQ(form.Combo2.text, "50");
}

TEST_F(UserGuiTest, EveryMessageComesOverTheWindowAsTheModelHoldsIt) {
  Start(test::MakeDatabase(3));
  QTest::mouseClick(Find<QCheckBox>("Check5"), Qt::LeftButton);
  EXPECT_EQ(form.Check5.value, 1);
  QTest::mouseClick(Find<QComboBox>("Combo1")->lineEdit(), Qt::LeftButton);
  QTest::keyClicks(Find<QComboBox>("Combo1")->lineEdit(), "Samsung Galaxy S8");
  for (const char* quantity : {"10", "25"}) {  // short runs, well within one frame
    form.Combo2.text = quantity;
    Click("Command2");
  }
  Find<QAction>("About")->trigger();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].rfind("Calculation completed in ", 0), 0u);
  EXPECT_EQ(windowUnderBoxes[1], ModelShown());
  EXPECT_EQ(boxes[2].rfind("Vettrix v2.1.3-r26 Professional Edition by ", 0), 0u);
}

TEST_F(UserGuiTest, AnInvalidIMEIShowsNoDeviceOfTheOneBefore) {
  Start(test::MakeDatabase(3));
  auto* text1 = Find<QLineEdit>("Text1");
  for (const auto& [typed, verdict, named] : {std::tuple{"10-000001-234567-3", "VALID", true},
                                              {"12ab", "INVALID", false},
                                              {"10000001234567 3", "VALID", true},
                                              {"100000012345674", "INVALID", false}}) {
    SCOPED_TRACE(typed);
    QTest::mouseClick(text1, Qt::LeftButton);
    text1->selectAll();
    QTest::keyClicks(text1, typed);
    QTest::keyClick(text1, Qt::Key_Return);
    EXPECT_EQ(Find<QLabel>("Label16")->text(), verdict);
    EXPECT_EQ(Find<QLabel>("Label13")->isVisible(), named);
    EXPECT_EQ(Find<QLabel>("Label14")->isVisible(), named);
    EXPECT_FALSE(Find<QLabel>("Label27")->isVisible());
    if (named) {
      EXPECT_EQ(Find<QLabel>("Label13")->text(), "Manufacturer: Maker 1");
    }
  }
}

// Run at 100% and again at 200% scaling (QT_SCALE_FACTOR=2).
TEST_F(UserGuiTest, TheQuantityBoxShowsFourDigitsWhole) {
  Start(test::MakeDatabase(3));
  Click("Command2");  // the first run shows the quantity box
  auto* quantity = Find<QComboBox>("Combo2");
  ASSERT_TRUE(quantity->isVisible());
  QLineEdit* edit = quantity->lineEdit();
  QTest::mouseClick(edit, Qt::LeftButton);
  edit->selectAll();
  QTest::keyClicks(edit, "1000");
  EXPECT_EQ(form.Combo2.text, "1000");
  // The room a line edit leaves for text: its contents less its fixed inner margin of 2 pixels
  // a side and the cursor.
  const int room = edit->contentsRect().width() - edit->textMargins().left() -
                   edit->textMargins().right() - 2 * 2 - 1;
  EXPECT_GE(room, edit->fontMetrics().horizontalAdvance("1000"));
  EXPECT_EQ(quantity->geometry(), QRect(400, 8, 43, 21));  // the layout stays as it is
}

}  // namespace
}  // namespace vettrix
