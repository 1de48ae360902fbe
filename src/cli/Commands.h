#pragma once

// The subcommands of vettrix-cli, each returning the program's exit status: 0 all well, 1 some
// input invalid or not found, 2 a usage, input or output error.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/Output.h"
#include "seam/Hashing.h"
#include "seam/Network.h"

namespace vettrix::cli {

// The records it writes are the service's too.
using records::Format;
using records::Output;

inline constexpr int kAllValid = 0, kSomeInvalid = 1, kFailed = 2;

// The database the window would load: beside a writable program, else the user's, else the
// shipped one.
std::string DefaultDatabase();

// Where an installed database update goes by default: the user's own database.
std::string DefaultUserDatabase();

// Writes "vettrix-cli: " and `message` to standard error, or onto the end of `into`.
void Complain(const std::string& message, std::string* into = nullptr);

// The exit status after standard output `out` ended: a closed pipe ends quietly with the status
// so far.
int Finish(Output& out, int status);

struct CheckOptions {
  std::vector<std::string> files;  // "-": standard input
  std::string column;              // a number from 1, or a name in the header line; "": the line
  std::string delimiter;           // "": "," unless the first line holds only tabs
  bool header = false;
  Format format = Format::Tsv;
  std::string only;  // "valid", "invalid" or ""
  bool summary = false;
  std::string database;
};
int RunCheck(const CheckOptions& options);

struct GenerateOptions {
  std::uint64_t count = 1;
  std::optional<std::string> type, tac, rbi;
  bool random = false;
  std::optional<std::uint64_t> seed;
  bool distinct = false;
  std::string database;
};
int RunGenerate(const GenerateOptions& options);

// The device types `generate --type` accepts, those containing `text` when given.
int RunTypes(const std::optional<std::string>& text, const std::string& database);
int RunLookup(const std::vector<std::string>& keys, Format format, const std::string& database);
struct UpdateDbOptions {
  std::string service;      // the web service's address
  std::string inUse;        // the database in use
  std::string target;       // where a newer one goes
  bool check = false;       // only tell whether there is one
  std::string addressNote;  // where the address came from, for a service not reached
};
// Installs the newer database the service publishes: 0 current afterwards, 1 (with check) one
// is available, 2 failed (nothing changed).
int RunUpdateDb(const UpdateDbOptions& options, Network& network, Hashing& hashing);

int RunComplete(const std::vector<std::string>& bodies, Format format);

}  // namespace vettrix::cli
