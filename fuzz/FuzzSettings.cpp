// The settings files. vettrix.conf, the user's and the system's, read as the programs read them
// (QSettings for the value, the key scanner for the keys told of), and the address, the note
// and the messages made from them: the scanner lists every key of every file read, the one the
// value came from among them; the address used is always a web address, and every text a
// message box may show is text without control characters. And service.conf, read by
// vettrix-service's own command line (its main, run in this process on a command that touches
// nothing): accepted, or refused as a usage error with the program's message, the same each time.
//
// The first byte says which files exist (bits below); the rest is split at "\xFF\xFF" into the
// user's vettrix.conf, the system's and service.conf.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/Branding.h"
#include "app/Text.h"
#include "platform/locations/Locations.h"
#include "update/ServiceAddress.h"

// vettrix-service's main, built into this target under this name.
int VettrixServiceMain(int argc, char** argv);

namespace vettrix::fuzz {
namespace {

enum Bits : std::uint8_t { kUserFile = 1, kSystemFile = 2 };

// The folders the programs look in: the user's and the system's, through $XDG_CONFIG_HOME and
// $XDG_CONFIG_DIRS, each with its vettrix/ folder.
struct SettingsFolders {
  SettingsFolders() {
    const std::string root = MakeTempFolder();
    user = root + "/home";
    system = root + "/etc";
    for (const std::string& folder : {user, system}) {
      ::mkdir(folder.c_str(), 0700);
      ::mkdir((folder + "/vettrix").c_str(), 0700);
    }
    ::setenv("XDG_CONFIG_HOME", user.c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", system.c_str(), 1);
  }
  std::string user, system;
};

// Writes a settings file, or removes it. Each input's file has a time of its own: QSettings
// keeps a file it read until its time or size changes, and two inputs may come within the
// clock's tick.
void Put(const std::string& path, bool exists, std::string_view bytes, long stamp) {
  if (!exists) {
    ::unlink(path.c_str());
    return;
  }
  WriteFileOrDie(path, std::string(bytes));
  const timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool IsShowable(std::string_view text) {
  return IsValidUtf8(text) && !FirstControl(text);
}

// vettrix-service with the settings file `path` and a command that reads them and stops: its
// exit status and what it said on standard error. Both standard streams are caught in memory,
// the C library's and the C++ library's; a sanitizer's report still reaches the terminal.
int ServiceWithSettings(const std::string& path, const std::string& data, std::string& said) {
  std::string args[] = {"vettrix-service", "--config", path,     "--data", data,
                        "--store",         "",         "migrate"};
  char* argv[std::size(args)];
  for (std::size_t i = 0; i < std::size(args); ++i) argv[i] = args[i].data();
  char* errorText = nullptr;
  char* outputText = nullptr;
  std::size_t errorSize = 0, outputSize = 0;
  FILE* const standardError = stderr;
  FILE* const standardOutput = stdout;
  stderr = ::open_memstream(&errorText, &errorSize);
  stdout = ::open_memstream(&outputText, &outputSize);
  std::ostringstream errors, output;
  std::streambuf* const cerr = std::cerr.rdbuf(errors.rdbuf());
  std::streambuf* const cout = std::cout.rdbuf(output.rdbuf());
  const int status = VettrixServiceMain(static_cast<int>(std::size(args)), argv);
  std::cerr.rdbuf(cerr);
  std::cout.rdbuf(cout);
  std::fclose(stderr);
  std::fclose(stdout);
  stderr = standardError;
  stdout = standardOutput;
  said = errors.str() + std::string(errorText, errorSize);
  std::free(errorText);
  std::free(outputText);
  return status;
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  if (size == 0) return 0;
  static const SettingsFolders& folders = *new SettingsFolders;
  static long stamp = 1'000'000'000;
  ++stamp;
  const std::uint8_t bits = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view parts[3];
  for (std::size_t i = 0, at = 0; i < 3 && at <= rest.size(); ++i) {
    const std::size_t split = i < 2 ? rest.find("\xFF\xFF", at) : std::string_view::npos;
    parts[i] = rest.substr(at, split == std::string_view::npos ? split : split - at);
    at = split == std::string_view::npos ? rest.size() + 1 : split + 2;
  }
  const std::string_view userBytes = parts[0], systemBytes = parts[1];
  const std::string userFile = folders.user + "/vettrix/vettrix.conf";
  const std::string systemFile = folders.system + "/vettrix/vettrix.conf";
  Put(userFile, bits & kUserFile, userBytes, stamp);
  Put(systemFile, bits & kSystemFile, systemBytes, stamp);

  // The scanner alone: a key a line, in order (a key may hold any character its escapes give).
  const std::vector<SettingKey> userKeys = SettingKeysOf(userBytes, userFile);
  for (std::size_t k = 0; k < userKeys.size(); ++k)
    FUZZ_CHECK(userKeys[k].line >= 1 && (k == 0 || userKeys[k].line > userKeys[k - 1].line));

  const ServiceSetting setting = ReadServiceSetting();
  FUZZ_CHECK(setting.userFile == userFile);
  std::vector<SettingKey> keys;
  if (bits & kUserFile) keys = userKeys;
  if (bits & kSystemFile)
    for (SettingKey& key : SettingKeysOf(systemBytes, systemFile)) keys.push_back(std::move(key));
  FUZZ_CHECK(setting.keys.size() == keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k)
    FUZZ_CHECK(setting.keys[k].file == keys[k].file && setting.keys[k].line == keys[k].line &&
               setting.keys[k].key == keys[k].key);
  // The value came from a file whose keys name it: a setting the unknown keys do not tell of.
  if (!setting.source.empty()) {
    FUZZ_CHECK(setting.source == userFile || setting.source == systemFile);
    FUZZ_CHECK(std::any_of(keys.begin(), keys.end(), [&](const SettingKey& key) {
      return key.file == setting.source && key.key == "service-url";
    }));
  }

  const ServiceAddress address = ResolveServiceAddress(setting);
  FUZZ_CHECK(IsWebAddress(address.url));
  FUZZ_CHECK(address.problem.empty() == (setting.value.empty() || IsWebAddress(setting.value)));
  if (!address.problem.empty()) FUZZ_CHECK(address.url == kServiceUrl);
  FUZZ_CHECK(IsShowable(address.problem));
  FUZZ_CHECK(IsShowable(ServiceAddressNote(setting)));
  const std::vector<std::string> unknown = UnknownSettingKeys(setting);
  FUZZ_CHECK(unknown.size() <= 4);
  for (const std::string& message : unknown) FUZZ_CHECK(IsShowable(message));
  const auto named = static_cast<std::size_t>(std::count_if(
      keys.begin(), keys.end(), [](const SettingKey& key) { return key.key != "service-url"; }));
  FUZZ_CHECK(unknown.size() == std::min<std::size_t>(named, 3) + (named > 3 ? 1 : 0));

  const std::string serviceFile = folders.system + "/service.conf";
  WriteFileOrDie(serviceFile, std::string(parts[2]));
  std::string said;
  const int status = ServiceWithSettings(serviceFile, folders.system, said);
  FUZZ_CHECK(status == 0 || status == 2);
  // Refused with the program's message, which shows nothing the file held as it is (a
  // terminal's escape), but the line break that ends it.
  if (status == 2)
    FUZZ_CHECK(said.starts_with("vettrix-service: ") && said.ends_with('\n') &&
               IsShowable(std::string_view(said).substr(0, said.find('\n'))));
  std::string again;
  FUZZ_CHECK(ServiceWithSettings(serviceFile, folders.system, again) == status && again == said);
  return 0;
}
