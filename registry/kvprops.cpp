#include "registry/kvprops.h"

#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"

namespace korvane {

// The published properties in their published order.
template <>
TComponentClass ComponentClass<TCSVImport>() {
  using C = TCSVImport;
  static const TClassInfo info =
      TClassBuilder<C>("TCSVImport")
          .StringList("ColumnFormats", &C::ColumnFormats)
          .Enumeration<EnumTraits>("ColumnMatching", &C::ColumnMatching, &C::SetColumnMatching)
          .String("CommentChar", &C::CommentChar, &C::SetCommentChar)
          .Enumeration<EnumTraits>("Compression", &C::Compression, &C::SetCompression)
          .String("CustomSeparator", &C::CustomSeparator, &C::SetCustomSeparator)
          .Reference<TDataSet>("DataSet", "TDataSet", &C::DataSet, &C::SetDataSet)
          .String("DateSeparator", &C::DateSeparator, &C::SetDateSeparator)
          .Enumeration<EnumTraits>("DateTimeStyle", &C::DateTimeStyle, &C::SetDateTimeStyle)
          .String("DecimalSeparator", &C::DecimalSeparator, &C::SetDecimalSeparator)
          .Enumeration<EnumTraits>("DelimitedFields", &C::DelimitedFields, &C::SetDelimitedFields)
          .Enumeration<EnumTraits>("Dialect", &C::Dialect, &C::SetDialect)
          .String("Encoding", &C::Encoding, &C::SetEncoding)
          .Integer("ErrorRecords", &C::ErrorRecords)
          .String("EscapeChar", &C::EscapeChar, &C::SetEscapeChar)
          .Enumeration<EnumTraits>("FieldDelimiter", &C::FieldDelimiter, &C::SetFieldDelimiter)
          .StringList("FieldList", &C::FieldList)
          .Enumeration<EnumTraits>("FieldListAction", &C::FieldListAction, &C::SetFieldListAction)
          .Enumeration<EnumTraits>("FieldSeparator", &C::FieldSeparator, &C::SetFieldSeparator)
          .Enumeration<EnumTraits>("FixedLayout", &C::FixedLayout, &C::SetFixedLayout)
          .String("FixedWidths", &C::FixedWidths, &C::SetFixedWidths)
          .Enumeration<EnumTraits>("FixedWidthUnit", &C::FixedWidthUnit, &C::SetFixedWidthUnit)
          .StringList("HeaderData", &C::HeaderData)
          .Integer("HeaderRecords", &C::HeaderRecords, &C::SetHeaderRecords)
          .Boolean("HeaderStored", &C::HeaderStored, &C::SetHeaderStored)
          .Enumeration<EnumTraits>("ImportType", &C::ImportType, &C::SetImportType)
          .String("InputFile", &C::InputFile,
                  static_cast<void (C::*)(std::string)>(&C::SetInputFile))
          .Boolean("KeepStrayQuotes", &C::KeepStrayQuotes, &C::SetKeepStrayQuotes)
          .String("LongTimeFormat", &C::LongTimeFormat, &C::SetLongTimeFormat)
          .Boolean("LooseColumnNames", &C::LooseColumnNames, &C::SetLooseColumnNames)
          .Event("OnBeginImport", "TNotifyEvent")
          .Event("OnFilterRecord", "TFilterRecordEvent")
          .Event("OnFinishImport", "TNotifyEvent")
          .Event("OnImportRecord", "TImportEvent")
          .Event("OnMessage", "TMessageEvent")
          .Event("OnRecordError", "TRecordErrorEvent")
          .Boolean("RefuseReadOnlyFields", &C::RefuseReadOnlyFields, &C::SetRefuseReadOnlyFields)
          .Boolean("ReportRecordText", &C::ReportRecordText, &C::SetReportRecordText)
          .String("SeparatorChar", &C::SeparatorChar, &C::SetSeparatorChar)
          .Boolean("SharedReading", &C::SharedReading, &C::SetSharedReading)
          .String("ShortDateFormat", &C::ShortDateFormat, &C::SetShortDateFormat)
          .Boolean("ShowProgress", &C::ShowProgress, &C::SetShowProgress)
          .Boolean("SkipBlankStart", &C::SkipBlankStart, &C::SetSkipBlankStart)
          .Integer("SkipLines", &C::SkipLines, &C::SetSkipLines)
          .Boolean("SkipUnknownColumns", &C::SkipUnknownColumns, &C::SetSkipUnknownColumns)
          .Integer("StartRecord", &C::StartRecord, &C::SetStartRecord)
          .String("ThousandSeparator", &C::ThousandSeparator, &C::SetThousandSeparator)
          .String("TimeSeparator", &C::TimeSeparator, &C::SetTimeSeparator)
          .StringList("TrailerData", &C::TrailerData)
          .Integer("TrailerRecords", &C::TrailerRecords, &C::SetTrailerRecords)
          .Boolean("TrailerStored", &C::TrailerStored, &C::SetTrailerStored)
          .Boolean("UtcTimes", &C::UtcTimes, &C::SetUtcTimes)
          .Enumeration<EnumTraits>("ValueErrors", &C::ValueErrors, &C::SetValueErrors)
          .String("Version", &C::Version, &C::SetVersion)
          .Boolean("WholeValues", &C::WholeValues, &C::SetWholeValues)
          .Boolean("WideDates", &C::WideDates, &C::SetWideDates)
          .Boolean("WideMoney", &C::WideMoney, &C::SetWideMoney)
          .Build();
  return &info;
}

template <>
TComponentClass ComponentClass<TCSVExport>() {
  using C = TCSVExport;
  static const TClassInfo info =
      TClassBuilder<C>("TCSVExport")
          .Boolean("ByteOrderMark", &C::ByteOrderMark, &C::SetByteOrderMark)
          .Boolean("CheckUnquoted", &C::CheckUnquoted, &C::SetCheckUnquoted)
          .Enumeration<EnumTraits>("Compression", &C::Compression, &C::SetCompression)
          .String("CustomSeparator", &C::CustomSeparator, &C::SetCustomSeparator)
          .Reference<TDataSet>("DataSet", "TDataSet", &C::DataSet, &C::SetDataSet)
          .String("DateSeparator", &C::DateSeparator, &C::SetDateSeparator)
          .Enumeration<EnumTraits>("DateTimeStyle", &C::DateTimeStyle, &C::SetDateTimeStyle)
          .String("DecimalSeparator", &C::DecimalSeparator, &C::SetDecimalSeparator)
          .Enumeration<EnumTraits>("DelimitedFields", &C::DelimitedFields, &C::SetDelimitedFields)
          .Enumeration<EnumTraits>("Dialect", &C::Dialect, &C::SetDialect)
          .String("Encoding", &C::Encoding, &C::SetEncoding)
          .String("EscapeChar", &C::EscapeChar, &C::SetEscapeChar)
          .Integer("ExportRecordInterval", &C::ExportRecordInterval, &C::SetExportRecordInterval)
          .Enumeration<EnumTraits>("ExportType", &C::ExportType, &C::SetExportType)
          .Enumeration<EnumTraits>("FieldDelimiter", &C::FieldDelimiter, &C::SetFieldDelimiter)
          .StringList("FieldList", &C::FieldList)
          .Enumeration<EnumTraits>("FieldListAction", &C::FieldListAction, &C::SetFieldListAction)
          .Enumeration<EnumTraits>("FieldSeparator", &C::FieldSeparator, &C::SetFieldSeparator)
          .Enumeration<EnumTraits>("FixedLayout", &C::FixedLayout, &C::SetFixedLayout)
          .String("FixedWidths", &C::FixedWidths, &C::SetFixedWidths)
          .Enumeration<EnumTraits>("FixedWidthUnit", &C::FixedWidthUnit, &C::SetFixedWidthUnit)
          .StringList("HeaderData", &C::HeaderData)
          .Boolean("HeaderFieldNames", &C::HeaderFieldNames, &C::SetHeaderFieldNames)
          .Boolean("HeaderOutput", &C::HeaderOutput, &C::SetHeaderOutput)
          .String("LongTimeFormat", &C::LongTimeFormat, &C::SetLongTimeFormat)
          .Enumeration<EnumTraits>("NumericAlign", &C::NumericAlign, &C::SetNumericAlign)
          .Event("OnExportRecord", "TExportEvent")
          .Event("OnBeginExport", "TNotifyEvent")
          .Event("OnFinishExport", "TNotifyEvent")
          .Event("OnMessage", "TMessageEvent")
          .String("OutputFile", &C::OutputFile,
                  static_cast<void (C::*)(std::string)>(&C::SetOutputFile))
          .Enumeration<EnumTraits>("RecordSeparator", &C::RecordSeparator, &C::SetRecordSeparator)
          .String("SeparatorChar", &C::SeparatorChar, &C::SetSeparatorChar)
          .String("ShortDateFormat", &C::ShortDateFormat, &C::SetShortDateFormat)
          .Boolean("ShowProgress", &C::ShowProgress, &C::SetShowProgress)
          .String("ThousandSeparator", &C::ThousandSeparator, &C::SetThousandSeparator)
          .String("TimeSeparator", &C::TimeSeparator, &C::SetTimeSeparator)
          .StringList("TrailerData", &C::TrailerData)
          .Boolean("TrailerOutput", &C::TrailerOutput, &C::SetTrailerOutput)
          .Boolean("UtcTimes", &C::UtcTimes, &C::SetUtcTimes)
          .String("Version", &C::Version, &C::SetVersion)
          .Boolean("WholeValues", &C::WholeValues, &C::SetWholeValues)
          .Enumeration<EnumTraits>("WriteMode", &C::WriteMode, &C::SetWriteMode)
          .Build();
  return &info;
}

void RegisterKorvaneClasses() {
  RegisterClass(ComponentClass<TCSVImport>());
  RegisterClass(ComponentClass<TCSVExport>());
}

}  // namespace korvane
