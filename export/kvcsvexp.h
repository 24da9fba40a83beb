// TCSVExport: writes the records of a dataset to a text file, one line per
// record.
#pragma once

#include "core/api.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/classes.h"
#include "data/db.h"
#include "components/kvtypes.h"
#include "text/formats_choice.h"

namespace korvane {

class TExportRun;
struct TExportProps;
class TProgressWindow;

// The records a run left out because a value of theirs could not be read
// (the dataset or a field's OnGetText handler raised) or cannot be held by
// the line (FixedLayout flColumns): how many, the first of them (counted
// from 1 among the run's records) and why it failed.
struct KORVANE_API TLeftOutRecords {
  std::int64_t Count = 0;
  std::int64_t FirstRecord = 0;
  std::string FirstReason;
};

// One record a run left out (LeftOutList).
struct KORVANE_API TLeftOutRecord {
  std::int64_t Record = 0;  // counted from 1 among the run's records
  std::string Field;        // the field whose value is the cause; empty when not known
  std::string Reason;
  // Whether the line cannot hold the record (under flColumns: a value wider
  // than its column, a line break, ...; with WholeValues: a line that would
  // be empty); otherwise a value could not be read.
  bool Unfit = false;
};

// The export component. Owns its string lists and its progress window;
// references its dataset, which the host keeps alive while DataSet refers to
// it. Execute runs synchronously: the dataset, the events and the messages
// are all used on the caller's thread, and the threads that format and
// write lines (FormatAhead, long runs) have ended when Execute returns. Not
// thread-safe.
//
// Output is buffered across lines, but every moment a host can observe sees
// the file as if each line had been written on its own: the buffer is
// flushed before OnExportRecord is called, and the file is flushed and closed
// before OnFinishExport. Whichever way Execute ends (result, failed write,
// exception), the output file is closed and the progress window freed.
class KORVANE_API TCSVExport : public TComponent {
 public:
  explicit TCSVExport(TComponent* owner);
  ~TCSVExport() override;

  // Runs an export: the number of records passed, or -1 when the preparation
  // failed (no dataset, a dataset that cannot be opened, an output file that
  // cannot be created) or a write failed. LastError() says why. One run at
  // a time: called while a run of this component goes on (from its handler,
  // or another thread), it raises Exception and leaves that run alone.
  [[nodiscard]] std::int32_t Execute();

  // Published properties.
  //
  // Whether a run writes a UTF-8 byte-order mark before everything else
  // (spreadsheets take the file for UTF-8 by it). False initially.
  bool ByteOrderMark() const;
  void SetByteOrderMark(bool value);
  // Compressed output: cmNone (initially) writes the text as it is; cmGzip
  // and cmZstd write it as a gzip or zstd stream; cmAuto chooses by the
  // name of OutputFile (.gz, .zst, else none). Events and the progress
  // window count the bytes of the text.
  TCompression Compression() const;
  void SetCompression(TCompression value);
  // The encoding of the output, any name iconv knows: empty (initially)
  // writes the text as it is. Text is converted from UTF-8; a character the
  // encoding cannot hold fails the run (WriteErrorText names it). UTF-16
  // and UTF-32 without an order in the name begin with a byte-order mark
  // whatever ByteOrderMark says; with ByteOrderMark, others begin with the
  // mark in their own encoding. A name iconv does not know fails the run
  // before it opens anything (SetupFailure).
  const std::string& Encoding() const;
  void SetEncoding(std::string value);
  const std::string& CustomSeparator() const;
  // Keeps only the first character of the trimmed value (or nothing).
  void SetCustomSeparator(const std::string& Value);
  // The separator as it stands: one byte (a blank too, which
  // CustomSeparator trims away) or one UTF-8 character of up to four bytes
  // (values split on the whole character, never on its first byte). Not
  // empty, it stands in for CustomSeparator (FieldSeparator fspCustom or
  // fspNone); empty (initially) changes nothing. A run fails to start when
  // it is more than one character, a line end or a zero byte (which the
  // import reads).
  const std::string& SeparatorChar() const;
  void SetSeparatorChar(std::string value);
  TDataSet* DataSet() const;
  void SetDataSet(TDataSet* value);
  TDelimitedFields DelimitedFields() const;
  void SetDelimitedFields(TDelimitedFields value);
  // The text rules of delimited lines with a quote character (dlClassic
  // initially). Under dlStandard a value is quoted when DelimitedFields asks
  // for it and always when it holds the quote, the separator, CR or LF;
  // quotes inside are doubled; a null value is written as nothing and an
  // empty text as two quotes. Fixed-width lines are the same under both.
  TDialect Dialect() const;
  void SetDialect(TDialect value);
  // Under dlStandard, this character (one byte) stands before each byte of
  // a value that would otherwise end or change it, as the import's
  // EscapeChar reads it back: inside quotes before the quote and itself
  // (\" instead of a doubled quote, \\), and a value holding it is quoted;
  // without a quote character before the separator, CR, LF and itself (\,).
  // Empty (initially): none. It counts neither as the quote nor as the
  // separator, and a run fails to start when it is longer than one byte.
  const std::string& EscapeChar() const;
  void SetEscapeChar(std::string value);
  TExportType ExportType() const;
  void SetExportType(TExportType value);
  TFieldDelimiter FieldDelimiter() const;
  void SetFieldDelimiter(TFieldDelimiter value);
  TStrings* FieldList() const;
  // Copies Value (nullptr empties the list); Value is not kept.
  void SetFieldList(const TStrings* Value);
  TFieldListAction FieldListAction() const;
  void SetFieldListAction(TFieldListAction value);
  TFieldSeparator FieldSeparator() const;
  void SetFieldSeparator(TFieldSeparator value);
  TStrings* HeaderData() const;
  void SetHeaderData(const TStrings* Value);
  bool HeaderOutput() const;
  void SetHeaderOutput(bool value);
  // Whether a header (HeaderOutput) ends with the line of field names
  // (GetFieldNamesLine) after the lines of HeaderData. False initially: the
  // header is HeaderData alone. (An import reads such a line as a header
  // record with HeaderRecords and HeaderStored.)
  bool HeaderFieldNames() const;
  void SetHeaderFieldNames(bool value);
  TNumericAlignment NumericAlign() const;
  void SetNumericAlign(TNumericAlignment value);
  const TExportEvent& OnExportRecord() const;
  void SetOnExportRecord(TExportEvent value);
  // OnExportRecord comes after every ExportRecordInterval-th record and
  // after the last one; 1 (initially, and for any value below it) calls it
  // after every record. The file is flushed before each call, so a run that
  // reports every record writes each line on its own: an interval of a few
  // thousand keeps a long export at the speed of one without a handler.
  std::int32_t ExportRecordInterval() const;
  void SetExportRecordInterval(std::int32_t value);
  const TNotifyEvent& OnBeginExport() const;
  void SetOnBeginExport(TNotifyEvent value);
  const TNotifyEvent& OnFinishExport() const;
  void SetOnFinishExport(TNotifyEvent value);
  // Where the run's messages go ("Write failed with error code 13", ...):
  // while empty (initially) to MessageDlg, the process-wide handler;
  // assigned, to this handler alone, with the component as Sender.
  const TMessageEvent& OnMessage() const;
  void SetOnMessage(TMessageEvent value);
  const std::string& OutputFile() const;
  void SetOutputFile(std::string value);
  // The same for a path (its native text).
  template <std::same_as<std::filesystem::path> P>
  void SetOutputFile(const P& value) {
    SetOutputFile(value.string());
  }
  // How the output file is written (see TWriteMode; wmInPlace initially).
  // With wmReplace the run writes a new file in OutputFile's folder (with no
  // name where the file system allows it, else ".NAME.korvane-PID-XXXXXX")
  // and Execute renames it over OutputFile once every line is written,
  // before OnFinishExport. A run that fails or raises removes it and leaves
  // OutputFile as it was, and so does one driven by hand (Setup, CleanUp),
  // whose new file goes at the next Setup or with the component. A link is
  // followed (the file it names is replaced), the file keeps its
  // permissions, and a device, pipe or "-" (standard output) is written
  // directly. Handlers that look at the file during the run find it under
  // no name, or another one.
  TWriteMode WriteMode() const;
  void SetWriteMode(TWriteMode value);
  TRecordSeparator RecordSeparator() const;
  void SetRecordSeparator(TRecordSeparator value);
  bool ShowProgress() const;
  void SetShowProgress(bool value);
  TStrings* TrailerData() const;
  void SetTrailerData(const TStrings* Value);
  bool TrailerOutput() const;
  void SetTrailerOutput(bool value);
  std::string Version() const { return GetVersion(); }
  // Ignored: the version is fixed.
  void SetVersion(const std::string& Value);
  // Whether every value reaches the file whole (see TRecordPlan): memos as
  // their text, blobs and binary data as \x and hexadecimal, date-times
  // with their time, times with their milliseconds. False, the initial
  // value, writes the classic table: no memos or blobs, and date-times as
  // their date alone in delimited lines.
  bool WholeValues() const;
  void SetWholeValues(bool value);
  // How dates, times and date-times are written: dsFormatSettings, the
  // initial value, by the format settings as WholeValues says; dsISO8601 as
  // "yyyy-mm-dd", "hh:nn:ss" and "yyyy-mm-dd hh:nn:ss" (date-times always
  // with their time), with ".zzz" when the milliseconds are not zero, in
  // delimited and fixed-width lines alike. A value the dataset holds as its
  // ISO text (microseconds, a zone) is written as that text.
  TDateTimeStyle DateTimeStyle() const;
  void SetDateTimeStyle(TDateTimeStyle value);
  // Whether an ISO 8601 value the dataset holds with a zone offset is
  // written as the same instant in UTC, with "+00" (false, the initial
  // value: as held). A record with a value whose day in UTC falls outside
  // the years 1 to 9999 is left out (LeftOutRecords), saying so.
  bool UtcTimes() const;
  void SetUtcTimes(bool value);
  // Whether, in delimited lines without a quote character, a record is left
  // out (LeftOutRecords, saying why) when one of its values would not read
  // back from the line: an empty text, which reads back as null, and without
  // EscapeChar a value holding the separator or a line end, which would
  // split it. False, the initial value, writes such values as they are.
  bool CheckUnquoted() const;
  void SetCheckUnquoted(bool value);
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
  // How fixed-width lines are laid out (flClassic initially, see
  // TFixedLayout). Under flColumns each field that takes part is a column
  // as wide as FixedWidth gives (or FixedWidths says), every value padded
  // to exactly that width, dates and nulls included (a null is blanks). A
  // record is left out (LeftOutRecords, with the reason) when one of its
  // values is wider than its column, holds a line break, or is a text
  // that would not read back from its column: empty (blanks read back as
  // null) or ending in a blank (but one as long as its field's Size, which
  // a CHAR column pads to).
  TFixedLayout FixedLayout() const;
  void SetFixedLayout(TFixedLayout value);
  // The columns' widths under flColumns, one a field that takes part, in
  // order: "5,10,12" (see ParseFixedWidths). Empty (initially): each
  // field's FixedWidth. Widths that do not parse, or not one a field,
  // leave every record out, saying why.
  const std::string& FixedWidths() const;
  void SetFixedWidths(std::string value);
  // What the columns' widths count under flColumns (fuBytes initially, see
  // TFixedWidthUnit): a value is wider than its column, and is padded to
  // it, by that count.
  TFixedWidthUnit FixedWidthUnit() const;
  void SetFixedWidthUnit(TFixedWidthUnit value);

  // The run's pieces, public so that hosts and tests can drive them.
  //
  // Prepares a run: opens the dataset if it is closed, takes its record
  // count, shows the progress window, moves to the first record, resolves
  // the quote and separator characters and only then creates the output
  // file, so that a preparation that fails leaves an earlier file of that
  // name untouched. False on any failure, without a message (LastError()
  // says why).
  [[nodiscard]] bool Setup();
  // Writes out what is buffered, closes the output file and frees the
  // progress window. A failed final write is kept in WriteErrorCode.
  void CleanUp();
  // Queues one line and the record separator for the output file. False
  // when the operating system refused a write this caused (WriteErrorCode
  // gives its error code).
  [[nodiscard]] bool WriteData(const std::string& line);
  // Hands everything buffered to the operating system and waits until it
  // has taken it. False on a failed write.
  [[nodiscard]] bool FlushWriteBuffer();

  // Quote and separator resolution and record formatting.
  std::string GetFieldDelimiterChar() const;
  std::string GetFieldSeparatorChar() const;
  // Sets the quote and separator characters in force from FieldDelimiter,
  // FieldSeparator and CustomSeparator. Setup calls it; a host formatting
  // records outside a run calls it first.
  void ResolveCharacters();
  // The current record as one line, without the record separator; empty
  // when no field takes part, when every value is empty and nothing joins
  // them, or when reading a field raised.
  std::string GetDelimitedRecord();
  std::string GetFixedRecord();
  // The names of the fields that take part, laid out like the values of
  // the current ExportType (a header line).
  std::string GetFieldNamesLine() const;

  // Run state, readable for tests and hosts.
  std::int32_t RecordCounter() const;
  // The dataset's RecordCount, taken when the run starts; 0 for a run that
  // neither shows progress nor has an OnExportRecord handler.
  std::int32_t RecordTotal() const;
  TProgressWindow* ProgressWindow() const;
  bool FileOpen() const;
  // The OS error code of the first failed write of the current or last run;
  // 0 when none failed.
  int WriteErrorCode() const;
  // What failed when it was not the OS (a character the encoding cannot
  // hold, named with its line of the output); empty otherwise.
  const std::string& WriteErrorText() const;
  // Why the last run could not start, when Execute returned -1 before its
  // first line without a message (no dataset, a dataset that cannot be
  // opened, an output file that cannot be made, ...); empty when it started.
  const std::string& SetupFailure() const;
  // Why the last run failed, whatever made Execute return -1 (or raise): the
  // SetupFailure, a failed write with the file and the system's reason, the
  // text of a conversion error, what a handler raised. Empty after a run that
  // succeeded; a run that wrote every line but left records out
  // (LeftOutRecords) succeeded.
  const std::string& LastError() const;
  // The records the last run left out: a record a value of which cannot be
  // read writes no line, but is counted in the result and reported to
  // OnExportRecord like any other, and the run goes on. A host that wants
  // every record decides what to do with them (the command fails the run,
  // but for records their line cannot hold, which fail alone).
  const TLeftOutRecords& LeftOutRecords() const;
  // The first 100 of those records, in order, each with its reason.
  const std::vector<TLeftOutRecord>& LeftOutList() const;
  // How many of them were left out because their line cannot hold them
  // (TLeftOutRecord::Unfit).
  std::int64_t UnfitRecords() const;

  // Whether Execute formats records on a second thread from copies of their
  // values while it walks the dataset. Only runs in which no host code
  // looks on while they go (no OnExportRecord, no progress window) and whose
  // fields all format without being asked for their text do so; the file,
  // the result and every error are those of a run without it. On by default
  // where the machine has more than one processor.
  bool FormatAhead() const;
  void SetFormatAhead(bool value);
  // Records are handed to that thread in batches of kFormatAheadBatch, at
  // most kFormatAheadBatches of them at a time: when a write fails, the walk
  // has gone at most kFormatAheadRecords records past the failing line.
  static constexpr std::size_t kFormatAheadBatch = 2048;
  static constexpr std::size_t kFormatAheadBatches = 4;
  static constexpr std::int32_t kFormatAheadRecords =
      static_cast<std::int32_t>((kFormatAheadBatches + 1) * kFormatAheadBatch);

  static constexpr const char* kVersion = kKorvaneVersion;
  // A run's first write goes out at kWriteBufferSize buffered bytes; after
  // that each write is as large as everything written before it, up to
  // kMaxWriteBufferSize, so that a short run or an early failure is found
  // soon and a long run makes few, large writes.
  static constexpr std::size_t kWriteBufferSize = 10240;
  static constexpr std::size_t kMaxWriteBufferSize = 1 << 20;

 private:
  friend class TExportRun;

  std::string GetVersion() const { return kVersion; }

  // The properties' values (export/export_props.h), so that a new one
  // changes no layout; made with the component.
  std::unique_ptr<TExportProps> FProps;
  // What a run keeps apart from the properties: the output, the characters
  // in force, the counters, the reasons (export/export_run.h). Made with
  // the component, so that the run's accessors always have it.
  std::unique_ptr<TExportRun> FRun;
};

// Gives exporter the korvane command's defaults, so that a program writes a
// file as `korvane export` does: standard CSV (comma, dlStandard, double
// quotes around text values and wherever a value needs them), LF line ends,
// whole values, ISO 8601 dates and times, gzip or zstd by the name of
// OutputFile, and wmReplace (a failed run leaves the old file as it was).
// Only these properties change; HeaderFieldNames and HeaderOutput write the
// field names first, as `korvane export --header` does.
KORVANE_API void UseCommandDefaults(TCSVExport& exporter);

}  // namespace korvane
