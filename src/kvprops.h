// The published-property descriptions of the package's components, which
// settings files, setting properties by name and the designer work from.
#pragma once

#include "platform/published.h"

namespace korvane {

class TCSVImport;
class TCSVExport;

template <>
TComponentClass ComponentClass<TCSVImport>();
template <>
TComponentClass ComponentClass<TCSVExport>();

// Makes every class a settings file may store known by name: the two
// components and the built-in datasets that describe themselves. Call once
// at start-up before reading settings; calling it again does nothing.
void RegisterKorvaneClasses();

}  // namespace korvane
