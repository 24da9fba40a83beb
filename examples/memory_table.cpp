// A CSV file into a table held in memory, each value going to the field its
// header names, with the progress window drawn as a line on stderr; then the
// rows read back and written out as CSV.
//
//   memory_table INPUT OUTPUT
//   memory_table people.csv names.csv
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <korvane/korvane.h>

using namespace korvane;

namespace {

// Draws a run's progress window as one line on stderr. The window owns its
// renderer and destroys it when the run ends.
class TProgressLine : public TFormRenderer {
 public:
  ~TProgressLine() override {
    if (!FShown.empty()) std::fputc('\n', stderr);
  }
  void VisibleChanged(TForm&) override {}
  // Comes after every record: drawn again only when the percentage moved.
  void Update(TForm& form) override {
    const auto* window = dynamic_cast<TProgressWindow*>(&form);
    if (window == nullptr || window->lbPercentage->Caption() == FShown) return;
    FShown = window->lbPercentage->Caption();
    std::fprintf(stderr, "\r%s: %s, %s", window->Caption().c_str(),
                 window->lbRecords->Caption().c_str(), FShown.c_str());
  }

 private:
  std::string FShown;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: memory_table INPUT OUTPUT\n");
    return 2;
  }
  // Every window made from here on (a run's progress window) draws so.
  const TScopedRendererFactory progress([](TForm&) { return std::make_unique<TProgressLine>(); });

  // Three of the file's columns, in an order of the table's own.
  TMemoryDataSet people(nullptr);
  people.AddFieldDef("name", ftString, 40);
  people.AddFieldDef("amount", ftCurrency);
  people.AddFieldDef("born", ftDate);

  TCSVImport import(nullptr);
  UseCommandDefaults(import);
  import.SetInputFile(std::filesystem::path(argv[1]));
  import.SetDataSet(&people);
  import.SetHeaderRecords(1);
  import.SetHeaderStored(true);
  import.SetColumnMatching(cmByHeaderName);  // each value to the field its header names,
  import.SetSkipUnknownColumns(true);        // the columns the table lacks left out
  import.ColumnFormats()->Add("born=m/d/yyyy");
  import.SetShowProgress(true);
  if (import.Execute() < 0) {
    std::fprintf(stderr, "import failed: %s\n", import.LastError().c_str());
    return 1;
  }

  // The rows, read back through the fields.
  for (people.First(); !people.Eof(); people.Next()) {
    std::printf("%s: %s\n", people.FieldByName("name")->AsString().c_str(),
                people.FieldByName("amount")->AsString().c_str());
  }

  TCSVExport exporter(nullptr);
  UseCommandDefaults(exporter);
  exporter.SetDataSet(&people);
  exporter.SetOutputFile(std::filesystem::path(argv[2]));
  exporter.SetHeaderOutput(true);
  exporter.SetHeaderFieldNames(true);
  exporter.SetShowProgress(true);
  const std::int32_t written = exporter.Execute();
  if (written < 0) {
    std::fprintf(stderr, "export failed: %s\n", exporter.LastError().c_str());
    return 1;
  }
  std::printf("%d rows in memory, %d written\n", people.RecordCount(), written);
  return import.ErrorRecords() == 0 ? 0 : 3;
}
