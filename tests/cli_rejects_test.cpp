// korvane import and the records it fails: exit statuses, the reject file
// and log, --max-errors and --atomic, end to end through SQLite.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/compressed.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using namespace test::cli_run;
using Table = std::vector<std::vector<std::string>>;
using namespace std::string_literals;

class CliRejectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Exec(Db(), "CREATE TABLE t (id INTEGER PRIMARY KEY, amount MONEY, note TEXT)");
    Exec(Db(), "INSERT INTO t VALUES (100, 1, 'before')");
  }
  std::string Db() const { return dir.Path("t.db"); }
  std::vector<std::string> Import(const std::string& input, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"import", input, "--db", Db(), "--table", "t"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string Count() { return Rows(Db(), "SELECT count(*) FROM t")[0][0]; }

  test::TTempDir dir;
};

TEST_F(CliRejectsTest, ExitStatusTellsAllInPartlyLoadedFailedAndUsageApart) {
  const std::string good = dir.Put("good.csv", "1,2.50,a\n2,3,b\n");
  const std::string bad = dir.Put("bad.csv", "3,12x,c\n4,1,d\n");
  const std::string lenient = dir.Put("lenient.csv", "5,12x,e\n6,none,f,g\n");
  struct {
    std::vector<std::string> Args;
    int Status;
    std::string Err;  // a piece of stderr
  } const cases[] = {
      {Import(good), 0, ""},
      {Import(bad), 3, "korvane: line 1: amount: \"12x\" is not a number\n"},
      {Import(lenient, {"--lenient"}),
       0,
       "korvane: 1 value did not convert to the type of its column and was left empty "
       "(--lenient)\nkorvane: 1 record holds values beyond the last column, left out "
       "(--lenient)\n"},
      {Import(bad, {"--max-errors", "0"}), 1, "Error: stopped: more than 0 records failed"},
      {Import(bad, {"--colums", "x"}), 2, "unknown option --colums: did you mean --columns?"},
      {{"imprt", bad},
       2,
       "'imprt' is not a korvane command (import, export, run, sniff): did "
       "you mean import?"},
      {Import(bad, {"--rejects", dir.Path("no/such/dir.csv")}), 2,
       "--rejects '" + dir.Path("no/such/dir.csv") + "' cannot be written"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + c.Args.back());
    const std::string before = Count();
    const TRun r = Korvane(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    if (c.Status == 2) {
      EXPECT_EQ(Count(), before);  // nothing imported
    }
  }
  // Strict stored 4 alone, lenient took what digits it found (and said
  // what it left out).
  EXPECT_EQ(Rows(Db(), "SELECT id, amount FROM t WHERE id < 100 ORDER BY id"),
            (Table{{"1", "2.5"}, {"2", "3"}, {"4", "1"}, {"5", "12"}, {"6", "NULL"}}));
}

TEST_F(CliRejectsTest, RejectFileFixedAndImportedAgainCompletesTheTable) {
  // CRLF line ends, a header, a record over two lines, bytes 0 and 255.
  const std::string input =
      dir.Put("in.csv",
              "id,amount,note\r\n1,1.00,one\r\n2,12x,two\r\n3,\"3\r\n3\",three\r\n"
              "4,4,four,extra\r\n1,5,dup\r\n6,6\0\xff,six\r\n7,7,seven\r\n"s);
  const std::string rejects = dir.Path("rejects.csv");
  const std::string log = dir.Path("log.jsonl");
  TRun r =
      Korvane(Import(input, {"--header", "--rejects", rejects, "--reject-log", log, "--json"}));
  ASSERT_EQ(r.Status, 3) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id FROM t ORDER BY id"), (Table{{"1"}, {"7"}, {"100"}}));
  EXPECT_EQ(dir.Get("rejects.csv"),
            "id,amount,note\r\n2,12x,two\r\n3,\"3\r\n3\",three\r\n4,4,four,extra\r\n"
            "1,5,dup\r\n6,6\0\xff,six\r\n"s);
  const std::vector<json> lines = JsonLines(dir.Get("log.jsonl"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], json({{"record", 2},
                            {"line", 3},
                            {"field", "amount"},
                            {"value", "12x"},
                            {"reason", "not_a_number"},
                            {"message", "\"12x\" is not a number"}}));
  EXPECT_EQ(lines[1]["line"], 4);
  EXPECT_EQ(lines[1]["value"], "3\r\n3");
  EXPECT_EQ(lines[2]["reason"], "too_many_values");
  EXPECT_EQ(lines[3]["reason"], "refused");
  EXPECT_EQ(lines[3]["message"], "UNIQUE constraint failed: t.id");
  // Byte 255 is not UTF-8: the record fails before its values are read.
  EXPECT_EQ(lines[4]["reason"], "invalid_text");
  EXPECT_EQ(lines[4]["message"],
            "invalid UTF-8 at line 8, byte 0xFF; if the file is Latin-1, add --encoding latin1");
  const json j = json::parse(r.Out);
  EXPECT_EQ(
      j["rejected"],
      json({{"invalid_text", 1}, {"not_a_number", 2}, {"refused", 1}, {"too_many_values", 1}}));
  EXPECT_EQ(j["reasons"].size(), 5u);
  EXPECT_EQ(j["stored"], 2);
  EXPECT_NE(r.Err.find("korvane: 5 records failed: 1 refused by the table, 2 not a number, 1 more "
                       "values than columns, 1 with bytes not valid in the encoding\nkorvane: "
                       "line 3: amount: \"12x\" is not a number\n"),
            std::string::npos)
      << r.Err;

  // Fixed, the reject file imports with the same options.
  std::string fixed = dir.Get("rejects.csv");
  for (auto [from, to] : {std::pair<std::string, std::string>{"12x", "12"},
                          {"\"3\r\n3\"", "3"},
                          {",extra", ""},
                          {"1,5,dup", "5,5,dup"},
                          {"6\0\xff"s, "6"}}) {
    fixed.replace(fixed.find(from), from.size(), to);
  }
  r = Korvane(Import(dir.Put("fixed.csv", fixed), {"--header"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT group_concat(id) FROM (SELECT id FROM t ORDER BY id)"),
            (Table{{"1,2,3,4,5,6,7,100"}}));
}

TEST_F(CliRejectsTest, RejectFileIsInTheInputsEncodingSoTheSameOptionsReadIt) {
  // Latin-1 text, and the same characters in UTF-16LE: each byte a code unit.
  const auto utf16 = [](const std::string& latin1) {
    std::string out;
    for (char c : latin1) out += {c, '\0'};
    return out;
  };
  const std::string text = "id,amount,note\r\n1,1,caf\xe9\r\n2,12x,na\xefve\r\n";
  const std::string rejects = "id,amount,note\r\n2,12x,na\xefve\r\n";
  for (const auto& [encoding, bytes] :
       {std::pair<std::string, std::string>{"latin1", text}, {"utf-16le", utf16(text)}}) {
    SCOPED_TRACE(encoding);
    Exec(Db(), "DELETE FROM t WHERE id < 100");
    const std::vector<std::string> options = {"--header", "--encoding", encoding};
    std::vector<std::string> args = Import(dir.Put("in.csv", bytes), options);
    args.insert(args.end(), {"--rejects", dir.Path("rejects.csv")});
    ASSERT_EQ(Korvane(args).Status, 3);
    std::string fixed = dir.Get("rejects.csv");
    EXPECT_EQ(fixed, encoding == "latin1" ? rejects : utf16(rejects));
    fixed.replace(fixed.find(encoding == "latin1" ? "x" : "x\0"s), encoding == "latin1" ? 1 : 2,
                  "");
    ASSERT_EQ(Korvane(Import(dir.Put("fixed.csv", fixed), options)).Status, 0);
    EXPECT_EQ(Rows(Db(), "SELECT note FROM t WHERE id = 2"), (Table{{"na\xc3\xafve"}}));
  }
}

TEST_F(CliRejectsTest, RejectFileKeepsTheTitleAndTheTrailerSoTheSameOptionsKeepItsRecords) {
  // A short title, and title lines longer than the 64 KiB blocks the file is
  // read in, the CR LF of the second across the first block's end.
  const std::string wide(50000, 'x');
  const struct {
    std::string Title;  // the lines left out, with their line ends
    int Lines;
  } titles[] = {{"Sales\n", 1},
                {"Sales " + wide + "\n" + std::string(65535 - 50007, 'x') + "\r\n" + wide + "\n",
                 3}};
  for (const auto& title : titles) {
    SCOPED_TRACE(title.Lines);
    Exec(Db(), "DELETE FROM t WHERE id < 100");
    const std::string input =
        dir.Put("in.csv", title.Title + "\nid,amount,note\n1,1,a\n2,12x,b\n9,9,total\n");
    const std::vector<std::string> options = {"--skip-lines", std::to_string(title.Lines),
                                              "--header", "--trailer", "1"};
    std::vector<std::string> args = Import(input, options);
    args.insert(args.end(), {"--rejects", dir.Path("rejects.csv")});
    ASSERT_EQ(Korvane(args).Status, 3);
    const std::string rejects = dir.Get("rejects.csv");
    EXPECT_TRUE(rejects == title.Title + "id,amount,note\n2,12x,b\n9,9,total\n")
        << rejects.size() << " bytes: " << rejects.substr(0, 80);
    // Fixed, its failed record is stored, neither taken for the header nor
    // held back as the trailer.
    const TRun r = Korvane(Import(
        dir.Put("fixed.csv", title.Title + "id,amount,note\n2,12,b\n9,9,total\n"), options));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT group_concat(id) FROM (SELECT id FROM t ORDER BY id)"),
              (Table{{"1,2,100"}}));
  }
}
TEST_F(CliRejectsTest, AtomicImportKeepsTheTableAsItWasUnlessItSucceeds) {
  const std::string bad = dir.Put("bad.csv", "1,1,a\n2,12x,b\n3,3,c\n");
  TRun r = Korvane(Import(bad, {"--atomic", "--commit-every", "1"}));
  EXPECT_EQ(r.Status, 1) << r.Err;
  EXPECT_NE(r.Err.find("--atomic: nothing was stored"), std::string::npos) << r.Err;
  // The failure counts no records as stored: none are.
  EXPECT_EQ(r.Err.find("stored before"), std::string::npos) << r.Err;
  EXPECT_EQ(Count(), "1");
  // Within --max-errors the rest is committed, and the run ends partly
  // loaded; --progress leaves its closing line.
  r = Korvane(Import(bad, {"--atomic", "--max-errors", "1", "--progress"}));
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("korvane: 2 records stored, 1 failed, "), std::string::npos) << r.Err;
  EXPECT_EQ(Count(), "3");
}

// How many lines of text the file holds.
int LinesIn(const std::string& path) {
  const std::string text = ReadText(path);
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(CliRejectsTest, AtomicImportOfAKilledProcessLeavesTheTableAsItWas) {
  const std::string events = dir.Path("events.jsonl");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    // Groups of 10 would be committed as they fill without --atomic.
    const TRun run = Korvane(Import("-", {"--atomic", "--commit-every", "10", "--events", events}));
    ::_exit(run.Status);
  }
  ::close(fds[0]);
  std::string records;
  for (int id = 1; id <= 100; ++id) records += std::to_string(id) + ",1,x\n";
  ASSERT_EQ(::write(fds[1], records.data(), records.size()), static_cast<ssize_t>(records.size()));
  // Kill it once it has stored the records written but the last, whose end
  // it cannot know while the pipe stays open (OnBeginImport is a line too).
  for (int wait = 0; wait < 30000 && LinesIn(events) < 100; ++wait) ::usleep(1000);
  EXPECT_GE(LinesIn(events), 100);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(fds[1]);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Rows(Db(), "SELECT id, note FROM t"), (Table{{"100", "before"}}));
}

TEST_F(CliRejectsTest, InferredTypesFailLaterRecordsThatDoNotFitThem) {
  const std::string input = dir.Put("in.csv", "n,d\n1,2024-01-02\n2,2024-01-03\nabc,2024-02-30\n");
  const TRun r = Korvane({"import", input, "--db", dir.Path("new.db"), "--table", "n", "--header",
                          "--create", "--sample", "2"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("korvane: line 4: n: \"abc\" is not a number\n"), std::string::npos)
      << r.Err;
  EXPECT_NE(r.Err.find("--sample all"), std::string::npos) << r.Err;
  EXPECT_EQ(Rows(dir.Path("new.db"), "SELECT n, d FROM n"),
            (Table{{"1", "2024-01-02"}, {"2", "2024-01-03"}}));
  // Into the table now there, the types are the table's, whatever the sample.
  const TRun again = Korvane({"import", input, "--db", dir.Path("new.db"), "--table", "n",
                              "--header", "--sample", "2"});
  EXPECT_EQ(again.Status, 3) << again.Err;
  EXPECT_EQ(again.Err.find("--sample"), std::string::npos) << again.Err;
}

// The reject file ends its lines as the text of the input does, also when
// the input is compressed and its compressed bytes hold another line end
// first.
TEST_F(CliRejectsTest, RejectsOfACompressedFileEndLinesAsItsText) {
  // The first line end in bytes: what a reader of the file's own bytes finds.
  const auto firstEnd = [](const std::string& bytes) -> std::string {
    const std::size_t at = bytes.find_first_of("\r\n");
    if (at == std::string::npos || bytes[at] == '\n') return "\n";
    return bytes.compare(at, 2, "\r\n") == 0 ? "\r\n" : "\r";
  };
  for (const std::string end : {"\n", "\r\n"}) {
    SCOPED_TRACE(end.size());
    std::string text, packed;
    for (int pad = 0; pad < 2000 && (packed.empty() || firstEnd(packed) == end); ++pad) {
      text = "id,amount,note" + end + "1,1," + std::string(static_cast<std::size_t>(pad), 'x') +
             end + "2,12x,two" + end;
      packed = test::Gzip(text);
    }
    ASSERT_NE(firstEnd(packed), end);
    const std::string input = dir.Put("in.csv.gz", packed);
    Exec(Db(), "DELETE FROM t WHERE id < 100");
    const TRun r = Korvane(Import(input, {"--header", "--rejects", dir.Path("rejects.csv")}));
    EXPECT_EQ(r.Status, 3) << r.Err;
    EXPECT_EQ(dir.Get("rejects.csv"), "id,amount,note" + end + "2,12x,two" + end);
  }
}

// A reject file or log that cannot be written (a full disk) stops the run at
// the failed record it could not keep, saying what is stored.
TEST_F(CliRejectsTest, AFullDiskUnderTheRejectFilesStopsTheRunAtOnce) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  const std::string input = dir.Put("in.csv", "1,1,a\n2,12x,b\n3,1,c\n");
  for (const char* option : {"--rejects", "--reject-log"}) {
    SCOPED_TRACE(option);
    Exec(Db(), "DELETE FROM t WHERE id < 100");
    const TRun r = Korvane(Import(input, {option, "/dev/full"}));
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("Error: cannot write '/dev/full' (No space left on device) at failed "
                         "record 2, line 2 (1 record stored before)"),
              std::string::npos)
        << r.Err;
    // Nor is the file said to hold the failed records.
    EXPECT_NE(r.Err.find("before the write error"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("failed records are in"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("failed is in"), std::string::npos) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT id FROM t WHERE id < 100"), (Table{{"1"}}));
  }
}

}  // namespace
}  // namespace korvane
