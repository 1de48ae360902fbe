#include "platform/qt/MainWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix {
namespace {

using test::FakePlatform;

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

class MainWindowTest : public ::testing::Test {
 public:
  MainWindowTest() {
    // No test may reach out to the advertising network.
    form.Scriptlet1.url.clear();
    window = std::make_unique<MainWindow>(form);
  }

  void Show() {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }

  template <class T>
  T* Find(const char* name) const {
    return window->findChild<T*>(QString::fromLatin1(name));
  }

  // The quantity list as start-up fills it.
  void FillQuantities() {
    for (const char* quantity : {"", "1", "10", "25", "50", "100", "250", "500", "1000"})
      form.Combo2.AddItem(quantity);
    form.Combo2.Select(0);
    window->Sync();
  }

  FakePlatform platform;
  Form1 form{platform};
  std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, EveryControlAndMenuHasItsName) {
  struct Expected {
    std::string name;
    const char* className;
  };
  std::vector<Expected> expected = {
      {"Form1", "QMainWindow"},  {"Text1", "QLineEdit"},      {"Combo1", "QComboBox"},
      {"Combo2", "QComboBox"},   {"Command1", "QPushButton"}, {"Command2", "QPushButton"},
      {"Scriptlet1", "QWidget"}, {"File", "QMenu"},           {"ChkUpdate", "QMenu"},
      {"Exit", "QAction"},       {"About", "QAction"},        {"ProgramUpdate", "QAction"},
      {"DBUpdate", "QAction"}};
  for (int n = 1; n <= Form1::kCheckCount; ++n)
    expected.push_back({"Check" + std::to_string(n), "QCheckBox"});
  for (int n = 1; n <= Form1::kLabelCount; ++n)
    expected.push_back({"Label" + std::to_string(n), "QLabel"});

  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    const QObject* object = e.name == "Form1" ? window.get() : Find<QObject>(e.name.c_str());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->objectName(), Q(e.name));
    EXPECT_TRUE(object->inherits(e.className));
  }
}

TEST_F(MainWindowTest, ControlsSitAtTheirDesignPlaceInAFixedWindow) {
  // The banner size that start-up sets.
  form.Scriptlet1.rect.width = 7025;
  form.Scriptlet1.rect.height = 905;
  window->Sync();
  Show();
  EXPECT_EQ(window->centralWidget()->size(), QSize(668, 247));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());

  struct Expected {
    const char* name;
    QRect pixels;
  };
  const Expected expected[] = {
      {"Text1", {448, 8, 209, 27}},      {"Combo1", {8, 8, 385, 22}},
      {"Combo2", {400, 8, 43, 21}},      {"Command1", {244, 40, 57, 21}},
      {"Check5", {560, 40, 89, 13}},     {"Check4", {560, 56, 81, 13}},
      {"Scriptlet1", {8, 168, 468, 60}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    const auto* widget = Find<QWidget>(e.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget(), window->centralWidget());
    EXPECT_EQ(widget->geometry(), e.pixels);
  }

  // A label may be wider than designed when its font needs it, but it starts where designed.
  const auto* label24 = Find<QLabel>("Label24");
  EXPECT_EQ(label24->pos(), QPoint(448, 72));
  EXPECT_EQ(label24->height(), 17);
  EXPECT_GE(label24->width(), 149);
}

TEST_F(MainWindowTest, MenuBarHoldsTheMenusInOrder) {
  const QList<QAction*> top = window->menuBar()->actions();
  ASSERT_EQ(top.size(), 3);
  EXPECT_EQ(top[0]->text(), "File");
  EXPECT_EQ(top[1]->text(), "About");
  EXPECT_EQ(top[1]->menu(), nullptr);
  EXPECT_EQ(top[2]->text(), "Update");

  struct Expected {
    const char* menu;
    QStringList items;
  };
  const Expected expected[] = {{"File", {"Exit"}},
                               {"ChkUpdate", {"Vettrix Update", "Mobidex Update"}}};
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.menu);
    const auto* menu = Find<QMenu>(e.menu);
    ASSERT_NE(menu, nullptr);
    QStringList items;
    for (const QAction* action : menu->actions()) {
      EXPECT_FALSE(action->isSeparator());
      EXPECT_FALSE(action->isCheckable());
      EXPECT_TRUE(action->shortcut().isEmpty());
      items << action->text();
    }
    EXPECT_EQ(items, e.items);
  }
}

TEST_F(MainWindowTest, MenuCommandsRunTheirHandlers) {
  form.ProgramVersionText = "2.1.3-r26 Professional Edition";
  Find<QAction>("About")->trigger();
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].rfind("Vettrix v2.1.3-r26 Professional Edition", 0), 0u);

  Find<QAction>("Exit")->trigger();
  EXPECT_EQ(platform.closeCount, 1);
}

TEST_F(MainWindowTest, FocusMovesInDesignOrderAndStartsInText1) {
  QStringList order;
  const QStringList wanted = {"Text1",  "Command1", "Command2",   "Check1", "Check2",
                              "Check3", "Check4",   "Check5",     "Check6", "Check7",
                              "Check8", "Combo1",   "Scriptlet1", "Combo2"};
  QWidget* widget = Find<QWidget>("Text1");
  for (int step = 0; step < 200 && order.size() < wanted.size(); ++step) {
    if (wanted.contains(widget->objectName()) && !order.contains(widget->objectName()))
      order << widget->objectName();
    widget = widget->nextInFocusChain();
  }
  EXPECT_EQ(order, wanted);
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("Text1"));

  for (int n = 1; n <= Form1::kLabelCount; ++n) {
    const auto* label = Find<QLabel>(("Label" + std::to_string(n)).c_str());
    EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << "Label" << n;
  }
}

TEST_F(MainWindowTest, ModelChangesReachTheWidgetsOnSync) {
  struct Case {
    const char* what;
    std::function<void(Form1&)> change;
    std::function<void(const MainWindowTest&)> check;
  };
  const Case cases[] = {
      {"window caption", [](Form1& f) { f.caption = "Vettrix v2.1.3-r26 Professional Edition"; },
       [](const MainWindowTest& t) {
         EXPECT_EQ(t.window->windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");
       }},
      {"Generate turns into Stop", [](Form1& f) { f.Command2.caption = "Stop"; },
       [](const MainWindowTest& t) { EXPECT_EQ(t.Find<QPushButton>("Command2")->text(), "Stop"); }},
      {"verdict shown in green",
       [](Form1& f) {
         f.Label16.caption = "VALID";
         f.Label16.foreColor = kGreen;
         f.Label16.visible = true;
       },
       [](const MainWindowTest& t) {
         const auto* label = t.Find<QLabel>("Label16");
         EXPECT_EQ(label->text(), "VALID");
         EXPECT_TRUE(label->isVisible());
         EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 175, 0));
       }},
      {"reporting body ticked", [](Form1& f) { f.Check4.value = 1; },
       [](const MainWindowTest& t) { EXPECT_TRUE(t.Find<QCheckBox>("Check4")->isChecked()); }},
      {"quantity list shown", [](Form1& f) { f.Combo2.visible = true; },
       [](const MainWindowTest& t) { EXPECT_TRUE(t.Find<QComboBox>("Combo2")->isVisible()); }},
      {"caption is never markup", [](Form1& f) { f.Label9.caption = "<b>35</b> &amp;"; },
       [](const MainWindowTest& t) {
         const auto* label = t.Find<QLabel>("Label9");
         EXPECT_EQ(label->textFormat(), Qt::PlainText);
         EXPECT_EQ(label->text(), "<b>35</b> &amp;");
       }},
  };
  Show();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.change(form);
    window->Sync();
    c.check(*this);
  }
}

TEST_F(MainWindowTest, LabelsGrowToTheRightWithTheirText) {
  Show();
  auto* label = Find<QLabel>("Label9");
  const QRect design(136, 120, 10, 15);
  form.Label9.caption = "";
  window->Sync();
  ASSERT_EQ(label->geometry(), design);

  form.Label9.caption = "35 British Approvals Board of Telecommunications";
  window->Sync();
  EXPECT_EQ(label->text(), Q(form.Label9.caption));
  EXPECT_EQ(label->pos(), design.topLeft());
  EXPECT_EQ(label->height(), design.height());
  EXPECT_GE(label->width(), label->sizeHint().width());
  EXPECT_GT(label->width(), 150);

  form.Label9.caption = "";
  window->Sync();
  EXPECT_EQ(label->geometry(), design);
}

TEST_F(MainWindowTest, LinkLabelsReactToAFullClickOnThem) {
  struct Case {
    const char* label;
    Qt::MouseButton button;
    QPoint release;  // relative to the label
    std::string copied;
  };
  const Case cases[] = {
      {"Label24", Qt::LeftButton, {3, 3}, "490154203237518"},
      {"Label10", Qt::LeftButton, {3, 3}, "000000"},
      {"Label24", Qt::LeftButton, {-20, 3}, ""},  // released off the label: no click
      {"Label24", Qt::RightButton, {3, 3}, ""},
      {"Label4", Qt::LeftButton, {3, 3}, ""},  // not a link
  };
  Show();
  form.Text1.text = "490154203237518";
  window->Sync();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.label) + " released at " + std::to_string(c.release.x()));
    platform.clipboard.clear();
    auto* label = Find<QLabel>(c.label);
    QTest::mousePress(label, c.button, {}, QPoint(3, 3));
    QTest::mouseRelease(label, c.button, {}, c.release);
    EXPECT_EQ(platform.clipboard, c.copied);
  }
  EXPECT_EQ(Find<QLabel>("Label24")->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(MainWindowTest, TypingInAComboKeepsTheTextAsTyped) {
  const std::string typed[] = {"2", "5", "10 pieces"};
  FillQuantities();
  Show();
  auto* combo = Find<QComboBox>("Combo2");
  for (const std::string& text : typed) {
    SCOPED_TRACE(text);
    combo->setFocus();
    combo->lineEdit()->clear();
    QTest::keyClicks(combo, Q(text));
    QTest::keyClick(combo, Qt::Key_Return);
    EXPECT_EQ(combo->currentText(), Q(text));
    EXPECT_EQ(combo->count(), 9);
    EXPECT_EQ(form.Combo2.text, text);
    EXPECT_EQ(form.Combo2.listIndex, -1);
    EXPECT_EQ(form.Combo2.list.size(), 9u);
  }
}

TEST_F(MainWindowTest, PickingAComboEntrySelectsItInTheModel) {
  FillQuantities();
  Show();
  auto* combo = Find<QComboBox>("Combo2");
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Down);
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(form.Combo2.listIndex, 2);
  EXPECT_EQ(form.Combo2.text, "10");

  // And back: the model selects and edits, the combo box follows.
  form.Combo2.Select(5);
  window->Sync();
  EXPECT_EQ(combo->currentIndex(), 5);
  EXPECT_EQ(combo->currentText(), "100");
  form.Combo2.text = "1";
  form.Combo2.AddItem("5000");
  window->Sync();
  EXPECT_EQ(combo->count(), 10);
  EXPECT_EQ(combo->itemText(9), "5000");
  EXPECT_EQ(combo->currentText(), "1");
}

TEST_F(MainWindowTest, ComboShowsAHundredThousandEntries) {
  form.Combo1.list.reserve(100'000);
  for (int k = 0; k < 100'000; ++k) form.Combo1.list.push_back("Maker " + std::to_string(k));
  ++form.Combo1.listRevision;
  window->Sync();
  const auto* combo = Find<QComboBox>("Combo1");
  EXPECT_EQ(combo->count(), 100'000);
  EXPECT_EQ(combo->itemText(99'999), "Maker 99999");
  EXPECT_EQ(combo->currentText(), "");  // nothing selected, as in the model
}

TEST_F(MainWindowTest, TypingAndPastingInText1ReachTheModel) {
  Show();
  auto* text1 = Find<QLineEdit>("Text1");
  text1->setFocus();
  QTest::keyClicks(text1, "35-2099");
  EXPECT_EQ(form.Text1.text, "35-2099");

  const QString pasted(100'000, u'7');
  QGuiApplication::clipboard()->setText(pasted);
  text1->selectAll();
  QTest::keySequence(text1, QKeySequence::Paste);
  EXPECT_EQ(text1->text().size(), 100'000);
  EXPECT_EQ(form.Text1.text, pasted.toStdString());

  form.Text1.text = "490154203237518";
  window->Sync();
  EXPECT_EQ(text1->text(), "490154203237518");
}

TEST_F(MainWindowTest, TickingABoxReachesTheModel) {
  Show();
  auto* check = Find<QCheckBox>("Check3");
  QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, check->height() / 2));
  EXPECT_EQ(form.Check3.value, 1);
  QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, check->height() / 2));
  EXPECT_EQ(form.Check3.value, 0);
}

TEST_F(MainWindowTest, ClosingStopsTheRunAndFreezesTheWidgets) {
  Show();
  form.generating = true;
  window->close();
  EXPECT_TRUE(window->IsClosed());
  EXPECT_TRUE(form.closed);
  EXPECT_TRUE(form.stopRequested);

  // A Generate run unwinding after the close still writes the model; nothing shows it.
  form.Label19.caption = "Valid: 12";
  window->Sync();
  EXPECT_EQ(Find<QLabel>("Label19")->text(), "Valid: 0");
}

// Banner pages from data: addresses, so the tests need no network.
class BannerTest : public MainWindowTest {
 protected:
  QLabel* LoadedBanner(const QByteArray& url) {
    form.Scriptlet1.url = url.toStdString();
    window->show();
    auto* banner = Find<QLabel>("Scriptlet1");
    EXPECT_TRUE(QTest::qWaitFor(
        [banner] { return !banner->text().isEmpty() || !banner->pixmap().isNull(); }));
    return banner;
  }
};

TEST_F(BannerTest, ShowsAnImage) {
  QImage image(200, 40, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");

  const QLabel* banner = LoadedBanner("data:image/png;base64," + png.toBase64());
  EXPECT_EQ(banner->pixmap().size(), QSize(200, 40));
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(BannerTest, ShowsTheTextOfAPage) {
  const QLabel* banner = LoadedBanner(
      "data:text/html,<html><head><title>Ad</title></head><body><p>Fast%20phones</p></body>");
  EXPECT_EQ(banner->text(), "Fast phones");
}

TEST(BannerText, KeepsOnlyWhatAPageShows) {
  struct Case {
    const char* html;
    const char* text;
  };
  const Case cases[] = {
      {"<p>Buy <b>now</b></p>", "Buy now"},
      {"<script>alert('x<y')</script>Hello", "Hello"},
      {"<STYLE>p { color: red }</STYLE>Hi", "Hi"},
      {"<!-- <p>hidden</p> -->shown", "shown"},
      {"Tom &amp; Jerry &lt;3 &#65;&#x42; &bogus; &", "Tom & Jerry <3 AB &bogus; &"},
      {"one\n\t  two&nbsp;three", "one two three"},
      {"cut <a href=", "cut"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(BannerText(QByteArrayView(c.html)), QString::fromUtf8(c.text));
  }
}

TEST_F(MainWindowTest, StartsUpFromADatabaseAndValidates) {
  test::TempFolder folder;
  folder.Write("mobidex.csv", test::MakeDatabase(39));
  platform.folder = folder.str();
  Form_Load(form);
  ASSERT_FALSE(form.closed);
  window->Sync();
  Show();

  EXPECT_EQ(window->windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");
  EXPECT_EQ(Find<QLineEdit>("Text1")->text(), "490154203237518");
  EXPECT_EQ(Find<QComboBox>("Combo1")->count(), 39);
  EXPECT_EQ(Find<QComboBox>("Combo1")->currentText(), "");
  EXPECT_FALSE(Find<QComboBox>("Combo2")->isVisible());
  EXPECT_EQ(Find<QLabel>("Label19")->text(), "Valid: 0");

  struct Case {
    const char* typed;
    const char* text1;
    const char* label8;
    const char* label2;
    const char* verdict;
    QColor color;
  };
  const Case cases[] = {
      {"", "490154203237518", "490154-20-323751-8", "CheckSum: 52(60)", "VALID", {0, 175, 0}},
      {"12-345678-901234-8",
       "123456789012348",
       "123456-78-901234-8",
       "CheckSum: 63(71)",
       "INVALID",
       {255, 0, 0}},
      {"12 345678 901234 7",
       "123456789012347",
       "123456-78-901234-7",
       "CheckSum: 63(70)",
       "VALID",
       {0, 175, 0}},
  };
  auto* text1 = Find<QLineEdit>("Text1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text1);
    if (*c.typed != '\0') {
      text1->selectAll();
      QTest::keyClicks(text1, c.typed);
    }
    QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
    const auto* verdict = Find<QLabel>("Label16");
    EXPECT_TRUE(verdict->isVisible());
    EXPECT_EQ(verdict->text(), c.verdict);
    EXPECT_EQ(verdict->palette().color(QPalette::WindowText), c.color);
    EXPECT_EQ(text1->text(), c.text1);
    EXPECT_EQ(Find<QLabel>("Label8")->text(), c.label8);
    EXPECT_EQ(Find<QLabel>("Label2")->text(), c.label2);
  }
  EXPECT_EQ(Find<QLabel>("Label19")->text(), "Valid: 2");
}

}  // namespace
}  // namespace vettrix
