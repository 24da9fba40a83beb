#include "cli/sniff_sample.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace korvane::cli::sniffing {

namespace {

bool LooksLikeName(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  const char c = s.front();
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view TrimmedView(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

std::string Trimmed(std::string_view s) { return std::string(TrimmedView(s)); }

}  // namespace

void TLoneColumnShape::Add(std::string_view value) {
  value = TrimmedView(value);
  if (value.empty()) return;
  ++FValues;
  bool seen[128] = {};
  bool digits = false;
  for (char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= '0' && b <= '9') {
      digits = true;
    } else if (b > ' ' && b < 0x7F && !((b | 0x20) >= 'a' && (b | 0x20) <= 'z')) {
      seen[b] = true;
    }
  }
  for (int b = 0; b < 128; ++b) FSigns[b] += seen[b] ? 1 : 0;
  FWithDigits += digits ? 1 : 0;
  if (!PatternOf(value, FScratch)) return;
  for (TPattern& p : FPatterns) {
    if (p.Text == FScratch) {
      ++p.Count;
      return;
    }
  }
  if (FPatterns.size() < kMaxPatterns) FPatterns.push_back({FScratch, 1});
}

bool TLoneColumnShape::Shares(std::string_view value) const {
  if (FValues == 0) return false;
  value = TrimmedView(value);
  int shapes = 0;
  for (int b = 0; b < 128; ++b) {
    if (FSigns[b] == 0 || !NearlyAll(FSigns[b])) continue;
    ++shapes;
    if (value.find(static_cast<char>(b)) == std::string_view::npos) return false;
  }
  if (FWithDigits > 0 && NearlyAll(FWithDigits)) {
    ++shapes;
    if (std::none_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return false;
    }
  }
  // A pattern that two values or more share holds the value to it, but
  // says nothing alone: names of one length share one too.
  for (const TPattern& p : FPatterns) {
    if (p.Count < 2 || !NearlyAll(p.Count)) continue;
    std::string pattern;
    if (!PatternOf(value, pattern) || pattern != p.Text) return false;
  }
  return shapes > 0;
}

bool TLoneColumnShape::PatternOf(std::string_view value, std::string& out) {
  if (value.size() > kMaxPatternLength) return false;
  out.clear();
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto b = static_cast<unsigned char>(value[i]);
    if (b >= 0x80) {
      // A character of several bytes is one letter.
      while (i + 1 < value.size() && (static_cast<unsigned char>(value[i + 1]) & 0xC0) == 0x80) ++i;
      out += 'a';
    } else if (b >= 'A' && b <= 'Z') {
      out += 'A';
    } else if (b >= 'a' && b <= 'z') {
      out += 'a';
    } else if (b >= '0' && b <= '9') {
      out += '9';
    } else {
      out += static_cast<char>(b);
    }
  }
  return true;
}

void TSampleScan::Add(const TRecord& r) {
  if (r.Blank()) return;
  const std::int64_t index = FResult.Records++;
  FResult.Bytes += r.Bytes;
  if (r.LineEnd >= 0) ++FLineEnds[r.LineEnd];
  if (r.InvalidText) NoteEightBit(r, index);
  for (std::string_view v : r.Values) {
    for (char c : v) FAscii &= static_cast<unsigned char>(c) < 0x80;
  }
  FResult.StandardFits &= !r.QuoteError;
  FResult.ClassicFits &= r.ClassicAgrees;
  const std::size_t count = r.Values.size();
  ++FCounts[count];
  std::vector<std::int64_t>& lines = FLinesOf[count];
  if (lines.size() < kMisfitLines) lines.push_back(r.Line);
  if (count > FResult.WidestRecord) {
    FResult.WidestRecord = count;
    FResult.WidestLine = r.Line;
  }
  // No table holds more columns: the values past them are not voted on.
  const std::size_t voted = std::min(count, kMaxSniffedColumns);
  // Empty values at a record's end need no column of their own: the
  // import passes empty values past the table's last column.
  std::size_t used = voted;
  while (used > 0 && r.Values[used - 1].empty()) --used;
  FColumns = std::max(FColumns, used);
  if (index == 0) {
    FFirst.assign(r.Values.begin(), r.Values.begin() + static_cast<std::ptrdiff_t>(voted));
    FFirstRepeats.assign(voted, false);
    return;
  }
  if (FOptions.HeaderRecords && index < *FOptions.HeaderRecords) return;
  if (FOptions.TrailerRecords == 0) {
    Vote(r.Values, voted);
    return;
  }
  // The last records of the input are the trailer: a record votes once as
  // many records as the trailer holds follow it.
  FHeldBack.emplace_back(r.Values.begin(), r.Values.begin() + static_cast<std::ptrdiff_t>(voted));
  if (FHeldBack.size() <= FOptions.TrailerRecords) return;
  Vote(FHeldBack.front(), FHeldBack.front().size());
  FHeldBack.pop_front();
}

template <class Values>
void TSampleScan::Vote(const Values& values, std::size_t count) {
  if (FVotes.size() < count) FVotes.resize(count, NewVote());
  if (count == 1 && FFirst.size() == 1) FLoneShape.Add(values[0]);
  for (std::size_t i = 0; i < count; ++i) {
    FVotes[i].Add(values[i]);
    if (i < FFirst.size() && !FFirstRepeats[i] && values[i] == FFirst[i]) {
      FFirstRepeats[i] = true;
    }
  }
}

void TSampleScan::Finish() {
  // A sample that ends before its input holds back no trailer.
  if (!FResult.WholeFile) {
    for (const std::vector<std::string>& values : FHeldBack) Vote(values, values.size());
  }
  FHeldBack.clear();
  std::int64_t most = 0;
  std::size_t modal = 0;
  // A tie goes to the most values, as in the layout vote; but where no
  // two records are alike, none of their widths is a pattern, and the
  // first record's, where a header would stand, says how wide they are
  // meant to be.
  for (auto [values, n] : FCounts) {
    if (n > most || (n == most && (n > 1 || FLinesOf[values].front() < FLinesOf[modal].front()))) {
      most = n;
      modal = values;
    }
  }
  FModal = modal;
  FResult.MostValues = modal;
  // As many columns as most records have values (a separator ending every
  // line is an empty last column), or as the widest record's last value
  // that is not empty.
  FColumns = std::max(FColumns, std::min(modal, kMaxSniffedColumns));
  FResult.RaggedRecords = FResult.Records - most;
  FResult.SeparatorConsistent = (FResult.Separator != 0 || !FResult.FixedWidths.empty()) &&
                                modal >= 2 && FResult.RaggedRecords == 0;
  FResult.Confidence =
      FResult.Records == 0 ? 0 : static_cast<double>(most) / static_cast<double>(FResult.Records);
  for (const auto& [count, lines] : FLinesOf) {
    if (count == modal) continue;
    FResult.MisfitLines.insert(FResult.MisfitLines.end(), lines.begin(), lines.end());
  }
  std::sort(FResult.MisfitLines.begin(), FResult.MisfitLines.end());
  if (FResult.MisfitLines.size() > kMisfitLines) FResult.MisfitLines.resize(kMisfitLines);
  FinishLineEnds();
  FinishEncoding();
  FVotes.resize(FColumns, NewVote());
  FResult.DecimalComma = DecimalCommaTypesMore();
  FResult.HeaderSniffed = SniffHeader();
  FResult.Header = FOptions.HeaderRecords ? *FOptions.HeaderRecords > 0 : FResult.HeaderSniffed;
  FResult.HeaderRecords =
      FOptions.HeaderRecords ? *FOptions.HeaderRecords : (FResult.Header ? 1 : 0);
  if (!FResult.Header && !FFirst.empty()) {
    for (std::size_t i = 0; i < std::min(FFirst.size(), FVotes.size()); ++i) {
      FVotes[i].Add(FFirst[i]);
    }
  }
  NameColumns();
}

// Decimal commas are tried where a comma cannot be the separator and the
// user did not say how numbers are written.
TTypeVote TSampleScan::NewVote() const {
  return TTypeVote(FOptions.DateFormatGiven,
                   !FOptions.NumberFormatGiven && FResult.Separator != ',');
}

// Whether more columns read as numbers with a decimal comma and thousands
// points (1.234,5) than with the format settings' separators: a tie keeps
// the settings, so 1.234 alone stays a decimal point.
bool TSampleScan::DecimalCommaTypesMore() const {
  int point = 0;
  int comma = 0;
  auto number = [](const TTypeGuess& g) {
    return g.Type == TInferredType::Integer || g.Type == TInferredType::Real ||
                   g.Type == TInferredType::Decimal
               ? 1
               : 0;
  };
  for (const TTypeVote& vote : FVotes) {
    point += number(vote.Result(false));
    comma += number(vote.Result(true));
  }
  return comma > point;
}

// The first record is a header when its values do not fit the types of
// the records after it, or when all the columns hold text and its values
// are distinct names none of which comes back in its column (nor, in a
// lone column, has the shape of the values below it).
bool TSampleScan::SniffHeader() const {
  if (FFirst.empty()) return false;
  if (FResult.Records < 2) return LoneRecordOfNames();
  // A header names the columns of the records below it: a first record
  // of another number of values than most records have is taken for data.
  if (FFirst.size() != FModal) return false;
  int typed = 0;
  int misfits = 0;
  for (std::size_t i = 0; i < FFirst.size(); ++i) {
    TTypeGuess guess = FVotes[i].Result(FResult.DecimalComma);
    if (guess.Type == TInferredType::Text) continue;
    ++typed;
    misfits += FVotes[i].Fits(FFirst[i], guess) ? 0 : 1;
  }
  if (typed > 0) return misfits > 0 && misfits * 2 >= typed;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < FFirst.size(); ++i) {
    std::string name = LowerAscii(Trimmed(FFirst[i]));
    if (!LooksLikeName(name) || FFirstRepeats[i]) return false;
    // Over a lone column, a value of the shape the values below share is
    // one of them (an address among addresses); a name has another shape.
    if (FFirst.size() == 1 && FLoneShape.Shares(FFirst[i])) return false;
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
    seen.push_back(std::move(name));
  }
  return true;
}

// A record alone (a table's header exported without rows) is a header when
// its values could only be column names: two or more, each a word of
// letters, digits and underscores that starts with a letter or an
// underscore, no two alike. A lone record of numbers, dates, blanks or
// words with blanks in them is data.
bool TSampleScan::LoneRecordOfNames() const {
  if (FFirst.size() < 2) return false;
  std::vector<std::string> seen;
  for (const std::string& value : FFirst) {
    const auto wordChar = [](char c) {
      return (c >= '0' && c <= '9') || c == '_' || static_cast<unsigned char>(c) >= 0x80 ||
             ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    };
    if (!LooksLikeName(value) || !std::all_of(value.begin(), value.end(), wordChar)) return false;
    std::string name = LowerAscii(value);
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
    seen.push_back(std::move(name));
  }
  return true;
}

// Header names as they stand (blanks around them aside), but that empty
// and repeated ones are made unique; c1, c2, ... without a header.
void TSampleScan::NameColumns() {
  if (FResult.WidestRecord > kMaxSniffedColumns) return;  // no table holds them
  std::unordered_set<std::string> taken;
  auto isTaken = [&taken](const std::string& name) { return taken.contains(LowerAscii(name)); };
  for (std::size_t i = 0; i < FColumns; ++i) {
    TSniffedColumn column;
    column.Guess = FVotes[i].Result(FResult.DecimalComma);
    const std::string position = std::to_string(i + 1);
    const bool named = FResult.Header && i < FFirst.size();
    std::string name = named ? Trimmed(FFirst[i]) : "";
    // Control bytes (a zero byte among them) would cut or garble the
    // name where a command line or a database takes it: they are left out.
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    if (std::any_of(name.begin(), name.end(), control)) {
      name.erase(std::remove_if(name.begin(), name.end(), control), name.end());
      FResult.Renamed.push_back("column " + position + ": control bytes left out of its name" +
                                (name.empty() ? "" : ": " + name));
    }
    if (name.empty()) {
      name = "c" + position;
      if (named) FResult.Renamed.push_back("column " + position + " has no name: " + name);
    }
    if (isTaken(name)) {
      const std::string base = name;
      for (int k = 2; isTaken(name); ++k) name = base + "_" + std::to_string(k);
      FResult.Renamed.push_back("column " + position + ": \"" + base + "\" is " + name);
    }
    if (named) column.HeaderName = FFirst[i];
    taken.insert(LowerAscii(name));
    column.Name = std::move(name);
    FResult.Columns.push_back(std::move(column));
  }
}

void TSampleScan::FinishLineEnds() {
  static constexpr const char* kNames[] = {"none", "LF", "CRLF", "CR"};
  int kinds = 0;
  int last = 0;
  for (int k = 1; k <= 3; ++k) {
    if (FLineEnds[k] > 0) {
      ++kinds;
      last = k;
    }
  }
  FResult.LineEnds = kinds > 1 ? "mixed" : kNames[last];
}

void TSampleScan::FinishEncoding() {
  if (!FResult.Encoding.empty()) return;  // told by a byte-order mark or zero bytes
  if (FInvalidRecord >= 0) {
    // Bytes 0x80 to 0x9F are control codes in Latin-1 but letters and
    // signs in Windows-1252, which leaves only five of them undefined.
    FResult.Encoding = "8-bit";
    FResult.EightBitEncoding = FCp1252Signs && !FCp1252Undefined ? "cp1252" : "latin1";
    FResult.EncodingHints.push_back("record " + std::to_string(FInvalidRecord) +
                                    " is not valid UTF-8: read as " + FResult.EightBitEncoding);
  } else {
    FResult.Encoding = FAscii ? "ASCII" : "UTF-8";
  }
}

// Notes the bytes of a record that is not valid UTF-8.
void TSampleScan::NoteEightBit(const TRecord& r, std::int64_t index) {
  if (FInvalidRecord < 0) FInvalidRecord = index + 1;
  for (std::string_view v : r.Values) {
    for (char c : v) {
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x80 || b > 0x9F) continue;
      FCp1252Signs = true;
      FCp1252Undefined |= b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
    }
  }
}

}  // namespace korvane::cli::sniffing
