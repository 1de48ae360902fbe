#include "core/FakePlatform.h"

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
  db += "00000000," + version + ",Version\r\n";
  return db;
}

}  // namespace vettrix::test
