// Formatting ahead: an export's lines made on a second thread from copies
// of the records' values while the calling thread walks the dataset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "io/batch_pipe.h"
#include "data/db.h"
#include "export/kvcsvexp.h"
#include "export/record_plan.h"

namespace korvane {

// Formats records on a second thread from copies of their values and hands
// the lines on to the output as the run would. From the constructor to
// Finish, the thread is the only user of the output and of the plan's
// scratch; the calling thread only fills rows and reads the plan's columns. Records are handed
// over in batches of kBatchRows, at most kBatches at a time.
class TFormatAhead {
 public:
  static constexpr std::size_t kBatchRows = TCSVExport::kFormatAheadBatch;
  static constexpr std::size_t kBatches = TCSVExport::kFormatAheadBatches;

  // Starts the thread; raises std::system_error when it cannot.
  TFormatAhead(TExportOutput& output, TRecordPlan& plan);
  // Formats what was handed over, then ends the thread. Only when the run
  // is already leaving by an exception: what the thread raised then goes.
  ~TFormatAhead();
  TFormatAhead(const TFormatAhead&) = delete;
  TFormatAhead& operator=(const TFormatAhead&) = delete;

  // Copies the next record's values for the thread. False, copying
  // nothing, when the plan cannot write them from a copy (a value is of
  // another alternative than its column's), when memory for the copy runs
  // out, or once a write has failed (the run then ends).
  bool Add(const TFieldData* values);
  // Formats and writes everything handed over and ends the thread: false
  // when a write failed; raises what the thread raised.
  bool Finish();
  // Bytes of the lines written, each counting two separator bytes.
  std::int64_t Bytes() const { return FBytes; }

 private:
  // On cache lines of their own: the thread reads one batch while the
  // calling thread fills the next.
  struct alignas(64) TBatch {
    std::vector<TCopiedValue> Values;  // FWidth per record
    // The texts, one after another.
    std::unique_ptr<char[]> Texts;
    std::size_t TextsSize = 0;
    std::size_t TextsCapacity = 0;
    std::size_t Rows = 0;
  };

  static std::vector<TCopySlot> Slots(const TRecordPlan& plan);
  static bool CopyText(TBatch& batch, std::string_view text, TCopiedValue& copy);
  bool Acquire();
  void HandOver();
  void Run();

  TExportOutput& FOutput;
  TRecordPlan& FPlan;
  const std::vector<TCopySlot> FSlots;
  const std::size_t FWidth;
  // Fails once a write failed or the thread raised.
  TBatchPipe<TBatch, kBatches> FPipe{THandOff::hoFormatAhead};
  alignas(64) TBatch* FFilling = nullptr;  // the calling thread's
  // The thread's, read after it ends.
  alignas(64) std::int64_t FBytes = 0;
  std::exception_ptr FError;
  std::thread FThread;  // last: it starts once everything above exists
};

}  // namespace korvane
