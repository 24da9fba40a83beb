// A CSV file into a new table of a SQLite database, with the counts of the
// run and the reason for every record that failed.
//
//   csv_to_sqlite INPUT DATABASE   (examples/people.csv has the columns below)
//
// Exits 0 when every record is stored, 3 when some failed, 1 when the run
// failed.
#include <cstdio>
#include <filesystem>

#include <korvane/korvane.h>

using namespace korvane;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: csv_to_sqlite INPUT DATABASE\n");
    return 2;
  }
  // The components live on the stack here; the import only refers to the
  // table, which must outlive its runs.
  TSQLiteDataSet table(nullptr);
  table.SetDatabaseFile(std::filesystem::path(argv[2]));
  table.SetTableName("people");
  table.SetCreateTable(true);  // made from Columns when the database has no such table
  TStringList columns{"id INTEGER PRIMARY KEY", "name TEXT", "city TEXT",
                      "amount MONEY",           "born DATE", "active BOOLEAN"};
  table.SetColumns(&columns);

  TCSVImport import(nullptr);
  UseCommandDefaults(import);  // standard CSV, strict values, ISO 8601 dates
  import.SetInputFile(std::filesystem::path(argv[1]));
  import.SetDataSet(&table);
  // The header line names the columns, in any order.
  import.SetHeaderRecords(1);
  import.SetHeaderStored(true);
  import.SetColumnMatching(cmByHeaderName);
  // This file writes its dates month first.
  import.ColumnFormats()->Add("born=m/d/yyyy");
  import.SetOnRecordError([](TObject*, const TRecordError& e) {
    std::fprintf(stderr, "line %lld: %s\n", static_cast<long long>(e.Line), e.Message.c_str());
});

if (import.Execute() < 0) {
  std::fprintf(stderr, "import failed: %s\n", import.LastError().c_str());
  return 1;
}
std::printf("stored %lld, failed %d\n", static_cast<long long>(import.StoredRecords()),
            import.ErrorRecords());
return import.ErrorRecords() == 0 ? 0 : 3;
}
