#include "datasets/sqlite/sqlite_schema.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "datasets/sqlite/sqlite_dataset.h"
#include "core/sysutils.h"

namespace korvane {

namespace sqlite_parts {

TStorage StorageFor(TFieldType type) {
  if (IsBinaryType(type)) return TStorage::Blob;
  switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return TStorage::Integer;
    case ftBoolean:
      return TStorage::Boolean;
    case ftFloat:
    case ftBCD:
      return TStorage::Float;
    case ftCurrency:
      return TStorage::Currency;
    case ftDate:
      return TStorage::Date;
    case ftTime:
      return TStorage::Time;
    case ftDateTime:
      return TStorage::DateTime;
    case ftVariant:
      return TStorage::Variant;
    default:
      return TStorage::Text;
  }
}

namespace {

// One row of pragma_table_xinfo.
struct TColumnInfo {
  std::string Name;
  std::string Type;
  int Pk;
  int Hidden;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text ? text : "";
}

// Finds the table or view (by name, in any case); false when there is none.
bool LookUp(sqlite3* db, const std::string& name, TSQLiteSource& source, std::string& type,
            bool& withoutRowid, bool& strict) {
  TStmt stmt = Prepare(db,
                       "SELECT name, type, wr, strict FROM pragma_table_list WHERE schema='main' "
                       "AND name=?1 COLLATE NOCASE");
  sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) Fail(sqlite3_errmsg(db));
  source.Table = ColumnText(stmt.get(), 0);
  type = ColumnText(stmt.get(), 1);
  withoutRowid = sqlite3_column_int(stmt.get(), 2) != 0;
  strict = sqlite3_column_int(stmt.get(), 3) != 0;
  return true;
}

void CreateTable(sqlite3* db, const TSQLiteTableRequest& request) {
  if (!request.Create) {
    Fail("Table '" + request.Name + "' does not exist in '" + request.DatabaseFile + "'");
  }
  std::string columns;
  for (const std::string& item : request.Columns) {
    if (IsBlank(item)) continue;
    if (!columns.empty()) columns += ", ";
    columns += item;
  }
  if (columns.empty()) {
    Fail("Table '" + request.Name +
         "' does not exist and Columns is empty, so it cannot be created");
  }
  Exec(db, "CREATE TABLE " + QuoteIdent(request.Name) + " (" + columns + ")");
}

std::vector<TColumnInfo> ReadColumnInfo(sqlite3* db, const std::string& table) {
  std::vector<TColumnInfo> infos;
  TStmt stmt = Prepare(db, "SELECT name, type, pk, hidden FROM pragma_table_xinfo(?1, 'main')");
  sqlite3_bind_text(stmt.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    infos.push_back({ColumnText(stmt.get(), 0), ColumnText(stmt.get(), 1),
                     sqlite3_column_int(stmt.get(), 2), sqlite3_column_int(stmt.get(), 3)});
  }
  if (rc != SQLITE_DONE) Fail(sqlite3_errmsg(db));
  return infos;
}

// Whether a column of this declared type holds texts that SQLite turns into
// numbers: it gives the type numeric affinity (a type declared, none of the
// names of the other affinities in it), and the type does not name a number
// (NUM, NUMBER, as CREATE TABLE ... AS SELECT declares a copy of a numeric,
// money, date or boolean column), whose texts are meant as numbers.
bool HoldsTextsAsNumbers(std::string_view declared) {
  const std::string type = UpperCase(std::string(declared));
  for (const char* other :
       {"INT", "CHAR", "CLOB", "TEXT", "BLOB", "REAL", "FLOA", "DOUB", "NUM"}) {
    if (type.find(other) != std::string::npos) return false;
  }
  return type.find_first_not_of(" \t\r\n") != std::string::npos;
}

// The first of SQLite's names for the rowid that no column takes.
std::string RowidName(const std::vector<TColumnInfo>& infos) {
  for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
    bool taken = false;
    for (const TColumnInfo& info : infos) taken = taken || SameText(info.Name, candidate);
    if (!taken) return candidate;
  }
  return {};
}

// The columns a table shows (a virtual table's hidden ones left out), and
// the list of their quoted names for the SELECT; strict for a STRICT table.
std::string MapColumns(const std::vector<TColumnInfo>& infos, bool rowidTable, bool strict,
                       TSQLiteSource& source) {
  int pkColumns = 0;
  for (const TColumnInfo& info : infos) pkColumns += info.Pk > 0 ? 1 : 0;
  std::string select;
  for (const TColumnInfo& info : infos) {
    if (info.Hidden == 1) continue;
    const bool generated = info.Hidden >= 2;
    const bool rowidAlias =
        rowidTable && pkColumns == 1 && info.Pk == 1 && SameText(info.Type, "INTEGER");
    TSQLiteColumn column;
    column.Name = info.Name;
    column.Def = TSQLiteDataSet::FieldDefForColumn(info.Name, info.Type, rowidAlias);
    column.Def.ReadOnly = generated;
    column.Storage = StorageFor(column.Def.DataType);
    // A STRICT table's columns convert nothing but what their types say:
    // one of type ANY keeps any value as it was given.
    column.NumericText =
        !strict && column.Storage == TStorage::Text && HoldsTextsAsNumbers(info.Type);
    if (column.Storage == TStorage::Text &&
        (info.Type.find_first_not_of(" \t\r\n") == std::string::npos ||
         (strict && SameText(info.Type, "ANY")))) {
      column.Storage = TStorage::Untyped;
    }
    column.Insertable = !generated;
    column.AutoInc = rowidAlias;
    source.Cols.push_back(std::move(column));
    source.HasAutoInc = source.HasAutoInc || rowidAlias;
    select += select.empty() ? "" : ",";
    select += QuoteIdent(info.Name);
  }
  return select;
}

// The primary key (by its order in the key) and the unique keys made of
// plain columns.
void ReadKeys(sqlite3* db, const std::vector<TColumnInfo>& infos, TSQLiteSource& source) {
  std::vector<std::pair<int, std::string>> pk;
  for (const TColumnInfo& info : infos) {
    if (info.Pk > 0) pk.emplace_back(info.Pk, info.Name);
  }
  std::sort(pk.begin(), pk.end());
  for (auto& [order, name] : pk) source.PrimaryKey.push_back(std::move(name));
  TStmt indexes = Prepare(db,
                          "SELECT name FROM pragma_index_list(?1, 'main') WHERE \"unique\" AND "
                          "NOT partial AND origin <> 'pk'");
  sqlite3_bind_text(indexes.get(), 1, source.Table.data(), static_cast<int>(source.Table.size()),
                    SQLITE_STATIC);
  TStmt columns = Prepare(db, "SELECT cid, name FROM pragma_index_info(?1, 'main') ORDER BY seqno");
  int rc;
  while ((rc = sqlite3_step(indexes.get())) == SQLITE_ROW) {
    const std::string index = ColumnText(indexes.get(), 0);
    sqlite3_reset(columns.get());
    sqlite3_bind_text(columns.get(), 1, index.data(), static_cast<int>(index.size()),
                      SQLITE_TRANSIENT);
    std::vector<std::string> key;
    bool plain = true;
    int step;
    while ((step = sqlite3_step(columns.get())) == SQLITE_ROW) {
      plain = plain && sqlite3_column_int(columns.get(), 0) >= 0;
      key.push_back(ColumnText(columns.get(), 1));
    }
    if (step != SQLITE_DONE) Fail(sqlite3_errmsg(db));
    if (plain && !key.empty()) source.UniqueKeys.push_back(std::move(key));
  }
  if (rc != SQLITE_DONE) Fail(sqlite3_errmsg(db));
}

}  // namespace

TSQLiteSource TSQLiteSchema::MapTable(sqlite3* db, const TSQLiteTableRequest& request) {
  TSQLiteSource source;
  std::string type;
  bool withoutRowid = false;
  bool strict = false;
  if (!LookUp(db, request.Name, source, type, withoutRowid, strict)) {
    CreateTable(db, request);
    if (!LookUp(db, request.Name, source, type, withoutRowid, strict)) {
      Fail("Table '" + request.Name + "' was not created");
    }
  }
  const std::vector<TColumnInfo> infos = ReadColumnInfo(db, source.Table);
  const bool rowidTable = type == "table" && !withoutRowid;
  if (rowidTable) source.Rowid = RowidName(infos);
  const std::string select = MapColumns(infos, rowidTable, strict, source);
  if (type == "table") ReadKeys(db, infos, source);
  source.Writable = !request.ReadOnly && type != "view" && !sqlite3_db_readonly(db, "main");

  std::string sql = "SELECT ";
  if (!source.Rowid.empty()) sql += source.Rowid + ",";
  sql += select + " FROM " + QuoteIdent(source.Table);
  if (!source.Rowid.empty()) sql += " WHERE " + source.Rowid + ">=?1 ORDER BY " + source.Rowid;
  source.Select = Prepare(db, sql);
  return source;
}

TSQLiteSource TSQLiteSchema::MapQuery(sqlite3* db, const std::string& query) {
  TSQLiteSource source;
  source.IsQuery = true;
  const char* tail = nullptr;
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v3(db, query.c_str(), static_cast<int>(query.size()),
                              SQLITE_PREPARE_PERSISTENT, &raw, &tail);
  TStmt stmt(raw);
  if (rc != SQLITE_OK) Fail(std::string("Query failed: ") + sqlite3_errmsg(db));
  if (!stmt) Fail("Query holds no statement");
  {
    // Whatever follows the statement may only be blanks, ';' and comments.
    sqlite3_stmt* rest = nullptr;
    rc = sqlite3_prepare_v2(db, tail, -1, &rest, nullptr);
    TStmt extra(rest);
    if (rc != SQLITE_OK || extra) Fail("Query must be one statement");
  }
  if (!sqlite3_stmt_readonly(stmt.get())) Fail("Query must only read data");
  std::string text = sqlite3_sql(stmt.get());
  while (!text.empty() && (text.back() == ';' || static_cast<unsigned char>(text.back()) <= ' ')) {
    text.pop_back();
  }
  source.QueryText = text;

  const int count = sqlite3_column_count(stmt.get());
  if (count == 0) Fail("Query returns no columns");
  auto taken = [&source](const std::string& name) {
    return std::any_of(source.Cols.begin(), source.Cols.end(),
                       [&name](const TSQLiteColumn& c) { return SameText(c.Name, name); });
  };
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt.get(), i);
    const char* decl = sqlite3_column_decltype(stmt.get(), i);
    std::string fieldName = name ? name : "";
    if (fieldName.empty()) fieldName = "Column" + std::to_string(i + 1);
    // Result columns may repeat a name ("a.id, b.id"): keep field names unique.
    for (int n = 1; taken(fieldName); ++n) {
      fieldName = (name ? name : "Column") + std::string("_") + std::to_string(n);
    }
    TSQLiteColumn column;
    column.Name = fieldName;
    column.Def = TSQLiteDataSet::FieldDefForColumn(fieldName, decl ? decl : "", false);
    // A computed column declares no type: each value has the kind SQLite
    // holds it in, so that numbers are written as numbers.
    if (decl == nullptr || *decl == '\0') column.Def.DataType = ftVariant;
    column.Def.ReadOnly = true;
    column.Storage = StorageFor(column.Def.DataType);
    column.Insertable = false;
    source.Cols.push_back(std::move(column));
  }
  source.Writable = false;
  source.Select = std::move(stmt);
  return source;
}

}  // namespace sqlite_parts

TFieldDef TSQLiteDataSet::FieldDefForColumn(const std::string& name,
                                            const std::string& declaredType, bool rowidAlias) {
  TFieldDef def;
  def.Name = name;
  const std::string t = UpperCase(declaredType);
  auto has = [&t](std::string_view word) { return t.find(word) != std::string::npos; };
  // The first number in parentheses, or 0.
  auto length = [&t](int which) {
    std::size_t pos = t.find('(');
    for (int i = 0; pos != std::string::npos && i < which; ++i) pos = t.find(',', pos + 1);
    if (pos == std::string::npos) return 0;
    ++pos;
    while (pos < t.size() && t[pos] == ' ') ++pos;
    int value = 0;
    auto [end, ec] = std::from_chars(t.data() + pos, t.data() + t.size(), value);
    return ec == std::errc() && end != t.data() + pos ? value : 0;
  };
  if (has("BOOL")) {
    def.DataType = ftBoolean;
  } else if (has("DATETIME") || has("TIMESTAMP")) {
    def.DataType = ftDateTime;
  } else if (has("DATE")) {
    def.DataType = ftDate;
  } else if (has("TIME")) {
    def.DataType = ftTime;
  } else if (has("MONEY") || has("CURRENCY")) {
    def.DataType = ftCurrency;
    // Kept as a double: 15 significant digits always read back.
    def.Precision = 15;
  } else if (has("SMALLINT") || has("INT2")) {
    def.DataType = ftSmallint;
  } else if (has("MEDIUMINT") || has("INT4")) {
    def.DataType = ftInteger;
  } else if (rowidAlias || has("INT")) {
    // SQLite keeps every integer in 64 bits, the rowid too: a narrower field
    // would show a large value as null and lose it on the way out.
    def.DataType = ftLargeint;
  } else if (has("DECIMAL_TEXT")) {
    // TEXT affinity: SQLite keeps the digits as they are written, where a
    // NUMERIC column would turn a number of more than 15 digits into a
    // double. DECIMAL_TEXT(p,s) limits the digits as DECIMAL(p,s) does.
    def.DataType = ftDecimalText;
    def.Precision = std::max(0, length(0));
    if (def.Precision > 0) def.Scale = std::max(0, length(1));
  } else if (has("DECIMAL") || has("NUMERIC")) {
    def.DataType = ftBCD;
    def.Size = std::max(0, length(1));  // the scale of (precision, scale)
    // A declared precision makes the scale a limit the strict rules keep.
    def.Precision = std::max(0, length(0));
    if (def.Precision > 0) def.Scale = def.Size;
  } else if (has("REAL") || has("FLOA") || has("DOUB")) {
    def.DataType = ftFloat;
  } else if (has("CLOB") || has("MEMO")) {
    def.DataType = ftMemo;
  } else if (has("BLOB")) {
    def.DataType = ftBlob;
  } else {
    const int n = length(0);
    def.DataType = ftString;
    def.Size = n > 0 ? n : 255;
  }
  return def;
}

std::string TSQLiteDataSet::DeclaredType(TFieldType dataType, int size) {
  if (IsBinaryType(dataType)) return "BLOB";
  switch (dataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      return size > 0 ? "VARCHAR(" + std::to_string(size) + ")" : "TEXT";
    case ftSmallint:
      return "SMALLINT";
    case ftInteger:
      return "INT4";
    case ftWord:
    case ftAutoInc:
      return "INTEGER";
    case ftLargeint:
      return "BIGINT";
    case ftBoolean:
      return "BOOLEAN";
    case ftFloat:
      return "REAL";
    case ftCurrency:
      return "MONEY";
    case ftBCD:
      return size > 0 ? "DECIMAL(18," + std::to_string(size) + ")" : "NUMERIC";
    case ftDecimalText:
      return "DECIMAL_TEXT";
    case ftDate:
      return "DATE";
    case ftTime:
      return "TIME";
    case ftDateTime:
      return "DATETIME";
    // CLOB, not MEMO: a MEMO column would have numeric affinity and turn a
    // text like "007" into the number 7.
    case ftMemo:
    case ftFmtMemo:
      return "CLOB";
    default:
      return "TEXT";
  }
}

std::string TSQLiteDataSet::ColumnDefinition(const TFieldDef& def) {
  std::string out = sqlite_parts::QuoteIdent(def.Name) + " " + DeclaredType(def.DataType, def.Size);
  if (def.DataType == ftDecimalText && def.Precision > 0) {
    out.append("(")
        .append(std::to_string(def.Precision))
        .append(",")
        .append(std::to_string(std::max(def.Scale, 0)))
        .append(")");
  }
  if (def.DataType == ftAutoInc) {
    out += " PRIMARY KEY";
  } else if (def.Required) {
    out += " NOT NULL";
  }
  return out;
}

}  // namespace korvane
