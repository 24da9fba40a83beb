// What the datasets over an SQL database share: the source (a table or one
// read-only query) and how it is opened.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <memory>
#include <string>

#include "core/classes.h"
#include "data/db.h"
#include "core/published.h"

namespace korvane {

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
  const std::string& TableName() const { return FTableName; }
  void SetTableName(const std::string& value);
  // One SQL statement that only reads; its result is shown read-only, in the
  // statement's own order.
  const std::string& Query() const { return FQuery; }
  void SetQuery(const std::string& value);
  // Opens the source read-only: CanModify is false.
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value);
  // When the table does not exist, Open creates it from Columns.
  bool CreateTable() const { return FCreateTable; }
  void SetCreateTable(bool value);
  // Column definitions for CreateTable, one per item, in SQL ("id INTEGER
  // PRIMARY KEY", "born DATE", "name VARCHAR(40) NOT NULL"); each dataset's
  // ColumnDefinition builds one from a field definition. Read at Open only.
  TStrings* Columns() const { return FColumns.get(); }
  void SetColumns(const TStrings* value);
  // Records per transaction between BeginBulk and EndBulk (at least 1).
  std::int32_t BulkCommitCount() const { return FBulkCommitCount; }
  void SetBulkCommitCount(std::int32_t value) { FBulkCommitCount = value < 1 ? 1 : value; }

  // Closed: whether Open would give a dataset that can be modified as far as
  // the settings tell (not ReadOnly, not a query).
  bool CanModify() const override;

 protected:
  // Raises EDatabaseError, naming the property, while the dataset is open.
  void CheckInactive(const char* property) const;
  const TStringList& ColumnList() const { return *FColumns; }
  // Raises EDatabaseError unless exactly one of TableName and Query is set.
  void CheckSource() const;
  // Called after ReadOnly changed, for a connection opened in one mode.
  virtual void ReadOnlyChanged() {}

 private:
  std::string FTableName;
  std::string FQuery;
  bool FReadOnly = false;
  bool FCreateTable = false;
  std::unique_ptr<TStringList> FColumns;
  std::int32_t FBulkCommitCount = 500000;
};

// Adds TSQLDataSet's published source properties to a derived dataset's
// description: TableName, Query, ReadOnly, CreateTable and Columns, in that
// order.
template <class D>
TClassBuilder<D>& PublishSQLSource(TClassBuilder<D>& builder) {
  return builder.String("TableName", &D::TableName, &D::SetTableName)
      .String("Query", &D::Query, &D::SetQuery)
      .Boolean("ReadOnly", &D::ReadOnly, &D::SetReadOnly)
      .Boolean("CreateTable", &D::CreateTable, &D::SetCreateTable)
      .StringList("Columns", &D::Columns);
}

}  // namespace korvane
