// The hand-written routines that stand in for the standard library because
// a benchmark shows what they buy; everything else writes and reads digits
// with std::to_chars and std::from_chars. Private to the library: no
// installed header includes it.
//
// Integer and money texts by lanes: the digits of up to eight decimal
// places split in one 64-bit word at once, and stored with one copy. The
// export's record plan writes every integer and money value this way;
// written with std::to_chars instead, the export of bench/export_bench
// (BM_Export/delimited) took about 6% more processor time (medians of five,
// three runs in turn: 109 ms against 102 ms).
//
// Short decimal texts to doubles: at most 19 significant digits as one
// integer, scaled by one exact power of ten. Float values read this way
// before std::from_chars reads the rest; read by std::from_chars alone, the
// import of bench/import_bench with the amounts as floats
// (BM_ExecuteAmounts/float:1) took about 8% more processor time (medians of
// five repetitions, five runs in turn: 244 ms against 227 ms; the same
// import with money amounts, float:0, 215 ms against 217 ms).
//
// Short copies: texts of up to sixteen bytes copied by two overlapping
// moves, without a call and without reading a byte past them. The record
// plan copies every short text this way; with a std::memcpy of the text's
// size instead (a call for a length known only at run time), the export of
// bench/export_bench (BM_Export/delimited) took about 11% more processor
// time (medians of the medians of five, eight runs in turn: 155.5 ms
// against 139 ms).
//
// Short copies that search as they copy: under the standard text rules a
// short text is searched for the bytes that need quotes in the registers it
// is copied through; searched where it was just stored instead, the export
// of bench/export_bench (BM_Export/delimited_standard) took about 7% more
// processor time (the lowest medians of six runs taken in turn: 106 ms
// against 99 ms).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::speed_internal {

// The decimal digits of u (below 10^8) as eight byte values from 0 to 9,
// leading zeros included, the first digit in the lowest byte. The two
// halves of four digits, then the four pairs, then the eight digits are
// split in every lane at once, each division a multiplication by a scaled
// inverse that is exact for the lane's range.
inline std::uint64_t DigitLanes(std::uint32_t u) {
  std::uint64_t x = (u / 10000) | (std::uint64_t{u % 10000} << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000Full;
  return q | ((x - q * 10) << 8);
}

constexpr std::uint64_t kZeros = 0x3030303030303030ull;

// Stores the lanes' bytes in memory order, lowest first.
inline void StoreLanes(char* p, std::uint64_t lanes) {
  if constexpr (std::endian::native == std::endian::big) lanes = __builtin_bswap64(lanes);
  std::memcpy(p, &lanes, 8);
}
inline void StoreLanes(char* p, std::uint32_t lanes) {
  if constexpr (std::endian::native == std::endian::big) lanes = __builtin_bswap32(lanes);
  std::memcpy(p, &lanes, 4);
}

// Writes u's digits (u below 10^8) and returns their end. Stores eight
// bytes.
inline char* PutUpTo8(char* p, std::uint32_t u) {
  const std::uint64_t lanes = DigitLanes(u);
  // The leading zeros are the low bytes that are 0; the last digit always
  // counts, also for 0.
  const int zeros = std::countr_zero(lanes | (std::uint64_t{1} << 56)) / 8;
  StoreLanes(p, (lanes | kZeros) >> (8 * zeros));
  return p + 8 - zeros;
}

// Writes u (below 10^8) as exactly eight digits.
inline void Put8(char* p, std::uint32_t u) { StoreLanes(p, DigitLanes(u) | kZeros); }

// Writes u's digits and returns their end. Stores at most twenty bytes.
inline char* PutUnsigned(char* p, std::uint64_t u) {
  constexpr std::uint64_t k8 = 100000000;
  if (u < k8) return PutUpTo8(p, static_cast<std::uint32_t>(u));
  if (u < k8 * k8) {
    p = PutUpTo8(p, static_cast<std::uint32_t>(u / k8));
    Put8(p, static_cast<std::uint32_t>(u % k8));
    return p + 8;
  }
  p = PutUpTo8(p, static_cast<std::uint32_t>(u / (k8 * k8)));
  const std::uint64_t rest = u % (k8 * k8);
  Put8(p, static_cast<std::uint32_t>(rest / k8));
  Put8(p + 8, static_cast<std::uint32_t>(rest % k8));
  return p + 16;
}

inline std::uint64_t Magnitude(std::int64_t value) {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

// PutInteger's text (formats.h). Stores at most twenty bytes.
inline char* PutIntegerLanes(char* p, std::int64_t value) {
  *p = '-';
  return PutUnsigned(p + (value < 0 ? 1 : 0), Magnitude(value));
}

// PutCurrencyAmount's text (formats.h). Stores at most 24 bytes.
inline char* PutCurrencyAmountLanes(char* p, std::int64_t value, char decimalSeparator) {
  const std::uint64_t magnitude = Magnitude(value);
  *p = '-';
  p = PutUnsigned(p + (value < 0 ? 1 : 0), magnitude / 10000);
  // The four decimals as byte values, split like DigitLanes does.
  const auto fraction = static_cast<std::uint32_t>(magnitude % 10000);
  std::uint32_t x = (fraction / 100) | (fraction % 100) << 16;
  const std::uint32_t q = ((x * 103) >> 10) & 0x000F000Fu;
  x = q | ((x - q * 10) << 8);
  // Two decimals always, the third and fourth only when they are not zeros
  // at the end: one dropped for each high byte that is 0.
  const int dropped = std::countl_zero(x | 0xFFFFu) / 8;
  *p = decimalSeparator;
  StoreLanes(p + 1, x | 0x30303030u);
  return p + 5 - dropped;
}

// The double of a decimal text checked already, split into its whole
// digits, its decimals and its exponent, when it is short: at most 19
// significant digits (leading zeros count for nothing) make an integer
// exact in a double (at most 2^53), and the scale is a power of ten exact
// in a double (up to 10^22). Then one multiplication or division rounds
// correctly, as std::from_chars does. False, having decided nothing, for
// other texts.
inline bool ShortDecimalToDouble(std::string_view whole, std::string_view decimals, long exponent,
                                 double& value) {
  std::uint64_t mantissa = 0;
  int significant = 0;
  for (const std::string_view digits : {whole, decimals}) {
    for (const char c : digits) {
      if (significant == 19) return false;
      mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
      significant += mantissa != 0 ? 1 : 0;
    }
  }
  const long scale = exponent - static_cast<long>(decimals.size());
  if (mantissa > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) return false;
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const auto result = static_cast<double>(mantissa);
  value = scale < 0 ? result / kPowers[-scale] : result * kPowers[scale];
  return true;
}

// Copies the n bytes at from (sizeof(T) <= n <= 2 * sizeof(T)) to to as two
// moves of T that overlap in the middle, and returns the two moved.
template <class T>
inline std::pair<T, T> CopyHeadAndTail(char* to, const char* from, std::size_t n) {
  T head;
  T tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
  return {head, tail};
}

// Copies the n bytes (n at most 16) at from to to, reading and storing
// none past them: two moves of eight or four bytes that overlap in the
// middle, or three single bytes.
inline void CopyShort(char* to, const char* from, std::size_t n) {
  if (n >= 8) {
    CopyHeadAndTail<std::uint64_t>(to, from, n);
  } else if (n >= 4) {
    CopyHeadAndTail<std::uint32_t>(to, from, n);
  } else if (n != 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Copies like CopyShort and tells whether one of the bytes is a, b, CR or
// LF (none of them 0): the bytes are searched as they were read, instead of
// being loaded again from where they were just stored, a load that waits
// for the stores before it.
inline bool CopyShortFinding(char* to, const char* from, std::size_t n, char a, char b) {
#if defined(__SSE2__)
  __m128i v;
  if (n >= 8) {
    const auto [head, tail] = CopyHeadAndTail<std::uint64_t>(to, from, n);
    v = _mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head));
  } else if (n >= 4) {
    const auto [head, tail] = CopyHeadAndTail<std::uint32_t>(to, from, n);
    v = _mm_set_epi32(0, 0, static_cast<int>(tail), static_cast<int>(head));
  } else if (n != 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
    v = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, from[n - 1], from[n / 2], from[0]);
  } else {
    return false;
  }
  // The bytes of v past the text are 0, which matches none of the four.
  const __m128i ab =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b)));
  const __m128i line =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  const __m128i found = _mm_or_si128(ab, line);
  return _mm_movemask_epi8(found) != 0;
#else
  CopyShort(to, from, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (from[i] == a || from[i] == b || from[i] == '\r' || from[i] == '\n') return true;
  }
  return false;
#endif
}

}  // namespace korvane::speed_internal
