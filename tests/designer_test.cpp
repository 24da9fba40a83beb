#include "platform/designer.h"

#include <gtest/gtest.h>

#include "support/gadgets.h"

namespace korvane {
namespace {

using gadgets::TGadget;
using gadgets::TGadgetClasses;
using gadgets::TGadgetSource;

// An editor that records that it was made for a property.
class TMarkerEditor : public TStringProperty {
 public:
  using TStringProperty::TStringProperty;
  static constexpr std::string_view ClassName = "TMarkerEditor";
  std::string GetValue() override { return "<" + GetStrValue() + ">"; }
};

class TOtherEditor : public TStringProperty {
 public:
  using TStringProperty::TStringProperty;
  static constexpr std::string_view ClassName = "TOtherEditor";
};

class DesignerTest : public ::testing::Test {
 protected:
  DesignerTest() { gadget.SetCaption("hello"); }
  TGadgetClasses classes;
  TDesignerRegistry designer;
  TGadget gadget{nullptr};
};

TEST_F(DesignerTest, PalettePagesKeepTheirOrderAndTheirClassesOrder) {
  TComponentClass g = ComponentClass<TGadget>();
  TComponentClass s = ComponentClass<TGadgetSource>();
  designer.RegisterComponents("Data", {s, g});
  designer.RegisterComponents("Tools", {g});
  designer.RegisterComponents("Data", {g});
  ASSERT_EQ(designer.Pages().size(), 2u);
  EXPECT_EQ(designer.Pages()[0].Name, "Data");
  EXPECT_EQ(designer.Pages()[0].Classes, (std::vector<TComponentClass>{s, g, g}));
  EXPECT_EQ(designer.Pages()[1].Name, "Tools");
  EXPECT_EQ(designer.FindPage("Tools")->Classes, std::vector<TComponentClass>{g});
  EXPECT_EQ(designer.FindPage("Nowhere"), nullptr);
  EXPECT_EQ(PaletteBitmapName(g), "TGADGET");
}

TEST_F(DesignerTest, RegisteringComponentsMakesTheirClassesKnownByName) {
  UnregisterClass(ComponentClass<TGadgetSource>());
  ASSERT_EQ(FindClass("TGadgetSource"), nullptr);
  designer.RegisterComponents("Data", {ComponentClass<TGadgetSource>()});
  EXPECT_EQ(FindClass("tgadgetsource"), ComponentClass<TGadgetSource>());
}

TEST_F(DesignerTest, EditorLookupMatchesTypeClassAndNameAndLaterRegistrationsWin) {
  TComponentClass g = ComponentClass<TGadget>();
  TComponentClass s = ComponentClass<TGadgetSource>();
  TPropertyEditorClass marker = PropertyEditorClass<TMarkerEditor>();
  TPropertyEditorClass other = PropertyEditorClass<TOtherEditor>();
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Caption"), nullptr);

  designer.RegisterPropertyEditor("Integer", g, "Caption", marker);  // wrong type
  designer.RegisterPropertyEditor("string", s, "Caption", marker);   // wrong class
  designer.RegisterPropertyEditor("string", g, "Version", marker);   // wrong name
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Caption"), nullptr);
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "version"), marker);  // names ignore case

  designer.RegisterPropertyEditor("string", nullptr, "", other);  // every string property
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Caption"), other);
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Count"), nullptr);
  designer.RegisterPropertyEditor("string", g, "Caption", marker);
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Caption"), marker);
  EXPECT_EQ(designer.FindPropertyEditor(gadget, "Version"), other);  // the later one

  auto editor = designer.CreatePropertyEditor(gadget, "caption");
  EXPECT_EQ(editor->GetName(), "Caption");
  EXPECT_EQ(editor->GetValue(), "<hello>");
  EXPECT_THROW(designer.FindPropertyEditor(gadget, "Missing"), EPropertyError);
}

TEST_F(DesignerTest, DefaultEditorsReadAndWriteTheValueAsText) {
  auto caption = designer.CreatePropertyEditor(gadget, "Caption");
  EXPECT_NE(dynamic_cast<TStringProperty*>(caption.get()), nullptr);
  EXPECT_EQ(caption->GetAttributes(), (TPropertyAttributes{paMultiSelect, paRevertable}));
  caption->SetValue("typed");
  EXPECT_EQ(gadget.Caption(), "typed");

  auto ending = designer.CreatePropertyEditor(gadget, "Ending");
  EXPECT_EQ(ending->GetValue(), "rsCRLF");
  ending->SetValue("rsLF");
  EXPECT_EQ(gadget.Ending(), rsLF);
  EXPECT_THROW(ending->SetValue("rsNone"), EPropertyError);
  EXPECT_EQ(gadget.Ending(), rsLF);

  TClassProperty items(gadget, *ComponentClass<TGadget>()->FindProperty("Items"));
  EXPECT_EQ(items.GetValue(), "(TStrings)");
  EXPECT_TRUE(items.GetAttributes().Contains(paReadOnly));
  EXPECT_TRUE(items.GetAttributes().Contains(paSubProperties));
}

TEST(PropertyAttributes, OrdinalsAreTheOnesEditorsAreWrittenAgainst) {
  EXPECT_EQ(TPropertyAttributes{paValueList}.Bits(), 1u << 0);
  EXPECT_EQ(TPropertyAttributes{paDialog}.Bits(), 1u << 2);
  EXPECT_EQ(TPropertyAttributes{paRevertable}.Bits(), 1u << 7);
  EXPECT_EQ(TOpenOptions{ofShowHelp}.Bits(), 1u << 4);
  EXPECT_EQ(TOpenOptions{ofPathMustExist}.Bits(), 1u << 8);
}

TEST(OpenDialog, TheHostConfirmsOrCancelsAndNobodyMeansCancel) {
  TOpenDialog dialog(nullptr);
  dialog.SetFileName("start.txt");
  EXPECT_FALSE(dialog.Execute());  // no handler installed: nobody to confirm
  EXPECT_EQ(dialog.FileName(), "start.txt");
  {
    std::string seen;
    TScopedOpenDialogHandler confirm([&](TOpenDialog& d) {
      seen = d.FileName();
      d.SetFileName("/picked/file.csv");
      return true;
    });
    EXPECT_TRUE(dialog.Execute());
    EXPECT_EQ(seen, "start.txt");
    EXPECT_EQ(dialog.FileName(), "/picked/file.csv");
    {
      TScopedOpenDialogHandler cancel([](TOpenDialog&) { return false; });
      EXPECT_FALSE(dialog.Execute());
    }
    dialog.SetFileName("again");
    EXPECT_TRUE(dialog.Execute());  // the outer handler is back
  }
  EXPECT_FALSE(dialog.Execute());
}

}  // namespace
}  // namespace korvane
