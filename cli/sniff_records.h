// The records of a sniffed sample as the import reads them: the sources
// the sample comes from, and the reader that cuts them with the import's
// scanner and splitter.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/sniff.h"
#include "core/sysutils.h"
#include "import/record_scanner.h"
#include "io/byte_source.h"
#include "io/fileio.h"

namespace korvane::cli::sniffing {

// The buffer of a reader's scanner.
constexpr std::size_t kScanBuffer = std::size_t{64} << 10;

// Bytes of a text in memory.
class TMemorySource final : public korvane::TByteSource {
 public:
  explicit TMemorySource(std::string_view text) : FText(text) {}
  std::size_t Read(char* buffer, std::size_t count) override {
    const std::size_t n = std::min(count, FText.size() - FAt);
    std::memcpy(buffer, FText.data() + FAt, n);
    FAt += n;
    return n;
  }
  TFileFormat Format() const override { return TFileFormat::ffPlain; }

 private:
  std::string_view FText;
  std::size_t FAt = 0;
};

// The sample's bytes: the head read first, then the rest of the input up to
// the byte limit (none when limit is 0).
class TSampleSource final : public korvane::TByteSource {
 public:
  TSampleSource(std::string_view head, bool headIsAll, const cli::TByteSource& rest,
                std::size_t limit)
      : FHead(head), FAtEnd(headIsAll), FRest(rest), FLimit(limit), FTotal(head.size()) {}
  std::size_t Read(char* buffer, std::size_t count) override {
    if (FHeadAt < FHead.size()) {
      const std::size_t n = std::min(count, FHead.size() - FHeadAt);
      std::memcpy(buffer, FHead.data() + FHeadAt, n);
      FHeadAt += n;
      return n;
    }
    if (FAtEnd) return 0;
    if (FLimit != 0) {
      if (FTotal >= FLimit) {
        FCapped = true;
        return 0;
      }
      count = std::min(count, FLimit - FTotal);
    }
    const std::size_t n = FRest(buffer, count);
    FAtEnd = n == 0;
    FTotal += n;
    return n;
  }
  TFileFormat Format() const override { return TFileFormat::ffPlain; }
  // The byte limit stopped the reading before the input's end.
  bool Capped() const { return FCapped; }

 private:
  std::string_view FHead;
  std::size_t FHeadAt = 0;
  bool FAtEnd;
  const cli::TByteSource& FRest;
  std::size_t FLimit;
  std::size_t FTotal;
  bool FCapped = false;
};

// One record as the import reads it: the scanner cuts it, the splitter cuts
// it into values.
struct TRecord {
  // Its values, kMaxSniffedColumns + 1 at most: a wider record is split no
  // further.
  std::vector<std::string_view> Values;
  std::int64_t Bytes = 0;     // its bytes in the input, line ends included
  std::int64_t Line = 1;      // the line it starts on
  int LineEnd = 0;            // 0 none, 1 LF, 2 CRLF, 3 CR, -1 not known (past the head)
  bool QuoteError = false;    // a quote never closed, or text after a closing quote
  bool Unclosed = false;      // a quote never closed
  bool InvalidText = false;   // not valid UTF-8
  bool ClassicAgrees = true;  // the classic rules read the same values
  bool EndOfInput = false;    // the input ended with it (it may be cut short)
  std::string_view Text;      // the record as read (until the next record)
  char First = '\0';          // its first byte as read

  bool BlankText = false;     // blanks alone, no separator: the import skips it

  bool Blank() const { return BlankText; }
};

// What the reader leaves out and how it reads quoted values beyond the
// separator and quote, as the import's SkipLines, CommentChar, EscapeChar
// ('\0': none) and KeepStrayQuotes.
struct TReadRules {
  std::int64_t Lines = 0;
  char Comment = '\0';
  char Escape = '\0';
  bool KeepStrayQuotes = false;
};

// Reads the records of a source with the import's scanner and splitter
// under the standard rules with the given separator and quote ('\0': none).
// head, when given, is the start of the source's bytes: the line ends of
// the records in it are told apart.
class TRecordReader {
 public:
  TRecordReader(korvane::TByteSource& source, char sep, char quote, std::string_view head = {},
                TReadRules skip = {})
      : FHead(head) {
    FRule = MakeSplitRule(
        quote == '\0' ? "" : std::string(1, quote), sep == '\0' ? "" : std::string(1, sep),
        dlStandard, skip.Escape == '\0' ? "" : std::string(1, skip.Escape), skip.KeepStrayQuotes);
    FClassic = FRule;
    FClassic.Standard = false;
    FScanner.Reset(kScanBuffer);
    FScanner.SetSource(&source);
    FScanner.SetCheckText(true);
    FScanner.SetRule(FRule, true);
    FScanner.SetSkip(skip.Lines, skip.Comment);
  }

  // The next record; false at the end of the input.
  bool Next(TRecord& r) {
    if (FEnded) return false;
    FText.clear();
    TScanResult scan;
    FScanner.Scan(FNoHandle, FText, scan);
    FEnded = scan.EndOfFile;
    if (FEnded && FText.empty()) return false;
    r.Bytes = scan.SkippedBytes + static_cast<std::int64_t>(FText.size()) + scan.LineEndBytes;
    const std::size_t end = FOffset + static_cast<std::size_t>(scan.SkippedBytes) + FText.size();
    r.Line = scan.Line;
    r.LineEnd = scan.LineEndBytes == 0 ? 0 : -1;
    if (scan.LineEndBytes > 0 && end < FHead.size()) {
      const bool crlf = FHead[end] == '\r' && end + 1 < FHead.size() && FHead[end + 1] == '\n';
      r.LineEnd = FHead[end] == '\n' ? 1 : crlf ? 2 : 3;
    }
    FOffset += static_cast<std::size_t>(r.Bytes);
    r.EndOfInput = FEnded;
    r.InvalidText = scan.Fault == rfInvalidText;
    r.Unclosed = scan.Fault == rfUnclosedQuote;
    r.QuoteError = r.Unclosed;
    const bool quoted =
        FRule.HasQuote && FText.find(static_cast<char>(FRule.Quote)) != std::string::npos;
    // Two searches for one byte each: find_first_of tries every byte of the
    // record against the set, which a record of many megabytes feels.
    const bool broken =
        FText.find('\n') != std::string::npos || FText.find('\r') != std::string::npos;
    r.First = FText.empty() ? '\0' : FText[0];
    // A record of blanks is none, as the import skips it, but a quoted
    // empty value ("") is one, and so is a lone separator (a tab, a zero
    // byte): the import stores it as empty values.
    r.BlankText = IsBlankRecord(FRule, FText);
    if (quoted) FCopy = FText;
    r.Values.clear();
    // Values past any table's columns are not split: only the record's
    // width is wanted of them.
    const TSplitOutcome split = SplitDelimitedText(FRule, FText.data(), FText.size(), r.Values,
                                                   nullptr, kMaxSniffedColumns);
    r.QuoteError |= split.TextAfterQuote;
    r.ClassicAgrees = !broken && (!quoted || ClassicAgrees(r.Values, split.Cut));
    r.Text = quoted ? std::string_view(FCopy) : std::string_view();
    return true;
  }

 private:
  // Whether the classic rules split the record's text (in FCopy) into
  // values, as they do, the same as the standard ones did (up to the cut
  // the standard split made, if it made one).
  bool ClassicAgrees(const std::vector<std::string_view>& values, bool cut) {
    FClassicText = FCopy;
    FClassicValues.clear();
    SplitDelimitedText(FClassic, FClassicText.data(), FClassicText.size(), FClassicValues, nullptr,
                       kMaxSniffedColumns);
    std::size_t count = values.size();
    // classic drops an empty last value
    if (!cut && count > 0 && values[count - 1].empty()) --count;
    if (FClassicValues.size() != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (FClassicValues[i] != values[i]) return false;
    }
    return true;
  }

  std::string_view FHead;
  std::size_t FOffset = 0;
  TSplitRule FRule;
  TSplitRule FClassic;
  TRecordScanner FScanner;
  TFileHandle FNoHandle;
  bool FEnded = false;
  std::string FText;
  std::string FCopy;
  std::string FClassicText;
  std::vector<std::string_view> FClassicValues;
};

}  // namespace korvane::cli::sniffing
