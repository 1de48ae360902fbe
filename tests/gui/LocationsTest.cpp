// Where the real window finds its database and puts its files: an installed copy (its folder
// read-only) on the user's own or the shipped database, writing into the user's cache and
// documents folders; a copy in a writable folder, whatever bytes its folder's name holds,
// keeping everything beside itself. Run as an unprivileged user, since root writes anywhere.

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <ostream>
#include <utility>

#include "app/DeviceTable.h"
#include "gui/RealWindow.h"
#include "update/CheckUpdate.h"
#include "update/TestHttpServer.h"

namespace vettrix {
namespace {

namespace fs = std::filesystem;

std::string Database(const std::string& maker) {
  return "35000001," + maker + ",Phone\r\n00000000,v1.26.1206,Version\r\n";
}

struct Where {
  const char* name;
  std::string programFolder;  // below the test's folder; may hold any bytes
  bool readOnly;              // the program folder cannot be written
  bool besideDatabase;        // the program folder holds a mobidex.csv
  bool userDatabase;          // the user has a mobidex.csv of their own
  // Expected: the maker in the database loaded, and where things are below the test's folder.
  const char* maker;
  std::string database;
  std::string cacheFolder;
  std::string reportFolder;
};

void PrintTo(const Where& where, std::ostream* out) {
  *out << where.name;
}

class LocationsTest : public ::testing::TestWithParam<Where> {
 protected:
  fs::path In(const std::string& relative) const { return root.path() / relative; }
  void PressReturnOn(const std::string& imei) {
    auto* text1 = window->findChild<QLineEdit*>("Text1");
    text1->selectAll();
    QTest::keyClicks(text1, QString::fromStdString(imei));
    QTest::keyClick(text1, Qt::Key_Return);
  }
  std::string Manufacturer() const {
    return window->findChild<QLabel*>("Label13")->text().toStdString();
  }

  test::TempFolder root;
  std::optional<QtPlatform> platform;
  std::optional<Form1> form;
  std::optional<MainWindow> window;
  std::vector<std::string> boxes;
  test::BoxAnswerer answerer_{boxes};
};

TEST_P(LocationsTest, TheDatabaseReportsAndVersionFilesAreWhereTheUserCanReachThem) {
  // As "nobody" in group sudo: an administrator without root's licence to write anywhere.
  if (test::RerunUnprivileged(true)) return;
  const Where& where = GetParam();
  const fs::path program = In(where.programFolder);
  fs::create_directories(program);
  root.Write("usr/share/vettrix/mobidex.csv", Database("Shipped"));
  if (where.besideDatabase) root.Write(where.programFolder + "/mobidex.csv", Database("Beside"));
  if (where.userDatabase) root.Write("home/data/vettrix/mobidex.csv", Database("User"));
  root.Write("home/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  if (where.readOnly) fs::permissions(program, fs::perms::owner_write, fs::perm_options::remove);
  // Left set: as root the test runs in a process of its own, and ctest runs each test alone.
  for (const auto& [name, folder] : {std::pair{"HOME", "home"},
                                     {"XDG_DATA_HOME", "home/data"},
                                     {"XDG_CACHE_HOME", "home/cache"},
                                     {"XDG_CONFIG_HOME", "home/config"}})
    ::setenv(name, In(folder).c_str(), 1);

  // No installed data folder here: the shipped copy is found beside the program's bin folder.
  platform.emplace(program.string(), In("nowhere").string());
  form.emplace(*platform);
  form->Scriptlet1.url.clear();
  window.emplace(*form);
  platform->SetWindow(&*window);
  Form_Load(*form);
  platform->ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&*window));
  ASSERT_TRUE(boxes.empty()) << boxes.front();

  // The loaded database answers the lookup, and an edit of it reaches the next one.
  PressReturnOn("350000011234560");
  EXPECT_EQ(Manufacturer(), std::string("Manufacturer: ") + where.maker);
  root.Write(where.database, Database("Edited"));
  PressReturnOn("350000011234560");
  EXPECT_EQ(Manufacturer(), "Manufacturer: Edited");

  // A copy whose database vanishes keeps writing where it did.
  if (!where.readOnly) fs::remove(In(where.database));
  form->Combo1.text = "Samsung Galaxy S8";
  form->Combo2.text = "10";
  QTest::mouseClick(window->findChild<QPushButton*>("Command2"), Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 1u);
  const std::string shownFolder = DisplayText(In(where.reportFolder).string()) + "/Vettrix.v";
  const std::size_t at = boxes[0].find(" Output written to ");
  ASSERT_NE(at, std::string::npos) << boxes[0];
  const std::string shown = boxes[0].substr(at + 19);
  ASSERT_EQ(shown.substr(0, shownFolder.size()), shownFolder);
  EXPECT_NE(root.Read(where.reportFolder + shown.substr(shown.rfind('/')))
                .find("Mobile Device Type: Samsung Galaxy S8"),
            std::string::npos);

  test::TestHttpServer server;
  server.Serve("/ver", "200 OK", "21326\r\n");
  server.Serve("/dbver", "200 OK", "261206\r\n");
  CheckUpdate(*form, server.Url(""));
  CheckUpdateDB(*form, server.Url(""));
  EXPECT_EQ(root.Read(where.cacheFolder + "/update.dat"), "21326\r\n");
  EXPECT_EQ(root.Read(where.cacheFolder + "/db.dat"), "261206\r\n");
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].rfind("You have the latest version.", 0), 0u) << boxes[1];

  // An installed program leaves its own folder as it found it.
  if (where.readOnly) {
    EXPECT_EQ(std::distance(fs::directory_iterator(program), {}), where.besideDatabase ? 1 : 0);
  }
}

// 0xE4 and 0xFC, as an old Latin-1 archive names a folder, are not valid UTF-8.
INSTANTIATE_TEST_SUITE_P(
    Installed, LocationsTest,
    ::testing::Values(Where{"UserDatabase", "usr/bin", true, false, true, "User",
                            "home/data/vettrix/mobidex.csv", "home/cache/vettrix", "home/Papers"},
                      Where{"ShippedDatabase", "usr/bin", true, false, false, "Shipped",
                            "usr/share/vettrix/mobidex.csv", "home/cache/vettrix", "home/Papers"},
                      // A read-only copy, say on a locked USB stick, reads the database beside it.
                      Where{"ReadOnlyCopy", "media/stick", true, true, false, "Beside",
                            "media/stick/mobidex.csv", "home/cache/vettrix", "home/Papers"},
                      Where{"WritableFolderNamedInLatin1", "Ger\xE4te/M\xFCll", false, true, true,
                            "Beside", "Ger\xE4te/M\xFCll/mobidex.csv", "Ger\xE4te/M\xFCll",
                            "Ger\xE4te/M\xFCll"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vettrix
