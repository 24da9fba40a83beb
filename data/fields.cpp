// TField itself: the checked accessors every field class shares, the
// defaults a class overrides, and the names and groups of the type codes.
// The classes for each group of type codes are in field_types.cpp.
#include <cmath>

#include "data/db.h"
#include "data/fields_internal.h"

namespace korvane {

using namespace fields_internal;

// ---------------------------------------------------------------------------
// TField

TField::TField(TDataSet* dataSet, std::string fieldName, TFieldType dataType, int size)
    : TComponent(dataSet),
      FDataSet(dataSet),
      FFieldName(std::move(fieldName)),
      FDataType(dataType),
      FSize(size),
      FCurrency(dataType == ftCurrency),
      FScale(dataType == ftCurrency ? 4 : -1) {
  if (dataSet == nullptr) throw EDatabaseError("Field '" + FFieldName + "' has no dataset");
  dataSet->InsertField(this);
}

TField::~TField() {
  if (FIndex >= 0) FDataSet->RemoveField(this);
}

int TField::DisplayWidth() const {
  return FDisplayWidth >= 0 ? FDisplayWidth : DefaultDisplayWidth();
}

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void RaiseNotWritable(const TField* field) {
  const TDataSetState state = field->DataSet()->State();
  if (state != dsEdit && state != dsInsert) {
    throw EDatabaseError("Dataset not in edit or insert mode");
  }
  throw EDatabaseError("Field '" + field->FieldName() + "' cannot be modified");
}

}  // namespace

void TField::CheckWritable() const {
  // Called for every value written: the messages are built out of line.
  if (!Writable()) RaiseNotWritable(this);
}

void TField::SetRequired(bool value) {
  if (value == FRequired) return;
  FRequired = value;
  FDataSet->FRequiredCount += value ? 1 : -1;
}

void TField::Clear() {
  CheckWritable();
  StoreNull();
}

std::string TField::AsString() const {
  if (const std::string* stored = StoredText()) return *stored;
  return IsNull() ? std::string() : GetAsString();
}

void TField::CheckOwnValue(const char* what) const {
  if (const std::string* stored = StoredText()) {
    throw EConvertError("'" + *stored + "' is not a valid " + what);
  }
}

void TField::SetAsString(std::string_view value) {
  CheckWritable();
  SetAsStringImpl(value);
}

std::int32_t TField::AsInteger() const {
  std::int64_t v = AsLargeInt();
  if (v < kInt32Min || v > kInt32Max) {
    throw ERangeError("Value " + IntToStr(v) + " of field '" + FFieldName +
                      "' is out of range for a 32-bit integer");
  }
  return static_cast<std::int32_t>(v);
}

void TField::SetAsInteger(std::int32_t value) {
  CheckWritable();
  SetAsLargeIntImpl(value);
}

std::int64_t TField::AsLargeInt() const {
  CheckOwnValue("integer");
  return IsNull() ? 0 : GetAsLargeInt();
}

void TField::SetAsLargeInt(std::int64_t value) {
  CheckWritable();
  SetAsLargeIntImpl(value);
}

double TField::AsFloat() const {
  CheckOwnValue("floating point value");
  return IsNull() ? 0.0 : GetAsFloat();
}

void TField::SetAsFloat(double value) {
  CheckWritable();
  SetAsFloatImpl(value);
}

std::int64_t TField::AsCurrency() const {
  CheckOwnValue("money amount");
  return IsNull() ? 0 : GetAsCurrency();
}

void TField::SetAsCurrency(std::int64_t value) {
  CheckWritable();
  SetAsCurrencyImpl(value);
}

bool TField::AsBoolean() const {
  CheckOwnValue("boolean value");
  return IsNull() ? false : GetAsBoolean();
}

void TField::SetAsBoolean(bool value) {
  CheckWritable();
  SetAsBooleanImpl(value);
}

TDateTime TField::AsDateTime() const {
  CheckOwnValue("date and time");
  return IsNull() ? 0.0 : GetAsDateTime();
}

void TField::SetAsDateTime(TDateTime value) {
  CheckWritable();
  SetAsDateTimeImpl(value);
}

std::string TField::Text() const {
  const std::string* stored = StoredText();
  std::string text = stored ? *stored : IsNull() ? std::string() : GetText();
  if (FOnGetText) FOnGetText(const_cast<TField*>(this), text);
  return text;
}

const std::string& TField::BlobData() const {
  static const std::string empty;
  const auto* s = std::get_if<std::string>(&Data());
  return s != nullptr ? *s : empty;
}

void TField::SetValueText(std::string_view text) {
  CheckWritable();
  if (FDataType != ftDate && FDataType != ftTime && FDataType != ftDateTime &&
      FDataType != ftCurrency) {
    throw EDatabaseError("Field '" + FFieldName +
                         "' holds no date, time or amount to keep as a text");
  }
  StoreStringElse(text);
}

void TField::StoreStringElse(std::string_view value) {
  TFieldData& slot = Slot();
  if (auto* s = std::get_if<std::string>(&slot)) {
    s->assign(value);
    return;
  }
  // A buffer the dataset kept from an emptied record, when there is one.
  std::string& spare = FDataSet->FSpareStrings[static_cast<std::size_t>(FIndex)];
  if (value.size() > std::string().capacity() && spare.capacity() >= value.size()) {
    // A lent buffer may hold the text already (see TDataSet::LendTextBuffer).
    if (value.data() == spare.data()) {
      spare.resize(value.size());
    } else {
      spare.assign(value);
    }
    slot.emplace<std::string>(std::move(spare));
  } else {
    slot.emplace<std::string>(value);
  }
}

void TField::AccessError(const char* typeName) const {
  throw EDatabaseError("Cannot access field '" + FFieldName + "' as type " + typeName);
}

std::string TField::GetAsString() const { AccessError("String"); }
void TField::SetAsStringImpl(std::string_view) { AccessError("String"); }
std::int64_t TField::GetAsLargeInt() const { AccessError("Integer"); }
void TField::SetAsLargeIntImpl(std::int64_t) { AccessError("Integer"); }
double TField::GetAsFloat() const { AccessError("Float"); }
void TField::SetAsFloatImpl(double) { AccessError("Float"); }
bool TField::GetAsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBooleanImpl(bool) { AccessError("Boolean"); }
TDateTime TField::GetAsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTimeImpl(TDateTime) { AccessError("DateTime"); }

// Types without an exact amount go through their float value.
std::int64_t TField::GetAsCurrency() const {
  double amount = GetAsFloat();
  std::int64_t v = 0;
  if (!RoundToInt64(amount * static_cast<double>(kCurrencyScale), v)) {
    throw ERangeError("Value " + FloatToStr(amount) + " of field '" + FFieldName +
                      "' is out of range for a currency amount");
  }
  return v;
}

void TField::SetAsCurrencyImpl(std::int64_t value) {
  SetAsFloatImpl(static_cast<double>(value) / static_cast<double>(kCurrencyScale));
}

std::string TField::GetText() const { return GetAsString(); }

char* TField::TextToCharsImpl(char* /*first*/, char* /*last*/) const { return nullptr; }

TTextKind TField::TextKindImpl() const { return tkOther; }

void TField::AppendTextImpl(std::string& out) const {
  char buf[64];
  if (const char* end = TextToCharsImpl(buf, buf + sizeof buf)) {
    out.append(buf, static_cast<std::size_t>(end - buf));
  } else {
    out += GetText();
  }
}

int TField::DefaultDisplayWidth() const { return 10; }

// ---------------------------------------------------------------------------

bool IsBlobType(TFieldType dataType) {
  switch (dataType) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return true;
    default:
      return false;
  }
}

bool IsBinaryType(TFieldType dataType) {
  if (dataType == ftBytes || dataType == ftVarBytes) return true;
  return IsBlobType(dataType) && dataType != ftMemo && dataType != ftFmtMemo;
}

std::string FieldTypeName(TFieldType dataType) {
  static const char* const names[] = {
      "Unknown",     "String",    "Smallint",   "Integer",  "Word",     "Boolean",    "Float",
      "Currency",    "BCD",       "Date",       "Time",     "DateTime", "Bytes",      "VarBytes",
      "AutoInc",     "Blob",      "Memo",       "Graphic",  "FmtMemo",  "ParadoxOle", "DBaseOle",
      "TypedBinary", "FixedChar", "WideString", "Largeint", "Variant",  "DecimalText"};
  auto index = static_cast<std::size_t>(dataType);
  if (index < std::size(names)) return names[index];
  return "Type" + IntToStr(static_cast<std::int64_t>(index));
}

}  // namespace korvane
