// The number fields: integers, floats, NUMERIC(p,s), money amounts and exact
// decimals, each reading and writing its texts and checking its range.
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

// A money amount in ten-thousandths rounded to whole units, halves away from
// zero.
std::int64_t WholeOfAmount(std::int64_t amount) {
  std::int64_t whole = amount / kCurrencyScale;
  const std::int64_t rest = amount % kCurrencyScale;
  if (rest >= kCurrencyScale / 2) ++whole;
  if (rest <= -kCurrencyScale / 2) --whole;
  return whole;
}

char* PutCurrency(char* p, std::int64_t value) {
  return PutCurrencyAmount(p, value, FormatSettings().DecimalSeparator);
}

std::string CurrencyText(std::int64_t value) {
  char buf[kCurrencyTextRoom];
  return std::string(buf, PutCurrency(buf, value));
}

// The integer types; each instance knows its range and default width.
class TIntegerField : public TField {
 public:
  TIntegerField(TDataSet* dataSet, const std::string& name, TFieldType type, int size,
                std::int64_t min, std::int64_t max, int width)
      : TField(dataSet, name, type, size), FMin(min), FMax(max), FWidth(width) {}

 protected:
  std::int64_t Value() const { return std::get<std::int64_t>(Data()); }

  [[noreturn]] void OutOfRange(const std::string& valueText) const {
    throw ERangeError("Value " + valueText + " is out of range for field '" + FieldName() + "' (" +
                      IntToStr(FMin) + " to " + IntToStr(FMax) + ")");
  }
  void StoreChecked(std::int64_t value) {
    if (value < FMin || value > FMax) OutOfRange(IntToStr(value));
    Store(value);
  }

  std::string GetAsString() const override { return IntToStr(Value()); }
  char* TextToCharsImpl(char* first, char* last) const override {
    const std::int64_t value = Value();
    return PutBounded(first, last, kIntegerTextRoom,
                      [value](char* p) { return PutInteger(p, value); });
  }
  TTextKind TextKindImpl() const override { return tkInteger; }
  void SetAsStringImpl(std::string_view value) override { StoreText(value); }

 public:
  // SetAsStringImpl without the virtual call (TField::StoreIntegerText).
  void StoreText(std::string_view value) {
    if (value.empty()) {
      StoreNull();
      return;
    }
    std::int64_t v = 0;
    switch (ParseInteger(value, v)) {
      case IntText::kOk:
        StoreChecked(v);
        return;
      case IntText::kOverflow:
        OutOfRange(std::string(TrimBlanks(value)));
      case IntText::kInvalid:
        break;
    }
    throw EConvertError("'" + std::string(value) + "' is not a valid integer value");
  }

 protected:
  std::int64_t GetAsLargeInt() const override { return Value(); }
  void SetAsLargeIntImpl(std::int64_t value) override { StoreChecked(value); }

  double GetAsFloat() const override { return static_cast<double>(Value()); }
  void SetAsFloatImpl(double value) override {
    std::int64_t v = 0;
    if (!RoundToInt64(value, v)) OutOfRange(FloatToStr(value));
    StoreChecked(v);
  }

  bool GetAsBoolean() const override { return Value() != 0; }
  void SetAsBooleanImpl(bool value) override { StoreChecked(std::int64_t{value ? 1 : 0}); }

  std::int64_t GetAsCurrency() const override {
    std::int64_t v = Value();
    if (v > kInt64Max / kCurrencyScale || v < kInt64Min / kCurrencyScale) {
      throw ERangeError("Value " + IntToStr(v) + " of field '" + FieldName() +
                        "' is out of range for a currency amount");
    }
    return v * kCurrencyScale;
  }
  void SetAsCurrencyImpl(std::int64_t value) override { StoreChecked(WholeOfAmount(value)); }

  int DefaultDisplayWidth() const override { return FWidth; }

 private:
  std::int64_t FMin;
  std::int64_t FMax;
  int FWidth;
};

class TFloatField : public TField {
 public:
  using TField::TField;

 protected:
  double Value() const { return std::get<double>(Data()); }

  std::string GetAsString() const override { return FloatToStr(Value()); }
  char* TextToCharsImpl(char* first, char* last) const override {
    return FloatToChars(first, last, Value());
  }
  TTextKind TextKindImpl() const override { return tkFloat; }
  void SetAsStringImpl(std::string_view value) override {
    if (value.empty()) {
      StoreNull();
      return;
    }
    // NaN and the infinities read back as the field writes them (NAN, INF,
    // -INF), and as the databases spell them.
    double number = 0;
    if (!TryStrToFloat(value, number) && !NonFiniteNumber(value, number)) {
      number = StrToFloat(value);  // raises why the text is no number
    }
    Store(number);
  }

  std::int64_t GetAsLargeInt() const override { return FloatToLargeInt(*this, Value()); }
  void SetAsLargeIntImpl(std::int64_t value) override { Store(static_cast<double>(value)); }

  double GetAsFloat() const override { return Value(); }
  void SetAsFloatImpl(double value) override { Store(value); }

  int DefaultDisplayWidth() const override { return 24; }
};

// A column of a declared NUMERIC(p,s) (Precision p) keeps s decimals (Scale
// s): a text of more is rounded as such a column rounds it, on its own
// digits, halves away from zero. Without a precision the field is a float
// field.
class TBCDField : public TFloatField {
 public:
  using TFloatField::TFloatField;

 protected:
  void SetAsStringImpl(std::string_view value) override {
    if (Precision() > 0 && Scale() >= 0) {
      const TFormatSettings& fs = FormatSettings();
      TNumberParts number;
      std::int64_t units = 0;
      if (ReadNumberText(value, nrExponent, fs.DecimalSeparator, fs.ThousandSeparator, number) &&
          number.Decimals() > Scale() && RoundedUnits(number, Scale(), units)) {
        Store(UnitsToDouble(units, Scale()));
        return;
      }
    }
    TFloatField::SetAsStringImpl(value);
  }
};

// Money amounts. With its Currency flag set, as CreateField leaves it, the
// field holds a value exactly as a count of ten-thousandths (std::int64_t),
// rounded to the nearest with halves away from zero. A field whose flag the
// host clears is no money amount: it is written as a float and keeps what
// it is given as a double, in full, as a float field would (12.345678 stays
// 12.345678). Either form reads back through every As... accessor, so a
// record holds whichever form the field had when the value was stored.
class TCurrencyField : public TField {
 public:
  using TField::TField;

 protected:
  // The amount in ten-thousandths, when the record holds one.
  const std::int64_t* Amount() const { return std::get_if<std::int64_t>(&Data()); }
  double FloatValue() const {
    if (const std::int64_t* amount = Amount()) {
      return static_cast<double>(*amount) / static_cast<double>(kCurrencyScale);
    }
    return std::get<double>(Data());
  }

  std::string GetAsString() const override {
    return Currency() ? CurrencyText(GetAsCurrency()) : FloatToStr(GetAsFloat());
  }
  char* TextToCharsImpl(char* first, char* last) const override {
    if (!Currency()) return FloatToChars(first, last, GetAsFloat());
    const std::int64_t value = GetAsCurrency();
    return PutBounded(first, last, kCurrencyTextRoom,
                      [value](char* p) { return PutCurrency(p, value); });
  }
  // Amounts not marked as money are written as floats.
  TTextKind TextKindImpl() const override { return Currency() ? tkCurrency : tkOther; }
  void SetAsStringImpl(std::string_view value) override {
    if (value.empty()) {
      StoreNull();
      return;
    }
    // An amount of at most four decimals is read exactly, so that the
    // field's own text reads back as its amount.
    std::int64_t amount = 0;
    if (Currency() && TryStrToAmount(value, amount)) {
      Store(amount);
      return;
    }
    SetAsFloatImpl(StrToFloat(value));
  }

  std::int64_t GetAsLargeInt() const override {
    const std::int64_t* amount = Amount();
    if (amount == nullptr) return FloatToLargeInt(*this, FloatValue());
    return WholeOfAmount(*amount);
  }
  void SetAsLargeIntImpl(std::int64_t value) override {
    if (!Currency()) {
      Store(static_cast<double>(value));
      return;
    }
    if (value > kInt64Max / kCurrencyScale || value < kInt64Min / kCurrencyScale) {
      throw ERangeError("Value " + IntToStr(value) + " is out of range for field '" + FieldName() +
                        "'");
    }
    Store(value * kCurrencyScale);
  }

  double GetAsFloat() const override { return FloatValue(); }
  void SetAsFloatImpl(double value) override {
    if (!Currency()) {
      Store(value);
      return;
    }
    std::int64_t v = 0;
    if (!RoundToInt64(value * static_cast<double>(kCurrencyScale), v)) {
      throw ERangeError("Value " + FloatToStr(value) + " is out of range for field '" +
                        FieldName() + "'");
    }
    Store(v);
  }

  std::int64_t GetAsCurrency() const override {
    if (const std::int64_t* amount = Amount()) return *amount;
    return TField::GetAsCurrency();
  }
  void SetAsCurrencyImpl(std::int64_t value) override { Store(value); }

  int DefaultDisplayWidth() const override { return 21; }
};

// Exact decimals of any size, held as their plain text with '.' as the
// separator (DecimalText): nothing goes through a double on the way in or
// out, so "12345678901234.5678" stays what it is. With a declared
// Precision, a text of more decimals than Scale is rounded to Scale on its
// own digits, halves away from zero.
class TDecimalTextField : public TField {
 public:
  using TField::TField;

 protected:
  const std::string& Value() const { return std::get<std::string>(Data()); }

  // The value taken apart; EConvertError when the column holds a text that
  // is no number (written there by another program).
  TNumberParts Parts() const {
    TNumberParts number;
    if (!ReadNumberText(Value(), nrExponent, '.', ',', number)) {
      throw EConvertError("'" + Value() + "' is not a valid number");
    }
    return number;
  }
  void StoreNumber(const TNumberParts& number, std::string_view given) {
    std::string text;
    if (!DecimalText(number, Precision() > 0 ? Scale() : -1, text)) {
      throw ERangeError("'" + std::string(given) + "' has more than " +
                        IntToStr(kDecimalTextDigits) + " digits, the most field '" + FieldName() +
                        "' keeps");
    }
    StoreString(text);
  }
  // text read with '.' as the separator.
  void StorePlain(std::string_view text) {
    TNumberParts number;
    ReadNumberText(text, nrExponent, '.', ',', number);
    StoreNumber(number, text);
  }

  std::string GetAsString() const override {
    std::string text = Value();
    std::replace(text.begin(), text.end(), '.', FormatSettings().DecimalSeparator);
    return text;
  }
  char* TextToCharsImpl(char* first, char* last) const override {
    char* end = CopyToChars(first, last, Value());
    if (end != nullptr) std::replace(first, end, '.', FormatSettings().DecimalSeparator);
    return end;
  }
  TTextKind TextKindImpl() const override { return tkDecimalText; }
  void SetAsStringImpl(std::string_view value) override {
    if (value.empty()) {
      StoreNull();
      return;
    }
    const TFormatSettings& fs = FormatSettings();
    // A text already in the form the field keeps is kept as it stands.
    if (fs.DecimalSeparator == '.' && IsDecimalText(value, Precision() > 0 ? Scale() : -1)) {
      StoreString(value);
      return;
    }
    TNumberParts number;
    if (!ReadNumberText(value, nrExponent | nrThousands, fs.DecimalSeparator, fs.ThousandSeparator,
                        number)) {
      // NaN and the infinities, kept in the spelling databases read; a
      // column of declared digits holds no infinity.
      if (double word = 0; NonFiniteNumber(value, word)) {
        if (std::isinf(word) && Precision() > 0) {
          throw ERangeError("'" + std::string(value) + "' is out of range for field '" +
                            FieldName() + "'");
        }
        StoreString(std::isnan(word) ? "NaN" : word > 0 ? "Infinity" : "-Infinity");
        return;
      }
      throw EConvertError("'" + std::string(value) + "' is not a valid number");
    }
    StoreNumber(number, value);
  }

  std::int64_t GetAsLargeInt() const override { return Units(0); }
  void SetAsLargeIntImpl(std::int64_t value) override { StorePlain(IntToStr(value)); }

  double GetAsFloat() const override {
    double value = 0;
    if (NonFiniteNumber(Value(), value)) return value;
    if (!NumberToDouble(Parts(), value)) {
      throw ERangeError("Value " + Value() + " of field '" + FieldName() +
                        "' is out of range for a double");
    }
    return value;
  }
  void SetAsFloatImpl(double value) override {
    if (!std::isfinite(value)) {
      throw ERangeError("Value " + FloatToStr(value) + " is out of range for field '" +
                        FieldName() + "'");
    }
    char text[32];
    StorePlain(std::string_view(text, std::to_chars(text, text + sizeof text, value).ptr - text));
  }

  std::int64_t GetAsCurrency() const override { return Units(4); }
  void SetAsCurrencyImpl(std::int64_t value) override {
    char text[kCurrencyTextRoom];
    StorePlain(std::string_view(text, PutCurrencyAmount(text, value, '.') - text));
  }

  int DefaultDisplayWidth() const override { return Precision() > 0 ? Precision() + 2 : 40; }

 private:
  // The value in units of 10^-decimals, rounded; ERangeError beyond 64 bits.
  std::int64_t Units(int decimals) const {
    std::int64_t units = 0;
    if (!RoundedUnits(Parts(), decimals, units)) {
      throw ERangeError("Value " + Value() + " of field '" + FieldName() + "' is out of range");
    }
    return units;
  }
};

}  // namespace

void TField::StoreIntegerText(std::string_view value) {
  // Only CreateField's integer fields are skInteger.
  static_cast<TIntegerField*>(this)->StoreText(value);
}

TField* fields_internal::NewNumberField(TDataSet* dataSet, const std::string& fieldName,
                                       TFieldType dataType, int size) {
  switch (dataType) {
    case ftSmallint:
      return new TIntegerField(dataSet, fieldName, dataType, size, -32768, 32767, 6);
    case ftInteger:
    case ftAutoInc:
      return new TIntegerField(dataSet, fieldName, dataType, size, kInt32Min, kInt32Max, 11);
    case ftWord:
      return new TIntegerField(dataSet, fieldName, dataType, size, 0, 65535, 5);
    case ftLargeint:
      return new TIntegerField(dataSet, fieldName, dataType, size, kInt64Min, kInt64Max, 20);
    case ftFloat:
      return new TFloatField(dataSet, fieldName, dataType, size);
    case ftBCD:
      return new TBCDField(dataSet, fieldName, dataType, size);
    case ftCurrency:
      return new TCurrencyField(dataSet, fieldName, dataType, size);
    case ftDecimalText:
      return new TDecimalTextField(dataSet, fieldName, dataType, size);
    default:
      return nullptr;
  }
}

}  // namespace korvane
