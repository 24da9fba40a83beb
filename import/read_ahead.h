// Reading an import's records ahead, on a thread of its own, while the
// records before them are converted and stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "io/batch_pipe.h"
#include "io/fileio.h"
#include "import/record_scanner.h"

namespace korvane {

// One record read ahead, with what its scan ended with; valid until the next
// TRecordReadAhead::Next.
struct TReadAheadRecord : TScanResult {
  // The record's text as read, without its terminator.
  std::string_view Text;
  // Split: the thread split the record by the read-ahead's rule. Its values
  // are then ValueCount views at Values; a blank record (Blank) has none.
  // TextAfterQuote: the split found text after a value's closing quote.
  bool Split = false;
  bool Blank = false;
  bool TextAfterQuote = false;
  const std::string_view* Values = nullptr;
  int ValueCount = 0;
};

// A thread that scans records from a file into batches, and splits them when
// given a split rule, a few batches ahead of the reader of the records. The
// read-ahead takes the scanner over while it runs and hands it back, where
// the thread left it, on Join; nothing else may read the file meanwhile.
// What stops the reading (a read error, memory running out) reaches the
// reader in turn, after the records read before it.
class TRecordReadAhead {
 public:
  // Takes the scanner over and starts the thread; raises std::system_error
  // when it cannot, leaving the scanner with the caller.
  TRecordReadAhead(TRecordScanner& scanner, const TFileHandle& file,
                   std::optional<TSplitRule> rule);
  // Stops the thread once it has finished the batch it is on.
  ~TRecordReadAhead();
  // Stops the thread as the destructor does and hands the scanner back.
  TRecordScanner Join();
  TRecordReadAhead(const TRecordReadAhead&) = delete;
  TRecordReadAhead& operator=(const TRecordReadAhead&) = delete;

  // The next record. After the last record (the one with EndOfFile), raises
  // what stopped the reading early, if anything, with the OS error code set
  // for GetLastError. Once Drained, gives an empty record at the end.
  const TReadAheadRecord& Next() {
    // In line: most records come from the batch at hand.
    if (FCurrent != nullptr && FIndex < FCurrent->Entries.size() && !FDrained) {
      return Take(FCurrent->Entries[FIndex++]);
    }
    return NextFromAnotherBatch();
  }
  // Moves the text of the record Next gave last into text, whose own
  // bytes are dropped; the record's Text is no longer valid afterwards. A
  // large record, always the last of its batch, gives its bytes up without
  // being copied.
  void TakeText(std::string& text);
  // Records of this many bytes and more are neither split on the thread
  // (the copy the split works in would double them) nor read past until the
  // reader has taken them: a large record is held once here, not once per
  // batch ahead.
  static constexpr std::size_t kLargeRecord = std::size_t{1} << 20;
  // The last record has been handed out, or the error raised: the scanner
  // stands where the thread left it and nothing more comes from here.
  bool Drained() const { return FDrained; }

 private:
  struct TEntry : TScanResult {
    std::size_t Begin = 0;
    std::size_t Size = 0;
    std::size_t FirstValue = 0;
    int ValueCount = 0;
    bool Split = false;
    bool Blank = false;
    bool TextAfterQuote = false;
  };
  // Each batch on cache lines of its own: the thread fills one while the
  // reader reads another, and neither may slow the other down by writing
  // next to what it reads.
  struct alignas(64) TBatch {
    std::string Text;       // the records' texts, one after another
    std::string ValueText;  // a copy of them that the split takes quotes out of
    std::vector<TEntry> Entries;
    std::vector<std::string_view> Values;
    std::exception_ptr Error;  // what stopped the reading after Entries
    int ErrorCode = 0;
    bool Last = false;  // nothing is read after this batch
  };
  static constexpr std::size_t kBatches = 4;
  static constexpr std::size_t kBatchRecords = 4096;
  static constexpr std::size_t kBatchBytes = 256 * 1024;

  void Run();
  void Fill(TBatch& batch);
  const TReadAheadRecord& NextFromAnotherBatch();
  const TReadAheadRecord& Take(const TEntry& entry) {
    const TBatch& batch = *FCurrent;
    FRecord.Text = std::string_view(batch.Text.data() + entry.Begin, entry.Size);
    FRecord.Split = entry.Split;
    FRecord.Blank = entry.Blank;
    FRecord.TextAfterQuote = entry.TextAfterQuote;
    FRecord.Values = entry.ValueCount > 0 ? batch.Values.data() + entry.FirstValue : nullptr;
    FRecord.ValueCount = entry.ValueCount;
    static_cast<TScanResult&>(FRecord) = entry;
    if (entry.EndOfFile) FDrained = true;
    return FRecord;
  }
  void SplitRecords(TBatch& batch);

  TRecordScanner FScanner;  // the thread's until Join
  const TFileHandle& FFile;
  const std::optional<TSplitRule> FRule;
  TBatchPipe<TBatch, kBatches> FPipe{THandOff::hoReadAhead};

  // The reader's side: the batch it reads (nullptr before the first) and the
  // entry to hand out next.
  alignas(64) TBatch* FCurrent = nullptr;
  std::size_t FIndex = 0;
  TReadAheadRecord FRecord;
  bool FDrained = false;

  std::thread FThread;  // started once everything above exists
};

}  // namespace korvane
