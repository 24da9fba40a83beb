// The TField family: one class per group of type codes, each doing its own
// text conversion and range checks, and CreateField, which picks the class
// for a type code; the number fields are in number_fields.cpp. See db.h for
// the texts and widths.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "data/db.h"
#include "data/fields_internal.h"
#include "text/number_text.h"

namespace korvane {

using namespace fields_internal;

namespace {

// True/False, T/F, Yes/No, Y/N and 1/0, case-insensitive, blanks around.
bool ParseBooleanText(std::string_view text, bool& value) {
  std::string s = UpperCase(TrimBlanks(text));
  if (s == "TRUE" || s == "T" || s == "YES" || s == "Y" || s == "1") {
    value = true;
    return true;
  }
  if (s == "FALSE" || s == "F" || s == "NO" || s == "N" || s == "0") {
    value = false;
    return true;
  }
  return false;
}

const char* BoolText(bool value) { return value ? "True" : "False"; }

class TStringField : public TField {
 public:
  using TField::TField;

 protected:
  const std::string& Value() const { return std::get<std::string>(Data()); }

  std::string GetAsString() const override { return Value(); }
  char* TextToCharsImpl(char* first, char* last) const override {
    return CopyToChars(first, last, Value());
  }
  void AppendTextImpl(std::string& out) const override { out += Value(); }
  TTextKind TextKindImpl() const override { return tkString; }
  void SetAsStringImpl(std::string_view value) override { StoreString(value); }

  std::int64_t GetAsLargeInt() const override {
    if (IsBlank(Value())) return 0;
    std::int64_t v = 0;
    switch (ParseInteger(Value(), v)) {
      case IntText::kOk:
        return v;
      case IntText::kOverflow:
        throw ERangeError("'" + Value() + "' is out of range for field '" + FieldName() + "'");
      case IntText::kInvalid:
        break;
    }
    throw EConvertError("'" + Value() + "' is not a valid integer value");
  }
  void SetAsLargeIntImpl(std::int64_t value) override { StoreString(IntToStr(value)); }

  double GetAsFloat() const override {
    if (IsBlank(Value())) return 0.0;
    return StrToFloat(Value());
  }
  void SetAsFloatImpl(double value) override { StoreString(FloatToStr(value)); }

  bool GetAsBoolean() const override {
    if (IsBlank(Value())) return false;
    bool v = false;
    if (!ParseBooleanText(Value(), v)) {
      throw EConvertError("'" + Value() + "' is not a valid boolean value");
    }
    return v;
  }
  void SetAsBooleanImpl(bool value) override { StoreString(BoolText(value)); }

  TDateTime GetAsDateTime() const override {
    if (IsBlank(Value())) return 0.0;
    return StrToDateTime(Value());
  }
  void SetAsDateTimeImpl(TDateTime value) override { StoreString(DateTimeToStr(value)); }

  int DefaultDisplayWidth() const override { return Size(); }
};

class TBooleanField : public TField {
 public:
  using TField::TField;

 protected:
  bool Value() const { return std::get<bool>(Data()); }

  std::string GetAsString() const override { return BoolText(Value()); }
  char* TextToCharsImpl(char* first, char* last) const override {
    return CopyToChars(first, last, Value() ? std::string_view("True") : std::string_view("False"));
  }
  TTextKind TextKindImpl() const override { return tkBoolean; }
  void SetAsStringImpl(std::string_view value) override {
    if (value.empty()) {
      StoreNull();
      return;
    }
    bool v = false;
    if (!ParseBooleanText(value, v)) {
      throw EConvertError("'" + std::string(value) + "' is not a valid boolean value");
    }
    Store(v);
  }

  bool GetAsBoolean() const override { return Value(); }
  void SetAsBooleanImpl(bool value) override { Store(value); }

  std::int64_t GetAsLargeInt() const override { return Value() ? 1 : 0; }
  void SetAsLargeIntImpl(std::int64_t value) override { Store(value != 0); }

  int DefaultDisplayWidth() const override { return 5; }
};

// Date, time and date-time fields. A date field keeps whole days, a time
// field the time of day, a date-time field the whole value.
class TDateTimeField : public TField {
 public:
  using TField::TField;

 protected:
  double Value() const { return std::get<double>(Data()); }

  std::string GetAsString() const override {
    switch (DataType()) {
      case ftDate:
        return DateToStr(Value());
      case ftTime:
        return TimeToStr(Value());
      default:
        return DateTimeToStr(Value());
    }
  }
  char* TextToCharsImpl(char* first, char* last) const override {
    switch (DataType()) {
      case ftDate:
        return DateToChars(first, last, Value());
      case ftTime:
        return TimeToChars(first, last, Value());
      default:
        return DateTimeToChars(first, last, Value());
    }
  }
  TTextKind TextKindImpl() const override { return tkDateTime; }
  void AppendTextImpl(std::string& out) const override {
    switch (DataType()) {
      case ftDate:
        AppendDateToStr(out, Value());
        break;
      case ftTime:
        AppendTimeToStr(out, Value());
        break;
      default:
        AppendDateTimeToStr(out, Value());
        break;
    }
  }
  void SetAsStringImpl(std::string_view value) override {
    if (value.empty()) {
      StoreNull();
      return;
    }
    switch (DataType()) {
      case ftDate:
        SetAsDateTimeImpl(StrToDate(value));
        break;
      case ftTime:
        SetAsDateTimeImpl(StrToTime(value));
        break;
      default:
        SetAsDateTimeImpl(StrToDateTime(value));
        break;
    }
  }

  TDateTime GetAsDateTime() const override { return Value(); }
  void SetAsDateTimeImpl(TDateTime value) override {
    if (!std::isfinite(value)) {
      throw ERangeError("Invalid date-time value for field '" + FieldName() + "'");
    }
    Store(DateTimeOfType(DataType(), value));
  }

  double GetAsFloat() const override { return Value(); }
  void SetAsFloatImpl(double value) override { SetAsDateTimeImpl(value); }

  int DefaultDisplayWidth() const override {
    // The longest texts of a two-digit day and month and of a time with two
    // hour digits, morning and afternoon, under the settings in force.
    const TDateTime dates[] = {EncodeDate(2000, 12, 28), EncodeDate(2000, 9, 28)};
    const TDateTime times[] = {EncodeTime(11, 59, 59, 0), EncodeTime(23, 59, 59, 0)};
    std::size_t width = 0;
    for (TDateTime d : dates) {
      for (TDateTime t : times) {
        std::size_t n = 0;
        switch (DataType()) {
          case ftDate:
            n = DateToStr(d).size();
            break;
          case ftTime:
            n = TimeToStr(t).size();
            break;
          default:
            n = DateTimeToStr(d + t).size();
            break;
        }
        width = std::max(width, n);
      }
    }
    return static_cast<int>(width);
  }
};

// Fixed and variable byte fields: raw bytes, shown as they are.
class TBytesField : public TField {
 public:
  using TField::TField;

 protected:
  std::string GetAsString() const override { return std::get<std::string>(Data()); }
  void SetAsStringImpl(std::string_view value) override { StoreString(value); }
  int DefaultDisplayWidth() const override { return Size(); }
};

// Binary blobs (blob, graphic, OLE and typed-binary fields).
class TBlobField : public TField {
 public:
  using TField::TField;

 protected:
  std::string GetAsString() const override { return std::get<std::string>(Data()); }
  void SetAsStringImpl(std::string_view value) override { StoreString(value); }
  int DefaultDisplayWidth() const override { return Size() > 0 ? Size() : 10; }
};

// Memo and formatted-memo fields: text blobs.
class TMemoField : public TBlobField {
 public:
  using TBlobField::TBlobField;
};

// A value of whichever kind each record holds. Texts are held as the
// field's StoredText (written like any text, quoted where texts are); the
// integers and doubles are the field's own values, written as numbers.
class TVariantField : public TField {
 public:
  using TField::TField;

 protected:
  std::string GetAsString() const override {
    if (const auto* i = std::get_if<std::int64_t>(&Data())) return IntToStr(*i);
    if (const auto* b = std::get_if<bool>(&Data())) return BoolText(*b);
    return FloatToStr(std::get<double>(Data()));
  }
  char* TextToCharsImpl(char* first, char* last) const override {
    if (const auto* i = std::get_if<std::int64_t>(&Data())) {
      const std::int64_t value = *i;
      return PutBounded(first, last, kIntegerTextRoom,
                        [value](char* p) { return PutInteger(p, value); });
    }
    if (const auto* d = std::get_if<double>(&Data())) return FloatToChars(first, last, *d);
    return CopyToChars(first, last, GetAsString());
  }
  void SetAsStringImpl(std::string_view value) override { StoreString(value); }

  std::int64_t GetAsLargeInt() const override {
    if (const auto* i = std::get_if<std::int64_t>(&Data())) return *i;
    if (const auto* b = std::get_if<bool>(&Data())) return *b ? 1 : 0;
    return FloatToLargeInt(*this, std::get<double>(Data()));
  }
  void SetAsLargeIntImpl(std::int64_t value) override { Store(value); }
  double GetAsFloat() const override {
    if (const auto* i = std::get_if<std::int64_t>(&Data())) return static_cast<double>(*i);
    if (const auto* b = std::get_if<bool>(&Data())) return *b ? 1 : 0;
    return std::get<double>(Data());
  }
  void SetAsFloatImpl(double value) override { Store(value); }
  bool GetAsBoolean() const override { return GetAsFloat() != 0; }
  void SetAsBooleanImpl(bool value) override { Store(value); }

  int DefaultDisplayWidth() const override { return Size() > 0 ? Size() : 24; }
};

TField* NewField(TDataSet* dataSet, const std::string& fieldName, TFieldType dataType, int size) {
  if (TField* number = NewNumberField(dataSet, fieldName, dataType, size)) return number;
  switch (dataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      return new TStringField(dataSet, fieldName, dataType, size);
    case ftBoolean:
      return new TBooleanField(dataSet, fieldName, dataType, size);
    case ftDate:
    case ftTime:
    case ftDateTime:
      return new TDateTimeField(dataSet, fieldName, dataType, size);
    case ftBytes:
    case ftVarBytes:
      return new TBytesField(dataSet, fieldName, dataType, size);
    case ftMemo:
    case ftFmtMemo:
      return new TMemoField(dataSet, fieldName, dataType, size);
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return new TBlobField(dataSet, fieldName, dataType, size);
    case ftVariant:
      return new TVariantField(dataSet, fieldName, dataType, size);
    default:
      break;
  }
  throw EDatabaseError("Field '" + fieldName + "' has an unsupported type (" +
                       FieldTypeName(dataType) + ")");
}

}  // namespace

TField* CreateField(TDataSet* dataSet, const std::string& fieldName, TFieldType dataType,
                    int size) {
  TField* field = NewField(dataSet, fieldName, dataType, size);
  switch (dataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      field->FStoreKind = TField::skString;
      break;
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftWord:
    case ftLargeint:
      field->FStoreKind = TField::skInteger;
      break;
    case ftBoolean:
      field->FStoreKind = TField::skBoolean;
      break;
    case ftFloat:
    case ftBCD:
      field->FStoreKind = TField::skFloat;
      break;
    case ftCurrency:
      field->FStoreKind = TField::skCurrency;
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      field->FStoreKind = TField::skDateTime;
      break;
    case ftVariant:
      field->FStoreKind = TField::skVariant;
      break;
    default:
      break;
  }
  return field;
}

}  // namespace korvane
