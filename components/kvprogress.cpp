#include "components/kvprogress.h"

#include <cmath>

#include "core/sysutils.h"

namespace korvane {

namespace {

constexpr const char* kNoTimeRemaining = "00:00:00 remaining";
constexpr const char* kKiloFormat = "###,##0.0";

TLabel* NewLabel(TProgressWindow* window) {
  auto* label = new TLabel(window);
  label->SetParent(window);
  return label;
}

// A right-aligned caption of fixed width at the left of a row.
TLabel* NewRowCaption(TProgressWindow* window, const char* caption, int top) {
  TLabel* label = NewLabel(window);
  label->SetAlignment(taRightJustify);
  label->SetAutoSize(false);
  label->SetCaption(caption);
  label->SetLeft(12);
  label->SetTop(top);
  label->SetWidth(45);
  return label;
}

TLabel* NewValueLabel(TProgressWindow* window, const char* caption, int left, int top) {
  TLabel* label = NewLabel(window);
  label->SetCaption(caption);
  label->SetLeft(left);
  label->SetTop(top);
  return label;
}

std::string Kilobytes(std::int64_t bytes) {
  return FormatFloat(kKiloFormat, static_cast<double>(bytes) / 1024);
}

}  // namespace

TProgressWindow::TProgressWindow(TComponent* owner) : TForm(owner) {
  SetBorderStyle(bsDialog);
  SetCaption("Progress");
  SetFormStyle(fsStayOnTop);
  SetHeight(151);
  SetPosition(poScreenCenter);
  SetWidth(330);
  SetVisible(true);

  Label1 = NewRowCaption(this, "File:", 12);
  Label2 = NewRowCaption(this, "Records:", 32);
  Label3 = NewRowCaption(this, "Bytes:", 52);
  Label4 = NewRowCaption(this, "Time:", 72);
  Label5 = NewRowCaption(this, "Progress:", 92);
  lbFile = NewValueLabel(this, "?", 72, 12);
  lbRecords = NewValueLabel(this, "?", 72, 32);
  lbBytes = NewValueLabel(this, "?", 72, 52);
  lbTime = NewValueLabel(this, "?", 72, 72);
  lbPercentage = NewValueLabel(this, "0%", 292, 92);
  ProgressBar = new TProgressBar(this);
  ProgressBar->SetParent(this);
  ProgressBar->SetLeft(72);
  ProgressBar->SetTop(92);
  ProgressBar->SetWidth(213);
}

void TProgressWindow::Init(TProcessType processType, TProgressCalc calc,
                           const std::string& fileName, std::int32_t totalRecords,
                           std::int64_t totalBytes) {
  // Whatever the previous Increment left pending (the bar's position among
  // it) is settled before the new run's state replaces it.
  EnsureContent();

  FBytesDone = 0;
  FKBytesPerSecond = 0;
  FProcessType = processType;
  FProgressCalc = calc;
  FRecordsDone = 0;
  FElapsedSeconds = 0;
  FStartTime = Now();
  FTotalBytes = totalBytes;
  FTotalRecords = totalRecords;

  lbFile->SetCaption(fileName);
  lbRecords->SetCaption("0 of " + IntToStr(totalRecords));
  lbTime->SetCaption(kNoTimeRemaining);
  if (processType == ptImport) {
    SetCaption("Import Progress");
    lbBytes->SetCaption("0K of " + Kilobytes(totalBytes) + "K read");
  } else {
    SetCaption("Export Progress");
    lbBytes->SetCaption("0K written");
  }
  lbPercentage->SetCaption("0%");
  ProgressBar->SetMax(calc == pcRecord ? std::int64_t{totalRecords} : totalBytes);
}

void TProgressWindow::Increment(std::int32_t recordsDone, std::int64_t bytesDone) {
  FBytesDone = bytesDone;
  FRecordsDone = recordsDone;
  ContentChanged();
  Update();
}

void TProgressWindow::ComputeContent() {
  // Whole seconds of the time-of-day part of the span, at least 1. A clock
  // that went backwards counts as the first second.
  const TDateTime now = Now();
  std::int32_t elapsed = 0;
  const TDateTime span = now - FStartTime;
  if (span > 0) {
    std::uint16_t hours = 0, minutes = 0, seconds = 0, msec = 0;
    DecodeTime(span, hours, minutes, seconds, msec);
    elapsed = hours * 3600 + minutes * 60 + seconds;
  }
  FElapsedSeconds = elapsed > 0 ? elapsed : 1;
  FKBytesPerSecond = (static_cast<double>(FBytesDone) / 1024) / FElapsedSeconds;

  const std::string done = Kilobytes(FBytesDone);
  const std::string rate = FormatFloat(kKiloFormat, FKBytesPerSecond);
  if (FProcessType == ptImport) {
    lbRecords->SetCaption(IntToStr(FRecordsDone) + " records");
    lbBytes->SetCaption(done + "K of " + Kilobytes(FTotalBytes) + "K read (" + rate + "K/s)");
  } else {
    lbRecords->SetCaption(IntToStr(FRecordsDone) + " of " + IntToStr(FTotalRecords) + " records");
    lbBytes->SetCaption(done + "K written (" + rate + "K/s)");
  }
  lbTime->SetCaption(TimeRemainingAt(now));

  // Without a positive total there is nothing to measure against: the
  // percentage stays at 0 and the bar empty.
  const std::int64_t count = MeasuredCount();
  const std::int64_t total = MeasuredTotal();
  if (total > 0 && count > 0) {
    const double percent = static_cast<double>(count) / (static_cast<double>(total) / 100);
    lbPercentage->SetCaption(FormatFloat("##0", percent) + "%");
  } else {
    lbPercentage->SetCaption("0%");
  }
  ProgressBar->SetPosition(total > 0 ? count : 0);
}

std::string TProgressWindow::GetTimeRemaining() const { return TimeRemainingAt(Now()); }

std::string TProgressWindow::TimeRemainingAt(TDateTime now) const {
  const std::int64_t count = MeasuredCount();
  const std::int64_t total = MeasuredTotal();
  // Nothing done yet, nothing to measure against, or past the total (where
  // the estimate would turn negative): no estimate.
  if (count <= 0 || total <= 0 || count > total) return kNoTimeRemaining;
  const double percent = static_cast<double>(count) / (static_cast<double>(total) / 100);
  TDateTime remaining = (now - FStartTime) / percent * (100 - percent);
  if (!std::isfinite(remaining) || !(remaining > 0)) return kNoTimeRemaining;
  // Only the time of day is shown; dropping whole days first keeps absurdly
  // long estimates within what the formatter handles.
  if (remaining >= 1) remaining = std::fmod(remaining, 1.0);
  return FormatDateTime("hh:nn:ss", remaining) + " remaining";
}

std::int64_t TProgressWindow::MeasuredCount() const {
  return FProgressCalc == pcRecord ? std::int64_t{FRecordsDone} : FBytesDone;
}

std::int64_t TProgressWindow::MeasuredTotal() const {
  return FProgressCalc == pcRecord ? std::int64_t{FTotalRecords} : FTotalBytes;
}

}  // namespace korvane
