// The progress window both components show during a run: file name, record
// count, kilobytes done with the throughput, an estimate of the time
// remaining, a bar and a percentage.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <string>

#include "text/formats.h"
#include "ui/forms.h"
#include "components/kvenums.h"

namespace korvane {

// A small stay-on-top dialog built entirely in code; it owns its eleven
// controls. The components drive it: Init once at the start of a run,
// Increment as the run proceeds, and freeing it at the end. It holds no
// reference to the component or to the file.
//
// Increment is called once per record, so it only stores the counts and asks
// for a repaint. The captions, the percentage and the bar are computed from
// the latest counts when they are first read or painted after an Increment
// (the renderer paints right inside Increment, at the rate it chooses), with
// the clock as it reads at that moment, and then stay as they are until the
// next Increment. Time comes from Now(), which tests replace through SetClock.
class KORVANE_API TProgressWindow : public TForm {
 public:
  // Creates the window, already visible, with every control placed and
  // labelled.
  explicit TProgressWindow(TComponent* owner);

  // Starts a run: resets the counts and the rate, records the start time,
  // sets the totals, the captions and the bar's range (not its position).
  // The total that calc selects is what the bar, the percentage and the
  // estimate measure against; a total of 0 or less leaves them at "0%", an
  // empty bar and "00:00:00 remaining".
  void Init(TProcessType processType, TProgressCalc calc, const std::string& fileName,
            std::int32_t totalRecords, std::int64_t totalBytes);

  // Records the running totals since the start of the run (not amounts to
  // add) and asks the window to repaint.
  void Increment(std::int32_t recordsDone, std::int64_t bytesDone);

  // The estimate of the time remaining as of now ("hh:nn:ss remaining"),
  // from the latest counts. Changes nothing.
  std::string GetTimeRemaining() const;

  TLabel* Label1;
  TLabel* Label2;
  TLabel* Label3;
  TLabel* Label4;
  TLabel* Label5;
  TLabel* lbFile;
  TLabel* lbPercentage;
  TLabel* lbRecords;
  TLabel* lbBytes;
  TLabel* lbTime;
  TProgressBar* ProgressBar;

 protected:
  void ComputeContent() override;

 private:
  std::string TimeRemainingAt(TDateTime now) const;
  // The count and total that FProgressCalc selects.
  std::int64_t MeasuredCount() const;
  std::int64_t MeasuredTotal() const;

  std::int64_t FBytesDone = 0;
  double FKBytesPerSecond = 0;
  TProcessType FProcessType = ptImport;
  TProgressCalc FProgressCalc = pcRecord;
  std::int32_t FRecordsDone = 0;
  std::int32_t FElapsedSeconds = 0;
  TDateTime FStartTime = 0;
  std::int64_t FTotalBytes = 0;
  std::int32_t FTotalRecords = 0;
};

}  // namespace korvane
