// The rows of a query into a CSV file with a header line, dates and times in
// ISO 8601; a run that fails leaves an earlier file as it was.
//
//   query_to_csv DATABASE QUERY OUTPUT
//   query_to_csv people.db "SELECT name, born FROM people ORDER BY born" born.csv
#include <cstdio>
#include <filesystem>

#include <korvane/korvane.h>

using namespace korvane;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: query_to_csv DATABASE QUERY OUTPUT\n");
    return 2;
  }
  // The owner frees the components it owns when it goes.
  TComponent owner(nullptr);
  auto* rows = new TSQLiteDataSet(&owner);
  rows->SetDatabaseFile(std::filesystem::path(argv[1]));
  rows->SetQuery(argv[2]);
  rows->SetReadOnly(true);

  auto* exporter = new TCSVExport(&owner);
  UseCommandDefaults(*exporter);  // standard CSV, ISO 8601, the old file kept on failure
  exporter->SetDataSet(rows);
  exporter->SetOutputFile(std::filesystem::path(argv[3]));
  exporter->SetHeaderOutput(true);
  exporter->SetHeaderFieldNames(true);  // the header is the line of field names

  const std::int32_t written = exporter->Execute();
  if (written < 0) {
    std::fprintf(stderr, "export failed: %s\n", exporter->LastError().c_str());
    return 1;
  }
  std::printf("wrote %d records\n", written);
  return 0;
}
