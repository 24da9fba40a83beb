// Texts appended in place: the date, time and number writers and the
// fields' AppendText add exactly the bytes of their string-returning forms
// after whatever the target already holds, under settings that change
// between calls, and add nothing when they raise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "data/db.h"
#include "text/formats.h"
#include "support/format_settings.h"

namespace korvane {
namespace {

class AppendTextTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFormatSettings(); }
  TFormatSettings& Settings() { return FormatSettings(); }

  // Tuesday 2024-03-05 14:07:09.045
  static TDateTime Sample() { return EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45); }

  static std::string Date(TDateTime value) {
    std::string out = "x|";
    AppendDateToStr(out, value);
    return out;
  }
  static std::string Time(TDateTime value) {
    std::string out = "x|";
    AppendTimeToStr(out, value);
    return out;
  }
  static std::string DateTime(TDateTime value) {
    std::string out = "x|";
    AppendDateTimeToStr(out, value);
    return out;
  }

 private:
  ScopedFormatSettings FGuard;
};

TEST_F(AppendTextTest, DateAndTimeTextsGoAfterWhatIsThere) {
  EXPECT_EQ(Date(Sample()), "x|3/5/2024");
  EXPECT_EQ(Time(Sample()), "x|14:07:09");
  EXPECT_EQ(DateTime(Sample()), "x|3/5/2024 14:07:09");
  EXPECT_EQ(DateTime(EncodeDate(2024, 3, 5)), "x|3/5/2024");  // midnight is left out
  EXPECT_EQ(Date(-1.25), "x|12/29/1899");
  std::string out;
  AppendDateToStr(out, EncodeDate(1, 1, 1));
  out += ';';
  AppendDateToStr(out, EncodeDate(9999, 12, 31));
  EXPECT_EQ(out, "1/1/0001;12/31/9999");
}

TEST_F(AppendTextTest, SettingsChangedBetweenCallsTakeEffectAtOnce) {
  const TDateTime day = EncodeDate(2024, 3, 5);
  EXPECT_EQ(Date(day), "x|3/5/2024");
  // A format of the same length in another order, then other separators.
  Settings().ShortDateFormat = "d/m/yyyy";
  EXPECT_EQ(Date(day), "x|5/3/2024");
  Settings().DateSeparator = '-';
  EXPECT_EQ(Date(day), "x|5-3-2024");
  Settings().DateSeparator = '.';
  EXPECT_EQ(Date(day), "x|5.3.2024");
  // Names are read as each value is written.
  Settings().ShortDateFormat = "d mmmm yyyy";
  EXPECT_EQ(Date(day), "x|5 March 2024");
  Settings().LongMonthNames[2] = "Mars";
  EXPECT_EQ(Date(day), "x|5 Mars 2024");

  EXPECT_EQ(Time(Sample()), "x|14:07:09");
  Settings().TimeSeparator = '.';
  EXPECT_EQ(Time(Sample()), "x|14.07.09");
  Settings().LongTimeFormat = "h:nn ampm";
  EXPECT_EQ(Time(Sample()), "x|2.07 PM");
  Settings().TimePMString = "nachm.";
  EXPECT_EQ(Time(Sample()), "x|2.07 nachm.");
  EXPECT_EQ(DateTime(Sample()), "x|5 Mars 2024 2.07 nachm.");

  // Formats given to FormatDateTime one after the other, and back.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd", Sample()), "2024.03.05");
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh", Sample()), "2024.03.05 14");
    EXPECT_EQ(FormatDateTime("hh:nn", Sample()), "14.07");
  }
}

TEST_F(AppendTextTest, OneAndTwoDigitParts) {
  Settings().ShortDateFormat = "d/m/yy";
  EXPECT_EQ(Date(EncodeDate(2009, 9, 9)), "x|9/9/09");
  EXPECT_EQ(Date(EncodeDate(2010, 10, 10)), "x|10/10/10");
  Settings().ShortDateFormat = "dd/mm/yyyy";
  EXPECT_EQ(Date(EncodeDate(2009, 9, 9)), "x|09/09/2009");
  EXPECT_EQ(Date(EncodeDate(999, 12, 31)), "x|31/12/0999");
  Settings().LongTimeFormat = "h:n:s.z";
  EXPECT_EQ(Time(EncodeTime(9, 9, 9, 5)), "x|9:9:9.5");
  EXPECT_EQ(Time(EncodeTime(10, 10, 10, 45)), "x|10:10:10.45");
  EXPECT_EQ(Time(EncodeTime(23, 59, 59, 999)), "x|23:59:59.999");
  Settings().LongTimeFormat = "hh:nn:ss.zzz";
  EXPECT_EQ(Time(EncodeTime(0, 0, 0, 5)), "x|00:00:00.005");
  EXPECT_EQ(Time(EncodeTime(1, 2, 3, 45)), "x|01:02:03.045");
  Settings().LongTimeFormat = "h:nn am/pm";
  EXPECT_EQ(Time(EncodeTime(0, 5, 0, 0)), "x|12:05 am");
  EXPECT_EQ(Time(EncodeTime(21, 5, 0, 0)), "x|9:05 pm");
}

TEST_F(AppendTextTest, TextsLongerThanAShortLine) {
  Settings().LongMonthNames[2] = std::string(100, 'M');
  Settings().LongDayNames[2] = std::string(70, 'T');
  Settings().ShortDateFormat = "mmmm dddd d mmmm";
  EXPECT_EQ(Date(EncodeDate(2024, 3, 5)), "x|" + std::string(100, 'M') + " " +
                                              std::string(70, 'T') + " 5 " + std::string(100, 'M'));
  Settings().ShortDateFormat = "'" + std::string(90, 'q') + "' yyyy";
  EXPECT_EQ(Date(EncodeDate(2024, 3, 5)), "x|" + std::string(90, 'q') + " 2024");
}

TEST_F(AppendTextTest, AValueOutsideTheCalendarAppendsNothing) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), 2958466.0, -693594.5}) {
    std::string out = "keep";
    EXPECT_THROW(AppendDateToStr(out, bad), EConvertError);
    EXPECT_THROW(AppendTimeToStr(out, bad), EConvertError);
    EXPECT_THROW(AppendDateTimeToStr(out, bad), EConvertError);
    EXPECT_EQ(out, "keep");
  }
}

TEST_F(AppendTextTest, EveryDayOfTheCalendarDecodes) {
  // Years 1 to 9999, day by day, with the calendar's own leap rule.
  auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  TDateTime serial = EncodeDate(1, 1, 1);
  std::uint16_t y = 0, m = 0, d = 0;
  for (int year = 1; year <= 9999; ++year) {
    for (int month = 1; month <= 12; ++month) {
      const int days = lengths[month - 1] + (month == 2 && leap(year) ? 1 : 0);
      for (int day = 1; day <= days; ++day, ++serial) {
        DecodeDate(serial, y, m, d);
        ASSERT_TRUE(y == year && m == month && d == day) << year << "-" << month << "-" << day;
      }
    }
  }
  EXPECT_EQ(serial, EncodeDate(9999, 12, 31) + 1);
  // Day of the week across the range: 0001-01-01 was a Monday.
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);
  EXPECT_EQ(DayOfWeek(EncodeDate(9999, 12, 31)), 6);
}

TEST_F(AppendTextTest, FloatTextsGoAfterWhatIsThere) {
  std::string out = "x|";
  for (double v : {0.0, -2.25, 1234.5, 0.00001, 1e20, -1.5e-7}) {
    AppendFloatToStr(out, v);
    out += '|';
  }
  EXPECT_EQ(out, "x|0|-2.25|1234.5|1e-05|1e+20|-1.5e-07|");
  Settings().DecimalSeparator = ',';
  out.clear();
  AppendFloatToStr(out, 1234.5);
  AppendFloatToStr(out, std::numeric_limits<double>::infinity());
  EXPECT_EQ(out, "1234,5INF");
}

// The pointer writers never store past the end of their range, and either
// write the whole text or report that it does not fit.
class CharsTest : public AppendTextTest {
 protected:
  // Runs write on a range of `room` bytes followed by guard bytes; the text
  // written, or "(no room)".
  template <typename Write>
  std::string Into(std::size_t room, Write write) {
    std::string buffer(room + 8, '#');
    char* const first = buffer.data();
    const char* end = write(first, first + room);
    EXPECT_EQ(buffer.substr(room), std::string(8, '#')) << "stored past the range";
    return end == nullptr ? "(no room)" : std::string(static_cast<const char*>(first), end);
  }
};

TEST_F(CharsTest, DatesAndTimesFitOrReportNoRoom) {
  const TDateTime v = Sample();
  auto date = [v](char* f, char* l) { return DateToChars(f, l, v); };
  auto time = [v](char* f, char* l) { return TimeToChars(f, l, v); };
  auto both = [v](char* f, char* l) { return DateTimeToChars(f, l, v); };
  EXPECT_EQ(Into(64, date), "3/5/2024");
  EXPECT_EQ(Into(64, time), "14:07:09");
  EXPECT_EQ(Into(64, both), "3/5/2024 14:07:09");
  EXPECT_EQ(Into(3, date), "(no room)");
  EXPECT_EQ(Into(12, both), "(no room)");
  EXPECT_EQ(Into(64, [](char* f, char* l) { return DateTimeToChars(f, l, 45000.0); }), "3/15/2023");
  // Names longer than the range.
  Settings().ShortDateFormat = "mmmm d";
  Settings().LongMonthNames[2] = std::string(40, 'M');
  EXPECT_EQ(Into(30, date), "(no room)");
  EXPECT_EQ(Into(64, date), std::string(40, 'M') + " 5");
  char buffer[16];
  EXPECT_THROW(DateToChars(buffer, buffer + sizeof buffer, 1e300), EConvertError);
}

TEST_F(CharsTest, FloatsFitExactlyOrReportNoRoom) {
  auto write = [](double v) { return [v](char* f, char* l) { return FloatToChars(f, l, v); }; };
  EXPECT_EQ(Into(64, write(-1234.5)), "-1234.5");
  EXPECT_EQ(Into(7, write(-1234.5)), "-1234.5");
  EXPECT_EQ(Into(6, write(-1234.5)), "(no room)");
  EXPECT_EQ(Into(5, write(-1.5e-7)), "(no room)");
  EXPECT_EQ(Into(64, write(-1.5e-7)), "-1.5e-07");
  EXPECT_EQ(Into(24, write(-2.2250738585072014e-308)), "-2.2250738585072014e-308");
  EXPECT_EQ(Into(3, write(std::numeric_limits<double>::quiet_NaN())), "NAN");
}

TEST_F(CharsTest, IntegersAtEveryDigitCount) {
  std::vector<std::int64_t> values = {0, std::numeric_limits<std::int64_t>::min(),
                                      std::numeric_limits<std::int64_t>::max(), 4294967295,
                                      4294967296};
  for (std::int64_t power = 1;; power *= 10) {
    for (std::int64_t v : {power - 1, power, power + 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
    if (power > std::numeric_limits<std::int64_t>::max() / 10) break;  // 10^18
  }
  for (std::int64_t v : values) {
    char buffer[kIntegerTextRoom];
    const std::string text(buffer, PutInteger(buffer, v));
    EXPECT_EQ(text, std::to_string(v));
  }
}

// The date writer gives DateToStr's text under the format it was made
// with, for whole days and for values with a time of day.
TEST_F(CharsTest, TheDateWriterWritesDateToStrText) {
  for (const char* format :
       {"m/d/yyyy", "dd.mm.yy", "yyyymmdd", "'day' d, mm/yyyy", "d/m/y", "d/yyyy/m", "mm/dd"}) {
    Settings().ShortDateFormat = format;
    Settings().DateSeparator = '-';
    const TDateWriter writer;
    ASSERT_GT(writer.Room(), 0u) << format;
    auto check = [&](TDateTime value) {
      std::string buffer(writer.Room() + 8, '#');
      const char* const begin = buffer.data();
      const char* end = writer.Put(buffer.data(), value);
      EXPECT_EQ(buffer.substr(writer.Room()), std::string(8, '#')) << "stored past the room";
      EXPECT_EQ(std::string(begin, end), DateToStr(value)) << format << " " << value;
    };
    for (TDateTime day = EncodeDate(1, 1, 1); day <= EncodeDate(9999, 12, 31); day += 997) {
      check(day);
    }
    for (TDateTime value : {EncodeDate(1, 1, 1), EncodeDate(9999, 12, 31), 0.0, -1.0, -1.25, 59.0,
                            60.0, 61.0, 45000.5, 45000.9999999999, -0.9999999999}) {
      check(value);
    }
    // Changing the settings later does not change the writer.
    const std::string text = DateToStr(EncodeDate(2024, 3, 5));
    Settings().ShortDateFormat = "yyyy";
    std::string buffer(writer.Room(), '#');
    const char* const begin = buffer.data();
    const char* const end = writer.Put(buffer.data(), EncodeDate(2024, 3, 5));
    EXPECT_EQ(std::string(begin, end), text);
    EXPECT_THROW(writer.Put(buffer.data(), EncodeDate(9999, 12, 31) + 1), EConvertError);
  }
  Settings().ShortDateFormat = "ddd d mmm yyyy";
  EXPECT_EQ(TDateWriter().Room(), 0u);  // names: the length depends on the value
}

// ---------------------------------------------------------------------------
// Fields

class FieldAppendTextTest : public AppendTextTest {
 protected:
  // A record of every kind of field, appended and current.
  void SetUp() override {
    AppendTextTest::SetUp();
    data.SetFieldDefs({{"I", ftInteger},
                       {"L", ftLargeint},
                       {"S", ftString, 20},
                       {"C", ftCurrency},
                       {"F", ftFloat},
                       {"B", ftBoolean},
                       {"D", ftDate},
                       {"T", ftTime},
                       {"DT", ftDateTime},
                       {"M", ftFmtMemo}});
    data.Open();
  }
  std::string Appended(int index) {
    std::string out = "x|";
    data.Fields(index)->AppendText(out);
    return out;
  }

  TMemoryDataSet data;
};

TEST_F(FieldAppendTextTest, TheSameBytesAsText) {
  data.AppendData({std::int64_t{-2147483647 - 1}, std::numeric_limits<std::int64_t>::min(),
                   std::string("a\0b", 3), std::int64_t{-12345678}, 0.1, false, Sample(), Sample(),
                   Sample(), std::string("memo")});
  const char* const expected[] = {"x|-2147483648",
                                  "x|-9223372036854775808",
                                  "x|a\0b",
                                  "x|-1234.5678",
                                  "x|0.1",
                                  "x|False",
                                  "x|3/5/2024",
                                  "x|14:07:09",
                                  "x|3/5/2024 14:07:09",
                                  "x|memo"};
  for (int i = 0; i < data.FieldCount(); ++i) {
    SCOPED_TRACE(data.Fields(i)->FieldName());
    const std::string text = i == 2 ? std::string("x|a\0b", 5) : std::string(expected[i]);
    EXPECT_EQ(Appended(i), text);
    EXPECT_EQ("x|" + data.Fields(i)->Text(), text);
  }
  // Null values add nothing.
  data.AppendData({});
  for (int i = 0; i < data.FieldCount(); ++i) EXPECT_EQ(Appended(i), "x|") << i;
}

TEST_F(FieldAppendTextTest, TextToCharsWritesInPlaceOrDefers) {
  data.AppendData({std::int64_t{-42}, std::monostate{}, std::string(30, 's'),
                   std::int64_t{-12345678}, 0.1, true, Sample(), Sample(), Sample(),
                   std::string("memo")});
  char buffer[80];
  auto text = [&](int index, std::size_t room) -> std::string {
    std::fill(std::begin(buffer), std::end(buffer), '#');
    const char* end = data.Fields(index)->TextToChars(buffer, buffer + room);
    EXPECT_EQ(buffer[room], '#') << "stored past the range";
    return end == nullptr ? "(deferred)" : std::string(static_cast<const char*>(buffer), end);
  };
  EXPECT_EQ(text(0, 64), "-42");
  EXPECT_EQ(text(0, 3), "-42");
  EXPECT_EQ(text(0, 2), "(deferred)");
  EXPECT_EQ(text(1, 0), "");  // null
  EXPECT_EQ(text(2, 64), std::string(30, 's'));
  EXPECT_EQ(text(2, 29), "(deferred)");
  EXPECT_EQ(text(3, 64), "-1234.5678");
  EXPECT_EQ(text(3, 9), "(deferred)");
  EXPECT_EQ(text(4, 64), "0.1");
  EXPECT_EQ(text(5, 64), "True");
  EXPECT_EQ(text(5, 3), "(deferred)");
  EXPECT_EQ(text(6, 64), "3/5/2024");
  EXPECT_EQ(text(7, 64), "14:07:09");
  EXPECT_EQ(text(8, 64), "3/5/2024 14:07:09");
  EXPECT_EQ(text(8, 10), "(deferred)");
  // A field with an OnGetText handler always defers, without calling it.
  int calls = 0;
  data.Fields(0)->SetOnGetText([&calls](TField*, std::string&) { ++calls; });
  EXPECT_EQ(text(0, 64), "(deferred)");
  EXPECT_EQ(calls, 0);
}

TEST_F(FieldAppendTextTest, MoneyKeepsTwoToFourDecimals) {
  struct Case {
    std::int64_t value;  // ten-thousandths
    const char* text;
  };
  const Case cases[] = {{12345000, "x|1234.50"},
                        {123457, "x|12.3457"},
                        {100010, "x|10.001"},
                        {1, "x|0.0001"},
                        {-500, "x|-0.05"},
                        {0, "x|0.00"},
                        {-10000, "x|-1.00"},
                        {100005, "x|10.0005"},
                        {std::numeric_limits<std::int64_t>::min(), "x|-922337203685477.5808"}};
  for (const Case& c : cases) {
    data.AppendData({std::monostate{}, std::monostate{}, std::monostate{}, c.value});
    EXPECT_EQ(Appended(3), c.text);
  }
  Settings().DecimalSeparator = ',';
  EXPECT_EQ(Appended(3), "x|-922337203685477,5808");
  // Without the money flag the amount is written as a float.
  data.Fields(3)->SetCurrency(false);
  EXPECT_EQ(Appended(3), "x|-922337203685477,6");
}

TEST_F(FieldAppendTextTest, AGetTextHandlerIsCalledOnceAndItsRaiseAddsNothing) {
  data.AppendData({std::int64_t{7}, std::monostate{}, std::string("s")});
  int calls = 0;
  data.Fields(0)->SetOnGetText([&](TField*, std::string& text) {
    ++calls;
    text = "<" + text + ">";
  });
  EXPECT_EQ(Appended(0), "x|<7>");
  EXPECT_EQ(calls, 1);
  // Also for a null value, which the handler may fill in.
  data.Fields(1)->SetOnGetText([](TField*, std::string& text) { text = "none"; });
  EXPECT_EQ(Appended(1), "x|none");
  data.Fields(2)->SetOnGetText([](TField*, std::string&) { throw EConvertError("refused"); });
  std::string out = "keep";
  EXPECT_THROW(data.Fields(2)->AppendText(out), EConvertError);
  EXPECT_EQ(out, "keep");
}

}  // namespace
}  // namespace korvane
