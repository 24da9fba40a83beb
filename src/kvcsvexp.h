// TCSVExport: writes the records of a dataset to a text file, one line per
// record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/classes.h"
#include "platform/db.h"
#include "platform/fileio.h"
#include "src/kvtypes.h"

namespace korvane {

class TProgressWindow;

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
class TCSVExport : public TComponent {
 public:
  explicit TCSVExport(TComponent* owner);
  ~TCSVExport() override;

  // Runs an export: the number of records passed, or -1 when the preparation
  // failed (no dataset, a dataset that cannot be opened, an output file that
  // cannot be created) or a write failed.
  std::int32_t Execute();

  // Published properties.
  const std::string& CustomSeparator() const { return FCustomSeparator; }
  // Keeps only the first character of the trimmed value (or nothing).
  void SetCustomSeparator(const std::string& Value);
  TDataSet* DataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* value) { FDataSet = value; }
  TDelimitedFields DelimitedFields() const { return FDelimitedFields; }
  void SetDelimitedFields(TDelimitedFields value) { FDelimitedFields = value; }
  TExportType ExportType() const { return FExportType; }
  void SetExportType(TExportType value) { FExportType = value; }
  TFieldDelimiter FieldDelimiter() const { return FFieldDelimiter; }
  void SetFieldDelimiter(TFieldDelimiter value) { FFieldDelimiter = value; }
  TStrings* FieldList() const { return FFieldList.get(); }
  // Copies Value (nullptr empties the list); Value is not kept.
  void SetFieldList(const TStrings* Value);
  TFieldListAction FieldListAction() const { return FFieldListAction; }
  void SetFieldListAction(TFieldListAction value) { FFieldListAction = value; }
  TFieldSeparator FieldSeparator() const { return FFieldSeparator; }
  void SetFieldSeparator(TFieldSeparator value) { FFieldSeparator = value; }
  TStrings* HeaderData() const { return FHeaderData.get(); }
  void SetHeaderData(const TStrings* Value);
  bool HeaderOutput() const { return FHeaderOutput; }
  void SetHeaderOutput(bool value) { FHeaderOutput = value; }
  TNumericAlignment NumericAlign() const { return FNumericAlign; }
  void SetNumericAlign(TNumericAlignment value) { FNumericAlign = value; }
  const TExportEvent& OnExportRecord() const { return FOnExportRecord; }
  void SetOnExportRecord(TExportEvent value) { FOnExportRecord = std::move(value); }
  const TNotifyEvent& OnBeginExport() const { return FOnBeginExport; }
  void SetOnBeginExport(TNotifyEvent value) { FOnBeginExport = std::move(value); }
  const TNotifyEvent& OnFinishExport() const { return FOnFinishExport; }
  void SetOnFinishExport(TNotifyEvent value) { FOnFinishExport = std::move(value); }
  const std::string& OutputFile() const { return FOutputFile; }
  void SetOutputFile(std::string value) { FOutputFile = std::move(value); }
  TRecordSeparator RecordSeparator() const { return FRecordSeparator; }
  void SetRecordSeparator(TRecordSeparator value) { FRecordSeparator = value; }
  bool ShowProgress() const { return FShowProgress; }
  void SetShowProgress(bool value) { FShowProgress = value; }
  TStrings* TrailerData() const { return FTrailerData.get(); }
  void SetTrailerData(const TStrings* Value);
  bool TrailerOutput() const { return FTrailerOutput; }
  void SetTrailerOutput(bool value) { FTrailerOutput = value; }
  std::string Version() const { return GetVersion(); }
  // Ignored: the version is fixed.
  void SetVersion(const std::string& Value);

  // The run's pieces, public so that hosts and tests can drive them.
  //
  // Prepares a run: opens the dataset if it is closed, takes its record
  // count, shows the progress window, moves to the first record, resolves
  // the quote and separator characters and only then creates the output
  // file, so that a preparation that fails leaves an earlier file of that
  // name untouched. False on any failure, without a message.
  bool Setup();
  // Writes out what is buffered, closes the output file and frees the
  // progress window. A failed final write is kept in WriteErrorCode.
  void CleanUp();
  // Queues one line and the record separator for the output file. False
  // when the operating system refused a write this caused (WriteErrorCode
  // gives its error code).
  bool WriteData(const std::string& line);
  // Hands everything buffered to the operating system and waits until it
  // has taken it. False on a failed write.
  bool FlushWriteBuffer();

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

  // Run state, readable for tests and hosts.
  std::int32_t RecordCounter() const { return FRecordCounter; }
  std::int32_t RecordTotal() const { return FRecordTotal; }
  TProgressWindow* ProgressWindow() const { return FProgressWindow; }
  bool FileOpen() const { return FFileHandle.Valid(); }
  // The OS error code of the first failed write of the current or last run;
  // 0 when none failed.
  int WriteErrorCode() const { return FWriteErrorCode; }

  // Whether Execute formats records on a second thread from copies of their
  // values while it walks the dataset. Only runs in which no host code
  // looks on while they go (no OnExportRecord, no progress window) and whose
  // fields all format without being asked for their text do so; the file,
  // the result and every error are those of a run without it. On by default
  // where the machine has more than one processor.
  bool FormatAhead() const { return FFormatAhead; }
  void SetFormatAhead(bool value) { FFormatAhead = value; }
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
  class TRunGuard;
  class TLineBuilder;
  class TFormatAhead;
  class TRecordPlan;

  std::string GetVersion() const { return kVersion; }
  // Header, record loop and trailer of Execute; false when a write failed.
  bool WriteRun();
  // Appends the current record, formatted by the layout, to out; false when
  // reading a field raised, with out as it was.
  bool FormatRecord(std::string& out, bool fixed);
  bool WriteLines(const TStrings& lines);
  std::string_view RecordSeparatorBytes() const;
  void FreeProgressWindow() noexcept;

  // The write buffer. Room(n) makes room for n more bytes after its end and
  // returns where they go; Grow moves what is held (the bytes up to `end`,
  // which lies in the buffer) to a larger one and returns the same place
  // there.
  char* Room(std::size_t n) {
    return FCapacity - FLength >= n ? FBuffer.get() + FLength : Grow(FBuffer.get() + FLength, n);
  }
  char* Grow(char* end, std::size_t n);
  void Append(std::string_view bytes);
  void ReleaseBuffer() noexcept;
  // In a long run, hands the buffer to the background writer and goes on
  // with the other one, so that formatting and writing overlap (before
  // that, writes the buffer as FlushWriteBuffer does). False when a write
  // failed.
  bool QueueWriteBuffer();
  // Waits for the background writer; false when one of its writes failed.
  bool WaitForWriter();
  // Waits for the background writer and ends it.
  void StopWriter() noexcept;

  // Bytes waiting for the file: FLength bytes of the FCapacity allocated.
  // Records are formatted straight onto its end; it goes out once it holds
  // FFlushAt bytes (a longer line makes it grow for that one write).
  // On cache lines of their own, apart from what a run reads for every
  // record: while records are formatted ahead, another thread writes here.
  alignas(64) std::unique_ptr<char[]> FBuffer;
  std::size_t FLength = 0;
  std::size_t FCapacity = 0;
  std::string FLine;  // a record formatted apart from the buffer
  std::size_t FFlushAt = kWriteBufferSize;
  std::uint64_t FWrittenBytes = 0;  // handed to the file in this run
  alignas(64) std::string FCustomSeparator;
  TDataSet* FDataSet = nullptr;
  TDelimitedFields FDelimitedFields = dfAll;
  TExportType FExportType = expDelimited;
  std::string FDelimiter;
  TFieldDelimiter FFieldDelimiter = fdlNone;
  TFieldSeparator FFieldSeparator = fspPipe;
  std::string FSeparator;
  std::unique_ptr<TStringList> FFieldList;
  TFieldListAction FFieldListAction = flaNone;
  std::unique_ptr<TStringList> FHeaderData;
  bool FHeaderOutput = false;
  TNumericAlignment FNumericAlign = naLeft;
  TExportEvent FOnExportRecord;
  TNotifyEvent FOnBeginExport;
  TNotifyEvent FOnFinishExport;
  std::string FOutputFile;
  TFileHandle FFileHandle;
  TProgressWindow* FProgressWindow = nullptr;  // owned (its component owner is this)
  TRecordSeparator FRecordSeparator = rsCRLF;
  std::int32_t FRecordCounter = 0;
  bool FShowProgress = false;
  std::int32_t FRecordTotal = 0;
  std::unique_ptr<TStringList> FTrailerData;
  bool FTrailerOutput = false;
  int FWriteErrorCode = 0;
  // The buffer the background writer is writing (or has written) while the
  // next one fills. Declared after the file and the buffers, so that the
  // writer ends before they go.
  std::unique_ptr<char[]> FSpare;
  std::size_t FSpareCapacity = 0;
  std::unique_ptr<TBackgroundWriter> FWriter;
  bool FFormatAhead = std::thread::hardware_concurrency() > 1;
};

}  // namespace korvane
