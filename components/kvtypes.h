// Shared definitions of both components: enumerations and events, the field
// filter and the conversion of text values into typed fields.
#pragma once

#include "core/api.h"

#include <string>
#include <string_view>
#include <vector>

#include "core/classes.h"
#include "data/db.h"
#include "components/kveditors.h"
#include "components/kvenums.h"
#include "components/kvprogress.h"

namespace korvane {

// The quote character a FieldDelimiter stands for: "'" for fdlSingle, the
// double quotation mark for fdlDouble, empty otherwise.
KORVANE_API std::string FieldDelimiterChar(TFieldDelimiter delimiter);

// The separator a FieldSeparator stands for; fspCustom and fspNone (and any
// other value) take the component's CustomSeparator, empty or one character.
KORVANE_API std::string FieldSeparatorChar(TFieldSeparator separator,
                                           const std::string& customSeparator);

// What a CustomSeparator setter keeps of a value: the first character of the
// trimmed text, or empty. Blanks and control characters can never separate.
KORVANE_API std::string NormaliseCustomSeparator(std::string_view value);
// Whether a SeparatorChar can separate values: empty, one byte other than
// a line end, or one valid UTF-8 character of more than one byte.
// Otherwise error says why.
KORVANE_API bool SeparatorCharFits(const std::string& value, std::string& error);

// True when the field named fieldName takes part in a run, given the
// component's FieldListAction and FieldList (which may be absent). Names
// compare as SameText does: case-insensitive in UTF-8, whatever the locale.
KORVANE_API bool FieldInFieldList(TFieldListAction action, const TStrings* list,
                                  std::string_view fieldName);

// Whether two names are the same once case (as SameText compares it),
// blanks, hyphens, underscores and dots are left out of both: "First Name",
// "first_name" and "FIRSTNAME" are; a name of nothing but those characters
// is the same as no other.
KORVANE_API bool SameLooseName(std::string_view a, std::string_view b);

// The digits, '-' and '.' of text, in order; empty for a blank text.
KORVANE_API std::string NumericOnly(std::string_view text);

// True when the trimmed, upper-cased text is a non-empty piece of
// "|TRUE|1|YES|".
KORVANE_API bool StrToBoolean(std::string_view text);

// StrToFloat(NumericOnly(text)), without building a string for the usual
// short texts.
KORVANE_API double NumericFloat(std::string_view text);

// The money amount of text in ten-thousandths: NumericFloat(text) rounded to
// the nearest, a half going away from zero ("2.00025" is 20003, "-0.00005"
// is -1). A text of at most four decimals is read exactly, in integers, so
// that the text written for any amount reads back as that amount (through a
// double, some amounts of twelve whole digits and more would be off by one
// ten-thousandth). Raises
// EConvertError when there is no number and ERangeError when the amount
// does not fit.
KORVANE_API std::int64_t NumericCurrency(std::string_view text);

// Appends text to the content a blob, memo or formatted-memo field holds in
// the current record; raises when it cannot be stored.
KORVANE_API void AppendFieldBlob(std::string_view text, TField* field);

// Stores one text value into a field, converted by the field's type. True
// when stored or when the text is empty; false when converting or storing
// raised. In line, since an import calls it for every value.
inline bool WriteFieldData(std::string_view text, TField* field) {
  if (text.empty()) return true;
  try {
    switch (field->DataType()) {
      case ftBoolean:
        field->WriteBoolean(StrToBoolean(text));
        break;
      case ftCurrency:
        if (field->Currency()) {
          field->WriteCurrency(NumericCurrency(text));
        } else {
          field->WriteFloat(NumericFloat(text));
        }
        break;
      case ftDate:
        field->WriteDateTime(StrToDate(text));
        break;
      case ftTime:
        field->WriteDateTime(StrToTime(text));
        break;
      case ftDateTime:
        field->WriteDateTime(StrToDateTime(text));
        break;
      case ftBlob:
      case ftMemo:
      case ftFmtMemo:
        AppendFieldBlob(text, field);
        break;
      default:
        field->WriteString(text);
        break;
    }
  } catch (const std::exception&) {
    // The forgiving rules' answer: the value is not stored, and the caller
    // leaves it out. Callers that keep the reason use WriteStrictFieldData.
    return false;
  }
  return true;
}

// A quoted empty value: an empty text where the field holds text; other
// fields are left as they are, as for an empty value.
inline void StoreEmptyText(TField* field) {
  switch (field->DataType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
      field->WriteString({});
      break;
    default:
      break;
  }
}

// Whether a field of the type holds text (its values are texts, blanks and
// all): string and memo types.
inline bool IsTextFieldType(TFieldType type) {
  return type == ftString || type == ftFixedChar || type == ftWideString || type == ftMemo ||
         type == ftFmtMemo;
}

// The width of a field's column in a fixed-width record laid out as
// flColumns: the widest text an export writes for a value of the field (as
// the command writes it: whole values, dates in the given style), and at
// least the field's name, so that a header fits above it. Import and export
// both take it from here, so that what one writes the other reads.
//   text and memo fields    Size, or 255 when the field declares none
//   binary data and blobs   "\x" and two digits a byte of that size
//   numbers, booleans       DisplayWidth (every value of the type fits)
//   exact decimals          their precision's digits, a sign and a point
//                           (38 digits where none is declared), at least
//                           DisplayWidth
//   dates, times, date-times  under dsISO8601 10, 21 and 32 (microseconds
//                           and a zone included); otherwise DisplayWidth
//                           and the room of milliseconds
KORVANE_API int FixedWidth(const TField& field, TDateTimeStyle style);

// The widths of a FixedWidths text: whole numbers of at least 1, separated
// by commas (blanks around each allowed). An empty text gives no widths.
// False, with the reason in fault, for any other text.
KORVANE_API bool ParseFixedWidths(std::string_view text, std::vector<int>& widths,
                                  std::string& fault);

// WriteFieldData for the texts of an export with WholeValues: a binary or
// blob field (codes 12, 13, 15, 17 and 19 to 21) takes "\x" followed by
// pairs of hexadecimal digits (either case) as those bytes, and the text
// fails (false, the field untouched) when the digits are not such pairs.
// Every other text and field goes to WriteFieldData.
KORVANE_API bool WriteWholeFieldData(std::string_view text, TField* field);

}  // namespace korvane
