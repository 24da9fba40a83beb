// korvane import: the table an import loads (cli_import_table.h).
#include "cli/cli_import_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::cli {

TLoadMode ParseLoadMode(const std::string& mode) {
  static constexpr const char* kNames[] = {"append", "truncate", "replace", "upsert", "skip"};
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (mode == kNames[i]) return static_cast<TLoadMode>(i);
  }
  throw EUsageError("--mode '" + mode + "': give append, truncate, replace, upsert or skip");
}

namespace {

// The values of the input's first record (the header record with
// --header), split as the run will split them; nullptr for a blank record
// and for a file that holds none.
std::unique_ptr<TStringList> FirstRecordValues(TCSVImport& import) {
  if (!import.OpenInputFile()) {
    throw EUsageError(InputName(import.InputFile()) + " cannot be read" +
                      OpenFailureText(GetLastError()));
  }
  std::uint32_t bytes = 0;
  std::string first;
  import.ReadTextFileRecord(import.FileHandle(), bytes, first);
  import.CloseInputFile();
  if (bytes == 0) return nullptr;
  import.ResolveSeparators();
  return import.SplitDelimitedFields(first);
}

// A dataset's message about its LoadMode and KeyFields in the words of the
// options that set them.
std::string InOptionWords(std::string message, const TImportOptions& o) {
  const TLoadMode mode = ParseLoadMode(o.Mode);
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{std::string(kLoadModeNames[mode]), "--mode " + o.Mode},
        {"name the key columns in KeyFields", "name the key columns with --key COL,..."},
        {"KeyFields", "--key"}}) {
    for (std::size_t at = message.find(from); at != std::string::npos;
         at = message.find(from, at + to.size())) {
      message.replace(at, from.size(), to);
    }
  }
  return message;
}

// Whether an item of a new table's definitions is a table constraint
// (PRIMARY KEY (a, b), UNIQUE (...), CHECK (...), FOREIGN KEY (...),
// CONSTRAINT name ..., PostgreSQL's EXCLUDE USING ...) rather than a column:
// a column of such a name would have to be quoted, as those words are
// reserved.
bool IsTableConstraint(std::string_view item) {
  const std::string upper = UpperCase(item);
  std::string_view rest = upper;
  // Takes word from the start of rest, and the blanks after it.
  const auto take = [&rest](std::string_view word) {
    if (!rest.starts_with(word)) return false;
    const std::size_t end = word.size();
    if (end < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[end])) != 0 ||
                              rest[end] == '_' || rest[end] == '$')) {
      return false;
    }
    rest.remove_prefix(end);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front())) != 0) {
      rest.remove_prefix(1);
    }
    return true;
  };
  if (take("CONSTRAINT") || take("UNIQUE") || take("CHECK")) return true;
  if (take("PRIMARY") || take("FOREIGN")) return take("KEY");
  return take("EXCLUDE") && (rest.starts_with('(') || take("USING"));
}

// A keyed --mode on a table the run creates: the key must be part of the
// new table. --key makes it a unique key; without it, the columns must
// declare one.
void AddNewTableKey(std::vector<std::string>& columns, const TImportOptions& o) {
  if (!IsKeyedLoad(ParseLoadMode(o.Mode))) return;
  if (!o.Key.empty()) {
    std::string key;
    for (const std::string& name : SplitNameList("--key", o.Key)) {
      std::string definition = ColumnDefinition(name, "", 1);
      key += (key.empty() ? "" : ", ") + definition.substr(0, definition.size() - 1);
    }
    columns.push_back("UNIQUE (" + key + ")");
    return;
  }
  for (const std::string& c : columns) {
    const std::string upper = UpperCase(c);
    if (upper.find("PRIMARY KEY") != std::string::npos ||
        upper.find("UNIQUE") != std::string::npos) {
      return;
    }
  }
  throw EUsageError("--mode " + o.Mode +
                    " matches rows by a key, and the new table would have none: name the key "
                    "columns with --key COL,..., or declare a PRIMARY KEY in --columns");
}

// The fields a record's values go to, as the run will match them: by the
// header record's names, by --fields in order, or by position (the first
// record's number of values); --fields / --exclude then choose among them.
std::vector<const TField*> FieldsGivenValues(TCSVImport& import, const TSQLDataSet& ds,
                                             const TStringList& first) {
  std::vector<const TField*> matched;
  TColumnMatching matching = import.ColumnMatching();
  if (matching == cmByHeaderName && import.HeaderRecords() == 0) matching = cmByPosition;
  if (matching == cmByFieldList && import.FieldListAction() == flaExclude) {
    // In order, the fields --exclude leaves.
    for (const TField* field : ds.Fields()) {
      if (static_cast<int>(matched.size()) < first.Count() &&
          FieldInFieldList(flaExclude, import.FieldList(), field->FieldName())) {
        matched.push_back(field);
      }
    }
    return matched;
  }
  if (matching == cmByHeaderName || matching == cmByFieldList) {
    const TStrings& names =
        matching == cmByHeaderName ? static_cast<const TStrings&>(first) : *import.FieldList();
    for (int i = 0; i < names.Count(); ++i) {
      const std::string name = Trim(names.Strings(i));
      const int f = matching == cmByHeaderName ? import.FieldNamedBy(name) : -1;
      const TField* field = f >= 0 ? ds.Fields()[static_cast<std::size_t>(f)] : ds.FindField(name);
      if (field != nullptr) matched.push_back(field);
    }
    if (matching == cmByFieldList) return matched;
  } else {
    for (const TField* field : ds.Fields()) {
      if (field->Index() < first.Count()) matched.push_back(field);
    }
  }
  std::vector<const TField*> fields;
  for (const TField* field : matched) {
    if (import.FieldListAction() == flaNone ||
        FieldInFieldList(import.FieldListAction(), import.FieldList(), field->FieldName())) {
      fields.push_back(field);
    }
  }
  return fields;
}

// A keyed --mode needs the key's values in every record: refuses, before
// any record is read, a file whose columns leave a key column out.
void CheckKeyInFile(TCSVImport& import, const TSQLDataSet& ds, const TImportOptions& o) {
  if (ds.KeyFieldList().empty() || import.ImportType() == impFixed) return;
  // Names in a header record after the first: the run matches them and
  // refuses what a key column misses, record by record.
  if (import.ColumnMatching() == cmByHeaderName && import.HeaderRecords() > 1) return;
  struct stat info {};
  // Standard input and pipes cannot be read twice: their records say it.
  if (::stat(import.InputFile().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  std::unique_ptr<TStringList> values = FirstRecordValues(import);
  const int count = values ? values->Count() : 0;
  if (count == 0) return;  // an empty file stores nothing
  const std::vector<const TField*> fields = FieldsGivenValues(import, ds, *values);
  std::string given;
  for (const TField* field : fields) given += (given.empty() ? "" : ", ") + field->FieldName();
  for (const TField* key : ds.KeyFieldList()) {
    if (std::find(fields.begin(), fields.end(), key) != fields.end()) continue;
    throw EUsageError("--mode " + o.Mode + " matches rows by key column '" + key->FieldName() +
                      "', but the file gives it no value (its records have " +
                      std::to_string(count) + (count == 1 ? " value" : " values") + ", for " +
                      (given.empty() ? std::string("no column") : given) +
                      "): add the column to the file, or name other key columns with --key");
  }
}

// Whether the first record of a regular file names columns of the table:
// each of its values a column's name as a header name is matched (blanks
// around it aside, case aside, or spelt otherwise under LooseColumnNames),
// no column twice. Such a record is the table's header, not its data.
bool FirstRecordNamesColumns(TCSVImport& import, const TSQLDataSet& ds) {
  struct stat info {};
  if (import.ImportType() != impDelimited || ::stat(import.InputFile().c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return false;
  }
  std::unique_ptr<TStringList> values = FirstRecordValues(import);
  if (!values || values->Count() == 0) return false;
  std::vector<const TField*> named;
  for (int i = 0; i < values->Count(); ++i) {
    const int f = import.FieldNamedBy(values->Strings(i));
    const TField* field = f >= 0 ? ds.Fields()[static_cast<std::size_t>(f)] : nullptr;
    if (field == nullptr || std::find(named.begin(), named.end(), field) != named.end()) {
      return false;
    }
    named.push_back(field);
  }
  return true;
}

// The sniffed columns a new table is made of: with --fields, the columns it
// names take the file's values in its order, so they are the table's, each
// of the type of the file's column it takes (a header record is set aside).
TSniffResult FieldsNamingColumns(const TSniffResult& sniffed, const TImportOptions& o,
                                 const TCSVImport& import) {
  TSniffResult result = sniffed;
  if (o.Fields.empty()) return result;
  const std::vector<std::string> names = SplitNameList("--fields", o.Fields);
  if (names.size() > result.Columns.size()) {
    throw EUsageError("--fields names " + std::to_string(names.size()) +
                      " columns for the new table, and the records of the " +
                      InputName(import.InputFile()) + " have " +
                      std::to_string(result.Columns.size()) +
                      " values at most: name one column for each value");
  }
  result.Columns.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) result.Columns[i].Name = names[i];
  return result;
}

// The column definitions for a new table when --columns is not given: the
// names of the import's first header record, each of type TEXT.
std::vector<std::string> ColumnsFromHeader(TCSVImport& import) {
  if (import.InputFile() == kStandardInputPath && import.ImportType() != impFixed) {
    // Its first bytes were sniffed for the columns, and gave none.
    throw EUsageError(
        "--create found no columns in the first bytes of standard input (it is empty, not "
        "text, or its first record is longer than the sample, which --sample all reads "
        "whole): give them with --columns");
  }
  if (import.HeaderRecords() < 1 || !import.HeaderStored()) {
    throw EUsageError(
        "--create needs the new table's columns: add --header to take the names from the "
        "first record, or give them with --columns \"id INTEGER, name TEXT, ...\"");
  }
  if (import.ImportType() == impFixed) {
    throw EUsageError(
        "--create with --fixed needs --columns, also with --widths: the new table's columns "
        "and types, as in --columns \"id INTEGER, name CHAR(30)\" (without --widths, each "
        "column is as wide as its type and size make it)");
  }
  if (IsNamedPipe(import.InputFile())) {
    // Its first record would be gone by the time the run reads it.
    throw EUsageError(
        "--create on a named pipe needs the new table's columns: give them with --columns");
  }
  std::unique_ptr<TStringList> names = FirstRecordValues(import);
  std::vector<std::string> columns;
  if (names) {
    for (int i = 0; i < names->Count(); ++i) {
      columns.push_back(TextColumnDefinition(names->Strings(i), i + 1));
    }
  }
  if (columns.empty()) {
    throw EUsageError("the first record of " + InputName(import.InputFile()) +
                      " holds no column names: give the columns with --columns");
  }
  return columns;
}

}  // namespace

bool HeaderGiven(const TImportOptions& o) {
  return o.HeaderOption->count() > 0 || SetsProperty(o.Sets, "HeaderRecords");
}

THeaderFound PrepareImportTable(TDatabaseTable& ds, TCSVImport& import, const TImportOptions& o,
                                bool open, const TSniffResult* sniffed) {
  THeaderFound found = THeaderFound::None;
  const auto setAsideFirstRecord = [&import, &found](THeaderFound how) {
    import.SetHeaderRecords(1);
    import.SetHeaderStored(true);
    found = how;
  };
  ds.RequireLocation();
  if (ds.TableName().empty()) throw EUsageError("give the table to import into with --table NAME");
  const bool dbExists = ds.Exists();
  if (!dbExists && !o.Create) {
    throw EUsageError("database '" + ds.Location() +
                      "' does not exist: check the path, or add --create to make a new database "
                      "with the table");
  }
  bool tableExists = false;
  if (dbExists) {
    try {
      tableExists = ds.TableExists(ds.TableName());
    } catch (const Exception& e) {
      throw EUsageError(e.Message());
    }
  }
  if (!tableExists) {
    if (!o.Create) {
      throw EUsageError("table '" + ds.TableName() + "' does not exist in '" + ds.Location() +
                        "': check the name, or add --create to make it (names from the header "
                        "record with --header, or --columns \"id INTEGER, name TEXT, ...\")");
    }
    std::vector<std::string> columns;
    const std::size_t maxColumns = std::min(ds.MaxColumns(), kMaxSniffedColumns);
    // Why a table takes no more columns: the database's limit, or the
    // sniff's own beyond it.
    const std::string limitNote =
        maxColumns == ds.MaxColumns() ? " (" + ds.MaxColumnsNote() + ")" : "";
    if (!o.Columns.empty()) {
      columns = SplitColumnDefinitions(o.Columns);
    } else if (sniffed != nullptr && (sniffed->Columns.size() > maxColumns ||
                                      sniffed->WidestRecord > kMaxSniffedColumns)) {
      throw EUsageError("--create: " + TooWideRecord(*sniffed, maxColumns) + limitNote +
                        ": check the separator (-s), or give the columns with --columns");
    } else if (sniffed != nullptr && !sniffed->Columns.empty()) {
      if (sniffed->Header && !HeaderGiven(o)) setAsideFirstRecord(THeaderFound::Sniffed);
      columns = InferredColumns(FieldsNamingColumns(*sniffed, o, import), !o.Format.DateFormat.empty(),
                                ds.ExactDecimalType());
    } else if (sniffed != nullptr && !sniffed->Damage.empty()) {
      // The import would fail on it the same way, once the table is made.
      throw EInOutError(InputName(import.InputFile()) + " cannot be read: " + sniffed->Damage);
    } else if (sniffed != nullptr && sniffed->Binary) {
      throw EUsageError("--create makes no table of " + InputName(import.InputFile()) +
                        ": it holds binary data (zero or control bytes), not text; give the "
                        "columns with --columns to import it all the same");
    } else if (sniffed != nullptr && sniffed->WholeFile && sniffed->Records == 0 &&
               import.InputFile() != kStandardInputPath) {
      throw EUsageError("--create finds no columns in " + InputName(import.InputFile()) +
                        ": it holds no records; give them with --columns");
    } else {
      columns = ColumnsFromHeader(import);
    }
    AddNewTableKey(columns, o);
    const auto columnCount = static_cast<std::size_t>(
        std::count_if(columns.begin(), columns.end(),
                      [](const std::string& c) { return !IsTableConstraint(c); }));
    if (columnCount > maxColumns) {
      throw EUsageError("--create: the new table would have " + std::to_string(columnCount) +
                        " columns, and an import takes " + std::to_string(maxColumns) +
                        " columns at most" + limitNote +
                        (o.Columns.empty() ? ": check the separator (-s), or give the columns "
                                             "with --columns"
                                           : ""));
    }
    TStringList list;
    for (std::string& c : columns) list.Add(std::move(c));
    ds.SetCreateWith(list);
  }
  // A run only saved makes no table; the columns of one that is there are
  // read all the same, for the header and key checks, and the table closed
  // again, so that the settings store the run as it would go.
  if (!open && !tableExists) return found;
  try {
    ds.DataSet().Open();
  } catch (const Exception& e) {
    if (!tableExists && !o.Columns.empty()) {
      throw EUsageError("--columns: the table cannot be made from the column definitions: " +
                        e.Message());
    }
    throw EUsageError(InOptionWords(e.Message(), o));
  }
  if (!ds.DataSet().CanModify()) throw EUsageError(ReadOnlyMessage(ds));
  // A table made from --columns: its names may be the c1, c2, ... of a
  // sniff's suggested command, so the sample must call the record a header
  // too.
  const bool sampleAgrees = tableExists || (sniffed != nullptr && sniffed->HeaderSniffed);
  if (found == THeaderFound::None && !HeaderGiven(o) && sampleAgrees &&
      FirstRecordNamesColumns(import, ds.SQLDataSet())) {
    setAsideFirstRecord(THeaderFound::NamesColumns);
    if (!o.ByPosition && o.Fields.empty() && !SetsProperty(o.Sets, "ColumnMatching")) {
      import.SetColumnMatching(cmByHeaderName);
    }
  }
  CheckKeyInFile(import, ds.SQLDataSet(), o);
  if (!open) ds.DataSet().Close();
  return found;
}

void ApplyLoadMode(TSQLDataSet& ds, const TImportOptions& o) {
  const TLoadMode mode = ParseLoadMode(o.Mode);
  if (!o.Key.empty() && !IsKeyedLoad(mode)) {
    throw EUsageError(
        "--key names the columns that match records to rows: give it with --mode "
        "replace, upsert or skip");
  }
  ds.SetLoadMode(mode);
  ds.SetKeyFields(o.Key.empty() ? "" : NameListText(SplitNameList("--key", o.Key)));
}

}  // namespace korvane::cli
