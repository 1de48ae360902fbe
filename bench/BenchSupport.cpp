#include "BenchSupport.h"

#include <fstream>
#include <random>

#include "commands/Handlers.h"

namespace vettrix::bench {

namespace fs = std::filesystem;

BenchFolder::BenchFolder(int lines) {
  std::random_device rd;
  path_ = fs::temp_directory_path() / ("vettrix-bench-" + std::to_string(rd()));
  fs::create_directories(path_);
  if (lines < 0) return;
  std::ofstream out(path_ / "mobidex.csv", std::ios::binary);
  // Real-looking lines of about 40 bytes; TACs spread over the whole range.
  for (int k = 1; k < lines; ++k) {
    out << (10000000 + (k * 7919) % 89999999) << ",Maker " << k << ",Model " << k
        << ",extra field\r\n";
  }
  out << "00000000,v0.99.0000,Generated\r\n";
}

BenchFolder::~BenchFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::unique_ptr<BenchFolder> ShippedDatabaseFolder() {
  auto folder = std::make_unique<BenchFolder>(-1);
  fs::copy_file(fs::path(VETTRIX_SOURCE_DIR) / "data" / "mobidex.csv",
                fs::path(folder->str()) / "mobidex.csv");
  return folder;
}

HeadlessApp::HeadlessApp(const std::string& folder, WatchMode watchMode)
    : platform(folder, watchMode), form(platform) {
  Form_Load(form);
}

}  // namespace vettrix::bench
