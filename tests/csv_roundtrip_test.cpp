// Standard CSV both ways: a table of awkward values written by TCSVExport and
// read back by TCSVImport holds every value as it was, nulls and empty texts
// apart, for several separators and both quote characters, through the
// memory dataset and through SQLite.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "text/formats.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "support/captured_messages.h"
#include "support/temp_dir.h"
#if KORVANE_WITH_SQLITE
#include "datasets/sqlite/sqlite_dataset.h"
#endif

namespace korvane {
namespace {

using test::TTempDir;

const std::vector<TFieldDef> kFields = {
    {"Id", ftInteger},     {"Name", ftString, 200}, {"Note", ftMemo},      {"Amount", ftFloat},
    {"Active", ftBoolean}, {"Day", ftDate},         {"Stamp", ftDateTime}, {"Tail", ftString, 200}};

// A text of pieces that need quoting, line ends of every kind, blanks at
// either end, multibyte UTF-8 (the separators of several bytes, and
// characters that share bytes with them) and both quote characters.
std::string AwkwardText(std::mt19937& rnd) {
  static const char* pieces[] = {"a",
                                 "\"",
                                 "'",
                                 ",",
                                 "\t",
                                 ";",
                                 "\r",
                                 "\n",
                                 "\r\n",
                                 " ",
                                 "é",
                                 "\xE2\x82\xAC",
                                 "\xE6\x97\xA5",
                                 "x y",
                                 "\xC2\xA6",
                                 "\xC2\xA2",
                                 "\xE2\x86\x92",
                                 "\xE2\x86\x91",
                                 "\xF0\x9F\xA6\x86",
                                 "\xF0\x9F\xA6\x85",
                                 "\\"};
  std::string text;
  for (std::uint32_t n = rnd() % 9; n > 0; --n) text += pieces[rnd() % std::size(pieces)];
  return text;
}

TFieldData Text(std::mt19937& rnd) {
  switch (rnd() % 8) {
    case 0:
      return {};  // null
    case 1:
      return std::string();
    default:
      return AwkwardText(rnd);
  }
}

std::vector<std::vector<TFieldData>> AwkwardTable(std::uint32_t seed) {
  std::mt19937 rnd(seed);
  std::vector<std::vector<TFieldData>> rows;
  for (std::int64_t id = 1; id <= 300; ++id) {
    const bool none = rnd() % 6 == 0;
    rows.push_back({id, Text(rnd), Text(rnd),
                    none ? TFieldData{} : TFieldData{static_cast<double>(rnd() % 100000) / 64},
                    none ? TFieldData{} : TFieldData{rnd() % 2 == 0},
                    none ? TFieldData{} : TFieldData{static_cast<double>(rnd() % 60000)},
                    none ? TFieldData{} : TFieldData{(rnd() % 6000000) / 1000.0}, Text(rnd)});
  }
  // Nulls alone: tab-separated, a line of tabs.
  rows.emplace_back(kFields.size());
  return rows;
}

struct TRules {
  TFieldSeparator Separator;
  const char* Custom;
  TFieldDelimiter Quote;
  const char* Exact = "";  // SeparatorChar: a UTF-8 character of several bytes
  const char* Escape = "";  // EscapeChar
};

void PrintTo(const TRules& r, std::ostream* os) {
  *os << EnumToString(r.Separator) << " '" << r.Custom << "' " << EnumToString(r.Quote) << " '"
      << r.Exact << "' '" << r.Escape << "'";
}

template <class C>
void Apply(C& component, const TRules& rules) {
  component.SetDialect(dlStandard);
  component.SetWholeValues(true);
  component.SetFieldSeparator(rules.Separator);
  component.SetCustomSeparator(rules.Custom);
  component.SetSeparatorChar(rules.Exact);
  component.SetFieldDelimiter(rules.Quote);
  component.SetEscapeChar(rules.Escape);
}

class CsvRoundTrip : public ::testing::TestWithParam<TRules> {
 protected:
  CsvRoundTrip() { ResetFormatSettings(); }

  // Writes data to path under the test's rules; the records written.
  std::int32_t Export(TDataSet& data, const std::string& path) {
    TCSVExport exporter(nullptr);
    Apply(exporter, GetParam());
    exporter.SetDataSet(&data);
    exporter.SetOutputFile(path);
    return exporter.Execute();
  }
  // Reads path into data under the test's rules; the records read.
  std::int32_t Import(TDataSet& data, const std::string& path) {
    TCSVImport import(nullptr);
    Apply(import, GetParam());
    import.SetDataSet(&data);
    import.SetInputFile(path);
    import.SetReadBufferSize(61);  // records across many buffer boundaries
    const std::int32_t result = import.Execute();
    EXPECT_EQ(import.ErrorRecords(), 0);
    return result;
  }

  TTempDir dir_;
  test::TCapturedMessages messages_;
};

INSTANTIATE_TEST_SUITE_P(
    Rules, CsvRoundTrip,
    ::testing::Values(TRules{fspComma, "", fdlDouble}, TRules{fspTab, "", fdlDouble},
                      TRules{fspCustom, ";", fdlDouble}, TRules{fspComma, "", fdlSingle},
                      TRules{fspTab, "", fdlSingle}, TRules{fspCustom, ";", fdlSingle},
                      TRules{fspCustom, "", fdlDouble, "\xC2\xA6"},
                      TRules{fspCustom, "", fdlDouble, "\xE2\x86\x92"},
                      TRules{fspCustom, "", fdlSingle, "\xF0\x9F\xA6\x86"},
                      TRules{fspComma, "", fdlDouble, "", "\\"},
                      TRules{fspTab, "", fdlSingle, "", "\\"},
                      TRules{fspCustom, "", fdlDouble, "\xE2\x86\x92", "\\"}),
    [](const auto& p) {
      const std::size_t wide = std::string_view(p.param.Exact).size();
      return EnumToString(p.param.Quote) + "_" + (*p.param.Escape != 0 ? "escaped_" : "") +
             (wide > 0                         ? "utf8_" + std::to_string(wide) + "_bytes"
              : p.param.Separator == fspCustom ? std::string("semicolon")
                                               : EnumToString(p.param.Separator));
    });

TEST_P(CsvRoundTrip, EveryValueComesBackThroughTheMemoryDataset) {
  const auto rows = AwkwardTable(17);
  TMemoryDataSet source;
  source.SetFieldDefs(kFields);
  source.Open();
  for (const auto& row : rows) source.AppendData(row);
  const std::string path = dir_.Path("table.csv");
  ASSERT_EQ(Export(source, path), static_cast<std::int32_t>(rows.size()));

  TMemoryDataSet back;
  back.SetFieldDefs(kFields);
  ASSERT_EQ(Import(back, path), static_cast<std::int32_t>(rows.size()));
  ASSERT_EQ(back.RecordCount(), source.RecordCount());
  for (int r = 0; r < source.RecordCount(); ++r) {
    for (int f = 0; f < source.FieldCount(); ++f) {
      ASSERT_EQ(back.FieldValue(r, f), source.FieldValue(r, f))
          << "record " << r << ", field " << kFields[static_cast<std::size_t>(f)].Name;
    }
  }
  EXPECT_TRUE(messages_.Shown().empty());
}

#if KORVANE_WITH_SQLITE
TEST_P(CsvRoundTrip, SqliteStoresWhatItReadsAndWritesItBackTheSame) {
  const auto rows = AwkwardTable(23);
  TMemoryDataSet source;
  source.SetFieldDefs(kFields);
  source.Open();
  for (const auto& row : rows) source.AppendData(row);
  const std::string first = dir_.Path("first.csv");
  ASSERT_EQ(Export(source, first), static_cast<std::int32_t>(rows.size()));

  TSQLiteDataSet table(nullptr);
  table.SetDatabaseFile(dir_.Path("t.db"));
  table.SetTableName("t");
  table.SetCreateTable(true);
  TStringList columns{"Id INTEGER",     "Name TEXT", "Note MEMO",      "Amount REAL",
                      "Active BOOLEAN", "Day DATE",  "Stamp DATETIME", "Tail TEXT"};
  table.SetColumns(&columns);
  ASSERT_EQ(Import(table, first), static_cast<std::int32_t>(rows.size()));
  table.Close();
  const std::string second = dir_.Path("second.csv");
  ASSERT_EQ(Export(table, second), static_cast<std::int32_t>(rows.size()));
  EXPECT_EQ(dir_.Get("second.csv"), dir_.Get("first.csv"));
}
#endif

}  // namespace
}  // namespace korvane
