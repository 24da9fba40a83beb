// TCSVImport: construction, properties and the import run.
#include "import/kvcsvimp.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "data/db_failure.h"
#include "ui/dialogs.h"
#include "core/sysutils.h"
#include "import/kvcsvimp_readahead.h"
#include "components/kvprogress.h"
#include "components/kvstrict.h"

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

}  // namespace

TCSVImport::TCSVImport(TComponent* owner) : TComponent(owner) {
  FFieldList = std::make_unique<TStringList>();
  FHeaderData = std::make_unique<TStringList>();
  FTrailerData = std::make_unique<TStringList>();
  FRecordCache = std::make_unique<TStringList>();
}

TCSVImport::~TCSVImport() {
  FReadAhead.reset();
  FFieldList.reset();
  FHeaderData.reset();
  FTrailerData.reset();
  FRecordCache.reset();
  FreeProgressWindow();
  // The input file, if a caller left it open, is closed by its handle.
}

void TCSVImport::SetFieldList(const TStrings* Value) {
  if (!FFieldList) FFieldList = std::make_unique<TStringList>();
  // The component keeps a copy, never the host's list; no list means none.
  if (Value != nullptr) {
    FFieldList->Assign(*Value);
  } else {
    FFieldList->Clear();
  }
}

// HeaderData and TrailerData are the component's own results: assigning a
// list to them changes nothing.
void TCSVImport::SetHeaderData(const TStrings* /*Value*/) {}
void TCSVImport::SetTrailerData(const TStrings* /*Value*/) {}

void TCSVImport::SetImportType(TImportType Value) {
  FImportType = Value;
  ++FSplitGeneration;
}

void TCSVImport::SetVersion(const std::string& /*Value*/) {}

bool TCSVImport::DefaultReadAhead() { return std::thread::hardware_concurrency() > 1; }

void TCSVImport::StartReadAhead() {
  // Only a regular file: a pipe's read may wait for its writer, and a run
  // that ends early must not wait with it.
  if (!FReadAheadEnabled || FReadAhead || FEndOfFile || !IsRegularFile(FFileHandle)) return;
  std::optional<TSplitRule> rule;
  if (!FUseRecordCache && FImportType == impDelimited) rule = FSplitRule;
  FReadAheadGeneration = FSplitGeneration;
  try {
    FReadAhead = std::make_unique<TRecordReadAhead>(FScanner, FFileHandle, rule);
  } catch (const std::exception&) {
    // No thread to be had: the records are read on this one.
  }
}

bool TCSVImport::StoreReadAheadRecord(const TReadAheadRecord& record, std::string_view& text) {
  // The values split ahead stand for the record while the import type and
  // the quote and separator are those the thread splits by: a handler may
  // have changed them since.
  if (record.Split && FSplitGeneration == FReadAheadGeneration) {
    if (record.TextAfterQuote) NoteTextAfterQuote(record.Line);
    if (record.Blank) return true;
    if (FOnFilterRecord) {
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
  return AddRecordValues(FValues.Data(), FValues.Count());
}

void TCSVImport::SkipToStartRecord() {
  std::uint32_t bytes = 0;
  for (std::int32_t skipped = 1; skipped < FStartRecord && !FEndOfFile; ++skipped) {
    ReadTextFileRecord(FFileHandle, bytes, FRecordText);
    ++FSkippedRecords;
  }
}

std::int32_t TCSVImport::DatabaseFailed(const EDatabaseFailure& e, TDataSet*& bulkData) {
  // The database itself failed: no later record would be stored either.
  FStoredRecords -= e.Lost();
  FLastError.clear();
  EndRun(bulkData, true);  // notes in LastError what else failed on the way out
  const std::string second = std::exchange(FLastError, {});
  FLastError = e.Message() + "; the import stopped at record " +
               IntToStr(FSkippedRecords + FRecordCounter) + ", " + IntToStr(FStoredRecords) +
               " records are committed" + (second.empty() ? "" : "; " + second);
  ShowMessage(FLastError, mtError);
  return -1;
}

bool TCSVImport::StopHere() {
  if (!FStopRequested.load(std::memory_order_relaxed)) return false;
  FInterrupted = true;
  FNextRecord = FSkippedRecords + FRecordCounter + 1;
  // The line of the record not taken: read it, and leave it.
  std::uint32_t bytes = 0;
  if (FReadAhead && !FUseRecordCache) {
    const TReadAheadRecord& record = NextReadAheadRecord();
    FNextRecordLine = record.EndOfFile && record.Text.empty() ? 0 : record.Line;
  } else {
    ReadTextFileRecord(FFileHandle, bytes, FRecordText);
    FNextRecordLine = FEndOfFile && FRecordText.empty() ? 0 : FRecordLine;
  }
  if (FNextRecordLine == 0) FNextRecord = 0;
  return true;
}

void TCSVImport::FreeProgressWindow() { delete std::exchange(FProgressWindow, nullptr); }

bool TCSVImport::FilteredOut(const TValueList& values, std::int64_t line) {
  if (!FOnFilterRecord) return false;
  bool accept = true;
  FOnFilterRecord(this, values, line, accept);
  if (accept) return false;
  ++FFilteredRecords;
  return true;
}

void TCSVImport::ShowMessage(const std::string& text, TMsgDlgType type) {
  if (FOnMessage) {
    FOnMessage(this, text, type);
  } else {
    MessageDlg(text, type, {mbOK}, 0);
  }
}

const std::string& TCSVImport::SetupFailure() const {
  static const std::string kNone;
  return FStarted ? kNone : FLastError;
}

void TCSVImport::CommitBulk(TDataSet*& bulkData, bool unwinding) {
  if (TDataSet* data = std::exchange(bulkData, nullptr)) {
    // However this ends, the run's records are forgotten and the dataset
    // no longer names refused records for it.
    struct TForget {
      TCSVImport* self;
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
        data->EndBulk();
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
      data->EndBulk();
      TDataSet::TRefusals refused = data->TakeRefusals();
      RefusedLater(refused);
    }
  }
}

void TCSVImport::EndRun(TDataSet*& bulkData, bool unwinding) {
  FColumnsLaid = false;  // a split after the run lays its columns afresh
  FStopRequested.store(false, std::memory_order_relaxed);
  CommitBulk(bulkData, unwinding);
  CloseInputFile();
  FreeProgressWindow();
}

// Takes the next record from the read-ahead, split already, and stores it;
// returns its length in bytes.
std::int64_t TCSVImport::ImportReadAheadRecord() {
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
    } else if (FOnRecordError) {
      RecordPosted(record.Line, text);
    }
  }
  return size;
}

// Reads the next record on the caller's thread, splits it and stores it;
// returns its length in bytes.
std::int64_t TCSVImport::ImportReadRecord(std::uint32_t& bytes) {
  ReadTextFileRecord(FFileHandle, bytes, FRecordText);
  const auto size = static_cast<std::int64_t>(FRecordText.size());
  Increase(FRecordCounter);
  if (FRecordFault != rfNone) {
    RecordFailed(FRecordFault, FRecordLine, FRecordText);
  } else if (!FRecordText.empty()) {
    if (SplitRecordInto(FRecordText, FValues) && !FilteredOut(FValues, FRecordLine)) {
      if (!AddRecordValues(FValues.Data(), FValues.Count())) {
        RecordRejected(FRecordLine, ReportText());
      } else if (FOnRecordError) {
        RecordPosted(FRecordLine, ReportText());
      }
    }
  }
  return size;
}

void TCSVImport::SetDateSeparator(const std::string& value) {
  FFormats.DateSeparator = CheckedSeparator("DateSeparator", value);
}
void TCSVImport::SetTimeSeparator(const std::string& value) {
  FFormats.TimeSeparator = CheckedSeparator("TimeSeparator", value);
}
void TCSVImport::SetDecimalSeparator(const std::string& value) {
  FFormats.DecimalSeparator = CheckedSeparator("DecimalSeparator", value);
}
void TCSVImport::SetThousandSeparator(const std::string& value) {
  FFormats.ThousandSeparator = CheckedSeparator("ThousandSeparator", value);
}

std::int32_t TCSVImport::Execute() {
  // The run's own format settings, until the guard below has ended it; a
  // field's own date layout changes the run's copy, never settings that
  // other threads read.
  const TScopedFormatSettings formats(FFormats, FColumnFormats->Count() > 0);
  std::int32_t Result = -1;
  // The dataset whose BeginBulk has been called and still waits for EndBulk.
  TDataSet* bulkData = nullptr;
  // However the run ends (an exception included), the dataset's grouped posts
  // are committed, the input is closed and the window freed: a component
  // never keeps a file locked after Execute.
  struct Guard {
    TCSVImport* self;
    TDataSet*& bulk;
    ~Guard() { self->EndRun(bulk, true); }
  } guard{this, bulkData};

  FLastError.clear();
  FStarted = false;
  try {
    if (FOnBeginImport) FOnBeginImport(this);
    if (!Setup()) {
      CleanUp();
      return Result;
    }
    FStarted = true;
    Result = 0;
    std::int64_t byteTotal = 0;
    std::uint32_t bytes = 0;

    if (FHeaderRecords > 0 && FHeaderStored) {
      for (std::int32_t read = 0; read < FHeaderRecords && !FEndOfFile; ++read) {
        ReadTextFileRecord(FFileHandle, bytes, FRecordText);
        FHeaderData->Add(FRecordText);
      }
    }
    if (!MatchColumns()) {
      // Before any record: nothing is stored under a wrong field.
      CleanUp();
      FLastError = FColumnFault;
      ShowMessage(FColumnFault, mtError);
      return -1;
    }

    if (FInputRange) {
      EnterInputRange();
    } else {
      SkipToStartRecord();
    }
    FDataSet->BeginBulk();
    bulkData = FDataSet;
    // With a handler, a record the dataset refuses after its Post is
    // reported by its number, line and text, kept while the dataset holds
    // it.
    FDataSet->SetRefusedPostsWanted(static_cast<bool>(FOnRecordError));
    FLastPost = FDataSet->PostCount();
    StartReadAhead();
    while (!FEndOfFile) {
      if (StopHere()) break;
      // The record's length in bytes, counted in 64 bits: Bytes is 32-bit.
      std::int64_t size = 0;
      if (FReadAhead && FReadAhead->Drained()) StopReadAhead();
      if (FReadAhead && !FUseRecordCache) {
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
      if (FShowProgress && FProgressWindow != nullptr &&
          (FRecordCounter % kProgressInterval == 0 || FRecordCounter == 1)) {
        FProgressWindow->Increment(FRecordCounter, FileBytesFor(byteTotal));
      }
      if (FOnImportRecord) FOnImportRecord(this, ClampToInt32(recordBytes));
    }
    // Commit before the run reports its result; CleanUp then closes the
    // file, warns of failed records while the window is still up, and frees
    // the window last.
    CommitBulk(bulkData, false);
    CleanUp();
    Result = FRecordCounter - FErrorRecords;
    if (FOnFinishImport) FOnFinishImport(this);
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

bool TCSVImport::Setup() {
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
    FFilteredRecords = 0;
    FFirstTextAfterQuoteLine = 0;
    FRefusalMessages.clear();
    FStoredRecords = 0;
    FValueFields.clear();
    FColumnFault.clear();
    FUnknownColumns.clear();
    ResolveSeparators();
    FHeaderData->Clear();
    FRecordCache->Clear();
    FCacheHead = 0;
    FRecordCounter = 0;
    FTrailerData->Clear();
    FUseRecordCache = false;
    if (FDataSet == nullptr) {
      FLastError = "no dataset to import into (DataSet is not set)";
      return false;
    }
    const auto oneCharacter = [this](const char* name, const std::string& value) {
      if (value.size() > 1) {
        FLastError = std::string(name) + " \"" + value + "\" is not one character";
      }
      return value.size() <= 1;
    };
    if (!oneCharacter("CommentChar", FCommentChar) || !oneCharacter("EscapeChar", FEscapeChar) ||
        !SeparatorCharFits(FSeparatorChar, FLastError)) {
      return false;
    }
    // The input first: a run that cannot read it fails before the dataset
    // is opened, which may create its table. An input that cannot be opened
    // fails the run rather than passing for an empty file.
    FFileSize = GetFileSize();
    if (!OpenInputFile()) {
      const int code = GetLastError();
      FLastError = "cannot open '" + FInputFile + "'" +
                   (code != 0 ? " (" + std::string(std::strerror(code)) + ")" : "");
      return false;
    }
    if (!FDataSet->Active()) FDataSet->Open();
    if (!ResolveColumnFormats()) return false;
    if (!FDataSet->CanModify()) {
      FLastError = "the dataset" +
                   (FDataSet->Name().empty() ? std::string() : " '" + FDataSet->Name() + "'") +
                   " does not take new records (it is read-only)";
      ShowMessage("Data set does not allow addition of data!", mtError);
      return false;
    }
    if (FTrailerRecords >= 1 && !ReadAheadRecordCache(FTrailerRecords)) {
      FLastError = "the trailer records cannot be held back";
      return false;
    }
    FUseRecordCache = FTrailerRecords > 0;
    if (FShowProgress) {
      if (FProgressWindow == nullptr) FProgressWindow = new TProgressWindow(this);
      FProgressWindow->Init(ptImport, pcByte, FInputFile, 0, FFileSize);
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

bool TCSVImport::ResolveColumnFormats() {
  FFieldLayouts.clear();
  for (const std::string& item : FColumnFormats->Items()) {
    if (IsBlank(item)) continue;
    const std::size_t eq = item.find('=');
    const std::string name = Trim(item.substr(0, eq));
    const std::string layout = eq == std::string::npos ? "" : Trim(item.substr(eq + 1));
    TField* field = FDataSet->FindField(name);
    if (layout.empty() || field == nullptr) {
      FLastError = "ColumnFormats \"" + item + "\": " +
                   (layout.empty() ? "give it as NAME=LAYOUT" : "there is no field " + name);
      return false;
    }
    FFieldLayouts.resize(FDataSet->Fields().size());
    FFieldLayouts[static_cast<std::size_t>(field->Index())] = layout;
  }
  return true;
}

bool TCSVImport::AddRecord(const TStringList* Values) {
  if (Values == nullptr) return false;
  return AddRecordValues(Values->Items().data(), Values->Count());
}

namespace {

// The index of the last non-empty value after the first `fields`, plus one;
// 0 when there is none.
template <typename Value>
int ValuesInUse(const Value* values, int count, int fields) {
  for (int i = count; i > fields; --i) {
    if (!std::string_view(values[i - 1]).empty()) return i;
  }
  return 0;
}

}  // namespace

namespace {

// Forgiving values with dsISO8601: an ISO text goes into a date, time or
// date-time field as WriteIsoFieldData stores it; false leaves the value to
// the format settings' reading (which also meets a field that refuses
// writes, and keeps to its own rule for it).
// While it lives, a field's own layout (ColumnFormats) is the format
// settings' ShortDateFormat (the run's own copy, see Execute). Each change
// costs the date reader a look at the layout, which only imports with such
// layouts pay.
// A value of a field without a layout of its own (every value, in most
// runs) costs one test: the saved layout is made only for a field with one.
class TScopedDateLayout {
 public:
  explicit TScopedDateLayout(const std::string* layout) {
    if (layout != nullptr) [[unlikely]] {
      FSaved = std::make_unique<std::string>(*layout);
      FormatSettings().ShortDateFormat.swap(*FSaved);
    }
  }
  ~TScopedDateLayout() {
    if (FSaved) [[unlikely]] FormatSettings().ShortDateFormat.swap(*FSaved);
  }
  TScopedDateLayout(const TScopedDateLayout&) = delete;
  TScopedDateLayout& operator=(const TScopedDateLayout&) = delete;
  bool Given() const { return FSaved != nullptr; }

 private:
  std::unique_ptr<std::string> FSaved;
};

bool StoreIsoLeniently(std::string_view text, TField* field, bool utc) {
  const TFieldType type = field->DataType();
  if (type != ftDate && type != ftTime && type != ftDateTime) return false;
  try {
    return WriteIsoFieldData(text, field, utc) == TIsoFault::None;
  } catch (const EDatabaseError&) {
    return false;
  }
}

}  // namespace

template <typename Value>
bool TCSVImport::AddRecordValues(const Value* values, int count) {
  if (count <= 0 || FDataSet == nullptr) {
    NoteFailure(rerNoValues, -1, {}, "no values");
    return false;
  }
  if (FValueErrors == veStrict) {
    // Matched by name, a value has a place only where a name stood.
    const int fieldCount = FValueFields.empty() ? FDataSet->FieldCount()
                                                : static_cast<int>(FValueFields.size());
    if (const int used = ValuesInUse(values, count, fieldCount); used > 0) {
      NoteFailure(rerTooManyValues, -1, {},
                  std::to_string(used) + " values for " + std::to_string(fieldCount) +
                      (fieldCount == 1 ? " field" : " fields"));
      return false;
    }
    TValueFault fault;
    return StoreRecordValues(values, count, [&](const Value& value, TField* field, int i) {
      const TScopedDateLayout layout(LayoutOf(field));
      if (WriteStrictFieldData(value, field, FWholeValues, fault,
                               layout.Given() ? dsFormatSettings : FDateTimeStyle, FUtcTimes)) {
        return true;
      }
      CancelFailedRecord();
      NoteFailure(fault.Reason, i, value, std::move(fault.Message));
      return false;
    });
  }
  // A value that does not convert leaves its field as it was and does not
  // fail the record; values beyond the last field are dropped.
  return StoreRecordValues(values, count, [this](const Value& value, TField* field, int) {
    const TScopedDateLayout layout(LayoutOf(field));
    // Under ISO 8601, a date or time the format settings would not read.
    if (FDateTimeStyle == dsISO8601 && !layout.Given() &&
        StoreIsoLeniently(value, field, FUtcTimes)) {
      return true;
    }
    const bool stored =
        FWholeValues ? WriteWholeFieldData(value, field) : WriteFieldData(value, field);
    // Values the column keeps rounded are counted.
    if (stored && MayRoundValues(field) && RoundsValue(value, field)) ++FRoundedValues;
    return true;
  });
}

template <typename Value>
bool TCSVImport::PostValues(const Value* values) {
  if constexpr (std::is_same_v<Value, std::string_view>) {
    // The fields hold their values now: a large record's text goes
    // before the dataset makes its own copy, so that at most two copies
    // of it are held at once (unless it is the text OnRecordError would
    // report, which then is the only other copy).
    if (values == FValues.Data() && FReportFrom != TReportFrom::Values) FValues.ReleaseLarge();
  }
  return PostAppended();
}

template <typename Value, typename Store>
bool TCSVImport::StoreRecordValues(const Value* values, int count, Store&& store) {
  try {
    FDataSet->Append();
    const std::vector<TField*>& fields = FDataSet->Fields();
    if (!FValueFields.empty()) {
      // Each value to the field ColumnMatching gave it (-1: none).
      const int n = std::min(count, static_cast<int>(FValueFields.size()));
      for (int i = 0; i < n; ++i) {
        const int f = FValueFields[static_cast<std::size_t>(i)];
        if (f < 0) continue;
        TField* field = fields[static_cast<std::size_t>(f)];
        if constexpr (std::is_same_v<Value, std::string_view>) {
          if (IsQuotedEmpty(values[i])) {
            StoreEmptyText(field);
            continue;
          }
        }
        if (!store(values[i], field, f)) return false;
      }
      return PostValues(values);
    }
    // Values go to fields by position.
    const int n = std::min(count, static_cast<int>(fields.size()));
    // Without an include or exclude action every field takes part.
    const bool everyField = FFieldListAction != flaInclude && FFieldListAction != flaExclude;
    for (int i = 0; i < n; ++i) {
      TField* field = fields[static_cast<std::size_t>(i)];
      if (!everyField &&
          !FieldInFieldList(FFieldListAction, FFieldList.get(), field->FieldName())) {
        continue;
      }
      if constexpr (std::is_same_v<Value, std::string_view>) {
        if (IsQuotedEmpty(values[i])) {
          StoreEmptyText(field);
          continue;
        }
      }
      if (!store(values[i], field, i)) return false;
    }
    return PostValues(values);
  } catch (...) {
    RefuseFailedRecord();  // sorts what was raised: see there
    return false;
  }
}

void TCSVImport::CleanUp() {
  CloseInputFile();
  if (FErrorRecords > 0 && FShowProgress) {
    ShowMessage(
        "There were " + IntToStr(FErrorRecords) + " records that could not be read due to errors",
        mtWarning);
  }
  // A stopped run did not reach the end: what it holds back is no trailer.
  if (FTrailerRecords > 0 && FTrailerStored && !FInterrupted) {
    try {
      NormalizeRecordCache();
      FTrailerData->Assign(*FRecordCache);
    } catch (const std::bad_alloc&) {
      // Copying the held-back records fails only for want of memory; the
      // trailer is then left short (TrailerData's count shows it) and the
      // run's records are stored all the same.
    }
  }
  FreeProgressWindow();
}

}  // namespace korvane
