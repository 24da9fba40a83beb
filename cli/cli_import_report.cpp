// korvane import: what a run says of its outcome: the --json object, the
// closing line of a keyed or truncate load, where an interrupted run goes
// on, and the header record the run found without --header.
#include <string>

#include "cli/cli_command.h"
#include "cli/cli_import_table.h"
#include "cli/interrupt.h"

namespace korvane::cli {

namespace {

json ListJson(const TStrings* list) {
  json items = json::array();
  if (list != nullptr) {
    for (int i = 0; i < list->Count(); ++i) items.push_back(JsonText(list->Strings(i)));
  }
  return items;
}

// The columns the values went to, in the values' order (null for a value
// skipped).
json ColumnsJson(const TCSVImport& import) {
  json items = json::array();
  for (const std::string& name : import.MatchedColumns()) {
    items.push_back(name.empty() ? json(nullptr) : json(JsonText(name)));
  }
  return items;
}

json RefusalsJson(const TCSVImport& import) {
  json items = json::array();
  for (const std::string& reason : import.RefusalMessages()) items.push_back(JsonText(reason));
  return items;
}

}  // namespace

TImportCounts ImportCounts(const TDataSet* ds, const TImportOutcome& outcome) {
  const auto* sql = dynamic_cast<const TSQLDataSet*>(ds);
  if (sql == nullptr || !IsKeyedLoad(sql->LoadMode())) return {outcome.Stored, 0, 0};
  const TLoadCounts c = sql->LoadCounts();
  return {c.Inserted, c.Updated, c.Skipped};
}

json ImportJson(const TCSVImport& import, const TImportOutcome& outcome,
                const TRejectReport& report) {
  const TImportCounts counts = ImportCounts(import.DataSet(), outcome);
  json j = {{"result", outcome.Result},
            {"stored", counts.Inserted + counts.Updated},
            {"inserted", counts.Inserted},
            {"updated", counts.Updated},
            {"skipped", counts.Skipped},
            {"errorRecords", import.ErrorRecords()},
            {"filteredRecords", import.FilteredRecords()},
            {"textAfterQuote", import.TextAfterQuoteRecords()},
            {"roundedValues", import.RoundedValues()},
            {"unconvertedValues", import.UnconvertedValues()},
            {"extraValueRecords", import.ExtraValueRecords()},
            {"cutValues", import.CutValues()},
            {"columns", ColumnsJson(import)},
            {"headerData", ListJson(import.HeaderData())},
            {"trailerData", ListJson(import.TrailerData())},
            {"refusals", RefusalsJson(import)}};
  report.AddJson(j);
  return j;
}

void SayInterrupted(TSession& session, const TCSVImport& import, bool kept) {
  if (!import.Interrupted() || TImportInterrupts::Signal() == 0) return;
  std::string text = import.Name() + ": interrupted; ";
  if (!kept) {
    session.Say(mtError, text + "nothing is stored");
    return;
  }
  text += std::to_string(import.StoredRecords()) + " records are stored";
  if (import.NextRecord() > 0) {
    // Emptying the table again would lose what this run stored.
    const auto* sql = dynamic_cast<const TSQLDataSet*>(import.DataSet());
    const bool emptied =
        sql != nullptr && sql->LoadMode() == lmTruncate && ImportRanThrough(import, -1);
    text += "; the first record not stored is record " + std::to_string(import.NextRecord()) +
            " (line " + std::to_string(import.NextRecordLine()) +
            "): " + (emptied ? "--mode append " : "") + "--start-record " +
            std::to_string(import.NextRecord()) + " loads the rest";
  } else {
    text += "; every record had been read";
  }
  session.Say(mtError, text);
}

void SayLoadCounts(TSession& session, TDatabaseTable& table, const json& j, std::int64_t failed,
                   bool emptied, const std::string& prefix, bool madeTable) {
  const std::int64_t inserted = j["inserted"].get<std::int64_t>();
  const std::int64_t updated = j["updated"].get<std::int64_t>();
  const std::int64_t skipped = j["skipped"].get<std::int64_t>();
  const TLoadMode mode = table.SQLDataSet().LoadMode();
  if (mode == lmAppend) return;
  session.Event(
      "LoadCounts",
      {{"inserted", inserted}, {"updated", updated}, {"skipped", skipped}, {"failed", failed}});
  std::string text = std::to_string(inserted) + " inserted";
  if (IsKeyedLoad(mode)) {
    text += ", " + std::to_string(updated) + (mode == lmReplace ? " replaced" : " updated") + ", " +
            std::to_string(skipped) + " skipped";
  } else if (emptied && !madeTable) {
    text = "table emptied, " + text;
  }
  text += ", " + std::to_string(failed) + " failed";
  if (mode == lmTruncate && !emptied && !madeTable) {
    text += "; nothing was stored, so the table was not emptied: it keeps its rows";
  }
  session.Say(mtInformation, prefix + text);
}

// What the run took for a header record that --header did not give, or, on
// a table that is there, the first record the sample calls a header that
// does not name its columns (it is imported as data).
void SayHeaderFound(TSession& session, THeaderFound found, const TSniffResult* sniffed,
                    const TCSVImport& import, const TImportOptions& o) {
  if (found == THeaderFound::Sniffed) {
    session.Say(mtInformation,
                "the first record is a header: its names are the new table's columns "
                "(--header 0 imports it as data)");
  } else if (found == THeaderFound::NamesColumns) {
    session.Say(mtInformation,
                "the first record names the table's columns: it is the header, not imported "
                "(--header 0 imports it as data)");
  } else if (sniffed != nullptr && sniffed->HeaderSniffed && import.HeaderRecords() == 0 &&
             !HeaderGiven(o)) {
    session.Say(mtInformation,
                "the first record looks like a header but does not name the table's columns: it "
                "is imported as data (--header leaves it out of the table)");
  }
}

}  // namespace korvane::cli
