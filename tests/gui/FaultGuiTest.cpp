// The real window under abuse: a megabyte pasted into the IMEI box, an endless run stopped or
// the window closed while it runs, a database line of ten megabytes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/Handlers.h"
#include "core/FakePlatform.h"
#include "platform/qt/MainWindow.h"
#include "platform/qt/QtPlatform.h"

namespace vettrix {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

// The program's platform, with its folder in a temporary folder instead of beside the tests.
class FolderPlatform : public QtPlatform {
 public:
  explicit FolderPlatform(std::string folder) : folder_(std::move(folder)) {}
  std::string ProgramFolder() override { return folder_; }

 private:
  std::string folder_;
};

// Answers every message box that comes up, as a user clicking OK, and keeps its text.
class MessageBoxes {
 public:
  MessageBoxes() {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts.push_back(box->text().toStdString());
        box->accept();
      }
    });
    poll_.start(10);
  }
  std::vector<std::string> texts;

 private:
  QTimer poll_;
};

std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

std::string ReportIn(const fs::path& folder) {
  for (const std::string& name : FilesIn(folder))
    if (name.starts_with("Vettrix.v")) return name;
  return {};
}

int CountLines(const std::string& text) {
  int lines = 0;
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  return lines;
}

class FaultGuiTest : public ::testing::Test {
 protected:
  FaultGuiTest() {
    form.Scriptlet1.url.clear();  // no test reaches out to the advertising network
    platform.SetWindow(&window);
  }

  void Start(const std::string& database) {
    folder.Write("mobidex.csv", database);
    Form_Load(form);
    ASSERT_FALSE(form.closed);
    window.Sync();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }

  template <class T>
  T* Find(const char* name) const {
    return window.findChild<T*>(QString::fromLatin1(name));
  }

  // Picks a device type and a quantity as the user would type them.
  void Choose(const QString& deviceType, const QString& quantity) {
    for (const auto& [name, text] :
         {std::pair{"Combo1", deviceType}, std::pair{"Combo2", quantity}}) {
      auto* combo = Find<QComboBox>(name);
      combo->lineEdit()->clear();
      QTest::keyClicks(combo->lineEdit(), text);
    }
  }

  // Runs `action` on the first event-pump turn after the run has made `cycles` candidates.
  void AfterCycles(std::int64_t cycles, std::function<void()> action) {
    watcher_.disconnect();
    QObject::connect(&watcher_, &QTimer::timeout, [this, cycles, action] {
      if (!form.generating || form.GeneratedCount < cycles) return;
      watcher_.stop();
      action();
    });
    watcher_.start(0);
  }

  TempFolder folder;
  FolderPlatform platform{folder.str()};
  Form1 form{platform};
  MainWindow window{form};
  MessageBoxes boxes;

 private:
  QTimer watcher_;
};

TEST_F(FaultGuiTest, AMegabytePasteIsInvalidAndTheWindowGoesOnAnswering) {
  Start(test::MakeDatabase(3));
  auto* text1 = Find<QLineEdit>("Text1");
  const QString pasted(1 << 20, u'7');
  QGuiApplication::clipboard()->setText(pasted);
  text1->setFocus();
  text1->selectAll();
  QTest::keySequence(text1, QKeySequence::Paste);
  ASSERT_EQ(form.Text1.text.size(), std::size_t{1} << 20);

  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  const auto* verdict = Find<QLabel>("Label16");
  EXPECT_TRUE(verdict->isVisible());
  EXPECT_EQ(verdict->text(), "INVALID");
  EXPECT_EQ(text1->text().size(), 1 << 20);
  EXPECT_TRUE(boxes.texts.empty());

  // Typing and clicking still work on the same window.
  text1->selectAll();
  QTest::keyClicks(text1, "490154203237518");
  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_EQ(verdict->text(), "VALID");
  EXPECT_EQ(Find<QLabel>("Label19")->text(), "Valid: 1");
}

TEST_F(FaultGuiTest, AnEndlessRunStopsOnAClickOnStopAndReportsWhatItMade) {
  Start(test::MakeDatabase(3));
  Choose("Samsung Galaxy S8", "1e12");
  auto* command2 = Find<QPushButton>("Command2");
  QString captionWhileRunning;
  AfterCycles(300, [&] {
    captionWhileRunning = command2->text();
    QTest::mouseClick(command2, Qt::LeftButton);
  });
  QTest::mouseClick(command2, Qt::LeftButton);

  EXPECT_EQ(captionWhileRunning, "Stop");
  EXPECT_FALSE(form.generating);
  EXPECT_GE(form.GeneratedCount, 300);
  EXPECT_EQ(command2->text(), "Generate");
  EXPECT_EQ(Find<QLabel>("Label19")->text(),
            QString::fromStdString("Valid: " + std::to_string(form.ValidCount)));
  const std::string report = ReportIn(folder.path());
  ASSERT_FALSE(report.empty());
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_TRUE(boxes.texts[0].starts_with("Calculation completed in ")) << boxes.texts[0];
  EXPECT_TRUE(boxes.texts[0].ends_with("Output written to " + folder.str() + "/" + report))
      << boxes.texts[0];
  EXPECT_EQ(CountLines(folder.Read(report)), 6 + form.ValidCount);
  EXPECT_FALSE(window.IsClosed());
}

TEST_F(FaultGuiTest, ClosingTheWindowMidRunLosesNoEarlierReportAndWritesNoNewOne) {
  Start(test::MakeDatabase(3));
  Choose("Samsung Galaxy S8", "3");
  QTest::mouseClick(Find<QPushButton>("Command2"), Qt::LeftButton);
  ASSERT_EQ(boxes.texts.size(), 1u);
  const std::string earlier = ReportIn(folder.path());
  ASSERT_FALSE(earlier.empty());
  const std::string earlierText = folder.Read(earlier);

  Choose("Samsung Galaxy S8", "1e12");
  AfterCycles(200, [&] { window.close(); });
  QTest::mouseClick(Find<QPushButton>("Command2"), Qt::LeftButton);

  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(form.generating);
  EXPECT_EQ(boxes.texts.size(), 1u);  // nothing shown after the close
  EXPECT_EQ(FilesIn(folder.path()), (std::set<std::string>{"mobidex.csv", earlier}));
  EXPECT_EQ(folder.Read(earlier), earlierText);
}

TEST_F(FaultGuiTest, ATenMegabyteDatabaseLineShowsAndTheWindowAnswers) {
  const std::string model(10 << 20, 'M');
  Start("35911608,Samsung," + model + "\r\n00000000,v0.99.0000,Version\r\n");
  auto* text1 = Find<QLineEdit>("Text1");
  text1->selectAll();
  QTest::keyClicks(text1, "359116081234560");
  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_EQ(Find<QLabel>("Label16")->text(), "VALID");
  EXPECT_EQ(Find<QLabel>("Label13")->text(), "Manufacturer: Samsung");
  // Shown cut short: laying out ten megabytes froze the window for seconds.
  const QString shown = Find<QLabel>("Label14")->text();
  EXPECT_TRUE(shown.startsWith("Model: MMMM"));
  EXPECT_EQ(shown.size(), 513);
  EXPECT_TRUE(shown.endsWith(QChar(0x2026)));

  text1->selectAll();
  QTest::keyClicks(text1, "490154203237518");
  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_EQ(Find<QLabel>("Label13")->text(), "Manufacturer: Not Found in Database!");
}

// Found by the sanitizer build: destroying the window made a focused combo box report its typed
// text as a picked entry, to handlers whose members were already gone.
TEST(MainWindowTeardown, ClosingTheProgramLeavesTheTypedQuantityAsTyped) {
  test::FakePlatform platform;
  Form1 form{platform};
  form.Scriptlet1.url.clear();
  for (const char* quantity : {"", "1", "10", "25", "50", "100"}) form.Combo2.AddItem(quantity);
  form.Combo2.Select(0);
  form.Combo2.visible = true;
  auto window = std::make_unique<MainWindow>(form);
  window->Sync();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

  auto* combo = window->findChild<QComboBox*>("Combo2");
  combo->setFocus();
  combo->lineEdit()->clear();
  QTest::keyClicks(combo, "10");
  ASSERT_EQ(form.Combo2.text, "10");
  ASSERT_EQ(form.Combo2.listIndex, -1);

  window.reset();
  EXPECT_EQ(form.Combo2.text, "10");
  EXPECT_EQ(form.Combo2.listIndex, -1);
}

}  // namespace
}  // namespace vettrix
