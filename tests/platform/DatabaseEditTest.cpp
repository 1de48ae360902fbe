// Edits of mobidex.csv after start-up, however the program reaches the file, seen by the very
// next lookup through the platform's own file watch.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/Fixture.h"
#include "platform/posix/DiskWatch.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;

// Runs the commands of `script`, separated by ";", on paths under `root`:
//   put FILE MODEL    writes a database naming MODEL into FILE, in place
//   swap FILE MODEL   writes it beside FILE and renames it over FILE, as editors save
//   link LINK TARGET  points the symbolic link LINK at TARGET in one step (/… is under `root`)
//   hard NAME FILE    gives FILE the further name NAME
//   rm PATH, mv FROM TO, mkdir FOLDER
void RunScript(const fs::path& root, const std::string& script) {
  std::istringstream commands(script);
  for (std::string command; std::getline(commands, command, ';');) {
    std::istringstream words(command);
    std::string verb, a, b;
    words >> verb >> a >> b;
    const fs::path path = root / a, aside = path.string() + ".new";
    if (verb == "put" || verb == "swap") {  // a database whose line for the TAC looked up names b
      fs::create_directories(path.parent_path());
      std::ofstream(verb == "put" ? path : aside, std::ios::binary | std::ios::trunc)
          << "49015420,Maker," << b << "\r\n00000000,v0.99.0000,Version\r\n";
    }
    if (verb == "link")
      fs::create_symlink(b.starts_with("/") ? root / b.substr(1) : fs::path(b), aside);
    if (verb == "swap" || verb == "link") fs::rename(aside, path);
    if (verb == "hard") fs::create_hard_link(root / b, path);
    if (verb == "rm") fs::remove(path);
    if (verb == "mv") fs::rename(path, root / b);
    if (verb == "mkdir") fs::create_directory(path);
  }
}

struct Row {
  const char* name;
  const char* setUp;  // mobidex.csv in the program folder reached, naming model "A"
  std::vector<std::pair<const char*, const char*>> steps;  // a change, and the model then shown
  WatchMode mode = WatchMode::kNotified;
};
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

// The platform's watch, counting its "may have changed" answers.
class CountedWatch : public FileWatch {
 public:
  CountedWatch(std::unique_ptr<FileWatch> watch, int& news)
      : watch_(std::move(watch)), news_(news) {}
  bool Changed() override {
    const bool changed = watch_->Changed();
    news_ += changed ? 1 : 0;
    return changed;
  }

 private:
  std::unique_ptr<FileWatch> watch_;
  int& news_;
};

class DatabaseEditTest : public AppTest, public ::testing::WithParamInterface<Row> {
 protected:
  // The model the lookup shows, and that a lookup right after it needs no reading.
  std::string ModelShown() {
    Validate("490154203237518");
    const int before = news;
    Validate("490154203237518");
    EXPECT_EQ(news, before) << "the file was read again with nothing changed";
    return form->TACFound ? form->Label14.caption.str().substr(7) : "";
  }
  int news = 0;
};

TEST_P(DatabaseEditTest, ReachesTheNextLookup) {
  const Row& row = GetParam();
  for (const char* name : {"program", "data"}) fs::create_directories(folder.path() / name);
  RunScript(folder.path(), row.setUp);
  platform.watchFile = [&](const std::string& path) {
    return std::make_unique<CountedWatch>(WatchDiskFile(path, row.mode), news);
  };
  platform.folder = (folder.path() / "program").string();
  form = std::make_unique<Form1>(platform);
  Form_Load(*form);
  ASSERT_EQ(ModelShown(), "A");
  for (const auto& [change, model] : row.steps) {
    RunScript(folder.path(), change);
    EXPECT_EQ(ModelShown(), model) << "after " << change;
  }
}

// The empty model: nothing found. Edits in place are of the same size within one clock tick,
// which a look at the file's size and times would miss.
const Row kRows[] = {
    {"EditedInPlace",
     "put program/mobidex.csv A",
     {{"put program/mobidex.csv B", "B"}, {"put program/mobidex.csv C", "C"}}},
    {"ReplacedByRename",
     "put program/mobidex.csv A",
     {{"swap program/mobidex.csv B", "B"}, {"put program/mobidex.csv C", "C"}}},
    {"DeletedAndPutBack",
     "put program/mobidex.csv A",
     {{"rm program/mobidex.csv", ""}, {"put program/mobidex.csv B", "B"}}},
    {"ProgramFolderGoneAndPutBack",
     "put program/mobidex.csv A",
     {{"mv program old", ""}, {"mkdir program", ""}, {"put program/mobidex.csv B", "B"}}},
    {"LinkTargetEdited",
     "put data/real.csv A; link program/mobidex.csv /data/real.csv",
     {{"put data/real.csv B", "B"}}},
    {"LinkTargetReplaced",
     "put data/real.csv A; link program/mobidex.csv /data/real.csv",
     {{"swap data/real.csv B", "B"}, {"put data/real.csv C", "C"}}},
    {"LinkRepointed",
     "put data/a.csv A; put data/b.csv B; link program/mobidex.csv ../data/a.csv",
     {{"link program/mobidex.csv ../data/b.csv", "B"}, {"put data/b.csv C", "C"}}},
    {"ChainOfLinks",
     "put data/a.csv A; put data/b.csv B; link data/now a.csv; link program/mobidex.csv "
     "../data/now",
     {{"link data/now b.csv", "B"}, {"put data/b.csv C", "C"}}},
    {"LinkedFolderRepointed",
     "put data/v1/db.csv A; put data/v2/db.csv B; link data/now v1; "
     "link program/mobidex.csv /data/now/db.csv",
     {{"link data/now v2", "B"}, {"put data/v2/db.csv C", "C"}}},
    {"HardLinkEditedByItsOtherName",
     "put program/mobidex.csv A; hard data/alias.csv program/mobidex.csv",
     {{"put data/alias.csv B", "B"}}},
    // Where the kernel tells nothing, a look at the file on every lookup: it sees what changes
    // the file's size or times.
    {"WithoutNotifications",
     "put data/real.csv A; link program/mobidex.csv ../data/real.csv",
     {{"put data/real.csv BB", "BB"},
      {"swap data/real.csv C", "C"},
      {"rm program/mobidex.csv", ""},
      {"put program/mobidex.csv D", "D"}},
     WatchMode::kPolling},
};

INSTANTIATE_TEST_SUITE_P(Reached, DatabaseEditTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vettrix::test
