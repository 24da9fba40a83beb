#include "ui/forms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "core/sysutils.h"
#include "ui/terminal_renderer.h"

namespace korvane {
namespace {

// Logs what a form asks of its renderer, and what the form looked like then.
class RecordingRenderer : public TFormRenderer {
 public:
  RecordingRenderer(TForm& form, std::vector<std::string>* log) : FForm(form), FLog(log) {}
  ~RecordingRenderer() override {
    FLog->push_back("destroyed with " + IntToStr(FForm.ControlCount()) + " controls");
  }
  void VisibleChanged(TForm& form) override {
    FLog->push_back(form.Visible() ? "shown" : "hidden");
  }
  void Update(TForm& form) override { FLog->push_back("update " + form.Caption()); }

 private:
  TForm& FForm;
  std::vector<std::string>* FLog;
};

TRendererFactory Recording(std::vector<std::string>* log) {
  return [log](TForm& form) { return std::make_unique<RecordingRenderer>(form, log); };
}

// A form whose label text is computed on demand from a counter.
class CountingForm : public TForm {
 public:
  explicit CountingForm(TComponent* owner) : TForm(owner), Text(new TLabel(this)) {
    Text->SetParent(this);
  }
  void Set(int value) {
    FValue = value;
    ContentChanged();
  }
  int Computations = 0;
  TLabel* Text;

 protected:
  void ComputeContent() override {
    ++Computations;
    Text->SetCaption("value " + IntToStr(FValue));
  }

 private:
  int FValue = 0;
};

TEST(FormOwnership, OwnerFreesFormAndControlsInAnyOrder) {
  TComponent owner(nullptr);
  auto* form = new TForm(&owner);
  auto* a = new TLabel(form);
  a->SetParent(form);
  auto* b = new TProgressBar(form);
  b->SetParent(form);
  ASSERT_EQ(form->ControlCount(), 2);
  EXPECT_EQ(form->Controls(1), b);
  EXPECT_EQ(a->ParentForm(), form);

  delete a;  // leaves both its owner and its parent
  EXPECT_EQ(form->ControlCount(), 1);
  EXPECT_EQ(form->ComponentCount(), 1);
  EXPECT_EQ(form->Controls(0), b);
  EXPECT_THROW(form->Controls(1), EListError);

  // A control owned elsewhere outlives the form it sat on, detached.
  auto* stray = new TLabel(&owner);
  stray->SetParent(form);
  delete form;
  EXPECT_EQ(stray->Parent(), nullptr);
  EXPECT_EQ(stray->ParentForm(), nullptr);
  stray->SetCaption("still usable");
  EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(FormOwnership, ReparentingMovesTheControl) {
  TForm first(nullptr);
  TForm second(nullptr);
  auto* label = new TLabel(&first);
  label->SetParent(&first);
  label->SetParent(&second);
  EXPECT_EQ(first.ControlCount(), 0);
  ASSERT_EQ(second.ControlCount(), 1);
  EXPECT_EQ(label->ParentForm(), &second);
  label->SetParent(nullptr);
  EXPECT_EQ(second.ControlCount(), 0);
}

TEST(FormDefaults, NewFormsAndControlsStartFromTheFrameworkDefaults) {
  TForm form(nullptr);
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(form.BorderStyle(), bsSizeable);
  EXPECT_EQ(form.FormStyle(), fsNormal);
  EXPECT_EQ(form.Position(), poDesigned);
  EXPECT_EQ(form.Renderer(), nullptr);
  TLabel label(nullptr);
  EXPECT_TRUE(label.AutoSize());
  EXPECT_EQ(label.Alignment(), taLeftJustify);
  EXPECT_EQ(label.Height(), 17);
  TProgressBar bar(nullptr);
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_EQ(bar.Max(), 100);
  EXPECT_EQ(bar.Height(), 16);
}

TEST(ProgressBarRange, PositionStaysWithinTheRange) {
  TProgressBar bar(nullptr);
  bar.SetMax(200);
  bar.SetPosition(250);
  EXPECT_EQ(bar.Position(), 200);
  bar.SetPosition(-5);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(150);
  bar.SetMax(100);  // narrowing pulls the position in
  EXPECT_EQ(bar.Position(), 100);
  EXPECT_DOUBLE_EQ(bar.Fraction(), 1.0);
}

TEST(ProgressBarRange, EmptyOrInvertedRangeShowsAnEmptyBar) {
  TProgressBar bar(nullptr);
  for (std::int64_t max : {0, -1}) {
    bar.SetMax(max);
    bar.SetPosition(10);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_EQ(bar.Fraction(), 0.0);
  }
}

TEST(ProgressBarRange, HoldsCountsBeyondThirtyTwoBits) {
  TProgressBar bar(nullptr);
  const std::int64_t total = std::int64_t{6} << 30;  // 6 GiB
  bar.SetMax(total);
  bar.SetPosition(total / 2);
  EXPECT_EQ(bar.Position(), total / 2);
  EXPECT_DOUBLE_EQ(bar.Fraction(), 0.5);
}

TEST(FormRenderer, DefaultFactoryServesFormsCreatedWhileInstalled) {
  std::vector<std::string> log;
  {
    TScopedRendererFactory scope(Recording(&log));
    TForm form(nullptr);
    ASSERT_NE(form.Renderer(), nullptr);
    {
      TScopedRendererFactory inner(nullptr);
      TForm plain(nullptr);
      EXPECT_EQ(plain.Renderer(), nullptr);
    }
    TForm again(nullptr);  // the outer factory is back
    EXPECT_NE(again.Renderer(), nullptr);
  }
  TForm after(nullptr);
  EXPECT_EQ(after.Renderer(), nullptr);
  EXPECT_EQ(log.size(), 2u);  // both rendered forms destroyed their renderers
}

TEST(FormRenderer, ShowUpdateHideAndFreeReachTheRenderer) {
  std::vector<std::string> log;
  TScopedRendererFactory scope(Recording(&log));
  auto* form = new TForm(nullptr);
  form->SetCaption("T");
  auto* label = new TLabel(form);
  label->SetParent(form);

  form->Update();  // hidden: nothing to paint
  form->Show();
  form->Update();
  form->SetVisible(true);  // no change, no call
  form->SetVisible(false);
  form->Update();
  delete form;
  EXPECT_EQ(log, (std::vector<std::string>{"shown", "update T", "update T", "hidden",
                                           "destroyed with 1 controls"}));
}

TEST(FormRenderer, ReplacingTheRendererDestroysThePreviousOne) {
  std::vector<std::string> log;
  TForm form(nullptr);
  form.SetRenderer(std::make_unique<RecordingRenderer>(form, &log));
  form.SetRenderer(nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"destroyed with 0 controls"});
  form.Show();  // no renderer: a pure model
  EXPECT_TRUE(form.Visible());
}

TEST(ComputedContent, ComputedOnceWhenObservedAfterAChange) {
  CountingForm form(nullptr);
  EXPECT_EQ(form.Text->Caption(), "");
  EXPECT_EQ(form.Computations, 0);
  form.Set(1);
  form.Set(2);
  EXPECT_EQ(form.Computations, 0);  // nothing computed until someone looks
  EXPECT_EQ(form.Text->Caption(), "value 2");
  EXPECT_EQ(form.Text->Caption(), "value 2");
  EXPECT_EQ(form.Computations, 1);
}

TEST(ComputedContent, AWriteAfterAChangeWins) {
  CountingForm form(nullptr);
  form.Set(7);
  form.Text->SetCaption("typed");
  EXPECT_EQ(form.Text->Caption(), "typed");
  EXPECT_EQ(form.Computations, 1);
}

TEST(ComputedContent, DetachedControlsDoNotReachTheForm) {
  auto label = std::make_unique<TLabel>(nullptr);
  {
    CountingForm form(nullptr);
    label->SetParent(&form);
    form.Set(3);
  }
  label->SetCaption("x");
  EXPECT_EQ(label->Caption(), "x");
}

// ---- terminal renderer ----

struct TerminalFixture : ::testing::Test {
  std::ostringstream out;
  double seconds = 100.0;
  int columns = 80;

  TTerminalRendererOptions Options(bool terminal) {
    TTerminalRendererOptions o;
    o.IsTerminal = terminal;
    o.Clock = [this] { return seconds; };
    o.Columns = [this] { return columns; };
    return o;
  }

  // A form with a title, one labelled row and one bar row.
  std::unique_ptr<TForm> MakeForm(bool terminal) {
    auto form = std::make_unique<TForm>(nullptr);
    form->SetRenderer(std::make_unique<TTerminalRenderer>(out, Options(terminal)));
    form->SetCaption("Copy");
    caption = AddLabel(*form, "Name:", 10, 10, false);
    value = AddLabel(*form, "a.txt", 60, 10, true);
    bar = new TProgressBar(form.get());
    bar->SetParent(form.get());
    bar->SetLeft(60);
    bar->SetTop(30);
    bar->SetWidth(60);  // 12 columns: 10 inside the brackets
    return form;
  }

  TLabel* AddLabel(TForm& form, const char* text, int left, int top, bool autoSize) {
    auto* l = new TLabel(&form);
    l->SetParent(&form);
    l->SetCaption(text);
    l->SetLeft(left);
    l->SetTop(top);
    l->SetWidth(40);
    l->SetAlignment(taRightJustify);
    l->SetAutoSize(autoSize);
    return l;
  }

  std::string Take() {
    std::string s = out.str();
    out.str("");
    return s;
  }

  TLabel* caption = nullptr;
  TLabel* value = nullptr;
  TProgressBar* bar = nullptr;
};

TEST_F(TerminalFixture, LaysOutRowsByPositionWithBarAndAlignment) {
  auto form = MakeForm(true);
  bar->SetPosition(30);  // of 100
  EXPECT_EQ(FormTextLines(*form, 5),
            (std::vector<std::string>{"Copy", "     Name:  a.txt", "            [###.......]"}));
  // Pieces that would overlap keep a blank between them.
  value->SetLeft(20);
  EXPECT_EQ(FormTextLines(*form, 5)[1], "     Name: a.txt");
  EXPECT_EQ(FormStatusLine(*form), "Copy: Name: a.txt");
}

TEST_F(TerminalFixture, PaintsInPlaceAtMostTenTimesASecond) {
  auto form = MakeForm(true);
  form->Show();
  const std::string first = Take();
  EXPECT_EQ(first,
            "Copy\x1b[K\n"
            "     Name:  a.txt\x1b[K\n"
            "            [..........]\x1b[K\n");

  value->SetCaption("b.txt");
  seconds += 0.05;
  form->Update();
  EXPECT_EQ(Take(), "");  // too soon after the last paint

  seconds += 0.05;
  bar->SetPosition(100);
  form->Update();
  EXPECT_EQ(Take(),
            "\r\x1b[3A"
            "Copy\x1b[K\n"
            "     Name:  b.txt\x1b[K\n"
            "            [##########]\x1b[K\n");
}

TEST_F(TerminalFixture, FreeingTheFormErasesTheBlockAndHidingToo) {
  auto form = MakeForm(true);
  form->Show();
  Take();
  form->SetVisible(false);
  EXPECT_EQ(Take(), "\r\x1b[3A\x1b[J");
  form->Show();
  seconds += 1;
  form->Update();
  EXPECT_EQ(Take().rfind("Copy", 0), 0u);  // drawn afresh, no cursor movement
  form.reset();
  EXPECT_EQ(Take(), "\r\x1b[3A\x1b[J");
}

TEST_F(TerminalFixture, ReleaseLetsOtherTextThroughAndRedrawsBelowIt) {
  auto form = MakeForm(true);
  form->Show();
  Take();
  ReleaseTerminalRenderers();
  EXPECT_EQ(Take(), "\r\x1b[3A\x1b[J");
  out << "Warning: 2 records failed\n";
  seconds += 1;
  form->Update();
  EXPECT_EQ(Take(),
            "Warning: 2 records failed\nCopy\x1b[K\n     Name:  a.txt\x1b[K\n"
            "            [..........]\x1b[K\n");
  form.reset();
  EXPECT_EQ(Take(), "\r\x1b[3A\x1b[J");  // only its own lines
}

TEST_F(TerminalFixture, HostileCaptionsAndNarrowTerminals) {
  auto form = MakeForm(true);
  value->SetCaption("evil\x1b[2Jname\x07");
  columns = 14;
  form->Show();
  const std::string s = Take();
  EXPECT_EQ(s.find("\x1b[2J"), std::string::npos);
  EXPECT_NE(s.find("     Name:  e\x1b[K\n"), std::string::npos);  // cut to 13 columns
  EXPECT_EQ(FormTextLines(*form, 5)[1], "     Name:  evil?[2Jname?");
}

TEST_F(TerminalFixture, NotATerminalWritesAPlainLineEveryFewSeconds) {
  auto form = MakeForm(false);
  form->Show();
  for (int i = 0; i < 49; ++i) {
    seconds += 0.1;
    form->Update();
  }
  EXPECT_EQ(Take(), "");  // short runs stay silent
  seconds += 0.1;
  form->Update();
  EXPECT_EQ(Take(), "Copy: Name: a.txt\n");
  seconds += 1;
  form->Update();
  EXPECT_EQ(Take(), "");
  form.reset();
  EXPECT_EQ(Take(), "");  // nothing to erase
}

TEST_F(TerminalFixture, NotATerminalCanStaySilent) {
  auto form = std::make_unique<TForm>(nullptr);
  TTerminalRendererOptions o = Options(false);
  o.PlainLineInterval = 0;
  form->SetRenderer(std::make_unique<TTerminalRenderer>(out, o));
  form->Show();
  seconds += 3600;
  form->Update();
  form.reset();
  EXPECT_EQ(out.str(), "");
}

// With the system clock a ticker thread tells Update when to look at the
// clock. Repaints must still come, on a terminal and as plain lines, and the
// thread must run only while the shown form can get something painted.
TEST_F(TerminalFixture, SystemClockStillRepaintsAndTheTickerEndsWithTheForm) {
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "plain lines");
    TTerminalRendererOptions o = Options(terminal);
    o.Clock = nullptr;
    o.RepaintInterval = 0.002;
    o.PlainLineInterval = 0.002;
    auto form = MakeForm(terminal);
    auto renderer = std::make_unique<TTerminalRenderer>(out, o);
    const TTerminalRenderer& r = *renderer;
    form->SetRenderer(std::move(renderer));
    EXPECT_FALSE(r.TickerRunning());  // nothing asked yet
    form->Show();
    EXPECT_TRUE(r.TickerRunning());
    Take();

    // A bound so that a ticker that never ticks fails the test instead of
    // hanging it; the repaint itself is due within milliseconds.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (out.tellp() == 0 && std::chrono::steady_clock::now() < giveUp) form->Update();
    const std::string repaint = Take();
    EXPECT_EQ(repaint.rfind(terminal ? "\r\x1b[3ACopy\x1b[K\n" : "Copy: Name: a.txt\n", 0), 0u)
        << repaint;

    form->SetVisible(false);
    EXPECT_FALSE(r.TickerRunning());
    form->Show();
    EXPECT_TRUE(r.TickerRunning());
    form.reset();  // joins the thread; the sanitizer builds see any stray one
  }
}

TEST_F(TerminalFixture, NoTickerWithAnInjectedClockOrNothingToPaint) {
  auto form = MakeForm(true);
  form->Show();
  seconds += 1;
  form->Update();
  EXPECT_FALSE(dynamic_cast<TTerminalRenderer&>(*form->Renderer()).TickerRunning());

  TTerminalRendererOptions o = Options(false);
  o.Clock = nullptr;
  o.PlainLineInterval = 0;
  auto silent = std::make_unique<TTerminalRenderer>(out, o);
  const TTerminalRenderer& r = *silent;
  form->SetRenderer(std::move(silent));
  form->Update();
  form->Update();
  EXPECT_FALSE(r.TickerRunning());
}

}  // namespace
}  // namespace korvane
