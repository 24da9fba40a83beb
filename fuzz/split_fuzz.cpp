// libFuzzer target for the record reader and the delimited splitter, under
// the classic and the standard text rules. The input's first bytes choose
// the rules (stray quotes kept or not among them), the quote and separator
// and the read buffer's size; the rest is
// the file. What the reader and splitter make of it must equal what the
// plain, byte-by-byte reference below makes of it: the same records (text,
// line-end bytes, line, unclosed quote) and the same values.
//
//   cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
//           -DKORVANE_FUZZ=ON -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF
//           -DKORVANE_BUILD_CLI=OFF
//   cmake --build build/fuzz --target split_fuzz
//   build/fuzz/fuzz/split_fuzz -max_total_time=600 CORPUS_DIR SEEDS/split
// CORPUS_DIR starts as `fuzz/corpus.sh unpack split CORPUS_DIR`; what the run adds
// is kept with `fuzz/corpus.sh pack split CORPUS_DIR`.
// SEEDS is a folder `fuzz/make_seeds.py SEEDS` writes.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "import/record_scanner.h"

namespace {

using korvane::TSplitRule;

constexpr unsigned char kCR = 13;
constexpr unsigned char kLF = 10;
constexpr unsigned char kEndOfInput = 26;

struct TRecord {
  std::string Text;
  std::int64_t LineEnds = 0;
  std::int64_t Skipped = 0;
  std::int64_t Line = 1;
  bool Unclosed = false;
  bool operator==(const TRecord&) const = default;
};

struct TValue {
  std::string Text;
  bool QuotedEmpty = false;
  bool operator==(const TValue&) const = default;
};

bool IsLineEnd(unsigned char c) { return c == kCR || c == kLF; }

// Whether a quote inside a quoted value, followed by c, closes it when the
// rule keeps stray quotes.
bool ClosesQuote(const TSplitRule& rule, unsigned char c) {
  return IsLineEnd(c) || c == kEndOfInput || (rule.HasSeparator && c == rule.Separator);
}

// The records of input, one byte at a time.
std::vector<TRecord> ReferenceRecords(std::string_view in, const TSplitRule& rule, bool quoted) {
  const bool quotes = quoted && rule.Standard && rule.HasQuote;
  const std::size_t n = in.size();
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
  // Byte 26 ends the input; under the standard rules only as its last byte.
  auto endsInput = [&](std::size_t i) { return at(i) == kEndOfInput && (!rule.Standard || i + 1 == n); };
  std::vector<TRecord> records;
  std::size_t i = 0;
  std::int64_t line = 1;
  std::int64_t skipped = 0;
  if (in.substr(0, 3) == "\xEF\xBB\xBF") i = skipped = 3;
  for (bool end = false; !end;) {
    TRecord r;
    r.Line = line;
    r.Skipped = std::exchange(skipped, 0);
    bool inQuotes = false;
    bool valueStart = true;
    for (;;) {
      if (i == n || endsInput(i)) {
        end = true;
        r.Unclosed = inQuotes;
        break;
      }
      const unsigned char c = at(i);
      if (quotes && inQuotes) {
        if (c == rule.Quote && i + 1 < n && at(i + 1) == rule.Quote) {
          r.Text.append(2, static_cast<char>(c));
          i += 2;
          continue;
        }
        if (c == rule.Quote) {
          inQuotes = rule.KeepStrayQuotes && i + 1 < n && !ClosesQuote(rule, at(i + 1));
        }
        if (IsLineEnd(c) && (c == kCR || at(i - 1) != kCR)) ++line;
      } else if (quotes && c == rule.Quote && valueStart) {
        inQuotes = true;
      } else if (IsLineEnd(c)) {
        break;
      }
      valueStart = rule.HasSeparator && c == rule.Separator && !inQuotes;
      r.Text += static_cast<char>(c);
      ++i;
    }
    if (!end) {
      for (unsigned char previous = 0; i < n && IsLineEnd(at(i)); previous = at(i++)) {
        if (at(i) == kCR || previous != kCR) ++line;
        ++r.LineEnds;
      }
      end = i == n || endsInput(i);
    }
    records.push_back(std::move(r));
  }
  return records;
}

// The values of a record under the classic rules.
std::vector<TValue> ReferenceClassicValues(std::string_view text, const TSplitRule& rule) {
  std::vector<TValue> values;
  std::string value;
  bool inQuotes = false;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (rule.HasQuote && c == rule.Quote) {
      inQuotes = !inQuotes;
    } else if (rule.HasSeparator && c == rule.Separator && !inQuotes) {
      values.push_back({std::exchange(value, {}), false});
    } else {
      value += ch;
    }
  }
  if (!value.empty()) values.push_back({value, false});
  return values;
}

// The values of a record under the standard rules; afterQuote tells whether
// a quoted value went on after its closing quote.
std::vector<TValue> ReferenceStandardValues(std::string_view text, const TSplitRule& rule,
                                            bool& afterQuote) {
  std::vector<TValue> values;
  const std::size_t n = text.size();
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  auto isSeparator = [&](std::size_t i) { return rule.HasSeparator && at(i) == rule.Separator; };
  std::size_t i = 0;
  for (;;) {
    TValue v;
    if (rule.HasQuote && i < n && at(i) == rule.Quote) {
      bool closed = false;
      for (++i; i < n && !closed; ++i) {
        if (at(i) != rule.Quote) {
          v.Text += text[i];
        } else if (i + 1 < n && at(i + 1) == rule.Quote) {
          v.Text += text[i++];
        } else if (rule.KeepStrayQuotes && i + 1 < n && !ClosesQuote(rule, at(i + 1))) {
          v.Text += text[i];
        } else {
          closed = true;
        }
      }
      const std::size_t after = i;
      for (; i < n && !isSeparator(i); ++i) v.Text += text[i];
      v.QuotedEmpty = closed && v.Text.empty() && i == after;
      afterQuote = afterQuote || (closed && i != after);
    } else {
      for (; i < n && !isSeparator(i); ++i) v.Text += text[i];
    }
    values.push_back(std::move(v));
    if (i == n) return values;
    ++i;
  }
}

std::string Show(std::string_view s) {
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 32 && c < 127 && c != '\\') {
      out += ch;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The records the scanner reads from the file.
std::vector<TRecord> ScannedRecords(const korvane::fuzz::TMemoryFile& file, const TSplitRule& rule,
                                    bool quoted, std::size_t bufferSize, std::size_t inputSize) {
  korvane::TRecordScanner scanner;
  scanner.Reset(bufferSize);
  scanner.SetRule(rule, quoted);
  korvane::TFileHandle handle = korvane::OpenFileForRead(file.Path());
  if (!handle.Valid()) korvane::fuzz::Finding("cannot open the input");
  std::vector<TRecord> records;
  for (;;) {
    // Every record but the last takes at least one byte.
    if (records.size() > inputSize + 1) korvane::fuzz::Finding("reader does not end");
    TRecord r;
    korvane::TScanResult result;
    scanner.Scan(handle, r.Text, result);
    r.LineEnds = result.LineEndBytes;
    r.Skipped = result.SkippedBytes;
    r.Line = result.Line;
    r.Unclosed = result.Fault == korvane::rfUnclosedQuote;
    records.push_back(std::move(r));
    if (result.EndOfFile) return records;
  }
}

void CheckValues(const TSplitRule& rule, const std::string& record) {
  std::string text = record;
  std::vector<std::string_view> items;
  std::string before = "(not copied)";
  const korvane::TSplitOutcome outcome =
      korvane::SplitDelimitedText(rule, text.data(), text.size(), items, &before);
  // The record as read stays at hand: as it was, or copied before it changed.
  if ((outcome.Changed ? before : text) != record) {
    korvane::fuzz::Finding("the text as read is lost for record [" + Show(record) + "]");
  }
  std::vector<TValue> got;
  for (std::string_view item : items) {
    got.push_back({std::string(item), korvane::IsQuotedEmpty(item)});
  }
  bool afterQuote = false;
  const std::vector<TValue> want = rule.Standard ? ReferenceStandardValues(record, rule, afterQuote)
                                                 : ReferenceClassicValues(record, rule);
  if (outcome.TextAfterQuote != afterQuote) {
    korvane::fuzz::Finding("text after a closing quote " +
                           std::string(afterQuote ? "missed" : "reported") + " for record [" +
                           Show(record) + "]");
  }
  if (got == want) return;
  std::string what = "values differ for record [" + Show(record) + "]\n got:";
  for (const TValue& v : got) what += " [" + Show(v.Text) + (v.QuotedEmpty ? "]q" : "]");
  what += "\n want:";
  for (const TValue& v : want) what += " [" + Show(v.Text) + (v.QuotedEmpty ? "]q" : "]");
  korvane::fuzz::Finding(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static korvane::fuzz::TMemoryFile file;
  korvane::fuzz::TSettingsBytes settings(data, size);
  const std::uint8_t flags = settings.Next();
  const std::string separator = korvane::fuzz::PickSeparator(settings.Next());
  const std::string quote = korvane::fuzz::PickQuote(flags >> 1);
  const korvane::TDialect dialect = (flags & 1) != 0 ? korvane::dlStandard : korvane::dlClassic;
  const bool quoted = (flags & 0x80) == 0;  // delimited records (not fixed-width ones)
  const bool keepStray = (flags & 0x40) != 0;
  const std::size_t bufferSize = korvane::fuzz::PickBufferSize(static_cast<std::uint8_t>(flags >> 3));
  const TSplitRule rule = korvane::MakeSplitRule(quote, separator, dialect, "", keepStray);
  const std::string_view input = settings.Rest();
  file.Write(input);

  const std::vector<TRecord> got = ScannedRecords(file, rule, quoted, bufferSize, input.size());
  const std::vector<TRecord> want = ReferenceRecords(input, rule, quoted);
  if (got != want) {
    std::string what = "records differ\n got:";
    for (const TRecord& r : got) {
      what += " [" + Show(r.Text) + "]/" + std::to_string(r.LineEnds) + "@" +
              std::to_string(r.Line) + (r.Unclosed ? "u" : "");
    }
    what += "\n want:";
    for (const TRecord& r : want) {
      what += " [" + Show(r.Text) + "]/" + std::to_string(r.LineEnds) + "@" +
              std::to_string(r.Line) + (r.Unclosed ? "u" : "");
    }
    korvane::fuzz::Finding(what);
  }
  for (const TRecord& r : got) CheckValues(rule, r.Text);
  return 0;
}
