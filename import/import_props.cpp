// TCSVImport: the accessors of its properties, which keep their values in
// TImportProps (import/import_props.h).
#include "import/import_props.h"
#include "import/kvcsvimp.h"

#include <utility>

namespace korvane {

TColumnMatching TCSVImport::ColumnMatching() const { return FProps->FColumnMatching; }
void TCSVImport::SetColumnMatching(TColumnMatching value) { FProps->FColumnMatching = value; }
bool TCSVImport::SkipUnknownColumns() const { return FProps->FSkipUnknownColumns; }
void TCSVImport::SetSkipUnknownColumns(bool value) { FProps->FSkipUnknownColumns = value; }
bool TCSVImport::LooseColumnNames() const { return FProps->FLooseColumnNames; }
void TCSVImport::SetLooseColumnNames(bool value) { FProps->FLooseColumnNames = value; }
bool TCSVImport::RefuseReadOnlyFields() const { return FProps->FRefuseReadOnlyFields; }
void TCSVImport::SetRefuseReadOnlyFields(bool value) { FProps->FRefuseReadOnlyFields = value; }
const std::string& TCSVImport::CustomSeparator() const { return FProps->FCustomSeparator; }
TDataSet* TCSVImport::DataSet() const { return FProps->FDataSet; }
void TCSVImport::SetDataSet(TDataSet* value) { FProps->FDataSet = value; }
TCompression TCSVImport::Compression() const { return FProps->FCompression; }
void TCSVImport::SetCompression(TCompression value) { FProps->FCompression = value; }
TDelimitedFields TCSVImport::DelimitedFields() const { return FProps->FDelimitedFields; }
void TCSVImport::SetDelimitedFields(TDelimitedFields value) { FProps->FDelimitedFields = value; }
TDialect TCSVImport::Dialect() const { return FProps->FDialect; }
void TCSVImport::SetDialect(TDialect value) { FProps->FDialect = value; }
const std::string& TCSVImport::Encoding() const { return FProps->FEncoding; }
void TCSVImport::SetEncoding(std::string value) { FProps->FEncoding = std::move(value); }
TFieldDelimiter TCSVImport::FieldDelimiter() const { return FProps->FFieldDelimiter; }
void TCSVImport::SetFieldDelimiter(TFieldDelimiter value) { FProps->FFieldDelimiter = value; }
TStrings* TCSVImport::FieldList() const { return FProps->FFieldList.get(); }
TFieldListAction TCSVImport::FieldListAction() const { return FProps->FFieldListAction; }
void TCSVImport::SetFieldListAction(TFieldListAction value) { FProps->FFieldListAction = value; }
TFieldSeparator TCSVImport::FieldSeparator() const { return FProps->FFieldSeparator; }
void TCSVImport::SetFieldSeparator(TFieldSeparator value) { FProps->FFieldSeparator = value; }
TStrings* TCSVImport::HeaderData() const { return FProps->FHeaderData.get(); }
std::int32_t TCSVImport::HeaderRecords() const { return FProps->FHeaderRecords; }
void TCSVImport::SetHeaderRecords(std::int32_t value) { FProps->FHeaderRecords = value; }
std::int32_t TCSVImport::SkipLines() const { return FProps->FSkipLines; }
void TCSVImport::SetSkipLines(std::int32_t value) { FProps->FSkipLines = value < 0 ? 0 : value; }
bool TCSVImport::SkipBlankStart() const { return FProps->FSkipBlankStart; }
void TCSVImport::SetSkipBlankStart(bool value) { FProps->FSkipBlankStart = value; }
const std::string& TCSVImport::CommentChar() const { return FProps->FCommentChar; }
void TCSVImport::SetCommentChar(std::string value) { FProps->FCommentChar = std::move(value); }
const std::string& TCSVImport::EscapeChar() const { return FProps->FEscapeChar; }
void TCSVImport::SetEscapeChar(std::string value) { FProps->FEscapeChar = std::move(value); }
bool TCSVImport::KeepStrayQuotes() const { return FProps->FKeepStrayQuotes; }
void TCSVImport::SetKeepStrayQuotes(bool value) { FProps->FKeepStrayQuotes = value; }
const std::string& TCSVImport::SeparatorChar() const { return FProps->FSeparatorChar; }
void TCSVImport::SetSeparatorChar(std::string value) { FProps->FSeparatorChar = std::move(value); }
bool TCSVImport::HeaderStored() const { return FProps->FHeaderStored; }
void TCSVImport::SetHeaderStored(bool value) { FProps->FHeaderStored = value; }
TImportType TCSVImport::ImportType() const { return FProps->FImportType; }
const std::string& TCSVImport::InputFile() const { return FProps->FInputFile; }
void TCSVImport::SetInputFile(std::string value) { FProps->FInputFile = std::move(value); }
const TNotifyEvent& TCSVImport::OnBeginImport() const { return FProps->FOnBeginImport; }
void TCSVImport::SetOnBeginImport(TNotifyEvent value) { FProps->FOnBeginImport = std::move(value); }
const TNotifyEvent& TCSVImport::OnFinishImport() const { return FProps->FOnFinishImport; }
void TCSVImport::SetOnFinishImport(TNotifyEvent value) {
  FProps->FOnFinishImport = std::move(value);
}
const TImportEvent& TCSVImport::OnImportRecord() const { return FProps->FOnImportRecord; }
void TCSVImport::SetOnImportRecord(TImportEvent value) {
  FProps->FOnImportRecord = std::move(value);
}
const TRecordErrorEvent& TCSVImport::OnRecordError() const { return FProps->FOnRecordError; }
void TCSVImport::SetOnRecordError(TRecordErrorEvent value) {
  FProps->FOnRecordError = std::move(value);
}
bool TCSVImport::ReportRecordText() const { return FProps->FReportRecordText; }
void TCSVImport::SetReportRecordText(bool value) { FProps->FReportRecordText = value; }
const TFilterRecordEvent& TCSVImport::OnFilterRecord() const { return FProps->FOnFilterRecord; }
void TCSVImport::SetOnFilterRecord(TFilterRecordEvent value) {
  FProps->FOnFilterRecord = std::move(value);
}
const TMessageEvent& TCSVImport::OnMessage() const { return FProps->FOnMessage; }
void TCSVImport::SetOnMessage(TMessageEvent value) { FProps->FOnMessage = std::move(value); }
bool TCSVImport::SharedReading() const { return FProps->FSharedReading; }
void TCSVImport::SetSharedReading(bool value) { FProps->FSharedReading = value; }
bool TCSVImport::ShowProgress() const { return FProps->FShowProgress; }
void TCSVImport::SetShowProgress(bool value) { FProps->FShowProgress = value; }
TStrings* TCSVImport::TrailerData() const { return FProps->FTrailerData.get(); }
std::int32_t TCSVImport::TrailerRecords() const { return FProps->FTrailerRecords; }
void TCSVImport::SetTrailerRecords(std::int32_t value) { FProps->FTrailerRecords = value; }
bool TCSVImport::TrailerStored() const { return FProps->FTrailerStored; }
bool TCSVImport::WholeValues() const { return FProps->FWholeValues; }
TValueErrors TCSVImport::ValueErrors() const { return FProps->FValueErrors; }
void TCSVImport::SetValueErrors(TValueErrors value) { FProps->FValueErrors = value; }
TDateTimeStyle TCSVImport::DateTimeStyle() const { return FProps->FDateTimeStyle; }
void TCSVImport::SetDateTimeStyle(TDateTimeStyle value) { FProps->FDateTimeStyle = value; }
bool TCSVImport::UtcTimes() const { return FProps->FUtcTimes; }
void TCSVImport::SetUtcTimes(bool value) { FProps->FUtcTimes = value; }
bool TCSVImport::WideDates() const { return FProps->FWideDates; }
void TCSVImport::SetWideDates(bool value) { FProps->FWideDates = value; }
bool TCSVImport::WideMoney() const { return FProps->FWideMoney; }
void TCSVImport::SetWideMoney(bool value) { FProps->FWideMoney = value; }
const std::string& TCSVImport::ShortDateFormat() const { return FProps->FFormats.ShortDateFormat; }
void TCSVImport::SetShortDateFormat(const std::string& value) {
  FProps->FFormats.ShortDateFormat = value;
}
const std::string& TCSVImport::LongTimeFormat() const { return FProps->FFormats.LongTimeFormat; }
void TCSVImport::SetLongTimeFormat(const std::string& value) {
  FProps->FFormats.LongTimeFormat = value;
}
const std::string& TCSVImport::DateSeparator() const { return FProps->FFormats.DateSeparator; }
const std::string& TCSVImport::TimeSeparator() const { return FProps->FFormats.TimeSeparator; }
const std::string& TCSVImport::DecimalSeparator() const {
  return FProps->FFormats.DecimalSeparator;
}
const std::string& TCSVImport::ThousandSeparator() const {
  return FProps->FFormats.ThousandSeparator;
}
const TFormatChoice& TCSVImport::Formats() const { return FProps->FFormats; }
TStrings* TCSVImport::ColumnFormats() const { return FProps->FColumnFormats.get(); }
void TCSVImport::SetWholeValues(bool value) { FProps->FWholeValues = value; }
TFixedLayout TCSVImport::FixedLayout() const { return FProps->FFixedLayout; }
void TCSVImport::SetFixedLayout(TFixedLayout value) { FProps->FFixedLayout = value; }
const std::string& TCSVImport::FixedWidths() const { return FProps->FFixedWidths; }
void TCSVImport::SetFixedWidths(std::string value) { FProps->FFixedWidths = std::move(value); }
TFixedWidthUnit TCSVImport::FixedWidthUnit() const { return FProps->FFixedWidthUnit; }
void TCSVImport::SetFixedWidthUnit(TFixedWidthUnit value) { FProps->FFixedWidthUnit = value; }
void TCSVImport::SetTrailerStored(bool value) { FProps->FTrailerStored = value; }
std::int32_t TCSVImport::StartRecord() const { return FProps->FStartRecord; }
void TCSVImport::SetStartRecord(std::int32_t value) {
  FProps->FStartRecord = value < 0 ? 0 : value;
}
void TCSVImport::SetInputRange(const TInputRange& range) { FProps->FInputRange = range; }
void TCSVImport::ClearInputRange() { FProps->FInputRange.reset(); }
const std::optional<TCSVImport::TInputRange>& TCSVImport::InputRange() const {
  return FProps->FInputRange;
}
void TCSVImport::Stop() { FProps->FStopRequested.store(true, std::memory_order_relaxed); }
bool TCSVImport::UseRecordCache() const { return FProps->FUseRecordCache; }
void TCSVImport::SetUseRecordCache(bool value) { FProps->FUseRecordCache = value; }
std::size_t TCSVImport::ReadBufferSize() const { return FProps->FReadBufferSize; }
bool TCSVImport::ReadAhead() const { return FProps->FReadAheadEnabled; }
void TCSVImport::SetReadAhead(bool value) { FProps->FReadAheadEnabled = value; }

}  // namespace korvane
