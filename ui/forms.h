// Headless forms: a window model made of a form, labels and progress bars.
//
// A form is a TComponent like any other: it is owned, frees what it owns, and
// holds its controls as children (Parent). It draws nothing by itself. The
// host chooses how a form reaches the user by giving it a renderer
// (TFormRenderer); with no renderer the form is a pure model whose property
// values tests read. A process-wide default renderer factory lets the host
// give every form created later, deep inside a component, the same kind of
// renderer (the command line installs one that draws on the terminal).
//
// Forms may compute part of their content on demand: a form that marks its
// content stale (ContentChanged) has ComputeContent called before any of its
// controls' computed properties are read or written, so values are exact
// whenever observed while the work of producing them is done at most once per
// change and only when someone looks.
//
// Nothing here is thread-safe; forms live on the thread that created them.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/classes.h"

namespace korvane {

enum TFormBorderStyle : std::uint8_t {
  bsNone,
  bsSingle,
  bsSizeable,
  bsDialog,
  bsToolWindow,
  bsSizeToolWin
};
enum TFormStyle : std::uint8_t { fsNormal, fsMDIChild, fsMDIForm, fsStayOnTop };
enum TPosition : std::uint8_t {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};
enum TAlignment : std::uint8_t { taLeftJustify, taRightJustify, taCenter };

class TWinControl;
class TForm;

// A visual element placed inside a parent control. Positions and sizes are in
// pixels, relative to the parent's client area. Owner (lifetime) and Parent
// (placement) are independent; freeing a control removes it from both.
class KORVANE_API TControl : public TComponent {
 public:
  explicit TControl(TComponent* owner) : TComponent(owner) {}
  ~TControl() override;

  TWinControl* Parent() const { return FParent; }
  // Moves the control into parent's list of children (nullptr: no parent).
  void SetParent(TWinControl* parent);

  int Left() const { return FLeft; }
  void SetLeft(int value) { FLeft = value; }
  int Top() const { return FTop; }
  void SetTop(int value) { FTop = value; }
  int Width() const { return FWidth; }
  void SetWidth(int value) { FWidth = value; }
  int Height() const { return FHeight; }
  void SetHeight(int value) { FHeight = value; }

  // The form this control sits on, through its chain of parents; nullptr
  // when it is not on a form.
  TForm* ParentForm() const;

 protected:
  // Brings the content of the control's form up to date before a computed
  // property is read or written.
  void EnsureFormContent() const;

 private:
  friend class TWinControl;

  TWinControl* FParent = nullptr;
  int FLeft = 0;
  int FTop = 0;
  int FWidth = 0;
  int FHeight = 0;
};

// A control that holds other controls. Children are listed in the order they
// were given this parent. Destroying a parent detaches the children that are
// still there; their owner frees them.
class KORVANE_API TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* owner) : TControl(owner) {}
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(FControls.size()); }
  // The child at index (0-based); raises EListError out of range.
  TControl* Controls(int index) const;

  virtual TForm* AsForm() { return nullptr; }

 private:
  friend class TControl;
  std::vector<TControl*> FControls;
};

// A line of text. With AutoSize the label is as wide as its text and Width
// is only a hint; without it the text is laid out in Width by Alignment.
class KORVANE_API TLabel : public TControl {
 public:
  explicit TLabel(TComponent* owner);

  const std::string& Caption() const {
    EnsureFormContent();
    return FCaption;
  }
  void SetCaption(std::string value) {
    EnsureFormContent();
    FCaption = std::move(value);
  }
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment value) { FAlignment = value; }
  bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool value) { FAutoSize = value; }

 private:
  std::string FCaption;
  TAlignment FAlignment = taLeftJustify;
  bool FAutoSize = true;
};

// A horizontal bar filled in proportion to Position within Min..Max. The
// values are 64-bit so that byte counts of any file fit. Position is kept
// within the range: setting it outside clamps it, and narrowing the range
// pulls it inside. A range with Max at or below Min shows an empty bar.
class KORVANE_API TProgressBar : public TControl {
 public:
  explicit TProgressBar(TComponent* owner);

  std::int64_t Min() const {
    EnsureFormContent();
    return FMin;
  }
  void SetMin(std::int64_t value);
  std::int64_t Max() const {
    EnsureFormContent();
    return FMax;
  }
  void SetMax(std::int64_t value);
  std::int64_t Position() const {
    EnsureFormContent();
    return FPosition;
  }
  void SetPosition(std::int64_t value);

  // The filled share of the bar, 0 to 1.
  double Fraction() const;

 private:
  std::int64_t Clamp(std::int64_t value) const;

  std::int64_t FMin = 0;
  std::int64_t FMax = 100;
  std::int64_t FPosition = 0;
};

// Paints a form for the user. A form owns its renderer and destroys it before
// its own controls go; destroying a renderer removes whatever it has drawn.
class KORVANE_API TFormRenderer {
 public:
  TFormRenderer() = default;
  TFormRenderer(const TFormRenderer&) = delete;
  TFormRenderer& operator=(const TFormRenderer&) = delete;
  virtual ~TFormRenderer() = default;

  // The form was shown or hidden (read form.Visible()). Nothing needs to be
  // drawn yet; a hidden form's drawing should be removed.
  virtual void VisibleChanged(TForm& form) = 0;
  // The visible form asks to be repainted now (Show, Update). A renderer may
  // skip requests that come faster than it wants to paint; what it paints is
  // the form's state at the moment it paints.
  virtual void Update(TForm& form) = 0;
};

// Makes a renderer for a new form. Called from the form's constructor, before
// any derived part of the form exists: keep the reference, do not read the
// form yet. May return nullptr (the form stays a pure model).
using TRendererFactory = std::function<std::unique_ptr<TFormRenderer>(TForm& form)>;

// Installs the factory that every form created afterwards calls (an empty one:
// forms get no renderer) and returns the previous one.
KORVANE_API TRendererFactory SetDefaultRendererFactory(TRendererFactory factory);

// Installs a default renderer factory for the lifetime of the object.
class KORVANE_API TScopedRendererFactory {
 public:
  explicit TScopedRendererFactory(TRendererFactory factory)
      : FPrevious(SetDefaultRendererFactory(std::move(factory))) {}
  ~TScopedRendererFactory() { SetDefaultRendererFactory(std::move(FPrevious)); }
  TScopedRendererFactory(const TScopedRendererFactory&) = delete;
  TScopedRendererFactory& operator=(const TScopedRendererFactory&) = delete;

 private:
  TRendererFactory FPrevious;
};

// A top-level window. This constructor loads no form description: the caller
// builds the content in code. Width and Height are the outer size. A new form
// is hidden and gets a renderer from the default factory, if one is set.
class KORVANE_API TForm : public TWinControl {
 public:
  explicit TForm(TComponent* owner);
  ~TForm() override;

  TForm* AsForm() override { return this; }

  TFormBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TFormBorderStyle value) { FBorderStyle = value; }
  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string value) { FCaption = std::move(value); }
  TFormStyle FormStyle() const { return FFormStyle; }
  void SetFormStyle(TFormStyle value) { FFormStyle = value; }
  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition value) { FPosition = value; }
  bool Visible() const { return FVisible; }
  void SetVisible(bool value);

  // Makes the form visible (modeless) and asks for a paint.
  void Show();
  // Asks the renderer to repaint the visible form now.
  void Update();

  TFormRenderer* Renderer() const { return FRenderer.get(); }
  // Replaces the renderer (nullptr: none); the previous one is destroyed.
  void SetRenderer(std::unique_ptr<TFormRenderer> renderer);

  // Runs ComputeContent if the content was marked stale since it last ran.
  void EnsureContent() {
    if (FContentStale) {
      FContentStale = false;
      ComputeContent();
    }
  }

 protected:
  // Marks the computed content out of date; it is recomputed when next
  // observed.
  void ContentChanged() { FContentStale = true; }
  // Sets the controls' computed properties. Runs with the stale mark already
  // cleared, so it may use the controls' setters.
  virtual void ComputeContent() {}

 private:
  TFormBorderStyle FBorderStyle = bsSizeable;
  std::string FCaption;
  TFormStyle FFormStyle = fsNormal;
  TPosition FPosition = poDesigned;
  bool FVisible = false;
  bool FContentStale = false;
  std::unique_ptr<TFormRenderer> FRenderer;
};

}  // namespace korvane
