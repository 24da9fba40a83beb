// The designer's property editors for the package's components: picking the
// input or output file with an open-file dialog, and showing the version.
#pragma once

#include "core/api.h"

#include <string>
#include <string_view>

#include "ui/designer.h"
#include "components/kvenums.h"

namespace korvane {

// The filter list of the file-path editor's dialog: one entry, any file.
inline constexpr const char* kAnyFileFilter = "Any file (*.*)|*.*";

// Editor of a file-path property: the ellipsis button opens an open-file
// dialog on the current path and stores the file the user confirms.
class KORVANE_API TFilePathProperty : public TStringProperty {
 public:
  using TStringProperty::TStringProperty;
  static constexpr std::string_view ClassName = "TFilePathProperty";

  TPropertyAttributes GetAttributes() override { return {paDialog, paRevertable}; }
  // Runs the dialog; a cancelled dialog leaves the property unchanged. The
  // dialog is freed on every path, also when the property's setter raises.
  void Edit() override;
};

// Editor of the Version property: always shows the package's version and
// never changes the property; the ellipsis button shows the version in a
// message box.
class KORVANE_API TVersionProperty : public TClassProperty {
 public:
  using TClassProperty::TClassProperty;
  static constexpr std::string_view ClassName = "TVersionProperty";

  TPropertyAttributes GetAttributes() override { return {paValueList, paDialog}; }
  std::string GetValue() override { return kKorvaneVersion; }
  void Edit() override;
};

}  // namespace korvane
