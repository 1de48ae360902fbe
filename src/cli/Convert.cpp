#include "cli/Convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <tuple>

#include "app/DeviceTable.h"
#include "app/Files.h"
#include "app/Text.h"
#include "cli/Commands.h"
#include "db/Database.h"
#include "generate/Catalogue.h"
#include "records/Columns.h"
#include "records/LineReader.h"
#include "records/Output.h"
#include "validate/Imei.h"

namespace vettrix::cli {

using namespace records;  // the records and formats it shares with the service
namespace {

// The window reads at most kMaxLines lines, the version line among them.
constexpr std::size_t kMaxDevices = DeviceTable::kMaxLines - 1;

// Why a row gives no device line, in the order the counts show them.
enum class Skip { Tac, NoManufacturer, NoModel, Utf8, Control, Comma, Broken, Count };
constexpr std::array<std::string_view, static_cast<std::size_t>(Skip::Count)> kSkipNames = {
    "TAC not 8 digits",
    "no manufacturer",
    "no model",
    "invalid UTF-8",
    "line break or control character in a name",
    "comma in a name",
    "quote not closed, or row over 4 MiB"};

std::optional<Skip> Judge(std::string_view tac, std::string_view manufacturer,
                          std::string_view model) {
  if (!IsTac(tac)) return Skip::Tac;
  if (manufacturer.empty()) return Skip::NoManufacturer;
  if (model.empty()) return Skip::NoModel;
  if (!IsValidUtf8(manufacturer) || !IsValidUtf8(model)) return Skip::Utf8;
  // A line break would split the database line; the other controls would reach the window and
  // the records as they are.
  if (FirstControl(manufacturer) || FirstControl(model)) return Skip::Control;
  // The database splits its lines at every comma.
  if (manufacturer.find(',') != std::string_view::npos || model.find(',') != std::string_view::npos)
    return Skip::Comma;
  return std::nullopt;
}

// A share in percent as written: 1, 0.5.
std::string PercentText(double percent) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, percent).ptr);
}

struct Where {
  std::size_t file = 0;  // among the inputs
  std::uint64_t line = 0;
  bool operator<(const Where& other) const {
    return std::tie(file, line) < std::tie(other.file, other.line);
  }
};

struct Tally {
  std::uint64_t count = 0;
  Where first;  // of the rows counted, the first given
  void Add(Where where) {
    if (count++ == 0 || where < first) first = where;
  }
};

struct Device {
  std::string tac, manufacturer, model;
  Where where;
};

// What one input brought: its rows, and what became of them. Every row read is added (a TAC no
// earlier input gives), replaces an earlier input's device, or is dropped (skipped, or another
// row of its TAC won).
struct InputCounts {
  std::uint64_t rows = 0, added = 0, replaced = 0, dropped = 0;
  std::string version;  // a database's version text
};

// Where a source's columns are: the TAC, and the manufacturer and the model each from the first
// of their columns that holds a known value.
struct Layout {
  std::size_t tac = 0;
  std::vector<std::size_t> manufacturer, model;
};

constexpr std::string_view kOsmocomNote = "Osmocom TAC database CC-BY-SA 3.0";
constexpr std::string_view kGsmaNote = "GSMA TAC database";
constexpr std::string_view kSourceNames[] = {"osmocom", "gsma", "mobidex"};

class Converter {
 public:
  explicit Converter(const ConvertOptions& options)
      : options_(options), inputs_(options.inputs.size()) {}

  int Run() {
    for (std::size_t i = 0; i < options_.inputs.size(); ++i) {
      const TacSource from = options_.inputs[i].from;
      if (!(from == TacSource::Mobidex ? ReadDatabase(i) : Read(i))) return kFailed;
      if (from != TacSource::Mobidex) AddNote(from == TacSource::Gsma ? kGsmaNote : kOsmocomNote);
    }
    Merge();
    const std::size_t fromCatalogue = options_.catalogue ? AddCatalogue() : 0;

    std::uint64_t skipped = 0;
    for (const Tally& t : skipped_) skipped += t.count;
    std::string counts =
        "rows read: " + std::to_string(read_) + "\nskipped: " + std::to_string(skipped) + "\n";
    for (std::size_t i = 0; i < skipped_.size(); ++i)
      counts += "  " + std::string(kSkipNames[i]) + ": " + Shown(skipped_[i]) + "\n";
    counts += "duplicate TACs: " + Shown(duplicates_) + "\n";
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      const InputCounts& in = inputs_[i];
      counts += options_.inputs[i].file + " (" +
                std::string(kSourceNames[static_cast<std::size_t>(options_.inputs[i].from)]) +
                (in.version.empty() ? "" : " " + in.version) + "): rows " +
                std::to_string(in.rows) + ", added " + std::to_string(in.added) + ", replaced " +
                std::to_string(in.replaced) + ", dropped " + std::to_string(in.dropped) + "\n";
    }
    if (options_.catalogue)
      counts += "built-in catalogue: added " + std::to_string(fromCatalogue) + "\n";
    Say(counts);

    if (options_.strict && skipped + duplicates_.count > 0) {
      Refuse("--strict: every row must give a device of its own; nothing written");
      return kFailed;
    }
    // Rows lost in numbers say the inputs are not what they seem.
    if (static_cast<double>(skipped) * 100 > options_.maxSkipped * static_cast<double>(read_)) {
      Refuse(std::to_string(skipped) + " of " + std::to_string(read_) +
             " rows skipped, more than --max-skipped " + PercentText(options_.maxSkipped) +
             "%; nothing written");
      return kFailed;
    }
    // A database is a device line or more before its version line: the window, the service and
    // an update refuse one without.
    if (devices_.empty()) {
      Refuse("the inputs give no device; nothing written");
      return kFailed;
    }
    if (devices_.size() > kMaxDevices) {
      Refuse(std::to_string(devices_.size()) + " devices, but the window reads " +
             std::to_string(kMaxDevices) + " at most (and the version line); nothing written");
      return kFailed;
    }
    std::string text;
    for (const Device& d : devices_) text += d.tac + ',' + d.manufacturer + ',' + d.model + "\r\n";
    text += VersionLine(options_.version, notes_.empty() ? "Vettrix device database" : notes_);
    text += "\r\n";

    if (options_.output == "-") {
      Output out(1);
      out.Put(text);
      // A reader that went away ends the run quietly, as for every command.
      const int status = Finish(out, kAllValid);
      if (status != kAllValid || out.Failed()) return status;
    } else if (const Result<void> written = ReplaceFile(options_.output, text); !written) {
      Refuse(written.error() + "; nothing written");
      return kFailed;
    }
    const std::string written = "devices written: " + std::to_string(devices_.size()) + " to " +
                                (options_.output == "-" ? "standard output" : options_.output) +
                                "\n";
    Say(written);
    return kAllValid;
  }

 private:
  void Say(const std::string& text) {
    if (options_.messages != nullptr) {
      *options_.messages += text;
    } else {
      std::fputs(text.c_str(), stderr);
    }
  }
  void Refuse(const std::string& message) { Complain(message, options_.messages); }

  // Sorted by TAC, one device a TAC: of its rows, the one the precedence prefers.
  void Merge() {
    // A stable sort keeps the rows of one TAC in the order given.
    std::stable_sort(devices_.begin(), devices_.end(),
                     [](const Device& a, const Device& b) { return a.tac < b.tac; });
    std::size_t kept = 0;
    for (std::size_t first = 0; first < devices_.size();) {
      std::size_t end = first + 1;
      while (end < devices_.size() && devices_[end].tac == devices_[first].tac) ++end;
      // The input that wins: the later or the earlier; of its rows, the one its source stands
      // by: an export's first, a database's last (the window names a TAC by its last line).
      const std::size_t input =
          devices_[options_.prefer == Prefer::Later ? end - 1 : first].where.file;
      std::size_t winner = first;
      while (devices_[winner].where.file != input) ++winner;
      if (options_.inputs[input].from == TacSource::Mobidex)
        while (winner + 1 < end && devices_[winner + 1].where.file == input) ++winner;
      for (std::size_t i = first; i < end; ++i) {
        if (i == winner) continue;
        duplicates_.Add(devices_[i].where);
        ++inputs_[devices_[i].where.file].dropped;
      }
      InputCounts& in = inputs_[devices_[winner].where.file];
      ++(devices_[first].where.file < devices_[winner].where.file ? in.replaced : in.added);
      if (kept != winner) devices_[kept] = std::move(devices_[winner]);
      ++kept;
      first = end;
    }
    devices_.resize(kept);
  }

  // The catalogue's TACs that no input names, so that every TAC the window draws is known to
  // its lookup; how many.
  std::size_t AddCatalogue() {
    const auto byTac = [](const Device& d, std::string_view tac) { return d.tac < tac; };
    std::vector<Device> missing;
    for (CatalogueDevice& d : CatalogueDevices()) {
      const auto at = std::lower_bound(devices_.begin(), devices_.end(), d.tac, byTac);
      if (at == devices_.end() || at->tac != d.tac)
        missing.push_back({std::string(d.tac), std::move(d.manufacturer), std::move(d.model), {}});
    }
    devices_.insert(devices_.end(), missing.begin(), missing.end());
    std::sort(devices_.begin(), devices_.end(),
              [](const Device& a, const Device& b) { return a.tac < b.tac; });
    return missing.size();
  }

  // The version line names each source once, in the order met: a licence travels with its data.
  void AddNote(std::string_view note) {
    for (std::size_t at = 0; at <= notes_.size();) {
      std::size_t end = notes_.find("; ", at);
      if (end == std::string::npos) end = notes_.size();
      if (std::string_view(notes_).substr(at, end - at) == note) return;
      at = end + 2;
    }
    if (!notes_.empty()) notes_ += "; ";
    notes_ += note;
  }

  // One row of input `where.file`: a device, or a skip counted with its reason.
  void Take(Where where, std::string tac, std::string manufacturer, std::string model,
            bool broken) {
    ++read_;
    ++inputs_[where.file].rows;
    const std::optional<Skip> skip = broken ? Skip::Broken : Judge(tac, manufacturer, model);
    if (skip) {
      skipped_[static_cast<std::size_t>(*skip)].Add(where);
      ++inputs_[where.file].dropped;
    } else {
      devices_.push_back({std::move(tac), std::move(manufacturer), std::move(model), where});
    }
  }

  // Reads the rows of input `index`, a Osmocom export or a GSMA file; false, after saying why,
  // when it cannot be read or is not of the format.
  bool Read(std::size_t index) {
    const std::string& file = options_.inputs[index].file;
    const TacSource from = options_.inputs[index].from;
    delimiter_ = from == TacSource::Gsma ? '|' : ',';
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Refuse(file + ": " + std::strerror(errno));
      return false;
    }
    LineReader reader(fd, nullptr);
    std::optional<Layout> layout;
    int linesBefore = 0;  // before the header: at most one, such as a licence
    Line line;
    // A line read ahead that turned out to be a row of its own.
    bool held = false;
    Where heldWhere;
    bool heldCut = false;
    while (held || reader.Next(line)) {
      Where where{index, line.number};
      bool broken = line.cut > 0;
      if (held) {
        record_.swap(next_);
        where = heldWhere;
        broken = heldCut;
        held = false;
      } else {
        std::string_view bytes = line.bytes;
        if (line.number == 1 && bytes.starts_with(kBom)) bytes.remove_prefix(kBom.size());
        if (TrimSpaces(bytes).empty()) continue;
        record_.assign(bytes);
      }
      // A record whose quote stays open goes on in the next lines, unless the next line is a row
      // of its own: then the quote was a stray one, and this row alone is broken.
      bool open = FieldAt(record_, delimiter_, 0, field_).continues;
      while (open && record_.size() < LineReader::kKeptBytes && reader.Next(line)) {
        if (layout && IsRow(*layout, line.bytes)) {
          next_.assign(line.bytes);
          heldWhere = {index, line.number};
          heldCut = line.cut > 0;
          held = true;
          break;
        }
        record_ += '\n';
        record_.append(line.bytes);
        broken = broken || line.cut > 0;
        // A line without a quote cannot close the field.
        if (line.bytes.find('"') != std::string_view::npos)
          open = FieldAt(record_, delimiter_, 0, field_).continues;
      }
      if (!layout) {
        layout = HeaderLayout(from, record_);
        if (!layout && ++linesBefore > 1) break;
        continue;
      }
      Take(where, Field(layout->tac), Known(layout->manufacturer), Known(layout->model),
           broken || open);
    }
    const int error = reader.Error();
    ::close(fd);
    if (error != 0) {
      Refuse(file + ": " + std::strerror(error));
      return false;
    }
    if (!layout) {
      Refuse(file + (from == TacSource::Gsma
                         ? ": not a GSMA TAC file: no header line with the columns TAC, "
                           "Manufacturer or Brand Name, and Marketing Name, Model Name or "
                           "Internal Model Name in its first two lines"
                         : ": not an Osmocom export: no header line tac,name,name,... in its "
                           "first two lines"));
      return false;
    }
    return true;
  }

  // Reads a database as the window reads it, one line a row split at its commas, or the
  // service's listing of suggestions (the same lines without the version line). A quote is a
  // character like any other.
  bool ReadDatabase(std::size_t index) {
    const std::string& file = options_.inputs[index].file;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Refuse(file + ": " + std::strerror(errno));
      return false;
    }
    LineReader reader(fd, nullptr);
    Line line;
    // The last line is held until the next one comes: the last of a database is its version.
    bool held = false, heldCut = false;
    Where heldWhere;
    bool refused = false;
    while (reader.Next(line)) {
      std::string_view bytes = line.bytes;
      if (line.number == 1 && bytes.starts_with(kBom)) bytes.remove_prefix(kBom.size());
      if (TrimSpaces(bytes).empty()) continue;
      if (!held && !IsTac(TrimSpaces(FieldOf(bytes, 0))) && !IsDatabaseVersion(bytes)) {
        Refuse(file + ": not a Vettrix database or listing of suggestions: line " +
               std::to_string(line.number) + " is no line TAC,manufacturer,model");
        refused = true;
        break;
      }
      if (held) TakeLine(heldWhere, heldCut);
      record_.assign(bytes);
      heldWhere = {index, line.number};
      heldCut = line.cut > 0;
      held = true;
    }
    const int error = reader.Error();
    ::close(fd);
    if (error != 0 || refused) {
      if (error != 0) Refuse(file + ": " + std::strerror(error));
      return false;
    }
    if (held && !heldCut && IsDatabaseVersion(record_)) {
      const std::string_view note = FieldOf(record_, 2);
      const std::optional<Skip> fault = !IsValidUtf8(note)   ? std::optional(Skip::Utf8)
                                        : FirstControl(note) ? std::optional(Skip::Control)
                                                             : std::nullopt;
      if (!fault) {
        inputs_[index].version = VersionTextOf(record_);
        for (std::size_t at = 0; at < note.size();) {
          const std::size_t end = std::min(note.find("; ", at), note.size());
          if (end > at) AddNote(note.substr(at, end - at));
          at = end + 2;
        }
        return true;
      }
      // A note that would carry a control character into the new database.
      ++read_;
      ++inputs_[index].rows;
      ++inputs_[index].dropped;
      skipped_[static_cast<std::size_t>(*fault)].Add(heldWhere);
      return true;
    }
    if (held) TakeLine(heldWhere, heldCut);
    return true;
  }

  // The version line this program writes, or the older form with 00000000 in front.
  static bool IsDatabaseVersion(std::string_view line) {
    const std::string_view tag = FieldOf(line, 0);
    return (tag == kVersionLineTag || tag == "00000000") && IsVersionLine(line);
  }

  // record_ as one database line: TAC, manufacturer and model. The window would show a model
  // up to a further comma; here the rest of the line is the model, and refused for its comma.
  void TakeLine(Where where, bool cut) {
    const std::string_view line = record_;
    const std::string_view tac = FieldOf(line, 0), manufacturer = FieldOf(line, 1);
    const std::size_t model = tac.size() + manufacturer.size() + 2;
    Take(where, std::string(TrimSpaces(tac)), std::string(TrimSpaces(manufacturer)),
         std::string(TrimSpaces(line.substr(std::min(model, line.size())))), cut);
  }

  std::optional<Layout> HeaderLayout(TacSource from, std::string_view record) {
    std::vector<std::string> names;
    for (std::size_t i = 0; FieldAt(record, delimiter_, i, field_).present; ++i)
      names.emplace_back(TrimSpaces(field_));
    Layout layout;
    if (from == TacSource::Osmocom) {
      // Two columns share the name: the brand, then the model.
      if (names.size() < 3 || names[0] != "tac" || names[1] != "name" || names[2] != "name")
        return std::nullopt;
      layout.manufacturer = {1};
      layout.model = {2};
      return layout;
    }
    // Read by name: later files add columns and reorder them.
    const auto column = [&names](std::string_view name, std::vector<std::size_t>& into) {
      const auto at = std::find(names.begin(), names.end(), name);
      if (at != names.end()) into.push_back(static_cast<std::size_t>(at - names.begin()));
    };
    std::vector<std::size_t> tac;
    column("TAC", tac);
    // The names a user knows the device by first: the brand, the name it is sold under.
    column("Brand Name", layout.manufacturer);
    column("Manufacturer", layout.manufacturer);
    column("Marketing Name", layout.model);
    column("Model Name", layout.model);
    column("Internal Model Name", layout.model);
    if (tac.empty() || layout.manufacturer.empty() || layout.model.empty()) return std::nullopt;
    layout.tac = tac[0];
    return layout;
  }

  // Whether `line` read alone is a whole row: its quotes closed and a TAC in its TAC column.
  bool IsRow(const Layout& layout, std::string_view line) {
    const FieldScan scan = FieldAt(line, delimiter_, layout.tac, field_);
    return scan.present && !scan.continues && IsTac(TrimSpaces(field_));
  }

  std::string Field(std::size_t index) {
    FieldAt(record_, delimiter_, index, field_);
    return std::string(TrimSpaces(field_));
  }

  // The first of `columns` that holds a known value; empty when none does.
  std::string Known(const std::vector<std::size_t>& columns) {
    for (const std::size_t column : columns) {
      std::string value = Field(column);
      if (!value.empty() && value != "Not Known") return value;
    }
    return {};
  }

  std::string Shown(const Tally& t) const {
    if (t.count == 0) return "0";
    return std::to_string(t.count) + " (first: " + options_.inputs[t.first.file].file + " line " +
           std::to_string(t.first.line) + ")";
  }

  const ConvertOptions& options_;
  char delimiter_ = ',';
  std::string record_, field_, next_;
  std::uint64_t read_ = 0;
  std::array<Tally, static_cast<std::size_t>(Skip::Count)> skipped_{};
  Tally duplicates_;
  std::vector<Device> devices_;
  std::vector<InputCounts> inputs_;
  std::string notes_;  // the version line's note
};

}  // namespace

int RunConvert(const ConvertOptions& options) {
  return Converter(options).Run();
}

}  // namespace vettrix::cli
