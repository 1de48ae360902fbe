#pragma once

// `convert`: TAC data (Osmocom's CSV export, the TAC file the GSMA gives licensed operators, a
// Vettrix database or the service's listing of accepted suggestions) into a device database the
// window and vettrix-cli read.

#include <string>
#include <vector>

namespace vettrix::cli {

enum class TacSource { Osmocom, Gsma, Mobidex };

// Of the rows of one TAC, the one given later wins (an accepted correction after the export it
// corrects), or the one given first.
enum class Prefer { Later, Earlier };

// The share of the rows read, in percent, that may be skipped before a run fails.
inline constexpr double kMaxSkippedPercent = 1;

struct ConvertInput {
  std::string file;
  TacSource from = TacSource::Osmocom;
};

struct ConvertOptions {
  std::vector<ConvertInput> inputs;  // in the order given
  Prefer prefer = Prefer::Later;
  bool catalogue = true;                   // name the catalogue's TACs that no input gives
  std::string version;                     // vX.YY.ZZZZ
  std::string output = "mobidex.csv";      // "-": standard output
  bool strict = false;                     // any skipped or duplicate row fails the run
  double maxSkipped = kMaxSkippedPercent;  // a larger share of rows skipped fails the run
  std::string* messages = nullptr;         // the counts and complaints, else standard error
};

// Writes the database, or nothing at all; the counts go to standard error.
int RunConvert(const ConvertOptions& options);

}  // namespace vettrix::cli
