// What the export's record plan needs to know of a field type: flags for
// leaving values out, quoting and padding. Private to the record plan
// (kvcsvexp_plan.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "data/db.h"

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

}  // namespace korvane::export_plan
