// Failed records and their reasons: the strict readers of each field type,
// and OnRecordError through a real SQLite table.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "datasets/sqlite/sqlite_dataset.h"
#include "import/kvcsvimp.h"
#include "import/posted_records.h"
#include "components/strict_values.h"
#include "support/format_settings.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

// Stored: the field's AsString after the write; nullptr when the text is
// refused with Reason.
struct TStrictCase {
  TFieldType Type;
  const char* Text;
  const char* Stored;
  TRecordErrorReason Reason = rerInvalidValue;
};

const TStrictCase kStrictCases[] = {
    {ftInteger, " -42 ", "-42"},
    {ftInteger, "+1,234,567", "1234567"},
    {ftInteger, "3.00", "3"},
    {ftInteger, "7.", "7"},
    {ftInteger, "-2147483648", "-2147483648"},
    {ftInteger, "3.7", nullptr, rerNotANumber},
    {ftInteger, "12x", nullptr, rerNotANumber},
    {ftInteger, "1,23", nullptr, rerNotANumber},
    {ftInteger, "12,3456", nullptr, rerNotANumber},
    {ftInteger, "1e3", nullptr, rerNotANumber},
    {ftInteger, "--1", nullptr, rerNotANumber},
    {ftInteger, "2147483648", nullptr, rerOutOfRange},
    {ftSmallint, "-32768", "-32768"},
    {ftSmallint, "32768", nullptr, rerOutOfRange},
    {ftWord, "-1", nullptr, rerOutOfRange},
    {ftLargeint, "9223372036854775807", "9223372036854775807"},
    {ftLargeint, "-9223372036854775808", "-9223372036854775808"},
    {ftLargeint, "9223372036854775808", nullptr, rerOutOfRange},
    {ftLargeint, "99999999999999999999999", nullptr, rerOutOfRange},
    {ftFloat, "1,234.5", "1234.5"},
    {ftFloat, "-2.5e3", "-2500"},
    {ftFloat, ".5", "0.5"},
    {ftFloat, "1e-400", nullptr, rerOutOfRange},
    {ftFloat, "0.30000000000000004", "0.30000000000000004"},
    {ftFloat, "0.1000000000000000055511151231257827", nullptr, rerOutOfRange},
    {ftFloat, "9007199254740993", nullptr, rerOutOfRange},
    {ftFloat, "1.5.5", nullptr, rerNotANumber},
    {ftFloat, "abc", nullptr, rerNotANumber},
    {ftFloat, "1e", nullptr, rerNotANumber},
    {ftFloat, "inf", "INF"},  // as an export writes it
    {ftFloat, " -Infinity ", "-INF"},
    {ftFloat, "NaN", "NAN"},
    {ftFloat, "infinite", nullptr, rerNotANumber},
    {ftFloat, "1e400", nullptr, rerOutOfRange},
    {ftDecimalText, "-12.50", "-12.50"},
    {ftDecimalText, " nan", "NaN"},  // as a database writes it
    {ftDecimalText, "-INF", "-Infinity"},
    {ftDecimalText, "infinite", nullptr, rerNotANumber},
    {ftCurrency, "12.5", "12.50"},
    {ftCurrency, "$1,234.56", "1234.56"},
    {ftCurrency, "(12.00)", "-12.00"},
    {ftCurrency, "-$3", "-3.00"},
    {ftCurrency, "12 \xE2\x82\xAC", "12.00"},
    {ftCurrency, "0.00005", nullptr, rerOutOfRange},
    {ftCurrency, "12.345000", "12.345"},
    {ftCurrency, "-5.", "-5.00"},
    {ftCurrency, "1e3", nullptr, rerNotANumber},
    {ftCurrency, "inf", nullptr, rerNotANumber},
    {ftCurrency, "12x", nullptr, rerNotANumber},
    {ftCurrency, "-(12)", nullptr, rerNotANumber},
    {ftCurrency, "$12$", nullptr, rerNotANumber},
    {ftCurrency, "99999999999999999", nullptr, rerOutOfRange},
    {ftBoolean, "TRUE", "True"},
    {ftBoolean, " Yes ", "True"},
    {ftBoolean, "t", "True"},
    {ftBoolean, "N", "False"},
    {ftBoolean, "0", "False"},
    {ftBoolean, "maybe", nullptr, rerNotABoolean},
    {ftBoolean, "2", nullptr, rerNotABoolean},
    {ftBoolean, "yess", nullptr, rerNotABoolean},
    {ftDate, "2/29/2024", "2/29/2024"},
    {ftDate, "2/30/2024", nullptr, rerNotADate},
    {ftDate, "13/45/2020", nullptr, rerNotADate},
    {ftDate, "2024-01-05", nullptr, rerNotADate},
    {ftTime, "13:45:10", "13:45:10"},
    {ftTime, "25:00", nullptr, rerNotADate},
    {ftDateTime, "1/2/2024 10:30:00", "1/2/2024 10:30:00"},
    {ftDateTime, "1/2/2024 10:61", nullptr, rerNotADate},
    {ftString, "  any text 12x ", "  any text 12x "},
    {ftBlob, "\\x4142", "AB"},
    {ftBlob, "\\x4", nullptr, rerInvalidValue},
};

TEST(StrictValues, EachFieldTypeTakesWholeValuesOnlyAndSaysWhyNot) {
  ScopedFormatSettings settings;
  ResetFormatSettings();
  for (const TStrictCase& c : kStrictCases) {
    SCOPED_TRACE(FieldTypeName(c.Type) + " \"" + c.Text + "\"");
    TMemoryDataSet data;
    data.AddFieldDef("v", c.Type);
    data.Open();
    data.Append();
    TField* field = data.Fields(0);
    TValueFault fault;
    const bool stored = WriteStrictFieldData(c.Text, field, true, fault);
    if (c.Stored != nullptr) {
      EXPECT_TRUE(stored) << fault.Message;
      EXPECT_EQ(field->AsString(), c.Stored);
    } else {
      EXPECT_FALSE(stored);
      EXPECT_EQ(fault.Reason, c.Reason) << fault.Message;
      EXPECT_TRUE(field->IsNull());
      EXPECT_TRUE(fault.Message.starts_with("\"" + std::string(c.Text).substr(0, 60)))
          << fault.Message;
    }
  }
}

// A NUMERIC(6,2) column takes four whole digits and two decimals, however
// the number is written, whether it keeps the digits (DECIMAL_TEXT) or a
// double; nothing is rounded.
TEST(StrictValues, ExactDecimalsKeepToTheirColumnsDigits) {
  ScopedFormatSettings settings;
  ResetFormatSettings();
  const TStrictCase cases[] = {
      {ftDecimalText, "1234.5", "1234.5"},
      {ftDecimalText, "-0001234.50", "-1234.50"},
      {ftDecimalText, "12.3e2", "1230"},
      {ftDecimalText, "12345", nullptr, rerOutOfRange},
      {ftDecimalText, "-12345.6", nullptr, rerOutOfRange},
      {ftDecimalText, "1.234", nullptr, rerOutOfRange},
      {ftDecimalText, "1.2e4", nullptr, rerOutOfRange},
      {ftBCD, "1234.5", "1234.5"},
      {ftBCD, "12345", nullptr, rerOutOfRange},
      {ftBCD, "-12345.6", nullptr, rerOutOfRange},
      {ftBCD, "1.234", nullptr, rerOutOfRange},
  };
  for (const TStrictCase& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.Type) + " " + c.Text);
    TMemoryDataSet data;
    data.SetFieldDefs({{"v", c.Type, 0, false, false, 6, 2}});
    data.Open();
    data.Append();
    TValueFault fault;
    const bool stored = WriteStrictFieldData(c.Text, data.Fields(0), true, fault);
    if (c.Stored != nullptr) {
      EXPECT_TRUE(stored) << fault.Message;
      EXPECT_EQ(data.Fields(0)->AsString(), c.Stored);
    } else {
      EXPECT_FALSE(stored);
      EXPECT_EQ(fault.Reason, c.Reason) << fault.Message;
    }
  }
  // An exponent beyond what the reader counts gives no count it cannot know.
  TMemoryDataSet data;
  data.SetFieldDefs({{"v", ftDecimalText, 0, false, false, 6, 2}});
  data.Open();
  data.Append();
  TValueFault fault;
  EXPECT_FALSE(WriteStrictFieldData("1e99999999999", data.Fields(0), true, fault));
  EXPECT_NE(fault.Message.find("has more than 1000 whole digits; NUMERIC(6,2) keeps 4"),
            std::string::npos)
      << fault.Message;
}

// A column of as many decimals as digits keeps no whole digit, and one of
// more decimals than digits only numbers below 10^(p-s); a number's whole
// digits count where its exponent puts them.
TEST(StrictValues, WholeDigitsFollowPrecisionLessScale) {
  ScopedFormatSettings settings;
  ResetFormatSettings();
  const struct {
    TFieldType Type;
    int Precision, Scale;
    const char* Text;
    const char* Said;  // nullptr: stored
  } cases[] = {
      {ftBCD, 2, 2, "-0.99", nullptr},
      {ftBCD, 2, 2, "0", nullptr},
      {ftBCD, 2, 2, "12.34", "has 2 whole digits; NUMERIC(2,2) keeps 0"},
      {ftDecimalText, 2, 2, "1.0", "has 1 whole digit; NUMERIC(2,2) keeps 0"},
      {ftDecimalText, 2, 2, "0.5e1", "has 1 whole digit; NUMERIC(2,2) keeps 0"},
      {ftDecimalText, 6, 2, "0.5e5", "has 5 whole digits; NUMERIC(6,2) keeps 4"},
      {ftDecimalText, 2, 3, "-0.099", nullptr},
      {ftBCD, 2, 3, "0.1", "is out of range; NUMERIC(2,3) keeps absolute values below 0.1"},
      {ftDecimalText, 1, 4, "0.01", "NUMERIC(1,4) keeps absolute values below 0.001"},
      // A negative scale (Precision -p) keeps multiples of 10^-s.
      {ftDecimalText, -3, -1, "-9990", nullptr},
      {ftDecimalText, -3, -1, "0", nullptr},
      {ftDecimalText, -3, -1, "1234",
       "has a non-zero digit below the tens; NUMERIC(3,-1) keeps multiples of 10"},
      {ftDecimalText, -3, -1, "120.5", "has a non-zero digit below the tens"},
      {ftDecimalText, -3, -1, "12340", "has 5 whole digits; NUMERIC(3,-1) keeps 4"},
      {ftBCD, -2, -4, "1.2e5", nullptr},
      {ftBCD, -2, -4, "125000",
       "has a non-zero digit below 10000; NUMERIC(2,-4) keeps multiples of 10000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.Type) + " " + c.Text);
    TMemoryDataSet data;
    data.SetFieldDefs({{"v", c.Type, 0, false, false, c.Precision, c.Scale}});
    data.Open();
    data.Append();
    TValueFault fault;
    const bool stored = WriteStrictFieldData(c.Text, data.Fields(0), true, fault);
    EXPECT_EQ(stored, c.Said == nullptr) << fault.Message;
    if (c.Said != nullptr) {
      EXPECT_NE(fault.Message.find(c.Said), std::string::npos) << fault.Message;
    }
    // The forgiving rules store a number of digits below 10^-s rounded,
    // and count it.
    if (c.Scale < 0) {
      const bool low =
          c.Said != nullptr && std::string_view(c.Said).find("non-zero") != std::string_view::npos;
      EXPECT_EQ(RoundsValue(c.Text, data.Fields(0)), low);
    }
  }
}

TEST(StrictValues, NumbersFollowTheFormatsSeparators) {
  ScopedFormatSettings settings;
  FormatSettings().DecimalSeparator = ',';
  FormatSettings().ThousandSeparator = '.';
  TMemoryDataSet data;
  data.AddFieldDef("f", ftFloat);
  data.AddFieldDef("m", ftCurrency);
  data.Open();
  data.Append();
  TValueFault fault;
  EXPECT_TRUE(WriteStrictFieldData("1.234,5", data.Fields(0), false, fault));
  EXPECT_EQ(data.Fields(0)->AsFloat(), 1234.5);
  EXPECT_TRUE(WriteStrictFieldData("(1.000,25 \xE2\x82\xAC)", data.Fields(1), false, fault));
  EXPECT_EQ(data.Fields(1)->AsCurrency(), -10002500);
  EXPECT_FALSE(WriteStrictFieldData("1,234.5", data.Fields(0), false, fault));
  EXPECT_EQ(fault.Reason, rerNotANumber);
}

// What OnRecordError reported of one record.
struct TReported {
  std::int32_t Record;
  std::int64_t Line;
  std::string Field;
  TRecordErrorReason Reason;
  std::string Message;
  bool operator==(const TReported&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TReported& r) {
  return os << "{" << r.Record << ", line " << r.Line << ", " << r.Field << ", "
            << EnumToString(r.Reason) << ", " << r.Message << "}";
}

class RecordErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFormatSettings();
    table.SetDatabaseFile(dir.Path("t.db"));
    table.ExecSQL(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, amount MONEY, born DATE, active BOOLEAN, "
        "n SMALLINT)");
    table.SetTableName("t");
    import.SetDataSet(&table);
    import.SetFieldSeparator(fspComma);
    import.SetFieldDelimiter(fdlDouble);
    import.SetDialect(dlStandard);
    import.SetOnRecordError([this](TObject* sender, const TRecordError& e) {
      EXPECT_EQ(sender, &import);
    reported.push_back({e.Record, e.Line, std::string(e.FieldName), e.Reason, e.Message});
    texts.emplace_back(e.Text);
    values.emplace_back(e.Value);
  });
}

std::vector<std::string>
Ids() {
  std::vector<std::string> ids;
  TSQLiteDataSet read(nullptr);
  read.SetDatabaseFile(dir.Path("t.db"));
  read.SetQuery("SELECT id FROM t ORDER BY id");
  read.Open();
  for (; !read.Eof(); read.Next()) ids.push_back(read.Fields(0)->AsString());
  return ids;
}

ScopedFormatSettings settings;
test::TTempDir dir;
TSQLiteDataSet table{nullptr};
TCSVImport import{nullptr};
std::vector<TReported> reported;
std::vector<std::string> texts;
std::vector<std::string> values;
};  // namespace

// Record 12 holds 3505 values, the 2505th quoted with a doubled quote:
// wider than the values a split keeps for 5 fields.
const std::string kWideRecord =
    "12,1,1/2/2000,1,1" + std::string(2500, ',') + "\"q,\"\"r\"" + std::string(1000, ',');
const std::string kMixedFile =
    "1,12.50,1/2/2000,yes,5\n"
    "2,12x,1/2/2000,yes,5\r\n"
    "1,3,1/2/2000,no,1\n"
    "4,1,2/30/2000,y,1\n"
    "\"5\",\"multi\n"
    "line\",1/2/2000,t,1\n"
    "6,1,1/2/2000,maybe,1\n"
    "7,1,1/2/2000,1,40000\n"
    "8,1,1/2/2000,1,1,extra\n"
    "9,1,1/2/2000,1,1,,\n"
    "11,\"1\"\"2\",1/2/2000,1,1\n" +
    kWideRecord + "\n10,\"unclosed\n";

TEST_F(RecordErrorTest, StrictRunReportsEveryFailedRecordWithItsLineFieldAndReason) {
  import.SetInputFile(dir.Put("in.csv", kMixedFile));
  import.SetValueErrors(veStrict);
  for (bool readAhead : {false, true}) {
    SCOPED_TRACE(readAhead ? "read ahead" : "read on the caller's thread");
    table.Close();
    table.ExecSQL("DELETE FROM t");
    reported.clear();
    texts.clear();
    values.clear();
    import.SetReadAhead(readAhead);
    EXPECT_EQ(import.Execute(), 2);
    EXPECT_EQ(import.ErrorRecords(), 10);
    EXPECT_EQ(import.StoredRecords(), 2);
    EXPECT_EQ(Ids(), (std::vector<std::string>{"1", "9"}));
    ASSERT_EQ(reported.size(), 10u);
    EXPECT_EQ(reported[0], (TReported{2, 2, "amount", rerNotANumber, "\"12x\" is not a number"}));
    EXPECT_EQ(reported[1].Reason, rerRefused);
    EXPECT_EQ(reported[1].Line, 3);
    EXPECT_NE(reported[1].Message.find("UNIQUE constraint failed: t.id"), std::string::npos)
        << reported[1].Message;
    EXPECT_EQ(reported[2], (TReported{4, 4, "born", rerNotADate,
                                      "\"2/30/2000\" is not a date in the format m/d/yyyy"}));
    EXPECT_EQ(reported[3],
              (TReported{5, 5, "amount", rerNotANumber, "\"multi\nline\" is not a number"}));
    EXPECT_EQ(texts[3], "\"5\",\"multi\nline\",1/2/2000,t,1");
    EXPECT_EQ(reported[4].Field, "active");
    EXPECT_EQ(reported[4].Reason, rerNotABoolean);
    EXPECT_EQ(reported[4].Line, 7);
    EXPECT_EQ(reported[5],
              (TReported{7, 8, "n", rerOutOfRange, "\"40000\" is out of range (-32768 to 32767)"}));
    EXPECT_EQ(values[5], "40000");
    EXPECT_EQ(reported[6], (TReported{8, 9, "", rerTooManyValues, "6 values for 5 fields"}));
    EXPECT_EQ(texts[6], "8,1,1/2/2000,1,1,extra");
    // Taking the doubled quote out does not change the text reported.
    EXPECT_EQ(reported[7],
              (TReported{10, 11, "amount", rerNotANumber, "\"1\"2\" is not a number"}));
    EXPECT_EQ(texts[7], "11,\"1\"\"2\",1/2/2000,1,1");
    EXPECT_EQ(reported[8], (TReported{11, 12, "", rerTooManyValues, "2505 values for 5 fields"}));
    EXPECT_EQ(texts[8], kWideRecord);
    EXPECT_EQ(reported[9].Reason, rerUnclosedQuote);
    EXPECT_EQ(reported[9].Line, 13);
    EXPECT_TRUE(texts[9].starts_with("10,\"unclosed")) << texts[9];
  }
}

TEST_F(RecordErrorTest, WithoutRecordTextTheSameFailuresAreReportedWithNoText) {
  import.SetInputFile(dir.Put("in.csv", kMixedFile));
  import.SetValueErrors(veStrict);
  EXPECT_EQ(import.Execute(), 2);
  const std::vector<TReported> withText = reported;
  import.SetReportRecordText(false);
  for (bool readAhead : {false, true}) {
    table.Close();
    table.ExecSQL("DELETE FROM t");
    reported.clear();
    texts.clear();
    import.SetReadAhead(readAhead);
    EXPECT_EQ(import.Execute(), 2);
    EXPECT_EQ(reported, withText);
    EXPECT_EQ(texts, std::vector<std::string>(withText.size()));
  }
}

TEST_F(RecordErrorTest, LenientRunStoresWhatConvertsAndReportsOnlyRefusals) {
  import.SetInputFile(dir.Put("in.csv", kMixedFile));
  EXPECT_EQ(import.Execute(), 10);
  EXPECT_EQ(Ids(),
            (std::vector<std::string>{"1", "2", "4", "5", "6", "7", "8", "9", "11", "12"}));
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].Reason, rerRefused);
  EXPECT_EQ(reported[0].Record, 3);
  EXPECT_EQ(reported[1].Reason, rerUnclosedQuote);
}

TEST_F(RecordErrorTest, HandlerThatRaisesStopsTheRun) {
  import.SetInputFile(dir.Put("in.csv", kMixedFile));
  import.SetValueErrors(veStrict);
  import.SetOnRecordError([](TObject*, const TRecordError&) {
    throw std::runtime_error("enough");
});
EXPECT_THROW(static_cast<void>(import.Execute()), std::runtime_error);
// The record before the failed one is kept; nothing after it was read.
EXPECT_EQ(Ids(), (std::vector<std::string>{"1"}));
}  // namespace korvane

// Records kept while a dataset holds them, more than the memory part of the
// keeper takes: found by post number with their text, forgotten in part and
// then in full.
TEST(PostedRecordsTest, KeepsManyRecordsUntilSettled) {
  TPostedRecords posted;
  constexpr int kRecords = 60000;  // the index alone outgrows its memory part
  for (int i = 1; i <= kRecords; ++i) {
    posted.Keep(100 + 2 * i, i, 10 * i, "record " + std::to_string(i));
  }
  for (int i : {1, 2, 29999, kRecords}) {
    const std::optional<TPostedRecords::TRecord> r = posted.Find(100 + 2 * i);
    ASSERT_TRUE(r.has_value()) << i;
    EXPECT_EQ(r->Record, i);
    EXPECT_EQ(r->Line, 10 * i);
    EXPECT_EQ(posted.Text(*r), "record " + std::to_string(i));
  }
  EXPECT_FALSE(posted.Find(103).has_value());
  posted.ForgetUpTo(100 + 2 * 30000 + 1);
  EXPECT_EQ(posted.Count(), static_cast<std::size_t>(kRecords - 30000));
  EXPECT_FALSE(posted.Find(100 + 2 * 30000).has_value());
  EXPECT_EQ(posted.Text(*posted.Find(100 + 2 * 30001)), "record 30001");
  posted.ForgetUpTo(100 + 2 * kRecords);
  EXPECT_EQ(posted.Count(), 0u);
  posted.Keep(5, 1, 1, "again");
  EXPECT_EQ(posted.Text(*posted.Find(5)), "again");
}

}  // namespace
}  // namespace korvane
