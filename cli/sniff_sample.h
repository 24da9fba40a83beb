// What the records of a sniffed sample say once its separator and quote are
// chosen: the widths of its records, its header and the names and types of
// its columns, its line ends and its encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "cli/sniff.h"
#include "cli/sniff_records.h"
#include "cli/type_inference.h"

namespace korvane::cli::sniffing {

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
  // are distinct names none of which comes back in its column.
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
  // The last records read, which vote only when as many as the trailer
  // holds follow them.
  std::deque<std::vector<std::string>> FHeldBack;
};

}  // namespace korvane::cli::sniffing
