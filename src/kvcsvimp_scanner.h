// The pieces of TCSVImport's reading and splitting that hold no component
// state: the record scanner over an input file and the delimited splitter.
// Both also run on the read-ahead thread, so they take what they need as
// arguments instead of reading the component's properties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fileio.h"

namespace korvane {

// What one scanned record ended with.
struct TScanResult {
  // The input ended with this record (physical end, or byte 26).
  bool EndOfFile = false;
  // Line-end bytes the record's terminator run took up.
  std::int32_t LineEndBytes = 0;
};

// Turns an input file into records. A record ends at a run of line-end bytes
// (CR and LF in any order and number, counted as one terminator) and the
// input ends at the physical end of the file or at byte 26, whichever comes
// first. Reads go through a buffer of a fixed size; each record is found by
// scanning whole spans for the three special bytes.
class TRecordScanner {
 public:
  // Starts over: an empty buffer of bufferSize bytes (at least 1).
  void Reset(std::size_t bufferSize);
  // Empties the buffer and gives its memory back.
  void Release();
  // Appends the next record's text, without its terminator, to text. Raises
  // EInOutError "Read failed with error code %i" when the OS reports a read
  // error; the bytes appended until then are the record's so far.
  void Scan(const TFileHandle& Handle, std::string& text, TScanResult& result);

 private:
  // Refills the buffer; false at the end of the input.
  bool Fill(const TFileHandle& Handle);

  // Bytes [FPos, FLen) of FBuffer are unread. FExhausted is set at the
  // physical end and at byte 26, after which nothing more is read.
  std::size_t FBufferSize = 256 * 1024;
  std::vector<char> FBuffer;
  std::size_t FPos = 0;
  std::size_t FLen = 0;
  bool FExhausted = false;
};

// The quote and separator bytes of a delimited split.
struct TSplitRule {
  bool HasQuote = false;
  bool HasSeparator = false;
  unsigned char Quote = 0;
  unsigned char Separator = 0;
  bool operator==(const TSplitRule&) const = default;
};

// The rule for a run's resolved quote (empty for none) and separator. A
// character that is both quote and separator acts as the quote.
TSplitRule MakeSplitRule(const std::string& delimiter, const std::string& separator);

// Splits the size bytes at text into values and appends them to items, as
// views into text: quote characters toggle quoting and are dropped (in
// place, so text is changed), separators outside quotes end a value, and an
// empty value ended by the record itself does not count.
void SplitDelimitedText(const TSplitRule& rule, char* text, std::size_t size,
                        std::vector<std::string_view>& items);

}  // namespace korvane
