// The real window and vettrix-cli against the real web service on loopback, pointed at it by a
// settings file as a user would: the update checks, an update installed while the window runs,
// the submission link, and the ways a download goes wrong.

#include <QAction>
#include <QElapsedTimer>
#include <QProcess>
#include <optional>

#include "gui/RealWindow.h"
#include "service/RunningService.h"
#include "update/TestHttpServer.h"

namespace vettrix {
namespace {

class ServiceEndToEndTest : public test::RealWindowTest {
 protected:
  ServiceEndToEndTest() {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(settings.str()));
    qputenv("XDG_CONFIG_DIRS", QByteArray::fromStdString(settings.str() + "/none"));
  }

  // The service over `data`, started with `database` published; returns its address.
  std::string StartService(const std::string& database) {
    data.Write("first.csv", database);
    service.emplace(data.str(), data.str() + "/first.csv");
    return service->Url();
  }
  void PointAt(const std::string& url, const std::string& more = "") {
    settings.Write("vettrix/vettrix.conf", "[General]\nservice-url=" + url + "\n" + more);
  }
  int Run(const char* program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    return process.exitCode();
  }
  // The last message box's text, and none before it since the last call.
  std::string Box() {
    EXPECT_EQ(boxes.size(), 1u);
    std::string text = boxes.empty() ? std::string() : boxes.back();
    boxes.clear();
    return text;
  }
  void Menu(const char* item) {
    Find<QAction>(item)->trigger();
    QApplication::processEvents();
  }
  void Type(const QString& imei) {
    auto* text1 = Find<QLineEdit>("Text1");
    QTest::mouseClick(text1, Qt::LeftButton);
    text1->selectAll();
    QTest::keyClicks(text1, imei);
    QTest::keyClick(text1, Qt::Key_Return);
  }
  QString Shown(const char* label) { return Find<QLabel>(label)->text(); }

  test::TempFolder settings, data;
  std::optional<test::RunningService> service;
};

TEST_F(ServiceEndToEndTest, AWindowPointedAtTheServiceTellsOfAnUpdateAndInstallsIt) {
  const std::string v1 = test::MakeDatabase(40, "v1.00.0001");
  const std::string url = StartService(v1);
  PointAt(url);
  Start(v1);

  // 1. Both checks find this window current.
  Menu("DBUpdate");
  EXPECT_EQ(Box(),
            "You have the latest Mobidex version. Your version: 000001 Online version: 000001");
  Menu("ProgramUpdate");
  EXPECT_EQ(Box(), "You have the latest version. Your version: 21326 Online version: 21326");

  // 2. The operator publishes v2, with one device more.
  data.Write("v2.csv", "87654321,Acme,Phone\r\n" + test::MakeDatabase(40, "v1.00.0002"));
  ASSERT_EQ(Run(VETTRIX_SERVICE, {"--data", QString::fromStdString(data.str()), "publish",
                                  QString::fromStdString(data.str() + "/v2.csv")}),
            0);
  // The service serves it within moments (vettrix-cli says so: status 1, an update).
  QElapsedTimer waited;
  waited.start();
  while (Run(VETTRIX_CLI, {"--db", QString::fromStdString(folder.str() + "/mobidex.csv"),
                           "update-db", "--check"}) != 1 &&
         waited.elapsed() < 10'000) {
  }
  Menu("DBUpdate");
  EXPECT_EQ(Box(), "An Mobidex update is available! Your version: 000001 Online version: 000002");

  // 3. Installed while the window runs, it names the new device at the next Validate.
  Menu("DBInstall");
  EXPECT_EQ(Box(),
            "The Mobidex update is installed: version v1.00.0002 with 41 devices (it was "
            "v1.00.0001). It is in use now.");
  Type("87654321-123456-2");
  EXPECT_EQ(Shown("Label13"), "Manufacturer: Acme");
  EXPECT_EQ(Shown("Label20"), "Database Version:   v1.00.0002");
  EXPECT_EQ(Shown("Label25"), "Devices Supported: 41");

  // 4. A device it lacks links to the service's page for it, which says what the window says.
  Type("123456789012347");
  ASSERT_EQ(Shown("Label13"), "Manufacturer: Not Found in Database!");
  QTest::mouseClick(Find<QLabel>("Label13"), Qt::LeftButton);
  ASSERT_EQ(platform.openedUrls, std::vector<std::string>{url + "/?imei=123456789012347"});
  const auto [status, html] = service->Get(platform.openedUrls[0].substr(url.size()));
  ASSERT_EQ(status, 200);
  EXPECT_NE(html.find("id=\"verdict\">" + Shown("Label16").toStdString() + "<"), std::string::npos);
  EXPECT_NE(html.find("id=\"not-found\""), std::string::npos);

  // 5. Whatever goes wrong, the window says why and goes on with v2.
  test::TestHttpServer faulty;
  faulty.Serve("/dbver", "200 OK", "000003\r\n");
  faulty.Serve("/mobidex.csv", "200 OK", "87654321,Acme,Ph", test::Reply::Kind::kCloseMidBody);
  faulty.Serve("/mobidex.csv.sha256", "200 OK", QByteArray(64, '0') + "  mobidex.csv\n");
  const std::string complete = test::MakeDatabase(3, "v1.00.0003");
  ASSERT_EQ(service->Stop(), 0);
  // A misspelt key beside the address is told where the service was not reached.
  const std::string typo = "Unknown key \"service_uri\" in " + settings.str() +
                           "/vettrix/vettrix.conf line 4 (did you mean service-url?).";
  const std::pair<std::string, std::string> faults[] = {
      {url, "the service could not be reached at"},
      {faulty.Url(""), "the server closed the connection before the whole response arrived"},
      {"", "does not match its published checksum"},
  };
  for (const auto& [address, reason] : faults) {
    SCOPED_TRACE(reason);
    if (!address.empty()) PointAt(address, address == url ? "; a note\nservice_uri = x\n" : "");
    if (address.empty())
      faulty.Serve("/mobidex.csv", "200 OK", QByteArray::fromStdString(complete));
    Menu("DBInstall");
    const std::string box = Box();
    EXPECT_NE(box.find(reason), std::string::npos) << box;
    EXPECT_NE(box.find("Your database is unchanged (v1.00.0002)."), std::string::npos) << box;
    EXPECT_EQ(box.find(typo) != std::string::npos, address == url) << box;
    Type("87654321-123456-2");
    EXPECT_EQ(Shown("Label13"), "Manufacturer: Acme");
    EXPECT_EQ(Shown("Label20"), "Database Version:   v1.00.0002");
  }
}

}  // namespace
}  // namespace vettrix
