// Message boxes. The host decides how a message reaches the user: it installs
// a handler (tests capture the calls, the command line prints to stderr).
#pragma once

#include "core/api.h"

#include <cstdint>
#include <functional>
#include <string>

#include "core/sets.h"

namespace korvane {

enum TMsgDlgType : std::uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn : std::uint8_t {
  mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp
};
using TMsgDlgButtons = TSet<TMsgDlgBtn>;

// Modal results.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

using TMessageHandler =
    std::function<int(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                      int helpContext)>;

// Shows a message and returns the button the user chose. With no handler
// installed the message is printed to stderr ("Warning: ..." / "Error: ...")
// and mrOk is returned.
KORVANE_API int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                           int helpContext);

// Installs a handler (an empty one restores the default) and returns the
// previous one.
KORVANE_API TMessageHandler SetMessageHandler(TMessageHandler handler);

// Installs a handler for the lifetime of the object and restores the previous
// one afterwards.
class KORVANE_API TScopedMessageHandler {
 public:
  explicit TScopedMessageHandler(TMessageHandler handler)
      : FPrevious(SetMessageHandler(std::move(handler))) {}
  ~TScopedMessageHandler() { SetMessageHandler(std::move(FPrevious)); }
  TScopedMessageHandler(const TScopedMessageHandler&) = delete;
  TScopedMessageHandler& operator=(const TScopedMessageHandler&) = delete;

 private:
  TMessageHandler FPrevious;
};

KORVANE_API const char* MsgDlgTypeCaption(TMsgDlgType type);

}  // namespace korvane
