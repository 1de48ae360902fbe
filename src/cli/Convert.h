#pragma once

// `convert`: TAC data (Osmocom's CSV export, or the TAC file the GSMA gives licensed operators)
// into a device database the window and vettrix-cli read.

#include <string>
#include <vector>

namespace vettrix::cli {

enum class TacSource { Osmocom, Gsma };

// The share of the rows read, in percent, that may be skipped before a run fails.
inline constexpr double kMaxSkippedPercent = 1;

struct ConvertOptions {
  TacSource from = TacSource::Osmocom;
  std::vector<std::string> files;          // merged in this order: the first row of a TAC wins
  std::string version;                     // vX.YY.ZZZZ
  std::string output = "mobidex.csv";      // "-": standard output
  bool strict = false;                     // any skipped or duplicate row fails the run
  double maxSkipped = kMaxSkippedPercent;  // a larger share of rows skipped fails the run
};

// Writes the database, or nothing at all; the counts go to standard error.
int RunConvert(const ConvertOptions& options);

}  // namespace vettrix::cli
