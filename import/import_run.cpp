// TCSVImport's run: Execute, Setup and CleanUp, and the loop that takes
// each record from the reader to the dataset.
#include "import/import_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/db_failure.h"
#include "ui/dialogs.h"
#include "core/sysutils.h"
#include "import/read_ahead.h"
#include "io/text_encoding.h"
#include "components/kvprogress.h"

namespace korvane {

namespace {

// The import updates its progress window after every record: the interval is
// the record total given to the window (0, as the import does not know it)
// divided by 100, and never less than 1.
constexpr std::int32_t kProgressInterval = 1;

// Counters are 32-bit; an input of more than 2^31 - 1 records keeps them at
// the largest value instead of overflowing.
void Increase(std::int32_t& counter) {
  if (counter < std::numeric_limits<std::int32_t>::max()) ++counter;
}

std::int32_t ClampToInt32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(v, std::numeric_limits<std::int32_t>::max()));
}

// Whether a run can read range; error says why not. A range from before
// the file's start would fail on its first read with nothing but the
// system's error code; an End below -1 or a Record or Line below 1 would
// stop the run at once or number its records and lines wrongly.
bool InputRangeFits(const TCSVImport::TInputRange& range, std::string& error) {
  const struct {
    const char* Name;
    std::int64_t Value;
    std::int64_t Least;
    const char* Meaning;
  } fields[] = {
      {"Offset", range.Offset, 0, "the byte where the range starts, 0 or more"},
      {"End", range.End, -1, "the byte where the range ends, or -1 for the file's end"},
      {"Record", range.Record, 1, "the number of the range's first record, 1 or more"},
      {"Line", range.Line, 1, "the line the range starts on, 1 or more"},
  };
  for (const auto& f : fields) {
    if (f.Value < f.Least) {
      error = std::string("InputRange.") + f.Name + " is " + std::to_string(f.Value) +
              ": give " + f.Meaning;
      return false;
    }
  }
  return true;
}

}  // namespace

TImportRun::TImportRun(TCSVImport& owner) : FOwner(owner), FProps(*owner.FProps) {}

TImportRun::~TImportRun() {
  // The thread reading ahead stops before the input it reads goes; the
  // input file, if a caller left it open, is closed by its handle.
  FReadAhead.reset();
  FreeProgressWindow();
}

void TImportRun::StartReadAhead() {
  // Only a regular file: a pipe's read may wait for its writer, and a run
  // that ends early must not wait with it.
  if (!FProps.FReadAheadEnabled || FReadAhead || FEndOfFile || !IsRegularFile(FFileHandle)) return;
  std::optional<TSplitRule> rule;
  if (!FProps.FUseRecordCache && FProps.FImportType == impDelimited) rule = FSplitRule;
  FReadAheadGeneration = FSplitGeneration;
  try {
    FReadAhead = std::make_unique<TRecordReadAhead>(FScanner, FFileHandle, rule);
  } catch (const std::exception&) {
    // No thread to be had: the records are read on this one.
  }
}

bool TImportRun::StoreReadAheadRecord(const TReadAheadRecord& record, std::string_view& text) {
  // The values split ahead stand for the record while the import type and
  // the quote and separator are those the thread splits by: a handler may
  // have changed them since.
  if (record.Split && FSplitGeneration == FReadAheadGeneration) {
    if (record.TextAfterQuote) NoteTextAfterQuote(record.Line);
    if (record.Blank) return true;
    if (FProps.FOnFilterRecord) {
      // Views of the record's own text, which stays while it is stored.
      FFilterValues.FItems.assign(record.Values, record.Values + record.ValueCount);
      if (FilteredOut(FFilterValues, record.Line)) return true;
    }
    return AddRecordValues(record.Values, record.ValueCount);
  }
  FReadAhead->TakeText(FRecordText);
  text = {};
  if (!SplitRecordInto(FRecordText, FValues)) return true;
  text = ReportText();
  if (FilteredOut(FValues, record.Line)) return true;
  return AddRecordValues(FValues.Data(), FValues.Count(), FInUsePastKept);
}

std::int64_t TImportRun::SkipToStartRecord() {
  std::uint32_t bytes = 0;
  std::int64_t passed = 0;
  for (std::int32_t skipped = 1; skipped < FProps.FStartRecord && !FEndOfFile; ++skipped) {
    ReadTextFileRecord(FFileHandle, bytes, FRecordText);
    passed += RecordBytesRead();
    ++FSkippedRecords;
  }
  return passed;
}

std::int32_t TImportRun::DatabaseFailed(const EDatabaseFailure& e, TDataSet*& bulkData) {
  // The database itself failed: no later record would be stored either.
  FStoredRecords -= e.Lost();
  FLastError.clear();
  EndRun(bulkData, true);  // notes in LastError what else failed on the way out
  std::string second = std::exchange(FLastError, {});
  // A dataset that lost its connection fails its EndBulk with the same
  // reason again: said once.
  if (second == "ending the bulk load failed too: " + e.Message()) second.clear();
  // A dataset whose message ends saying how many records it committed, as
  // many as the run stored (a load over one connection), is not repeated.
  const std::string& reason = e.Message();
  const std::size_t last = reason.rfind("; ");
  const std::string committed =
      IntToStr(FStoredRecords) +
      (FStoredRecords == 1 ? " record was committed" : " records were committed");
  const bool counted =
      last != std::string::npos && reason.compare(last + 2, committed.size(), committed) == 0;
  FLastError = reason + "; the import stopped at record " +
               IntToStr(FSkippedRecords + FRecordCounter) +
               (counted ? "" : ", " + IntToStr(FStoredRecords) + " records are committed") +
               (second.empty() ? "" : "; " + second);
  ShowMessage(FLastError, mtError);
  return -1;
}

bool TImportRun::StopHere() {
  if (!FProps.FStopRequested.load(std::memory_order_relaxed)) return false;
  FInterrupted = true;
  FNextRecord = FSkippedRecords + FRecordCounter + 1;
  // The line of the record not taken: read it, and leave it.
  std::uint32_t bytes = 0;
  if (FReadAhead && !FProps.FUseRecordCache) {
    const TReadAheadRecord& record = NextReadAheadRecord();
    FNextRecordLine = record.EndOfFile && record.Text.empty() ? 0 : record.Line;
  } else {
    ReadTextFileRecord(FFileHandle, bytes, FRecordText);
    FNextRecordLine = FEndOfFile && FRecordText.empty() ? 0 : FRecordLine;
  }
  if (FNextRecordLine == 0) FNextRecord = 0;
  return true;
}

void TImportRun::FreeProgressWindow() { delete std::exchange(FProgressWindow, nullptr); }

bool TImportRun::FilteredOut(const TValueList& values, std::int64_t line) {
  if (!FProps.FOnFilterRecord) return false;
  bool accept = true;
  FProps.FOnFilterRecord(&FOwner, values, line, accept);
  if (accept) return false;
  ++FFilteredRecords;
  return true;
}

void TImportRun::ShowMessage(const std::string& text, TMsgDlgType type) {
  if (FProps.FOnMessage) {
    FProps.FOnMessage(&FOwner, text, type);
  } else {
    MessageDlg(text, type, {mbOK}, 0);
  }
}

void TImportRun::EndBulk(TDataSet& data, bool unwinding) {
  // A run that stored nothing, and failed records or stopped short, leaves
  // undone what the dataset holds back for its end (the emptying of a
  // table loaded in its place).
  if (FStoredRecords == 0 &&
      (unwinding || FErrorRecords > 0 || FInterrupted || !FLastError.empty())) {
    FStoredRecords -= data.AbandonBulk();
  } else {
    data.EndBulk();
  }
}

void TImportRun::CommitBulk(TDataSet*& bulkData, bool unwinding) {
  if (TDataSet* data = std::exchange(bulkData, nullptr)) {
    // However this ends, the run's records are forgotten and the dataset
    // no longer names refused records for it.
    struct TForget {
      TImportRun* self;
      TDataSet* data;
      ~TForget() {
        data->SetRefusedPostsWanted(false);
        self->FPosted.Clear();
      }
    } forget{this, data};
    // Records refused after their Post failed all the same, also those
    // an EndBulk on the way out found.
    if (unwinding) {
      // A no-throw boundary (this runs in Execute's guard while an
      // exception leaves it): the run is stopping on an error of its own,
      // which is what the host gets and sees, and a second one cannot be
      // raised beside it. What the second changes is kept all the same: a
      // group the database lost on the way out is no longer counted as
      // stored, and records refused late are counted as failed (a raising
      // OnRecordError handler stops only the reports, as it stops a run).
      // The second error's reason follows the run's own in LastError.
      const auto second = [this](std::string_view reason) {
        if (!FLastError.empty()) FLastError += "; ";
        FLastError += "ending the bulk load failed too: ";
        FLastError += reason;
      };
      try {
        EndBulk(*data, true);
      } catch (const EDatabaseFailure& e) {
        FStoredRecords -= e.Lost();
        second(e.what());
      } catch (const std::exception& e) {
        // Not the database's failure: the dataset kept what was posted.
        second(e.what());
      } catch (...) {
        second("an error without a message");
      }
      try {
        TDataSet::TRefusals refused = data->TakeRefusals();
        RefusedLater(refused);
      } catch (const std::exception& e) {
        second(e.what());
      } catch (...) {
        second("an error without a message");
      }
    } else {
      EndBulk(*data, false);
      TDataSet::TRefusals refused = data->TakeRefusals();
      RefusedLater(refused);
    }
  }
}

void TImportRun::EndRun(TDataSet*& bulkData, bool unwinding) {
  FColumnsLaid = false;  // a split after the run lays its columns afresh
  FProps.FStopRequested.store(false, std::memory_order_relaxed);
  CommitBulk(bulkData, unwinding);
  CloseInputFile();
  FreeProgressWindow();
}

// Takes the next record from the read-ahead, split already, and stores it;
// returns its length in bytes.
std::int64_t TImportRun::ImportReadAheadRecord() {
  const TReadAheadRecord& record = NextReadAheadRecord();
  TakeScanResult(record);
  // Before the store, which may take the record's text over.
  const auto size = static_cast<std::int64_t>(record.Text.size());
  Increase(FRecordCounter);
  if (record.Fault != rfNone) {
    RecordFailed(record.Fault, record.Line, record.Text);
  } else if (std::string_view text = record.Text; !text.empty()) {
    if (!StoreReadAheadRecord(record, text)) {
      RecordRejected(record.Line, text);
    } else if (FProps.FOnRecordError) {
      RecordPosted(record.Line, text);
    }
  }
  return size;
}

// Reads the next record on the caller's thread, splits it and stores it;
// returns its length in bytes.
std::int64_t TImportRun::ImportReadRecord(std::uint32_t& bytes) {
  ReadTextFileRecord(FFileHandle, bytes, FRecordText);
  const auto size = static_cast<std::int64_t>(FRecordText.size());
  Increase(FRecordCounter);
  if (FRecordFault != rfNone) {
    RecordFailed(FRecordFault, FRecordLine, FRecordText);
  } else if (!FRecordText.empty()) {
    if (SplitRecordInto(FRecordText, FValues) && !FilteredOut(FValues, FRecordLine)) {
      if (!AddRecordValues(FValues.Data(), FValues.Count(), FInUsePastKept)) {
        RecordRejected(FRecordLine, ReportText());
      } else if (FProps.FOnRecordError) {
        RecordPosted(FRecordLine, ReportText());
      }
    }
  }
  return size;
}

std::int32_t TImportRun::Execute() {
  // The run's own format settings, until the guard below has ended it; a
  // field's own date layout changes the run's copy, never settings that
  // other threads read.
  const TScopedFormatSettings formats(FProps.FFormats, FProps.FColumnFormats->Count() > 0);
  std::int32_t Result = -1;
  // The dataset whose BeginBulk has been called and still waits for EndBulk.
  TDataSet* bulkData = nullptr;
  // However the run ends (an exception included), the dataset's grouped posts
  // are committed, the input is closed and the window freed: a component
  // never keeps a file locked after Execute.
  struct Guard {
    TImportRun* self;
    TDataSet*& bulk;
    ~Guard() { self->EndRun(bulk, true); }
  } guard{this, bulkData};

  FLastError.clear();
  FStarted = false;
  try {
    if (FProps.FOnBeginImport) FProps.FOnBeginImport(&FOwner);
    if (!Setup()) {
      CleanUp();
      return Result;
    }
    FStarted = true;
    Result = 0;
    // The bytes of the text read so far, for the progress window: the
    // header and the records before StartRecord count too, so that a run
    // that reads the whole file shows all of it read.
    std::int64_t byteTotal = 0;
    std::uint32_t bytes = 0;

    if (FProps.FHeaderRecords > 0 && FProps.FHeaderStored) {
      for (std::int32_t read = 0; read < FProps.FHeaderRecords && !FEndOfFile; ++read) {
        ReadTextFileRecord(FFileHandle, bytes, FRecordText);
        byteTotal += RecordBytesRead();
        FProps.FHeaderData->Add(FRecordText);
      }
    }
    if (!MatchColumns() || !RefuseReadOnlyValues()) {
      // Before any record: nothing is stored under a wrong field.
      CleanUp();
      FLastError = FColumnFault;
      ShowMessage(FColumnFault, mtError);
      return -1;
    }

    if (FProps.FInputRange) {
      EnterInputRange();
    } else {
      byteTotal += SkipToStartRecord();
    }
    FProps.FDataSet->BeginBulk();
    bulkData = FProps.FDataSet;
    // With a handler, a record the dataset refuses after its Post is
    // reported by its number, line and text, kept while the dataset holds
    // it.
    FProps.FDataSet->SetRefusedPostsWanted(static_cast<bool>(FProps.FOnRecordError));
    FLastPost = FProps.FDataSet->PostCount();
    StartReadAhead();
    while (!FEndOfFile) {
      if (StopHere()) break;
      // The record's length in bytes, counted in 64 bits: Bytes is 32-bit.
      std::int64_t size = 0;
      if (FReadAhead && FReadAhead->Drained()) StopReadAhead();
      if (FReadAhead && !FProps.FUseRecordCache) {
        // The record comes from the read-ahead, split already; with the
        // record cache on, the cache decides which record is returned, so
        // those reads go through ReadTextFileRecord.
        size = ImportReadAheadRecord();
      } else {
        size = ImportReadRecord(bytes);
      }
      // With the record cache on, the line-end bytes are those of the record
      // read from the file in this call, not of the one returned.
      const std::int64_t recordBytes = size + FLineEndBytes + FSkippedBytes;
      byteTotal += recordBytes;
      if (FProps.FShowProgress && FProgressWindow != nullptr &&
          (FRecordCounter % kProgressInterval == 0 || FRecordCounter == 1)) {
        FProgressWindow->Increment(FRecordCounter, FileBytesFor(byteTotal));
      }
      if (FProps.FOnImportRecord) FProps.FOnImportRecord(&FOwner, ClampToInt32(recordBytes));
    }
    // Commit before the run reports its result; CleanUp then closes the
    // file, warns of failed records while the window is still up, and frees
    // the window last.
    CommitBulk(bulkData, false);
    CleanUp();
    Result = FRecordCounter - FErrorRecords;
    if (FProps.FOnFinishImport) FProps.FOnFinishImport(&FOwner);
    return Result;
  } catch (const EConvertError& e) {
    FLastError = std::string("data conversion error: ") + e.what();
    EndRun(bulkData, false);
    ShowMessage("Data conversion error!", mtError);
    return Result;
  } catch (const EDatabaseFailure& e) {
    return DatabaseFailed(e, bulkData);
  } catch (const std::exception& e) {
    // A handler's or the dataset's exception goes on to the host, which
    // finds its text in LastError too.
    FLastError = e.what();
    throw;
  }
}

bool TImportRun::Setup() {
  FStarted = false;
  FLastError.clear();
  try {
    FEndOfFile = false;
    FInterrupted = false;
    FSkippedRecords = 0;
    FNextRecord = 0;
    FNextRecordLine = 0;
    FErrorRecords = 0;
    FTextAfterQuoteRecords = 0;
    FRoundedValues = 0;
    FUnconvertedValues = 0;
    FExtraValueRecords = 0;
    FCutValues = 0;
    FFilteredRecords = 0;
    FFirstTextAfterQuoteLine = 0;
    FRefusalMessages.clear();
    FStoredRecords = 0;
    FValueFields.clear();
    FColumnFault.clear();
    FUnknownColumns.clear();
    FReadOnlyColumns.clear();
    FLooseColumns.clear();
    FOwner.ResolveSeparators();
    FProps.FHeaderData->Clear();
    FRecordCache->Clear();
    FCacheHead = 0;
    FRecordCounter = 0;
    FProps.FTrailerData->Clear();
    FProps.FUseRecordCache = false;
    if (FProps.FDataSet == nullptr) {
      FLastError = "no dataset to import into (DataSet is not set)";
      return false;
    }
    const auto oneCharacter = [this](const char* name, const std::string& value) {
      if (value.size() > 1) {
        FLastError = std::string(name) + " \"" + value + "\" is not one character";
      }
      return value.size() <= 1;
    };
    if (!oneCharacter("CommentChar", FProps.FCommentChar) ||
        !oneCharacter("EscapeChar", FProps.FEscapeChar) ||
        !SeparatorCharFits(FProps.FSeparatorChar, FLastError)) {
      return false;
    }
    if (FProps.FInputRange && !InputRangeFits(*FProps.FInputRange, FLastError)) return false;
    if (!EncodingUsable(FProps.FEncoding, FLastError)) return false;
    // The input first: a run that cannot read it fails before the dataset
    // is opened, which may create its table. An input that cannot be opened
    // fails the run rather than passing for an empty file.
    // An input another open holds is named so in LastError: the warning
    // that its size could not be had would only come first and mislead.
    std::string sizeWarning;
    FFileSize = InputFileSize(sizeWarning);
    const bool opened = OpenInputFile();
    const int code = GetLastError();
    if (!sizeWarning.empty() && (opened || code != EWOULDBLOCK)) {
      ShowMessage(sizeWarning, mtWarning);
    }
    if (!opened) {
      FLastError = FProps.FInputFile.empty()
                       ? "no file to import (InputFile is not set)"
                       : "cannot open '" + FProps.FInputFile + "'" + OpenFailureText(code);
      return false;
    }
    if (!FProps.FDataSet->Active()) FProps.FDataSet->Open();
    if (!ResolveColumnFormats()) return false;
    if (!FProps.FDataSet->CanModify()) {
      const std::string& name = FProps.FDataSet->Name();
      FLastError = "the dataset" + (name.empty() ? std::string() : " '" + name + "'") +
                   " does not take new records (it is read-only)";
      ShowMessage("Data set does not allow addition of data!", mtError);
      return false;
    }
    if (FProps.FTrailerRecords >= 1 && !ReadAheadRecordCache(FProps.FTrailerRecords)) {
      FLastError = "the trailer records cannot be held back";
      return false;
    }
    FProps.FUseRecordCache = FProps.FTrailerRecords > 0;
    if (FProps.FShowProgress) {
      if (FProgressWindow == nullptr) FProgressWindow = new TProgressWindow(&FOwner);
      FProgressWindow->Init(ptImport, pcByte, FProps.FInputFile, 0, FFileSize);
      FProgressWindow->Show();
    }
    return true;
  } catch (const std::exception& e) {
    // The run does not start, and says nothing itself: the host shows the
    // reason (the command does).
    FLastError = e.what();
    return false;
  }
}

bool TImportRun::ResolveColumnFormats() {
  FFieldLayouts.clear();
  for (const std::string& item : FProps.FColumnFormats->Items()) {
    if (IsBlank(item)) continue;
    const std::size_t eq = item.find('=');
    const std::string name = Trim(item.substr(0, eq));
    const std::string layout = eq == std::string::npos ? "" : Trim(item.substr(eq + 1));
    TField* field = FProps.FDataSet->FindField(name);
    if (layout.empty() || field == nullptr) {
      FLastError = "ColumnFormats \"" + item + "\": " +
                   (layout.empty() ? "give it as NAME=LAYOUT" : "there is no field " + name);
      return false;
    }
    FFieldLayouts.resize(FProps.FDataSet->Fields().size());
    FFieldLayouts[static_cast<std::size_t>(field->Index())] = layout;
  }
  return true;
}

void TImportRun::CleanUp() {
  CloseInputFile();
  if (FErrorRecords > 0 && FProps.FShowProgress) {
    ShowMessage(
        "There were " + IntToStr(FErrorRecords) + " records that could not be read due to errors",
        mtWarning);
  }
  // A stopped run did not reach the end: what it holds back is no trailer.
  if (FProps.FTrailerRecords > 0 && FProps.FTrailerStored && !FInterrupted) {
    try {
      NormalizeRecordCache();
      FProps.FTrailerData->Assign(*FRecordCache);
    } catch (const std::bad_alloc&) {
      // Copying the held-back records fails only for want of memory; the
      // trailer is then left short (TrailerData's count shows it) and the
      // run's records are stored all the same.
    }
  }
  FreeProgressWindow();
}

}  // namespace korvane
