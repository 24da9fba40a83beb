// Registration of the package with the form designer.
#pragma once

#include "core/api.h"

namespace korvane {

// The package's description in the designer's list of installed packages
// (also in resources/package-description.txt).
inline constexpr const char* kPackageDescription = "- Korvane v1.31";

// The palette page both components are registered on.
inline constexpr const char* kPalettePage = "Korvane";

// Called by the designer when the package is installed: puts both
// components on the "Korvane" palette page and attaches the file-path and
// version property editors.
KORVANE_API void Register();

}  // namespace korvane
