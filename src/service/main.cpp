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

#include "app/Branding.h"
#include "cli/Output.h"
#include "service/HttpServer.h"
#include "service/Listing.h"
#include "service/Log.h"
#include "service/PgStore.h"
#include "service/Published.h"
#include "service/Service.h"
#include "service/SqliteStore.h"

namespace {

using namespace vettrix::service;
namespace cli = vettrix::cli;

constexpr int kOk = 0, kRefused = 1, kUsage = 2;
constexpr const char* kConfig = "/etc/vettrix/service.conf";

void Complain(const std::string& message) {
  const std::string text = "vettrix-service: " + message + "\n";
  std::fputs(text.c_str(), stderr);
}

std::int64_t Now() {
  return static_cast<std::int64_t>(std::time(nullptr));
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

// The store the settings name: PostgreSQL, or SQLite and the file in the folder.
std::unique_ptr<Store> OpenStore(const Options& options, bool serving) {
  const auto timeout = StoreTimeout(options, serving);
  if (options.store.empty()) return std::make_unique<SqliteStore>(options.data, timeout);
  return std::make_unique<PgStore>(options.store, StorePassword(options), false, timeout);
}

// Where the store is, for a message.
std::string StoreName(const Options& options) {
  return options.store.empty() ? options.data : "the PostgreSQL store";
}

// Runs an operator's command on the store; its failures are told as the store's.
int WithStore(Options options, const std::function<int(Store&)>& command) {
  const std::string name = StoreName(options);
  if (options.store.empty() && !ActAsOwnerOf(options.data)) return kRefused;
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

// ADDRESS:PORT, the address in brackets for IPv6 ([::1]:8080).
bool SplitListen(const std::string& listen, ServerOptions& server) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string address = listen.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  const std::string port = listen.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long number = std::stoul(port);
  if (number > 65535) return false;
  server.address = address;
  server.port = static_cast<unsigned short>(number);
  return true;
}

int RunServe(Options& options) {
  if (!SplitListen(options.listen, options.server)) {
    Complain("--listen " + options.listen + ": give ADDRESS:PORT, such as 127.0.0.1:8080");
    return kUsage;
  }
  options.server.idleTimeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.idleTimeout * 1000));
  options.server.requestTimeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.requestTimeout * 1000));
  options.server.storeTimeout = StoreTimeout(options, true);
  for (const std::string& proxy : options.trustedProxies) {
    const auto range = ParseAddressRange(proxy);
    if (!range) {
      Complain("--trusted-proxy " + proxy +
               ": give an address or a range of them, such as 10.0.0.5, 10.0.0.0/24 or fd00::/8");
      return kUsage;
    }
    options.server.trustedProxies.push_back(*range);
  }
  try {
    const std::unique_ptr<Store> store = OpenStore(options, true);
    if (!options.initialDatabase.empty() && !HasPublication(*store)) {
      const auto bytes = ReadFile(options.initialDatabase);
      if (!bytes) return kRefused;
      const std::string fault = PublishDatabase(*store, *bytes, false, Now());
      // Another instance may have published first; then that one serves.
      if (!fault.empty() && !HasPublication(*store)) {
        Complain(options.initialDatabase + ": " + fault);
        return kRefused;
      }
      if (fault.empty()) Log("published " + options.initialDatabase + " as the first database");
    }
    // Made after the store, so gone before it: it stops watching the store's publications first.
    Snapshots snapshots(*store);
    // A publication, on any machine, is served within moments of its commit.
    snapshots.Watch(std::chrono::seconds(1));
    Service service(options.settings, *store, snapshots);
    const auto published = snapshots.Current();
    Log("serving the database " + published->versionText + " (" +
        std::to_string(published->devices) + " devices) from " + StoreName(options));
    Serve(options.server, service);
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
    const std::string fault = PublishDatabase(store, *bytes, force, Now());
    if (!fault.empty()) {
      Complain(file + " was not published: " + fault);
      return kRefused;
    }
    std::string unused;
    const auto published = MakePublished({{}, *bytes, Now()}, unused);
    std::printf("published %s (version number %s, %d devices) in %s\n",
                published->versionText.c_str(), published->versionNumber.c_str(),
                published->devices, StoreName(options).c_str());
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
    cli::Output out(1);
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
    PgStore store(options.store, StorePassword(options), true, StoreTimeout(options, false));
    const int applied = store.Migrate();
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

int Main(int argc, char** argv) {
  CLI::App app{"The Mobidex web service of Vettrix, and its operator's commands.",
               "vettrix-service"};
  app.set_version_flag("--version", "vettrix-service " + std::string(vettrix::kProgramVersion));
  app.require_subcommand(1);
  app.set_config("--config", kConfig,
                 "Settings file of key = value lines (default " + std::string(kConfig) +
                     "); options given win");
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "vettrix-service: " + std::string(e.what()) +
           "\nTry 'vettrix-service --help' for more.\n";
  });
  Options options;
  app.add_option("--data", options.data,
                 "Folder of the published database (mobidex.csv) and the submissions")
      ->type_name("DIR");
  app.add_option("--store", options.store,
                 "Keep the submissions and the published database in PostgreSQL "
                 "(postgresql://USER@HOST/DB), shared by several instances, instead of --data")
      ->type_name("URI");
  app.add_option("--store-password-file", options.passwordFile,
                 "The store's password, from this file (else PGPASSWORD or ~/.pgpass)")
      ->type_name("FILE");
  app.add_option("--listen", options.listen,
                 "Address and port to serve on (default " + options.listen + ")")
      ->type_name("ADDR:PORT");
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
      ->type_name("ADDR[/BITS]");
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
    if (options.store.empty() && options.data.empty())
      throw CLI::ValidationError("--data", "give the service's folder (or data = DIR in " +
                                               std::string(kConfig) + "), or --store");
    struct stat st {};
    if (options.store.empty() && (::stat(options.data.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
      throw CLI::ValidationError("--data", options.data + " is no folder");
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
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
