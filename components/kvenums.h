// The enumerations and event types both components publish. Identifiers and
// ordinals are fixed: settings files and the command line store enumeration
// values by identifier.
#pragma once

#include "core/api.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/classes.h"
#include "core/sysutils.h"
#include "ui/dialogs.h"

namespace korvane {

// The version text every component and editor reads.
inline constexpr const char* kKorvaneVersion = "1.32";

enum TFieldDelimiter : std::uint8_t { fdlNone, fdlSingle, fdlDouble };
enum TFieldSeparator : std::uint8_t { fspPipe, fspTab, fspComma, fspCustom, fspNone };
enum TFieldListAction : std::uint8_t { flaNone, flaInclude, flaExclude };
enum TDelimitedFields : std::uint8_t { dfAll, dfTextOnly };
enum TImportType : std::uint8_t { impDelimited, impFixed };
enum TExportType : std::uint8_t { expDelimited, expFixed };
enum TRecordSeparator : std::uint8_t { rsCRLF, rsCR, rsLF };
enum TNumericAlignment : std::uint8_t { naLeft, naRight };
enum TProcessType : std::uint8_t { ptImport, ptExport };
enum TProgressCalc : std::uint8_t { pcRecord, pcByte };
// The text rules of delimited records: dlClassic reads and writes quotes as
// the components always have; dlStandard follows the CSV that common readers
// and writers share (quotes only around whole values, doubled inside them,
// line ends inside quotes are data).
enum TDialect : std::uint8_t { dlClassic, dlStandard };
// Compressed files. cmNone reads and writes bytes as they are. An import with
// cmAuto recognises gzip and zstd files by their first bytes and reads their
// text (cmGzip and cmZstd insist on that format); an export with cmAuto
// compresses by the output file's name (.gz, .zst), with cmGzip or cmZstd
// always.
enum TCompression : std::uint8_t { cmNone, cmAuto, cmGzip, cmZstd };
// How an import takes a value that is not one of its field's type:
// veLenient keeps the forgiving readers (the value leaves its field as it
// was, values beyond the last field are skipped, the record is stored);
// veStrict fails the record instead, as it does one with more non-empty
// values than fields.
enum TValueErrors : std::uint8_t { veLenient, veStrict };
// How dates, times and date-times are read and written: dsFormatSettings by
// the format settings in force (ShortDateFormat, LongTimeFormat and their
// separators), as the components always have; dsISO8601 as ISO 8601's
// extended form, whatever the settings ("2024-03-05", "14:30:00",
// "2024-03-05 14:30:00.250"; an import also takes 'T' between date and time,
// up to six fraction digits, a zone and the basic form; docs/command.md,
// "Dates and times are ISO 8601 by default", lists what is read).
enum TDateTimeStyle : std::uint8_t { dsFormatSettings, dsISO8601 };
// How an export writes its output file: wmInPlace creates (or empties) the
// file and writes into it, as the export always has; wmReplace writes a new
// file beside it that takes its place only when the run succeeded, so that
// a run that fails or raises leaves the old file untouched.
enum TWriteMode : std::uint8_t { wmInPlace, wmReplace };
// How fixed-width records are laid out. flClassic: as the components always
// have (an import cuts each field's Size, an export pads each value to its
// field's DisplayWidth, leaves dates unpadded and writes a longer value
// whole). flColumns: both sides give each column the same width
// (FixedWidth, or the component's FixedWidths), every value, a null one
// too, fills exactly its column, and what does not fit fails its record.
enum TFixedLayout : std::uint8_t { flClassic, flColumns };
// What a column's width counts in fixed-width records laid out as
// flColumns. fuBytes: bytes of the text in UTF-8, as the components always
// have (a character of several bytes takes as many positions). fuCharacters:
// characters, as an editor shows the columns line up; in a file of a
// one-byte encoding (Encoding latin1) they are its bytes.
enum TFixedWidthUnit : std::uint8_t { fuBytes, fuCharacters };
// Which field each value of an imported record goes to. cmByPosition: the
// n-th value to the n-th field. cmByHeaderName: the field the last header
// record names in the value's place (names compared as field names are,
// SameText, blanks around them left out; or loosely, LooseColumnNames), in
// any order and any subset.
// cmByFieldList: in order, the fields FieldList names (under FieldListAction
// flaExclude: the fields it does not name, in the dataset's order).
enum TColumnMatching : std::uint8_t { cmByPosition, cmByHeaderName, cmByFieldList };
// Why an import failed a record.
enum TRecordErrorReason : std::uint8_t {
  rerNoValues,       // the record holds no values
  rerRefused,        // the dataset refused it (its message says why)
  rerUnclosedQuote,  // a quote was never closed (standard text rules)
  rerNotANumber,     // veStrict: not a number, or not a whole one
  rerOutOfRange,     // veStrict: a number the field cannot hold
  rerNotADate,       // veStrict: not a real date, time or date and time in the format
  rerNotABoolean,    // veStrict: none of true/false, yes/no, t/f, y/n, 1/0
  rerTooManyValues,  // veStrict: more non-empty values than fields
  rerInvalidValue,   // veStrict: a value the field refused for another reason
  rerInvalidText,    // veStrict: bytes not valid in the import's Encoding
};

// Why a record an import read cannot be stored as it stands
// (TCSVImport::RecordFault).
enum TRecordFault : std::uint8_t {
  rfNone,
  // Standard text rules: a quote opened a value and the input ended before
  // it was closed. The record holds everything from its start to the end.
  rfUnclosedQuote,
  // The record holds bytes that are not valid UTF-8: the input's encoding
  // is not what it was read as.
  rfInvalidText,
};

// A record an import failed, as OnRecordError reports it. The views are
// valid only during the call.
struct KORVANE_API TRecordError {
  // The record's number as the run counts them (RecordCounter), and the
  // line of the input on which it starts. A record the dataset refused only
  // when it stored a group later (TDataSet::TakeRefusals) is reported then,
  // with its number, line and text as any other; all three are 0 and empty
  // only for one the dataset does not name (one a host posted itself
  // through AddRecord, or a dataset that names no refused records).
  std::int32_t Record = 0;
  std::int64_t Line = 0;
  // The record exactly as read, without its terminator (all its lines under
  // the standard text rules).
  std::string_view Text;
  // The field and the value text, when one value is the cause.
  std::string_view FieldName;
  std::string_view Value;
  TRecordErrorReason Reason = rerNoValues;
  // The reason in words: the dataset's own message for rerRefused,
  // otherwise such as "\"12x\" is not a number".
  std::string Message;
};

// Events: empty until the host sets them.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TImportEvent = std::function<void(TObject* Sender, std::int32_t iBytes)>;
// Bytes is 64-bit so that exports past 2 GiB report true totals.
using TExportEvent = std::function<void(TObject* Sender, std::int32_t Records, std::int64_t Bytes)>;
using TRecordErrorEvent = std::function<void(TObject* Sender, const TRecordError& Error)>;
// A message a component shows (a warning or an error of its run), given to
// the component's own handler instead of the process-wide one (MessageDlg),
// so that a host can tell which run sent it.
using TMessageEvent =
    std::function<void(TObject* Sender, const std::string& Text, TMsgDlgType Type)>;

// Identifier tables, one per enumeration: EnumTraits<E>::Names[ordinal].
template <typename E>
struct EnumTraits;

#define KORVANE_ENUM_TRAITS(Type, ...)                                            \
  template <>                                                                     \
  struct EnumTraits<Type> {                                                       \
    static constexpr std::string_view TypeName = #Type;                           \
    static constexpr auto Names = std::to_array<std::string_view>({__VA_ARGS__}); \
  };

KORVANE_ENUM_TRAITS(TFieldDelimiter, "fdlNone", "fdlSingle", "fdlDouble")
KORVANE_ENUM_TRAITS(TFieldSeparator, "fspPipe", "fspTab", "fspComma", "fspCustom", "fspNone")
KORVANE_ENUM_TRAITS(TFieldListAction, "flaNone", "flaInclude", "flaExclude")
KORVANE_ENUM_TRAITS(TDelimitedFields, "dfAll", "dfTextOnly")
KORVANE_ENUM_TRAITS(TImportType, "impDelimited", "impFixed")
KORVANE_ENUM_TRAITS(TExportType, "expDelimited", "expFixed")
KORVANE_ENUM_TRAITS(TRecordSeparator, "rsCRLF", "rsCR", "rsLF")
KORVANE_ENUM_TRAITS(TNumericAlignment, "naLeft", "naRight")
KORVANE_ENUM_TRAITS(TProcessType, "ptImport", "ptExport")
KORVANE_ENUM_TRAITS(TProgressCalc, "pcRecord", "pcByte")
KORVANE_ENUM_TRAITS(TDialect, "dlClassic", "dlStandard")
KORVANE_ENUM_TRAITS(TCompression, "cmNone", "cmAuto", "cmGzip", "cmZstd")
KORVANE_ENUM_TRAITS(TValueErrors, "veLenient", "veStrict")
KORVANE_ENUM_TRAITS(TDateTimeStyle, "dsFormatSettings", "dsISO8601")
KORVANE_ENUM_TRAITS(TWriteMode, "wmInPlace", "wmReplace")
KORVANE_ENUM_TRAITS(TFixedLayout, "flClassic", "flColumns")
KORVANE_ENUM_TRAITS(TFixedWidthUnit, "fuBytes", "fuCharacters")
KORVANE_ENUM_TRAITS(TColumnMatching, "cmByPosition", "cmByHeaderName", "cmByFieldList")
KORVANE_ENUM_TRAITS(TRecordErrorReason, "rerNoValues", "rerRefused", "rerUnclosedQuote",
                    "rerNotANumber", "rerOutOfRange", "rerNotADate", "rerNotABoolean",
                    "rerTooManyValues", "rerInvalidValue", "rerInvalidText")

#undef KORVANE_ENUM_TRAITS

// The identifier of a value; an ordinal outside the table gives its number
// in decimal (as the value cannot be stored by name).
template <typename E>
std::string EnumToString(E value) {
  const auto& names = EnumTraits<E>::Names;
  auto ordinal = static_cast<std::size_t>(value);
  if (ordinal < names.size()) return std::string(names[ordinal]);
  return IntToStr(static_cast<std::int64_t>(ordinal));
}

// The value of an identifier (exact spelling), or nothing.
template <typename E>
std::optional<E> TryStringToEnum(std::string_view ident) {
  const auto& names = EnumTraits<E>::Names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == ident) return static_cast<E>(i);
  }
  return std::nullopt;
}

// All identifiers of E separated by ", ", for messages.
template <typename E>
std::string EnumIdentifierList() {
  std::string result;
  for (std::string_view n : EnumTraits<E>::Names) {
    if (!result.empty()) result += ", ";
    result += n;
  }
  return result;
}

// The value of an identifier; raises EConvertError naming the text, the type
// and the identifiers it accepts.
template <typename E>
E StringToEnum(std::string_view ident) {
  if (auto v = TryStringToEnum<E>(ident)) return *v;
  throw EConvertError("'" + std::string(ident) + "' is not a valid " +
                      std::string(EnumTraits<E>::TypeName) + " identifier (expected one of " +
                      EnumIdentifierList<E>() + ")");
}

}  // namespace korvane
