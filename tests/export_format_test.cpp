// How TCSVExport turns the current record into one line: which text each
// field type gives, padding, quoting and joining.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "text/formats.h"
#include "export/kvcsvexp.h"

namespace korvane {
namespace {

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

// A dataset of one record and an export component pointed at it, with the
// quote and separator characters resolved as a run would.
class RecordFormat : public ::testing::Test {
 protected:
  RecordFormat() { ResetFormatSettings(); }
  ~RecordFormat() override { ResetFormatSettings(); }

  void Define(const std::vector<TFieldDef>& defs) {
    if (ds.Active()) ds.Close();
    ds.SetFieldDefs(defs);
  }
  void Add(std::vector<TFieldData> values) {
    if (!ds.Active()) ds.Open();
    ds.AppendData(std::move(values));
  }
  // Resolves the characters from the current properties and moves to the
  // first record.
  void Ready() {
    if (!ds.Active()) ds.Open();
    ds.First();
    exp.SetDataSet(&ds);
    exp.ResolveCharacters();
  }
  std::string Delimited() {
    Ready();
    return exp.GetDelimitedRecord();
  }
  std::string Fixed() {
    Ready();
    return exp.GetFixedRecord();
  }

  TMemoryDataSet ds;
  TCSVExport exp{nullptr};
};

TEST(CharacterResolution, QuoteAndSeparatorFollowTheirProperties) {
  TCSVExport exp(nullptr);
  EXPECT_EQ(exp.GetFieldDelimiterChar(), "");
  exp.SetFieldDelimiter(fdlSingle);
  EXPECT_EQ(exp.GetFieldDelimiterChar(), "'");
  exp.SetFieldDelimiter(fdlDouble);
  EXPECT_EQ(exp.GetFieldDelimiterChar(), "\"");

  EXPECT_EQ(exp.GetFieldSeparatorChar(), "|");
  exp.SetFieldSeparator(fspTab);
  EXPECT_EQ(exp.GetFieldSeparatorChar(), "\t");
  exp.SetFieldSeparator(fspComma);
  EXPECT_EQ(exp.GetFieldSeparatorChar(), ",");
  // Custom and none both resolve to CustomSeparator, empty or not.
  for (TFieldSeparator sep : {fspCustom, fspNone}) {
    exp.SetFieldSeparator(sep);
    exp.SetCustomSeparator("");
    EXPECT_EQ(exp.GetFieldSeparatorChar(), "");
    exp.SetCustomSeparator(";");
    EXPECT_EQ(exp.GetFieldSeparatorChar(), ";");
  }
}

TEST(CharacterResolution, CustomSeparatorKeepsFirstCharacterOfTrimmedValue) {
  TCSVExport exp(nullptr);
  exp.SetCustomSeparator(" ;x ");
  EXPECT_EQ(exp.CustomSeparator(), ";");
  exp.SetCustomSeparator("abc");
  EXPECT_EQ(exp.CustomSeparator(), "a");
  exp.SetCustomSeparator("\t");
  EXPECT_EQ(exp.CustomSeparator(), "");
  exp.SetCustomSeparator("x");
  exp.SetCustomSeparator("   ");
  EXPECT_EQ(exp.CustomSeparator(), "");
  exp.SetCustomSeparator("\x01#\x7f");
  EXPECT_EQ(exp.CustomSeparator(), "#");
}

// Item (string), Qty (integer) and Note (memo).
class WidgetRecord : public RecordFormat {
 protected:
  WidgetRecord() {
    Define({{"Item", ftString, 20}, {"Qty", ftInteger}, {"Note", ftMemo}});
    Add({std::string("Widget"), std::int64_t{5}, std::string("has a note")});
    exp.SetFieldSeparator(fspComma);
  }
};

TEST_F(WidgetRecord, QuotesFollowDelimitedFields) {
  exp.SetFieldDelimiter(fdlSingle);
  exp.SetDelimitedFields(dfTextOnly);
  EXPECT_EQ(Delimited(), "'Widget',5,''");
  exp.SetDelimitedFields(dfAll);
  EXPECT_EQ(Delimited(), "'Widget','5',''");
  exp.SetFieldDelimiter(fdlNone);
  EXPECT_EQ(Delimited(), "Widget,5,");  // the memo's empty value still gets its separator
}

TEST_F(WidgetRecord, FieldListSelectsInDatasetOrder) {
  TStringList names{"NOTE", "item"};
  exp.SetFieldList(&names);
  exp.SetFieldListAction(flaInclude);
  EXPECT_EQ(Delimited(), "Widget,");
  exp.SetFieldListAction(flaExclude);
  EXPECT_EQ(Delimited(), "5");
  exp.SetFieldListAction(flaNone);
  EXPECT_EQ(Delimited(), "Widget,5,");
  // Nothing taking part gives nothing at all, not even separators.
  exp.SetFieldList(nullptr);
  exp.SetFieldListAction(flaInclude);
  EXPECT_EQ(Delimited(), "");
  EXPECT_EQ(Fixed(), "");
}

TEST_F(RecordFormat, FixedWidthPadsNumbersOnTheChosenSide) {
  Define({{"Item", ftString, 20}, {"Qty", ftInteger}});
  Add({std::string("Widget"), std::int64_t{42}});
  ds.Fields(0)->SetDisplayWidth(8);
  ds.Fields(1)->SetDisplayWidth(5);
  exp.SetFieldSeparator(fspNone);
  exp.SetNumericAlign(naRight);
  EXPECT_EQ(Fixed(), "Widget" + Blanks(5) + "42");
  exp.SetNumericAlign(naLeft);
  EXPECT_EQ(Fixed(), "Widget  42   ");
  // Fixed-width lines are joined like delimited ones.
  exp.SetNumericAlign(naRight);
  exp.SetFieldSeparator(fspPipe);
  EXPECT_EQ(Fixed(), "Widget  |   42");
  exp.SetFieldDelimiter(fdlDouble);
  EXPECT_EQ(Fixed(), "\"Widget  \"|\"   42\"");
}

TEST_F(RecordFormat, FixedWidthPadsTheTextAGetTextHandlerGives) {
  Define({{"Item", ftString, 20}, {"Qty", ftInteger}});
  Add({std::string("Widget"), std::int64_t{42}});
  ds.Fields(0)->SetDisplayWidth(8);
  ds.Fields(1)->SetDisplayWidth(6);
  ds.Fields(1)->SetOnGetText([](TField*, std::string& text) { text = "#" + text; });
  exp.SetFieldSeparator(fspNone);
  exp.SetNumericAlign(naRight);
  EXPECT_EQ(Fixed(), "Widget" + Blanks(2) + Blanks(3) + "#42");
  exp.SetNumericAlign(naLeft);
  EXPECT_EQ(Fixed(), "Widget" + Blanks(2) + "#42" + Blanks(3));
  EXPECT_EQ(Delimited(), "Widget#42");
}

TEST_F(RecordFormat, FixedWidthNeverCutsALongValue) {
  Define({{"Name", ftString, 30}, {"Qty", ftInteger}, {"Code", ftString, 5}});
  Add({std::string("much longer than six"), std::int64_t{1234567}, std::string("ab")});
  ds.Fields(0)->SetDisplayWidth(6);
  ds.Fields(1)->SetDisplayWidth(3);
  ds.Fields(2)->SetDisplayWidth(4);
  exp.SetFieldSeparator(fspCustom);
  exp.SetNumericAlign(naRight);
  EXPECT_EQ(Fixed(), "much longer than six1234567ab  ");
}

// One field of each type code, with a value, in both layouts. Display
// width 12 everywhere so that padding shows.
struct TypeCase {
  TFieldType type;
  TFieldData value;
};

class ValueText : public RecordFormat {
 protected:
  TField* Make(const TypeCase& c) {
    const bool sized = c.type == ftString || c.type == ftFixedChar || c.type == ftWideString ||
                       c.type == ftBytes || c.type == ftVarBytes;
    Define({{"F", c.type, sized ? 20 : 0}});
    Add({c.value});
    ds.Fields(0)->SetDisplayWidth(12);
    Ready();
    return ds.Fields(0);
  }
};

TEST_F(ValueText, TextTypesAndNumbersUseTheFieldText) {
  // type, delimited text; fixed lines pad it to 12, numbers on NumericAlign's side.
  struct Row {
    TypeCase c;
    std::string text;
    bool numeric;
  };
  const std::vector<Row> rows = {
      {{ftString, std::string("abc")}, "abc", false},
      {{ftSmallint, std::int64_t{-7}}, "-7", true},
      {{ftInteger, std::int64_t{42}}, "42", true},
      {{ftWord, std::int64_t{7}}, "7", true},
      {{ftAutoInc, std::int64_t{9}}, "9", true},
      {{ftDecimalText, std::string("-1234.50")}, "-1234.50", true},
      {{ftFmtMemo, std::string("rich")}, "rich", false},
      {{ftFixedChar, std::string("fc")}, "fc", false},
      {{ftWideString, std::string("ws")}, "ws", false},
      // Large integers are not among the numeric types: padded after.
      {{ftLargeint, std::int64_t{123}}, "123", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(FieldTypeName(row.c.type));
    Make(row.c);
    EXPECT_EQ(exp.GetDelimitedRecord(), row.text);
    const std::string pad = Blanks(12 - static_cast<int>(row.text.size()));
    exp.SetNumericAlign(naLeft);
    EXPECT_EQ(exp.GetFixedRecord(), row.text + pad);
    exp.SetNumericAlign(naRight);
    EXPECT_EQ(exp.GetFixedRecord(), row.numeric ? pad + row.text : row.text + pad);
  }
}

TEST_F(ValueText, BooleanAndFractionalTypesUseTheFieldText) {
  const std::vector<std::pair<TypeCase, bool>> rows = {
      {{ftBoolean, true}, false},
      {{ftFloat, 1.5}, true},
      {{ftCurrency, std::int64_t{125000}}, true},
      {{ftBCD, 2.25}, true},
  };
  for (const auto& [c, numeric] : rows) {
    SCOPED_TRACE(FieldTypeName(c.type));
    const std::string text = Make(c)->Text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(exp.GetDelimitedRecord(), text);
    const std::string pad = Blanks(12 - static_cast<int>(text.size()));
    exp.SetNumericAlign(naRight);
    EXPECT_EQ(exp.GetFixedRecord(), numeric ? pad + text : text + pad);
  }
}

TEST_F(ValueText, BinaryBlobAndPlainMemoValuesAreLeftOut) {
  for (TFieldType type :
       {ftBytes, ftVarBytes, ftBlob, ftMemo, ftGraphic, ftParadoxOle, ftDBaseOle, ftTypedBinary}) {
    SCOPED_TRACE(FieldTypeName(type));
    Make({type, std::string("content")});
    EXPECT_EQ(exp.GetDelimitedRecord(), "");
    EXPECT_EQ(exp.GetFixedRecord(), "");  // not even padding
    exp.SetFieldDelimiter(fdlDouble);
    exp.ResolveCharacters();
    EXPECT_EQ(exp.GetDelimitedRecord(), "\"\"");
    exp.SetFieldDelimiter(fdlNone);
  }
}

TEST_F(ValueText, DatesAndTimes) {
  const TDateTime day = EncodeDate(2024, 3, 5);
  const TDateTime noon = EncodeTime(12, 30, 15, 0);

  TField* f = Make({ftDate, day});
  EXPECT_EQ(exp.GetDelimitedRecord(), DateToStr(day));
  EXPECT_EQ(exp.GetFixedRecord(), f->Text());  // unpadded

  f = Make({ftTime, noon});
  EXPECT_EQ(exp.GetDelimitedRecord(), TimeToStr(noon));
  EXPECT_EQ(exp.GetFixedRecord(), f->Text());

  // A date-time gives its date only in delimited lines, all of its text in
  // fixed-width ones.
  f = Make({ftDateTime, day + noon});
  EXPECT_EQ(exp.GetDelimitedRecord(), DateToStr(day));
  EXPECT_EQ(exp.GetFixedRecord(), f->Text());
  EXPECT_NE(f->Text(), DateToStr(day));
}

TEST_F(ValueText, DatesBeforeDayZeroAreWritten) {
  for (TDateTime value : {-3.5, EncodeDate(1815, 12, 10)}) {
    for (TFieldType type : {ftDate, ftDateTime}) {
      SCOPED_TRACE(FieldTypeName(type));
      TField* f = Make({type, value});
      EXPECT_EQ(exp.GetDelimitedRecord(), DateToStr(value));
      EXPECT_EQ(exp.GetFixedRecord(), f->Text());
    }
  }
  EXPECT_EQ(DateToStr(EncodeDate(1815, 12, 10)), "12/10/1815");
}

TEST_F(ValueText, NoValueIsNoDateButDayZeroIsOne) {
  for (TFieldType type : {ftDate, ftDateTime, ftTime}) {
    SCOPED_TRACE(FieldTypeName(type));
    Make({type, TFieldData{}});
    EXPECT_EQ(exp.GetDelimitedRecord(), "") << "never midnight";
    EXPECT_EQ(exp.GetFixedRecord(), Blanks(12));
    Make({type, TFieldData{0.0}});
    const std::string text = type == ftTime ? TimeToStr(0) : DateToStr(0);
    EXPECT_EQ(exp.GetDelimitedRecord(), text) << "never empty";
    EXPECT_EQ(exp.GetFixedRecord(), text);
  }
}

TEST_F(ValueText, EveryTypeWithoutAValue) {
  for (int code = ftString; code <= ftLargeint; ++code) {
    const auto type = static_cast<TFieldType>(code);
    if (type == ftAutoInc) continue;  // the dataset numbers it when it is left empty
    SCOPED_TRACE(FieldTypeName(type));
    Make({type, TFieldData{}});
    EXPECT_EQ(exp.GetDelimitedRecord(), "");
    // Padded types fill their width; left-out types take none.
    exp.SetNumericAlign(naRight);
    const bool omitted = type == ftBytes || type == ftVarBytes || type == ftBlob ||
                         type == ftMemo || type == ftGraphic ||
                         (type >= ftParadoxOle && type <= ftTypedBinary);
    EXPECT_EQ(exp.GetFixedRecord(), omitted ? "" : Blanks(12));
  }
}

TEST_F(ValueText, WholeValuesLeaveNothingOut) {
  const TDateTime day = EncodeDate(2024, 5, 6);
  const TDateTime at = EncodeTime(13, 45, 10, 250);
  struct Row {
    TypeCase c;
    std::string text;  // delimited; fixed lines pad it to 12
  };
  const std::vector<Row> rows = {
      {{ftDateTime, day + EncodeTime(13, 45, 10, 0)}, "5/6/2024 13:45:10"},
      {{ftDateTime, day + at}, "5/6/2024 13:45:10.250"},
      {{ftDateTime, 0.0}, "12/30/1899 00:00:00"},
      {{ftDate, -1.0}, "12/29/1899"},
      {{ftTime, at}, "13:45:10.250"},
      {{ftTime, 0.0}, "00:00:00"},
      {{ftTime, TFieldData{}}, ""},
      {{ftMemo, std::string("a, b")}, "a, b"},
      {{ftBlob, std::string("\0\xff", 2)}, "\\x00ff"},
      {{ftVarBytes, std::string("Az")}, "\\x417a"},
      {{ftGraphic, TFieldData{}}, ""},
      {{ftFloat, -0.0}, "-0"},  // the field's text drops the sign
      {{ftFloat, 0.0}, "0"},
  };
  exp.SetWholeValues(true);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Make(row.c);
    EXPECT_EQ(exp.GetDelimitedRecord(), row.text);
    EXPECT_EQ(exp.GetFixedRecord(),
              row.text + Blanks(std::max(0, 12 - static_cast<int>(row.text.size()))));
  }
  // A time format that cannot take milliseconds after it gives way to one
  // that reads back.
  FormatSettings().LongTimeFormat = "h:nn am/pm";
  Make({ftTime, at});
  EXPECT_EQ(exp.GetDelimitedRecord(), "13:45:10.250");
  TDateTime back = 0;
  ASSERT_TRUE(TryStrToTime(exp.GetDelimitedRecord(), back));
  EXPECT_EQ(std::llround(back * 86400000.0), std::llround(at * 86400000.0));
}

TEST_F(ValueText, DateTextsFollowTheFormatSettings) {
  FormatSettings().ShortDateFormat = "yyyy-mm-dd";
  FormatSettings().DateSeparator = '-';
  Make({ftDate, EncodeDate(2024, 3, 5)});
  EXPECT_EQ(exp.GetDelimitedRecord(), "2024-03-05");
}

TEST_F(RecordFormat, TextOnlyQuotingWrapsStringAndMemoTypesOnly) {
  Define({{"S", ftString, 5},
          {"I", ftInteger},
          {"M", ftMemo},
          {"R", ftFmtMemo},
          {"C", ftFixedChar, 5},
          {"W", ftWideString, 5},
          {"B", ftBoolean},
          {"D", ftDate}});
  Add({std::string("s"), std::int64_t{1}, std::string("m"), std::string("r"), std::string("c"),
       std::string("w"), TFieldData{}, TFieldData{}});
  exp.SetFieldDelimiter(fdlDouble);
  exp.SetDelimitedFields(dfTextOnly);
  exp.SetFieldSeparator(fspComma);
  EXPECT_EQ(Delimited(), "\"s\",1,\"\",\"r\",c,w,,");
  exp.SetDelimitedFields(dfAll);
  EXPECT_EQ(Delimited(), "\"s\",\"1\",\"\",\"r\",\"c\",\"w\",\"\",\"\"");
}

TEST_F(RecordFormat, JoiningCountsEmptyValues) {
  Define({{"A", ftString, 5}, {"B", ftString, 5}, {"C", ftString, 5}});
  Add({TFieldData{}, TFieldData{}, TFieldData{}});
  exp.SetFieldSeparator(fspComma);
  EXPECT_EQ(Delimited(), ",,");
  exp.SetFieldSeparator(fspNone);
  EXPECT_EQ(Delimited(), "");
  exp.SetCustomSeparator(";");
  EXPECT_EQ(Delimited(), ";;");
  exp.SetFieldSeparator(fspTab);
  EXPECT_EQ(Delimited(), "\t\t");

  // A single empty value and no quote character: nothing at all.
  TStringList one{"B"};
  exp.SetFieldList(&one);
  exp.SetFieldListAction(flaInclude);
  EXPECT_EQ(Delimited(), "");
  exp.SetFieldDelimiter(fdlSingle);
  EXPECT_EQ(Delimited(), "''");
}

TEST_F(RecordFormat, ValuesAreWrittenUnescaped) {
  const std::string odd = std::string("a,\"b'|\r\nc") + '\0' + "d";
  Define({{"S", ftString, 20}, {"T", ftString, 20}});
  Add({odd, std::string("x")});
  exp.SetFieldDelimiter(fdlDouble);
  exp.SetFieldSeparator(fspComma);
  EXPECT_EQ(Delimited(), "\"" + odd + "\",\"x\"");
}

TEST_F(RecordFormat, StandardRulesQuoteWhereTheTextNeedsItAndDoubleQuotes) {
  Define({{"S", ftString, 60}, {"I", ftInteger}, {"F", ftFloat}, {"B", ftBoolean}});
  exp.SetDialect(dlStandard);
  exp.SetFieldSeparator(fspComma);
  exp.SetFieldDelimiter(fdlDouble);
  const std::string x20(20, 'x');
  // The text and how it is written; NULL is nothing, whatever the rule.
  const std::vector<std::pair<TFieldData, std::string>> cases = {
      {TFieldData{}, ""},
      {std::string(), "\"\""},
      {std::string("plain"), "\"plain\""},
      {std::string("say \"hi\""), "\"say \"\"hi\"\"\""},
      {std::string("a,b\r\nc"), "\"a,b\r\nc\""},
      {x20 + "\"" + x20 + "\"", "\"" + x20 + "\"\"" + x20 + "\"\"\""},
  };
  for (const auto& [text, written] : cases) {
    ds.EmptyDataSet();
    Add({text, std::int64_t{7}, TFieldData{}, true});
    // Texts are quoted as the quote rule asks, numbers only when it asks.
    exp.SetDelimitedFields(dfTextOnly);
    EXPECT_EQ(Delimited(), written + ",7,,True");
    exp.SetDelimitedFields(dfAll);
    EXPECT_EQ(Delimited(), written + ",\"7\",,\"True\"");
  }
  // Without a quote rule asking, a value is quoted only when it must be; the
  // apostrophe works the same way, and any separator.
  ds.EmptyDataSet();
  Add({std::string("it's;x"), std::int64_t{1}, 0.5, false});
  exp.SetFieldDelimiter(fdlSingle);
  exp.SetFieldSeparator(fspCustom);
  exp.SetCustomSeparator(";");
  exp.SetDelimitedFields(dfTextOnly);
  EXPECT_EQ(Delimited(), "'it''s;x';1;0.5;False");
  // A decimal separator that is the value separator gets its number quoted.
  FormatSettings().DecimalSeparator = ';';
  EXPECT_EQ(Delimited(), "'it''s;x';1;'0;5';False");
  // So does a separator that is one of a number's or a boolean's own bytes.
  ds.EmptyDataSet();
  Add({std::string("a"), std::int64_t{-1}, -0.5, true});
  exp.SetCustomSeparator("-");
  EXPECT_EQ(Delimited(), "'a'-'-1'-'-0;5'-True");
  exp.SetCustomSeparator("e");
  EXPECT_EQ(Delimited(), "'a'e-1e-0;5e'True'");
  // A quote anywhere in a text of any short length is doubled.
  exp.SetFieldDelimiter(fdlDouble);
  exp.SetFieldSeparator(fspComma);
  for (std::size_t n = 1; n <= 17; ++n) {
    for (std::size_t at = 0; at < n; ++at) {
      std::string text(n, 'x');
      text[at] = '"';
      ds.EmptyDataSet();
      Add({text, TFieldData{}, TFieldData{}, TFieldData{}});
      const std::string doubled = std::string(text).insert(at, 1, '"');
      EXPECT_EQ(Delimited(), "\"" + doubled + "\",,,") << n << " " << at;
    }
  }
}

// An exact decimal's text takes the decimal separator in force, and quotes
// when its bytes ask for them, short or long.
TEST_F(RecordFormat, ExactDecimalsTakeTheDecimalSeparatorInForce) {
  Define({{"D", ftDecimalText}, {"I", ftInteger}});
  exp.SetDialect(dlStandard);
  exp.SetFieldSeparator(fspComma);
  exp.SetFieldDelimiter(fdlDouble);
  exp.SetDelimitedFields(dfTextOnly);
  const std::string wide = "-12345678901234567890.25";
  const struct {
    std::string value;
    char point;
    std::string written;
  } cases[] = {
      {"12.50", '.', "12.50,1"},
      {wide, '.', wide + ",1"},
      {"12.50", ',', "\"12,50\",1"},
      {wide, ',', "\"-12345678901234567890,25\",1"},
      {"NaN", ',', "NaN,1"},
      {"a,b", '.', "\"a,b\",1"},  // a text another program left in the column
  };
  for (const auto& c : cases) {
    ds.EmptyDataSet();
    Add({c.value, std::int64_t{1}});
    FormatSettings().DecimalSeparator = c.point;
    EXPECT_EQ(Delimited(), c.written) << c.value << " " << c.point;
  }
}

// With an escape character the standard rules put it before each quote and
// itself inside quotes (a value holding it is quoted), and without a quote
// character before each separator, line end and itself; under the classic
// rules it is none.
TEST_F(RecordFormat, AnEscapeGoesBeforeWhatWouldEndOrChangeAValue) {
  Define({{"S", ftString, 60}, {"I", ftInteger}});
  exp.SetDialect(dlStandard);
  exp.SetFieldSeparator(fspComma);
  exp.SetDelimitedFields(dfTextOnly);
  exp.SetEscapeChar("\\");
  struct TCase {
    std::string Text;
    std::string Quoted;    // with the double quote
    std::string Unquoted;  // with no quote character
  };
  const std::vector<TCase> cases = {
      {"plain", "\"plain\"", "plain"},
      {"say \"hi\"", "\"say \\\"hi\\\"\"", "say \"hi\""},
      {"C:\\dir\\", "\"C:\\\\dir\\\\\"", "C:\\\\dir\\\\"},
      {"a,b\r\nc", "\"a,b\r\nc\"", "a\\,b\\\r\\\nc"},
  };
  for (const TCase& c : cases) {
    ds.EmptyDataSet();
    Add({c.Text, std::int64_t{7}});
    exp.SetFieldDelimiter(fdlDouble);
    EXPECT_EQ(Delimited(), c.Quoted + ",7") << c.Text;
    exp.SetFieldDelimiter(fdlNone);
    EXPECT_EQ(Delimited(), c.Unquoted + ",7") << c.Text;
  }
  exp.SetDialect(dlClassic);
  EXPECT_EQ(Delimited(), "a,b\r\nc,7");
}

TEST_F(RecordFormat, AFieldThatRaisesEmptiesTheWholeRecord) {
  Define({{"A", ftString, 5}, {"B", ftString, 5}, {"C", ftDate}});
  Add({std::string("aa"), std::string("bb"), EncodeDate(2020, 1, 1)});
  exp.SetFieldSeparator(fspComma);
  ASSERT_EQ(Delimited(), "aa,bb," + DateToStr(EncodeDate(2020, 1, 1)));

  const std::vector<std::function<void()>> raisers = {
      [] { throw EConvertError("bad"); },
      [] { throw EDatabaseError("gone"); },
      [] { throw std::runtime_error("other"); },
  };
  for (const auto& raise : raisers) {
    ds.Fields(1)->SetOnGetText([&raise](TField*, std::string&) { raise(); });
    EXPECT_EQ(Delimited(), "");
    EXPECT_EQ(Fixed(), "");
  }
  ds.Fields(1)->SetOnGetText(nullptr);
  EXPECT_EQ(Delimited(), "aa,bb," + DateToStr(EncodeDate(2020, 1, 1)));
}

TEST_F(RecordFormat, LongRecordsAndWideColumnsKeepEveryByte) {
  // Sixty values of 30 characters make a line of some 1,900 bytes.
  std::vector<TFieldDef> defs;
  std::vector<TFieldData> values;
  std::string expected;
  for (int i = 0; i < 60; ++i) {
    defs.push_back({"F" + std::to_string(i), ftString, 40});
    const std::string value =
        std::string(29, static_cast<char>('a' + i % 26)) + std::to_string(i % 10);
    values.push_back(value);
    expected += (i > 0 ? "," : "") + value;
  }
  defs.push_back({"N", ftInteger});
  values.push_back(std::int64_t{-7});
  expected += ",-7";
  Define(defs);
  Add(values);
  exp.SetFieldSeparator(fspComma);
  EXPECT_EQ(Delimited(), expected);

  // A raise in the last value drops the whole line, also what was put
  // together before it.
  ds.Fields(60)->SetOnGetText([](TField*, std::string&) { throw EConvertError("bad"); });
  EXPECT_EQ(Delimited(), "");
  EXPECT_EQ(Fixed(), "");
  ds.Fields(60)->SetOnGetText(nullptr);

  // Columns wider than any short line, on both sides.
  ds.Fields(0)->SetDisplayWidth(3000);
  ds.Fields(60)->SetDisplayWidth(1500);
  exp.SetNumericAlign(naRight);
  const std::string fixed = Fixed();
  ASSERT_EQ(fixed.size(), 3000 + 59 * 41 + 1 + 1500u);
  EXPECT_EQ(fixed.substr(0, 30), std::get<std::string>(values[0]));
  EXPECT_EQ(fixed.substr(30, 2971), Blanks(2970) + ",");
  EXPECT_EQ(fixed.substr(fixed.size() - 1501), "," + Blanks(1498) + "-7");
}

TEST_F(RecordFormat, FormattingLeavesTheDatasetWhereItWas) {
  Define({{"N", ftInteger}});
  for (std::int64_t i = 1; i <= 3; ++i) Add({i});
  Ready();
  ds.Next();
  EXPECT_EQ(exp.GetDelimitedRecord(), "2");
  EXPECT_EQ(exp.GetFixedRecord(), "2" + Blanks(10));
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_FALSE(ds.Eof());
}

}  // namespace
}  // namespace korvane
