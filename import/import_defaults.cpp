// The korvane command's defaults for an import (kvcsvimp.h).
#include "import/kvcsvimp.h"

namespace korvane {

void UseCommandDefaults(TCSVImport& import) {
  import.SetFieldSeparator(fspComma);
  import.SetFieldDelimiter(fdlDouble);
  import.SetDialect(dlStandard);
  import.SetEncoding("UTF-8");
  import.SetCompression(cmAuto);
  import.SetWholeValues(true);
  import.SetValueErrors(veStrict);
  import.SetDateTimeStyle(dsISO8601);
}

}  // namespace korvane
