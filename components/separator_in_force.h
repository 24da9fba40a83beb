// The separator a run splits or joins values on, decided the same way by
// both components. Private to the library: no installed header includes it.
#pragma once

#include <string>

#include "components/kvtypes.h"

namespace korvane {

// FieldSeparator's own separator; for fspCustom and fspNone the custom one,
// which SeparatorChar gives when it is set and CustomSeparator otherwise.
inline std::string SeparatorInForce(TFieldSeparator separator, const std::string& separatorChar,
                                    const std::string& customSeparator) {
  return FieldSeparatorChar(separator, separatorChar.empty() ? customSeparator : separatorChar);
}

}  // namespace korvane
