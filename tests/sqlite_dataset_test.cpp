#include "datasets/sqlite/sqlite_dataset.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "tests/support/number_edges.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

TDateTime Day(int y, int m, int d) { return EncodeDate(y, m, d); }
TDateTime At(int h, int n, int s, int ms = 0) { return EncodeTime(h, n, s, ms); }

class SQLiteDataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvane-sqlite-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
    FPath = (fs::path(FDir) / "test.db").string();
  }
  void TearDown() override { fs::remove_all(FDir); }

  // A dataset on the test database; the fixture frees it.
  TSQLiteDataSet* Table(const std::string& name) {
    auto* ds = New();
    ds->SetTableName(name);
    return ds;
  }
  TSQLiteDataSet* Query(const std::string& sql) {
    auto* ds = New();
    ds->SetQuery(sql);
    return ds;
  }
  TSQLiteDataSet* New() {
    FSets.push_back(std::make_unique<TSQLiteDataSet>(nullptr));
    FSets.back()->SetDatabaseFile(FPath);
    return FSets.back().get();
  }

  void Exec(const std::string& sql) {
    TSQLiteDataSet ds(nullptr);
    ds.SetDatabaseFile(FPath);
    ds.ExecSQL(sql);
  }

  // The rows of a query as text, columns joined by '|', rows by ';'.
  std::string Rows(const std::string& sql) {
    TSQLiteDataSet ds(nullptr);
    ds.SetDatabaseFile(FPath);
    ds.SetQuery(sql);
    ds.Open();
    std::string out;
    for (; !ds.Eof(); ds.Next()) {
      if (!out.empty()) out += ';';
      for (int i = 0; i < ds.FieldCount(); ++i) {
        if (i > 0) out += '|';
        out += ds.Fields(i)->IsNull() ? "NULL" : ds.Fields(i)->AsString();
      }
    }
    return out;
  }

  // Appends one record, setting the named fields from text; false when
  // Post refused it (the record is then cancelled), with the message kept.
  bool Add(TDataSet* ds, const std::vector<std::pair<std::string, std::string>>& values) {
    ds->Append();
    for (const auto& [name, text] : values) ds->FieldByName(name)->SetAsString(text);
    try {
      ds->Post();
      return true;
    } catch (const EDatabaseError& e) {
      FLastError = e.Message();
      ds->Cancel();
      return false;
    }
  }

  std::string FDir;
  std::string FPath;
  std::string FLastError;
  std::vector<std::unique_ptr<TSQLiteDataSet>> FSets;
};

// --- fields from declared types ---------------------------------------------

TEST_F(SQLiteDataSetTest, FieldsFollowTheDeclaredColumnTypes) {
  Exec(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, flag boolean, flag2 TINYBOOL, stamp TIMESTAMP,"
      " dt DateTime, d DATE, tm TIME, cash MONEY, cash2 currency, s SMALLINT, big BIGINT,"
      " i INT, i2 INT2, i4 INT4, mi MEDIUMINT, i8 INT8, n NUMERIC, dec DECIMAL(10,2), r REAL, f "
      "FLOAT, dbl DOUBLE PRECISION, memo CLOB,"
      " m2 MEMO, b BLOB, vc VARCHAR(30), nc NCHAR(7), txt TEXT, none, odd WHATEVER)");
  auto* ds = Table("T");  // table names are case-insensitive
  ds->Open();
  struct Want {
    const char* name;
    TFieldType type;
    int size;
  };
  const Want want[] = {{"id", ftLargeint, 0},    {"flag", ftBoolean, 0},  {"flag2", ftBoolean, 0},
                       {"stamp", ftDateTime, 0}, {"dt", ftDateTime, 0},   {"d", ftDate, 0},
                       {"tm", ftTime, 0},        {"cash", ftCurrency, 0}, {"cash2", ftCurrency, 0},
                       {"s", ftSmallint, 0},     {"big", ftLargeint, 0},  {"i", ftLargeint, 0},
                       {"i2", ftSmallint, 0},    {"i4", ftInteger, 0},    {"mi", ftInteger, 0},
                       {"i8", ftLargeint, 0},    {"n", ftBCD, 0},         {"dec", ftBCD, 2},
                       {"r", ftFloat, 0},        {"f", ftFloat, 0},       {"dbl", ftFloat, 0},
                       {"memo", ftMemo, 0},      {"m2", ftMemo, 0},       {"b", ftBlob, 0},
                       {"vc", ftString, 30},     {"nc", ftString, 7},     {"txt", ftString, 255},
                       {"none", ftString, 255},  {"odd", ftString, 255}};
  ASSERT_EQ(ds->FieldCount(), static_cast<int>(std::size(want)));
  for (int i = 0; i < ds->FieldCount(); ++i) {
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(ds->Fields(i)->FieldName(), want[i].name);
    EXPECT_EQ(ds->Fields(i)->DataType(), want[i].type);
    if (want[i].type == ftString || want[i].type == ftBCD) {
      EXPECT_EQ(ds->Fields(i)->Size(), want[i].size);
    }
  }
  EXPECT_TRUE(ds->FieldByName("cash")->Currency());
}

TEST(SQLiteTypeMapping, FirstMatchWinsAndOnlyTheRowidAliasIsAutoInc) {
  using D = TSQLiteDataSet;
  EXPECT_EQ(D::FieldDefForColumn("c", "BOOLINT").DataType, ftBoolean);    // BOOL before INT
  EXPECT_EQ(D::FieldDefForColumn("c", "DATETIME").DataType, ftDateTime);  // before DATE, TIME
  EXPECT_EQ(D::FieldDefForColumn("c", "MONEYINT").DataType, ftCurrency);
  EXPECT_EQ(D::FieldDefForColumn("c", "INTEGER").DataType, ftLargeint);
  EXPECT_EQ(D::FieldDefForColumn("c", "INTEGER", true).DataType, ftLargeint);
  EXPECT_EQ(D::FieldDefForColumn("c", "BIGINT", true).DataType, ftLargeint);
  EXPECT_EQ(D::FieldDefForColumn("c", "FLOAT(24)").DataType, ftFloat);  // not a length
  EXPECT_EQ(D::FieldDefForColumn("c", "CHAR(x)").Size, 255);
}

TEST_F(SQLiteDataSetTest, TablesMadeFromFieldDefinitionsReopenWithTheSameTypes) {
  const TFieldDef defs[] = {{"id", ftAutoInc}, {"name", ftString, 40}, {"s", ftSmallint},
                            {"i", ftInteger},  {"big", ftLargeint},    {"ok", ftBoolean},
                            {"f", ftFloat},    {"cash", ftCurrency},   {"bcd", ftBCD, 2},
                            {"d", ftDate},     {"t", ftTime},          {"dt", ftDateTime},
                            {"memo", ftMemo},  {"blob", ftBlob},       {"text", ftString}};
  auto* ds = Table("made");
  ds->SetCreateTable(true);
  for (const TFieldDef& def : defs) ds->Columns()->Add(TSQLiteDataSet::ColumnDefinition(def));
  ds->Open();  // also creates the database file
  ASSERT_EQ(ds->FieldCount(), static_cast<int>(std::size(defs)));
  for (int i = 0; i < ds->FieldCount(); ++i) {
    SCOPED_TRACE(defs[i].Name);
    // The rowid is 64 bits wide: the 32-bit ftAutoInc comes back wider.
    EXPECT_EQ(ds->Fields(i)->DataType(),
              defs[i].DataType == ftAutoInc ? ftLargeint : defs[i].DataType);
  }
  EXPECT_EQ(ds->FieldByName("name")->Size(), 40);
  EXPECT_EQ(ds->FieldByName("text")->Size(), 255);
  // A memo keeps text that looks like a number exactly.
  ASSERT_TRUE(Add(ds, {{"memo", "007"}, {"name", "0012"}}));
  EXPECT_EQ(Rows("SELECT typeof(memo), memo, name FROM made"), "text|007|0012");
}

// --- storage formats and reading back -----------------------------------------

TEST_F(SQLiteDataSetTest, IntegerColumnsKeepEverySixtyFourBitValue) {
  Exec("CREATE TABLE w (id INTEGER PRIMARY KEY, i INTEGER, n INT, b BIGINT, e INT8)");
  auto* ds = Table("w");
  ds->Open();
  const char* values[] = {"2147483648", "9223372036854775807", "-9223372036854775808",
                          "99999999999"};
  for (const char* v : values) {
    SCOPED_TRACE(v);
    ds->Append();
    for (int i = 0; i < ds->FieldCount(); ++i) ds->Fields(i)->SetAsString(v);
    ds->Post();
    EXPECT_EQ(Rows("SELECT id, i, n, b, e FROM w WHERE id = " + std::string(v)),
              std::string(v) + "|" + v + "|" + v + "|" + v + "|" + v);
  }
  ds->Close();
  ds->Open();  // read back through the fields
  std::set<std::string> read;
  for (; !ds->Eof(); ds->Next()) {
    read.insert(ds->Fields(0)->AsString());
    for (int i = 1; i < ds->FieldCount(); ++i) {
      EXPECT_EQ(ds->Fields(i)->AsString(), ds->Fields(0)->AsString());
    }
  }
  EXPECT_EQ(read, std::set<std::string>(std::begin(values), std::end(values)));
}

TEST_F(SQLiteDataSetTest, ValuesAreStoredInSQLiteTermsAndReadBackTyped) {
  Exec(
      "CREATE TABLE v (d DATE, dt DATETIME, t TIME, ok BOOLEAN, cash MONEY, f REAL, i INTEGER,"
      " s TEXT, b BLOB, n NUMERIC)");
  auto* ds = Table("v");
  ds->Open();
  ds->Append();
  ds->FieldByName("d")->SetAsDateTime(Day(2024, 2, 29));
  ds->FieldByName("dt")->SetAsDateTime(Day(1999, 12, 31) + At(23, 59, 58));
  ds->FieldByName("t")->SetAsDateTime(At(7, 8, 9));
  ds->FieldByName("ok")->SetAsBoolean(true);
  ds->FieldByName("cash")->SetAsCurrency(12345000);  // 1234.5
  ds->FieldByName("f")->SetAsFloat(0.1);
  ds->FieldByName("i")->SetAsInteger(-42);
  ds->FieldByName("s")->SetAsString("it's \"quoted\"");
  ds->FieldByName("b")->SetAsString(std::string("\0\xff", 2));
  ds->FieldByName("n")->SetAsFloat(2.5);
  ds->Post();
  ds->Append();
  ds->FieldByName("dt")->SetAsDateTime(Day(2001, 1, 2) + At(3, 4, 5, 250));
  ds->FieldByName("t")->SetAsDateTime(At(0, 0, 0, 7));
  ds->FieldByName("ok")->SetAsBoolean(false);
  ds->FieldByName("cash")->SetAsCurrency(-10000);  // -1, an integral amount
  ds->Post();

  // (x || '' shows the stored value itself rather than the typed field.)
  EXPECT_EQ(Rows("SELECT typeof(d), d || '', typeof(dt), dt || '', typeof(t), t || '',"
                 " typeof(ok), ok || '', typeof(cash), cash || '', typeof(f), typeof(i),"
                 " typeof(s), s, typeof(b), hex(b) FROM v ORDER BY rowid"),
            "text|2024-02-29|text|1999-12-31 23:59:58|text|07:08:09|integer|1|real|1234.5|real|"
            "integer|text|it's \"quoted\"|blob|00FF;"
            "null|NULL|text|2001-01-02 03:04:05.250|text|00:00:00.007|integer|0|integer|-1|null|"
            "null|null|NULL|null|");

  auto* back = Table("v");
  back->Open();
  ASSERT_FALSE(back->Eof());
  EXPECT_DOUBLE_EQ(back->FieldByName("d")->AsDateTime(), Day(2024, 2, 29));
  EXPECT_NEAR(back->FieldByName("dt")->AsDateTime(), Day(1999, 12, 31) + At(23, 59, 58), 1e-9);
  EXPECT_NEAR(back->FieldByName("t")->AsDateTime(), At(7, 8, 9), 1e-9);
  EXPECT_TRUE(back->FieldByName("ok")->AsBoolean());
  EXPECT_EQ(back->FieldByName("cash")->AsCurrency(), 12345000);
  EXPECT_EQ(back->FieldByName("f")->AsFloat(), 0.1);
  EXPECT_EQ(back->FieldByName("i")->AsInteger(), -42);
  EXPECT_EQ(back->FieldByName("s")->AsString(), "it's \"quoted\"");
  EXPECT_EQ(back->FieldByName("b")->AsString(), std::string("\0\xff", 2));
  EXPECT_EQ(back->FieldByName("n")->AsFloat(), 2.5);
  back->Next();
  ASSERT_FALSE(back->Eof());
  EXPECT_TRUE(back->FieldByName("d")->IsNull());
  EXPECT_NEAR(back->FieldByName("dt")->AsDateTime(), Day(2001, 1, 2) + At(3, 4, 5, 250), 1e-9);
  EXPECT_FALSE(back->FieldByName("ok")->AsBoolean());
  EXPECT_EQ(back->FieldByName("cash")->AsCurrency(), -10000);
  back->Next();
  EXPECT_TRUE(back->Eof());
}

TEST_F(SQLiteDataSetTest, MoneyFieldWithItsFlagClearedKeepsWholeFloats) {
  Exec("CREATE TABLE m (cash MONEY); INSERT INTO m VALUES (1.5), (12.345678)");
  auto* ds = Table("m");
  ds->Open();
  TField* cash = ds->FieldByName("cash");
  cash->SetCurrency(false);
  ds->Next();
  EXPECT_DOUBLE_EQ(cash->AsFloat(), 12.345678);
  ds->Append();
  cash->SetAsFloat(0.123456789);
  ds->Post();
  EXPECT_EQ(Rows("SELECT cash || '' FROM m WHERE rowid = 3"), "0.123456789");
}

TEST_F(SQLiteDataSetTest, DatesOutsideTheCalendarAreRefusedAndEarlyDatesRoundTrip) {
  Exec("CREATE TABLE d (dt DATETIME)");
  auto* ds = Table("d");
  ds->Open();
  ds->Append();
  // Before day zero the time still counts forward: -1.25 is 1899-12-29 06:00.
  ds->FieldByName("dt")->SetAsDateTime(Day(1899, 12, 29) - At(6, 0, 0));
  ds->Post();
  EXPECT_EQ(Rows("SELECT dt || '' FROM d"), "1899-12-29 06:00:00");
  ds->First();
  EXPECT_DOUBLE_EQ(ds->FieldByName("dt")->AsDateTime(), -1.25);

  ds->Append();
  ds->FieldByName("dt")->SetAsDateTime(5e6);  // past the year 9999
  EXPECT_THROW(ds->Post(), EDatabaseError);
  ds->Cancel();
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST_F(SQLiteDataSetTest, DatesThroughTheWholeCalendarAreStoredAsTheirDayText) {
  Exec("CREATE TABLE c (d DATE)");
  auto* ds = Table("c");
  ds->Open();
  std::vector<TDateTime> days;
  for (TDateTime day = Day(1, 1, 1); day <= Day(9999, 12, 31); day += 89) days.push_back(day);
  days.push_back(Day(9999, 12, 31));
  for (int y : {1600, 1700, 1900, 2000, 2024}) {
    for (int m : {2, 3}) days.push_back(Day(y, m, 1) - 1);  // the days before March 1 and Feb 1
  }
  ds->BeginBulk();
  for (TDateTime day : days) {
    ds->Append();
    ds->Fields(0)->SetAsDateTime(day);
    ds->Post();
  }
  ds->EndBulk();
  auto* back = Query("SELECT d || '' FROM c ORDER BY rowid");
  back->Open();
  for (TDateTime day : days) {
    ASSERT_FALSE(back->Eof());
    ASSERT_EQ(back->Fields(0)->AsString(), FormatDateTime("yyyy-mm-dd", day)) << day;
    back->Next();
  }
}

TEST_F(SQLiteDataSetTest, ValuesOtherToolsStoreAreReadAsSQLiteDefinesThem) {
  Exec(
      "CREATE TABLE o (d DATE, dt DATETIME, i INTEGER, ok BOOL, cash MONEY);"
      "INSERT INTO o VALUES (2459999.5, 86400, '', 'yes', '12.34');"  // Julian day, Unix time
      "INSERT INTO o VALUES ('2023-02-24T10:00:00Z', '2023-02-24T10:00', 7.0, 0.0, 3);"
      "INSERT INTO o VALUES (20240305, '2023-02-24 10:00:00.123456789', 1, 2, 12.34567);");
  auto* ds = Table("o");
  ds->Open();
  EXPECT_DOUBLE_EQ(ds->FieldByName("d")->AsDateTime(), Day(2023, 2, 24));
  EXPECT_DOUBLE_EQ(ds->FieldByName("dt")->AsDateTime(), Day(1970, 1, 2));
  EXPECT_TRUE(ds->FieldByName("i")->IsNull());  // empty text in a typed column
  EXPECT_TRUE(ds->FieldByName("ok")->AsBoolean());
  EXPECT_EQ(ds->FieldByName("cash")->AsCurrency(), 123400);
  ds->Next();
  EXPECT_NEAR(ds->FieldByName("dt")->AsDateTime(), Day(2023, 2, 24) + At(10, 0, 0), 1e-9);
  EXPECT_EQ(ds->FieldByName("i")->AsInteger(), 7);
  EXPECT_FALSE(ds->FieldByName("ok")->AsBoolean());
  EXPECT_EQ(ds->FieldByName("cash")->AsCurrency(), 30000);
  // A date with a time of day in a date column, a whole number that is no
  // midnight in Unix time there, and more digits of a second than
  // microseconds, money of more than four decimals and a boolean of 2 are
  // no values of their columns: shown as stored and counted, never cut or
  // rounded to what would fit.
  EXPECT_EQ(ds->FieldByName("d")->AsString(), "2023-02-24T10:00:00Z");
  ds->Next();
  EXPECT_EQ(ds->FieldByName("d")->AsString(), "20240305");
  EXPECT_EQ(ds->FieldByName("dt")->AsString(), "2023-02-24 10:00:00.123456789");
  EXPECT_EQ(ds->FieldByName("cash")->AsString(), "12.34567");
  EXPECT_EQ(ds->FieldByName("ok")->AsString(), "2");
  EXPECT_EQ(ds->Misfits().Count, 5);
}

TEST_F(SQLiteDataSetTest, EachRowShowsOnlyItsOwnValues) {
  // Rows that alternate between values, NULL and empty texts: nothing of a
  // row carries over into the next one.
  Exec(
      "CREATE TABLE t (s TEXT, n INTEGER, d DATE, b BOOL, m MONEY);"
      "INSERT INTO t VALUES ('first', 1, '2024-01-01', 1, 1.5);"
      "INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL);"
      "INSERT INTO t VALUES ('', '', ' ', '', '');"
      "INSERT INTO t VALUES ('x', '12', 2459999.5, 'no', 2);");
  auto* ds = Table("t");
  ds->Open();
  auto row = [ds] {
    std::string text;
    for (int i = 0; i < ds->FieldCount(); ++i) {
      TField* f = ds->Fields(i);
      text += (i > 0 ? "|" : "") + (f->IsNull() ? std::string("null") : f->AsString());
    }
    return text;
  };
  EXPECT_EQ(row(), "first|1|1/1/2024|True|1.50");
  ds->Next();
  EXPECT_EQ(row(), "null|null|null|null|null");
  ds->Next();
  EXPECT_EQ(row(), "|null|null|null|null");  // an empty text is a value only in a text column
  ds->Next();
  EXPECT_EQ(row(), "x|12|2/24/2023|False|2.00");  // a Julian day number as the date
  ds->First();
  EXPECT_EQ(row(), "first|1|1/1/2024|True|1.50");
}

TEST_F(SQLiteDataSetTest, AValueThatIsNotOfItsColumnsTypeIsShownAsStoredAndCounted) {
  Exec(
      "CREATE TABLE bad (n INTEGER, d DATE); INSERT INTO bad VALUES (1, '2024-01-01');"
      "INSERT INTO bad VALUES (2, '31.01.2024'); INSERT INTO bad VALUES (2.5, NULL)");
  auto* ds = Table("bad");
  ds->Open();
  ds->Next();
  TField* d = ds->FieldByName("d");
  EXPECT_EQ(d->AsString(), "31.01.2024");
  EXPECT_EQ(d->Text(), "31.01.2024");
  EXPECT_FALSE(d->IsNull());
  try {
    d->AsDateTime();
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'31.01.2024' is not a valid date and time");
  }
  ds->Next();
  EXPECT_EQ(ds->FieldByName("n")->AsString(), "2.5");
  EXPECT_TRUE(d->IsNull()) << "a null stays null";
  const TSQLiteMisfits& misfits = ds->Misfits();
  EXPECT_EQ(misfits.Count, 2);
  EXPECT_EQ(misfits.Row, 2);
  EXPECT_EQ(misfits.Column, "d");
  EXPECT_EQ(misfits.Text, "31.01.2024");
  ds->First();
  EXPECT_EQ(ds->Misfits().Count, 0);
}

// A double that a column of texts holds (no declared type, or one SQLite
// gives numeric affinity) or that does not fit its column is shown with the
// digits that read back the same double, not SQLite's 15.
TEST_F(SQLiteDataSetTest, ADoubleShownAsTextKeepsEveryDigit) {
  Exec(
      "CREATE TABLE f (x, s STRING, ok BOOLEAN);"
      "INSERT INTO f VALUES (0.30000000000000004, 123456789.12345679, 0.30000000000000004);"
      "INSERT INTO f VALUES (1e-5, 1e300, 2.5)");
  auto* ds = Table("f");
  ds->Open();
  const char* want[][3] = {{"0.30000000000000004", "123456789.12345679", "0.30000000000000004"},
                           {"1e-05", "1e+300", "2.5"}};
  for (const auto& row : want) {
    EXPECT_EQ(ds->FieldByName("x")->AsString(), row[0]);
    EXPECT_EQ(ds->FieldByName("s")->AsString(), row[1]);
    EXPECT_EQ(ds->FieldByName("ok")->AsString(), row[2]);
    ds->Next();
  }
  EXPECT_EQ(ds->Misfits().Text, "0.30000000000000004");
}

// A column of texts that SQLite gives numeric affinity stores a text that
// reads as a number as that number: with ExactTexts a text that number
// would not give back is refused, saying so, and any other stored.
TEST_F(SQLiteDataSetTest, ExactTextsRefusesATextANumericAffinityWouldChange) {
  Exec("CREATE TABLE n (s STRING, j JSON, m MEMO, t TEXT, x, c NUM)");
  auto* ds = Table("n");
  ds->SetExactTexts(true);
  ds->Open();
  const struct {
    const char* Column;
    const char* Text;
    bool Stored;
  } cases[] = {{"s", "007", false},   {"s", "1.50", false},  {"s", "1e5", false},
               {"s", " 5", false},    {"s", "+5", false},    {"s", "-0", false},
               {"m", "007", false},   {"j", "12345678901234567890", false},
               {"j", "1e400", false}, {"s", "5", true},      {"s", "-5", true},
               {"j", "0.1", true},    {"j", "1.5e-07", true}, {"s", "0x10", true},
               {"s", "1e", true},     {"s", "abc", true},    {"t", "007", true},
               {"x", "007", true},    {"c", "1.50", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Column) + " " + c.Text);
    EXPECT_EQ(Add(ds, {{c.Column, c.Text}}), c.Stored) << FLastError;
  }
  EXPECT_EQ(FLastError,
            "Field 'j' holds the text \"1e400\", which its column (SQLite gives its type numeric "
            "affinity) would store as the number inf; a column declared TEXT keeps it");
  // A STRICT table's ANY column keeps a text as it is.
  Exec("CREATE TABLE sa (a ANY) STRICT");
  auto* strict = Table("sa");
  strict->SetExactTexts(true);
  strict->Open();
  EXPECT_TRUE(Add(strict, {{"a", "007"}})) << FLastError;
}

// A column of no declared type and a BLOB one keep a number as a number;
// written out as its digits it would come back a text or a blob, so it does
// not fit and is counted.
TEST_F(SQLiteDataSetTest, ANumberInAColumnOfNoTypeOrOfBlobsDoesNotFit) {
  Exec("CREATE TABLE u (x, b BLOB, t TEXT, a ANY);"
       "INSERT INTO u VALUES (42, 2.5, 42, 7), ('a', x'00', 'b', 'c');"
       "CREATE TABLE sa (a ANY) STRICT; INSERT INTO sa VALUES (42)");
  auto* ds = Table("u");
  ds->Open();
  EXPECT_EQ(ds->FieldByName("x")->AsString(), "42");
  EXPECT_EQ(ds->FieldByName("t")->AsString(), "42");
  EXPECT_EQ(ds->Misfits().Count, 2) << "ANY of a table not STRICT is of numeric affinity";
  ds->Next();
  EXPECT_EQ(ds->Misfits().Count, 2);
  EXPECT_EQ(ds->Misfits().Column, "x");
  auto* strict = Table("sa");
  strict->Open();
  EXPECT_EQ(strict->Misfits().Count, 1) << "a STRICT table's ANY keeps any kind of value";
}

// --- appending: defaults, autoinc, one statement per set of columns ---------

TEST_F(SQLiteDataSetTest, EmptyFieldsTakeTheColumnDefaults) {
  Exec(
      "CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT NOT NULL DEFAULT 'nobody',"
      " city TEXT, n INTEGER DEFAULT 7, made DATE DEFAULT (date('now')))");
  auto* ds = Table("people");
  ds->Open();
  ASSERT_TRUE(Add(ds, {{"name", "Ann"}, {"city", "Oslo"}}));
  ASSERT_TRUE(Add(ds, {{"city", "Rome"}}));
  ASSERT_TRUE(Add(ds, {}));
  ASSERT_TRUE(Add(ds, {{"name", "Bob"}, {"city", "Bern"}, {"n", "1"}}));
  ASSERT_TRUE(Add(ds, {{"name", "Cy"}}));  // back to an earlier set of columns
  EXPECT_EQ(Rows("SELECT id, name, city, n, made = date('now') FROM people"),
            "1|Ann|Oslo|7|1;2|nobody|Rome|7|1;3|nobody|NULL|7|1;4|Bob|Bern|1|1;5|Cy|NULL|7|1");
}

TEST_F(SQLiteDataSetTest, TheRowidAliasGetsTheNextIdUnlessOneIsGiven) {
  Exec("CREATE TABLE a (id INTEGER PRIMARY KEY, name TEXT)");
  auto* ds = Table("a");
  ds->Open();
  ASSERT_EQ(ds->FieldByName("id")->DataType(), ftLargeint);
  ASSERT_TRUE(Add(ds, {{"name", "one"}}));
  EXPECT_EQ(ds->FieldByName("id")->AsInteger(), 1);  // the posted record shows its id
  ASSERT_TRUE(Add(ds, {{"id", "100"}, {"name", "hundred"}}));
  ASSERT_TRUE(Add(ds, {{"name", "next"}}));
  EXPECT_EQ(ds->FieldByName("id")->AsInteger(), 101);
  EXPECT_FALSE(Add(ds, {{"id", "100"}, {"name", "again"}}));
  EXPECT_EQ(FLastError, "UNIQUE constraint failed: a.id");
  EXPECT_EQ(Rows("SELECT id, name FROM a"), "1|one;100|hundred;101|next");
}

TEST_F(SQLiteDataSetTest, GeneratedColumnsAreReadOnlyAndNeverInserted) {
  Exec("CREATE TABLE g (a INTEGER, twice INTEGER AS (a * 2))");
  auto* ds = Table("g");
  ds->Open();
  ASSERT_EQ(ds->FieldCount(), 2);
  EXPECT_TRUE(ds->FieldByName("twice")->ReadOnly());
  ASSERT_TRUE(Add(ds, {{"a", "21"}}));
  ds->First();
  EXPECT_EQ(ds->FieldByName("twice")->AsInteger(), 42);
}

TEST_F(SQLiteDataSetTest, EditUpdatesTheCurrentRecordAndReadingResumesAfterWrites) {
  Exec("CREATE TABLE e (k TEXT, v INTEGER); INSERT INTO e VALUES ('a', 1), ('b', 2), ('c', 3)");
  auto* ds = Table("e");
  ds->Open();
  ds->Next();  // on 'b'
  ds->Edit();
  ds->FieldByName("v")->SetAsInteger(20);
  ds->Post();
  ds->Next();  // the record after the edited one
  EXPECT_EQ(ds->FieldByName("k")->AsString(), "c");
  ASSERT_TRUE(Add(ds, {{"k", "d"}, {"v", "4"}}));
  ds->Next();
  EXPECT_TRUE(ds->Eof());
  std::string seen;
  for (ds->First(); !ds->Eof(); ds->Next()) seen += ds->FieldByName("k")->AsString();
  EXPECT_EQ(seen, "abcd");
  EXPECT_EQ(Rows("SELECT group_concat(v) FROM e"), "1,20,3,4");
}

// --- refusals -------------------------------------------------------------------

TEST_F(SQLiteDataSetTest, RefusedRecordsRaiseWithSQLitesMessageAndTheRestAreKept) {
  Exec(
      "CREATE TABLE city (name TEXT PRIMARY KEY);"
      "INSERT INTO city VALUES ('Oslo');"
      "CREATE TABLE p (code TEXT UNIQUE NOT NULL, age INTEGER CHECK (age >= 0),"
      " city TEXT REFERENCES city(name))");
  auto* ds = Table("p");
  ds->Open();
  for (bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "in a bulk run" : "one by one");
    const std::string tag = bulk ? "b" : "s";
    ds->SetBulkCommitCount(2);
    if (bulk) ds->BeginBulk();
    std::vector<std::string> errors;
    auto add = [&](const std::vector<std::pair<std::string, std::string>>& values) {
      if (!Add(ds, values)) errors.push_back(FLastError);
    };
    add({{"code", tag + "1"}, {"age", "1"}, {"city", "Oslo"}});
    add({{"age", "2"}});                        // NOT NULL
    add({{"code", tag + "2"}});                 // fine, 2nd of a group
    add({{"code", tag + "1"}});                 // UNIQUE
    add({{"code", tag + "3"}, {"age", "-1"}});  // NOT NULL: an empty value leaves the field null
    add({{"code", tag + "4"}, {"city", "Atlantis"}});  // FOREIGN KEY
    add({{"code", tag + "5"}});
    if (bulk) ds->EndBulk();
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "NOT NULL constraint failed: p.code", "UNIQUE constraint failed: p.code",
                          "CHECK constraint failed: age >= 0", "FOREIGN KEY constraint failed"}));
    EXPECT_EQ(Rows("SELECT group_concat(code) FROM p WHERE code LIKE '" + tag + "%'"),
              tag + "1," + tag + "2," + tag + "5");
  }
}

TEST_F(SQLiteDataSetTest, ForeignKeysAreOnlyEnforcedWhenAsked) {
  Exec("CREATE TABLE parent (id INTEGER PRIMARY KEY); CREATE TABLE child (pid REFERENCES parent)");
  auto* ds = Table("child");
  ds->SetForeignKeys(false);
  ds->Open();
  EXPECT_TRUE(Add(ds, {{"pid", "9"}}));
}

TEST_F(SQLiteDataSetTest, ADeferredForeignKeyRefusesItsRecordNotTheWholeGroup) {
  Exec(
      "CREATE TABLE parent (id INTEGER PRIMARY KEY); INSERT INTO parent VALUES (1);"
      "CREATE TABLE child (n INTEGER, pid INTEGER REFERENCES parent(id)"
      " DEFERRABLE INITIALLY DEFERRED)");
  auto* ds = Table("child");
  ds->Open();
  ds->BeginBulk();
  EXPECT_TRUE(Add(ds, {{"n", "1"}, {"pid", "1"}}));
  EXPECT_FALSE(Add(ds, {{"n", "2"}, {"pid", "5"}}));
  EXPECT_EQ(FLastError, "FOREIGN KEY constraint failed");
  EXPECT_TRUE(Add(ds, {{"n", "3"}, {"pid", "1"}}));
  ASSERT_NO_THROW(ds->EndBulk());
  EXPECT_EQ(Rows("SELECT group_concat(n) FROM child"), "1,3");
  // Outside a bulk run the record's own transaction fails the same way.
  EXPECT_FALSE(Add(ds, {{"n", "4"}, {"pid", "6"}}));
  EXPECT_EQ(Rows("SELECT count(*) FROM child"), "2");
}

TEST_F(SQLiteDataSetTest, AConflictClauseThatRollsBackCostsOnlyItsOwnRecord) {
  Exec("CREATE TABLE r (k TEXT UNIQUE ON CONFLICT ROLLBACK)");
  auto* ds = Table("r");
  ds->Open();
  ds->BeginBulk();
  EXPECT_TRUE(Add(ds, {{"k", "a"}}));
  EXPECT_TRUE(Add(ds, {{"k", "b"}}));
  EXPECT_FALSE(Add(ds, {{"k", "a"}}));
  EXPECT_TRUE(Add(ds, {{"k", "c"}}));
  ASSERT_NO_THROW(ds->EndBulk());
  EXPECT_EQ(Rows("SELECT group_concat(k) FROM r"), "a,b,c");
}

TEST_F(SQLiteDataSetTest, AStrictTableTakesEveryTypedValue) {
  Exec("CREATE TABLE s (i INTEGER, r REAL, t TEXT, b BLOB, a ANY) STRICT");
  auto* ds = Table("s");
  ds->Open();
  ASSERT_TRUE(Add(ds, {{"i", "3"}, {"r", "1.5"}, {"t", "x"}, {"b", "y"}, {"a", "z"}}));
  EXPECT_EQ(Rows("SELECT typeof(i), typeof(r), typeof(t), typeof(b), typeof(a) FROM s"),
            "integer|real|text|blob|text");
}

// --- what cannot be modified ------------------------------------------------------

TEST_F(SQLiteDataSetTest, QueriesViewsAndReadOnlyDatabasesCannotBeModified) {
  Exec("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); CREATE VIEW v AS SELECT a FROM t");
  auto* query = Query("SELECT a FROM t");
  query->Open();
  EXPECT_FALSE(query->CanModify());
  EXPECT_THROW(query->Append(), EDatabaseError);

  auto* view = Table("v");
  view->Open();
  EXPECT_FALSE(view->CanModify());

  auto* readOnly = Table("t");
  readOnly->SetReadOnly(true);
  readOnly->Open();
  EXPECT_FALSE(readOnly->CanModify());
  EXPECT_EQ(readOnly->FieldByName("a")->AsInteger(), 1);

  auto* writable = Table("t");
  writable->Open();
  EXPECT_TRUE(writable->CanModify());
}

TEST_F(SQLiteDataSetTest, AFileWithoutWritePermissionOpensReadOnly) {
  Exec("CREATE TABLE t (a INTEGER)");
  ASSERT_EQ(chmod(FPath.c_str(), 0444), 0);
  ASSERT_EQ(chmod(FDir.c_str(), 0755), 0);  // reachable for the unprivileged child
  const std::string path = FPath;
  const auto result = test_support::RunWithoutRoot([&path] {
    try {
      TSQLiteDataSet ds(nullptr);
      ds.SetDatabaseFile(path);
      ds.SetTableName("t");
      ds.Open();
      return ds.Active() && !ds.CanModify();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "the unprivileged open failed: %s\n", e.what());
      return false;
    }
  });
  if (result == test_support::TChildResult::CannotDropPrivileges)
    GTEST_SKIP() << "cannot drop root";
  EXPECT_EQ(result, test_support::TChildResult::Passed);
}

// --- queries ---------------------------------------------------------------------

TEST_F(SQLiteDataSetTest, AQueryShowsItsRowsInItsOwnOrderWithTypedFields) {
  Exec(
      "CREATE TABLE t (name TEXT, born DATE); INSERT INTO t VALUES ('b', '2000-01-02'),"
      " ('a', '1999-03-04'), ('c', NULL)");
  auto* ds = Query("SELECT name, born, upper(name) AS up, t.name FROM t ORDER BY name DESC;");
  ds->Open();
  ASSERT_EQ(ds->FieldCount(), 4);
  EXPECT_EQ(ds->Fields(1)->DataType(), ftDate);
  EXPECT_EQ(ds->Fields(2)->DataType(), ftVariant);  // an expression has no declared type
  EXPECT_EQ(ds->Fields(3)->FieldName(), "name_1");
  EXPECT_EQ(ds->RecordCount(), 3);
  std::string seen;
  for (; !ds->Eof(); ds->Next()) seen += ds->FieldByName("up")->AsString();
  EXPECT_EQ(seen, "CBA");
  ds->First();
  ds->Next();
  EXPECT_DOUBLE_EQ(ds->FieldByName("born")->AsDateTime(), Day(2000, 1, 2));

  auto* pragma = Query("PRAGMA table_info(t)");  // not usable as a subquery
  pragma->Open();
  EXPECT_EQ(pragma->RecordCount(), 2);
}

// An expression's value is shown as the number or text it is; a blob is
// neither, and is counted as a value that does not fit.
TEST_F(SQLiteDataSetTest, ABlobInAQueryColumnOfNoTypeDoesNotFit) {
  Exec("CREATE TABLE t (a)");
  auto* ds = Query("SELECT 1 AS n, 'a' AS t, x'00ff' AS b");
  ds->Open();
  EXPECT_EQ(ds->Misfits().Count, 1);
  EXPECT_EQ(ds->Misfits().Column, "b");
}

TEST_F(SQLiteDataSetTest, AQueryMustBeOneStatementThatOnlyReads) {
  Exec("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
  auto expectRefused = [&](const std::string& sql, const std::string& message) {
    auto* ds = Query(sql);
    try {
      ds->Open();
      ADD_FAILURE() << sql << " was accepted";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), message);
    }
    EXPECT_FALSE(ds->Active());
  };
  expectRefused("DELETE FROM t", "Query must only read data");
  expectRefused("SELECT 1; DELETE FROM t", "Query must be one statement");
  expectRefused("SELEC 1", "Query failed: near \"SELEC\": syntax error");
  expectRefused("-- nothing", "Query holds no statement");
  EXPECT_EQ(Rows("SELECT count(*) FROM t"), "1");
  EXPECT_EQ(Rows("SELECT 1; -- a comment after the statement"), "1");
}

TEST_F(SQLiteDataSetTest, RecordCountIsTheRealCount) {
  Exec("CREATE TABLE t (a INTEGER)");
  auto* ds = Table("t");
  EXPECT_EQ(ds->RecordCount(), -1);  // closed
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 0);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Add(ds, {{"a", std::to_string(i)}}));
  EXPECT_EQ(ds->RecordCount(), 5);
}

// --- opening ---------------------------------------------------------------------

TEST_F(SQLiteDataSetTest, MissingDatabasesAndTablesAreReportedAndNothingIsCreated) {
  auto* ds = Table("t");
  try {
    ds->Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Database file '" + FPath + "' does not exist");
  }
  EXPECT_FALSE(fs::exists(FPath));
  ds->SetCreateTable(true);
  ds->Columns()->Add("a INTEGER PRIMARY KEY PRIMARY KEY");  // refused by SQLite
  EXPECT_THROW(ds->Open(), EDatabaseError);
  EXPECT_FALSE(fs::exists(FPath));
  ds->SetCreateTable(false);
  ds->Columns()->Clear();

  Exec("CREATE TABLE other (a)");
  try {
    ds->Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Table 't' does not exist in '" + FPath + "'");
  }
  EXPECT_FALSE(ds->TableExists("t"));
  EXPECT_TRUE(ds->TableExists("OTHER"));

  ds->SetCreateTable(true);
  EXPECT_THROW(ds->Open(), EDatabaseError);  // no Columns to create it from
  ds->Columns()->Add("a INTEGER");
  ds->Open();
  EXPECT_TRUE(ds->TableExists("t"));
}

TEST_F(SQLiteDataSetTest, AFileThatIsNotADatabaseIsRefusedAndLeftAsItWas) {
  const std::string text = "id,name\n1,Ann\n";
  std::ofstream(FPath) << text;
  auto* ds = Table("t");
  ds->SetCreateTable(true);
  ds->Columns()->Add("a");
  try {
    ds->Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Cannot open database '" + FPath + "': file is not a database");
  }
  std::ifstream in(FPath);
  std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, text);
}

TEST_F(SQLiteDataSetTest, SourceSettingsCannotChangeWhileOpen) {
  Exec("CREATE TABLE t (a)");
  auto* ds = Table("t");
  ds->Open();
  EXPECT_THROW(ds->SetTableName("u"), EDatabaseError);
  EXPECT_THROW(ds->SetDatabaseFile("x.db"), EDatabaseError);
  ds->Close();
  ds->SetQuery("SELECT 1");  // both set
  EXPECT_THROW(ds->Open(), EDatabaseError);
}

TEST_F(SQLiteDataSetTest, SettingsFilesStoreAndRestoreTheDataSet) {
  RegisterClass(ComponentClass<TSQLiteDataSet>());
  auto* ds = Table("people");
  ds->SetName("People");
  ds->SetCreateTable(true);
  ds->Columns()->Add("id INTEGER PRIMARY KEY");
  ds->Columns()->Add("name TEXT");
  ds->SetBulkCommitCount(1000);
  ds->SetForeignKeys(false);
  TComponent* list[] = {ds};
  const std::string text = WriteSettings(list);
  auto loaded = LoadComponents(text);
  UnregisterClass(ComponentClass<TSQLiteDataSet>());
  ASSERT_EQ(loaded.size(), 1u);
  auto* back = dynamic_cast<TSQLiteDataSet*>(loaded[0].get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->DatabaseFile(), FPath);
  EXPECT_EQ(back->TableName(), "people");
  EXPECT_TRUE(back->CreateTable());
  EXPECT_EQ(back->Columns()->Text(), "id INTEGER PRIMARY KEY\r\nname TEXT\r\n");
  EXPECT_EQ(back->BulkCommitCount(), 1000);
  EXPECT_FALSE(back->ForeignKeys());
  back->Open();  // and it works
  EXPECT_EQ(back->FieldByName("id")->DataType(), ftLargeint);
}

// --- bulk runs, locks and durability ------------------------------------------------

TEST_F(SQLiteDataSetTest, BulkRunsCommitEveryGroupAndEverythingAtTheEnd) {
  Exec("CREATE TABLE t (a INTEGER)");
  auto* ds = Table("t");
  ds->Open();
  ds->SetBulkCommitCount(3);
  ds->BeginBulk();
  ds->BeginBulk();  // nested: only the outer pair counts
  for (int i = 1; i <= 7; ++i) ASSERT_TRUE(Add(ds, {{"a", std::to_string(i)}}));
  ds->EndBulk();
  // Another connection sees the committed groups only: 3 + 3, not the 7th.
  EXPECT_EQ(Rows("SELECT count(*) FROM t"), "6");
  ds->EndBulk();
  EXPECT_EQ(Rows("SELECT count(*) FROM t"), "7");
  ds->EndBulk();  // unmatched: nothing happens
}

TEST_F(SQLiteDataSetTest, ALockedDatabaseGivesAClearErrorAndWorksOnceReleased) {
  Exec("CREATE TABLE t (a INTEGER)");
  auto* holder = Table("t");
  holder->Open();
  holder->ExecSQL("BEGIN IMMEDIATE");

  auto* ds = Table("t");
  ds->SetBusyTimeout(50);
  ds->Open();
  try {
    ds->BeginBulk();
    FAIL() << "bulk run started";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "database is locked");
  }
  // Having waited a whole timeout once, writes fail at once while the lock
  // stays: with this timeout a write that waited would never finish.
  ds->SetBusyTimeout(std::numeric_limits<std::int32_t>::max());
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(Add(ds, {{"a", "1"}}));
    EXPECT_EQ(FLastError, "database is locked");
  }

  holder->ExecSQL("COMMIT");
  ds->BeginBulk();
  EXPECT_TRUE(Add(ds, {{"a", "2"}}));
  ds->EndBulk();
  EXPECT_EQ(Rows("SELECT group_concat(a) FROM t"), "2");
}

TEST_F(SQLiteDataSetTest, AHostTransactionIsUsedAsItIs) {
  Exec("CREATE TABLE t (a INTEGER)");
  auto* ds = Table("t");
  ds->Open();
  ds->ExecSQL("BEGIN");
  ds->SetBulkCommitCount(1);
  ds->BeginBulk();
  ASSERT_TRUE(Add(ds, {{"a", "1"}}));
  ASSERT_TRUE(Add(ds, {{"a", "2"}}));
  ds->EndBulk();
  EXPECT_EQ(Rows("SELECT count(*) FROM t"), "0");  // nothing committed behind the host's back
  ds->ExecSQL("COMMIT");
  EXPECT_EQ(Rows("SELECT count(*) FROM t"), "2");
}

TEST_F(SQLiteDataSetTest, AnImportCountsRefusedRecordsAndKeepsTheOthers) {
  Exec(
      "CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
      " born DATE, active BOOLEAN, paid MONEY DEFAULT 0)");
  const std::string input = FDir + "/people.txt";
  std::ofstream(input)
      << "1|Ann|3/4/1990|True|12.5\r\n"
         "2||5/6/1991|False|1\r\n"     // NOT NULL: an empty value leaves the field null
         "1|Bob|5/6/1991|False|2\r\n"  // UNIQUE id
         "3|Cy|7/8/1992|True|\r\n";
  auto* ds = Table("people");
  ds->SetBulkCommitCount(2);
  TCSVImport imp(nullptr);
  imp.SetDataSet(ds);
  imp.SetInputFile(input);
  EXPECT_EQ(imp.Execute(), 2);
  EXPECT_EQ(imp.ErrorRecords(), 2);
  EXPECT_EQ(Rows("SELECT id, name, born || '', active || '', paid || '' FROM people"),
            "1|Ann|1990-03-04|1|12.5;3|Cy|1992-07-08|1|0");
}

// A truncate commits the emptying only with a record stored after it, or
// at the end of a run none of whose records failed; otherwise the table
// keeps its rows. Each case loads table t (rows 1 and 2) with k < 100.
TEST_F(SQLiteDataSetTest, ATruncateEmptiesTheTableOnlyWithARecordStoredOrARunWithoutFailures) {
  struct {
    const char* Name;
    const char* Conflict;  // ROLLBACK: one transaction per record, a null undoes it
    std::vector<std::string> Keys;
    const char* Rows;
  } const cases[] = {
      {"every record refused", "", {"500", "600"}, "1,2"},
      {"refused, one transaction each", " NOT NULL ON CONFLICT ROLLBACK", {"", "500"}, "1,2"},
      {"a later group stores", "", {"500", "600", "7"}, "7"},
      {"a later record stores, one each", " NOT NULL ON CONFLICT ROLLBACK", {"", "500", "7"}, "7"},
      {"no records", "", {}, ""},
      {"no records, one transaction each", " NOT NULL ON CONFLICT ROLLBACK", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Exec("DROP TABLE IF EXISTS t; CREATE TABLE t (k INTEGER" + std::string(c.Conflict) +
         " CHECK (k < 100)); INSERT INTO t VALUES (1), (2)");
    auto* ds = Table("t");
    ds->SetLoadMode(lmTruncate);
    ds->SetBulkCommitCount(2);
    ds->Open();
    ds->BeginBulk();
    for (const std::string& k : c.Keys) Add(ds, {{"k", k}});
    ds->EndBulk();
    EXPECT_EQ(Rows("SELECT coalesce(group_concat(k), '') FROM t"), c.Rows);
    ds->Close();
  }
  // Through the import: records whose values do not convert never reach
  // the dataset, and leave the table as it was.
  Exec("INSERT INTO t VALUES (1), (2)");
  const std::string input = FDir + "/bad.txt";
  std::ofstream(input) << "x\r\ny\r\n";
  auto* ds = Table("t");
  ds->SetLoadMode(lmTruncate);
  TCSVImport imp(nullptr);
  imp.SetDataSet(ds);
  imp.SetInputFile(input);
  imp.SetValueErrors(veStrict);
  EXPECT_EQ(imp.Execute(), 0);
  EXPECT_EQ(imp.ErrorRecords(), 2);
  EXPECT_EQ(Rows("SELECT coalesce(group_concat(k), '') FROM t"), "1,2");
}

// A process killed in the middle of a bulk run leaves a sound database with
// whole groups only. The child posts two full groups and part of a third,
// large enough to spill into the database file, then waits to be killed.
TEST_F(SQLiteDataSetTest, AKilledImportLeavesOnlyWholeCommittedGroups) {
  Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, pad TEXT)");
  constexpr int kGroup = 2000;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    int status = 2;
    try {
      TSQLiteDataSet ds(nullptr);
      ds.SetDatabaseFile(FPath);
      ds.SetTableName("t");
      ds.SetBulkCommitCount(kGroup);
      ds.Open();
      ds.ExecSQL("PRAGMA cache_size = 10");  // dirty pages reach the file early
      ds.BeginBulk();
      const std::string pad(200, 'x');
      for (int i = 0; i < 2 * kGroup + kGroup / 2; ++i) {
        ds.Append();
        ds.FieldByName("pad")->SetAsString(pad);
        ds.Post();
      }
      // Killed here, with the dataset and its open group still alive.
      if (write(ready[1], "r", 1) == 1) pause();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "the child failed before it was killed: %s\n", e.what());
      status = 1;
    }
    _exit(status);
  }
  close(ready[1]);
  char byte = 0;
  const bool childReady = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(childReady) << "the child failed before it was killed";
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(fs::exists(FPath + "-journal"));  // the interrupted group's journal

  EXPECT_EQ(Rows("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(Rows("SELECT count(*), min(id), max(id) FROM t"),
            std::to_string(2 * kGroup) + "|1|" + std::to_string(2 * kGroup));
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// --- numbers kept exactly -------------------------------------------------

TEST(SQLiteNumbers, MoneyAndDecimalEdgesFailOrComeBackExact) {
  test::TTempDir dir;
  for (const TValueErrors mode : {veStrict, veLenient}) {
    SCOPED_TRACE(mode == veStrict ? "strict" : "lenient");
    TSQLiteDataSet table(nullptr);
    table.SetDatabaseFile(dir.Path(mode == veStrict ? "strict.db" : "lenient.db"));
    table.ExecSQL(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, m MONEY, d DECIMAL(10,2), r REAL, n NUMERIC,"
        " x DECIMAL_TEXT, w DECIMAL_TEXT(24,4))");
    table.SetTableName("t");
    test::CheckNumberEdges(table, mode, dir);
  }
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Every double goes out as its shortest text, stored and computed alike, the
// computed one bare as a number: Python's repr of each value goes in under
// strict values and comes out with the same digits, and reads back as the
// same double.
TEST(SQLiteNumbers, DoublesAreWrittenAsTheirShortestTextAndReadBack) {
  test::TTempDir dir;
  const std::vector<double> values = test::SampleDoubles();
  const std::vector<std::string> reprs = test::PythonTexts(values, false, dir);
  ASSERT_EQ(reprs.size(), values.size());
  {
    TSQLiteDataSet table(nullptr);
    table.SetDatabaseFile(dir.Path("d.db"));
    table.ExecSQL("CREATE TABLE t (id INTEGER PRIMARY KEY, r REAL)");
    table.SetTableName("t");
    std::string csv;
    for (std::size_t i = 0; i < values.size(); ++i)
      csv += std::to_string(i) + "," + reprs[i] + "\n";
    EXPECT_EQ(test::ImportStrict(table, csv, dir), std::vector<std::string>());
  }
  TSQLiteDataSet query(nullptr);
  query.SetDatabaseFile(dir.Path("d.db"));
  query.SetQuery("SELECT r, r * 1, id * 2 FROM t ORDER BY id");
  const std::vector<std::string> lines = test::ExportedLines(query, dir);
  ASSERT_EQ(lines.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(reprs[i]);
    const std::size_t comma = lines[i].find(',');
    const std::string text = lines[i].substr(0, comma);
    EXPECT_EQ(lines[i], text + "," + text + "," + std::to_string(2 * i));
    // A REAL column keeps whole values as integers, which have no negative
    // zero: SQLite holds -0.0 as 0.
    EXPECT_EQ(test::CanonicalNumber(text), values[i] == 0 ? "0" : test::CanonicalNumber(reprs[i]));
    EXPECT_EQ(StrToFloat(text), values[i]) << text;
  }
}

}  // namespace
}  // namespace korvane
