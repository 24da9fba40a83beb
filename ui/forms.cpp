#include "ui/forms.h"

#include <algorithm>

#include "core/sysutils.h"

namespace korvane {

namespace {
TRendererFactory& DefaultFactory() {
  static TRendererFactory factory;
  return factory;
}
}  // namespace

TRendererFactory SetDefaultRendererFactory(TRendererFactory factory) {
  TRendererFactory previous = std::move(DefaultFactory());
  DefaultFactory() = std::move(factory);
  return previous;
}

TControl::~TControl() { SetParent(nullptr); }

void TControl::SetParent(TWinControl* parent) {
  if (parent == FParent) return;
  if (FParent != nullptr) {
    auto& siblings = FParent->FControls;
    siblings.erase(std::find(siblings.begin(), siblings.end(), this));
  }
  FParent = parent;
  if (parent != nullptr) parent->FControls.push_back(this);
}

TForm* TControl::ParentForm() const {
  for (TWinControl* p = FParent; p != nullptr; p = p->Parent()) {
    if (TForm* form = p->AsForm()) return form;
  }
  return nullptr;
}

void TControl::EnsureFormContent() const {
  if (TForm* form = ParentForm()) form->EnsureContent();
}

TWinControl::~TWinControl() {
  // The children's owner frees them later; they must not point back here.
  for (TControl* c : FControls) c->FParent = nullptr;
  FControls.clear();
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount()) {
    throw EListError("Control index out of bounds (" + IntToStr(index) + ")");
  }
  return FControls[static_cast<std::size_t>(index)];
}

TLabel::TLabel(TComponent* owner) : TControl(owner) {
  SetWidth(65);
  SetHeight(17);
}

TProgressBar::TProgressBar(TComponent* owner) : TControl(owner) {
  SetWidth(150);
  SetHeight(16);
}

std::int64_t TProgressBar::Clamp(std::int64_t value) const {
  if (FMax <= FMin) return FMin;
  return std::clamp(value, FMin, FMax);
}

void TProgressBar::SetMin(std::int64_t value) {
  EnsureFormContent();
  FMin = value;
  FPosition = Clamp(FPosition);
}

void TProgressBar::SetMax(std::int64_t value) {
  EnsureFormContent();
  FMax = value;
  FPosition = Clamp(FPosition);
}

void TProgressBar::SetPosition(std::int64_t value) {
  EnsureFormContent();
  FPosition = Clamp(value);
}

double TProgressBar::Fraction() const {
  EnsureFormContent();
  if (FMax <= FMin) return 0.0;
  // In floating point: the span of two 64-bit values may not fit in one.
  return (static_cast<double>(FPosition) - static_cast<double>(FMin)) /
         (static_cast<double>(FMax) - static_cast<double>(FMin));
}

TForm::TForm(TComponent* owner) : TWinControl(owner) {
  SetWidth(320);
  SetHeight(240);
  if (const TRendererFactory& factory = DefaultFactory()) FRenderer = factory(*this);
}

TForm::~TForm() {
  // Nothing computed on demand may run once the derived part is gone, and the
  // renderer goes while the controls still exist.
  FContentStale = false;
  FRenderer.reset();
}

void TForm::SetVisible(bool value) {
  if (value == FVisible) return;
  FVisible = value;
  if (FRenderer) FRenderer->VisibleChanged(*this);
}

void TForm::Show() {
  SetVisible(true);
  Update();
}

void TForm::Update() {
  if (FRenderer && FVisible) FRenderer->Update(*this);
}

void TForm::SetRenderer(std::unique_ptr<TFormRenderer> renderer) {
  FRenderer = std::move(renderer);
}

}  // namespace korvane
