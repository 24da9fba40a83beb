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

// Points the import's dataset at the table, creating it when asked and it is
// missing. Opens it only when open is set (--save only describes the run).
void PrepareImportTable(TDatabaseTable& ds, TCSVImport& import, const TImportOptions& o, bool open,
                        const TSniffResult* sniffed);

// Sets --mode and --key on the dataset.
void ApplyLoadMode(TSQLDataSet& ds, const TImportOptions& o);

}  // namespace korvane::cli
