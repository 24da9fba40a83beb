// The record plan: where an export decides the text of every value it
// writes, and the layout of the line around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/classes.h"
#include "data/db.h"
#include "text/formats.h"
#include "export/kvcsvexp.h"
#include "export/export_output.h"
#include "components/kvtypes.h"

namespace korvane {

// What a plan takes from the export's properties: the dataset whose current
// record it writes, fixed-width or delimited lines and the record separator
// after each, the quote and separator characters in force (0 for none) and
// which fields take part.
struct TExportLayout {
  TDataSet* DataSet = nullptr;
  bool Fixed = false;
  std::string_view RecordSeparator = "\r\n";  // one or two bytes
  char Separator = 0;  // the separator's first byte
  // All its bytes: one, or a UTF-8 character of up to four.
  std::string_view SeparatorText;
  char Quote = 0;
  TDelimitedFields DelimitedFields = dfAll;
  TFieldListAction FieldListAction = flaNone;
  const TStrings* FieldList = nullptr;
  TNumericAlignment NumericAlign = naLeft;
  bool WholeValues = false;
  // Values an unquoted line would not give back leave their record out
  // (CheckUnquoted).
  bool CheckUnquoted = false;
  // Dates, times and date-times in ISO 8601 (DateTimeStyle dsISO8601).
  bool Iso = false;
  // Values held with a zone offset written in UTC (UtcTimes).
  bool Utc = false;
  // The standard text rules for delimited lines with a quote character.
  bool Standard = false;
  // The escape character of the standard rules (0 for none).
  char Escape = 0;
  // Fixed-width lines laid out as columns (FixedLayout flColumns), their
  // widths from FixedWidths' text (empty: FixedWidth).
  bool Columns = false;
  std::string_view Widths;
  // What the columns' widths count (FixedWidthUnit).
  TFixedWidthUnit WidthUnit = fuBytes;
};

// The records a run left out, as its plan counts them: the totals, the
// first kListed of them and how many of them their line cannot hold.
struct TLeftOutLog {
  static constexpr std::size_t kListed = 100;
  TLeftOutRecords Totals;
  std::vector<TLeftOutRecord> List;
  std::int64_t Unfit = 0;
};

// A value of a record as the thread formatting ahead gets it: how it is
// held and its payload, texts in a buffer beside.
struct TCopiedValue {
  TValueKind Alternative;
  bool Boolean;
  std::uint32_t Offset;  // texts: where in the buffer, and how long
  std::uint32_t Length;
  union {
    std::int64_t Integer;
    double Float;
  };
};

// Where a column's value is in a record, and the alternative of it that a
// copy carries (vkNull: the column reads nothing).
struct TCopySlot {
  std::size_t Index;
  TValueKind Own;
};

// How a plan writes one column's values: a formatting strategy chosen from
// the field's type, class and the layout, not how a value is held
// (TValueKind), which each value checks against what its kind reads.
enum class TColumnKind : std::uint8_t {
  ckNothing,  // binary data, blobs, plain memos: the value never reaches the line
  ckField,    // the field's own text, asked of the field
  ckString,
  ckDecimalText,  // an exact decimal's text, its '.' the decimal separator
  ckInteger,
  ckBoolean,
  ckFloat,
  ckCurrency,
  ckDate,           // a date through the plan's date writer
  ckDateText,       // a date through DateToStr's text (formats with names)
  ckFieldDate,      // fixed-width times and date-times: the field's own text
  ckTime,           // delimited times: the time of the value
  ckWholeTime,      // whole values: the time, with milliseconds when not zero
  ckWholeDateTime,  // whole values: the date, a blank and the whole time
  ckHex,            // whole values: binary data as \x and lowercase hexadecimal
  ckIsoDate,        // ISO 8601: yyyy-mm-dd
  ckIsoTime,        // ISO 8601: hh:nn:ss, .zzz when not zero
  ckIsoDateTime,    // ISO 8601: both, joined by a blank
};

struct TColumn {
  const TField* field;
  std::size_t index;  // of the field's value in the record
  std::size_t width;
  // The most bytes this column and the ones after it store, the record
  // separator included, leaving out what texts longer than the column's own
  // room take beyond it.
  std::size_t rest;
  // What goes before the value: the closing quote of the value before, the
  // separator (but before the first value, up to four bytes), the opening
  // quote. All eight bytes are always stored.
  char open[8];
  std::uint8_t openLength;
  TColumnKind kind;
  bool wrap;      // between quotes
  bool askQuote;  // standard rules: the quote rule asks for quotes around it
  bool scan;      // standard rules: its usual values may hold bytes that need quotes
  bool pad;       // padded with blanks up to width in fixed-width lines
  bool right;     // ... on the left
  bool askDate;   // date kinds: the value is the field's AsDateTime
  bool text;      // the field holds text (IsTextFieldType)
  // Whole values of a decimal field of declared scale held as a number:
  // the decimals every value is written with at least (0: none asked).
  std::uint16_t scale;
};

// A value its column's line cannot hold: it leaves its record out alone.
class EUnfitValue : public std::runtime_error {
 public:
  EUnfitValue(std::string field, const std::string& why)
      : std::runtime_error("the value of field '" + field + "' " + why), Field(std::move(field)) {}
  std::string Field;
};

// The lines of a run, one per record. Everything the text of a record
// depends on (the layout, the field list, the fields' types, widths and
// classes, the format settings) is worked out once by Build into a list of
// columns, which then write each value straight onto the output. Nothing of
// that changes while the records are walked, except through code of the
// host: the run builds the plan again after each OnExportRecord and each
// progress step, so a handler's change of DataSet, ExportType or
// RecordSeparator holds from the next record on.
//
// The rules of a value's text, each written once, in Put:
//   - binary data, blobs and plain memos are left out (an empty value);
//   - a date, time or date-time without a value is nothing, or blanks in
//     fixed-width lines; one with a value is written whatever its day (day
//     zero and the days before it too). Delimited lines write a date's date
//     part only (DateToStr) and a time's time (TimeToStr); fixed-width
//     lines the field's text;
//   - every other value is the field's text; a value the dataset holds as
//     a text that did not fit its field's type is that text (StoredText),
//     quoted like a text also where the column's own values are not, but
//     where it is a value of the column beyond the field's range (money
//     beyond 64 bits, a date beyond the years 1 to 9999);
//   - fixed-width lines pad every value but dates to the field's
//     DisplayWidth, numbers on the left when NumericAlign is naRight; longer
//     texts are kept whole; laid out as columns (flColumns), every value is
//     padded to its column's width, and one that cannot be read back from
//     it leaves its record out (CheckColumnValue);
//   - quotes go around every value, or only around texts (dfTextOnly);
//   - n values give n - 1 separators, also when some are empty;
//   - a record whose line is empty writes nothing, not even the record
//     separator; a record whose values cannot be read is left out whole,
//     and counted with its reason in the run's TLeftOutRecords (as is every
//     record when the fields cannot be laid out at all).
// Under the standard rules (delimited lines with a quote character), the
// quotes of a value are decided by its text instead: a value is quoted when
// the quote rule asks for it and always when it holds the quote, the
// separator, CR or LF, with each quote inside doubled; a value of none is
// nothing, an empty text two quotes. With an escape character a value
// holding it is quoted too, and inside the quotes the escape stands before
// each quote and each escape instead; without a quote character the escape
// stands before each separator, CR, LF and escape of a value.
// With WholeValues every value reaches the line whole: memos as their text,
// numbers of a decimal field of declared scale (DECIMAL(p,s) held as a
// double) with at least its s decimals and no exponent, as the declaration
// shows them ("1.50", not "1.5"),
// binary data and blobs as \x and lowercase hexadecimal, date-times as the
// date, a blank and the time, times with their milliseconds when these are
// not zero (in a form StrToDateTime and StrToTime read back exactly),
// fixed-width lines pad dates like any value, and a record whose line would
// be empty (its one value null, or all its values empty with no separator)
// is left out with its reason, since an empty line reads back as no record.
// With Iso every date, time and date-time value is written in ISO 8601
// (PutIsoDate, PutIsoTime, PutIsoDateTime) but where the field has an
// OnGetText handler; a text the dataset holds for such a value that reads
// as ISO 8601 (a value with microseconds or a zone) is written as a date,
// any other text as a stored text.
class TRecordPlan {
 public:
  // Records left out are counted into leftOut, when given.
  explicit TRecordPlan(TExportOutput& output, TLeftOutLog* leftOut = nullptr);
  ~TRecordPlan();
  TRecordPlan(const TRecordPlan&) = delete;
  TRecordPlan& operator=(const TRecordPlan&) = delete;

  // Works the plan out from the layout and its dataset as they are now.
  void Build(const TExportLayout& layout);

  // Appends the current record's line and the record separator to the
  // output and returns the line's length; 0 (appending nothing) when the
  // line is empty or a value raised (the record is then left out).
  std::size_t Put();
  // The same for a record copied as TCopiedValue rows (texts at texts).
  std::size_t PutCopy(const TCopiedValue* row, const char* texts);

  // Whether the plan can write records from copies of their values on
  // another thread: it has columns, and none of them asks its field for
  // anything or reads the format settings while a record is written.
  bool WorksFromCopies() const;
  // For each column, where its value is in a record and the alternative
  // the plan writes from a copy (vkNull: the column reads nothing).
  void CopySlots(std::vector<TCopySlot>& slots) const;

 private:
  template <bool kFixed, bool kStandard, bool kEscape, class TReader>
  std::size_t PutRecord(const TReader& reader);
  template <class TReader>
  std::size_t PutRecordAs(const TReader& reader);
  // Standard rules: puts quotes around the value [first, p) where it needs
  // them, and returns its end. The opening quote is already at first[-1]
  // when the quote rule asks for quotes (column.askQuote): a value of none
  // takes it back, and only values not asked for quotes are moved.
  // found: PutValue saw such a byte while copying the value. With an
  // escape character (kEscape) every value is searched, for it too.
  template <bool kEscape>
  char* QuoteValue(TLineWriter& line, char* first, char* p, const TColumn& column, bool none,
                   bool found);
  // The values QuoteValue leaves: empty, stored texts and special (holding
  // a byte that needs quotes).
  char* QuoteOtherValue(TLineWriter& line, char* first, char* p, const TColumn& column, bool none,
                        bool special);
  // With a separator of more than one byte: whether [first, first + n)
  // holds the quote, a line end or the whole separator.
  bool NeedsQuotesExactly(const char* first, std::size_t n) const;
  // With an escape character: whether [first, first + n) holds it, the
  // quote (when there is one), a line end or the whole separator.
  bool NeedsEscapes(const char* first, std::size_t n) const;
  // Standard rules without a quote character: puts the escape before each
  // separator, CR, LF and escape of the value [first, p), and returns its
  // end.
  char* EscapeValue(TLineWriter& line, char* first, char* p, const TColumn& column);
  // Under the standard rules, special tells whether a short text it copied
  // holds a byte that needs quotes.
  template <bool kStandard, class TReader, class TData>
  char* PutValue(TLineWriter& line, char* p, char*& first, const TColumn& column,
                 const TReader& reader, const TData& data, bool& special);
  template <class TReader, class TData>
  char* PutOtherValue(TLineWriter& line, char* p, const TColumn& column, const TReader& reader,
                      const TData& data);
  char* PutDate(TLineWriter& line, char* p, const TColumn& column, bool none, double value);
  char* PutHex(TLineWriter& line, char* p, std::string_view bytes, const TColumn& column);
  void AppendWholeTime(double value);
  // Under flColumns: raises EUnfitValue, with the reason, when the value
  // [first, p) of the column cannot be read back from it; else gives the
  // bytes the column takes with the value in it.
  std::size_t CheckColumnValue(const TColumn& column, const char* first, const char* p,
                               bool none) const;
  // Under CheckUnquoted: raises EUnfitValue, with the reason, when the
  // value [first, p) of the column, as written without quotes, would not
  // read back from the line.
  [[gnu::cold]] void RaiseUnquoted(const TColumn& column, const char* first, const char* p,
                                   bool none) const;
  void CheckUnquotedValue(const TColumn& column, const char* first, const char* p,
                          bool none) const {
    if ((p == first && column.text && !none) ||
        (FEscape == 0 && std::string_view(first, static_cast<std::size_t>(p - first))
                                 .find_first_of(FUnquotedStops) != std::string_view::npos)) {
      RaiseUnquoted(column, first, p, none);
    }
  }
  // Under flColumns: the columns' widths, from the layout's Widths or
  // FixedWidth; false (with FBuildFailure) when they cannot be given.
  bool SetColumnWidths(const TExportLayout& layout);
  // Counts the record being put as left out, for reason: a value of field
  // (empty: none known) that could not be read, or that the line cannot
  // hold (unfit).
  [[gnu::cold]] void LeaveOut(std::string_view reason, std::string_view field = {},
                              bool unfit = false);
  // LeaveOut for a record whose line would be empty, which reads back as no
  // record: the one value, or all of them with no separator, empty.
  [[gnu::cold]] void LeaveOutEmptyLine();
  void AddColumn(TField* field, std::uint8_t quoted);
  void ChooseDateKind(TColumn& column, std::size_t& room);
  // Standard rules: whether the values PutValue writes itself in the column
  // may hold the quote or the separator (CR and LF they never hold).
  bool UsualValuesMayNeedQuotes(const TColumn& column) const;
  char* PutText(TLineWriter& line, char* p, std::string_view text, const TColumn& column);
  char* PutFieldText(TLineWriter& line, char* p, const TColumn& column);
  char* PutScaledNumber(TLineWriter& line, char* p, const std::int64_t* whole, const double* real,
                        const TColumn& column);
  // A value the dataset holds as text in a column of another type.
  char* PutStoredText(TLineWriter& line, char* p, std::string_view text, const TColumn& column);

  TExportOutput& FOutput;
  TLeftOutLog* FLeftOut;
  std::int64_t FRecords = 0;     // Put and PutCopy calls: the record being put
  std::string FBuildFailure;     // why Build found no columns, when it failed
  bool FFixed = false;
  bool FColumnsLayout = false;  // fixed-width columns (flColumns)
  TFixedWidthUnit FWidthUnit = fuBytes;  // what their widths count
  bool FIso = false;
  bool FUtc = false;
  std::string_view FRecordSeparator = "\r\n";
  char FLineEnd[2] = {};  // its bytes, stored two at a time
  TDataSet* FDataSet = nullptr;
  char FSeparator = 0;  // its first byte
  // A separator of more than one byte, whole; empty for one of one byte.
  std::string FMultiSeparator;
  char FQuote = 0;
  char FEscape = 0;  // the standard rules' escape character, 0 for none
  bool FRightNumbers = false;
  std::uint8_t FCloseLength = 0;  // the last value's closing quote
  char FDecimalSeparator = '.';
  bool FWhole = false;
  bool FCheckUnquoted = false;  // CheckUnquoted, with no quote character
  // The bytes that split an unquoted value: line ends and the separator's
  // first byte.
  char FUnquotedStops[4] = {'\r', '\n', 0, 0};
  bool FStandard = false;
  bool FQuoteText = false;  // standard rules: the value just put is a stored text
  // The value just put is not one of its column's usual values: its text is
  // searched for bytes that need quotes whatever the column's scan says.
  bool FOtherValue = false;
  // Whole times: LongTimeFormat's text with '.' and the milliseconds after
  // it reads back; otherwise they are written as hh:nn:ss.zzz.
  bool FTimeTakesMilliseconds = false;
  std::vector<TColumn> FColumns;
  std::unique_ptr<TDateWriter> FDates;
  std::string FText;  // texts made apart from the output
};

}  // namespace korvane
