// The error a dataset raises when the database itself fails, as opposed to
// refusing one record.
#pragma once

#include <cstdint>
#include <string>

#include "core/api.h"
#include "core/sysutils.h"

namespace korvane {

// EDatabaseFailure: the database cannot store anything at the moment (its
// disk is full, an I/O error, a corrupt or read-only file, a lock held past
// the timeout, a lost connection), so no later record would be stored
// either. A bulk run that meets it ends at once. The dataset has rolled back
// the group in progress when it raises this: Lost says how many records
// whose Post had succeeded went with it. Raised by Post and by EndBulk;
// errors about one record (constraints, types) stay plain EDatabaseError.
class KORVANE_API EDatabaseFailure : public EDatabaseError {
 public:
  EDatabaseFailure(const std::string& message, std::int64_t lost)
      : EDatabaseError(message), FLost(lost) {}
  std::int64_t Lost() const { return FLost; }

 private:
  std::int64_t FLost;
};

}  // namespace korvane
