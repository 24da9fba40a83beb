// Sniffing a file's layout and its columns' types: the type inference over
// values, the sniff of texts built for one behaviour each, and the gallery
// of files under tests/data/sniff with the result each must give
// (expected.json).
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sniff.h"
#include "cli/type_inference.h"
#include "support/source_dir.h"
#include "support/temp_dir.h"
#include "text/formats.h"

namespace korvane::cli {
namespace {

using json = nlohmann::json;

std::string Described(const TTypeGuess& g) {
  std::string text(SqlTypeName(g));
  if (!g.DateFormat.empty()) text += " " + g.DateFormat;
  if (!g.Note.empty()) text += " (" + g.Note + ")";
  return text;
}

TEST(InferColumnType, EveryNonEmptyValueMustFit) {
  const std::string kZero = "0." + std::string(1000, '0'), kOne = "1." + std::string(1000, '0');
  struct TCase {
    std::vector<std::string_view> Values;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {{"1", "-20", "+3", " 42 ", "", "7\r", "\f8"}, "INTEGER"},  // blanks as the import trims them
      {{"+-5"}, "TEXT"},
      {{"0", "1", "1", "0"}, "INTEGER"},
      {{"2147483648", "1"}, "BIGINT"},
      {{"9223372036854775808"}, "DOUBLE PRECISION"},  // beyond 64 bits
      {{"9223372036854775807"}, "BIGINT"},
      {{"9223372036854775809"}, "DECIMAL_TEXT"},  // a double would not write it back
      {{"12345678901234.5678", "-1.5", "2", "1e3"}, "DECIMAL_TEXT"},
      {{"12345678901234.5678", "n/a"}, "TEXT"},
      {{"0.30000000000000004", "1e300"}, "DOUBLE PRECISION"},
      {{"007", "12"}, "TEXT (leading zeros kept)"},
      {{"0.5", "00.5"}, "TEXT (leading zeros kept)"},
      {{"1.5", "2", "-3e4", ".25"}, "DOUBLE PRECISION"},
      // One count of decimals, zeros ending some: the column's scale.
      {{"1.50", "-2.25", "", "0.10"}, "NUMERIC(18,2)"},
      {{"1.25", "2.75"}, "DOUBLE PRECISION"},  // a double gives each back as written
      {{"1.50", "2.5"}, "DOUBLE PRECISION"},
      {{"1.50", "3"}, "DOUBLE PRECISION"},
      // The precision holds every whole digit: a double keeps 1e20 written out.
      {{"100000000000000000000.00", "-1.50"}, "NUMERIC(23,2)"},
      {{kZero, kOne}, "DOUBLE PRECISION"},  // more digits than a NUMERIC keeps
      {{"1,5"}, "TEXT"},
      {{"true", "No", "Y", "f", "1"}, "BOOLEAN"},
      {{"true", "maybe"}, "TEXT"},
      {{"2024-01-31", "1999-12-01"}, "DATE yyyy-mm-dd"},
      {{"2023-02-29"}, "TEXT"},  // not a real day
      {{"2024-02-29", "2024-03-01 10:00", "2024-03-02 23:59:59.5"}, "TIMESTAMP yyyy-mm-dd"},
      {{"12/31/2024", "1/2/2024"}, "DATE m/d/yyyy"},
      {{"31/12/2024", "1/2/2024"}, "DATE d/m/yyyy"},
      {{"1/2/2024", "3/4/2024"}, "TEXT (dates fit m/d/yyyy and d/m/yyyy: give --date-format)"},
      {{"24.12.2023", "1.2.2024"}, "DATE dd.mm.yyyy"},
      {{"2024/12/24", "2024/2/1"}, "DATE yyyy/mm/dd"},
      {{"2024.12.24", "2024.02.01 10:30"}, "TIMESTAMP yyyy.mm.dd"},
      {{"2024.02.30"}, "TEXT"},
      {{"2024-03-05T14:30:00", "2024-03-05t14:30:00.123456"}, "TIMESTAMP yyyy-mm-dd"},
      {{"2024-03-05T14:30:00", "2024-03-05 14:30Z", "2024-03-05T14:30:00.5-0530"},
       "TIMESTAMPTZ yyyy-mm-dd"},
      {{"2024-03-05T14:30:00.1234567"}, "TEXT"},  // beyond microseconds
      {{"20240305T143000", "20240305T1430.5"}, "TEXT"},  // minutes have no fraction
      {{"20240305T143000", "20240305T143000.5"}, "TIMESTAMP yyyy-mm-dd"},
      {{"20240305T143000", "2024-03-05T1430Z"}, "TIMESTAMPTZ yyyy-mm-dd"},
      {{"20240305", "20241231"}, "INTEGER"},  // a date alone stays a number
      {{"2024-01-31", "1/2/2024"}, "TEXT"},
      {{"9:05", "23:59:59", "00:00:00.125"}, "TIME"},
      {{"24:00"}, "TEXT"},
      {{"23:59:59.999999", "00:00:00.000001"}, "TIME"},
      {{"12:00:00.1234567"}, "TEXT"},  // beyond microseconds
      {{"12:34:56.123456000", "01:02:03.000000000", "9:05"}, "TIME"},  // zeros beyond them
      {{"T090500", "t235959.5", "9:05"}, "TIME"},
      {{"T1000", "T1230"}, "TEXT"},  // codes: a basic time counts with its seconds
      {{"T0905Z"}, "TEXT"},
      {{"", "  "}, "TEXT (no values in the sample)"},
      {{"inf", "nan"}, "TEXT"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Described(InferColumnType(c.Values)), c.Expected) << c.Values.front();
  }
}

TEST(InferColumnType, AGivenDateFormatIsTheOnlyOneTried) {
  const TFormatSettings saved = FormatSettings();
  FormatSettings().ShortDateFormat = "d/m/yyyy";
  EXPECT_EQ(Described(InferColumnType({"1/2/2024", "3/4/2024"}, true)), "DATE d/m/yyyy");
  EXPECT_EQ(Described(InferColumnType({"1/2/2024 10:30"}, true)), "TIMESTAMP d/m/yyyy");
  EXPECT_EQ(Described(InferColumnType({"2024-01-02"}, true)), "TEXT");
  FormatSettings() = saved;
}

std::string Layout(const TSniffResult& r) {
  std::string text = SeparatorText(r.Separator) + " " +
                     (r.Quote == '\0' ? std::string("noquote") : std::string(1, r.Quote)) +
                     (r.Header ? " header" : "");
  for (const TSniffedColumn& c : r.Columns) text += " " + c.Name + ":" + Described(c.Guess);
  return text;
}

TEST(Sniff, SeparatorQuoteHeaderAndColumns) {
  struct TCase {
    std::string Text;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      // Decimal commas do not outvote the semicolon.
      {"a;b;c\n1,5;x;2\n2,5;y;3\n", "; \" header a:DOUBLE PRECISION b:TEXT c:INTEGER"},
      // Commas inside texts do not outvote the tab.
      {"Smith, John\t42\nDoe, Jane\t7\n", "tab \" c1:TEXT c2:INTEGER"},
      // Any other byte that splits every record alike.
      {"1^ab\n2^cd\n3^ef\n", "^ \" c1:INTEGER c2:TEXT"},
      // One value per record: commas inside the values, so no separator.
      {"x\na, b\nc\n", "none \" header x:TEXT"},
      // Single quotes around values.
      {"'x,1',2\n'y,2',3\n", ", ' c1:TEXT c2:INTEGER"},
      // All text, first record of distinct names that never come back.
      {"name,city\nAda,London\nAlan,Wilmslow\n", ", \" header name:TEXT city:TEXT"},
      // All text, but the first record's values come back: data.
      {"Ada,London\nAlan,London\n", ", \" c1:TEXT c2:TEXT"},
      // A first record of fewer values than the rest is data.
      {"One,two\n1,2,3\n4,5,6\n", ", \" c1:TEXT c2:TEXT c3:INTEGER"},
      // Widths tied for the most records: the wider one is the data's.
      {"One,two\n1,2,3\n1,2\n1,2,3\n", ", \" c1:TEXT c2:TEXT c3:INTEGER"},
      // No two records alike: the first record's width is the records'.
      {"a,b\n1,2,3\n4\n", ", \" header a:INTEGER b:INTEGER c3:INTEGER"},
      // A ragged record does not take the separator away.
      {"a,b\n1,2\n3,4\n5\n6,7\n7,8\n8,9\n", ", \" header a:INTEGER b:INTEGER"},
      // Nor does a quote never closed, nor a record of other values.
      {"a;b\n1;2\n3;\"4\n5;6\n", "; noquote header a:INTEGER b:TEXT"},
      {"a|b\n1|2\n3|4|5\n6|7\n8|9\n", "| \" header a:INTEGER b:INTEGER c3:INTEGER"},
      // A separator ending every line: an empty last column.
      {"1,2,\n3,4,\n", ", \" c1:INTEGER c2:INTEGER c3:TEXT (no values in the sample)"},
      // Empty values past the values of most records need no column.
      {"1,2\n3,4,,\n5,6\n", ", \" c1:INTEGER c2:INTEGER"},
      {"1,2\n3,4,,x\n5,6\n",
       ", \" c1:INTEGER c2:INTEGER c3:TEXT (no values in the sample) c4:TEXT"},
      // Commas only between thousands groups under a name: one column.
      {"Value\n68,527.00\n1,234,567\n12\n", "none \" header Value:TEXT"},
      {"Value\n68,527\n1,5\n", ", \" c1:INTEGER c2:INTEGER"},  // a title over the data
      {"12,345\n67,890\n", ", \" c1:INTEGER c2:INTEGER"},
      // Space and colon, where no other separator splits the records.
      {"x y\n1 2.5\n3 4.5\n", "space \" header x:INTEGER y:DOUBLE PRECISION"},
      {"fruit:10\nnuts:20\n", ": \" c1:TEXT c2:INTEGER"},
      // A space that fits more records than a comma standing in a few
      // quoted texts, though not nearly all of them.
      {"d q id p\n29/01 0 RI-3 \"Jacket, light\"\n30/01 1 RI-8 \"Shoes, trail\"\n"
       "31/01 1 RI-9 \"Rods, fly, two\"\n02/02 2 CC-1 \"Pillow, wood, red, big\"\n"
       "01/02 3 HK-3 Tropic Cap\n",
       "space \" header d:TEXT (leading zeros kept) q:INTEGER id:TEXT p:TEXT c5:TEXT"},
      // Nor does an exponent's sign, though it stands once on every line.
      {"4.63E+014 1.18E-013\n7.57E+014 8.17E-014\n",
       "space \" c1:DOUBLE PRECISION c2:DOUBLE PRECISION"},
      // Nor does a zone offset's, in a column of date-times as a timestamptz
      // is exported, or of basic times.
      {"ts\n2024-05-06 13:45:10+00\n2024-05-06 13:45:10.5+00\n2024-05-07 09:00:00+00\n",
       ", \" header ts:TIMESTAMPTZ yyyy-mm-dd"},
      {"20240301T1234+0100\n20240302T0900+0100\n20240303T101500.5+0000\n",
       ", \" c1:TIMESTAMPTZ yyyy-mm-dd"},
      // A sign in front of a number does not separate.
      {"id,price\n1,$3.50\n2,$4.75\n", ", \" header id:INTEGER price:TEXT"},
      // One value per record: the first is data where it has the shape the
      // values below share (signs, digits, a code's pattern), a header where
      // it has not; neither the @ of an address nor the colon of a URL
      // separates.
      {"ann@x.org\nb.c@mail.y.com\nd@z.co.uk\n", ", \" c1:TEXT"},
      {"email\nann@x.org\nb.c@mail.y.com\n", ", \" header email:TEXT"},
      {"https://x.org/a\nhttp://y.com\n", ", \" c1:TEXT"},
      {"url\nhttps://x.org/a\nhttp://y.com\n", ", \" header url:TEXT"},
      {"apple/fig/date\nfig/kiwi/lime\n", ", \" c1:TEXT"},
      {"AB1234\nCD5678\nEF9012\n", ", \" c1:TEXT"},
      {"Code\nAB1234\nCD5678\n", ", \" header Code:TEXT"},
      {"item-no\nAB-1234\nCD-56789\n", ", \" header item-no:TEXT"},  // no digits
      {"Item-Code\nAB-CD\nEF-GH\n", ", \" header Item-Code:TEXT"},   // another pattern
      {"name\nAda Lovelace\nAlan Turing\nGrace Hopper\n", ", \" header name:TEXT"},
      // A record alone: a header when its values can only be names.
      {"id,first_name\n", ", \" header id:TEXT (no values in the sample) first_name:TEXT (no "
                           "values in the sample)"},
      {"New York,London\n", ", \" c1:TEXT c2:TEXT"},
      {"a1,a1\n", ", \" c1:TEXT c2:TEXT"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Layout(SniffText(c.Text, {})), c.Expected) << c.Text;
}

// Columns padded with blanks for the eye are split on the blank; a double
// blank here and there in sentences is no column.
TEST(Sniff, BlankPaddedColumns) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Part  Value\nC8    10nF\nC21   4uF\n", "space"},
      {"   20     S\n  119     S\n    3     T\n", "space"},
      {"The cat sat  on the mat.\nA dog  ran off.\nIt rained.  Then it\n", ","},
  };
  for (const auto& [text, separator] : cases) {
    EXPECT_EQ(SeparatorText(SniffText(text, {}).Separator), separator) << text;
  }
}

// Columns at the same places on every line, padded with blanks, whose
// values hold blanks are fixed-width: cut at the characters (or bytes)
// where a column starts after blanks on every line (the first at the line's
// start), right-aligned numbers, empty values and short lines aside. One
// word a value where the blank splits the lines, lines that another
// separator splits alike, or text whose
// blanks line up by chance are not; nor are columns aligned by bytes when
// characters are counted, or the other way round, which would cut values
// wrong.
TEST(Sniff, FixedWidthColumns) {
  struct TCase {
    std::string Text;
    std::string Widths;    // empty: not fixed-width
    std::string Expected;  // the layout, or the separator of a text not fixed-width
    TFixedWidthUnit Unit = fuCharacters;
  };
  const std::string header = "ID  NAME        CITY          AMOUNT  NOTE\n";
  const std::string byBytes =
      "K-1   caf\xC3\xA9 noir  3\nK-22  th\xC3\xA9 vert  14\nK-3   eau         2\n"
      "K-4   lait       27\n";
  const std::string byCharacters =
      "name      town\nJos\xC3\xA9 Ruiz Le\xC3\xB3n\nAna Gil   San Juan\nIan Roe   Bath\n";
  const std::vector<TCase> cases = {
      {header + " 1  Ann Lee     New York       12.50  ok\n"
                " 2  Bob         Los Angeles   100.00\n"
                "12  Carla Diaz                  7.25  late pay\n",
       "4,12,14,8,8",
       "none noquote header ID:INTEGER NAME:TEXT CITY:TEXT AMOUNT:NUMERIC(18,2) NOTE:TEXT"},
      // Characters of two bytes: the columns line up by bytes, or by
      // characters; counted the other way, the lines do not stand in columns.
      {byBytes, "6,11,2", "none noquote c1:TEXT c2:TEXT c3:INTEGER", fuBytes},
      {byBytes, "", "space"},
      {byCharacters, "10,8", "none noquote header name:TEXT town:TEXT"},
      {byCharacters, "", ",", fuBytes},
      {"Part  Value  Pkg\nC8    10nF   0603\nJP2          1X06\nC9    4uF    0805\n", "", "space"},
      {"a, b c\n1, x y\n2, z w\n3, v u\n", "", ","},
      // Right-aligned signed numbers, which no separator splits alike (the
      // blank leaves them ragged), under a line of prose.
      {"# boundaries of the 1987 catalogue\n  0.0000 24.0000  88.0000\n  8.0000 14.5000 -86.5000\n"
       " 21.0000  3.0000  86.1667\n120.0000 21.0000 -86.0000\n",
       "9,8,8", "none noquote c1:NUMERIC(18,4) c2:NUMERIC(18,4) c3:NUMERIC(18,4)"},
      {"The cat sat  on the mat.\nA dog  ran off.\nIt rained.  Then it\nwent on.\n", "", ","},
      // One column of texts, one line longer than the rest: no second column.
      {"s\nplain\n\"say \"\"hi\"\"\"\n\"  lead\"\n\"trail  \"\nla vie en rose 2024\n", "", ","},
  };
  for (const TCase& c : cases) {
    TSniffOptions options;
    options.FixedWidthUnit = c.Unit;
    const TSniffResult r = SniffText(c.Text, options);
    EXPECT_EQ(FixedWidthsText(r), c.Widths) << c.Text;
    EXPECT_EQ(c.Widths.empty() ? SeparatorText(r.Separator) : Layout(r), c.Expected) << c.Text;
  }
  // Given widths, or said to be fixed-width, the lines are cut so.
  TSniffOptions given;
  given.FixedWidths = {2, 4};
  EXPECT_EQ(Layout(SniffText("1 ab x\n22cd y\n", given)), "none noquote c1:INTEGER c2:TEXT");
  given = {};
  given.FixedGiven = true;
  EXPECT_EQ(FixedWidthsText(SniffText("x  1\ny 22\n", given)), "2,2");
}

// Numbers are read with a decimal comma and thousands points when more
// columns read as numbers so than with the format settings, in a file not
// separated by commas, unless the user says how numbers are written.
TEST(Sniff, DecimalCommas) {
  struct TCase {
    std::string Text;
    bool NumberFormatGiven;
    bool DecimalComma;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {"a;b\n1.234,50;1.200\n-0,25;3\n", false, true, "; \" header a:NUMERIC(18,2) b:INTEGER"},
      {"a;b\n1.234,50;1.200\n-0,25;3\n", true, false, "; \" header a:TEXT b:DOUBLE PRECISION"},
      // A point alone stays a decimal point; so does a tie.
      {"1.234;ab\n2.5;ab\n", false, false, "; \" c1:DOUBLE PRECISION c2:TEXT"},
      {"1.5;2,5\n3.5;4,5\n", false, false, "; \" c1:DOUBLE PRECISION c2:TEXT"},
      // Groups of three digits between the points only.
      {"a;b\n1.23,5;2,5\n6,5;7,5\n", false, true, "; \" header a:TEXT b:DOUBLE PRECISION"},
      // The comma separating: a quoted 3,5 stays text.
      {"\"3,5\",ab\n\"4,5\",ab\n", false, false, ", \" c1:TEXT c2:TEXT"},
      // Decimals wider than a double keeps, in a column of their own too.
      {"a;b\n12.345.678.901.234.567,89;1\n-0,1;2\n", false, true,
       "; \" header a:DECIMAL_TEXT b:INTEGER"},
  };
  for (const TCase& c : cases) {
    TSniffOptions options;
    options.NumberFormatGiven = c.NumberFormatGiven;
    const TSniffResult r = SniffText(c.Text, options);
    EXPECT_EQ(r.DecimalComma, c.DecimalComma) << c.Text;
    EXPECT_EQ(Layout(r), c.Expected) << c.Text;
  }
}

// Lines before the data: a title of one value before the first record of
// the data's width is skipped with the lines before it; lines starting with
// # there are comments, but for one line of the data's width, a header.
TEST(Sniff, TitleAndCommentLinesBeforeTheData) {
  struct TCase {
    std::string Text;
    std::int64_t SkipLines;
    char Comment;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {"Sales 2023\n\nid;name\n1;a\n2;b\n", 1, '\0', "; \" header id:INTEGER name:TEXT"},
      {"# made by a tool\n# on Monday, in a hurry\nid|n\n1|2\n# done\n3|4\n", 0, '#',
       "| \" header id:INTEGER n:INTEGER"},
      {"title\n# note\nx,y\n1,2\n", 1, '#', ", \" header x:INTEGER y:INTEGER"},
      {"#id,name\n1,a\n2,b\n", 0, '\0', ", \" header #id:INTEGER name:TEXT"},
      // Nor is the comment character a separator where it ends the lines.
      {"# a\n# b\nab\t1 # one\ncd 2\t# two\nef\t3\t# three\n", 0, '#',
       "tab \" c1:TEXT c2:TEXT c3:TEXT"},
      // A record of one value among the data is no title.
      {"a,b\n1,2\nx\n3,4\n", 0, '\0', ", \" header a:TEXT b:INTEGER"},
      // One line of prose over a few blank-separated records, which it
      // would leave too few alike for the blank; over one column it may
      // name, it stays.
      {"# demo [in | out]\n\n0 1 1\n1 1 2\n2 1 3\n\n0 2 1\n1 2 2\n", 0, '#',
       "space \" c1:INTEGER c2:INTEGER c3:INTEGER"},
      {"#id\n1\n2\n3\n", 0, '\0', ", \" header #id:INTEGER"},
  };
  for (const TCase& c : cases) {
    const TSniffResult r = SniffText(c.Text, {});
    EXPECT_EQ(r.SkipLines, c.SkipLines) << c.Text;
    EXPECT_EQ(r.Comment, c.Comment) << c.Text;
    EXPECT_EQ(Layout(r), c.Expected) << c.Text;
  }
  // Given, they are taken as they are.
  TSniffOptions options;
  options.SkipLines = 1;
  options.Comment = '%';
  const TSniffResult r = SniffText("# x\n%c\na,b\n1,2\n", options);
  EXPECT_EQ(Layout(r), ", \" header a:INTEGER b:INTEGER");
}

// A backslash escapes where the sample holds one before a quote, a
// separator or a line end and the records split better so.
TEST(Sniff, BackslashEscapesWhereTheSampleShowsThem) {
  struct TCase {
    std::string Text;
    char Escape;
  };
  const std::vector<TCase> cases = {
      {"id,t\n1,\"say \\\"hi\\\", then go\"\n2,\"x\"\n", '\\'},
      {"id,t\n1,\\\"x\\\"\n2,\"y\\\"z, w\"\n", '\\'},
      {"id,t\n1,\"C:\\\"\n2,x\n", '\0'},
      // Outside quotes: before a separator, before a line end.
      {"1,a\\,b,x\n2,c\\,d,y\n3,e,z\n", '\\'},
      {"1\tline one\\\nline two\t9\n2\tx\t8\n", '\\'},
      // Paths ending in a backslash: the line ends are not escaped.
      {"id,path\n1,C:\\temp\\\n2,D:\\x\\\n3,E:\\\n", '\0'},
  };
  for (const TCase& c : cases) EXPECT_EQ(SniffText(c.Text, {}).Escape, c.Escape) << c.Text;
}

// Quotes inside quoted values followed by more text are kept as
// characters where the records split better so; given, as given.
TEST(Sniff, StrayQuotesKeptWhereTheSampleShowsThem) {
  struct TCase {
    std::string Text;
    std::optional<bool> Given;
    std::string Expected;  // separator, quote, kept or not, most values
  };
  const std::string pedro =
      "1;\"pedro \"pdet\" holanda\"\n2;\"pedro \"pdet\" ho;landa\"\n3;\"x\"\n";
  const std::vector<TCase> cases = {
      {pedro, {}, "; \" kept 2"},
      {pedro, false, "; \" 2"},
      {"a,\"b\"c\n1,2\n3,4\n", {}, ", \" 2"},  // kept, the quote would open the rest
      {"a,\"say \"\"hi\"\"\"\n1,2\n", {}, ", \" 2"},
      // One record of several is no evidence; the only one is.
      {"1;\"a\"\n2;\"pedro \"pdet\" holanda\"\n3;\"x\"\n4;\"y\"\n", {}, "; \" 2"},
      {"1;\"pedro \"pdet\" holanda\"\n", {}, "; \" kept 2"},
  };
  for (const TCase& c : cases) {
    TSniffOptions options;
    options.KeepStrayQuotes = c.Given;
    const TSniffResult r = SniffText(c.Text, options);
    EXPECT_EQ(SeparatorText(r.Separator) + " " + std::string(1, r.Quote) +
                  (r.KeepStrayQuotes ? " kept " : " ") + std::to_string(r.MostValues),
              c.Expected)
        << c.Text;
  }
}

TEST(Sniff, TextRulesThatFit) {
  struct TCase {
    std::string Text;
    bool Standard;
    bool Classic;
  };
  const std::vector<TCase> cases = {
      {"a,\"b,c\"\n1,\"2\"\n", true, true},
      {"a,\"b\nc\"\n1,2\n", true, false},            // a line break inside quotes
      {"a,\"say \"\"hi\"\"\"\n1,2\n", true, false},  // doubled quotes
      {"h,5'11\"\nx,6'1\"\n", true, false},          // quotes inside unquoted values
      {"a,\"b\"c\n1,2\n", false, true},              // text after a closing quote
  };
  for (const TCase& c : cases) {
    TSniffOptions options;
    options.Separator = ',';
    options.Quote = '"';
    const TSniffResult r = SniffText(c.Text, options);
    EXPECT_EQ(r.StandardFits, c.Standard) << c.Text;
    EXPECT_EQ(r.ClassicFits, c.Classic) << c.Text;
  }
}

TEST(Sniff, LineEndsAndEncodings) {
  struct TCase {
    std::string Text;
    std::string LineEnds;
    std::string Encoding;
  };
  const std::vector<TCase> cases = {
      {"a,b\r\n1,2\r\n", "CRLF", "ASCII"},
      {"a,b\r1,2", "CR", "ASCII"},
      {"a,b\n1,2\r\n", "mixed", "ASCII"},
      {"a,b", "none", "ASCII"},
      {"\xEF\xBB\xBFn\xC3\xA4me,b\n", "LF", "UTF-8"},
      {"caf\xE9,b\n", "LF", "8-bit"},
      {std::string("\xFF\xFE"
                   "a\0,\0b\0\n\0",
                   10),
       "LF", "UTF-16LE"},
      {std::string("a\0,\0b\0\n\0", 8), "LF", "UTF-16LE"},
  };
  for (const TCase& c : cases) {
    const TSniffResult r = SniffText(c.Text, {});
    EXPECT_EQ(r.LineEnds, c.LineEnds) << c.Text;
    EXPECT_EQ(r.Encoding, c.Encoding) << c.Text;
  }
  EXPECT_EQ(SniffText("\xEF\xBB\xBFid,x\n1,a\n", {}).Columns.front().Name, "id");
}

// A file that is not UTF-8 is sniffed as what it seems to be, as the
// import would read it with the --encoding the result suggests.
TEST(Sniff, FilesInOtherEncodings) {
  struct TCase {
    std::string Bytes;
    std::string Encoding;   // as reported
    std::string Suggested;  // --encoding for the import
    std::string Layout;
  };
  const std::string utf16 = std::string(
      "\xFF\xFE"
      "n\0"
      "\xE4\0"
      ";\0"
      "x\0"
      "\n\0"
      "1\0"
      ";\0"
      "2\0",
      18);
  const std::vector<TCase> cases = {
      {"name,city\nJos\xE9,K\xF6ln\nAl,Ulm\n", "latin1", "latin1",
       ", \" header name:TEXT city:TEXT"},
      // Bytes 0x80 to 0x9F are signs in cp1252 (here curly quotes and a euro).
      {"id,note\n1,\x93hi\x94 \x80\n2,x\n", "cp1252", "cp1252", ", \" header id:INTEGER note:TEXT"},
      // ... but for five of them: 0x81 is none.
      {"id,note\n1,\x81\x93\n2,x\n", "latin1", "latin1", ", \" header id:INTEGER note:TEXT"},
      {utf16, "UTF-16LE", "", "; \" header n\xC3\xA4:INTEGER x:INTEGER"},
  };
  test::TTempDir dir;
  for (const TCase& c : cases) {
    const TSniffResult r = SniffFile(dir.Put("f.csv", c.Bytes), {});
    EXPECT_EQ(r.Encoding, c.Encoding) << c.Bytes;
    EXPECT_EQ(r.SuggestedEncoding, c.Suggested) << c.Bytes;
    EXPECT_EQ(Layout(r), c.Layout) << c.Bytes;
  }
}

// Input that is hardly a table gets a plain answer, within the sample's
// limits.
TEST(Sniff, BadInput) {
  std::string noise(4096, '\0');
  std::uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  std::string zeroParted;  // text, its values parted by zero bytes
  for (int i = 0; i < 100; ++i) zeroParted += std::to_string(i) + std::string(1, '\0') + "ab\n";
  struct TCase {
    std::string Text;
    std::int64_t Records;
    bool Binary;
    std::size_t Columns;
  };
  const std::vector<TCase> cases = {
      {"", 0, false, 0},
      {"x", 1, false, 1},
      {"a,b,c", 1, false, 3},
      {std::string(1000, '\0'), 0, true, 0},
      {noise, 0, true, 0},
      {zeroParted, 100, false, 2},
      {std::string(100000, 'a'), 0, false, 0},  // one line longer than the sample
  };
  TSniffOptions options;
  options.SampleBytes = 8192;
  for (const TCase& c : cases) {
    const TSniffResult r = SniffText(c.Text, options);
    EXPECT_EQ(r.Records, c.Records) << c.Text.size();
    EXPECT_EQ(r.Binary, c.Binary) << c.Text.size();
    EXPECT_EQ(r.Columns.size(), c.Columns) << c.Text.size();
    EXPECT_LE(r.Bytes, options.SampleBytes);
  }
  // A record of more values than a table has columns names none; its
  // values are counted only so far (quoted ones too, which the classic
  // rules read again).
  std::string quoted;
  for (int i = 0; i < 40000; ++i) quoted += "\"a\",";
  TSniffOptions all;
  all.SampleRecords = -1;
  all.Separator = ',';
  for (const std::string& wide : {"1" + std::string(40000, ',') + "\n", quoted + "\n"}) {
    const TSniffResult r = SniffText("a,b\n" + wide + wide, all);
    EXPECT_EQ(r.WidestRecord, kMaxSniffedColumns + 1);
    EXPECT_EQ(r.WidestLine, 2);
    EXPECT_TRUE(r.Columns.empty());
    EXPECT_EQ(TooWideRecord(r),
              "the record at line 2 has at least 32768 values, and an import takes 32767 "
              "columns at most");
  }
}

// A character of several bytes, or a zero byte, that separates values on
// every line is the separator, and the sample is split on it; one that
// stands in values only now and then is not.
TEST(Sniff, SeparatorsOfMoreThanOneByteAreFound) {
  const std::string duck = "\xF0\x9F\xA6\x86";
  const std::string bar = "\xC2\xA6";
  const std::string cent = "\xC2\xA2";
  struct TCase {
    std::string text, unsplit, wide;
    std::size_t columns;
  };
  const std::vector<TCase> cases = {
      {"1" + duck + "a" + duck + "x y\n2" + duck + "b" + duck + "z w\n", "", duck, 3},
      {"id" + bar + "name\n1" + bar + "a" + cent + "b\n2" + bar + "c" + cent + "\n", "", bar, 2},
      {"abc" + std::string(1, '\0') + "def\nghi" + std::string(1, '\0') + "jkl\n", "",
       std::string(1, '\0'), 2},
      {"id,name\n1,Jos\xC3\xA9\n2,Ren\xC3\xA9\n", "", "", 2},  // fewer values than the commas give
      {"caf\xC3\xA9\nth\xC3\xA9\nsoup\n", "", "", 1},          // not on nearly every line
      // One line: a sign standing twice, not a letter, not a sign once.
      {"1" + duck + "2" + duck + "\"x\"", "", duck, 3},
      {"caf\xC3\xA9 cr\xC3\xA9me\n", "", "", 1},
      {"a" + bar + "b\n", "", "", 1},
      // A lead byte and a byte that cannot follow it (8-bit text): no character.
      {"1\xCF\xEB" "a\n2\xCF\xEB" "b\n3\xCF\xEB" "c\n", "", "", 1},
  };
  for (const TCase& c : cases) {
    const TSniffResult r = SniffText(c.text, {});
    EXPECT_EQ(r.UnsplitSeparator, c.unsplit) << c.text;
    EXPECT_EQ(r.WideSeparator, c.wide) << c.text;
    EXPECT_EQ(r.Columns.size(), c.columns) << c.text;
  }
  // Given, it is taken as it is.
  TSniffOptions given;
  given.WideSeparator = bar;
  const TSniffResult r = SniffText("a" + bar + "b" + cent + "\nc" + bar + "d\n", given);
  EXPECT_EQ(r.WideSeparator, bar);
  EXPECT_EQ(r.Columns.size(), 2u);
}

// A record of a quoted empty value is a record, and so is one of a lone
// separator, as the import stores them; control bytes are left out of a
// header's names.
TEST(Sniff, QuotedEmptyRecordsAndControlBytesInNames) {
  TSniffResult r = SniffText("\"\"\n", {});
  EXPECT_EQ(r.Records, 1);
  EXPECT_EQ(r.Columns.size(), 1u);
  for (const char separator : {'\t', '\0'}) {
    const std::string sep(1, separator);
    r = SniffText("a" + sep + "b\n1" + sep + "2\n" + sep + "\n3" + sep + "4\n", {});
    EXPECT_EQ(r.Records, 4) << int{separator};
    EXPECT_EQ(r.RaggedRecords, 0) << int{separator};
  }
  r = SniffText(std::string("col1|col") + '\0' + "2\nval1|val2\n", {});
  ASSERT_EQ(r.Columns.size(), 2u);
  EXPECT_EQ(r.Columns[1].Name, "col2");
  EXPECT_EQ(r.Renamed.size(), 1u);
}

// A sample of many records read in several pieces, with quoted line breaks
// across the pieces' ends: every record counted once, every limit kept.
TEST(Sniff, SampleLimitsAcrossReads) {
  std::string text = "id,note\n";
  for (int i = 1; i <= 40000; ++i) text += std::to_string(i) + ",\"line one\nline two\"\n";
  TSniffOptions options;
  options.SampleRecords = -1;
  const TSniffResult all = SniffText(text, options);
  EXPECT_EQ(all.Records, 40001);
  EXPECT_TRUE(all.WholeFile);
  EXPECT_TRUE(all.SeparatorConsistent);
  EXPECT_EQ(Layout(all), ", \" header id:INTEGER note:TEXT");

  const TSniffResult first = SniffText(text, {});
  EXPECT_EQ(first.Records, 20000);
  EXPECT_FALSE(first.WholeFile);

  options.SampleRecords = 20000;
  options.SampleBytes = 1000;
  const TSniffResult capped = SniffText(text, options);
  EXPECT_LT(capped.Records, 100);
  ASSERT_LE(capped.Bytes, 1000);
  EXPECT_EQ(text.substr(static_cast<std::size_t>(capped.Bytes) - 2, 2), "\"\n");  // whole records
  EXPECT_EQ(capped.RaggedRecords, 0);

  // A first record longer than the first read is read whole to vote on.
  std::string wide;
  for (int i = 0; i < 20000; ++i) wide += (i == 0 ? "" : ";") + std::to_string(i);
  wide += "\n" + wide + "\n";
  const TSniffResult whole = SniffText(wide, {});
  EXPECT_EQ(whole.Separator, ';');
  EXPECT_EQ(whole.Records, 2);
}

TEST(Sniff, GivenLayoutAndHeaderAreTaken) {
  TSniffOptions options;
  options.Separator = ';';
  options.Quote = '\0';
  options.HeaderRecords = 2;
  const TSniffResult r = SniffText("x;y\nskip;me\n\"1\";2\n", options);
  EXPECT_EQ(Layout(r), "; noquote header x:TEXT y:INTEGER");
}

TEST(Sniff, GivenTrailerRecordsDoNotVoteOnTheTypes) {
  TSniffOptions options;
  options.HeaderRecords = 1;
  options.TrailerRecords = 1;
  EXPECT_EQ(Layout(SniffText("id,n\n1,2\n3,4\nTOTAL,6\n", options)),
            ", \" header id:INTEGER n:INTEGER");
  // A sample that ends before its input holds back no trailer.
  options.SampleRecords = 3;
  EXPECT_EQ(Layout(SniffText("id,n\n1,2\nx,4\n5,6\n", options)), ", \" header id:TEXT n:INTEGER");
}

std::string GalleryFile(const std::string& name) {
  return korvane::test::SourceDir() + "/tests/data/sniff/" + name;
}

TEST(SniffGallery, EveryFileGivesItsExpectedResult) {
  std::ifstream in(GalleryFile("expected.json"));
  const json expected = json::parse(in);
  ASSERT_GE(expected.size(), 10u);
  for (const auto& [file, want] : expected.items()) {
    const TSniffResult r = SniffFile(GalleryFile(file), {});
    json columns = json::array();
    for (const TSniffedColumn& c : r.Columns) {
      std::string text = c.Name + " " + std::string(SqlTypeName(c.Guess));
      if (!c.Guess.DateFormat.empty()) text += " " + c.Guess.DateFormat;
      columns.push_back(text);
    }
    json rules = json::array();
    if (r.StandardFits) rules.push_back("standard");
    if (r.ClassicFits) rules.push_back("classic");
    const json got = {{"separator", std::string(1, r.Separator)},
                      {"quote", std::string(1, r.Quote)},
                      {"header", r.Header},
                      {"lineEnds", r.LineEnds},
                      {"textRules", rules},
                      {"encoding", r.Encoding},
                      {"records", r.Records},
                      {"columns", columns}};
    EXPECT_EQ(got, want) << file;
  }
}

}  // namespace
}  // namespace korvane::cli
