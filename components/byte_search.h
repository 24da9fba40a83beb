// Byte searches in the short spans of a record, where a call per span
// would cost more than the search: a value, the stretch between two quotes,
// a record up to its line end. Sixteen bytes at a time with SSE2. What each
// buys is measured in the import and export benchmarks, standard text rules
// against classic ones.

// FindEither: the next of one or two bytes, inline. The standard rules'
// split searched with memchr, once per value and quote: a twentieth of the
// import benchmark's instructions went to those calls, and inline the
// standard split costs what the classic one does.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {

namespace find_detail {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit set in every byte of v that is zero; the lowest set bit marks the
// first zero byte exactly (borrows only spill into the bytes above it).
constexpr std::uint64_t ZeroBytes(std::uint64_t v) { return (v - kOnes) & ~v & kHighs; }

}  // namespace find_detail

// First byte in [p, end) equal to a or to b (a == b looks for one byte);
// end when none.
[[gnu::always_inline]] inline const char* FindEither(const char* p, const char* end,
                                                     unsigned char a, unsigned char b) {
  using namespace find_detail;
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

[[gnu::always_inline]] inline char* FindEither(char* p, char* end, unsigned char a,
                                               unsigned char b) {
  return const_cast<char*>(FindEither(static_cast<const char*>(p), end, a, b));
}

// The standard text rules' record scan over a span of the input: the index
// of the first CR, LF or byte 26 in p[0, n), following the quotes before it;
// n when there is none. A quote opens a value only as its first byte, that
// is after a separator (hasSeparator, separator) or as p[0] when boundary
// (the byte before p ends a value, or p starts the record); inside a value
// two quotes stand for one; with KeepStray, a quote inside a value that is
// followed by neither another quote, the separator, CR, LF nor byte 26 is a
// character of the value. inQuotes says whether a quoted value is open at
// p and is updated to the index returned. When a quote inside quotes is the
// span's last byte, the byte after it decides: its index is returned and
// pending set, the quote not taken. Sixteen bytes are compared at once for
// both kinds of byte and the quotes taken from a bit mask, so a record is
// read in one pass instead of a stop at every quote: in the import
// benchmark's standard-rules run the scan took a fifth of the instructions
// with a stop per quote, and takes a tenth this way.
template <bool KeepStray = false>
inline std::size_t FollowQuotes(const char* p, std::size_t n, unsigned char quote,
                                bool hasSeparator, unsigned char separator, bool boundary,
                                bool& inQuotes, bool& pending) {
  bool in = inQuotes;
  std::size_t next = 0;  // a quote before next is the second of a pair
  // Takes the quote at q; false when the byte after it is not in the span.
  const auto take = [&](std::size_t q) {
    if (q < next) return true;
    if (!in) {
      in = q == 0 ? boundary : hasSeparator && static_cast<unsigned char>(p[q - 1]) == separator;
      next = q + 1;
    } else if (q + 1 == n) {
      return false;
    } else if (static_cast<unsigned char>(p[q + 1]) == quote) {
      next = q + 2;
    } else if (const auto after = static_cast<unsigned char>(p[q + 1]);
               KeepStray && after != '\r' && after != '\n' && after != 26 &&
               !(hasSeparator && after == separator)) {
      next = q + 1;  // a stray quote: the value goes on
    } else {
      in = false;
      next = q + 1;
    }
    return true;
  };
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i sub = _mm_set1_epi8(26);
  const __m128i qu = _mm_set1_epi8(static_cast<char>(quote));
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto special = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, sub))));
    auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, qu)));
    if (special != 0) quotes &= (1u << std::countr_zero(special)) - 1;
    for (; quotes != 0; quotes &= quotes - 1) {
      const std::size_t q = i + static_cast<std::size_t>(std::countr_zero(quotes));
      if (!take(q)) {
        pending = true;
        inQuotes = in;
        return q;
      }
    }
    if (special != 0) {
      inQuotes = in;
      return i + static_cast<std::size_t>(std::countr_zero(special));
    }
  }
#endif
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c == '\r' || c == '\n' || c == 26) break;
    if (c == quote && !take(i)) {
      pending = true;
      break;
    }
  }
  inQuotes = in;
  return i;
}

}  // namespace korvane
