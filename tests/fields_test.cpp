#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <typeinfo>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "data/db.h"
#include "text/formats.h"
#include "support/format_settings.h"

namespace korvane {
namespace {

// One field of the given type in a dataset that is inserting a record.
class FieldTest : public ::testing::Test {
 protected:
  TField* Make(TFieldType type, int size = 0) {
    data.AddFieldDef("F", type, size);
    data.Open();
    data.Append();
    return data.Fields(0);
  }

  ScopedFormatSettings settings;  // tests may change the separators
  TMemoryDataSet data;
};

template <typename E>
std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

TEST_F(FieldTest, IntegerTypesAcceptTheirWholeRangeAndRefuseOneBeyond) {
  struct Case {
    TFieldType type;
    const char* lowest;
    const char* highest;
    const char* below;
    const char* above;
  };
  const Case cases[] = {
      {ftSmallint, "-32768", "32767", "-32769", "32768"},
      {ftWord, "0", "65535", "-1", "65536"},
      {ftInteger, "-2147483648", "2147483647", "-2147483649", "2147483648"},
      {ftAutoInc, "-2147483648", "2147483647", "-2147483649", "2147483648"},
      {ftLargeint, "-9223372036854775808", "9223372036854775807", "-9223372036854775809",
       "9223372036854775808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.type));
    TMemoryDataSet ds;
    ds.AddFieldDef("N", c.type);
    ds.Open();
    ds.Append();
    TField* f = ds.Fields(0);
    f->SetAsString(c.lowest);
    EXPECT_EQ(f->AsString(), c.lowest);
    f->SetAsString(c.highest);
    EXPECT_EQ(f->AsString(), c.highest);
    EXPECT_THROW(f->SetAsString(c.below), ERangeError);
    EXPECT_THROW(f->SetAsString(c.above), ERangeError);
    EXPECT_EQ(f->AsString(), c.highest) << "a refused value must leave the field unchanged";
  }
}

TEST_F(FieldTest, IntegerTextThatIsNotANumberRaisesConvertErrorNamingIt) {
  TField* f = Make(ftInteger);
  EXPECT_NE(MessageOf<EConvertError>([&] { f->SetAsString("12a"); }).find("'12a'"),
            std::string::npos);
  for (const char* bad : {"1.5", "-", "+", "1 2", "0x10", "+-5", " "}) {
    EXPECT_THROW(f->SetAsString(bad), EConvertError) << bad;
  }
  f->SetAsString(" +42 ");
  EXPECT_EQ(f->AsInteger(), 42);
  f->SetAsString("");
  EXPECT_TRUE(f->IsNull());
  EXPECT_EQ(f->AsInteger(), 0);
}

TEST_F(FieldTest, IntegerFromFloatRoundsHalfAwayFromZeroWithinRange) {
  TField* f = Make(ftSmallint);
  f->SetAsFloat(2.5);
  EXPECT_EQ(f->AsInteger(), 3);
  f->SetAsFloat(-2.5);
  EXPECT_EQ(f->AsInteger(), -3);
  EXPECT_THROW(f->SetAsFloat(32767.5), ERangeError);
  EXPECT_THROW(f->SetAsFloat(std::nan("")), ERangeError);
  EXPECT_THROW(f->SetAsFloat(1e300), ERangeError);
  EXPECT_EQ(f->AsInteger(), -3);
}

TEST_F(FieldTest, LargeintReadAsIntegerRaisesWhenItDoesNotFit) {
  TField* f = Make(ftLargeint);
  f->SetAsLargeInt(std::int64_t{1} << 40);
  EXPECT_EQ(f->AsLargeInt(), std::int64_t{1} << 40);
  EXPECT_THROW(f->AsInteger(), ERangeError);
}

TEST_F(FieldTest, FloatTextFollowsTheDecimalSeparator) {
  TField* f = Make(ftFloat);
  f->SetAsString("1234.5");
  EXPECT_DOUBLE_EQ(f->AsFloat(), 1234.5);
  EXPECT_EQ(f->Text(), "1234.5");
  EXPECT_THROW(f->SetAsString("$1,234.50"), EConvertError);
  EXPECT_DOUBLE_EQ(f->AsFloat(), 1234.5);
  FormatSettings().DecimalSeparator = ',';
  f->SetAsString("0,25");
  EXPECT_DOUBLE_EQ(f->AsFloat(), 0.25);
  EXPECT_EQ(f->Text(), "0,25");
  EXPECT_FALSE(f->Currency());
  // NaN and the infinities read back from the text the field writes.
  for (const double value : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    f->SetAsFloat(value);
    const std::string text = f->AsString();
    f->Clear();
    f->SetAsString(text);
    EXPECT_EQ(f->AsString(), text);
  }
  EXPECT_THROW(f->SetAsString("infinite"), EConvertError);
}

TEST_F(FieldTest, CurrencyKeepsTenThousandthsAndShowsTwoToFourDecimals) {
  TField* f = Make(ftCurrency);
  EXPECT_TRUE(f->Currency());
  f->SetAsFloat(12.345678);
  EXPECT_EQ(f->AsCurrency(), 123457);
  EXPECT_EQ(f->Text(), "12.3457");
  f->SetAsString("1234.5");
  EXPECT_EQ(f->AsCurrency(), 12345000);
  EXPECT_EQ(f->Text(), "1234.50");
  f->SetAsCurrency(-5000);
  EXPECT_EQ(f->Text(), "-0.50");
  EXPECT_DOUBLE_EQ(f->AsFloat(), -0.5);
  f->SetAsCurrency(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(f->Text(), "-922337203685477.5808");
  f->SetAsCurrency(123450);
  EXPECT_EQ(f->AsInteger(), 12) << "12.345 rounds to 12";
  f->SetAsCurrency(125000);
  EXPECT_EQ(f->AsInteger(), 13) << "12.5 rounds away from zero";
  EXPECT_THROW(f->SetAsFloat(1e20), ERangeError);
  EXPECT_EQ(f->AsCurrency(), 125000);
  FormatSettings().DecimalSeparator = ',';
  EXPECT_EQ(f->Text(), "12,50");
}

// Exact decimals keep the digits they are given, whatever their number;
// a declared scale rounds on those digits, halves away from zero.
TEST_F(FieldTest, DecimalTextKeepsEveryDigitAndRoundsOnlyToADeclaredScale) {
  struct Case {
    char decimal;
    int precision;
    int scale;
    const char* text;
    const char* kept;  // or the error raised
  };
  const Case cases[] = {
      {'.', 0, -1, "12345678901234.5678", "12345678901234.5678"},
      {'.', 0, -1, "123456789012345678901234567890", "123456789012345678901234567890"},
      {'.', 0, -1, " +007.50 ", "7.50"},
      {'.', 0, -1, "-1.5e1", "-15"},
      {'.', 0, -1, "2.5E-21", "0.0000000000000000000025"},
      {'.', 0, -1, "1,234.5", "1234.5"},
      {'.', 0, -1, "-0.00", "0.00"},
      {'.', 0, -1, "-0", "0"},
      {'.', 0, -1, "00.5", "0.5"},
      {'.', 0, -1, "5.", "5"},
      {',', 0, -1, "1.234", "1234"},
      {'.', 20, 2, "-12.345", "-12.35"},
      {'.', 20, 4, "-0.5", "-0.5"},
      {'.', 0, -1, "12x", "EConvertError"},
      {'.', 0, -1, "1e2000", "ERangeError"},
      {',', 0, -1, "-1.234,5", "-1234,5"},
      {'.', 20, 4, "9.99995", "10.0000"},
      {'.', 20, 4, "-0.00005", "-0.0001"},
      {'.', 20, 4, "12.34", "12.34"},
      {'.', 20, 2, "4e-5", "0.00"},
      {'.', 20, 0, "-2.5", "-3"},
      {'.', 0, -1, " nan ", "NaN"},
      {'.', 0, -1, "-inf", "-Infinity"},
      {'.', 20, 4, "NaN", "NaN"},
      {'.', 20, 4, "Infinity", "ERangeError"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TMemoryDataSet ds;
    ds.SetFieldDefs({{"d", ftDecimalText, 0, false, false, c.precision, c.scale}});
    ds.Open();
    ds.Append();
    FormatSettings().DecimalSeparator = c.decimal;
    FormatSettings().ThousandSeparator = c.decimal == '.' ? ',' : '.';
    std::string kept;
    try {
      ds.Fields(0)->SetAsString(c.text);
      kept = ds.Fields(0)->AsString();
    } catch (const EConvertError&) {
      kept = "EConvertError";
    } catch (const ERangeError&) {
      kept = "ERangeError";
    }
    EXPECT_EQ(kept, c.kept);
  }
  TField* f = Make(ftDecimalText);
  f->SetAsString("12345678901234.5678");
  EXPECT_EQ(f->AsFloat(), 12345678901234.5678);
  EXPECT_EQ(f->AsCurrency(), 123456789012345678);
  EXPECT_EQ(f->AsLargeInt(), 12345678901235);
  f->SetAsFloat(0.1);
  EXPECT_EQ(f->AsString(), "0.1");
  f->SetAsFloat(-1e20);
  EXPECT_EQ(f->AsString(), "-100000000000000000000");
  EXPECT_THROW(f->AsLargeInt(), ERangeError);
  f->SetAsCurrency(-5);
  EXPECT_EQ(f->AsString(), "-0.0005");
  f->SetAsLargeInt(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(f->AsString(), "-9223372036854775808");
}

TEST_F(FieldTest, BooleanTextsAreCaseInsensitiveAndOthersRefused) {
  TField* f = Make(ftBoolean);
  for (const char* yes : {"True", "TRUE", "t", " yes ", "Y", "1"}) {
    f->SetAsBoolean(false);
    f->SetAsString(yes);
    EXPECT_TRUE(f->AsBoolean()) << yes;
  }
  for (const char* no : {"False", "f", "NO", "n", "0"}) {
    f->SetAsBoolean(true);
    f->SetAsString(no);
    EXPECT_FALSE(f->AsBoolean()) << no;
  }
  EXPECT_EQ(f->Text(), "False");
  EXPECT_NE(MessageOf<EConvertError>([&] { f->SetAsString("maybe"); }).find("'maybe'"),
            std::string::npos);
  f->SetAsString("");
  EXPECT_TRUE(f->IsNull());
  EXPECT_FALSE(f->AsBoolean());
}

TEST_F(FieldTest, StringFieldNeverTruncatesAndKeepsEmptyDistinctFromNull) {
  TField* f = Make(ftString, 4);
  EXPECT_EQ(f->DisplayWidth(), 4);
  f->SetAsString("longer than four");
  EXPECT_EQ(f->AsString(), "longer than four");
  f->SetAsString("");
  EXPECT_FALSE(f->IsNull());
  f->SetAsString("abc");
  EXPECT_THROW(f->AsInteger(), EConvertError);
  f->SetAsInteger(-17);
  EXPECT_EQ(f->AsString(), "-17");
  EXPECT_EQ(f->AsInteger(), -17);
  f->SetAsBoolean(true);
  EXPECT_EQ(f->AsString(), "True");
}

TEST_F(FieldTest, DateFieldsKeepTheirPartOfTheValueAndNullReadsAsZero) {
  TMemoryDataSet ds;
  ds.SetFieldDefs({{"D", ftDate}, {"T", ftTime}, {"DT", ftDateTime}});
  ds.Open();
  ds.Append();
  TField* d = ds.FieldByName("D");
  TField* t = ds.FieldByName("T");
  TField* dt = ds.FieldByName("DT");
  EXPECT_EQ(d->AsDateTime(), 0.0);
  TDateTime moment = EncodeDate(2024, 3, 15) + EncodeTime(18, 30, 0, 0);
  d->SetAsDateTime(moment);
  t->SetAsDateTime(moment);
  dt->SetAsDateTime(moment);
  EXPECT_EQ(d->AsDateTime(), EncodeDate(2024, 3, 15));
  EXPECT_NEAR(t->AsDateTime(), EncodeTime(18, 30, 0, 0), 1e-9);
  EXPECT_EQ(dt->AsDateTime(), moment);
  EXPECT_EQ(d->Text(), DateToStr(moment));
  EXPECT_EQ(t->Text(), TimeToStr(moment));
  EXPECT_EQ(dt->Text(), DateTimeToStr(moment));
  EXPECT_THROW(d->SetAsString("31.02.x"), EConvertError);
  EXPECT_EQ(d->AsDateTime(), EncodeDate(2024, 3, 15));
}

TEST_F(FieldTest, EveryTypeCodeGetsAFieldWithItsDefaultWidth) {
  struct Case {
    TFieldType type;
    int size;
    int width;
  };
  const Case cases[] = {
      {ftString, 30, 30},  {ftSmallint, 0, 6},     {ftInteger, 0, 11},  {ftWord, 0, 5},
      {ftBoolean, 0, 5},   {ftFloat, 0, 24},       {ftCurrency, 0, 21}, {ftBCD, 4, 24},
      {ftBytes, 16, 16},   {ftVarBytes, 8, 8},     {ftAutoInc, 0, 11},  {ftBlob, 0, 10},
      {ftMemo, 0, 10},     {ftGraphic, 0, 10},     {ftFmtMemo, 40, 40}, {ftParadoxOle, 0, 10},
      {ftDBaseOle, 0, 10}, {ftTypedBinary, 0, 10}, {ftFixedChar, 3, 3}, {ftWideString, 12, 12},
      {ftLargeint, 0, 20}, {ftDecimalText, 0, 40},
  };
  TMemoryDataSet ds;
  for (const Case& c : cases) ds.AddFieldDef(FieldTypeName(c.type), c.type, c.size);
  for (const Case& c : cases) {
    TField* f = ds.FieldByName(FieldTypeName(c.type));
    EXPECT_EQ(f->DataType(), c.type);
    EXPECT_EQ(f->Size(), c.size);
    EXPECT_EQ(f->DisplayWidth(), c.width) << FieldTypeName(c.type);
    EXPECT_EQ(f->Currency(), c.type == ftCurrency);
  }
  TField* f = ds.Fields(0);
  f->SetDisplayWidth(3);
  EXPECT_EQ(f->DisplayWidth(), 3);
  f->SetDisplayWidth(-1);
  EXPECT_EQ(f->DisplayWidth(), 30);
  EXPECT_THROW(ds.AddFieldDef("U", ftUnknown), EDatabaseError);
}

TEST_F(FieldTest, DateWidthsFitTheTextsOfTheSettingsInForce) {
  TMemoryDataSet ds;
  ds.SetFieldDefs({{"D", ftDate}, {"T", ftTime}, {"DT", ftDateTime}});
  TDateTime late = EncodeDate(2000, 12, 28) + EncodeTime(23, 59, 59, 0);
  EXPECT_EQ(ds.Fields(0)->DisplayWidth(), static_cast<int>(DateToStr(late).size()));
  EXPECT_EQ(ds.Fields(1)->DisplayWidth(), static_cast<int>(TimeToStr(late).size()));
  EXPECT_EQ(ds.Fields(2)->DisplayWidth(), static_cast<int>(DateTimeToStr(late).size()));
}

TEST_F(FieldTest, BlobAndBytesFieldsHoldEveryByte) {
  TField* f = Make(ftBlob);
  const std::string bytes("a\0\xff\r\nz", 6);
  f->SetAsString(bytes);
  EXPECT_EQ(f->AsString(), bytes);
  EXPECT_EQ(f->BlobData(), bytes);
  EXPECT_EQ(f->Text(), bytes);
}

TEST_F(FieldTest, UnsupportedAccessAndReadOnlyWritesRaiseDatabaseErrors) {
  TField* f = Make(ftInteger);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { f->SetAsDateTime(1.0); }),
            "Cannot access field 'F' as type DateTime");
  f->SetAsInteger(5);
  f->SetReadOnly(true);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { f->SetAsInteger(6); }), "Field 'F' cannot be modified");
  EXPECT_THROW(f->Clear(), EDatabaseError);
  EXPECT_EQ(f->AsInteger(), 5);
}

TEST_F(FieldTest, OnGetTextCanReplaceOrRefuseTheTextButNotAsString) {
  TField* f = Make(ftInteger);
  f->SetAsInteger(7);
  f->SetOnGetText(
      [](TField* sender, std::string& text) { text = sender->FieldName() + "=" + text; });
  EXPECT_EQ(f->Text(), "F=7");
  EXPECT_EQ(f->AsString(), "7");
  f->SetOnGetText([](TField*, std::string&) { throw EConvertError("no text today"); });
  EXPECT_THROW(f->Text(), EConvertError);
}

// The in-line writes give exactly what the checked setters give: the same
// stored value, or the same error, for every field class and kind of value,
// also on a read-only field and outside dsInsert.
TEST(FieldWrites, InLineWritesMatchTheCheckedSetters) {
  const TFieldType types[] = {ftString,  ftSmallint, ftInteger, ftWord,     ftLargeint,
                              ftBoolean, ftFloat,    ftBCD,     ftCurrency, ftDate,
                              ftTime,    ftDateTime, ftMemo,    ftBytes,    ftDecimalText};
  std::vector<TFieldDef> defs;
  for (TFieldType type : types) defs.push_back({"F" + FieldTypeName(type), type, 8});
  TMemoryDataSet checked;
  TMemoryDataSet inLine;
  checked.SetFieldDefs(defs);
  inLine.SetFieldDefs(defs);

  // What a write did: the error raised (type and message) and the value
  // held afterwards, doubles by their bits so that NaN compares too.
  auto run = [](TField* field, const std::function<void(TField*)>& write) {
    std::string outcome;
    try {
      write(field);
    } catch (const Exception& e) {
      outcome = std::string(typeid(e).name()) + ": " + e.Message() + "; ";
    }
    const TFieldData& data = field->Data();
    outcome += "alternative " + std::to_string(data.index()) + " ";
    if (const auto* d = std::get_if<double>(&data)) {
      outcome += std::to_string(std::bit_cast<std::uint64_t>(*d));
    } else if (const auto* i = std::get_if<std::int64_t>(&data)) {
      outcome += std::to_string(*i);
    } else if (const auto* b = std::get_if<bool>(&data)) {
      outcome += *b ? "true" : "false";
    } else if (const auto* t = std::get_if<std::string>(&data)) {
      outcome += "'" + *t + "'";
    }
    return outcome;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double moment = EncodeDate(2024, 3, 15) + EncodeTime(18, 30, 0, 0);
  struct Write {
    std::string Label;
    std::function<void(TField*)> Checked;
    std::function<void(TField*)> InLine;
  };
  std::vector<Write> writes;
  for (const char* text : {"", " 42 ", "-32769", "70000", "99999999999999999999", "abc", "1.5",
                           "true", "3/15/2024", "a text longer than fifteen bytes"}) {
    const std::string t = text;
    writes.push_back({"string '" + t + "'", [t](TField* f) { f->SetAsString(t); },
                      [t](TField* f) { f->WriteString(t); }});
  }
  for (bool b : {true, false}) {
    writes.push_back({b ? "true" : "false", [b](TField* f) { f->SetAsBoolean(b); },
                      [b](TField* f) { f->WriteBoolean(b); }});
  }
  for (std::int64_t c : {std::int64_t{15000}, std::int64_t{-123456789}, std::int64_t{5}}) {
    writes.push_back({"currency " + std::to_string(c), [c](TField* f) { f->SetAsCurrency(c); },
                      [c](TField* f) { f->WriteCurrency(c); }});
  }
  for (double v : {2.5, -1.25, 1e300, moment, nan, std::numeric_limits<double>::infinity()}) {
    writes.push_back({"float " + std::to_string(v), [v](TField* f) { f->SetAsFloat(v); },
                      [v](TField* f) { f->WriteFloat(v); }});
    writes.push_back({"date-time " + std::to_string(v), [v](TField* f) { f->SetAsDateTime(v); },
                      [v](TField* f) { f->WriteDateTime(v); }});
  }

  enum { kInsert, kReadOnly, kBrowse };
  for (int mode : {kInsert, kReadOnly, kBrowse}) {
    for (TMemoryDataSet* ds : {&checked, &inLine}) {
      ds->Open();
      ds->Append();
      for (TField* f : ds->Fields()) f->SetReadOnly(mode == kReadOnly);
      if (mode == kBrowse) ds->Post();
    }
    for (std::size_t i = 0; i < std::size(types); ++i) {
      TField* a = checked.Fields(static_cast<int>(i));
      TField* b = inLine.Fields(static_cast<int>(i));
      for (const Write& w : writes) {
        a->SetData(TFieldData{});
        b->SetData(TFieldData{});
        EXPECT_EQ(run(b, w.InLine), run(a, w.Checked))
            << FieldTypeName(types[i]) << ", " << w.Label << ", mode " << mode;
      }
    }
    for (TMemoryDataSet* ds : {&checked, &inLine}) ds->Close();
  }
}

}  // namespace
}  // namespace korvane
