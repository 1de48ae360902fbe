#pragma once

// What the fuzz targets share: the tests' platform over a fresh temporary folder holding a small
// device database, so lookups read a real file, and inputs grown to a megabyte.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "core/FakePlatform.h"
#include "seam/Platform.h"

namespace vettrix::fuzz {

inline constexpr const char* kSmallDatabase =
    "49015420,Apple,iPhone 4\r\n"
    "35332305,Samsung,Galaxy S3\r\n"
    "35669908,Apple,iPhone 8\r\n"
    "12345678,Nokia,Shadow\r\n"
    "1234\r\n"
    "00000000,v0.99.0000,Version\r\n";

// Writes `contents` byte for byte into `path`; aborts when it cannot, since a target whose
// files do not exist would only test its own mistake.
inline void WriteFileOrDie(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

// A folder made once per process and left behind. In memory when the system has /dev/shm: a
// disk file system flushes a rewritten file on close, which would slow every run down.
inline std::string MakeTempFolder() {
  std::string pattern =
      ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/vettrix-fuzz-XXXXXX" : "/tmp/vettrix-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

// Inputs that start with this marker stand for the rest repeated to 1 MB (a paste, a database
// file), which the fuzzer itself would grow to only slowly. Only the inputs of fuzz/big, run
// with VETTRIX_FUZZ_BIG set, are expanded: while fuzzing, the fuzzer would find the marker at
// once and spend its time on megabytes.
inline constexpr std::string_view kBigMarker =
    "\xFF\xFE"
    "1MB:";

inline std::string ExpandBigInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kBigSize = 1 << 20;
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  static const bool expand = std::getenv("VETTRIX_FUZZ_BIG") != nullptr;
  if (!expand || !all.starts_with(kBigMarker)) return std::string(all);
  const std::string_view rest = all.substr(kBigMarker.size());
  if (rest.empty()) return {};
  std::string input;
  input.reserve(kBigSize);
  while (input.size() < kBigSize) input.append(rest.substr(0, kBigSize - input.size()));
  return input;
}

// The tests' recording platform over a fresh folder, with a clock that moves 3 ms a read, and
// downloads that deliver `body` (none when `body` is empty and !works).
struct FuzzPlatform : test::FakePlatform {
  explicit FuzzPlatform(std::string programFolder) {
    folder = std::move(programFolder);
    tickStep = 3;
    download = [this](std::string_view, const std::string& localFile) -> HttpResult {
      if (!downloadWorks) return HttpFailed("no network");
      WriteFileOrDie(localFile, downloadBody);
      return HttpAnswer{.body = downloadBody, .status = 200};
    };
  }
  std::string downloadBody;
  bool downloadWorks = true;
};

}  // namespace vettrix::fuzz
