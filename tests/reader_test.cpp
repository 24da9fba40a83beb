// The import's record reader, run at several buffer sizes so that every
// record and terminator boundary also falls on a buffer boundary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "io/fileio.h"
#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "support/captured_messages.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::TCapturedMessages;
using test::TTempDir;

struct Read {
  std::string Text;
  std::uint32_t Bytes;
  std::int32_t LineEnds;
  bool Eof;
  bool operator==(const Read&) const = default;
};

void PrintTo(const Read& r, std::ostream* os) {
  *os << "{\"";
  for (unsigned char c : r.Text) {
    if (c < 32 || c > 126) {
      *os << "\\x" << std::hex << int{c} << std::dec;
    } else {
      *os << c;
    }
  }
  *os << "\", " << r.Bytes << ", " << r.LineEnds << ", " << (r.Eof ? "eof" : "more") << "}";
}

// The reading rules written out one byte at a time, as plainly as possible:
// the reference the buffered reader must agree with.
std::vector<Read> ReferenceRead(const std::string& file) {
  std::vector<Read> out;
  std::size_t pos = 0;
  for (;;) {
    Read r{"", 0, 0, false};
    for (;;) {
      if (pos == file.size()) {
        r.Eof = true;
        break;
      }
      unsigned char c = static_cast<unsigned char>(file[pos++]);
      if (c == 26) {
        r.Eof = true;
        break;
      }
      if (c == 10 || c == 13) {
        ++r.LineEnds;
        for (;;) {
          if (pos == file.size()) {
            r.Eof = true;
            break;
          }
          unsigned char d = static_cast<unsigned char>(file[pos]);
          if (d == 26) {
            r.Eof = true;
            break;
          }
          if (d != 10 && d != 13) break;
          ++r.LineEnds;
          ++pos;
        }
        break;
      }
      r.Text += static_cast<char>(c);
    }
    r.Bytes = static_cast<std::uint32_t>(r.Text.size());
    out.push_back(r);
    if (r.Eof) return out;
  }
}

class ReaderTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  // Opens name (written with bytes) for reading at the test's buffer size.
  void Open(const std::string& bytes, const std::string& name = "in.txt") {
    imp_.SetInputFile(dir_.Put(name, bytes));
    imp_.SetReadBufferSize(GetParam());
    ASSERT_TRUE(imp_.OpenInputFile());
  }
  Read Next() {
    Read r{"", 0, 0, false};
    r.Text = imp_.ReadTextFileRecord(imp_.FileHandle(), r.Bytes);
    r.LineEnds = imp_.LineEndBytes();
    r.Eof = imp_.EndOfFile();
    return r;
  }
  // Reads until the input ends (with a bound, so a reader that never ends
  // fails instead of hanging).
  std::vector<Read> ReadAll() {
    std::vector<Read> all;
    do {
      all.push_back(Next());
    } while (!all.back().Eof && all.size() < 100000);
    return all;
  }
  std::vector<Read> ReadFile(const std::string& bytes) {
    Open(bytes);
    return ReadAll();
  }

  TTempDir dir_;
  TCSVImport imp_{nullptr};
};

INSTANTIATE_TEST_SUITE_P(BufferSizes, ReaderTest,
                         ::testing::Values(1, 2, 3, 7, TCSVImport::kDefaultReadBufferSize),
                         [](const auto& p) { return "Buffer" + std::to_string(p.param); });

TEST_P(ReaderTest, TerminatorsOfEveryKindEndARecordAndCountTheirBytes) {
  EXPECT_EQ(ReadFile("a,b\r\nc,d\r\n"),
            (std::vector<Read>{{"a,b", 3, 2, false}, {"c,d", 3, 2, true}}));
  EXPECT_EQ(ReadFile("a,b\nc,d"), (std::vector<Read>{{"a,b", 3, 1, false}, {"c,d", 3, 0, true}}));
  EXPECT_EQ(ReadFile("a\rb"), (std::vector<Read>{{"a", 1, 1, false}, {"b", 1, 0, true}}));
  EXPECT_EQ(ReadFile("a\n\rb"), (std::vector<Read>{{"a", 1, 2, false}, {"b", 1, 0, true}}));
}

TEST_P(ReaderTest, BlankLinesBelongToTheTerminatorBeforeThem) {
  EXPECT_EQ(ReadFile("a\r\n\r\n\r\nb"), (std::vector<Read>{{"a", 1, 6, false}, {"b", 1, 0, true}}));
  EXPECT_EQ(ReadFile("\r\nabc"), (std::vector<Read>{{"", 0, 2, false}, {"abc", 3, 0, true}}));
  EXPECT_EQ(ReadFile("\n\r\r\n"), (std::vector<Read>{{"", 0, 4, true}}));
}

TEST_P(ReaderTest, EmptyFileGivesOneEmptyRecord) {
  EXPECT_EQ(ReadFile(""), (std::vector<Read>{{"", 0, 0, true}}));
}

TEST_P(ReaderTest, ByteTwentySixEndsTheInputWhereverItStands) {
  EXPECT_EQ(ReadFile("abc\x1a"
                     "def\r\nghi"),
            (std::vector<Read>{{"abc", 3, 0, true}}));
  EXPECT_EQ(ReadFile("abc\r\n\x1a"), (std::vector<Read>{{"abc", 3, 2, true}}));
  EXPECT_EQ(ReadFile("a\r\x1a\nb"), (std::vector<Read>{{"a", 1, 1, true}}));
  EXPECT_EQ(ReadFile("\x1a"
                     "abc"),
            (std::vector<Read>{{"", 0, 0, true}}));
  // Nothing after it is ever read, however often the reader is asked.
  Open("x\x1ay\r\nz");
  EXPECT_EQ(Next(), (Read{"x", 1, 0, true}));
  EXPECT_EQ(Next(), (Read{"", 0, 0, true}));
}

TEST_P(ReaderTest, EveryOtherByteIsRecordText) {
  const std::string line("a\tb\0c\xff\x7f\x1b\x0b\x0c", 10);
  EXPECT_EQ(ReadFile(line + "\r\n" + line),
            (std::vector<Read>{{line, 10, 2, false}, {line, 10, 0, true}}));
}

TEST_P(ReaderTest, LinesOfSeveralMegabytesAreReadWhole) {
  std::string big(3 * 1024 * 1024 + 5, 'x');
  for (std::size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
  if (GetParam() < 8) big.resize(64 * 1024 + 3);  // tiny buffers: keep the test quick
  auto reads = ReadFile(big + "\n\r" + big + "\r\nend");
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].Text, big);
  EXPECT_EQ(reads[0].Bytes, big.size());
  EXPECT_EQ(reads[0].LineEnds, 2);
  EXPECT_EQ(reads[1].Text, big);
  EXPECT_EQ(reads[2], (Read{"end", 3, 0, true}));
}

TEST_P(ReaderTest, AgreesWithTheByteByByteRulesOnGeneratedFiles) {
  // Short files over an alphabet rich in the special bytes; every record's
  // text, byte counts and end-of-input flag must match the reference, and
  // the bytes accounted for must add up to the file up to its end or byte 26.
  const char alphabet[] = {'a', ',', '\r', '\n', '\r', '\n', '\0', '\xff', '\t', '"'};
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int n = 0; n < 300; ++n) {
    std::string file;
    std::size_t len = next() % 40;
    for (std::size_t i = 0; i < len; ++i) {
      // Byte 26 rarely, so that most files run to their physical end.
      std::uint32_t pick = next() % 60;
      file += pick < 59 ? alphabet[pick % 10] : '\x1a';
    }
    auto expected = ReferenceRead(file);
    auto actual = ReadFile(file);
    ASSERT_EQ(actual, expected) << "file #" << n;
    std::size_t accounted = 0;
    for (const auto& r : actual) accounted += r.Bytes + static_cast<std::size_t>(r.LineEnds);
    EXPECT_EQ(accounted, std::min(file.size(), file.find('\x1a')));
  }
}

TEST_P(ReaderTest, SpecialBytesAreFoundAtEveryOffsetOfLongRuns) {
  // The scan takes many bytes at a time: each special byte at each offset
  // of a long run, with more text after it, must still end the record there.
  for (const char special : {'\r', '\n', '\x1a'}) {
    for (std::size_t k = 0; k <= 40; ++k) {
      const std::string file =
          std::string(k, 'x') + special + std::string(33, 'y') + "\r\n" + std::string(k, 'z');
      ASSERT_EQ(ReadFile(file), ReferenceRead(file)) << int{special} << " at " << k;
    }
  }
}

TEST_P(ReaderTest, ReadAheadFillsTheCacheWithTheFirstRecords) {
  Open("L1\r\nL2\r\n");
  EXPECT_FALSE(imp_.ReadAheadRecordCache(3));
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"L1", "L2"}));
  EXPECT_TRUE(imp_.EndOfFile());

  Open("L1\r\nL2\r\nL3");
  imp_.RecordCache()->Add("left over");
  EXPECT_TRUE(imp_.ReadAheadRecordCache(2));
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"L1", "L2"}));
  EXPECT_FALSE(imp_.EndOfFile());

  Open("L1\nL2");
  EXPECT_TRUE(imp_.ReadAheadRecordCache(2));
  EXPECT_TRUE(imp_.EndOfFile());
  EXPECT_TRUE(imp_.ReadAheadRecordCache(0));
  EXPECT_TRUE(imp_.RecordCache()->Items().empty());
}

TEST_P(ReaderTest, CacheHoldsBackTheLastRecordsAndDelaysTheOthers) {
  Open("L1\r\nL2\r\nL3\r\nL4\nL5\r\nlong line 6");
  ASSERT_TRUE(imp_.ReadAheadRecordCache(2));
  imp_.SetUseRecordCache(true);
  // Returned records are delayed by two; the line-end bytes are those of the
  // record read from the file in the same call.
  EXPECT_EQ(
      ReadAll(),
      (std::vector<Read>{
          {"L1", 2, 2, false}, {"L2", 2, 1, false}, {"L3", 2, 2, false}, {"L4", 2, 0, true}}));
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"L5", "long line 6"}));
}

TEST_P(ReaderTest, ManyHeldBackRecordsKeepTheirOrder) {
  std::string file;
  for (int i = 1; i <= 100; ++i) file += "line " + std::to_string(i) + (i % 3 ? "\r\n" : "\n");
  Open(file);
  ASSERT_TRUE(imp_.ReadAheadRecordCache(37));
  imp_.SetUseRecordCache(true);
  auto reads = ReadAll();
  ASSERT_EQ(reads.size(), 63u);
  for (int i = 0; i < 63; ++i) EXPECT_EQ(reads[i].Text, "line " + std::to_string(i + 1));
  // Looking at the cache midway does not disturb what comes after.
  std::vector<std::string> held;
  for (int i = 64; i <= 100; ++i) held.push_back("line " + std::to_string(i));
  EXPECT_EQ(imp_.RecordCache()->Items(), held);

  Open("a\nb\nc\nd\ne\n");
  imp_.SetUseRecordCache(false);  // the pre-fill reads in file order
  ASSERT_TRUE(imp_.ReadAheadRecordCache(3));
  imp_.SetUseRecordCache(true);
  EXPECT_EQ(Next().Text, "a");
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(Next().Text, "b");
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"c", "d", "e"}));
  EXPECT_TRUE(imp_.EndOfFile());
}

TEST_P(ReaderTest, ReopeningStartsAgainFromTheFirstByte) {
  auto first = ReadFile(
      "a\r\nb\x1a"
      "c");
  imp_.CloseInputFile();
  ASSERT_TRUE(imp_.OpenInputFile());
  EXPECT_EQ(ReadAll(), first);
  EXPECT_EQ(first.size(), 2u);
}

TEST_P(ReaderTest, OsReadErrorMidFileRaisesInsteadOfEndingTheInput) {
  // More than one buffer's worth, so the reader must go back to the file.
  std::string file;
  while (file.size() < GetParam() + 64) file += "0123456789,abcdefghij\r\n";
  Open(file);
  EXPECT_EQ(Next().Text, "0123456789,abcdefghij");
  // Swap a directory in under the descriptor: the next read() fails (EISDIR).
  int dirFd = ::open(dir_.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dirFd, 0);
  ASSERT_GE(::dup2(dirFd, imp_.FileHandle().Fd()), 0);
  ::close(dirFd);
  try {
    for (int i = 0; i < 100000 && !imp_.EndOfFile(); ++i) Next();
    FAIL() << "the read error was taken for the end of the input";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "Read failed with error code " + IntToStr(EISDIR));
    EXPECT_EQ(e.ErrorCode, EISDIR);
  }
}

// The standard text rules: what a record read gives, with the line it starts
// on and whether its last quote was left open.
struct StdRead {
  std::string Text;
  std::int32_t LineEnds;
  bool Eof;
  bool Unclosed;
  std::int64_t Line;
  std::int32_t Skipped = 0;
  bool operator==(const StdRead&) const = default;
};

void PrintTo(const StdRead& r, std::ostream* os) {
  PrintTo(Read{r.Text, 0, r.LineEnds, r.Eof}, os);
  *os << (r.Unclosed ? " unclosed" : "") << " line " << r.Line << " skipped " << r.Skipped;
}

// The standard rules one byte at a time, with '"' and ',': the reference.
// keepStray: a quote inside quotes followed by a byte other than a quote,
// the separator, a line end or byte 26 is data and leaves them open.
std::vector<StdRead> ReferenceReadStandard(const std::string& file, bool keepStray = false) {
  std::vector<StdRead> out;
  std::size_t pos = file.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  std::int32_t skipped = static_cast<std::int32_t>(pos);
  std::int64_t line = 1;
  const auto lastSub = [&](std::size_t at) { return at + 1 == file.size() && file[at] == 26; };
  for (;;) {
    StdRead r{"", 0, false, false, line, skipped};
    skipped = 0;
    bool inQuotes = false;
    for (;;) {
      if (pos == file.size() || lastSub(pos)) {
        r.Eof = true;
        r.Unclosed = inQuotes;
        break;
      }
      const char c = file[pos];
      if (c == '"') {
        if (inQuotes && pos + 1 < file.size() && file[pos + 1] == '"') {
          r.Text += "\"\"";
          pos += 2;
          continue;
        }
        const bool stray =
            inQuotes && keepStray && pos + 1 < file.size() &&
            std::string_view(",\r\n\x1a").find(file[pos + 1]) == std::string_view::npos;
        inQuotes = inQuotes ? stray : r.Text.empty() || r.Text.back() == ',';
      } else if (c == '\r' || c == '\n') {
        if (!inQuotes) {
          char previous = 0;
          while (pos < file.size() && (file[pos] == '\r' || file[pos] == '\n')) {
            if (file[pos] == '\r' || previous != '\r') ++line;
            previous = file[pos++];
            ++r.LineEnds;
          }
          r.Eof = pos == file.size() || lastSub(pos);
          break;
        }
        if (c == '\r' || r.Text.back() != '\r') ++line;
      }
      r.Text += c;
      ++pos;
    }
    out.push_back(r);
    if (r.Eof) return out;
  }
}

class StandardReaderTest : public ReaderTest {
 protected:
  void SetUp() override {
    imp_.SetDialect(dlStandard);
    imp_.SetFieldDelimiter(fdlDouble);
    imp_.SetFieldSeparator(fspComma);
  }
  std::vector<StdRead> ReadStandard(const std::string& bytes) {
    Open(bytes);
    std::vector<StdRead> all;
    do {
      const Read r = Next();
      EXPECT_EQ(r.Bytes, r.Text.size());
      all.push_back({r.Text, r.LineEnds, r.Eof, imp_.RecordFault() == rfUnclosedQuote,
                     imp_.RecordLine(), imp_.SkippedBytes()});
    } while (!all.back().Eof && all.size() < 100000);
    return all;
  }
};

INSTANTIATE_TEST_SUITE_P(BufferSizes, StandardReaderTest,
                         ::testing::Values(1, 2, 3, 7, TCSVImport::kDefaultReadBufferSize),
                         [](const auto& p) { return "Buffer" + std::to_string(p.param); });

TEST_P(StandardReaderTest, QuotedValuesRunPastLineEndsAndLinesAreCounted) {
  EXPECT_EQ(ReadStandard("id,\"Once upon \r\na time\",5\r\n2,\"x\ry\"\n\"\"\"a\"\"\nb\",c"),
            (std::vector<StdRead>{{"id,\"Once upon \r\na time\",5", 2, false, false, 1},
                                  {"2,\"x\ry\"", 1, false, false, 3},
                                  {"\"\"\"a\"\"\nb\",c", 0, true, false, 5}}));
  // A quote inside an unquoted value is data, and opens nothing.
  EXPECT_EQ(ReadStandard("r1,ab\"cd,y\nr2"),
            (std::vector<StdRead>{{"r1,ab\"cd,y", 1, false, false, 1}, {"r2", 0, true, false, 2}}));
}

TEST_P(StandardReaderTest, AQuoteNeverClosedTakesTheRestOfTheInput) {
  EXPECT_EQ(ReadStandard("a,b\n\"open,\n\nrest\r\n"),
            (std::vector<StdRead>{{"a,b", 1, false, false, 1},
                                  {"\"open,\n\nrest\r\n", 0, true, true, 2}}));
  EXPECT_EQ(ReadStandard("a,\""), (std::vector<StdRead>{{"a,\"", 0, true, true, 1}}));
  EXPECT_EQ(ReadStandard("\"\"\"\"\""), (std::vector<StdRead>{{"\"\"\"\"\"", 0, true, true, 1}}));
  EXPECT_EQ(ReadStandard("\"\"\"\"\"\""),
            (std::vector<StdRead>{{"\"\"\"\"\"\"", 0, true, false, 1}}));
}

TEST_P(StandardReaderTest, ByteTwentySixIsDataUnlessItIsTheLastByte) {
  EXPECT_EQ(ReadStandard("a\x1a"
                         "b\r\n\x1a"
                         "c\r\n\x1a"),
            (std::vector<StdRead>{{"a\x1a"
                                   "b",
                                   2, false, false, 1},
                                  {"\x1a"
                                   "c",
                                   2, true, false, 2}}));
  EXPECT_EQ(ReadStandard("\"a\x1a"), (std::vector<StdRead>{{"\"a", 0, true, true, 1}}));
  // The classic rules still end the input at any byte 26.
  imp_.SetDialect(dlClassic);
  EXPECT_EQ(ReadFile("a\x1a"
                     "b"),
            (std::vector<Read>{{"a", 1, 0, true}}));
}

TEST_P(StandardReaderTest, AByteOrderMarkIsSkippedUnderBothRules) {
  EXPECT_EQ(ReadStandard("\xEF\xBB\xBFid,name\n1"),
            (std::vector<StdRead>{{"id,name", 1, false, false, 1, 3}, {"1", 0, true, false, 2}}));
  // Only at the very start, and only whole.
  EXPECT_EQ(ReadStandard("\xEF\xBB"), (std::vector<StdRead>{{"\xEF\xBB", 0, true, false, 1}}));
  EXPECT_EQ(ReadStandard("a\n\xEF\xBB\xBF"),
            (std::vector<StdRead>{{"a", 1, false, false, 1}, {"\xEF\xBB\xBF", 0, true, false, 2}}));
  imp_.SetDialect(dlClassic);
  EXPECT_EQ(ReadFile("\xEF\xBB\xBF"
                     "a\n"),
            (std::vector<Read>{{"a", 1, 1, true}}));
  EXPECT_EQ(imp_.SkippedBytes(), 3);
}

// Lines before the first record and comment lines are left out whole
// (quotes in them open nothing), with the blank lines after them; their
// bytes are the next record's skipped bytes and the lines count on. With
// SkipBlankStart, so are the blank lines that open the input.
TEST_P(StandardReaderTest, SkippedLinesAndCommentsAreLeftOutWhole) {
  struct TCase {
    std::string File;
    std::int32_t SkipLines;
    std::string Comment;
    std::vector<StdRead> Expected;
    bool BlankStart = false;
  };
  const std::vector<TCase> cases = {
      {"Title \"x\r\n\r\na,b\n1",
       1,
       "",
       {{"a,b", 1, false, false, 3, 12}, {"1", 0, true, false, 4}}},
      {"t1\n\nt3\na\n", 2, "", {{"t3", 1, false, false, 3, 4}, {"a", 1, true, false, 4}}},
      {"# one\n#\"two\n\na\n# three\r\nb\n#",
       0,
       "#",
       {{"a", 1, false, false, 4, 13}, {"b", 1, false, false, 6, 9}, {"", 0, true, false, 7, 1}}},
      // Only where a record starts: not inside a quoted value, not after blanks.
      {"a,\"\n#x\"\n #y\n",
       0,
       "#",
       {{"a,\"\n#x\"", 1, false, false, 1}, {" #y", 1, true, false, 3}}},
      {"\xEF\xBB\xBFskip\n#c\nv", 1, "#", {{"v", 0, true, false, 3, 11}}},
      {"only\n", 3, "", {{"", 0, true, false, 2, 5}}},
      {"\nid\n1",
       0,
       "",
       {{"", 1, false, false, 1}, {"id", 1, false, false, 2}, {"1", 0, true, false, 3}}},
      {"\r\n\nid\n1", 0, "", {{"id", 1, false, false, 3, 3}, {"1", 0, true, false, 4}}, true},
      {"\n#c\n\nid", 0, "#", {{"id", 0, true, false, 4, 5}}, true},
      {"t\n\n\nid", 1, "", {{"id", 0, true, false, 4, 4}}, true},
      {"\n\n", 0, "", {{"", 0, true, false, 3, 2}}, true},
  };
  for (const TCase& c : cases) {
    imp_.SetSkipBlankStart(c.BlankStart);
    imp_.SetSkipLines(c.SkipLines);
    imp_.SetCommentChar(c.Comment);
    EXPECT_EQ(ReadStandard(c.File), c.Expected) << c.File;
  }
}

// With an escape character, an escaped quote inside quotes leaves them
// open and an escaped line end is data, inside quotes or not (CR LF as
// one); doubled quotes still stand for one, and a quote after an escaped
// separator opens nothing.
TEST_P(StandardReaderTest, AnEscapedQuoteDoesNotCloseTheValue) {
  imp_.SetEscapeChar("\\");
  EXPECT_EQ(ReadStandard("1,\"a\\\"\nb\"\"\\\\\"\r\n2,\"\\\r\nc\"\n3,x\\\"\n"
                         "5,a\\\nb\\\r\nc\n6,x\\,\"y\n4,\"\\\""),
            (std::vector<StdRead>{{"1,\"a\\\"\nb\"\"\\\\\"", 2, false, false, 1},
                                  {"2,\"\\\r\nc\"", 1, false, false, 3},
                                  {"3,x\\\"", 1, false, false, 5},
                                  {"5,a\\\nb\\\r\nc", 1, false, false, 6},
                                  {"6,x\\,\"y", 1, false, false, 9},
                                  {"4,\"\\\"", 0, true, true, 10}}));
}

// Kept stray quotes leave the value open past a line end; a quote before
// the separator or a line end still closes it. Read a byte at a time
// (with an escape character or a separator of two bytes) too.
TEST_P(StandardReaderTest, StrayQuotesKeptLeaveTheValueOpen) {
  imp_.SetKeepStrayQuotes(true);
  const std::string file = "1,\"a \"b\" c\"\n2,\"x\"y\nz\"\r\n3,\"q\"";
  const std::vector<StdRead> expected{{"1,\"a \"b\" c\"", 1, false, false, 1},
                                      {"2,\"x\"y\nz\"", 2, false, false, 2},
                                      {"3,\"q\"", 0, true, false, 4}};
  EXPECT_EQ(ReadStandard(file), expected);
  imp_.SetEscapeChar("\\");
  EXPECT_EQ(ReadStandard(file), expected);
  imp_.SetEscapeChar("");
  imp_.SetFieldSeparator(fspCustom);
  imp_.SetCustomSeparator("\xC2\xA6");  // the broken bar
  EXPECT_EQ(ReadStandard("\"a\"\xC2"
                         "b\"\xC2\xA6"
                         "c\n"),
            (std::vector<StdRead>{{"\"a\"\xC2"
                                   "b\"\xC2\xA6"
                                   "c",
                                   1, true, false, 1}}));
}

TEST_P(StandardReaderTest, AgreesWithTheByteByByteRulesOnGeneratedFiles) {
  const char alphabet[] = {'a', ',', '"', '"', '\r', '\n', ',', '\0', '\xff', '\x1a'};
  std::uint32_t seed = 777;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int n = 0; n < 250; ++n) {
    std::string file = n % 7 == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t len = next() % 40;
    for (std::size_t i = 0; i < len; ++i) file += alphabet[next() % 10];
    const bool keepStray = n % 2 == 1;
    imp_.SetKeepStrayQuotes(keepStray);
    const auto expected = ReferenceReadStandard(file, keepStray);
    ASSERT_EQ(ReadStandard(file), expected) << "file #" << n;
    std::size_t accounted = 0;
    for (const auto& r : expected) accounted += r.Text.size() + r.LineEnds + r.Skipped;
    EXPECT_EQ(accounted, file.size() - (!file.empty() && file.back() == 26 ? 1 : 0));
  }
}

TEST_P(StandardReaderTest, HeldBackRecordsAreWholeRecordsWithTheirLines) {
  Open("h1\n\"a\nb\",1\n\"c\r\nd\",2\n\"t\n1\"\nt2");
  ASSERT_TRUE(imp_.ReadAheadRecordCache(2));
  imp_.SetUseRecordCache(true);
  std::vector<std::pair<std::string, std::int64_t>> returned;
  do {
    std::uint32_t bytes = 0;
    std::string text = imp_.ReadTextFileRecord(imp_.FileHandle(), bytes);
    returned.emplace_back(text, imp_.RecordLine());
  } while (!imp_.EndOfFile());
  EXPECT_EQ(returned, (std::vector<std::pair<std::string, std::int64_t>>{
                          {"h1", 1}, {"\"a\nb\",1", 2}, {"\"c\r\nd\",2", 4}}));
  EXPECT_EQ(imp_.RecordCache()->Items(), (std::vector<std::string>{"\"t\n1\"", "t2"}));
}

// Opening and measuring: the failures a host runs into.
class ReaderOpenTest : public ::testing::Test {
 protected:
  TTempDir dir_;
  TCSVImport imp_{nullptr};
  TCapturedMessages messages_;
};

TEST_F(ReaderOpenTest, GetFileSizeMeasuresWithoutMessages) {
  imp_.SetInputFile(dir_.Put("a.txt", "12345\r\n"));
  EXPECT_EQ(imp_.GetFileSize(), 7);
  imp_.SetInputFile(dir_.Put("empty.txt", ""));
  EXPECT_EQ(imp_.GetFileSize(), 0);
  EXPECT_TRUE(messages_.Shown().empty());
  // Measuring leaves the file free for the run's own open.
  EXPECT_TRUE(imp_.OpenInputFile());
  // A named pipe is never opened to be measured, even while a run reads it.
  const std::string fifo = dir_.Path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Its writer: the run's open waits for one.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  TCSVImport reader(nullptr);
  reader.SetInputFile(fifo);
  ASSERT_TRUE(reader.OpenInputFile());
  imp_.SetInputFile(fifo);
  EXPECT_EQ(imp_.GetFileSize(), 0);
  EXPECT_TRUE(messages_.Shown().empty());
  ::close(writer);
}

TEST_F(ReaderOpenTest, SizesOfFourGibibytesAndMoreAreWhole) {
  std::string path = dir_.Path("big.bin");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const off_t size = (off_t{4} << 30) + 7;  // low 32 bits: 7
  int rc = ::ftruncate(fd, size);           // sparse: takes no disk space
  ::close(fd);
  if (rc != 0) GTEST_SKIP() << "file system refuses sparse files";
  imp_.SetInputFile(path);
  EXPECT_EQ(imp_.GetFileSize(), static_cast<std::int64_t>(size));
}

TEST_F(ReaderOpenTest, InputsThatCannotBeOpenedAreReportedAndReadAsEmpty) {
  struct Case {
    std::string path;
    int error;
  };
  std::vector<Case> cases = {{dir_.Path("missing.txt"), ENOENT}, {dir_.Dir(), EISDIR}};
  if (::geteuid() != 0) {  // permissions do not stop root
    std::string secret = dir_.Put("secret.txt", "x");
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    cases.push_back({secret, EACCES});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    messages_.Clear();
    imp_.SetInputFile(c.path);
    EXPECT_EQ(imp_.GetFileSize(), -1);
    ASSERT_EQ(messages_.Shown().size(), 1u);
    EXPECT_EQ(messages_.Shown()[0].Text, "Error getting file handle");
    EXPECT_EQ(messages_.Shown()[0].Type, mtWarning);
    EXPECT_EQ(messages_.Shown()[0].Buttons, TMsgDlgButtons{mbOK});
    EXPECT_EQ(messages_.Shown()[0].HelpContext, 0);

    EXPECT_FALSE(imp_.OpenInputFile());
    EXPECT_EQ(GetLastError(), c.error);
    std::uint32_t bytes = 99;
    EXPECT_EQ(imp_.ReadTextFileRecord(imp_.FileHandle(), bytes), "");
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(imp_.EndOfFile());
  }
}

TEST_F(ReaderOpenTest, FileHeldByAnotherOpenCannotBeOpenedUntilReleased) {
  std::string path = dir_.Put("held.txt", "a\r\n");
  imp_.SetInputFile(path);
  {
    TCSVImport other(nullptr);
    other.SetInputFile(path);
    ASSERT_TRUE(other.OpenInputFile());
    EXPECT_FALSE(imp_.OpenInputFile());
    EXPECT_EQ(GetLastError(), EWOULDBLOCK);
    EXPECT_EQ(imp_.GetFileSize(), -1);
    EXPECT_EQ(messages_.Texts(), std::vector<std::string>{"Error getting file handle"});
  }  // the other component's destruction releases the file
  EXPECT_TRUE(imp_.OpenInputFile());
  imp_.CloseInputFile();
  TFileHandle again = OpenFileForRead(path);
  EXPECT_TRUE(again.Valid());
}

}  // namespace
}  // namespace korvane
