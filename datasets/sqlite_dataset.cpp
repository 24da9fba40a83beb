#include "datasets/sqlite_dataset.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sysutils.h"

namespace korvane {

namespace {

struct TStmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalizer>;

struct TDbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using TDb = std::unique_ptr<sqlite3, TDbCloser>;

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

std::string QuoteIdent(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

TStmt Prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  TStmt stmt(raw);
  if (rc != SQLITE_OK) Fail(sqlite3_errmsg(db));
  return stmt;
}

// Runs a statement that returns no rows and makes it ready to run again.
int Run(sqlite3_stmt* stmt) {
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_ROW ? SQLITE_DONE : rc;
}

void Exec(sqlite3* db, const std::string& sql) {
  char* raw = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &raw);
  std::unique_ptr<char, decltype(&sqlite3_free)> error(raw, &sqlite3_free);
  if (rc != SQLITE_OK) Fail(error ? error.get() : sqlite3_errstr(rc));
}

std::int64_t QueryInt(sqlite3* db, const std::string& sql) {
  TStmt stmt = Prepare(db, sql);
  int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(stmt.get(), 0);
  if (rc != SQLITE_DONE) Fail(sqlite3_errmsg(db));
  return 0;
}

// How a column's values are bound and read.
enum class TStorage : std::uint8_t {
  Integer,
  Boolean,
  Float,
  Currency,
  Date,
  Time,
  DateTime,
  Text,
  Blob
};

TStorage StorageFor(TFieldType type) {
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
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return TStorage::Blob;
    default:
      return TStorage::Text;
  }
}

// ---------------------------------------------------------------------------
// Dates. A date-time value counts days from 1899-12-30 with the time of day
// as the fraction; before that day the fraction still counts forward from
// midnight (-1.25 is 1899-12-29 06:00). Calendar arithmetic is proleptic
// Gregorian on day numbers relative to 1970-01-01.

constexpr std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The calendar date of day z (days from 1970-01-01), by Neri and
// Schneider's shifted-year arithmetic: a few multiplications and shifts
// instead of divisions. Exact for every z from -12,000,000 to 1,000,000,000,
// far beyond the years 1 to 9999 that reach it.
void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  constexpr std::uint32_t kShift = 82;  // 400-year eras added to keep N unsigned
  constexpr std::uint32_t kK = 719468 + 146097 * kShift;
  constexpr std::uint32_t kL = 400 * kShift;
  const std::uint32_t n = static_cast<std::uint32_t>(z) + kK;
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146097;
  const std::uint32_t dayOfCentury = n1 % 146097 / 4;
  const std::uint64_t p2 = std::uint64_t{2939745} * (4 * dayOfCentury + 3);
  const auto yearOfCentury = static_cast<std::uint32_t>(p2 >> 32);
  const std::uint32_t dayOfYear = static_cast<std::uint32_t>(p2) / 2939745 / 4;  // from March 1
  const std::uint32_t n3 = 2141 * dayOfYear + 197913;
  const std::uint32_t january = dayOfYear >= 306 ? 1 : 0;  // January or February
  y = static_cast<std::int64_t>(100 * century + yearOfCentury + january) - kL;
  m = static_cast<int>(n3 / 65536 - 12 * january);
  d = static_cast<int>(n3 % 65536 / 2141 + 1);
}

constexpr std::int64_t kDayZero = DaysFromCivil(1899, 12, 30);
constexpr std::int64_t kFirstDay = DaysFromCivil(1, 1, 1) - kDayZero;
constexpr std::int64_t kLastDay = DaysFromCivil(9999, 12, 31) - kDayZero;
constexpr std::int64_t kMsPerDay = 86400000;

// Splits a value into its calendar day and the milliseconds of its time of
// day (rounded). False outside the years 1 to 9999.
bool SplitDateTime(double value, std::int64_t& day, std::int64_t& ms) {
  if (!std::isfinite(value) || value < static_cast<double>(kFirstDay) - 1 ||
      value > static_cast<double>(kLastDay) + 1) {
    return false;
  }
  const double whole = std::trunc(value);
  day = static_cast<std::int64_t>(whole);
  // Dates hold whole days: no time of day to round.
  ms = value == whole ? 0 : std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;
  }
  return day >= kFirstDay && day <= kLastDay;
}

double ComposeDateTime(std::int64_t day, std::int64_t ms) {
  const double time = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
}

// A point on a linear day scale (fractions count forward even before day
// zero) as a date-time value.
double FromLinearDays(double days) {
  const double day = std::floor(days);
  const double time = days - day;
  return day >= 0 ? day + time : day - time;
}

template <int Width>
char* PutDigits(char* p, std::int64_t value) {
  auto v = static_cast<std::uint32_t>(value);
  for (int i = Width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + Width;
}

// 'YYYY-MM-DD'.
char* PutDate(char* p, std::int64_t day) {
  std::int64_t y = 0;
  int m = 0;
  int d = 0;
  CivilFromDays(day + kDayZero, y, m, d);
  p = PutDigits<4>(p, y);
  *p++ = '-';
  p = PutDigits<2>(p, m);
  *p++ = '-';
  return PutDigits<2>(p, d);
}

// 'HH:MM:SS', with '.fff' only when there are milliseconds.
char* PutTime(char* p, std::int64_t ms) {
  p = PutDigits<2>(p, ms / 3600000);
  *p++ = ':';
  p = PutDigits<2>(p, ms / 60000 % 60);
  *p++ = ':';
  p = PutDigits<2>(p, ms / 1000 % 60);
  if (ms % 1000 != 0) {
    *p++ = '.';
    p = PutDigits<3>(p, ms % 1000);
  }
  return p;
}

bool ReadDigits(std::string_view s, std::size_t& pos, int count, int& value) {
  if (pos + static_cast<std::size_t>(count) > s.size()) return false;
  value = 0;
  for (int i = 0; i < count; ++i) {
    const char c = s[pos++];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

struct TIsoValue {
  bool HasDate = false;
  bool HasTime = false;
  std::int64_t Day = 0;
  std::int64_t Ms = 0;
};

// Reads the ISO forms SQLite's date functions use: 'YYYY-MM-DD',
// 'YYYY-MM-DD HH:MM[:SS[.fff]]' (or with 'T'), 'HH:MM[:SS[.fff]]', each
// with an optional 'Z'.
bool ParseIso(std::string_view s, TIsoValue& out) {
  std::size_t pos = 0;
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
    int y = 0;
    int m = 0;
    int d = 0;
    if (!ReadDigits(s, pos, 4, y) || s[pos++] != '-' || !ReadDigits(s, pos, 2, m) ||
        s[pos++] != '-' || !ReadDigits(s, pos, 2, d)) {
      return false;
    }
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > kMonthDays[m - 1] + (m == 2 && leap ? 1 : 0)) {
      return false;
    }
    out.HasDate = true;
    out.Day = DaysFromCivil(y, m, d) - kDayZero;
    if (pos == s.size()) return true;
    if (s[pos] != ' ' && s[pos] != 'T') return false;
    ++pos;
  }
  int h = 0;
  int n = 0;
  int sec = 0;
  if (!ReadDigits(s, pos, 2, h) || pos >= s.size() || s[pos++] != ':' ||
      !ReadDigits(s, pos, 2, n)) {
    return false;
  }
  double fraction = 0;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!ReadDigits(s, pos, 2, sec)) return false;
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      double scale = 0.1;
      const std::size_t start = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        fraction += (s[pos++] - '0') * scale;
        scale /= 10;
      }
      if (pos == start) return false;
    }
  }
  if (pos < s.size() && s[pos] == 'Z') ++pos;
  if (pos != s.size() || h > 23 || n > 59 || sec > 59) return false;
  out.HasTime = true;
  out.Ms = ((h * 60 + n) * 60 + sec) * std::int64_t{1000} + std::llround(fraction * 1000);
  if (out.Ms >= kMsPerDay) out.Ms = kMsPerDay - 1;
  return true;
}

bool ParseInt(std::string_view s, std::int64_t& value) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

bool ParseFloat(std::string_view s, double& value) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

bool DoubleToInt(double d, std::int64_t& value) {
  // 2^63 is exactly representable; everything below it converts.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d) {
    return false;
  }
  value = static_cast<std::int64_t>(d);
  return true;
}

bool ParseBoolean(std::string_view s, bool& value) {
  static constexpr std::array<std::pair<std::string_view, bool>, 10> kWords = {{{"TRUE", true},
                                                                                {"FALSE", false},
                                                                                {"T", true},
                                                                                {"F", false},
                                                                                {"YES", true},
                                                                                {"NO", false},
                                                                                {"Y", true},
                                                                                {"N", false},
                                                                                {"1", true},
                                                                                {"0", false}}};
  for (const auto& [word, meaning] : kWords) {
    if (SameText(s, word)) {
      value = meaning;
      return true;
    }
  }
  return false;
}

constexpr std::int64_t kCurrencyScale = 10000;

struct TMaskHash {
  std::size_t operator()(const std::vector<std::uint64_t>& mask) const noexcept {
    std::size_t h = 0;
    for (std::uint64_t w : mask) h = h * 1000003u ^ std::hash<std::uint64_t>{}(w);
    return h;
  }
};

// Prepared INSERTs kept per set of assigned columns; beyond this many sets
// the cache starts over.
constexpr std::size_t kMaxInsertStatements = 256;

bool IsSpecialFileName(const std::string& name) {
  return name == ":memory:" || name.rfind("file:", 0) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------

struct TSQLiteDataSet::TState {
  explicit TState(TSQLiteDataSet* owner) : DataSet(owner) {}

  struct TColumn {
    std::string Name;
    TStorage Storage = TStorage::Text;
    bool Insertable = true;
    bool AutoInc = false;
  };

  TSQLiteDataSet* DataSet;
  TDb Db;

  // What Open found.
  bool IsQuery = false;
  bool Writable = false;
  std::string Table;  // the name as the database spells it
  std::string Rowid;  // how to reach the rowid; empty when there is none
  std::vector<TColumn> Cols;
  bool HasAutoInc = false;  // a column is the rowid alias
  std::string QueryText;    // the query's one statement, without its ';'

  // The reading cursor. While it is stepping it holds a read lock, so every
  // write lets go of it first and reading resumes after the current rowid.
  TStmt Browse;
  bool BrowseHeld = false;
  bool BrowseDone = false;
  std::int64_t CurrentRowid = 0;
  bool HaveCurrent = false;
  std::int64_t RowsLoaded = 0;  // since the last First
  mutable TSQLiteMisfits Misfits;

  // Writing.
  using TMask = std::vector<std::uint64_t>;
  std::unordered_map<TMask, TStmt, TMaskHash> Inserts;
  TMask Mask;
  TMask LastMask;
  sqlite3_stmt* LastInsert = nullptr;
  TStmt Update;
  std::vector<std::array<char, 32>> Scratch;  // date texts being bound

  // Bulk grouping.
  int BulkDepth = 0;
  bool GroupingReady = false;  // the bulk run's way of grouping is decided
  bool Grouping = false;       // this dataset runs the transactions
  bool InTransaction = false;  // a group is open
  bool RowSavepoints = false;  // deferred constraints: undo a refused row alone
  std::int64_t GroupRows = 0;
  // Once the database stayed locked for a whole BusyTimeout, writes stop
  // waiting for it until one gets through, so that a run against a locked
  // database fails record by record at once instead of hanging.
  bool Blocked = false;
  std::int64_t LostRows = 0;
  std::string LostMessage;
  TStmt Begin;
  TStmt Commit;
  TStmt Rollback;
  TStmt Savepoint;
  TStmt Release;
  TStmt RollbackTo;

  sqlite3* db() const { return Db.get(); }
  std::string ErrorMessage() const { return sqlite3_errmsg(Db.get()); }

  void ForgetSource() noexcept {
    IsQuery = false;
    Writable = false;
    Table.clear();
    Rowid.clear();
    Cols.clear();
    HasAutoInc = false;
    QueryText.clear();
    Browse.reset();
    BrowseHeld = false;
    BrowseDone = false;
    HaveCurrent = false;
    Inserts.clear();
    LastMask.clear();
    LastInsert = nullptr;
    Update.reset();
    Scratch.clear();
  }

  void ForgetTransactionStatements() noexcept {
    Begin.reset();
    Commit.reset();
    Rollback.reset();
    Savepoint.reset();
    Release.reset();
    RollbackTo.reset();
  }

  void LetGoOfBrowse() noexcept {
    if (BrowseHeld) {
      sqlite3_reset(Browse.get());
      BrowseHeld = false;
    }
  }

  sqlite3_stmt* Statement(TStmt& slot, const char* sql) {
    if (!slot) slot = Prepare(db(), sql);
    return slot.get();
  }

  // -- reading --------------------------------------------------------------

  // A value that cannot be read as its field's type is shown as the text
  // SQLite holds (the field's StoredText), and counted.
  void KeepAsStored(std::size_t index, sqlite3_value* v, TFieldData& slot) const {
    const std::string_view text = ValueText(v);
    StoreBytes(slot, text.data(), text.size());
    if (Misfits.Count++ == 0) {
      Misfits.Row = Offset() == 1 ? CurrentRowid : RowsLoaded;
      Misfits.Column = Cols[index].Name;
      Misfits.Text.assign(text);
    }
  }

  int Offset() const { return (Rowid.empty() || IsQuery) ? 0 : 1; }

  // The text of a value as SQLite gives it (blobs as their bytes).
  static std::string_view ValueText(sqlite3_value* v) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return {text ? text : "", static_cast<std::size_t>(sqlite3_value_bytes(v))};
  }

  // Stores value in a record slot, reusing the alternative it holds.
  template <typename T>
  static void Store(TFieldData& slot, T value) {
    if (auto* held = std::get_if<T>(&slot)) {
      *held = value;
    } else {
      slot.emplace<T>(value);
    }
  }
  static void StoreNull(TFieldData& slot) {
    if (!std::holds_alternative<std::monostate>(slot)) slot.emplace<std::monostate>();
  }
  static void StoreBytes(TFieldData& slot, const char* bytes, std::size_t size) {
    if (auto* held = std::get_if<std::string>(&slot)) {
      held->assign(bytes, size);
    } else {
      slot.emplace<std::string>(bytes, size);
    }
  }

  // Loads column `index` of the row the cursor is on (v, its value) into
  // slot, in the form its field holds. The values come through
  // sqlite3_column_value once per column: the connection has no mutex, and
  // the value calls skip the per-call checks of the column calls.
  void LoadValue(std::size_t index, sqlite3_value* v, TFieldData& slot) const {
    const int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL) {
      StoreNull(slot);
      return;
    }
    TStorage storage = Cols[index].Storage;
    // A money column whose field has its Currency flag cleared holds
    // floats, in full.
    if (storage == TStorage::Currency && !DataSet->Fields(static_cast<int>(index))->Currency()) {
      storage = TStorage::Float;
    }
    if (storage == TStorage::Text || storage == TStorage::Blob) {
      const char* bytes = storage == TStorage::Blob
                              ? static_cast<const char*>(sqlite3_value_blob(v))
                              : reinterpret_cast<const char*>(sqlite3_value_text(v));
      const std::size_t size = bytes ? static_cast<std::size_t>(sqlite3_value_bytes(v)) : 0;
      StoreBytes(slot, bytes ? bytes : "", size);
      return;
    }
    // A typed column: an empty text means no value.
    std::string_view text;
    if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
      text = ValueText(v);
      while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') {
        text.remove_prefix(1);
      }
      while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
      if (text.empty()) {
        StoreNull(slot);
        return;
      }
    }
    switch (storage) {
      case TStorage::Integer: {
        std::int64_t i = 0;
        double d = 0;
        if (type == SQLITE_INTEGER) {
          i = sqlite3_value_int64(v);
        } else if (type == SQLITE_FLOAT) {
          if (!DoubleToInt(sqlite3_value_double(v), i)) return KeepAsStored(index, v, slot);
        } else if (!ParseInt(text, i) && !(ParseFloat(text, d) && DoubleToInt(d, i))) {
          return KeepAsStored(index, v, slot);
        }
        Store(slot, i);
        return;
      }
      case TStorage::Boolean: {
        bool b = false;
        if (type == SQLITE_INTEGER) {
          b = sqlite3_value_int64(v) != 0;
        } else if (type == SQLITE_FLOAT) {
          b = sqlite3_value_double(v) != 0;
        } else if (!ParseBoolean(text, b)) {
          return KeepAsStored(index, v, slot);
        }
        Store(slot, b);
        return;
      }
      case TStorage::Float: {
        double d = 0;
        if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
          d = sqlite3_value_double(v);
        } else if (!ParseFloat(text, d)) {
          return KeepAsStored(index, v, slot);
        }
        Store(slot, d);
        return;
      }
      case TStorage::Currency: {
        if (type == SQLITE_INTEGER) {
          const std::int64_t i = sqlite3_value_int64(v);
          if (i > INT64_MAX / kCurrencyScale || i < INT64_MIN / kCurrencyScale) {
            return KeepAsStored(index, v, slot);
          }
          Store(slot, i * kCurrencyScale);
          return;
        }
        double d = 0;
        if (type == SQLITE_FLOAT) {
          d = sqlite3_value_double(v);
        } else if (!ParseFloat(text, d)) {
          return KeepAsStored(index, v, slot);
        }
        std::int64_t i = 0;
        if (!DoubleToInt(std::round(d * kCurrencyScale), i)) return KeepAsStored(index, v, slot);
        Store(slot, i);
        return;
      }
      case TStorage::Date:
      case TStorage::Time:
      case TStorage::DateTime: {
        double value = 0;
        if (type == SQLITE_FLOAT) {
          // A Julian day number.
          value = FromLinearDays(sqlite3_value_double(v) - 2415018.5);
        } else if (type == SQLITE_INTEGER) {
          // Seconds since 1970-01-01.
          value = FromLinearDays(static_cast<double>(sqlite3_value_int64(v)) / 86400.0 +
                                 static_cast<double>(-kDayZero));
        } else {
          TIsoValue iso;
          const bool ok = ParseIso(text, iso);
          if (storage == TStorage::Date) {
            if (!ok || !iso.HasDate) return KeepAsStored(index, v, slot);
            Store(slot, static_cast<double>(iso.Day));
          } else if (storage == TStorage::Time) {
            if (!ok || !iso.HasTime) return KeepAsStored(index, v, slot);
            Store(slot, ComposeDateTime(0, iso.Ms));
          } else {
            if (!ok) return KeepAsStored(index, v, slot);
            Store(slot, ComposeDateTime(iso.Day, iso.Ms));
          }
          return;
        }
        std::int64_t day = 0;
        std::int64_t ms = 0;
        if (!SplitDateTime(value, day, ms)) return KeepAsStored(index, v, slot);
        if (storage == TStorage::Date) {
          Store(slot, static_cast<double>(day));
        } else if (storage == TStorage::Time) {
          Store(slot, ComposeDateTime(0, ms));
        } else {
          Store(slot, ComposeDateTime(day, ms));
        }
        return;
      }
      default:
        StoreNull(slot);
        return;
    }
  }

  // Loads the row the cursor is on into the current record's slots,
  // reusing the string buffers they already hold.
  void LoadRow() {
    sqlite3_stmt* s = Browse.get();
    const int offset = Offset();
    ++RowsLoaded;
    if (offset == 1) {
      CurrentRowid = sqlite3_column_int64(s, 0);
      HaveCurrent = true;
    }
    TFieldData* slots = DataSet->ActiveBuffer();
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      LoadValue(i, sqlite3_column_value(s, static_cast<int>(i) + offset), slots[i]);
    }
  }

  bool Step() {
    const int rc = sqlite3_step(Browse.get());
    if (rc == SQLITE_ROW) {
      BrowseHeld = true;
      LoadRow();
      return true;
    }
    sqlite3_reset(Browse.get());
    BrowseHeld = false;
    if (rc == SQLITE_DONE) {
      BrowseDone = true;
      return false;
    }
    Fail(ErrorMessage());
  }

  // -- writing --------------------------------------------------------------

  void Bind(sqlite3_stmt* stmt, int param, std::size_t index, const TFieldData& data) {
    int rc = SQLITE_OK;
    if (std::holds_alternative<std::monostate>(data)) {
      rc = sqlite3_bind_null(stmt, param);
    } else if (const auto* i = std::get_if<std::int64_t>(&data)) {
      rc = Cols[index].Storage == TStorage::Currency
               ? sqlite3_bind_double(stmt, param,
                                     static_cast<double>(*i) / static_cast<double>(kCurrencyScale))
               : sqlite3_bind_int64(stmt, param, *i);
    } else if (const auto* b = std::get_if<bool>(&data)) {
      rc = sqlite3_bind_int(stmt, param, *b ? 1 : 0);
    } else if (const auto* d = std::get_if<double>(&data)) {
      const TStorage storage = Cols[index].Storage;
      if (storage == TStorage::Date || storage == TStorage::Time || storage == TStorage::DateTime) {
        std::int64_t day = 0;
        std::int64_t ms = 0;
        if (!SplitDateTime(*d, day, ms)) {
          Fail("Field '" + FieldName(index) + "' holds a date outside the years 1 to 9999");
        }
        char* start = Scratch[index].data();
        char* p = start;
        if (storage != TStorage::Time) p = PutDate(p, day);
        if (storage == TStorage::DateTime) *p++ = ' ';
        if (storage != TStorage::Date) p = PutTime(p, ms);
        rc = sqlite3_bind_text(stmt, param, start, static_cast<int>(p - start), SQLITE_STATIC);
      } else {
        rc = sqlite3_bind_double(stmt, param, *d);
      }
    } else if (const auto* str = std::get_if<std::string>(&data)) {
      // The field's value stays put until the statement has run, and every
      // parameter is bound again before each run.
      rc = Cols[index].Storage == TStorage::Blob
               ? sqlite3_bind_blob64(stmt, param, str->data(), str->size(), SQLITE_STATIC)
               : sqlite3_bind_text64(stmt, param, str->data(), str->size(), SQLITE_STATIC,
                                     SQLITE_UTF8);
    }
    if (rc != SQLITE_OK) Fail("Field '" + FieldName(index) + "': " + ErrorMessage());
  }

  std::string FieldName(std::size_t index) const {
    return DataSet->Fields(static_cast<int>(index))->FieldName();
  }

  sqlite3_stmt* InsertFor(const TMask& mask) {
    // The same columns as the record before, as a rule: compared word by
    // word in place.
    if (LastInsert && mask.size() == LastMask.size() &&
        std::equal(mask.begin(), mask.end(), LastMask.begin(),
                   [](std::uint64_t a, std::uint64_t b) { return a == b; })) {
      return LastInsert;
    }
    auto found = Inserts.find(mask);
    if (found == Inserts.end()) {
      if (Inserts.size() >= kMaxInsertStatements) {
        Inserts.clear();
        LastInsert = nullptr;
      }
      std::string names;
      std::string params;
      for (std::size_t i = 0; i < Cols.size(); ++i) {
        if ((mask[i / 64] >> (i % 64) & 1) == 0) continue;
        if (!names.empty()) {
          names += ',';
          params += ',';
        }
        names += QuoteIdent(Cols[i].Name);
        params += '?';
      }
      std::string sql = "INSERT INTO " + QuoteIdent(Table);
      sql += names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + params + ")";
      found = Inserts.emplace(mask, Prepare(db(), sql)).first;
    }
    LastMask = mask;
    LastInsert = found->second.get();
    return LastInsert;
  }

  // Runs a step that may need a lock (see Blocked).
  template <class Op>
  int Locking(Op op) {
    const bool blocked = Blocked;
    if (blocked) sqlite3_busy_timeout(db(), 0);
    const int rc = op();
    if (blocked) sqlite3_busy_timeout(db(), DataSet->FBusyTimeout);
    if ((rc & 0xff) == SQLITE_BUSY) {
      Blocked = true;
    } else if (rc == SQLITE_DONE || rc == SQLITE_ROW || rc == SQLITE_OK) {
      Blocked = false;
    }
    return rc;
  }

  void BeginGroup() {
    sqlite3_stmt* begin = Statement(Begin, "BEGIN IMMEDIATE");
    if (Locking([begin] { return Run(begin); }) != SQLITE_DONE) Fail(ErrorMessage());
    InTransaction = true;
    GroupRows = 0;
  }

  void CommitGroup() {
    sqlite3_stmt* commit = Statement(Commit, "COMMIT");
    if (Locking([commit] { return Run(commit); }) != SQLITE_DONE) {
      const std::string message = ErrorMessage();
      NoteLostGroup(message);
      Fail(message);
    }
    InTransaction = false;
    GroupRows = 0;
  }

  // SQLite rolls a whole transaction back on some errors (a full disk, an
  // I/O error, a ROLLBACK conflict clause). The records of that group are
  // gone although their posts succeeded: remember them for EndBulk.
  bool NoteLostGroup(const std::string& message) {
    if (!InTransaction || !sqlite3_get_autocommit(db())) return false;
    LostRows += GroupRows;
    LostMessage = message;
    InTransaction = false;
    GroupRows = 0;
    return true;
  }

  // Runs an INSERT or UPDATE whose parameters are bound, inside the bulk
  // group when there is one. Raises with SQLite's message when refused.
  void Write(sqlite3_stmt* stmt) {
    const bool savepoint = InTransaction && RowSavepoints;
    int deferredBefore = 0;
    if (savepoint) {
      int high = 0;
      sqlite3_db_status(db(), SQLITE_DBSTATUS_DEFERRED_FKS, &deferredBefore, &high, 0);
      if (Run(Statement(Savepoint, "SAVEPOINT korvane_row")) != SQLITE_DONE) Fail(ErrorMessage());
    }
    const int rc = Locking([stmt] { return sqlite3_step(stmt); });
    std::string message;
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) message = ErrorMessage();
    sqlite3_reset(stmt);
    if (savepoint && InTransaction && !sqlite3_get_autocommit(db())) {
      int deferredAfter = 0;
      int high = 0;
      sqlite3_db_status(db(), SQLITE_DBSTATUS_DEFERRED_FKS, &deferredAfter, &high, 0);
      // A deferred foreign key would only fail at COMMIT and take the whole
      // group with it: refuse the record now instead.
      if (message.empty() && deferredBefore == 0 && deferredAfter != 0) {
        message = "FOREIGN KEY constraint failed";
      }
      if (!message.empty()) Run(Statement(RollbackTo, "ROLLBACK TO korvane_row"));
      Run(Statement(Release, "RELEASE korvane_row"));
    }
    if (message.empty()) {
      if (InTransaction) ++GroupRows;
      return;
    }
    if (NoteLostGroup(message)) {
      Fail(message + " (the " + std::to_string(LostRows) +
           " records posted since the last commit were rolled back)");
    }
    Fail(message);
  }

  // Opens a group before a write when bulk grouping is on, committing the
  // previous group once it is full. A commit that fails raises before the
  // record is written, so the record is refused rather than lost.
  void PrepareWrite() {
    LetGoOfBrowse();
    if (BulkDepth == 0) return;
    if (!GroupingReady) SetUpGrouping();
    if (!Grouping) return;
    if (InTransaction && GroupRows >= DataSet->FBulkCommitCount) CommitGroup();
    if (!InTransaction) BeginGroup();
  }

  // Decides how the bulk run groups its records and opens the first group.
  // Inside the host's own transaction the host decides when to commit.
  void SetUpGrouping() {
    LetGoOfBrowse();
    Grouping = false;
    RowSavepoints = false;
    if (sqlite3_get_autocommit(db())) {
      const std::string anySchema =
          "SELECT count(*) FROM (SELECT sql FROM sqlite_schema UNION ALL "
          "SELECT sql FROM sqlite_temp_schema) WHERE sql LIKE ";
      // A ROLLBACK conflict clause or RAISE(ROLLBACK) undoes the whole
      // transaction: such a schema gets one transaction per record.
      Grouping = QueryInt(db(), anySchema + "'%ROLLBACK%'") == 0;
      // Deferred foreign keys are only checked at COMMIT, where a bad record
      // would fail its whole group: each record gets a savepoint instead.
      RowSavepoints = QueryInt(db(), "PRAGMA foreign_keys") != 0 &&
                      (QueryInt(db(), "PRAGMA defer_foreign_keys") != 0 ||
                       QueryInt(db(), anySchema + "'%DEFERRED%'") != 0);
    }
    GroupingReady = true;
    if (Grouping) BeginGroup();
  }

  void PostInsert() {
    PrepareWrite();
    // The record being inserted: the columns it sets pick the statement.
    TFieldData* slots = DataSet->ActiveBuffer();
    const std::size_t count = Cols.size();
    Mask.resize((count + 63) / 64);
    for (std::size_t w = 0; w < Mask.size(); ++w) {
      std::uint64_t bits = 0;  // built in a register, stored once
      const std::size_t end = std::min(count, w * 64 + 64);
      for (std::size_t i = w * 64; i < end; ++i) {
        if (Cols[i].Insertable && slots[i].index() != 0) bits |= std::uint64_t{1} << (i % 64);
      }
      Mask[w] = bits;
    }
    sqlite3_stmt* stmt = InsertFor(Mask);
    int param = 0;
    for (std::size_t w = 0; w < Mask.size(); ++w) {
      for (std::uint64_t bits = Mask[w]; bits != 0; bits &= bits - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        Bind(stmt, ++param, i, slots[i]);
      }
    }
    Write(stmt);
    if (Rowid.empty()) {
      HaveCurrent = false;
      return;
    }
    CurrentRowid = sqlite3_last_insert_rowid(db());
    HaveCurrent = true;
    BrowseDone = false;
    if (!HasAutoInc) return;
    for (std::size_t i = 0; i < count; ++i) {
      if (Cols[i].AutoInc && std::holds_alternative<std::monostate>(slots[i])) {
        slots[i] = CurrentRowid;
      }
    }
  }

  void PostUpdate() {
    if (!HaveCurrent || Rowid.empty()) {
      Fail("Records of '" + Table + "' cannot be changed: the table has no rowid");
    }
    PrepareWrite();
    if (!Update) {
      std::string sql = "UPDATE " + QuoteIdent(Table) + " SET ";
      bool first = true;
      for (const TColumn& c : Cols) {
        if (!c.Insertable) continue;
        if (!first) sql += ',';
        first = false;
        sql += QuoteIdent(c.Name) + "=?";
      }
      sql += " WHERE " + Rowid + "=?";
      Update = Prepare(db(), sql);
    }
    TFieldData* slots = DataSet->ActiveBuffer();
    int param = 0;
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      if (Cols[i].Insertable) Bind(Update.get(), ++param, i, slots[i]);
    }
    if (sqlite3_bind_int64(Update.get(), ++param, CurrentRowid) != SQLITE_OK) Fail(ErrorMessage());
    Write(Update.get());
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      if (const auto* id = std::get_if<std::int64_t>(&slots[i]); id && Cols[i].AutoInc) {
        CurrentRowid = *id;
      }
    }
  }
};

// ---------------------------------------------------------------------------

TSQLiteDataSet::TSQLiteDataSet(TComponent* owner)
    : TDataSet(owner),
      FColumns(std::make_unique<TStringList>()),
      FState(std::make_unique<TState>(this)) {}

TSQLiteDataSet::~TSQLiteDataSet() {
  try {
    Close();
  } catch (...) {
    // Closing never raises for this dataset; nothing to report here.
  }
  CloseConnection();
}

void TSQLiteDataSet::CheckInactive(const char* property) const {
  if (Active()) Fail(std::string("Cannot change ") + property + " while the dataset is open");
}

void TSQLiteDataSet::SetDatabaseFile(const std::string& value) {
  CheckInactive("DatabaseFile");
  FDatabaseFile = value;
  CloseConnection();
}

void TSQLiteDataSet::SetTableName(const std::string& value) {
  CheckInactive("TableName");
  FTableName = value;
}

void TSQLiteDataSet::SetQuery(const std::string& value) {
  CheckInactive("Query");
  FQuery = value;
}

void TSQLiteDataSet::SetReadOnly(bool value) {
  CheckInactive("ReadOnly");
  FReadOnly = value;
  CloseConnection();
}

void TSQLiteDataSet::SetCreateTable(bool value) {
  CheckInactive("CreateTable");
  FCreateTable = value;
}

void TSQLiteDataSet::SetColumns(const TStrings* value) {
  if (value) {
    FColumns->Assign(*value);
  } else {
    FColumns->Clear();
  }
}

void TSQLiteDataSet::SetForeignKeys(bool value) {
  CheckInactive("ForeignKeys");
  FForeignKeys = value;
  CloseConnection();
}

void TSQLiteDataSet::SetBusyTimeout(std::int32_t value) {
  FBusyTimeout = value < 0 ? 0 : value;
  if (FState->Db) sqlite3_busy_timeout(FState->db(), FBusyTimeout);
}

void TSQLiteDataSet::OpenConnection(bool create) {
  TState& s = *FState;
  if (s.Db) return;
  if (FDatabaseFile.empty()) Fail("No DatabaseFile is set");
  struct stat info {};
  if (!create && !IsSpecialFileName(FDatabaseFile) && stat(FDatabaseFile.c_str(), &info) != 0) {
    Fail("Database file '" + FDatabaseFile + "' does not exist");
  }
  // The connection is never shared between threads (see the class comment),
  // so it needs no mutex of its own.
  int flags = SQLITE_OPEN_NOMUTEX;
  flags |=
      FReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(FDatabaseFile.c_str(), &raw, flags, nullptr);
  TDb db(raw);
  const std::string prefix = "Cannot open database '" + FDatabaseFile + "': ";
  if (rc != SQLITE_OK) Fail(prefix + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), FBusyTimeout);
  try {
    // Reading the schema is what finds out whether this is a database.
    QueryInt(db.get(), "SELECT count(*) FROM sqlite_schema");
    if (FForeignKeys) Exec(db.get(), "PRAGMA foreign_keys=ON");
  } catch (const EDatabaseError& e) {
    Fail(prefix + e.Message());
  }
  s.Db = std::move(db);
}

void TSQLiteDataSet::CloseConnection() noexcept {
  TState& s = *FState;
  s.ForgetSource();
  s.ForgetTransactionStatements();
  s.GroupingReady = false;
  s.Grouping = false;
  s.Blocked = false;
  s.InTransaction = false;
  s.GroupRows = 0;
  s.Db.reset();
}

bool TSQLiteDataSet::TableExists(const std::string& name) {
  if (!FState->Db) {
    struct stat info {};
    if (!IsSpecialFileName(FDatabaseFile) && stat(FDatabaseFile.c_str(), &info) != 0) {
      return false;
    }
    OpenConnection(false);
  }
  TStmt stmt = Prepare(FState->db(),
                       "SELECT 1 FROM pragma_table_list WHERE schema='main' AND name=?1 "
                       "COLLATE NOCASE");
  sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(FState->ErrorMessage());
  return rc == SQLITE_ROW;
}

void TSQLiteDataSet::ExecSQL(const std::string& sql) {
  TState& s = *FState;
  OpenConnection(!FReadOnly);
  s.LetGoOfBrowse();
  try {
    Exec(s.db(), sql);
  } catch (const EDatabaseError& e) {
    s.NoteLostGroup(e.Message());
    throw;
  }
  // The host may have ended the group's transaction itself.
  if (s.InTransaction && sqlite3_get_autocommit(s.db())) {
    s.InTransaction = false;
    s.GroupRows = 0;
  }
}

void TSQLiteDataSet::InternalOpen() {
  if (FTableName.empty() == FQuery.empty()) {
    Fail(FTableName.empty() ? "Neither TableName nor Query is set"
                            : "Set either TableName or Query, not both");
  }
  TState& s = *FState;
  const bool connected = static_cast<bool>(s.Db);
  const bool create = FQuery.empty() && FCreateTable;
  struct stat info {};
  const bool newFile = !connected && create && !IsSpecialFileName(FDatabaseFile) &&
                       stat(FDatabaseFile.c_str(), &info) != 0;
  try {
    OpenConnection(create);
    if (FQuery.empty()) {
      OpenTable();
    } else {
      OpenQuery();
    }
  } catch (...) {
    s.ForgetSource();
    DestroyFields();
    if (!connected) CloseConnection();
    // A failed open leaves no database file behind that it made itself.
    if (newFile) {
      std::remove(FDatabaseFile.c_str());
      std::remove((FDatabaseFile + "-journal").c_str());
    }
    throw;
  }
}

void TSQLiteDataSet::OpenTable() {
  TState& s = *FState;
  sqlite3* db = s.db();
  auto lookUp = [&](std::string& type, bool& withoutRowid) {
    TStmt stmt = Prepare(db,
                         "SELECT name, type, wr FROM pragma_table_list WHERE schema='main' AND "
                         "name=?1 COLLATE NOCASE");
    sqlite3_bind_text(stmt.get(), 1, FTableName.data(), static_cast<int>(FTableName.size()),
                      SQLITE_STATIC);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) Fail(s.ErrorMessage());
    s.Table = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    type = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
    withoutRowid = sqlite3_column_int(stmt.get(), 2) != 0;
    return true;
  };
  std::string type;
  bool withoutRowid = false;
  if (!lookUp(type, withoutRowid)) {
    if (!FCreateTable) {
      Fail("Table '" + FTableName + "' does not exist in '" + FDatabaseFile + "'");
    }
    std::string columns;
    for (const std::string& item : FColumns->Items()) {
      if (IsBlank(item)) continue;
      if (!columns.empty()) columns += ", ";
      columns += item;
    }
    if (columns.empty()) {
      Fail("Table '" + FTableName +
           "' does not exist and Columns is empty, so it cannot be created");
    }
    Exec(db, "CREATE TABLE " + QuoteIdent(FTableName) + " (" + columns + ")");
    if (!lookUp(type, withoutRowid)) Fail("Table '" + FTableName + "' was not created");
  }

  struct TInfo {
    std::string Name;
    std::string Type;
    int Pk;
    int Hidden;
  };
  std::vector<TInfo> infos;
  {
    TStmt stmt = Prepare(db, "SELECT name, type, pk, hidden FROM pragma_table_xinfo(?1, 'main')");
    sqlite3_bind_text(stmt.get(), 1, s.Table.data(), static_cast<int>(s.Table.size()),
                      SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
      const auto* decl = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
      infos.push_back({name ? name : "", decl ? decl : "", sqlite3_column_int(stmt.get(), 2),
                       sqlite3_column_int(stmt.get(), 3)});
    }
    if (rc != SQLITE_DONE) Fail(s.ErrorMessage());
  }

  const bool rowidTable = type == "table" && !withoutRowid;
  if (rowidTable) {
    for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
      bool taken = false;
      for (const TInfo& info : infos) taken = taken || SameText(info.Name, candidate);
      if (!taken) {
        s.Rowid = candidate;
        break;
      }
    }
  }
  int pkColumns = 0;
  for (const TInfo& info : infos) pkColumns += info.Pk > 0 ? 1 : 0;

  std::string select;
  for (const TInfo& info : infos) {
    if (info.Hidden == 1) continue;  // a virtual table's hidden column
    const bool generated = info.Hidden >= 2;
    const bool rowidAlias =
        rowidTable && pkColumns == 1 && info.Pk == 1 && SameText(info.Type, "INTEGER");
    const TFieldDef def = FieldDefForColumn(info.Name, info.Type, rowidAlias);
    TField* field = AddField(def.Name, def.DataType, def.Size);
    if (def.DataType == ftCurrency) field->SetCurrency(true);
    if (generated) field->SetReadOnly(true);
    s.Cols.push_back({info.Name, StorageFor(def.DataType), !generated, rowidAlias});
    s.HasAutoInc = s.HasAutoInc || rowidAlias;
    select += select.empty() ? "" : ",";
    select += QuoteIdent(info.Name);
  }
  s.Scratch.resize(s.Cols.size());
  s.Writable = !FReadOnly && type != "view" && !sqlite3_db_readonly(db, "main");

  std::string sql = "SELECT ";
  if (!s.Rowid.empty()) sql += s.Rowid + ",";
  sql += select + " FROM " + QuoteIdent(s.Table);
  if (!s.Rowid.empty()) sql += " WHERE " + s.Rowid + ">=?1 ORDER BY " + s.Rowid;
  s.Browse = Prepare(db, sql);
}

void TSQLiteDataSet::OpenQuery() {
  TState& s = *FState;
  sqlite3* db = s.db();
  s.IsQuery = true;
  const char* tail = nullptr;
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v3(db, FQuery.c_str(), static_cast<int>(FQuery.size()),
                              SQLITE_PREPARE_PERSISTENT, &raw, &tail);
  TStmt stmt(raw);
  if (rc != SQLITE_OK) Fail("Query failed: " + s.ErrorMessage());
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
  s.QueryText = text;

  const int count = sqlite3_column_count(stmt.get());
  if (count == 0) Fail("Query returns no columns");
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt.get(), i);
    const char* decl = sqlite3_column_decltype(stmt.get(), i);
    std::string fieldName = name ? name : "";
    if (fieldName.empty()) fieldName = "Column" + std::to_string(i + 1);
    // Result columns may repeat a name ("a.id, b.id"): keep field names unique.
    for (int n = 1; FindField(fieldName); ++n) {
      fieldName = (name ? name : "Column") + std::string("_") + std::to_string(n);
    }
    const TFieldDef def = FieldDefForColumn(fieldName, decl ? decl : "", false);
    TField* field = AddField(def.Name, def.DataType, def.Size);
    if (def.DataType == ftCurrency) field->SetCurrency(true);
    field->SetReadOnly(true);
    s.Cols.push_back({fieldName, StorageFor(def.DataType), false, false});
  }
  s.Writable = false;
  s.Browse = std::move(stmt);
}

void TSQLiteDataSet::InternalClose() {
  TState& s = *FState;
  s.LetGoOfBrowse();
  if (s.InTransaction && s.Db) {
    // Closing in the middle of a bulk run keeps what was posted.
    if (Run(s.Statement(s.Commit, "COMMIT")) != SQLITE_DONE && !sqlite3_get_autocommit(s.db())) {
      Run(s.Statement(s.Rollback, "ROLLBACK"));
    }
  }
  CloseConnection();
  DestroyFields();
}

const TSQLiteMisfits& TSQLiteDataSet::Misfits() const { return FState->Misfits; }

bool TSQLiteDataSet::InternalFirst() {
  TState& s = *FState;
  if (!s.Browse) return false;
  sqlite3_reset(s.Browse.get());
  s.BrowseHeld = false;
  s.BrowseDone = false;
  s.HaveCurrent = false;
  s.RowsLoaded = 0;
  s.Misfits = TSQLiteMisfits{};
  if (s.Offset() == 1) {
    sqlite3_bind_int64(s.Browse.get(), 1, std::numeric_limits<std::int64_t>::min());
  }
  return s.Step();
}

bool TSQLiteDataSet::InternalNext() {
  TState& s = *FState;
  if (!s.Browse || s.BrowseDone) return false;
  if (!s.BrowseHeld) {
    // The cursor was let go for a write: resume after the current record.
    if (s.Offset() == 0 || !s.HaveCurrent ||
        s.CurrentRowid == std::numeric_limits<std::int64_t>::max()) {
      return false;
    }
    sqlite3_reset(s.Browse.get());
    sqlite3_bind_int64(s.Browse.get(), 1, s.CurrentRowid + 1);
  }
  return s.Step();
}

void TSQLiteDataSet::InternalPost() {
  if (!FState->Writable) Fail("Dataset cannot be modified");
  if (State() == dsEdit) {
    FState->PostUpdate();
  } else {
    FState->PostInsert();
  }
}

bool TSQLiteDataSet::CanModify() const {
  if (!Active()) return !FReadOnly && FQuery.empty();
  return FState->Writable;
}

int TSQLiteDataSet::RecordCount() const {
  const TState& s = *FState;
  if (!Active() || !s.Db) return -1;
  try {
    std::int64_t count = 0;
    if (s.IsQuery) {
      // Statements that cannot be a subquery (PRAGMA, ...) are counted by
      // running them.
      const std::string wrapped = "SELECT count(*) FROM (\n" + s.QueryText + "\n)";
      sqlite3_stmt* raw = nullptr;
      const int rc = sqlite3_prepare_v2(s.db(), wrapped.c_str(), -1, &raw, nullptr);
      TStmt stmt(raw);
      if (rc == SQLITE_OK) {
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) return -1;
        count = sqlite3_column_int64(stmt.get(), 0);
      } else {
        TStmt run = Prepare(s.db(), s.QueryText);
        int step;
        while ((step = sqlite3_step(run.get())) == SQLITE_ROW) ++count;
        if (step != SQLITE_DONE) return -1;
      }
    } else {
      count = QueryInt(s.db(), "SELECT count(*) FROM " + QuoteIdent(s.Table));
    }
    return count > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                   : static_cast<int>(count);
  } catch (const EDatabaseError&) {
    return -1;
  }
}

void TSQLiteDataSet::BeginBulk() {
  TState& s = *FState;
  if (s.BulkDepth++ > 0 || !s.Db || !s.Writable) return;
  try {
    s.SetUpGrouping();
  } catch (...) {
    --s.BulkDepth;
    s.GroupingReady = false;
    throw;
  }
}

void TSQLiteDataSet::EndBulk() {
  TState& s = *FState;
  if (s.BulkDepth == 0 || --s.BulkDepth > 0) return;
  s.GroupingReady = false;
  s.Grouping = false;
  if (s.InTransaction && s.Db) {
    // The last commit waits for its lock as long as it may.
    s.Blocked = false;
    if (s.Locking([&s] { return Run(s.Statement(s.Commit, "COMMIT")); }) != SQLITE_DONE) {
      const std::string message = s.ErrorMessage();
      if (!s.NoteLostGroup(message)) {
        Run(s.Statement(s.Rollback, "ROLLBACK"));
        s.LostRows += s.GroupRows;
        s.LostMessage = message;
      }
    }
    s.InTransaction = false;
    s.GroupRows = 0;
  }
  if (s.LostRows > 0) {
    const std::int64_t lost = s.LostRows;
    s.LostRows = 0;
    Fail(std::to_string(lost) + " posted records were not stored: " + s.LostMessage);
  }
}

std::int64_t TSQLiteDataSet::AbandonBulk() {
  TState& s = *FState;
  std::int64_t dropped = 0;
  if (s.BulkDepth == 1 && s.InTransaction && s.Db) {
    Run(s.Statement(s.Rollback, "ROLLBACK"));
    dropped = s.GroupRows;
    s.InTransaction = false;
    s.GroupRows = 0;
  }
  EndBulk();
  return dropped;
}

// ---------------------------------------------------------------------------

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
  } else if (has("SMALLINT") || has("INT2")) {
    def.DataType = ftSmallint;
  } else if (has("MEDIUMINT") || has("INT4")) {
    def.DataType = ftInteger;
  } else if (rowidAlias || has("INT")) {
    // SQLite keeps every integer in 64 bits, the rowid too: a narrower field
    // would show a large value as null and lose it on the way out.
    def.DataType = ftLargeint;
  } else if (has("DECIMAL") || has("NUMERIC")) {
    def.DataType = ftBCD;
    def.Size = std::max(0, length(1));  // the scale of (precision, scale)
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
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return "BLOB";
    default:
      return "TEXT";
  }
}

std::string TSQLiteDataSet::ColumnDefinition(const TFieldDef& def) {
  std::string out = QuoteIdent(def.Name) + " " + DeclaredType(def.DataType, def.Size);
  if (def.DataType == ftAutoInc) {
    out += " PRIMARY KEY";
  } else if (def.Required) {
    out += " NOT NULL";
  }
  return out;
}

template <>
TComponentClass ComponentClass<TSQLiteDataSet>() {
  using D = TSQLiteDataSet;
  static const TClassInfo info =
      TClassBuilder<D>("TSQLiteDataSet")
          .String("DatabaseFile", &D::DatabaseFile, &D::SetDatabaseFile)
          .String("TableName", &D::TableName, &D::SetTableName)
          .String("Query", &D::Query, &D::SetQuery)
          .Boolean("ReadOnly", &D::ReadOnly, &D::SetReadOnly)
          .Boolean("CreateTable", &D::CreateTable, &D::SetCreateTable)
          .StringList("Columns", &D::Columns)
          .Boolean("ForeignKeys", &D::ForeignKeys, &D::SetForeignKeys)
          .Integer("BusyTimeout", &D::BusyTimeout, &D::SetBusyTimeout)
          .Integer("BulkCommitCount", &D::BulkCommitCount, &D::SetBulkCommitCount)
          .Build();
  return &info;
}

}  // namespace korvane
