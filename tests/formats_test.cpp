#include "text/formats.h"

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "text/formats_internal.h"
#include "text/formats_iso.h"
#include "core/sysutils.h"
#include "support/format_settings.h"

namespace korvane {
namespace {

// Every test starts from the default settings and leaves them (and the
// clock) as it found them.
class FormatsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFormatSettings(); }

  TFormatSettings& Settings() { return FormatSettings(); }
  // Decimal ',' and thousands '.', as many European hosts have them.
  void UseCommaDecimal() {
    Settings().DecimalSeparator = ',';
    Settings().ThousandSeparator = '.';
  }

 private:
  ScopedFormatSettings FGuard;
};

// The message of the EConvertError that `f` raises, or "" when none.
template <typename F>
std::string ConvertErrorOf(F f) {
  try {
    f();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "";
}

struct Ymd {
  int y, m, d;
};
Ymd DateOf(TDateTime value) {
  std::uint16_t y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  return {y, m, d};
}
std::string Hms(TDateTime value) {
  std::uint16_t h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(value, h, n, s, ms);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%03u", unsigned{h}, unsigned{n}, unsigned{s},
                unsigned{ms});
  return buf;
}

// ---------------------------------------------------------------------------

class StrToFloatTest : public FormatsTest {};

TEST_F(StrToFloatTest, ReadsSignsFractionsExponentsAndBlanks) {
  EXPECT_EQ(StrToFloat("  -12.5 \t"), -12.5);
  EXPECT_EQ(StrToFloat("+3"), 3.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(StrToFloat("5."), 5.0);
  EXPECT_EQ(StrToFloat("0012"), 12.0);
  EXPECT_EQ(StrToFloat("1.5e3"), 1500.0);
  EXPECT_EQ(StrToFloat("2E-4"), 2e-4);
  EXPECT_EQ(StrToFloat("-1e+2"), -100.0);
  // Correctly rounded, not accumulated digit by digit.
  EXPECT_EQ(StrToFloat("0.1"), 0.1);
  EXPECT_EQ(StrToFloat("123456789.123456789"), 123456789.123456789);
  EXPECT_EQ(StrToFloat("2.2250738585072014e-308"), 2.2250738585072014e-308);
  // Below the smallest double: zero, keeping the sign.
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(StrToFloat("-0.0001e-999")));
}

// Short texts are read by scaling their digits with one power of ten; the
// result must still be the double nearest to the text, as the compiler and
// from_chars make it, also where that shortcut has to give way (more than
// 2^53, more than 19 digits, powers beyond 10^22).
TEST_F(StrToFloatTest, RoundsToTheNearestDoubleAroundEveryShortcutLimit) {
  EXPECT_EQ(StrToFloat("9007199254740992"), 9007199254740992.0);
  EXPECT_EQ(StrToFloat("9007199254740993"), 9007199254740993.0);
  EXPECT_EQ(StrToFloat("9007199254740995"), 9007199254740995.0);
  EXPECT_EQ(StrToFloat("1e22"), 1e22);
  EXPECT_EQ(StrToFloat("1e23"), 1e23);
  EXPECT_EQ(StrToFloat("1e-22"), 1e-22);
  EXPECT_EQ(StrToFloat("1e-23"), 1e-23);
  EXPECT_EQ(StrToFloat("1234567890123456789"), 1234567890123456789.0);
  EXPECT_EQ(StrToFloat("12345678901234567891"), 12345678901234567891.0);
  EXPECT_EQ(StrToFloat("0.30000000000000004"), 0.30000000000000004);
  EXPECT_EQ(StrToFloat("000000000000000000000000.5"), 0.5);
  EXPECT_EQ(StrToFloat("4.35"), 4.35);
  EXPECT_EQ(StrToFloat("8.41e21"), 8.41e21);
  EXPECT_EQ(StrToFloat("0.000"), 0.0);
  EXPECT_TRUE(std::signbit(StrToFloat("-0")));

  std::uint64_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 11;
  };
  for (int n = 0; n < 20000; ++n) {
    const int digits = 1 + static_cast<int>(next() % 20);
    std::string text;
    for (int k = 0; k < digits; ++k) text += static_cast<char>('0' + next() % 10);
    const auto point = static_cast<std::size_t>(next() % (text.size() + 1));
    text.insert(point, ".");
    if (text == ".") text = "0";
    if (next() % 2 == 0) text += "e" + std::to_string(static_cast<int>(next() % 61) - 30);
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    ASSERT_EQ(StrToFloat(text), expected) << text;
  }
}

TEST_F(StrToFloatTest, RejectsEverythingElseNamingTheText) {
  for (const char* bad : {"",        "   ",
                          "-",       "+",
                          ".",       "-.",
                          "1,000.5", "1,5",
                          "12.5.1",  "1e",
                          "1e+",     "e5",
                          "abc",     "12a",
                          "inf",     "nan",
                          "0x10",    "1 000",
                          "--1",     "+-1",
                          "1e400",   "-1e999999999999",
                          "1.5 e3"}) {
    double value = 42;
    EXPECT_FALSE(TryStrToFloat(bad, value)) << bad;
    EXPECT_EQ(value, 42) << bad;
    EXPECT_EQ(ConvertErrorOf([&] { StrToFloat(bad); }),
              std::string("'") + bad + "' is not a valid floating point value");
  }
}

TEST_F(StrToFloatTest, FollowsTheDecimalSeparator) {
  UseCommaDecimal();
  EXPECT_EQ(StrToFloat("12,50"), 12.5);
  EXPECT_EQ(StrToFloat("-,25e1"), -2.5);
  double value = 0;
  EXPECT_FALSE(TryStrToFloat("12.50", value));
  EXPECT_FALSE(TryStrToFloat("1.234,5", value));  // thousands separators are refused too
}

// ---------------------------------------------------------------------------

class FloatToStrTest : public FormatsTest {};

TEST_F(FloatToStrTest, PlainDigitsForOrdinaryMagnitudes) {
  EXPECT_EQ(FloatToStr(1234.5), "1234.5");
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(-0.001), "-0.001");
  EXPECT_EQ(FloatToStr(100), "100");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(FloatToStr(-0.0), "0");
}

TEST_F(FloatToStrTest, ExponentForLargeAndTinyMagnitudes) {
  EXPECT_EQ(FloatToStr(1e20), "1e+20");
  EXPECT_EQ(FloatToStr(1e15), "1e+15");
  EXPECT_EQ(FloatToStr(-2.5e15), "-2.5e+15");
  EXPECT_EQ(FloatToStr(1.5e-7), "1.5e-07");
  EXPECT_EQ(FloatToStr(-0.00001), "-1e-05");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  UseCommaDecimal();
  EXPECT_EQ(FloatToStr(1234.5), "1234,5");
  EXPECT_EQ(FloatToStr(1.5e-7), "1,5e-07");
}

TEST_F(FloatToStrTest, ReadsBackAsTheSameDouble) {
  std::vector<double> values = {
      0.1,      1.0 / 3, 2.0 / 3 * 1e10,    5e-324, 1.7976931348623157e308,
      1e-5,     9.99e-6, 999999999999999.9, 1e15,   -4.35e7,
      12345.678};
  // Plus a deterministic spread of bit patterns across the whole range.
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    double v = 0;
    std::uint64_t bits = state;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  for (char decimal : {'.', ','}) {
    Settings().DecimalSeparator = decimal;
    for (double v : values) {
      std::string text = FloatToStr(v);
      double back = 0;
      ASSERT_TRUE(TryStrToFloat(text, back)) << text;
      EXPECT_EQ(back, v) << text;
    }
  }
}

// ---------------------------------------------------------------------------

class FormatFloatTest : public FormatsTest {};

TEST_F(FormatFloatTest, PatternsInEverydayUse) {
  EXPECT_EQ(FormatFloat("###,##0.0", 1234567.89), "1,234,567.9");
  EXPECT_EQ(FormatFloat("###,##0.0", 12.34), "12.3");
  EXPECT_EQ(FormatFloat("###,##0.0", 0), "0.0");
  EXPECT_EQ(FormatFloat("###,##0.0", 999.96), "1,000.0");
  EXPECT_EQ(FormatFloat("##0", 0.4), "0");
  EXPECT_EQ(FormatFloat("##0", 1234.5), "1235");
  EXPECT_EQ(FormatFloat("0.00", 3.14159), "3.14");
  EXPECT_EQ(FormatFloat("0.00", 2), "2.00");
  EXPECT_EQ(FormatFloat("#,##0.00", 1234.5), "1,234.50");
  EXPECT_EQ(FormatFloat("#,##0.00", 100), "100.00");
  EXPECT_EQ(FormatFloat("#,##0.00", -1234.567), "-1,234.57");
  EXPECT_EQ(FormatFloat("#,##0", 1000000), "1,000,000");
  EXPECT_EQ(FormatFloat("000", 7), "007");
  EXPECT_EQ(FormatFloat("", 1234.5), "1234.5");
}

TEST_F(FormatFloatTest, RoundsHalfAwayFromZeroOnTheWrittenDigits) {
  EXPECT_EQ(FormatFloat("0", 2.5), "3");
  EXPECT_EQ(FormatFloat("0", -2.5), "-3");
  EXPECT_EQ(FormatFloat("0", 0.5), "1");
  EXPECT_EQ(FormatFloat("0.00", 1.005), "1.01");
  EXPECT_EQ(FormatFloat("0.00", 9.995), "10.00");
  EXPECT_EQ(FormatFloat("0.0", 0.05), "0.1");
  EXPECT_EQ(FormatFloat("0.0", 0.04999), "0.0");
  EXPECT_EQ(FormatFloat("#,##0", 999999.5), "1,000,000");
}

TEST_F(FormatFloatTest, NoMinusOnValuesThatRoundToZero) {
  EXPECT_EQ(FormatFloat("0.0", -0.04), "0.0");
  EXPECT_EQ(FormatFloat("##0", -0.4), "0");
  EXPECT_EQ(FormatFloat("0.00", -0.0), "0.00");
  EXPECT_EQ(FormatFloat("0.0", -0.05), "-0.1");
}

TEST_F(FormatFloatTest, OptionalDigitsAndOddSeparators) {
  EXPECT_EQ(FormatFloat("#.##", 0.5), ".5");
  EXPECT_EQ(FormatFloat("0.##", 1.5), "1.5");
  EXPECT_EQ(FormatFloat("0.##", 2), "2");
  EXPECT_EQ(FormatFloat("0.0#", 1.234), "1.23");
  EXPECT_EQ(FormatFloat("0.0#", 1), "1.0");
  EXPECT_EQ(FormatFloat(".00", 12.5), "12.50");
  UseCommaDecimal();
  EXPECT_EQ(FormatFloat("#,##0.00", 1234567.891), "1.234.567,89");
  EXPECT_EQ(FormatFloat("###,##0.0", -0.25), "-0,3");
  EXPECT_EQ(FormatFloat("0.00", 0.125), "0,13");
}

TEST_F(FormatFloatTest, SectionsAndLiterals) {
  const char* accounting = "#,##0.00;(#,##0.00);'nil'";
  EXPECT_EQ(FormatFloat(accounting, 1234.5), "1,234.50");
  EXPECT_EQ(FormatFloat(accounting, -1234.5), "(1,234.50)");
  EXPECT_EQ(FormatFloat(accounting, 0), "nil");
  EXPECT_EQ(FormatFloat(accounting, -0.001), "nil");
  EXPECT_EQ(FormatFloat("0;(0)", -0.2), "0");
  EXPECT_EQ(FormatFloat("$#,##0", -1234), "-$1,234");
  EXPECT_EQ(FormatFloat("0 \"kg\"", 12), "12 kg");
  EXPECT_EQ(FormatFloat("'#'0", 5), "#5");
}

TEST_F(FormatFloatTest, HugeTinyAndNonFiniteValues) {
  std::string huge = FormatFloat("#,##0", 1e300);
  EXPECT_EQ(huge.size(), 301u + 100u);
  EXPECT_EQ(huge.substr(0, 6), "1,000,");
  std::string largest = FormatFloat("0.00", 1.7976931348623157e308);
  EXPECT_EQ(largest.substr(0, 17), "17976931348623157");
  EXPECT_EQ(largest.size(), 309u + 3u);
  EXPECT_EQ(FormatFloat("0.00", 5e-324), "0.00");
  EXPECT_EQ(FormatFloat("0.00", -5e-324), "0.00");
  EXPECT_EQ(FormatFloat("#,##0.00", std::nan("")), "NAN");
  EXPECT_EQ(FormatFloat("#,##0.00", -std::numeric_limits<double>::infinity()), "-INF");
}

// ---------------------------------------------------------------------------

class EncodeDecodeTest : public FormatsTest {};

TEST_F(EncodeDecodeTest, DaySerialsAndCalendarRules) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465);
  TDateTime value = 0;
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, value));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, value));
  for (Ymd bad : {Ymd{2023, 2, 29}, Ymd{1900, 2, 29}, Ymd{2024, 4, 31}, Ymd{2024, 13, 1},
                  Ymd{2024, 0, 1}, Ymd{2024, 1, 0}, Ymd{0, 1, 1}, Ymd{10000, 1, 1}}) {
    EXPECT_FALSE(TryEncodeDate(bad.y, bad.m, bad.d, value)) << bad.y << "-" << bad.m;
  }
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(2023, 2, 29); }),
            "Invalid date: year 2023, month 2, day 29");
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 3, 5)), 3);  // a Tuesday
  EXPECT_EQ(DayOfWeek(0), 7);                       // day zero was a Saturday
  EXPECT_EQ(DayOfWeek(-1), 6);
}

TEST_F(EncodeDecodeTest, EveryDayDecodesToTheDateItWasMadeFrom) {
  // Walks the calendar day by day, with its own leap rule, from 1600 to 2400.
  auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  TDateTime serial = EncodeDate(1600, 1, 1);
  for (int y = 1600; y < 2400; ++y) {
    for (int m = 1; m <= 12; ++m) {
      int days = lengths[m - 1] + (m == 2 && leap(y) ? 1 : 0);
      for (int d = 1; d <= days; ++d, ++serial) {
        Ymd got = DateOf(serial);
        ASSERT_TRUE(got.y == y && got.m == m && got.d == d) << y << "-" << m << "-" << d;
      }
    }
  }
  EXPECT_EQ(serial, EncodeDate(2400, 1, 1));
}

TEST_F(EncodeDecodeTest, TimesRoundToTheNearestMillisecond) {
  EXPECT_EQ(Hms(0.99999999), "23:59:59.999");
  // Just short of midnight rounds up into the next day, never to 24:00.
  EXPECT_EQ(Hms(0.999999999), "00:00:00.000");
  Ymd next = DateOf(0.999999999);
  EXPECT_TRUE(next.y == 1899 && next.m == 12 && next.d == 31);
  EXPECT_EQ(Hms(EncodeTime(10, 20, 59, 999) + 0.4 / 86400000), "10:20:59.999");
  EXPECT_EQ(Hms(EncodeTime(10, 20, 59, 999) + 0.6 / 86400000), "10:21:00.000");
  // Every millisecond count survives the trip through a double, near day
  // zero, far from it and before it.
  for (TDateTime date : {0.0, 45000.0, 2958465.0, -693593.0}) {
    for (int ms = 0; ms < 86400000; ms += 997) {
      TDateTime t = EncodeTime(ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
      TDateTime v = ComposeDateTime(date, t);
      std::uint16_t h = 0, n = 0, s = 0, z = 0;
      DecodeTime(v, h, n, s, z);
      ASSERT_EQ(((h * 60 + n) * 60 + s) * 1000 + z, ms) << date;
    }
  }
}

TEST_F(EncodeDecodeTest, DatesBeforeDayZeroCountTheTimeForwards) {
  TDateTime v = ComposeDateTime(EncodeDate(1899, 12, 29), EncodeTime(6, 0, 0, 0));
  EXPECT_EQ(v, -1.25);
  Ymd d = DateOf(-1.25);
  EXPECT_TRUE(d.y == 1899 && d.m == 12 && d.d == 29);
  EXPECT_EQ(Hms(-1.25), "06:00:00.000");
  EXPECT_EQ(Hms(-0.5), "12:00:00.000");  // still day zero
  // Rounding just short of midnight moves to the next day here too.
  Ymd e = DateOf(-1.9999999999);
  EXPECT_TRUE(e.y == 1899 && e.m == 12 && e.d == 28);
  EXPECT_EQ(Hms(-1.9999999999), "00:00:00.000");
}

TEST_F(EncodeDecodeTest, ValuesOutsideTheCalendarAreRefused) {
  for (double bad :
       {std::nan(""), std::numeric_limits<double>::infinity(), 2958466.0, -693594.5, 1e300}) {
    EXPECT_THROW(DateOf(bad), EConvertError) << bad;
    EXPECT_THROW(Hms(bad), EConvertError) << bad;
    EXPECT_THROW(FormatDateTime("hh", bad), EConvertError) << bad;
  }
}

// ---------------------------------------------------------------------------

class FormatDateTimeTest : public FormatsTest {
 protected:
  // Tuesday 2024-03-05 14:07:09.045
  TDateTime Sample() { return EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45); }
};

TEST_F(FormatDateTimeTest, TokensAndSeparators) {
  Settings().DateSeparator = '-';
  Settings().TimeSeparator = '.';
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn:ss.zzz", Sample()), "05-03-2024 14.07.09.045");
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s z", Sample()), "5-3-24 14.7.9 45");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", Sample()), "Tue Tuesday Mar March");
  EXPECT_EQ(FormatDateTime("DD/MM/YYYY HH:NN", Sample()), "05-03-2024 14.07");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd\"T\"hh:nn", Sample()), "2024-03-05T14.07");
  EXPECT_EQ(FormatDateTime("'d/m' yyyy", Sample()), "d/m 2024");
  EXPECT_EQ(FormatDateTime("yyyy yy", EncodeDate(1, 1, 1)), "0001 01");
}

TEST_F(FormatDateTimeTest, MinutesAfterAnHourAndTwelveHourClock) {
  EXPECT_EQ(FormatDateTime("h:mm", Sample()), "14:07");
  EXPECT_EQ(FormatDateTime("hh' h 'mm", Sample()), "14 h 07");
  EXPECT_EQ(FormatDateTime("mm", Sample()), "03");
  EXPECT_EQ(FormatDateTime("h dd mm", Sample()), "14 05 03");
  EXPECT_EQ(FormatDateTime("hh:mm am/pm", Sample()), "02:07 pm");
  EXPECT_EQ(FormatDateTime("h AM/PM", Sample()), "2 PM");
  EXPECT_EQ(FormatDateTime("h a/p", Sample()), "2 p");
  EXPECT_EQ(FormatDateTime("h:nn am/pm", EncodeTime(0, 30, 0, 0)), "12:30 am");
  EXPECT_EQ(FormatDateTime("h:nn AM/PM", EncodeTime(12, 0, 0, 0)), "12:00 PM");
  Settings().TimePMString = "nachm.";
  EXPECT_EQ(FormatDateTime("h ampm", Sample()), "2 nachm.");
}

TEST_F(FormatDateTimeTest, DateTimeAndTimeTexts) {
  EXPECT_EQ(DateToStr(Sample()), "3/5/2024");
  EXPECT_EQ(TimeToStr(Sample()), "14:07:09");
  EXPECT_EQ(DateTimeToStr(Sample()), "3/5/2024 14:07:09");
  // Midnight is left out; a millisecond after it is not.
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5)), "3/5/2024");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5) + EncodeTime(0, 0, 0, 1)), "3/5/2024 00:00:00");
  EXPECT_EQ(DateTimeToStr(-1.25), "12/29/1899 06:00:00");
  EXPECT_EQ(FormatDateTime("", Sample()), "3/5/2024 14:07:09");
  // A value just short of midnight shows as the next day, not as 24:00.
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", EncodeDate(2024, 2, 29) + 0.9999999999),
            "2024-03-01 00:00:00.000");

  Settings().DateSeparator = '-';
  Settings().ShortDateFormat = "dd.mm.yyyy";
  EXPECT_EQ(DateToStr(Sample()), "05.03.2024");
  Settings().ShortDateFormat = "yyyy/mm/dd";
  EXPECT_EQ(DateToStr(Sample()), "2024-03-05");
}

// ---------------------------------------------------------------------------

class StrToDateTest : public FormatsTest {
 protected:
  bool Reads(const char* text, int y, int m, int d) {
    TDateTime value = 0;
    return TryStrToDate(text, value) && value == EncodeDate(y, m, d);
  }
};

TEST_F(StrToDateTest, DefaultMonthDayYear) {
  EXPECT_TRUE(Reads("3/5/2024", 2024, 3, 5));
  EXPECT_TRUE(Reads(" 12/31/1999 ", 1999, 12, 31));
  EXPECT_TRUE(Reads("01/02/0001", 1, 1, 2));
  EXPECT_TRUE(Reads("2/29/2024", 2024, 2, 29));
  EXPECT_TRUE(Reads("1/2/03", 2003, 1, 2));
  EXPECT_TRUE(Reads("1/2/49", 2049, 1, 2));
  EXPECT_TRUE(Reads("1/2/50", 1950, 1, 2));
  Settings().TwoDigitYearPivot = 30;
  EXPECT_TRUE(Reads("1/2/29", 2029, 1, 2));
  EXPECT_TRUE(Reads("1/2/30", 1930, 1, 2));
}

TEST_F(StrToDateTest, FollowsTheFormatsOrderAndSeparators) {
  Settings().DateSeparator = '-';
  Settings().ShortDateFormat = "dd.mm.yyyy";
  EXPECT_TRUE(Reads("05.03.2024", 2024, 3, 5));
  EXPECT_TRUE(Reads("5-3-2024", 2024, 3, 5));
  EXPECT_FALSE(Reads("5/3/2024", 2024, 3, 5));
  Settings().ShortDateFormat = "yyyy/mm/dd";
  EXPECT_TRUE(Reads("2024-03-05", 2024, 3, 5));
  EXPECT_TRUE(Reads("24-3-5", 2024, 3, 5));
  EXPECT_FALSE(Reads("05-03-2024", 2024, 3, 5));
}

TEST_F(StrToDateTest, MonthNamesAndFormatsWithoutSeparators) {
  Settings().ShortDateFormat = "dd-mmm-yyyy";
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), "05-Mar-2024");
  EXPECT_TRUE(Reads("05-Mar-2024", 2024, 3, 5));
  EXPECT_TRUE(Reads("5-march-24", 2024, 3, 5));
  EXPECT_TRUE(Reads("5/3/2024", 2024, 3, 5));
  EXPECT_FALSE(Reads("05-Mrz-2024", 2024, 3, 5));
  EXPECT_FALSE(Reads("05-Mar2024", 2024, 3, 5));
  Settings().ShortDateFormat = "yyyymmdd";
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), "20240305");
  EXPECT_TRUE(Reads("20240305", 2024, 3, 5));
  EXPECT_FALSE(Reads("2024035", 2024, 3, 5));
  EXPECT_FALSE(Reads("202403050", 2024, 3, 5));
  TDateTime value = 0;
  EXPECT_FALSE(TryStrToDate("20240230", value));
  Settings().ShortDateFormat = "ddmmyy";
  EXPECT_TRUE(Reads("050324", 2024, 3, 5));
  EXPECT_FALSE(Reads("53024", 2024, 3, 5));
  Settings().ShortDateFormat = "d. mmmm 'de' yyyy";
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), "5. March de 2024");
  EXPECT_TRUE(Reads("5. march DE 2024", 2024, 3, 5));
  EXPECT_FALSE(Reads("5. March  de 2024", 2024, 3, 5));
  EXPECT_EQ(StrToDateTime("5. March de 2024 10:30"),
            EncodeDate(2024, 3, 5) + EncodeTime(10, 30, 0, 0));
  EXPECT_EQ(StrToDateTime("5. March de 2024"), EncodeDate(2024, 3, 5));
}

TEST_F(StrToDateTest, RejectsWhatIsNotADate) {
  for (const char* bad : {"",         "  ",         "2/29/2023", "2/29/1900",      "13/1/2024",
                          "0/1/2024", "1/32/2024",  "4/31/2024", "1/1/0000",       "1/1/2024x",
                          "1/1",      "1/1/2024/1", "1/1/224",   "1/1/02024",      "001/1/2024",
                          "1//2024",  "a/b/c",      "1 /1/2024", "1/1/2024 10:00", "-1/1/2024"}) {
    TDateTime value = 0;
    EXPECT_FALSE(TryStrToDate(bad, value)) << bad;
    EXPECT_EQ(ConvertErrorOf([&] { StrToDate(bad); }),
              std::string("'") + bad + "' is not a valid date");
  }
}

// Texts of digit runs and single bytes, read as dates and compared with a
// plain reading of the only shape they can have here: one or two digits,
// an accepted separator, one or two digits, a separator, two or four
// digits, then a date that exists.
TEST_F(StrToDateTest, ShortDigitTextsReadAsAPlainReadingDoes) {
  struct Setup {
    const char* format;
    char separator;
    const char* accepted;  // the bytes a text may have between its parts
    bool monthFirst;
  };
  const char pieces[] = {'/', '.', '-', 'x', ' '};
  for (Setup setup : {Setup{"m/d/yyyy", '/', "/", true}, Setup{"dd.mm.yy", '-', "-.", false}}) {
    Settings().ShortDateFormat = setup.format;
    Settings().DateSeparator = setup.separator;
    const std::string accepted = setup.accepted;
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
      seed = seed * 1664525u + 1013904223u;
      return (seed >> 8) % n;
    };
    for (int round = 0; round < 60000; ++round) {
      std::string text;
      for (int k = 0; k < 3; ++k) {
        const auto run = next(k == 2 ? 6 : 4);
        for (std::uint32_t d = 0; d < run; ++d) text += static_cast<char>('0' + next(10));
        if (k < 2) {
          const auto kind = next(4);
          text += kind == 0   ? static_cast<char>('0' + next(10))
                  : kind == 1 ? pieces[next(5)]
                              : accepted[next(static_cast<std::uint32_t>(accepted.size()))];
        }
      }
      if (next(20) == 0) text += pieces[next(5)];
      // The plain reading, on the text without the blanks around it.
      const std::size_t first = text.find_first_not_of(' ');
      const std::string t = first == std::string::npos
                                ? ""
                                : text.substr(first, text.find_last_not_of(' ') + 1 - first);
      int parts[3] = {0, 0, 0};
      int widths[3] = {0, 0, 0};
      std::size_t i = 0;
      bool shaped = true;
      for (int k = 0; k < 3 && shaped; ++k) {
        if (k > 0) {
          shaped = i < t.size() && accepted.find(t[i]) != std::string::npos;
          ++i;
        }
        // Digits beyond the fourth only count: such a part is never shaped.
        for (; shaped && i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, ++widths[k]) {
          if (widths[k] < 4) parts[k] = parts[k] * 10 + (t[i] - '0');
        }
      }
      shaped = shaped && i == t.size() && widths[0] >= 1 && widths[0] <= 2 && widths[1] >= 1 &&
               widths[1] <= 2 && (widths[2] == 2 || widths[2] == 4);
      TDateTime expected = 0;
      bool valid = false;
      if (shaped) {
        const int y = widths[2] == 4 ? parts[2] : parts[2] + (parts[2] < 50 ? 2000 : 1900);
        const int month = setup.monthFirst ? parts[0] : parts[1];
        const int day = setup.monthFirst ? parts[1] : parts[0];
        valid = TryEncodeDate(y, month, day, expected);
      }
      TDateTime value = -1;
      ASSERT_EQ(TryStrToDate(text, value), valid) << setup.format << " '" << text << "'";
      if (valid) {
        ASSERT_EQ(value, expected) << setup.format << " '" << text << "'";
      }
    }
  }
}

// The quick readings of common date texts stand in front of the full
// grammar: for every format and every text, valid or not, they must decide
// as the grammar alone does.
TEST_F(StrToDateTest, QuickReadingsDecideAsTheFullGrammar) {
  struct Setup {
    const char* format;
    char separator;
  };
  const char* const pieces[] = {"/", ".", "-", " ", "x", "Mar", "march", "0", "00", "1",
                                "12", "29", "31", "2", "2024", "99", "123", "1900", "13", ". "};
  for (Setup setup : {Setup{"m/d/yyyy", '/'}, Setup{"dd.mm.yy", '-'}, Setup{"d/m/yyyy", '.'},
                      Setup{"yyyy-mm-dd", '/'}, Setup{"mm/dd/yy", '/'}, Setup{"yyyymmdd", '/'},
                      Setup{"ddmmyy", '/'}, Setup{"dd-mmm-yyyy", '/'},
                      Setup{"d. mmmm yyyy", '/'}}) {
    Settings().ShortDateFormat = setup.format;
    Settings().DateSeparator = setup.separator;
    std::uint32_t seed = 2024;
    auto next = [&seed](std::uint32_t n) {
      seed = seed * 1664525u + 1013904223u;
      return (seed >> 8) % n;
    };
    for (int round = 0; round < 30000; ++round) {
      std::string text;
      // Every fourth text is a date the format writes, perhaps changed in
      // one byte; the others are runs of pieces.
      if (round % 4 == 0) {
        text = DateToStr(static_cast<TDateTime>(next(2958465 + 693593)) - 693593);
        if (next(2) == 0) text[next(static_cast<std::uint32_t>(text.size()))] = *pieces[next(20)];
      } else {
        for (std::uint32_t k = 1 + next(6); k > 0; --k) text += pieces[next(20)];
      }
      TDateTime quick = -1;
      TDateTime full = -1;
      const bool read = TryStrToDate(text, quick);
      ASSERT_EQ(read, formats_internal::ParseDateByGrammar(text, full))
          << setup.format << " '" << text << "'";
      if (read) {
        ASSERT_EQ(quick, full) << setup.format << " '" << text << "'";
      }
    }
  }
}

TEST_F(StrToDateTest, ReadsBackWhatDateToStrWrites) {
  struct Setup {
    const char* format;
    char separator;
  };
  for (Setup setup : {Setup{"m/d/yyyy", '/'}, Setup{"dd.mm.yyyy", '-'}, Setup{"yyyy-mm-dd", '/'},
                      Setup{"d/m/yyyy", '.'}, Setup{"d mmmm yyyy", '/'}, Setup{"yyyymmdd", '/'},
                      Setup{"dd-mmm-yyyy", '/'}}) {
    Settings().ShortDateFormat = setup.format;
    Settings().DateSeparator = setup.separator;
    for (TDateTime day = -693593; day < 2958466; day += 997) {
      std::string text = DateToStr(day);
      ASSERT_EQ(StrToDate(text), day) << setup.format << " " << text;
    }
  }
}

// ---------------------------------------------------------------------------

class StrToTimeTest : public FormatsTest {
 protected:
  bool Reads(const char* text, int h, int n, int s, int ms) {
    TDateTime value = 0;
    return TryStrToTime(text, value) && value == EncodeTime(h, n, s, ms);
  }
};

TEST_F(StrToTimeTest, HoursMinutesSecondsAndFractions) {
  EXPECT_TRUE(Reads("14:07", 14, 7, 0, 0));
  EXPECT_TRUE(Reads(" 9:05:03 ", 9, 5, 3, 0));
  EXPECT_TRUE(Reads("0:0:0", 0, 0, 0, 0));
  EXPECT_TRUE(Reads("23:59:59.999", 23, 59, 59, 999));
  EXPECT_TRUE(Reads("1:02:03.5", 1, 2, 3, 500));
  EXPECT_TRUE(Reads("1:02:03.05", 1, 2, 3, 50));
}

TEST_F(StrToTimeTest, MorningAndAfternoonMarkers) {
  EXPECT_TRUE(Reads("2:07 PM", 14, 7, 0, 0));
  EXPECT_TRUE(Reads("11:00pm", 23, 0, 0, 0));
  EXPECT_TRUE(Reads("12:00 AM", 0, 0, 0, 0));
  EXPECT_TRUE(Reads("12:30:15 pm", 12, 30, 15, 0));
  EXPECT_TRUE(Reads("9:15 am", 9, 15, 0, 0));
  Settings().TimeAMString = "vorm.";
  Settings().TimePMString = "nachm.";
  EXPECT_TRUE(Reads("9:15 Nachm.", 21, 15, 0, 0));
  EXPECT_TRUE(Reads("9:15 vorm.", 9, 15, 0, 0));
  EXPECT_TRUE(Reads("9:15 PM", 21, 15, 0, 0));
}

TEST_F(StrToTimeTest, OddSeparators) {
  Settings().TimeSeparator = '.';
  Settings().DecimalSeparator = ',';
  EXPECT_TRUE(Reads("14.07.09,25", 14, 7, 9, 250));
  EXPECT_TRUE(Reads("14.07.09.25", 14, 7, 9, 250));
  EXPECT_FALSE(Reads("14:07:09", 14, 7, 9, 0));
  Settings().LongTimeFormat = "hh'h'nn";  // quoted letters are not separators
  EXPECT_FALSE(Reads("14h07", 14, 7, 0, 0));
  Settings().LongTimeFormat = "hh-nn-ss";  // a literal separator reads back
  EXPECT_TRUE(Reads("14-07-09", 14, 7, 9, 0));
  EXPECT_EQ(StrToTime(TimeToStr(EncodeTime(14, 7, 9, 0))), EncodeTime(14, 7, 9, 0));
}

TEST_F(StrToTimeTest, RejectsWhatIsNotATime) {
  for (const char* bad : {"", "24:00", "12:60", "12:00:60", "13:00 PM", "0:00 XM", "12",
                          "12:", "12:00:", ":30", "12:00:00.1234", "12:00:00.", "1:2:3:4", "123:00",
                          "12:000", "12:00 AM PM", "12 :00", "-1:00", "12:00:00 5"}) {
    TDateTime value = 0;
    EXPECT_FALSE(TryStrToTime(bad, value)) << bad;
    EXPECT_EQ(ConvertErrorOf([&] { StrToTime(bad); }),
              std::string("'") + bad + "' is not a valid time");
  }
}

// ---------------------------------------------------------------------------

class StrToDateTimeTest : public FormatsTest {};

TEST_F(StrToDateTimeTest, DateBlanksTimeOrDateAlone) {
  TDateTime date = EncodeDate(2024, 3, 5);
  EXPECT_EQ(StrToDateTime("3/5/2024 14:07:09"), date + EncodeTime(14, 7, 9, 0));
  EXPECT_EQ(StrToDateTime(" 3/5/2024 \t 2:07 PM "), date + EncodeTime(14, 7, 0, 0));
  EXPECT_EQ(StrToDateTime("3/5/2024"), date);
  EXPECT_EQ(StrToDateTime("12/29/1899 06:00:00"), -1.25);
  for (const char* bad : {"3/5/2024 25:00", "3/5/2024 x", "14:07", "3/5/2024T14:07",
                          "2/30/2024 10:00", "3/5/2024 10:00 10:00", ""}) {
    EXPECT_EQ(ConvertErrorOf([&] { StrToDateTime(bad); }),
              std::string("'") + bad + "' is not a valid date and time");
  }
}

TEST_F(StrToDateTimeTest, ReadsBackWhatDateTimeToStrWrites) {
  UseCommaDecimal();
  Settings().DateSeparator = '.';
  Settings().TimeSeparator = '.';
  Settings().LongTimeFormat = "hh:nn:ss";
  for (const char* format : {"dd/mm/yyyy", "d mmmm yyyy"}) {
    Settings().ShortDateFormat = format;
    for (TDateTime day : {-30000.0, -1.0, 0.0, 1.0, 45000.0}) {
      for (int seconds = 0; seconds < 86400; seconds += 601) {
        TDateTime v =
            ComposeDateTime(day, EncodeTime(seconds / 3600, seconds / 60 % 60, seconds % 60, 0));
        std::string text = DateTimeToStr(v);
        ASSERT_EQ(StrToDateTime(text), v) << text;
      }
    }
  }
}

// ---------------------------------------------------------------------------

class HostLocaleTest : public FormatsTest {};

TEST_F(HostLocaleTest, SetlocaleChangesNothing) {
  const char* saved = std::setlocale(LC_ALL, nullptr);
  std::string savedName = saved ? saved : "C";
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE",
                           "fr_FR", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      found = name;
      break;
    }
  }
  if (found == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  // The host's locale writes decimal commas; our results must not.
  EXPECT_EQ(StrToFloat("1234.5"), 1234.5);
  double value = 0;
  EXPECT_FALSE(TryStrToFloat("1234,5", value));
  EXPECT_EQ(FloatToStr(1234.5), "1234.5");
  EXPECT_EQ(FloatToStr(1.5e-7), "1.5e-07");
  EXPECT_EQ(FormatFloat("#,##0.00", 1234.5), "1,234.50");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0)), "3/5/2024 14:07:09");
  EXPECT_EQ(StrToDateTime("3/5/2024 2:07 PM"), EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 0, 0));
  EXPECT_EQ(FormatDateTime("ddd mmm", EncodeDate(2024, 3, 5)), "Tue Mar");
  std::setlocale(LC_ALL, savedName.c_str());
}

// ---------------------------------------------------------------------------

class ClockTest : public FormatsTest {};

TEST_F(ClockTest, InjectedClockAndSystemClock) {
  {
    ManualClock clock(EncodeDate(2024, 3, 5) + EncodeTime(10, 0, 0, 0));
    EXPECT_EQ(TimeToStr(Now()), "10:00:00");
    clock.AdvanceSeconds(4);
    EXPECT_EQ(TimeToStr(Now()), "10:00:04");
    // SetClock hands back the clock it replaces.
    TClockFunction replaced = SetClock([] { return 1.5; });
    ASSERT_TRUE(static_cast<bool>(replaced));
    EXPECT_EQ(replaced(), clock.Value());
    EXPECT_EQ(Now(), 1.5);
    SetClock(std::move(replaced));
    EXPECT_EQ(Now(), clock.Value());
  }
  EXPECT_FALSE(static_cast<bool>(SetClock(nullptr)));  // back on the system clock

  // The system clock reads local time, between two readings of the same
  // clock taken to the whole second around it. time() is not used for the
  // bounds: it may read a coarser clock that lags the precise one by a few
  // milliseconds, so a reading just past a second's turn could fall outside.
  auto wholeSecond = [] {
    using namespace std::chrono;
    return static_cast<std::time_t>(
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
  };
  auto localSerial = [](std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
           EncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec, 0);
  };
  const double halfMs = 0.5 / (24.0 * 60 * 60 * 1000);  // the serial's own rounding
  TDateTime before = localSerial(wholeSecond());
  TDateTime now = Now();
  TDateTime after = localSerial(wholeSecond() + 1);
  EXPECT_LE(before - halfMs, now);
  EXPECT_LE(now, after + halfMs);
}

}  // namespace
// ISO 8601 texts: what each reads as, and why the others are refused.
TEST(IsoDates, ReadsTheExtendedAndBasicFormsAndNamesEachFault) {
  struct TCase {
    const char* Text;
    TIsoKind Kind;
    TIsoFault Fault;
    const char* Canonical;  // IsoText of the value read
    unsigned Forms = isoExtended;  // the forms allowed beyond the extended one
  };
  const TCase cases[] = {
      {"2024-03-05", TIsoKind::Date, TIsoFault::None, "2024-03-05"},
      {"20240305", TIsoKind::Date, TIsoFault::NotIso, ""},
      {"20240305", TIsoKind::Date, TIsoFault::None, "2024-03-05", isoBasic},
      {"20240305T000000", TIsoKind::Date, TIsoFault::None, "2024-03-05", isoBasic},
      {"20230229", TIsoKind::Date, TIsoFault::NoSuchDay, "", isoBasic},
      {"202403051", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic},
      // Ordinal and week dates are refused, never read as another day.
      {"2024-065", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic},
      {"2024065", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic},
      {"2024-W10-2", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic},
      {"2024W102", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic},
      {"20240305T143000", TIsoKind::DateTime, TIsoFault::NotIso, ""},
      {"20240305T143000", TIsoKind::DateTime, TIsoFault::None, "2024-03-05 14:30:00", isoBasic},
      {"20240305t1430+0100", TIsoKind::DateTime, TIsoFault::None, "2024-03-05 14:30:00+01:00",
       isoBasic},
      {"20240305T143000.123456Z", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00.123456Z", isoBasic},
      {"20240305T14:30:00-00:00", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00+00:00", isoBasic},
      {"2024-03-05T143000,5-03", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00.500-03:00", isoBasic},
      {"20240305 143000", TIsoKind::DateTime, TIsoFault::NotIso, "", isoBasic},
      {"2024-03-05 143000", TIsoKind::DateTime, TIsoFault::NotIso, "", isoBasic},
      {"20240305T14", TIsoKind::DateTime, TIsoFault::NotIso, "", isoBasic},
      {"20240305T14300", TIsoKind::DateTime, TIsoFault::NotIso, "", isoBasic},
      {"20240305T1430.5", TIsoKind::DateTime, TIsoFault::NotIso, "", isoBasic},
      {"20240305T240000", TIsoKind::DateTime, TIsoFault::OutOfRange, "", isoBasic},
      {"20240305T143000.1234567", TIsoKind::DateTime, TIsoFault::TooManyDigits, "", isoBasic},
      {"T143000.5", TIsoKind::Time, TIsoFault::None, "14:30:00.500", isoBasic},
      {"T14:30", TIsoKind::Time, TIsoFault::None, "14:30:00", isoBasic},
      {"143000", TIsoKind::Time, TIsoFault::NotIso, "", isoBasic},
      {"T143000", TIsoKind::Time, TIsoFault::NotIso, ""},
      {" 2024-03-05 00:00:00 ", TIsoKind::Date, TIsoFault::None, "2024-03-05"},
      {"2024-03-05 00:00:01", TIsoKind::Date, TIsoFault::NotIso, ""},
      {"2024-02-29", TIsoKind::Date, TIsoFault::None, "2024-02-29"},
      {"2023-02-29", TIsoKind::Date, TIsoFault::NoSuchDay, ""},
      {"0000-01-01", TIsoKind::Date, TIsoFault::NoSuchDay, ""},
      {"3/5/2024", TIsoKind::Date, TIsoFault::NotIso, ""},
      {"2024-3-5", TIsoKind::Date, TIsoFault::NotIso, ""},
      {"14:30", TIsoKind::Time, TIsoFault::None, "14:30:00"},
      {"14:30:00,5", TIsoKind::Time, TIsoFault::None, "14:30:00.500"},
      {"23:59:59.999999", TIsoKind::Time, TIsoFault::None, "23:59:59.999999"},
      {"24:00:00", TIsoKind::Time, TIsoFault::OutOfRange, ""},
      {"12:60:00", TIsoKind::Time, TIsoFault::OutOfRange, ""},
      {"12:00:00.1234567", TIsoKind::Time, TIsoFault::TooManyDigits, ""},
      // Digits beyond the sixth that are all zeros say nothing more, where
      // they are allowed; any other is finer than a microsecond.
      {"12:34:56.123456000", TIsoKind::Time, TIsoFault::TooManyDigits, ""},
      {"12:34:56.123456000", TIsoKind::Time, TIsoFault::None, "12:34:56.123456", isoZeroNanos},
      {"2024-03-05T12:34:56,5000000000Z", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 12:34:56.500Z", isoZeroNanos},
      {"20240305T123456.000000000", TIsoKind::DateTime, TIsoFault::None, "2024-03-05 12:34:56",
       isoBasic | isoZeroNanos},
      {"12:34:56.123456001", TIsoKind::Time, TIsoFault::TooManyDigits, "", isoZeroNanos},
      {"12:34:56.1234560000001+01:00", TIsoKind::Time, TIsoFault::TooManyDigits, "",
       isoZeroNanos},
      {"12:00:00.", TIsoKind::Time, TIsoFault::NotIso, ""},
      {"14:30:00+05:30", TIsoKind::Time, TIsoFault::None, "14:30:00+05:30"},
      {"2024-03-05", TIsoKind::DateTime, TIsoFault::None, "2024-03-05"},
      {"2024-03-05T14:30:00Z", TIsoKind::DateTime, TIsoFault::None, "2024-03-05 14:30:00Z"},
      {"2024-03-05t14:30:00.1+01", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00.100+01:00"},
      {"2024-03-05 14:30:00.000010-0330", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00.000010-03:30"},
      {"2024-03-05 14:30:00+15:59", TIsoKind::DateTime, TIsoFault::None,
       "2024-03-05 14:30:00+15:59"},
      {"2024-03-05 14:30:00+16:00", TIsoKind::DateTime, TIsoFault::ZoneOutOfRange, ""},
      {"2024-03-05 14:30:00-15:60", TIsoKind::DateTime, TIsoFault::ZoneOutOfRange, ""},
      {"0001-01-01 00:53:28-00:53:28", TIsoKind::DateTime, TIsoFault::None,
       "0001-01-01 00:53:28-00:53:28"},
      {"2024-03-05 14:30:00+01:00:60", TIsoKind::DateTime, TIsoFault::ZoneOutOfRange, ""},
      {"2024-03-05 14:30:00+0100:00", TIsoKind::DateTime, TIsoFault::NotIso, ""},
      {"2024-03-05 14:30:00+1", TIsoKind::DateTime, TIsoFault::NotIso, ""},
      {"2024-03-05  14:30:00", TIsoKind::DateTime, TIsoFault::NotIso, ""},
      {"2024-03-05 24:00:00", TIsoKind::DateTime, TIsoFault::OutOfRange, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TIsoValue value;
    EXPECT_EQ(ReadIso(c.Text, c.Kind, value, c.Forms), c.Fault);
    if (c.Fault == TIsoFault::None) {
      EXPECT_EQ(IsoText(value), c.Canonical);
    }
  }
}

// The further forms of a database whose dates reach beyond the years 1 to
// 9999: placed on the proleptic Gregorian calendar (1 BC the year before
// 1, leap as the year 0 is), and written as that database writes them.
TEST(IsoDates, WideFormsAreReadAndWrittenAsTheDatabaseWritesThem) {
  struct TCase {
    const char* Text;
    TIsoKind Kind;
    TIsoFault Fault;
    const char* Wide;  // WideIsoText of the value read
    unsigned Forms = isoExtended;
  };
  const TCase cases[] = {
      {"0044-03-15 BC", TIsoKind::Date, TIsoFault::None, "0044-03-15 BC"},
      // Zeros beyond the sixth digit where they are allowed; never a basic
      // date, which would drop the era.
      {"24:00:00.0000000", TIsoKind::Time, TIsoFault::None, "24:00:00", isoZeroNanos},
      {"0044-03-15 12:00:00.1234560 BC", TIsoKind::DateTime, TIsoFault::None,
       "0044-03-15 12:00:00.123456 BC", isoZeroNanos},
      {"00440315 BC", TIsoKind::Date, TIsoFault::NotIso, "", isoBasic | isoZeroNanos},
      {"0005-02-29 bc", TIsoKind::Date, TIsoFault::None, "0005-02-29 BC"},
      {"0004-02-29 BC", TIsoKind::Date, TIsoFault::NoSuchDay, ""},
      {"10000-02-29", TIsoKind::Date, TIsoFault::None, "10000-02-29"},
      {"10100-02-29", TIsoKind::Date, TIsoFault::NoSuchDay, ""},
      {"0000-01-01", TIsoKind::Date, TIsoFault::YearZero, ""},
      {"0000-06-01 BC", TIsoKind::Date, TIsoFault::YearZero, ""},
      {"9999999-12-31", TIsoKind::Date, TIsoFault::FarOutOfRange, ""},
      {"12345678-01-01", TIsoKind::Date, TIsoFault::NotIso, ""},
      {" -Infinity ", TIsoKind::DateTime, TIsoFault::None, "-infinity"},
      {"infinity", TIsoKind::Time, TIsoFault::NotIso, ""},
      {"24:00:00", TIsoKind::Time, TIsoFault::None, "24:00:00"},
      {"24:00:00.000001", TIsoKind::Time, TIsoFault::OutOfRange, ""},
      {"0001-01-01 00:00:00.5 BC", TIsoKind::DateTime, TIsoFault::None,
       "0001-01-01 00:00:00.500 BC"},
      {"294276-12-31T23:59:59.999999+00:53:28", TIsoKind::DateTime, TIsoFault::None,
       "294276-12-31 23:59:59.999999+00:53:28"},
      {"2024-03-05 14:30:00", TIsoKind::DateTime, TIsoFault::None, "2024-03-05 14:30:00"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TIsoValue value;
    EXPECT_EQ(ReadWideIso(c.Text, c.Kind, value, c.Forms), c.Fault);
    if (c.Fault == TIsoFault::None) {
      EXPECT_EQ(WideIsoText(value), c.Wide);
    }
  }
  // 1 BC ends the day before 0001-01-01.
  TIsoValue value;
  ASSERT_EQ(ReadWideIso("0001-12-31 BC", TIsoKind::Date, value), TIsoFault::None);
  EXPECT_EQ(value.Day, -693594);
}

// Values of every size read back from their text as the same value: as
// parts (microseconds, zones) and, where a date-time holds them, through
// PutIsoDateTime and a TDateTime.
TEST(IsoDates, EveryValueReadsBackFromItsText) {
  std::uint64_t seed = 0x9e3779b97f4a7c15u;
  const auto next = [&seed](std::uint64_t n) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed % n;
  };
  const auto leapYear = [&next] {
    const int year = 4 * static_cast<int>(1 + next(2499));
    return year % 100 == 0 && year % 400 != 0 ? year - 4 : year;
  };
  const std::int32_t firstDay = -693593;  // 0001-01-01
  const std::int32_t days = 2958465 - firstDay + 1;
  const std::int64_t kEdgeMicros[] = {0, 1, 999, 1000, 86399999999};
  for (int i = 0; i < 20000; ++i) {
    TIsoValue v;
    v.HasDate = true;
    v.HasTime = true;
    // Day zero, the first and last days and leap days now and then.
    v.Day = i % 7 == 0   ? std::int32_t{0}
            : i % 7 == 1 ? (i % 2 ? firstDay : 2958465)
            : i % 7 == 2 ? static_cast<std::int32_t>(EncodeDate(leapYear(), 2, 29))
                         : static_cast<std::int32_t>(firstDay + next(days));
    v.Micros = i % 5 == 0 ? kEdgeMicros[next(5)] : static_cast<std::int64_t>(next(86400000000));
    v.HasZone = i % 3 != 0;
    v.Utc = v.HasZone && i % 9 == 1;
    v.ZoneMinutes = v.HasZone && !v.Utc ? static_cast<std::int16_t>(next(1919) - 959) : 0;
    const std::string text = IsoText(v);
    SCOPED_TRACE(text);
    TIsoValue back;
    ASSERT_EQ(ReadIso(text, TIsoKind::DateTime, back), TIsoFault::None);
    EXPECT_EQ(std::tie(back.Day, back.Micros, back.HasZone, back.Utc, back.ZoneMinutes),
              std::tie(v.Day, v.Micros, v.HasZone, v.Utc, v.ZoneMinutes));
    if (!v.FitsDateTime()) continue;
    char written[kIsoTextRoom];
    const std::string_view plain(written, PutIsoDateTime(written, v.DateTime()) - written);
    EXPECT_EQ(plain, text);
  }
}

}  // namespace korvane
