#include "ui/dialogs.h"

#include <cstdio>

#include "ui/terminal_renderer.h"

namespace korvane {

namespace {
TMessageHandler& CurrentHandler() {
  static TMessageHandler handler;
  return handler;
}
}  // namespace

const char* MsgDlgTypeCaption(TMsgDlgType type) {
  switch (type) {
    case mtWarning: return "Warning";
    case mtError: return "Error";
    case mtInformation: return "Information";
    case mtConfirmation: return "Confirm";
    case mtCustom: break;
  }
  return "Message";
}

int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
               int helpContext) {
  // A progress block drawn on the terminal would be redrawn over the
  // message: take it off the screen first (it comes back below if the run
  // goes on).
  ReleaseTerminalRenderers();
  TMessageHandler& handler = CurrentHandler();
  if (handler) return handler(text, type, buttons, helpContext);
  std::fprintf(stderr, "%s: %s\n", MsgDlgTypeCaption(type), text.c_str());
  return mrOk;
}

TMessageHandler SetMessageHandler(TMessageHandler handler) {
  TMessageHandler previous = std::move(CurrentHandler());
  CurrentHandler() = std::move(handler);
  return previous;
}

}  // namespace korvane
