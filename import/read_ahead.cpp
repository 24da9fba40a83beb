// Reading an import's records ahead on a thread of its own.
#include "import/read_ahead.h"

#include <utility>

#include "core/sysutils.h"

namespace korvane {

TRecordReadAhead::TRecordReadAhead(TRecordScanner& scanner, const TFileHandle& file,
                                   std::optional<TSplitRule> rule)
    : FScanner(std::move(scanner)), FFile(file), FRule(rule) {
  try {
    FThread = std::thread([this] { Run(); });
  } catch (...) {
    scanner = std::move(FScanner);
    throw;
  }
}

TRecordReadAhead::~TRecordReadAhead() {
  if (FThread.joinable()) Join();
}

TRecordScanner TRecordReadAhead::Join() {
  FPipe.Close();
  FThread.join();
  return std::move(FScanner);
}

void TRecordReadAhead::Run() {
  std::size_t ahead = kBatches;
  while (TBatch* batch = FPipe.Acquire(ahead)) {
    Fill(*batch);
    const bool last = batch->Last;
    // After a large record, the next batch waits until the reader is done
    // with every batch before it.
    ahead = batch->Text.size() >= kLargeRecord ? 1 : kBatches;
    FPipe.Publish();
    if (last) return;
  }
}

void TRecordReadAhead::TakeText(std::string& text) {
  const std::string_view record = FRecord.Text;
  FRecord.Text = {};
  if (record.size() < kLargeRecord || FCurrent == nullptr || FIndex != FCurrent->Entries.size()) {
    text.assign(record);
    return;
  }
  // The batch's text ends with the record: it becomes text, less what
  // stands before the record, and the batch goes on with text's buffer.
  const auto begin = static_cast<std::size_t>(record.data() - FCurrent->Text.data());
  text.swap(FCurrent->Text);
  text.erase(0, begin);
  text.resize(record.size());
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
      FScanner.Scan(FFile, batch.Text, entry);
      entry.Size = batch.Text.size() - entry.Begin;
      batch.Entries.push_back(entry);  // within the capacity reserved
      if (entry.EndOfFile) {
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
    std::size_t room = 0;
    for (const TEntry& entry : batch.Entries) room += entry.Size < kLargeRecord ? entry.Size : 0;
    batch.ValueText.clear();
    batch.ValueText.reserve(room);
    for (; i < batch.Entries.size(); ++i) {
      TEntry& entry = batch.Entries[i];
      const std::string_view text(batch.Text.data() + entry.Begin, entry.Size);
      entry.FirstValue = batch.Values.size();
      if (entry.Size >= kLargeRecord) {
        continue;  // the reader splits it (entry.Split stays false)
      }
      if (IsBlankRecord(*FRule, text)) {
        entry.Blank = true;
      } else {
        const std::size_t at = batch.ValueText.size();
        batch.ValueText.append(text);
        entry.TextAfterQuote =
            SplitDelimitedText(*FRule, batch.ValueText.data() + at, text.size(), batch.Values)
                .TextAfterQuote;
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
    if (FCurrent != nullptr) FPipe.Release();
    // The thread publishes batches until the last one: there is always
    // another to take here.
    FCurrent = FPipe.Take();
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
