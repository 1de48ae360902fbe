// The real window under abuse: a megabyte pasted into the IMEI box, a database line of ten
// megabytes, an endless run stopped or the window closed while it runs.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/Handlers.h"
#include "core/FakePlatform.h"
#include "platform/qt/MainWindow.h"
#include "platform/qt/QtPlatform.h"

namespace vettrix {
namespace {

namespace fs = std::filesystem;

// The program's platform, with its folder in a temporary folder instead of beside the tests.
class FolderPlatform : public QtPlatform {
 public:
  explicit FolderPlatform(std::string folder) : folder_(std::move(folder)) {}
  std::string ProgramFolder() override { return folder_; }

 private:
  std::string folder_;
};

class FaultGuiTest : public ::testing::Test {
 protected:
  FaultGuiTest() {
    form.Scriptlet1.url.clear();  // no test reaches out to the advertising network
    platform.SetWindow(&window);
    // Every message box that comes up is answered as a user clicking OK, and its text kept.
    QObject::connect(&boxPoll_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        boxes.push_back(box->text().toStdString());
        box->accept();
      }
    });
    boxPoll_.start(10);
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
  QString Text(const char* label) const { return Find<QLabel>(label)->text(); }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  // Types `text` over what a line edit or an editable combo box holds.
  void Type(const char* name, const QString& text) {
    auto* edit = Find<QLineEdit>(name);
    if (edit == nullptr) edit = Find<QComboBox>(name)->lineEdit();
    edit->clear();
    QTest::keyClicks(edit, text);
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

  test::TempFolder folder;
  FolderPlatform platform{folder.str()};
  Form1 form{platform};
  MainWindow window{form};
  std::vector<std::string> boxes;  // texts of the message boxes shown

 private:
  QTimer boxPoll_, watcher_;
};

TEST_F(FaultGuiTest, AMegabytePasteAndATenMegabyteLineLeaveTheWindowAnswering) {
  Start("35911608,Samsung," + std::string(10 << 20, 'M') + "\r\n00000000,v0.99.0000,Version\r\n");
  auto* text1 = Find<QLineEdit>("Text1");
  QApplication::clipboard()->setText(QString(1 << 20, u'7'));
  text1->setFocus();
  text1->selectAll();
  QTest::keySequence(text1, QKeySequence::Paste);
  ASSERT_EQ(form.Text1.text.size(), std::size_t{1} << 20);
  Click("Command1");
  EXPECT_TRUE(Find<QLabel>("Label16")->isVisible());
  EXPECT_EQ(Text("Label16"), "INVALID");
  EXPECT_TRUE(boxes.empty());

  Type("Text1", "359116081234560");
  Click("Command1");
  EXPECT_EQ(Text("Label16"), "VALID");
  EXPECT_EQ(Text("Label19"), "Valid: 1");
  EXPECT_EQ(Text("Label13"), "Manufacturer: Samsung");
  // Shown cut short: laying out ten megabytes froze the window for seconds.
  EXPECT_EQ(Text("Label14"), "Model: " + QString(505, u'M') + QChar(0x2026));
}

TEST_F(FaultGuiTest, AnEndlessRunStopsOnStopAndAWindowClosedMidRunWritesNothing) {
  Start(test::MakeDatabase(3));
  Type("Combo1", "Samsung Galaxy S8");
  Type("Combo2", "1e12");
  QString captionWhileRunning;
  AfterCycles(300, [&] {
    captionWhileRunning = Find<QPushButton>("Command2")->text();
    Click("Command2");
  });
  Click("Command2");
  EXPECT_EQ(captionWhileRunning, "Stop");
  EXPECT_FALSE(form.generating);
  EXPECT_EQ(Find<QPushButton>("Command2")->text(), "Generate");
  EXPECT_FALSE(window.IsClosed());
  EXPECT_EQ(Text("Label19"), QString::fromStdString("Valid: " + std::to_string(form.ValidCount)));
  ASSERT_EQ(boxes.size(), 1u);
  const std::string written = "Output written to " + folder.str() + "/";
  const std::size_t at = boxes[0].find(written);
  ASSERT_NE(at, std::string::npos) << boxes[0];
  const std::string report = boxes[0].substr(at + written.size());
  const std::string reportText = folder.Read(report);
  EXPECT_EQ(std::ranges::count(reportText, '\n'), 6 + form.ValidCount);

  // Closed during the next run: nothing more is shown or written, the report stays whole.
  AfterCycles(200, [&] { window.close(); });
  Click("Command2");
  EXPECT_TRUE(window.IsClosed());
  EXPECT_FALSE(form.generating);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(folder.Read(report), reportText);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 2);  // and mobidex.csv
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
  window.reset();
  EXPECT_EQ(form.Combo2.text, "10");
  EXPECT_EQ(form.Combo2.listIndex, -1);
}

}  // namespace
}  // namespace vettrix
