#include "ui/terminal_renderer.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/utf8_head.h"

namespace korvane {

namespace {

std::vector<TTerminalRenderer*>& LiveRenderers() {
  static std::vector<TTerminalRenderer*> renderers;
  return renderers;
}

// Escape sequences inside a caption (a file name, say) must not reach the
// terminal as commands.
std::string Printable(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    auto u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) c = '?';
  }
  return result;
}

std::string FitLabel(const TLabel& label, int pixelsPerColumn) {
  std::string text = Printable(label.Caption());
  if (label.AutoSize()) return text;
  const auto width = static_cast<std::size_t>(std::max(label.Width() / pixelsPerColumn, 0));
  if (text.size() >= width) return text.substr(0, width);
  const std::size_t pad = width - text.size();
  switch (label.Alignment()) {
    case taRightJustify:
      return std::string(pad, ' ') + text;
    case taCenter:
      return std::string(pad / 2, ' ') + text + std::string(pad - pad / 2, ' ');
    case taLeftJustify:
      break;
  }
  return text + std::string(pad, ' ');
}

std::string DrawBar(const TProgressBar& bar, int pixelsPerColumn) {
  const int width = std::max(bar.Width() / pixelsPerColumn, 3);
  const int inner = width - 2;
  const int filled = std::clamp(static_cast<int>(std::lround(bar.Fraction() * inner)), 0, inner);
  // Built by appending: GCC 12 at -O3 takes "[" + std::string(...) for an
  // overlapping copy and warns (-Wrestrict).
  std::string text;
  text.reserve(static_cast<std::size_t>(width));
  text += '[';
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(inner - filled), '.');
  text += ']';
  return text;
}

// The form's controls grouped into rows by Top, each row ordered by Left.
std::map<int, std::vector<TControl*>> Rows(const TForm& form) {
  std::map<int, std::vector<TControl*>> rows;
  for (int i = 0; i < form.ControlCount(); ++i) {
    TControl* c = form.Controls(i);
    rows[c->Top()].push_back(c);
  }
  for (auto& [top, row] : rows) {
    std::stable_sort(row.begin(), row.end(),
                     [](const TControl* a, const TControl* b) { return a->Left() < b->Left(); });
  }
  return rows;
}

void DropTrailingBlanks(std::string& s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
}

// Cuts a line to at most width bytes without splitting a UTF-8 sequence.
void Clip(std::string& line, std::size_t width) { line.resize(Utf8Head(line, width).size()); }

std::string CursorUp(std::size_t lines) { return "\r\x1b[" + std::to_string(lines) + "A"; }

}  // namespace

std::vector<std::string> FormTextLines(TForm& form, int pixelsPerColumn) {
  pixelsPerColumn = std::max(pixelsPerColumn, 1);
  std::vector<std::string> lines;
  lines.push_back(Printable(form.Caption()));
  for (const auto& [top, row] : Rows(form)) {
    std::string line;
    for (TControl* c : row) {
      std::string piece;
      if (auto* label = dynamic_cast<TLabel*>(c)) {
        piece = FitLabel(*label, pixelsPerColumn);
      } else if (auto* bar = dynamic_cast<TProgressBar*>(c)) {
        piece = DrawBar(*bar, pixelsPerColumn);
      } else {
        continue;
      }
      // Keep one blank between pieces that would otherwise run together.
      // Columns past any terminal's width are cut at paint time anyway.
      auto column = static_cast<std::size_t>(std::clamp(c->Left() / pixelsPerColumn, 0, 1024));
      if (!line.empty() && column <= line.size()) column = line.size() + 1;
      line.resize(column, ' ');
      line += piece;
    }
    DropTrailingBlanks(line);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string FormStatusLine(TForm& form) {
  std::string result = Printable(form.Caption()) + ":";
  bool firstRow = true;
  for (const auto& [top, row] : Rows(form)) {
    std::string text;
    for (TControl* c : row) {
      auto* label = dynamic_cast<TLabel*>(c);
      if (label == nullptr || label->Caption().empty()) continue;
      if (!text.empty()) text += ' ';
      text += Printable(label->Caption());
    }
    if (text.empty()) continue;
    result += firstRow ? " " : "; ";
    result += text;
    firstRow = false;
  }
  return result;
}

// Raises a flag every period until destroyed; the destructor wakes the thread
// and joins it at once instead of waiting out the period.
class TTerminalRenderer::TTicker {
 public:
  TTicker(std::atomic<bool>& flag, std::chrono::microseconds period)
      : FThread([this, &flag, period] { Run(flag, period); }) {}
  ~TTicker() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FStop = true;
    }
    FWake.notify_one();
    FThread.join();
  }
  TTicker(const TTicker&) = delete;
  TTicker& operator=(const TTicker&) = delete;

 private:
  void Run(std::atomic<bool>& flag, std::chrono::microseconds period) {
    std::unique_lock<std::mutex> lock(FMutex);
    while (!FWake.wait_for(lock, period, [this] { return FStop; })) {
      flag.store(true, std::memory_order_relaxed);
    }
  }

  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStop = false;
  // Last: the thread starts once everything it uses exists.
  std::thread FThread;
};

TTerminalRenderer::TTerminalRenderer(std::ostream& out, TTerminalRendererOptions options)
    : FOut(out), FOptions(std::move(options)) {
  FOptions.PixelsPerColumn = std::max(FOptions.PixelsPerColumn, 1);
  LiveRenderers().push_back(this);
}

TTerminalRenderer::~TTerminalRenderer() {
  auto& live = LiveRenderers();
  live.erase(std::find(live.begin(), live.end(), this));
  StopTicker();
  try {
    Release();
  } catch (...) {
    // A no-throw boundary: a failing stream must not take the program down
    // while a window closes; the progress it shows is all that is lost.
  }
}

double TTerminalRenderer::Seconds() const {
  if (FOptions.Clock) return FOptions.Clock();
  // Asked at every tick (on every paint request when there is no ticker); the
  // coarse clock is several times cheaper and its few milliseconds of
  // resolution are plenty for the throttle.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void TTerminalRenderer::StartTicker() {
  if (FOptions.Clock || FTickerFailed) return;
  const double interval =
      FOptions.IsTerminal ? FOptions.RepaintInterval : FOptions.PlainLineInterval;
  // Intervals this short (or none) are checked on every request: a ticker
  // would spin for nothing. Long ones still tick every minute at least.
  const double quarter = interval / 4;
  if (!(quarter >= 1e-4)) return;
  const auto period = std::chrono::microseconds(std::llround(std::min(quarter, 60.0) * 1e6));
  // Cleared before the thread exists, so that no tick is lost to this store.
  FPaintMayBeDue.store(false, std::memory_order_relaxed);
  try {
    FTicker = std::make_unique<TTicker>(FPaintMayBeDue, period);
  } catch (const std::system_error&) {
    // No thread to be had: do without, and do not try again on every request.
    FTickerFailed = true;
    FPaintMayBeDue.store(true, std::memory_order_relaxed);
  }
}

void TTerminalRenderer::StopTicker() {
  FTicker.reset();
  FPaintMayBeDue.store(true, std::memory_order_relaxed);
}

void TTerminalRenderer::VisibleChanged(TForm& form) {
  if (form.Visible()) return;
  // A hidden form gets no paint requests: no ticker until it is shown again.
  StopTicker();
  Release();
}

void TTerminalRenderer::Update(TForm& form) {
  // Between two ticks no paint can be due yet; this is the common case.
  if (!FPaintMayBeDue.load(std::memory_order_relaxed)) return;
  if (!FOptions.IsTerminal && FOptions.PlainLineInterval <= 0) return;
  if (FTicker) {
    FPaintMayBeDue.store(false, std::memory_order_relaxed);
  } else {
    StartTicker();
  }
  const double now = Seconds();
  if (!FPaintedOnce) {
    FPaintedOnce = true;
    FLastPaint = now;
    // A plain line waits a full interval, so short runs print nothing.
    if (FOptions.IsTerminal) Paint(form);
    return;
  }
  const double interval =
      FOptions.IsTerminal ? FOptions.RepaintInterval : FOptions.PlainLineInterval;
  // A microsecond of slack keeps rounding in the clock's doubles from
  // skipping a paint that is due.
  if (now - FLastPaint < interval - 1e-6) return;
  FLastPaint = now;
  if (FOptions.IsTerminal) {
    Paint(form);
  } else {
    WriteStatusLine(form);
  }
}

void TTerminalRenderer::Paint(TForm& form) {
  std::vector<std::string> lines = FormTextLines(form, FOptions.PixelsPerColumn);
  const int columns = FOptions.Columns ? FOptions.Columns() : 80;
  const auto width = static_cast<std::size_t>(std::max(columns - 1, 1));
  std::string frame;
  if (FLinesDrawn > 0) frame += CursorUp(FLinesDrawn);
  for (std::string& line : lines) {
    Clip(line, width);
    frame += line;
    frame += "\x1b[K\n";
  }
  if (lines.size() < FLinesDrawn) frame += "\x1b[J";
  FLinesDrawn = lines.size();
  FOut.write(frame.data(), static_cast<std::streamsize>(frame.size()));
  FOut.flush();
}

void TTerminalRenderer::WriteStatusLine(TForm& form) {
  std::string line = FormStatusLine(form);
  line += '\n';
  FOut.write(line.data(), static_cast<std::streamsize>(line.size()));
  FOut.flush();
}

void TTerminalRenderer::Release() {
  if (FLinesDrawn == 0) return;
  const std::string erase = CursorUp(FLinesDrawn) + "\x1b[J";
  FLinesDrawn = 0;
  FOut.write(erase.data(), static_cast<std::streamsize>(erase.size()));
  FOut.flush();
}

void ReleaseTerminalRenderers() {
  for (TTerminalRenderer* r : LiveRenderers()) r->Release();
}

bool StderrIsTerminal() {
  if (isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

int StderrColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* env = std::getenv("COLUMNS")) {
    const int columns = std::atoi(env);
    if (columns > 0) return columns;
  }
  return 80;
}

TRendererFactory StderrRendererFactory() {
  const bool terminal = StderrIsTerminal();
  return [terminal](TForm&) -> std::unique_ptr<TFormRenderer> {
    TTerminalRendererOptions options;
    options.IsTerminal = terminal;
    options.Columns = StderrColumns;
    return std::make_unique<TTerminalRenderer>(std::cerr, std::move(options));
  };
}

}  // namespace korvane
