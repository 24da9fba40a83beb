// The run of a TCSVImport: what it keeps apart from the component's
// properties (the input and its reader, the characters in force, the
// counters, the reasons, the records held for reports) and the steps that
// use it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "import/kvcsvimp.h"
#include "import/posted_records.h"
#include "import/import_props.h"
#include "import/record_scanner.h"
#include "io/byte_source.h"

namespace korvane {

class EDatabaseFailure;
class TRecordReadAhead;
struct TReadAheadRecord;

// One a component, made with it; reads the component's properties as they
// are at each step.
class TImportRun {
 public:
  explicit TImportRun(TCSVImport& owner);
  ~TImportRun();
  TImportRun(const TImportRun&) = delete;
  TImportRun& operator=(const TImportRun&) = delete;

  // The component's Execute, Setup and CleanUp, and the reads of its input
  // (see there).
  std::int32_t Execute();
  bool Setup();
  void CleanUp();
  bool OpenInputFile();
  void CloseInputFile();
  void ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes, std::string& Text);
  bool ReadAheadRecordCache(std::int32_t Count);
  // The component's GetFileSize without its message: the size, or -1 with
  // warning set to the text GetFileSize shows.
  std::int64_t InputFileSize(std::string& warning) const;
  // The component's AbsorbRun: the results of later's run added to these.
  void Absorb(const TImportRun& later);

  // Stores a record's values under ValueErrors' rules. Where the split
  // kept only the first count values of the record (see ValuesToKeep),
  // inUsePast is the position of its last value after them that is not
  // empty (0: none).
  template <typename Value>
  bool AddRecordValues(const Value* values, int count, std::int64_t inUsePast = 0);
  // FFieldLayouts from ColumnFormats; false (LastError says why) for an
  // entry that names no field or gives no layout.
  bool ResolveColumnFormats();
  // The field's own date layout, or nullptr.
  const std::string* LayoutOf(const TField* field) const {
    if (FFieldLayouts.empty()) return nullptr;
    const auto i = static_cast<std::size_t>(field->Index());
    return i < FFieldLayouts.size() && !FFieldLayouts[i].empty() ? &FFieldLayouts[i] : nullptr;
  }
  // The one loop of a record's values under either rules: Append, each
  // value that takes part to its field, by position or as ColumnMatching
  // decided (store writes it, given the field's index, and
  // returns false when the record fails, having noted why), Post; what the
  // dataset raises refuses the record.
  template <typename Value, typename Store>
  bool StoreRecordValues(const Value* values, int count, Store&& store);
  // The record's text lent to a field's next write by LendLargeValue, given
  // back (unless the field took it) by TakeBack or when this goes.
  class TLentText {
   public:
    TLentText() = default;
    TLentText(const TLentText&) = delete;
    TLentText& operator=(const TLentText&) = delete;
    ~TLentText() { TakeBack(); }
    void TakeBack() noexcept {
      if (FRun != nullptr) std::exchange(FRun, nullptr)->TakeBackText(FField);
    }

   private:
    friend class TImportRun;
    TImportRun* FRun = nullptr;
    int FField = 0;
  };
  // For the large last value of a record split from FValues' text: moves
  // the value to the start of that text and lends the text's buffer to
  // field (lent gives it back), so that a text field keeps the value where
  // it stands and the record's text is held once until the dataset stores
  // it. Returns the value to write, which is values[i] itself when it
  // cannot be lent.
  std::string_view LendLargeValue(const std::string_view* values, int i, TField* field,
                                  TLentText& lent);
  void TakeBackText(int field) noexcept;
  // Posts the record whose values are in its fields (values: where they
  // were), giving a large record's text up first when nothing needs it.
  template <typename Value>
  bool PostValues(const Value* values);
  // Decides FValueFields for the run by ColumnMatching; false (with
  // FColumnFault) when the names cannot be matched (column_matching.cpp).
  bool MatchColumns();
  bool MatchNames();
  // Under RefuseReadOnlyFields: false (with FColumnFault and
  // FReadOnlyColumns) when values would go to ReadOnly fields.
  bool RefuseReadOnlyValues();
  // cmByFieldList under flaExclude: the values go, in order, to the fields
  // the list does not name; false (with FColumnFault) for a name that is
  // no field, or when no field is left.
  bool MatchAllBut(const std::vector<std::string>& names);
  // Under flColumns: lays out FColumnSlices for values going, in order, to
  // the fields of order (-1: none); false (with FColumnFault) when the
  // widths cannot be given.
  bool LayFixedColumns(const std::vector<int>& order);
  // Under flColumns without FixedWidths: the fields whose names stand in
  // their columns across header, in the file's order, into order; false
  // (with FColumnFault) when the header cannot be cut so.
  bool CutHeaderByNames(std::string_view header, std::vector<int>& order);
  // The fields that take part (FieldList and FieldListAction), in order.
  std::vector<int> FieldsTakingPart() const;
  // Cancels the record being appended, if any, after a failure.
  void CancelFailedRecord();
  // In a handler of what a record's Append to Post raised: cancels the
  // record, then raises again a failure of the database itself (the run ends
  // on it) or notes the record as refused with the reason given.
  void RefuseFailedRecord();
  // Posts the record appended and counts it stored.
  bool PostAppended() {
    FProps.FDataSet->Post();
    ++FStoredRecords;
    return true;
  }
  // Keeps why the last record failed in FFailure; field is the index of the
  // field whose value is the cause, or -1.
  void NoteFailure(TRecordErrorReason reason, int field, std::string_view value,
                   std::string message);
  // Counts the record that AddRecordValues just failed and reports it (with
  // FFailure) to OnRecordError. Line is where it starts, text as read.
  void RecordRejected(std::int64_t line, std::string_view text);
  // Counts and reports records the dataset refused after their Post (by
  // the records kept in FPosted where it names them).
  void RefusedLater(TDataSet::TRefusals& refused);
  // After a record was stored, with a handler assigned: keeps the record
  // while the dataset holds it unsettled, and reports the records it has
  // refused since (line and text are the record's).
  void RecordPosted(std::int64_t line, std::string_view text);
  // The text, as read, of the record SplitRecordInto last split into
  // FValues, for OnRecordError: the list's own text while the split left it
  // as it was, else the copy made before it changed; empty when no handler
  // is assigned.
  std::string_view ReportText() const;
  // Fires OnRecordError for the current record with FFailure.
  void ReportFailure(std::int64_t line, std::string_view text);
  // Frees the progress window, if any, and forgets it.
  void FreeProgressWindow();
  // Whether OnFilterRecord skips the record of these values (counted then).
  bool FilteredOut(const TValueList& values, std::int64_t line);
  // Shows a message of the run (OnMessage, else MessageDlg).
  void ShowMessage(const std::string& text, TMsgDlgType type);
  // Reads past the records before StartRecord; returns the bytes they took.
  std::int64_t SkipToStartRecord();
  // The bytes the record just read took in the text: its own, its line end
  // and the lines skipped before it.
  std::int64_t RecordBytesRead() const {
    return static_cast<std::int64_t>(FRecordText.size()) + FLineEndBytes + FSkippedBytes;
  }
  // Starts reading InputRange instead of the rest of the input, records
  // counted from its first one (input_ranges.cpp).
  void EnterInputRange();
  // True when a Stop came: notes where the run stopped.
  bool StopHere();
  std::int32_t DatabaseFailed(const EDatabaseFailure& e, TDataSet*& bulkData);
  // Commits the dataset's grouped posts: EndBulk on bulkData, if any, which
  // is then cleared. When unwinding, an EndBulk failure is not raised, since
  // another exception is already on its way out: its reason follows the
  // run's own in LastError. Records the dataset refused after their Post
  // are counted as failed.
  void CommitBulk(TDataSet*& bulkData, bool unwinding);
  // EndBulk on data, or AbandonBulk for a run that stored nothing and did
  // not run through without a failed record.
  void EndBulk(TDataSet& data, bool unwinding);
  // What every end of a run does, also an early one: CommitBulk, then
  // closes the input and frees the window.
  void EndRun(TDataSet*& bulkData, bool unwinding);
  void SplitDelimitedInto(const std::string& Record, TValueList& Values);
  void SplitFixedLengthInto(const std::string& Record, TValueList& Values);
  // SplitFieldsInto on a record whose text the list takes over (Record is
  // left with the list's old text): the run's own records are not copied,
  // and a record's text as read is copied for OnRecordError only when the
  // split changes it (see ReportText).
  bool SplitRecordInto(std::string& Record, TValueList& Values);
  // How many of a record's values SplitRecordInto keeps as views: every
  // one where a handler sees them (OnFilterRecord), else those the fields
  // can take and at least kValuesKept. A record of millions of values
  // would otherwise cost 16 bytes a value, many times its text, for values
  // that are only dropped or counted.
  static constexpr std::size_t kValuesKept = 1024;
  std::size_t ValuesToKeep() const;
  // Splits the values of Values' text from offset rest on, a chunk at a
  // time, without keeping them: FInUsePastKept is the position of the last
  // one that is not empty. The outcome takes in what the chunks change;
  // before is the split's copy of the text as read (see SplitDelimitedText).
  void CountValuesPastKept(TValueList& Values, TSplitOutcome& outcome, std::string* before);
  // Counts a record (starting at line) with text after a closing quote.
  void NoteTextAfterQuote(std::int64_t line) {
    if (FTextAfterQuoteRecords++ == 0) FFirstTextAfterQuoteLine = line;
  }
  // Splits the text the list holds by ImportType; false for a blank text.
  bool SplitValueText(TValueList& Values);
  void SplitFixedLengthText(TValueList& Values);
  void SplitFixedColumns(TValueList& Values);
  // Under flColumns in a run: whether a blank record is as wide as the
  // columns, a record whose every value is null (as an export writes one)
  // rather than a blank line.
  bool NullColumns(std::string_view Record) const;
  // Starts reading records ahead when ReadAhead and the input is a regular
  // file; records are then split ahead too when the run splits them by a
  // quote and separator and holds none back.
  void StartReadAhead();
  // The next record read ahead; read errors raise as ReadTextFileRecord's.
  const TReadAheadRecord& NextReadAheadRecord();
  // One record of the run's loop, from the read-ahead or read here: counted,
  // stored or reported; each returns the record's length in bytes.
  std::int64_t ImportReadAheadRecord();
  std::int64_t ImportReadRecord(std::uint32_t& bytes);
  // Converts and posts a record read ahead; false when it failed. text is
  // then where the record's text is now (the record's own Text may have been
  // taken over).
  bool StoreReadAheadRecord(const TReadAheadRecord& record, std::string_view& text);
  // Counts a record that cannot be stored as read (fault) as failed. Line
  // is where it starts and text what was read of it.
  void RecordFailed(TRecordFault fault, std::int64_t line, std::string_view text);
  // The next physical record into text, from the read-ahead while there is
  // one; sets FEndOfFile and FLineEndBytes.
  void ReadPhysicalRecord(TFileHandle& Handle, std::string& text);
  // Keeps what the scan of the record just read ended with: its line, fault,
  // line-end and skipped bytes, and whether the input ended.
  void TakeScanResult(const TScanResult& result);
  // Gives scanner the text rules of the properties as they are: quote,
  // separator, dialect and escape, whether records are delimited ones, the
  // comment character, and SkipLines where skipLines (the input is read
  // from its start).
  void SetTextRules(TRecordScanner& scanner, bool skipLines) const;
  // Puts the source the input is read through (decompression) under the
  // scanner, when the properties ask for one. False when its first bytes
  // cannot be read (the OS error is in GetLastError()).
  bool OpenSource();
  // Whether records whose bytes are not valid in the Encoding fail: the one
  // place that decides it.
  bool ChecksText() const { return !FProps.FEncoding.empty() && FProps.FValueErrors == veStrict; }
  // The reason a record that cannot be stored as read (fault) gives, for
  // the record at line whose text is text.
  std::string RecordFaultReason(TRecordFault fault, std::int64_t line, std::string_view text) const;
  // The bytes of the input file behind textBytes bytes of its text: the
  // position the progress window shows.
  std::int64_t FileBytesFor(std::int64_t textBytes) const;
  // Ends the read-ahead, if any, and takes its scanner back.
  void StopReadAhead();
  // Takes text in place of the oldest record in the cache, handing that one
  // out with its own line and fault (FRecordLine and FRecordFault change
  // places with those kept beside it): the read of a run that holds records
  // back.
  void RotateRecordCache(std::string& text);
  // Puts the record cache back in oldest-first order. While the cache is in
  // use it works as a ring (FCacheHead is its oldest entry), so that each
  // read replaces one entry instead of shifting them all.
  void NormalizeRecordCache();


  TCSVImport& FOwner;
  // The owner's properties, read where the run needs them.
  TImportProps& FProps;

  std::string FColumnFault;
  std::vector<std::string> FUnknownColumns;
  std::vector<std::string> FReadOnlyColumns;
  std::vector<std::pair<std::string, std::string>> FLooseColumns;
  // The field index each value goes to (-1: skipped); empty while values go
  // by position.
  std::vector<int> FValueFields;
  // Under flColumns, each value's width and whether its field holds text;
  // laid out by MatchColumns for a run (FColumnsLaid), else at each split.
  struct TColumnSlice {
    std::size_t Width;
    bool Text;
  };
  std::vector<TColumnSlice> FColumnSlices;
  bool FColumnsLaid = false;
  bool FEndOfFile = false;
  std::int32_t FErrorRecords = 0;
  std::int64_t FTextAfterQuoteRecords = 0;
  std::int64_t FRoundedValues = 0;
  // What forgiving values left out: values that did not convert, records
  // with values beyond the last field, values cut inside a character.
  std::int64_t FUnconvertedValues = 0;
  std::int64_t FExtraValueRecords = 0;
  std::int64_t FCutValues = 0;
  std::int64_t FFirstTextAfterQuoteLine = 0;
  std::vector<std::string> FRefusalMessages;
  std::int64_t FStoredRecords = 0;
  // Why the last run failed, and whether it got past Setup.
  std::string FLastError;
  bool FStarted = false;
  // While Execute runs (TRunInProgress).
  std::atomic<bool> FRunning{false};
  std::int64_t FFilteredRecords = 0;
  // The values of a record split ahead, as OnFilterRecord takes them.
  TValueList FFilterValues;
  // The quote and separator characters in force (ResolveSeparators).
  std::string FDelimiter;
  std::string FSeparator;
  TSplitRule FSplitRule;  // FDelimiter, FSeparator and the dialect of the run
  std::int64_t FFileSize = 0;
  TFileHandle FFileHandle;
  // What the scanner reads FFileHandle through, when anything; it goes
  // before the file does.
  std::unique_ptr<TByteSource> FSource;
  TProgressWindow* FProgressWindow = nullptr;  // owned (its component owner is the component)
  std::unique_ptr<TStringList> FRecordCache = std::make_unique<TStringList>();
  std::int64_t FLineEndBytes = 0;  // a run of line ends may pass 2 GiB
  std::int64_t FSkippedBytes = 0;
  TRecordFault FRecordFault = rfNone;
  std::int64_t FRecordLine = 1;
  // Where each of FRecordCache's records starts, and why it cannot be
  // stored if it cannot: a record keeps its fault while it is held back.
  struct TCachedOrigin {
    std::int64_t Line = 1;
    TRecordFault Fault = rfNone;
  };
  std::vector<TCachedOrigin> FCacheOrigins;
  std::int32_t FRecordCounter = 0;
  bool FInterrupted = false;
  std::int64_t FSkippedRecords = 0;
  std::int64_t FNextRecord = 0;
  std::int64_t FNextRecordLine = 0;
  // ColumnFormats by field index, for the run (empty: none given).
  std::vector<std::string> FFieldLayouts;
  int FCacheHead = 0;

  // Why the last record failed, while it is reported.
  struct TFailure {
    TRecordErrorReason Reason = rerNoValues;
    int Field = -1;
    std::string Value;
    std::string Message;
  };
  TFailure FFailure;
  // The records the dataset holds unsettled, with a handler assigned, and
  // the dataset's PostCount when the run last looked.
  TPostedRecords FPosted;
  std::int64_t FLastPost = 0;
  // Where ReportText finds the text of the record split last: nowhere (no
  // handler, or ReportRecordText false), the text of FValues, or
  // FReportText.
  enum class TReportFrom : std::uint8_t { Nowhere, Values, Copy };
  TReportFrom FReportFrom = TReportFrom::Nowhere;
  std::string FReportText;

  // Per-run scratch kept between records for its capacity.
  std::string FRecordText;
  TValueList FValues;
  // For FValues, when the split kept only some of the record's values:
  // the position of the last value past those that is not empty, else 0.
  std::int64_t FInUsePastKept = 0;
  // For the record split last as fixed-width columns: the first value
  // whose column ended inside a character (its bytes left out), else -1.
  int FCutValue = -1;

  // The reader over FFileHandle. While FReadAhead exists, it holds the
  // scanner (StopReadAhead takes it back), and every record read from
  // FFileHandle comes from it.
  TRecordScanner FScanner;
  std::unique_ptr<TRecordReadAhead> FReadAhead;
  // The reader of a file other than the run's (ReadTextFileRecord with
  // another handle), by the handle and descriptor it was last used on.
  TRecordScanner FOtherScanner;
  const TFileHandle* FOtherHandle = nullptr;
  int FOtherFd = -1;
  // Counts the changes of the import type and of the resolved quote and
  // separator; records split ahead serve while it is as it was when the
  // read-ahead started.
  std::uint32_t FSplitGeneration = 0;
  std::uint32_t FReadAheadGeneration = 0;
};

}  // namespace korvane
