#include "export/kvcsvexp.h"
#include "export/export_run.h"

#include "io/replacement_file.h"
#include "io/text_encoding.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "ui/dialogs.h"
#include "core/sysutils.h"
#include "export/format_ahead.h"
#include "export/record_plan.h"
#include "components/fixed_widths.h"
#include "components/kvprogress.h"
#include "components/run_in_progress.h"
#include "components/separator_in_force.h"

namespace korvane {

namespace {

// The line of field names a header can start with: the names of the fields
// that take part, laid out like the values (padded to the display width in
// fixed-width lines, quoted where every value is quoted or where a name
// holds the separator or the quote character). With fault, a name the line
// would not give back, as a value would not be (a line break in a
// fixed-width line; without quotes or an escape character under
// CheckUnquoted, a line break or the separator), puts the reason in nameFault
// and ends the line there.
std::string FieldNamesLine(const TExportLayout& layout, std::string* nameFault = nullptr) {
  std::string line;
  TDataSet* ds = layout.DataSet;
  if (ds == nullptr) return line;
  // Laid out as columns, a name fills its column as a value does.
  std::vector<int> widths;
  std::string fault;
  if (layout.Fixed && layout.Columns) ParseFixedWidths(layout.Widths, widths, fault);
  std::size_t column = 0;
  bool first = true;
  for (TField* field : ds->Fields()) {
    std::string_view name = field->FieldName();
    if (!FieldInFieldList(layout.FieldListAction, layout.FieldList, name)) continue;
    int width = field->DisplayWidth();
    if (layout.Fixed && layout.Columns) {
      width = column < widths.size() ? widths[column]
              : widths.empty()       ? FixedWidth(*field, layout.Iso ? dsISO8601 : dsFormatSettings)
                                     : 0;
      name = TFixedColumnCutter(name, layout.WidthUnit).Next(static_cast<std::size_t>(width));
      ++column;
    }
    const bool standard = layout.Standard && !layout.Fixed;
    const char escape = layout.Fixed ? 0 : layout.Escape;
    if (nameFault != nullptr) {
      const bool unquoted = layout.CheckUnquoted && !layout.Fixed && layout.Quote == 0 && escape == 0;
      const bool lineBreak = name.find_first_of("\r\n") != std::string_view::npos;
      if ((layout.Fixed && layout.Columns && lineBreak) || (unquoted && lineBreak)) {
        *nameFault = "field name '" + field->FieldName() + "' holds a line break, which " +
                 (layout.Fixed ? "a fixed-width line" : "a line without quotes or an escape character") +
                 " cannot hold";
        return line;
      }
      if (unquoted && !layout.SeparatorText.empty() &&
          name.find(layout.SeparatorText) != std::string_view::npos) {
        *nameFault = "field name '" + field->FieldName() + "' holds the separator '" +
                 std::string(layout.SeparatorText) +
                 "', which a line without quotes or an escape character cannot hold";
        return line;
      }
    }
    const bool wrap =
        layout.Quote != 0 &&
        (layout.DelimitedFields == dfAll ||
         (!layout.SeparatorText.empty() && name.find(layout.SeparatorText) != std::string::npos) ||
         name.find(layout.Quote) != std::string::npos ||
         (escape != 0 && name.find(escape) != std::string::npos) ||
         (standard && name.find_first_of("\r\n") != std::string::npos));
    if (!first) line += layout.SeparatorText;
    first = false;
    if (wrap) line += layout.Quote;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      if (escape != 0 && (c == escape || (wrap && c == layout.Quote) ||
                          (!wrap && (c == '\r' || c == '\n' ||
                                     (!layout.SeparatorText.empty() &&
                                      name.substr(i).starts_with(layout.SeparatorText)))))) {
        line += escape;  // a name is escaped as a value is
      } else if (wrap && standard && c == layout.Quote) {
        line += c;  // doubled inside quotes
      }
      line += c;
    }
    const std::size_t length =
        layout.Fixed && layout.Columns ? FixedTextWidth(name, layout.WidthUnit) : name.size();
    if (layout.Fixed && length < static_cast<std::size_t>(width)) {
      line.append(static_cast<std::size_t>(width) - length, ' ');
    }
    if (wrap) line += layout.Quote;
  }
  return line;
}

// Cleans up after a run whichever way it leaves Execute: buffered lines go
// to the file, the file is closed and the progress window freed. CleanUp
// does nothing the second time, so the normal path may call it first.
class TRunGuard {
 public:
  explicit TRunGuard(TCSVExport& owner) : FOwner(owner) {}
  ~TRunGuard() { FOwner.CleanUp(); }
  TRunGuard(const TRunGuard&) = delete;
  TRunGuard& operator=(const TRunGuard&) = delete;

 private:
  TCSVExport& FOwner;
};

}  // namespace

static_assert(TCSVExport::kWriteBufferSize == TExportOutput::kFirstWrite);
static_assert(TCSVExport::kMaxWriteBufferSize == TExportOutput::kLargestWrite);

TExportRun::TExportRun(TCSVExport& owner) : FOwner(owner), FProps(*owner.FProps) {}

TExportRun::~TExportRun() = default;

TCSVExport::TCSVExport(TComponent* owner)
    : TComponent(owner),
      FProps(std::make_unique<TExportProps>()),
      FRun(std::make_unique<TExportRun>(*this)) {}

TCSVExport::~TCSVExport() {
  EndIfRunInProgress(FRun->FRunning, "TCSVExport");
  CleanUp();
}

// Programs built against an earlier library allocate the class with the size
// they were compiled with: its own members stay these two pointers.
static_assert(sizeof(TCSVExport) == sizeof(TComponent) + 2 * sizeof(void*),
              "a property's value goes in TExportProps, a run's state in TExportRun");

void TCSVExport::SetCustomSeparator(const std::string& Value) {
  FProps->FCustomSeparator = NormaliseCustomSeparator(Value);
}

void TCSVExport::SetFieldList(const TStrings* Value) {
  if (Value == nullptr) {
    FProps->FFieldList->Clear();
  } else {
    FProps->FFieldList->Assign(*Value);
  }
}

void TCSVExport::SetHeaderData(const TStrings* Value) {
  if (Value == nullptr) {
    FProps->FHeaderData->Clear();
  } else {
    FProps->FHeaderData->Assign(*Value);
  }
}

void TCSVExport::SetTrailerData(const TStrings* Value) {
  if (Value == nullptr) {
    FProps->FTrailerData->Clear();
  } else {
    FProps->FTrailerData->Assign(*Value);
  }
}

void TCSVExport::SetVersion(const std::string& /*Value*/) {}

std::string TCSVExport::GetFieldDelimiterChar() const {
  return FieldDelimiterChar(FProps->FFieldDelimiter);
}

std::string TCSVExport::GetFieldSeparatorChar() const {
  return SeparatorInForce(FProps->FFieldSeparator, FProps->FSeparatorChar,
                          FProps->FCustomSeparator);
}

void TCSVExport::ResolveCharacters() {
  FRun->FDelimiter = GetFieldDelimiterChar();
  FRun->FSeparator = GetFieldSeparatorChar();
}

TExportLayout TExportRun::Layout() const {
  TExportLayout layout;
  layout.DataSet = FProps.FDataSet;
  layout.Fixed = FProps.FExportType == expFixed;
  layout.RecordSeparator = RecordSeparatorBytes();
  layout.Separator = FSeparator.empty() ? 0 : FSeparator.front();
  layout.SeparatorText = FSeparator;
  layout.Quote = FDelimiter.empty() ? 0 : FDelimiter.front();
  layout.DelimitedFields = FProps.FDelimitedFields;
  layout.FieldListAction = FProps.FFieldListAction;
  layout.FieldList = FProps.FFieldList.get();
  layout.NumericAlign = FProps.FNumericAlign;
  layout.WholeValues = FProps.FWholeValues;
  layout.Iso = FProps.FDateTimeStyle == dsISO8601;
  layout.Utc = FProps.FUtcTimes;
  layout.CheckUnquoted = FProps.FCheckUnquoted;
  layout.Standard = FProps.FDialect == dlStandard;
  // An escape that is the quote, the separator or a line end is none, as
  // on import.
  const char escape = FProps.FEscapeChar.empty() ? 0 : FProps.FEscapeChar.front();
  if (layout.Standard && !layout.Fixed && escape != 0 && escape != layout.Quote &&
      escape != layout.Separator && escape != '\r' && escape != '\n') {
    layout.Escape = escape;
  }
  layout.Columns = FProps.FFixedLayout == flColumns;
  layout.Widths = FProps.FFixedWidths;
  layout.WidthUnit = FProps.FFixedWidthUnit;
  return layout;
}

std::string TExportRun::FormatRecord(bool fixed) {
  TExportOutput line;
  TRecordPlan plan(line);
  TExportLayout layout = Layout();
  layout.Fixed = fixed;
  plan.Build(layout);
  const std::size_t length = plan.Put();
  return std::string(line.Held().substr(0, length));
}

std::string TCSVExport::GetDelimitedRecord() { return FRun->FormatRecord(false); }

std::string TCSVExport::GetFixedRecord() { return FRun->FormatRecord(true); }

std::string TCSVExport::GetFieldNamesLine() const {
  // From the properties as they are, also before a run resolved them.
  TExportLayout layout = FRun->Layout();
  const std::string separator = GetFieldSeparatorChar();
  const std::string quote = GetFieldDelimiterChar();
  layout.Separator = separator.empty() ? 0 : separator.front();
  layout.SeparatorText = separator;
  layout.Quote = quote.empty() ? 0 : quote.front();
  return FieldNamesLine(layout);
}

// ---------------------------------------------------------------------------
// Writing

std::string_view TExportRun::RecordSeparatorBytes() const {
  switch (FProps.FRecordSeparator) {
    case rsCR:
      return "\r";
    case rsLF:
      return "\n";
    case rsCRLF:
      break;
  }
  return "\r\n";
}

bool TCSVExport::FlushWriteBuffer() { return FRun->FOutput.Flush(); }

bool TCSVExport::WriteData(const std::string& line) { return FRun->WriteData(line); }

bool TExportRun::WriteData(std::string_view line) {
  FOutput.Append(line);
  FOutput.Append(RecordSeparatorBytes());
  return !FOutput.Full() || FOutput.Flush();
}

bool TExportRun::WriteLines(const TStrings& lines) {
  const int count = lines.Count();
  for (int i = 0; i < count; ++i) {
    if (!WriteData(lines.Strings(i))) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The run

void TExportRun::FreeProgressWindow() noexcept {
  TProgressWindow* window = FProgressWindow;
  FProgressWindow = nullptr;
  delete window;
}

void TExportRun::ShowMessage(const std::string& text, TMsgDlgType type) {
  if (FProps.FOnMessage) {
    FProps.FOnMessage(&FOwner, text, type);
  } else {
    MessageDlg(text, type, TMsgDlgButtons{mbOK}, 0);
  }
}

std::int32_t TCSVExport::RecordCounter() const { return FRun->FRecordCounter; }
std::int32_t TCSVExport::RecordTotal() const { return FRun->FRecordTotal; }
TProgressWindow* TCSVExport::ProgressWindow() const { return FRun->FProgressWindow; }
bool TCSVExport::FileOpen() const { return FRun->FOutput.Valid(); }
int TCSVExport::WriteErrorCode() const { return FRun->FOutput.ErrorCode(); }
const std::string& TCSVExport::WriteErrorText() const { return FRun->FOutput.Failure(); }
const std::string& TCSVExport::LastError() const { return FRun->FLastError; }
const TLeftOutRecords& TCSVExport::LeftOutRecords() const { return FRun->FLeftOut.Totals; }
const std::vector<TLeftOutRecord>& TCSVExport::LeftOutList() const { return FRun->FLeftOut.List; }
std::int64_t TCSVExport::UnfitRecords() const { return FRun->FLeftOut.Unfit; }

const std::string& TCSVExport::SetupFailure() const {
  static const std::string kNone;
  return FRun->FStarted ? kNone : FRun->FLastError;
}

void TExportRun::NoteWriteFailure() {
  const int code = FOutput.ErrorCode();
  const std::string& target = FProps.FOutputFile;
  if (!FOutput.Failure().empty()) {
    FLastError = "cannot write '" + target + "': " + FOutput.Failure();
  } else {
    FLastError = "cannot write '" + target + "'" +
                 (code != 0 ? " (" + std::string(std::strerror(code)) + ")" : std::string());
  }
}

bool TCSVExport::Setup() {
  TExportRun& run = *FRun;
  run.FRecordCounter = 0;
  run.FStarted = false;
  run.FLastError.clear();
  run.FLeftOut = TLeftOutLog{};
  run.FOutput.Begin();
  try {
    if (FProps->FDataSet == nullptr) {
      run.FLastError = "no dataset to export (DataSet is not set)";
      return false;
    }
    if (!SeparatorCharFits(FProps->FSeparatorChar, run.FLastError)) return false;
    if (FProps->FSeparatorChar == std::string(1, '\0')) {
      // Lines are built around a separator byte that is not zero.
      run.FLastError = "SeparatorChar cannot be a zero byte on export";
      return false;
    }
    if (FProps->FEscapeChar.size() > 1) {
      run.FLastError = "EscapeChar \"" + FProps->FEscapeChar + "\" is not one character";
      return false;
    }
    if (!EncodingUsable(FProps->FEncoding, run.FLastError)) return false;
    if (FProps->FOutputFile.empty()) {
      run.FLastError = "no file to export to (OutputFile is not set)";
      return false;
    }
    // Everything that can fail comes before the output file is created, so
    // that a run that cannot start leaves an earlier file untouched.
    if (!FProps->FDataSet->Active()) FProps->FDataSet->Open();
    // The total serves progress only; a database counts by reading the
    // whole table, so a run that shows no progress and reports no record
    // to a handler does not ask for it.
    run.FRecordTotal =
        FProps->FShowProgress || FProps->FOnExportRecord ? FProps->FDataSet->RecordCount() : 0;
    if (FProps->FShowProgress) {
      if (run.FProgressWindow == nullptr) run.FProgressWindow = new TProgressWindow(this);
      run.FProgressWindow->Init(ptExport, pcRecord, FProps->FOutputFile, run.FRecordTotal, 0);
      run.FProgressWindow->Show();
    }
    FProps->FDataSet->First();
    ResolveCharacters();
    if (FProps->FHeaderOutput && FProps->FHeaderFieldNames) {
      // The header line would not read back: no file is written.
      std::string fault;
      static_cast<void>(FieldNamesLine(run.Layout(), &fault));
      if (!fault.empty()) {
        run.FLastError = "the header line cannot be written: " + fault;
        return false;
      }
    }
    TFileFormat format = TFileFormat::ffPlain;
    if (FProps->FCompression == cmGzip) format = TFileFormat::ffGzip;
    if (FProps->FCompression == cmZstd) format = TFileFormat::ffZstd;
    if (FProps->FCompression == cmAuto) format = FileFormatForName(FProps->FOutputFile);
    run.FReplacement.reset();
    if (FProps->FWriteMode == wmReplace)
      run.FReplacement = std::make_unique<TReplacementFile>(FProps->FOutputFile);
    const std::string& path =
        run.FReplacement ? run.FReplacement->WritePath() : FProps->FOutputFile;
    if (!run.FOutput.Create(path, format, FProps->FEncoding)) {
      const int code = GetLastError();
      run.FLastError = "cannot create '" + FProps->FOutputFile + "'" +
                       (code != 0 ? " (" + std::string(std::strerror(code)) + ")" : "");
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    // The run does not start, and says nothing itself: the host shows the
    // reason (the command does).
    run.FLastError = e.what();
    return false;
  }
}

void TCSVExport::CleanUp() {
  FRun->FOutput.Close();
  FRun->FreeProgressWindow();
}

void TCSVExport::SetDateSeparator(const std::string& value) {
  FProps->FFormats.DateSeparator = CheckedSeparator("DateSeparator", value);
}
void TCSVExport::SetTimeSeparator(const std::string& value) {
  FProps->FFormats.TimeSeparator = CheckedSeparator("TimeSeparator", value);
}
void TCSVExport::SetDecimalSeparator(const std::string& value) {
  FProps->FFormats.DecimalSeparator = CheckedSeparator("DecimalSeparator", value);
}
void TCSVExport::SetThousandSeparator(const std::string& value) {
  FProps->FFormats.ThousandSeparator = CheckedSeparator("ThousandSeparator", value);
}

bool TExportRun::ReplaceTarget() {
  if (!FReplacement) return true;
  const std::unique_ptr<TReplacementFile> replacement = std::move(FReplacement);
  try {
    replacement->Commit();
    return true;
  } catch (const EInOutError& e) {
    FLastError = e.Message();
    return false;
  }
}

std::int32_t TCSVExport::Execute() {
  // The run's own format settings; the lines are all written (FormatAhead's
  // thread has ended) before they go.
  const TRunInProgress running(FRun->FRunning, "TCSVExport");
  const TScopedFormatSettings formats(FProps->FFormats);
  TExportRun& run = *FRun;
  std::int32_t result = -1;
  run.FLastError.clear();
  run.FStarted = false;
  // A new file that does not take the target's place is removed however
  // the run ends.
  struct TDiscard {
    std::unique_ptr<TReplacementFile>& replacement;
    ~TDiscard() { replacement.reset(); }
  } discard{run.FReplacement};
  try {
    if (FProps->FOnBeginExport) FProps->FOnBeginExport(this);
    bool written = true;
    {
      TRunGuard guard(*this);
      if (!Setup()) {
        CleanUp();
        return -1;
      }
      run.FStarted = true;
      result = 0;
      written = run.WriteRun();
      CleanUp();
    }
    if (!written || WriteErrorCode() != 0) {
      result = -1;
      run.NoteWriteFailure();
      run.ShowMessage("Write failed with error code " + IntToStr(WriteErrorCode()), mtError);
      return -1;
    }
    if (!run.ReplaceTarget()) return -1;
    result = run.FRecordCounter;
    if (FProps->FOnFinishExport) FProps->FOnFinishExport(this);
  } catch (const EConvertError& e) {
    run.FLastError = std::string("data conversion error: ") + e.what();
    run.ShowMessage("Data conversion error!", mtError);
  } catch (const std::exception& e) {
    // A handler's or the dataset's exception goes on to the host, which
    // finds its text in LastError too.
    run.FLastError = e.what();
    throw;
  }
  return result;
}

bool TExportRun::WriteRun() {
  // Progress is shown about a hundred times per run, whatever its size.
  const std::int32_t interval = std::max<std::int32_t>(1, FRecordTotal / 100);
  const std::int32_t eventInterval = std::max<std::int32_t>(1, FProps.FExportRecordInterval);

  // Converted into the output's encoding on the way, where it has one.
  if (FProps.FByteOrderMark && !EncodingWritesByteOrderMark(FProps.FEncoding)) {
    FOutput.Append("\xEF\xBB\xBF");
  }
  if (FProps.FHeaderOutput && !WriteLines(*FProps.FHeaderData)) return false;
  if (FProps.FHeaderOutput && FProps.FHeaderFieldNames && !WriteData(FOwner.GetFieldNamesLine()))
    return false;

  // Each pass reads DataSet, ExportType and RecordSeparator as they are: a
  // handler that changes them has the next record walked, formatted and
  // ended by the new ones (the plan is built again after it). The quote and
  // separator characters wait for the next run. A handler that clears
  // DataSet ends the records.
  TRecordPlan plan(FOutput, &FLeftOut);
  plan.Build(Layout());
  std::int64_t bytes = 0;
  if (!WriteAhead(plan, bytes)) return false;
  while (FProps.FDataSet != nullptr && !FProps.FDataSet->Eof()) {
    const std::size_t length = plan.Put();
    if (length > 0) {
      // Every line counts two separator bytes, whatever RecordSeparator writes.
      bytes += static_cast<std::int64_t>(length) + 2;
      if (FOutput.Full() && !FOutput.Queue()) return false;
    }
    FProps.FDataSet->Next();
    ++FRecordCounter;
    if (FProps.FOnExportRecord && (FRecordCounter % eventInterval == 0 || FProps.FDataSet->Eof())) {
      // The handler may look at the file: it must hold every line so far.
      if (!FOutput.Flush()) return false;
      FProps.FOnExportRecord(&FOwner, FRecordCounter, bytes);
      plan.Build(Layout());  // the handler may have changed what the plan holds
    }
    if (FProps.FShowProgress && FRecordCounter % interval == 0 && FProgressWindow != nullptr) {
      FProgressWindow->Increment(FRecordCounter, bytes);
      plan.Build(Layout());
    }
  }

  if (FProps.FTrailerOutput && !WriteLines(*FProps.FTrailerData)) return false;
  return true;
}

bool TExportRun::WriteAhead(TRecordPlan& plan, std::int64_t& bytes) {
  // Only with no host code looking on, and for as long as records can be
  // formatted from copies of their values; a record that cannot, and all
  // after it, go the usual way.
  TDataSet* const dataSet = FProps.FDataSet;
  if (!FProps.FFormatAhead || FProps.FOnExportRecord ||
      (FProps.FShowProgress && FProgressWindow != nullptr) || !plan.WorksFromCopies() ||
      dataSet->Eof()) {
    return true;
  }
  std::optional<TFormatAhead> ahead;
  try {
    ahead.emplace(FOutput, plan);
  } catch (const std::system_error&) {
    return true;  // no thread to be had: every record goes the usual way
  }
  while (!dataSet->Eof() && FProps.FDataSet == dataSet && ahead->Add(dataSet->CurrentValues())) {
    dataSet->Next();
    ++FRecordCounter;
  }
  const bool written = ahead->Finish();
  bytes += ahead->Bytes();
  return written;
}

}  // namespace korvane
