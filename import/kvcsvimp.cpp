// TCSVImport: construction, properties, and the calls that reach its run
// (import/import_run.h).
#include "import/kvcsvimp.h"
#include "import/import_props.h"
#include "import/import_run.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/run_in_progress.h"
#include "core/sysutils.h"

namespace korvane {

namespace {

std::int32_t ClampToInt32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(v, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

TCSVImport::TCSVImport(TComponent* owner)
    : TComponent(owner),
      FProps(std::make_unique<TImportProps>()),
      FRun(std::make_unique<TImportRun>(*this)) {}

TCSVImport::~TCSVImport() { EndIfRunInProgress(FRun->FRunning, "TCSVImport"); }

// Programs built against an earlier library allocate the class with the size
// they were compiled with: its own members stay these two pointers.
static_assert(sizeof(TCSVImport) == sizeof(TComponent) + 2 * sizeof(void*),
              "a property's value goes in TImportProps, a run's state in TImportRun");

std::int32_t TCSVImport::Execute() {
  const TRunInProgress running(FRun->FRunning, "TCSVImport");
  return FRun->Execute();
}
bool TCSVImport::Setup() { return FRun->Setup(); }
void TCSVImport::CleanUp() { FRun->CleanUp(); }
bool TCSVImport::OpenInputFile() { return FRun->OpenInputFile(); }
void TCSVImport::CloseInputFile() { FRun->CloseInputFile(); }
bool TCSVImport::ReadAheadRecordCache(std::int32_t Count) {
  return FRun->ReadAheadRecordCache(Count);
}
void TCSVImport::ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes, std::string& Text) {
  FRun->ReadTextFileRecord(Handle, Bytes, Text);
}

const std::string& TCSVImport::ColumnFault() const { return FRun->FColumnFault; }
const std::vector<std::string>& TCSVImport::UnknownColumns() const {
  return FRun->FUnknownColumns;
}
const std::vector<std::string>& TCSVImport::ReadOnlyColumns() const {
  return FRun->FReadOnlyColumns;
}
const std::vector<std::pair<std::string, std::string>>& TCSVImport::LooselyMatchedColumns()
    const {
  return FRun->FLooseColumns;
}
std::int32_t TCSVImport::ErrorRecords() const { return FRun->FErrorRecords; }
std::int64_t TCSVImport::TextAfterQuoteRecords() const { return FRun->FTextAfterQuoteRecords; }
std::int64_t TCSVImport::RoundedValues() const { return FRun->FRoundedValues; }
std::int64_t TCSVImport::UnconvertedValues() const { return FRun->FUnconvertedValues; }
std::int64_t TCSVImport::ExtraValueRecords() const { return FRun->FExtraValueRecords; }
std::int64_t TCSVImport::CutValues() const { return FRun->FCutValues; }
std::int64_t TCSVImport::FirstTextAfterQuoteLine() const {
  return FRun->FFirstTextAfterQuoteLine;
}
const std::vector<std::string>& TCSVImport::RefusalMessages() const {
  return FRun->FRefusalMessages;
}
std::int64_t TCSVImport::StoredRecords() const { return FRun->FStoredRecords; }
const std::string& TCSVImport::LastError() const { return FRun->FLastError; }
std::int64_t TCSVImport::FilteredRecords() const { return FRun->FFilteredRecords; }
const std::string& TCSVImport::Delimiter() const { return FRun->FDelimiter; }
const std::string& TCSVImport::Separator() const { return FRun->FSeparator; }
bool TCSVImport::Interrupted() const { return FRun->FInterrupted; }
std::int64_t TCSVImport::NextRecord() const { return FRun->FNextRecord; }
std::int64_t TCSVImport::NextRecordLine() const { return FRun->FNextRecordLine; }
bool TCSVImport::EndOfFile() const { return FRun->FEndOfFile; }
std::int32_t TCSVImport::LineEndBytes() const { return ClampToInt32(FRun->FLineEndBytes); }
std::int32_t TCSVImport::SkippedBytes() const { return ClampToInt32(FRun->FSkippedBytes); }
TRecordFault TCSVImport::RecordFault() const { return FRun->FRecordFault; }
std::int64_t TCSVImport::RecordLine() const { return FRun->FRecordLine; }
std::int32_t TCSVImport::RecordCounter() const { return FRun->FRecordCounter; }
TProgressWindow* TCSVImport::ProgressWindow() const { return FRun->FProgressWindow; }
TStringList* TCSVImport::RecordCache() {
  FRun->NormalizeRecordCache();
  return FRun->FRecordCache.get();
}
TFileHandle& TCSVImport::FileHandle() { return FRun->FFileHandle; }

void TCSVImport::SetFieldList(const TStrings* Value) {
  if (!FProps->FFieldList) FProps->FFieldList = std::make_unique<TStringList>();
  // The component keeps a copy, never the host's list; no list means none.
  if (Value != nullptr) {
    FProps->FFieldList->Assign(*Value);
  } else {
    FProps->FFieldList->Clear();
  }
}

// HeaderData and TrailerData are the component's own results: assigning a
// list to them changes nothing.
void TCSVImport::SetHeaderData(const TStrings* /*Value*/) {}
void TCSVImport::SetTrailerData(const TStrings* /*Value*/) {}

void TCSVImport::SetImportType(TImportType Value) {
  FProps->FImportType = Value;
  ++FRun->FSplitGeneration;
}

void TCSVImport::SetVersion(const std::string& /*Value*/) {}

bool TCSVImport::DefaultReadAhead() { return std::thread::hardware_concurrency() > 1; }

const std::string& TCSVImport::SetupFailure() const {
  static const std::string kNone;
  return FRun->FStarted ? kNone : FRun->FLastError;
}

void TCSVImport::SetDateSeparator(const std::string& value) {
  FProps->FFormats.DateSeparator = CheckedSeparator("DateSeparator", value);
}
void TCSVImport::SetTimeSeparator(const std::string& value) {
  FProps->FFormats.TimeSeparator = CheckedSeparator("TimeSeparator", value);
}
void TCSVImport::SetDecimalSeparator(const std::string& value) {
  FProps->FFormats.DecimalSeparator = CheckedSeparator("DecimalSeparator", value);
}
void TCSVImport::SetThousandSeparator(const std::string& value) {
  FProps->FFormats.ThousandSeparator = CheckedSeparator("ThousandSeparator", value);
}

bool TCSVImport::AddRecord(const TStringList* Values) {
  if (Values == nullptr) return false;
  return FRun->AddRecordValues(Values->Items().data(), Values->Count());
}

}  // namespace korvane
