#include "export/format_ahead.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <variant>

#include "core/sysutils.h"
#include "text/formats.h"

namespace korvane {

TFormatAhead::TFormatAhead(TExportOutput& output, TRecordPlan& plan)
    : FOutput(output),
      FPlan(plan),
      FSlots(Slots(plan)),
      FWidth(FSlots.size()),
      // The thread formats with the run's settings, as the calling thread does.
      FThread([this, settings = ThreadFormatSettings()] {
        const TThreadFormatSettings formats(settings);
        Run();
      }) {}

TFormatAhead::~TFormatAhead() {
  try {
    Finish();
  } catch (...) {
    // A no-throw boundary: the run calls Finish itself, which rethrows the
    // thread's error; this one is reached without that only while another
    // error leaves the run, which is the one the host gets.
  }
}

std::vector<TCopySlot> TFormatAhead::Slots(const TRecordPlan& plan) {
  std::vector<TCopySlot> slots;
  plan.CopySlots(slots);
  return slots;
}

// Appends text to the batch's texts and points copy at it; false when it
// cannot be held.
[[gnu::always_inline]] inline bool TFormatAhead::CopyText(TBatch& batch, std::string_view text,
                                                          TCopiedValue& copy) {
  const std::size_t n = text.size();
  if (batch.TextsCapacity - batch.TextsSize < n) {
    // Offsets are 32-bit: a batch of texts that large goes the usual way.
    if (batch.TextsSize + n > std::numeric_limits<std::uint32_t>::max()) return false;
    const std::size_t capacity =
        std::max(2 * batch.TextsCapacity, batch.TextsSize + n + 4096);
    auto grown = std::unique_ptr<char[]>(new (std::nothrow) char[capacity]);
    if (!grown) return false;
    if (batch.TextsSize > 0) std::memcpy(grown.get(), batch.Texts.get(), batch.TextsSize);
    batch.Texts = std::move(grown);
    batch.TextsCapacity = capacity;
  }
  char* out = batch.Texts.get() + batch.TextsSize;
  if (n != 0) std::memcpy(out, text.data(), n);
  copy.Offset = static_cast<std::uint32_t>(batch.TextsSize);
  copy.Length = static_cast<std::uint32_t>(n);
  batch.TextsSize += n;
  return true;
}

bool TFormatAhead::Add(const TFieldData* values) {
  if (FFilling == nullptr && !Acquire()) return false;
  TBatch& batch = *FFilling;
  TCopiedValue* copy = batch.Values.data() + batch.Rows * FWidth;
  const std::size_t textsBefore = batch.TextsSize;
  for (const TCopySlot& slot : FSlots) {
    const TFieldData& data = values[slot.Index];
    const TValueKind alternative = ValueKind(data);
    copy->Alternative = alternative;
    if (alternative != vkNull && slot.Own != vkNull) {
      if (alternative != slot.Own) {
        batch.TextsSize = textsBefore;
        return false;
      }
      if (const auto* integer = std::get_if<vkInteger>(&data)) {
        copy->Integer = *integer;
      } else if (const auto* number = std::get_if<vkFloat>(&data)) {
        copy->Float = *number;
      } else if (const auto* flag = std::get_if<vkBoolean>(&data)) {
        copy->Boolean = *flag;
      } else if (const auto* text = std::get_if<vkText>(&data)) {
        if (!CopyText(batch, *text, *copy)) {
          batch.TextsSize = textsBefore;
          return false;
        }
      }
    } else {
      copy->Alternative = vkNull;
    }
    ++copy;
  }
  if (++batch.Rows == kBatchRows) HandOver();
  return true;
}

bool TFormatAhead::Finish() {
  if (FThread.joinable()) {
    if (FFilling != nullptr && FFilling->Rows > 0) HandOver();
    FPipe.Close();
    FThread.join();
  }
  if (FError) std::rethrow_exception(std::exchange(FError, nullptr));
  return !FPipe.Failed();
}

bool TFormatAhead::Acquire() {
  TBatch* batch = FPipe.Acquire();
  if (batch == nullptr) return false;  // a write failed
  if (batch->Values.size() != kBatchRows * FWidth) batch->Values.resize(kBatchRows * FWidth);
  batch->TextsSize = 0;
  batch->Rows = 0;
  FFilling = batch;
  return true;
}

void TFormatAhead::HandOver() {
  FPipe.Publish();
  FFilling = nullptr;
}

void TFormatAhead::Run() {
  while (const TBatch* batch = FPipe.Take()) {
    // After a failure the batches still handed over are dropped.
    bool failed = FPipe.Failed();
    std::int64_t bytes = 0;
    try {
      for (std::size_t r = 0; r < batch->Rows && !failed; ++r) {
        const std::size_t length =
            FPlan.PutCopy(batch->Values.data() + r * FWidth, batch->Texts.get());
        if (length == 0) continue;
        bytes += static_cast<std::int64_t>(length) + 2;
        if (FOutput.Full() && !FOutput.Queue()) failed = true;
      }
    } catch (...) {
      FError = std::current_exception();
      failed = true;
    }
    FBytes += bytes;
    if (failed) FPipe.Fail();
    FPipe.Release();
  }
}

}  // namespace korvane
