// The record plan's quoting and escaping of delimited values beyond the
// usual ones: values that hold a quote, a line end or the separator, empty
// and stored texts, and values written with an escape character. The
// usual case, a value that needs nothing, stays with the lines' writer.
#include "export/record_plan.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace korvane {

bool TRecordPlan::NeedsEscapes(const char* first, std::size_t n) const {
  const std::string_view value(first, n);
  const char special[] = {FEscape, '\r', '\n', FQuote, '\0'};
  if (value.find_first_of(special) != std::string_view::npos) return true;
  if (!FMultiSeparator.empty()) return value.find(FMultiSeparator) != std::string_view::npos;
  return FSeparator != 0 && value.find(FSeparator) != std::string_view::npos;
}

char* TRecordPlan::EscapeValue(TLineWriter& line, char* first, char* p, const TColumn& column) {
  const auto n = static_cast<std::size_t>(p - first);
  if (n == 0 || !NeedsEscapes(first, n)) return p;
  // The bytes an escape goes before: a separator's first byte where the
  // whole separator stands.
  const std::string_view separator = FMultiSeparator.empty()
                                         ? std::string_view(&FSeparator, FSeparator != 0 ? 1 : 0)
                                         : std::string_view(FMultiSeparator);
  std::string& escaped = FText;
  escaped.clear();
  const std::string_view value(first, n);
  for (std::size_t i = 0; i < n; ++i) {
    const char c = value[i];
    if (c == FEscape || c == '\r' || c == '\n' ||
        (!separator.empty() && value.substr(i).starts_with(separator))) {
      escaped += FEscape;
    }
    escaped += c;
  }
  p = line.Room(p, escaped.size() - n + column.rest);
  std::memcpy(p - n, escaped.data(), escaped.size());
  return p - n + escaped.size();
}

bool TRecordPlan::NeedsQuotesExactly(const char* first, std::size_t n) const {
  const std::string_view value(first, n);
  const char special[] = {FQuote, '\r', '\n', '\0'};
  return value.find_first_of(special) != std::string_view::npos ||
         value.find(FMultiSeparator) != std::string_view::npos;
}

void TRecordPlan::RaiseUnquoted(const TColumn& column, const char* first, const char* p,
                               bool none) const {
  const std::string_view value(first, static_cast<std::size_t>(p - first));
  std::string why;
  if (value.empty()) {
    if (!column.text || none) return;
    why = "is an empty text, which a line without quotes reads back as null";
  } else if (value.find_first_of("\r\n") != std::string_view::npos) {
    why = "holds a line break, which a line without quotes or an escape character cannot hold";
  } else {
    const std::string_view separator = FMultiSeparator.empty()
                                           ? std::string_view(&FSeparator, 1)
                                           : std::string_view(FMultiSeparator);
    if (value.find(separator) == std::string_view::npos) return;
    why = "holds the separator '" + std::string(separator) +
          "', which a line without quotes or an escape character cannot hold";
  }
  throw EUnfitValue(column.field->FieldName(), why);
}

[[gnu::noinline]] char* TRecordPlan::QuoteOtherValue(TLineWriter& line, char* first, char* p,
                                   const TColumn& column, bool none, bool special) {
  FQuoteText = false;
  const auto n = static_cast<std::size_t>(p - first);
  const bool opened = column.askQuote;  // the opening quote is at first[-1]
  if (column.kind == TColumnKind::ckNothing) return p;
  if (none && n == 0) return opened ? first - 1 : p;  // nothing
  // Quoted: an empty text, a stored text or one that needs quotes. The
  // quotes to add are the doubled ones, the closing one and the opening one
  // when it was not stored.
  // With an escape, it goes before each quote and each escape instead.
  const auto quotes = static_cast<std::size_t>(
      !special ? 0
      : FEscape == 0
          ? std::count(first, p, FQuote)
          : std::count_if(first, p, [this](char c) { return c == FQuote || c == FEscape; }));
  const std::size_t added = quotes + (opened ? 1 : 2);
  p = line.Room(p, added + column.rest);
  char* const value = p - n;
  char* const end = p + added;
  if (quotes != 0 || !opened) {
    // From the back, so that every byte moves before it is overwritten.
    char* out = end - 1;
    const char before = FEscape != 0 ? FEscape : FQuote;
    for (const char* in = p; in != value;) {
      *--out = *--in;
      if (*in == FQuote || (FEscape != 0 && *in == FEscape)) *--out = before;
    }
  }
  if (!opened) value[0] = FQuote;
  end[-1] = FQuote;
  return end;
}

}  // namespace korvane
