// Value codec of the SQLite dataset: field values to SQLite values and
// back. Private to datasets/sqlite_*.cpp.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "datasets/sqlite/sqlite_schema.h"

namespace korvane::sqlite_parts {

// TSQLiteCodec decides how a value is held in SQLite and how SQLite's value
// is shown in a field, by the column's TStorage: integers as INTEGER,
// booleans as INTEGER 0/1, floats and money (the amount, not the scaled
// integer) as REAL, dates as TEXT 'YYYY-MM-DD', times as 'HH:MM:SS' (with
// '.fff' only when there are milliseconds), date-times as both joined by a
// blank, texts as TEXT and blobs as BLOB. Reading also takes the other forms
// SQLite's date functions know (Julian day numbers as REAL, Unix times as
// INTEGER, 'T' between date and time, a trailing 'Z') and an empty text in
// a typed column as null. Stateless; the calendar is the platform's.
class TSQLiteCodec {
 public:
  // Room for the text of a date-time being bound.
  using TDateText = std::array<char, 32>;
  // What Bind returns for a date outside the years 1 to 9999.
  static constexpr int kDateOutOfRange = -1;
  // What Bind returns for a NaN, which SQLite would store as NULL.
  static constexpr int kNotANumber = -2;
  // A money value is held in fields as its amount times this.
  static constexpr std::int64_t kCurrencyScale = 10000;

  // Puts SQLite's value v into slot in the form a field of this storage
  // holds, reusing the alternative the slot holds. False, with slot
  // unchanged, when the value does not fit the storage (SQLite lets a DATE
  // column hold 'garbage', an INTEGER column 2.5).
  static bool Load(TStorage storage, sqlite3_value* v, TFieldData& slot);

  // Binds data as parameter param. Texts and blobs are bound without a copy
  // (they must stay put until the statement has run), and a date-time's
  // text is written into dateText, which must too. Returns SQLite's result
  // code, kDateOutOfRange or kNotANumber. Inline: it runs for every value stored.
  static int Bind(sqlite3_stmt* stmt, int param, TStorage storage, const TFieldData& data,
                  TDateText& dateText) {
    if (const auto* str = std::get_if<std::string>(&data)) {
      return storage == TStorage::Blob
                 ? sqlite3_bind_blob64(stmt, param, str->data(), str->size(), SQLITE_STATIC)
                 : sqlite3_bind_text64(stmt, param, str->data(), str->size(), SQLITE_STATIC,
                                       SQLITE_UTF8);
    }
    if (const auto* i = std::get_if<std::int64_t>(&data)) {
      return storage == TStorage::Currency ? sqlite3_bind_double(stmt, param, AmountDouble(*i))
                                           : sqlite3_bind_int64(stmt, param, *i);
    }
    if (const auto* d = std::get_if<double>(&data)) {
      if (storage == TStorage::Date || storage == TStorage::Time ||
          storage == TStorage::DateTime) {
        return BindDateTime(stmt, param, storage, *d, dateText);
      }
      if (std::isnan(*d)) return kNotANumber;
      return sqlite3_bind_double(stmt, param, *d);
    }
    if (const auto* b = std::get_if<bool>(&data)) return sqlite3_bind_int(stmt, param, *b ? 1 : 0);
    return sqlite3_bind_null(stmt, param);
  }

  // The text of a value as SQLite gives it (blobs as their bytes).
  static std::string_view ValueText(sqlite3_value* v) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return {text ? text : "", static_cast<std::size_t>(sqlite3_value_bytes(v))};
  }

  // The text of a value as it is held: a finite double as its shortest text
  // that reads back the same double, written into digits (SQLite's own text
  // of it keeps 15 significant digits, which would change it when it is read
  // back); any other value as ValueText gives it.
  using TDoubleText = std::array<char, 32>;
  static std::string_view HeldText(sqlite3_value* v, TDoubleText& digits);

  // What a column of numeric affinity stores for text, as an export writes
  // it back: empty when SQLite keeps text as a text (it does not read as a
  // decimal number), else the digits of the integer or the shortest text of
  // the double SQLite turns it into ("007" gives "7", "1e5" "100000").
  static std::string NumericAffinityText(std::string_view text);

  // Stores bytes in a record slot, reusing the string it holds.
  static void StoreBytes(TFieldData& slot, const char* bytes, std::size_t size) {
    if (auto* held = std::get_if<std::string>(&slot)) {
      held->assign(bytes, size);
    } else {
      slot.emplace<std::string>(bytes, size);
    }
  }

  // The double nearest to an amount in ten-thousandths.
  static double AmountDouble(std::int64_t amount) {
    // Up to 2^53 the amount is exact as a double, and one division rounds.
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (amount < kExact && amount > -kExact) {
      return static_cast<double>(amount) / static_cast<double>(kCurrencyScale);
    }
    return WideAmountDouble(amount);
  }

 private:
  static double WideAmountDouble(std::int64_t amount);
  static int BindDateTime(sqlite3_stmt* stmt, int param, TStorage storage, double value,
                          TDateText& dateText);
};

}  // namespace korvane::sqlite_parts
