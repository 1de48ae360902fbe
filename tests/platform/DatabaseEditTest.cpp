// Edits of mobidex.csv after start-up, however the program reaches the file, seen by the very
// next lookup through the platform's own file watch.

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/Fixture.h"
#include "platform/posix/DiskWatch.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;

// The program folder, and a folder elsewhere for link targets and other names of the file.
struct Places {
  fs::path program, elsewhere;
  fs::path Database() const { return program / "mobidex.csv"; }
};

// Writes a database whose line for the TAC of kImei names `model` into `file`, in place.
void Put(const fs::path& file, const std::string& model) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      << "49015420,Maker," << model << "\r\n00000000,v0.99.0000,Version\r\n";
}
// Replaces `file` by a new one renamed over it, as editors save.
void Swap(const fs::path& file, const std::string& model) {
  Put(file.string() + ".new", model);
  fs::rename(file.string() + ".new", file);
}
// Points the link `link` at `target` in one step.
void Repoint(const fs::path& link, const fs::path& target) {
  fs::create_symlink(target, link.string() + ".new");
  fs::rename(link.string() + ".new", link);
}

struct Step {
  std::function<void(const Places&)> change;
  const char* model;  // what the next lookup shows; empty when it finds nothing
};
struct Row {
  const char* name;
  std::function<void(const Places&)> setUp;  // mobidex.csv reached, with model "A" in it
  std::vector<Step> steps;
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
  const Places at{folder.path() / "program", folder.path() / "elsewhere"};
  fs::create_directories(at.program);
  fs::create_directories(at.elsewhere);
  row.setUp(at);
  platform.watchFile = [&](const std::string& path) {
    return std::make_unique<CountedWatch>(WatchDiskFile(path, row.mode), news);
  };
  platform.folder = at.program.string();
  form = std::make_unique<Form1>(platform);
  Form_Load(*form);
  ASSERT_EQ(ModelShown(), "A");
  for (std::size_t k = 0; k < row.steps.size(); ++k) {
    row.steps[k].change(at);
    EXPECT_EQ(ModelShown(), row.steps[k].model) << "after step " << k + 1;
  }
}

// Edits of the same size within one clock tick, which a look at size and times would miss.
const Row kRows[] = {
    {"EditedInPlace",
     [](const Places& at) { Put(at.Database(), "A"); },
     {{[](const Places& at) { Put(at.Database(), "B"); }, "B"},
      {[](const Places& at) { Put(at.Database(), "C"); }, "C"}}},
    {"ReplacedByRename",
     [](const Places& at) { Put(at.Database(), "A"); },
     {{[](const Places& at) { Swap(at.Database(), "B"); }, "B"},
      {[](const Places& at) { Put(at.Database(), "C"); }, "C"}}},
    {"DeletedAndPutBack",
     [](const Places& at) { Put(at.Database(), "A"); },
     {{[](const Places& at) { fs::remove(at.Database()); }, ""},
      {[](const Places& at) { Put(at.Database(), "B"); }, "B"}}},
    {"ProgramFolderGoneAndPutBack",
     [](const Places& at) { Put(at.Database(), "A"); },
     {{[](const Places& at) { fs::rename(at.program, at.elsewhere / "old"); }, ""},
      {[](const Places& at) { fs::create_directory(at.program); }, ""},
      {[](const Places& at) { Put(at.Database(), "B"); }, "B"}}},
    {"LinkTargetEdited",
     [](const Places& at) {
       Put(at.elsewhere / "real.csv", "A");
       fs::create_symlink(at.elsewhere / "real.csv", at.Database());
     },
     {{[](const Places& at) { Put(at.elsewhere / "real.csv", "B"); }, "B"}}},
    {"LinkTargetReplaced",
     [](const Places& at) {
       Put(at.elsewhere / "real.csv", "A");
       fs::create_symlink(at.elsewhere / "real.csv", at.Database());
     },
     {{[](const Places& at) { Swap(at.elsewhere / "real.csv", "B"); }, "B"},
      {[](const Places& at) { Put(at.elsewhere / "real.csv", "C"); }, "C"}}},
    {"LinkRepointed",
     [](const Places& at) {
       Put(at.elsewhere / "a.csv", "A");
       Put(at.elsewhere / "b.csv", "B");
       fs::create_symlink(at.elsewhere / "a.csv", at.Database());
     },
     {{[](const Places& at) { Repoint(at.Database(), at.elsewhere / "b.csv"); }, "B"},
      {[](const Places& at) { Put(at.elsewhere / "b.csv", "C"); }, "C"}}},
    {"ChainOfRelativeLinks",
     [](const Places& at) {
       Put(at.elsewhere / "a.csv", "A");
       Put(at.elsewhere / "b.csv", "B");
       fs::create_symlink("a.csv", at.elsewhere / "current");
       fs::create_symlink("../elsewhere/current", at.Database());
     },
     {{[](const Places& at) { Repoint(at.elsewhere / "current", "b.csv"); }, "B"},
      {[](const Places& at) { Put(at.elsewhere / "b.csv", "C"); }, "C"}}},
    {"LinkedFolderRepointed",
     [](const Places& at) {
       fs::create_directories(at.elsewhere / "v1");
       fs::create_directories(at.elsewhere / "v2");
       Put(at.elsewhere / "v1/real.csv", "A");
       Put(at.elsewhere / "v2/real.csv", "B");
       fs::create_symlink("v1", at.elsewhere / "current");
       fs::create_symlink(at.elsewhere / "current/real.csv", at.Database());
     },
     {{[](const Places& at) { Repoint(at.elsewhere / "current", "v2"); }, "B"},
      {[](const Places& at) { Put(at.elsewhere / "v2/real.csv", "C"); }, "C"}}},
    {"HardLinkEditedByItsOtherName",
     [](const Places& at) {
       Put(at.Database(), "A");
       fs::create_hard_link(at.Database(), at.elsewhere / "alias.csv");
     },
     {{[](const Places& at) { Put(at.elsewhere / "alias.csv", "B"); }, "B"}}},
    // Where the kernel tells nothing, a look at the file on every lookup: it sees what changes
    // the file's size or times.
    {"WithoutNotifications",
     [](const Places& at) {
       Put(at.elsewhere / "real.csv", "A");
       fs::create_symlink(at.elsewhere / "real.csv", at.Database());
     },
     {{[](const Places& at) { Put(at.elsewhere / "real.csv", "BB"); }, "BB"},
      {[](const Places& at) { Swap(at.elsewhere / "real.csv", "C"); }, "C"},
      {[](const Places& at) { fs::remove(at.Database()); }, ""},
      {[](const Places& at) { Put(at.Database(), "D"); }, "D"}},
     WatchMode::kPolling},
};

INSTANTIATE_TEST_SUITE_P(Reached, DatabaseEditTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vettrix::test
