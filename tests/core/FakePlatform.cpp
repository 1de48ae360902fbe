#include "core/FakePlatform.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

namespace vettrix::test {

TempFolder::TempFolder() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("vettrix-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Tests may have made parts read-only; give write access back so everything can go.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec))
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void TempFolder::Write(const std::string& name, const std::string& contents) const {
  std::filesystem::create_directories((path_ / name).parent_path());
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string TempFolder::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string MakeDatabase(int deviceLines, const std::string& version) {
  std::string db;
  for (int k = 1; k <= deviceLines; ++k) {
    db += std::to_string(10000000 + k) + ",Maker " + std::to_string(k) + ",Model " +
          std::to_string(k) + "\r\n";
  }
  db += "VERSION_," + version + ",Version\r\n";
  return db;
}

bool RerunUnprivileged(bool administrator) {
  if (::geteuid() != 0) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  // A copy of this program in a folder anyone may enter: the build tree may lie below a home
  // folder that only root can open.
  const TempFolder copy;
  const auto program = copy.path() / "tests";
  std::filesystem::copy_file("/proc/self/exe", program);
  std::filesystem::permissions(copy.path(), std::filesystem::perms::all);
  const group* sudo = ::getgrnam("sudo");
  const std::string groups = administrator
                                 ? "--groups=" + std::to_string(sudo != nullptr ? sudo->gr_gid : 27)
                                 : "--clear-groups";
  const std::string command = "setpriv --reuid=65534 --regid=65534 " + groups + " " +
                              program.string() + " --gtest_filter='" + test->test_suite_name() +
                              "." + test->name() + "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
      output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  } else {
    ADD_FAILURE() << "could not start " << command;
  }
  EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
  return true;
}

}  // namespace vettrix::test
