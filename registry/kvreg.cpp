#include "registry/kvreg.h"

#include "ui/designer.h"
#include "registry/kvprops.h"
#include "components/kvtypes.h"

namespace korvane {

void Register() {
  RegisterComponents(kPalettePage, {ComponentClass<TCSVExport>(), ComponentClass<TCSVImport>()});
  RegisterPropertyEditor(kStringTypeName, ComponentClass<TCSVExport>(), "OutputFile",
                         PropertyEditorClass<TFilePathProperty>());
  RegisterPropertyEditor(kStringTypeName, ComponentClass<TCSVImport>(), "InputFile",
                         PropertyEditorClass<TFilePathProperty>());
  RegisterPropertyEditor(kStringTypeName, ComponentClass<TCSVExport>(), "Version",
                         PropertyEditorClass<TVersionProperty>());
  RegisterPropertyEditor(kStringTypeName, ComponentClass<TCSVImport>(), "Version",
                         PropertyEditorClass<TVersionProperty>());
}

}  // namespace korvane
