// korvane import: the table an import loads, made with --create when asked,
// opened and checked against the file (its key columns, read-only tables),
// and the load mode (--mode, --key) set on it.
#pragma once

#include <string>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/sniff_command.h"

namespace korvane::cli {

// --mode as a load mode.
TLoadMode ParseLoadMode(const std::string& mode);

// Whether --header (or --set HeaderRecords) says how many header records
// the input has; otherwise the run may find its header itself.
bool HeaderGiven(const TImportOptions& o);

// How the run found a header record that the options did not give.
enum class THeaderFound {
  None,
  Sniffed,       // the sample's header names the columns of the table the run makes
  NamesColumns,  // the first record's values name columns of the table (there, or from --columns)
};

// Points the import's dataset at the table, creating it when asked and it is
// missing (from --columns, else from the sniff), and opens it; when open is
// not set (--save only describes the run), a table that is there is opened
// for its columns alone and closed again, and none is made. Without
// HeaderGiven, the first record is set aside as the header when the sample
// calls it one and the run makes the table from the sample, or when its
// values name columns of the table (a regular file read as delimited; for a
// table made from --columns, one that the sample also calls a header).
THeaderFound PrepareImportTable(TDatabaseTable& ds, TCSVImport& import, const TImportOptions& o,
                                bool open, const TSniffResult* sniffed);

// What the run took for a header record that --header did not give (found),
// or, on a table that is there, that the first record the sample calls a
// header does not name its columns (it is imported as data).
void SayHeaderFound(TSession& session, THeaderFound found, const TSniffResult* sniffed,
                    const TCSVImport& import, const TImportOptions& o);

// Sets --mode and --key on the dataset.
void ApplyLoadMode(TSQLDataSet& ds, const TImportOptions& o);

}  // namespace korvane::cli
