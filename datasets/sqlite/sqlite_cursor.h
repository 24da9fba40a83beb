// The reading cursor of the SQLite dataset. Private to datasets/sqlite_*.cpp.
#pragma once

#include <cstdint>

#include "datasets/sqlite/sqlite_dataset.h"
#include "datasets/sqlite/sqlite_schema.h"

namespace korvane::sqlite_parts {

// TSQLiteCursor walks the source's SELECT and loads each row into the
// record's slots through TSQLiteCodec. It owns the SELECT (taken from the
// source at Open), the current row's rowid and the misfits found since
// First. While it is stepping it holds a read lock, so every write lets go
// of it first (LetGo), and Next resumes after the current rowid. A value
// that does not fit its field is shown as the text SQLite holds (the
// field's StoredText) and counted in Misfits. The dataset and the source
// must outlive it; one thread at a time.
class TSQLiteCursor {
 public:
  TSQLiteCursor(const TDataSet& dataSet, const TSQLiteSource& source)
      : FDataSet(dataSet), FSource(source) {}

  // Takes the source's SELECT; Forget lets go of it.
  void Start(TStmt select) { FSelect = std::move(select); }
  void Forget() noexcept;

  // Loads the first row, or the row after the current one, into slots;
  // false when there is none. Raises EDatabaseError when SQLite fails.
  bool First(TFieldData* slots);
  bool Next(TFieldData* slots);
  // Ends the read (and its lock) without moving.
  void LetGo() noexcept {
    if (FHeld) {
      sqlite3_reset(FSelect.get());
      FHeld = false;
    }
  }

  // The record just inserted is the current one (rowid), or there is none
  // (a table without rowid).
  void SetCurrent(std::int64_t rowid) {
    FCurrentRowid = rowid;
    FHaveCurrent = true;
    FDone = false;
  }
  void ClearCurrent() { FHaveCurrent = false; }
  // An update moved the current record to another rowid.
  void MoveCurrent(std::int64_t rowid) { FCurrentRowid = rowid; }
  bool HaveCurrent() const { return FHaveCurrent; }
  std::int64_t CurrentRowid() const { return FCurrentRowid; }

  const TSQLiteMisfits& Misfits() const { return FMisfits; }

 private:
  bool Step(TFieldData* slots);
  void LoadRow(TFieldData* slots);
  void KeepAsStored(std::size_t index, sqlite3_value* v, TFieldData& slot);

  const TDataSet& FDataSet;
  const TSQLiteSource& FSource;
  TStmt FSelect;
  bool FHeld = false;
  bool FDone = false;
  std::int64_t FCurrentRowid = 0;
  bool FHaveCurrent = false;
  std::int64_t FRowsLoaded = 0;  // since the last First
  TSQLiteMisfits FMisfits;
};

}  // namespace korvane::sqlite_parts
