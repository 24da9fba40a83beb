// The library in a few lines: imports examples/people.csv into a table of a
// new SQLite database, then exports the table to a tab-separated file.
//
//   library_example [INPUT [FOLDER]]   (defaults: examples/people.csv and .)
//
// examples/consumer/ builds it against an installed Korvane.
#include <cstdio>
#include <string>

#include <korvane/korvane.h>

using namespace korvane;

int main(int argc, char** argv) {
  const std::string input = argc > 1 ? argv[1] : "examples/people.csv";
  const std::string folder = argc > 2 ? argv[2] : ".";
  TComponent owner(nullptr);  // frees the three components below

  // The table, created from Columns if it does not exist yet.
  auto* table = new TSQLiteDataSet(&owner);
  table->SetDatabaseFile(folder + "/people.db");
  table->SetTableName("people");
  table->SetCreateTable(true);
  TStringList columns{"id INTEGER PRIMARY KEY", "name TEXT", "city TEXT",
                      "amount MONEY",           "born DATE", "active BOOLEAN"};
  table->SetColumns(&columns);

  // A CSV file with one header line, values in double quotes where needed.
  auto* import = new TCSVImport(&owner);
  import->SetInputFile(input);
  import->SetDataSet(table);
  import->SetFieldSeparator(fspComma);
  import->SetFieldDelimiter(fdlDouble);
  import->SetHeaderRecords(1);
  import->SetHeaderStored(true);
  const std::int32_t imported = import->Execute();  // records read less failed, or -1

  auto* exporter = new TCSVExport(&owner);
  exporter->SetDataSet(table);
  exporter->SetOutputFile(folder + "/people.txt");
  exporter->SetFieldSeparator(fspTab);
  exporter->SetRecordSeparator(rsLF);
  const std::int32_t exported = exporter->Execute();  // records written, or -1

  std::printf("imported %d records (%d refused), exported %d\n", imported, import->ErrorRecords(),
              exported);
  return imported > 0 && import->ErrorRecords() == 0 && exported == imported ? 0 : 1;
}
