// The real window on Qt's offscreen platform, as a user, a screen reader and a fault meet it:
// the controls in their places and in sync with the model, mouse and keyboard (device types typed
// or picked from the open list, boxes ticked, menu commands), what the window shows while a
// message is up, every control named for a screen reader; and abuse: a megabyte pasted, a
// database line of ten megabytes, an endless run stopped or the window closed mid-run, a banner
// server that fails, floods or stays silent.

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QImage>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gui/RealWindow.h"
#include "update/TestHttpServer.h"

namespace vettrix {
namespace {

namespace fs = std::filesystem;

using UserGuiTest = test::RealWindowTest;
using FaultGuiTest = test::RealWindowTest;
using AccessibilityTest = test::RealWindowTest;
using QtPlatformWindowTest = test::RealWindowTest;

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

TEST_F(UserGuiTest, ATypedDeviceTypeStaysTypedWhateverEndsTheTyping) {
  Start(test::MakeDatabase(40));
  auto* combo = Find<QComboBox>("Combo1");
  const QString device = "Maker 31 Model 31";
  ASSERT_EQ(form.Combo1.list[31], device.toStdString());
  using Way = std::pair<const char*, std::function<void()>>;  // how the typing ends
  for (const auto& [name, leave] : {Way{"Return", [&] { QTest::keyClick(combo, Qt::Key_Return); }},
                                    Way{"Tab", [&] { QTest::keyClick(combo, Qt::Key_Tab); }},
                                    Way{"a click on Generate", [] {}}}) {
    SCOPED_TRACE(name);
    QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), device);
    leave();
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

TEST_F(FaultGuiTest, AMegabytePasteAndATenMegabyteLineLeaveTheWindowAnswering) {
  Start("35911608,Samsung," + std::string(10 << 20, 'M') + "\r\n00000000,v0.99.0000,Version\r\n");
  auto* text1 = Find<QLineEdit>("Text1");
  QApplication::clipboard()->setText(QString(1 << 20, u'7'));
  text1->setFocus();
  text1->selectAll();
  QTest::keySequence(text1, QKeySequence::Paste);
  ASSERT_EQ(form.Text1.text.size(), std::size_t{1} << 20);
  Click("Command1");
  EXPECT_EQ(Find<QLabel>("Label16")->text(), "INVALID");
  EXPECT_TRUE(boxes.empty());

  text1->selectAll();
  QTest::keyClicks(text1, "359116081234560");
  Click("Command1");
  EXPECT_EQ(Find<QLabel>("Label13")->text(), "Manufacturer: Samsung");
  // Shown cut short: laying out ten megabytes froze the window for seconds.
  EXPECT_EQ(Find<QLabel>("Label14")->text(), "Model: " + QString(505, u'M') + QChar(0x2026));
}

TEST_F(FaultGuiTest, AnEndlessRunStopsOnStopAndAWindowClosedMidRunWritesNothing) {
  Start(test::MakeDatabase(3));
  form.Combo1.text = "Samsung Galaxy S8";
  form.Combo2.text = "1e12";
  Generate(300, [&] { Click("Command2"); });  // Stop
  EXPECT_EQ(Find<QLabel>("Label19")->text(),
            QString::fromStdString("Valid: " + std::to_string(form.ValidCount)));
  ASSERT_EQ(boxes.size(), 1u);
  const std::string report = boxes[0].substr(boxes[0].find(folder.str()) + folder.str().size() + 1);
  const std::string reportText = folder.Read(report);
  EXPECT_EQ(std::ranges::count(reportText, '\n'), 6 + form.ValidCount);

  // Closed during the next run: nothing more is shown or written, the report stays whole.
  Generate(200, [&] { window.close(); });
  EXPECT_TRUE(window.IsClosed());
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(folder.Read(report), reportText);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 2);  // and mobidex.csv
}

// The banner comes from a real server on 127.0.0.1 through the update checks' client. Whatever
// a fetch brings replaces the banner, a failed one with nothing.
TEST_F(FaultGuiTest, TheBannerShowsAPageAsTextOrAPictureScaledAndIsEmptyOnAnyFault) {
  QImage picture(952, 120, QImage::Format_RGB32);
  picture.fill(Qt::blue);
  QBuffer png;
  picture.save(&png, "PNG");
  test::TestHttpServer server;
  server.Serve("/page", "200 OK\r\nContent-Type: text/html", "<title>Ad</title><p>Fast phones");
  server.Serve("/picture", "200 OK\r\nContent-Type: image/png", png.data());
  server.Serve("/large", "200 OK\r\nContent-Type: text/html", QByteArray(64 * 1024 + 1, 'x'));
  server.Serve("/silent", "200 OK", {}, test::Reply::Kind::kNeverAnswer);
  auto* banner = Find<QLabel>("Scriptlet1");
  for (const auto& [path, text, pixmap] :
       {std::tuple{std::string("/page"), "Fast phones", QRect()},
        {"/picture", "", QRect(0, 0, 476, 60)},  // scaled into the banner
        {"/large", "", {}},
        {"/404", "", {}},
        {"/silent", "?", {}}}) {  // still waited for when the window goes
    banner->setText("?");
    form.Scriptlet1.url = server.Url(path);
    platform.ShowWindow();
    EXPECT_EQ(banner->text(), "?") << path;  // the window comes up without waiting for its banner
    EXPECT_TRUE(path == "/silent" || QTest::qWaitFor([=] { return banner->text() != "?"; }));
    EXPECT_EQ(banner->text(), text) << path;
    EXPECT_EQ(banner->pixmap().rect(), pixmap) << path;
  }
}

// Found by the sanitizer build: destroying the window made a focused combo box report its typed
// text as a picked entry, to handlers whose members were already gone.
TEST(MainWindowTeardown, ClosingTheProgramLeavesTheTypedQuantityAsTyped) {
  test::FakePlatform platform;
  Form1 form{platform};
  for (const char* quantity : {"", "1", "10", "25"}) form.Combo2.AddItem(quantity);
  form.Combo2.visible = true;
  auto window = std::make_unique<MainWindow>(form);
  window->Sync();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

  auto* combo = window->findChild<QComboBox*>("Combo2");
  combo->setFocus();
  QTest::keyClicks(combo, "10");
  window.reset();
  EXPECT_EQ(form.Combo2.text, "10");
  EXPECT_EQ(form.Combo2.listIndex, -1);
}

// Return in the IMEI box validates, every control has a name, and what is shown only as a value
// or a colour is read with its meaning.
QString AccessibleName(QObject* object) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(object);
  return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

TEST_F(AccessibilityTest, ReturnValidatesAndEveryControlIsNamedWithWhatItShows) {
  Start(test::MakeDatabase(3));
  EXPECT_EQ(window.windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");

  auto* text1 = Find<QLineEdit>("Text1");
  text1->selectAll();
  QTest::keyClicks(text1, "100000021234561");
  QTest::keyClick(text1, Qt::Key_Return);
  ASSERT_EQ(form.Label16.caption, "VALID");

  for (const auto& [control, name] : {std::pair{"Text1", "IMEI"},
                                      {"Combo1", "Device type"},
                                      {"Combo2", "Quantity"},
                                      {"Command1", "Validate"},
                                      {"Check6", "NTA"},
                                      {"Label16", "Verdict: VALID"},
                                      {"Label10", "Type Allocation Code: 10000002"},
                                      {"Label13", "Manufacturer: Maker 2"}})
    EXPECT_EQ(AccessibleName(window.findChild<QObject*>(control)), name) << control;
  for (QWidget* widget :
       window.centralWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    EXPECT_FALSE(AccessibleName(widget).isEmpty()) << widget->objectName().toStdString();
}

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
