// TCSVExport: the accessors of its properties, which keep their values in
// TExportProps (export/export_props.h).
#include "export/export_props.h"
#include "export/kvcsvexp.h"

#include <utility>

namespace korvane {

bool TCSVExport::ByteOrderMark() const { return FProps->FByteOrderMark; }
void TCSVExport::SetByteOrderMark(bool value) { FProps->FByteOrderMark = value; }
TCompression TCSVExport::Compression() const { return FProps->FCompression; }
void TCSVExport::SetCompression(TCompression value) { FProps->FCompression = value; }
const std::string& TCSVExport::Encoding() const { return FProps->FEncoding; }
void TCSVExport::SetEncoding(std::string value) { FProps->FEncoding = std::move(value); }
const std::string& TCSVExport::CustomSeparator() const { return FProps->FCustomSeparator; }
const std::string& TCSVExport::SeparatorChar() const { return FProps->FSeparatorChar; }
void TCSVExport::SetSeparatorChar(std::string value) { FProps->FSeparatorChar = std::move(value); }
TDataSet* TCSVExport::DataSet() const { return FProps->FDataSet; }
void TCSVExport::SetDataSet(TDataSet* value) { FProps->FDataSet = value; }
TDelimitedFields TCSVExport::DelimitedFields() const { return FProps->FDelimitedFields; }
void TCSVExport::SetDelimitedFields(TDelimitedFields value) { FProps->FDelimitedFields = value; }
TDialect TCSVExport::Dialect() const { return FProps->FDialect; }
void TCSVExport::SetDialect(TDialect value) { FProps->FDialect = value; }
const std::string& TCSVExport::EscapeChar() const { return FProps->FEscapeChar; }
void TCSVExport::SetEscapeChar(std::string value) { FProps->FEscapeChar = std::move(value); }
TExportType TCSVExport::ExportType() const { return FProps->FExportType; }
void TCSVExport::SetExportType(TExportType value) { FProps->FExportType = value; }
TFieldDelimiter TCSVExport::FieldDelimiter() const { return FProps->FFieldDelimiter; }
void TCSVExport::SetFieldDelimiter(TFieldDelimiter value) { FProps->FFieldDelimiter = value; }
TStrings* TCSVExport::FieldList() const { return FProps->FFieldList.get(); }
TFieldListAction TCSVExport::FieldListAction() const { return FProps->FFieldListAction; }
void TCSVExport::SetFieldListAction(TFieldListAction value) { FProps->FFieldListAction = value; }
TFieldSeparator TCSVExport::FieldSeparator() const { return FProps->FFieldSeparator; }
void TCSVExport::SetFieldSeparator(TFieldSeparator value) { FProps->FFieldSeparator = value; }
TStrings* TCSVExport::HeaderData() const { return FProps->FHeaderData.get(); }
bool TCSVExport::HeaderOutput() const { return FProps->FHeaderOutput; }
void TCSVExport::SetHeaderOutput(bool value) { FProps->FHeaderOutput = value; }
bool TCSVExport::HeaderFieldNames() const { return FProps->FHeaderFieldNames; }
void TCSVExport::SetHeaderFieldNames(bool value) { FProps->FHeaderFieldNames = value; }
TNumericAlignment TCSVExport::NumericAlign() const { return FProps->FNumericAlign; }
void TCSVExport::SetNumericAlign(TNumericAlignment value) { FProps->FNumericAlign = value; }
const TExportEvent& TCSVExport::OnExportRecord() const { return FProps->FOnExportRecord; }
void TCSVExport::SetOnExportRecord(TExportEvent value) {
  FProps->FOnExportRecord = std::move(value);
}
std::int32_t TCSVExport::ExportRecordInterval() const { return FProps->FExportRecordInterval; }
void TCSVExport::SetExportRecordInterval(std::int32_t value) {
  FProps->FExportRecordInterval = value;
}
const TNotifyEvent& TCSVExport::OnBeginExport() const { return FProps->FOnBeginExport; }
void TCSVExport::SetOnBeginExport(TNotifyEvent value) { FProps->FOnBeginExport = std::move(value); }
const TNotifyEvent& TCSVExport::OnFinishExport() const { return FProps->FOnFinishExport; }
void TCSVExport::SetOnFinishExport(TNotifyEvent value) {
  FProps->FOnFinishExport = std::move(value);
}
const TMessageEvent& TCSVExport::OnMessage() const { return FProps->FOnMessage; }
void TCSVExport::SetOnMessage(TMessageEvent value) { FProps->FOnMessage = std::move(value); }
const std::string& TCSVExport::OutputFile() const { return FProps->FOutputFile; }
void TCSVExport::SetOutputFile(std::string value) { FProps->FOutputFile = std::move(value); }
TWriteMode TCSVExport::WriteMode() const { return FProps->FWriteMode; }
void TCSVExport::SetWriteMode(TWriteMode value) { FProps->FWriteMode = value; }
TRecordSeparator TCSVExport::RecordSeparator() const { return FProps->FRecordSeparator; }
void TCSVExport::SetRecordSeparator(TRecordSeparator value) { FProps->FRecordSeparator = value; }
bool TCSVExport::ShowProgress() const { return FProps->FShowProgress; }
void TCSVExport::SetShowProgress(bool value) { FProps->FShowProgress = value; }
TStrings* TCSVExport::TrailerData() const { return FProps->FTrailerData.get(); }
bool TCSVExport::TrailerOutput() const { return FProps->FTrailerOutput; }
void TCSVExport::SetTrailerOutput(bool value) { FProps->FTrailerOutput = value; }
bool TCSVExport::WholeValues() const { return FProps->FWholeValues; }
void TCSVExport::SetWholeValues(bool value) { FProps->FWholeValues = value; }
TDateTimeStyle TCSVExport::DateTimeStyle() const { return FProps->FDateTimeStyle; }
void TCSVExport::SetDateTimeStyle(TDateTimeStyle value) { FProps->FDateTimeStyle = value; }
bool TCSVExport::CheckUnquoted() const { return FProps->FCheckUnquoted; }
void TCSVExport::SetCheckUnquoted(bool value) { FProps->FCheckUnquoted = value; }
bool TCSVExport::UtcTimes() const { return FProps->FUtcTimes; }
void TCSVExport::SetUtcTimes(bool value) { FProps->FUtcTimes = value; }
const std::string& TCSVExport::ShortDateFormat() const { return FProps->FFormats.ShortDateFormat; }
void TCSVExport::SetShortDateFormat(const std::string& value) {
  FProps->FFormats.ShortDateFormat = value;
}
const std::string& TCSVExport::LongTimeFormat() const { return FProps->FFormats.LongTimeFormat; }
void TCSVExport::SetLongTimeFormat(const std::string& value) {
  FProps->FFormats.LongTimeFormat = value;
}
const std::string& TCSVExport::DateSeparator() const { return FProps->FFormats.DateSeparator; }
const std::string& TCSVExport::TimeSeparator() const { return FProps->FFormats.TimeSeparator; }
const std::string& TCSVExport::DecimalSeparator() const {
  return FProps->FFormats.DecimalSeparator;
}
const std::string& TCSVExport::ThousandSeparator() const {
  return FProps->FFormats.ThousandSeparator;
}
const TFormatChoice& TCSVExport::Formats() const { return FProps->FFormats; }
TFixedLayout TCSVExport::FixedLayout() const { return FProps->FFixedLayout; }
void TCSVExport::SetFixedLayout(TFixedLayout value) { FProps->FFixedLayout = value; }
const std::string& TCSVExport::FixedWidths() const { return FProps->FFixedWidths; }
void TCSVExport::SetFixedWidths(std::string value) { FProps->FFixedWidths = std::move(value); }
TFixedWidthUnit TCSVExport::FixedWidthUnit() const { return FProps->FFixedWidthUnit; }
void TCSVExport::SetFixedWidthUnit(TFixedWidthUnit value) { FProps->FFixedWidthUnit = value; }
bool TCSVExport::FormatAhead() const { return FProps->FFormatAhead; }
void TCSVExport::SetFormatAhead(bool value) { FProps->FFormatAhead = value; }

}  // namespace korvane
