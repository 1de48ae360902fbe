// convert's readers on arbitrary files: Osmocom exports, GSMA TAC files, and Vettrix databases
// or the service's listing of suggestions, one to four of them merged. Every row read is
// written or counted as skipped: the counts convert tells add up. A database written is one the
// window's reader loads, one line a TAC in order, and read back by convert itself (--from
// mobidex, --strict) it gives the same bytes.
//
// The first byte sets the options (bits below); the rest is split at "\xFF\xFF" into the input
// files, each beginning with the byte that picks its format.

#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/DeviceTable.h"
#include "cli/Convert.h"
#include "db/Database.h"
#include "db/Mobidex.h"

namespace vettrix::fuzz {
namespace {

enum Bits : std::uint8_t { kCatalogue = 1, kPreferEarlier = 2, kStrict = 4, kSkipAny = 8 };
constexpr std::string_view kVersion = "v1.26.1207";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The number after `label` in `text`, from the first line that has it; -1 when none does.
std::int64_t Count(std::string_view text, std::string_view label) {
  const std::size_t at = text.find(label);
  if (at == std::string_view::npos) return -1;
  return std::stoll(std::string(text.substr(at + label.size(), 20)));
}

// The counts convert told, checked against each other; the devices it says it wrote.
std::int64_t CheckCounts(const std::string& messages, std::size_t inputs, bool catalogue) {
  const std::int64_t read = Count(messages, "rows read: "),
                     skipped = Count(messages, "\nskipped: ");
  const std::int64_t duplicates = Count(messages, "\nduplicate TACs: ");
  FUZZ_CHECK(read >= 0 && skipped >= 0 && duplicates >= 0);
  // The reasons, one line each, between "skipped" and "duplicate TACs".
  std::int64_t reasons = 0;
  std::string_view rest = std::string_view(messages).substr(messages.find("\nskipped: ") + 1);
  rest = rest.substr(rest.find('\n') + 1);
  for (int i = 0; i < 7; ++i) {
    FUZZ_CHECK(rest.starts_with("  "));
    const std::size_t colon = rest.find(": ");
    reasons += std::stoll(std::string(rest.substr(colon + 2, 20)));
    rest = rest.substr(rest.find('\n') + 1);
  }
  FUZZ_CHECK(reasons == skipped);
  FUZZ_CHECK(rest.starts_with("duplicate TACs: "));
  rest = rest.substr(rest.find('\n') + 1);
  std::int64_t rows = 0, dropped = 0, kept = 0;
  for (std::size_t i = 0; i < inputs; ++i) {
    const std::size_t at = rest.find("): rows ");
    FUZZ_CHECK(at != std::string_view::npos && at < rest.find('\n'));
    std::int64_t r = 0, a = 0, p = 0, d = 0;
    FUZZ_CHECK(std::sscanf(std::string(rest.substr(at)).c_str(),
                           "): rows %" SCNd64 ", added %" SCNd64 ", replaced %" SCNd64
                           ", dropped %" SCNd64,
                           &r, &a, &p, &d) == 4);
    FUZZ_CHECK(r == a + p + d);
    rows += r, dropped += d, kept += a + p;
    rest = rest.substr(rest.find('\n') + 1);
  }
  FUZZ_CHECK(rows == read);
  FUZZ_CHECK(dropped == skipped + duplicates);
  if (catalogue) {
    FUZZ_CHECK(rest.starts_with("built-in catalogue: added "));
    kept += Count(rest, "built-in catalogue: added ");
  }
  return kept;
}

// The database written: the window's reader loads it whole, one line a TAC in order, the
// version asked for last.
void CheckDatabase(const std::string& path, std::int64_t devices) {
  DeviceTable table;
  const DeviceTable::ReadResult read = table.Load(path);
  FUZZ_CHECK(read && !read->truncated);
  FUZZ_CHECK(CheckDatabase(table));
  FUZZ_CHECK(table.LineCount() == devices + 1);
  for (int k = 2; k < table.LineCount(); ++k)
    FUZZ_CHECK(FieldOf(table.Line(k - 1), 0) < FieldOf(table.Line(k), 0));
  for (int k = 1; k < table.LineCount(); ++k) FUZZ_CHECK(table.FindTAC(table.Line(k)) == k);
  FUZZ_CHECK(VersionTextOf(table.Line(table.LineCount())) == kVersion);
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  if (size == 0) return 0;
  static const std::string folder = MakeTempFolder();
  const std::uint8_t bits = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  cli::ConvertOptions options;
  for (std::size_t i = 0; i < 4 && !rest.empty(); ++i) {
    const std::size_t at = rest.find("\xFF\xFF");
    const std::string_view part = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 2);
    if (part.empty()) continue;
    constexpr cli::TacSource kSources[] = {cli::TacSource::Osmocom, cli::TacSource::Gsma,
                                           cli::TacSource::Mobidex};
    const std::string file = folder + "/in" + std::to_string(i) + ".csv";
    WriteFileOrDie(file, std::string(part.substr(1)));
    options.inputs.push_back({file, kSources[static_cast<unsigned char>(part[0]) % 3]});
  }
  if (options.inputs.empty()) return 0;
  options.catalogue = (bits & kCatalogue) != 0;
  options.prefer = (bits & kPreferEarlier) ? cli::Prefer::Earlier : cli::Prefer::Later;
  options.strict = (bits & kStrict) != 0;
  options.maxSkipped = (bits & kSkipAny) ? 100 : cli::kMaxSkippedPercent;
  options.version = kVersion;
  options.output = folder + "/out.csv";
  ::unlink(options.output.c_str());
  std::string messages;
  options.messages = &messages;

  const int status = cli::RunConvert(options);
  const bool written = ::access(options.output.c_str(), F_OK) == 0;
  FUZZ_CHECK(written == (status == 0));
  FUZZ_CHECK(written == (messages.find("devices written: ") != std::string::npos));
  if (!written) FUZZ_CHECK(messages.find("vettrix-cli: ") != std::string::npos);
  if (messages.find("rows read: ") == std::string::npos) {
    FUZZ_CHECK(!written);  // an input that could not be read, or is not of its format
    return 0;
  }
  const std::int64_t devices = CheckCounts(messages, options.inputs.size(), options.catalogue);
  if (!written) return 0;
  FUZZ_CHECK(Count(messages, "devices written: ") == devices);
  CheckDatabase(options.output, devices);

  // Convert's own output, read back by convert: every row taken, the same bytes written.
  cli::ConvertOptions again;
  again.inputs.push_back({options.output, cli::TacSource::Mobidex});
  again.catalogue = false;
  again.strict = true;
  again.version = kVersion;
  again.output = folder + "/again.csv";
  std::string said;
  again.messages = &said;
  FUZZ_CHECK(cli::RunConvert(again) == 0);
  FUZZ_CHECK(ReadAll(again.output) == ReadAll(options.output));
  return 0;
}
