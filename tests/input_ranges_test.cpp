// An input cut into ranges of whole records (CutInput), each range read by a
// component of its own (InputRange) and the runs summed (AbsorbRun): the
// records, the failures with their numbers and lines, and the counts are
// those of one run over the whole input.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "import/kvcsvimp.h"
#include "support/format_settings.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

struct TRangeCase {
  const char* Name;
  std::string Text;
  TDialect Dialect = dlStandard;
  int Header = 0;
  int StartRecord = 0;
  int SkipLines = 0;
  std::string Comment;
  std::string Separator = ",";
};

// What the runs gave, in input order.
struct TOutcome {
  std::vector<std::string> Rows;      // "id|note"
  std::vector<std::string> Failures;  // "record line reason text"
  std::int64_t Errors = 0, Stored = 0, Records = 0, AfterQuote = 0, FirstAfterQuote = 0;
  std::vector<std::string> Header;
};

std::string Text(const TFieldData& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  return "<null>";
}

class InputRangesTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  // A component over the case's file, its failures noted in out.
  void Configure(TCSVImport& imp, TMemoryDataSet& ds, const TRangeCase& c, TOutcome& out) {
    ds.AddFieldDef("id", ftInteger);
    ds.AddFieldDef("note", ftString, 255);
    imp.SetDataSet(&ds);
    imp.SetInputFile(path);
    imp.SetFieldSeparator(fspCustom);
    imp.SetSeparatorChar(c.Separator);
    imp.SetFieldDelimiter(fdlDouble);
    imp.SetDialect(c.Dialect);
    imp.SetValueErrors(veStrict);
    imp.SetEncoding("UTF-8");
    imp.SetCompression(cmAuto);
    imp.SetSharedReading(true);
    imp.SetHeaderRecords(c.Header);
    imp.SetHeaderStored(c.Header > 0);
    imp.SetStartRecord(c.StartRecord);
    imp.SetSkipLines(c.SkipLines);
    imp.SetCommentChar(c.Comment);
    imp.SetReadBufferSize(GetParam());
    imp.SetOnRecordError([&out](TObject*, const TRecordError& e) {
      out.Failures.push_back(std::to_string(e.Record) + " " + std::to_string(e.Line) + " " +
                             EnumToString(e.Reason) + " " + std::string(e.Text));
    });
  }
  static void Collect(const TMemoryDataSet& ds, TOutcome& out) {
    for (int r = 0; r < ds.RecordCount(); ++r) {
      out.Rows.push_back(Text(ds.FieldValue(r, 0)) + "|" + Text(ds.FieldValue(r, 1)));
    }
  }
  static void Count(const TCSVImport& imp, TOutcome& out) {
    out.Errors = imp.ErrorRecords();
    out.Stored = imp.StoredRecords();
    out.Records = imp.RecordCounter();
    out.AfterQuote = imp.TextAfterQuoteRecords();
    out.FirstAfterQuote = imp.FirstTextAfterQuoteLine();
    for (int i = 0; i < imp.HeaderData()->Count(); ++i) {
      out.Header.push_back(imp.HeaderData()->Strings(i));
    }
  }

  TOutcome Whole(const TRangeCase& c) {
    TOutcome out;
    TMemoryDataSet ds;
    TCSVImport imp(nullptr);
    Configure(imp, ds, c, out);
    EXPECT_GE(imp.Execute(), 0) << imp.LastError();
    Collect(ds, out);
    Count(imp, out);
    return out;
  }

  TOutcome Ranged(const TRangeCase& c, int parts, std::size_t& used) {
    TOutcome out;
    TMemoryDataSet first;
    TCSVImport imp(nullptr);
    Configure(imp, first, c, out);
    std::string why;
    const std::vector<TCSVImport::TInputRange> ranges = imp.CutInput(parts, why);
    EXPECT_EQ(why, "");
    used = ranges.size();
    if (ranges.empty()) return out;
    EXPECT_LE(ranges.size(), static_cast<std::size_t>(parts));
    // The last range runs to the end (or is empty when there are no records).
    EXPECT_TRUE(ranges.back().End == -1 || ranges.back().End == ranges.back().Offset);
    for (std::size_t k = 0; k + 1 < ranges.size(); ++k) {
      EXPECT_EQ(ranges[k].End, ranges[k + 1].Offset) << k;
    }
    imp.SetInputRange(ranges[0]);
    EXPECT_GE(imp.Execute(), 0) << imp.LastError();
    Collect(first, out);
    for (std::size_t k = 1; k < ranges.size(); ++k) {
      TMemoryDataSet ds;
      TCSVImport later(nullptr);
      Configure(later, ds, c, out);
      later.SetInputRange(ranges[k]);
      EXPECT_GE(later.Execute(), 0) << later.LastError();
      Collect(ds, out);
      imp.AbsorbRun(later);
    }
    Count(imp, out);
    return out;
  }

  ScopedFormatSettings settings;
  test::TTempDir dir;
  std::string path;
};

// Records of `count`, each with a quoted line end (CR LF in every third),
// every 17th with an id that is no number, every 23rd with text after its
// closing quote.
std::string Quoted(int count) {
  std::string text = "id,note\n";
  for (int i = 1; i <= count; ++i) {
    const std::string end = i % 3 == 0 ? "\r\n" : "\n";
    text += (i % 17 == 0 ? "x" : std::to_string(i)) + ",\"n" + std::to_string(i) + end + "," +
            (i % 23 == 0 ? "\"tail" : "\"") + end;
  }
  return text;
}

std::string ReplaceCommas(std::string text, const std::string& with) {
  for (std::size_t at = text.find(','); at != std::string::npos; at = text.find(',', at)) {
    text.replace(at, 1, with);
  }
  return text;
}

std::vector<TRangeCase> Cases() {
  std::string classic = "\xEF\xBB\xBFtitle\nnotes\n\nid,note\n";
  for (int i = 1; i <= 120; ++i) {
    classic += std::to_string(i) + ",\"a" + std::to_string(i) + "\"\n";
    if (i % 10 == 0) classic += "\n\r\n# comment " + std::to_string(i) + "\n";
  }
  return {
      {"quoted line ends at every cut", Quoted(300), dlStandard, 1, 0, 0, ""},
      {"from a start record", Quoted(300), dlStandard, 1, 101, 0, ""},
      {"classic rules, skipped lines and comments", classic, dlClassic, 1, 0, 2, "#"},
      {"one huge record", "id,note\n1,\"" + std::string(70000, 'y') + "\n\"\n", dlStandard, 1, 0, 0,
       ""},
      {"fewer records than ranges", "1,a\n2,\"b\nc\"\n3,c", dlStandard, 0, 0, 0, ""},
      {"a quote never closed at the end", "1,a\n2,b\n3,\"open\n4,d\n", dlStandard, 0, 0, 0, ""},
      {"no data records", "id,note\n", dlStandard, 1, 0, 0, ""},
      {"a separator of three bytes", ReplaceCommas(Quoted(300), "\xE2\x86\x92"), dlStandard, 1,
       0, 0, "", "\xE2\x86\x92"},
  };
}

TEST_P(InputRangesTest, RangesReadOnTheirOwnGiveTheRunOverTheWholeInput) {
  for (const TRangeCase& c : Cases()) {
    path = dir.Put("in.csv", c.Text);
    const TOutcome whole = Whole(c);
    for (const int parts : {1, 2, 7}) {
      SCOPED_TRACE(std::string(c.Name) + ", " + std::to_string(parts) + " parts");
      std::size_t used = 0;
      const TOutcome ranged = Ranged(c, parts, used);
      EXPECT_EQ(ranged.Rows, whole.Rows);
      EXPECT_EQ(ranged.Failures, whole.Failures);
      EXPECT_EQ(ranged.Header, whole.Header);
      EXPECT_EQ((std::vector<std::int64_t>{ranged.Errors, ranged.Stored, ranged.Records,
                                           ranged.AfterQuote, ranged.FirstAfterQuote}),
                (std::vector<std::int64_t>{whole.Errors, whole.Stored, whole.Records,
                                           whole.AfterQuote, whole.FirstAfterQuote}));
      // The file is cut as asked where it has records enough.
      if (whole.Records >= 100) {
        EXPECT_EQ(used, static_cast<std::size_t>(parts));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, InputRangesTest, ::testing::Values(3u, 4096u));

// What cannot be cut says why, and is read from its start by one run.
TEST(InputRanges, CompressedOrConvertedInputsAndTrailersAreNotCut) {
  test::TTempDir dir;
  TCSVImport imp(nullptr);
  imp.SetCompression(cmAuto);
  std::string why;
  struct TCase {
    std::string bytes;
    const char* encoding;
    int trailer;
    const char* why;
  } const cases[] = {
      {std::string("\x1f\x8b\x08\x00", 4) + "rest", "", 0, "compressed"},
      {"\xFF\xFE"
       "a\0,\0b\0",
       "UTF-8", 0, "converted"},
      {"a,b\n", "latin1", 0, "converted"},
      {"a,b\nc,d\n", "", 1, "trailer"},
  };
  for (const TCase& c : cases) {
    imp.SetInputFile(dir.Put("in", c.bytes));
    imp.SetEncoding(c.encoding);
    imp.SetTrailerRecords(c.trailer);
    EXPECT_TRUE(imp.CutInput(2, why).empty()) << c.why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  imp.SetInputFile(dir.Path("missing"));
  imp.SetTrailerRecords(0);
  EXPECT_TRUE(imp.CutInput(2, why).empty());
  EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
}

}  // namespace
}  // namespace korvane
