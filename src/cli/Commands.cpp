#include "cli/Commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>

#include "app/Text.h"
#include "cli/DeviceTypes.h"
#include "cli/Generator.h"
#include "generate/Catalogue.h"
#include "platform/locations/Locations.h"
#include "records/Checker.h"
#include "records/Columns.h"
#include "records/LineReader.h"
#include "records/RecordFields.h"
#include "update/UpdateDatabase.h"
#include "validate/Imei.h"

namespace vettrix::cli {

using namespace records;  // the records and formats it shares with the service
namespace {

// `text` for a message: shown as the window shows it, quoted, and cut when long.
std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string shown = DisplayText(text.substr(0, kShown));
  return "'" + shown + (text.size() > kShown ? "...'" : "'");
}

bool LoadDevices(const std::string& path, DeviceTable& devices) {
  const DeviceTable::ReadResult read = devices.Load(path);
  if (!read) {
    Complain(path + ": " + (read.error().reason.empty() ? "cannot be read" : read.error().reason));
    return false;
  }
  if (read->truncated) {
    Complain(path + ": more than " + std::to_string(DeviceTable::kMaxLines) +
             " lines; only the first " + std::to_string(DeviceTable::kMaxLines) + " were read");
  }
  return true;
}

struct Counts {
  std::uint64_t read = 0, valid = 0, invalid = 0, found = 0;
  std::array<std::uint64_t, 6> byFlaw{};
  std::array<std::uint64_t, 4> notApplicable{};  // by kind
};

void PrintSummary(const Counts& c) {
  std::string text = "read: " + std::to_string(c.read) + "\nvalid: " + std::to_string(c.valid) +
                     "\ninvalid: " + std::to_string(c.invalid) + "\n";
  for (std::size_t f = 1; f < c.byFlaw.size(); ++f)
    text += "  " + std::string(FlawName(static_cast<Flaw>(f))) + ": " +
            std::to_string(c.byFlaw[f]) + "\n";
  text += "n/a: " + std::to_string(c.notApplicable[1] + c.notApplicable[2]) + "\n";
  for (const Kind kind : {Kind::ImeiNoCheckDigit, Kind::Imeisv})
    text += "  " + std::string(KindName(kind)) + ": " +
            std::to_string(c.notApplicable[static_cast<std::size_t>(kind)]) + "\n";
  text += "found in the database: " + std::to_string(c.found) + "\n";
  std::fputs(text.c_str(), stderr);
}

class CheckRun {
 public:
  CheckRun(const CheckOptions& options, const DeviceTable& devices, Output& out)
      : options_(options),
        devices_(devices),
        out_(out),
        checker_(&devices),
        writer_(out, options.format, kCheckColumns) {
    if (!options.only.empty()) only_ = options.only == "valid" ? Verdict::Valid : Verdict::Invalid;
  }

  int Run() {
    for (const std::string& file : options_.files) {
      if (out_.Failed()) break;
      ReadFile(file);
    }
    // A run that failed before its first record writes nothing, not even the header line, so
    // that what it leaves behind cannot be taken for a result.
    if (!out_.Failed() && (!failed_ || writer_.Begun())) writer_.End();
    if (options_.summary) PrintSummary(counts_);
    return Finish(out_, failed_ ? kFailed : counts_.invalid > 0 ? kSomeInvalid : kAllValid);
  }

 private:
  void ReadFile(const std::string& file) {
    const bool standardInput = file == "-";
    const int fd = standardInput ? 0 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string name = standardInput ? "standard input" : file;
    if (fd < 0) {
      Complain(name + ": " + std::strerror(errno));
      failed_ = true;
      return;
    }
    LineReader reader(fd, &out_);
    Line line;
    std::size_t column = 0;
    char delimiter = ',';
    bool first = true;
    while (!out_.Failed() && reader.Next(line)) {
      if (first && line.bytes.starts_with(kBom)) line.bytes.remove_prefix(kBom.size());
      if (line.cut > 0) {
        Complain(name + ": line " + std::to_string(line.number) + " has " +
                 std::to_string(line.bytes.size() + line.cut) +
                 " bytes; its record shows the first " + std::to_string(line.bytes.size()));
      }
      if (first && !StartFile(name, line.bytes, column, delimiter)) break;
      const bool skip = first && (options_.header || HeaderNamed());
      first = false;
      if (skip) continue;
      if (options_.column.empty()) {
        checker_.Prepare(reader.Ahead());
        Write(file, line.number, checker_.Check(line));
        continue;
      }
      // A record whose quotes stay open goes on in the next lines.
      const std::uint64_t number = line.number;
      FieldScan scan = FieldAt(line.bytes, delimiter, column, field_);
      if (scan.continues) {
        record_.assign(line.bytes);
        while (scan.continues && record_.size() < LineReader::kKeptBytes && reader.Next(line)) {
          record_ += '\n';
          record_.append(line.bytes);
          scan = FieldAt(record_, delimiter, column, field_);
        }
      }
      Write(file, number, checker_.Check(field_));
    }
    if (reader.Error() != 0) {
      Complain(name + ": " + std::strerror(reader.Error()));
      failed_ = true;
    }
    if (!standardInput) ::close(fd);
  }

  bool HeaderNamed() const {
    return !options_.column.empty() &&
           options_.column.find_first_not_of("0123456789") != std::string::npos;
  }

  // Reads the delimiter and the column from the first line; false when the column is not there.
  bool StartFile(const std::string& name, std::string_view firstLine, std::size_t& column,
                 char& delimiter) {
    if (options_.column.empty()) return true;
    if (!options_.delimiter.empty()) {
      delimiter = options_.delimiter[0];
    } else {
      delimiter = firstLine.find('\t') != std::string_view::npos &&
                          firstLine.find(',') == std::string_view::npos
                      ? '\t'
                      : ',';
    }
    if (!HeaderNamed()) {
      column = std::stoull(options_.column) - 1;
      return true;
    }
    // The named column: an exact match first, else one that differs only in letter case.
    std::optional<std::size_t> caseless;
    for (std::size_t i = 0; FieldAt(firstLine, delimiter, i, field_).present; ++i) {
      if (field_ == options_.column) {
        column = i;
        return true;
      }
      if (!caseless && field_.size() == options_.column.size() &&
          std::equal(field_.begin(), field_.end(), options_.column.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          }))
        caseless = i;
    }
    if (caseless) {
      column = *caseless;
      return true;
    }
    Complain(name + ": no column named " + Quoted(options_.column) + " in the header line");
    failed_ = true;
    return false;
  }

  void Write(const std::string& file, std::uint64_t number, const CheckRecord& r) {
    ++counts_.read;
    if (r.verdict == Verdict::Valid) ++counts_.valid;
    if (r.verdict == Verdict::Invalid) {
      ++counts_.invalid;
      ++counts_.byFlaw[static_cast<std::size_t>(r.judgement.flaw)];
    }
    if (r.verdict == Verdict::NotApplicable)
      ++counts_.notApplicable[static_cast<std::size_t>(r.kind)];
    if (r.deviceLine != 0) ++counts_.found;
    if (only_ && r.verdict != *only_) return;
    writer_.Begin();

    if (file.data() != fileShown_.data()) {
      fileShown_ = file;
      filePiece_ = writer_.Text(fileShown_, fileScratch_);
      head_.clear();
    }
    if (r.plainDigits && (options_.format != Format::Json || !firstRecord_)) {
      WritePlain(number, r);
      return;
    }
    firstRecord_ = false;
    using Piece = RecordWriter::Piece;
    std::array<Piece, kCheckColumns.size()> f;
    f[0] = filePiece_;
    char digits[24];
    f[1] = {std::string_view(digits, std::to_chars(digits, digits + 24, number).ptr),
            Piece::Number};
    const RecordFields::Fields& fields = fields_.Of(r, checker_, devices_, writer_);
    std::copy(fields.begin(), fields.end(), f.begin() + 2);
    writer_.Write(f);
  }

  // The usual record, an input of 15 ASCII digits, laid out from texts made once: what comes
  // before the line number (per file), between the fields cut from the IMEI, and everything
  // from the reporting body on (per database line, or per reporting body when not found).
  void WritePlain(std::uint64_t number, const CheckRecord& r) {
    const std::string_view q = writer_.Quote();
    if (head_.empty()) {
      head_.assign(writer_.RecordStart());
      head_ += writer_.Before(0);
      if (filePiece_.kind == RecordWriter::Piece::Plain) head_ += q;
      head_ += filePiece_.text;
      if (filePiece_.kind == RecordWriter::Piece::Plain) head_ += q;
      head_ += writer_.Before(1);
      for (std::size_t i : {2, 3, 8, 9})
        glue_[i] = std::string(q) + std::string(writer_.Before(i)) + std::string(q);
      glue_[2].erase(0, q.size());
      for (const Verdict v : {Verdict::Valid, Verdict::Invalid}) {
        std::string& text = verdictGlue_[v == Verdict::Valid ? 0 : 1];
        text = std::string(q);
        const std::string_view values[] = {KindName(Kind::Imei), VerdictName(v),
                                           v == Verdict::Valid ? "" : FlawName(Flaw::CheckDigit)};
        for (std::size_t i = 0; i < 3; ++i)
          text += std::string(writer_.Before(4 + i)) + std::string(q) + std::string(values[i]) +
                  std::string(q);
        text += std::string(writer_.Before(7)) + std::string(q);
      }
      glue_[10] =
          std::string(q) + std::string(writer_.Before(10)) + std::string(q) + std::string(q);
    }
    const std::string_view body = BodyOf(r), names = NamesOf(r), tail = TailOf(r);
    const std::string_view verdict = verdictGlue_[r.verdict == Verdict::Valid ? 0 : 1];
    if (close_.empty()) close_ = std::string(q) + std::string(writer_.RecordEnd());
    char* at = out_.Reserve(head_.size() + 24 + 30 + 8 + 6 + 1 + glue_[2].size() + glue_[3].size() +
                            verdict.size() + glue_[8].size() + glue_[9].size() + glue_[10].size() +
                            body.size() + names.size() + tail.size() + 2 + close_.size());
    auto put = [&at](std::string_view text) {
      std::memcpy(at, text.data(), text.size());
      at += text.size();
    };
    put(head_);
    at = std::to_chars(at, at + 24, number).ptr;
    put(glue_[2]);
    std::memcpy(at, r.input.data(), 15), at += 15;
    put(glue_[3]);
    std::memcpy(at, r.input.data(), 15), at += 15;
    put(verdict);
    std::memcpy(at, r.input.data(), 8), at += 8;
    put(glue_[8]);
    std::memcpy(at, r.input.data() + 8, 6), at += 6;
    put(glue_[9]);
    *at++ = r.input[14];
    put(glue_[10]);
    put(body);
    put(names);
    put(tail);
    std::memcpy(at, r.input.data(), 2), at += 2;  // the reporting body's code
    put(close_);
    out_.Commit(at);
    writer_.Written();
  }

  // The reporting body as written, made once per code; the first two characters are digits.
  std::string_view BodyOf(const CheckRecord& r) {
    const int code = (r.input[0] - '0') * 10 + (r.input[1] - '0');
    std::string& body = plainBodies_[static_cast<std::size_t>(code)];
    if (body.empty()) {
      writer_.Encode(r.reportingBody, scratch_[5]);
      body = std::string(writer_.Before(11)) + scratch_[5];
    }
    return body;
  }

  // The expected check digit (for an invalid IMEI of digits, the only fault of which is its
  // check digit), the reason's code and position, up to the reporting body's code: made once per
  // digit and verdict.
  std::string_view TailOf(const CheckRecord& r) {
    const std::string_view digit = r.expectedCheckDigit;
    const bool valid = r.verdict == Verdict::Valid;
    std::string& tail = tails_[!digit.empty() ? static_cast<std::size_t>(digit[0] - '0')
                               : valid        ? 10
                                              : 11];
    if (tail.empty()) {
      const std::string q(writer_.Quote());
      tail = std::string(writer_.Before(14)) + q + std::string(digit) + q +
             std::string(writer_.Before(15)) + q + std::string(Checker::ReasonCode(r)) + q +
             std::string(writer_.Before(16)) + q + q + std::string(writer_.Before(17)) + q;
    }
    return tail;
  }

  // Manufacturer and model, made once per database line into one arena (its length, two bytes,
  // then the text), so the working set stays small.
  std::string_view NamesOf(const CheckRecord& r) {
    if (r.deviceNote == nullptr) {
      if (noNames_.empty())
        noNames_ = std::string(writer_.Before(12)) + std::string(writer_.Quote()) +
                   std::string(writer_.Quote()) + std::string(writer_.Before(13)) +
                   std::string(writer_.Quote()) + std::string(writer_.Quote());
      return noNames_;
    }
    std::uint32_t& offset = *r.deviceNote;
    if (offset == 0) {
      std::string& names = scratch_[5];
      std::string encoded;
      const std::string_view line = devices_.Line(r.deviceLine);
      names.assign(writer_.Before(12));
      writer_.Encode(FieldOf(line, 1), encoded);
      names += encoded;
      names += writer_.Before(13);
      writer_.Encode(FieldOf(line, 2), encoded);
      names += encoded;
      if (namesArena_.empty()) namesArena_ += '\0';  // offset 0 means none
      if (names.size() > 0xFFFF || namesArena_.size() + names.size() + 2 > 0xFFFFFFF0u)
        return names;
      offset = static_cast<std::uint32_t>(namesArena_.size());
      namesArena_ += static_cast<char>(names.size() & 0xFF);
      namesArena_ += static_cast<char>(names.size() >> 8);
      namesArena_ += names;
    }
    const char* at = namesArena_.data() + offset;
    const std::size_t length = static_cast<unsigned char>(at[0]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(at[1])) << 8;
    return std::string_view(at + 2, length);
  }

  const CheckOptions& options_;
  const DeviceTable& devices_;
  Output& out_;
  Checker checker_;
  RecordWriter writer_;
  Counts counts_;
  bool failed_ = false;
  std::optional<Verdict> only_;
  std::string field_, record_;
  // Encoded fields: the file's name, the reporting bodies, the names of the devices.
  std::string_view fileShown_;
  RecordWriter::Piece filePiece_;
  std::string fileScratch_;
  RecordFields fields_;
  std::array<std::string, 6> scratch_;
  std::string head_;
  bool firstRecord_ = true;  // a JSON array opens its first record apart
  std::array<std::string, 11> glue_;
  std::array<std::string, 2> verdictGlue_;
  std::array<std::string, 100> plainBodies_;
  std::string noNames_, namesArena_;
  std::array<std::string, 12> tails_;  // by expected digit; none: 10 valid, 11 invalid
  std::string close_;                  // after the reporting body's code
};

}  // namespace

std::string DefaultDatabase() {
  return FindDatabase(ProgramFolderPath());
}

std::string DefaultUserDatabase() {
  return FindUserDatabase(ProgramFolderPath());
}

int RunUpdateDb(const UpdateDbOptions& options, Network& network, Hashing& hashing) {
  const DatabaseUpdate update = UpdateDatabase(network, hashing, options.service, options.inUse,
                                               options.target, options.check);
  const std::string shown = DisplayText(
      update.outcome == DatabaseUpdate::Outcome::Installed ? options.target : options.inUse);
  const std::string was =
      update.oldVersion.empty() ? "no database" : update.oldVersion + " (" + update.oldNumber + ")";
  std::string text;
  switch (update.outcome) {
    case DatabaseUpdate::Outcome::Installed:
      text = "installed " + update.newVersion + " (version number " + update.newNumber + ", " +
             std::to_string(update.devices) + " devices) as " + shown + "; it was " + was + "\n";
      std::fputs(text.c_str(), stdout);
      return kAllValid;
    case DatabaseUpdate::Outcome::Current:
      text = shown + " is current: " + was + "; the service publishes " + update.newNumber + "\n";
      std::fputs(text.c_str(), stdout);
      return kAllValid;
    case DatabaseUpdate::Outcome::Available:
      text = "an update is available: the service publishes " + update.newNumber + "; " + shown +
             " is " + was + "\n";
      std::fputs(text.c_str(), stdout);
      return kSomeInvalid;
    default:
      Complain("the database could not be updated: " + update.reason + "; " + shown +
               " is unchanged" +
               (update.reason.starts_with(kUnreachable) && !options.addressNote.empty()
                    ? ". " + options.addressNote
                    : std::string()));
      return kFailed;
  }
}

void Complain(const std::string& message, std::string* into) {
  const std::string text = "vettrix-cli: " + message + "\n";
  if (into != nullptr) {
    *into += text;
    return;
  }
  std::fputs(text.c_str(), stderr);
}

int Finish(Output& out, int status) {
  out.Flush();
  if (out.Failed() && out.Error() != EPIPE) {
    Complain(std::string("standard output: ") + std::strerror(out.Error()));
    return kFailed;
  }
  return status;
}

int RunCheck(const CheckOptions& options) {
  DeviceTable devices;
  if (!LoadDevices(options.database, devices)) return kFailed;
  Output out(1);
  return CheckRun(options, devices, out).Run();
}

int RunGenerate(const GenerateOptions& options) {
  GenerateRequest request;
  request.count = options.count;
  request.distinct = options.distinct;
  request.seed = options.seed
                     ? *options.seed
                     : (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  std::string what = "TAC";
  DeviceTable devices;
  if (options.type) {
    const CatalogueEntry* entry = FindCatalogueEntry(*options.type);
    if (entry == nullptr) {
      if (!LoadDevices(options.database, devices)) return kFailed;
      const TypeMatch match = MatchType(DeviceTypes(&devices), *options.type);
      if (match.name.empty()) {
        std::string message = "no device type named " + Quoted(*options.type);
        for (std::size_t i = 0; i < match.close.size(); ++i)
          message += (i == 0                        ? "; did you mean "
                      : i + 1 == match.close.size() ? " or "
                                                    : ", ") +
                     Quoted(match.close[i]);
        Complain(message + (match.close.empty() ? "" : "?") +
                 " ('vettrix-cli types' lists them all)");
        return kFailed;
      }
      entry = FindCatalogueEntry(match.name);
      for (const int k : devices.LinesNamed(match.name))
        if (!devices.IsVersionLine(k)) request.prefixes.emplace_back(FieldOf(devices.Line(k), 0));
    }
    if (entry != nullptr) request.prefixes.assign(entry->tacs.begin(), entry->tacs.end());
    request.randomDigits = 7;
  } else if (options.tac) {
    // As the window's "Custom": the first 8 characters typed, as they are.
    request.prefixes = {std::string(FirstChars(*options.tac, 8))};
    request.randomDigits = 7;
  } else if (options.rbi) {
    request.prefixes = {*options.rbi};
    request.randomDigits = 13;
    what = "reporting body";
  } else {
    request.prefixes = {""};
  }

  Output out(1);
  const GenerateOutcome outcome = Generate(request, out);
  const int status = Finish(out, kAllValid);
  switch (outcome.status) {
    case GenerateOutcome::Status::PrefixFailed:
      Complain("no valid IMEI on the " + what + " " + Quoted(outcome.prefix) + " in " +
               std::to_string(kMaxTACAttempts) + " attempts in a row; it can never give one");
      return kFailed;
    case GenerateOutcome::Status::OutOfDistinct:
      Complain("only " + std::to_string(outcome.made) + " distinct IMEIs found: " +
               std::to_string(kDistinctAttempts) + " attempts in a row gave none new");
      return kFailed;
    default:
      return status;
  }
}

int RunTypes(const std::optional<std::string>& text, const std::string& database) {
  DeviceTable devices;
  if (!LoadDevices(database, devices)) return kFailed;
  std::vector<std::string> types = DeviceTypes(&devices);
  if (text) types = TypesContaining(types, *text);
  Output out(1);
  // One name a line, escaped as a TSV field is.
  const RecordWriter writer(out, Format::Tsv, {});
  std::string line;
  for (const std::string& type : types) {
    writer.Encode(type, line);
    line += '\n';
    out.Put(line);
  }
  return Finish(out, types.empty() ? kSomeInvalid : kAllValid);
}

int RunLookup(const std::vector<std::string>& keys, Format format, const std::string& database) {
  DeviceTable devices;
  if (!LoadDevices(database, devices)) return kFailed;
  static constexpr std::array<std::string_view, 6> kColumns = {
      "input", "tac", "manufacturer", "model", "database_line", "database_entry"};
  Output out(1);
  RecordWriter writer(out, format, kColumns);
  writer.Begin();
  bool allFound = true;
  std::array<std::string, kColumns.size()> scratch;
  for (const std::string& key : keys) {
    const std::string normalized = NormalizeIMEI(TrimSpaces(key));
    const int k = devices.FindDevice(normalized);
    allFound = allFound && k != 0;
    const std::string_view line = devices.Line(k);
    const std::string number = k != 0 ? std::to_string(k) : "";
    const std::array<RecordWriter::Piece, kColumns.size()> f = {
        writer.Text(key, scratch[0]),
        writer.Text(std::string_view(normalized).substr(0, 8), scratch[1]),
        writer.Text(FieldOf(line, 1), scratch[2]),
        writer.Text(FieldOf(line, 2), scratch[3]),
        k != 0 ? RecordWriter::Piece{number, RecordWriter::Piece::Number} : RecordWriter::Piece{},
        writer.Text(line, scratch[5])};
    writer.Write(f);
  }
  writer.End();
  return Finish(out, allFound ? kAllValid : kSomeInvalid);
}

int RunComplete(const std::vector<std::string>& bodies, Format format) {
  static constexpr std::array<std::string_view, 5> kColumns = {"input", "body", "check_digit",
                                                               "imei", "reason"};
  Output out(1);
  RecordWriter writer(out, format, kColumns);
  writer.Begin();
  bool allComplete = true;
  std::array<std::string, kColumns.size()> scratch;
  for (const std::string& input : bodies) {
    const std::string body = NormalizeIMEI(TrimSpaces(input));
    const char digit = CompletingDigit(body);
    const bool digits =
        body.size() == 14 && body.find_first_not_of("0123456789") == std::string::npos;
    allComplete = allComplete && digit != '\0';
    const std::string imei = digit != '\0' ? body + digit : "";
    const std::array<RecordWriter::Piece, kColumns.size()> f = {
        writer.Text(input, scratch[0]), writer.Text(body, scratch[1]),
        RecordWriter::Piece{imei.empty() ? "" : std::string_view(imei).substr(14)},
        RecordWriter::Piece{imei},
        RecordWriter::Piece{digit != '\0' ? ""
                            : digits      ? "no check digit completes it"
                                          : "not 14 digits"}};
    writer.Write(f);
  }
  writer.End();
  return Finish(out, allComplete ? kAllValid : kSomeInvalid);
}

}  // namespace vettrix::cli
