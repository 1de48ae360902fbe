// The real window under abuse: a megabyte pasted into the IMEI box, a database line of ten
// megabytes, an endless run stopped or the window closed while it runs, a banner server that
// fails, floods or stays silent.

#include <QBuffer>
#include <QClipboard>
#include <QComboBox>
#include <QImage>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <tuple>

#include "gui/RealWindow.h"
#include "update/TestHttpServer.h"

namespace vettrix {
namespace {

namespace fs = std::filesystem;

using FaultGuiTest = test::RealWindowTest;

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

}  // namespace
}  // namespace vettrix
