// TCSVImport's field splitting: one record's text turned into its values,
// and the quote and separator characters a run uses.
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/dialogs.h"
#include "platform/sysutils.h"
#include "src/kvcsvimp.h"
#include "src/kvcsvimp_readahead.h"

namespace korvane {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit set in every byte of v that is zero; the lowest set bit marks the
// first zero byte exactly (borrows only spill into the bytes above it).
constexpr std::uint64_t ZeroBytes(std::uint64_t v) { return (v - kOnes) & ~v & kHighs; }

// First byte in [p, end) equal to a or to b; end when none. Sixteen bytes at
// a time with SSE2, then eight: values are short, so an inline scan beats a
// library call per value.
[[gnu::always_inline]] inline const char* FindEither(const char* p, const char* end,
                                                     unsigned char a, unsigned char b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb))));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t pa = kOnes * a;
    const std::uint64_t pb = kOnes * b;
    while (end - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, sizeof v);
      std::uint64_t m = ZeroBytes(v ^ pa) | ZeroBytes(v ^ pb);
      if (m != 0) return p + (std::countr_zero(m) >> 3);
      p += 8;
    }
  }
  for (; p != end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == a || c == b) return p;
  }
  return end;
}

const char* FindByte(const char* p, const char* end, unsigned char c) {
  const void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
  return hit == nullptr ? end : static_cast<const char*>(hit);
}

}  // namespace

std::string TCSVImport::GetFieldDelimiterChar() const {
  return FieldDelimiterChar(FFieldDelimiter);
}

std::string TCSVImport::GetFieldSeparatorChar() const {
  return FieldSeparatorChar(FFieldSeparator, FCustomSeparator);
}

void TCSVImport::ResolveSeparators() {
  FDelimiter = GetFieldDelimiterChar();
  FSeparator = GetFieldSeparatorChar();
  FSplitRule = MakeSplitRule(FDelimiter, FSeparator, FDialect);
  ++FSplitGeneration;
}

void TCSVImport::SetCustomSeparator(const std::string& Value) {
  FCustomSeparator = NormaliseCustomSeparator(Value);
}

void TValueList::AssignTo(TStringList& list) const {
  list.Clear();
  list.Reserve(FItems.size());
  for (std::string_view value : FItems) list.Add(std::string(value));
}

bool TCSVImport::SplitFieldsInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  // The trim only decides emptiness; the record goes on untrimmed.
  if (IsBlank(Record)) return false;
  Values.FText.assign(Record);
  return SplitValueText(Values);
}

bool TCSVImport::SplitRecordInto(std::string& Record, TValueList& Values) {
  Values.Clear();
  if (IsBlank(Record)) return false;
  Values.FText.swap(Record);
  return SplitValueText(Values);
}

bool TCSVImport::SplitValueText(TValueList& Values) {
  switch (FImportType) {
    case impDelimited:
      SplitDelimitedText(FSplitRule, Values.FText.data(), Values.FText.size(), Values.FItems);
      return true;
    case impFixed:
      SplitFixedLengthText(Values);
      return true;
  }
  MessageDlg("Unrecognised import type!", mtError, {mbOK}, 0);
  return false;
}

void TValueList::ReleaseLarge() {
  FItems.clear();
  if (FText.capacity() >= TRecordReadAhead::kLargeRecord) std::string().swap(FText);
}

TSplitRule MakeSplitRule(const std::string& delimiter, const std::string& separator,
                         TDialect dialect) {
  TSplitRule rule;
  rule.Standard = dialect == dlStandard;
  rule.HasQuote = !delimiter.empty();
  if (rule.HasQuote) rule.Quote = static_cast<unsigned char>(delimiter[0]);
  // A character that is both quote and separator acts as the quote.
  rule.HasSeparator = !separator.empty() && !(rule.HasQuote && separator[0] == delimiter[0]);
  if (rule.HasSeparator) rule.Separator = static_cast<unsigned char>(separator[0]);
  return rule;
}

namespace {

char* FindIn(char* p, char* end, unsigned char c) {
  void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
  return hit == nullptr ? end : static_cast<char*>(hit);
}

// Moves [from, to) down to out (where they already stand while no quote has
// been taken out) and returns the end of what was moved.
char* MoveDown(char* out, const char* from, const char* to) {
  const auto n = static_cast<std::size_t>(to - from);
  if (out != from && n != 0) std::memmove(out, from, n);
  return out + n;
}

// The standard rules. Each value is compacted within its own bytes, so the
// views of the values before it stay as they are.
void SplitStandardText(const TSplitRule& rule, char* text, std::size_t size,
                       std::vector<std::string_view>& items) {
  const unsigned char quote = rule.Quote;
  const unsigned char sep = rule.Separator;
  char* p = text;
  char* const end = text + size;
  for (;;) {
    char* stop;
    if (rule.HasQuote && p != end && static_cast<unsigned char>(*p) == quote) {
      char* const value = p + 1;
      char* out = value;
      char* in = value;
      bool closed = false;
      for (;;) {
        char* q = FindIn(in, end, quote);
        out = MoveDown(out, in, q);
        if (q == end) {  // never closed: the rest of the record is the value
          in = end;
          break;
        }
        if (q + 1 != end && static_cast<unsigned char>(q[1]) == quote) {
          *out++ = static_cast<char>(quote);
          in = q + 2;
          continue;
        }
        in = q + 1;
        closed = true;
        break;
      }
      // What follows the closing quote up to the separator is data.
      stop = rule.HasSeparator ? FindIn(in, end, sep) : end;
      const bool quotedEmpty = closed && out == value && stop == in;
      out = MoveDown(out, in, stop);
      if (quotedEmpty) {
        items.emplace_back(kQuotedEmptyValue, 0);
      } else {
        items.emplace_back(value, static_cast<std::size_t>(out - value));
      }
    } else {
      stop = rule.HasSeparator ? FindIn(p, end, sep) : end;
      items.emplace_back(p, static_cast<std::size_t>(stop - p));
    }
    if (stop == end) return;
    p = stop + 1;
  }
}

}  // namespace

void SplitDelimitedText(const TSplitRule& rule, char* text, std::size_t size,
                        std::vector<std::string_view>& items) {
  if (rule.Standard) return SplitStandardText(rule, text, size, items);
  const bool hasQuote = rule.HasQuote;
  const bool hasSep = rule.HasSeparator;
  const unsigned char quote = rule.Quote;
  const unsigned char sep = rule.Separator;
  const char* p = text;
  const char* const end = p + size;
  if (hasQuote && hasSep) {
    // Values that are either wholly quoted or hold no quote at all, the
    // usual case, are views of the text as it stands. The first value that
    // is neither goes to the general scan below, from its first byte on.
    for (;;) {
      if (p == end) return;  // an empty value ended by the record does not count
      if (static_cast<unsigned char>(*p) == quote) {
        const char* close = FindEither(p + 1, end, quote, quote);
        if (close == end) break;
        const char* after = close + 1;
        if (after != end && static_cast<unsigned char>(*after) != sep) break;
        if (after == end && close == p + 1) return;  // "" ending the record
        items.emplace_back(p + 1, static_cast<std::size_t>(close - p - 1));
        if (after == end) return;
        p = after + 1;
      } else {
        const char* stop = FindEither(p, end, quote, sep);
        if (stop != end && static_cast<unsigned char>(*stop) == quote) break;
        items.emplace_back(p, static_cast<std::size_t>(stop - p));
        if (stop == end) return;
        p = stop + 1;
      }
    }
  }
  // The general scan takes the quotes out in place: the value being built
  // starts at value and ends at out, which never runs ahead of the bytes
  // still to be read at p, so whole runs between quotes and separators move
  // down at once.
  char* value = text + (p - text);
  char* out = value;
  bool inQuotes = false;
  while (p != end) {
    const char* stop;
    if (inQuotes || !hasSep) {
      // Inside quotes a separator is text: only the closing quote stops.
      stop = hasQuote ? FindByte(p, end, quote) : end;
    } else if (hasQuote) {
      stop = FindEither(p, end, quote, sep);
    } else {
      stop = FindByte(p, end, sep);
    }
    const auto n = static_cast<std::size_t>(stop - p);
    if (out != p && n != 0) std::memmove(out, p, n);
    out += n;
    if (stop == end) break;
    if (hasQuote && static_cast<unsigned char>(*stop) == quote) {
      inQuotes = !inQuotes;  // the quote itself is never part of a value
    } else {
      items.emplace_back(value, static_cast<std::size_t>(out - value));
      value = out;
    }
    p = stop + 1;
  }
  // A value ended by the record itself counts only when it is not empty.
  if (out != value) items.emplace_back(value, static_cast<std::size_t>(out - value));
}

void TCSVImport::SplitDelimitedInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  Values.FText.assign(Record);
  SplitDelimitedText(FSplitRule, Values.FText.data(), Values.FText.size(), Values.FItems);
}

void TCSVImport::SplitFixedLengthInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  Values.FText.assign(Record);
  SplitFixedLengthText(Values);
}

void TCSVImport::SplitFixedLengthText(TValueList& Values) {
  Values.FItems.clear();
  if (FDataSet == nullptr) return;  // no dataset: no fields to take widths from
  const std::string_view text = Values.FText;
  std::size_t pos = 0;
  for (const TField* field : FDataSet->Fields()) {
    const int size = field->Size();
    std::size_t width = size > 0 ? static_cast<std::size_t>(size) : 0;
    Values.FItems.push_back(pos < text.size() ? text.substr(pos, width) : std::string_view());
    pos += width;
  }
}

std::unique_ptr<TStringList> TCSVImport::SplitFields(const std::string& Record) {
  TValueList values;
  if (!SplitFieldsInto(Record, values)) return nullptr;
  auto list = std::make_unique<TStringList>();
  values.AssignTo(*list);
  return list;
}

std::unique_ptr<TStringList> TCSVImport::SplitDelimitedFields(const std::string& Record) {
  TValueList values;
  SplitDelimitedInto(Record, values);
  auto list = std::make_unique<TStringList>();
  values.AssignTo(*list);
  return list;
}

std::unique_ptr<TStringList> TCSVImport::SplitFixedLengthFields(const std::string& Record) {
  TValueList values;
  SplitFixedLengthInto(Record, values);
  auto list = std::make_unique<TStringList>();
  values.AssignTo(*list);
  return list;
}

}  // namespace korvane
