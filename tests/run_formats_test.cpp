// A component's own format settings (ShortDateFormat, DecimalSeparator, ...,
// ColumnFormats): runs on several threads at once each read and write with
// their own, and the process-wide settings are neither used nor changed.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "datasets/memory/memory_dataset.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "support/temp_dir.h"
#include "text/formats.h"

namespace korvane {
namespace {

struct TLayout {
  const char* name;
  // The component's own settings; empty leaves the process's.
  const char* date;
  const char* time;
  const char* decimal;
  const char* thousands;
  const char* columnFormat;  // the import's ColumnFormats entry, or empty
  // 2024-02-29, 13:45:10 and 1234.5 in the layout.
  const char* dateText;
  const char* timeText;
  const char* amountText;
};

// The first layout is all the components' own; the second keeps the
// process's time and numbers and gives the import's dates a field's own
// layout, which the run puts in force while it reads that field.
constexpr TLayout kLayouts[] = {
    {"own", "dd.mm.yyyy", "hh.nn.ss", ",", ".", "", "29.02.2024", "13.45.10", "1234,5"},
    {"column", "yyyy-mm-dd", "", "", "", "Born=yyyy-mm-dd", "2024-02-29", "13:45:10", "1234.5"},
};

// Imports the layout's file and exports its dates and amounts again and
// again; each round must read every value and write the expected bytes.
// The export leaves the times out so that its lines are formatted on a
// thread of the run's (FormatAhead; a time under the format settings is
// formatted on the caller's thread).
void RoundTrips(const test::TTempDir& dir, const TLayout& layout) {
  std::string text;
  std::string expected;
  for (int i = 1; i <= 30; ++i) {
    const std::string id = std::to_string(i);
    text += id + "|" + layout.dateText + "|" + layout.timeText + "|" + layout.amountText + "\r\n";
    expected += id + "|" + layout.dateText + "|" + layout.amountText + "\r\n";
  }
  TMemoryDataSet data;
  data.SetFieldDefs({{"ID", ftInteger}, {"Born", ftDate}, {"At", ftTime}, {"Amount", ftFloat}});
  TCSVImport imp(nullptr);
  imp.SetDataSet(&data);
  imp.SetInputFile(dir.Put(std::string(layout.name) + ".in", text));
  imp.SetLongTimeFormat(layout.time);
  imp.SetDecimalSeparator(layout.decimal);
  imp.SetThousandSeparator(layout.thousands);
  if (*layout.columnFormat != '\0') {
    imp.ColumnFormats()->Add(layout.columnFormat);
  } else {
    imp.SetShortDateFormat(layout.date);
  }
  TCSVExport exp(nullptr);
  exp.SetDataSet(&data);
  exp.SetOutputFile(dir.Path(std::string(layout.name) + ".out"));
  exp.SetFieldSeparator(fspPipe);
  TStringList fields{"ID", "Born", "Amount"};
  exp.SetFieldList(&fields);
  exp.SetFieldListAction(flaInclude);
  exp.SetFormatAhead(true);
  exp.SetShortDateFormat(layout.date);
  exp.SetDecimalSeparator(layout.decimal);
  exp.SetThousandSeparator(layout.thousands);
  for (int round = 0; round < 20; ++round) {
    data.EmptyDataSet();
    ASSERT_EQ(imp.Execute(), 30) << layout.name << ": " << imp.LastError();
    ASSERT_EQ(data.RecordCount(), 30) << layout.name;
    EXPECT_EQ(data.FieldValue(29, 1), TFieldData(EncodeDate(2024, 2, 29))) << layout.name;
    EXPECT_EQ(data.FieldValue(29, 2), TFieldData(EncodeTime(13, 45, 10, 0))) << layout.name;
    EXPECT_EQ(data.FieldValue(29, 3), TFieldData(1234.5)) << layout.name;
    ASSERT_EQ(exp.Execute(), 30) << layout.name << ": " << exp.LastError();
    ASSERT_EQ(dir.Get(std::string(layout.name) + ".out"), expected) << layout.name;
  }
}

TEST(RunFormats, RunsOnTwoThreadsAtOnceKeepTheirOwnLayouts) {
  ResetFormatSettings();
  const TFormatSettings processWide = FormatSettings();
  test::TTempDir dir;
  std::thread other([&] { RoundTrips(dir, kLayouts[1]); });
  RoundTrips(dir, kLayouts[0]);
  other.join();
  EXPECT_EQ(FormatSettings().ShortDateFormat, processWide.ShortDateFormat);
  EXPECT_EQ(FormatSettings().LongTimeFormat, processWide.LongTimeFormat);
  EXPECT_EQ(FormatSettings().DecimalSeparator, processWide.DecimalSeparator);
  EXPECT_EQ(FormatSettings().ThousandSeparator, processWide.ThousandSeparator);
}

}  // namespace
}  // namespace korvane
