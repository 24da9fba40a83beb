// The korvane command's defaults for an export (kvcsvexp.h).
#include "export/kvcsvexp.h"

namespace korvane {

void UseCommandDefaults(TCSVExport& exporter) {
  exporter.SetFieldSeparator(fspComma);
  exporter.SetFieldDelimiter(fdlDouble);
  exporter.SetDelimitedFields(dfTextOnly);
  exporter.SetDialect(dlStandard);
  exporter.SetRecordSeparator(rsLF);
  exporter.SetWholeValues(true);
  exporter.SetCheckUnquoted(true);
  exporter.SetDateTimeStyle(dsISO8601);
  exporter.SetCompression(cmAuto);
  exporter.SetWriteMode(wmReplace);
}

}  // namespace korvane
