// Reading an import's records ahead on a thread of its own.
#include "src/kvcsvimp_readahead.h"

#include <utility>

#include "platform/sysutils.h"

namespace korvane {

TRecordReadAhead::TRecordReadAhead(TRecordScanner& scanner, const TFileHandle& file,
                                   std::optional<TSplitRule> rule)
    : FScanner(scanner), FFile(file), FRule(rule), FThread([this] { Run(); }) {}

TRecordReadAhead::~TRecordReadAhead() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FChanged.notify_all();
  FThread.join();
}

void TRecordReadAhead::Run() {
  for (std::uint64_t n = 0;; ++n) {
    TBatch& batch = FBatches[n % kBatches];
    {
      std::unique_lock<std::mutex> lock(FLock);
      FChanged.wait(lock, [&] { return FStop || n - FReleased < kBatches; });
      if (FStop) return;
    }
    Fill(batch);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FFilled = n + 1;
    }
    FChanged.notify_all();
    if (batch.Last) return;
  }
}

void TRecordReadAhead::Fill(TBatch& batch) {
  batch.Text.clear();
  batch.Entries.clear();
  batch.Values.clear();
  batch.Error = nullptr;
  batch.ErrorCode = 0;
  batch.Last = false;
  try {
    batch.Entries.reserve(kBatchRecords);
    while (batch.Entries.size() < kBatchRecords && batch.Text.size() < kBatchBytes) {
      TEntry entry;
      entry.Begin = batch.Text.size();
      TScanResult result;
      FScanner.Scan(FFile, batch.Text, result);
      entry.Size = batch.Text.size() - entry.Begin;
      entry.LineEndBytes = result.LineEndBytes;
      entry.EndOfFile = result.EndOfFile;
      batch.Entries.push_back(entry);  // within the capacity reserved
      if (result.EndOfFile) {
        batch.Last = true;
        break;
      }
    }
  } catch (...) {
    // The record being read when it failed is not handed out, as the
    // reader on its own would not hand it out either.
    batch.Error = std::current_exception();
    batch.ErrorCode = GetLastError();
    batch.Last = true;
  }
  if (FRule) SplitRecords(batch);
}

void TRecordReadAhead::SplitRecords(TBatch& batch) {
  std::size_t i = 0;
  try {
    // The copies go into a string reserved for all of them, so that the
    // views taken into it stay valid.
    batch.ValueText.clear();
    batch.ValueText.reserve(batch.Text.size());
    for (; i < batch.Entries.size(); ++i) {
      TEntry& entry = batch.Entries[i];
      const std::string_view text(batch.Text.data() + entry.Begin, entry.Size);
      entry.FirstValue = batch.Values.size();
      if (IsBlank(text)) {
        entry.Blank = true;
      } else {
        const std::size_t at = batch.ValueText.size();
        batch.ValueText.append(text);
        SplitDelimitedText(*FRule, batch.ValueText.data() + at, text.size(), batch.Values);
      }
      entry.ValueCount = static_cast<int>(batch.Values.size() - entry.FirstValue);
      entry.Split = true;
    }
  } catch (const std::exception&) {
    // Out of memory for the values: the records from entry i on are handed
    // out unsplit, for the reader to split.
    for (; i < batch.Entries.size(); ++i) batch.Entries[i].Split = false;
  }
}

const TReadAheadRecord& TRecordReadAhead::NextFromAnotherBatch() {
  if (FDrained) {
    FRecord = TReadAheadRecord{};
    FRecord.EndOfFile = true;
    return FRecord;
  }
  if (FCurrent == nullptr || FIndex == FCurrent->Entries.size()) {
    if (FCurrent != nullptr && FCurrent->Last) {
      // Every record of the last batch is out: what remains is its error.
      FDrained = true;
      SetLastError(FCurrent->ErrorCode);
      std::rethrow_exception(FCurrent->Error);
    }
    std::unique_lock<std::mutex> lock(FLock);
    if (FCurrent != nullptr) {
      FReleased = FTaken;
      FChanged.notify_all();
    }
    FChanged.wait(lock, [this] { return FTaken < FFilled; });
    FCurrent = &FBatches[FTaken % kBatches];
    ++FTaken;
    FIndex = 0;
  }
  if (FIndex == FCurrent->Entries.size()) {
    // A batch that holds no record holds the error that ended the reading.
    FDrained = true;
    SetLastError(FCurrent->ErrorCode);
    std::rethrow_exception(FCurrent->Error);
  }
  return Take(FCurrent->Entries[FIndex++]);
}

}  // namespace korvane
