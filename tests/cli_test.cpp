// The korvane command end to end: options in, bytes in the database or the
// output file, messages, JSON and exit statuses out. Each test runs the
// command in-process on files of its own temporary folder and looks at the
// database with SQLite itself.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_util.h"
#include "cli/input_relay.h"
#include "cli/korvane_cli.h"
#include "io/fileio.h"
#include "support/cli_run.h"
#include "support/compressed.h"
#include "support/source_dir.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using json = nlohmann::json;
using test::TTempDir;
using namespace test::cli_run;

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

int LineCount(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}


const std::string kPeopleColumns =
    "id INTEGER PRIMARY KEY, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN";

class CliTest : public ::testing::Test {
 protected:
  // A copy of the example file: a run holds its input locked, so tests
  // running side by side must not share one file.
  std::string PeopleCsv() {
    std::string copy = dir.Path("people.csv");
    if (!Exists(copy)) {
      std::filesystem::copy_file(korvane::test::SourceDir() + "/examples/people.csv", copy);
    }
    return copy;
  }
  std::string Db() const { return dir.Path("people.db"); }
  // people.csv in a new table people of Db(), typed columns.
  void ImportPeople() {
    TRun r = Korvane({"import", PeopleCsv(), "--db", Db(), "--table", "people", "--header",
                      "--create", "--columns", kPeopleColumns});
    ASSERT_EQ(r.Status, 0) << r.Err;
  }

  TTempDir dir;
};

// --- import -----------------------------------------------------------------

TEST_F(CliTest, ImportCreatesTypedTableAndReportsJson) {
  TRun r = Korvane({"import", PeopleCsv(), "--db", Db(), "--table", "people", "--header",
                    "--create", "--columns", kPeopleColumns, "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  json j = json::parse(r.Out);
  EXPECT_EQ(j["result"], 8);
  EXPECT_EQ(j["errorRecords"], 0);
  EXPECT_EQ(j["headerData"], json::array({"id,name,city,amount,born,active"}));
  EXPECT_EQ(j["trailerData"], json::array());
  // Values are stored as SQLite's own types: dates as text, money as the
  // amount, booleans as 0/1.
  auto rows = Rows(Db(),
                   "SELECT id, name, city, typeof(amount), amount, born, active FROM people "
                   "ORDER BY id");
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "Ada Lovelace", "London", "real", "1234.5",
                                               "1815-12-10", "1"}));
  EXPECT_EQ(rows[6][4], "-12.34");
  EXPECT_EQ(rows[6][6], "1");               // "yes"
  EXPECT_EQ(rows[7][2], "Peru, New York");  // a separator inside quotes
}

TEST_F(CliTest, ImportCreateTypesTheColumnsNamedByTheHeaderRecord) {
  TRun r =
      Korvane({"import", PeopleCsv(), "--db", Db(), "--table", "people", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto columns = Rows(Db(), "SELECT name, type FROM pragma_table_info('people') ORDER BY cid");
  ASSERT_EQ(columns.size(), 6u);
  EXPECT_EQ(columns[0], (std::vector<std::string>{"id", "INTEGER"}));
  EXPECT_EQ(columns[3], (std::vector<std::string>{"amount", "DOUBLE PRECISION"}));
  EXPECT_EQ(columns[4], (std::vector<std::string>{"born", "DATE"}));
  EXPECT_EQ(columns[5], (std::vector<std::string>{"active", "BOOLEAN"}));
  EXPECT_EQ(Rows(Db(), "SELECT born, active FROM people WHERE id = 8"),
            (std::vector<std::vector<std::string>>{{"1932-08-04", "1"}}));
}

// Without --header, a new table takes the header the sample finds (a lone
// record of names too), and a table that is there one whose values name its
// columns; --header 0 keeps the first record as data. Blank lines above the
// header are no record.
TEST_F(CliTest, ImportFindsTheHeaderTheOptionsDoNotGive) {
  const auto run = [this](const std::string& text, std::vector<std::string> more) {
    std::vector<std::string> args{"import", dir.Put("h.csv", text), "--db", Db(), "--table", "t"};
    args.insert(args.end(), more.begin(), more.end());
    return Korvane(args);
  };
  const auto table = [this] {
    return Rows(Db(), "SELECT group_concat(name || ' ' || type, ', ') FROM pragma_table_info('t')")[0][0] +
           "; " + Rows(Db(), "SELECT group_concat(id || '=' || name, ' ') FROM t")[0][0];
  };
  TRun r = run("id,name\n1,a\n2,b\n", {"--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("the first record is a header"), std::string::npos) << r.Err;
  EXPECT_EQ(table(), "id INTEGER, name TEXT; 1=a 2=b");
  // The table is there now: a file whose first record names its columns.
  r = run("\r\nNAME,id\nc,3\n", {"--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(table(), "id INTEGER, name TEXT; 1=a 2=b 3=c");
  // A run saved finds it the same, the table then read and left alone.
  const std::string job = dir.Path("h.kvs");
  r = run("\n\nname,id\ne,5\n", {"--save", job});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = Korvane({"run", job});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(table(), "id INTEGER, name TEXT; 1=a 2=b 3=c 5=e");
  r = run("name,id\n", {"--header", "0"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  Exec(Db(), "DROP TABLE t");
  r = run("id,name\n4,d\n", {"--create", "--columns", "id INTEGER PRIMARY KEY, name TEXT"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(table(), "id INTEGER, name TEXT; 4=d");
  Exec(Db(), "DROP TABLE t");
  r = run("id,name\n", {"--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT group_concat(name, ',') || '; ' || (SELECT count(*) FROM t) "
                       "FROM pragma_table_info('t')")[0][0],
            "id,name; 0");
}

// Types come from every record: a value far past the default sample that is
// no number keeps its column TEXT instead of being stored as null.
TEST_F(CliTest, ImportCreateTypesTheColumnsFromEveryRecord) {
  const std::string input = dir.Path("late_text.csv");
  {
    std::ofstream out(input, std::ios::binary);
    out << "n\n";
    for (int i = 1; i <= 25000; ++i) out << i << "\n";
    out << "n/a\n";
  }
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT type FROM pragma_table_info('t')")[0][0], "TEXT");
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM t WHERE n = 'n/a'")[0][0], "1");
}

// Decimals a double would round get a column that keeps their digits (as
// text, under SQLite), and the export gives the file back byte for byte.
TEST_F(CliTest, ImportCreateKeepsDecimalsWiderThanADoubleDigitForDigit) {
  const std::string text =
      "id,amount\n1,12345678901234.5678\n2,-0.1000000000000000055\n3,7\n4,\n5,0.50\n";
  const std::string input = dir.Put("wide.csv", text);
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT type FROM pragma_table_info('t') WHERE name = 'amount'")[0][0],
            "DECIMAL_TEXT");
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM t WHERE typeof(amount) = 'text'")[0][0], "4");
  r = Korvane({"export", dir.Path("out.csv"), "--db", Db(), "--table", "t", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.csv"), text);
}

// A copy of a file of the sniffing gallery (a run holds its input locked).
std::string GalleryCopy(const TTempDir& dir, const std::string& name) {
  std::string copy = dir.Path(name);
  std::filesystem::copy_file(korvane::test::SourceDir() + "/tests/data/sniff/" + name, copy);
  return copy;
}

// Words of a command line that quotes with single quotes.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (char c : line) {
    if (c == '\'') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

TEST_F(CliTest, ImportSniffsTheLayoutUnlessItIsGiven) {
  const std::string input = GalleryCopy(dir, "semicolon_european.csv");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err,
            "korvane: reading " + input +
                " as ';'-separated, '\"'-quoted, header present\nkorvane: reading numbers with a "
                "decimal comma and thousands points (1.234,5); --decimal-separator and "
                "--thousand-separator decide\n");
  EXPECT_EQ(Rows(Db(), "SELECT name || ' ' || type FROM pragma_table_info('t') ORDER BY cid"),
            (std::vector<std::vector<std::string>>{
                {"kunde TEXT"}, {"betrag NUMERIC(18,2)"}, {"datum DATE"}, {"zeit TIME"}}));
  EXPECT_EQ(Rows(Db(), "SELECT betrag, datum, zeit FROM t WHERE kunde = 'Schmidt'"),
            (std::vector<std::vector<std::string>>{{"7.05", "2024-02-01", "09:15:30"}}));

  // A given separator wins: the header is one name.
  r = Korvane({"import", input, "--db", Db(), "--table", "u", "-s", ",", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(Rows(Db(), "SELECT name FROM pragma_table_info('u') WHERE cid = 0")[0][0],
            "kunde;betrag;datum;zeit");
  // So does a given decimal separator: no decimal commas are sniffed.
  r = Korvane({"import", input, "--db", Db(), "--table", "v", "--decimal-separator", ".",
               "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT type FROM pragma_table_info('v') WHERE name = 'betrag'")[0][0],
            "TEXT");
  // Into a table that is there, the numbers are read as the options say;
  // those that fail so come with the options that read them.
  Exec(Db(), "CREATE TABLE w (kunde TEXT, betrag REAL, datum DATE, zeit TIME)");
  r = Korvane({"import", input, "--db", Db(), "--table", "w", "--header"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("decimal comma and thousands points (1.234,5): --decimal-separator , "
                       "--thousand-separator . reads them so"),
            std::string::npos)
      << r.Err;
}

TEST_F(CliTest, LinesBeforeTheDataAreLeftOutSniffedOrGiven) {
  const std::string input = dir.Put("report.csv", "Report\n# by hand\nid,n\n1,a\n# late\n2,b\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("leaving out the first line, lines starting with # as comments"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, n FROM t"),
            (std::vector<std::vector<std::string>>{{"1", "a"}, {"2", "b"}}));
  r = Korvane({"import", dir.Put("given.csv", "x\ny\nid,n\n%c\n3,c\n"), "--db", Db(), "--table",
               "t", "--header", "--skip-lines", "2", "--comment", "%"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM t")[0][0], "3");
  EXPECT_EQ(Korvane({"import", input, "--db", Db(), "--table", "t", "--comment", "//"}).Status, 2);
  // Where no separator splits the records alike, the comma reads the file
  // as it always did, lines before the data too: the header and the types
  // come from the records so read, none of which fails.
  r = Korvane({"import", dir.Put("ragged.csv", "# a\n# b\nn\n1\n2,,3\n4\n"), "--db", Db(),
               "--table", "r", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM r")[0][0], "6");
}

TEST_F(CliTest, ImportCreateNamesColumnsWithoutAHeaderAndMakesNamesUnique) {
  TRun r = Korvane(
      {"import", GalleryCopy(dir, "tab_no_header.tsv"), "--db", Db(), "--table", "t", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT c1, c2, c3, c4 FROM t WHERE c1 = 19"),
            (std::vector<std::vector<std::string>>{{"19", "Plums", "2024-02-29", "2.0"}}));

  r = Korvane({"import", GalleryCopy(dir, "repeated_names.csv"), "--db", Db(), "--table", "u",
               "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("korvane: renamed column 2: \"amount\" is amount_2\n"), std::string::npos)
      << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT amount, amount_2, c3, Amount_3 FROM u ORDER BY 1"),
            (std::vector<std::vector<std::string>>{{"1", "2", "3", "4"}, {"5", "6", "7", "8"}}));

  // --fields names the new table's columns, typed from the values they take.
  const std::string pairs = dir.Put("pairs.csv", "1,ann\n2,bob\n");
  r = Korvane({"import", pairs, "--db", Db(), "--table", "v", "--create", "--fields", "id,name"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT typeof(id), name FROM v WHERE id = 2"),
            (std::vector<std::vector<std::string>>{{"integer", "bob"}}));
  // The header's names are set aside, and none is said to be renamed.
  r = Korvane({"import", dir.Path("repeated_names.csv"), "--db", Db(), "--table", "x",
               "--header", "--create", "--fields", "p,q,r,s"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err.find("renamed"), std::string::npos) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(s) FROM x"), (std::vector<std::vector<std::string>>{{"2"}}));
  r = Korvane({"import", pairs, "--db", Db(), "--table", "w", "--create", "--fields", "a,b,c"});
  EXPECT_EQ(r.Status, 2) << r.Err;
  EXPECT_TRUE(Rows(Db(), "SELECT name FROM sqlite_master WHERE name = 'w'").empty());
}

TEST_F(CliTest, SniffPrintsTheImportCommandThatLoadsTheFile) {
  const std::string input = GalleryCopy(dir, "comma_quoted_crlf.csv");
  TRun r = Korvane({"sniff", input, "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const json found = json::parse(r.Out);
  EXPECT_EQ(found["separator"], ",");
  EXPECT_EQ(found["lineEnds"], "CRLF");
  EXPECT_TRUE(found["fixedWidths"].is_null() && found["fixedWidthUnit"].is_null()) << r.Out;
  EXPECT_EQ(found["columns"][3]["dateFormat"], "yyyy-mm-dd");
  std::vector<std::string> words = ShellWords(found["command"].get<std::string>());
  ASSERT_GT(words.size(), 4u);
  EXPECT_EQ(words[0], "korvane");
  words.erase(words.begin());
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == "--db") words[i + 1] = Db();
  }
  r = Korvane(words);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT name, amount, born, active FROM comma_quoted_crlf WHERE id = 3"),
            (std::vector<std::vector<std::string>>{{"Turing, Alan", "-15.0", "1912-06-23", "1"}}));

  r = Korvane({"sniff", input});
  EXPECT_NE(r.Out.find("Separator:   ',' (5 values in every record)\n"), std::string::npos)
      << r.Out;
  // A file only the classic rules read gets them on the command line.
  const std::string classic = dir.Put("classic.csv", "id,note\n1,\"ab\"cd\n2,x\n");
  r = Korvane({"sniff", classic, "-s", ",", "--json"});
  const std::string command = json::parse(r.Out)["command"];
  EXPECT_NE(command.find(" --dialect classic"), std::string::npos) << command;
  EXPECT_EQ(Korvane({"sniff", dir.Path("missing.csv")}).Status, 2);

  // The command carries what the file needs beyond its layout: a file in
  // cp1252 is read so and its text stored as UTF-8; numbers with a decimal
  // comma are read with it.
  struct TCase {
    std::string File;
    std::string Text;
    std::string Word;  // in the command once
    std::string Query;
    std::vector<std::string> Row;
  };
  const std::vector<TCase> cases = {
      {"notes.csv",
       "id;note\n1;\x93"
       "caf\xE9\x94\n2;x\n",
       "cp1252",
       "SELECT note FROM notes WHERE id = 1",
       {"\xE2\x80\x9C"
        "caf\xC3\xA9\xE2\x80\x9D"}},
      {"sums.csv",
       "who;sum;n\nA;1.234,50;1.200\nB;-0,25;7\n",
       "--decimal-separator",
       "SELECT sum, n FROM sums WHERE who = 'A'",
       {"1234.5", "1200"}},
      {"dump.csv",
       "id,t\n1,\"say \\\"hi\\\", then go\"\n2,x\n",
       "--escape",
       "SELECT t FROM dump WHERE id = 1",
       {"say \"hi\", then go"}},
      {"stray.csv",
       "id;name\n1;\"pedro \"pdet\" ho;landa\"\n2;\"x \"y\" z\"\n3;\"x\"\n",
       "--keep-stray-quotes",
       "SELECT name FROM stray WHERE id = 1",
       {"pedro \"pdet\" ho;landa"}},
      // Records of differing widths: a table as wide as the widest.
      {"ragged.csv",
       "1,2\n3,4,5\n6\n7,8\n",
       "--create",
       "SELECT (SELECT c3 FROM ragged WHERE c1 = 3), c2, c3 FROM ragged WHERE c1 = 6",
       {"5", "NULL", "NULL"}},
  };
  for (const TCase& c : cases) {
    r = Korvane({"sniff", dir.Put(c.File, c.Text), "--json"});
    words = ShellWords(json::parse(r.Out)["command"].get<std::string>());
    EXPECT_EQ(std::count(words.begin(), words.end(), c.Word), 1) << r.Out;
    words.erase(words.begin());
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
      if (words[i] == "--db") words[i + 1] = Db();
    }
    r = Korvane(words);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Rows(Db(), c.Query), (std::vector<std::vector<std::string>>{c.Row})) << c.File;
  }
}

TEST_F(CliTest, ImportIntoExistingTableAppends) {
  ImportPeople();
  TRun r = Korvane({"import", PeopleCsv(), "--db", Db(), "--table", "people", "--header", "1",
                    "--set", "FieldList=id", "--set", "FieldListAction=flaExclude"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  // The second import left id out, so the rows got new ids.
  EXPECT_EQ(Rows(Db(), "SELECT count(*), count(DISTINCT id), max(id) FROM people"),
            (std::vector<std::vector<std::string>>{{"16", "16", "16"}}));
}

// With a header record the values go to the columns their names name; the
// columns left out take their defaults, and a name that is no column, or a
// generated one, stores nothing.
TEST_F(CliTest, HeaderNamesChooseTheColumns) {
  struct TCase {
    std::string Text;
    std::vector<std::string> Options;
    int Status;
    std::string Row;  // id|État|last|n, or the text stderr must hold
  } cases[] = {
      {"LAST,\xC3\x89TAT\nL,e\n", {}, 0, "1|e|L|7"},   // any order, case and UTF-8 folded
      {" last \nL\n", {}, 0, "1||L|7"},                // a subset
      {"5,L\n", {"--fields", "n,last"}, 0, "1||L|5"},  // no header: --fields names them
      {"x,y\n5,L\n", {"--header", "--fields", "n,last"}, 0, "1||L|5"},
      {"last,lsat\nL,z\n", {"--ignore-columns", "lsat"}, 0, "1||L|7"},
      {"last,zip\nL,z\n", {"--ignore-extra-columns"}, 0, "1||L|7"},
      {"last,\"a, \"\"b\"\"\"\nL,z\n", {"--ignore-columns", " \"a, \"\"b\"\"\" "}, 0, "1||L|7"},
      {"last\nL\n", {"--ignore-columns", "\"a,b"}, 2, "has no closing quote"},
      {"last,lsat\nL,z\n", {}, 2, "\"lsat\" (nearest: \"last\")"},
      {"5,L\n", {"--fields", "n,lsat"}, 2, "\"lsat\" (nearest: \"last\")"},
      {"5,L\n", {"--fields", "n,lsat"}, 2, "nothing was stored; --fields and --exclude name"},
      {"last,n,LAST\nL,1,M\n", {}, 2, "\"last\" (values 1 and 3) twice"},
      {"e,L,5\n", {"--exclude", "id"}, 0, "1|e|L|5"},  // no header: to the other columns
      {"e,L\n", {"--exclude", "di"}, 2, "\"di\" (nearest: \"id\")"},
      // A generated column takes no value: the run stops before any record,
      // saying how to leave its values out.
      {"last,n,twice\nL,5,10\n", {}, 2,
       "cannot be modified (generated or read-only): \"twice\"; leave their values out\n"
       "korvane: nothing was stored; --ignore-columns twice leaves"},
      {"last,n,twice\nL,5,10\n", {"--ignore-columns", "twice"}, 0, "1||L|5"},
      {"a,b,c,d,e\n1,e,L,5,10\n", {"--header", "--by-position"}, 2, "(generated or read-only)"},
      {"x,y,z,n\n1,e,L,5\n", {"--header", "--by-position"}, 0, "1|e|L|5"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::string db = dir.Path("names.db");
    std::filesystem::remove(db);
    Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, \"\xC3\xA9tat\" TEXT, last TEXT, n INTEGER "
             "DEFAULT 7, twice INTEGER GENERATED ALWAYS AS (n * 2))");
    std::vector<std::string> args{"import", dir.Put("names.csv", c.Text), "--db", db, "--table",
                                  "t"};
    if (c.Options.empty() ||
        (c.Options[0] != "--fields" && c.Options[0] != "--exclude" && c.Options[0] != "--header")) {
      args.push_back("--header");
    }
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    TRun r = Korvane(args);
    ASSERT_EQ(r.Status, c.Status) << r.Err;
    const auto rows = Rows(db, "SELECT id || '|' || ifnull(\"\xC3\xA9tat\", '') || '|' || last || "
                               "'|' || n FROM t");
    if (c.Status == 0) {
      EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{c.Row}}));
    } else {
      EXPECT_TRUE(rows.empty());
      EXPECT_NE(r.Err.find(c.Row), std::string::npos) << r.Err;
    }
  }
  // --json says where the values went.
  const std::string db = dir.Path("names.db");
  TRun r = Korvane({"import", dir.Put("names.csv", "n,skip,last\n1,x,L\n"), "--db", db, "--table",
                    "t", "--header", "--ignore-columns", "skip", "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["columns"], json::parse(R"(["n", null, "last"])"));
}

// A header name that spells a column otherwise (case, blanks, hyphens,
// underscores, dots) names it, when it spells no other, delimited or fixed
// width; --fields names are a column's own.
TEST_F(CliTest, HeaderNamesSpeltOtherwiseTakeTheirColumn) {
  // A fixed-width line of two values, the first in a TEXT column's 255.
  const auto fixed = [](std::string first, const std::string& second) {
    first.resize(255, ' ');
    return first + second + "\n";
  };
  struct TCase {
    std::string Text;
    std::vector<std::string> Options;
    int Status;
    std::string Row;  // id|first_name|e_mail|email, or the text stderr must hold
  } cases[] = {
      {"First Name,EMAIL\nAnn,a@x\n", {"--header"}, 0, "1|Ann||a@x"},
      {" first.name ,E_Mail\nAnn,a@x\n", {}, 0, "1|Ann|a@x|"},  // found as the header too
      {"First Name,email\nAnn,a@x\n", {"--header", "--mode", "upsert", "--key", "first_name"},
       0, "1|Ann||a@x"},
      {"First Name,email\nAnn,a@x\n", {"--header"}, 0, "\"First Name\" taken for column first_name"},
      {"First Name,E-Mail\nAnn,a@x\n", {"--header"}, 2,
       "\"E-Mail\" loosely names several fields: \"e_mail\", \"email\""},
      {"first_name,FirstName\nA,B\n", {"--header"}, 2,
       "\"first_name\" (values 1 and 2) twice, as \"first_name\" and \"FirstName\""},
      {"First Name\nAnn\n", {"--header", "--set", "LooseColumnNames=false"}, 2,
       "\"First Name\" (nearest: \"first_name\")"},
      {"Ann\n", {"--fields", "First Name"}, 2, "\"First Name\" (nearest: \"first_name\")"},
      {fixed("First Name", "EMAIL") + fixed("Ann", "a@x"), {"--fixed", "--header"}, 0,
       "1|Ann||a@x"},
      {fixed("First Name", "EMAIL") + fixed("Ann", "a@x"), {"--fixed", "--header"}, 0,
       "\"First Name\" taken for column first_name"},
      {fixed("First Name", "E-Mail") + fixed("Ann", "a@x"), {"--fixed", "--header"}, 2,
       "\"E-Mail\" loosely names several fields: \"e_mail\", \"email\""},
      {fixed("first_name", "FirstName") + fixed("A", "B"), {"--fixed", "--header"}, 2,
       "\"first_name\" (values 1 and 2) twice, as \"first_name\" and \"FirstName\""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::string db = dir.Path("loose.db");
    std::filesystem::remove(db);
    Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, first_name TEXT UNIQUE, e_mail TEXT, "
             "email TEXT)");
    std::vector<std::string> args{"import", dir.Put("loose.csv", c.Text), "--db", db, "--table",
                                  "t"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    TRun r = Korvane(args);
    ASSERT_EQ(r.Status, c.Status) << r.Err;
    const auto rows = Rows(db, "SELECT id || '|' || ifnull(first_name, '') || '|' || "
                               "ifnull(e_mail, '') || '|' || ifnull(email, '') FROM t");
    if (c.Row.find('|') != std::string::npos) {
      EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{c.Row}}));
    } else {
      EXPECT_EQ(rows.size(), c.Status == 0 ? 1U : 0U);
      EXPECT_NE(r.Err.find(c.Row), std::string::npos) << r.Err;
    }
  }
}

// An import reads its input shared with other runs reading it; one that
// holds it for itself (here an open in this process, which has an open file
// description of its own) is named as the reason, whichever step of the
// import opens the file first.
TEST_F(CliTest, AnInputLockedByAnotherRun) {
  const std::string input = dir.Put("held.csv", "a,b\n1,x\n");
  const std::string db = dir.Path("held.db");
  struct TCase {
    TFileHandle (*Hold)(const std::string&);
    bool Create;
    int Status;
  } cases[] = {
      {OpenFileForSharedRead, true, 0},
      {OpenFileForSharedRead, false, 0},
      {OpenFileForRead, true, 2},
      {OpenFileForRead, false, 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Status) + (c.Create ? " --create" : ""));
    std::filesystem::remove(db);
    if (!c.Create) Exec(db, "CREATE TABLE t (a INTEGER, b TEXT)");
    const TFileHandle held = c.Hold(input);
    ASSERT_TRUE(held.Valid());
    std::vector<std::string> args{"import", input, "--db", db, "--table", "t"};
    if (c.Create) args.push_back("--create");
    const TRun r = Korvane(args);
    ASSERT_EQ(r.Status, c.Status) << r.Err;
    if (c.Status != 0) {
      EXPECT_NE(r.Err.find("input file '" + input +
                           "' cannot be read: it is locked by another program or run"),
                std::string::npos)
          << r.Err;
    }
  }
}

TEST_F(CliTest, RefusedRecordsAreCountedAndTheRestKept) {
  Exec(Db(), "CREATE TABLE t (id INTEGER, name TEXT NOT NULL)");
  std::string input = dir.Put("in.csv", "1,Ann\n2,\n3,Cid\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--json", "--progress"});
  ASSERT_EQ(r.Status, 3) << r.Err;  // completed, partly loaded
  json j = json::parse(r.Out);
  EXPECT_EQ(j["result"], 2);
  EXPECT_EQ(j["stored"], 2);
  EXPECT_EQ(j["errorRecords"], 1);
  // With --progress the component reports the failures, through the
  // command's message handler.
  EXPECT_NE(r.Err.find("Warning: There were 1 records that could not be read due to errors\n"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name FROM t ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1", "Ann"}, {"3", "Cid"}}));
  // The command says what failed and why, whatever the window.
  r = Korvane({"import", input, "--db", Db(), "--table", "t", "--json"});
  ASSERT_EQ(r.Status, 3) << r.Err;
  const std::vector<std::string> lines = {
      "1 record failed: 1 refused by the table",
      "line 2: refused: NOT NULL constraint failed: t.name",
      "--rejects FILE keeps the failed records (to fix and import again), --reject-log FILE why "
      "each failed"};
  EXPECT_EQ(r.Err, "korvane: " + lines[0] + "\nkorvane: " + lines[1] + "\nkorvane: " + lines[2] +
                       "\n");
  // --json holds every message shown, and the reasons.
  j = json::parse(r.Out);
  ASSERT_EQ(j["messages"].size(), 3u) << r.Out;
  EXPECT_EQ(j["messages"][0]["type"], "Warning");
  EXPECT_EQ(j["messages"][1]["text"], lines[1]);
  EXPECT_EQ(j["rejected"], json({{"refused", 1}}));
  EXPECT_EQ(j["reasons"][0]["line"], 2);
  // Blank records are neither stored nor failed: all in, exit 0.
  input = dir.Put("blank.csv", "4,Dee\n\n5,Eve\n");
  r = Korvane({"import", input, "--db", Db(), "--table", "t", "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["stored"], 2);
}

TEST_F(CliTest, ImportReadsStandardCsvUnlessToldClassic) {
  std::string input =
      dir.Put("in.csv",
              "\xEF\xBB\xBFname,n\n\"Once upon \na time\",five\n\"ha \"\"ha\"\"\",\"\"\n"
              "x,\n\"y\"z,\n\"open,6\n");
  TRun r =
      Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create", "--json"});
  ASSERT_EQ(r.Status, 3) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["errorRecords"], 1);
  EXPECT_EQ(json::parse(r.Out)["textAfterQuote"], 1);
  EXPECT_NE(r.Err.find("a quote never closed"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("korvane: 1 record has text after a closing quote, kept as data; first at "
                       "line 6"),
            std::string::npos)
      << r.Err;
  // The byte-order mark is not part of the first column's name; "" is an
  // empty text and an empty value is NULL.
  EXPECT_EQ(Rows(Db(), "SELECT name, n FROM t ORDER BY rowid"),
            (std::vector<std::vector<std::string>>{
                {"Once upon \na time", "five"}, {"ha \"ha\"", ""}, {"x", "NULL"}, {"yz", "NULL"}}));
  r = Korvane({"import", input, "--db", Db(), "--table", "c", "--header", "--create", "--dialect",
               "classic"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM c")[0][0], "6");
  r = Korvane({"import", input, "--db", Db(), "--table", "t", "--dialect", "csv"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("--dialect 'csv': use standard or classic"), std::string::npos) << r.Err;
}

TEST_F(CliTest, HeaderAndTrailerRecordsAreSetAside) {
  Exec(Db(), "CREATE TABLE t (a TEXT, b TEXT)");
  std::string input = dir.Put("in.txt", "H1\nH2\nx|1\ny|2\nT1\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "2", "--trailer",
                    "1", "-s", "pipe", "-q", "none", "--by-position", "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  json j = json::parse(r.Out);
  EXPECT_EQ(j["headerData"], json::array({"H1", "H2"}));
  EXPECT_EQ(j["trailerData"], json::array({"T1"}));
  EXPECT_EQ(j["result"], 2);
  EXPECT_EQ(Rows(Db(), "SELECT a || b FROM t"),
            (std::vector<std::vector<std::string>>{{"x1"}, {"y2"}}));
}

TEST_F(CliTest, FormatOptionsDecideHowDatesAndNumbersAreRead) {
  Exec(Db(), "CREATE TABLE t (amount REAL, born DATE)");
  std::string input = dir.Put("in.csv", "1.234,5;10.12.1815\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "-s", ";", "--decimal-separator",
                    ",", "--thousand-separator", ".", "--date-format", "dd.mm.yyyy"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT amount, born FROM t"),
            (std::vector<std::vector<std::string>>{{"1234.5", "1815-12-10"}}));
  std::string second = dir.Put("in2.csv", "1234,5;1.2.2003\n");
  r = Korvane({"import", second, "--db", Db(), "--table", "t", "-s", ";", "--decimal-separator",
               ",", "--thousand-separator", ".", "--date-format", "d.m.yyyy"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT amount, born FROM t WHERE born > '2000-01-01'"),
            (std::vector<std::vector<std::string>>{{"1234.5", "2003-02-01"}}));
}

TEST_F(CliTest, FixedWidthRecordsTakeWidthsFromColumnSizes) {
  std::string input = dir.Put("in.txt", "00001Ada       London\n00002Grace     Paris\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--fixed", "--create",
                    "--columns", "id CHAR(5), name CHAR(10), city CHAR(6)"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto rows = Rows(Db(), "SELECT id, trim(name), city FROM t");
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"00001", "Ada", "London"},
                                                         {"00002", "Grace", "Paris"}}));
}

// What export --fixed writes, import --fixed reads back into the same
// table: every column type, nulls and a record of nothing but nulls, with
// the columns' own widths, right-aligned numbers, a header and given widths.
TEST_F(CliTest, FixedWidthExportReadsBackIntoTheSameTable) {
  const std::string columns =
      " (i INTEGER, s TEXT, v VARCHAR(8), r REAL, d DATE, tm TIME, dt DATETIME, b BOOLEAN, "
      "m MONEY, n NUMERIC(10,2), bl BLOB)";
  Exec(Db(), "CREATE TABLE a" + columns + "; CREATE TABLE b" + columns +
                 "; INSERT INTO a VALUES (1, '  lead', 'abcdefgh', 1.5e-300, '2024-03-05', "
                 "'14:30:00.250', '2024-03-05 14:30:00', 1, 12.34, 5.25, x'00ff'), (-20, "
                 "'\xC3\xA9 \xC3\xBC', NULL, -0.001, NULL, '00:00:00', NULL, 0, NULL, -99.99, "
                 "x''), (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  const std::string file = dir.Path("t.txt");
  const std::vector<std::vector<std::string>> ways = {
      {}, {"--align-right"}, {"--header"}, {"--widths", "3,6,8,8,10,12,19,5,5,6,6"}};
  for (const std::vector<std::string>& way : ways) {
    SCOPED_TRACE(way.empty() ? "defaults" : way[0]);
    Exec(Db(), "DELETE FROM b");
    std::vector<std::string> out = {"export", file, "--db", Db(), "--table", "a", "--fixed"};
    std::vector<std::string> in = {"import", file, "--db", Db(), "--table", "b", "--fixed"};
    out.insert(out.end(), way.begin(), way.end());
    if (way.empty() || way[0] != "--align-right") in.insert(in.end(), way.begin(), way.end());
    TRun r = Korvane(out);
    ASSERT_EQ(r.Status, 0) << r.Err;
    r = Korvane(in);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT (SELECT count(*) FROM b), (SELECT count(*) FROM (SELECT * FROM "
                         "a EXCEPT SELECT * FROM b)), (SELECT count(*) FROM (SELECT * FROM b "
                         "EXCEPT SELECT * FROM a))"),
              (std::vector<std::vector<std::string>>{{"3", "0", "0"}}));
  }
  // With a header the names lay the columns out in the file's order: a table
  // of those columns in another order and one more (left to its default)
  // reads the file back; a name that is no column stops the run; --widths
  // cuts a header of a few of the columns.
  Exec(Db(), "CREATE TABLE p (x INTEGER DEFAULT 9, bl BLOB, n NUMERIC(10,2), m MONEY, b BOOLEAN, "
             "dt DATETIME, tm TIME, d DATE, r REAL, v VARCHAR(8), s TEXT, i INTEGER); CREATE "
             "TABLE q (i INTEGER, s TEXT)");
  TRun r = Korvane({"export", file, "--db", Db(), "--table", "a", "--fixed", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = Korvane({"import", file, "--db", Db(), "--table", "p", "--fixed", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT (SELECT count(*) FROM p WHERE x = 9), (SELECT count(*) FROM (SELECT "
                       "i, s, v, r, d, tm, dt, b, m, n, bl FROM p EXCEPT SELECT * FROM a))"),
            (std::vector<std::vector<std::string>>{{"3", "0"}}));
  r = Korvane({"import", file, "--db", Db(), "--table", "q", "--fixed", "--header"});
  EXPECT_EQ(r.Status, 2) << r.Err;
  EXPECT_NE(r.Err.find("the header record names no field in its column at character 276 (\"v"),
            std::string::npos)
      << r.Err;
  r = Korvane({"import", dir.Put("h.txt", "s  I  \nab 42 \n"), "--db", Db(), "--table", "p",
               "--fixed", "--header", "--widths", "3,3"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT x, i, s FROM p WHERE s = 'ab'"),
            (std::vector<std::vector<std::string>>{{"9", "42", "ab"}}));
}

// Numbers written with one scale come back as they were written: the sniffed
// table declares the scale, and a decimal column of declared scale writes
// its values with at least that many decimals and never an exponent, as a
// server's NUMERIC(p,s) does (a double alone would give 1.5 and 1e-09).
TEST_F(CliTest, NumbersOfADeclaredScaleComeBackAsWritten) {
  // 1e23 as a double's shortest digits, not its exact ones (99999999999999991611392).
  const std::string text =
      "id,price,ratio\n1,1.50,0.5\n2,100.00,1.25\n3,-0.05,2\n4,100000000000000000000000.00,3\n";
  TRun r = Korvane({"import", dir.Put("p.csv", text), "--db", Db(), "--table", "p", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string out = dir.Path("out.csv");
  r = Korvane({"export", out, "--db", Db(), "--table", "p", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ReadText(out), text);
  Exec(Db(), "CREATE TABLE n (x NUMERIC(20,9)); INSERT INTO n VALUES (-1e-9), (12.5), (7)");
  r = Korvane({"export", out, "--db", Db(), "--table", "n"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ReadText(out), "-0.000000001\n12.500000000\n7.000000000\n");
}

// A file of columns padded with blanks whose values hold blanks is sniffed
// as fixed-width, its widths in characters (or with --byte-widths in bytes,
// a character of two bytes here), and
// the command sniff prints carries them; import --create reads it the same
// without a layout given, and with --fixed, with or without --widths, it
// names and types the new table's columns.
TEST_F(CliTest, FixedWidthFilesAreSniffed) {
  const std::string head =
      "ID  NAME        CITY          AMOUNT\n"
      " 1  Ann Lee     New York       12.50\n"
      " 2  Bob         Los Angeles   100.00\n"
      "12  Jos\xC3\xA9 D\xC3\xAD"
      "az";
  const struct {
    std::string Text;
    std::vector<std::string> Unit;
    std::string Shown;
  } files[] = {{head + "                   7.25\n", {}, "characters"},
               {head + "                 7.25\n", {"--byte-widths"}, "bytes"}};
  for (const auto& file : files) {
    SCOPED_TRACE(file.Shown);
    const std::string input = dir.Put("report.txt", file.Text);
    std::vector<std::string> sniff = {"sniff", input};
    sniff.insert(sniff.end(), file.Unit.begin(), file.Unit.end());
    TRun r = Korvane(sniff);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("Separator:   none, fixed width: columns of 4,12,14,6 " + file.Shown),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find(" --fixed --widths 4,12,14,6" +
                         std::string(file.Unit.empty() ? "" : " --byte-widths") +
                         " --header --create --columns"),
              std::string::npos)
        << r.Out;
    sniff.push_back("--json");
    r = Korvane(sniff);
    ASSERT_EQ(r.Status, 0) << r.Err;
    const json found = json::parse(r.Out);
    EXPECT_EQ(found["fixedWidths"], json({4, 12, 14, 6})) << r.Out;
    EXPECT_EQ(found["fixedWidthUnit"], file.Shown) << r.Out;
    const std::vector<std::vector<std::string>> ways = {
        {}, {"--fixed"}, {"--fixed", "--widths", "4,12,14,6"}};
    for (std::size_t i = 0; i < ways.size(); ++i) {
      const std::string table = "t" + std::to_string(i) + file.Shown;
      std::vector<std::string> args = {"import",  input, "--db",     Db(),
                                       "--table", table, "--header", "--create"};
      args.insert(args.end(), ways[i].begin(), ways[i].end());
      args.insert(args.end(), file.Unit.begin(), file.Unit.end());
      r = Korvane(args);
      ASSERT_EQ(r.Status, 0) << r.Err;
      EXPECT_EQ(
          Rows(Db(), "SELECT group_concat(name || ' ' || type, ', ') FROM pragma_table_info('" +
                         table + "')"),
          (std::vector<std::vector<std::string>>{
              {"ID INTEGER, NAME TEXT, CITY TEXT, AMOUNT NUMERIC(18,2)"}}))
          << table;
      EXPECT_EQ(Rows(Db(), "SELECT * FROM " + table),
                (std::vector<std::vector<std::string>>{{"1", "Ann Lee", "New York", "12.5"},
                                                       {"2", "Bob", "Los Angeles", "100"},
                                                       {"12",
                                                        "Jos\xC3\xA9 D\xC3\xAD"
                                                        "az",
                                                        "NULL", "7.25"}}))
          << table;
    }
  }
}

// Text beyond ASCII reads back from fixed-width columns as it was written:
// widths count characters, so that every line is as long in characters (an
// editor shows the columns lined up), or with --byte-widths UTF-8 bytes, or
// in a one-byte encoding its bytes. A byte width that ends inside a
// character fails its record, or under --lenient leaves the character out.
TEST_F(CliTest, FixedWidthTextBeyondAsciiReadsBack) {
  const std::string columns = " (id INTEGER, name VARCHAR(6), note TEXT, code CHAR(4))";
  Exec(Db(), "CREATE TABLE a" + columns + "; CREATE TABLE b" + columns);
  const std::string utf8 =
      "(1, '\xC3\xA9', '\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E', "
      "'\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC'), "
      "(2, '\xC3\xBC\xF0\x9F\x98\x80"
      "e\xCC\x81x', '\xF0\x9F\x98\x80', NULL), "
      "(3, '\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F', 'a\xCC\x81\xCC\x82', "
      "'\xE6\x97\xA5\xE6\x9C\xAC')";
  const std::string latin1 =
      "(1, 'caf\xC3\xA9', 'na\xC3\xAFve', '\xC3\xB1'), "
      "(2, '\xC3\xBF\xC3\xBF\xC3\xBF\xC3\xBF\xC3\xBF\xC3\xBF', NULL, '\xC3\x86')";
  const struct {
    const std::string* Rows;
    std::vector<std::string> Out;
    std::vector<std::string> In;
    bool Bytes;  // the lines are as long in bytes, else in characters
  } ways[] = {
      {&utf8, {}, {}, false},
      {&utf8, {"--align-right"}, {}, false},
      {&utf8, {"--header"}, {"--header"}, false},
      {&utf8, {"--widths", "2,6,3,4"}, {"--widths", "2,6,3,4"}, false},
      {&utf8,
       {"--byte-widths", "--widths", "2,24,12,16"},
       {"--byte-widths", "--widths", "2,24,12,16"},
       true},
      {&latin1, {"--encoding", "latin1"}, {"--encoding", "latin1"}, true},
      {&latin1,
       {"--encoding", "latin1", "--widths", "2,6,5,1"},
       {"--encoding", "latin1", "--widths", "2,6,5,1"},
       true},
  };
  const std::string file = dir.Path("t.txt");
  for (const auto& way : ways) {
    SCOPED_TRACE(testing::PrintToString(way.Out));
    Exec(Db(), "DELETE FROM a; DELETE FROM b; INSERT INTO a VALUES " + *way.Rows);
    std::vector<std::string> out = {"export", file, "--db", Db(), "--table", "a", "--fixed"};
    std::vector<std::string> in = {"import", file, "--db", Db(), "--table", "b", "--fixed"};
    out.insert(out.end(), way.Out.begin(), way.Out.end());
    in.insert(in.end(), way.In.begin(), way.In.end());
    TRun r = Korvane(out);
    ASSERT_EQ(r.Status, 0) << r.Err;
    std::set<std::size_t> lengths;
    std::istringstream lines(dir.Get("t.txt"));
    for (std::string line; std::getline(lines, line);) {
      lengths.insert(
          way.Bytes ? line.size()
                    : static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) {
                        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
                      })));
    }
    EXPECT_EQ(lengths.size(), 1u) << dir.Get("t.txt");
    r = Korvane(in);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Rows(Db(),
                   "SELECT (SELECT count(*) FROM b), (SELECT count(*) FROM (SELECT * FROM "
                   "a EXCEPT SELECT * FROM b)), (SELECT count(*) FROM (SELECT * FROM b "
                   "EXCEPT SELECT * FROM a))"),
              (std::vector<std::vector<std::string>>{
                  {std::to_string(way.Rows == &utf8 ? 3 : 2), "0", "0"}}));
  }
  // The name's 2 bytes end inside "é".
  const std::string cut = dir.Put("cut.txt", "1 a\xC3\xA9\xC3\xBCz\n");
  Exec(Db(), "DELETE FROM b");
  TRun r = Korvane({"import", cut, "--db", Db(), "--table", "b", "--fixed", "--byte-widths",
                    "--widths", "2,2,3,1"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("ends inside a character of several bytes"), std::string::npos) << r.Err;
  r = Korvane({"import", cut, "--db", Db(), "--table", "b", "--fixed", "--byte-widths", "--widths",
               "2,2,3,1", "--lenient"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("1 value was stored without the character its column ends inside"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name, note, code FROM b"),
            (std::vector<std::vector<std::string>>{{"1", "a", "\xC3\xBC", "z"}}));
}

// What a fixed-width line cannot hold fails its record, naming the value,
// and the others are written (a NULL is blanks); on import, a slice that is
// not a value of its column and text past the last column fail their
// records.
TEST_F(CliTest, FixedWidthRefusesWhatCannotBeReadBack) {
  Exec(Db(), "CREATE TABLE t (id INTEGER, note CHAR(6))");
  const std::string file = dir.Path("t.txt");
  const struct {
    const char* value;
    const char* reason;
    bool bytes = false;  // --byte-widths
  } cases[] = {
      {"'      '", "is all blanks"},
      {"'x' || char(10) || 'y'", "holds a line break"},
      {"'x' || char(13)", "holds a line break"},
      {"'tail '", "ends in a blank"},
      {"'tail  '", "ends in a blank"},  // as long as CHAR(6): SQLite keeps it as given
      {"''", "is an empty text"},
      {"'toolong'", "is 7 characters long, wider than its column (6)"},
      {"'long' || char(10) || 'er'", "is 7 characters long, wider than its column (6)"},
      {"'€uros€€'", "is 7 characters long, wider than its column (6)"},
      {"'€uros'",
       "is 7 bytes long, wider than its column (6): its 5 characters take more "
       "bytes; --widths gives the columns' widths in bytes",
       true},
      {"'toolong'", "is 7 bytes long, wider than its column (6)", true},
      {"NULL", nullptr},
  };
  for (const auto& [value, reason, bytes] : cases) {
    Exec(Db(), std::string("DELETE FROM t; INSERT INTO t VALUES (1, 'fine'), (2, ") + value +
                   "), (3, 'end')");
    std::vector<std::string> args = {"export", file,      "--db",     Db(),  "--table",
                                     "t",      "--fixed", "--widths", "2,6", "--json"};
    if (bytes) args.push_back("--byte-widths");
    TRun r = Korvane(args);
    if (reason == nullptr) {
      EXPECT_EQ(r.Status, 0) << r.Err;
      EXPECT_EQ(dir.Get("t.txt"), "1 fine  \n2       \n3 end   \n");
      continue;
    }
    EXPECT_EQ(r.Status, 3) << value;
    EXPECT_NE(r.Err.find("1 record failed, not written"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("record 2: the value of field 'note' " + std::string(reason)),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(dir.Get("t.txt"), "1 fine  \n3 end   \n") << value;
    const json j = json::parse(r.Out);
    EXPECT_EQ(j["result"], 2);
    EXPECT_EQ(j["errorRecords"], 1);
    EXPECT_EQ(j["reasons"][0]["record"], 2);
    EXPECT_EQ(j["reasons"][0]["field"], "note");
  }
  // A saved export run by `korvane run` ends the same way.
  Exec(Db(), "DELETE FROM t; INSERT INTO t VALUES (1, 'fine'), (2, 'toolong'), (3, 'end')");
  const std::string job = dir.Path("export.kvs");
  ASSERT_EQ(Korvane({"export", file, "--db", Db(), "--table", "t", "--fixed", "--widths", "2,6",
                     "--save", job})
                .Status,
            0);
  TRun saved = Korvane({"run", job, "--json"});
  EXPECT_EQ(saved.Status, 3) << saved.Err;
  EXPECT_EQ(json::parse(saved.Out)["components"][0]["errorRecords"], 1) << saved.Out;
  EXPECT_EQ(dir.Get("t.txt"), "1 fine  \n3 end   \n");
  Exec(Db(), "DELETE FROM t; INSERT INTO t VALUES (1, 'fine'), (2, NULL), (3, 'end')");
  ASSERT_EQ(Korvane({"export", file, "--db", Db(), "--table", "t", "--fixed", "--widths", "2,6"})
                .Status,
            0);
  // A record left out for another reason still fails the export, also
  // after one its line cannot hold, and the file is not replaced.
  Exec(Db(), "CREATE TABLE u (id INTEGER, note TEXT, ts TIMESTAMP); INSERT INTO u VALUES (1, "
             "'toolong', NULL), (2, 'ok', '9999-12-31 23:30:00-01:00')");
  TRun r = Korvane({"export", file, "--db", Db(), "--table", "u", "--fixed", "--widths", "2,6,30",
                    "--utc"});
  EXPECT_EQ(r.Status, 1) << r.Err;
  EXPECT_NE(r.Err.find("record 2 cannot be written: the value of field 'ts'"), std::string::npos)
      << r.Err;
  EXPECT_EQ(dir.Get("t.txt"), "1 fine  \n2       \n3 end   \n");
  Exec(Db(), "DELETE FROM t");
  r = Korvane({"import", dir.Put("in.txt", "1 abcd\nxxabcd\n3 abcd  extra\n4       \n"),
                    "--db", Db(), "--table", "t", "--fixed", "--widths", "2,6"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("line 2: id: \"xx\" is not a number"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("line 3: 3 values for 2 fields"), std::string::npos) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, quote(note) FROM t ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1", "'abcd'"}, {"4", "NULL"}}));
  r = Korvane({"import", file, "--db", Db(), "--table", "t", "--fixed", "--widths", "2,x"});
  EXPECT_EQ(r.Status, 2) << r.Err;
  r = Korvane({"import", dir.Path("in.txt"), "--db", Db(), "--table", "t", "--fixed", "--widths",
               "2"});
  EXPECT_EQ(r.Status, 2) << r.Err;
  EXPECT_NE(r.Err.find("FixedWidths gives 1 widths for 2 columns"), std::string::npos) << r.Err;
  // Widths not one a column are the command's misuse, refused before the file is touched.
  r = Korvane({"export", file, "--db", Db(), "--table", "t", "--fixed", "--widths", "2,6,3"});
  EXPECT_EQ(r.Status, 2) << r.Err;
  EXPECT_NE(r.Err.find("--widths gives 3 widths for 2 columns (id, note)"), std::string::npos)
      << r.Err;
  EXPECT_EQ(dir.Get("t.txt"), "1 fine  \n2       \n3 end   \n");
}

// An empty line reads back as no record: a delimited record whose one value
// is empty (null, or unquoted an empty text), or whose values are all empty
// with no separator, fails alone, saying so.
TEST_F(CliTest, ExportRefusesTheEmptyLineOfARecordOfOneEmptyValue) {
  Exec(Db(), "CREATE TABLE one (note TEXT); INSERT INTO one VALUES ('a'), (NULL), ('');"
             "CREATE TABLE two (a TEXT, b TEXT); INSERT INTO two VALUES ('x', 'y'), (NULL, NULL)");
  const std::string one =
      "the value of field 'note' is empty, the record's only value, and an empty line reads "
      "back as no record";
  const struct {
    const char* Table;
    const char* Quote;
    const char* Separator;
    int Failed;
    const char* File;
    std::string Message;
    const char* Field;
  } cases[] = {
      {"one", "\"", ",", 1, "\"a\"\n\"\"\n", one, "note"},
      {"one", "none", ",", 2, "a\n", one, "note"},
      {"two", "none", "none", 1, "xy\n",
       "the record's 2 values are all empty, with no separator between them, and an empty line "
       "reads back as no record",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Table) + " " + c.Quote);
    const TRun r = Korvane({"export", dir.Path("out.csv"), "--db", Db(), "--table", c.Table, "-q",
                            c.Quote, "-s", c.Separator, "--json"});
    EXPECT_EQ(r.Status, 3) << r.Err;
    EXPECT_EQ(dir.Get("out.csv"), c.File);
    const json j = json::parse(r.Out);
    EXPECT_EQ(j["errorRecords"], c.Failed);
    EXPECT_EQ(j["reasons"][0]["message"], c.Message);
    EXPECT_EQ(j["reasons"][0]["field"], c.Field);
  }
}

// Without quotes a value holding the separator or a line end would split
// its record, and an empty text would read back as null: such a record
// fails alone, saying why, and the file holds the others. An escape
// character keeps separators and line ends; --set CheckUnquoted=false
// writes every value as it is.
TEST_F(CliTest, ExportWithoutQuotesFailsTheRecordsItsLinesCannotGiveBack) {
  Exec(Db(), "CREATE TABLE u (id INTEGER, note TEXT); INSERT INTO u VALUES (1, 'a,b'),"
             " (2, 'x' || char(10) || 'y'), (3, ''), (4, NULL), (5, 'a' || char(9) || 'b')");
  const struct {
    std::vector<std::string> Options;
    int Failed;
    const char* File;
    const char* FirstReason;
  } cases[] = {
      {{"-q", "none"}, 3, "4,\n5,a\tb\n",
       "the value of field 'note' holds the separator ',', which a line without quotes or an "
       "escape character cannot hold"},
      {{"-q", "none", "-s", "tab"}, 3, "1\ta,b\n4\t\n",
       "the value of field 'note' holds a line break, which a line without quotes or an escape "
       "character cannot hold"},
      {{"-q", "none", "--escape", "\\"}, 1, "1,a\\,b\n2,x\\\ny\n4,\n5,a\tb\n",
       "the value of field 'note' is an empty text, which a line without quotes reads back as "
       "null"},
      {{"-q", "none", "--set", "CheckUnquoted=false"}, 0, "1,a,b\n2,x\ny\n3,\n4,\n5,a\tb\n",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options[c.Options.size() - 1]);
    std::vector<std::string> args = {"export", dir.Path("out.txt"), "--db", Db(), "--table", "u",
                                     "--json"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    const TRun r = Korvane(args);
    EXPECT_EQ(r.Status, c.Failed == 0 ? 0 : 3) << r.Err;
    EXPECT_EQ(dir.Get("out.txt"), c.File);
    const json j = json::parse(r.Out);
    EXPECT_EQ(j.value("errorRecords", 0), c.Failed);
    if (c.FirstReason != nullptr) {
      EXPECT_EQ(j["reasons"][0]["message"], c.FirstReason);
    }
  }
  // A header name such a line cannot hold fails the export before it starts.
  for (const char* name : {"a,b", "l\nn"}) {
    const TRun r =
        Korvane({"export", dir.Path("head.txt"), "--db", Db(), "--query",
                 "SELECT 1 AS id, 2 AS \"" + std::string(name) + "\"", "-q", "none", "--header"});
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("which a line without quotes or an escape character cannot hold"),
              std::string::npos)
        << r.Err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("head.txt")));
  }
}

// So too a name in the header line: the export stops before it writes a
// line that would not read back.
TEST_F(CliTest, ExportStopsAtAHeaderLineItCannotGiveBack) {
  Exec(Db(), "CREATE TABLE h (\"a,b\" INTEGER, \"x\ny\" TEXT); INSERT INTO h VALUES (1, 'p')");
  const struct {
    std::vector<std::string> Options;
    int Status;
    const char* Text;  // stderr holds it, or the file is it
  } cases[] = {
      {{"-q", "none"}, 1, "field name 'a,b' holds the separator ','"},
      {{"-q", "none", "-s", "tab"}, 1,
       "field name 'x\ny' holds a line break, which a line without quotes"},
      {{"--fixed"}, 1, "field name 'x\ny' holds a line break, which a fixed-width line"},
      {{"-q", "none", "--escape", "\\"}, 0, "a\\,b,x\\\ny\n1,p\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options[c.Options.size() - 1]);
    const std::string name = "h" + std::to_string(&c - cases) + ".txt";
    const std::string out = dir.Path(name);
    std::vector<std::string> args = {"export", out, "--db", Db(), "--table", "h", "--header"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    const TRun r = Korvane(args);
    ASSERT_EQ(r.Status, c.Status) << r.Err;
    if (c.Status == 0) {
      EXPECT_EQ(dir.Get(name), c.Text);
    } else {
      EXPECT_NE(r.Err.find(c.Text), std::string::npos) << r.Err;
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
}

TEST_F(CliTest, EventsAreWrittenOnePerLineAsTheyFire) {
  Exec(Db(), "CREATE TABLE t (a TEXT, b TEXT)");
  std::string input = dir.Put("in.csv", "x,y\r\nc,d");
  std::string events = dir.Path("events.jsonl");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t", "--events", events});
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto lines = JsonLines(dir.Get("events.jsonl"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], json({{"event", "OnBeginImport"}}));
  EXPECT_EQ(lines[1], json({{"event", "OnImportRecord"}, {"iBytes", 5}}));
  EXPECT_EQ(lines[2], json({{"event", "OnImportRecord"}, {"iBytes", 3}}));
  EXPECT_EQ(lines[3], json({{"event", "OnFinishImport"}}));
}

// An import from a named pipe started before the program that writes it
// waits for it and reads to the end, as cat does.
TEST_F(CliTest, ImportFromANamedPipeWaitsForItsWriter) {
  Exec(Db(), "CREATE TABLE t (a INTEGER, b TEXT)");
  const std::string fifo = dir.Path("pipe.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TRun r;
  std::thread import([&] { r = Korvane({"import", fifo, "--db", Db(), "--table", "t"}); });
  const int w = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(w, 0);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += std::to_string(i) + ",v\n";
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(w, text.data() + at, text.size() - at);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  ::close(w);
  import.join();
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*), sum(a) FROM t"),
            (std::vector<std::vector<std::string>>{{"3000", "4498500"}}));
}

TEST_F(CliTest, ImportThatCannotStartExitsWithOne) {
  // A view takes no records: the command says so before the run.
  Exec(Db(), "CREATE TABLE t (a TEXT); CREATE VIEW v AS SELECT a FROM t");
  std::string input = dir.Put("in.csv", "x\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "v", "--json"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Err, "korvane: table 'v' in '" + Db() +
                       "' is read-only (a view, or a database opened read-only): no record can "
                       "be imported\n");
  // Fewer records than --trailer asks for: -1 without a message.
  Exec(Db(), "CREATE TABLE u (a TEXT)");
  r = Korvane({"import", input, "--db", Db(), "--table", "u", "--trailer", "3"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM u")[0][0], "0");
}

TEST_F(CliTest, DashAsInputReadsStandardInput) {
  const std::string people = ReadText(PeopleCsv());
  // A pipe has no sample to sniff the dates' layout from: it is given.
  TRun r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "people", "--header",
                               "--create", "--columns", kPeopleColumns, "--date-format",
                               "m/d/yyyy"},
                              people, dir.Path("child.err"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*), max(name) FROM people")[0],
            Rows(Db(), "SELECT 8, max(name) FROM people")[0]);
  // Without --columns, the table's columns and the layout come from the
  // first bytes of the pipe, which the run reads again.
  r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "other", "--create", "--header"},
                         "id;name;paid\n1;Ann;2.5\n2;Bo;3\n", dir.Path("child.err"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT group_concat(name || typeof(id) || typeof(paid)) FROM other")[0][0],
            "Anninteger" "real,Bointegerreal");
  r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "none", "--create"}, "",
                         dir.Path("child.err"));
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("no columns in the first bytes of standard input"), std::string::npos)
      << r.Err;

  // Stray quotes a file's sample shows are kept; a pipe into a table is not
  // sniffed, says so where such a quote ends a value, and with the option
  // reads the bytes as the file does.
  const std::string stray = "\"1\"0,1,a\"b,c\",d,e\n";
  Exec(Db(), "CREATE TABLE s (a TEXT, b TEXT, c TEXT, d TEXT, e TEXT, f TEXT)");
  ASSERT_EQ(Korvane({"import", dir.Put("stray.csv", stray), "--db", Db(), "--table", "s"}).Status,
            0);
  r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "s"}, stray,
                         dir.Path("child.err"));
  EXPECT_NE(r.Err.find("first at line 1 (stray quotes were not sniffed for this input: "
                       "--keep-stray-quotes reads"),
            std::string::npos)
      << r.Err;
  r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "s", "--keep-stray-quotes"},
                         stray, dir.Path("child.err"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT a, b, count(*) FROM s GROUP BY a, b ORDER BY a"),
            (std::vector<std::vector<std::string>>{{"1\"0,1,a\"b,c", "d", "2"}, {"10", "1", "1"}}));
  // One such record among others is no evidence for the option: the run
  // names it and the option.
  r = Korvane(
      {"import", dir.Put("odd.csv", "x,y\n" + stray + "p,q\n"), "--db", Db(), "--table", "s"});
  EXPECT_NE(r.Err.find("first at line 2 (the sample shows such quotes in fewer than two records: "
                       "--keep-stray-quotes reads"),
            std::string::npos)
      << r.Err;
}

// The first bytes of standard input, kept in a file, then the rest of it:
// the pipe standing in for standard input gives them all, in order, and
// standard input is itself again afterwards.
TEST_F(CliTest, StandardInputReadAgainAfterItsFirstBytes) {
  const int original = ::dup(0);
  int rest[2];
  ASSERT_EQ(::pipe(rest), 0);
  ASSERT_EQ(::dup2(rest[0], 0), 0);
  ::close(rest[0]);
  ASSERT_EQ(::write(rest[1], "c,d\n", 4), 4);
  ::close(rest[1]);
  struct stat before {}, after {};
  ASSERT_EQ(::fstat(0, &before), 0);
  std::string read;
  {
    cli::TInputRelay relay(dir.Put("kept", "a,b\n"));
    std::ifstream in("/dev/stdin", std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    read = all.str();
    EXPECT_EQ(relay.Finish(), "");
  }
  EXPECT_EQ(read, "a,b\nc,d\n");
  ASSERT_EQ(::fstat(0, &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ::dup2(original, 0);
  ::close(original);
}

// Standard input is sniffed as a file is, though a text not in UTF-8 is read
// twice: once to find that out, once in the encoding it seems to be in.
TEST_F(CliTest, SniffReadsStandardInputOnce) {
  for (const std::string& text : {std::string("name;city\nAnn;Oslo\nBo;Rome\n"),
                                  std::string("name;city\nJos\xe9;M\xfcnchen\nAnn;Oslo\n")}) {
    const TRun r = KorvaneReadingPipe({"sniff", "--json", "-"}, text, dir.Path("child.err"));
    ASSERT_EQ(r.Status, 0) << r.Err;
    const json found = json::parse(r.Out);
    EXPECT_EQ(found["separator"], ";") << text;
    EXPECT_EQ(found["header"], true) << text;
    EXPECT_EQ(found["sample"]["records"], 3) << text;
    EXPECT_EQ(found["command"].get<std::string>().find("--encoding latin1") != std::string::npos,
              text.find('\xe9') != std::string::npos)
        << found["command"];
  }
}

// Standard input redirected from a file that another open holds is named
// "standard input", whichever step opens it first: the sniff, or the run
// of an import given its layout; so is it in the notice of a layout found.
TEST_F(CliTest, LockedStandardInputIsNamedSo) {
  const std::string input = dir.Put("held.csv", "a,b\n1,x\n");
  const TFileHandle held = OpenFileForRead(input);
  ASSERT_TRUE(held.Valid());
  const struct {
    std::vector<std::string> Args;
    std::string Said;
  } cases[] = {
      {{"sniff", "-"}, "korvane: standard input cannot be read: it is locked"},
      {{"import", "-", "--db", Db(), "--table", "t", "--create"},
       "korvane: standard input cannot be read: it is locked"},
      {{"import", "-", "--db", Db(), "--table", "t", "--create", "--columns", "a TEXT", "--fixed",
        "--widths", "4"},
       "Error: the import cannot start: cannot open standard input: it is locked"},
  };
  for (const auto& c : cases) {
    const TRun r = KorvaneReadingFile(c.Args, input, dir.Path("child.err"));
    EXPECT_NE(r.Status, 0);
    EXPECT_TRUE(r.Err.starts_with(c.Said)) << r.Err;
    EXPECT_EQ(r.Err.find("/dev/stdin"), std::string::npos) << r.Err;
  }
  const TRun r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "tabs", "--create"},
                                    "a\tb\n1\tx\n", dir.Path("child.err"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(r.Err.starts_with("korvane: reading standard input as tab-separated")) << r.Err;
}

TEST_F(CliTest, CompressedInputIsReadByItsFirstBytesAlsoFromAPipe) {
  const std::string people = ReadText(PeopleCsv());
  // A pipe has no sample to sniff the dates' layout from: it is given.
  TRun r = KorvaneReadingPipe({"import", "-", "--db", Db(), "--table", "people", "--header",
                               "--create", "--columns", kPeopleColumns, "--date-format",
                               "m/d/yyyy"},
                              test::Gzip(people), dir.Path("child.err"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  // A zstd file whose name says nothing, sniffed for its layout too.
  r = Korvane({"import", dir.Put("people.dat", test::Zstd(people)), "--db", Db(), "--table",
               "again", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*), max(name) FROM people")[0],
            Rows(Db(), "SELECT count(*), max(name) FROM again")[0]);
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM again")[0][0], "8");

  // Cut short: the groups committed stay, the records after them do not.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += std::to_string(i) + ",name " + std::to_string(i) + "\n";
  const std::string zst = test::Zstd(many);
  r = Korvane({"import", dir.Put("cut.zst", zst.substr(0, zst.size() / 2)), "--db", Db(), "--table",
               "cut", "--create", "--columns", "id INTEGER, name TEXT", "--commit-every", "10000",
               "--json"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Error: Read failed: the zstd data ends early (the file is truncated); "),
            std::string::npos)
      << r.Err;
  const std::vector<std::string> kept = Rows(Db(), "SELECT count(*), max(id) FROM cut")[0];
  EXPECT_NE(r.Err.find(", " + kept[0] + " stored, the "), std::string::npos) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["stored"], std::stoi(kept[0]));
  EXPECT_EQ(std::stoi(kept[0]) % 10000, 0);
  EXPECT_GT(std::stoi(kept[0]), 0);
  EXPECT_EQ(std::stoi(kept[1]), std::stoi(kept[0]) - 1);
}

// A file that gives no table: sniff says why, and import --create makes
// none of it, neither from a made-up header nor from a damaged sample, nor
// of a record wider than the tables it can load (SQLite's 2000 columns, one
// of which the rowid read beside them takes).
TEST_F(CliTest, CreateMakesNoTableOfADamagedBinaryOrEmptyFile) {
  const std::string text = "id,name\n1,Ann\n2,Bo\n";
  std::string wide = "c1";
  for (int i = 2; i <= 2000; ++i) wide += ",c" + std::to_string(i);
  struct TCase {
    std::string Bytes;
    int SniffStatus;
    const char* SniffSays;
    int ImportStatus;
    const char* ImportSays;
  };
  const TCase cases[] = {
      {test::Gzip(text).substr(0, 12), 1, "Damaged:     the gzip data ends early", 1,
       "in' cannot be read: the gzip data ends early (the file is truncated)"},
      {test::Zstd(text).substr(0, 8), 1, "Damaged:     the zstd data ends early", 1,
       "cannot be read: the zstd data ends early"},
      {std::string(300, '\x01') + "a,b\n", 0, "binary data, not text", 2,
       "it holds binary data (zero or control bytes), not text"},
      {"\n\n", 0, "(none: the file holds no records)", 2, "it holds no records"},
      {wide + "\n" + wide + "\n", 0,
       "(none: the record at line 1 has 2000 values, and an import takes 1999 columns at most "
       "(SQLite's limit of 2000, less the rowid read beside them))",
       2,
       "--create: the record at line 1 has 2000 values, and an import takes 1999 columns at most "
       "(SQLite's limit of 2000, less the rowid read beside them)"},
  };
  Exec(Db(), "CREATE TABLE other (x)");
  for (const TCase& c : cases) {
    const std::string file = dir.Put("in", c.Bytes);
    TRun r = Korvane({"sniff", file});
    EXPECT_EQ(r.Status, c.SniffStatus) << c.SniffSays;
    EXPECT_NE(r.Out.find(c.SniffSays), std::string::npos) << r.Out;
    r = Korvane({"import", file, "--db", Db(), "--table", "t", "--create", "--header"});
    EXPECT_EQ(r.Status, c.ImportStatus) << r.Err;
    EXPECT_NE(r.Err.find(c.ImportSays), std::string::npos) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM sqlite_master WHERE name = 't'")[0][0], "0");
  }
  // As wide as it may be, with a key: a table constraint is no column.
  const std::string widest = wide.substr(0, wide.rfind(','));
  const TRun r =
      Korvane({"import", dir.Put("in", widest + "\n" + widest + "\n"), "--db", Db(), "--table", "t",
               "--create", "--header", "--mode", "upsert", "--key", "c1"});
  EXPECT_EQ(r.Status, 0) << r.Err;
}

TEST_F(CliTest, ExportCompressesByNameOrByOptionAndReadsBack) {
  ImportPeople();
  const std::string plain = dir.Path("plain.csv");
  ASSERT_EQ(Korvane({"export", plain, "--db", Db(), "--table", "people"}).Status, 0);
  Exec(Db(), "CREATE TABLE plain AS SELECT * FROM people WHERE 0");
  ASSERT_EQ(Korvane({"import", plain, "--db", Db(), "--table", "plain"}).Status, 0);
  for (const std::vector<std::string>& how :
       {std::vector<std::string>{"out.csv.gz"}, std::vector<std::string>{"out.csv.zst"},
        std::vector<std::string>{"out.csv", "--compress", "zstd"}}) {
    std::vector<std::string> args{"export", dir.Path(how[0]), "--db", Db(), "--table", "people"};
    args.insert(args.end(), how.begin() + 1, how.end());
    TRun r = Korvane(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(ReadText(dir.Path(how[0])), ReadText(plain));
    // Read back by the import as the plain file reads.
    Exec(Db(), "DROP TABLE IF EXISTS back; CREATE TABLE back AS SELECT * FROM people WHERE 0");
    r = Korvane({"import", dir.Path(how[0]), "--db", Db(), "--table", "back"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT * FROM back"), Rows(Db(), "SELECT * FROM plain"));
  }
  TRun r = Korvane(
      {"export", dir.Path("x.csv"), "--db", Db(), "--table", "people", "--compress", "lz4"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("--compress 'lz4': give gzip, zstd or none"), std::string::npos);
}

TEST_F(CliTest, EncodingsBothWaysAndTheirUsageErrors) {
  ImportPeople();
  Exec(Db(), "UPDATE people SET name = 'Zoë 𝄞' WHERE id = 1");
  // What spreadsheets open as Unicode text: one byte-order mark, UTF-16.
  TRun r = Korvane({"export", dir.Path("u16.csv"), "--db", Db(), "--table", "people", "--encoding",
                    "utf-16", "--bom", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string u16 = ReadText(dir.Path("u16.csv"));
  EXPECT_EQ(u16.substr(0, 4), std::string("\xFF\xFEi\0", 4));
  // Read back by the byte-order mark alone.
  r = Korvane(
      {"import", dir.Path("u16.csv"), "--db", Db(), "--table", "back", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT name FROM back WHERE id = 1")[0][0], "Zoë 𝄞");
  // A character the encoding lacks fails the export with one error that says
  // which and where.
  r = Korvane({"export", dir.Path("l1.csv"), "--db", Db(), "--table", "people", "--encoding",
               "latin1"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "Error: cannot write '" + dir.Path("l1.csv") +
                       "': the character '𝄞' (U+1D11E) on line 1 of the output cannot be written "
                       "in latin1; any earlier file of that name is unchanged\n");
  // A device (a pipe, a terminal) keeps what it was given.
  r = Korvane({"export", "/dev/null", "--db", Db(), "--query",
               "SELECT name FROM people ORDER BY id DESC", "--encoding", "latin1"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("in latin1; the lines before it went to '/dev/null'\n"), std::string::npos)
      << r.Err;
  for (const char* command : {"import", "export"}) {
    r = Korvane(
        {command, dir.Path("x.csv"), "--db", Db(), "--table", "people", "--encoding", "klingon"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("--encoding 'klingon': not an encoding this system converts; `iconv -l`"),
              std::string::npos)
        << r.Err;
  }
}

// Usage errors: exit 2 with one line that says what to fix, and nothing
// created or changed.
TEST_F(CliTest, ImportUsageErrorsChangeNothing) {
  std::string input = dir.Put("in.csv", "a,b\n");
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  std::string missingDb = dir.Path("missing.db");
  std::vector<TCase> cases = {
      {{"import", input, "--db", missingDb, "--table", "t"}, "add --create"},
      {{"import", dir.Path("nope.csv"), "--db", missingDb, "--table", "t", "--create", "--header"},
       "input file"},
      {{"import", input, "--table", "t"}, "--db FILE"},
      {{"import", input, "--db", missingDb}, "--table NAME"},
      {{"import", input, "--db", missingDb, "--table", "t", "--create", "--fixed", "--widths", "0"},
       "--widths"},
      {{"import", input, "--db", missingDb, "--table", "t", "--sample", "0"}, "--sample"},
      {{"import", input, "--db", missingDb, "--table", "t", "--create", "--columns", "a,,b"},
       "empty column definition"},
      {{"import", input, "--db", missingDb, "--table", "t", "--bogus"}, "--bogus"},
      {{"import", input, "--db", missingDb, "--table", "t", "-s", "ab"}, "--separator"},
      {{"import", input, "--db", missingDb, "--table", "t", "-s", "\xC2\xA6\xC2\xA6"},
       "--separator"},
      {{"import", input, "--db", missingDb, "--table", "t", "-s", "\xE2\x86"}, "--separator"},
      {{"import", input, "--db", missingDb, "--table", "t", "--decimal-separator", ",,"},
       "--decimal-separator"},
      {{"import", input, "--db", missingDb, "--table", "t", "--decimal-separator", ",",
        "--thousand-separator", ","},
       "both ','"},
      {{"import", input, "--db", missingDb, "--table", "t", "--date-format", "yyyy"}, "day"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "Bogus=1"}, "Bogus"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "HeaderRecords=two"},
       "whole number"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "HeaderStored=yes"},
       "true or false"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "FieldSeparator=fspSemi"},
       "fspComma"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "ErrorRecords=1"},
       "read-only"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "OnImportRecord=x"},
       "OnImportRecord"},
      {{"import", input, "--db", missingDb, "--table", "t", "--set", "HeaderRecords"},
       "Name=Value"},
      {{"import", input, "--db", missingDb, "--table", "t", "--commit-every", "0"},
       "--commit-every"},
  };
  for (const TCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.Args) shown += a + " ";
    TRun r = Korvane(c.Args);
    EXPECT_EQ(r.Status, 2) << shown;
    EXPECT_EQ(LineCount(r.Err), 1) << shown << r.Err;
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << shown << r.Err;
    EXPECT_FALSE(Exists(missingDb)) << shown;
  }
}

TEST_F(CliTest, MissingTableOrForeignFileIsAUsageError) {
  ImportPeople();
  std::string input = dir.Put("in.csv", "a,b\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "nope"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("table 'nope' does not exist"), std::string::npos) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM sqlite_schema WHERE name = 'nope'")[0][0], "0");

  std::string notDb = dir.Put("not.db", "this is text, not a database\n");
  r = Korvane({"import", input, "--db", notDb, "--table", "t", "--create", "--header"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(LineCount(r.Err), 1) << r.Err;
  EXPECT_NE(r.Err.find("not a database"), std::string::npos) << r.Err;
  EXPECT_EQ(dir.Get("not.db"), "this is text, not a database\n");

  // An export's --fields or --exclude naming no field would leave a column
  // out or in without a word.
  for (const char* option : {"--fields", "--exclude"}) {
    r = Korvane({"export", dir.Path("out.csv"), "--db", Db(), "--table", "people", option,
                 "NAME,cty"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find(std::string(option) + " names fields the export does not have: \"cty\" "
                         "(nearest: \"city\"); its fields are id, name, city,"),
              std::string::npos)
        << r.Err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("out.csv")));
  }
  // An export into the database's own file (through a link too) would
  // replace the database with the text of its table.
  std::filesystem::create_symlink(Db(), dir.Path("link.db"));
  for (const std::string& target : {Db(), dir.Path("link.db")}) {
    r = Korvane({"export", target, "--db", Db(), "--table", "people"});
    EXPECT_EQ(r.Status, 2) << target;
    EXPECT_NE(r.Err.find("is the database being exported"), std::string::npos) << r.Err;
    EXPECT_EQ(Rows(Db(), "SELECT count(*) > 0 FROM people")[0][0], "1") << target;
  }
}

// --- export -----------------------------------------------------------------

TEST_F(CliTest, RoundTripThroughTheDatabaseKeepsEveryValue) {
  ImportPeople();
  std::string out = dir.Path("out.csv");
  TRun r = Korvane({"export", out, "--db", Db(), "--table", "people", "--header", "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["result"], 8);
  std::string text = dir.Get("out.csv");
  EXPECT_EQ(text.substr(0, text.find('\n')), "id,name,city,amount,born,active");
  EXPECT_NE(text.find("\n2,\"Grace Hopper\",\"New York\",987.25,1906-12-09,True\n"),
            std::string::npos)
      << text;
  // Read back into a second table, the export gives the same rows.
  r = Korvane({"import", out, "--db", Db(), "--table", "again", "--header", "--create", "--columns",
               kPeopleColumns});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM (SELECT * FROM people EXCEPT SELECT * FROM again)"),
            (std::vector<std::vector<std::string>>{{"0"}}));
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM again")[0][0], "8");
}

TEST_F(CliTest, EveryTypeRoundTripsWholeWithTheCommandsDefaults) {
  struct Case {
    const char* type;
    std::vector<const char*> values;  // SQL literals
  };
  const Case cases[] = {
      {"TEXT", {"'plain'", "'with, comma'", "NULL"}},
      {"VARCHAR(5)", {"'abcde'", "NULL"}},
      {"SMALLINT", {"-32768", "32767", "NULL"}},
      {"INTEGER", {"-2147483648", "0", "2147483648", "9223372036854775807", "NULL"}},
      {"INT", {"99999999999", "-9223372036854775808"}},
      {"BIGINT", {"9223372036854775807", "NULL"}},
      {"INT8", {"2147483648"}},
      {"MEDIUMINT", {"2147483647", "NULL"}},
      {"REAL", {"0.1", "-1.5e300", "3.0", "9e999", "-9e999", "NULL"}},
      {"NUMERIC", {"2.5", "NULL"}},
      {"DECIMAL_TEXT",
       {"'12345678901234.5678'", "'-0.00000000000000000001'", "'123456789012345678901234567890'",
        "'1.50'", "NULL"}},
      {"DECIMAL_TEXT(24,4)", {"'-99999999999999999999.9999'", "'0.0001'"}},
      {"MONEY", {"12.3456", "-0.0001", "NULL"}},
      {"BOOLEAN", {"1", "0", "NULL"}},
      {"DATE", {"'1899-12-30'", "'1815-12-10'", "'0001-01-01'", "'9999-12-31'", "NULL"}},
      {"TIME", {"'00:00:00'", "'13:45:10.250'", "'23:59:59.999'", "NULL"}},
      {"DATETIME",
       {"'1899-12-30 00:00:00'", "'2024-05-06 13:45:10'", "'1815-12-10 06:00:00.007'",
        "'1899-12-29 06:00:00'", "NULL"}},
      {"MEMO", {"'a memo, with a comma'", "''", "'two\nlines, \"quoted\"'", "NULL"}},
      {"TEXT", {"''", "NULL", "' blanks '"}},
      {"BLOB", {"x'00ff10'", "x''", "NULL"}},
  };
  const std::string file = dir.Path("t.csv");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string columns = std::string("id INTEGER PRIMARY KEY, v ") + c.type;
    std::string sql = "DROP TABLE IF EXISTS a; DROP TABLE IF EXISTS b; CREATE TABLE a (" + columns +
                      "); CREATE TABLE b (" + columns + ");";
    for (const char* value : c.values)
      sql += std::string("INSERT INTO a (v) VALUES (") + value + ");";
    Exec(Db(), sql);
    TRun r = Korvane({"export", file, "--db", Db(), "--table", "a"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    r = Korvane({"import", file, "--db", Db(), "--table", "b"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const char* query = "SELECT id, typeof(v), quote(v) FROM %s ORDER BY id";
    char a[64];
    char b[64];
    std::snprintf(a, sizeof a, query, "a");
    std::snprintf(b, sizeof b, query, "b");
    EXPECT_EQ(Rows(Db(), b), Rows(Db(), a)) << dir.Get("t.csv");
  }
  // SQLite would store a NaN as NULL: the record fails instead.
  Exec(Db(), "CREATE TABLE f (v REAL)");
  TRun r = Korvane({"import", dir.Put("nan.csv", "nan\n"), "--db", Db(), "--table", "f"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_NE(r.Err.find("holds NaN, which SQLite cannot store"), std::string::npos) << r.Err;
}

TEST_F(CliTest, DatesAndTimesAreIso8601BothWaysByDefault) {
  const char* const kColumns = "(id INTEGER PRIMARY KEY, d DATE, t TIME, ts TIMESTAMP)";
  Exec(Db(), std::string("CREATE TABLE t ") + kColumns + "; CREATE TABLE b " + kColumns);
  const std::string input = dir.Put("iso.csv",
                                    "1,2024-03-05,14:30:00,2024-03-05T14:30:00\n"
                                    "2,0001-01-01,23:59:59.999999000,2024-03-05 14:30:00.123456\n"
                                    "3,9999-12-31,00:00:00.5,2024-03-05T14:30:00Z\n"
                                    "4,2024-02-29,12:00,2024-03-05T14:30:00.100000000+0530\n"
                                    "5,1899-12-30,,1899-12-29 06:00:00-03\n");
  TRun r = Korvane({"import", input, "--db", Db(), "--table", "t"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  // SQLite holds the texts its date functions read, with the digits and
  // zones each value has.
  EXPECT_EQ(Rows(Db(), "SELECT t, ts FROM t WHERE id IN (2, 4, 5) ORDER BY id"),
            (std::vector<std::vector<std::string>>{
                {"23:59:59.999999", "2024-03-05 14:30:00.123456"},
                {"12:00:00", "2024-03-05 14:30:00.100+05:30"},
                {"NULL", "1899-12-29 06:00:00-03:00"}}));
  const std::string expected =
      "1,2024-03-05,14:30:00,2024-03-05 14:30:00\n"
      "2,0001-01-01,23:59:59.999999,2024-03-05 14:30:00.123456\n"
      "3,9999-12-31,00:00:00.500,2024-03-05 14:30:00Z\n"
      "4,2024-02-29,12:00:00,2024-03-05 14:30:00.100+05:30\n"
      "5,1899-12-30,,1899-12-29 06:00:00-03:00\n";
  r = Korvane({"export", dir.Path("out.csv"), "--db", Db(), "--table", "t"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.csv"), expected);
  EXPECT_EQ(r.Err, "");
  r = Korvane({"import", dir.Path("out.csv"), "--db", Db(), "--table", "b"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM (SELECT * FROM t EXCEPT SELECT * FROM b)")[0][0],
            "0");
  // --date-format and --time-format still decide, both ways.
  r = Korvane({"export", dir.Path("eu.csv"), "--db", Db(), "--query",
               "SELECT d, ts FROM t WHERE id = 1", "--date-format", "dd.mm.yyyy"});
  EXPECT_EQ(dir.Get("eu.csv"), "05.03.2024,05.03.2024 14:30:00\n");

  // Strict values: each fault fails its record, saying why.
  const std::string bad = dir.Put("bad.csv",
                                  "10,2023-02-29,,\n"
                                  "11,,24:00:00,\n"
                                  "12,,,2024-03-05 14:30:00.1234567\n"
                                  "13,,,2024-03-05 14:30:00+16:00\n"
                                  "14,3/5/2024,,\n"
                                  "17,2024-03-05T14:30:00,,\n"
                                  "18,,2024-03-05 14:30:00,\n"
                                  "19,2024-03-05T00:00Z,,\n");
  r = Korvane({"import", bad, "--db", Db(), "--table", "t", "--reject-log",
               dir.Path("why.log")});
  EXPECT_EQ(r.Status, 3) << r.Err;
  const std::string why = dir.Get("why.log");
  for (const char* reason : {"not a day of the calendar", "an hour above 23",
                             "more than 6 digits of a second, not all zeros", "beyond +/-15:59",
                             "not laid out as yyyy-mm-dd", "has a time of day, which a date",
                             "has a date, which a time", "has a zone, which a date"}) {
    EXPECT_NE(why.find(reason), std::string::npos) << reason << "\n" << why;
  }
  // --lenient keeps its forgiving rules: such values leave their column empty.
  r = Korvane({"import", bad, "--db", Db(), "--table", "b", "--lenient"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM b WHERE id >= 10")[0][0], "8");
  // A zone shift that leaves the years 1 to 9999 fails, both ways, never
  // giving another day.
  const std::string edges = dir.Put("edges.csv",
                                    "15,,,0001-01-01 00:30:00+01:00\n"
                                    "16,,,9999-12-31 23:30:00-01:00\n");
  r = Korvane({"import", edges, "--db", Db(), "--table", "b", "--utc", "--json"});
  EXPECT_EQ(r.Status, 3) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["rejected"]["not_a_date"], 2) << r.Out;
  EXPECT_NE(r.Err.find("outside the years 1 to 9999 in UTC"), std::string::npos) << r.Err;
  ASSERT_EQ(Korvane({"import", edges, "--db", Db(), "--table", "b"}).Status, 0);
  r = Korvane({"export", dir.Path("utc.csv"), "--db", Db(), "--query",
               "SELECT ts FROM b WHERE id = 16", "--utc"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("cannot be written in UTC"), std::string::npos) << r.Err;
  // A device keeps the lines of the records after it too.
  r = Korvane({"export", "/dev/null", "--db", Db(), "--query", "SELECT ts FROM b", "--utc"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("; the lines of the other records went to '/dev/null'"), std::string::npos)
      << r.Err;

  // A file of another layout loads into an existing table as it did: the
  // sample decides the layout.
  r = Korvane({"import", dir.Put("us.csv", "20,12/31/2023,1:02:03,12/31/2023 13:00:00\n"),
               "--db", Db(), "--table", "t"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT d, t, ts FROM t WHERE id = 20")[0],
            (std::vector<std::string>{"2023-12-31", "01:02:03", "2023-12-31 13:00:00"}));
}

// Seeded date-times with microseconds and offsets over the years 1 to 9999
// (day zero and leap days among them), written in each form the import
// reads, travel file -> SQLite -> file as the export writes them, and that
// file back through another table byte for byte; with --utc the table holds
// the same instants in UTC, without a zone.
TEST_F(CliTest, DateTimesWithMicrosecondsAndOffsetsRoundTripThroughSqlite) {
  using namespace std::chrono;
  std::uint64_t seed = 0x9e3779b97f4a7c15u;
  const auto next = [&seed](std::uint64_t n) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return static_cast<int>(seed % n);
  };
  const sys_days kDays[] = {year{1} / 1 / 1,    year{9999} / 12 / 31, year{1899} / 12 / 30,
                            year{2000} / 2 / 29, year{2024} / 2 / 29,  year{1600} / 2 / 29};
  const auto put = [](std::string& out, sys_days when, std::int64_t micros, bool t) {
    const year_month_day ymd{when};
    char text[64];
    const auto secs = static_cast<int>(micros / 1000000);
    int n = std::snprintf(text, sizeof text, "%04d-%02u-%02u%c%02d:%02d:%02d",
                          static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                          static_cast<unsigned>(ymd.day()), t ? 'T' : ' ', secs / 3600,
                          secs / 60 % 60, secs % 60);
    out.append(text, static_cast<std::size_t>(n));
    return static_cast<int>(micros % 1000000);
  };
  // The fraction as the export writes it: none, milliseconds or microseconds.
  const auto fraction = [](std::string& out, int f) {
    char text[16];
    if (f % 1000 == 0 && f != 0) std::snprintf(text, sizeof text, ".%03d", f / 1000);
    if (f % 1000 != 0) std::snprintf(text, sizeof text, ".%06d", f);
    if (f != 0) out += text;
  };
  // +hh:mm, +hhmm or +hh (form 0, 1, 2).
  const auto zone = [](std::string& out, int minutes, int form) {
    char text[16];
    const int m = std::abs(minutes);
    std::snprintf(text, sizeof text, "%c%02d%s%02d", minutes < 0 ? '-' : '+', m / 60,
                  form == 0 ? ":" : "", m % 60);
    out.append(text, form == 2 ? 3 : form == 1 ? 5 : 6);
  };
  std::string input = "id,ts\n";
  std::string written = input;
  std::string utc = input;
  for (int i = 0; i < 300; ++i) {
    const sys_days when = i % 3 == 0 ? kDays[i / 3 % 6]
                                    : sys_days{year{1 + next(9999)} / 1 / 1} + days{next(365)};
    const std::int64_t micros = std::int64_t{next(86400)} * 1000000 +
                                (i % 3 == 0 ? 0 : i % 3 == 1 ? next(1000) * 1000 : next(1000000));
    // No zone, Z, or an offset up to 15:59 either way; on the first and the
    // last day one that keeps the instant inside the years in UTC.
    const int kind = next(5);
    int offset = kind == 4 ? (next(31) - 15) * 60 : next(1919) - 959;
    if (when == kDays[0]) offset = -std::abs(offset);
    if (when == kDays[1]) offset = std::abs(offset);
    for (std::string* out : {&input, &written, &utc}) *out += std::to_string(i) + ",";
    const int f = put(input, when, micros, i % 2 == 0);
    if (f != 0) {
      // 1 to 6 digits, as many as the value needs or all six.
      std::string digits = std::to_string(1000000 + f).substr(1);
      if (i % 4 < 2) digits.erase(digits.find_last_not_of('0') + 1);
      input += "." + digits;
    }
    put(written, when, micros, false);
    fraction(written, f);
    if (kind == 0) {
      input += "\n";
      written += "\n";
      put(utc, when, micros, false);
      fraction(utc, f);
      utc += "\n";
      continue;
    }
    if (kind == 1) offset = 0;
    input += kind == 1 ? "Z" : "";
    if (kind > 1) zone(input, offset, kind - 2);
    input += "\n";
    if (kind == 1) written += "Z";
    if (kind > 1) zone(written, offset, 0);
    written += "\n";
    const std::int64_t instant = micros - std::int64_t{offset} * 60000000;
    const auto shift = static_cast<int>(instant < 0 ? -1 : instant >= 86400000000 ? 1 : 0);
    put(utc, when + days{shift}, instant - shift * 86400000000, false);
    fraction(utc, f);
    utc += "\n";
  }
  Exec(Db(), "CREATE TABLE a (id INTEGER, ts TIMESTAMP); CREATE TABLE b (id INTEGER, ts TIMESTAMP);"
             "CREATE TABLE c (id INTEGER, ts TIMESTAMP)");
  const auto through = [this](const std::string& file, const char* table,
                              std::vector<std::string> more) {
    std::vector<std::string> args{"import", file, "--db", Db(), "--table", table, "--header"};
    args.insert(args.end(), more.begin(), more.end());
    TRun r = Korvane(args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    const std::string out = dir.Path(std::string(table) + ".csv");
    r = Korvane({"export", out, "--db", Db(), "--table", table, "--header"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    return dir.Get(std::string(table) + ".csv");
  };
  EXPECT_EQ(through(dir.Put("in.csv", input), "a", {}), written);
  EXPECT_EQ(through(dir.Path("a.csv"), "b", {}), written);
  EXPECT_EQ(through(dir.Path("in.csv"), "c", {"--utc"}), utc);
}

// Date columns in different layouts each keep their own: sniff types them
// and its command carries them, an import sniffs them, and --column-format
// gives one by hand.
TEST_F(CliTest, EachDateColumnKeepsItsOwnLayout) {
  const std::string input =
      dir.Put("mixed.csv",
              "us,iso,eu,ts\n"
              "3/25/2024,2024-03-26,27.03.2024,2024-03-26T14:30:00.123456+01:00\n"
              "12/31/2023,2023-12-31,31.12.2023,2023-12-31T00:00:00Z\n");
  TRun r = Korvane({"sniff", input});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("--column-format us=m/d/yyyy --column-format eu=dd.mm.yyyy"),
            std::string::npos)
      << r.Out;
  r = Korvane({"import", input, "--db", Db(), "--table", "t", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT type FROM pragma_table_info('t') ORDER BY cid"),
            (std::vector<std::vector<std::string>>{{"DATE"}, {"DATE"}, {"DATE"}, {"TIMESTAMPTZ"}}));
  const std::vector<std::vector<std::string>> rows{
      {"2024-03-25", "2024-03-26", "2024-03-27", "2024-03-26 14:30:00.123456+01:00"},
      {"2023-12-31", "2023-12-31", "2023-12-31", "2023-12-31 00:00:00Z"}};
  EXPECT_EQ(Rows(Db(), "SELECT * FROM t"), rows);
  // Into an existing table, sniffed; by hand, with the others ISO 8601.
  Exec(Db(),
       "CREATE TABLE u (us DATE, iso DATE, eu DATE, ts TIMESTAMP);"
       "CREATE TABLE v (us DATE, iso DATE, eu DATE, ts TIMESTAMP)");
  r = Korvane({"import", input, "--db", Db(), "--table", "u", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT * FROM u"), rows);
  r = Korvane({"import", input, "--db", Db(), "--table", "v", "--header", "--column-format",
               "us=m/d/yyyy", "--column-format", "eu=dd.mm.yyyy"});
  EXPECT_EQ(Rows(Db(), "SELECT * FROM v"), rows) << r.Err;
  r = Korvane({"import", input, "--db", Db(), "--table", "v", "--column-format", "us"});
  EXPECT_EQ(r.Status, 2);
  r = Korvane({"import", input, "--db", Db(), "--table", "v", "--column-format", "nope=d/m/yyyy"});
  EXPECT_NE(r.Err.find("there is no field nope"), std::string::npos) << r.Err;

  // Every layout of the sniff gallery's file loads as the day it means.
  const std::string gallery = dir.Path("layouts.csv");
  std::filesystem::copy_file(korvane::test::SourceDir() + "/tests/data/sniff/date_layouts.csv",
                             gallery);
  r = Korvane({"import", gallery, "--db", Db(), "--table", "g", "--header", "--create"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT de, ymd_dot, ymd_slash, dmy, mdy FROM g"),
            (std::vector<std::vector<std::string>>{
                {"2024-03-05", "2024-03-05", "2024-03-05", "2024-03-13", "2024-03-13"},
                {"2024-02-29", "2024-02-29", "2024-02-29", "2024-04-05", "2023-12-31"},
                {"1999-12-31", "1999-12-31", "1999-12-31", "1999-12-31", "1999-01-02"}}));
}

TEST_F(CliTest, ValuesThatDoNotFitTheirColumnAreWrittenAsStoredWithOneWarning) {
  Exec(Db(),
       "CREATE TABLE p (id INTEGER PRIMARY KEY, born DATE, n INTEGER);"
       "INSERT INTO p VALUES (1, '2024-05-06', 1), (17, '2024-5-6', 2), (18, NULL, 'x'),"
       " (19, 'garbage', 3)");
  TRun r = Korvane({"export", dir.Path("p.csv"), "--db", Db(), "--table", "p"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("p.csv"), "1,2024-05-06,1\n17,\"2024-5-6\",2\n18,,\"x\"\n19,\"garbage\",3\n");
  EXPECT_EQ(r.Err,
            "Warning: 3 values did not fit their column's type and were written as stored; "
            "first: row 17, born = \"2024-5-6\"\n");
  // SQLite keeps a text in a BLOB column as a text: written as the blob's
  // bytes, it would come back a blob.
  Exec(Db(), "CREATE TABLE b (x BLOB); INSERT INTO b VALUES (x'00ff'), ('text')");
  r = Korvane({"export", dir.Path("b.csv"), "--db", Db(), "--table", "b"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("b.csv"), "\\x00ff\n\\x74657874\n");
  EXPECT_EQ(r.Err,
            "Warning: 1 value did not fit its column's type and was written as stored; first: "
            "row 2, x = \"text\"\n");
  // Nor a blob in a TEXT column: written as its bytes, it would come back a
  // text. The warning shows its control bytes, and no more than 60 bytes,
  // ending where a character ends.
  Exec(Db(),
       "CREATE TABLE c (x TEXT); INSERT INTO c VALUES ('ok'), (x'410a1b'), (x'42'),"
       " (CAST(zeroblob(59) || x'c3a9' AS BLOB))");
  r = Korvane({"export", dir.Path("c.csv"), "--db", Db(), "--table", "c"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("c.csv"),
            "\"ok\"\n\"A\n\x1b\"\n\"B\"\n\"" + std::string(59, '\0') + "\xC3\xA9\"\n");
  EXPECT_EQ(r.Err,
            "Warning: 3 values did not fit their column's type and were written as stored; "
            "first: row 2, x = \"A\\x0A\\x1B\"\n");
  r = Korvane({"export", dir.Path("z.csv"), "--db", Db(), "--query",
               "SELECT x FROM c WHERE rowid = 4"});
  std::string zeros;
  for (int i = 0; i < 59; ++i) zeros += "\\x00";
  EXPECT_EQ(r.Err,
            "Warning: 1 value did not fit its column's type and was written as stored; first: "
            "row 1, x = \"" + zeros + "...\"\n");
  // Bytes that are no UTF-8 are shown escaped too, a character whole.
  Exec(Db(), "CREATE TABLE d (x TEXT); INSERT INTO d VALUES (x'41ffc3a9c342')");
  r = Korvane({"export", dir.Path("d.csv"), "--db", Db(), "--table", "d"});
  EXPECT_EQ(r.Err,
            "Warning: 1 value did not fit its column's type and was written as stored; first: "
            "row 1, x = \"A\\xFF\xC3\xA9\\xC3B\"\n");
}

TEST_F(CliTest, PythonsCsvModuleReadsTheExportBack) {
  Exec(Db(),
       "CREATE TABLE t (id INTEGER, name TEXT, n REAL);"
       "INSERT INTO t VALUES (1, 'say \"hi\"', 1.5), (2, 'a,b' || char(13, 10) || 'c', NULL),"
       "(3, '', 2), (4, NULL, 3), (5, ' \xC3\xA9\xE2\x82\xAC ''x'' ', -0.25);");
  const std::string out = dir.Path("out.csv");
  TRun r = Korvane({"export", out, "--db", Db(), "--table", "t", "--header", "--bom"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string text = dir.Get("out.csv");
  EXPECT_EQ(text.substr(0, 15), "\xEF\xBB\xBFid,name,n\n1,");
  // NULL is nothing, an empty text "".
  EXPECT_NE(text.find("\n3,\"\",2\n4,,3\n"), std::string::npos) << text;
  const std::string script =
      dir.Put("read.py",
              "import csv, json, sys\n"
              "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
              "    print(json.dumps(list(csv.reader(f))))\n");
  FILE* python = ::popen(("python3 " + script + " " + out).c_str(), "r");
  ASSERT_NE(python, nullptr);
  std::string printed;
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, python)) printed.append(chunk, n);
  ASSERT_EQ(::pclose(python), 0) << printed;
  EXPECT_EQ(json::parse(printed),
            json::parse("[[\"id\",\"name\",\"n\"],[\"1\",\"say \\\"hi\\\"\",\"1.5\"],"
                        "[\"2\",\"a,b\\r\\nc\",\"\"],[\"3\",\"\",\"2\"],[\"4\",\"\",\"3\"],"
                        "[\"5\",\" \\u00e9\\u20ac 'x' \",\"-0.25\"]]"));
}

TEST_F(CliTest, ExportLayoutOptionsGiveExactBytes) {
  Exec(Db(),
       "CREATE TABLE t (id INT4, name VARCHAR(6)); INSERT INTO t VALUES (1, 'Ann'), "
       "(22, 'Bo;b')");
  std::string out = dir.Path("out.txt");
  TRun r = Korvane({"export", out, "--db", Db(), "--query", "SELECT id, name FROM t ORDER BY id",
                    "-s", ";", "-q", "none", "--record-separator", "crlf", "--header-line",
                    "# people", "--trailer-line", "end", "--set", "CheckUnquoted=false"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "# people\r\n1;Ann\r\n22;Bo;b\r\nend\r\n");

  r = Korvane(
      {"export", out, "--db", Db(), "--table", "t", "--fixed", "--align-right", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "id         name  \n          1Ann   \n         22Bo;b  \n");

  r = Korvane(
      {"export", out, "--db", Db(), "--table", "t", "--quote-all", "--fields", "name", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "\"name\"\n\"Ann\"\n\"Bo;b\"\n");

  r = Korvane({"export", out, "--db", Db(), "--table", "t", "-s", "tab", "--exclude", "id", "--set",
               "FieldDelimiter=fdlSingle"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "'Ann'\n'Bo;b'\n");
}

TEST_F(CliTest, SpaceSeparatedFilesBothWays) {
  Exec(Db(), "CREATE TABLE t (id INT4, name TEXT); INSERT INTO t VALUES (1, 'Ann Lee'), (2, 'Bo')");
  const std::string out = dir.Path("out.txt");
  TRun r = Korvane({"export", out, "--db", Db(), "--table", "t", "-s", "space", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "id name\n1 \"Ann Lee\"\n2 \"Bo\"\n");
  // Sniffed back, and given.
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{}, std::vector<std::string>{"-s", " "}}) {
    std::vector<std::string> args = {"import", out,  "--db",   Db(),
                                     "--table", "u", "--create", "--header"};
    args.insert(args.end(), extra.begin(), extra.end());
    r = Korvane(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, extra.empty() ? "korvane: reading " + out +
                                         " as space-separated, '\"'-quoted, header present\n"
                                   : "");
    EXPECT_EQ(Rows(Db(), "SELECT id, name FROM u ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"1", "Ann Lee"}, {"2", "Bo"}}));
    Exec(Db(), "DROP TABLE u");
  }
  r = Korvane({"export", out, "--db", Db(), "--table", "t", "--set", "SeparatorChar=ab"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("SeparatorChar \"ab\" is not one character"), std::string::npos) << r.Err;
}

// A UTF-8 character of several bytes separates values both ways: the export
// writes it whole and quotes the values holding it, import --create finds
// it, the classic rules split on it, and --save keeps it.
TEST_F(CliTest, SeparatorsOfSeveralBytesBothWays) {
  const std::string arrow = "\xE2\x86\x92";
  Exec(Db(), "CREATE TABLE t (id INT4, name TEXT); INSERT INTO t VALUES (1, 'a" + arrow +
                 "b'), (2, '\xE2\x82\xAC\xE2\x86\x91'), (3, 'say \"hi\"' || char(10) || 'x')");
  const std::string out = dir.Path("out.txt");
  TRun r = Korvane({"export", out, "--db", Db(), "--table", "t", "-s", arrow, "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.txt"), "id" + arrow + "name\n1" + arrow + "\"a" + arrow + "b\"\n2" + arrow +
                                    "\"\xE2\x82\xAC\xE2\x86\x91\"\n3" + arrow +
                                    "\"say \"\"hi\"\"\nx\"\n");
  const std::vector<std::vector<std::string>> rows = {
      {"1", "a" + arrow + "b"}, {"2", "\xE2\x82\xAC\xE2\x86\x91"}, {"3", "say \"hi\"\nx"}};
  r = Korvane({"import", out, "--db", Db(), "--table", "u", "--create", "--header", "-s", arrow});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name FROM u ORDER BY id"), rows);
  // Found by sniff, which gives it in the command it suggests.
  const std::string plain = dir.Put("plain.txt", "id" + arrow + "name\n1" + arrow + "a\n2" + arrow + "b\n");
  r = Korvane({"sniff", plain});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("Separator:   '" + arrow + "'"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" -s '" + arrow + "' "), std::string::npos) << r.Out;

  const std::string job = dir.Path("job.kvs");
  r = Korvane({"import", out, "--db", Db(), "--table", "s", "--create", "--columns",
               "id INTEGER, name TEXT", "--header", "-s", arrow, "--save", job});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = Korvane({"run", job});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name FROM s ORDER BY id"), rows);

  // The classic rules: a quote anywhere toggles quoting; a character that
  // starts with the separator's first byte is data.
  const std::string bar = "\xC2\xA6";
  const std::string cent = "\xC2\xA2";
  const std::string input =
      dir.Put("classic.txt", "1" + bar + "a" + cent + "b\n2" + bar + "x\"" + bar + "\"y\n");
  r = Korvane({"import", input, "--db", Db(), "--table", "c", "--create", "--columns",
               "id INTEGER, name TEXT", "--dialect", "classic", "-s", bar});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name FROM c ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1", "a" + cent + "b"}, {"2", "x" + bar + "y"}}));
}

// Values parted by zero bytes: sniffed, read by the import as the sniffed
// command and -s nul say, refused by the export, which writes text.
TEST_F(CliTest, ZeroByteSeparatorsAreReadNotWritten) {
  const std::string nul(1, '\0');
  const std::string input = dir.Put("z.txt", "id" + nul + "name\n1" + nul + "a b\n2" + nul + "c\n");
  TRun r = Korvane({"sniff", input});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find(" -s nul --header "), std::string::npos) << r.Out;
  r = Korvane({"import", input, "--db", Db(), "--table", "s", "--create", "--header"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, name FROM s ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1", "a b"}, {"2", "c"}}));
  // A zero byte inside quotes is data.
  const std::string quoted = dir.Put("q.txt", "1" + nul + "\"x" + nul + "y\"\n");
  r = Korvane({"import", quoted, "--db", Db(), "--table", "g", "--create", "--columns",
               "id INTEGER, name TEXT", "-s", "\\0"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Rows(Db(), "SELECT id, hex(name) FROM g"),
            (std::vector<std::vector<std::string>>{{"1", "780079"}}));
  r = Korvane({"export", dir.Path("out.txt"), "--db", Db(), "--table", "g", "-s", "nul"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("zero byte"), std::string::npos) << r.Err;
}

TEST_F(CliTest, ExportEventsReportRecordsAndBytes) {
  Exec(Db(), "CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('xy'), ('z')");
  std::string events = dir.Path("ev.jsonl");
  TRun r = Korvane({"export", dir.Path("o.txt"), "--db", Db(), "--table", "t", "-q", "none",
                    "--events", events});
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto lines = JsonLines(dir.Get("ev.jsonl"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["event"], "OnBeginExport");
  // Bytes count two for every record separator, whatever it is.
  EXPECT_EQ(lines[1], json({{"event", "OnExportRecord"}, {"Records", 1}, {"Bytes", 4}}));
  EXPECT_EQ(lines[2], json({{"event", "OnExportRecord"}, {"Records", 2}, {"Bytes", 7}}));
  EXPECT_EQ(lines[3]["event"], "OnFinishExport");
}

// An export that cannot run, or breaks off, leaves an earlier file of the
// same name as it was, and no temporary file behind.
TEST_F(CliTest, FailedExportLeavesTheOldFileAlone) {
  Exec(Db(), "CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (1), (2), (3)");
  std::string out = dir.Put("out.csv", "precious\n");
  TRun r = Korvane({"export", out, "--db", Db(), "--table", "nope"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("nope"), std::string::npos) << r.Err;
  // The query fails on its second row, after the first line was written.
  r = Korvane({"export", out, "--db", Db(), "--query",
               "SELECT CASE WHEN id = 2 THEN abs(-9223372036854775807 - 1) ELSE id END AS v "
               "FROM t"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Error: "), std::string::npos);
  EXPECT_NE(r.Err.find("unchanged"), std::string::npos) << r.Err;
  EXPECT_EQ(dir.Get("out.csv"), "precious\n");
  r = Korvane({"export", dir.Path("no/such/dir/out.csv"), "--db", Db(), "--table", "t"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("cannot be written"), std::string::npos) << r.Err;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2);  // people.db and out.csv
}

TEST_F(CliTest, SuccessfulExportReplacesTheFileKeepingItsPermissions) {
  Exec(Db(), "CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (7)");
  std::string out = dir.Put("out.csv", "old\n");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  std::string link = dir.Path("link.csv");
  ASSERT_EQ(::symlink(out.c_str(), link.c_str()), 0);
  TRun r = Korvane({"export", link, "--db", Db(), "--table", "t"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(dir.Get("out.csv"), "7\n");
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// --- run and --save -----------------------------------------------------------

TEST_F(CliTest, RunExecutesTheComponentsOfASettingsFile) {
  ImportPeople();
  std::string settings = dir.Put("job.kvs",
                                 "korvane-settings 1\n"
                                 "component TCSVExport \"Dump\" {\n"
                                 "  DataSet = \"people\"\n"
                                 "  FieldSeparator = fspTab\n"
                                 "  FieldList = [\n"
                                 "    \"name\"\n"
                                 "  ]\n"
                                 "  FieldListAction = flaInclude\n"
                                 "  RecordSeparator = rsLF\n"
                                 "  OutputFile = \"" +
                                     dir.Path("dump.txt") +
                                     "\"\n"
                                     "}\n"
                                     "end\n");
  TRun r = Korvane({"run", settings, "--db", Db(), "--table", "people", "--json", "--set",
                    "Dump.FieldList=city", "--events", dir.Path("ev.jsonl")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  json j = json::parse(r.Out);
  EXPECT_EQ(j["components"], json::array({{{"component", "Dump"}, {"result", 8}}}));
  std::string dump = dir.Get("dump.txt");
  EXPECT_EQ(dump.substr(0, dump.find('\n')), "Ada Lovelace\tLondon");
  auto events = JsonLines(dir.Get("ev.jsonl"));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), json({{"event", "OnBeginExport"}, {"component", "Dump"}}));

  // Errors in the file or in --set are usage errors naming what is wrong.
  r = Korvane({"run", settings, "--db", Db(), "--table", "people", "--set", "Nobody.X=1"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("no component 'Nobody'"), std::string::npos) << r.Err;
  r = Korvane({"run", settings});  // the dataset it names is not supplied
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("line 3"), std::string::npos) << r.Err;
  std::string bad = dir.Put("bad.kvs",
                            "korvane-settings 1\ncomponent TCSVImport \"I\" {\n"
                            "  FieldSeparator = fspSemicolon\n}\nend\n");
  r = Korvane({"run", bad});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("line 3"), std::string::npos) << r.Err;
  EXPECT_EQ(LineCount(r.Err), 1) << r.Err;
}

TEST_F(CliTest, SaveWritesASettingsFileThatRunRepeats) {
  std::string job = dir.Path("job.kvs");
  TRun r = Korvane({"import", PeopleCsv(), "--db", Db(), "--table", "people", "--header",
                    "--create", "--columns", kPeopleColumns, "-s", "comma", "--save", job});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_FALSE(Exists(Db()));  // --save runs nothing and creates nothing
  r = Korvane({"run", job, "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  json j = json::parse(r.Out);
  EXPECT_EQ(j["components"][0]["result"], 8);
  EXPECT_EQ(j["components"][0]["headerData"], json::array({"id,name,city,amount,born,active"}));
  EXPECT_EQ(Rows(Db(), "SELECT count(*), sum(amount) FROM people"),
            (std::vector<std::vector<std::string>>{{"8", "9147.15"}}));
  // Run again: the table exists now, and its primary key refuses every
  // record a second time; each refusal is counted and nothing is lost, and
  // the run ends with the status of a partial load.
  r = Korvane({"run", job, "--json"});
  ASSERT_EQ(r.Status, 3) << r.Err;
  j = json::parse(r.Out);
  EXPECT_EQ(j["components"][0]["result"], 0);
  EXPECT_EQ(j["components"][0]["errorRecords"], 8);
  EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM people")[0][0], "8");
  // What keeps the failed records is the file's to say: run has no --rejects.
  EXPECT_NE(r.Err.find("RejectsFile of a TFailedRecords component"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("--reject-log"), std::string::npos) << r.Err;
}

// What each option decides of a run survives --save: `korvane run` of the
// saved file stores the same rows, or writes the same bytes, as the run.
TEST_F(CliTest, SaveKeepsWhatEachDateAndNumberOptionDecides) {
  const auto stored = [](const std::string& db) {
    std::string text;
    for (const auto& row : Rows(db, "SELECT * FROM t")) {
      for (const std::string& value : row) text += value + "|";
    }
    return text;
  };
  struct TImportCase {
    const char* Text;
    std::vector<std::string> Args;
    const char* Stored;
  };
  const TImportCase imports[] = {
      // The layouts the sample shows, sniffed.
      {"3/25/2024,3/25/2024 14:30:00,1.5\n", {}, "2024-03-25|2024-03-25 14:30:00|1.5|"},
      {"25/3/2024,25/3/2024 14:30:00,1.5\n", {}, "2024-03-25|2024-03-25 14:30:00|1.5|"},
      {"25.03.2024,25.03.2024 14:30:00,1.5\n",
       {"--date-format", "dd.mm.yyyy"},
       "2024-03-25|2024-03-25 14:30:00|1.5|"},
      {"25.03.2024,2024-03-25T14:30:00,1.5\n",
       {"--column-format", "d=dd.mm.yyyy"},
       "2024-03-25|2024-03-25 14:30:00|1.5|"},
      {"2024-03-25,2024-03-25 14.30.00,1.5\n",
       {"--time-separator", "."},
       "2024-03-25|2024-03-25 14:30:00|1.5|"},
      {"2024-03-25;2024-03-25T14:30:00+01:00;1234,5\n",
       {"-s", ";", "--decimal-separator", ",", "--thousand-separator", "."},
       "2024-03-25|2024-03-25 14:30:00+01:00|1234.5|"},
      // A decimal comma given alone groups thousands with points.
      {"2024-03-25;2024-03-25T14:30:00;1.234,5\n",
       {"-s", ";", "--decimal-separator", ","},
       "2024-03-25|2024-03-25 14:30:00|1234.5|"},
      {"2024-03-25,2024-03-25T00:30:00.000001+01:00,1\n",
       {"--utc"},
       "2024-03-25|2024-03-24 23:30:00.000001|1.0|"},
  };
  int n = 0;
  for (const TImportCase& c : imports) {
    const std::string input = dir.Put("in" + std::to_string(++n) + ".csv", c.Text);
    SCOPED_TRACE(c.Text);
    const auto import = [&](const std::string& db, std::vector<std::string> more) {
      std::vector<std::string> args{"import", input, "--db", db, "--table", "t", "--create",
                                    "--columns", "d DATE, ts TIMESTAMP, n REAL"};
      args.insert(args.end(), c.Args.begin(), c.Args.end());
      args.insert(args.end(), more.begin(), more.end());
      return Korvane(args);
    };
    const std::string ran = dir.Path("ran" + std::to_string(n) + ".db");
    const std::string saved = dir.Path("saved" + std::to_string(n) + ".db");
    const std::string settings = dir.Path("import" + std::to_string(n) + ".kvs");
    TRun r = import(ran, {});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(stored(ran), c.Stored);
    ASSERT_EQ(import(saved, {"--save", settings}).Status, 0);
    r = Korvane({"run", settings});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(stored(saved), c.Stored);
  }

  Exec(Db(),
       "CREATE TABLE src (d DATE, ts TIMESTAMP, n REAL);"
       "INSERT INTO src VALUES ('2024-03-05', '2024-03-05 14:30:00', 1234.5);"
       "CREATE TABLE zoned (ts TIMESTAMP);"
       "INSERT INTO zoned VALUES ('2024-03-05 00:30:00.000250+01:00')");
  struct TExportCase {
    std::vector<std::string> Args;
    const char* Written;
  };
  const TExportCase exports[] = {
      {{"--table", "src"}, "2024-03-05,2024-03-05 14:30:00,1234.5\n"},
      {{"--table", "src", "--date-format", "dd.mm.yyyy"},
       "05.03.2024,05.03.2024 14:30:00,1234.5\n"},
      {{"--table", "src", "--time-separator", "."}, "2024-03-05,2024-03-05 14.30.00,1234.5\n"},
      {{"--table", "src", "-s", ";", "--decimal-separator", ",", "--thousand-separator", "."},
       "2024-03-05;2024-03-05 14:30:00;1234,5\n"},
      {{"--table", "src", "-s", ";", "--decimal-separator", ","},
       "2024-03-05;2024-03-05 14:30:00;1234,5\n"},
      {{"--table", "zoned", "--utc"}, "2024-03-04 23:30:00.000250+00\n"},
      {{"--table", "zoned"}, "2024-03-05 00:30:00.000250+01:00\n"},
  };
  for (const TExportCase& c : exports) {
    SCOPED_TRACE(c.Written);
    const std::string ran = "ran" + std::to_string(++n) + ".csv";
    const std::string saved = "saved" + std::to_string(n) + ".csv";
    const std::string settings = dir.Path("export" + std::to_string(n) + ".kvs");
    std::vector<std::string> args{"export", dir.Path(ran), "--db", Db()};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun r = Korvane(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(dir.Get(ran), c.Written);
    args[1] = dir.Path(saved);
    args.push_back("--save");
    args.push_back(settings);
    ASSERT_EQ(Korvane(args).Status, 0);
    r = Korvane({"run", settings});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(dir.Get(saved), c.Written);
  }
}

// Every import and export option survives --save: `korvane run` of the saved
// file ends as the run itself did (exit status, the table's rows and
// columns, the files it writes beside them), and each option changes that
// outcome, so that one --save forgot would show.
TEST_F(CliTest, SaveKeepsTheWholeRun) {
  // Everything a run left in its folder, the settings file apart.
  const auto outcome = [](const std::string& folder, int status) {
    std::string text = "status " + std::to_string(status) + "\n";
    const std::string db = folder + "/t.db";
    if (Exists(db) && !Rows(db, "SELECT sql FROM sqlite_master").empty()) {
      text += Rows(db, "SELECT sql FROM sqlite_master")[0][0] + "\n";
      for (const auto& row : Rows(db, "SELECT * FROM t ORDER BY rowid")) {
        for (const std::string& value : row) text += value + "|";
        text += "\n";
      }
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name != "t.db" && name != "run.kvs") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) text += name + ":\n" + ReadText(folder + "/" + name);
    return text;
  };
  // {dir} in an option stands for the run's own folder.
  const auto inFolder = [](std::vector<std::string> args, const std::string& folder) {
    for (std::string& a : args) {
      if (const std::size_t at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, folder);
    }
    return args;
  };
  int n = 0;
  // Runs the command in a folder of its own that starts from setup; with
  // save, saved and run instead. What it left there.
  const auto inNew = [&](std::vector<std::string> args, const std::string& setup, bool save) {
    const std::string folder = dir.Path("run" + std::to_string(++n));
    std::filesystem::create_directory(folder);
    if (!setup.empty()) Exec(folder + "/t.db", setup);
    args = inFolder(std::move(args), folder);
    if (save) {
      args.insert(args.end(), {"--save", folder + "/run.kvs"});
      const TRun r = Korvane(args);
      EXPECT_EQ(r.Status, 0) << r.Err;
      args = {"run", folder + "/run.kvs"};
    }
    return outcome(folder, Korvane(args).Status);
  };
  // The option's run differs from the run without it, and its saved run
  // ends as it did.
  const auto check = [&](std::vector<std::string> args, const std::vector<std::string>& option,
                         const std::string& setup) {
    const std::string without = inNew(args, setup, false);
    args.insert(args.end(), option.begin(), option.end());
    const std::string ran = inNew(args, setup, false);
    EXPECT_NE(ran, without);
    EXPECT_EQ(inNew(args, setup, true), ran);
  };

  struct TCase {
    const char* Text;  // the input (import), or the table's rows (export)
    std::vector<std::string> Base;
    std::vector<std::string> Option;
    bool Table = true;  // the import's table exists before the run
  };
  const std::string table =
      "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, born DATE);"
      "INSERT INTO t VALUES (1, 'old', NULL);";
  const TCase imports[] = {
      {"2,a;b;c\n", {}, {"-s", ","}},
      {"2,'a,b'\n", {"-s", ","}, {"-q", "'"}},
      {"2,\"a\"\"b\"\n", {}, {"--dialect", "classic"}},
      {"2,caf\xe9\n", {}, {"--encoding", "latin1"}},
      {"2 ab2024-03-05\n", {}, {"--fixed", "--widths", "2,2,10"}},
      {"a,2\n", {}, {"--fields", "name,id"}},
      {"id,name,born\n2,a,2024-03-05\n", {"--header"}, {"--exclude", "born"}},
      {"id,name\n2,a\n", {}, {"--header", "0"}},
      {"2,a\n3,b\n", {}, {"--skip-lines", "1"}},
      {"2,a\n%3,b\n", {}, {"--comment", "%"}},
      {"2,\"a~\"b\"\n", {}, {"--escape", "~"}},
      {"2,\"a\"b\" c\"\n", {"-s", ","}, {"--keep-stray-quotes"}},
      {"2,a\n3,b\nT,1\n", {}, {"--trailer", "1"}},
      {"1\nx\n", {"--create"}, {"--sample", "1"}, false},
      {"5\n6\n", {"--create"}, {"--columns", "v TEXT"}, false},
      {"2,a\n", {}, {"--create"}, false},
      {"x,a\n3,b\n", {}, {"--start-record", "2"}},
      {"1,new\n", {}, {"--mode", "replace"}},
      {"1,new\n", {}, {"--mode", "upsert", "--key", "id"}},
      {"2,new\n", {}, {"--mode", "truncate"}},
      {"name,id\n2,a\n", {"--header"}, {"--by-position"}},
      {"id,name,zz\n2,a,q\n", {"--header"}, {"--ignore-columns", "zz"}},
      {"id,name,zz\n2,a,q\n", {"--header"}, {"--ignore-extra-columns"}},
      {"2,a,bad\n", {}, {"--lenient"}},
      {"2,a,bad\n3,b\n", {}, {"--rejects", "{dir}/rejects.csv"}},
      {"2,a,bad\n3,b\n", {}, {"--reject-log", "{dir}/rejects.jsonl"}},
      {"x,a\n3,b\n", {}, {"--max-errors", "0"}},
      {"2,a\nx,b\n", {}, {"--atomic"}},
      {"h,h\n2,a\n", {}, {"--set", "SkipLines=1"}},
  };
  for (const TCase& c : imports) {
    SCOPED_TRACE(c.Option.front() + " " + c.Text);
    const std::string input = dir.Put("in" + std::to_string(n) + ".csv", c.Text);
    std::vector<std::string> args{"import", input, "--db", "{dir}/t.db", "--table", "t"};
    args.insert(args.end(), c.Base.begin(), c.Base.end());
    check(args, c.Option, c.Table ? table : "");
  }

  const TCase exports[] = {
      {"", {}, {"-s", "tab"}},
      {"", {}, {"-q", "'"}},
      {"", {}, {"--dialect", "classic"}},
      {"", {}, {"--encoding", "utf-16"}},
      {"", {}, {"--fixed"}},
      {"", {"--fixed"}, {"--widths", "3,12,12"}},
      {"", {"--fixed"}, {"--align-right"}},
      {"", {}, {"--fields", "id,name"}},
      {"", {}, {"--exclude", "name"}},
      {"", {}, {"--header"}},
      {"", {}, {"--header-line", "# from t"}},
      {"", {}, {"--trailer-line", "# end"}},
      {"", {}, {"--record-separator", "crlf"}},
      {"", {}, {"--quote-all"}},
      {"", {}, {"--bom"}},
      {"", {}, {"--compress", "gzip"}},
      {"", {}, {"--set", "FieldSeparator=fspPipe"}},
  };
  const std::string rows =
      "CREATE TABLE t (id INTEGER, name TEXT, born DATETIME);"
      "INSERT INTO t VALUES (1, 'Ann \"A\", b', '2024-03-05 14:30:00'), (2, 'b', NULL);";
  for (const TCase& c : exports) {
    SCOPED_TRACE(c.Option.front());
    std::vector<std::string> args{"export", "{dir}/out.csv", "--db", "{dir}/t.db", "--table", "t"};
    args.insert(args.end(), c.Base.begin(), c.Base.end());
    check(args, c.Option, rows);
  }
}

// The settings file the README shows, run where its relative paths lead.
TEST_F(CliTest, ReadmeSettingsExampleRuns) {
  ASSERT_EQ(::mkdir(dir.Path("examples").c_str(), 0755), 0);
  std::filesystem::rename(PeopleCsv(), dir.Path("examples/people.csv"));
  std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(dir.Dir().c_str()), 0);
  TRun r = Korvane({"run", korvane::test::SourceDir() + "/examples/people.kvs", "--json"});
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  ASSERT_EQ(r.Status, 0) << r.Err;
  json j = json::parse(r.Out);
  ASSERT_EQ(j["components"].size(), 2u);
  EXPECT_EQ(j["components"][0]["result"], 8);
  EXPECT_EQ(j["components"][1]["result"], 8);
  std::string tsv = dir.Get("people.tsv");
  EXPECT_EQ(LineCount(tsv), 8);
  EXPECT_NE(tsv.find("\n2\tGrace Hopper\tNew York\t987.25\t12/9/1906\tTrue\n"), std::string::npos)
      << tsv;
}

// --- the command line itself --------------------------------------------------

TEST(CliUsage, HelpVersionAndUnknownCommands) {
  TRun r = Korvane({"--help"});
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("import"), std::string::npos);
  EXPECT_NE(r.Out.find("export"), std::string::npos);
  r = Korvane({"import", "--help"});
  EXPECT_EQ(r.Status, 0);
  for (const char* option : {"--separator", "--quote", "--fixed", "--header", "--trailer",
                             "--fields", "--progress", "--set", "--json", "--events", "--create",
                             "--columns", "--decimal-separator", "--date-format"}) {
    EXPECT_NE(r.Out.find(option), std::string::npos) << option;
  }
  r = Korvane({"export", "--help"});
  EXPECT_NE(r.Out.find("--record-separator"), std::string::npos);
  r = Korvane({"--version"});
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Out, "korvane 1.32\n");
  r = Korvane({});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(LineCount(r.Err), 1);
  r = Korvane({"frobnicate"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(LineCount(r.Err), 1);
}

// --- helpers ------------------------------------------------------------------

TEST(CliUtil, ColumnDefinitionsSplitOutsideParenthesesAndQuotes) {
  EXPECT_EQ(cli::SplitColumnDefinitions(
                " id INTEGER PRIMARY KEY, price DECIMAL(10,2),\"a,b\" TEXT , [c,d] INT"),
            (std::vector<std::string>{"id INTEGER PRIMARY KEY", "price DECIMAL(10,2)",
                                      "\"a,b\" TEXT", "[c,d] INT"}));
  EXPECT_THROW(cli::SplitColumnDefinitions("a INT,"), cli::EUsageError);
  EXPECT_THROW(cli::SplitColumnDefinitions("a DECIMAL(10,2"), cli::EUsageError);
  EXPECT_THROW(cli::SplitColumnDefinitions("\"a TEXT"), cli::EUsageError);
  EXPECT_THROW(cli::SplitColumnDefinitions("  "), cli::EUsageError);
  EXPECT_EQ(cli::TextColumnDefinition(" say \"hi\" ", 1), "\"say \"\"hi\"\"\" TEXT");
  EXPECT_EQ(cli::TextColumnDefinition("", 3), "\"column3\" TEXT");
}

TEST(CliUtil, SeparatorAndQuoteChoices) {
  EXPECT_EQ(cli::ParseSeparator(",").Separator, fspComma);
  EXPECT_EQ(cli::ParseSeparator("TAB").Separator, fspTab);
  EXPECT_EQ(cli::ParseSeparator("\t").Separator, fspTab);
  EXPECT_EQ(cli::ParseSeparator("|").Separator, fspPipe);
  cli::TSeparatorChoice semi = cli::ParseSeparator(";");
  EXPECT_EQ(semi.Separator, fspCustom);
  EXPECT_EQ(semi.Custom, ";");
  EXPECT_EQ(cli::ParseSeparator("none").Separator, fspNone);
  for (const char* space : {" ", "Space"}) {
    cli::TSeparatorChoice blank = cli::ParseSeparator(space);
    EXPECT_EQ(blank.Separator, fspCustom);
    EXPECT_EQ(blank.Exact, " ");
  }
  EXPECT_THROW(cli::ParseSeparator("\x01"), cli::EUsageError);
  EXPECT_THROW(cli::ParseSeparator(";;"), cli::EUsageError);
  EXPECT_EQ(cli::ParseQuote("'"), fdlSingle);
  EXPECT_EQ(cli::ParseQuote("none"), fdlNone);
  EXPECT_THROW(cli::ParseQuote("`"), cli::EUsageError);
  EXPECT_EQ(cli::ParseRecordSeparator("CRLF"), rsCRLF);
  EXPECT_THROW(cli::ParseRecordSeparator("nl"), cli::EUsageError);
}

TEST(CliUtil, JsonTextShowsEveryByte) {
  // UTF-8 passes through; other high bytes read as Latin-1; control bytes
  // are escaped. The result is valid JSON whatever the input.
  std::string text = "caf\xC3\xA9 \xE9t\xE9\x01\"\\\n";
  json parsed = json::parse(cli::JsonString(text));
  EXPECT_EQ(parsed.get<std::string>(), "caf\xC3\xA9 \xC3\xA9t\xC3\xA9\x01\"\\\n");
  EXPECT_EQ(cli::JsonText("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // a surrogate
}

TEST(CliUtil, ReplacementFileTouchesTheTargetOnlyOnCommit) {
  TTempDir dir;
  std::string target = dir.Put("t.txt", "old");
  {
    const auto file = cli::OpenReplacement(target);
    EXPECT_NE(file->WritePath(), target);
    std::ofstream(file->WritePath()) << "half";
    EXPECT_EQ(dir.Get("t.txt"), "old");
  }  // not committed: the new file goes
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
  const auto file = cli::OpenReplacement(dir.Path("new.txt"));
  std::ofstream(file->WritePath()) << "new";
  file->Commit();
  EXPECT_EQ(dir.Get("new.txt"), "new");
  EXPECT_THROW(static_cast<void>(cli::OpenReplacement(dir.Dir())), cli::EUsageError);
}

TEST(CliUtilDeathTest, InterruptedReplacementLeavesNoStrayFile) {
  TTempDir dir;
  std::string target = dir.Put("t.txt", "old");
  EXPECT_EXIT(
      {
        const auto file = cli::OpenReplacement(target);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"t.txt"});
  EXPECT_EQ(dir.Get("t.txt"), "old");
}

}  // namespace
}  // namespace korvane
