#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "datasets/memory/memory_dataset.h"
#include "text/formats.h"
#include "components/kvtypes.h"
#include "support/format_settings.h"

namespace korvane {
namespace {

TEST(FieldInFieldList, ActionAndListDecideWhichFieldsTakePart) {
  TStringList empty;
  TStringList names{"CUSTNAME", "CustName ", "CustName=1", "Qty"};
  EXPECT_TRUE(FieldInFieldList(flaInclude, nullptr, "Any"));
  EXPECT_TRUE(FieldInFieldList(flaExclude, nullptr, "Any"));
  EXPECT_FALSE(FieldInFieldList(flaInclude, &empty, "Any"));
  EXPECT_TRUE(FieldInFieldList(flaExclude, &empty, "Any"));
  EXPECT_TRUE(FieldInFieldList(flaInclude, &names, "CustName")) << "case-insensitive";
  EXPECT_FALSE(FieldInFieldList(flaExclude, &names, "CustName"));
  EXPECT_FALSE(FieldInFieldList(flaInclude, &names, "Cust")) << "no partial match";
  EXPECT_FALSE(FieldInFieldList(flaInclude, &names, "CustName=")) << "entries not split at '='";
  EXPECT_TRUE(FieldInFieldList(flaNone, &names, "Qty"));
  EXPECT_TRUE(FieldInFieldList(flaNone, &empty, "Qty"));
}

TEST(TextFunctions, NumericOnlyKeepsDigitsMinusAndPoint) {
  const std::pair<const char*, const char*> cases[] = {
      {"1,234.50", "1234.50"},
      {"$12.99", "12.99"},
      {"(45)", "45"},
      {"12-34", "12-34"},
      {"1.2.3", "1.2.3"},
      {"1e5", "15"},
      {"+5", "5"},
      {" 7 ", "7"},
      {"abc", ""},
      {"   ", ""},
      {"", ""},
      {"\t\r\n", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(NumericOnly(text), expected) << text;
}

TEST(TextFunctions, StrToBooleanIsTrueForAnyPieceOfTheTrueLiteral) {
  for (const char* t :
       {"TRUE", "true", "True", " Yes ", "yes", "Y",  "y", "1",   " 1 ",    "\t1\r\n",
        "T",    "E",    "RUE",  "UE",    "S",   "ES", "|", "E|1", "TRUE|1", "|TRUE|1|YES|"}) {
    EXPECT_TRUE(StrToBoolean(t)) << "'" << t << "'";
  }
  for (const char* f : {"FALSE", "F", "0", "NO", "N", "on", "11", "-1", "TRUE1", "YES!", "y e s",
                        "", "   ", "|TRUE|1|YES||"}) {
    EXPECT_FALSE(StrToBoolean(f)) << "'" << f << "'";
  }
}

// One field of each kind WriteFieldData treats apart, in a record being
// inserted.
class WriteFieldDataTest : public ::testing::Test {
 protected:
  WriteFieldDataTest() {
    data.SetFieldDefs({{"Flag", ftBoolean},
                       {"Amount", ftCurrency},
                       {"Ratio", ftFloat},
                       {"Day", ftDate},
                       {"At", ftTime},
                       {"Stamp", ftDateTime},
                       {"Notes", ftMemo},
                       {"Pic", ftGraphic},
                       {"Qty", ftSmallint},
                       {"Name", ftString, 5}});
    data.Open();
    data.Append();
  }

  TField* F(const char* name) { return data.FieldByName(name); }

  ScopedFormatSettings settings;  // tests may change the separators
  TMemoryDataSet data;
};

TEST_F(WriteFieldDataTest, EmptyTextStoresNothingButBlanksAreAValue) {
  EXPECT_TRUE(WriteFieldData("", F("Flag")));
  EXPECT_TRUE(F("Flag")->IsNull());
  EXPECT_TRUE(WriteFieldData("", F("Amount")));
  EXPECT_TRUE(F("Amount")->IsNull());
  EXPECT_TRUE(WriteFieldData("   ", F("Flag")));
  EXPECT_FALSE(F("Flag")->IsNull());
  EXPECT_FALSE(F("Flag")->AsBoolean());
  EXPECT_FALSE(WriteFieldData("   ", F("Amount"))) << "no digits: StrToFloat refuses ''";
  EXPECT_TRUE(F("Amount")->IsNull());
}

TEST_F(WriteFieldDataTest, CurrencyTakesTheNumericCharactersRoundedToTenThousandths) {
  TField* amount = F("Amount");
  EXPECT_TRUE(WriteFieldData("$1,234.50", amount));
  EXPECT_EQ(amount->AsCurrency(), 12345000);
  EXPECT_TRUE(WriteFieldData("(12.50)", amount));
  EXPECT_EQ(amount->AsCurrency(), 125000) << "parentheses are dropped: positive";
  EXPECT_FALSE(WriteFieldData("12.50-", amount));
  EXPECT_EQ(amount->AsCurrency(), 125000);
  EXPECT_TRUE(WriteFieldData("12.345678", amount));
  EXPECT_EQ(amount->AsCurrency(), 123457);
  EXPECT_TRUE(WriteFieldData("-0.00005", amount));
  EXPECT_EQ(amount->AsCurrency(), -1) << "half a ten-thousandth rounds away from zero";
  EXPECT_FALSE(WriteFieldData("99999999999999999999", amount)) << "beyond 64 bits";
  // Long texts are filtered the same way as short ones.
  const std::string padding(70, ' ');
  EXPECT_TRUE(WriteFieldData(padding + "USD 2,000.75" + padding, amount));
  EXPECT_EQ(amount->AsCurrency(), 20007500);
  EXPECT_FALSE(WriteFieldData(padding + "n/a" + padding, amount));
  EXPECT_EQ(amount->AsCurrency(), 20007500);

  // Rounding to the nearest ten-thousandth, halves away from zero, on the
  // text's own digits: the tie of a fifth decimal 5 always goes up, also
  // where the nearest double lies below it (0.00015, 12.34565).
  const std::pair<const char*, std::int64_t> ties[] = {
      {"0.00005", 1},         {"2.00005", 20001},          {"-2.00005", -20001},
      {"0.00015", 2},         {"12.34565", 123457},        {"-0.00035", -4},
      {"0.000149999", 1},     {"123456.78905", 1234567891}, {"922337203685.47758", 9223372036854776},
      {"-450359962737.04965", -4503599627370497}};
  for (const auto& [text, count] : ties) {
    ASSERT_TRUE(WriteFieldData(text, amount)) << text;
    EXPECT_EQ(amount->AsCurrency(), count) << text;
  }
  for (int k = -20000; k <= 20000; k += 7) {
    const int four = 1000 + (k * 37 % 9000 + 9000) % 9000;  // four decimals, then a tie
    const std::string text = std::to_string(k) + "." + std::to_string(four) + "5";
    ASSERT_TRUE(WriteFieldData(text, amount)) << text;
    const std::int64_t scaled = std::int64_t{k < 0 ? -k : k} * 10000 + four + 1;
    ASSERT_EQ(amount->AsCurrency(), k < 0 ? -scaled : scaled) << text;
  }

  // Amounts of up to eleven whole digits and four decimals, with the bytes
  // the filter drops around and between them, under both decimal
  // separators: the stored count is what the filtered text reads as.
  std::uint32_t seed = 99;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  const char* const extras[] = {"", "$", " ", ",", "-", ".", "e", "--", "1"};
  for (char decimal : {'.', ','}) {
    FormatSettings().DecimalSeparator = decimal;
    for (int round = 0; round < 20000; ++round) {
      std::string text = extras[next(9)];
      const auto whole = next(13);
      for (std::uint32_t i = 0; i < whole; ++i) text += static_cast<char>('0' + next(10));
      text += extras[next(9)];
      if (next(3) != 0) text += '.';
      const auto decimals = next(7);
      for (std::uint32_t i = 0; i < decimals; ++i) text += static_cast<char>('0' + next(10));
      text += extras[next(9)];
      double value = 0;
      const bool reads = TryStrToFloat(NumericOnly(text), value);
      // With twelve whole digits and more a double is no longer exact:
      // tested below.
      if (reads && std::fabs(value) >= 1e11) continue;
      amount->Clear();
      ASSERT_EQ(WriteFieldData(text, amount), reads) << decimal << " '" << text << "'";
      if (reads) {
        // The kept text's digits, the fifth decimal rounding the fourth.
        const std::string kept = NumericOnly(text);
        const std::size_t point = std::min(kept.find('.'), kept.size());
        std::string fraction = point < kept.size() ? kept.substr(point + 1) : std::string();
        fraction.resize(5, '0');
        const bool minus = kept.starts_with('-');
        const std::string units = kept.substr(minus ? 1 : 0, point - (minus ? 1 : 0));
        std::int64_t expected = (units.empty() ? 0 : std::stoll(units)) * 10000 +
                                std::stoll(fraction.substr(0, 4)) + (fraction[4] >= '5' ? 1 : 0);
        ASSERT_EQ(amount->AsCurrency(), minus ? -expected : expected)
            << decimal << " '" << text << "'";
      }
    }
  }
  FormatSettings().DecimalSeparator = '.';

  EXPECT_TRUE(WriteFieldData("2.00025", amount));
  EXPECT_EQ(amount->AsCurrency(), 20003) << "a tie goes away from zero";

  // Large amounts of at most four decimals are read exactly, so that the
  // text an export writes for an amount reads back as that amount; through
  // a double they would be off by one.
  const std::pair<const char*, std::int64_t> large[] = {
      {"390832237273.5416", 3908322372735416},
      {"-450359962737.0497", -4503599627370497},
      {"-922337203685.4775", -9223372036854775},
      {"e422852764711.392$", 4228527647113920},
      {"922337203685477.5807", INT64_MAX},
      {"$ 900,719,925,474.0993", 9007199254740993},
      {"000000000000000000000001.5", 15000}};
  for (const auto& [text, count] : large) {
    ASSERT_TRUE(WriteFieldData(text, amount)) << text;
    EXPECT_EQ(amount->AsCurrency(), count) << text;
    // The field's own text, through the field and through the import.
    const std::string written = amount->AsString();
    amount->SetAsString(written);
    EXPECT_EQ(amount->AsCurrency(), count) << written;
    EXPECT_TRUE(WriteFieldData(written, amount)) << written;
    EXPECT_EQ(amount->AsCurrency(), count) << written;
  }

  // With the flag clear the field is a float: the same text filtering, and
  // the whole value kept.
  amount->SetCurrency(false);
  EXPECT_TRUE(WriteFieldData("$12.345678", amount));
  EXPECT_DOUBLE_EQ(amount->AsFloat(), 12.345678);
  EXPECT_EQ(amount->AsString(), "12.345678");
  EXPECT_EQ(amount->AsCurrency(), 123457);
}

TEST(WriteWholeFieldData, BinaryFieldsReadHexBackAndRefuseBadDigits) {
  TMemoryDataSet data;
  data.SetFieldDefs({{"Blob", ftBlob}, {"Bytes", ftVarBytes, 4}, {"Name", ftString, 8}});
  data.Open();
  data.Append();
  TField* blob = data.FieldByName("Blob");
  EXPECT_TRUE(WriteWholeFieldData("\\x00fF10", blob));
  EXPECT_EQ(blob->AsString(), std::string("\0\xff\x10", 3));
  EXPECT_TRUE(WriteWholeFieldData("\\x417a", data.FieldByName("Bytes")));
  EXPECT_EQ(data.FieldByName("Bytes")->AsString(), "Az");
  EXPECT_TRUE(WriteWholeFieldData("\\x", data.FieldByName("Bytes")));
  EXPECT_EQ(data.FieldByName("Bytes")->AsString(), "Az") << "nothing appended to a value";
  for (const char* bad : {"\\x0", "\\x0g", "\\x 1"}) {
    EXPECT_FALSE(WriteWholeFieldData(bad, blob)) << bad;
  }
  EXPECT_EQ(blob->AsString(), std::string("\0\xff\x10", 3));
  EXPECT_TRUE(WriteWholeFieldData("\\x41", data.FieldByName("Name")));
  EXPECT_EQ(data.FieldByName("Name")->AsString(), "\\x41") << "texts stay texts";
}

TEST_F(WriteFieldDataTest, CurrencyWithACommaDecimalSeparator) {
  FormatSettings().DecimalSeparator = ',';
  FormatSettings().ThousandSeparator = '.';
  EXPECT_FALSE(WriteFieldData("12.50", F("Amount")));
  EXPECT_TRUE(F("Amount")->IsNull());
  EXPECT_TRUE(WriteFieldData("12,50", F("Amount")));
  EXPECT_EQ(F("Amount")->AsCurrency(), 12500000) << "the comma is dropped: 1250";
  EXPECT_TRUE(WriteFieldData("2,5", F("Ratio"))) << "float fields use their own conversion";
  EXPECT_DOUBLE_EQ(F("Ratio")->AsFloat(), 2.5);
}

TEST_F(WriteFieldDataTest, FloatFieldsTakeTheTextUnfiltered) {
  EXPECT_FALSE(WriteFieldData("$1,234.50", F("Ratio")));
  EXPECT_TRUE(F("Ratio")->IsNull());
  EXPECT_TRUE(WriteFieldData("1234.5", F("Ratio")));
  EXPECT_DOUBLE_EQ(F("Ratio")->AsFloat(), 1234.5);
}

TEST_F(WriteFieldDataTest, BooleanFieldsUseStrToBoolean) {
  EXPECT_TRUE(WriteFieldData("E", F("Flag")));
  EXPECT_TRUE(F("Flag")->AsBoolean());
  EXPECT_TRUE(WriteFieldData("no", F("Flag")));
  EXPECT_FALSE(F("Flag")->AsBoolean());
  EXPECT_TRUE(WriteFieldData("maybe", F("Flag"))) << "anything else is false, not a failure";
  EXPECT_FALSE(F("Flag")->AsBoolean());
}

TEST_F(WriteFieldDataTest, DatesThatDoNotMatchTheFormatLeaveTheFieldUnchanged) {
  EXPECT_TRUE(WriteFieldData("3/15/2024", F("Day")));
  EXPECT_EQ(F("Day")->AsDateTime(), EncodeDate(2024, 3, 15));
  EXPECT_FALSE(WriteFieldData("2024-03-16", F("Day")));
  EXPECT_FALSE(WriteFieldData("13/45/2024", F("Day")));
  EXPECT_EQ(F("Day")->AsDateTime(), EncodeDate(2024, 3, 15));
  EXPECT_TRUE(WriteFieldData("18:30:00", F("At")));
  EXPECT_NEAR(F("At")->AsDateTime(), EncodeTime(18, 30, 0, 0), 1e-9);
  EXPECT_FALSE(WriteFieldData("noon", F("At")));
  EXPECT_TRUE(WriteFieldData("3/15/2024 18:30:00", F("Stamp")));
  EXPECT_NEAR(F("Stamp")->AsDateTime(), EncodeDate(2024, 3, 15) + EncodeTime(18, 30, 0, 0), 1e-9);
}

TEST_F(WriteFieldDataTest, MemoTextIsAppendedToTheRecordsContent) {
  EXPECT_TRUE(WriteFieldData("ab", F("Notes")));
  EXPECT_TRUE(WriteFieldData("cd", F("Notes")));
  EXPECT_EQ(F("Notes")->AsString(), "abcd");
  EXPECT_TRUE(WriteFieldData("xy", F("Pic")));
  EXPECT_TRUE(WriteFieldData("z", F("Pic")));
  EXPECT_EQ(F("Pic")->AsString(), "z") << "graphic fields are replaced, not appended to";
  data.Post();
  data.Append();
  EXPECT_TRUE(WriteFieldData("new", F("Notes")));
  EXPECT_EQ(F("Notes")->AsString(), "new") << "a fresh record starts empty";
}

TEST_F(WriteFieldDataTest, RefusedStoresReportFalse) {
  EXPECT_FALSE(WriteFieldData("40000", F("Qty"))) << "out of range";
  EXPECT_FALSE(WriteFieldData("4o", F("Qty")));
  EXPECT_TRUE(F("Qty")->IsNull());
  EXPECT_TRUE(WriteFieldData("longer than five", F("Name")));
  EXPECT_EQ(F("Name")->AsString(), "longer than five");
  F("Notes")->SetReadOnly(true);
  EXPECT_FALSE(WriteFieldData("x", F("Notes")));
  F("Name")->SetReadOnly(true);
  EXPECT_FALSE(WriteFieldData("x", F("Name")));
  data.Cancel();
  EXPECT_FALSE(WriteFieldData("1", F("Qty"))) << "not inserting";
}

}  // namespace
}  // namespace korvane
