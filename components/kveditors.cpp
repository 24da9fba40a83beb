#include "components/kveditors.h"

#include <memory>

#include "ui/dialogs.h"

namespace korvane {

void TFilePathProperty::Edit() {
  auto dialog = std::make_unique<TOpenDialog>(Application());
  dialog->SetFileName(GetValue());
  dialog->SetFilter(kAnyFileFilter);
  dialog->SetOptions(dialog->Options() + TOpenOptions{ofShowHelp, ofPathMustExist});
  if (dialog->Execute()) SetValue(dialog->FileName());
}

void TVersionProperty::Edit() {
  MessageDlg(std::string("Korvane version ") + kKorvaneVersion, mtInformation, {mbOK}, 0);
}

}  // namespace korvane
