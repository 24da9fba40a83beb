// TCSVImport as a host sees it: its properties and complete runs against an
// in-memory dataset and real files.
#include "import/kvcsvimp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "components/kvprogress.h"
#include "data/db_failure.h"
#include "datasets/memory/memory_dataset.h"
#include "export/kvcsvexp.h"
#include "io/batch_pipe.h"
#include "io/fileio.h"
#include "support/captured_messages.h"
#include "support/temp_dir.h"
#include "text/formats.h"

namespace korvane {
namespace {

TEST(ImportProperties, StartValuesAreTheDocumentedOnes) {
  TCSVImport imp(nullptr);
  EXPECT_EQ(imp.CustomSeparator(), "");
  EXPECT_EQ(imp.DataSet(), nullptr);
  EXPECT_EQ(imp.DelimitedFields(), dfAll);
  EXPECT_EQ(imp.Dialect(), dlClassic);
  EXPECT_EQ(imp.ErrorRecords(), 0);
  EXPECT_EQ(imp.FieldDelimiter(), fdlNone);
  ASSERT_NE(imp.FieldList(), nullptr);
  EXPECT_EQ(imp.FieldList()->Count(), 0);
  EXPECT_EQ(imp.FieldListAction(), flaNone);
  EXPECT_EQ(imp.FieldSeparator(), fspPipe);
  ASSERT_NE(imp.HeaderData(), nullptr);
  EXPECT_EQ(imp.HeaderData()->Count(), 0);
  EXPECT_EQ(imp.HeaderRecords(), 0);
  EXPECT_FALSE(imp.HeaderStored());
  EXPECT_EQ(imp.ImportType(), impDelimited);
  EXPECT_EQ(imp.InputFile(), "");
  EXPECT_FALSE(imp.OnBeginImport());
  EXPECT_FALSE(imp.OnFinishImport());
  EXPECT_FALSE(imp.OnImportRecord());
  EXPECT_FALSE(imp.ShowProgress());
  ASSERT_NE(imp.TrailerData(), nullptr);
  EXPECT_EQ(imp.TrailerData()->Count(), 0);
  EXPECT_EQ(imp.TrailerRecords(), 0);
  EXPECT_FALSE(imp.TrailerStored());
  EXPECT_EQ(imp.Version(), "1.32");
  EXPECT_EQ(imp.ProgressWindow(), nullptr);
}

TEST(ImportProperties, FieldListIsCopiedNeverShared) {
  TCSVImport imp(nullptr);
  TStringList host{"Name", "City"};
  imp.SetFieldList(&host);
  host.Add("Amount");
  host.SetStrings(0, "changed");
  EXPECT_EQ(imp.FieldList()->Count(), 2);
  EXPECT_EQ(imp.FieldList()->Strings(0), "Name");
  EXPECT_NE(imp.FieldList(), &host);
  imp.SetFieldList(nullptr);
  EXPECT_EQ(imp.FieldList()->Count(), 0);
}

TEST(ImportProperties, ResultListsAndVersionIgnoreAssignments) {
  TCSVImport imp(nullptr);
  TStringList host{"x"};
  TStrings* header = imp.HeaderData();
  imp.SetHeaderData(&host);
  imp.SetTrailerData(&host);
  EXPECT_EQ(imp.HeaderData(), header);
  EXPECT_EQ(imp.HeaderData()->Count(), 0);
  EXPECT_EQ(imp.TrailerData()->Count(), 0);
  imp.SetVersion("2.0");
  EXPECT_EQ(imp.Version(), "1.32");
}

TEST(ImportProperties, OwnerFreesTheComponent) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* imp = new TCSVImport(owner.get());
  EXPECT_EQ(imp->Owner(), owner.get());
  EXPECT_EQ(owner->ComponentCount(), 1);
  owner.reset();  // frees imp with its lists; the sanitizer build sees leaks
}

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;
using Log = std::vector<std::string>;
using test::TCapturedMessages;
using test::TTempDir;

// A memory dataset that records its bulk hooks among the posts, so tests see
// where BeginBulk and EndBulk fall.
class TBulkDataSet : public TMemoryDataSet {
 public:
  void BeginBulk() override {
    Hooks.push_back("begin");
    if (OnBeginBulk) OnBeginBulk();
  }
  void EndBulk() override {
    Hooks.push_back("end@" + std::to_string(RecordCount()));
    if (OnEndBulk) OnEndBulk();
  }
  Log Hooks;
  std::function<void()> OnBeginBulk;
  std::function<void()> OnEndBulk;
};

std::string Show(const TFieldData& v) {
  if (std::holds_alternative<std::monostate>(v)) return "<null>";
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  return std::to_string(std::get<double>(v));
}

Log Lines(const TStrings* list) {
  Log lines;
  for (int i = 0; i < list->Count(); ++i) lines.push_back(list->Strings(i));
  return lines;
}

class ImportRun : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.AddFieldDef("A", ftString, 10);
    data_.AddFieldDef("B", ftString, 10);
    imp_.SetDataSet(&data_);
    imp_.SetFieldSeparator(fspComma);
    imp_.SetOnBeginImport([this](TObject* sender) {
      EXPECT_EQ(sender, &imp_);
      events_.push_back("begin");
    });
    imp_.SetOnImportRecord([this](TObject* sender, std::int32_t bytes) {
      EXPECT_EQ(sender, &imp_);
      events_.push_back(std::to_string(bytes));
    });
    imp_.SetOnFinishImport([this](TObject* sender) {
      EXPECT_EQ(sender, &imp_);
      events_.push_back("finish");
    });
  }

  void Input(const std::string& bytes) { imp_.SetInputFile(dir_.Put("in.txt", bytes)); }

  Rows Stored() const {
    Rows rows;
    for (int r = 0; r < data_.RecordCount(); ++r) {
      Row row;
      for (int f = 0; f < data_.FieldCount(); ++f) row.push_back(Show(data_.FieldValue(r, f)));
      rows.push_back(row);
    }
    return rows;
  }

  // True when nothing holds the input any more.
  bool InputReleased() const { return OpenFileForRead(imp_.InputFile()).Valid(); }

  TTempDir dir_;
  TCapturedMessages messages_;
  TBulkDataSet data_;
  TCSVImport imp_{nullptr};
  Log events_;
};

TEST_F(ImportRun, RecordsLandAndEventsCarryTheirBytes) {
  Input("a,b\r\nc,d");
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}, {"c", "d"}}));
  EXPECT_EQ(events_, (Log{"begin", "5", "3", "finish"}));
  EXPECT_EQ(imp_.ErrorRecords(), 0);
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_TRUE(data_.Active());
  EXPECT_TRUE(InputReleased());
  EXPECT_EQ(data_.Hooks, (Log{"begin", "end@2"}));
}

TEST_F(ImportRun, ProgressWindowIsUpdatedAfterEveryRecordAndFreedAtTheEnd) {
  TClockFunction previous = SetClock([] { return 45000.5; });  // time stands still
  Input("a,b\r\nc,d");
  imp_.SetShowProgress(true);
  Log seen;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    TProgressWindow* w = imp_.ProgressWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->Visible());
    EXPECT_EQ(w->Owner(), &imp_);
    seen.push_back(w->Caption() + "|" + w->lbFile->Caption() + "|" + w->lbRecords->Caption() + "|" +
                   w->lbBytes->Caption() + "|" + w->lbPercentage->Caption() + "|" +
                   std::to_string(w->ProgressBar->Position()));
  });
  EXPECT_EQ(imp_.Execute(), 2);
  SetClock(previous);
  const std::string file = imp_.InputFile();
  EXPECT_EQ(seen,
            (Log{"Import Progress|" + file + "|1 records|0.0K of 0.0K read (0.0K/s)|63%|5",
                 "Import Progress|" + file + "|2 records|0.0K of 0.0K read (0.0K/s)|100%|8"}));
  EXPECT_EQ(imp_.ProgressWindow(), nullptr);
  EXPECT_EQ(imp_.ComponentCount(), 0);
}

TEST_F(ImportRun, ProgressByteTotalIsTheFileSize) {
  TClockFunction previous = SetClock([] { return 45000.5; });
  std::string line(2047, 'x');  // 2 KiB per record with its LF
  Input(line + "\n" + line + "\n");
  imp_.SetShowProgress(true);
  std::string bytes;
  std::string percent;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    bytes = imp_.ProgressWindow()->lbBytes->Caption();
    percent = imp_.ProgressWindow()->lbPercentage->Caption();
  });
  // The records set apart before the first one imported are read too: the
  // whole file shows read at the end.
  struct Case {
    const char* what;
    std::int32_t headerRecords, startRecord, imported;
  };
  for (const Case& c : {Case{"every record imported", 0, 1, 2}, Case{"a header", 1, 1, 1},
                        Case{"from the second record", 0, 2, 1}}) {
    SCOPED_TRACE(c.what);
    imp_.SetHeaderRecords(c.headerRecords);
    imp_.SetHeaderStored(c.headerRecords > 0);
    imp_.SetStartRecord(c.startRecord);
    EXPECT_EQ(imp_.Execute(), c.imported);
    EXPECT_EQ(bytes, "4.0K of 4.0K read (4.0K/s)");
    EXPECT_EQ(percent, "100%");
  }
  SetClock(previous);
}

TEST_F(ImportRun, ADatasetWithoutFieldsIsSaidToHaveNone) {
  TMemoryDataSet empty(nullptr);  // no field definitions given
  imp_.SetDataSet(&empty);
  Input("a,b\n1,2\n");
  imp_.SetHeaderRecords(1);
  imp_.SetHeaderStored(true);
  struct Case {
    TColumnMatching matching;
    const char* fault;
  };
  for (const Case& c :
       {Case{cmByHeaderName,
             "the header record names fields the dataset does not have: \"a\", \"b\"; the "
             "dataset has no fields"},
        Case{cmByFieldList,
             "FieldList leaves out fields the dataset does not have: \"a\"; the dataset has no "
             "fields"}}) {
    imp_.SetColumnMatching(c.matching);
    imp_.SetFieldListAction(flaExclude);
    imp_.FieldList()->Clear();
    if (c.matching == cmByFieldList) imp_.FieldList()->Add("a");
    EXPECT_EQ(imp_.Execute(), -1);
    EXPECT_EQ(imp_.ColumnFault(), c.fault);
  }
}

TEST_F(ImportRun, EmptyAndBlankRecordsCountButStoreNothing) {
  Input("");
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(events_, (Log{"begin", "0", "finish"}));
  EXPECT_TRUE(Stored().empty());

  events_.clear();
  Input("\r\na,b\r\n   \r\nc,d\r\n");
  EXPECT_EQ(imp_.Execute(), 4);
  EXPECT_EQ(events_, (Log{"begin", "2", "5", "5", "5", "finish"}));
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}, {"c", "d"}}));
  EXPECT_EQ(imp_.ErrorRecords(), 0);
}

TEST_F(ImportRun, HeaderRecordsAreSetAsideOnlyWhenStored) {
  Input("H1\r\nH2\r\na,b\r\n");
  imp_.SetHeaderRecords(2);
  imp_.SetHeaderStored(true);
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(Lines(imp_.HeaderData()), (Log{"H1", "H2"}));
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}}));
  EXPECT_EQ(events_, (Log{"begin", "5", "finish"}));

  data_.EmptyDataSet();
  imp_.SetHeaderStored(false);
  EXPECT_EQ(imp_.Execute(), 3);
  EXPECT_EQ(imp_.HeaderData()->Count(), 0);
  EXPECT_EQ(Stored(), (Rows{{"H1", "<null>"}, {"H2", "<null>"}, {"a", "b"}}));
}

TEST_F(ImportRun, HeaderLongerThanTheFileLeavesNoData) {
  Input("H1\r\nH2");
  imp_.SetHeaderRecords(5);
  imp_.SetHeaderStored(true);
  EXPECT_EQ(imp_.Execute(), 0);
  EXPECT_EQ(Lines(imp_.HeaderData()), (Log{"H1", "H2"}));
  EXPECT_EQ(events_, (Log{"begin", "finish"}));
}

TEST_F(ImportRun, TrailerRecordsAreHeldBackAndKeptWhenStored) {
  Input("1,a\r\n2,b\r\n3,c\r\n4,d\r\nT5\r\nT6\n");
  imp_.SetTrailerRecords(2);
  imp_.SetTrailerStored(true);
  EXPECT_EQ(imp_.Execute(), 4);
  EXPECT_EQ(Stored(), (Rows{{"1", "a"}, {"2", "b"}, {"3", "c"}, {"4", "d"}}));
  EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"T5", "T6"}));
  // Each record's bytes: its own text plus the line ends of the record read
  // from the file in the same call (the last one ends with a lone LF).
  EXPECT_EQ(events_, (Log{"begin", "5", "5", "5", "4", "finish"}));

  data_.EmptyDataSet();
  imp_.SetTrailerStored(false);
  EXPECT_EQ(imp_.Execute(), 4);
  EXPECT_EQ(Stored().size(), 4u);
  EXPECT_EQ(imp_.TrailerData()->Count(), 0);
}

// A stopped run never reached the end of the file: the records held back
// are not its trailer.
TEST_F(ImportRun, AStoppedRunKeepsNoTrailer) {
  Input("1,a\r\n2,b\r\n3,c\r\n4,d\r\nT5\r\nT6\n");
  imp_.SetTrailerRecords(2);
  imp_.SetTrailerStored(true);
  imp_.SetOnImportRecord([this](TObject*, std::int32_t) { imp_.Stop(); });
  static_cast<void>(imp_.Execute());
  EXPECT_TRUE(imp_.Interrupted());
  EXPECT_EQ(Stored(), (Rows{{"1", "a"}}));
  EXPECT_EQ(imp_.TrailerData()->Count(), 0);
}

TEST_F(ImportRun, HeaderAndTrailerCanTakeTheWholeFile) {
  Input("H\r\nT\r\n");
  imp_.SetHeaderRecords(1);
  imp_.SetHeaderStored(true);
  imp_.SetTrailerRecords(1);
  imp_.SetTrailerStored(true);
  EXPECT_EQ(imp_.Execute(), 0);
  EXPECT_EQ(Lines(imp_.HeaderData()), (Log{"H"}));
  EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"T"}));
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(events_, (Log{"begin", "finish"}));
}

TEST_F(ImportRun, FewerRecordsThanTrailerRecordsFailsSilently) {
  Input("only,line\r\n");
  imp_.SetTrailerRecords(2);
  imp_.SetTrailerStored(true);
  EXPECT_EQ(imp_.Execute(), -1);
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(events_, (Log{"begin"}));
  EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"only,line"}));
  EXPECT_TRUE(Stored().empty());
  EXPECT_TRUE(InputReleased());
  EXPECT_TRUE(data_.Hooks.empty());
}

TEST_F(ImportRun, NegativeHeaderAndTrailerCountsMeanNone) {
  Input("a,b\r\nc,d\r\n");
  imp_.SetHeaderRecords(-1);
  imp_.SetHeaderStored(true);
  imp_.SetTrailerRecords(-3);
  imp_.SetTrailerStored(true);
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(Stored().size(), 2u);
  EXPECT_EQ(imp_.HeaderData()->Count(), 0);
  EXPECT_EQ(imp_.TrailerData()->Count(), 0);
}

TEST_F(ImportRun, InputsThatCannotBeOpenedFailThePreparation) {
  TFileHandle holder;
  struct Case {
    std::string what, path;
    int error;
  };
  std::vector<Case> inputs = {{"missing", dir_.Path("missing.txt"), ENOENT},
                               {"directory", dir_.Dir(), EISDIR},
                               {"not set", "", ENOENT}};
  std::string held = dir_.Put("held.txt", "a,b\r\n");
  inputs.push_back({"held", held, EWOULDBLOCK});
  if (::geteuid() != 0) {  // permissions do not stop root
    std::string secret = dir_.Put("secret.txt", "a,b\r\n");
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    inputs.push_back({"unreadable", secret, EACCES});
  }
  holder = OpenFileForRead(held);
  ASSERT_TRUE(holder.Valid());
  // Checked before the dataset is opened: a table is not made for nothing.
  data_.Close();
  for (const auto& [what, path, error] : inputs) {
    SCOPED_TRACE(what);
    events_.clear();
    messages_.Clear();
    imp_.SetInputFile(path);
    imp_.SetShowProgress(true);
    EXPECT_EQ(imp_.Execute(), -1);
    EXPECT_FALSE(data_.Active());
    EXPECT_EQ(imp_.LastError(),
              path.empty() ? std::string("no file to import (InputFile is not set)")
                           : "cannot open '" + path + "'" +
                                 (error == EWOULDBLOCK
                                      ? ": it is locked by another program or run"
                                      : " (" + std::string(std::strerror(error)) + ")"));
    // A held file is named in LastError alone.
    EXPECT_EQ(messages_.Texts(), error == EWOULDBLOCK ? Log{} : Log{"Error getting file handle"});
    EXPECT_EQ(events_, (Log{"begin"}));
    EXPECT_TRUE(Stored().empty());
    EXPECT_EQ(imp_.ProgressWindow(), nullptr);
  }
}

TEST_F(ImportRun, SharedReadingLetsRunsReadAFileAtOnce) {
  Input("a,b\r\n");
  const TFileHandle reader = OpenFileForSharedRead(imp_.InputFile());
  ASSERT_TRUE(reader.Valid());
  std::vector<std::string> own;
  imp_.SetOnMessage([&](TObject* sender, const std::string& text, TMsgDlgType) {
    EXPECT_EQ(sender, &imp_);
    own.push_back(text);
  });
  EXPECT_EQ(imp_.Execute(), -1);  // exclusive: refused while another reads
  EXPECT_TRUE(imp_.LastError().ends_with(": it is locked by another program or run"));
  EXPECT_TRUE(own.empty());  // LastError alone names the lock
  EXPECT_EQ(imp_.GetFileSize(), -1);
  EXPECT_EQ(own, (Log{"Error getting file handle"}));
  EXPECT_TRUE(messages_.Shown().empty());  // the component's handler took it
  imp_.SetSharedReading(true);
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(imp_.LastError(), "");
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}}));
}

TEST_F(ImportRun, RecordWithoutValuesIsCountedAsFailed) {
  Input("\"\"\r\nx,y\r\n");
  imp_.SetFieldDelimiter(fdlDouble);
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(imp_.ErrorRecords(), 1);
  EXPECT_EQ(Stored(), (Rows{{"x", "y"}}));
  EXPECT_EQ(events_, (Log{"begin", "4", "5", "finish"}));
  EXPECT_TRUE(messages_.Shown().empty());  // reported only with ShowProgress
}

TEST_F(ImportRun, ValuesMapToFieldsByPosition) {
  Input("1,2,3,4\r\nonly\r\n,second\r\n");
  EXPECT_EQ(imp_.Execute(), 3);
  // An empty value stores nothing: its field keeps its state after Append.
  EXPECT_EQ(Stored(), (Rows{{"1", "2"}, {"only", "<null>"}, {"<null>", "second"}}));
  EXPECT_EQ(imp_.ErrorRecords(), 0);
}

TEST_F(ImportRun, FieldListDecidesWhichFieldsReceiveValues) {
  Input("a,b\r\n");
  TStringList list{"b"};
  imp_.SetFieldList(&list);
  imp_.SetFieldListAction(flaExclude);
  EXPECT_EQ(imp_.Execute(), 1);
  imp_.SetFieldListAction(flaInclude);
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(Stored(), (Rows{{"a", "<null>"}, {"<null>", "b"}}));
}

TEST_F(ImportRun, ValueThatDoesNotConvertLeavesItsFieldAndKeepsTheRecord) {
  TMemoryDataSet typed;
  typed.AddFieldDef("N", ftInteger);
  typed.AddFieldDef("S", ftString, 5);
  imp_.SetDataSet(&typed);
  Input("abc,x\r\n12,y\r\n");
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(imp_.ErrorRecords(), 0);
  ASSERT_EQ(typed.RecordCount(), 2);
  EXPECT_EQ(Show(typed.FieldValue(0, 0)), "<null>");
  EXPECT_EQ(Show(typed.FieldValue(0, 1)), "x");
  EXPECT_EQ(Show(typed.FieldValue(1, 0)), "12");
}

TEST_F(ImportRun, RefusedRecordsAreCancelledCountedAndReportedOnce) {
  data_.SetBeforePost([](TDataSet* d) {
    if (d->Fields(0)->AsString().rfind("bad", 0) == 0) throw EDatabaseError("refused");
  });
  Input("a,1\r\nbad,2\r\nc,3\r\nbad,4\r\n");
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(imp_.ErrorRecords(), 2);
  EXPECT_EQ(Stored(), (Rows{{"a", "1"}, {"c", "3"}}));
  EXPECT_EQ(data_.State(), dsBrowse);
  EXPECT_TRUE(messages_.Shown().empty());

  imp_.SetShowProgress(true);
  data_.EmptyDataSet();
  std::vector<test::TShownMessage> shown;
  bool windowUp = false;
  TScopedMessageHandler capture(
      [&](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int help) {
        shown.push_back({text, type, buttons, help});
        windowUp = imp_.ProgressWindow() != nullptr;
        return static_cast<int>(mrOk);
      });
  EXPECT_EQ(imp_.Execute(), 2);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text, "There were 2 records that could not be read due to errors");
  EXPECT_EQ(shown[0].Type, mtWarning);
  EXPECT_EQ(shown[0].Buttons, TMsgDlgButtons{mbOK});
  EXPECT_TRUE(windowUp) << "the warning comes before the window is freed";
  EXPECT_EQ(imp_.ProgressWindow(), nullptr);
  EXPECT_EQ(Stored(), (Rows{{"a", "1"}, {"c", "3"}}));
}

TEST_F(ImportRun, ReadOnlyDatasetIsRefusedWithAMessage) {
  Input("a,b\r\n");
  data_.SetReadOnly(true);
  EXPECT_EQ(imp_.Execute(), -1);
  ASSERT_EQ(messages_.Shown().size(), 1u);
  EXPECT_EQ(messages_.Shown()[0].Text, "Data set does not allow addition of data!");
  EXPECT_EQ(imp_.LastError(), "the dataset does not take new records (it is read-only)");
  EXPECT_EQ(messages_.Shown()[0].Type, mtError);
  EXPECT_EQ(messages_.Shown()[0].HelpContext, 0);
  EXPECT_EQ(events_, (Log{"begin"}));
  EXPECT_TRUE(InputReleased());
}

TEST_F(ImportRun, MissingOrUnopenableDatasetFailsSilently) {
  // Without a message, but with the reason for the host to show.
  Input("a,b\r\n");
  imp_.SetDataSet(nullptr);
  EXPECT_EQ(imp_.Execute(), -1);
  EXPECT_NE(imp_.SetupFailure().find("DataSet"), std::string::npos) << imp_.SetupFailure();
  data_.SetOpenError("no such table");
  imp_.SetDataSet(&data_);
  EXPECT_EQ(imp_.Execute(), -1);
  EXPECT_EQ(imp_.SetupFailure(), "no such table");
  EXPECT_EQ(imp_.LastError(), "no such table");
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(events_, (Log{"begin", "begin"}));
  EXPECT_TRUE(data_.Hooks.empty());
}

// A dataset deleted before the components that name it: they name none
// (whichever of them goes first), and their runs fail as without one.
TEST(ComponentReferences, ADeletedDatasetIsNoneOfTheComponentsThatNamedIt) {
  TComponent owner(nullptr);
  auto* data = new TMemoryDataSet(&owner);
  auto* kept = new TMemoryDataSet(&owner);
  auto imp = std::make_unique<TCSVImport>(nullptr);
  TCSVExport exp(nullptr);
  TCSVImport other(nullptr);
  imp->SetDataSet(data);
  exp.SetDataSet(data);
  other.SetDataSet(kept);
  other.SetDataSet(data);
  imp.reset();  // gone before the dataset: it no longer watches it
  delete data;
  EXPECT_EQ(exp.DataSet(), nullptr);
  EXPECT_EQ(other.DataSet(), nullptr);
  EXPECT_EQ(other.Execute(), -1);
  EXPECT_NE(other.SetupFailure().find("DataSet is not set"), std::string::npos);
  EXPECT_EQ(exp.Execute(), -1);
  EXPECT_NE(exp.LastError().find("DataSet is not set"), std::string::npos);
  exp.SetDataSet(kept);
  delete kept;
  EXPECT_EQ(exp.DataSet(), nullptr);
}

TEST_F(ImportRun, ARangeThatCannotBeReadFailsTheSetupSayingSo) {
  Input("a,b\r\n");
  const std::pair<TCSVImport::TInputRange, const char*> cases[] = {
      {{.Offset = -5}, "InputRange.Offset is -5: give the byte where the range starts, 0 or more"},
      {{.End = -2},
       "InputRange.End is -2: give the byte where the range ends, or -1 for the file's end"},
      {{.Record = 0},
       "InputRange.Record is 0: give the number of the range's first record, 1 or more"},
      {{.Line = -3}, "InputRange.Line is -3: give the line the range starts on, 1 or more"},
  };
  for (const auto& [range, why] : cases) {
    imp_.SetInputRange(range);
    EXPECT_EQ(imp_.Execute(), -1);
    EXPECT_EQ(imp_.SetupFailure(), why);
  }
  EXPECT_TRUE(Stored().empty());
  imp_.SetInputRange({.Offset = 0});
  EXPECT_EQ(imp_.Execute(), 1);
}

TEST_F(ImportRun, ClosedDatasetIsOpenedAndStaysOpen) {
  Input("a,b\r\n");
  data_.Close();
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_TRUE(data_.Active());
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}}));
}

TEST_F(ImportRun, ConversionErrorFromAnEventStopsTheRunWithAMessage) {
  Input("a,b\r\nc,d\r\ne,f\r\n");
  imp_.SetShowProgress(true);
  int calls = 0;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    if (++calls == 2) throw EConvertError("'x' is not a valid integer value");
  });
  EXPECT_EQ(imp_.Execute(), 0);
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}, {"c", "d"}}));
  EXPECT_EQ(messages_.Texts(), (Log{"Data conversion error!"}));
  EXPECT_EQ(imp_.LastError(), "data conversion error: 'x' is not a valid integer value");
  EXPECT_EQ(messages_.Shown()[0].Type, mtError);
  EXPECT_EQ(events_, (Log{"begin"}));  // no OnFinishImport
  // The early exit still commits, closes the input and frees the window.
  EXPECT_EQ(data_.Hooks, (Log{"begin", "end@2"}));
  EXPECT_TRUE(InputReleased());
  EXPECT_EQ(imp_.ProgressWindow(), nullptr);
}

TEST_F(ImportRun, ConversionErrorResultDependsOnWhereItWasRaised) {
  Input("a,b\r\nc,d\r\n");
  imp_.SetOnBeginImport([](TObject*) { throw EConvertError("begin"); });
  EXPECT_EQ(imp_.Execute(), -1);
  EXPECT_TRUE(Stored().empty());
  imp_.SetOnBeginImport(nullptr);
  imp_.SetOnFinishImport([](TObject*) { throw EConvertError("finish"); });
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(messages_.Texts(), (Log{"Data conversion error!", "Data conversion error!"}));
  EXPECT_EQ(Stored().size(), 2u);
}

TEST_F(ImportRun, OtherExceptionsPassToTheCallerWithTheRunClosedDown) {
  Input("a,b\r\nc,d\r\ne,f\r\n");
  imp_.SetShowProgress(true);
  imp_.SetOnImportRecord([](TObject*, std::int32_t) { throw std::runtime_error("host failed"); });
  EXPECT_THROW(static_cast<void>(imp_.Execute()), std::runtime_error);
  EXPECT_EQ(imp_.LastError(), "host failed");
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}}));
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(data_.Hooks, (Log{"begin", "end@1"}));
  EXPECT_TRUE(InputReleased());
  EXPECT_EQ(imp_.ProgressWindow(), nullptr);
}

// One run per component: Execute called again while the run goes on (from
// its own handler) raises without touching the run, whose handler may go on.
TEST_F(ImportRun, ExecuteWhileTheRunGoesOnRaisesAndLeavesTheRunAlone) {
  Input("a,b\r\nc,d\r\ne,f\r\n");
  std::string refused;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    try {
      static_cast<void>(imp_.Execute());
    } catch (const Exception& e) {
      refused = e.what();
    }
  });
  EXPECT_EQ(imp_.Execute(), 3);
  EXPECT_EQ(refused,
            "TCSVImport.Execute was called while a run of the same component is in progress");
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}, {"c", "d"}, {"e", "f"}}));
  EXPECT_EQ(imp_.StoredRecords(), 3);
  EXPECT_EQ(imp_.LastError(), "");
  // Let through, it stops the run as any exception of a handler does; the
  // next run is a run again.
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) { static_cast<void>(imp_.Execute()); });
  EXPECT_THROW(static_cast<void>(imp_.Execute()), Exception);
  EXPECT_EQ(imp_.LastError(), refused);
  imp_.SetOnImportRecord(nullptr);
  EXPECT_EQ(imp_.Execute(), 3);
}

// A run stopping on an error of its own ends its bulk load all the same;
// what fails there too is told after the run's own error, not dropped. A
// database failure that says what was committed is not followed by the
// same count again.
TEST_F(ImportRun, AFailureEndingTheBulkLoadOfAFailedRunFollowsItsError) {
  struct Case {
    const char* databaseFails;  // its message; else the host's handler raises
    bool endMessage;            // EndBulk raises an exception with a message
    std::string lastError;
  };
  const std::string stopped = "disk gone; the import stopped at record 1, 0 records are committed";
  const Case cases[] = {
      {nullptr, true, "host failed; ending the bulk load failed too: commit refused"},
      {nullptr, false, "host failed; ending the bulk load failed too: an error without a message"},
      {"disk gone", true, stopped + "; ending the bulk load failed too: commit refused"},
      {"lost; 0 records were committed", false,
       "lost; 0 records were committed; the import stopped at record 1; ending the bulk load "
       "failed too: an error without a message"},
      {"lost; 10 records were committed", false,
       "lost; 10 records were committed; the import stopped at record 1, 0 records are "
       "committed; ending the bulk load failed too: an error without a message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastError);
    Input("a,b\r\nc,d\r\n");
    data_.OnEndBulk = [&c] {
      if (c.endMessage) throw std::runtime_error("commit refused");
      throw 7;
    };
    if (c.databaseFails != nullptr) {
      imp_.SetOnImportRecord(nullptr);
      data_.SetBeforePost([&c](TDataSet*) { throw EDatabaseFailure(c.databaseFails, 0); });
      EXPECT_EQ(imp_.Execute(), -1);
    } else {
      imp_.SetOnImportRecord([](TObject*, std::int32_t) { throw std::runtime_error("host failed"); });
      EXPECT_THROW(static_cast<void>(imp_.Execute()), std::runtime_error);
    }
    EXPECT_EQ(imp_.LastError(), c.lastError);
    EXPECT_TRUE(InputReleased());
  }
}

TEST_F(ImportRun, ReadErrorMidFileEndsTheRunWithAnError) {
  std::string file;
  for (int i = 0; i < 20; ++i) file += "value,line " + std::to_string(i) + "\r\n";
  Input(file);
  imp_.SetReadBufferSize(16);
  // The descriptor is swapped between two reads of this thread; records
  // read ahead would already be past it.
  imp_.SetReadAhead(false);
  bool swapped = false;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    if (swapped) return;
    swapped = true;
    // A directory under the input's descriptor: the next read() fails.
    int dirFd = ::open(dir_.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    ASSERT_GE(::dup2(dirFd, imp_.FileHandle().Fd()), 0);
    ::close(dirFd);
  });
  try {
    static_cast<void>(imp_.Execute());
    FAIL() << "a read error passed for the end of the input";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "Read failed with error code " + std::to_string(EISDIR));
  }
  EXPECT_FALSE(imp_.FileHandle().Valid());
  EXPECT_TRUE(InputReleased());
  EXPECT_EQ(data_.Hooks.back().rfind("end@", 0), 0u);
}

TEST_F(ImportRun, ByteTwentySixEndsTheImport) {
  Input(
      "a,b\r\nc,d\r\n\x1a"
      "e,f\r\n");
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(Stored(), (Rows{{"a", "b"}, {"c", "d"}}));
}

TEST_F(ImportRun, UnknownImportTypeStoresNothingAndSaysSoPerRecord) {
  Input("a,b\r\n\r\n  \r\nc,d");
  imp_.SetImportType(static_cast<TImportType>(7));
  EXPECT_EQ(imp_.Execute(), 3);
  EXPECT_EQ(messages_.Texts(), (Log{"Unrecognised import type!", "Unrecognised import type!"}));
  EXPECT_TRUE(Stored().empty());
}

TEST_F(ImportRun, FixedWidthRecordsUseTheFieldSizes) {
  TMemoryDataSet fixed;
  fixed.AddFieldDef("A", ftString, 3);
  fixed.AddFieldDef("B", ftString, 2);
  imp_.SetDataSet(&fixed);
  imp_.SetImportType(impFixed);
  Input("abcde\r\nxy\r\n12345678\r\n");
  EXPECT_EQ(imp_.Execute(), 3);
  ASSERT_EQ(fixed.RecordCount(), 3);
  EXPECT_EQ(Show(fixed.FieldValue(0, 1)), "de");
  EXPECT_EQ(Show(fixed.FieldValue(1, 0)), "xy");
  EXPECT_EQ(Show(fixed.FieldValue(2, 0)), "123");
  EXPECT_EQ(Show(fixed.FieldValue(2, 1)), "45");
}

TEST_F(ImportRun, RunsRepeatWithTheSameOutcome) {
  Input("H\r\n1,a\r\n\"\"\r\n2,b\r\nT1\r\nT2");
  imp_.SetFieldDelimiter(fdlDouble);
  imp_.SetHeaderRecords(1);
  imp_.SetHeaderStored(true);
  imp_.SetTrailerRecords(2);
  imp_.SetTrailerStored(true);
  EXPECT_EQ(imp_.Execute(), 2);
  Rows first = Stored();
  Log firstEvents = events_;
  data_.EmptyDataSet();
  events_.clear();
  EXPECT_EQ(imp_.Execute(), 2);
  EXPECT_EQ(Stored(), first);
  EXPECT_EQ(events_, firstEvents);
  EXPECT_EQ(first, (Rows{{"1", "a"}, {"2", "b"}}));
  EXPECT_EQ(imp_.ErrorRecords(), 1);
  EXPECT_EQ(Lines(imp_.HeaderData()), (Log{"H"}));
  EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"T1", "T2"}));
}

TEST_F(ImportRun, DestroyingTheComponentReleasesEverything) {
  Input("a,b\r\n");
  imp_.SetShowProgress(true);
  {
    TCSVImport other(nullptr);
    other.SetInputFile(imp_.InputFile());
    other.SetDataSet(&data_);
    other.SetShowProgress(true);
    ASSERT_TRUE(other.Setup());  // a host driving the pieces by hand
    EXPECT_NE(other.ProgressWindow(), nullptr);
    EXPECT_FALSE(InputReleased());
  }  // window freed, file closed
  EXPECT_TRUE(InputReleased());
  EXPECT_EQ(imp_.Execute(), 1);
}

// ---- records read ahead on a second thread ----

TEST_F(ImportRun, StandardRulesReadWholeRecordsAndTellEmptyTextFromNoValue) {
  imp_.SetDialect(dlStandard);
  imp_.SetFieldDelimiter(fdlDouble);
  imp_.SetHeaderRecords(1);
  imp_.SetHeaderStored(true);
  imp_.SetTrailerRecords(1);
  imp_.SetTrailerStored(true);
  Input(
      "\xEF\xBB\xBF\"A\",B\r\n\"Once upon \r\na time\",\"say \"\"hi\"\"\"\r\n\"\",\n"
      "r1,ab\"cd\n\"end\nof\",\"data\"");
  EXPECT_EQ(imp_.Execute(), 3);
  EXPECT_EQ(Lines(imp_.HeaderData()), (Log{"\"A\",B"}));
  EXPECT_EQ(Stored(),
            (Rows{{"Once upon \r\na time", "say \"hi\""}, {"", "<null>"}, {"r1", "ab\"cd"}}));
  EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"\"end\nof\",\"data\""}));
  // A record's bytes hold the line ends inside it; each count takes the line
  // ends of the record read from the file in the same call.
  EXPECT_EQ(events_, (Log{"begin", "34", "4", "8", "finish"}));
  EXPECT_EQ(imp_.ErrorRecords(), 0);
  // Without records held back, the byte-order mark counts in the first
  // record's bytes.
  events_.clear();
  imp_.SetHeaderRecords(0);
  imp_.SetTrailerRecords(0);
  Input("\xEF\xBB\xBF"
        "a,b\n");
  EXPECT_EQ(imp_.Execute(), 1);
  EXPECT_EQ(events_, (Log{"begin", "7", "finish"}));
}

TEST_F(ImportRun, AQuoteNeverClosedFailsItsRecordOnly) {
  imp_.SetDialect(dlStandard);
  imp_.SetFieldDelimiter(fdlDouble);
  for (const bool readAhead : {false, true}) {
    data_.EmptyDataSet();
    events_.clear();
    imp_.SetReadAhead(readAhead);
    Input("a,b\r\n\"c,d\r\ne,f\r\n");
    EXPECT_EQ(imp_.Execute(), 1);
    EXPECT_EQ(imp_.ErrorRecords(), 1);
    EXPECT_EQ(imp_.RecordLine(), 2);
    EXPECT_EQ(Stored(), (Rows{{"a", "b"}}));
    EXPECT_EQ(events_, (Log{"begin", "5", "11", "finish"}));
  }
  // The classic rules close it silently, as they always have.
  data_.EmptyDataSet();
  imp_.SetDialect(dlClassic);
  EXPECT_EQ(imp_.Execute(), 3);
  EXPECT_EQ(imp_.ErrorRecords(), 0);
}

TEST_F(ImportRun, AFilterSkipsRecordsApartFromFailedOnes) {
  for (const bool readAhead : {false, true}) {  // split here, or split ahead
    SCOPED_TRACE(readAhead);
    data_.EmptyDataSet();
    imp_.SetReadAhead(readAhead);
    Input("a,1\r\nskip,2\r\n\r\nc,3\r\nskip,4\r\n");
    Log seen;
    imp_.SetOnFilterRecord(
        [&](TObject* sender, const TValueList& values, std::int64_t line, bool& accept) {
          EXPECT_EQ(sender, &imp_);
          seen.push_back(std::to_string(line) + ":" + std::string(values[0]) + "," +
                         std::string(values[1]));
          accept = values[0] != "skip";
        });
    EXPECT_EQ(imp_.Execute(), 4);  // read and not failed: the skipped count too
    EXPECT_EQ(seen, (Log{"1:a,1", "2:skip,2", "4:c,3", "5:skip,4"}));  // no blank record
    EXPECT_EQ(imp_.FilteredRecords(), 2);
    EXPECT_EQ(imp_.ErrorRecords(), 0);
    EXPECT_EQ(imp_.StoredRecords(), 2);
    EXPECT_EQ(Stored(), (Rows{{"a", "1"}, {"c", "3"}}));
  }
}

// What a run leaves behind, for comparing a run with records read ahead
// against one reading them on the calling thread.
struct TRunOutcome {
  std::int32_t Result = 0;
  std::int32_t ErrorRecords = 0;
  std::int64_t TextAfterQuote = 0;  // records, and the first one's line
  std::int64_t TextAfterQuoteLine = 0;
  Rows Stored;
  Log Events;
  std::string Raised;
  bool operator==(const TRunOutcome&) const = default;
};

void PrintTo(const TRunOutcome& o, std::ostream* os) {
  *os << "result " << o.Result << ", " << o.ErrorRecords << " failed, " << o.Stored.size()
      << " stored, " << o.Events.size() << " events, raised \"" << o.Raised << "\"";
}

class ImportReadAhead : public ImportRun {
 protected:
  // Runs the import once each way on a fresh dataset.
  std::pair<TRunOutcome, TRunOutcome> RunBothWays() { return {RunOnce(true), RunOnce(false)}; }

  TRunOutcome RunOnce(bool readAhead) {
    data_.EmptyDataSet();
    events_.clear();
    imp_.SetReadAhead(readAhead);
    TRunOutcome o;
    try {
      o.Result = imp_.Execute();
    } catch (const Exception& e) {
      o.Raised = e.Message();
    }
    o.ErrorRecords = imp_.ErrorRecords();
    o.TextAfterQuote = imp_.TextAfterQuoteRecords();
    o.TextAfterQuoteLine = imp_.FirstTextAfterQuoteLine();
    o.Stored = Stored();
    o.Events = events_;
    EXPECT_TRUE(InputReleased());
    return o;
  }
};

// Records that cross the read buffer, the batches of the thread and every
// way of splitting: quotes around and inside values, separators in quotes,
// blank and empty records, runs of mixed line ends, short and long records.
std::string AwkwardInput(int records) {
  const char* shapes[] = {"plain,%d",
                          "\"quoted, with comma\",%d",
                          "in\"side\"quotes,%d",
                          "   ",
                          "\"\"\"\",%d",
                          "\"\",\"\"",
                          "only %d",
                          "%d,two,three,four",
                          "\"open quote,%d"};
  const char* ends[] = {"\r\n", "\n", "\r", "\n\n\r\n", "\r\r"};
  std::string file;
  for (int i = 0; i < records; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, shapes[i % 9], i);
    file += line;
    file += ends[i % 5];
  }
  return file + "last,record";
}

TEST_F(ImportReadAhead, GivesTheRunOfReadingOnTheCallingThread) {
  // Over two thousand records, the thread's batches and a small read buffer
  // cut records at every place; more than ten thousand fill several batches.
  for (int records : {2500, 10000}) {
    SCOPED_TRACE(records);
    Input(AwkwardInput(records));
    imp_.SetReadBufferSize(records == 2500 ? 7 : 4096);
    imp_.SetFieldDelimiter(fdlDouble);
    const auto [ahead, inline_] = RunBothWays();
    EXPECT_EQ(ahead, inline_);
    // Every ninth record is blank; the last one comes on top.
    EXPECT_EQ(ahead.Stored.size(), static_cast<std::size_t>(records + 1 - (records + 5) / 9));
    EXPECT_EQ(ahead.Stored[1], (Row{"quoted, with comma", "1"}));
    EXPECT_EQ(ahead.Stored[2], (Row{"insidequotes", "2"}));
  }
  // With the record cache holding records back, and with fixed widths.
  Input(AwkwardInput(3000));
  imp_.SetTrailerRecords(5);
  imp_.SetTrailerStored(true);
  const auto [cachedAhead, cachedInline] = RunBothWays();
  EXPECT_EQ(cachedAhead, cachedInline);
  EXPECT_EQ(imp_.TrailerData()->Count(), 5);
  imp_.SetTrailerRecords(0);
  imp_.SetImportType(impFixed);
  const auto [fixedAhead, fixedInline] = RunBothWays();
  EXPECT_EQ(fixedAhead, fixedInline);
}

TEST_F(ImportReadAhead, StandardRecordsOverManyLinesGiveTheRunOfReadingInline) {
  // Quoted values spanning lines, doubled quotes and quoted empty values
  // across buffer and batch boundaries, ending in a quote never closed.
  const char* shapes[] = {"\"multi\r\nline, %d\",x", "\"say \"\"%d\"\"\",\"\"", "%d,\"a\nb\nc\"",
                          "plain %d,\"\r\"z", "  "};
  std::string file;
  for (int i = 0; i < 9000; ++i) {
    char record[64];
    std::snprintf(record, sizeof record, shapes[i % 5], i);
    file += record;
    file += i % 3 ? "\r\n" : "\n";
  }
  Input(file + "\"never closed,\r\n1,2");
  imp_.SetDialect(dlStandard);
  imp_.SetFieldDelimiter(fdlDouble);
  imp_.SetReadBufferSize(13);
  const auto [ahead, inline_] = RunBothWays();
  EXPECT_EQ(ahead, inline_);
  EXPECT_EQ(ahead.ErrorRecords, 1);
  EXPECT_EQ(ahead.Stored.size(), 9000u - 9000u / 5);
  EXPECT_EQ(ahead.Stored[0], (Row{"multi\r\nline, 0", "x"}));
  EXPECT_EQ(ahead.Stored[1], (Row{"say \"1\"", ""}));
  EXPECT_EQ(ahead.Stored[3], (Row{"plain 3", "\rz"}));
  // Text after a closing quote is kept and counted, from the first such
  // record's line on.
  EXPECT_EQ(ahead.TextAfterQuote, 9000 / 5);
  EXPECT_EQ(ahead.TextAfterQuoteLine, 7);
}

TEST_F(ImportReadAhead, LargeRecordsAmongSmallOnesGiveTheRunOfReadingInline) {
  // Records of a megabyte and more are handed from the thread's batch to
  // the run without a copy: behind small records, two in a row, and one
  // without a line end at the end of the file; held back as trailers too.
  const std::string large = "\"" + std::string(1536 * 1024, 'x') + "\"\"\",tail";
  std::string file;
  for (int i = 0; i < 3000; ++i) file += "s" + std::to_string(i) + ",b\r\n";
  file += large + "\n" + large + "\r\n1,2\n" + large;
  Input(file);
  imp_.SetDialect(dlStandard);
  imp_.SetFieldDelimiter(fdlDouble);
  for (int trailers : {0, 2}) {
    SCOPED_TRACE(trailers);
    imp_.SetTrailerRecords(trailers);
    const auto [ahead, inline_] = RunBothWays();
    EXPECT_EQ(ahead, inline_);
    ASSERT_EQ(ahead.Stored.size(), 3004u - static_cast<std::size_t>(trailers));
    EXPECT_EQ(ahead.Stored[3000], (Row{std::string(1536 * 1024, 'x') + "\"", "tail"}));
    EXPECT_EQ(ahead.Stored[2999], (Row{"s2999", "b"}));
  }
}

TEST_F(ImportReadAhead, LargeLastValuesAreStoredWholeAndRefusedOnesReportedAsRead) {
  // A large last value goes to its field in the record's own buffer:
  // behind a small value, alone, quoted with doubled quotes or not.
  const std::string x(1536 * 1024, 'x');
  const std::string refused[] = {"bad,\"" + x + "\"", "bad,\"" + x + "\"\"\""};
  Input("a,b\ns,\"" + x + "\"\"\"\r\n" + x + "\n" + refused[0] + "\n" + refused[1] + "\n1,2");
  imp_.SetDialect(dlStandard);
  imp_.SetFieldDelimiter(fdlDouble);
  data_.SetBeforePost([](TDataSet* d) {
    if (d->Fields(0)->AsString() == "bad") throw EDatabaseError("refused");
  });
  std::vector<std::string> reported;
  imp_.SetOnRecordError(
      [&](TObject*, const TRecordError& e) { reported.push_back(std::string(e.Text)); });
  for (bool reportText : {false, true}) {
    SCOPED_TRACE(reportText);
    imp_.SetReportRecordText(reportText);
    reported.clear();
    const auto [ahead, inline_] = RunBothWays();
    EXPECT_EQ(ahead, inline_);
    ASSERT_EQ(ahead.Stored.size(), 4u);
    EXPECT_EQ(ahead.Stored[1], (Row{"s", x + "\""}));
    EXPECT_EQ(ahead.Stored[2], (Row{x, "<null>"}));
    EXPECT_EQ(ahead.Stored[3], (Row{"1", "2"}));
    const std::string none;
    const std::vector<std::string> expected =
        reportText ? std::vector<std::string>{refused[0], refused[1], refused[0], refused[1]}
                   : std::vector<std::string>(4, none);
    EXPECT_TRUE(reported == expected);  // not printed: megabytes
  }
}

TEST_F(ImportReadAhead, HandlersThatReadRecordsOrChangeTheSplitSeeWhatTheyWouldInline) {
  std::string file;
  for (int i = 0; i < 9000; ++i) file += "a" + std::to_string(i) + ",b|c\n";
  Input(file);
  // Every third record, the handler takes the next one for itself; every
  // other record, it reads one of a file of its own.
  std::string other;
  for (int i = 0; i < 5000; ++i) other += "o" + std::to_string(i) + "\n";
  const std::string otherPath = dir_.Put("other.txt", other);
  std::vector<std::string> taken;
  std::vector<std::string> others;
  TFileHandle otherFile;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    std::uint32_t bytes = 0;
    if (imp_.RecordCounter() % 3 == 0) {
      taken.push_back(imp_.ReadTextFileRecord(imp_.FileHandle(), bytes));
    } else if (imp_.RecordCounter() % 2 == 0) {
      others.push_back(imp_.ReadTextFileRecord(otherFile, bytes));
    }
  });
  otherFile = OpenFileForRead(otherPath);
  const std::uint64_t batches = HandOffBatches(THandOff::hoReadAhead);
  const TRunOutcome aheadTaking = RunOnce(true);
  EXPECT_GT(HandOffBatches(THandOff::hoReadAhead), batches);  // the thread read ahead
  const std::vector<std::string> takenAhead = std::exchange(taken, {});
  const std::vector<std::string> othersAhead = std::exchange(others, {});
  otherFile.Close();  // opens are exclusive
  otherFile = OpenFileForRead(otherPath);
  const TRunOutcome inlineTaking = RunOnce(false);
  EXPECT_EQ(aheadTaking, inlineTaking);
  EXPECT_EQ(takenAhead, taken);
  EXPECT_EQ(othersAhead, others);
  ASSERT_EQ(taken.size(), 2250u);
  EXPECT_EQ(taken[0], "a3,b|c");
  ASSERT_EQ(others.size(), 2250u);
  EXPECT_EQ(others[1], "o1");
  EXPECT_EQ(aheadTaking.Stored[3], (Row{"a4", "b|c"}));

  // After the 4000th record the separator becomes the pipe: the records
  // split ahead by the comma are split again.
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    if (imp_.RecordCounter() != 4000) return;
    imp_.SetFieldSeparator(fspPipe);
    imp_.ResolveSeparators();
  });
  imp_.SetFieldSeparator(fspComma);
  const TRunOutcome aheadChanging = RunOnce(true);
  imp_.SetFieldSeparator(fspComma);
  const TRunOutcome inlineChanging = RunOnce(false);
  EXPECT_EQ(aheadChanging, inlineChanging);
  EXPECT_EQ(aheadChanging.Stored[3999], (Row{"a3999", "b|c"}));
  EXPECT_EQ(aheadChanging.Stored[4000], (Row{"a4000,b", "c"}));
}

TEST_F(ImportReadAhead, CachePreFilledByAHandlerKeepsTheOrderOfItsReads) {
  Input("r1\nr2\nr3\nr4\nr5\nr6\nr7\n");
  imp_.SetTrailerRecords(1);
  imp_.SetTrailerStored(true);
  int calls = 0;
  imp_.SetOnImportRecord([&](TObject*, std::int32_t) {
    if (++calls == 2) static_cast<void>(imp_.ReadAheadRecordCache(3));
  });
  for (bool readAhead : {true, false}) {
    calls = 0;
    const TRunOutcome o = RunOnce(readAhead);
    EXPECT_EQ(o.Stored, (Rows{{"r1", "<null>"}, {"r2", "<null>"}, {"r4", "<null>"}}));
    // Each read of the pre-fill turns the cache, so r4 and r5 go back in
    // behind r6; the run's last read hands out r4 and keeps r7.
    EXPECT_EQ(Lines(imp_.TrailerData()), (Log{"r6", "r5", "r7"})) << readAhead;
  }
}

TEST_F(ImportReadAhead, ReadErrorReachesTheRunAfterTheRecordsReadBeforeIt) {
  std::string file;
  for (int i = 0; i < 20; ++i) file += "value,line " + std::to_string(i) + "\r\n";
  Input(file);
  // The header fills the 64-byte buffer with three whole records and part
  // of a fourth; then the descriptor turns into a directory's, so the next
  // read fails wherever it is made.
  imp_.SetReadBufferSize(64);
  imp_.SetHeaderRecords(1);
  imp_.SetHeaderStored(true);
  data_.OnBeginBulk = [&] {
    int dirFd = ::open(dir_.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    ASSERT_GE(::dup2(dirFd, imp_.FileHandle().Fd()), 0);
    ::close(dirFd);
  };
  const auto [ahead, inline_] = RunBothWays();
  EXPECT_EQ(ahead, inline_);
  EXPECT_EQ(ahead.Raised, "Read failed with error code " + std::to_string(EISDIR));
  EXPECT_EQ(ahead.Stored, (Rows{{"value", "line 1"}, {"value", "line 2"}, {"value", "line 3"}}));
}

}  // namespace
}  // namespace korvane
