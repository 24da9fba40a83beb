// Splitting one record into values: the quote and separator characters, the
// delimited and the fixed-width layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "import/kvcsvimp.h"
#include "import/record_scanner.h"
#include "support/captured_messages.h"

namespace korvane {
namespace {

using Values = std::vector<std::string>;
using test::TCapturedMessages;

// Values of a list, or a marker for "no list".
Values Of(const std::unique_ptr<TStringList>& list) {
  if (!list) return {"<no list>"};
  return list->Items();
}

TEST(SeparatorResolution, QuoteCharacterByFieldDelimiter) {
  TCSVImport imp(nullptr);
  EXPECT_EQ(imp.GetFieldDelimiterChar(), "");
  imp.SetFieldDelimiter(fdlSingle);
  EXPECT_EQ(imp.GetFieldDelimiterChar(), "'");
  imp.SetFieldDelimiter(fdlDouble);
  EXPECT_EQ(imp.GetFieldDelimiterChar(), "\"");
  imp.SetFieldDelimiter(static_cast<TFieldDelimiter>(9));
  EXPECT_EQ(imp.GetFieldDelimiterChar(), "");
}

TEST(SeparatorResolution, SeparatorByFieldSeparatorWithCustomForTheRest) {
  TCSVImport imp(nullptr);
  imp.SetCustomSeparator(";");
  EXPECT_EQ(imp.GetFieldSeparatorChar(), "|");
  imp.SetFieldSeparator(fspTab);
  EXPECT_EQ(imp.GetFieldSeparatorChar(), "\t");
  imp.SetFieldSeparator(fspComma);
  EXPECT_EQ(imp.GetFieldSeparatorChar(), ",");
  for (auto v : {fspCustom, fspNone, static_cast<TFieldSeparator>(42)}) {
    imp.SetFieldSeparator(v);
    EXPECT_EQ(imp.GetFieldSeparatorChar(), ";") << int{v};
  }
  imp.SetCustomSeparator("");
  EXPECT_EQ(imp.GetFieldSeparatorChar(), "");
  // SeparatorChar, blank or not, stands in for CustomSeparator.
  imp.SetSeparatorChar(" ");
  EXPECT_EQ(imp.GetFieldSeparatorChar(), " ");
  imp.SetFieldSeparator(fspComma);
  EXPECT_EQ(imp.GetFieldSeparatorChar(), ",");
}

TEST(SeparatorResolution, CustomSeparatorKeepsTheFirstNonBlankCharacter) {
  TCSVImport imp(nullptr);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" ; ", ";"}, {";;", ";"},        {"\t", ""},      {" ", ""},
      {"", ""},     {"\x01#\x1f", "#"}, {"\xff", "\xff"}};
  for (const auto& [in, out] : cases) {
    imp.SetCustomSeparator(in);
    EXPECT_EQ(imp.CustomSeparator(), out) << "'" << in << "'";
  }
}

TEST(SeparatorResolution, ARunUsesTheCharactersResolvedAtItsStart) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspComma);
  imp.SetFieldDelimiter(fdlDouble);
  imp.ResolveSeparators();
  imp.SetFieldSeparator(fspPipe);  // takes effect at the next resolution only
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a|\"b,c\",d")), (Values{"a|b,c", "d"}));
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a|\"b,c\",d")), (Values{"a", "b,c,d"}));
}

// The delimited table, once with the double quotation mark and once with the
// apostrophe as the quote character (written Q).
class DelimitedSplit : public ::testing::TestWithParam<TFieldDelimiter> {
 protected:
  void SetUp() override {
    imp_.SetFieldSeparator(fspComma);
    imp_.SetFieldDelimiter(GetParam());
    imp_.ResolveSeparators();
  }
  Values Split(std::string record) {
    const char q = GetParam() == fdlDouble ? '"' : '\'';
    for (char& c : record) {
      if (c == 'Q') c = q;
    }
    return Of(imp_.SplitDelimitedFields(record));
  }
  TCSVImport imp_{nullptr};
};

INSTANTIATE_TEST_SUITE_P(Quotes, DelimitedSplit, ::testing::Values(fdlDouble, fdlSingle),
                         [](const auto& p) { return EnumToString(p.param); });

TEST_P(DelimitedSplit, SeparatorsEndValuesOutsideQuotes) {
  EXPECT_EQ(Split("a,b,c"), (Values{"a", "b", "c"}));
  EXPECT_EQ(Split("Qx,yQ,z"), (Values{"x,y", "z"}));
  EXPECT_EQ(Split("a, b"), (Values{"a", " b"}));
  EXPECT_EQ(Split("Q,,,Q"), (Values{",,,"}));
}

TEST_P(DelimitedSplit, EmptyValuesAreKeptExceptTheLast) {
  EXPECT_EQ(Split("a,,b"), (Values{"a", "", "b"}));
  EXPECT_EQ(Split(",a"), (Values{"", "a"}));
  EXPECT_EQ(Split("a,b,"), (Values{"a", "b"}));
  EXPECT_EQ(Split("a,QQ"), (Values{"a"}));
  EXPECT_EQ(Split(",,"), (Values{"", ""}));
  EXPECT_EQ(Split("QQ"), (Values{}));
  EXPECT_EQ(Split(""), (Values{}));
}

TEST_P(DelimitedSplit, QuotesAreDroppedWhereverTheyStand) {
  EXPECT_EQ(Split("QaQQbQ"), (Values{"ab"}));
  EXPECT_EQ(Split("abQc,dQe"), (Values{"abc,de"}));
  EXPECT_EQ(Split("Qa,b"), (Values{"a,b"}));  // never closed
  EXPECT_EQ(Split("OQQHara,1"), (Values{"OHara", "1"}));
}

TEST_P(DelimitedSplit, MixedRecordsFollowTheCharacterByCharacterRule) {
  EXPECT_EQ(Split("a,QbQ,cQdQe,QfQ,g"), (Values{"a", "b", "cde", "f", "g"}));
  EXPECT_EQ(Split("QaQ,QbQcQ,QdQ"), (Values{"a", "bc,d"}));  // the third quote opens again
  EXPECT_EQ(Split("QaQ,QQ,Qb,cQ"), (Values{"a", "", "b,c"}));

  // Every record over a small alphabet, against the rule applied one
  // character at a time: a quote toggles quoting and is dropped, a
  // separator outside quotes ends a value, an empty last value is dropped.
  auto rule = [](const std::string& record) {
    Values values(1);
    bool quoted = false;
    for (char c : record) {
      if (c == 'Q') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        values.emplace_back();
      } else {
        values.back() += c;
      }
    }
    if (values.back().empty()) values.pop_back();
    return values;
  };
  const char alphabet[] = {'a', ',', 'Q', ' '};
  for (int length = 0; length <= 7; ++length) {
    int combinations = 1;
    for (int k = 0; k < length; ++k) combinations *= 4;
    for (int n = 0; n < combinations; ++n) {
      std::string record;
      for (int k = 0, rest = n; k < length; ++k, rest /= 4) record += alphabet[rest % 4];
      ASSERT_EQ(Split(record), rule(record)) << record;
    }
  }
  // Longer records, where values are searched many bytes at a time.
  std::uint32_t seed = 99;
  for (int n = 0; n < 3000; ++n) {
    seed = seed * 1664525u + 1013904223u;
    std::string record;
    const std::uint32_t length = 8 + (seed >> 8) % 60;
    for (std::uint32_t k = 0; k < length; ++k) {
      seed = seed * 1664525u + 1013904223u;
      const std::uint32_t pick = (seed >> 8) % 20;
      record += pick < 16 ? 'a' : alphabet[pick - 16];
    }
    ASSERT_EQ(Split(record), rule(record)) << record;
  }
}

// The standard rules, with the same quote characters; a quoted empty value
// shows as <empty text>.
class StandardSplit : public DelimitedSplit {
 protected:
  void SetUp() override {
    imp_.SetDialect(dlStandard);
    DelimitedSplit::SetUp();
  }
  Values Split(std::string record) {
    for (char& c : record) {
      if (c == 'Q') c = GetParam() == fdlDouble ? '"' : '\'';
    }
    TValueList list;
    static_cast<void>(imp_.SplitFieldsInto(record, list));
    Values values;
    for (int i = 0; i < list.Count(); ++i) {
      values.push_back(IsQuotedEmpty(list[i]) ? "<empty text>" : std::string(list[i]));
    }
    for (std::string& v : values) {
      for (char& c : v) {
        if (c == '"' || c == '\'') c = 'Q';
      }
    }
    return values;
  }
};

INSTANTIATE_TEST_SUITE_P(Quotes, StandardSplit, ::testing::Values(fdlDouble, fdlSingle),
                         [](const auto& p) { return EnumToString(p.param); });

TEST_P(StandardSplit, QuotesCountOnlyAroundWholeValuesAndDoubleInside) {
  EXPECT_EQ(Split("a,QbQ,Qx,yQ"), (Values{"a", "b", "x,y"}));
  EXPECT_EQ(Split("QhaQQhaQQ haQ,QQQQ"), (Values{"haQhaQ ha", "Q"}));
  EXPECT_EQ(Split("r1,abQcd,y"), (Values{"r1", "abQcd", "y"}));
  EXPECT_EQ(Split("QabQcd,e"), (Values{"abcd", "e"}));  // after the closing quote: data
  EXPECT_EQ(Split("QOnce upon \r\na timeQ,5"), (Values{"Once upon \r\na time", "5"}));
  EXPECT_EQ(Split("Qopen,rest"), (Values{"open,rest"}));  // never closed: the rest
}

// An escape character makes the byte after it data, inside quotes and
// outside them; it is none when it is the separator.
TEST_P(StandardSplit, AnEscapeKeepsTheByteAfterIt) {
  imp_.SetEscapeChar("\\");
  imp_.ResolveSeparators();
  EXPECT_EQ(Split("Qsay \\Qhi\\QQ,Qa\\\\bQ,c\\Qd"), (Values{"say QhiQ", "a\\b", "cQd"}));
  EXPECT_EQ(Split("a\\,b,\\Qc,d\\"),
            (Values{"a,b", "Qc", "d\\"}));  // an escaped quote opens nothing
  EXPECT_EQ(Split("QxQQy\\,Q,Qz\\"),
            (Values{"xQy,", "z\\"}));  // doubled quotes still; never closed
  EXPECT_EQ(Split("QQ,Q\\QQ"), (Values{"<empty text>", "Q"}));
  imp_.SetEscapeChar(",");
  imp_.ResolveSeparators();
  EXPECT_EQ(Split("Qa,bQ,c"), (Values{"a,b", "c"}));
}

// Kept stray quotes: a quote inside a quoted value closes it only before
// the separator or the record's end.
TEST_P(StandardSplit, StrayQuotesCanBeKeptInTheirValues) {
  imp_.SetKeepStrayQuotes(true);
  imp_.ResolveSeparators();
  EXPECT_EQ(Split("1,Qpedro QpdetQ holandaQ,x"), (Values{"1", "pedro QpdetQ holanda", "x"}));
  EXPECT_EQ(Split("QaQ b,c"), (Values{"aQ b,c"}));  // never closed: the rest
  EXPECT_EQ(Split("QaQQbQ,QQ"), (Values{"aQb", "<empty text>"}));
  imp_.SetEscapeChar("\\");
  imp_.ResolveSeparators();
  EXPECT_EQ(Split("Qa\\QbQcQ,d"), (Values{"aQbQc", "d"}));
}

TEST_P(StandardSplit, EveryValueCountsAndQuotedEmptyIsTold) {
  EXPECT_EQ(Split("a,b,"), (Values{"a", "b", ""}));
  EXPECT_EQ(Split(",QQ,"), (Values{"", "<empty text>", ""}));
  EXPECT_EQ(Split("QQ"), (Values{"<empty text>"}));
  EXPECT_EQ(Split("QQ "), (Values{" "}));
  EXPECT_EQ(Split("   "), (Values{}));  // a blank record has no values
}

// With stray quotes kept and without.
TEST_P(StandardSplit, AgreesWithTheRuleAppliedOneCharacterAtATime) {
  bool keepStray = false;
  auto rule = [&keepStray](const std::string& r) {
    Values values;
    if (IsBlank(r)) return values;
    std::size_t i = 0;
    for (;;) {
      std::string v;
      bool closed = false;
      if (i < r.size() && r[i] == 'Q') {
        for (++i; i < r.size(); ++i) {
          if (r[i] != 'Q') {
            v += r[i];
          } else if (i + 1 < r.size() && r[i + 1] == 'Q') {
            v += r[++i];
          } else if (keepStray && i + 1 < r.size() && r[i + 1] != ',') {
            v += r[i];
          } else {
            closed = true;
            ++i;
            break;
          }
        }
      }
      while (i < r.size() && r[i] != ',') v += r[i++];
      values.push_back(closed && v.empty() ? "<empty text>" : v);
      if (i == r.size()) return values;
      ++i;
    }
  };
  const char alphabet[] = {'a', ',', 'Q', ' '};
  for (const bool keep : {false, true}) {
    keepStray = keep;
    imp_.SetKeepStrayQuotes(keep);
    imp_.ResolveSeparators();
    for (int length = 0; length <= 7; ++length) {
      int combinations = 1;
      for (int k = 0; k < length; ++k) combinations *= 4;
      for (int n = 0; n < combinations; ++n) {
        std::string record;
        for (int k = 0, rest = n; k < length; ++k, rest /= 4) record += alphabet[rest % 4];
        ASSERT_EQ(Split(record), rule(record)) << record << (keep ? " keeping stray quotes" : "");
      }
    }
  }
}

// With an escape character (E), quoted or not, against the rule applied
// one byte at a time.
TEST_P(StandardSplit, EscapesAgreeWithTheRuleAppliedOneCharacterAtATime) {
  for (const bool quoted : {true, false}) {
    if (!quoted) imp_.SetFieldDelimiter(fdlNone);
    imp_.SetEscapeChar("E");
    imp_.ResolveSeparators();
    auto rule = [quoted](const std::string& r) {
      Values values;
      if (IsBlank(r)) return values;
      std::size_t i = 0;
      for (;;) {
        std::string v;
        bool closed = false;
        if (quoted && i < r.size() && r[i] == 'Q') {
          for (++i; i < r.size(); ++i) {
            if (r[i] == 'E') {
              v += r[i + 1 < r.size() ? ++i : i];
            } else if (r[i] != 'Q') {
              v += r[i];
            } else if (i + 1 < r.size() && r[i + 1] == 'Q') {
              v += r[++i];
            } else {
              closed = true;
              ++i;
              break;
            }
          }
        }
        while (i < r.size() && r[i] != ',') {
          if (r[i] == 'E' && i + 1 < r.size()) ++i;
          v += r[i++];
        }
        values.push_back(closed && v.empty() ? "<empty text>" : v);
        if (i == r.size()) return values;
        ++i;
      }
    };
    const char alphabet[] = {'a', ',', 'Q', 'E', ' '};
    for (int length = 0; length <= 6; ++length) {
      int combinations = 1;
      for (int k = 0; k < length; ++k) combinations *= 5;
      for (int n = 0; n < combinations; ++n) {
        std::string record;
        for (int k = 0, rest = n; k < length; ++k, rest /= 5) record += alphabet[rest % 5];
        ASSERT_EQ(Split(record), rule(record)) << record << (quoted ? "" : " (no quote)");
      }
    }
  }
}

TEST(DelimitedSplitSpecial, WithoutAQuoteCharacterQuotesAreText) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspComma);
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a,\"b,c\"")), (Values{"a", "\"b", "c\""}));
}

TEST(DelimitedSplitSpecial, WithoutASeparatorTheRecordIsOneValue) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspNone);
  imp.SetFieldDelimiter(fdlDouble);
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a,\"b|c\";d")), (Values{"a,b|c;d"}));
  imp.SetCustomSeparator(";");
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a;\"b;c\";d")), (Values{"a", "b;c", "d"}));
}

TEST(DelimitedSplitSpecial, ACharacterThatIsQuoteAndSeparatorActsAsTheQuote) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspCustom);
  imp.SetCustomSeparator("'");
  imp.SetFieldDelimiter(fdlSingle);
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a'b,c'd")), (Values{"ab,cd"}));
}

TEST(DelimitedSplitSpecial, AnyByteCanBeTextQuoteOrSeparator) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspTab);
  imp.SetFieldDelimiter(fdlDouble);
  imp.ResolveSeparators();
  const std::string rec("\0a\t\xff\"\t\"\x1a\t", 9);
  EXPECT_EQ(Of(imp.SplitDelimitedFields(rec)), (Values{std::string("\0a", 2), "\xff\t\x1a"}));
  imp.SetFieldSeparator(fspCustom);
  imp.SetCustomSeparator("\xff");
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitDelimitedFields("a\xff\xff"
                                        "b")),
            (Values{"a", "", "b"}));
}

// The splitting rules one character at a time: the reference the span-based
// splitter must agree with.
Values ReferenceSplit(const std::string& rec, int quote, int sep) {
  Values out;
  std::string cur;
  bool inQuotes = false;
  for (char ch : rec) {
    int c = static_cast<unsigned char>(ch);
    if (c == quote) {
      inQuotes = !inQuotes;
    } else if (c != sep) {
      cur += ch;
    } else if (inQuotes) {
      cur += ch;
    } else {
      out.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

TEST(DelimitedSplitSpecial, AgreesWithTheCharacterRulesOnGeneratedRecords) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspComma);
  imp.SetFieldDelimiter(fdlDouble);
  imp.ResolveSeparators();
  const char alphabet[] = {'a', 'b', ',', ',', '"', '"', ' ', '\0'};
  std::uint32_t seed = 99;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int n = 0; n < 2000; ++n) {
    std::string rec;
    std::size_t len = next() % (n < 1900 ? 24 : 3000);
    for (std::size_t i = 0; i < len; ++i) rec += alphabet[next() % sizeof alphabet];
    ASSERT_EQ(Of(imp.SplitDelimitedFields(rec)), ReferenceSplit(rec, '"', ','))
        << "record #" << n << ": " << rec;
  }
}

// A separator of several bytes splits as a one-byte separator in its place
// does, under both rules, and never inside another character that shares
// its first bytes (or its last): generated records over the separator S,
// the quote, letters, a blank and such neighbours, each split once with
// the character and once with a comma standing for it.
TEST(DelimitedSplitSpecial, ASeparatorOfSeveralBytesSplitsOnTheWholeCharacter) {
  struct TCase {
    std::string separator;
    std::vector<std::string> neighbours;
  };
  const std::vector<TCase> cases = {
      {"\xC2\xA6", {"\xC2\xA2", "\xC3\xA9", "\xC3\xA6"}},                  // ¦: ¢ é æ
      {"\xE2\x86\x92", {"\xE2\x82\xAC", "\xE2\x86\x91"}},                  // →: € ↑
      {"\xF0\x9F\xA6\x86", {"\xF0\x9F\xA6\x85", "\xF0\x9D\x84\x9E"}}};  // 🦆: 🦅 𝄞
  std::uint32_t seed = 7;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (const TDialect dialect : {dlClassic, dlStandard}) {
    for (const TCase& c : cases) {
      TCSVImport wide(nullptr);
      TCSVImport comma(nullptr);
      for (TCSVImport* imp : {&wide, &comma}) {
        imp->SetDialect(dialect);
        imp->SetFieldSeparator(fspCustom);
        imp->SetFieldDelimiter(fdlDouble);
      }
      wide.SetSeparatorChar(c.separator);
      comma.SetCustomSeparator(",");
      wide.ResolveSeparators();
      comma.ResolveSeparators();
      for (int n = 0; n < 1500; ++n) {
        // The record in both spellings: a neighbour is 'n' + its index in
        // the comma one.
        std::string withWide;
        std::string withComma;
        for (std::size_t len = next() % (n < 1400 ? 14 : 400); len > 0; --len) {
          const std::uint32_t pick = next() % 8;
          if (pick < 2) {
            withWide += c.separator;
            withComma += ',';
          } else if (pick < 4) {
            const std::size_t k = next() % c.neighbours.size();
            withWide += c.neighbours[k];
            withComma += "n" + std::to_string(k);
          } else {
            const char plain = "a\" b"[pick - 4];  // a letter, the quote, a blank
            withWide += plain;
            withComma += plain;
          }
        }
        TValueList values;
        static_cast<void>(wide.SplitFieldsInto(withWide, values));
        Values got;
        for (int i = 0; i < values.Count(); ++i) {
          std::string v(values[i]);
          for (std::size_t k = 0; k < c.neighbours.size(); ++k) {
            for (std::size_t at = v.find(c.neighbours[k]); at != std::string::npos;
                 at = v.find(c.neighbours[k], at)) {
              v.replace(at, c.neighbours[k].size(), "n" + std::to_string(k));
            }
          }
          for (std::size_t at = v.find(c.separator); at != std::string::npos;
               at = v.find(c.separator, at)) {
            v.replace(at, c.separator.size(), ",");
          }
          got.push_back(IsQuotedEmpty(values[i]) ? "<empty text>" : v);
        }
        TValueList expected;
        static_cast<void>(comma.SplitFieldsInto(withComma, expected));
        Values want;
        for (int i = 0; i < expected.Count(); ++i) {
          want.push_back(IsQuotedEmpty(expected[i]) ? "<empty text>" : std::string(expected[i]));
        }
        ASSERT_EQ(got, want) << EnumToString(dialect) << " " << c.separator << ": " << withWide;
      }
    }
  }
}

// A split given a most number of values stops past it: what it gives is
// the start of the whole split, and Cut says that the record goes on.
TEST(DelimitedSplitSpecial, ASplitStoppedPastItsMostValuesGivesTheirStart) {
  const std::vector<TSplitRule> rules = {
      MakeSplitRule("\"", ",", dlClassic), MakeSplitRule("\"", ",", dlStandard),
      MakeSplitRule("\"", ",", dlStandard, "\\"), MakeSplitRule("\"", "\xC2\xA6", dlStandard),
      MakeSplitRule("", ",", dlClassic)};
  std::uint32_t seed = 11;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  const std::vector<std::string> pieces = {"a", ",", ",", "\"", "\\", "\xC2\xA6", " "};
  auto split = [](const TSplitRule& rule, std::string text, std::size_t most, bool& cut) {
    std::vector<std::string_view> items;
    cut = SplitDelimitedText(rule, text.data(), text.size(), items, nullptr, most).Cut;
    return Values(items.begin(), items.end());
  };
  for (const TSplitRule& rule : rules) {
    for (int n = 0; n < 1000; ++n) {
      std::string rec;
      for (std::size_t len = next() % 16; len > 0; --len) rec += pieces[next() % pieces.size()];
      bool cut = false;
      const Values whole = split(rule, rec, SIZE_MAX, cut);
      ASSERT_FALSE(cut);
      for (std::size_t most = 0; most < 4; ++most) {
        const Values start = split(rule, rec, most, cut);
        ASSERT_EQ(start.size(), cut ? most + 1 : whole.size()) << most << ": " << rec;
        ASSERT_TRUE(std::equal(start.begin(), start.end(), whole.begin())) << most << ": " << rec;
        ASSERT_TRUE(cut || whole.size() <= most + 1) << most << ": " << rec;
      }
    }
  }
}

TEST(SplitFields, BlankRecordsGiveNoListOthersGoOnUntrimmed) {
  TCSVImport imp(nullptr);
  imp.SetFieldSeparator(fspComma);
  imp.ResolveSeparators();
  EXPECT_EQ(imp.SplitFields("   "), nullptr);
  EXPECT_EQ(imp.SplitFields(""), nullptr);
  EXPECT_EQ(imp.SplitFields(std::string(" \t\0\x1f", 4)), nullptr);
  EXPECT_EQ(Of(imp.SplitFields(" a, b ")), (Values{" a", " b "}));
  // As the run reads them: under the standard rules, tabs that separate
  // are a record of empty values.
  imp.SetFieldSeparator(fspTab);
  imp.SetDialect(dlStandard);
  imp.ResolveSeparators();
  EXPECT_EQ(Of(imp.SplitFields("\t ")), (Values{"", " "}));
  EXPECT_EQ(imp.SplitFields("  "), nullptr);
  imp.SetFieldSeparator(fspComma);
  imp.SetDialect(dlClassic);
  imp.ResolveSeparators();
  // A reused list shows only the latest record's values.
  TValueList reused;
  TStringList out;
  EXPECT_TRUE(imp.SplitFieldsInto("x,yyyyyyyyyyyyyyyyyyyyyyyyyyy,", reused));
  EXPECT_FALSE(imp.SplitFieldsInto("  ", reused));
  EXPECT_EQ(reused.Count(), 0);
  EXPECT_TRUE(imp.SplitFieldsInto("z,", reused));
  reused.AssignTo(out);
  EXPECT_EQ(out.Items(), (Values{"z"}));
  EXPECT_TRUE(imp.SplitFieldsInto(",,w", reused));
  reused.AssignTo(out);
  EXPECT_EQ(out.Items(), (Values{"", "", "w"}));
}

TEST(SplitFields, UnknownImportTypeIsReportedForEachNonBlankRecord) {
  TCapturedMessages messages;
  TCSVImport imp(nullptr);
  imp.SetImportType(static_cast<TImportType>(5));
  EXPECT_EQ(imp.SplitFields("a,b"), nullptr);
  EXPECT_EQ(imp.SplitFields("  "), nullptr);
  EXPECT_EQ(imp.SplitFields("c"), nullptr);
  ASSERT_EQ(messages.Shown().size(), 2u);
  EXPECT_EQ(messages.Shown()[0].Text, "Unrecognised import type!");
  EXPECT_EQ(messages.Shown()[0].Type, mtError);
  EXPECT_EQ(messages.Shown()[0].Buttons, TMsgDlgButtons{mbOK});
  EXPECT_EQ(messages.Shown()[0].HelpContext, 0);
}

class FixedSplit : public ::testing::Test {
 protected:
  void SetUp() override {
    imp_.SetImportType(impFixed);
    imp_.SetDataSet(&data_);
  }
  TMemoryDataSet data_;
  TCSVImport imp_{nullptr};
};

TEST_F(FixedSplit, EachFieldTakesItsSizeInCharacters) {
  data_.AddFieldDef("A", ftString, 3);
  data_.AddFieldDef("B", ftString, 2);
  EXPECT_EQ(Of(imp_.SplitFields("abcde")), (Values{"abc", "de"}));
  EXPECT_EQ(Of(imp_.SplitFields("ab")), (Values{"ab", ""}));
  EXPECT_EQ(Of(imp_.SplitFields("abcdefg")), (Values{"abc", "de"}));
  EXPECT_EQ(Of(imp_.SplitFields(" b  e")), (Values{" b ", " e"}));  // padding kept
  EXPECT_EQ(Of(imp_.SplitFields("   ")), (Values{"<no list>"}));
}

TEST_F(FixedSplit, FieldsWithoutSizeTakeNothing) {
  data_.AddFieldDef("A", ftString, 2);
  data_.AddFieldDef("N", ftInteger);
  data_.AddFieldDef("B", ftString, 3);
  EXPECT_EQ(Of(imp_.SplitFields("xy123z")), (Values{"xy", "", "123"}));
}

TEST_F(FixedSplit, NoFieldsGiveAnEmptyList) {
  EXPECT_EQ(Of(imp_.SplitFields("abc")), (Values{}));
  imp_.SetDataSet(nullptr);
  EXPECT_EQ(Of(imp_.SplitFields("abc")), (Values{}));
}

}  // namespace
}  // namespace korvane
