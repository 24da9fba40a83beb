// What the records of a sniffed sample say once its separator and quote are
// chosen: the widths of its records, its header and the names and types of
// its columns, its line ends and its encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/sniff.h"
#include "cli/sniff_records.h"
#include "cli/type_inference.h"

namespace korvane::cli::sniffing {

// The shape the values of a lone column share: the signs (characters other
// than letters, digits and blanks) nearly every value holds and whether
// nearly every one holds digits, held to the one pattern of capitals, small
// letters, digits and signs, character by character, that nearly every one
// has where they have one. An e-mail address among addresses, a URL among
// URLs or a code among codes of its pattern has their shape; a name over
// them (email, url, code, item-no) has not, and a column of words or names
// without signs or digits has no shape to share.
class TLoneColumnShape {
 public:
  void Add(std::string_view value);
  // Whether the values added share a shape and the value has it.
  bool Shares(std::string_view value) const;

 private:
  struct TPattern {
    std::string Text;
    std::int64_t Count = 0;
  };
  // The pattern of a value (A a capital, a a small letter or a character
  // of several bytes, 9 a digit, each other character itself); false for
  // a value too long to be a code.
  static bool PatternOf(std::string_view value, std::string& out);
  // Whether count of the values added is nearly all of them.
  bool NearlyAll(std::int64_t count) const { return count * 20 >= FValues * 19; }

  static constexpr std::size_t kMaxPatterns = 8;
  static constexpr std::size_t kMaxPatternLength = 64;
  std::int64_t FValues = 0;
  std::int64_t FSigns[128] = {};  // values holding each ASCII sign
  std::int64_t FWithDigits = 0;
  std::vector<TPattern> FPatterns;  // the first patterns met and their counts
  std::string FScratch;
};

// The pass over the whole sample with the chosen separator and quote.
class TSampleScan {
 public:
  TSampleScan(const TSniffOptions& options, TSniffResult& result)
      : FOptions(options), FResult(result) {}

  void Add(const TRecord& r);
  void Finish();

 private:
  // Decimal commas are tried where a comma cannot be the separator and the
  // user did not say how numbers are written.
  TTypeVote NewVote() const;

  // Whether more columns read as numbers with a decimal comma and thousands
  // points (1.234,5) than with the format settings' separators: a tie keeps
  // the settings, so 1.234 alone stays a decimal point.
  bool DecimalCommaTypesMore() const;

  // The first record is a header when its values do not fit the types of
  // the records after it, or when all the columns hold text and its values
  // are distinct names none of which comes back in its column (nor, in a
  // lone column, has the shape of the values below it).
  bool SniffHeader() const;
  bool LoneRecordOfNames() const;

  // Header names as they stand (blanks around them aside), but that empty
  // and repeated ones are made unique; c1, c2, ... without a header.
  void NameColumns();
  // Adds the first count values of a record to the columns' votes.
  template <class Values>
  void Vote(const Values& values, std::size_t count);

  void FinishLineEnds();

  void FinishEncoding();

  // Notes the bytes of a record that is not valid UTF-8.
  void NoteEightBit(const TRecord& r, std::int64_t index);

  static constexpr std::size_t kMisfitLines = 5;
  const TSniffOptions& FOptions;
  TSniffResult& FResult;
  std::map<std::size_t, std::vector<std::int64_t>> FLinesOf;  // the first lines of each count
  bool FCp1252Signs = false;
  bool FCp1252Undefined = false;
  std::map<std::size_t, std::int64_t> FCounts;
  std::size_t FColumns = 0;
  std::size_t FModal = 0;                    // the number of values most records have
  std::int64_t FLineEnds[4] = {0, 0, 0, 0};  // none, LF, CRLF, CR
  std::int64_t FInvalidRecord = -1;
  bool FAscii = true;
  std::vector<std::string> FFirst;
  std::vector<bool> FFirstRepeats;
  std::vector<TTypeVote> FVotes;
  TLoneColumnShape FLoneShape;  // of the records of one value after the first
  // The last records read, which vote only when as many as the trailer
  // holds follow them.
  std::deque<std::vector<std::string>> FHeldBack;
};

}  // namespace korvane::cli::sniffing
