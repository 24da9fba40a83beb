#include "ui/designer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "ui/dialogs.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "registry/kvprops.h"
#include "registry/kvreg.h"
#include "components/kvtypes.h"
#include "support/gadgets.h"
#include "support/source_dir.h"

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
  EXPECT_TRUE(ending->GetAttributes().Contains(paValueList));
  EXPECT_EQ(ending->GetValues(), (std::vector<std::string>{"rsCRLF", "rsCR", "rsLF"}));

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

// The package's registration and its two property editors.
class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest() { Designer().Clear(); }
  ~RegistrationTest() override { Designer().Clear(); }

  // Runs the ellipsis button of the editor of prop, answering the dialog
  // with answer (nullptr: cancel) and noting what the dialog showed.
  std::string seenFileName, seenFilter;
  TOpenOptions seenOptions;
  TComponent* seenOwner = nullptr;
  void EditFilePath(TComponent& c, const char* prop, const char* answer) {
    TScopedOpenDialogHandler handler([&](TOpenDialog& d) {
      seenFileName = d.FileName();
      seenFilter = d.Filter();
      seenOptions = d.Options();
      seenOwner = d.Owner();
      if (answer == nullptr) return false;
      d.SetFileName(answer);
      return true;
    });
    Designer().CreatePropertyEditor(c, prop)->Edit();
  }

  TCSVImport import{nullptr};
  TCSVExport exporter{nullptr};
};

TEST_F(RegistrationTest, RegisterPutsBothComponentsOnTheKorvanePageAndAttachesTheEditors) {
  Register();
  ASSERT_EQ(Designer().Pages().size(), 1u);
  EXPECT_EQ(Designer().Pages()[0].Name, "Korvane");
  EXPECT_EQ(
      Designer().Pages()[0].Classes,
      (std::vector<TComponentClass>{ComponentClass<TCSVExport>(), ComponentClass<TCSVImport>()}));
  const auto& editors = Designer().Editors();
  ASSERT_EQ(editors.size(), 4u);
  struct Expected {
    TComponentClass cls;
    const char* prop;
    TPropertyEditorClass editor;
  };
  TPropertyEditorClass path = PropertyEditorClass<TFilePathProperty>();
  TPropertyEditorClass version = PropertyEditorClass<TVersionProperty>();
  const Expected expected[] = {{ComponentClass<TCSVExport>(), "OutputFile", path},
                               {ComponentClass<TCSVImport>(), "InputFile", path},
                               {ComponentClass<TCSVExport>(), "Version", version},
                               {ComponentClass<TCSVImport>(), "Version", version}};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(editors[i].PropertyType, "string");
    EXPECT_EQ(editors[i].ComponentClass, expected[i].cls);
    EXPECT_EQ(editors[i].PropertyName, expected[i].prop);
    EXPECT_EQ(editors[i].EditorClass, expected[i].editor);
  }
  // The lookup finds them through the components' own descriptions.
  EXPECT_EQ(Designer().FindPropertyEditor(import, "InputFile"), path);
  EXPECT_EQ(Designer().FindPropertyEditor(exporter, "OutputFile"), path);
  EXPECT_EQ(Designer().FindPropertyEditor(import, "Version"), version);
  EXPECT_EQ(Designer().FindPropertyEditor(exporter, "Version"), version);
  EXPECT_EQ(Designer().FindPropertyEditor(import, "CustomSeparator"), nullptr);
  EXPECT_EQ(Designer().FindPropertyEditor(exporter, "CustomSeparator"), nullptr);
  EXPECT_THROW(Designer().FindPropertyEditor(exporter, "InputFile"), EPropertyError);
  // The classes are now known to settings files by name.
  EXPECT_EQ(FindClass("TCSVImport"), ComponentClass<TCSVImport>());
  EXPECT_EQ(FindClass("TCSVExport"), ComponentClass<TCSVExport>());
}

TEST_F(RegistrationTest, FilePathEditorConfirmedStoresTheChosenFile) {
  Register();
  auto editor = Designer().CreatePropertyEditor(import, "InputFile");
  EXPECT_EQ(editor->GetAttributes(), (TPropertyAttributes{paDialog, paRevertable}));
  EXPECT_EQ(editor->GetAttributes().Bits(), (1u << 2) | (1u << 7));
  int before = Application()->ComponentCount();

  EditFilePath(import, "InputFile", "/data/in.csv");
  EXPECT_EQ(import.InputFile(), "/data/in.csv");
  EXPECT_EQ(seenFileName, "");  // the empty path opens the dialog on no file
  EXPECT_EQ(seenFilter, "Any file (*.*)|*.*");
  EXPECT_EQ(seenOwner, Application());
  // ofShowHelp and ofPathMustExist added, the dialog's own options kept.
  EXPECT_EQ(seenOptions,
            (TOpenOptions{ofHideReadOnly, ofEnableSizing, ofShowHelp, ofPathMustExist}));
  EXPECT_EQ(Application()->ComponentCount(), before);  // the dialog was freed

  EditFilePath(import, "InputFile", "/data/next.csv");
  EXPECT_EQ(seenFileName, "/data/in.csv");  // opens on the current path
  EXPECT_EQ(import.InputFile(), "/data/next.csv");

  EditFilePath(exporter, "OutputFile", "/out/all.txt");
  EXPECT_EQ(exporter.OutputFile(), "/out/all.txt");
}

TEST_F(RegistrationTest, FilePathEditorCancelledLeavesThePathAlone) {
  Register();
  import.SetInputFile("/data/keep.csv");
  exporter.SetOutputFile("/out/keep.txt");
  EditFilePath(import, "InputFile", nullptr);
  EditFilePath(exporter, "OutputFile", nullptr);
  EXPECT_EQ(seenFileName, "/out/keep.txt");
  EXPECT_EQ(import.InputFile(), "/data/keep.csv");
  EXPECT_EQ(exporter.OutputFile(), "/out/keep.txt");
}

// A component whose path setter refuses every value.
class TStubborn : public TComponent {
 public:
  using TComponent::TComponent;
  std::string Path() const { return "fixed"; }
  void SetPath(const std::string&) { throw EConvertError("path refused"); }
};

TEST_F(RegistrationTest, FilePathEditorFreesItsDialogWhenStoringRaises) {
  static const TClassInfo info = TClassBuilder<TStubborn>("TStubborn")
                                     .String("Path", &TStubborn::Path, &TStubborn::SetPath)
                                     .Build();
  RegisterClass(&info);
  TStubborn stubborn(nullptr);
  TFilePathProperty editor(stubborn, *info.FindProperty("Path"));
  int before = Application()->ComponentCount();
  TScopedOpenDialogHandler confirm([](TOpenDialog& d) {
    d.SetFileName("x");
    return true;
  });
  EXPECT_THROW(editor.Edit(), EConvertError);
  EXPECT_EQ(Application()->ComponentCount(), before);
  UnregisterClass(&info);
}

TEST_F(RegistrationTest, VersionEditorShowsTheVersionAndChangesNothing) {
  Register();
  gadgets::TGadgetClasses gadgetClasses;
  gadgets::TGadget gadget(nullptr);  // its Version reads "9.9"
  for (TComponent* c : std::initializer_list<TComponent*>{&import, &exporter, &gadget}) {
    TVersionProperty editor(*c, FindPublishedProperty(*c, "Version"));
    EXPECT_EQ(editor.GetAttributes(), (TPropertyAttributes{paValueList, paDialog}));
    EXPECT_EQ(editor.GetAttributes().Bits(), 0b101u);
    EXPECT_EQ(editor.GetValue(), "1.32");
    editor.SetValue("2.0");
    std::vector<std::pair<std::string, TMsgDlgType>> shown;
    {
      TScopedMessageHandler capture(
          [&](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int help) {
            EXPECT_EQ(buttons, TMsgDlgButtons{mbOK});
            EXPECT_EQ(help, 0);
            shown.emplace_back(text, type);
            return static_cast<int>(mrOk);
          });
      editor.Edit();
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].first.find("1.32"), std::string::npos) << shown[0].first;
    EXPECT_EQ(shown[0].second, mtInformation);
  }
  EXPECT_EQ(import.Version(), "1.32");
  EXPECT_EQ(exporter.Version(), "1.32");
  EXPECT_EQ(gadget.Version(), "9.9");
}

TEST_F(RegistrationTest, VersionReadsTheSameEverywhereAndIgnoresWrites) {
  import.SetVersion("2.0");
  exporter.SetVersion("");
  RegisterKorvaneClasses();
  SetPropertyByName(import, "Version", "3.0");
  EXPECT_EQ(import.Version(), kKorvaneVersion);
  EXPECT_EQ(exporter.Version(), kKorvaneVersion);
  EXPECT_EQ(GetPropertyText(exporter, "Version"), "1.32");
}

std::string ResourceFile(const std::string& name) {
  std::ifstream in(korvane::test::SourceDir() + "/resources/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(PackageResources, DescriptionFileHoldsThePackageDescription) {
  std::string text = ResourceFile("package-description.txt");
  if (!text.empty() && text.back() == '\n') text.pop_back();
  EXPECT_EQ(text, "- Korvane v1.31");
  EXPECT_STREQ(kPackageDescription, "- Korvane v1.31");
}

std::uint32_t U32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
std::uint16_t U16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    (static_cast<unsigned char>(b[at + 1]) << 8));
}

// The palette pixel indexes of a 4-bit bitmap, row by row from the top.
std::vector<int> Pixels4(const std::string& b, std::uint32_t offset, std::int32_t height) {
  const std::size_t rowBytes = 12;  // 24 pixels of 4 bits, already a multiple of 4
  std::vector<int> pixels;
  for (int y = 0; y < 24; ++y) {
    int stored = height > 0 ? 23 - y : y;
    for (int x = 0; x < 24; ++x) {
      auto byte = static_cast<unsigned char>(b[offset + stored * rowBytes + x / 2]);
      pixels.push_back(x % 2 == 0 ? byte >> 4 : byte & 0xF);
    }
  }
  return pixels;
}

TEST(PackageResources, PaletteBitmapsAre24By24At4BitsPerPixel) {
  std::vector<std::vector<int>> pictures;
  for (TComponentClass cls : {ComponentClass<TCSVImport>(), ComponentClass<TCSVExport>()}) {
    std::string name = PaletteBitmapName(cls);
    SCOPED_TRACE(name);
    std::string b = ResourceFile(name + ".bmp");
    ASSERT_GE(b.size(), 14u + 40u);
    EXPECT_EQ(b.substr(0, 2), "BM");
    EXPECT_EQ(U32(b, 2), b.size());
    std::uint32_t offset = U32(b, 10);
    EXPECT_EQ(U32(b, 14), 40u);  // BITMAPINFOHEADER
    auto width = static_cast<std::int32_t>(U32(b, 18));
    auto height = static_cast<std::int32_t>(U32(b, 22));
    EXPECT_EQ(width, 24);
    EXPECT_EQ(height < 0 ? -height : height, 24);
    EXPECT_EQ(U16(b, 26), 1u);  // planes
    EXPECT_EQ(U16(b, 28), 4u);  // bits per pixel
    EXPECT_EQ(U32(b, 30), 0u);  // uncompressed
    std::uint32_t colours = U32(b, 46) == 0 ? 16 : U32(b, 46);
    EXPECT_LE(colours, 16u);
    EXPECT_GE(offset, 14u + 40u + 4u * colours);  // the palette sits before the pixels
    ASSERT_GE(b.size(), offset + 24u * 12u);
    std::vector<int> pixels = Pixels4(b, offset, height);
    std::set<int> used(pixels.begin(), pixels.end());
    EXPECT_GE(used.size(), 5u);  // a drawing, not a blank square
    for (int p : used) EXPECT_LT(static_cast<std::uint32_t>(p), colours);
    pictures.push_back(pixels);
  }
  EXPECT_NE(pictures[0], pictures[1]);
}

}  // namespace
}  // namespace korvane
