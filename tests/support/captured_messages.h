// Captures every MessageDlg call made while the object lives, so tests can
// check the texts, types and buttons of the messages a run shows.
#pragma once

#include <string>
#include <vector>

#include "ui/dialogs.h"

namespace korvane::test {

struct TShownMessage {
  std::string Text;
  TMsgDlgType Type;
  TMsgDlgButtons Buttons;
  int HelpContext;
};

class TCapturedMessages {
 public:
  TCapturedMessages()
      : FScope([this](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                      int helpContext) {
          FShown.push_back({text, type, buttons, helpContext});
          return static_cast<int>(mrOk);
        }) {}

  const std::vector<TShownMessage>& Shown() const { return FShown; }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : FShown) texts.push_back(m.Text);
    return texts;
  }
  void Clear() { FShown.clear(); }

 private:
  std::vector<TShownMessage> FShown;
  TScopedMessageHandler FScope;
};

}  // namespace korvane::test
