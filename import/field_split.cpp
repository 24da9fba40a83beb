// TCSVImport's field splitting: one record's text turned into its values,
// and the quote and separator characters a run uses.
#include <algorithm>
#include <cstring>

#include "ui/dialogs.h"
#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "import/import_run.h"
#include "components/byte_search.h"
#include "components/fixed_widths.h"
#include "components/separator_in_force.h"
#include "import/read_ahead.h"

namespace korvane {

namespace {

const char* FindByte(const char* p, const char* end, unsigned char c) {
  const void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
  return hit == nullptr ? end : static_cast<const char*>(hit);
}

// The values as the string list the public splitters hand out.
std::unique_ptr<TStringList> ListOf(const TValueList& values) {
  auto list = std::make_unique<TStringList>();
  values.AssignTo(*list);
  return list;
}

}  // namespace

std::string TCSVImport::GetFieldDelimiterChar() const {
  return FieldDelimiterChar(FProps->FFieldDelimiter);
}

std::string TCSVImport::GetFieldSeparatorChar() const {
  return SeparatorInForce(FProps->FFieldSeparator, FProps->FSeparatorChar,
                          FProps->FCustomSeparator);
}

void TCSVImport::ResolveSeparators() {
  TImportRun& run = *FRun;
  run.FDelimiter = GetFieldDelimiterChar();
  run.FSeparator = GetFieldSeparatorChar();
  run.FSplitRule = MakeSplitRule(run.FDelimiter, run.FSeparator, FProps->FDialect,
                                 FProps->FEscapeChar, FProps->FKeepStrayQuotes);
  ++run.FSplitGeneration;
}

void TCSVImport::SetCustomSeparator(const std::string& Value) {
  FProps->FCustomSeparator = NormaliseCustomSeparator(Value);
}

void TValueList::AssignTo(TStringList& list) const {
  list.Clear();
  list.Reserve(FItems.size());
  for (std::string_view value : FItems) list.Add(std::string(value));
}

bool TCSVImport::SplitFieldsInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  // The trim only decides emptiness, as the run decides it; the record goes
  // on untrimmed.
  if (FProps->FImportType == impDelimited ? IsBlankRecord(FRun->FSplitRule, Record)
                                          : IsBlank(Record)) {
    return false;
  }
  Values.FText.assign(Record);
  return FRun->SplitValueText(Values);
}

bool TImportRun::SplitRecordInto(std::string& Record, TValueList& Values) {
  Values.Clear();
  FInUsePastKept = 0;
  FCutValue = -1;
  const bool report = FProps.FOnRecordError && FProps.FReportRecordText;
  FReportFrom = report ? TReportFrom::Values : TReportFrom::Nowhere;
  const bool blank = FProps.FImportType == impDelimited ? IsBlankRecord(FSplitRule, Record)
                                                        : IsBlank(Record) && !NullColumns(Record);
  if (blank) return false;
  Values.FText.swap(Record);
  if (FProps.FImportType != impDelimited) return SplitValueText(Values);
  // A record that fails is reported as read: the split copies it only when
  // it takes quotes out.
  std::string* before = report ? &FReportText : nullptr;
  TSplitOutcome outcome =
      SplitDelimitedText(FSplitRule, Values.FText.data(), Values.FText.size(), Values.FItems,
                         before, ValuesToKeep());
  if (outcome.Cut) CountValuesPastKept(Values, outcome, before);
  if (outcome.Changed && before != nullptr) FReportFrom = TReportFrom::Copy;
  if (outcome.TextAfterQuote) NoteTextAfterQuote(FRecordLine);
  return true;
}

std::size_t TImportRun::ValuesToKeep() const {
  if (FProps.FOnFilterRecord || FProps.FDataSet == nullptr) return SIZE_MAX;
  const std::size_t fields = FValueFields.empty()
                                 ? static_cast<std::size_t>(FProps.FDataSet->FieldCount())
                                 : FValueFields.size();
  return std::max(fields, kValuesKept);
}

void TImportRun::CountValuesPastKept(TValueList& Values, TSplitOutcome& outcome,
                                     std::string* before) {
  std::vector<std::string_view> chunk;
  chunk.reserve(kValuesKept + 1);
  char* const text = Values.FText.data();
  const std::size_t size = Values.FText.size();
  auto position = static_cast<std::int64_t>(Values.FItems.size());
  for (std::size_t from = outcome.Rest;;) {
    chunk.clear();
    // The text as read is copied once, before the first change to it: the
    // values before from are as they were read.
    const TSplitOutcome part = SplitDelimitedText(FSplitRule, text + from, size - from, chunk,
                                                  outcome.Changed ? nullptr : before, kValuesKept);
    if (part.Changed && !outcome.Changed && before != nullptr) before->insert(0, text, from);
    outcome.Changed |= part.Changed;
    outcome.TextAfterQuote |= part.TextAfterQuote;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (!chunk[i].empty()) FInUsePastKept = position + static_cast<std::int64_t>(i) + 1;
    }
    position += static_cast<std::int64_t>(chunk.size());
    if (!part.Cut) return;
    from += part.Rest;
  }
}

bool TImportRun::SplitValueText(TValueList& Values) {
  switch (FProps.FImportType) {
    case impDelimited:
      SplitDelimitedText(FSplitRule, Values.FText.data(), Values.FText.size(), Values.FItems);
      return true;
    case impFixed:
      SplitFixedLengthText(Values);
      return true;
  }
  ShowMessage("Unrecognised import type!", mtError);
  return false;
}

void TValueList::ReleaseLarge() {
  FItems.clear();
  if (FText.capacity() >= TRecordReadAhead::kLargeRecord) std::string().swap(FText);
}

bool IsBlankRecord(const TSplitRule& rule, std::string_view text) {
  if (!IsBlank(text)) return false;
  // Blanks padding a space-separated file for the eye are no record.
  return !rule.Standard || !rule.HasSeparator || rule.Separator == ' ' ||
         text.find(rule.SeparatorText()) == std::string_view::npos;
}

TSplitRule MakeSplitRule(const std::string& delimiter, const std::string& separator,
                         TDialect dialect, const std::string& escape, bool keepStrayQuotes) {
  TSplitRule rule;
  rule.Standard = dialect == dlStandard;
  rule.HasQuote = !delimiter.empty();
  if (rule.HasQuote) rule.Quote = static_cast<unsigned char>(delimiter[0]);
  // A character that is both quote and separator acts as the quote.
  rule.HasSeparator = !separator.empty() && !(rule.HasQuote && separator[0] == delimiter[0]);
  if (rule.HasSeparator) {
    rule.Separator = static_cast<unsigned char>(separator[0]);
    rule.SeparatorLength =
        static_cast<std::uint8_t>(std::min(separator.size(), rule.SeparatorBytes.size()));
    separator.copy(rule.SeparatorBytes.data(), rule.SeparatorLength);
  }
  rule.HasEscape = rule.Standard && !escape.empty() && escape[0] != '\r' && escape[0] != '\n' &&
                   !(rule.HasQuote && static_cast<unsigned char>(escape[0]) == rule.Quote) &&
                   !(rule.HasSeparator && static_cast<unsigned char>(escape[0]) == rule.Separator);
  if (rule.HasEscape) rule.Escape = static_cast<unsigned char>(escape[0]);
  rule.KeepStrayQuotes = rule.Standard && rule.HasQuote && keepStrayQuotes;
  return rule;
}

namespace {

char* FindIn(char* p, char* end, unsigned char c) {
  void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
  return hit == nullptr ? end : static_cast<char*>(hit);
}

// The separator as the split sees it: one byte, or (Multi) every byte of a
// UTF-8 character of more than one, so that a value never ends inside
// another character that starts with the same byte. The one-byte split is
// compiled apart and, these inlined, stays as lean as it was.
template <bool Multi>
[[gnu::always_inline]] inline bool SeparatorAt(const TSplitRule& rule, unsigned char sep,
                                               const char* p, const char* end) {
  if constexpr (Multi) {
    const std::string_view text = rule.SeparatorText();
    return static_cast<std::size_t>(end - p) >= text.size() &&
           std::memcmp(p, text.data(), text.size()) == 0;
  } else {
    static_cast<void>(rule);
    static_cast<void>(end);
    return static_cast<unsigned char>(*p) == sep;
  }
}

template <bool Multi>
[[gnu::always_inline]] inline std::size_t SeparatorSize(const TSplitRule& rule) {
  if constexpr (Multi) {
    return rule.SeparatorLength;
  } else {
    static_cast<void>(rule);
    return 1;
  }
}

// The first byte c or separator (first byte sep) in [p, end); end when there
// is neither. c may be sep: the separator alone is looked for.
template <bool Multi>
[[gnu::always_inline]] inline const char* FindOrSeparator(const TSplitRule& rule, const char* p,
                                                          const char* end, unsigned char c,
                                                          unsigned char sep) {
  for (;;) {
    const char* hit = FindEither(p, end, c, sep);
    if constexpr (!Multi) {
      static_cast<void>(rule);
      return hit;
    } else {
      if (hit == end || SeparatorAt<true>(rule, sep, hit, end)) return hit;
      if (static_cast<unsigned char>(*hit) == c && c != sep) return hit;
      p = hit + 1;
    }
  }
}

template <bool Multi>
[[gnu::always_inline]] inline char* FindOrSeparator(const TSplitRule& rule, char* p, char* end,
                                                    unsigned char c, unsigned char sep) {
  return const_cast<char*>(
      FindOrSeparator<Multi>(rule, static_cast<const char*>(p), end, c, sep));
}

// Whether a quote inside a quoted value, followed by p (not end), closes
// the value when stray quotes are kept: the separator, a line end or byte
// 26 follows it.
template <bool Multi>
bool ClosesQuotedValue(const TSplitRule& rule, const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(*p);
  return c == '\r' || c == '\n' || c == 26 ||
         (rule.HasSeparator && SeparatorAt<Multi>(rule, rule.Separator, p, end));
}

// Moves [from, to) down to out (where they already stand while no quote has
// been taken out) and returns the end of what was moved.
char* MoveDown(char* out, const char* from, const char* to) {
  const auto n = static_cast<std::size_t>(to - from);
  if (out != from && n != 0) std::memmove(out, from, n);
  return out + n;
}

// Moves the bytes from in on down to out up to the next separator (or end)
// that no escape stands before, taking each escape out and keeping the byte
// after it (an escape ending the record is data). Returns the end of what
// was moved; stop receives where the separator or end is.
template <bool Multi>
char* MoveDownEscaped(const TSplitRule& rule, char* out, char* in, char* end, char*& stop) {
  const unsigned char escape = rule.Escape;
  for (;;) {
    char* const hit = rule.HasSeparator
                          ? FindOrSeparator<Multi>(rule, in, end, escape, rule.Separator)
                          : FindEither(in, end, escape, escape);
    out = MoveDown(out, in, hit);
    if (hit == end || static_cast<unsigned char>(*hit) != escape) {
      stop = hit;
      return out;
    }
    if (hit + 1 == end) {
      *out++ = *hit;
      stop = end;
      return out;
    }
    *out++ = hit[1];
    in = hit + 2;
  }
}

// A quoted value of the standard rules that is not a plain view: it holds a
// doubled quote, data after its closing quote, or no closing quote. value is
// its first byte after the opening quote; its bytes are compacted in place
// and the view appended to items. Returns where it stops (a separator or end);
// sets textAfterQuote when text follows its closing quote.
template <bool Multi>
char* SplitEscapedValue(const TSplitRule& rule, char* value, char* end,
                        std::vector<std::string_view>& items, bool& textAfterQuote) {
  const unsigned char quote = rule.Quote;
  // Without an escape character the search looks for the quote alone.
  const unsigned char escape = rule.HasEscape ? rule.Escape : quote;
  char* out = value;
  char* in = value;
  bool closed = false;
  for (;;) {
    char* q = FindEither(in, end, quote, escape);
    out = MoveDown(out, in, q);
    if (q == end) {  // never closed: the rest of the record is the value
      in = end;
      break;
    }
    if (rule.HasEscape && static_cast<unsigned char>(*q) == escape) {
      // The byte after the escape is data; an escape ending the record is.
      if (q + 1 == end) {
        *out++ = *q;
        in = end;
      } else {
        *out++ = q[1];
        in = q + 2;
      }
      continue;
    }
    if (q + 1 != end && static_cast<unsigned char>(q[1]) == quote) {
      *out++ = static_cast<char>(quote);
      in = q + 2;
      continue;
    }
    if (rule.KeepStrayQuotes && q + 1 != end && !ClosesQuotedValue<Multi>(rule, q + 1, end)) {
      *out++ = static_cast<char>(quote);  // a stray quote: a character of the value
      in = q + 1;
      continue;
    }
    in = q + 1;
    closed = true;
    break;
  }
  // What follows the closing quote up to the separator is data.
  char* stop = end;
  if (rule.HasEscape) {
    char* const after = in;
    const bool nothingQuoted = out == value;
    out = MoveDownEscaped<Multi>(rule, out, in, end, stop);
    if (closed && stop != after) textAfterQuote = true;
    if (closed && nothingQuoted && stop == after) {
      items.emplace_back(kQuotedEmptyValue, 0);
    } else {
      items.emplace_back(value, static_cast<std::size_t>(out - value));
    }
    return stop;
  }
  if constexpr (Multi) {
    stop = FindOrSeparator<true>(rule, in, end, rule.Separator, rule.Separator);
  } else if (rule.HasSeparator) {
    stop = FindIn(in, end, rule.Separator);
  }
  if (closed && stop != in) textAfterQuote = true;
  const bool quotedEmpty = closed && out == value && stop == in;
  out = MoveDown(out, in, stop);
  if (quotedEmpty) {
    items.emplace_back(kQuotedEmptyValue, 0);
  } else {
    items.emplace_back(value, static_cast<std::size_t>(out - value));
  }
  return stop;
}

// Copies the text to *before, once, before the split first changes it.
void KeepBefore(std::string* before, bool& changed, const char* text, std::size_t size) {
  if (changed) return;
  changed = true;
  if (before != nullptr) before->assign(text, size);
}

// The standard rules. A quoted value closed right before a separator or the
// record's end, with no quote inside, is a view of the text as it stands;
// any other is compacted within its own bytes, so the views of the values
// before it stay as they are. With an escape character (Escaped), an
// unquoted value is compacted the same way where an escape stands in it.
template <bool Multi, bool Escaped>
TSplitOutcome SplitStandardText(const TSplitRule& rule, char* text, std::size_t size,
                                std::vector<std::string_view>& items, std::string* before,
                                std::size_t maxItems) {
  const unsigned char quote = rule.Quote;
  const unsigned char sep = rule.Separator;
  TSplitOutcome outcome;
  char* p = text;
  char* const end = text + size;
  for (;;) {
    char* stop;
    if (rule.HasQuote && p != end && static_cast<unsigned char>(*p) == quote) {
      char* const value = p + 1;
      // An escape inside takes the general path, as a doubled quote does.
      char* const close = FindEither(value, end, quote, rule.HasEscape ? rule.Escape : quote);
      if (close != end && static_cast<unsigned char>(*close) == quote &&
          (close + 1 == end || (rule.HasSeparator && SeparatorAt<Multi>(rule, sep, close + 1, end)))) {
        if (close == value) {
          items.emplace_back(kQuotedEmptyValue, 0);
        } else {
          items.emplace_back(value, static_cast<std::size_t>(close - value));
        }
        stop = close + 1;
      } else {
        KeepBefore(before, outcome.Changed, text, size);
        stop = SplitEscapedValue<Multi>(rule, value, end, items, outcome.TextAfterQuote);
      }
    } else if constexpr (Escaped) {
      const unsigned char escape = rule.Escape;
      stop = rule.HasSeparator ? FindOrSeparator<Multi>(rule, p, end, escape, sep)
                               : FindEither(p, end, escape, escape);
      if (stop != end && static_cast<unsigned char>(*stop) == escape) {
        KeepBefore(before, outcome.Changed, text, size);
        char* const first = stop;
        char* const out = MoveDownEscaped<Multi>(rule, first, first, end, stop);
        items.emplace_back(p, static_cast<std::size_t>(out - p));
      } else {
        items.emplace_back(p, static_cast<std::size_t>(stop - p));
      }
    } else {
      stop = rule.HasSeparator ? FindOrSeparator<Multi>(rule, p, end, sep, sep) : end;
      items.emplace_back(p, static_cast<std::size_t>(stop - p));
    }
    if (stop == end) return outcome;
    p = stop + SeparatorSize<Multi>(rule);
    if (items.size() > maxItems) {
      outcome.Cut = true;
      outcome.Rest = static_cast<std::size_t>(p - text);
      return outcome;
    }
  }
}

// The classic rules.
template <bool Multi>
TSplitOutcome SplitClassicText(const TSplitRule& rule, char* text, std::size_t size,
                               std::vector<std::string_view>& items, std::string* before,
                               std::size_t maxItems) {
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
      if (p == end) return {};  // an empty value ended by the record does not count
      if (static_cast<unsigned char>(*p) == quote) {
        const char* close = FindEither(p + 1, end, quote, quote);
        if (close == end) break;
        const char* after = close + 1;
        if (after != end && !SeparatorAt<Multi>(rule, sep, after, end)) break;
        if (after == end && close == p + 1) return {};  // "" ending the record
        items.emplace_back(p + 1, static_cast<std::size_t>(close - p - 1));
        if (after == end) return {};
        p = after + SeparatorSize<Multi>(rule);
        if (items.size() > maxItems) {
          return {.Cut = true, .Rest = static_cast<std::size_t>(p - text)};
        }
      } else {
        const char* stop = FindOrSeparator<Multi>(rule, p, end, quote, sep);
        if (stop != end && static_cast<unsigned char>(*stop) == quote) break;
        items.emplace_back(p, static_cast<std::size_t>(stop - p));
        if (stop == end) return {};
        p = stop + SeparatorSize<Multi>(rule);
        if (items.size() > maxItems) {
          return {.Cut = true, .Rest = static_cast<std::size_t>(p - text)};
        }
      }
    }
  }
  // The general scan takes the quotes out in place: the value being built
  // starts at value and ends at out, which never runs ahead of the bytes
  // still to be read at p, so whole runs between quotes and separators move
  // down at once.
  bool changed = false;
  char* value = text + (p - text);
  char* out = value;
  bool inQuotes = false;
  while (p != end) {
    const char* stop;
    if (inQuotes || !hasSep) {
      // Inside quotes a separator is text: only the closing quote stops.
      stop = hasQuote ? FindByte(p, end, quote) : end;
    } else if (hasQuote) {
      stop = FindOrSeparator<Multi>(rule, p, end, quote, sep);
    } else if constexpr (Multi) {
      stop = FindOrSeparator<true>(rule, p, end, sep, sep);
    } else {
      stop = FindByte(p, end, sep);
    }
    const auto n = static_cast<std::size_t>(stop - p);
    if (out != p && n != 0) {
      KeepBefore(before, changed, text, size);
      std::memmove(out, p, n);
    }
    out += n;
    if (stop == end) break;
    if (hasQuote && static_cast<unsigned char>(*stop) == quote) {
      inQuotes = !inQuotes;  // the quote itself is never part of a value
      p = stop + 1;
    } else {
      items.emplace_back(value, static_cast<std::size_t>(out - value));
      value = out;
      p = stop + SeparatorSize<Multi>(rule);
      if (items.size() > maxItems) {
        return {.Changed = changed, .Cut = true, .Rest = static_cast<std::size_t>(p - text)};
      }
    }
  }
  // A value ended by the record itself counts only when it is not empty.
  if (out != value) items.emplace_back(value, static_cast<std::size_t>(out - value));
  return {changed, false};
}

}  // namespace

TSplitOutcome SplitDelimitedText(const TSplitRule& rule, char* text, std::size_t size,
                                 std::vector<std::string_view>& items, std::string* before,
                                 std::size_t maxItems) {
  if (rule.Standard && rule.HasEscape) {
    return rule.SeparatorLength > 1
               ? SplitStandardText<true, true>(rule, text, size, items, before, maxItems)
               : SplitStandardText<false, true>(rule, text, size, items, before, maxItems);
  }
  if (rule.SeparatorLength > 1) {
    return rule.Standard ? SplitStandardText<true, false>(rule, text, size, items, before, maxItems)
                         : SplitClassicText<true>(rule, text, size, items, before, maxItems);
  }
  if (rule.Standard) {
    return SplitStandardText<false, false>(rule, text, size, items, before, maxItems);
  }
  return SplitClassicText<false>(rule, text, size, items, before, maxItems);
}

void TImportRun::SplitDelimitedInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  Values.FText.assign(Record);
  SplitDelimitedText(FSplitRule, Values.FText.data(), Values.FText.size(), Values.FItems);
}

void TImportRun::SplitFixedLengthInto(const std::string& Record, TValueList& Values) {
  Values.Clear();
  Values.FText.assign(Record);
  SplitFixedLengthText(Values);
}

bool TImportRun::NullColumns(std::string_view Record) const {
  if (!FColumnsLaid || FProps.FImportType != impFixed || FColumnSlices.empty()) return false;
  std::size_t width = 0;
  for (const TColumnSlice& slice : FColumnSlices) width += slice.Width;
  return Record.size() >= width && Record.find_first_not_of(' ') == std::string_view::npos;
}

void TImportRun::SplitFixedColumns(TValueList& Values) {
  if (!FColumnsLaid && !LayFixedColumns(FieldsTakingPart())) FColumnSlices.clear();
  const std::string_view text = Values.FText;
  // Blanks pad a value in its column: after a text, on either side of
  // anything else.
  const auto trim = [](std::string_view v, bool isText) {
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    if (!isText) {
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    }
    return v;
  };
  TFixedColumnCutter cutter(text, FProps.FFixedWidthUnit);
  for (const TColumnSlice& slice : FColumnSlices) {
    Values.FItems.push_back(trim(cutter.Next(slice.Width), slice.Text));
  }
  FCutValue = cutter.Cut();
  // Text past the last column is a value beyond the fields.
  if (const std::string_view rest = trim(cutter.Rest(), false); !rest.empty()) {
    Values.FItems.push_back(rest);
  }
}

void TImportRun::SplitFixedLengthText(TValueList& Values) {
  Values.FItems.clear();
  if (FProps.FDataSet == nullptr) return;  // no dataset: no fields to take widths from
  if (FProps.FFixedLayout == flColumns) return SplitFixedColumns(Values);
  const std::string_view text = Values.FText;
  std::size_t pos = 0;
  for (const TField* field : FProps.FDataSet->Fields()) {
    const int size = field->Size();
    std::size_t width = size > 0 ? static_cast<std::size_t>(size) : 0;
    Values.FItems.push_back(pos < text.size() ? text.substr(pos, width) : std::string_view());
    pos += width;
  }
}

std::unique_ptr<TStringList> TCSVImport::SplitFields(const std::string& Record) {
  TValueList values;
  if (!SplitFieldsInto(Record, values)) return nullptr;
  return ListOf(values);
}

std::unique_ptr<TStringList> TCSVImport::SplitDelimitedFields(const std::string& Record) {
  TValueList values;
  FRun->SplitDelimitedInto(Record, values);
  return ListOf(values);
}

std::unique_ptr<TStringList> TCSVImport::SplitFixedLengthFields(const std::string& Record) {
  TValueList values;
  FRun->SplitFixedLengthInto(Record, values);
  return ListOf(values);
}

}  // namespace korvane
