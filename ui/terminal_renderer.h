// Draws forms on a text terminal: the renderer the command line gives to the
// windows the components create.
//
// On an ANSI terminal the form is drawn as a block of lines (the caption, then
// one line per row of controls, with labels as text and progress bars as
// "[####....]") and redrawn in place, at most RepaintInterval apart; freeing
// or hiding the form erases the block and leaves the cursor where the block
// began. On anything else (a file, a pipe) nothing is drawn; at most a plain
// status line is written every PlainLineInterval seconds.
//
// Paint requests come far more often than paints (after every record of an
// import), so with the system clock a request costs one load of a flag: a
// ticker thread, running while the form is shown, raises the flag every
// quarter of the interval, and only then is the clock read. Paints come at
// most a quarter interval later than the interval alone would allow. With an
// injected Clock there is no ticker and every request reads the clock.
//
// Text that others write to the same terminal while a block is drawn would be
// overwritten by the next redraw. Whoever writes such text calls
// ReleaseTerminalRenderers() first; MessageDlg does so for every message.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "ui/forms.h"

namespace korvane {

struct TTerminalRendererOptions {
  // True when the stream is an interactive terminal that understands ANSI
  // cursor movement; false for files and pipes.
  bool IsTerminal = false;
  // The terminal's width in columns, asked at every paint so that a resized
  // terminal is followed; lines are cut to one column less. Empty: 80.
  std::function<int()> Columns;
  // Seconds on a monotonic clock. Empty: the system's coarse monotonic clock.
  std::function<double()> Clock;
  // Least time between two paints on a terminal.
  double RepaintInterval = 0.1;
  // Not a terminal: least time between two status lines, counted from the
  // first paint request; 0 or less writes nothing at all.
  double PlainLineInterval = 5.0;
  // Horizontal scale from the form's pixels to text columns.
  int PixelsPerColumn = 5;
};

// Renders one form on out. out must outlive the renderer. Called from one
// thread only; its ticker thread touches nothing but one atomic flag.
class TTerminalRenderer : public TFormRenderer {
 public:
  TTerminalRenderer(std::ostream& out, TTerminalRendererOptions options);
  ~TTerminalRenderer() override;

  void VisibleChanged(TForm& form) override;
  void Update(TForm& form) override;

  // Erases the drawn block (if any) now. The next paint draws the block
  // afresh at the cursor.
  void Release();

  // True while the ticker thread runs (the form is shown, the system clock is
  // used and something can be painted).
  bool TickerRunning() const { return FTicker != nullptr; }

 private:
  class TTicker;

  double Seconds() const;
  void StartTicker();
  void StopTicker();
  void Paint(TForm& form);
  void WriteStatusLine(TForm& form);

  std::ostream& FOut;
  TTerminalRendererOptions FOptions;
  std::size_t FLinesDrawn = 0;
  bool FPaintedOnce = false;
  double FLastPaint = 0;
  // Clear while the ticker says no paint can be due yet; always set when
  // there is no ticker. Declared before FTicker, which refers to it.
  std::atomic<bool> FPaintMayBeDue{true};
  // Thread creation failed once: the clock is read on every request instead.
  bool FTickerFailed = false;
  std::unique_ptr<TTicker> FTicker;
};

// Erases the blocks of every live terminal renderer so that other text can be
// written to the terminal; the blocks reappear below it at their next paint.
void ReleaseTerminalRenderers();

// The form as text lines: its caption, then one line per row of controls
// (controls sharing a Top), each placed at Left / pixelsPerColumn. Control
// characters in captions show as '?'. Trailing blanks are dropped.
std::vector<std::string> FormTextLines(TForm& form, int pixelsPerColumn);

// The form in one line: "Caption: row; row; ...", each row its labels' texts
// separated by blanks (bars left out).
std::string FormStatusLine(TForm& form);

// True when stderr is a terminal that understands cursor movement (not
// TERM=dumb).
bool StderrIsTerminal();
// The width of the terminal on stderr, from the terminal itself, else
// $COLUMNS, else 80.
int StderrColumns();
// A factory of renderers drawing on stderr, for SetDefaultRendererFactory.
TRendererFactory StderrRendererFactory();

}  // namespace korvane
