// What the export's record plan needs to know of a field type (flags for
// leaving values out, quoting and padding) and the room its columns write
// values in. Private to the record plan (record_plan.cpp builds it,
// record_plan_lines.cpp writes with it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "data/db.h"
#include "text/formats.h"

namespace korvane::export_plan {

// The flags; not how a value is held (TValueKind).
enum TTypeTrait : std::uint8_t {
  ttOmitted = 1,   // binary data, blobs, plain memos: the value never reaches the line
  ttDateTime = 2,  // date, time and date-time
  ttText = 4,      // quoted also when only text values are
  ttNumeric = 8,   // padded on the side NumericAlign chooses in fixed-width lines
  ttAny = 16,      // every type
};

constexpr std::uint8_t TraitsOf(TFieldType type) {
  switch (type) {
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return ttOmitted;
    case ftMemo:
      return ttOmitted | ttText;
    case ftString:
    case ftFmtMemo:
      return ttText;
    case ftDate:
    case ftTime:
    case ftDateTime:
      return ttDateTime;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftDecimalText:
      return ttNumeric;
    default:
      return 0;
  }
}

constexpr std::array<std::uint8_t, 256> kTypeTraits = [] {
  std::array<std::uint8_t, 256> traits{};
  for (std::size_t t = 0; t < traits.size(); ++t) {
    traits[t] = TraitsOf(static_cast<TFieldType>(t)) | ttAny;
  }
  return traits;
}();

// Room for FloatToChars: any double's text fits.
constexpr std::size_t kFloatRoom = 32;
// Numbers aligned on the right are moved whole, kNumberRoom bytes at a
// time, when they are no longer.
constexpr std::size_t kNumberRoom = 32;
static_assert(kNumberRoom >= kFloatRoom && kNumberRoom >= kIntegerTextRoom &&
              kNumberRoom >= kCurrencyTextRoom);
// Texts up to this long fit the room a column has; longer ones ask for room.
constexpr std::size_t kShortText = 16;

// Room a column takes besides its value and padding: the eight bytes before
// the value and a closing quote, and the sixteen-byte steps in which blanks
// are stored.
constexpr std::size_t kColumnRoom = 9 + 16;

// A value aligned on the right in a fixed-width line is written this far
// past the end of its column, and moved into place once the blanks in front
// of it are stored: read back at once, the bytes just stored would wait for
// their stores to finish.
constexpr std::size_t kRightAhead = 16;

}  // namespace korvane::export_plan
