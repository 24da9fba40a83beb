#include "datasets/sqlite/sqlite_cursor.h"

#include <limits>
#include <string_view>

#include "datasets/sqlite/sqlite_codec.h"

namespace korvane::sqlite_parts {

void TSQLiteCursor::Forget() noexcept {
  FSelect.reset();
  FHeld = false;
  FDone = false;
  FHaveCurrent = false;
}

bool TSQLiteCursor::First(TFieldData* slots) {
  if (!FSelect) return false;
  sqlite3_reset(FSelect.get());
  FHeld = false;
  FDone = false;
  FHaveCurrent = false;
  FRowsLoaded = 0;
  FMisfits = TSQLiteMisfits{};
  if (FSource.Offset() == 1) {
    sqlite3_bind_int64(FSelect.get(), 1, std::numeric_limits<std::int64_t>::min());
  }
  return Step(slots);
}

bool TSQLiteCursor::Next(TFieldData* slots) {
  if (!FSelect || FDone) return false;
  if (!FHeld) {
    // The cursor was let go for a write: resume after the current record.
    if (FSource.Offset() == 0 || !FHaveCurrent ||
        FCurrentRowid == std::numeric_limits<std::int64_t>::max()) {
      return false;
    }
    sqlite3_reset(FSelect.get());
    sqlite3_bind_int64(FSelect.get(), 1, FCurrentRowid + 1);
  }
  return Step(slots);
}

bool TSQLiteCursor::Step(TFieldData* slots) {
  const int rc = sqlite3_step(FSelect.get());
  if (rc == SQLITE_ROW) {
    FHeld = true;
    LoadRow(slots);
    return true;
  }
  sqlite3_reset(FSelect.get());
  FHeld = false;
  if (rc == SQLITE_DONE) {
    FDone = true;
    return false;
  }
  Fail(sqlite3_errmsg(sqlite3_db_handle(FSelect.get())));
}

// Loads the row the cursor is on into the record's slots, reusing the
// string buffers they already hold. The values come through
// sqlite3_column_value once per column: the connection has no mutex, and
// the value calls skip the per-call checks of the column calls.
void TSQLiteCursor::LoadRow(TFieldData* slots) {
  sqlite3_stmt* s = FSelect.get();
  const int offset = FSource.Offset();
  ++FRowsLoaded;
  if (offset == 1) {
    FCurrentRowid = sqlite3_column_int64(s, 0);
    FHaveCurrent = true;
  }
  const std::vector<TSQLiteColumn>& cols = FSource.Cols;
  for (std::size_t i = 0; i < cols.size(); ++i) {
    sqlite3_value* v = sqlite3_column_value(s, static_cast<int>(i) + offset);
    TStorage storage = cols[i].Storage;
    // A money column whose field has its Currency flag cleared holds
    // floats, in full.
    if (storage == TStorage::Currency && !FDataSet.Fields(static_cast<int>(i))->Currency()) {
      storage = TStorage::Float;
    }
    if (!TSQLiteCodec::Load(storage, v, slots[i])) KeepAsStored(i, v, slots[i]);
  }
}

void TSQLiteCursor::KeepAsStored(std::size_t index, sqlite3_value* v, TFieldData& slot) {
  TSQLiteCodec::TDoubleText digits;
  const std::string_view text = TSQLiteCodec::HeldText(v, digits);
  TSQLiteCodec::StoreBytes(slot, text.data(), text.size());
  if (FMisfits.Count++ == 0) {
    FMisfits.Row = FSource.Offset() == 1 ? FCurrentRowid : FRowsLoaded;
    FMisfits.Column = FSource.Cols[index].Name;
    FMisfits.Text.assign(text);
  }
}

}  // namespace korvane::sqlite_parts
