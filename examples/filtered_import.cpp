// An import that keeps only the records the program wants, and shows how far
// it has read.
//
//   filtered_import INPUT DATABASE CITY   (the records of people.csv whose
//                                           city is not CITY)
#include <cstdio>
#include <filesystem>
#include <string>

#include <korvane/korvane.h>

using namespace korvane;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: filtered_import INPUT DATABASE CITY\n");
    return 2;
  }
  const std::filesystem::path input = argv[1];
  const std::string skipped = argv[3];

  TSQLiteDataSet table(nullptr);
  table.SetDatabaseFile(std::filesystem::path(argv[2]));
  table.SetTableName("people");
  table.SetCreateTable(true);
  TStringList columns{"id INTEGER",   "name TEXT", "city TEXT",
                      "amount MONEY", "born DATE", "active BOOLEAN"};
  table.SetColumns(&columns);

  TCSVImport import(nullptr);
  UseCommandDefaults(import);
  import.SetInputFile(input);
  import.SetDataSet(&table);
  import.SetHeaderRecords(1);
  import.SetHeaderStored(true);
  import.SetColumnMatching(cmByHeaderName);
  import.ColumnFormats()->Add("born=m/d/yyyy");

  // Each record's values as split, before it is stored: a record whose
  // third value is the city named is left out, and counted apart.
  import.SetOnFilterRecord([&](TObject*, const TValueList& values, std::int64_t, bool& accept) {
    accept = !(values.Count() > 2 && values[2] == skipped);
  });
  // After each record read (stored, left out or failed): the bytes it took
  // in the file, the header line's not counted.
  const auto size = static_cast<long long>(std::filesystem::file_size(input));
  long long read = 0;
  import.SetOnImportRecord([&](TObject*, std::int32_t bytes) {
    read += bytes;
    std::fprintf(stderr, "\r%lld of %lld bytes read", read, size);
  });

  if (import.Execute() < 0) {
    std::fprintf(stderr, "\nimport failed: %s\n", import.LastError().c_str());
    return 1;
  }
  std::fprintf(stderr, "\n");
  std::printf("stored %lld, left out %lld, failed %d\n",
              static_cast<long long>(import.StoredRecords()),
              static_cast<long long>(import.FilteredRecords()), import.ErrorRecords());
  return import.ErrorRecords() == 0 ? 0 : 3;
}
