// vettrix-cli: checks, generates, looks up and completes IMEIs from files and pipes, by the
// window's own rules.

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "app/Branding.h"
#include "cli/Commands.h"
#include "cli/Convert.h"
#include "db/Database.h"
#include "platform/locations/Locations.h"
#include "platform/net/QtNetwork.h"
#include "update/ServiceAddress.h"

namespace {

using namespace vettrix::cli;

// A validator whose only text is its own message on a bad value: the help shows the option's
// type name, and an error reads as this program's, not as the parser library's.
CLI::Validator Checked(std::function<std::string(std::string&)> check) {
  return CLI::Validator(std::move(check), "");
}

// Accepts one of `names` in any letter case and hands its position on as the value.
CLI::Validator OneOf(std::vector<std::string> names, std::string what) {
  return Checked([names = std::move(names), what = std::move(what)](std::string& value) {
    std::string folded = value;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (folded == names[i]) {
        value = std::to_string(i);
        return std::string();
      }
    }
    std::string choices;
    for (std::size_t i = 0; i < names.size(); ++i)
      choices += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return "unknown " + what + " '" + value + "': use " + choices;
  });
}

// A whole number from `least` up, as digits.
CLI::Validator Count(std::uint64_t least) {
  return Checked([least](std::string& value) {
    std::uint64_t n = 0;
    const char* end = value.data() + value.size();
    const auto [ptr, error] = std::from_chars(value.data(), end, n);
    if (value.empty() || ptr != end || error != std::errc() || n < least)
      return "'" + value + "' is not a whole number from " + std::to_string(least) + " up";
    return std::string();
  });
}

// The parser's messages, in this program's words; validators above already give their own.
std::string FailureMessage(const CLI::App* app, const CLI::Error& e) {
  std::string message = e.what();
  if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
    // "--format: unknown format 'xml': ..." loses the name of the option or command, which the
    // rest of the message already gives.
    const std::size_t colon = message.find(": ");
    if (colon != std::string::npos && message.find('\'') > colon) message.erase(0, colon + 2);
  } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    message = message.substr(0, message.find(':')) + " needs a value";
  } else if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    message = "unexpected " + message.substr(message.find(": ") + 2);
  } else if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
             message.rfind("A subcommand", 0) == 0) {
    message = "give a command: check, generate, types, lookup, complete, convert or update-db";
  }
  std::string command = app->get_name();
  for (const CLI::App* sub = app; !sub->get_subcommands().empty();) {
    sub = sub->get_subcommands().front();
    command += " " + sub->get_name();
  }
  return "vettrix-cli: " + message + "\nTry '" + command + " --help' for more.\n";
}

int Main(int argc, char** argv) {
  // A reader that goes away (`| head`) ends the output through EPIPE, quietly.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{
      "Checks, generates, looks up and completes IMEIs, by the rules of the Vettrix window.",
      "vettrix-cli"};
  app.set_version_flag("--version", "vettrix-cli " + std::string(vettrix::kProgramVersion));
  app.require_subcommand(1);
  app.failure_message(FailureMessage);
  std::string database;
  app.add_option("--db", database, "Device database (default: the one the window loads)")
      ->type_name("FILE");
  std::string service;
  app.add_option("--service", service,
                 "The web service's address (default: service-url in vettrix.conf, else " +
                     std::string(vettrix::kServiceUrl) + ")")
      ->type_name("URL")
      ->check(Checked([](std::string& value) {
        return vettrix::IsWebAddress(value)
                   ? std::string()
                   : "'" + value + "' is not an http:// or https:// address";
      }));

  auto addFormat = [&](CLI::App* command, Format& format) {
    command->add_option("--format", format, "Output format (default tsv)")
        ->transform(OneOf({"tsv", "csv", "json", "jsonl"}, "format"))
        ->type_name("tsv|csv|json|jsonl");
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
  int only = -1;
  checkCommand->add_option("--only", only, "Write only valid or only invalid records")
      ->transform(OneOf({"valid", "invalid"}, "choice for --only"))
      ->type_name("valid|invalid");
  checkCommand->add_flag("--summary", check.summary, "Print counts to standard error");
  checkCommand->fallthrough();

  GenerateOptions generate;
  CLI::App* generateCommand = app.add_subcommand("generate", "Generate valid IMEIs, one per line");
  generateCommand->footer(
      "Give exactly one of --type, --tac, --rbi and --random: it says what the IMEIs begin with.");
  generateCommand->add_option("-n,--count", generate.count, "How many (default 1)")
      ->check(Count(0))
      ->type_name("N");
  auto* type = generateCommand
                   ->add_option("--type", generate.type,
                                "IMEIs of one device type: a name from 'vettrix-cli types', such "
                                "as \"Samsung Galaxy S8\" (letter case does not matter)")
                   ->type_name("NAME");
  auto* tac = generateCommand
                  ->add_option("--tac", generate.tac,
                               "IMEIs that begin with this type allocation code (TAC), the "
                               "first 8 digits of an IMEI")
                  ->type_name("TAC");
  auto* rbi = generateCommand
                  ->add_option("--rbi", generate.rbi,
                               "IMEIs of one reporting body: the first 2 digits of an IMEI, "
                               "such as 35 or 01")
                  ->type_name("NN");
  auto* random = generateCommand->add_flag("--random", generate.random, "Fully random IMEIs");
  generateCommand
      ->add_option("--seed", generate.seed, "Seed for a list that comes out the same each time")
      ->check(Count(0))
      ->type_name("S");
  generateCommand->add_flag("--distinct", generate.distinct, "Never the same IMEI twice");
  generateCommand->fallthrough();

  std::optional<std::string> typeText;
  CLI::App* typesCommand = app.add_subcommand(
      "types", "List the device types generate --type takes, those containing TEXT when given");
  typesCommand->add_option("text", typeText, "Part of a name, in any letter case")
      ->type_name("TEXT");
  typesCommand->fallthrough();

  std::vector<std::string> keys;
  Format lookupFormat = Format::Tsv;
  CLI::App* lookupCommand =
      app.add_subcommand("lookup", "Name the device of each TAC or IMEI from the database");
  lookupCommand->add_option("keys", keys, "TACs or IMEIs")->type_name("TAC|IMEI");
  addFormat(lookupCommand, lookupFormat);
  lookupCommand->fallthrough();

  std::vector<std::string> bodies;
  Format completeFormat = Format::Tsv;
  CLI::App* completeCommand =
      app.add_subcommand("complete", "Give the check digit that completes each 14-digit body");
  completeCommand->add_option("bodies", bodies, "14-digit bodies")->type_name("DIGITS");
  addFormat(completeCommand, completeFormat);

  ConvertOptions convert;
  CLI::App* convertCommand = app.add_subcommand(
      "convert", "Build a device database from TAC data: one line per TAC, sorted by TAC");
  convertCommand->footer(
      "Each --from gives the format of the files after it (files before the first take the "
      "first's). Of the rows of one TAC the later wins: the export first, then what corrects "
      "it.");
  std::vector<TacSource> formats;
  auto* from =
      convertCommand
          ->add_option("--from", formats,
                       "The format of the files after it: Osmocom's CSV export, the GSMA's TAC "
                       "file, or a Vettrix database (also the service's listing of suggestions)")
          ->expected(1)
          ->allow_extra_args(false)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->transform(OneOf({"osmocom", "gsma", "mobidex"}, "input format"))
          ->type_name("osmocom|gsma|mobidex");
  std::vector<std::string> files;
  auto* filesOption =
      convertCommand->add_option("files", files, "Files to merge, in order")->type_name("FILE");
  convertCommand
      ->add_option("--prefer", convert.prefer,
                   "Of the rows of one TAC, keep the one given later (default) or earlier")
      ->transform(OneOf({"later", "earlier"}, "choice for --prefer"))
      ->type_name("later|earlier");
  bool noCatalogue = false;
  convertCommand->add_flag("--no-catalogue", noCatalogue,
                           "Leave out the TACs of the built-in device catalogue that no input "
                           "names (by default they are added, so the lookup knows every TAC "
                           "generate draws)");
  auto* version =
      convertCommand
          ->add_option("--version", convert.version,
                       "The database's version, as the window shows it, such as v1.26.1206")
          ->check(Checked([](std::string& value) {
            return vettrix::IsVersionText(value) ? std::string()
                                                 : "'" + value +
                                                       "' is not a database version: use the form "
                                                       "vX.YY.ZZZZ, such as v1.26.1206";
          }))
          ->type_name("vX.YY.ZZZZ");
  convertCommand
      ->add_option("-o,--output", convert.output,
                   "The database to write (default mobidex.csv; - for standard output)")
      ->type_name("FILE");
  convertCommand->add_flag("--strict", convert.strict,
                           "Fail, writing nothing, when any row is skipped or repeats a TAC");
  convertCommand
      ->add_option("--max-skipped", convert.maxSkipped,
                   "Fail, writing nothing, when more than this share of the rows read is "
                   "skipped (default " +
                       std::to_string(static_cast<int>(kMaxSkippedPercent)) + "; 100 never fails)")
      ->check(Checked([](std::string& value) {
        double percent = -1;
        const char* end = value.data() + value.size();
        const auto [ptr, error] = std::from_chars(value.data(), end, percent);
        if (value.empty() || ptr != end || error != std::errc() || !(percent >= 0) || percent > 100)
          return "'" + value + "' is not a share in percent from 0 to 100";
        return std::string();
      }))
      ->type_name("PERCENT");

  UpdateDbOptions update;
  CLI::App* updateCommand = app.add_subcommand(
      "update-db", "Install the newer device database the web service publishes, if there is one");
  updateCommand->add_flag("--check", update.check,
                          "Only tell whether there is one (exit status 1 when there is)");
  updateCommand->footer(
      "Without --db it installs the database as the user's own "
      "($XDG_DATA_HOME/vettrix/mobidex.csv, or beside a program run from a folder it can "
      "write), which the window and vettrix-cli then load.");
  updateCommand->fallthrough();

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
      throw CLI::ValidationError("generate",
                                 "give exactly one of --type, --tac, --rbi and --random");
    if (lookupCommand->parsed() && keys.empty())
      throw CLI::ValidationError("lookup", "give one or more TACs or IMEIs");
    if (completeCommand->parsed() && bodies.empty())
      throw CLI::ValidationError("complete", "give one or more 14-digit bodies");
    if (convertCommand->parsed() && from->count() == 0)
      throw CLI::ValidationError("convert",
                                 "give the format of the inputs: --from osmocom|gsma|mobidex");
    if (convertCommand->parsed() && version->count() == 0)
      throw CLI::ValidationError("convert",
                                 "give the version of the database: --version vX.YY.ZZZZ");
    if (convertCommand->parsed() && files.empty())
      throw CLI::ValidationError("convert", "give one or more files to convert");
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kFailed;
  }
  if (only >= 0) check.only = only == 0 ? "valid" : "invalid";
  // Without --db an update goes to the user's own database, never over the shipped one.
  const std::string updateTarget = database.empty() ? DefaultUserDatabase() : database;
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
  if (typesCommand->parsed()) return RunTypes(typeText, database);
  if (updateCommand->parsed()) {
    update.service = service;
    if (update.service.empty()) {
      const vettrix::ServiceSetting setting = vettrix::ReadServiceSetting();
      for (const std::string& unknown : vettrix::UnknownSettingKeys(setting)) Complain(unknown);
      const vettrix::ServiceAddress address = vettrix::ResolveServiceAddress(setting);
      if (!address.problem.empty()) Complain(address.problem);
      update.service = address.url;
      update.addressNote = vettrix::ServiceAddressNote(setting, false);
    }
    update.inUse = database;
    update.target = updateTarget;
    QCoreApplication application(argc, argv);  // the network needs one
    vettrix::QtNetwork network;
    return RunUpdateDb(update, network, network);
  }
  if (lookupCommand->parsed()) return RunLookup(keys, lookupFormat, database);
  if (convertCommand->parsed()) {
    // A file takes the format of the last --from before it; files before any, the first's.
    std::size_t format = 0, file = 0, seen = 0;
    for (const CLI::Option* option : convertCommand->parse_order()) {
      if (option == from && seen++ > 0) ++format;
      if (option == filesOption) convert.inputs.push_back({files[file++], formats[format]});
    }
    convert.catalogue = !noCatalogue;
    return RunConvert(convert);
  }
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
