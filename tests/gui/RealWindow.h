#pragma once

// The real window on the program's own platform, over a temporary program folder. Every message
// box that comes up is answered as a user clicking OK; its text and what the window showed under
// it are kept.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "commands/Handlers.h"
#include "core/FakePlatform.h"
#include "gui/MainWindow.h"
#include "gui/QtPlatform.h"

namespace vettrix::test {

// Answers every message box that comes up as a user clicking OK, keeping its text in `texts`,
// marked when the box is not plain text under the program's title with OK only; `seen` runs while
// the box is up.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<std::string>& texts, std::function<void()> seen = {}) {
    QObject::connect(&poll_, &QTimer::timeout, [&texts, seen] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts.push_back(box->text().toStdString());
        if (box->windowTitle() != "Vettrix" || box->standardButtons() != QMessageBox::Ok ||
            box->textFormat() != Qt::PlainText)
          texts.back() += " [not a plain Vettrix box with OK only]";
        if (seen) seen();
        box->accept();
      }
    });
    poll_.start(10);
  }

 private:
  QTimer poll_;
};

// The program's platform, with its folder in a temporary folder instead of beside the tests, and
// a browser that only keeps the pages it is asked to open.
struct FolderPlatform : QtPlatform {
  std::string folder;
  std::vector<std::string> openedUrls;
  std::string ProgramFolder() override { return folder; }
  bool OpenUrl(std::string_view url) override {
    openedUrls.emplace_back(url);
    return true;
  }
};

class RealWindowTest : public ::testing::Test {
 protected:
  RealWindowTest() {
    form.Scriptlet1.url.clear();  // no test reaches out to the advertising network
    platform.folder = folder.str();
    platform.SetWindow(&window);
  }

  void Start(const std::string& database) {
    folder.Write("mobidex.csv", database);
    Form_Load(form);
    platform.ShowWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }

  // Text1, Label12, Label16, Label19, Label28 and Label29 as the model holds them.
  std::string ModelShown() const {
    std::string shown = form.Text1.text;
    for (const Label* label :
         {&form.Label12, &form.Label16, &form.Label19, &form.Label28, &form.Label29})
      shown += " | " + label->caption.str();
    return shown;
  }

  template <class T>
  T* Find(const char* name) const {
    return window.findChild<T*>(QString::fromLatin1(name));
  }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  // Clicks Generate, and `action` on the first event-pump turn after `cycles` candidates.
  void Generate(std::int64_t cycles, const std::function<void()>& action) {
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (!form.generating || form.GeneratedCount < cycles) return;
      watcher.stop();
      action();
    });
    watcher.start(0);
    Click("Command2");
  }

  test::TempFolder folder;
  FolderPlatform platform;
  Form1 form{platform};
  MainWindow window{form};
  std::vector<std::string> boxes;  // texts of the message boxes shown
  // Text1, Label12, Label16, Label19, Label28 and Label29 as the window showed them under each box.
  std::vector<std::string> windowUnderBoxes;
  BoxAnswerer answerer_{
      boxes, [this] {
        std::string shown = Find<QLineEdit>("Text1")->text().toStdString();
        for (const char* label : {"Label12", "Label16", "Label19", "Label28", "Label29"})
          shown += " | " + Find<QLabel>(label)->text().toStdString();
        windowUnderBoxes.push_back(shown);
      }};
};

}  // namespace vettrix::test
