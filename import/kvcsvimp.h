// TCSVImport: reads a text file into a dataset, one dataset record per text
// record.
#pragma once

#include "core/api.h"

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/classes.h"
#include "data/db.h"
#include "io/fileio.h"
#include "components/kvtypes.h"
#include "text/formats_choice.h"

namespace korvane {

class TImportRun;
struct TImportProps;
class TProgressWindow;

// The values of one record in field order. The list keeps its own copy of
// the record's text and each value is a view into it: quotes are taken out
// in place, so splitting copies a record once instead of once per value.
// The copy and the views keep their capacity from record to record, so
// splitting a run of records does not allocate once they have grown.
class KORVANE_API TValueList {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // A value; valid until the list is cleared or split into again.
  std::string_view operator[](int index) const { return FItems[static_cast<std::size_t>(index)]; }
  // The values as a contiguous array of Count() views.
  const std::string_view* Data() const { return FItems.data(); }
  void Clear() { FItems.clear(); }
  // Clears the list and, when its text was a large record's, gives that
  // memory back instead of keeping it for the next record.
  void ReleaseLarge();
  // Copies the values into list (replacing its contents).
  void AssignTo(TStringList& list) const;

 private:
  friend class TCSVImport;
  friend class TImportRun;
  std::string FText;
  std::vector<std::string_view> FItems;
};

// Fired before a record is stored, with its values and the line on which it
// starts; a handler that clears Accept skips the record.
using TFilterRecordEvent = std::function<void(TObject* Sender, const TValueList& Values,
                                              std::int64_t Line, bool& Accept)>;

// The import component. Owns its string lists and its progress window;
// references its dataset, which the host keeps alive. Execute runs
// synchronously: the dataset, the events and the messages are all used on
// the caller's thread, and a thread reading ahead in the file (ReadAhead)
// has ended when Execute returns. Not thread-safe.
class KORVANE_API TCSVImport : public TComponent {
 public:
  explicit TCSVImport(TComponent* owner);
  ~TCSVImport() override;

  // Runs an import: the records read less the records that failed, or -1
  // when the preparation failed or the database itself failed
  // (EDatabaseFailure: full, I/O error, ...). Such a failure ends the run at
  // once, with an error message that says how many records are committed
  // (StoredRecords); it is never counted as a refused record. LastError()
  // says why a run returned -1. An input that cannot be read on partway
  // (damaged or cut-short compressed data, a read the system refuses)
  // raises EInOutError instead, its text in LastError() too; the records
  // stored before it stay (StoredRecords). One run at a time: called while
  // a run of this component goes on (from its handler, or another thread),
  // it raises Exception and leaves that run alone.
  [[nodiscard]] std::int32_t Execute();

  // Published properties.
  //
  // Which field each value goes to (TColumnMatching; cmByPosition
  // initially), decided once at the start of each run, after the header
  // records are read. By header name the last header record names the
  // fields (no header record read: by position); by field list FieldList
  // names them in order. Either way FieldList and FieldListAction still
  // choose the fields that take values (a value whose name an flaExclude
  // list holds is skipped, whether or not it names a field), and a name
  // that is no field's, or a field named twice, fails the run before any
  // record is stored, with a message naming them, the nearest field names
  // and the dataset's fields (ColumnFault), unless SkipUnknownColumns skips
  // the values of unknown names.
  TColumnMatching ColumnMatching() const;
  void SetColumnMatching(TColumnMatching value);
  bool SkipUnknownColumns() const;
  void SetSkipUnknownColumns(bool value);
  // By header name, a name that is no field's (as SameText compares them)
  // names, with LooseColumnNames (false initially), the one field whose name
  // is the same once case, blanks, hyphens, underscores and dots are left
  // out (SameLooseName): "First Name" and "E-mail" name first_name and
  // email. A name that loosely names several fields fails the run, naming
  // them, as does a field named twice, loosely or not. So too in a
  // fixed-width header (flColumns), each name at the start of its field's
  // column. FieldList's names are matched exactly either way.
  bool LooseColumnNames() const;
  void SetLooseColumnNames(bool value);
  // With RefuseReadOnlyFields (false initially), values that would go to
  // ReadOnly fields (a table's generated columns) fail the run before any
  // record is stored (ColumnFault; ReadOnlyColumns names the fields),
  // rather than failing every record: values matched by header name or
  // FieldList, or by position the fields as many as the header record has
  // values (with no header record read, the records fail alone).
  bool RefuseReadOnlyFields() const;
  void SetRefuseReadOnlyFields(bool value);
  // Why the last run's values could not be matched to fields (empty when
  // they were), and the names the header or FieldList gave that are no
  // field's.
  const std::string& ColumnFault() const;
  const std::vector<std::string>& UnknownColumns() const;
  const std::vector<std::string>& ReadOnlyColumns() const;
  // The header names of the last run that named a field loosely, each with
  // the field's name, in the values' order.
  const std::vector<std::pair<std::string, std::string>>& LooselyMatchedColumns() const;
  // The index in DataSet's fields of the field a header name names, as a run
  // matching by header name finds it (LooseColumnNames included); -1 when
  // none does, -2 when several do loosely.
  int FieldNamedBy(std::string_view name) const;
  // The field each value of a record went to in the last run, in the
  // values' order ("" for a value skipped); by position, the dataset's
  // fields in order ("" for one FieldList leaves out).
  std::vector<std::string> MatchedColumns() const;
  const std::string& CustomSeparator() const;
  void SetCustomSeparator(const std::string& Value);
  TDataSet* DataSet() const;
  void SetDataSet(TDataSet* value);
  // Compressed input: cmNone (initially) reads the file's bytes as they
  // are; any other value recognises a gzip or zstd file by its first bytes,
  // whatever its name, and reads the text inside (members or frames one
  // after another read as one text). Record bytes in events are those of the
  // text; the progress window measures the file. Damaged or cut-short
  // compressed data ends the run with an EInOutError saying so. Takes effect
  // at the next OpenInputFile.
  TCompression Compression() const;
  void SetCompression(TCompression value);
  TDelimitedFields DelimitedFields() const;
  void SetDelimitedFields(TDelimitedFields value);
  // The text rules of delimited records (dlClassic initially). Under
  // dlStandard a quote opens a value only as its first byte, two quotes
  // inside a quoted value stand for one, separators and line ends inside
  // quotes are data (a record goes on past line ends until its closing
  // quote), "" stores an empty text, a quote never closed fails its record,
  // and byte 26 ends the input only as its last byte. Fixed-width records
  // read the same under both. Takes effect at the next run.
  TDialect Dialect() const;
  void SetDialect(TDialect value);
  // The encoding of the input, any name iconv knows: empty (initially) reads
  // the bytes as they are. Text is converted to UTF-8 below the reader, so
  // line ends, separators and quotes are found in UTF-8 (also in UTF-16).
  // UTF-8 itself is read as it is, and a UTF-16 byte-order mark at the
  // start switches to UTF-16. With an encoding and ValueErrors veStrict, a
  // record holding bytes that are not valid in it fails (rerInvalidText,
  // with a reason naming its line and the byte); under veLenient they pass
  // unchanged. Takes effect at the next OpenInputFile; a name iconv does
  // not know fails the run before it opens anything (SetupFailure).
  const std::string& Encoding() const;
  void SetEncoding(std::string value);
  std::int32_t ErrorRecords() const;
  // Standard text rules: the records of the last run in which a quoted value
  // went on after its closing quote (`"ab"cd`). The text after the quote is
  // kept as data, as the common readers keep it, and the records are stored;
  // a host may warn of them. FirstTextAfterQuoteLine is the line on which the
  // first of them starts (0 for none).
  std::int64_t TextAfterQuoteRecords() const;
  // Values stored rounded under ValueErrors veLenient in the last run: more
  // decimals than their column keeps (money, NUMERIC(p,s)), or more digits
  // than the double or float it keeps (veStrict fails such a record).
  std::int64_t RoundedValues() const;
  // What veLenient left out in the last run, for a host to say so: values
  // that did not convert to their field's type (the field left as it was,
  // empty in a new record), records holding values beyond the last field
  // (those values dropped), and fixed-width values whose column ends inside
  // a character of several bytes (stored without that character's bytes).
  // veStrict fails such records instead, and these stay 0.
  std::int64_t UnconvertedValues() const;
  std::int64_t ExtraValueRecords() const;
  std::int64_t CutValues() const;
  std::int64_t FirstTextAfterQuoteLine() const;
  // The reasons a dataset gave for records it accepted from Post but refused
  // when it stored them later (TDataSet::TakeRefusals), the first few of the
  // last run; those records are counted in ErrorRecords.
  const std::vector<std::string>& RefusalMessages() const;
  // The records the dataset kept in the last run (or since, through
  // AddRecord): posted and not refused later. Blank records are neither
  // stored nor counted in ErrorRecords.
  std::int64_t StoredRecords() const;
  // Why the last run could not start, when Execute returned -1 before its
  // first record without a message (no dataset, a dataset or input file that
  // cannot be opened, ...); empty when it started.
  const std::string& SetupFailure() const;
  // Why the last run failed, whatever made Execute return -1 (or raise): the
  // SetupFailure (an input that cannot be opened names the file and the
  // system's reason), a dataset that takes no records, the database's own
  // message when it failed, the text of a conversion error, what a handler
  // raised. Empty after a run that succeeded; records the run failed are
  // counted in ErrorRecords, not here.
  const std::string& LastError() const;
  TFieldDelimiter FieldDelimiter() const;
  void SetFieldDelimiter(TFieldDelimiter value);
  TStrings* FieldList() const;
  void SetFieldList(const TStrings* Value);
  TFieldListAction FieldListAction() const;
  void SetFieldListAction(TFieldListAction value);
  TFieldSeparator FieldSeparator() const;
  void SetFieldSeparator(TFieldSeparator value);
  TStrings* HeaderData() const;
  void SetHeaderData(const TStrings* Value);
  std::int32_t HeaderRecords() const;
  void SetHeaderRecords(std::int32_t value);
  // Lines of the input left out before its first record, header records
  // included: a title or notes above the data. Whole lines, blank ones
  // counted, without regard to quotes; the blank lines after them go too.
  // 0 (initially) leaves none out. Takes effect at the next OpenInputFile.
  std::int32_t SkipLines() const;
  void SetSkipLines(std::int32_t value);
  // With SkipLines 0, whether the blank lines that open the input are left
  // out, so that the first header record is the first line with text on
  // it. False (initially): they are read as blank records, and the first
  // of them is the header record when HeaderRecords asks for one. Takes
  // effect at the next OpenInputFile.
  bool SkipBlankStart() const;
  void SetSkipBlankStart(bool value);
  // Lines that start with this character (one byte) where a record would
  // start are comments, left out with the blank lines after them; a run
  // fails to start when it is longer. Empty (initially): no comments.
  // Takes effect at the next OpenInputFile.
  const std::string& CommentChar() const;
  void SetCommentChar(std::string value);
  // Under the standard text rules (Dialect dlStandard), this character (one
  // byte) makes the byte after it data, inside a quoted value or outside
  // one: \" a quote, \, a separator, \\ the character itself, an escaped
  // line end part of the value (and of the record), as some database dumps
  // write. The byte is taken as it stands (\n is an n). Empty (initially):
  // none; it counts neither as the quote nor as the separator nor as a line
  // end, and a run fails to start when it is longer. Takes effect at the
  // next run.
  const std::string& EscapeChar() const;
  void SetEscapeChar(std::string value);
  // Under the standard text rules, a quote inside a quoted value that is
  // followed by neither another quote, the separator nor a line end (nor
  // the end of the record) is a character of the value, as many data tools
  // read such files: "pedro "pdet" holanda" is the one value pedro "pdet"
  // holanda. False (initially): such a quote closes the value, and the text
  // after it up to the separator is data (TextAfterQuoteRecords). Takes
  // effect at the next run.
  bool KeepStrayQuotes() const;
  void SetKeepStrayQuotes(bool value);
  // The separator as it stands: one byte (a blank or a zero byte too, which
  // CustomSeparator trims away) or one UTF-8 character of up to four bytes
  // (values split on the whole character, never on its first byte). Not
  // empty, it stands in for CustomSeparator (FieldSeparator fspCustom or
  // fspNone); empty (initially) changes nothing. A run fails to start when
  // it is more than one character or a line end.
  const std::string& SeparatorChar() const;
  void SetSeparatorChar(std::string value);
  bool HeaderStored() const;
  void SetHeaderStored(bool value);
  TImportType ImportType() const;
  void SetImportType(TImportType Value);
  const std::string& InputFile() const;
  void SetInputFile(std::string value);
  // The same for a path (its native text).
  template <std::same_as<std::filesystem::path> P>
  void SetInputFile(const P& value) {
    SetInputFile(value.string());
  }
  const TNotifyEvent& OnBeginImport() const;
  void SetOnBeginImport(TNotifyEvent value);
  const TNotifyEvent& OnFinishImport() const;
  void SetOnFinishImport(TNotifyEvent value);
  const TImportEvent& OnImportRecord() const;
  void SetOnImportRecord(TImportEvent value);
  // Fired once for every record the run fails, as it fails (a record the
  // dataset refuses only when it stores a group, when the group is stored:
  // after a later record, or at the end of the run), with the record, where
  // it starts and why. A handler that raises stops the run as one of
  // OnImportRecord does. While a handler is assigned, the run keeps the
  // text of each record the dataset holds unsettled (TDataSet::HeldPosts:
  // at most one group), so that a refused one is reported in full.
  const TRecordErrorEvent& OnRecordError() const;
  void SetOnRecordError(TRecordErrorEvent value);
  // Whether OnRecordError gets each failed record's text (TRecordError::
  // Text): true initially. False leaves Text empty, and the run then keeps
  // no text of a record for reporting: neither while the record is stored
  // (a record of 200 MB is then held once as read and once as its field's
  // value, not a third time) nor for the records the dataset holds
  // unsettled. The record's number, line, field, value and reason are
  // reported all the same.
  bool ReportRecordText() const;
  void SetReportRecordText(bool value);
  // Where the run's messages go ("Error getting file handle", ...): while
  // empty (initially) to MessageDlg, the process-wide handler; assigned, to
  // this handler alone, with the component as Sender.
  // Fired for each record of the run that is about to be stored, with its
  // values as split (valid during the call) and the line of the input on
  // which it starts. A handler that clears Accept skips the record: it is
  // neither stored nor failed, OnImportRecord still sees it, and
  // FilteredRecords counts it (the result counts it among the records read
  // and not failed). Records that cannot be split (a quote never closed,
  // a blank record) do not reach it; nor do those a host posts through
  // AddRecord. A handler that raises stops the run as one of OnImportRecord
  // does.
  const TFilterRecordEvent& OnFilterRecord() const;
  void SetOnFilterRecord(TFilterRecordEvent value);
  // The records OnFilterRecord skipped in the last run.
  std::int64_t FilteredRecords() const;
  const TMessageEvent& OnMessage() const;
  void SetOnMessage(TMessageEvent value);
  // Whether the run opens its input for shared reading: other runs and
  // programs may read the file at the same time, and none may write it
  // through an exclusive open meanwhile. False (initially) opens it
  // exclusively: no other open of the file succeeds while the run holds it.
  bool SharedReading() const;
  void SetSharedReading(bool value);
  bool ShowProgress() const;
  void SetShowProgress(bool value);
  TStrings* TrailerData() const;
  void SetTrailerData(const TStrings* Value);
  std::int32_t TrailerRecords() const;
  void SetTrailerRecords(std::int32_t value);
  bool TrailerStored() const;
  // Whether values are read as an export with WholeValues writes them:
  // binary and blob fields take \x and hexadecimal back as their bytes
  // (WriteWholeFieldData). False, the initial value, stores such a text as
  // it stands.
  bool WholeValues() const;
  // How values that are not of their field's type are taken (veLenient
  // initially: as ever, they leave their field as it was and the record is
  // stored; veStrict: such a value, or more non-empty values than fields,
  // fails the record, see WriteStrictFieldData). Takes effect at once.
  TValueErrors ValueErrors() const;
  void SetValueErrors(TValueErrors value);
  // How date, time and date-time fields read their texts (dsFormatSettings
  // initially: StrToDate, StrToTime and StrToDateTime with the format
  // settings). dsISO8601 reads ISO 8601 (ReadIso): 'T' or a blank between
  // date and time, up to six fraction digits (more when those beyond the
  // sixth are all zeros), a zone; also the basic format ("20240301T1234Z",
  // a date alone "20240301", a time alone after 'T': "T123456"). A value a
  // date-time cannot hold exactly
  // (microseconds, a zone) is given to the field as its text in the
  // canonical form (IsoText), for the dataset to store whole.
  // Under veStrict a text that is not such a value fails its record with
  // the reason; under veLenient it is read with the format settings, as
  // with dsFormatSettings.
  TDateTimeStyle DateTimeStyle() const;
  void SetDateTimeStyle(TDateTimeStyle value);
  // Whether an ISO 8601 value with a zone offset is stored as the same
  // instant in UTC without the offset (false, the initial value: as
  // written, offset and all).
  bool UtcTimes() const;
  void SetUtcTimes(bool value);
  // Whether, under dsISO8601, dates and times beyond a date-time's reach go
  // into date, time and date-time fields in the forms of a database whose
  // columns keep them (ReadWideIso): before Christ ("0044-03-15 BC"), after
  // the year 9999 ("10000-01-01"), "infinity" and "-infinity", and a time of
  // "24:00:00", each given to the field as that database's text of it
  // (WideIsoText), for the dataset to store or refuse (a PostgreSQL dataset
  // with ExactTimes stores them; SQLite and the memory dataset would keep
  // the text). False, the initial value: such a text is not ISO 8601 and
  // fails as one.
  bool WideDates() const;
  void SetWideDates(bool value);
  // Whether a money amount beyond a currency field's 64 bits of
  // ten-thousandths (above 922337203685477.5807 or below its negative) goes
  // into the field as its plain decimal text ("92233720368547758.07"), for
  // a dataset whose money columns reach further to store exactly or refuse
  // (a PostgreSQL dataset does; SQLite and the memory dataset would keep
  // the text). Its decimals are held to the field's Scale as any amount's.
  // False, the initial value: such an amount is out of range (veStrict) or
  // left out (veLenient).
  bool WideMoney() const;
  void SetWideMoney(bool value);
  // The run's own format settings (TFormatChoice), which replace the
  // process-wide ones while Execute runs: ShortDateFormat and LongTimeFormat
  // layouts, and the date, time, decimal and thousands separators as one
  // character. Empty, the initial value of each, keeps the process's.
  // Separators longer than a character raise EConvertError.
  const std::string& ShortDateFormat() const;
  void SetShortDateFormat(const std::string& value);
  const std::string& LongTimeFormat() const;
  void SetLongTimeFormat(const std::string& value);
  const std::string& DateSeparator() const;
  void SetDateSeparator(const std::string& value);
  const std::string& TimeSeparator() const;
  void SetTimeSeparator(const std::string& value);
  const std::string& DecimalSeparator() const;
  void SetDecimalSeparator(const std::string& value);
  const std::string& ThousandSeparator() const;
  void SetThousandSeparator(const std::string& value);
  const TFormatChoice& Formats() const;
  // Date layouts of single fields, one "NAME=LAYOUT" a line (empty
  // initially): the dates and date-times of field NAME are read with the
  // format settings and LAYOUT as their ShortDateFormat, whatever
  // DateTimeStyle says, so that a file whose columns write dates
  // differently loads in one run. A name the dataset has no field of, or an
  // entry without a layout, fails Setup.
  TStrings* ColumnFormats() const;
  void SetWholeValues(bool value);
  // How fixed-width records are cut (flClassic initially: each dataset
  // field's Size, the values as they stand). Under flColumns the values are
  // those of the fields that take part, in order (or FieldList's fields,
  // with ColumnMatching cmByFieldList), each cut as wide as FixedWidth gives
  // (or FixedWidths says), as an export with flColumns writes them: a text
  // field's value loses the blanks after it, any other's the blanks around
  // it, a value of blanks is null (the field is left as Append gave it),
  // and text past the last column is one more value (under veStrict it
  // fails its record). A record of blanks as wide as the columns is a
  // record of nulls; a shorter one is a blank record, as ever. A header
  // record is cut the same way; with ColumnMatching cmByHeaderName, the
  // last one lays the columns out in the file's order instead: cut by
  // FixedWidths (the file's columns) where given, else where each field's
  // name stands at the start of a column of its field's width.
  TFixedLayout FixedLayout() const;
  void SetFixedLayout(TFixedLayout value);
  // The columns' widths under flColumns, one a value, in order: "5,10,12"
  // (see ParseFixedWidths). Empty (initially): each field's FixedWidth.
  // Widths that do not parse, or not one a value, fail the run before any
  // record is stored (ColumnFault says why).
  const std::string& FixedWidths() const;
  void SetFixedWidths(std::string value);
  // What the columns' widths count under flColumns (fuBytes initially, see
  // TFixedWidthUnit). A column never ends inside a character: where a byte
  // width would cut one in two, the bytes of the cut character are left
  // out of both values, and under veStrict the record fails
  // (rerInvalidText).
  TFixedWidthUnit FixedWidthUnit() const;
  void SetFixedWidthUnit(TFixedWidthUnit value);
  void SetTrailerStored(bool value);
  std::string Version() const { return GetVersion(); }
  void SetVersion(const std::string& Value);

  // The run's pieces, public so that hosts and tests can drive them.
  //
  // Prepares a run: resets the counters and lists, resolves the quote and
  // separator, opens the dataset if needed and checks that it takes new
  // records, measures and opens the input, pre-reads TrailerRecords records
  // and shows the progress window when ShowProgress. False when the run
  // cannot go on (no dataset, it cannot be opened or takes no records, the
  // input cannot be opened, fewer records than TrailerRecords); never raises.
  // The input is opened before the dataset, so that a run whose input cannot
  // be read creates no table.
  [[nodiscard]] bool Setup();
  // Appends one dataset record from Values, by position, through the field
  // filter and the field conversion, and posts it. False (the record
  // cancelled, nothing raised) when Values is empty or missing, or when
  // appending, storing or posting raised.
  [[nodiscard]] bool AddRecord(const TStringList* Values);
  // Ends a run: closes the input, warns about failed records when
  // ShowProgress, hands the held-back records to TrailerData when
  // TrailerStored, frees the progress window.
  void CleanUp();

  // Record reader. Returns the next record of the input without its
  // terminator; Bytes receives the length of the returned text and
  // LineEndBytes() the number of line-end bytes this read consumed
  // (SkippedBytes() those of a byte-order mark, and of the lines SkipLines
  // and CommentChar leave out, skipped before it). Under
  // dlStandard a record holds the line ends inside its quoted values, and
  // RecordFault() tells when its last quote was never closed. Sets
  // EndOfFile() when the input ends (physical end, or byte 26). Handle must
  // be FileHandle(): the read buffer belongs to it. With the record cache on,
  // the record read goes to the end of the cache and the oldest cached one
  // is returned instead. Raises EInOutError "Read failed with error code %i"
  // when the OS reports a read error, or when the record cannot be held.
  std::string ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes);
  // The same read into Text, whose capacity is reused from record to record:
  // the form for loops over many records.
  void ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes, std::string& Text);
  // Clears the record cache and fills it with the next Count records; true
  // when Count records were read, false when the input ended first.
  [[nodiscard]] bool ReadAheadRecordCache(std::int32_t Count);
  // Size of InputFile in bytes, or -1 after the warning "Error getting file
  // handle" (cannot be opened) or "Error getting file information".
  std::int64_t GetFileSize();

  // Quote and separator resolution and splitting.
  //
  // The quote character for FieldDelimiter ("'", the double quotation mark,
  // or empty for none) and the separator for FieldSeparator ("|", tab, ",",
  // or CustomSeparator for fspCustom and fspNone).
  std::string GetFieldDelimiterChar() const;
  std::string GetFieldSeparatorChar() const;
  // Fixes the run's quote and separator characters from the properties;
  // Setup does this at the start of every run, so changes made during a run
  // wait for the next one.
  void ResolveSeparators();
  const std::string& Delimiter() const;
  const std::string& Separator() const;
  // The values of one record by ImportType, in a new list owned by the
  // caller; nullptr for a blank record, as a run skips it (under the
  // standard rules a delimited record of blanks that holds the separator, a
  // tab, is one of empty values), and, after the message "Unrecognised
  // import type!", for an ImportType the component does not know.
  std::unique_ptr<TStringList> SplitFields(const std::string& Record);
  // Delimited values: quote characters toggle quoting and are dropped,
  // separators outside quotes end a value, a trailing empty value is left
  // out.
  std::unique_ptr<TStringList> SplitDelimitedFields(const std::string& Record);
  // One value per dataset field, each as wide as the field's Size.
  std::unique_ptr<TStringList> SplitFixedLengthFields(const std::string& Record);
  // SplitFields into a list the caller reuses from record to record: false
  // where SplitFields gives nullptr (Values is then empty).
  [[nodiscard]] bool SplitFieldsInto(const std::string& Record, TValueList& Values);

  // Data records (after the header records) that a run skips before it
  // stores any: StartRecord - 1, so that a run broken off can be completed
  // from the first record it did not store. 0 and 1 skip none.
  std::int32_t StartRecord() const;
  void SetStartRecord(std::int32_t value);

  // Where a run over a part of its input starts and ends, as CutInput
  // finds it: the records from byte Offset of the file (where a record
  // starts, on line Line) up to byte End (where the next part starts; -1:
  // the file's end), the first of them counted as record Record of the run
  // (1 for the first record after StartRecord's). The bytes are the file's
  // own: only a plain file read as it is, or as UTF-8, is cut.
  struct TInputRange {
    std::int64_t Offset = 0;
    std::int64_t End = -1;
    std::int64_t Record = 1;
    std::int64_t Line = 1;
    bool operator==(const TInputRange&) const = default;
  };
  // Cuts the data records of InputFile (after the header records and the
  // records StartRecord skips) into at most `parts` ranges of about the same
  // number of bytes, each starting where a record starts: the file is read
  // from its start with this component's text rules, so that a cut never
  // falls inside a quoted value. Fewer ranges when the records are fewer or
  // larger. Empty, with why saying the reason, when the input cannot be cut
  // (not a regular file, compressed, in another encoding, trailer records,
  // cannot be read). Reads the file only; the component's run state is left
  // as it is.
  std::vector<TInputRange> CutInput(int parts, std::string& why) const;
  // Makes the next runs read only this range of the input (after reading the
  // header records from the file's start as always); StartRecord then only
  // numbers the records, which Range.Record continues. Run-time only, never
  // stored; ClearInputRange reads the whole input again. A run over a range
  // of a negative Offset, an End below -1 or a Record or Line below 1 fails
  // its setup (SetupFailure says so).
  void SetInputRange(const TInputRange& range);
  void ClearInputRange();
  const std::optional<TInputRange>& InputRange() const;
  // Takes a run over a later range of the same input (another component,
  // its run ended) into this one's results, as if this run had read that
  // range too: the counts add up, the first text-after-quote line and the
  // refusal messages follow in input order, a stop or error of its own is
  // kept when this run had none. Call it once for each later range, in the
  // order of the ranges.
  void AbsorbRun(const TCSVImport& later);

  // Asks a running Execute to stop before its next record, as an interrupt
  // does: no record is stored in part, the records stored so far stay (the
  // bulk run ends as usual), and Interrupted() tells. Safe to call from a
  // signal handler or another thread; a request made before Execute stops
  // it at once, and each run ends by forgetting the request.
  void Stop();
  // Whether the last run ended at a Stop, and then the number of the first
  // data record it did not take (counted from 1, skipped records included:
  // the StartRecord that completes the load) and the line of the input on
  // which that record starts; both 0 when every record had been taken.
  bool Interrupted() const;
  std::int64_t NextRecord() const;
  std::int64_t NextRecordLine() const;

  // Run state, readable for tests and hosts.
  bool EndOfFile() const;
  std::int32_t LineEndBytes() const;
  std::int32_t SkippedBytes() const;
  // Of the record the last read returned: why it cannot be stored as read
  // (rfNone when it can), and the line of the input on which it starts.
  TRecordFault RecordFault() const;
  std::int64_t RecordLine() const;
  std::int32_t RecordCounter() const;
  TProgressWindow* ProgressWindow() const;
  // The record cache, oldest record first.
  TStringList* RecordCache();
  bool UseRecordCache() const;
  void SetUseRecordCache(bool value);
  TFileHandle& FileHandle();
  // Opens InputFile into FFileHandle, exclusively or shared as SharedReading
  // says, and starts reading at its first byte (clears EndOfFile, empties the
  // read buffer). False when it cannot be opened; the OS error is then in
  // GetLastError().
  [[nodiscard]] bool OpenInputFile();
  // Closes the input file (if open) and releases the read buffer.
  void CloseInputFile();
  // Size of the reader's buffer in bytes (at least 1); takes effect at the
  // next OpenInputFile. Tests shrink it to hit every buffer boundary.
  std::size_t ReadBufferSize() const;
  void SetReadBufferSize(std::size_t size);
  static constexpr std::size_t kDefaultReadBufferSize = 256 * 1024;
  // Whether Execute reads and splits records ahead on a thread of its own
  // while the records before them are stored. Every record, value, event
  // and error reaches the host as without it; a handler that reads records
  // itself (ReadTextFileRecord) takes them from the records read ahead. On
  // by default where the machine has more than one processor.
  bool ReadAhead() const;
  void SetReadAhead(bool value);
  static bool DefaultReadAhead();

  static constexpr const char* kVersion = kKorvaneVersion;

 private:
  friend class TImportRun;

  std::string GetVersion() const { return kVersion; }

  // The properties' values (import/import_props.h), so that a new one
  // changes no layout; made with the component.
  std::unique_ptr<TImportProps> FProps;
  // What a run keeps apart from the properties: the input and its reader,
  // the characters in force, the counters, the reasons, the records held
  // for reports (import/import_run.h). Made with the component, so that
  // the run's accessors always have it.
  std::unique_ptr<TImportRun> FRun;
};

// Gives import the korvane command's defaults, so that a program reads a
// file as `korvane import` does: standard CSV (comma, double quote,
// dlStandard), UTF-8 text, a gzip or zstd file read by its first bytes,
// whole values, strict values (a value that does not convert fails its
// record with the reason) and ISO 8601 dates and times. Only these
// properties change. What the command learns from each file is the host's
// to set: for a header line, HeaderRecords(1), HeaderStored(true) and
// ColumnMatching(cmByHeaderName).
KORVANE_API void UseCommandDefaults(TCSVImport& import);

}  // namespace korvane
