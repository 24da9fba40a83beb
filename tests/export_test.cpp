// TCSVExport end to end: the bytes of the output file, the events and their
// arguments, progress, and every way a run can fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "ui/dialogs.h"
#include "io/batch_pipe.h"
#include "io/fileio.h"
#include "text/formats.h"
#include "export/kvcsvexp.h"
#include "components/kvprogress.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

struct Shown {
  std::string text;
  TMsgDlgType type;
  TMsgDlgButtons buttons;
  int helpContext;
};

// A temporary folder, a people dataset (ID, Name, City) and an export
// component writing to out.txt in the folder, with messages captured.
class ExportRun : public ::testing::Test {
 protected:
  ExportRun() {
    std::string pattern = (fs::temp_directory_path() / "kvexport_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    ds.SetFieldDefs({{"ID", ftInteger}, {"Name", ftString, 10}, {"City", ftString, 10}});
    exp.SetDataSet(&ds);
    exp.SetOutputFile(Path("out.txt"));
  }
  ~ExportRun() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static std::string Contents(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    return text;
  }
  std::string Output() const { return Contents(exp.OutputFile()); }
  // True when no open through the file API holds the file any more.
  static bool Released(const std::string& path) { return OpenFileForRead(path).Valid(); }
  static void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  // Records "i|Name i|City i" for i = 1..n.
  void People(int n) {
    for (int i = 1; i <= n; ++i) {
      const std::string s = std::to_string(i);
      ds.AppendRecord({s, "Name" + s, "City" + s});
    }
    ds.Close();
  }
  static std::string PersonLine(int i) {
    const std::string s = std::to_string(i);
    return s + "|Name" + s + "|City" + s;
  }

  fs::path dir;
  TMemoryDataSet ds;
  TCSVExport exp{nullptr};
  std::vector<Shown> shown;
  TScopedMessageHandler capture{
      [this](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int help) {
        shown.push_back({text, type, buttons, help});
        return static_cast<int>(mrOk);
      }};
};

TEST(ExportComponent, StartsWithZeroValuesAndCopiesAssignedLists) {
  TComponent owner(nullptr);
  auto* exp = new TCSVExport(&owner);
  EXPECT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(exp->CustomSeparator(), "");
  EXPECT_EQ(exp->DataSet(), nullptr);
  EXPECT_EQ(exp->DelimitedFields(), dfAll);
  EXPECT_EQ(exp->ExportType(), expDelimited);
  EXPECT_EQ(exp->FieldDelimiter(), fdlNone);
  EXPECT_EQ(exp->FieldListAction(), flaNone);
  EXPECT_EQ(exp->FieldSeparator(), fspPipe);
  EXPECT_EQ(exp->NumericAlign(), naLeft);
  EXPECT_EQ(exp->RecordSeparator(), rsCRLF);
  EXPECT_FALSE(exp->HeaderOutput() || exp->TrailerOutput() || exp->ShowProgress());
  EXPECT_EQ(exp->FieldList()->Count() + exp->HeaderData()->Count() + exp->TrailerData()->Count(),
            0);
  EXPECT_FALSE(exp->OnBeginExport() || exp->OnExportRecord() || exp->OnFinishExport());
  EXPECT_EQ(exp->OutputFile(), "");

  exp->SetVersion("2.0");
  EXPECT_EQ(exp->Version(), "1.32");

  auto names = std::make_unique<TStringList>(std::initializer_list<std::string>{"A", "B"});
  exp->SetFieldList(names.get());
  exp->SetHeaderData(names.get());
  exp->SetTrailerData(names.get());
  names->Add("C");
  names.reset();
  for (TStrings* list : {exp->FieldList(), exp->HeaderData(), exp->TrailerData()}) {
    ASSERT_EQ(list->Count(), 2);
    EXPECT_EQ(list->Strings(1), "B");
  }
}

TEST_F(ExportRun, WritesHeaderRecordsAndTrailerLines) {
  People(3);
  TStringList header{"A", "B"};
  TStringList trailer{"", "end"};
  exp.SetHeaderData(&header);
  exp.SetTrailerData(&trailer);
  exp.SetHeaderOutput(true);
  exp.SetTrailerOutput(true);
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(Output(), "A\r\nB\r\n1|Name1|City1\r\n2|Name2|City2\r\n3|Name3|City3\r\n\r\nend\r\n");
  // The dataset was opened for the run and stays open, at its end.
  EXPECT_TRUE(ds.Active());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(Released(exp.OutputFile()));

  // Without the switches the lists are not written.
  exp.SetHeaderOutput(false);
  exp.SetTrailerOutput(false);
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(Output(), "1|Name1|City1\r\n2|Name2|City2\r\n3|Name3|City3\r\n");
}

TEST_F(ExportRun, SingleByteSeparatorsStillCountTwoBytesPerLine) {
  People(2);
  TStringList header{"H"};
  exp.SetHeaderData(&header);
  exp.SetHeaderOutput(true);
  exp.SetTrailerData(&header);
  exp.SetTrailerOutput(true);
  for (auto [sep, end] : {std::pair{rsLF, "\n"}, std::pair{rsCR, "\r"}}) {
    std::vector<std::int64_t> bytes;
    exp.SetRecordSeparator(sep);
    exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t b) { bytes.push_back(b); });
    EXPECT_EQ(exp.Execute(), 2);
    const std::string e = end;
    EXPECT_EQ(Output(), "H" + e + "1|Name1|City1" + e + "2|Name2|City2" + e + "H" + e);
    EXPECT_EQ(bytes, (std::vector<std::int64_t>{15, 30}));
  }
}

TEST_F(ExportRun, EmptyDatasetWritesOnlyHeaderAndTrailer) {
  People(0);
  TStringList header{"only"};
  exp.SetHeaderData(&header);
  exp.SetHeaderOutput(true);
  exp.SetTrailerData(&header);
  exp.SetTrailerOutput(true);
  int records = 0;
  int finished = 0;
  exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t) { ++records; });
  exp.SetOnFinishExport([&](TObject*) { ++finished; });
  EXPECT_EQ(exp.Execute(), 0);
  EXPECT_EQ(Output(), "only\r\nonly\r\n");
  EXPECT_EQ(records, 0);
  EXPECT_EQ(finished, 1);
}

TEST_F(ExportRun, AnEmptyLineIsCountedButNotWritten) {
  ds.AppendRecord({"1", "Ann", "Oslo"});
  ds.AppendRecord({"2", "Bob", ""});
  ds.AppendRecord({"3", "Cy", "Rome"});
  TStringList city{"city"};
  exp.SetFieldList(&city);
  exp.SetFieldListAction(flaInclude);
  std::vector<std::pair<std::int32_t, std::int64_t>> events;
  exp.SetOnExportRecord(
      [&](TObject*, std::int32_t r, std::int64_t b) { events.emplace_back(r, b); });
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(Output(), "Oslo\r\nRome\r\n");
  EXPECT_EQ(events, (std::vector<std::pair<std::int32_t, std::int64_t>>{{1, 6}, {2, 6}, {3, 12}}));
}

TEST_F(ExportRun, ExportRecordIntervalThinsTheEventsAndKeepsTheLast) {
  People(5);
  struct Case {
    std::int32_t interval;
    std::vector<std::int32_t> calls;
  };
  for (const Case& c :
       {Case{1, {1, 2, 3, 4, 5}}, Case{0, {1, 2, 3, 4, 5}}, Case{2, {2, 4, 5}}, Case{10, {5}}}) {
    SCOPED_TRACE(c.interval);
    exp.SetExportRecordInterval(c.interval);
    std::vector<std::int32_t> calls;
    exp.SetOnExportRecord([&](TObject*, std::int32_t records, std::int64_t) {
      calls.push_back(records);
      const std::string written = Output();  // every line so far, at each call
      EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), records);
    });
    EXPECT_EQ(exp.Execute(), 5);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(ExportRun, NoFieldTakingPartWritesNoRecordLines) {
  People(4);
  TStringList trailer{"t"};
  exp.SetTrailerData(&trailer);
  exp.SetTrailerOutput(true);
  exp.SetFieldListAction(flaInclude);  // with an empty FieldList
  std::int64_t lastBytes = -1;
  exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t b) { lastBytes = b; });
  EXPECT_EQ(exp.Execute(), 4);
  EXPECT_EQ(Output(), "t\r\n");
  EXPECT_EQ(lastBytes, 0);
}

TEST_F(ExportRun, EventsComeInOrderAndSeeTheFileAsWritten) {
  People(300);
  WriteText(exp.OutputFile(), "earlier contents");
  TStringList header{"head"};
  exp.SetHeaderData(&header);
  exp.SetHeaderOutput(true);
  std::vector<std::string> log;
  std::string expected = "head\r\n";
  std::int64_t expectedBytes = 0;
  exp.SetOnBeginExport([&](TObject* sender) {
    EXPECT_EQ(sender, &exp);
    EXPECT_EQ(Output(), "earlier contents");  // nothing touched yet
    log.push_back("begin");
  });
  exp.SetOnExportRecord([&](TObject* sender, std::int32_t records, std::int64_t bytes) {
    EXPECT_EQ(sender, &exp);
    const std::string line = PersonLine(records);
    expected += line + "\r\n";
    expectedBytes += static_cast<std::int64_t>(line.size()) + 2;
    EXPECT_EQ(bytes, expectedBytes);
    EXPECT_EQ(exp.RecordCounter(), records);
    // Every line so far is in the file, the header included.
    if (Output() != expected) {
      ADD_FAILURE() << "file behind at record " << records;
    }
    log.push_back("record");
  });
  exp.SetOnFinishExport([&](TObject* sender) {
    EXPECT_EQ(sender, &exp);
    EXPECT_TRUE(Released(exp.OutputFile()));  // complete and closed
    EXPECT_EQ(Output(), expected);
    log.push_back("finish");
  });
  EXPECT_EQ(exp.Execute(), 300);
  ASSERT_EQ(log.size(), 302u);
  EXPECT_EQ(log.front(), "begin");
  EXPECT_EQ(log[1], "record");
  EXPECT_EQ(log.back(), "finish");
  EXPECT_EQ(Output(), expected);
}

TEST_F(ExportRun, SettingsChangedBeforeTheRunApplyToIt) {
  People(3);
  exp.SetOnBeginExport([&](TObject*) {
    exp.SetOutputFile(Path("other.txt"));
    exp.SetFieldSeparator(fspComma);
  });
  // Changed during the run: the characters were resolved at its start.
  exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t) {
    exp.SetFieldSeparator(fspTab);
    exp.SetFieldDelimiter(fdlDouble);
  });
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_FALSE(fs::exists(Path("out.txt")));
  EXPECT_EQ(Contents(Path("other.txt")), "1,Name1,City1\r\n2,Name2,City2\r\n3,Name3,City3\r\n");
}

TEST_F(ExportRun, ARunReplacesTheWholeFile) {
  People(2);
  WriteText(exp.OutputFile(), std::string(1000, 'x'));
  EXPECT_EQ(exp.Execute(), 2);
  EXPECT_EQ(Output(), "1|Name1|City1\r\n2|Name2|City2\r\n");
  exp.SetExportType(expFixed);
  exp.SetFieldSeparator(fspNone);
  ds.Fields(0)->SetDisplayWidth(3);
  ds.Fields(1)->SetDisplayWidth(6);
  ds.Fields(2)->SetDisplayWidth(6);
  exp.SetNumericAlign(naRight);
  EXPECT_EQ(exp.Execute(), 2);
  EXPECT_EQ(Output(), "  1Name1 City1 \r\n  2Name2 City2 \r\n");
}

TEST_F(ExportRun, LinesOfAnyLengthReachTheFileWhole) {
  ds.SetFieldDefs({{"S", ftString, 40000}});
  std::string expected;
  const std::size_t buffer = TCSVExport::kWriteBufferSize;
  // Around the buffer's size, in several orders, with short lines between,
  // and a line holding byte 0 and line-end bytes.
  for (std::size_t n : {std::size_t{3}, buffer - 3, buffer - 2, std::size_t{5}, buffer - 1, buffer,
                        buffer + 1, std::size_t{1}, 4 * buffer + 7, buffer - 2, std::size_t{2}}) {
    std::string value(n, 'a');
    for (std::size_t i = 0; i < n; i += 97) value[i] = static_cast<char>('b' + i % 20);
    ds.AppendRecord({value});
    expected += value + "\r\n";
  }
  const std::string odd = std::string("x\0y\r\nz", 6);
  ds.AppendRecord({odd});
  expected += odd + "\r\n";
  EXPECT_EQ(exp.Execute(), 12);
  EXPECT_EQ(Output(), expected);
}

TEST_F(ExportRun, ManyRecordsWithoutHandlersKeepEveryByte) {
  People(5000);
  exp.SetFieldDelimiter(fdlDouble);
  exp.SetDelimitedFields(dfTextOnly);
  std::string expected;
  for (int i = 1; i <= 5000; ++i) {
    const std::string s = std::to_string(i);
    expected += s + "|\"Name" + s + "\"|\"City" + s + "\"\r\n";
  }
  EXPECT_EQ(exp.Execute(), 5000);
  EXPECT_EQ(Output(), expected);
}

// A run writes each record as GetDelimitedRecord / GetFixedRecord give it,
// whatever the types, values, layout and quoting.
TEST_F(ExportRun, RunLinesAreTheRecordsAsFormattedOneByOne) {
  ds.SetFieldDefs(
      {{"S", ftString, 6},    {"SI", ftSmallint},     {"I", ftInteger},     {"W", ftWord},
       {"B", ftBoolean},      {"F", ftFloat},         {"C", ftCurrency},    {"BCD", ftBCD},
       {"D", ftDate},         {"T", ftTime},          {"DT", ftDateTime},   {"BY", ftBytes, 4},
       {"VB", ftVarBytes, 4}, {"AI", ftAutoInc},      {"BL", ftBlob},       {"M", ftMemo},
       {"G", ftGraphic},      {"FM", ftFmtMemo},      {"PO", ftParadoxOle}, {"DO", ftDBaseOle},
       {"TB", ftTypedBinary}, {"FC", ftFixedChar, 3}, {"WS", ftWideString}, {"L", ftLargeint}});
  const TDateTime day = EncodeDate(2024, 2, 29);
  const TDateTime time = EncodeTime(23, 59, 59, 999);
  const std::string bytes("b\0y", 3);
  ds.AppendData({std::string("ab,c\"d"),
                 std::int64_t{-32768},
                 std::int64_t{2147483647},
                 std::int64_t{65535},
                 true,
                 -1.5e-7,
                 std::int64_t{-12345678},
                 0.1,
                 day,
                 time,
                 day + time,
                 bytes,
                 bytes,
                 std::int64_t{7},
                 bytes,
                 std::string("memo"),
                 bytes,
                 std::string("fmt"),
                 bytes,
                 bytes,
                 bytes,
                 std::string("x"),
                 std::string(40, 'w'),
                 std::numeric_limits<std::int64_t>::min()});
  ds.AppendData({});  // every value null (the auto-increment field numbers itself)
  ds.AppendData({std::string(),
                 std::int64_t{0},
                 std::int64_t{-1},
                 std::int64_t{0},
                 false,
                 std::numeric_limits<double>::infinity(),
                 std::int64_t{5},
                 1e300,
                 -1.0,
                 0.0,
                 -1.75,
                 std::monostate{},
                 std::monostate{},
                 std::int64_t{4294967296},
                 std::monostate{},
                 std::monostate{},
                 std::monostate{},
                 std::string(),
                 std::monostate{},
                 std::monostate{},
                 std::monostate{},
                 std::string("abcdef"),
                 std::string(20000, 'z'),
                 std::numeric_limits<std::int64_t>::max()});
  // A date outside the calendar: the record cannot be written.
  ds.AppendData({std::string("bad"), std::monostate{}, std::monostate{}, std::monostate{},
                 std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, 1e300});
  ds.AppendData({std::string("last"), std::int64_t{1}});
  ds.Fields(0)->SetDisplayWidth(3);
  ds.Fields(2)->SetDisplayWidth(14);

  auto expected = [&] {
    ds.First();
    exp.ResolveCharacters();
    std::string text;
    for (; !ds.Eof(); ds.Next()) {
      const std::string line =
          exp.ExportType() == expFixed ? exp.GetFixedRecord() : exp.GetDelimitedRecord();
      if (!line.empty()) text += line + "\r\n";
    }
    return text;
  };
  // Formatted memos take another way through a run than the other types:
  // runs with and without them.
  TStringList memo{"fm"};
  TStringList more{"i", "dt", "fm"};
  exp.SetFieldListAction(flaExclude);
  for (TExportType type : {expDelimited, expFixed}) {
    for (TDelimitedFields quoted : {dfAll, dfTextOnly}) {
      for (TNumericAlignment align : {naLeft, naRight}) {
        for (TStrings* excluded : std::initializer_list<TStrings*>{&memo, &more, nullptr}) {
          SCOPED_TRACE(testing::Message() << type << quoted << align << (excluded == &more));
          exp.SetExportType(type);
          exp.SetFieldDelimiter(quoted == dfAll ? fdlSingle : fdlDouble);
          exp.SetDelimitedFields(quoted);
          exp.SetFieldSeparator(type == expFixed && align == naLeft ? fspNone : fspTab);
          exp.SetNumericAlign(align);
          exp.SetFieldList(excluded);
          EXPECT_EQ(exp.Execute(), 5);
          const std::string want = expected();
          EXPECT_EQ(std::count(want.begin(), want.end(), '\n'), 4);
          EXPECT_EQ(Output(), want);
        }
      }
    }
  }
  // Dates under a format that writes names, and another decimal separator.
  TFormatSettings& settings = FormatSettings();
  settings.ShortDateFormat = "dddd d mmmm yyyy";
  settings.DecimalSeparator = ',';
  exp.SetExportType(expDelimited);
  exp.SetFieldList(&memo);
  EXPECT_EQ(exp.Execute(), 5);
  const std::string want = expected();
  ResetFormatSettings();
  EXPECT_NE(want.find("Thursday 29 February 2024"), std::string::npos);
  EXPECT_EQ(Output(), want);
}

// What a record handler changes is in force from the next record on, as if
// each record were formatted on its own.
TEST_F(ExportRun, ChangesMadeByARecordHandlerApplyFromTheNextRecord) {
  ds.SetFieldDefs({{"ID", ftInteger},
                   {"Name", ftString, 8},
                   {"Amount", ftCurrency},
                   {"Born", ftDate},
                   {"Active", ftBoolean}});
  for (std::int64_t i = 1; i <= 12; ++i) {
    ds.AppendData({i, "N" + std::to_string(i), i * 12345, EncodeDate(2000, 1, 1) + i, i % 2 == 0});
  }
  exp.SetExportType(expFixed);
  exp.SetFieldSeparator(fspComma);
  exp.SetFieldDelimiter(fdlDouble);
  TStringList names{"Name", "Amount"};
  int texts = 0;
  const std::vector<std::function<void()>> changes = {
      [&] { ds.Fields(1)->SetDisplayWidth(12); },
      [&] { exp.SetNumericAlign(naRight); },
      [&] { exp.SetDelimitedFields(dfTextOnly); },
      [&] {
        exp.SetFieldList(&names);
        exp.SetFieldListAction(flaExclude);
      },
      [&] { exp.SetFieldListAction(flaNone); },
      [&] {
        ds.Fields(0)->SetOnGetText([&](TField*, std::string& text) {
          ++texts;
          text = "#" + text;
        });
      },
      [&] { ds.Fields(0)->SetOnGetText(nullptr); },
      [&] {
        FormatSettings().DecimalSeparator = ',';
        FormatSettings().ShortDateFormat = "yyyy-mm-dd";
      },
      [&] { ds.Fields(2)->SetCurrency(false); },
  };
  std::string want;
  exp.SetOnExportRecord([&](TObject*, std::int32_t records, std::int64_t) {
    if (records == 12) return;
    if (records <= static_cast<std::int32_t>(changes.size())) {
      changes[static_cast<std::size_t>(records - 1)]();
    }
    const int before = texts;
    const std::string line = exp.GetFixedRecord();
    texts = before;
    if (!line.empty()) want += line + "\r\n";
  });
  ds.First();
  exp.ResolveCharacters();
  want = exp.GetFixedRecord() + "\r\n";
  EXPECT_EQ(exp.Execute(), 12);
  ResetFormatSettings();
  EXPECT_EQ(Output(), want);
  EXPECT_EQ(texts, 1);  // called by the run for the one record formatted with it
  EXPECT_NE(want.find("\r\n         #7,"), std::string::npos);
  EXPECT_NE(want.find(" 12,345,2000-01-11,True \r\n"), std::string::npos);
  EXPECT_EQ(std::count(want.begin(), want.end(), '\n'), 12);
}

TEST_F(ExportRun, AHandlerChangingLayoutLineEndOrDataSetIsFollowedFromTheNextRecord) {
  TMemoryDataSet other;
  for (TMemoryDataSet* data : {&ds, &other}) {
    data->SetFieldDefs({{"Name", ftString, 3}, {"N", ftSmallint}});
    for (int i = 0; i < (data == &ds ? 4 : 3); ++i) {
      const std::string n = std::to_string(i);
      data->AppendRecord({(data == &ds ? "r" : "x") + n, n});
    }
  }
  ds.Fields(1)->SetDisplayWidth(2);
  exp.SetFieldSeparator(fspComma);
  TStringList trailer{"T"};
  exp.SetTrailerData(&trailer);
  exp.SetTrailerOutput(true);
  struct Case {
    std::int32_t after;  // records
    std::function<void()> change;
    std::int32_t result;
    std::string file;
  };
  const Case cases[] = {
      {2,
       [&] {
         exp.SetExportType(expFixed);
         exp.SetRecordSeparator(rsLF);
       },
       4, "r0,0\r\nr1,1\r\nr2 ,2 \nr3 ,3 \nT\n"},
      {1, [&] { exp.SetDataSet(&other); }, 4, "r0,0\r\nx0,0\r\nx1,1\r\nx2,2\r\nT\r\n"},
      {3, [&] { exp.SetDataSet(nullptr); }, 3, "r0,0\r\nr1,1\r\nr2,2\r\nT\r\n"},
  };
  for (const Case& c : cases) {
    exp.SetDataSet(&ds);
    exp.SetExportType(expDelimited);
    exp.SetRecordSeparator(rsCRLF);
    other.First();
    exp.SetOnExportRecord([&](TObject*, std::int32_t records, std::int64_t) {
      if (records == c.after) c.change();
    });
    EXPECT_EQ(exp.Execute(), c.result) << c.file;
    EXPECT_EQ(Output(), c.file);
  }
}

TEST_F(ExportRun, FailedPreparationLeavesAnEarlierFileAlone) {
  People(2);
  WriteText(exp.OutputFile(), "keep me");
  exp.SetShowProgress(true);
  int finished = 0;
  exp.SetOnFinishExport([&](TObject*) { ++finished; });

  ds.SetOpenError("cannot open");
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_EQ(exp.SetupFailure(), "cannot open");  // for the host: no message is shown
  EXPECT_EQ(exp.LastError(), "cannot open");
  EXPECT_EQ(ds.LastError(), "cannot open");
  EXPECT_EQ(Output(), "keep me");
  EXPECT_FALSE(ds.Active());

  exp.SetOutputFile(Path("new.txt"));
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_FALSE(fs::exists(Path("new.txt")));

  ds.SetOpenError("");
  exp.SetDataSet(nullptr);
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_FALSE(fs::exists(Path("new.txt")));

  EXPECT_EQ(finished, 0);
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(exp.ProgressWindow(), nullptr);
  EXPECT_EQ(exp.ComponentCount(), 0);
}

TEST_F(ExportRun, AnOutputFileThatCannotBeCreatedFailsThePreparation) {
  People(2);
  exp.SetShowProgress(true);
  int finished = 0;
  exp.SetOnFinishExport([&](TObject*) { ++finished; });

  exp.SetOutputFile(Path("missing/out.txt"));
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_EQ(exp.SetupFailure(),
            "cannot create '" + Path("missing/out.txt") + "' (No such file or directory)");
  exp.SetOutputFile(dir.string());
  EXPECT_EQ(exp.Execute(), -1);
  exp.SetOutputFile("");
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_EQ(exp.SetupFailure(), "no file to export to (OutputFile is not set)");

  // Held by another run: refused, and its contents stay.
  const std::string held = Path("held.txt");
  WriteText(held, "in use");
  {
    TFileHandle other = OpenFileForRead(held);
    ASSERT_TRUE(other.Valid());
    exp.SetOutputFile(held);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Contents(held), "in use");

  EXPECT_EQ(finished, 0);
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(exp.ProgressWindow(), nullptr);
  EXPECT_EQ(exp.ComponentCount(), 0);
  // Once it is free the same component writes it.
  EXPECT_EQ(exp.Execute(), 2);
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(exp.SetupFailure(), "");
  EXPECT_EQ(exp.LastError(), "");
}

// A record whose value cannot be read writes no line but is counted, and
// the run keeps which records it left out and why.
TEST_F(ExportRun, RecordsLeftOutAreCountedWithTheirReason) {
  People(4);
  int record = 0;
  ds.Fields(1)->SetOnGetText([&record](TField*, std::string& text) {
    ++record;
    if (record == 2) throw EConvertError("no text for record 2");
    if (record == 4) throw 4;  // host code raising what is no exception
    text += "!";
  });
  EXPECT_EQ(exp.Execute(), 4);
  EXPECT_EQ(Output(), "1|Name1!|City1\r\n3|Name3!|City3\r\n");
  const TLeftOutRecords& left = exp.LeftOutRecords();
  EXPECT_EQ(left.Count, 2);
  EXPECT_EQ(left.FirstRecord, 2);
  EXPECT_EQ(left.FirstReason, "no text for record 2");
  ASSERT_EQ(exp.LeftOutList().size(), 2u);
  EXPECT_EQ(exp.LeftOutList()[1].Record, 4);
  EXPECT_FALSE(exp.LeftOutList()[1].Unfit);
  EXPECT_EQ(exp.UnfitRecords(), 0);

  ds.Fields(1)->SetOnGetText(nullptr);
  EXPECT_EQ(exp.Execute(), 4);
  EXPECT_EQ(exp.LeftOutRecords().Count, 0);
}

// Column widths of another count than the fields written leave every
// record out, saying how many each has.
TEST_F(ExportRun, FixedWidthsOfAnotherCountLeaveTheRecordsOutSayingSo) {
  People(2);
  exp.SetExportType(expFixed);
  exp.SetFixedLayout(flColumns);
  for (const auto& [widths, reason] : {std::pair<const char*, const char*>{
                                           "2,6", "FixedWidths gives 2 widths for 3 fields"},
                                       {"2,x", "FixedWidths: the widths \"2,x\" are not whole "
                                               "numbers of at least 1 separated by commas (\"x\")"}}) {
    exp.SetFixedWidths(widths);
    EXPECT_EQ(exp.Execute(), 2);
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(exp.LeftOutRecords().Count, 2);
    EXPECT_EQ(exp.LeftOutRecords().FirstReason, reason);
  }
}

// Under flColumns a value its line cannot hold leaves its record out alone,
// listed with its field as unfit, on the thread formatting ahead too; the
// classic layout writes it whole.
TEST_F(ExportRun, ValuesAFixedWidthLineCannotHoldLeaveTheirRecordOut) {
  for (const auto& [id, name] : {std::pair<const char*, const char*>{"1", "Ann"},
                                 {"2", "B\nb"},
                                 {"3", "Cy"},
                                 {"4", "Dave"}}) {
    ds.AppendRecord({id, name, "Oslo"});
  }
  ds.Close();
  exp.SetExportType(expFixed);
  exp.SetRecordSeparator(rsLF);
  EXPECT_EQ(exp.Execute(), 4);
  EXPECT_EQ(exp.LeftOutRecords().Count, 0);
  EXPECT_NE(Output().find("B\nb"), std::string::npos);
  exp.SetFixedLayout(flColumns);
  exp.SetFixedWidths("1,3,4");
  for (const bool ahead : {false, true}) {
    exp.SetFormatAhead(ahead);
    const std::uint64_t batches = HandOffBatches(THandOff::hoFormatAhead);
    EXPECT_EQ(exp.Execute(), 4);
    EXPECT_EQ(HandOffBatches(THandOff::hoFormatAhead) > batches, ahead);
    EXPECT_EQ(Output(), "1|Ann|Oslo\n3|Cy |Oslo\n");
    EXPECT_EQ(exp.LeftOutRecords().Count, 2);
    EXPECT_EQ(exp.UnfitRecords(), 2);
    ASSERT_EQ(exp.LeftOutList().size(), 2u);
    const TLeftOutRecord& first = exp.LeftOutList()[0];
    EXPECT_EQ(first.Record, 2);
    EXPECT_EQ(first.Field, "Name");
    EXPECT_TRUE(first.Unfit);
    EXPECT_EQ(first.Reason, "the value of field 'Name' holds a line break, which a fixed-width "
                            "line cannot hold");
    EXPECT_EQ(exp.LeftOutList()[1].Reason,
              "the value of field 'Name' is 4 bytes long, wider than its column (3)");
  }
}

TEST_F(ExportRun, ExecuteWhileTheRunGoesOnRaisesAndLeavesTheRunAlone) {
  People(3);
  std::string refused;
  exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t) {
    try {
      static_cast<void>(exp.Execute());
    } catch (const Exception& e) {
      refused = e.what();
    }
  });
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(refused,
            "TCSVExport.Execute was called while a run of the same component is in progress");
  EXPECT_EQ(Output(), PersonLine(1) + "\r\n" + PersonLine(2) + "\r\n" + PersonLine(3) + "\r\n");
  EXPECT_EQ(exp.LastError(), "");
}

TEST_F(ExportRun, ConversionErrorInARecordHandlerStopsTheRun) {
  People(8);
  TStringList trailer{"trailer"};
  exp.SetTrailerData(&trailer);
  exp.SetTrailerOutput(true);
  exp.SetShowProgress(true);
  int finished = 0;
  exp.SetOnFinishExport([&](TObject*) { ++finished; });
  exp.SetOnExportRecord([&](TObject*, std::int32_t records, std::int64_t) {
    if (records == 5) throw EConvertError("bad value");
  });
  EXPECT_EQ(exp.Execute(), 0);
  std::string expected;
  for (int i = 1; i <= 5; ++i) expected += PersonLine(i) + "\r\n";
  EXPECT_EQ(Output(), expected);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Data conversion error!");
  EXPECT_EQ(shown[0].type, mtError);
  EXPECT_EQ(shown[0].buttons, TMsgDlgButtons{mbOK});
  EXPECT_EQ(shown[0].helpContext, 0);
  EXPECT_EQ(exp.LastError(), "data conversion error: bad value");
  EXPECT_EQ(exp.SetupFailure(), "");  // it started
  EXPECT_EQ(finished, 0);
  EXPECT_TRUE(Released(exp.OutputFile()));
  EXPECT_EQ(exp.ProgressWindow(), nullptr);
}

TEST_F(ExportRun, ConversionErrorsBeforeAndAfterTheRunKeepTheirResult) {
  People(3);
  exp.SetOnBeginExport([](TObject*) { throw EConvertError("early"); });
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_FALSE(fs::exists(exp.OutputFile()));

  exp.SetOnBeginExport(nullptr);
  exp.SetOnFinishExport([](TObject*) { throw EConvertError("late"); });
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(Output(), "1|Name1|City1\r\n2|Name2|City2\r\n3|Name3|City3\r\n");

  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, "Data conversion error!");
  EXPECT_EQ(shown[1].text, "Data conversion error!");
}

TEST_F(ExportRun, OtherExceptionsPassThroughWithTheFileClosed) {
  People(6);
  exp.SetShowProgress(true);
  exp.SetOnExportRecord([](TObject*, std::int32_t records, std::int64_t) {
    if (records == 3) throw std::runtime_error("host gave up");
  });
  EXPECT_THROW(static_cast<void>(exp.Execute()), std::runtime_error);
  EXPECT_EQ(exp.LastError(), "host gave up");
  EXPECT_EQ(Output(), PersonLine(1) + "\r\n" + PersonLine(2) + "\r\n" + PersonLine(3) + "\r\n");
  EXPECT_TRUE(Released(exp.OutputFile()));
  EXPECT_EQ(exp.ProgressWindow(), nullptr);
  EXPECT_EQ(exp.ComponentCount(), 0);
  EXPECT_TRUE(shown.empty());

  // A raise in OnBeginExport comes before any file exists.
  exp.SetOutputFile(Path("never.txt"));
  exp.SetOnBeginExport([](TObject*) { throw EDatabaseError("no"); });
  EXPECT_THROW(static_cast<void>(exp.Execute()), EDatabaseError);
  EXPECT_FALSE(fs::exists(Path("never.txt")));
}

// In place, a run that breaks off leaves what it wrote; replacing, the old
// file stays whole until a run succeeds, and the run leaves nothing beside it.
TEST_F(ExportRun, AReplacingRunTouchesTheTargetOnlyWhenItSucceeds) {
  People(3);
  struct Case {
    TWriteMode mode;
    std::string afterThrow;
  };
  for (const Case& c : {Case{wmInPlace, PersonLine(1) + "\r\n" + PersonLine(2) + "\r\n"},
                        Case{wmReplace, "old"}}) {
    SCOPED_TRACE(EnumToString(c.mode));
    WriteText(exp.OutputFile(), "old");
    exp.SetWriteMode(c.mode);
    exp.SetOnExportRecord([](TObject*, std::int32_t records, std::int64_t) {
      if (records == 2) throw std::runtime_error("handler failed");
    });
    EXPECT_THROW(static_cast<void>(exp.Execute()), std::runtime_error);
    EXPECT_EQ(Output(), c.afterThrow);
    ds.Close();
    ds.SetOpenError("no table");
    EXPECT_EQ(exp.Execute(), -1);
    EXPECT_EQ(Output(), c.afterThrow);
    ds.SetOpenError("");
    exp.SetOnExportRecord(nullptr);
    exp.SetOnFinishExport([&](TObject*) { EXPECT_EQ(Output().size(), 45u); });
    EXPECT_EQ(exp.Execute(), 3);
    EXPECT_EQ(exp.LastError(), "");
    exp.SetOnFinishExport(nullptr);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  // A folder it cannot write to: the run does not start, the file stays.
  if (::geteuid() != 0) {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(exp.Execute(), -1);
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_NE(exp.LastError().find("cannot be written (Permission denied)"), std::string::npos)
        << exp.LastError();
    EXPECT_EQ(Output().size(), 45u);
  }
}

TEST_F(ExportRun, AHeaderCanEndWithTheFieldNames) {
  People(1);
  TStringList header{"# people"};
  exp.SetHeaderData(&header);
  exp.SetHeaderOutput(true);
  exp.SetHeaderFieldNames(true);
  exp.SetFieldDelimiter(fdlDouble);
  EXPECT_EQ(exp.Execute(), 1);
  EXPECT_EQ(Output(), "# people\r\n\"ID\"|\"Name\"|\"City\"\r\n\"1\"|\"Name1\"|\"City1\"\r\n");
}

TEST_F(ExportRun, ProgressIsShownEveryHundredthOfTheRecords) {
  for (int total : {250, 150}) {
    SCOPED_TRACE(total);
    ds.EmptyDataSet();
    People(total);
    const int interval = total >= 200 ? total / 100 : 1;
    exp.SetShowProgress(true);
    std::vector<std::int64_t> positions;
    exp.SetOnExportRecord([&](TObject*, std::int32_t records, std::int64_t) {
      TProgressWindow* window = exp.ProgressWindow();
      ASSERT_NE(window, nullptr);
      if (records == 1) {
        EXPECT_EQ(window->lbFile->Caption(), exp.OutputFile());
        EXPECT_EQ(window->ProgressBar->Max(), total);
      }
      positions.push_back(window->ProgressBar->Position());
    });
    EXPECT_EQ(exp.Execute(), total);
    ASSERT_EQ(positions.size(), static_cast<std::size_t>(total));
    // The handler runs before the window hears of its record.
    for (int k = 1; k <= total; ++k) {
      EXPECT_EQ(positions[static_cast<std::size_t>(k - 1)], (k - 1) / interval * interval);
    }
    EXPECT_EQ(exp.ProgressWindow(), nullptr);
    EXPECT_EQ(exp.ComponentCount(), 0);
  }
}

// The dataset is asked for its record total (a database counts by reading
// the whole table) only when the run shows progress or reports records.
TEST_F(ExportRun, TheRecordTotalIsTakenOnlyWhenSomethingUsesIt) {
  struct TCountingDataSet : TMemoryDataSet {
    mutable int Counts = 0;
    int RecordCount() const override {
      ++Counts;
      return TMemoryDataSet::RecordCount();
    }
  } counting;
  counting.SetFieldDefs({{"ID", ftInteger}});
  for (const char* id : {"1", "2", "3"}) counting.AppendRecord({id});
  counting.Close();
  exp.SetDataSet(&counting);
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(counting.Counts, 0);
  EXPECT_EQ(exp.RecordTotal(), 0);
  exp.SetOnExportRecord([](TObject*, std::int32_t, std::int64_t) {});
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_EQ(counting.Counts, 1);
  EXPECT_EQ(exp.RecordTotal(), 3);
  exp.SetDataSet(&ds);
}

TEST_F(ExportRun, NoProgressWindowUnlessAskedFor) {
  People(3);
  bool sawWindow = false;
  exp.SetOnExportRecord(
      [&](TObject*, std::int32_t, std::int64_t) { sawWindow |= exp.ProgressWindow() != nullptr; });
  EXPECT_EQ(exp.Execute(), 3);
  EXPECT_FALSE(sawWindow);
}

// Write failures. /dev/full refuses every write; a file size limit lets a
// run get part of the way first.

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &FOldAction);
    getrlimit(RLIMIT_FSIZE, &FOldLimit);
    struct rlimit limit = FOldLimit;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOldLimit);
    sigaction(SIGXFSZ, &FOldAction, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit FOldLimit {};
  struct sigaction FOldAction {};
};

TEST_F(ExportRun, AFullDeviceFailsTheRunWithAMessage) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  People(3);
  exp.SetOutputFile("/dev/full");
  exp.SetShowProgress(true);
  int finished = 0;
  exp.SetOnFinishExport([&](TObject*) { ++finished; });
  // The failure surfaces at the end of the run, and with a handler at the
  // first record. The component's own message handler takes the message
  // in place of the process-wide one.
  for (bool handler : {false, true}) {
    SCOPED_TRACE(handler);
    shown.clear();
    int records = 0;
    std::vector<Shown> own;
    if (handler) {
      exp.SetOnExportRecord([&](TObject*, std::int32_t, std::int64_t) { ++records; });
      exp.SetOnMessage([&](TObject* sender, const std::string& text, TMsgDlgType type) {
        EXPECT_EQ(sender, &exp);
        own.push_back({text, type, TMsgDlgButtons{mbOK}, 0});
      });
    }
    EXPECT_EQ(exp.Execute(), -1);
    EXPECT_EQ(exp.LastError(), "cannot write '/dev/full' (No space left on device)");
    if (handler) std::swap(own, shown);
    EXPECT_TRUE(own.empty());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Write failed with error code " + std::to_string(ENOSPC));
    EXPECT_EQ(shown[0].type, mtError);
    EXPECT_EQ(shown[0].buttons, TMsgDlgButtons{mbOK});
    EXPECT_EQ(records, 0);
    EXPECT_FALSE(exp.FileOpen());
    EXPECT_EQ(exp.ProgressWindow(), nullptr);
  }
  EXPECT_EQ(finished, 0);
}

TEST_F(ExportRun, AFileSizeLimitStopsTheRunWhereItIsReached) {
  People(2000);  // about 38 KB of lines
  std::string all;
  for (int i = 1; i <= 2000; ++i) all += PersonLine(i) + "\r\n";
  const std::string path = exp.OutputFile();
  int finished = 0;
  exp.SetOnFinishExport([&](TObject*) { ++finished; });

  // Without a handler: found when a full buffer goes out; the rest of the
  // dataset is not walked. (Formatting ahead walks a few thousand records
  // further; see below.)
  exp.SetFormatAhead(false);
  {
    FileSizeLimit limit(15000);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Output(), all.substr(0, 15000));
  EXPECT_LT(exp.RecordCounter(), 1500);
  EXPECT_FALSE(ds.Eof());

  // With a handler: found at the record that crosses the limit, which is
  // not reported.
  int lastReported = 0;
  exp.SetOnExportRecord([&](TObject*, std::int32_t r, std::int64_t) { lastReported = r; });
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Output(), all.substr(0, 1000));
  std::size_t fitting = 0;
  int fit = 0;
  while (fitting + PersonLine(fit + 1).size() + 2 <= 1000) fitting += PersonLine(++fit).size() + 2;
  EXPECT_EQ(lastReported, fit);

  // A run that fits in the buffer: found when the file is closed.
  exp.SetOnExportRecord(nullptr);
  ds.EmptyDataSet();
  People(20);
  {
    FileSizeLimit limit(100);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_TRUE(ds.Eof());

  ASSERT_EQ(shown.size(), 3u);
  for (const Shown& s : shown) {
    EXPECT_EQ(s.text, "Write failed with error code " + std::to_string(EFBIG));
  }
  EXPECT_EQ(finished, 0);
  EXPECT_TRUE(Released(path));
}

TEST_F(ExportRun, ALongRunKeepsEveryByteAndFindsAFailureSoon) {
  // About 2.6 MB of lines: more than the largest write the run makes.
  People(100000);
  std::string all;
  for (int i = 1; i <= 100000; ++i) all += PersonLine(i) + "\r\n";
  EXPECT_EQ(exp.Execute(), 100000);
  EXPECT_EQ(Output(), all);

  // Writes grow with what was written, so a failure is found well before
  // the end of the dataset: within twice the bytes that fit (800,000 bytes
  // hold the first 29,761 lines).
  {
    FileSizeLimit limit(400000);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Output(), all.substr(0, 400000));
  EXPECT_LE(exp.RecordCounter(), 29761 + TCSVExport::kFormatAheadRecords);
  EXPECT_FALSE(ds.Eof());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Write failed with error code " + std::to_string(EFBIG));
}

// Past its first megabyte a run writes on a second thread while it formats
// the next lines: the bytes are the same, and a failure there is found one
// write later, closing the file and reporting it as before.
TEST_F(ExportRun, ALongRunWritingInTheBackgroundFindsAFailure) {
  People(200000);  // about 5.4 MB of lines
  std::string all;
  for (int i = 1; i <= 200000; ++i) all += PersonLine(i) + "\r\n";
  EXPECT_EQ(exp.Execute(), 200000);
  EXPECT_EQ(Output(), all);

  const std::size_t limit = 3000000;
  {
    FileSizeLimit sizeLimit(static_cast<rlim_t>(limit));
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Output(), all.substr(0, limit));
  EXPECT_FALSE(exp.FileOpen());
  // Found within two full writes after the limit.
  std::size_t within = 0;
  for (std::size_t end = 0; end <= limit + 2 * TCSVExport::kMaxWriteBufferSize; ++within) {
    end = all.find("\r\n", end) + 2;
  }
  EXPECT_LE(exp.RecordCounter(),
            static_cast<std::int32_t>(within) + TCSVExport::kFormatAheadRecords);
  EXPECT_FALSE(ds.Eof());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Write failed with error code " + std::to_string(EFBIG));
}

// Without handlers, records are formatted on a second thread from copies of
// their values: the bytes are those of formatting on the calling thread, also
// when a record in the middle must be formatted there (its value is of
// another alternative than its field's, so the field gives its text).
TEST_F(ExportRun, FormattingAheadGivesTheBytesOfFormattingInline) {
  ds.SetFieldDefs({{"ID", ftInteger},
                   {"Name", ftString, 8},
                   {"Amount", ftCurrency},
                   {"Born", ftDate},
                   {"Active", ftBoolean},
                   {"Exact", ftDecimalText},
                   {"Rate", ftFloat}});
  const TDateTime day = EncodeDate(1990, 5, 17);
  for (int i = 1; i <= 10000; ++i) {
    std::vector<TFieldData> values{
        std::int64_t{i},          "N" + std::to_string(i % 97),
        std::int64_t{i} * 125 - 600000,
        day + i % 4000,           i % 3 == 0,
        i % 11 == 0 ? "-12345678901234567890.25" : std::to_string(i) + ".50",
        i / 8.0 + 0.1};
    if (i % 7 == 0) values[static_cast<std::size_t>(1 + i % 5)] = std::monostate{};
    if (i == 7000) values[0] = std::string("7000");
    ds.AppendData(values);
  }
  // Delimited under either text rules (a value of none is two quotes, or
  // nothing), then fixed-width.
  using TCase = std::tuple<TDialect, bool, const char*>;
  for (const auto& [dialect, fixed, empty] :
       {TCase{dlClassic, false, "\"\""}, TCase{dlStandard, false, ""}, TCase{dlClassic, true, ""}}) {
    SCOPED_TRACE(fixed ? "fixed" : dialect == dlStandard ? "standard" : "delimited");
    exp.SetDialect(dialect);
    if (fixed) {
      exp.SetExportType(expFixed);
      exp.SetFieldSeparator(fspNone);
      exp.SetNumericAlign(naRight);
      // The thread writes floats with the separator in force when the run began.
      FormatSettings().DecimalSeparator = ',';
    } else {
      exp.SetFieldSeparator(fspComma);
      exp.SetFieldDelimiter(fdlDouble);
    }
    exp.SetFormatAhead(false);
    const std::uint64_t batches = HandOffBatches(THandOff::hoFormatAhead);
    ASSERT_EQ(exp.Execute(), 10000);
    EXPECT_EQ(HandOffBatches(THandOff::hoFormatAhead), batches);
    const std::string inline_ = Output();
    exp.SetFormatAhead(true);
    ASSERT_EQ(exp.Execute(), 10000);
    EXPECT_GT(HandOffBatches(THandOff::hoFormatAhead), batches);  // the thread formatted
    EXPECT_EQ(Output(), inline_);
    if (fixed) {
      EXPECT_NE(inline_.find("0,225\"\r\n"), std::string::npos);
      EXPECT_NE(inline_.find(" 23,50"), std::string::npos);  // an exact decimal too
      ResetFormatSettings();
    } else {
      EXPECT_EQ(inline_.substr(0, inline_.find("\r\n")),
                "\"1\",\"N1\",\"-59.9875\",\"5/18/1990\",\"False\",\"1.50\",\"0.225\"");
      // A text held by an integer field is written as it stands.
      EXPECT_NE(inline_.find("\r\n\"7000\"," + std::string(empty) + ","), std::string::npos);
    }
  }
}

TEST_F(ExportRun, AWriteFailureStopsFormattingAheadSoon) {
  People(40000);  // about 1 MB of lines
  std::string all;
  for (int i = 1; i <= 40000; ++i) all += PersonLine(i) + "\r\n";
  {
    FileSizeLimit limit(15000);
    EXPECT_EQ(exp.Execute(), -1);
  }
  EXPECT_EQ(Output(), all.substr(0, 15000));
  EXPECT_FALSE(exp.FileOpen());
  // The failing write holds the lines up to about 20 KB (some thousand
  // records); the walk is at most the batches waiting for the thread ahead.
  EXPECT_LE(exp.RecordCounter(), 1000 + TCSVExport::kFormatAheadRecords);
  EXPECT_FALSE(ds.Eof());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Write failed with error code " + std::to_string(EFBIG));
}

}  // namespace
}  // namespace korvane
