// The strict readers of an import's values (ValueErrors = veStrict): a text
// is stored only when the whole of it is a value of its field's type, and
// otherwise says why not. The forgiving readers (WriteFieldData) stay as
// they are for veLenient.
#pragma once

#include <string>
#include <string_view>

#include "data/db.h"
#include "components/kvenums.h"
#include "text/formats_iso.h"

namespace korvane {

// Why a value was not stored.
struct TValueFault {
  TRecordErrorReason Reason = rerInvalidValue;
  // Such as "\"12x\" is not a number".
  std::string Message;
};

// Stores one text value into field when the whole text is a value of its
// type, under the format settings in force; true when stored (or when the
// text is empty: the field is left as it is). Otherwise false, the field
// untouched, with the reason in fault:
//   integers   blanks around, an optional sign, digits with the
//              ThousandSeparator only between groups of three, a fraction
//              of zeros only; the value must fit the field (-32768 to 32767
//              for ftSmallint, 0 to 65535 for ftWord, 32 bits for ftInteger
//              and ftAutoInc, 64 for ftLargeint)
//   floats     the same with a fraction after the DecimalSeparator and an
//              exponent; a value beyond a double is out of range
//   money      as floats without the exponent, with a currency symbol ($, €,
//              £, ¥) before or after the number and accounting parentheses
//              for a negative amount; no more decimals than the field's
//              Scale; with wideMoney an amount beyond 64 bits of
//              ten-thousandths is stored as its plain decimal text
//              (TField::SetValueText), else it is out of range
//   exact decimals (ftDecimalText): as floats, of any size; a declared
//              Precision and Scale limit the whole digits and decimals
//   booleans   true/false, yes/no, t/f, y/n or 1/0 in any case
//   dates, times, date-times: StrToDate, StrToTime, StrToDateTime (the
//              format's layout, real days only); with dsISO8601, ReadIso
//              (WriteIsoFieldData, and with wide ReadWideIso), whose fault
//              gives the reason
//   text, memo and blob fields take every text; under wholeValues binary
//              fields take \x texts only as pairs of hexadecimal digits.
bool WriteStrictFieldData(std::string_view text, TField* field, bool wholeValues,
                          TValueFault& fault, TDateTimeStyle style = dsFormatSettings,
                          bool utc = false, bool wide = false, bool wideMoney = false);

// Stores an ISO 8601 text (ReadIso, the basic format too) into a date, time
// or date-time field:
// as a date-time when one holds it exactly, else as its canonical text
// (TField::SetValueText). With utc a value with a zone offset is stored as
// the same instant in UTC, without it. With wide, a text of the further
// forms ReadWideIso reads (before Christ, after the year 9999, the
// infinities, a time of 24:00:00) is stored as its WideIsoText, for a
// dataset whose columns keep such values. Returns the fault
// (TIsoFault::None when stored), the field untouched otherwise.
TIsoFault WriteIsoFieldData(std::string_view text, TField* field, bool utc = false,
                            bool wide = false);

// Under the forgiving rules, which store such values rounded: true when
// text, stored into field by WriteFieldData, has more decimals than the
// field's column keeps (money, NUMERIC(p,s); with s below 0, a digit that
// is not zero below 10^-s) or more digits than the double (or float) it
// keeps.
bool RoundsValue(std::string_view text, const TField* field);
// Whether RoundsValue can be true for the field at all; in line, since an
// import asks it for every value.
inline bool MayRoundValues(const TField* field) {
  const TFieldType type = field->DataType();
  return type == ftFloat || type == ftCurrency || type == ftBCD || field->Precision() != 0;
}

// The value as a message shows it: in double quotes, cut after at most 60
// bytes, never inside a UTF-8 character ("...").
std::string QuotedValue(std::string_view text);

}  // namespace korvane
