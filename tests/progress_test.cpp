#include "components/kvprogress.h"

#include <gtest/gtest.h>

#include "text/formats.h"
#include "ui/terminal_renderer.h"
#include "components/kvtypes.h"

namespace korvane {
namespace {

// Counts paint requests and reads the window as a painter would.
class SnoopingRenderer : public TFormRenderer {
 public:
  explicit SnoopingRenderer(std::vector<std::string>* seen) : FSeen(seen) {}
  void VisibleChanged(TForm& form) override {
    FSeen->push_back("visible with " + IntToStr(form.ControlCount()) + " controls");
  }
  void Update(TForm& form) override {
    auto& w = dynamic_cast<TProgressWindow&>(form);
    FSeen->push_back(w.lbRecords->Caption() + " | " + w.lbPercentage->Caption());
  }

 private:
  std::vector<std::string>* FSeen;
};

// Runs every test on a clock that moves only when told to.
class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFormatSettings();
    SetClock([this] { return FNow; });
  }
  void TearDown() override {
    SetClock(nullptr);
    ResetFormatSettings();
  }
  // Moves the clock to the start time plus the given span.
  void At(int hours, int minutes, int seconds, int msec = 0) {
    FNow = kStart + EncodeTime(hours, minutes, seconds, msec);
  }

  static constexpr TDateTime kStart = 45352.5;  // a day at noon
  TDateTime FNow = kStart;
  TComponent FOwner{nullptr};
};

TEST_F(ProgressWindowTest, ConstructionBuildsTheDialogVisibleBeforeItsControls) {
  std::vector<std::string> seen;
  TScopedRendererFactory scope(
      [&seen](TForm&) { return std::make_unique<SnoopingRenderer>(&seen); });
  auto* w = new TProgressWindow(&FOwner);
  EXPECT_EQ(seen, std::vector<std::string>{"visible with 0 controls"});
  EXPECT_EQ(w->BorderStyle(), bsDialog);
  EXPECT_EQ(w->Caption(), "Progress");
  EXPECT_EQ(w->FormStyle(), fsStayOnTop);
  EXPECT_EQ(w->Height(), 151);
  EXPECT_EQ(w->Position(), poScreenCenter);
  EXPECT_EQ(w->Width(), 330);
  EXPECT_TRUE(w->Visible());
  EXPECT_EQ(w->Owner(), &FOwner);
  delete w;
  EXPECT_EQ(FOwner.ComponentCount(), 0);
}

TEST_F(ProgressWindowTest, ControlsAreCreatedInOrderAndPlacedByTheTable) {
  TProgressWindow w(nullptr);
  struct Row {
    TControl* control;
    const char* caption;
    int left, top, width;
  };
  const Row table[] = {
      {w.Label1, "File:", 12, 12, 45},       {w.Label2, "Records:", 12, 32, 45},
      {w.Label3, "Bytes:", 12, 52, 45},      {w.Label4, "Time:", 12, 72, 45},
      {w.Label5, "Progress:", 12, 92, 45},   {w.lbFile, "?", 72, 12, 65},
      {w.lbRecords, "?", 72, 32, 65},        {w.lbBytes, "?", 72, 52, 65},
      {w.lbTime, "?", 72, 72, 65},           {w.lbPercentage, "0%", 292, 92, 65},
      {w.ProgressBar, nullptr, 72, 92, 213},
  };
  ASSERT_EQ(w.ComponentCount(), 11);
  ASSERT_EQ(w.ControlCount(), 11);
  for (int i = 0; i < 11; ++i) {
    const Row& r = table[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(w.Components(i), r.control);  // creation order
    EXPECT_EQ(w.Controls(i), r.control);
    EXPECT_EQ(r.control->Parent(), &w);
    EXPECT_EQ(r.control->Left(), r.left);
    EXPECT_EQ(r.control->Top(), r.top);
    EXPECT_EQ(r.control->Width(), r.width);
    if (auto* label = dynamic_cast<TLabel*>(r.control)) {
      EXPECT_EQ(label->Caption(), r.caption);
      const bool rowCaption = i < 5;
      EXPECT_EQ(label->Alignment(), rowCaption ? taRightJustify : taLeftJustify);
      EXPECT_EQ(label->AutoSize(), !rowCaption);
      EXPECT_EQ(label->Height(), 17);  // heights keep their defaults
    }
  }
  EXPECT_EQ(w.ProgressBar->Min(), 0);
  EXPECT_EQ(w.ProgressBar->Position(), 0);
}

TEST_F(ProgressWindowTest, InitImportAndExport) {
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 1048576);
  EXPECT_EQ(w.Caption(), "Import Progress");
  EXPECT_EQ(w.lbFile->Caption(), "in.txt");
  EXPECT_EQ(w.lbRecords->Caption(), "0 of 0");
  EXPECT_EQ(w.lbBytes->Caption(), "0K of 1,024.0K read");
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
  EXPECT_EQ(w.lbPercentage->Caption(), "0%");
  EXPECT_EQ(w.ProgressBar->Max(), 1048576);

  w.Init(ptExport, pcRecord, "out.txt", 200, 0);
  EXPECT_EQ(w.Caption(), "Export Progress");
  EXPECT_EQ(w.lbFile->Caption(), "out.txt");
  EXPECT_EQ(w.lbRecords->Caption(), "0 of 200");
  EXPECT_EQ(w.lbBytes->Caption(), "0K written");
  EXPECT_EQ(w.ProgressBar->Max(), 200);
}

TEST_F(ProgressWindowTest, ImportFourSecondsIn) {
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 2097152);
  At(0, 0, 4);
  w.Increment(10, 524288);
  EXPECT_EQ(w.lbRecords->Caption(), "10 records");
  EXPECT_EQ(w.lbBytes->Caption(), "512.0K of 2,048.0K read (128.0K/s)");
  EXPECT_EQ(w.lbPercentage->Caption(), "25%");
  EXPECT_EQ(w.ProgressBar->Position(), 524288);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:12 remaining");
  EXPECT_EQ(w.GetTimeRemaining(), "00:00:12 remaining");
}

TEST_F(ProgressWindowTest, ExportTwoSecondsIn) {
  TProgressWindow w(&FOwner);
  w.Init(ptExport, pcRecord, "out.txt", 200, 0);
  At(0, 0, 2);
  w.Increment(50, 10240);
  EXPECT_EQ(w.lbRecords->Caption(), "50 of 200 records");
  EXPECT_EQ(w.lbBytes->Caption(), "10.0K written (5.0K/s)");
  EXPECT_EQ(w.lbPercentage->Caption(), "25%");
  EXPECT_EQ(w.ProgressBar->Position(), 50);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:06 remaining");
}

TEST_F(ProgressWindowTest, ElapsedTimeIsAtLeastOneSecond) {
  TProgressWindow w(&FOwner);
  w.Init(ptExport, pcRecord, "out.txt", 200, 0);
  At(0, 0, 0, 900);
  w.Increment(1, 1536);
  EXPECT_EQ(w.lbBytes->Caption(), "1.5K written (1.5K/s)");
  FNow = kStart - EncodeTime(0, 0, 30, 0);  // the clock went back
  w.Increment(2, 3072);
  EXPECT_EQ(w.lbBytes->Caption(), "3.0K written (3.0K/s)");
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
}

TEST_F(ProgressWindowTest, EstimateNeedsSomethingDoneAndShowsOnlyTheTimeOfDay) {
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 100);
  At(0, 0, 5);
  w.Increment(3, 0);  // records count, but bytes are measured
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
  EXPECT_EQ(w.lbPercentage->Caption(), "0%");

  At(6, 15, 0);
  w.Increment(3, 20);  // 20% in 6h15m: 25 hours to go
  EXPECT_EQ(w.lbTime->Caption(), "01:00:00 remaining");
}

TEST_F(ProgressWindowTest, CaptionsKeepTheValuesOfTheirIncrement) {
  std::vector<std::string> seen;
  TScopedRendererFactory scope(
      [&seen](TForm&) { return std::make_unique<SnoopingRenderer>(&seen); });
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 2097152);
  At(0, 0, 4);
  w.Increment(10, 524288);
  EXPECT_EQ(seen.back(), "10 records | 25%");  // a painter sees the new values
  At(0, 0, 8);
  // Read later, the captions still describe the moment they were painted; a
  // fresh estimate uses the clock now.
  EXPECT_EQ(w.lbBytes->Caption(), "512.0K of 2,048.0K read (128.0K/s)");
  EXPECT_EQ(w.lbTime->Caption(), "00:00:12 remaining");
  EXPECT_EQ(w.GetTimeRemaining(), "00:00:24 remaining");
}

TEST_F(ProgressWindowTest, CaptionsFirstObservedTogetherStayConsistent) {
  TProgressWindow w(&FOwner);  // no renderer: only reads observe
  w.Init(ptImport, pcByte, "in.txt", 0, 2097152);
  w.Increment(10, 524288);
  At(0, 0, 4);
  EXPECT_EQ(w.lbBytes->Caption(), "512.0K of 2,048.0K read (128.0K/s)");
  At(0, 0, 9);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:12 remaining");  // same moment as lbBytes
  w.Increment(10, 524288);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:27 remaining");
}

TEST_F(ProgressWindowTest, InitAfterARunStartsAfreshButLeavesTheBarPosition) {
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "a.txt", 0, 2097152);
  At(0, 0, 4);
  w.Increment(10, 524288);  // not read before the next Init
  w.Init(ptImport, pcByte, "b.txt", 0, 4194304);
  EXPECT_EQ(w.lbRecords->Caption(), "0 of 0");
  EXPECT_EQ(w.lbBytes->Caption(), "0K of 4,096.0K read");
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
  EXPECT_EQ(w.lbPercentage->Caption(), "0%");
  EXPECT_EQ(w.ProgressBar->Max(), 4194304);
  EXPECT_EQ(w.ProgressBar->Position(), 524288);
  // The new run is timed from the second Init.
  At(0, 0, 6);
  w.Increment(1, 2048);
  EXPECT_EQ(w.lbBytes->Caption(), "2.0K of 4,096.0K read (1.0K/s)");
}

TEST_F(ProgressWindowTest, CaptionSetByHandAfterIncrementStays) {
  TProgressWindow w(&FOwner);
  w.Init(ptExport, pcRecord, "out.txt", 200, 0);
  w.Increment(50, 10240);
  w.lbRecords->SetCaption("paused");
  EXPECT_EQ(w.lbRecords->Caption(), "paused");
  EXPECT_EQ(w.lbPercentage->Caption(), "25%");
}

TEST_F(ProgressWindowTest, TotalOfZeroOrLessShowsNoProgress) {
  for (std::int64_t total : {std::int64_t{0}, std::int64_t{-1}}) {
    SCOPED_TRACE(total);
    TProgressWindow w(&FOwner);
    w.Init(ptImport, pcByte, "pipe", 0, total);
    At(0, 0, 3);
    w.Increment(7, 5000);
    EXPECT_EQ(w.lbPercentage->Caption(), "0%");
    EXPECT_EQ(w.ProgressBar->Position(), 0);
    EXPECT_EQ(w.ProgressBar->Fraction(), 0.0);
    EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
    EXPECT_EQ(w.GetTimeRemaining(), "00:00:00 remaining");
    EXPECT_EQ(w.lbRecords->Caption(), "7 records");
  }
  TProgressWindow e(&FOwner);
  e.Init(ptExport, pcRecord, "out.txt", 0, 0);
  e.Increment(5, 100);
  EXPECT_EQ(e.lbRecords->Caption(), "5 of 0 records");
  EXPECT_EQ(e.lbPercentage->Caption(), "0%");
}

TEST_F(ProgressWindowTest, CountPastTheTotal) {
  TProgressWindow w(&FOwner);
  w.Init(ptExport, pcRecord, "out.txt", 200, 0);
  At(0, 0, 10);
  w.Increment(250, 0);
  EXPECT_EQ(w.lbPercentage->Caption(), "125%");
  EXPECT_EQ(w.ProgressBar->Position(), 200);  // a full bar
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
  w.Increment(200, 0);  // exactly done
  EXPECT_EQ(w.lbPercentage->Caption(), "100%");
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");
}

TEST_F(ProgressWindowTest, ByteCountsBeyondTwoGigabytes) {
  TProgressWindow w(&FOwner);
  const std::int64_t total = std::int64_t{3} << 30;
  w.Init(ptImport, pcByte, "big.txt", 0, total);
  EXPECT_EQ(w.lbBytes->Caption(), "0K of 3,145,728.0K read");
  EXPECT_EQ(w.ProgressBar->Max(), total);
  At(0, 0, 10);
  w.Increment(40000000, std::int64_t{5} << 29);  // 2.5 GiB
  EXPECT_EQ(w.lbBytes->Caption(), "2,621,440.0K of 3,145,728.0K read (262,144.0K/s)");
  EXPECT_EQ(w.lbPercentage->Caption(), "83%");
  EXPECT_EQ(w.ProgressBar->Position(), std::int64_t{5} << 29);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:02 remaining");
}

TEST_F(ProgressWindowTest, NumbersAndTimesFollowTheFormatSettings) {
  FormatSettings().DecimalSeparator = ',';
  FormatSettings().ThousandSeparator = '.';
  FormatSettings().TimeSeparator = '.';
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 2097152);
  EXPECT_EQ(w.lbTime->Caption(), "00:00:00 remaining");  // the fixed text keeps colons
  At(0, 0, 4);
  w.Increment(10, 524288);
  EXPECT_EQ(w.lbBytes->Caption(), "512,0K of 2.048,0K read (128,0K/s)");
  EXPECT_EQ(w.lbTime->Caption(), "00.00.12 remaining");
}

TEST_F(ProgressWindowTest, DrawnOnATerminal) {
  TProgressWindow w(&FOwner);
  w.Init(ptImport, pcByte, "in.txt", 0, 2097152);
  At(0, 0, 4);
  w.Increment(10, 524288);
  const std::vector<std::string> expected = {
      "Import Progress",
      "      File:   in.txt",
      "   Records:   10 records",
      "     Bytes:   512.0K of 2,048.0K read (128.0K/s)",
      "      Time:   00:00:12 remaining",
      "  Progress:   [##########..............................]  25%",
  };
  EXPECT_EQ(FormTextLines(w, 5), expected);
  EXPECT_EQ(FormStatusLine(w),
            "Import Progress: File: in.txt; Records: 10 records; Bytes: 512.0K of 2,048.0K read "
            "(128.0K/s); Time: 00:00:12 remaining; Progress: 25%");
}

}  // namespace
}  // namespace korvane
