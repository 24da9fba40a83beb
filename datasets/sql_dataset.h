// What the datasets over an SQL database share: the source (a table or one
// read-only query) and how it is opened.
#pragma once

#include "core/api.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/classes.h"
#include "data/db.h"
#include "core/published.h"

namespace korvane {

// How the records a dataset stores meet the rows its table holds already:
//   lmAppend    every record is a new row (a row the table refuses, as a
//               duplicate key, fails its record)
//   lmTruncate  the table is emptied when the outermost bulk run starts, in
//               the transaction of its first group (or of the host's own
//               transaction, which the host commits or not): the emptying
//               is committed only with a record stored after it. A group
//               that stores none is rolled back with the emptying, which
//               the next group does again. A bulk run that stores nothing
//               empties the table at EndBulk when none of its posts failed,
//               and leaves it as it was when one did or when it is
//               abandoned (AbandonBulk). Outside a bulk run nothing is
//               emptied
//   lmReplace   a record whose key is in the table replaces that row: every
//               column takes the record's value, a column the record leaves
//               null what a new row would hold (its default, else null);
//               key, generated and auto-increment columns keep theirs unless
//               the record sets them
//   lmUpsert    a record whose key is in the table updates that row in the
//               columns the record sets (is not null in); the others keep
//               their values
//   lmSkip      a record whose key is in the table is left out, the row as
//               it was, and counted as skipped
// The keyed modes (lmReplace, lmUpsert, lmSkip) match rows by KeyFields. A
// record holding the same key as an earlier record of the same load meets
// that record's row: under lmReplace and lmUpsert the last one wins, under
// lmSkip the first.
enum TLoadMode : std::uint8_t { lmAppend, lmTruncate, lmReplace, lmUpsert, lmSkip };
inline constexpr std::array<std::string_view, 5> kLoadModeNames = {
    "lmAppend", "lmTruncate", "lmReplace", "lmUpsert", "lmSkip"};
inline bool IsKeyedLoad(TLoadMode mode) { return mode >= lmReplace; }

// What the records stored since the dataset was opened did to its table:
// new rows, rows replaced or updated, records left out for a key the table
// held. Records stored in a transaction that was rolled back are not
// counted (those of a host's own transaction are, until the host says).
struct KORVANE_API TLoadCounts {
  std::int64_t Inserted = 0;
  std::int64_t Updated = 0;
  std::int64_t Skipped = 0;
};

// TSQLDataSet holds the settings of a dataset that shows one table of a
// database, or the result of one read-only query: exactly one of TableName
// and Query is set. It owns the settings only; the derived dataset owns the
// connection and reads and writes the records.
class KORVANE_API TSQLDataSet : public TDataSet {
 public:
  explicit TSQLDataSet(TComponent* owner);
  ~TSQLDataSet() override;

  // Published properties. TableName, Query, ReadOnly and CreateTable cannot
  // change while the dataset is open (EDatabaseError).
  //
  // The table to show (each database says how it spells names).
  const std::string& TableName() const;
  void SetTableName(const std::string& value);
  // One SQL statement that only reads; its result is shown read-only, in the
  // statement's own order.
  const std::string& Query() const;
  void SetQuery(const std::string& value);
  // Opens the source read-only: CanModify is false.
  bool ReadOnly() const;
  void SetReadOnly(bool value);
  // When the table does not exist, Open creates it from Columns.
  bool CreateTable() const;
  void SetCreateTable(bool value);
  // Column definitions for CreateTable, one per item, in SQL ("id INTEGER
  // PRIMARY KEY", "born DATE", "name VARCHAR(40) NOT NULL"); each dataset's
  // ColumnDefinition builds one from a field definition. Read at Open only.
  TStrings* Columns() const;
  void SetColumns(const TStrings* value);
  // Records per transaction between BeginBulk and EndBulk (at least 1).
  std::int32_t BulkCommitCount() const;
  void SetBulkCommitCount(std::int32_t value);
  // How stored records meet existing rows (see TLoadMode); lmAppend
  // initially.
  TLoadMode LoadMode() const;
  void SetLoadMode(TLoadMode value);
  // The columns that match a record to a row under a keyed LoadMode,
  // separated by commas ("id" or "region, code"; a name holding a comma in
  // double quotes, as SplitNames reads them); empty (initially) takes
  // the table's primary key, else its only unique key. Open raises
  // EDatabaseError for a keyed LoadMode when there is no such key, when a
  // name is not a column, or when no primary or unique key of the table is
  // made of exactly these columns.
  const std::string& KeyFields() const;
  void SetKeyFields(const std::string& value);

  // Open: the fields of the key a keyed LoadMode matches by, in key order
  // (empty for the other modes).
  const std::vector<TField*>& KeyFieldList() const;
  // What the records stored since Open did (see TLoadCounts). Under
  // lmAppend and lmTruncate every record stored is counted inserted.
  virtual TLoadCounts LoadCounts() const { return {}; }

  // Closed: whether Open would give a dataset that can be modified as far as
  // the settings tell (not ReadOnly, not a query).
  bool CanModify() const override;

 protected:
  // Raises EDatabaseError, naming the property, while the dataset is open.
  void CheckInactive(const char* property) const;
  const TStringList& ColumnList() const;
  // Raises EDatabaseError unless exactly one of TableName and Query is set.
  void CheckSource() const;
  // Called after ReadOnly changed, for a connection opened in one mode.
  virtual void ReadOnlyChanged() {}
  // At Open, for a keyed LoadMode: picks the key from the table's primary
  // key and unique keys (column names as the table spells them, each key in
  // its order) and KeyFields, filling KeyFieldList; raises EDatabaseError
  // when there is none to be had. Clears KeyFieldList otherwise.
  void ChooseKey(const std::vector<std::string>& primaryKey,
                 const std::vector<std::vector<std::string>>& uniqueKeys);
  // Empties KeyFieldList, whose fields go when the dataset closes.
  void ForgetKey();
  // Raises EDatabaseError when a keyed load's record leaves a key field
  // null that the table would not fill in itself (autoIncrement tells, by
  // field index, which fields the table fills).
  void CheckKeyValues(const TFieldData* record, const std::vector<bool>& autoIncrement) const;

 private:
  struct KORVANE_LOCAL TProps;

  // The properties' values and the key chosen at Open, kept apart so that a
  // new property changes no layout of the datasets' classes.
  std::unique_ptr<TProps> FProps;
};

// Adds TSQLDataSet's published source properties to a derived dataset's
// description: TableName, Query, ReadOnly, CreateTable and Columns, in that
// order. PublishSQLLoad adds LoadMode and KeyFields.
template <class D>
TClassBuilder<D>& PublishSQLSource(TClassBuilder<D>& builder) {
  return builder.String("TableName", &D::TableName, &D::SetTableName)
      .String("Query", &D::Query, &D::SetQuery)
      .Boolean("ReadOnly", &D::ReadOnly, &D::SetReadOnly)
      .Boolean("CreateTable", &D::CreateTable, &D::SetCreateTable)
      .StringList("Columns", &D::Columns);
}
template <class D>
TClassBuilder<D>& PublishSQLLoad(TClassBuilder<D>& builder) {
  return builder
      .template Enumeration<TLoadMode>("LoadMode", "TLoadMode", kLoadModeNames, &D::LoadMode,
                                       &D::SetLoadMode)
      .String("KeyFields", &D::KeyFields, &D::SetKeyFields);
}

}  // namespace korvane
