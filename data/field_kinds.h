// What a field is and holds, apart from any dataset: the type codes, the
// alternatives a value is held in, how a field class makes its text, and
// the definitions datasets build their fields from.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

namespace korvane {

// Field type codes. 1 to 21 are fixed; the codes above 21 are further types
// that take the default branch wherever a type is tested.
enum TFieldType : std::uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftFixedChar = 22,
  ftWideString = 23,
  ftLargeint = 24,
  // A value of whichever kind each record holds: an integer, a double or a
  // text (a computed query column that declares no type).
  ftVariant = 25,
  // An exact decimal of any number of digits, held as its text (a SQLite
  // column declared DECIMAL_TEXT).
  ftDecimalText = 26,
};

// The value a field holds for the current record. Which alternative a field
// uses is fixed by its type: std::string for text, memo, blob and byte
// types; std::int64_t for the integer types and for currency (a count of
// ten-thousandths); double for float, BCD, date, time and date-time; bool for
// boolean. std::monostate is null.
using TFieldData = std::variant<std::monostate, std::int64_t, double, bool, std::string>;

// How a value is held: which alternative of TFieldData it is. The one
// answer to "what kind of value is this"; the other kinds (TTextKind, the
// export plan's column kinds, the datasets' column types, the memory
// dataset's packed types) say how a value is written, read or stored.
enum TValueKind : std::uint8_t { vkNull, vkInteger, vkFloat, vkBoolean, vkText };
static_assert(std::is_same_v<std::variant_alternative_t<vkNull, TFieldData>, std::monostate> &&
              std::is_same_v<std::variant_alternative_t<vkInteger, TFieldData>, std::int64_t> &&
              std::is_same_v<std::variant_alternative_t<vkFloat, TFieldData>, double> &&
              std::is_same_v<std::variant_alternative_t<vkBoolean, TFieldData>, bool> &&
              std::is_same_v<std::variant_alternative_t<vkText, TFieldData>, std::string>);
inline TValueKind ValueKind(const TFieldData& data) {
  return static_cast<TValueKind>(data.index());
}
inline bool IsNull(const TFieldData& data) { return data.index() == vkNull; }

// How a field class makes the text of a non-null value, for writers that
// format many values of a field in a row without a call per value. Not how
// the value is held (TValueKind): integers and money amounts are both held
// as integers, floats and dates as doubles, and their texts differ.
//   tkString    the std::string value as it stands
//   tkInteger   PutInteger of the std::int64_t value
//   tkBoolean   "True" or "False"
//   tkFloat     FloatToChars of the double value
//   tkCurrency  PutCurrencyAmount of the std::int64_t amount, with the
//               DecimalSeparator in force
//   tkDateTime  the double value: DateToChars, TimeToChars or
//               DateTimeToChars by type code (ftDate, ftTime, other)
//   tkDecimalText  the std::string value with its '.' as the
//               DecimalSeparator in force
//   tkOther     only Text, TextToChars and AppendText give it
// An OnGetText handler is not taken into account: the writer checks it.
enum TTextKind : std::uint8_t {
  tkOther,
  tkString,
  tkInteger,
  tkBoolean,
  tkFloat,
  tkCurrency,
  tkDateTime,
  tkDecimalText
};

// True for the types whose value is a byte stream that TBlobStream can
// open: ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle,
// ftTypedBinary.
KORVANE_API bool IsBlobType(TFieldType dataType);
// Bytes, var bytes and the blob types other than memos: data of no text.
KORVANE_API bool IsBinaryType(TFieldType dataType);

// The name of a type code ("String", "Integer", ...), for messages.
KORVANE_API std::string FieldTypeName(TFieldType dataType);

// A field definition: what a dataset builds its fields from.
struct KORVANE_API TFieldDef {
  std::string Name;
  TFieldType DataType = ftString;
  int Size = 0;
  bool Required = false;
  bool ReadOnly = false;
  // TField::Precision and TField::Scale of the field (-1: the type's own).
  int Precision = 0;
  int Scale = -1;
};

}  // namespace korvane
