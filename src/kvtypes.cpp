#include "src/kvtypes.h"

#include <cmath>

#include "platform/formats.h"
#include "platform/sysutils.h"

namespace korvane {

bool FieldInFieldList(TFieldListAction action, const TStrings* list, std::string_view fieldName) {
  if (list == nullptr) return true;
  switch (action) {
    case flaInclude:
      return list->IndexOf(fieldName) >= 0;
    case flaExclude:
      return list->IndexOf(fieldName) < 0;
    default:
      return true;
  }
}

std::string NumericOnly(std::string_view text) {
  std::string result;
  if (IsBlank(text)) return result;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') result += c;
  }
  return result;
}

bool StrToBoolean(std::string_view text) {
  static constexpr std::string_view kTrueTexts = "|TRUE|1|YES|";
  std::string s = UpperCase(Trim(text));
  return !s.empty() && kTrueTexts.find(s) != std::string_view::npos;
}

namespace {

// A money amount as a count of ten-thousandths, rounded to the nearest.
std::int64_t ToCurrency(double amount) {
  double scaled = std::round(amount * 10000.0);
  if (!std::isfinite(scaled) || scaled < -9223372036854775808.0 ||
      scaled >= 9223372036854775808.0) {
    throw ERangeError("Currency amount out of range");
  }
  return static_cast<std::int64_t>(scaled);
}

// Appends text to the content the field holds in the current record.
void AppendToBlob(const std::string& text, TField* field) {
  TBlobStream stream(field, bmReadWrite);
  stream.Seek(0, TBlobStream::soFromEnd);
  stream.Write(text.data(), static_cast<std::int64_t>(text.size()));
  stream.Commit();  // raising here counts as failure; the destructor cannot report
}

}  // namespace

bool WriteFieldData(const std::string& text, TField* field) {
  if (text.empty()) return true;
  try {
    switch (field->DataType()) {
      case ftBoolean:
        field->SetAsBoolean(StrToBoolean(text));
        break;
      case ftCurrency:
        if (field->Currency()) {
          field->SetAsCurrency(ToCurrency(StrToFloat(NumericOnly(text))));
        } else {
          field->SetAsFloat(StrToFloat(NumericOnly(text)));
        }
        break;
      case ftDate:
        field->SetAsDateTime(StrToDate(text));
        break;
      case ftTime:
        field->SetAsDateTime(StrToTime(text));
        break;
      case ftDateTime:
        field->SetAsDateTime(StrToDateTime(text));
        break;
      case ftBlob:
      case ftMemo:
      case ftFmtMemo:
        AppendToBlob(text, field);
        break;
      default:
        field->SetAsString(text);
        break;
    }
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace korvane
