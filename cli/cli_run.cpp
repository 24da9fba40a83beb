// korvane run: the components a settings file stores, loaded by property
// name and run in file order, each as its own subcommand would run it.
#include "cli/cli_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_database.h"
#include "cli/cli_rejects.h"
#include "cli/cli_util.h"
#include "io/byte_sink.h"
#include "text/formats.h"
#include "core/published.h"
#include "core/settings.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"

namespace korvane::cli {
namespace {

// The components of a settings file, and those of them that run.
struct TStoredRun {
  std::vector<std::unique_ptr<TComponent>> Components;
  std::vector<TComponent*> Runnable;

  TComponent* Find(std::string_view name) const {
    TComponent* found = nullptr;
    for (const auto& c : Components) {
      if (SameText(c->Name(), name)) found = c.get();
    }
    return found;
  }
};

// --set Component.Property=Value, or Property=Value when there is one
// component to run.
void ApplyStoredSet(const TStoredRun& run, const std::string& s, const TRunOptions& o,
                    const TComponentLookup& lookup) {
  std::size_t eq = s.find('=');
  std::size_t dot = s.find('.');
  TComponent* target = nullptr;
  std::string assignment = s;
  if (dot != std::string::npos && (eq == std::string::npos || dot < eq)) {
    std::string name = s.substr(0, dot);
    target = run.Find(name);
    if (target == nullptr) {
      throw EUsageError("--set " + s + ": '" + o.SettingsFile + "' has no component '" + name +
                        "'");
    }
    assignment = s.substr(dot + 1);
  } else if (run.Runnable.size() == 1) {
    target = run.Runnable.front();
  } else {
    throw EUsageError("--set " + s + ": '" + o.SettingsFile +
                      "' holds several components: write --set Component.Name=Value");
  }
  TComponentLookup fileLookup = [&](std::string_view name) -> TComponent* {
    for (const auto& c : run.Components) {
      if (SameText(c->Name(), name)) return c.get();
    }
    return lookup(name);
  };
  ApplySet(*target, assignment, fileLookup, target->Name() + ".");
}

// Opens a stored component's dataset, when it is not open, as a usage error
// naming the component when it cannot be.
void OpenStoredDataSet(TDataSet& ds, const std::string& name) {
  if (ds.Active()) return;
  try {
    ds.Open();
  } catch (const Exception& e) {
    throw EUsageError(name + ": " + e.Message());
  }
}

// A stored import's table must exist unless the dataset creates it.
// Whether the run makes it (its dataset, opened, creates it).
bool CheckStoredImportTable(TCSVImport& import, const std::string& name) {
  auto sq = AsDatabaseTable(import.DataSet());
  if (!sq || sq->DataSet().Active() || !sq->Query().empty()) return false;
  if (!sq->Exists()) return sq->CreateTable();
  bool exists = false;
  try {
    exists = sq->TableExists(sq->TableName());
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  if (sq->CreateTable()) return !exists;
  if (!exists) {
    throw EUsageError(name + ": table '" + sq->TableName() + "' does not exist in '" +
                      sq->Location() + "' (set CreateTable and Columns on the dataset to make it)");
  }
  return false;
}

// Runs a stored import, its failed records handled as failed asks (none:
// as a plain run); its outcome goes to results. The run's result.
std::int32_t RunStoredImport(TSession& session, TCSVImport& import, const TFailedRecords* failed,
                             const TRunOptions& o, json& results) {
  const std::string& name = import.Name();
  if (o.Progress) import.SetShowProgress(true);
  CheckInputFile(import.InputFile());
  if (import.DataSet() == nullptr) {
    throw EUsageError(name +
                      ": no DataSet to import into (set DataSet in the file, or give "
                      "--db and --table)");
  }
  const bool madeTable = CheckStoredImportTable(import, name);
  OpenStoredDataSet(*import.DataSet(), name);
  const bool atomic = failed != nullptr && failed->Atomic();
  const std::unique_ptr<TDatabaseTable> table = AsDatabaseTable(import.DataSet());
  if (atomic && table == nullptr) {
    throw EUsageError(name + ": Atomic needs a database table to import into");
  }
  session.Wire(import, name);
  TRejectReport::TOptions rejects = failed != nullptr
                                        ? TRejectReport::TOptions::Of(*failed, import.InputFile())
                                        : TRejectReport::TOptions{};
  rejects.FromSettings = true;
  TRejectReport report(rejects);
  report.Attach(import);
  std::optional<TAtomicRun> transaction;
  if (atomic) transaction.emplace(*table, true);
  TImportOutcome outcome = ExecuteImport(session, import, report, name + ": ", nullptr, atomic);
  const bool kept = !transaction || EndAtomicRun(session, *transaction, import, outcome.Result);
  SayInterrupted(session, import, kept);
  json r = ImportJson(import, outcome, report);
  if (!kept) {
    for (const char* count : {"stored", "inserted", "updated", "skipped"}) r[count] = 0;
  }
  if (table != nullptr) {
    SayLoadCounts(session, *table, r, import.ErrorRecords(),
                  kept && ImportRanThrough(import, outcome.Result), name + ": ", madeTable);
  }
  r["component"] = JsonText(name);
  results.push_back(std::move(r));
  return outcome.Result;
}

// Runs a stored export; its outcome goes to results. The run's exit status.
int RunStoredExport(TSession& session, TCSVExport& exporter, const TRunOptions& o,
                             json& results) {
  const std::string& name = exporter.Name();
  if (o.Progress) exporter.SetShowProgress(true);
  const std::string target = exporter.OutputFile();
  if (target.empty()) throw EUsageError(name + ": no OutputFile to write");
  if (exporter.DataSet() == nullptr) throw EUsageError(name + ": no DataSet to export");
  OpenStoredDataSet(*exporter.DataSet(), name);
  const TCompression compression = exporter.Compression();
  exporter.SetCompression(ExportCompression("", compression, target));
  const TWriteMode writeMode = exporter.WriteMode();
  exporter.SetWriteMode(wmInPlace);  // the command replaces the target itself
  const std::unique_ptr<TReplacementFile> output = OpenReplacement(target);
  exporter.SetOutputFile(output->WritePath());
  session.Wire(exporter, name);
  const TExportOutcome outcome = ExecuteExport(session, exporter, *output, target, name + ": ");
  exporter.SetOutputFile(target);
  exporter.SetWriteMode(writeMode);
  exporter.SetCompression(compression);
  json r = ExportJson(exporter, outcome);
  r["component"] = JsonText(name);
  results.push_back(std::move(r));
  return ExportExitFor(outcome);
}

}  // namespace

int RunSettings(TRunOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);

  // A dataset from the options, which the file's components can name.
  TComponent root(nullptr);
  if (!o.Database.empty() || !o.Table.empty() || !o.Query.empty()) {
    CreateOptionsTable(root, o.Database, o.Table, o.Query, "Query")->RequireLocation();
  }
  const TComponentLookup lookup = OwnedComponents(root);

  TStoredRun run;
  try {
    run.Components = LoadComponentsFromFile(o.SettingsFile, lookup);
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  // What each import's failed records ask, one at most for an import.
  std::vector<const TFailedRecords*> failures;
  for (auto& c : run.Components) {
    const auto* failed = dynamic_cast<const TFailedRecords*>(c.get());
    if (failed == nullptr) continue;
    if (failed->Import() == nullptr) {
      throw EUsageError("'" + o.SettingsFile + "': TFailedRecords '" + failed->Name() +
                        "' names no Import");
    }
    for (const TFailedRecords* other : failures) {
      if (other->Import() == failed->Import()) {
        throw EUsageError("'" + o.SettingsFile + "' holds two TFailedRecords of import '" +
                          failed->Import()->Name() + "': keep one");
      }
    }
    failures.push_back(failed);
  }
  const auto failedOf = [&](const TCSVImport& import) -> const TFailedRecords* {
    for (const TFailedRecords* failed : failures) {
      if (failed->Import() == &import) return failed;
    }
    return nullptr;
  };
  for (auto& c : run.Components) {
    // The options' format settings and --utc go before the components' own.
    if (auto* import = dynamic_cast<TCSVImport*>(c.get())) {
      ChooseFormats(*import, o.Format);
      run.Runnable.push_back(c.get());
    } else if (auto* exporter = dynamic_cast<TCSVExport*>(c.get())) {
      ChooseFormats(*exporter, o.Format);
      run.Runnable.push_back(c.get());
    } else if (auto table = AsDatabaseTable(dynamic_cast<TDataSet*>(c.get()));
               table && o.Format.Utc) {
      table->SetUtcTimes(true);
    }
  }
  if (run.Runnable.empty()) {
    throw EUsageError("'" + o.SettingsFile + "' holds no TCSVImport or TCSVExport to run");
  }
  for (const std::string& s : o.Sets) ApplyStoredSet(run, s, o, lookup);

  json results = json::array();
  int status = kExitOk;
  for (TComponent* c : run.Runnable) {
    if (auto* import = dynamic_cast<TCSVImport*>(c)) {
      const std::int32_t result = RunStoredImport(session, *import, failedOf(*import), o, results);
      const int importStatus = ImportExitFor(*import, result);
      if (result < 0) {
        status = importStatus;
        break;
      }
      status = std::max(status, importStatus);
    } else if (auto* exporter = dynamic_cast<TCSVExport*>(c)) {
      const int exportStatus = RunStoredExport(session, *exporter, o, results);
      if (exportStatus == kExitFailed) {
        status = kExitFailed;
        break;
      }
      status = std::max(status, exportStatus);
    }
  }
  session.PrintJson({{"components", results}});
  return status;
}

CLI::App* AddRunCommand(CLI::App& app, TRunOptions& ro) {
  CLI::App* run = app.add_subcommand(
      "run", "Run the import and export components stored in a settings file, in file order");
  run->add_option("SETTINGS-FILE", ro.SettingsFile,
                  "The settings file (see docs/settings-format.md)")
      ->required();
  run->add_option("--db", ro.Database,
                  "Also supply a dataset (a SQLite file or a postgresql:// URI), named after "
                  "--table (or \"Query\"), that the file's DataSet properties can name")
      ->type_name("FILE|URI");
  run->add_option("--table", ro.Table, "The supplied dataset's table")->type_name("NAME");
  run->add_option("--query", ro.Query, "The supplied dataset's query")->type_name("SQL");
  AddRunSwitches(run, ro);
  run->footer(
      "--set takes Component.Name=Value (or Name=Value when the file holds one component to "
      "run).\n" +
      std::string(kExitText));
  return run;
}

}  // namespace korvane::cli
