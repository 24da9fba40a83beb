// The pieces of TCSVImport's reading and splitting that hold no component
// state: the record scanner over an input file and the delimited splitter.
// Both also run on the read-ahead thread, so they take what they need as
// arguments instead of reading the component's properties.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_source.h"
#include "io/fileio.h"
#include "components/kvenums.h"

namespace korvane {

// What one scanned record ended with.
struct TScanResult {
  // The input ended with this record (physical end, or byte 26).
  bool EndOfFile = false;
  TRecordFault Fault = rfNone;
  // Line-end bytes the record's terminator run took up.
  std::int64_t LineEndBytes = 0;
  // Bytes read before the record's text that are not its own: a UTF-8
  // byte-order mark at the start of the input, and the lines skipped before
  // it (TRecordScanner::SetSkip) with their line ends.
  std::int64_t SkippedBytes = 0;
  // The line of the input (from 1) on which the record starts. A line ends
  // at CR LF, LF or CR.
  std::int64_t Line = 1;
};

// The text rules of delimited records: the quote and separator bytes, and
// whether the standard rules hold (Standard) or the classic ones. A
// separator may be one UTF-8 character of up to four bytes: Separator is
// its first byte and SeparatorBytes all of them; values split on the whole
// character only.
// Under the standard rules, an escape character makes the byte after it
// data, inside quoted values and outside them (\" a quote, \, a separator,
// \\ the escape itself, an escaped line end part of the value), as some
// database dumps write.
// KeepStrayQuotes (standard rules with a quote): a quote inside a quoted
// value that neither another quote, the separator, a line end nor the end
// of the text follows is a character of the value, where it would close
// the value otherwise ("a "b" c" reads as one value, a "b" c).
struct TSplitRule {
  bool Standard = false;
  bool HasQuote = false;
  bool HasSeparator = false;
  bool HasEscape = false;
  bool KeepStrayQuotes = false;
  unsigned char Quote = 0;
  unsigned char Separator = 0;
  unsigned char Escape = 0;
  std::uint8_t SeparatorLength = 1;
  std::array<char, 4> SeparatorBytes{};
  bool MultiByteSeparator() const { return HasSeparator && SeparatorLength > 1; }
  std::string_view SeparatorText() const {
    return {SeparatorBytes.data(), HasSeparator ? SeparatorLength : std::size_t{0}};
  }
  bool operator==(const TSplitRule&) const = default;
};

// The rule for a run's resolved quote (empty for none), separator and escape
// (empty for none; it counts only under the standard rules and when it is
// neither the quote, the separator nor a line end). A character that is
// both quote and separator acts as the quote. keepStrayQuotes counts under
// the standard rules with a quote only.
TSplitRule MakeSplitRule(const std::string& delimiter, const std::string& separator,
                         TDialect dialect = dlClassic, const std::string& escape = "",
                         bool keepStrayQuotes = false);

// Whether a delimited record is blank, storing nothing: it holds blanks and
// control bytes alone, and, under the standard rules, not the separator (a
// separator other than a blank), as a tab-separated line of one tab is a
// record of two empty values (what an export writes for a row of nulls).
// Under the classic rules every such record is blank.
bool IsBlankRecord(const TSplitRule& rule, std::string_view text);

// Turns an input file into records. A record ends at a run of line-end bytes
// (CR and LF in any order and number, counted as one terminator) and the
// input ends at the physical end of the file or at byte 26, whichever comes
// first. A UTF-8 byte-order mark at the very start is skipped. Under the
// standard rules, byte 26 ends the input only as its last byte, and, for
// quoted records, line ends inside a quoted value are part of the record.
// Reads go through a buffer of a fixed size; each record is found by
// scanning whole spans for the few bytes that matter.
class TRecordScanner {
 public:
  // Starts over at line 1: an empty buffer of bufferSize bytes (at least 1),
  // reading from the handle Scan is given.
  void Reset(std::size_t bufferSize);
  // After Reset: the input read is the rest of a file from a record's start
  // on, which stands on line `line` (no byte-order mark, no lines to skip).
  void StartInside(std::int64_t line) {
    FAtStart = false;
    FLine = line;
  }
  // The line the next byte read stands on.
  std::int64_t Line() const { return FLine; }
  // Reads from source instead of the handle (nullptr: the handle again);
  // Scan's handle is then not used and may be closed.
  // The source must outlive the scanner's reads; Reset and Release forget it.
  void SetSource(TByteSource* source) { FSource = source; }
  // Whether a record whose text is not valid UTF-8 gets rfInvalidText.
  void SetCheckText(bool check) { FCheckText = check; }
  // Lines to leave out: the first `lines` lines of the input (blank ones
  // counted), and every line whose first byte is comment ('\0': none)
  // where a record would start; the blank lines after either go with them.
  // blankStart: with no lines to leave out, the blank lines that open the
  // input go too. Their bytes are the next record's SkippedBytes. Reset
  // clears all three.
  void SetSkip(std::int64_t lines, char comment, bool blankStart = false) {
    FSkipLines = lines < 0 ? 0 : lines;
    FComment = comment;
    FSkipBlankStart = blankStart;
  }
  // The rules of the next records. quotedRecords: the records are
  // delimited ones whose quoted values may span lines (standard rules with
  // a quote character).
  void SetRule(const TSplitRule& rule, bool quotedRecords);
  // Empties the buffer and gives its memory back.
  void Release();
  // Appends the next record's text, without its terminator, to text. Raises
  // EInOutError "Read failed with error code %i" when the OS reports a read
  // error; the bytes appended until then are the record's so far.
  void Scan(const TFileHandle& Handle, std::string& text, TScanResult& result);

 private:
  void ScanClassic(const TFileHandle& Handle, std::string& text, TScanResult& result);
  void ScanStandard(const TFileHandle& Handle, std::string& text, TScanResult& result);
  // ScanStandard for records with an escape character (which makes the
  // byte after it data, a line end too, inside quotes or not) or quoted
  // ones with a separator of more than one byte, a byte at a time.
  void ScanEscaped(const TFileHandle& Handle, std::string& text, TScanResult& result);
  // Takes the terminator run that starts at FPos; byte 26 in it ends the
  // input (under the standard rules only as the input's last byte).
  void ScanTerminator(const TFileHandle& Handle, TScanResult& result);
  // Skips a byte-order mark at the start of the input.
  void SkipByteOrderMark(const TFileHandle& Handle, TScanResult& result);
  // Skips the lines SetSkip asks for before the next record.
  void SkipLines(const TFileHandle& Handle, TScanResult& result);
  // Skips the rest of the line at FPos and its line end (CR LF as one);
  // false when the input ends first.
  bool SkipLine(const TFileHandle& Handle, TScanResult& result);
  // Skips a run of line ends at FPos.
  void SkipLineEnds(const TFileHandle& Handle, TScanResult& result);
  // Reads up to n bytes of the input into to; 0 at its end.
  std::size_t ReadInput(const TFileHandle& Handle, char* to, std::size_t n);
  // Refills the buffer; false at the end of the input.
  bool Fill(const TFileHandle& Handle);
  // Makes n bytes from FPos on readable in the buffer (n <= kLookAhead),
  // keeping the unread ones; false when the input ends sooner.
  bool Ensure(const TFileHandle& Handle, std::size_t n);
  // Ends the input at byte 26 (see the definition for compressed files).
  void EndAtMarker();

  // Whether the quote at FPos, inside a quoted value whose stray quotes
  // are kept, closes it: nothing, the separator, a line end or byte 26
  // follows.
  bool QuoteCloses(const TFileHandle& Handle);

  // A byte-order mark, or a quote and a separator of up to four bytes.
  static constexpr std::size_t kLookAhead = 5;
  // Bytes [FPos, FLen) of FBuffer are unread. FExhausted is set at the
  // physical end and at byte 26, after which nothing more is read.
  std::size_t FBufferSize = 256 * 1024;
  std::vector<char> FBuffer;
  TByteSource* FSource = nullptr;
  std::size_t FPos = 0;
  std::size_t FLen = 0;
  bool FExhausted = false;
  bool FAtStart = true;
  bool FQuotedRecords = false;
  bool FEscapedRecords = false;  // delimited standard records with an escape
  bool FCheckText = false;
  TSplitRule FRule;
  std::int64_t FLine = 1;  // the line FPos stands on
  std::int64_t FSkipLines = 0;  // of the first lines, those still to skip
  char FComment = 0;
  bool FSkipBlankStart = false;  // the blank lines at the start still to skip
};

// The text of a quoted empty value (""), told apart from an unquoted empty
// value by where its view points: the one stores an empty text, the other
// leaves its field as it is.
inline constexpr char kQuotedEmptyValue[] = "";
inline bool IsQuotedEmpty(std::string_view value) { return value.data() == kQuotedEmptyValue; }

// Splits the size bytes at text into values and appends them to items, as
// views into text (quotes are taken out in place, so text is changed).
// Classic rules: quote characters toggle quoting and are dropped,
// separators outside quotes end a value, and an empty value ended by the
// record itself does not count. Standard rules: a quote opens a value only
// as its first byte, two quotes inside stand for one, what follows the
// closing quote up to the separator is data, every value counts (also an
// empty last one), and a quoted empty value is kQuotedEmptyValue.
// When before is given, the text as it was is copied there first if the
// split changes it, so that a record's text as read costs a copy only for
// records whose quotes had to be taken out.
// The split stops once items holds more than maxItems values of the text
// (Cut): a record of millions of values would otherwise take gigabytes of
// views where a caller only needs to know it is wider than it can use.
struct TSplitOutcome {
  // The text may have changed: values that are quoted whole or not at all
  // are views of it as it stands.
  bool Changed = false;
  // Standard rules: a quoted value went on after its closing quote (kept as
  // data, as the common readers do, but worth a warning).
  bool TextAfterQuote = false;
  // The text goes on past the values in items, more than maxItems.
  bool Cut = false;
  // When Cut: where the rest starts, the first byte of the next value, as
  // an offset into text; the rest splits on its own from there.
  std::size_t Rest = 0;
};
TSplitOutcome SplitDelimitedText(const TSplitRule& rule, char* text, std::size_t size,
                                 std::vector<std::string_view>& items,
                                 std::string* before = nullptr, std::size_t maxItems = SIZE_MAX);

}  // namespace korvane
