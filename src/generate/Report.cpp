#include "generate/Report.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/DecimalValue.h"

namespace vettrix {

std::string ReportNumber(double value) {
  if (value == 0) return " 0";  // also -0
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string digits(buffer, result.ptr);
  if (const auto e = digits.find('e'); e != std::string::npos) digits[e] = 'E';
  std::string text = value < 0 ? "" : " ";
  if (digits.rfind("0.", 0) == 0) {
    digits.erase(0, 1);
  } else if (digits.rfind("-0.", 0) == 0) {
    digits.erase(1, 1);
  }
  text += digits;
  return text;
}

double LeadingNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  const std::size_t length = DecimalLength(text);
  return length == 0 ? 0 : DecimalValue(text.substr(0, length));
}

std::string ReportFileName(std::string_view versionText, const DateTime& when) {
  std::string name = "Vettrix.v";
  for (const char c : versionText) name += c == ' ' ? '.' : c;
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "-(%02d-%02d-%04d_%02d%02d%02d).txt", when.month, when.day,
                when.year, when.hour, when.minute, when.second);
  return name + stamp;
}

Result<std::string, WriteFailure> WriteNewFile(const std::string& folder,
                                               const std::string& fileName,
                                               std::string_view contents) {
  using Failed = Unexpected<WriteFailure>;
  namespace fs = std::filesystem;
  const fs::path dir(folder);
  const std::string stem = fileName.substr(0, fileName.size() - 4);  // without ".txt"
  const std::string wanted = folder + "/" + fileName;

  std::random_device random;
  const fs::path temp = dir / (".vettrix-" + std::to_string(random()) + ".tmp");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return Failed{{wanted, std::strerror(errno)}};
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.flush();
    const int writeErrno = errno;
    if (!out) {
      out.close();
      std::error_code ignored;
      fs::remove(temp, ignored);
      return Failed{{wanted, writeErrno ? std::strerror(writeErrno) : "write failed"}};
    }
    out.close();
    if (!out) {
      const int closeErrno = errno;
      std::error_code ignored;
      fs::remove(temp, ignored);
      return Failed{{wanted, closeErrno ? std::strerror(closeErrno) : "write failed"}};
    }
  }

  // A hard link fails when the name is taken, so an existing report is never replaced.
  for (int n = 1;; ++n) {
    std::string name = stem;
    if (n > 1) (name += '-') += std::to_string(n);
    name += ".txt";
    const fs::path target = dir / name;
    std::string path = folder;
    (path += '/') += name;
    std::error_code ec;
    fs::create_hard_link(temp, target, ec);
    if (!ec) {
      fs::remove(temp, ec);
      return path;
    }
    if (ec == std::errc::file_exists) continue;
    // File systems without hard links: rename, having checked that the name is free.
    if (!fs::exists(target, ec)) {
      fs::rename(temp, target, ec);
      if (!ec) return path;
    }
    std::error_code ignored;
    fs::remove(temp, ignored);
    return Failed{{path, ec.message()}};
  }
}

}  // namespace vettrix
