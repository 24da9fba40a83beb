#include "cli/cli_rejects.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "cli/cli_util.h"
#include "io/byte_source.h"
#include "io/text_encoding.h"

namespace korvane {

template <>
TComponentClass ComponentClass<cli::TFailedRecords>() {
  using C = cli::TFailedRecords;
  static const TClassInfo info =
      TClassBuilder<C>("TFailedRecords")
          .Boolean("Atomic", &C::Atomic, &C::SetAtomic)
          .Reference<TCSVImport>("Import", "TCSVImport", &C::Import, &C::SetImport)
          .Integer("MaxErrors", &C::MaxErrors, &C::SetMaxErrors)
          .String("RejectLog", &C::RejectLog, &C::SetRejectLog)
          .String("RejectsFile", &C::RejectsFile, &C::SetRejectsFile)
          .Build();
  return &info;
}

namespace cli {

namespace {

using json = nlohmann::json;

// Failed records kept for --json, and shown in the summary.
constexpr std::size_t kKept = 100;
constexpr std::size_t kShown = 5;

struct TReasonName {
  std::string_view Key;
  std::string_view Words;
};

constexpr TReasonName kReasonNames[] = {
    {"no_values", "no values"},
    {"refused", "refused by the table"},
    {"unclosed_quote", "a quote never closed"},
    {"not_a_number", "not a number"},
    {"out_of_range", "out of range"},
    {"not_a_date", "not a date or time"},
    {"not_a_boolean", "not a boolean"},
    {"too_many_values", "more values than columns"},
    {"invalid_value", "a value not stored"},
    {"invalid_text", "with bytes not valid in the encoding"},
};

std::size_t ReasonIndex(TRecordErrorReason reason) {
  const auto i = static_cast<std::size_t>(reason);
  return i < std::size(kReasonNames) ? i : std::size(kReasonNames) - 1;
}

std::string Plural(std::int64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

void RegisterCommandClasses() { RegisterClass(ComponentClass<TFailedRecords>()); }

TRejectReport::TOptions TRejectReport::TOptions::Of(const TFailedRecords& failed,
                                                    const std::string& input) {
  TOptions r;
  r.RejectsFile = failed.RejectsFile();
  r.RejectLog = failed.RejectLog();
  if (failed.MaxErrors() >= 0) {
    const std::int64_t n = failed.MaxErrors();
    r.MaxErrors = n;
    r.StopReason = "stopped: more than " + std::to_string(n) + (n == 1 ? " record" : " records") +
                   " failed (--max-errors " + std::to_string(n) + ")";
  } else if (failed.Atomic()) {
    r.MaxErrors = 0;
    r.StopReason = "stopped: a record failed, and --atomic stores all records or none";
  }
  if (!r.RejectsFile.empty()) {
    r.LineEnd = LineEndOf(input, failed.Import() != nullptr ? failed.Import()->Encoding() : "");
  }
  return r;
}

std::string_view ReasonKey(TRecordErrorReason reason) {
  return kReasonNames[ReasonIndex(reason)].Key;
}

std::string_view ReasonWords(TRecordErrorReason reason) {
  return kReasonNames[ReasonIndex(reason)].Words;
}

std::string FailureLine(const TRecordError& error) {
  std::string line;
  if (error.Line > 0) line = "line " + std::to_string(error.Line) + ": ";
  if (!error.FieldName.empty()) line += std::string(error.FieldName) + ": ";
  if (error.Reason == rerRefused) line += "refused: ";
  return line + error.Message;
}

namespace {

// The text the import reads of a regular file (a compressed file's, not its
// own bytes, in UTF-8), given to visit block by block until it returns
// false or the text ends. Nothing for anything else: reading a pipe would
// take its records away.
void VisitText(const std::string& path, const std::string& encoding,
               const std::function<bool(std::string_view block)>& visit) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  const TFileHandle file = OpenFileForSharedRead(path);
  if (!file.Valid()) return;
  std::string block(64 * 1024, '\0');
  try {
    std::unique_ptr<TByteSource> source =
        OpenByteSource(file, {.Decompress = true, .Thread = false});
    if (EncodingKnown(encoding)) source = OpenDecodingSource(std::move(source), encoding);
    for (std::size_t n = 0; (n = source->Read(block.data(), block.size())) > 0;) {
      if (!visit(std::string_view(block.data(), n))) return;
    }
  } catch (const EInOutError&) {
    // Damaged data fails the import itself, which says where; the text
    // before it decides here.
  }
}

// The first count lines of the text the import reads of a regular file,
// with their line ends, as the import leaves them out (SkipLines), however
// long; empty when the text has fewer or it is no regular file.
std::string LeadingLines(const std::string& path, const std::string& encoding, std::int32_t count) {
  std::string text;
  std::size_t start = std::string::npos;  // after the byte-order mark the import skips
  std::size_t at = 0;                     // where the next line starts, or its line end is sought
  std::int32_t found = 0;
  // Counts the line ends read so far; a CR at the end of what is read waits
  // for the byte after it, unless the text has ended.
  const auto count_lines = [&](bool ended) {
    if (start == std::string::npos) {
      if (text.size() < 3 && !ended) return;
      at = start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    }
    while (found < count) {
      const std::size_t end = text.find_first_of("\r\n", at);
      if (end == std::string::npos || (text[end] == '\r' && end + 1 == text.size() && !ended)) {
        at = end == std::string::npos ? text.size() : end;
        return;
      }
      at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
      ++found;
    }
  };
  VisitText(path, encoding, [&](std::string_view block) {
    text.append(block);
    count_lines(false);
    return found < count;
  });
  count_lines(true);
  return found < count ? std::string() : text.substr(start, at - start);
}

}  // namespace

std::string LineEndOf(const std::string& path, const std::string& encoding) {
  std::string lineEnd = "\n";
  bool afterCR = false;  // the last block read ended with a CR
  VisitText(path, encoding, [&](std::string_view block) {
    if (afterCR) {
      lineEnd = block.front() == '\n' ? "\r\n" : "\r";
      return false;
    }
    const std::size_t at = block.find_first_of("\r\n");
    if (at == std::string_view::npos) return true;
    afterCR = block[at] == '\r' && at + 1 == block.size();
    lineEnd = block[at] == '\n' ? "\n" : afterCR || block[at + 1] != '\n' ? "\r" : "\r\n";
    return afterCR;
  });
  return lineEnd;
}

TRejectReport::TRejectReport(TOptions options) : FOptions(std::move(options)) {
  auto open = [](const std::string& path, const char* option) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      throw EUsageError(std::string(option) + " '" + path + "' cannot be written (" +
                        std::strerror(errno) + ")");
    }
    return file;
  };
  if (FOptions.Spool) {
    const auto spool = [](const char* option) {
      std::FILE* file = std::tmpfile();
      if (file == nullptr) {
        throw std::runtime_error(std::string(option) + ": no temporary file can be made (" +
                                 std::strerror(errno) + ")");
      }
      return file;
    };
    if (!FOptions.RejectsFile.empty()) FRejects.reset(spool("--rejects"));
    if (!FOptions.RejectLog.empty()) FLog.reset(spool("--reject-log"));
    FHeaderWritten = true;
    return;
  }
  if (!FOptions.RejectsFile.empty()) FRejects.reset(open(FOptions.RejectsFile, "--rejects"));
  if (!FOptions.RejectLog.empty()) FLog.reset(open(FOptions.RejectLog, "--reject-log"));
}

TRejectReport::~TRejectReport() = default;

void TRejectReport::Attach(TCSVImport& import) {
  // Only the rejects file takes a failed record's text: without it, the run
  // keeps none (a huge record is then not held a third time while stored).
  if (!FRejects) import.SetReportRecordText(false);
  // The records are read as UTF-8: they go back in the input's encoding, so
  // that the same options read them. (A spooled report's input is never
  // converted: such text is read whole by one import.)
  if (FRejects && !FOptions.Spool && EncodingKnown(import.Encoding())) {
    FReencoder = std::make_unique<TTextReencoder>(import.Encoding());
  }
  // Read now: the run holds its input alone.
  if (FRejects && !FOptions.Spool && import.SkipLines() > 0) {
    FLeadingLines = LeadingLines(import.InputFile(), import.Encoding(), import.SkipLines());
    if (FReencoder) FLeadingLines = FReencoder->Encode(FLeadingLines);
  }
  TRecordErrorEvent before = import.OnRecordError();
  import.SetOnRecordError(
      [this, &import, before = std::move(before)](TObject* sender, const TRecordError& error) {
        if (before) before(sender, error);
  Add(import, error);
});
}  // namespace korvane::cli

bool TRejectReport::WriteRecord(std::string_view text) {
  const std::string record = std::string(text) + FOptions.LineEnd;
  return Write(FRejects.get(), FReencoder ? FReencoder->Encode(record) : record);
}

bool TRejectReport::Write(std::FILE* file, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && !std::ferror(file);
}

void TRejectReport::Add(const TCSVImport& import, const TRecordError& error) {
  ++FFailed;
  ++FCounts[ReasonIndex(error.Reason)];
  json item = {{"record", error.Record},
               {"line", error.Line},
               {"field", error.FieldName.empty() ? json() : json(JsonText(error.FieldName))},
               {"value", error.FieldName.empty() ? json() : json(JsonText(error.Value))},
               {"reason", ReasonKey(error.Reason)},
               {"message", JsonText(error.Message)}};
  // Each record goes to the disk as it fails, so that a full disk stops the
  // run at once, naming the record that could not be kept.
  if (FLog && !(Write(FLog.get(), item.dump() + "\n") && std::fflush(FLog.get()) == 0)) {
    WriteFailed(FOptions.RejectLog, error);
  }
  // A record refused when its group was stored has no text to give back
  // when the dataset does not name it.
  if (FRejects && error.Line > 0) {
    const bool written =
        WriteHeader(import) && WriteRecord(error.Text) && std::fflush(FRejects.get()) == 0;
    if (!written) WriteFailed(FOptions.RejectsFile, error);
  }
  if (FFirst.size() < kKept) {
    FFirst.push_back(std::move(item));
    FFirstLines.push_back(FailureLine(error));
  }
  const std::int64_t counted = FShared != nullptr ? ++*FShared : FFailed;
  if (FOptions.MaxErrors >= 0 && counted > FOptions.MaxErrors) {
    throw EStoppedRun(FOptions.StopReason + "; the last: " + FailureLine(error));
  }
}

bool TRejectReport::WriteHeader(const TCSVImport& import) {
  if (FHeaderWritten) return true;
  FHeaderWritten = true;
  // The lines the import left out before the records and the header records
  // first, so that the file imports with the same options.
  if (!FLeadingLines.empty() && !Write(FRejects.get(), FLeadingLines)) return false;
  const TStrings* header = import.HeaderData();
  for (int i = 0; i < header->Count(); ++i) {
    if (!WriteRecord(header->Strings(i))) return false;
  }
  return true;
}

void TRejectReport::Append(TRejectReport& later, const TCSVImport& import) {
  // Copies what from holds to the end of to; false when either fails.
  const auto copy = [](std::FILE* from, std::FILE* to) {
    if (std::fflush(from) != 0 || std::fseek(from, 0, SEEK_SET) != 0) return false;
    char buffer[64 * 1024];
    for (;;) {
      const std::size_t n = std::fread(buffer, 1, sizeof buffer, from);
      if (n > 0 && !Write(to, std::string_view(buffer, n))) return false;
      if (n < sizeof buffer) return !std::ferror(from) && std::fflush(to) == 0;
    }
  };
  const auto failed = [this](const std::string& name) {
    CannotWrite(name, "cannot write '" + name + "' (" + std::strerror(errno) + ")");
  };
  if (FRejects && later.FRejects && std::ftell(later.FRejects.get()) > 0 &&
      !(WriteHeader(import) && copy(later.FRejects.get(), FRejects.get()))) {
    failed(FOptions.RejectsFile);
  }
  if (FLog && later.FLog && !copy(later.FLog.get(), FLog.get())) failed(FOptions.RejectLog);
  FFailed += later.FFailed;
  for (std::size_t i = 0; i < FCounts.size(); ++i) FCounts[i] += later.FCounts[i];
  for (std::size_t i = 0; i < later.FFirst.size() && FFirst.size() < kKept; ++i) {
    FFirst.push_back(later.FFirst[i]);
    FFirstLines.push_back(later.FFirstLines[i]);
  }
}

void TRejectReport::WriteFailed(const std::string& name, const TRecordError& error) {
  std::string text = "cannot write '" + name + "' (" + std::strerror(errno) + ")";
  if (error.Record > 0) {
    text += " at failed record " + std::to_string(error.Record) + ", line " +
            std::to_string(error.Line);
  }
  CannotWrite(name, text);
}

void TRejectReport::CannotWrite(const std::string& name, const std::string& text) {
  (&name == &FOptions.RejectsFile ? FRejectsShort : FLogShort) = true;
  throw std::runtime_error(text);
}

void TRejectReport::WriteTrailer(const TStrings& trailer) {
  // A spooled report's records go into another report's file, before its end.
  if (!FRejects || !FHeaderWritten || FOptions.Spool) return;
  for (int i = 0; i < trailer.Count(); ++i) {
    if (!WriteRecord(trailer.Strings(i))) {
      CannotWrite(FOptions.RejectsFile,
                  "cannot write '" + FOptions.RejectsFile + "' (" + std::strerror(errno) + ")");
    }
  }
}

void TRejectReport::Finish() {
  for (auto* file : {&FRejects, &FLog}) {
    if (*file && std::fflush(file->get()) != 0) {
      const std::string& name = file == &FRejects ? FOptions.RejectsFile : FOptions.RejectLog;
      CannotWrite(name, "cannot write '" + name + "' (" + std::strerror(errno) + ")");
    }
  }
}

std::int64_t TRejectReport::Failed(TRecordErrorReason reason) const {
  return FCounts[ReasonIndex(reason)];
}

std::vector<std::string> TRejectReport::Summary() const {
  std::vector<std::string> lines;
  if (FFailed == 0) return lines;
  std::string counts;
  for (std::size_t i = 0; i < std::size(kReasonNames); ++i) {
    if (FCounts[i] == 0) continue;
    counts += counts.empty() ? ": " : ", ";
    counts += std::to_string(FCounts[i]) + " " + std::string(kReasonNames[i].Words);
  }
  lines.push_back(Plural(FFailed, "record", "records") + " failed" + counts);
  for (std::size_t i = 0; i < FFirstLines.size() && i < kShown; ++i) {
    lines.push_back(FFirstLines[i]);
  }
  std::string where;
  // A file that could not be written holds the records before the failure
  // only: it is not said to hold them all.
  if (FRejects) {
    where = (FRejectsShort ? "the failed records before the write error are in "
                           : "the failed records are in ") +
            FOptions.RejectsFile;
  }
  if (FLog) {
    const bool alone = where.empty();
    where += alone ? "why each failed" : ", why each failed";
    if (FLogShort) where += " (before the write error)";
    where += (alone ? " is in " : " in ") + FOptions.RejectLog;
  }
  if (where.empty() && FOptions.FromSettings) {
    where =
        "RejectsFile of a TFailedRecords component in the settings file keeps the failed "
        "records (to fix and import again), RejectLog why each failed (korvane import "
        "--rejects FILE --save writes one)";
  } else if (where.empty()) {
    where =
        "--rejects FILE keeps the failed records (to fix and import again), --reject-log "
        "FILE why each failed";
  }
  if (FFailed > static_cast<std::int64_t>(kShown)) {
    where =
        "and " + std::to_string(FFailed - static_cast<std::int64_t>(kShown)) + " more; " + where;
  }
  lines.push_back(where);
  return lines;
}

void TRejectReport::AddJson(json& result) const {
  json counts = json::object();
  for (std::size_t i = 0; i < std::size(kReasonNames); ++i) {
    if (FCounts[i] > 0) counts[std::string(kReasonNames[i].Key)] = FCounts[i];
  }
  result["rejected"] = std::move(counts);
  result["reasons"] = FFirst;
}

TAtomicRun::TAtomicRun(TDatabaseTable& table, bool on) : FTable(table) {
  if (!on) return;
  try {
    FTable.ExecSQL("BEGIN");
  } catch (const std::exception& e) {
    throw EUsageError(std::string("--atomic: cannot start a transaction: ") + e.what());
  }
  FOpen = true;
}

TAtomicRun::~TAtomicRun() {
  if (FOpen) Rollback();
}

void TAtomicRun::Commit() {
  FTable.ExecSQL("COMMIT");
  FOpen = false;
}

std::string TAtomicRun::Rollback() noexcept {
  FOpen = false;
  try {
    FTable.ExecSQL("ROLLBACK");
    return {};
  } catch (const std::exception& e) {
    return e.what()[0] != '\0' ? e.what() : "the database gave no reason";
  }
}

TRunMeter::TRunMeter(TCSVImport& import)
    : FStart(std::chrono::steady_clock::now()), FBytes(std::make_shared<std::int64_t>(0)) {
  TImportEvent before = import.OnImportRecord();
  import.SetOnImportRecord(
      [bytes = FBytes, before = std::move(before)](TObject* sender, std::int32_t iBytes) {
        if (before) before(sender, iBytes);
  *bytes += iBytes;
});
}

std::string TRunMeter::Line(const TCSVImport& import, std::int64_t stored) const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const double megabytes = static_cast<double>(*FBytes) / 1e6;
  char text[160];
  std::snprintf(text, sizeof text, "%.1f MB in %.1f s (%.1f MB/s)", megabytes, seconds,
                seconds > 0 ? megabytes / seconds : 0.0);
  const std::int64_t filtered = import.FilteredRecords();
  return Plural(stored, "record", "records") + " stored, " +
         std::to_string(import.ErrorRecords()) + " failed, " +
         (filtered > 0 ? std::to_string(filtered) + " filtered out, " : std::string()) + text;
}

}  // namespace cli
}  // namespace korvane
