#include "platform/qt/MainWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "app/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix {
namespace {

class MainWindowTest : public ::testing::Test {
 public:
  MainWindowTest() { form.Scriptlet1.url.clear(); }  // no test reaches the advertising network

  void Show() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }

  // Starts the program from a database of 39 devices in a temporary folder and shows it.
  void Start() {
    folder.Write("mobidex.csv", test::MakeDatabase(39));
    platform.folder = folder.str();
    Form_Load(form);
    ASSERT_FALSE(form.closed);
    window.Sync();
    Show();
  }

  template <class T>
  T* Find(const std::string& name) const {
    return window.findChild<T*>(QString::fromStdString(name));
  }

  test::TempFolder folder;
  test::FakePlatform platform;
  Form1 form{platform};
  MainWindow window{form};
};

TEST_F(MainWindowTest, EveryControlAndMenuHasItsName) {
  std::vector<std::pair<std::string, const char*>> expected = {
      {"Text1", "QLineEdit"},      {"Combo1", "QComboBox"},      {"Combo2", "QComboBox"},
      {"Command1", "QPushButton"}, {"Command2", "QPushButton"},  {"Scriptlet1", "QWidget"},
      {"File", "QMenu"},           {"ChkUpdate", "QMenu"},       {"Exit", "QAction"},
      {"About", "QAction"},        {"ProgramUpdate", "QAction"}, {"DBUpdate", "QAction"}};
  for (int n = 1; n <= Form1::kCheckCount; ++n)
    expected.emplace_back("Check" + std::to_string(n), "QCheckBox");
  for (int n = 1; n <= Form1::kLabelCount; ++n)
    expected.emplace_back("Label" + std::to_string(n), "QLabel");
  EXPECT_EQ(window.objectName(), "Form1");
  for (const auto& [name, className] : expected)
    EXPECT_TRUE(Find<QObject>(name) != nullptr && Find<QObject>(name)->inherits(className)) << name;
}

TEST_F(MainWindowTest, ControlsSitAtTheirDesignPlaceInAFixedWindow) {
  form.Scriptlet1.rect.width = 7025;  // the banner size that start-up sets
  form.Scriptlet1.rect.height = 905;
  window.Sync();
  Show();
  EXPECT_EQ(window.centralWidget()->size(), QSize(668, 247));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  const std::pair<const char*, QRect> expected[] = {
      {"Text1", {448, 8, 209, 27}},  {"Combo1", {8, 8, 385, 22}},
      {"Combo2", {400, 8, 43, 21}},  {"Command1", {244, 40, 57, 21}},
      {"Check5", {560, 40, 89, 13}}, {"Scriptlet1", {8, 168, 468, 60}}};
  for (const auto& [name, pixels] : expected) EXPECT_EQ(Find<QWidget>(name)->geometry(), pixels);
}

TEST_F(MainWindowTest, MenusComeInOrderAndRunTheirHandlers) {
  QStringList captions;
  for (const QAction* action : window.menuBar()->actions()) captions << action->text();
  for (const char* menu : {"File", "ChkUpdate"})
    for (const QAction* action : Find<QMenu>(menu)->actions()) captions << action->text();
  EXPECT_EQ(captions,
            QStringList({"File", "About", "Update", "Exit", "Vettrix Update", "Mobidex Update"}));

  Find<QAction>("About")->trigger();
  Find<QAction>("Exit")->trigger();
  EXPECT_EQ(platform.messages.size(), 1u);  // the About box
  EXPECT_EQ(platform.closeCount, 1);
}

TEST_F(MainWindowTest, FocusStartsInText1AndMovesInDesignOrder) {
  const QString wanted =
      "Text1 Command1 Command2 Check1 Check2 Check3 Check4 Check5 Check6 Check7 "
      "Check8 Combo1 Scriptlet1 Combo2";
  QStringList order;
  QWidget* widget = Find<QWidget>("Text1");
  for (int step = 0; step < 200; ++step, widget = widget->nextInFocusChain())
    if (wanted.split(' ').contains(widget->objectName()) && !order.contains(widget->objectName()))
      order << widget->objectName();
  EXPECT_EQ(order.join(' '), wanted);
  EXPECT_EQ(window.focusWidget(), Find<QWidget>("Text1"));
}

TEST_F(MainWindowTest, ModelChangesReachTheWidgetsOnSync) {
  Show();
  form.caption = "Vettrix v2.1.3-r26 Professional Edition";
  form.Command2.caption = "Stop";
  form.Check4.value = 1;
  form.Combo2.visible = true;
  form.Label16.visible = true;
  form.Label9.caption = "35 British Approvals Board of Telecommunications";
  auto* label = Find<QLabel>("Label16");
  for (const auto& [caption, color] :
       {std::pair{"VALID", kGreen}, {"INVALID", kRed}, {"<b>35</b> &amp;", kBlue}}) {
    form.Label16.caption = caption;
    form.Label16.foreColor = color;
    window.Sync();
    EXPECT_EQ(label->text(), caption);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(color.r, color.g, color.b));
  }
  EXPECT_EQ(label->textFormat(), Qt::PlainText);  // a caption is never markup
  EXPECT_TRUE(label->isVisible());
  EXPECT_EQ(window.windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");
  EXPECT_EQ(Find<QPushButton>("Command2")->text(), "Stop");
  EXPECT_TRUE(Find<QCheckBox>("Check4")->isChecked());
  EXPECT_TRUE(Find<QComboBox>("Combo2")->isVisible());

  // A label grows to the right for a caption longer than designed, and back.
  auto* label9 = Find<QLabel>("Label9");
  const QRect design(136, 120, 10, 15);
  EXPECT_EQ(label9->pos(), design.topLeft());
  EXPECT_EQ(label9->height(), design.height());
  EXPECT_GE(label9->width(), std::max(label9->sizeHint().width(), 151));
  form.Label9.caption = "";
  window.Sync();
  EXPECT_EQ(label9->geometry(), design);
}

TEST_F(MainWindowTest, LinkLabelsReactToAFullClickOnThem) {
  Show();
  form.Text1.text = "490154203237518";
  window.Sync();
  // Pressed at (3, 3), released at (x, 3): off the label is no click, Label4 is no link.
  for (const auto& [name, x, copied] : {std::tuple{"Label24", 3, "490154203237518"},
                                        {"Label10", 3, "000000"},
                                        {"Label24", -20, ""},
                                        {"Label4", 3, ""}}) {
    platform.clipboard.clear();
    QTest::mousePress(Find<QLabel>(name), Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseRelease(Find<QLabel>(name), Qt::LeftButton, {}, QPoint(x, 3));
    EXPECT_EQ(platform.clipboard, copied) << name << " released at " << x;
  }
}

TEST_F(MainWindowTest, CombosKeepTypedTextAsTypedAndPickedEntriesInTheModel) {
  for (const char* quantity : {"", "1", "10", "25", "50", "100", "250", "500", "1000"})
    form.Combo2.AddItem(quantity);
  form.Combo2.Select(0);
  window.Sync();
  Show();
  auto* combo = Find<QComboBox>("Combo2");
  QTest::keyClick(combo, Qt::Key_Down);
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(form.Combo2.listIndex, 2);
  EXPECT_EQ(form.Combo2.text, "10");

  for (const std::string text : {"2", "10 pieces"}) {
    combo->lineEdit()->clear();
    QTest::keyClicks(combo, QString::fromStdString(text));
    QTest::keyClick(combo, Qt::Key_Return);
    EXPECT_EQ(combo->currentText().toStdString(), text);
    EXPECT_EQ(form.Combo2.text, text);
    EXPECT_EQ(form.Combo2.listIndex, -1);
    EXPECT_EQ(combo->count(), 9);
  }
}

TEST_F(MainWindowTest, AHundredThousandCharacterPasteAndATickReachTheModel) {
  Show();
  auto* text1 = Find<QLineEdit>("Text1");
  QGuiApplication::clipboard()->setText(QString(100'000, u'7'));
  text1->selectAll();
  QTest::keySequence(text1, QKeySequence::Paste);
  EXPECT_EQ(form.Text1.text, std::string(100'000, '7'));

  auto* check = Find<QCheckBox>("Check3");
  for (int value : {1, 0}) {
    QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, check->height() / 2));
    EXPECT_EQ(form.Check3.value, value);
  }
}

TEST_F(MainWindowTest, BannerShowsTheTextOfAPage) {
  form.Scriptlet1.url = "data:text/html,<html><head><title>Ad</title></head><p>Fast%20phones";
  window.show();
  auto* banner = Find<QLabel>("Scriptlet1");
  EXPECT_TRUE(QTest::qWaitFor([banner] { return banner->text() == "Fast phones"; }));
  const std::pair<const char*, const char*> pages[] = {
      {"<script>alert('x<y')</script><STYLE>p {}</STYLE>Buy <b>now</b>", "Buy now"},
      {"<!-- <p>hidden</p> -->Tom &amp; Jerry &lt;3 &#65; &bogus;", "Tom & Jerry <3 A &bogus;"},
      {"one\n\t  two&nbsp;three <a href=", "one two three"}};
  for (const auto& [html, text] : pages) EXPECT_EQ(BannerText(QByteArrayView(html)), text);
}

TEST_F(MainWindowTest, StartsUpFromADatabaseAndValidates) {
  Start();
  EXPECT_EQ(window.windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");
  EXPECT_EQ(Find<QComboBox>("Combo1")->count(), 39);
  EXPECT_FALSE(Find<QComboBox>("Combo2")->isVisible());
  auto* text1 = Find<QLineEdit>("Text1");
  EXPECT_EQ(text1->text(), "490154203237518");

  struct Case {
    const char* typed;
    const char* label8;  // Text1 then holds these digits without the dashes
    const char* label2;
    const char* verdict;
  };
  const Case cases[] = {
      {"490154203237518", "490154-20-323751-8", "CheckSum: 52(60)", "VALID"},
      {"12-345678-901234-8", "123456-78-901234-8", "CheckSum: 63(71)", "INVALID"},
      {"12 345678 901234 7", "123456-78-901234-7", "CheckSum: 63(70)", "VALID"},
  };
  const auto* verdict = Find<QLabel>("Label16");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label8);
    text1->selectAll();
    QTest::keyClicks(text1, c.typed);
    QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
    EXPECT_TRUE(verdict->isVisible());
    EXPECT_EQ(verdict->text(), c.verdict);
    EXPECT_EQ(verdict->palette().color(QPalette::WindowText),
              verdict->text() == "VALID" ? QColor(0, 175, 0) : QColor(255, 0, 0));
    EXPECT_EQ(text1->text(), QString(c.label8).remove('-'));
    EXPECT_EQ(Find<QLabel>("Label8")->text(), c.label8);
    EXPECT_EQ(Find<QLabel>("Label2")->text(), c.label2);
  }
  EXPECT_EQ(Find<QLabel>("Label19")->text(), "Valid: 2");
}

}  // namespace
}  // namespace vettrix
