// The record scanner (TRecordScanner): the input turned into records.
//
// A record ends at a run of line-end bytes (CR and LF in any order and
// number, counted as one terminator) and the input ends at the physical end
// of the file or at byte 26, whichever comes first. Reads go through a buffer
// of ReadBufferSize() bytes; each record is found by scanning whole spans for
// the three special bytes and appended to the text in one piece.
#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "import/record_scanner.h"

#include "components/byte_search.h"
#include "io/text_encoding.h"

namespace korvane {

namespace {

constexpr unsigned char kCR = 13;
constexpr unsigned char kLF = 10;
constexpr unsigned char kEndOfInput = 26;

bool IsLineEnd(unsigned char c) { return c == kCR || c == kLF; }

// Index of the first byte of p[0, n) that is CR, LF or byte 26; n when there
// is none. Sixteen bytes at a time with
// SSE2, then eight at a time: for each value a word has a zero byte where it
// matches, and the lowest set high bit of (x - 0x01..) & ~x marks the first
// zero byte exactly (borrows only spill into bytes above it).
std::size_t FindSpecialBytes(const char* p, std::size_t n) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8(static_cast<char>(kCR));
  const __m128i lf = _mm_set1_epi8(static_cast<char>(kLF));
  const __m128i sub = _mm_set1_epi8(static_cast<char>(kEndOfInput));
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                      _mm_cmpeq_epi8(v, sub));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const auto zeroBytes = [](std::uint64_t x) { return (x - kOnes) & ~x; };
    for (; i + 8 <= n; i += 8) {
      std::uint64_t v;
      std::memcpy(&v, p + i, sizeof v);
      std::uint64_t m = zeroBytes(v ^ (kOnes * kCR)) | zeroBytes(v ^ (kOnes * kLF)) |
                        zeroBytes(v ^ (kOnes * kEndOfInput));
      m &= kHighs;
      if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m) >> 3);
    }
  }
  for (; i < n; ++i) {
    auto c = static_cast<unsigned char>(p[i]);
    if (IsLineEnd(c) || c == kEndOfInput) return i;
  }
  return n;
}

// Makes room for n more bytes of a record's text. A text past 1 MiB grows
// in steps of 64 MiB of address space or more (its pages are touched only as
// they fill): the allocator maps each step of that size on its own and
// gives it back whole when freed, where the doubling steps below it may be
// carved from the reading thread's heap, which then keeps their pages
// (16 MiB more resident while a 200 MiB record read ahead is stored).
[[gnu::noinline]] void GrowRecord(std::string& text, std::size_t n) {
  constexpr std::size_t kLarge = std::size_t{1} << 20;
  constexpr std::size_t kStep = std::size_t{64} << 20;
  if (const std::size_t size = text.size() + n; size > kLarge) {
    text.reserve(std::max({size, 2 * text.capacity(), kStep}));
  }
}

// Appends n bytes of a record to its text (in line: most appends fit).
[[gnu::always_inline]] inline void AppendToRecord(std::string& text, const char* span,
                                                  std::size_t n) {
  if (text.capacity() - text.size() < n) GrowRecord(text, n);
  text.append(span, n);
}

}  // namespace

void TRecordScanner::Reset(std::size_t bufferSize) {
  FBufferSize = bufferSize == 0 ? 1 : bufferSize;
  FBuffer.resize(std::max(FBufferSize, kLookAhead));
  FPos = 0;
  FLen = 0;
  FExhausted = false;
  FAtStart = true;
  FLine = 1;
  FSource = nullptr;
  FSkipLines = 0;
  FComment = 0;
  FSkipBlankStart = false;
}

void TRecordScanner::SetRule(const TSplitRule& rule, bool quotedRecords) {
  FRule = rule;
  FQuotedRecords = quotedRecords && rule.Standard && rule.HasQuote;
  FEscapedRecords = quotedRecords && rule.Standard && rule.HasEscape;
}

void TRecordScanner::Release() {
  FPos = 0;
  FLen = 0;
  FExhausted = false;
  FSource = nullptr;
  std::vector<char>().swap(FBuffer);
}

std::size_t TRecordScanner::ReadInput(const TFileHandle& Handle, char* to, std::size_t n) {
  if (FSource != nullptr) return FSource->Read(to, n);
  std::size_t got = 0;
  // A read error is not the end of the input: reporting it keeps a shortened
  // import from passing for a complete one.
  if (!ReadFile(Handle, to, n, got)) RaiseReadFailed();
  return got;
}

bool TRecordScanner::Fill(const TFileHandle& Handle) {
  if (FExhausted) return false;
  // An input that could not be opened ends at once, like an empty one (a
  // source of its own needs no handle).
  if (FSource == nullptr && !Handle.Valid()) {
    FExhausted = true;
    return false;
  }
  if (FBuffer.empty()) FBuffer.resize(std::max(FBufferSize, kLookAhead));
  const std::size_t got = ReadInput(Handle, FBuffer.data(), FBufferSize);
  FPos = 0;
  FLen = got;
  if (got == 0) {
    FExhausted = true;
    return false;
  }
  return true;
}

bool TRecordScanner::Ensure(const TFileHandle& Handle, std::size_t n) {
  if (FLen - FPos >= n) return true;
  if (FExhausted) return false;
  if (FSource == nullptr && !Handle.Valid()) {
    FExhausted = true;
    return false;
  }
  if (FBuffer.empty()) FBuffer.resize(std::max(FBufferSize, kLookAhead));
  std::memmove(FBuffer.data(), FBuffer.data() + FPos, FLen - FPos);
  FLen -= FPos;
  FPos = 0;
  while (FLen < n) {
    const std::size_t room = std::min(FBuffer.size() - FLen, FBufferSize);
    const std::size_t got = ReadInput(Handle, FBuffer.data() + FLen, room);
    if (got == 0) {
      FExhausted = true;
      return false;
    }
    FLen += got;
  }
  return true;
}

// Byte 26 ends the text. The rest of a compressed file is still decoded,
// and thrown away, so that damage anywhere in it fails the run whatever the
// decoder had reached when the byte was found (how far ahead it decodes
// depends on the buffers' sizes).
void TRecordScanner::EndAtMarker() {
  FExhausted = true;
  FPos = FLen;
  if (FSource == nullptr || FSource->Format() == TFileFormat::ffPlain) return;
  char rest[4096];
  while (FSource->Read(rest, sizeof rest) > 0) {
  }
}

void TRecordScanner::SkipByteOrderMark(const TFileHandle& Handle, TScanResult& result) {
  FAtStart = false;
  static constexpr char kMark[] = "\xEF\xBB\xBF";
  if (Ensure(Handle, 3) && std::memcmp(FBuffer.data() + FPos, kMark, 3) == 0) {
    FPos += 3;
    result.SkippedBytes = 3;
  }
}

void TRecordScanner::SkipLines(const TFileHandle& Handle, TScanResult& result) {
  const bool blankStart = FSkipBlankStart;
  FSkipBlankStart = false;
  if (FSkipLines > 0) {
    for (; FSkipLines > 0; --FSkipLines) {
      if (!SkipLine(Handle, result)) {
        FSkipLines = 0;
        return;
      }
    }
    SkipLineEnds(Handle, result);
  } else if (blankStart) {
    SkipLineEnds(Handle, result);
  }
  while (FComment != 0 && Ensure(Handle, 1) && FBuffer[FPos] == FComment &&
         SkipLine(Handle, result)) {
    SkipLineEnds(Handle, result);
  }
}

bool TRecordScanner::SkipLine(const TFileHandle& Handle, TScanResult& result) {
  for (;;) {
    if (FPos == FLen && !Fill(Handle)) return false;
    const std::size_t avail = FLen - FPos;
    const std::size_t k = FindSpecialBytes(FBuffer.data() + FPos, avail);
    FPos += k;
    result.SkippedBytes += static_cast<std::int64_t>(k);
    if (k == avail) continue;
    const auto c = static_cast<unsigned char>(FBuffer[FPos]);
    if (c == kEndOfInput && (!FRule.Standard || !Ensure(Handle, 2))) {
      EndAtMarker();
      return false;
    }
    ++FPos;
    ++result.SkippedBytes;
    if (c == kEndOfInput) continue;  // data under the standard rules
    ++FLine;
    if (c == kCR && Ensure(Handle, 1) && FBuffer[FPos] == '\n') {
      ++FPos;
      ++result.SkippedBytes;
    }
    return true;
  }
}

void TRecordScanner::SkipLineEnds(const TFileHandle& Handle, TScanResult& result) {
  unsigned char previous = 0;
  for (;;) {
    if (FPos == FLen && !Fill(Handle)) return;
    const auto c = static_cast<unsigned char>(FBuffer[FPos]);
    if (!IsLineEnd(c)) return;
    if (c == kCR || previous != kCR) ++FLine;
    previous = c;
    ++FPos;
    ++result.SkippedBytes;
  }
}

void TRecordScanner::Scan(const TFileHandle& Handle, std::string& text, TScanResult& result) {
  result = TScanResult{};
  if (FAtStart) SkipByteOrderMark(Handle, result);
  if (FSkipLines > 0 || FComment != 0 || FSkipBlankStart) SkipLines(Handle, result);
  result.Line = FLine;
  const std::size_t start = text.size();
  if (FEscapedRecords || (FQuotedRecords && FRule.SeparatorLength > 1)) {
    ScanEscaped(Handle, text, result);
  } else if (FRule.Standard) {
    ScanStandard(Handle, text, result);
  } else {
    ScanClassic(Handle, text, result);
  }
  if (FCheckText && result.Fault == rfNone &&
      FindInvalidUtf8(std::string_view(text).substr(start)) != std::string_view::npos) {
    result.Fault = rfInvalidText;
  }
}

void TRecordScanner::ScanClassic(const TFileHandle& Handle, std::string& text,
                                 TScanResult& result) {
  // The record's text: whole spans up to the first special byte.
  for (;;) {
    if (FPos == FLen && !Fill(Handle)) {
      result.EndOfFile = true;
      return;
    }
    const char* span = FBuffer.data() + FPos;
    std::size_t avail = FLen - FPos;
    std::size_t k = FindSpecialBytes(span, avail);
    AppendToRecord(text, span, k);
    FPos += k;
    if (k == avail) continue;
    if (static_cast<unsigned char>(span[k]) == kEndOfInput) {
      EndAtMarker();
      result.EndOfFile = true;
      return;
    }
    break;  // a line-end byte: the terminator run starts here
  }
  ScanTerminator(Handle, result);
}

void TRecordScanner::ScanStandard(const TFileHandle& Handle, std::string& text,
                                  TScanResult& result) {
  const std::size_t start = text.size();
  const auto quote = static_cast<char>(FRule.Quote);
  const auto sep = static_cast<char>(FRule.Separator);
  bool inQuotes = false;
  for (;;) {
    if (FPos == FLen && !Fill(Handle)) {
      result.EndOfFile = true;
      if (inQuotes) result.Fault = rfUnclosedQuote;
      return;
    }
    const char* span = FBuffer.data() + FPos;
    const std::size_t avail = FLen - FPos;
    bool pending = false;
    const bool boundary = text.size() == start || (FRule.HasSeparator && text.back() == sep);
    std::size_t k;
    if (!FQuotedRecords) {
      k = FindSpecialBytes(span, avail);
    } else if (FRule.KeepStrayQuotes) {
      k = FollowQuotes<true>(span, avail, FRule.Quote, FRule.HasSeparator, FRule.Separator,
                             boundary, inQuotes, pending);
    } else {
      k = FollowQuotes<false>(span, avail, FRule.Quote, FRule.HasSeparator, FRule.Separator,
                              boundary, inQuotes, pending);
    }
    AppendToRecord(text, span, k);
    FPos += k;
    if (pending) {
      // A quote inside quotes ends the buffer: two stand for one, and any
      // other byte after one (or the input's end) closes the value.
      if (Ensure(Handle, 2) && FBuffer[FPos + 1] == quote) {
        text.append(2, quote);
        FPos += 2;
        continue;
      }
      inQuotes = FRule.KeepStrayQuotes && !QuoteCloses(Handle);
      text += quote;
      ++FPos;
      continue;
    }
    if (k == avail) continue;
    const char c = span[k];
    if (static_cast<unsigned char>(c) == kEndOfInput) {
      // Data, unless it is the last byte of the input.
      if (!Ensure(Handle, 2)) {
        EndAtMarker();
        result.EndOfFile = true;
        if (inQuotes) result.Fault = rfUnclosedQuote;
        return;
      }
    } else if (inQuotes) {
      // A line end inside quotes is data. CR LF is one line end.
      if (c == '\r' || text.back() != '\r') ++FLine;
    } else {
      break;  // a line end outside quotes: the terminator run starts here
    }
    text += c;
    ++FPos;
  }
  ScanTerminator(Handle, result);
}

void TRecordScanner::ScanEscaped(const TFileHandle& Handle, std::string& text,
                                 TScanResult& result) {
  const std::size_t start = text.size();
  const auto quote = static_cast<char>(FRule.Quote);
  const std::string_view sep = FRule.SeparatorText();
  const auto escape = static_cast<char>(FRule.Escape);
  bool inQuotes = false;
  bool escaped = false;  // the byte before was an escape
  // The text up to here ends with an escaped byte: a separator ending
  // before it is data, and no quote after it opens a value.
  std::size_t literal = start;
  for (;; ++FPos) {
    if (FPos == FLen && !Fill(Handle)) {
      result.EndOfFile = true;
      if (inQuotes) result.Fault = rfUnclosedQuote;
      return;
    }
    const char c = FBuffer[FPos];
    if (escaped) {
      // The byte after an escape is data, a line end too (CR LF as one).
      escaped = false;
      text += c;
      if (IsLineEnd(static_cast<unsigned char>(c))) {
        ++FLine;
        if (c == '\r' && Ensure(Handle, 2) && FBuffer[FPos + 1] == '\n') text += FBuffer[++FPos];
      }
      literal = text.size();
      continue;
    }
    if (FRule.HasEscape && c == escape) {
      escaped = true;
    } else if (FRule.HasQuote && c == quote) {
      if (!inQuotes) {
        const std::string_view record = std::string_view(text).substr(start);
        inQuotes = record.empty() || (FRule.HasSeparator && record.ends_with(sep) &&
                                      text.size() - sep.size() >= literal);
      } else if (Ensure(Handle, 2) && FBuffer[FPos + 1] == quote) {
        text += quote;  // two stand for one: the second is taken below
        ++FPos;
      } else {
        inQuotes = FRule.KeepStrayQuotes && !QuoteCloses(Handle);
      }
    } else if (static_cast<unsigned char>(c) == kEndOfInput) {
      // Data, unless it is the last byte of the input.
      if (!Ensure(Handle, 2)) {
        EndAtMarker();
        result.EndOfFile = true;
        if (inQuotes) result.Fault = rfUnclosedQuote;
        return;
      }
    } else if (IsLineEnd(static_cast<unsigned char>(c)) && !inQuotes) {
      break;  // the terminator run starts here
    }
    if (inQuotes && IsLineEnd(static_cast<unsigned char>(c)) &&
        (c == '\r' || text.back() != '\r')) {
      ++FLine;  // a line end inside quotes is data; CR LF is one
    }
    text += c;
  }
  ScanTerminator(Handle, result);
}

bool TRecordScanner::QuoteCloses(const TFileHandle& Handle) {
  if (!Ensure(Handle, 2)) return true;
  const auto c = static_cast<unsigned char>(FBuffer[FPos + 1]);
  if (IsLineEnd(c) || c == kEndOfInput) return true;
  const std::string_view sep = FRule.SeparatorText();
  return !sep.empty() && Ensure(Handle, 1 + sep.size()) &&
         std::memcmp(FBuffer.data() + FPos + 1, sep.data(), sep.size()) == 0;
}

void TRecordScanner::ScanTerminator(const TFileHandle& Handle, TScanResult& result) {
  // The byte that follows the run stays in the buffer as the first byte of
  // the next record.
  std::size_t lineEnds = 0;
  unsigned char previous = 0;
  for (;;) {
    if (FPos == FLen && !Fill(Handle)) {
      result.EndOfFile = true;
      break;
    }
    const char* p = FBuffer.data() + FPos;
    const char* end = FBuffer.data() + FLen;
    const char* q = p;
    for (; q != end && IsLineEnd(static_cast<unsigned char>(*q)); ++q) {
      const auto c = static_cast<unsigned char>(*q);
      if (c == kCR || previous != kCR) ++FLine;
      previous = c;
    }
    lineEnds += static_cast<std::size_t>(q - p);
    FPos += static_cast<std::size_t>(q - p);
    if (q == end) continue;
    if (static_cast<unsigned char>(*q) == kEndOfInput && (!FRule.Standard || !Ensure(Handle, 2))) {
      EndAtMarker();
      result.EndOfFile = true;
    }
    break;
  }
  result.LineEndBytes = static_cast<std::int64_t>(lineEnds);
}

}  // namespace korvane
