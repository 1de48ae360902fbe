#include "app/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace vettrix {

Result<void> ReplaceFile(const std::string& path, std::string_view bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // "out/" names a folder; rename would call it "not a directory".
  if (folder.size() == path.size()) return Fail(path + ": " + std::strerror(EISDIR));
  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return Fail(folder + ": " + ec.message());
  }
  const std::string temporary = folder + "." + path.substr(folder.size()) + ".";
  std::string name;
  std::random_device entropy;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    name = temporary + std::to_string(entropy());
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return Fail(path + ": " + std::strerror(errno));
  int error = 0;
  for (std::string_view rest = bytes; error == 0 && !rest.empty();) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
    } else {
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(name.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(name.c_str());
    return Fail(path + ": " + std::strerror(error));
  }
  // The rename lasts once the folder is synced; a folder that cannot be synced is no error.
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace vettrix
