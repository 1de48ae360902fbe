// vettrix_compare: the Vettrix side of bench/compare.sh. It makes the shared inputs and times
// Vettrix's validator and generators on them. Every timed operation prints one JSON line:
//   {"tool": ..., "operation": ..., "items": ..., "passes": ..., "seconds": ..., "per_second": ...}
// where `seconds` is the median time of one pass over all items.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Every tool in the comparison repeats its loop this way and reports the median pass, so a
// fast loop is not timed on a single short pass and a slow one is not run for minutes.
constexpr int kMinPasses = 3;
constexpr int kMaxPasses = 1000;
constexpr double kMinSeconds = 1.5;

// The TAC GetIMEIwTAC is timed on: the first TAC the catalogue gives "Samsung Galaxy S8".
constexpr std::string_view kTAC = "35524508";

int Usage() {
  std::cerr << "usage: vettrix_compare inputs COUNT SEED FILE\n"
               "       vettrix_compare verdict|validate INPUTS VERDICTS\n"
               "       vettrix_compare random|tac COUNT OUTPUT\n"
               "       vettrix_compare database LINES FOLDER\n"
               "       vettrix_compare lines COUNT SEED DATABASE FILE\n";
  return 2;
}

// Runs `pass` until the pass count and time limits are met; returns the median pass time.
double MedianPass(const std::function<void()>& pass, int& passes) {
  std::vector<double> times;
  double total = 0;
  while (static_cast<int>(times.size()) < kMaxPasses &&
         (static_cast<int>(times.size()) < kMinPasses || total < kMinSeconds)) {
    const auto start = Clock::now();
    pass();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    total += times.back();
  }
  passes = static_cast<int>(times.size());
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void Report(const char* operation, std::size_t items, int passes, double seconds,
            const std::string& extra = {}) {
  std::printf(
      "{\"tool\": \"Vettrix\", \"operation\": \"%s\", \"items\": %zu, \"passes\": %d, "
      "\"seconds\": %.9f, \"per_second\": %.1f%s}\n",
      operation, items, passes, seconds, static_cast<double>(items) / seconds, extra.c_str());
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
}

void WriteVerdicts(const std::string& path, const std::vector<char>& verdicts) {
  std::ofstream out(path, std::ios::binary);
  for (const char v : verdicts) out << (v ? '1' : '0') << '\n';
}

// COUNT 15-digit strings from a fixed seed: fifteen zeros first (the one input on which Vettrix
// and python-stdnum are known to differ), then 14 random digits each followed by the right check
// digit or, as often, a wrong one.
int MakeInputs(std::size_t count, std::uint64_t seed, const std::string& path) {
  std::mt19937_64 random(seed);
  std::vector<std::string> inputs;
  inputs.reserve(count);
  if (count > 0) inputs.emplace_back(15, '0');
  while (inputs.size() < count) {
    std::string imei(15, '0');
    int sum = 0;
    for (int i = 0; i < 14; ++i) {
      const int digit = static_cast<int>(random() % 10);
      imei[static_cast<std::size_t>(i)] = static_cast<char>('0' + digit);
      // Every second digit, counted from the left, is doubled and its digits added.
      const int weighted = i % 2 == 1 ? (2 * digit > 9 ? 2 * digit - 9 : 2 * digit) : digit;
      sum += weighted;
    }
    int check = (10 - sum % 10) % 10;
    if (random() % 2 == 0) check = (check + 1 + static_cast<int>(random() % 9)) % 10;
    imei[14] = static_cast<char>('0' + check);
    inputs.push_back(std::move(imei));
  }
  WriteLines(path, inputs);
  return 0;
}

// COUNT lines for vettrix-cli: a TAC of DATABASE (its lines whose TAC is 8 digits), six random
// digits and the right check digit on every second line, a wrong one on the others.
int MakeLines(std::size_t count, std::uint64_t seed, const std::string& database,
              const std::string& path) {
  std::vector<std::string> tacs;
  for (const std::string& line : ReadLines(database)) {
    const std::string tac = line.substr(0, 8);
    if (tac.size() == 8 && tac.find_first_not_of("0123456789") == std::string::npos &&
        line.size() > 8 && line[8] == ',')
      tacs.push_back(tac);
  }
  if (tacs.empty()) return 1;
  std::mt19937_64 random(seed);
  std::ofstream out(path, std::ios::binary);
  std::string chunk;
  for (std::size_t n = 0; n < count; ++n) {
    std::string imei = tacs[random() % tacs.size()];
    for (int i = 0; i < 6; ++i) imei += static_cast<char>('0' + random() % 10);
    int sum = 0;
    for (int i = 0; i < 14; ++i) {
      const int digit = imei[static_cast<std::size_t>(i)] - '0';
      sum += i % 2 == 1 ? (2 * digit > 9 ? 2 * digit - 9 : 2 * digit) : digit;
    }
    int check = (10 - sum % 10) % 10;
    if (n % 2 == 1) check = (check + 1 + static_cast<int>(random() % 9)) % 10;
    chunk += imei;
    chunk += static_cast<char>('0' + check);
    chunk += '\n';
    if (chunk.size() > (1 << 20)) out << chunk, chunk.clear();
  }
  out << chunk;
  return out ? 0 : 1;
}

// The verdict alone: IsValidIMEI (trim, normalise, check) on each input.
int TimeVerdict(const std::string& inputPath, const std::string& verdictPath) {
  const std::vector<std::string> inputs = ReadLines(inputPath);
  std::vector<char> verdicts(inputs.size());
  int passes = 0;
  const double seconds = MedianPass(
      [&] {
        for (std::size_t i = 0; i < inputs.size(); ++i) verdicts[i] = IsValidIMEI(inputs[i]);
      },
      passes);
  WriteVerdicts(verdictPath, verdicts);
  Report("validate: verdict (IsValidIMEI)", inputs.size(), passes, seconds);
  return 0;
}

// The program's full check on the headless window over the shipped database: every result
// field written, the valid ones counted, listed and looked up.
int TimeValidate(const std::string& inputPath, const std::string& verdictPath) {
  const std::vector<std::string> inputs = ReadLines(inputPath);
  const auto folder = ShippedDatabaseFolder();
  HeadlessApp app(folder->str());
  Form1& form = app.form;
  std::vector<char> verdicts(inputs.size());
  int passes = 0;
  const double seconds = MedianPass(
      [&] {
        form.ValidList.clear();
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          form.CurrentIMEI = inputs[i];
          verdicts[i] = ValidateIMEI(form, form.CurrentIMEI);
        }
      },
      passes);
  WriteVerdicts(verdictPath, verdicts);
  Report("validate: full ValidateIMEI (headless window)", inputs.size(), passes, seconds);
  return 0;
}

// COUNT valid IMEIs per pass from GetRandomIMEI or GetIMEIwTAC on the headless window, every
// field and the rate meter kept current as in a Generate run.
int TimeGeneration(bool onTAC, std::size_t count, const std::string& outputPath) {
  const auto folder = ShippedDatabaseFolder();
  HeadlessApp app(folder->str());
  Form1& form = app.form;
  form.StartTick = form.LastTick = app.platform.TickCount();
  std::vector<std::string> made(count);
  bool gaveUp = false;
  int passes = 0;
  const double seconds = MedianPass(
      [&] {
        form.ValidList.clear();
        for (std::size_t i = 0; i < count; ++i) {
          if (onTAC) {
            gaveUp |= !GetIMEIwTAC(form, kTAC);
            made[i] = form.FoundIMEI;
          } else {
            made[i] = GetRandomIMEI(form);
          }
        }
      },
      passes);
  if (gaveUp) {
    std::cerr << "GetIMEIwTAC gave up on " << kTAC << "\n";
    return 1;
  }
  WriteLines(outputPath, made);
  const double candidates = static_cast<double>(form.GeneratedCount) /
                            (static_cast<double>(count) * static_cast<double>(passes));
  char extra[64];
  std::snprintf(extra, sizeof extra, ", \"candidates_per_valid\": %.2f", candidates);
  Report(onTAC ? "generate: GetIMEIwTAC (trial)" : "generate: GetRandomIMEI (trial)", count, passes,
         seconds, extra);
  return 0;
}

// A program folder's mobidex.csv of LINES lines, written as the benchmarks' BenchFolder does.
int MakeDatabase(int lines, const std::string& folder) {
  std::filesystem::create_directories(folder);
  std::ofstream out(std::filesystem::path(folder) / "mobidex.csv", std::ios::binary);
  for (int k = 1; k < lines; ++k) {
    out << (10000000 + (k * 7919) % 89999999) << ",Maker " << k << ",Model " << k
        << ",extra field\r\n";
  }
  out << "00000000,v0.99.0000,Generated\r\n";
  return out ? 0 : 1;
}

}  // namespace
}  // namespace vettrix::bench

int main(int argc, char* argv[]) {
  using namespace vettrix::bench;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "inputs")
    return MakeInputs(std::stoul(args[1]), std::stoull(args[2]), args[3]);
  if (args.size() == 5 && args[0] == "lines")
    return MakeLines(std::stoul(args[1]), std::stoull(args[2]), args[3], args[4]);
  if (args.size() != 3) return Usage();
  if (args[0] == "verdict") return TimeVerdict(args[1], args[2]);
  if (args[0] == "validate") return TimeValidate(args[1], args[2]);
  if (args[0] == "random") return TimeGeneration(false, std::stoul(args[1]), args[2]);
  if (args[0] == "tac") return TimeGeneration(true, std::stoul(args[1]), args[2]);
  if (args[0] == "database") return MakeDatabase(std::stoi(args[1]), args[2]);
  return Usage();
}
