#include "ui/designer.h"

namespace korvane {

TComponent* Application() {
  static TComponent application(nullptr);
  return &application;
}

std::string TPropertyEditor::GetValue() { return GetStrValue(); }

void TPropertyEditor::SetValue(const std::string& value) {
  if (!FProperty.Writable() || FProperty.Kind == pkStringList || FProperty.Kind == pkComponent)
    return;
  FProperty.Set(FComponent, ParsePropertyText(FProperty, value));
}

std::string TPropertyEditor::GetStrValue() const {
  if (!FProperty.Get) return {};
  return PropertyValueText(FProperty, FProperty.Get(FComponent));
}

void TPropertyEditor::SetStrValue(const std::string& value) {
  if (!FProperty.Writable()) throw EPropertyError(FProperty.Name + " is read-only");
  FProperty.Set(FComponent, ParsePropertyText(FProperty, value));
}

void TDesignerRegistry::RegisterComponents(std::string_view page,
                                           std::initializer_list<TComponentClass> classes) {
  TPalettePage* target = nullptr;
  for (TPalettePage& p : FPages) {
    if (p.Name == page) target = &p;
  }
  if (target == nullptr) {
    target = &FPages.emplace_back();
    target->Name = std::string(page);
  }
  for (TComponentClass c : classes) {
    RegisterClass(c);
    target->Classes.push_back(c);
  }
}

void TDesignerRegistry::RegisterPropertyEditor(std::string_view propertyType,
                                               TComponentClass componentClass,
                                               std::string_view propertyName,
                                               TPropertyEditorClass editorClass) {
  FEditors.push_back(
      {std::string(propertyType), componentClass, std::string(propertyName), editorClass});
}

const TPalettePage* TDesignerRegistry::FindPage(std::string_view name) const {
  for (const TPalettePage& p : FPages) {
    if (p.Name == name) return &p;
  }
  return nullptr;
}

TPropertyEditorClass TDesignerRegistry::FindPropertyEditor(const TComponent& component,
                                                           std::string_view propertyName) const {
  const TPropertyInfo& prop = FindPublishedProperty(component, propertyName);
  for (auto it = FEditors.rbegin(); it != FEditors.rend(); ++it) {
    if (!SameText(it->PropertyType, prop.TypeName)) continue;
    if (it->ComponentClass != nullptr && !it->ComponentClass->IsInstance(component)) continue;
    if (!it->PropertyName.empty() && !SameText(it->PropertyName, prop.Name)) continue;
    return it->EditorClass;
  }
  return nullptr;
}

std::unique_ptr<TPropertyEditor> TDesignerRegistry::CreatePropertyEditor(
    TComponent& component, std::string_view propertyName) const {
  const TPropertyInfo& prop = FindPublishedProperty(component, propertyName);
  if (TPropertyEditorClass editor = FindPropertyEditor(component, prop.Name)) {
    return editor->Create(component, prop);
  }
  if (prop.Kind == pkString) return std::make_unique<TStringProperty>(component, prop);
  if (prop.Kind == pkEnumeration) return std::make_unique<TEnumProperty>(component, prop);
  return std::make_unique<TPropertyEditor>(component, prop);
}

void TDesignerRegistry::Clear() {
  FPages.clear();
  FEditors.clear();
}

TDesignerRegistry& Designer() {
  static TDesignerRegistry designer;
  return designer;
}

void RegisterComponents(std::string_view page, std::initializer_list<TComponentClass> classes) {
  Designer().RegisterComponents(page, classes);
}

void RegisterPropertyEditor(std::string_view propertyType, TComponentClass componentClass,
                            std::string_view propertyName, TPropertyEditorClass editorClass) {
  Designer().RegisterPropertyEditor(propertyType, componentClass, propertyName, editorClass);
}

std::string PaletteBitmapName(TComponentClass componentClass) {
  return UpperCase(componentClass->ClassName);
}

namespace {
TOpenDialogHandler& CurrentOpenDialogHandler() {
  static TOpenDialogHandler handler;
  return handler;
}
}  // namespace

bool TOpenDialog::Execute() {
  TOpenDialogHandler& handler = CurrentOpenDialogHandler();
  if (!handler) return false;
  return handler(*this);
}

TOpenDialogHandler SetOpenDialogHandler(TOpenDialogHandler handler) {
  TOpenDialogHandler previous = std::move(CurrentOpenDialogHandler());
  CurrentOpenDialogHandler() = std::move(handler);
  return previous;
}

}  // namespace korvane
