// The designer interface: the registry a form designer fills when a package
// registers itself (palette pages with their component classes, property
// editors), the property-editor classes editors derive from, and the
// open-file dialog editors use. There is no form designer here; the registry
// is the model a designer (or a test) reads, and dialogs get their user's
// answers from a handler the host installs.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/classes.h"
#include "core/published.h"
#include "core/sets.h"

namespace korvane {

// How the designer's property inspector treats a property. The ordinals are
// fixed: editors are written against them.
enum TPropertyAttribute : std::uint8_t {
  paValueList,      // 0: offers a list of values
  paSubProperties,  // 1: has properties of its own
  paDialog,         // 2: an ellipsis button opens Edit
  paMultiSelect,    // 3: may be edited for several components at once
  paAutoUpdate,     // 4: SetValue on every change, not only when confirmed
  paSortList,       // 5: the value list is sorted
  paReadOnly,       // 6: the value cannot be typed in
  paRevertable,     // 7: may be reverted to the inherited value
};
using TPropertyAttributes = TSet<TPropertyAttribute>;

// The application object: the owner of dialogs that belong to no form.
KORVANE_API TComponent* Application();

// Edits one published property of one component. Created by the designer
// for the property being shown; the component and the description must
// outlive the editor.
class KORVANE_API TPropertyEditor : public TObject {
 public:
  TPropertyEditor(TComponent& component, const TPropertyInfo& prop)
      : FComponent(component), FProperty(prop) {}

  virtual TPropertyAttributes GetAttributes() { return {paRevertable}; }
  // The text the inspector shows.
  virtual std::string GetValue();
  // Stores text typed into the inspector.
  virtual void SetValue(const std::string& value);
  // Called for the ellipsis button (paDialog) or a double click.
  virtual void Edit() {}
  // The values of the drop-down list (paValueList), in order.
  virtual std::vector<std::string> GetValues() { return {}; }

  std::string GetName() const { return FProperty.Name; }
  TComponent& GetComponent() const { return FComponent; }
  const TPropertyInfo& Property() const { return FProperty; }

 protected:
  // The property's value as a string, and writing one (string properties).
  std::string GetStrValue() const;
  void SetStrValue(const std::string& value);

 private:
  TComponent& FComponent;
  const TPropertyInfo& FProperty;
};

// Editor of string properties: shows and takes the text as it is.
class KORVANE_API TStringProperty : public TPropertyEditor {
 public:
  using TPropertyEditor::TPropertyEditor;
  static constexpr std::string_view ClassName = "TStringProperty";

  TPropertyAttributes GetAttributes() override { return {paMultiSelect, paRevertable}; }
  std::string GetValue() override { return GetStrValue(); }
  void SetValue(const std::string& value) override { SetStrValue(value); }
};

// Editor of enumeration properties: shows the identifier and offers every
// identifier of the type, in ordinal order.
class KORVANE_API TEnumProperty : public TPropertyEditor {
 public:
  using TPropertyEditor::TPropertyEditor;
  static constexpr std::string_view ClassName = "TEnumProperty";

  TPropertyAttributes GetAttributes() override {
    return {paValueList, paMultiSelect, paRevertable};
  }
  std::vector<std::string> GetValues() override { return Property().Identifiers; }
};

// Editor of object-typed properties: shows the type in parentheses, is
// read-only as text and offers the object's own properties.
class KORVANE_API TClassProperty : public TPropertyEditor {
 public:
  using TPropertyEditor::TPropertyEditor;
  static constexpr std::string_view ClassName = "TClassProperty";

  TPropertyAttributes GetAttributes() override {
    return {paMultiSelect, paSubProperties, paReadOnly};
  }
  std::string GetValue() override { return "(" + Property().TypeName + ")"; }
  void SetValue(const std::string&) override {}
};

// A property-editor class reference: its name and how to create one.
struct KORVANE_API TPropertyEditorClassInfo {
  std::string ClassName;
  std::function<std::unique_ptr<TPropertyEditor>(TComponent&, const TPropertyInfo&)> Create;
};
using TPropertyEditorClass = const TPropertyEditorClassInfo*;

// The class reference of editor class E (which names itself in
// E::ClassName).
template <class E>
TPropertyEditorClass PropertyEditorClass() {
  static const TPropertyEditorClassInfo info{
      std::string(E::ClassName),
      [](TComponent& c, const TPropertyInfo& p) -> std::unique_ptr<TPropertyEditor> {
        return std::make_unique<E>(c, p);
      }};
  return &info;
}

// A palette page and its component classes in registration order.
struct KORVANE_API TPalettePage {
  std::string Name;
  std::vector<TComponentClass> Classes;
};

// One RegisterPropertyEditor call.
struct KORVANE_API TPropertyEditorRegistration {
  std::string PropertyType;
  TComponentClass ComponentClass = nullptr;  // nullptr: any class
  std::string PropertyName;                  // empty: any property of the type
  TPropertyEditorClass EditorClass = nullptr;
};

// What the designer has been told. Not thread-safe.
class KORVANE_API TDesignerRegistry {
 public:
  // Appends the classes to the page, creating the page after the existing
  // ones the first time it is named; the classes also become known to
  // settings files (RegisterClass).
  void RegisterComponents(std::string_view page, std::initializer_list<TComponentClass> classes);
  void RegisterPropertyEditor(std::string_view propertyType, TComponentClass componentClass,
                              std::string_view propertyName, TPropertyEditorClass editorClass);

  const std::vector<TPalettePage>& Pages() const { return FPages; }
  const TPalettePage* FindPage(std::string_view name) const;
  const std::vector<TPropertyEditorRegistration>& Editors() const { return FEditors; }

  // The editor registered for a component's published property: the latest
  // registration whose type is the property's type, whose class is the
  // component's class or one it descends from (or any class), and whose name
  // is the property's (or any). nullptr when none fits. Raises
  // EPropertyError when the component has no such published property.
  TPropertyEditorClass FindPropertyEditor(const TComponent& component,
                                          std::string_view propertyName) const;
  // An editor for the property: the registered one, else TStringProperty for
  // strings, TEnumProperty for enumerations and the plain TPropertyEditor
  // for every other kind.
  std::unique_ptr<TPropertyEditor> CreatePropertyEditor(TComponent& component,
                                                        std::string_view propertyName) const;

  void Clear();

 private:
  std::vector<TPalettePage> FPages;
  std::vector<TPropertyEditorRegistration> FEditors;
};

// The designer the package registers itself with.
KORVANE_API TDesignerRegistry& Designer();

KORVANE_API void RegisterComponents(std::string_view page,
                                    std::initializer_list<TComponentClass> classes);
KORVANE_API void RegisterPropertyEditor(std::string_view propertyType,
                                        TComponentClass componentClass,
                                        std::string_view propertyName,
                                        TPropertyEditorClass editorClass);

// The name of a class's palette bitmap: its class name in capitals.
KORVANE_API std::string PaletteBitmapName(TComponentClass componentClass);

// Open-file dialog options. The ordinals are fixed.
enum TOpenOption : std::uint8_t {
  ofReadOnly,             // 0
  ofOverwritePrompt,      // 1
  ofHideReadOnly,         // 2
  ofNoChangeDir,          // 3
  ofShowHelp,             // 4
  ofNoValidate,           // 5
  ofAllowMultiSelect,     // 6
  ofExtensionDifferent,   // 7
  ofPathMustExist,        // 8
  ofFileMustExist,        // 9
  ofCreatePrompt,         // 10
  ofShareAware,           // 11
  ofNoReadOnlyReturn,     // 12
  ofNoTestFileCreate,     // 13
  ofNoNetworkButton,      // 14
  ofNoLongNames,          // 15
  ofOldStyleDialog,       // 16
  ofNoDereferenceLinks,   // 17
  ofEnableIncludeNotify,  // 18
  ofEnableSizing,         // 19
};
using TOpenOptions = TSet<TOpenOption>;

class TOpenDialog;

// The user's side of an open-file dialog: sees the dialog as set up, may
// change its FileName, and returns true to confirm or false to cancel.
using TOpenDialogHandler = std::function<bool(TOpenDialog& dialog)>;

// The open-file dialog. Execute hands the dialog to the installed handler;
// with none installed there is nobody to confirm, and it returns false.
class KORVANE_API TOpenDialog : public TComponent {
 public:
  explicit TOpenDialog(TComponent* owner) : TComponent(owner) {}

  const std::string& FileName() const { return FFileName; }
  void SetFileName(std::string value) { FFileName = std::move(value); }
  // Entries of "description|pattern" pairs, separated by '|'.
  const std::string& Filter() const { return FFilter; }
  void SetFilter(std::string value) { FFilter = std::move(value); }
  TOpenOptions Options() const { return FOptions; }
  void SetOptions(TOpenOptions value) { FOptions = value; }

  // True when the user confirmed a file; FileName then holds it.
  bool Execute();

 private:
  std::string FFileName;
  std::string FFilter;
  TOpenOptions FOptions{ofHideReadOnly, ofEnableSizing};
};

// Installs the dialog handler (an empty one removes it) and returns the
// previous one.
KORVANE_API TOpenDialogHandler SetOpenDialogHandler(TOpenDialogHandler handler);

// Installs a dialog handler for the lifetime of the object.
class KORVANE_API TScopedOpenDialogHandler {
 public:
  explicit TScopedOpenDialogHandler(TOpenDialogHandler handler)
      : FPrevious(SetOpenDialogHandler(std::move(handler))) {}
  ~TScopedOpenDialogHandler() { SetOpenDialogHandler(std::move(FPrevious)); }
  TScopedOpenDialogHandler(const TScopedOpenDialogHandler&) = delete;
  TScopedOpenDialogHandler& operator=(const TScopedOpenDialogHandler&) = delete;

 private:
  TOpenDialogHandler FPrevious;
};

}  // namespace korvane
