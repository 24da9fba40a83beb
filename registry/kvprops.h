// The published-property descriptions of the package's components, which
// settings files, setting properties by name and the designer work from.
#pragma once

#include "core/api.h"

#include "core/published.h"

namespace korvane {

class TCSVImport;
class TCSVExport;

template <>
KORVANE_API TComponentClass ComponentClass<TCSVImport>();
template <>
KORVANE_API TComponentClass ComponentClass<TCSVExport>();

// Makes both components known by name to settings files and by-name access.
// Datasets describe themselves next to their class (for example
// ComponentClass<TSQLiteDataSet>() in datasets/) and the host registers the
// ones it offers with RegisterClass. Calling this again does nothing.
KORVANE_API void RegisterKorvaneClasses();

}  // namespace korvane
