// vettrix-cli: checks, generates, looks up and completes IMEIs from files and pipes, by the
// window's own rules.

#include <CLI/CLI.hpp>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>

#include "cli/Commands.h"

namespace {

int Main(int argc, char** argv) {
  using namespace vettrix::cli;
  // A reader that goes away (`| head`) ends the output through EPIPE, quietly.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{
      "Checks, generates, looks up and completes IMEIs, by the rules of the Vettrix window.",
      "vettrix-cli"};
  app.set_version_flag("--version", "vettrix-cli " VETTRIX_VERSION);
  app.require_subcommand(1);
  std::string database;
  app.add_option("--db", database, "Device database (default: the one the window loads)")
      ->type_name("FILE");

  const std::map<std::string, Format> formats = {
      {"tsv", Format::Tsv}, {"csv", Format::Csv}, {"json", Format::Json}, {"jsonl", Format::Jsonl}};
  auto addFormat = [&](CLI::App* command, Format& format) {
    command->add_option("--format", format, "Output format: tsv (default), csv, json or jsonl")
        ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case))
        ->type_name("FORMAT");
  };

  CheckOptions check;
  CLI::App* checkCommand = app.add_subcommand(
      "check", "Check one IMEI per line of each FILE (standard input: none or -)");
  checkCommand->add_option("files", check.files, "Files to read")->type_name("FILE");
  checkCommand
      ->add_option("--column", check.column,
                   "Read this column of a CSV/TSV file: a number from 1, or a name in "
                   "the header line")
      ->type_name("N|NAME");
  checkCommand
      ->add_option("--delimiter", check.delimiter,
                   "Field delimiter of --column: one character, or tab (default: , or "
                   "tab when the first line has tabs and no comma)")
      ->type_name("CHAR");
  checkCommand->add_flag("--header", check.header, "The first line is a header line: skip it");
  addFormat(checkCommand, check.format);
  checkCommand->add_option("--only", check.only, "Write only valid or only invalid records")
      ->check(CLI::IsMember({"valid", "invalid"}));
  checkCommand->add_flag("--summary", check.summary, "Print counts to standard error");
  checkCommand->fallthrough();

  GenerateOptions generate;
  CLI::App* generateCommand = app.add_subcommand("generate", "Generate valid IMEIs, one per line");
  generateCommand->add_option("-n,--count", generate.count, "How many (default 1)");
  auto* type = generateCommand
                   ->add_option("--type", generate.type,
                                "A device type of the catalogue or the database, as "
                                "the window's device-type list names it")
                   ->type_name("NAME");
  auto* tac = generateCommand->add_option("--tac", generate.tac, "A TAC (the window's Custom)");
  auto* rbi = generateCommand->add_option("--rbi", generate.rbi, "A reporting body's two digits")
                  ->type_name("NN");
  auto* random = generateCommand->add_flag("--random", generate.random, "Fully random IMEIs");
  type->excludes(tac, rbi, random);
  tac->excludes(rbi, random);
  rbi->excludes(random);
  generateCommand->add_option("--seed", generate.seed, "Seed for a reproducible list")
      ->type_name("S");
  generateCommand->add_flag("--distinct", generate.distinct, "Never the same IMEI twice");
  generateCommand->fallthrough();

  std::vector<std::string> keys;
  Format lookupFormat = Format::Tsv;
  CLI::App* lookupCommand =
      app.add_subcommand("lookup", "Name the device of each TAC or IMEI from the database");
  lookupCommand->add_option("keys", keys, "TACs or IMEIs")->required()->type_name("TAC|IMEI");
  addFormat(lookupCommand, lookupFormat);
  lookupCommand->fallthrough();

  std::vector<std::string> bodies;
  Format completeFormat = Format::Tsv;
  CLI::App* completeCommand =
      app.add_subcommand("complete", "Give the check digit that completes each 14-digit body");
  completeCommand->add_option("bodies", bodies, "14-digit bodies")->required()->type_name("DIGITS");
  addFormat(completeCommand, completeFormat);

  try {
    app.parse(argc, argv);
    if (check.delimiter == "tab" || check.delimiter == "\\t") check.delimiter = "\t";
    if (check.delimiter.size() > 1)
      throw CLI::ValidationError("--delimiter", "one character, or tab");
    if (!check.column.empty() &&
        check.column.find_first_not_of("0123456789") == std::string::npos) {
      std::uint64_t n = 0;
      const char* end = check.column.data() + check.column.size();
      if (std::from_chars(check.column.data(), end, n).ptr != end || n == 0 || n > 1'000'000)
        throw CLI::ValidationError("--column", "columns are counted from 1 to 1000000");
    }
    if (generateCommand->parsed() &&
        type->count() + tac->count() + rbi->count() + random->count() != 1)
      throw CLI::ValidationError("generate", "give exactly one of --type, --tac, --rbi, --random");
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kFailed;
  }
  if (database.empty()) database = DefaultDatabase();

  if (checkCommand->parsed()) {
    if (check.files.empty()) check.files = {"-"};
    check.database = database;
    return RunCheck(check);
  }
  if (generateCommand->parsed()) {
    generate.database = database;
    return RunGenerate(generate);
  }
  if (lookupCommand->parsed()) return RunLookup(keys, lookupFormat, database);
  return RunComplete(bodies, completeFormat);
}

}  // namespace

int main(int argc, char** argv) {
  // Memory running out, or any other failure no command expects, is an error like any other.
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vettrix-cli: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vettrix-cli: unexpected failure\n");
  }
  return vettrix::cli::kFailed;
}
