// vettrix-service: the Mobidex web service (version files, the database, lookup pages, a JSON
// API and reviewed submissions), and the operator's commands, over the same core as the window.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "app/Branding.h"
#include "app/Text.h"
#include "records/Output.h"
#include "service/HttpServer.h"
#include "service/Listing.h"
#include "service/Log.h"
#include "service/Metrics.h"
#include "service/PgStore.h"
#include "service/Published.h"
#include "service/Service.h"
#include "service/SqliteStore.h"

namespace {

using namespace vettrix::service;
using vettrix::CloseName;
using vettrix::Fail;
using vettrix::Quoted;
using vettrix::Result;
namespace records = vettrix::records;

constexpr int kOk = 0, kRefused = 1, kUsage = 2;
constexpr const char* kConfig = "/etc/vettrix/service.conf";

void Complain(const std::string& message) {
  const std::string text = "vettrix-service: " + message + "\n";
  std::fputs(text.c_str(), stderr);
}

std::int64_t Now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// Whether this user may use the service's folder, or why not: run as its owner by root, the
// operator's commands can (ActAsOwnerOf). Under systemd's DynamicUser the folder lies behind
// /var/lib/private, which only root may enter, so it cannot even be looked at.
Result<void> OpenToThisUser(const std::string& folder, bool serving) {
  if (::geteuid() == 0) return {};
  struct stat st {};
  const bool seen = ::stat(folder.c_str(), &st) == 0;
  if (seen && (st.st_uid == ::geteuid() || ::access(folder.c_str(), R_OK | W_OK | X_OK) == 0))
    return {};
  if (errno != EACCES && errno != EPERM) return {};
  return Fail(folder + (serving
                            ? ": not open to this user: start the service as the user the folder "
                              "belongs to (see STARTING BY HAND in vettrix-service(1))"
                            : ": run as root (the service's folder belongs to its own user)"));
}

// Run by root on a store that belongs to the service's own user, a command works as that user,
// so that every file it makes stays the service's. It works from inside the folder: systemd's
// own users cannot pass /var/lib/private on the way to theirs. `folder` becomes ".".
bool ActAsOwnerOf(std::string& folder) {
  struct stat st {};
  if (::geteuid() != 0 || ::stat(folder.c_str(), &st) != 0 || st.st_uid == 0) return true;
  if (::chdir(folder.c_str()) != 0 || ::setgroups(0, nullptr) != 0 ||
      ::setresgid(st.st_gid, st.st_gid, st.st_gid) != 0 ||
      ::setresuid(st.st_uid, st.st_uid, st.st_uid) != 0) {
    Complain(folder + ": cannot act as its owner: " + std::strerror(errno));
    return false;
  }
  folder = ".";
  return true;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Complain(path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Complain(path + ": cannot be read");
    return std::nullopt;
  }
  return bytes;
}

struct Options {
  std::string data;
  std::string store, passwordFile;  // PostgreSQL instead of the folder
  std::string listen = "127.0.0.1:8080";
  std::string metricsListen;  // none, "main", or an address of its own
  std::string initialDatabase;
  Settings settings;
  ServerOptions server;
  std::vector<std::string> trustedProxies;
  double idleTimeout = 15, requestTimeout = 10, storeTimeout = 5;
};

// How long one operation on the store may take: what the service waits for is the setting; an
// operator's command, which may move a whole database over a slow link, waits a minute at least.
std::chrono::milliseconds StoreTimeout(const Options& options, bool serving) {
  const auto setting =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.storeTimeout * 1000));
  return serving ? setting : std::max<std::chrono::milliseconds>(setting, std::chrono::minutes(1));
}

// The PostgreSQL store's password: from its file, else libpq's own (empty).
std::string StorePassword(const Options& options) {
  if (HoldsPassword(options.store))
    throw StoreError(
        "the store's address holds a password: put it in a file (--store-password-file) or in "
        "PGPASSWORD instead");
  if (options.passwordFile.empty()) return {};
  const auto text = ReadFile(options.passwordFile);
  if (!text) throw StoreError("no password");
  return text->substr(0, text->find_first_of("\r\n"));
}

// The store the settings name: PostgreSQL, or SQLite and the file in the folder. One opened
// `forMigration` may hold an older schema.
std::unique_ptr<Store> OpenStore(const Options& options, bool serving, bool forMigration = false) {
  const auto timeout = StoreTimeout(options, serving);
  if (options.store.empty()) return std::make_unique<SqliteStore>(options.data, timeout);
  return std::make_unique<PgStore>(options.store, StorePassword(options), forMigration, timeout);
}

// Where the store is, for a message.
std::string StoreName(const Options& options) {
  return options.store.empty() ? options.data : "the PostgreSQL store";
}

// Runs an operator's command on the store; its failures are told as the store's.
int WithStore(Options options, const std::function<int(Store&)>& command) {
  const std::string name = StoreName(options);
  if (options.store.empty()) {
    if (const Result<void> open = OpenToThisUser(options.data, false); !open) {
      Complain(open.error());
      return kRefused;
    }
    if (!ActAsOwnerOf(options.data)) return kRefused;
  }
  try {
    const std::unique_ptr<Store> store = OpenStore(options, false);
    return command(*store);
  } catch (const StoreError& e) {
    Complain(name + ": " + e.what() +
             (e.OutcomeUnknown() ? "; it may have been done: look before doing it again" : ""));
    return kRefused;
  } catch (const std::exception& e) {
    Complain(name + ": " + e.what());
    return kRefused;
  }
}

// Whether a database is published; one that cannot be read is an error, not "none".
bool HasPublication(Store& store) {
  return store.Newer({}).has_value();
}

// The text of a listen setting checked: ADDRESS:PORT, or "main" where `main` allows it.
CLI::Validator ListenCheck(bool main) {
  return CLI::Validator(
      [main](std::string& value) -> std::string {
        if ((main && value == "main") || SplitHostPort(value)) return {};
        return "give ADDRESS:PORT, such as 127.0.0.1:8080, [::1]:8080 or localhost:8080" +
               std::string(main ? ", or main" : "");
      },
      "");
}

int RunServe(Options& options) {
  if (options.store.empty()) {
    if (const Result<void> open = OpenToThisUser(options.data, true); !open) {
      Complain(open.error());
      return kRefused;
    }
  }
  options.server.idleTimeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.idleTimeout * 1000));
  options.server.requestTimeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.requestTimeout * 1000));
  options.server.storeTimeout = StoreTimeout(options, true);
  for (const std::string& proxy : options.trustedProxies)
    options.server.trustedProxies.push_back(*ParseAddressRange(proxy));  // checked when read
  // Bound before anything else: an address that cannot serve is told before the store is
  // touched, and nothing claims to serve until it can.
  std::vector<Listener> listeners;
  Monitoring monitoring;
  try {
    const auto [host, port] = *SplitHostPort(options.listen);  // checked when read
    listeners = Listen(host, port);
    if (!options.metricsListen.empty() && options.metricsListen != "main") {
      const auto [metricsHost, metricsPort] = *SplitHostPort(options.metricsListen);
      monitoring.listeners = Listen(metricsHost, metricsPort);
    }
  } catch (const std::exception& e) {
    Complain(e.what());
    return kRefused;
  }
  // Kept when asked for, wherever they are served.
  const auto metrics =
      options.metricsListen.empty() ? nullptr : std::make_unique<Metrics>(Service::kRoutes);
  try {
    const std::unique_ptr<Store> opened = OpenStore(options, true);
    MonitoredStore store(*opened, metrics.get());
    if (!options.initialDatabase.empty() && !HasPublication(store)) {
      const auto bytes = ReadFile(options.initialDatabase);
      if (!bytes) return kRefused;
      const auto published = PublishDatabase(store, *bytes, false, Now());
      // Another instance may have published first; then that one serves.
      if (!published && !HasPublication(store)) {
        Complain(options.initialDatabase + ": " + published.error());
        return kRefused;
      }
      if (published) Log("published " + options.initialDatabase + " as the first database");
    }
    // Made after the store, so gone before it: it stops watching the store's publications first.
    Snapshots snapshots(store);
    // A publication, on any machine, is served within moments of its commit.
    constexpr auto kLook = std::chrono::seconds(1);
    snapshots.Watch(kLook);
    Service service(options.settings, store, snapshots, metrics.get());
    const auto published = snapshots.Current();
    Log("serving the database " + published->versionText + " (" +
        std::to_string(published->devices) + " devices) from " + StoreName(options));
    monitoring.metrics = metrics.get();
    monitoring.metricsOnMain = options.metricsListen == "main";
    // The snapshots look at the store every second; each look ends by the store's deadline.
    const auto fresh = kLook + options.server.storeTimeout + std::chrono::seconds(1);
    monitoring.ready = [&store, fresh] { return store.Ready(fresh); };
    monitoring.metricsText = [&](std::size_t connections) {
      return metrics->Text(*snapshots.Current(), Now(), connections);
    };
    Serve(options.server, service, std::move(listeners), std::move(monitoring));
    return kOk;
  } catch (const std::exception& e) {
    Complain(StoreName(options) + ": " + e.what() +
             (std::string(e.what()).starts_with("no published database")
                  ? "; publish one with: vettrix-service publish " +
                        (options.store.empty() ? "--data " + options.data : "--store URI") + " FILE"
                  : ""));
    return kRefused;
  }
}

int RunPublish(const Options& options, const std::string& file, bool force) {
  const auto bytes = ReadFile(file);
  if (!bytes) return kRefused;
  return WithStore(options, [&](Store& store) {
    const auto published = PublishDatabase(store, *bytes, force, Now());
    if (!published) {
      Complain(file + " was not published: " + published.error());
      return kRefused;
    }
    const Published& database = **published;
    std::printf("published %s (version number %s, %d devices) in %s\n",
                database.versionText.c_str(), database.versionNumber.c_str(), database.devices,
                StoreName(options).c_str());
    return kOk;
  });
}

int RunSubmissions(const Options& options, const std::string& statusName,
                   const std::string& format) {
  // The lines to merge are the accepted ones, unless asked for others.
  const std::string chosen = !statusName.empty()   ? statusName
                             : format == "mobidex" ? "accepted"
                                                   : "all";
  return WithStore(options, [&](Store& store) {
    const auto submissions = store.List(chosen == "all" ? std::nullopt : StatusNamed(chosen));
    records::Output out(1);
    WriteSubmissions(out, submissions, format);
    out.Flush();
    return out.Failed() ? kRefused : kOk;
  });
}

int RunReview(const Options& options, std::int64_t id, const std::string& decision) {
  return WithStore(options, [&](Store& store) {
    const Status status = decision == "accept" ? Status::Accepted : Status::Rejected;
    switch (store.Decide(id, status)) {
      case Store::Review::NotFound:
        Complain("there is no submission " + std::to_string(id));
        return kRefused;
      case Store::Review::AlreadyDecided:
        Complain("submission " + std::to_string(id) + " was decided already (" +
                 std::string(StatusName(store.Find(id)->status)) + ")");
        return kRefused;
      default:
        std::printf("submission %lld %s\n", static_cast<long long>(id),
                    std::string(StatusName(status)).c_str());
        return kOk;
    }
  });
}

int RunMigrate(const Options& options) {
  if (options.store.empty()) {
    std::printf("nothing to migrate: a store in a folder sets itself up\n");
    return kOk;
  }
  try {
    const int applied = OpenStore(options, false, true)->Migrate();
    std::printf("the schema is at version %d (%d migrations applied now)\n", SchemaVersion(),
                applied);
    return kOk;
  } catch (const std::exception& e) {
    Complain(StoreName(options) + ": " + e.what());
    return kRefused;
  }
}

// A validator that only speaks when a value is bad, in this program's words.
CLI::Validator OneOf(std::vector<std::string> names) {
  return CLI::Validator(
      [names = std::move(names)](std::string& value) {
        for (const std::string& name : names)
          if (value == name) return std::string();
        std::string choices;
        for (std::size_t i = 0; i < names.size(); ++i)
          choices += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
        return "'" + value + "' is none of " + choices;
      },
      "");
}

// A settings file that cannot be used: where and why.
struct SettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The settings of `path` ("key = value" lines; # or ; begins a comment line), each given to the
// option of the program's of that name, as if on the command line, unless it was given there.
// A key that names no option, a line of anything else, a key set twice (unless it may be given
// more than once) and a value the option refuses stop the program with the file, the line and
// the key; a key close to a known one is named ("did you mean trusted-proxy?"). The default
// file may be missing; a file named may not.
void ApplySettings(CLI::App& app, const std::string& path, bool named) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (!named && errno == ENOENT) return;
    throw SettingsError(path + ": " + std::strerror(errno));
  }
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options())
    for (const std::string& name : option->get_lnames())
      if (name != "help" && name != "version" && name != "config") names.push_back(name);
  const std::vector<std::string_view> known(names.begin(), names.end());
  std::set<const CLI::Option*> given;
  for (const CLI::Option* option : app.get_options())
    if (option->count() > 0) given.insert(option);
  std::map<const CLI::Option*, int> setOn;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const std::string where = path + " line " + std::to_string(number);
    const std::string_view line =
        Trimmed(text.ends_with('\r') ? std::string_view(text).substr(0, text.size() - 1)
                                     : std::string_view(text));
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
      throw SettingsError(where + ": " + Quoted(line, 60) + " is no key = value line");
    const std::string_view key = Trimmed(line.substr(0, equals));
    std::string value(Trimmed(line.substr(equals + 1)));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    CLI::Option* option = std::find(known.begin(), known.end(), key) == known.end()
                              ? nullptr
                              : app.get_option_no_throw("--" + std::string(key));
    if (option == nullptr) {
      const std::string_view close = CloseName(known, key);
      std::string all;
      for (const std::string_view name : known)
        all += (all.empty() ? "" : ", ") + std::string(name);
      throw SettingsError(where + ": unknown key " + Quoted(key, 60) +
                          (close.empty() ? " (the keys are " + all + ")"
                                         : " (did you mean " + std::string(close) + "?)"));
    }
    if (given.contains(option)) continue;  // the command line wins
    const auto [first, isFirst] = setOn.emplace(option, number);
    if (!isFirst && option->get_items_expected_max() <= 1)
      throw SettingsError(where + ": " + std::string(key) + " is set on line " +
                          std::to_string(first->second) + " already");
    try {
      option->add_result(value);
      option->run_callback();
    } catch (const CLI::Error& e) {
      // Its validator's words, without the option's name again. They may repeat the value: they
      // are shown as the value is, nothing that would not show as itself (a terminal's escape).
      std::string_view why = e.what();
      if (why.starts_with("--" + std::string(key) + ": ")) why.remove_prefix(key.size() + 4);
      const std::string shown = Quoted(why, why.size());
      throw SettingsError(where + ": " + std::string(key) + " = " + Quoted(value, 60) + ": " +
                          shown.substr(1, shown.size() - 2));
    }
  }
  if (in.bad()) throw SettingsError(path + ": cannot be read");
}

int Main(int argc, char** argv) {
  CLI::App app{"The Mobidex web service of Vettrix, and its operator's commands.",
               "vettrix-service"};
  app.set_version_flag("--version", "vettrix-service " + std::string(vettrix::kProgramVersion));
  app.require_subcommand(1);
  std::string config = kConfig;
  CLI::Option* configOption = app.add_option("--config", config,
                                             "Settings file of key = value lines (default " +
                                                 std::string(kConfig) + "); options given win")
                                  ->type_name("FILE");
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "vettrix-service: " + std::string(e.what()) +
           "\nTry 'vettrix-service --help' for more.\n";
  });
  Options options;
  app.add_option("--data", options.data,
                 "Folder of the published database (mobidex.csv) and the submissions")
      ->type_name("DIR")
      ->check(CLI::Validator(
          [](std::string& folder) -> std::string {
            struct stat st {};
            // One this user may not look into is told of where it is used.
            if (::stat(folder.c_str(), &st) != 0 ? errno != EACCES : !S_ISDIR(st.st_mode))
              return folder + " is no folder";
            return {};
          },
          ""));
  app.add_option("--store", options.store,
                 "Keep the submissions and the published database in PostgreSQL "
                 "(postgresql://USER@HOST/DB), shared by several instances, instead of --data")
      ->type_name("URI");
  app.add_option("--store-password-file", options.passwordFile,
                 "The store's password, from this file (else PGPASSWORD or ~/.pgpass)")
      ->type_name("FILE");
  app.add_option("--listen", options.listen,
                 "Address (or host name, resolved once) and port to serve on (default " +
                     options.listen + ")")
      ->type_name("ADDR:PORT")
      ->check(ListenCheck(false));
  app.add_option("--metrics-listen", options.metricsListen,
                 "Serve Prometheus metrics at /metrics, and the health checks, on this address "
                 "of their own (such as 127.0.0.1:9464), or on --listen's with main; default: "
                 "no metrics")
      ->type_name("ADDR:PORT|main")
      ->check(ListenCheck(true));
  app.add_option(
         "--program-version", options.settings.programVersion,
         "The program version /ver publishes (default " + options.settings.programVersion + ")")
      ->type_name("N")
      ->check(CLI::Range(-32768, 32767));
  app.add_option("--submissions-per-hour", options.settings.submissionsPerHour,
                 "Submissions one client address may send within an hour (default 20)")
      ->type_name("N")
      ->check(CLI::Range(1, 1'000'000));
  app.add_option("--initial-database", options.initialDatabase,
                 "Publish FILE first when the folder holds no database yet")
      ->type_name("FILE");
  app.add_option("--threads", options.server.threads, "Threads that serve (default 2)")
      ->type_name("N")
      ->check(CLI::Range(1, 256));
  app.add_option("--max-connections", options.server.maxConnections,
                 "Open connections at most; more are told to come back (default 1024)")
      ->type_name("N")
      ->check(CLI::Range(1, 1'000'000));
  app.add_option("--idle-timeout", options.idleTimeout,
                 "Seconds a kept-alive connection may wait for its next request (default 15)")
      ->type_name("S")
      ->check(CLI::Range(0.1, 3600.0));
  app.add_option("--request-timeout", options.requestTimeout,
                 "Seconds from a request's first byte to its last (default 10)")
      ->type_name("S")
      ->check(CLI::Range(0.1, 3600.0));
  app.add_option("--trusted-proxy", options.trustedProxies,
                 "Address, or range of addresses (10.0.0.0/24), of a proxy in front (nginx) "
                 "whose X-Forwarded-For names the client")
      ->type_name("ADDR[/BITS]")
      ->check(CLI::Validator(
          [](std::string& proxy) -> std::string {
            if (ParseAddressRange(proxy)) return {};
            return "give an address or a range of them, such as 10.0.0.5, 10.0.0.0/24 or "
                   "fd00::/8";
          },
          ""));
  app.add_option("--store-timeout", options.storeTimeout,
                 "Seconds one operation on the store may take before it fails (default 5)")
      ->type_name("S")
      ->check(CLI::Range(0.5, 600.0));

  CLI::App* serve = app.add_subcommand("serve", "Serve the published database and the pages");
  serve->fallthrough();

  std::string file;
  bool force = false;
  CLI::App* publish = app.add_subcommand(
      "publish", "Publish FILE as the database; a running service serves it at once");
  publish->add_option("file", file, "The new database")->required()->type_name("FILE");
  publish->add_flag("--force", force, "Publish even when its version is not newer");
  publish->fallthrough();

  std::string status, format = "tsv";
  CLI::App* submissions = app.add_subcommand("submissions", "List the submissions");
  submissions->add_option("--status", status, "Which (default all; accepted for mobidex)")
      ->type_name("pending|accepted|rejected|all")
      ->check(OneOf({"pending", "accepted", "rejected", "all"}));
  submissions
      ->add_option("--format", format,
                   "tsv (default), json, or mobidex: TAC,manufacturer,model lines to merge "
                   "into the next database")
      ->type_name("tsv|json|mobidex")
      ->check(OneOf({"tsv", "json", "mobidex"}));
  submissions->fallthrough();

  std::int64_t id = 0;
  std::string decision;
  CLI::App* review = app.add_subcommand("review", "Accept or reject a submission");
  review->add_option("id", id, "Its reference number")->required()->type_name("ID");
  review->add_option("decision", decision, "accept or reject")
      ->required()
      ->type_name("accept|reject")
      ->check(OneOf({"accept", "reject"}));
  review->fallthrough();

  CLI::App* migrate = app.add_subcommand(
      "migrate", "Bring the PostgreSQL store's schema up to this program's (safe to repeat)");
  migrate->fallthrough();

  try {
    app.parse(argc, argv);
    ApplySettings(app, config, configOption->count() > 0);
    if (options.store.empty() && options.data.empty())
      throw CLI::ValidationError("--data", "give the service's folder (or data = DIR in " +
                                               std::string(kConfig) + "), or --store");
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
  } catch (const SettingsError& e) {
    Complain(e.what());
    return kUsage;
  }
  if (migrate->parsed()) return RunMigrate(options);
  if (serve->parsed()) return RunServe(options);
  if (publish->parsed()) return RunPublish(options, file, force);
  if (submissions->parsed()) return RunSubmissions(options, status, format);
  return RunReview(options, id, decision);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    Complain(e.what());
  }
  return kRefused;
}
