#include "src/kvcsvexp.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "platform/dialogs.h"
#include "platform/formats.h"
#include "platform/sysutils.h"
#include "src/kvprogress.h"

namespace korvane {

// Cleans up after a run whichever way it leaves Execute: buffered lines go
// to the file, the file is closed and the progress window freed. CleanUp
// does nothing the second time, so the normal path may call it first.
class TCSVExport::TRunGuard {
 public:
  explicit TRunGuard(TCSVExport& owner) : FOwner(owner) {}
  ~TRunGuard() { FOwner.CleanUp(); }
  TRunGuard(const TRunGuard&) = delete;
  TRunGuard& operator=(const TRunGuard&) = delete;

 private:
  TCSVExport& FOwner;
};

TCSVExport::TCSVExport(TComponent* owner)
    : TComponent(owner),
      FFieldList(std::make_unique<TStringList>()),
      FHeaderData(std::make_unique<TStringList>()),
      FTrailerData(std::make_unique<TStringList>()) {}

TCSVExport::~TCSVExport() { CleanUp(); }

void TCSVExport::SetCustomSeparator(const std::string& Value) {
  FCustomSeparator = NormaliseCustomSeparator(Value);
}

void TCSVExport::SetFieldList(const TStrings* Value) {
  if (Value == nullptr) {
    FFieldList->Clear();
  } else {
    FFieldList->Assign(*Value);
  }
}

void TCSVExport::SetHeaderData(const TStrings* Value) {
  if (Value == nullptr) {
    FHeaderData->Clear();
  } else {
    FHeaderData->Assign(*Value);
  }
}

void TCSVExport::SetTrailerData(const TStrings* Value) {
  if (Value == nullptr) {
    FTrailerData->Clear();
  } else {
    FTrailerData->Assign(*Value);
  }
}

void TCSVExport::SetVersion(const std::string& /*Value*/) {}

std::string TCSVExport::GetFieldDelimiterChar() const {
  return FieldDelimiterChar(FFieldDelimiter);
}

std::string TCSVExport::GetFieldSeparatorChar() const {
  return FieldSeparatorChar(FFieldSeparator, FCustomSeparator);
}

void TCSVExport::ResolveCharacters() {
  FDelimiter = GetFieldDelimiterChar();
  FSeparator = GetFieldSeparatorChar();
}

// ---------------------------------------------------------------------------
// Record formatting

namespace {

// What the formatting needs to know of a field type, looked up once per
// value.
enum TTypeTrait : std::uint8_t {
  ttOmitted = 1,   // binary data, blobs, plain memos: the value never reaches the line
  ttDateTime = 2,  // date, time and date-time
  ttText = 4,      // quoted also when only text values are
  ttNumeric = 8,   // padded on the side NumericAlign chooses in fixed-width lines
  ttAny = 16,      // every type
};

constexpr std::uint8_t TraitsOf(TFieldType type) {
  switch (type) {
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return ttOmitted;
    case ftMemo:
      return ttOmitted | ttText;
    case ftString:
    case ftFmtMemo:
      return ttText;
    case ftDate:
    case ftTime:
    case ftDateTime:
      return ttDateTime;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
      return ttNumeric;
    default:
      return 0;
  }
}

constexpr std::array<std::uint8_t, 256> kTypeTraits = [] {
  std::array<std::uint8_t, 256> traits{};
  for (std::size_t t = 0; t < traits.size(); ++t) {
    traits[t] = TraitsOf(static_cast<TFieldType>(t)) | ttAny;
  }
  return traits;
}();

// Room asked for before a value is written in place: numbers, booleans and
// dates always fit, and most texts do.
constexpr std::size_t kValueRoom = 64;

// Room for FloatToChars: any double's text fits.
constexpr std::size_t kFloatRoom = 32;
// A number's text made apart from the line: room for any of them, which
// is also copied whole.
constexpr std::size_t kNumberRoom = 32;
static_assert(kNumberRoom >= kFloatRoom && kNumberRoom >= kIntegerTextRoom &&
              kNumberRoom >= kCurrencyTextRoom);

// How a record's values are joined, taken from the properties once per
// record.
struct TLineStyle {
  std::string_view separator;
  std::string_view quote;
  std::uint8_t quoted = 0;  // the traits of the values quoted: none, text or all
  bool fixed = false;
  bool rightNumbers = false;  // fixed-width numbers padded on the left
};

}  // namespace

// A record's bytes put together on the stack and handed to the output in
// one append, instead of an append per value, separator and quote. A value
// that does not fit goes to the output directly, after what the builder
// holds. What was not handed on when a raise leaves the record is dropped.
class TCSVExport::TLineBuilder {
 public:
  explicit TLineBuilder(std::string& out) : FOut(out) {}
  TLineBuilder(const TLineBuilder&) = delete;
  TLineBuilder& operator=(const TLineBuilder&) = delete;

  // True when n bytes fit from Cursor() on (handing on what is held first
  // when needed); false when n is more than the builder ever holds.
  bool Reserve(std::size_t n) {
    if (n <= kSize - FLength) return true;
    Flush();
    return n <= kSize;
  }
  char* Cursor() { return FBuffer + FLength; }
  char* Limit() { return FBuffer + kSize; }
  // Takes the bytes written from Cursor() up to end.
  void Commit(const char* end) { FLength = static_cast<std::size_t>(end - FBuffer); }

  void Put(char c) {
    if (FLength == kSize) Flush();
    FBuffer[FLength++] = c;
  }
  // Separators and quotes: one character or none (ResolveCharacters).
  void Put(std::string_view mark) {
    if (mark.size() == 1) {
      Put(mark.front());
    } else {
      for (char c : mark) Put(c);
    }
  }
  void PutBlanks(int count) {
    if (count <= 0) return;
    const auto n = static_cast<std::size_t>(count);
    if (Reserve(n)) {
      std::memset(Cursor(), ' ', n);
      FLength += n;
    } else {
      FOut.append(n, ' ');
    }
  }

  // A field's text: in place when it fits, else through AppendText.
  void PutText(const TField& field) {
    if (Reserve(kValueRoom)) {
      if (const char* end = field.TextToChars(Cursor(), Limit())) {
        Commit(end);
        return;
      }
    }
    field.AppendText(Output());
  }
  // A field's text padded with blanks to width, on the left when right is
  // set; a longer text is kept whole.
  void PutPadded(const TField& field, int width, bool right) {
    const std::size_t room =
        width > 0 ? std::max(kValueRoom, static_cast<std::size_t>(width)) : kValueRoom;
    if (Reserve(room)) {
      char* const start = Cursor();
      if (char* end = field.TextToChars(start, Limit())) {
        const std::ptrdiff_t padding = width - (end - start);
        if (padding > 0) {
          const auto blanks = static_cast<std::size_t>(padding);
          if (right) {
            std::memmove(start + padding, start, static_cast<std::size_t>(end - start));
            std::memset(start, ' ', blanks);
          } else {
            std::memset(end, ' ', blanks);
          }
          end += padding;
        }
        Commit(end);
        return;
      }
    }
    std::string& out = Output();
    const std::size_t at = out.size();
    field.AppendText(out);
    const int padding = width - static_cast<int>(out.size() - at);
    if (padding > 0) {
      if (right) {
        out.insert(at, static_cast<std::size_t>(padding), ' ');
      } else {
        out.append(static_cast<std::size_t>(padding), ' ');
      }
    }
  }
  void PutDate(TDateTime value) {
    if (Reserve(kValueRoom)) {
      if (const char* end = DateToChars(Cursor(), Limit(), value)) {
        Commit(end);
        return;
      }
    }
    AppendDateToStr(Output(), value);
  }
  void PutTime(TDateTime value) {
    if (Reserve(kValueRoom)) {
      if (const char* end = TimeToChars(Cursor(), Limit(), value)) {
        Commit(end);
        return;
      }
    }
    AppendTimeToStr(Output(), value);
  }

  // One value as the style wants it: quoted, padded, left out.
  void PutValue(const TField& field, const TLineStyle& style) {
    const TFieldType type = field.DataType();
    const std::uint8_t traits = kTypeTraits[type];
    const bool wrap = (traits & style.quoted) != 0;
    if (wrap) Put(style.quote);
    if (traits & ttOmitted) {
      // nothing: the value is empty in both layouts
    } else if (traits & ttDateTime) {
      const TDateTime value = field.AsDateTime();
      // Day zero (which is also what a field without a value reads) counts as
      // no date. Dates before day zero are real dates and are written like any
      // other: dropping them would lose every date before 1899-12-30.
      const bool hasDate = value != 0;
      if (style.fixed) {
        if (hasDate) {
          PutText(field);
        } else {
          PutBlanks(field.DisplayWidth());
        }
      } else if (type == ftTime) {
        PutTime(value);
      } else if (hasDate) {
        PutDate(value);  // the date part only, also for date-time
      }
    } else if (!style.fixed) {
      PutText(field);
    } else {
      PutPadded(field, field.DisplayWidth(), style.rightNumbers && (traits & ttNumeric));
    }
    if (wrap) Put(style.quote);
  }

  // The output, holding everything put so far, for a value written to it
  // directly.
  std::string& Output() {
    Flush();
    return FOut;
  }
  void Flush() {
    FOut.append(FBuffer, FLength);
    FLength = 0;
  }

 private:
  static constexpr std::size_t kSize = 1024;
  std::string& FOut;
  std::size_t FLength = 0;
  char FBuffer[kSize];
};

bool TCSVExport::FormatRecord(std::string& out, bool fixed) {
  if (FDataSet == nullptr) return true;
  const std::size_t start = out.size();
  try {
    TLineBuilder line(out);
    TLineStyle style;
    style.separator = FSeparator;
    style.quote = FDelimiter;
    if (!FDelimiter.empty()) style.quoted = FDelimitedFields == dfTextOnly ? ttText : ttAny;
    style.fixed = fixed;
    style.rightNumbers = FNumericAlign == naRight;
    const std::vector<TField*>& fields = FDataSet->Fields();
    const int count = FDataSet->FieldCount();
    bool first = true;
    for (int i = 0; i < count; ++i) {
      // A handler that changed the fields meanwhile makes Fields(i) raise.
      const auto index = static_cast<std::size_t>(i);
      const TField* field = index < fields.size() ? fields[index] : FDataSet->Fields(i);
      if (FFieldListAction != flaNone &&
          !FieldInFieldList(FFieldListAction, FFieldList.get(), field->FieldName())) {
        continue;
      }
      // Every value after the first is preceded by the separator, so n values
      // give n - 1 separators even when some of them are empty.
      if (!first) line.Put(style.separator);
      first = false;
      line.PutValue(*field, style);
    }
    line.Flush();
  } catch (...) {
    // A record that cannot be read is skipped as a whole.
    out.resize(start);
    return false;
  }
  return true;
}

std::string TCSVExport::GetDelimitedRecord() {
  std::string line;
  FormatRecord(line, false);
  return line;
}

std::string TCSVExport::GetFixedRecord() {
  std::string line;
  FormatRecord(line, true);
  return line;
}

// ---------------------------------------------------------------------------
// The record plan: a run's lines without a look-up or a call per value
//
// Everything the formatting of a record decides from the properties, the
// field list, the fields' types, widths and classes and the format settings
// is worked out once into a list of columns, which then write each value
// straight into the write buffer. Nothing of that changes while the records
// are walked, except through code of the host: the run works the plan out
// again after each OnExportRecord and each progress step. Records whose
// values the plan cannot write itself (a field with an OnGetText handler,
// a field class of the host's, formatted memos, money fields not marked as
// money) go through FormatRecord, so the bytes are the same either way.

namespace {

enum class TColumnKind : std::uint8_t {
  ckNothing,  // the types left out
  ckString,
  ckInteger,
  ckBoolean,
  ckFloat,
  ckCurrency,
  ckDate,       // a date through the plan's date writer
  ckDateText,   // a date through DateToStr's text (formats with names)
  ckFieldDate,  // fixed-width times and date-times: the field's own text
  ckTime,       // delimited times: the time of the value, also of none
};

struct TColumn {
  const TField* field;
  std::size_t index;  // of the field's value in the record
  std::size_t width;
  // The most bytes this column and the ones after it take (some stored and
  // then written over), the record separator included, leaving out what
  // texts longer than kShortText take beyond it.
  std::size_t rest;
  // What goes before the value: the closing quote of the value before, the
  // separator (but before the first value), the opening quote. All four
  // bytes are always stored.
  char open[4];
  std::uint8_t openLength;
  TColumnKind kind;
  bool wrap;    // between quotes
  bool pad;     // padded with blanks up to width
  bool right;   // ... on the left
  bool blanks;  // a date column that writes width blanks for no date
};

// Room a column takes besides its value and padding: the four bytes before
// the value and a closing quote, and the sixteen-byte steps in which blanks
// are stored.
constexpr std::size_t kColumnRoom = 5 + 16;

// Texts up to this long are copied with one sixteen-byte load and store,
// whatever their length, into room the record asked for beforehand. Every
// std::string holds capacity() + 1 bytes from data() on, and no string's
// capacity is below an empty one's, so the load stays inside the text's
// storage.
constexpr std::size_t kShortText = 16;
static_assert(std::string().capacity() + 1 >= kShortText);

// Stores n blanks at p in sixteen-byte steps, at least one: up to sixteen
// bytes past them are stored too. Most paddings take the first step only.
void FillBlanks(char* p, std::size_t n) {
  static constexpr char kBlanks[17] = "                ";
  std::memcpy(p, kBlanks, 16);
  if (n <= 16) return;
  if (n > 48) {
    std::memset(p, ' ', n);
    return;
  }
  std::memcpy(p + 16, kBlanks, 16);
  if (n > 32) std::memcpy(p + 32, kBlanks, 16);
}

// Pads a value of length bytes that ends at p with blanks up to width, and
// returns the new end: texts and booleans of fixed-width lines aligned on
// the left.
[[gnu::always_inline]] inline char* PadLeft(char* p, std::size_t length, std::size_t width) {
  const std::size_t blanks = length < width ? width - length : 0;
  FillBlanks(p, blanks);
  return p + blanks;
}

// Writes the number text [text, end) at p after the blanks that make it
// width long, and returns its end. The column's room covers what the
// sixteen-byte steps store past it.
[[gnu::always_inline]] inline char* PutRight(char* p, const char* text, const char* end,
                                             std::size_t width) {
  const auto length = static_cast<std::size_t>(end - text);
  const std::size_t blanks = length < width ? width - length : 0;
  FillBlanks(p, blanks);
  std::memcpy(p + blanks, text, 16);
  if (length > 16) std::memcpy(p + blanks + 16, text + 16, 16);
  return p + blanks + length;
}

// The value a date-time field reads for AsDateTime: 0 without a value.
double DateValue(const TField& field, const TFieldData& data) {
  if (const auto* value = std::get_if<double>(&data)) return *value;
  if (data.index() == 0) return 0;  // as AsDateTime reads a field without a value
  return field.AsDateTime();        // another alternative converts or raises
}

// Copies n bytes; short texts (most values) without a call.
char* CopyBytes(char* p, const char* s, std::size_t n) {
  if (n > 16) {
    std::memcpy(p, s, n);
  } else {
    CopyShort(p, s, n);
  }
  return p + n;
}

}  // namespace

namespace {

// A value of a record as the thread formatting ahead gets it: its
// alternative of TFieldData and its payload, texts in a buffer beside.
struct TCopiedValue {
  std::uint8_t Alternative;
  bool Boolean;
  std::uint32_t Offset;  // texts: where in the buffer, and how long
  std::uint32_t Length;
  union {
    std::int64_t Integer;
    double Float;
  };
};

// Where a column's value is in a record, and the alternative of it that a
// copy carries (0: none, the column reads nothing).
struct TCopySlot {
  std::size_t Index;
  std::uint8_t Own;
};

// How a record's plan reads its values: from the dataset's current record,
// by field index, or from a copy, by column.
struct TFieldReader {
  const TFieldData* Values;
  const TFieldData& At(const TColumn& column, std::size_t) const { return Values[column.index]; }
  static bool IsNull(const TFieldData& data) { return data.index() == 0; }
  static std::optional<std::string_view> Text(const TFieldData& data) {
    if (const auto* text = std::get_if<std::string>(&data)) return std::string_view(*text);
    return std::nullopt;
  }
  static const std::int64_t* Int(const TFieldData& data) {
    return std::get_if<std::int64_t>(&data);
  }
  static const bool* Bool(const TFieldData& data) { return std::get_if<bool>(&data); }
  static const double* Double(const TFieldData& data) { return std::get_if<double>(&data); }
  static double Date(const TColumn& column, const TFieldData& data) {
    return DateValue(*column.field, data);
  }
};

// Texts are read sixteen bytes at a time: the buffer holds kShortText bytes
// more than its texts.
struct TCopyReader {
  const TCopiedValue* Row;
  const char* Texts;
  const TCopiedValue& At(const TColumn&, std::size_t k) const { return Row[k]; }
  static bool IsNull(const TCopiedValue& value) { return value.Alternative == 0; }
  std::optional<std::string_view> Text(const TCopiedValue& value) const {
    if (value.Alternative != TField::kTextIndex) return std::nullopt;
    return std::string_view(Texts + value.Offset, value.Length);
  }
  static const std::int64_t* Int(const TCopiedValue& value) {
    return value.Alternative == 1 ? &value.Integer : nullptr;
  }
  static const bool* Bool(const TCopiedValue& value) {
    return value.Alternative == 3 ? &value.Boolean : nullptr;
  }
  static const double* Double(const TCopiedValue& value) {
    return value.Alternative == 2 ? &value.Float : nullptr;
  }
  // CopyValues lets through dates and empty values only.
  static double Date(const TColumn&, const TCopiedValue& value) {
    return value.Alternative == 2 ? value.Float : 0;
  }
};

}  // namespace

class TCSVExport::TRecordPlan {
 public:
  // recordSeparator: one or two bytes.
  TRecordPlan(TCSVExport& owner, bool fixed, std::string_view recordSeparator)
      : FOwner(owner), FFixed(fixed), FRecordSeparator(recordSeparator) {
    recordSeparator.copy(FLineEnd, sizeof FLineEnd);
  }

  // Works the plan out from the component and its dataset as they are now.
  void Build();
  // False when records go through FormatRecord.
  bool Usable() const { return FUsable; }

  // Appends the current record's line and the record separator to the
  // write buffer and returns the line's length; 0 (appending nothing) when
  // the line is empty or a value raised.
  std::size_t Put() {
    // No columns also when the dataset is gone: nothing to read then.
    return FColumns.empty() ? 0 : PutValues(FOwner.FDataSet->CurrentValues());
  }
  // The same for a record whose values are at values, by field index.
  std::size_t PutValues(const TFieldData* values) {
    if (FColumns.empty()) return 0;
    const TFieldReader reader{values};
    return FFixed ? PutRecord<true>(reader) : PutRecord<false>(reader);
  }
  // The same for a record copied by CopyValues.
  std::size_t PutCopy(const TCopiedValue* row, const char* texts) {
    if (FColumns.empty()) return 0;
    const TCopyReader reader{row, texts};
    return FFixed ? PutRecord<true>(reader) : PutRecord<false>(reader);
  }

  // Whether the plan can write records from copies of their values on
  // another thread: it has columns, and none of them asks its field for
  // anything or reads the format settings while a record is written.
  bool WorksFromCopies() const;
  // For each column, where its value is in a record and the alternative
  // the plan writes from a copy (0: the column reads nothing).
  void CopySlots(std::vector<TCopySlot>& slots) const;

 private:
  template <bool kFixed, class TReader>
  std::size_t PutRecord(const TReader& reader);
  bool AddColumn(TField* field, std::uint8_t quoted);
  char* Ensure(char* p, std::size_t n) {
    return static_cast<std::size_t>(FOwner.FBuffer.get() + FOwner.FCapacity - p) >= n
               ? p
               : FOwner.Grow(p, n);
  }
  char* PutText(char* p, std::string_view text, const TColumn& column) {
    p = Ensure(p, text.size() + column.rest);
    return CopyBytes(p, text.data(), text.size());
  }
  // The field's text through the field itself, for values of another
  // alternative than its type has (which raises as it does elsewhere).
  char* PutFieldText(char* p, const TColumn& column) {
    FText.clear();
    column.field->AppendText(FText);
    return PutText(p, FText, column);
  }

  TCSVExport& FOwner;
  const bool FFixed;
  const std::string_view FRecordSeparator;
  char FLineEnd[2] = {};  // its bytes, stored two at a time
  bool FUsable = false;
  char FSeparator = 0;
  char FQuote = 0;
  std::uint8_t FCloseLength = 0;  // the last value's closing quote
  char FDecimalSeparator = '.';
  std::vector<TColumn> FColumns;
  std::unique_ptr<TDateWriter> FDates;
  std::string FText;  // texts made apart from the buffer
};

void TCSVExport::TRecordPlan::Build() {
  FUsable = false;
  FColumns.clear();
  const TCSVExport& owner = FOwner;
  if (owner.FDataSet == nullptr) {
    FUsable = true;  // no line at all
    return;
  }
  if (owner.FSeparator.size() > 1 || owner.FDelimiter.size() > 1) return;
  FSeparator = owner.FSeparator.empty() ? 0 : owner.FSeparator.front();
  FQuote = owner.FDelimiter.empty() ? 0 : owner.FDelimiter.front();
  FDecimalSeparator = FormatSettings().DecimalSeparator;
  std::uint8_t quoted = 0;
  if (FQuote != 0) quoted = owner.FDelimitedFields == dfTextOnly ? ttText : ttAny;
  try {
    for (TField* field : owner.FDataSet->Fields()) {
      if (owner.FFieldListAction != flaNone &&
          !FieldInFieldList(owner.FFieldListAction, owner.FFieldList.get(), field->FieldName())) {
        continue;
      }
      if (!AddColumn(field, quoted)) {
        FColumns.clear();
        return;
      }
    }
  } catch (...) {
    FColumns.clear();
    return;
  }
  FCloseLength = !FColumns.empty() && FColumns.back().wrap ? 1 : 0;
  std::size_t rest = FRecordSeparator.size();
  for (auto column = FColumns.rbegin(); column != FColumns.rend(); ++column) {
    rest += column->rest;
    column->rest = rest;
  }
  FUsable = true;
}

// Adds the column of a field taking part, with its own room in rest; false
// when the plan cannot write the field's values.
bool TCSVExport::TRecordPlan::AddColumn(TField* field, std::uint8_t quoted) {
  TColumn column{};
  column.field = field;
  column.index = static_cast<std::size_t>(field->Index());
  const TFieldType type = field->DataType();
  const std::uint8_t traits = kTypeTraits[type];
  column.wrap = (traits & quoted) != 0;
  if (!FColumns.empty() && FColumns.back().wrap) column.open[column.openLength++] = FQuote;
  if (!FColumns.empty() && FSeparator != 0) column.open[column.openLength++] = FSeparator;
  if (column.wrap) column.open[column.openLength++] = FQuote;
  std::size_t room = 0;
  if (traits & ttOmitted) {
    column.kind = TColumnKind::ckNothing;  // never read
  } else {
    if (field->OnGetText()) return false;
    const TTextKind kind = field->TextKind();
    if ((traits & ttDateTime) != (kind == tkDateTime ? ttDateTime : 0)) return false;
    if (traits & ttDateTime) {
      const bool dateOnly = !FFixed ? type != ftTime : type == ftDate;
      if (!FFixed && type == ftTime) {
        column.kind = TColumnKind::ckTime;
      } else if (dateOnly) {
        if (!FDates || !FDates->Current()) FDates = std::make_unique<TDateWriter>();
        room = FDates->Room();
        column.kind = room > 0 ? TColumnKind::ckDate : TColumnKind::ckDateText;
      } else {
        column.kind = TColumnKind::ckFieldDate;
      }
      if (FFixed) {
        column.blanks = true;
        column.width = static_cast<std::size_t>(std::max(0, field->DisplayWidth()));
      }
    } else {
      switch (kind) {
        case tkString:
          column.kind = TColumnKind::ckString;
          room = kShortText;
          break;
        case tkInteger:
          column.kind = TColumnKind::ckInteger;
          room = kIntegerTextRoom;
          break;
        case tkBoolean:
          column.kind = TColumnKind::ckBoolean;
          room = 8;  // written eight bytes at a time
          break;
        case tkFloat:
          column.kind = TColumnKind::ckFloat;
          room = kFloatRoom;
          break;
        case tkCurrency:
          column.kind = TColumnKind::ckCurrency;
          room = kCurrencyTextRoom;
          break;
        default:
          return false;
      }
      if (FFixed) {
        column.pad = true;
        column.right = FOwner.FNumericAlign == naRight && (traits & ttNumeric) != 0;
        column.width = static_cast<std::size_t>(std::max(0, field->DisplayWidth()));
      }
    }
  }
  column.rest = kColumnRoom + room + column.width;
  FColumns.push_back(column);
  return true;
}

bool TCSVExport::TRecordPlan::WorksFromCopies() const {
  if (!FUsable || FColumns.empty()) return false;
  for (const TColumn& column : FColumns) {
    switch (column.kind) {
      case TColumnKind::ckNothing:
      case TColumnKind::ckString:
      case TColumnKind::ckInteger:
      case TColumnKind::ckBoolean:
      case TColumnKind::ckCurrency:
      case TColumnKind::ckDate:
        break;
      default:
        // Floats, times and dates without a table of their own are
        // written by the format settings of the moment or by the field.
        return false;
    }
  }
  return true;
}

void TCSVExport::TRecordPlan::CopySlots(std::vector<TCopySlot>& slots) const {
  slots.clear();
  for (const TColumn& column : FColumns) {
    std::uint8_t own = 0;
    switch (column.kind) {
      case TColumnKind::ckString:
        own = TField::kTextIndex;
        break;
      case TColumnKind::ckInteger:
      case TColumnKind::ckCurrency:
        own = 1;
        break;
      case TColumnKind::ckBoolean:
        own = 3;
        break;
      case TColumnKind::ckDate:
        own = 2;
        break;
      default:
        break;  // nothing read (WorksFromCopies lets no other kind through)
    }
    slots.push_back({column.index, own});
  }
}

template <bool kFixed, class TReader>
std::size_t TCSVExport::TRecordPlan::PutRecord(const TReader& reader) {
  const std::size_t start = FOwner.FLength;
  char* p = FOwner.Room(FColumns.front().rest);
  try {
    for (std::size_t k = 0; k < FColumns.size(); ++k) {
      const TColumn& column = FColumns[k];
      std::memcpy(p, column.open, 4);
      p += column.openLength;
      const auto& data = reader.At(column, k);
      std::size_t length = 0;  // of the value written, for the padding
      switch (column.kind) {
        case TColumnKind::ckNothing:
          break;
        case TColumnKind::ckString:
          if (const auto value = reader.Text(data)) {
            length = value->size();
            if (length <= kShortText) {
              std::memcpy(p, value->data(), kShortText);
              p += length;
              if (kFixed && !column.right) {
                p = PadLeft(p, length, column.width);
                continue;  // the padding is done
              }
            } else {
              p = PutText(p, *value, column);
            }
          } else if (!reader.IsNull(data)) {
            p = PutFieldText(p, column);
            length = FText.size();
          }
          break;
        case TColumnKind::ckInteger:
          if (const auto* value = reader.Int(data)) {
            if (kFixed && column.right) {
              char text[kNumberRoom];
              p = PutRight(p, text, PutInteger(text, *value), column.width);
              continue;  // the padding is done
            }
            char* const first = p;
            p = PutInteger(p, *value);
            length = static_cast<std::size_t>(p - first);
          } else if (!reader.IsNull(data)) {
            p = PutFieldText(p, column);
            length = FText.size();
          }
          break;
        case TColumnKind::ckBoolean:
          if (const auto* value = reader.Bool(data)) {
            std::memcpy(p, *value ? "True\0\0\0\0" : "False\0\0\0", 8);
            length = *value ? 4 : 5;
            p += length;
            if (kFixed && !column.right) {
              p = PadLeft(p, length, column.width);
              continue;
            }
          } else if (!reader.IsNull(data)) {
            p = PutFieldText(p, column);
            length = FText.size();
          }
          break;
        case TColumnKind::ckFloat:
          if (const auto* value = reader.Double(data)) {
            if (kFixed && column.right) {
              char text[kNumberRoom];
              p = PutRight(p, text, FloatToChars(text, text + kFloatRoom, *value), column.width);
              continue;
            }
            char* const first = p;
            p = FloatToChars(p, p + kFloatRoom, *value);
            length = static_cast<std::size_t>(p - first);
          } else if (!reader.IsNull(data)) {
            p = PutFieldText(p, column);
            length = FText.size();
          }
          break;
        case TColumnKind::ckCurrency:
          if (const auto* value = reader.Int(data)) {
            if (kFixed && column.right) {
              char text[kNumberRoom];
              p = PutRight(p, text, PutCurrencyAmount(text, *value, FDecimalSeparator),
                           column.width);
              continue;
            }
            char* const first = p;
            p = PutCurrencyAmount(p, *value, FDecimalSeparator);
            length = static_cast<std::size_t>(p - first);
          } else if (!reader.IsNull(data)) {
            p = PutFieldText(p, column);
            length = FText.size();
          }
          break;
        case TColumnKind::ckTime:
          FText.clear();
          AppendTimeToStr(FText, reader.Date(column, data));
          p = PutText(p, FText, column);
          break;
        case TColumnKind::ckDate:
        case TColumnKind::ckDateText:
        case TColumnKind::ckFieldDate: {
          // Day zero (also what a field without a value reads) counts as no
          // date; dates before it are written like any other. Dates are not
          // padded: a fixed-width line has blanks only for no date.
          const double value = reader.Date(column, data);
          if (value == 0) {
            if (kFixed && column.blanks) {
              FillBlanks(p, column.width);
              p += column.width;
            }
          } else if (column.kind == TColumnKind::ckDate) {
            p = FDates->Put(p, value);
          } else {
            FText.clear();
            if (column.kind == TColumnKind::ckDateText) {
              AppendDateToStr(FText, value);
            } else {
              column.field->AppendText(FText);
            }
            p = PutText(p, FText, column);
          }
          break;
        }
        default:
          __builtin_unreachable();  // every kind has its case
      }
      if (kFixed && column.pad && length < column.width) {
        FillBlanks(p, column.width - length);
        if (column.right) {
          // Numbers with a value went through PutRight: this is a column
          // without a value (all blanks), or a text the field gave for a
          // value of another alternative (which raises before it gets here).
          std::memmove(p - length + (column.width - length), p - length, length);
          std::memset(p - length, ' ', column.width - length);
        }
        p += column.width - length;
      }
    }
  } catch (...) {
    // A record that cannot be read is skipped as a whole.
    return 0;
  }
  *p = FQuote;
  p += FCloseLength;
  const std::size_t length = static_cast<std::size_t>(p - FOwner.FBuffer.get()) - start;
  if (length == 0) return 0;
  std::memcpy(p, FLineEnd, 2);
  p += FRecordSeparator.size();
  FOwner.FLength = static_cast<std::size_t>(p - FOwner.FBuffer.get());
  return length;
}

// Formats records on a second thread from copies of their values while the
// calling thread walks the dataset, and hands the lines on to the file as
// the run would. While it exists, the thread is the only user of the write
// buffer, the background writer and the plan's scratch; the calling thread
// only fills rows and reads the plan's columns.
class TCSVExport::TFormatAhead {
 public:
  // Starts the thread; raises std::system_error when it cannot.
  TFormatAhead(TCSVExport& owner, TRecordPlan& plan)
      : FOwner(owner), FPlan(plan), FSlots(Slots(plan)), FWidth(FSlots.size()), FThread([this] {
          Run();
        }) {}
  // Formats what was handed over, then ends the thread. Only when the run
  // is already leaving by an exception: what the thread raised then goes.
  ~TFormatAhead() {
    try {
      Finish();
    } catch (...) {
    }
  }
  TFormatAhead(const TFormatAhead&) = delete;
  TFormatAhead& operator=(const TFormatAhead&) = delete;

  // Copies the next record's values for the thread. False, copying
  // nothing, when the plan cannot write them from a copy (a value is of
  // another alternative than its column's), when memory for the copy runs
  // out, or once a write has failed (the run then ends).
  bool Add(const TFieldData* values) {
    if (FFilling == nullptr && !Acquire()) return false;
    TBatch& batch = *FFilling;
    TCopiedValue* copy = batch.Values.data() + batch.Rows * FWidth;
    const std::size_t textsBefore = batch.TextsSize;
    for (const TCopySlot& slot : FSlots) {
      const TFieldData& data = values[slot.Index];
      const auto alternative = static_cast<std::uint8_t>(data.index());
      copy->Alternative = alternative;
      if (alternative != 0 && slot.Own != 0) {
        if (alternative != slot.Own) {
          batch.TextsSize = textsBefore;
          return false;
        }
        if (const auto* integer = std::get_if<1>(&data)) {
          copy->Integer = *integer;
        } else if (const auto* number = std::get_if<2>(&data)) {
          copy->Float = *number;
        } else if (const auto* flag = std::get_if<3>(&data)) {
          copy->Boolean = *flag;
        } else if (const auto* text = std::get_if<TField::kTextIndex>(&data)) {
          if (!CopyText(batch, *text, *copy)) {
            batch.TextsSize = textsBefore;
            return false;
          }
        }
      } else {
        copy->Alternative = 0;
      }
      ++copy;
    }
    if (++batch.Rows == kBatchRows) HandOver();
    return true;
  }
  // Formats and writes everything handed over and ends the thread: the line
  // bytes counted and false when a write failed; raises what the thread
  // raised.
  bool Finish() {
    if (FThread.joinable()) {
      if (FFilling != nullptr && FFilling->Rows > 0) HandOver();
      {
        std::lock_guard<std::mutex> lock(FLock);
        FClosing = true;
      }
      FChanged.notify_all();
      FThread.join();
    }
    if (FError) std::rethrow_exception(std::exchange(FError, nullptr));
    return !FFailed;
  }
  // Bytes of the lines written, each counting two separator bytes.
  std::int64_t Bytes() const { return FBytes; }

 private:
  // On cache lines of their own: the thread reads one batch while the
  // calling thread fills the next.
  struct alignas(64) TBatch {
    std::vector<TCopiedValue> Values;  // FWidth per record
    // The texts, one after another, and kShortText bytes of room behind
    // the last, since they are copied and read sixteen bytes at a time.
    std::unique_ptr<char[]> Texts;
    std::size_t TextsSize = 0;
    std::size_t TextsCapacity = 0;
    std::size_t Rows = 0;
  };

  static std::vector<TCopySlot> Slots(const TRecordPlan& plan) {
    std::vector<TCopySlot> slots;
    plan.CopySlots(slots);
    return slots;
  }
  // Appends text to the batch's texts and points copy at it; false when it
  // cannot be held.
  static bool CopyText(TBatch& batch, std::string_view text, TCopiedValue& copy) {
    const std::size_t n = text.size();
    if (batch.TextsCapacity - batch.TextsSize < n + kShortText) {
      // Offsets are 32-bit: a batch of texts that large goes the usual way.
      if (batch.TextsSize + n > std::numeric_limits<std::uint32_t>::max()) return false;
      const std::size_t capacity =
          std::max(2 * batch.TextsCapacity, batch.TextsSize + n + kShortText + 4096);
      auto grown = std::unique_ptr<char[]>(new (std::nothrow) char[capacity]);
      if (!grown) return false;
      if (batch.TextsSize > 0) std::memcpy(grown.get(), batch.Texts.get(), batch.TextsSize);
      batch.Texts = std::move(grown);
      batch.TextsCapacity = capacity;
    }
    char* out = batch.Texts.get() + batch.TextsSize;
    if (n <= kShortText) {
      std::memcpy(out, text.data(), kShortText);  // a text's string holds 16 bytes or more
    } else {
      std::memcpy(out, text.data(), n);
    }
    copy.Offset = static_cast<std::uint32_t>(batch.TextsSize);
    copy.Length = static_cast<std::uint32_t>(n);
    batch.TextsSize += n;
    return true;
  }
  static constexpr std::size_t kBatches = kFormatAheadBatches;
  static constexpr std::size_t kBatchRows = kFormatAheadBatch;

  bool Acquire() {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return FFailed || FHanded - FDone < kBatches; });
    if (FFailed) return false;
    TBatch& batch = FBatches[FHanded % kBatches];
    lock.unlock();
    if (batch.Values.size() != kBatchRows * FWidth) batch.Values.resize(kBatchRows * FWidth);
    batch.TextsSize = 0;
    batch.Rows = 0;
    FFilling = &batch;
    return true;
  }
  void HandOver() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      ++FHanded;
    }
    FChanged.notify_all();
    FFilling = nullptr;
  }
  void Run() {
    for (std::uint64_t n = 0;; ++n) {
      {
        std::unique_lock<std::mutex> lock(FLock);
        FChanged.wait(lock, [&] { return n < FHanded || FClosing; });
        if (n >= FHanded) return;
      }
      const TBatch& batch = FBatches[n % kBatches];
      bool failed = FFailed;
      std::int64_t bytes = 0;
      try {
        for (std::size_t r = 0; r < batch.Rows && !failed; ++r) {
          const std::size_t length =
              FPlan.PutCopy(batch.Values.data() + r * FWidth, batch.Texts.get());
          if (length == 0) continue;
          bytes += static_cast<std::int64_t>(length) + 2;
          if (FOwner.FLength >= FOwner.FFlushAt && !FOwner.QueueWriteBuffer()) failed = true;
        }
      } catch (...) {
        FError = std::current_exception();
        failed = true;
      }
      FBytes += bytes;
      {
        std::lock_guard<std::mutex> lock(FLock);
        FDone = n + 1;
        if (failed) FFailed = true;
      }
      FChanged.notify_all();
    }
  }

  TCSVExport& FOwner;
  TRecordPlan& FPlan;
  const std::vector<TCopySlot> FSlots;
  const std::size_t FWidth;
  std::array<TBatch, kBatches> FBatches;
  alignas(64) TBatch* FFilling = nullptr;  // the calling thread's
  // The thread's, read after it ends.
  alignas(64) std::int64_t FBytes = 0;
  std::exception_ptr FError;
  // FHanded counts the batches handed to the thread, FDone those it has
  // written; FFailed is set once a write failed.
  alignas(64) std::mutex FLock;
  std::condition_variable FChanged;
  std::uint64_t FHanded = 0;
  std::uint64_t FDone = 0;
  bool FClosing = false;
  bool FFailed = false;
  std::thread FThread;  // last: it starts once everything above exists
};

// ---------------------------------------------------------------------------
// Writing

std::string_view TCSVExport::RecordSeparatorBytes() const {
  switch (FRecordSeparator) {
    case rsCR:
      return "\r";
    case rsLF:
      return "\n";
    case rsCRLF:
      break;
  }
  return "\r\n";
}

char* TCSVExport::Grow(char* end, std::size_t n) {
  const auto used = static_cast<std::size_t>(end - FBuffer.get());
  const std::size_t capacity = std::max(used + n, std::max(2 * FCapacity, kWriteBufferSize + 1024));
  auto grown = std::make_unique_for_overwrite<char[]>(capacity);
  if (used > 0) std::memcpy(grown.get(), FBuffer.get(), used);
  FBuffer = std::move(grown);
  FCapacity = capacity;
  return FBuffer.get() + used;
}

void TCSVExport::Append(std::string_view bytes) {
  std::memcpy(Room(bytes.size()), bytes.data(), bytes.size());
  FLength += bytes.size();
}

void TCSVExport::ReleaseBuffer() noexcept {
  FBuffer.reset();
  FLength = 0;
  FCapacity = 0;
}

bool TCSVExport::WaitForWriter() {
  if (FWriter == nullptr || FWriter->Wait()) return true;
  if (FWriteErrorCode == 0) FWriteErrorCode = FWriter->Error();
  FLength = 0;  // a failed write ends the run
  return false;
}

void TCSVExport::StopWriter() noexcept {
  FWriter.reset();  // waits for the write in progress
  FSpare.reset();
  FSpareCapacity = 0;
}

bool TCSVExport::QueueWriteBuffer() {
  if (FLength == 0) return true;
  // Until the writes have reached their full size they go out here, so that
  // a short run needs no thread and an early failure is found as soon as
  // before; a long run then overlaps writing with formatting, and a failure
  // is found one write later.
  if (FFlushAt < kMaxWriteBufferSize) return FlushWriteBuffer();
  if (FWriter == nullptr) {
    try {
      FWriter = std::make_unique<TBackgroundWriter>(FFileHandle);
    } catch (...) {
      return FlushWriteBuffer();  // no thread to be had: write here
    }
  } else if (!WaitForWriter()) {
    return false;
  }
  FWriter->Start(FBuffer.get(), FLength);
  std::swap(FBuffer, FSpare);
  std::swap(FCapacity, FSpareCapacity);
  FWrittenBytes += FLength;
  FFlushAt = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(FWrittenBytes, kWriteBufferSize, kMaxWriteBufferSize));
  FLength = 0;
  if (FCapacity < FFlushAt + kWriteBufferSize) Grow(FBuffer.get(), FFlushAt + kWriteBufferSize);
  return true;
}

bool TCSVExport::FlushWriteBuffer() {
  // Whatever the background writer holds goes out before what is buffered.
  if (!WaitForWriter()) return false;
  if (FLength == 0) return true;
  const bool ok = WriteFile(FFileHandle, FBuffer.get(), FLength);
  if (ok) {
    FWrittenBytes += FLength;
    FFlushAt = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(FWrittenBytes, kWriteBufferSize, kMaxWriteBufferSize));
  }
  // What failed to go out is dropped: a failed write ends the run.
  FLength = 0;
  // Give back what a very long line made the buffer grow to, and make room
  // for the next write in one go.
  if (FCapacity > 4 * kMaxWriteBufferSize) ReleaseBuffer();
  if (FCapacity < FFlushAt + kWriteBufferSize) Grow(FBuffer.get(), FFlushAt + kWriteBufferSize);
  if (!ok && FWriteErrorCode == 0) FWriteErrorCode = GetLastError();
  return ok;
}

bool TCSVExport::WriteData(const std::string& line) {
  Append(line);
  Append(RecordSeparatorBytes());
  return FLength < FFlushAt || FlushWriteBuffer();
}

bool TCSVExport::WriteLines(const TStrings& lines) {
  const int count = lines.Count();
  for (int i = 0; i < count; ++i) {
    if (!WriteData(lines.Strings(i))) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The run

void TCSVExport::FreeProgressWindow() noexcept {
  TProgressWindow* window = FProgressWindow;
  FProgressWindow = nullptr;
  delete window;
}

bool TCSVExport::Setup() {
  FRecordCounter = 0;
  FLength = 0;
  if (FCapacity < kWriteBufferSize + 1024) Grow(FBuffer.get(), kWriteBufferSize + 1024);
  FFlushAt = kWriteBufferSize;
  FWrittenBytes = 0;
  FWriteErrorCode = 0;
  try {
    if (FDataSet == nullptr) return false;
    // Everything that can fail comes before the output file is created, so
    // that a run that cannot start leaves an earlier file untouched.
    if (!FDataSet->Active()) FDataSet->Open();
    FRecordTotal = FDataSet->RecordCount();
    if (FShowProgress) {
      if (FProgressWindow == nullptr) FProgressWindow = new TProgressWindow(this);
      FProgressWindow->Init(ptExport, pcRecord, FOutputFile, FRecordTotal, 0);
      FProgressWindow->Show();
    }
    FDataSet->First();
    ResolveCharacters();
    FFileHandle.Close();  // left open by a host that drove the pieces itself
    FFileHandle = CreateFileForWrite(FOutputFile);
    return FFileHandle.Valid();
  } catch (...) {
    return false;
  }
}

void TCSVExport::CleanUp() {
  if (FFileHandle.Valid()) FlushWriteBuffer();
  StopWriter();
  if (FFileHandle.Valid()) {
    if (!FFileHandle.Close() && FWriteErrorCode == 0) FWriteErrorCode = GetLastError();
  }
  ReleaseBuffer();  // a long run's buffer is not kept between runs
  std::string().swap(FLine);
  FreeProgressWindow();
}

std::int32_t TCSVExport::Execute() {
  std::int32_t result = -1;
  try {
    if (FOnBeginExport) FOnBeginExport(this);
    bool written = true;
    {
      TRunGuard guard(*this);
      if (!Setup()) {
        CleanUp();
        return -1;
      }
      result = 0;
      written = WriteRun();
      CleanUp();
    }
    if (!written || FWriteErrorCode != 0) {
      result = -1;
      MessageDlg("Write failed with error code " + IntToStr(FWriteErrorCode), mtError,
                 TMsgDlgButtons{mbOK}, 0);
      return -1;
    }
    result = FRecordCounter;
    if (FOnFinishExport) FOnFinishExport(this);
  } catch (const EConvertError&) {
    MessageDlg("Data conversion error!", mtError, TMsgDlgButtons{mbOK}, 0);
  }
  return result;
}

bool TCSVExport::WriteRun() {
  std::int64_t bytes = 0;
  // Progress is shown about a hundred times per run, whatever its size.
  const std::int32_t interval = std::max<std::int32_t>(1, FRecordTotal / 100);
  const bool fixed = FExportType == expFixed;

  if (FHeaderOutput && !WriteLines(*FHeaderData)) return false;

  // A handler may point DataSet elsewhere; this run walks the dataset it
  // started on (and formats what DataSet points to, like FormatRecord).
  TDataSet* const dataSet = FDataSet;
  const std::string_view separator = RecordSeparatorBytes();
  TRecordPlan plan(*this, fixed, separator);
  plan.Build();
  // With no host code looking on, records are formatted on a second thread
  // for as long as they can be from copies of their values; a record that
  // cannot, and all after it, go the usual way.
  if (FFormatAhead && !FOnExportRecord && !(FShowProgress && FProgressWindow != nullptr) &&
      plan.WorksFromCopies() && !dataSet->Eof()) {
    std::optional<TFormatAhead> ahead;
    try {
      ahead.emplace(*this, plan);
    } catch (const std::system_error&) {
      // No thread to be had: every record goes the usual way.
    }
    if (ahead) {
      while (!dataSet->Eof() && FDataSet == dataSet && ahead->Add(dataSet->CurrentValues())) {
        dataSet->Next();
        ++FRecordCounter;
      }
      const bool written = ahead->Finish();
      bytes += ahead->Bytes();
      if (!written) return false;
    }
  }
  while (!dataSet->Eof()) {
    std::size_t length = 0;
    if (plan.Usable()) {
      length = plan.Put();
    } else {
      FLine.clear();
      FormatRecord(FLine, fixed);
      length = FLine.size();
      if (length > 0) {
        Append(FLine);
        Append(separator);
      }
    }
    if (length > 0) {
      // Every line counts two separator bytes, whatever RecordSeparator writes.
      bytes += static_cast<std::int64_t>(length) + 2;
      if (FLength >= FFlushAt && !QueueWriteBuffer()) return false;
    }
    dataSet->Next();
    ++FRecordCounter;
    if (FOnExportRecord) {
      // The handler may look at the file: it must hold every line so far.
      if (!FlushWriteBuffer()) return false;
      FOnExportRecord(this, FRecordCounter, bytes);
      plan.Build();  // the handler may have changed what the plan holds
    }
    if (FShowProgress && FRecordCounter % interval == 0 && FProgressWindow != nullptr) {
      FProgressWindow->Increment(FRecordCounter, bytes);
      plan.Build();
    }
  }

  if (FTrailerOutput && !WriteLines(*FTrailerData)) return false;
  return true;
}

}  // namespace korvane
