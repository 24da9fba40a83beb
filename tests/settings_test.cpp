#include "core/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "datasets/memory/memory_dataset.h"
#ifdef KORVANE_WITH_SQLITE
#include "datasets/sqlite/sqlite_dataset.h"
#endif
#include "fuzz/settings_roundtrip.h"
#include "core/published.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "registry/kvprops.h"
#include "support/gadgets.h"

namespace korvane {
namespace {

using gadgets::TFancySource;
using gadgets::TGadget;
using gadgets::TGadgetClasses;
using gadgets::TGadgetSource;
using gadgets::TUndescribed;

// Every byte value, as a string.
std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

std::vector<std::string> Items(const TStrings* list) {
  std::vector<std::string> result;
  for (int i = 0; i < list->Count(); ++i) result.push_back(list->Strings(i));
  return result;
}

// A registered gadget and source with every property away from its default.
class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    source.SetName("Src");
    source.SetPath("/data/in.txt");
    gadget.SetName("Main");
    gadget.SetCaption("a\"b\\c,d|e\tf\rg\nh" + std::string(1, '\0') + "\xff");
    gadget.SetCount(-2147483647 - 1);
    gadget.SetLevel(32767);
    gadget.SetEnabled(true);
    gadget.SetEnding(rsLF);
    gadget.Items()->Add("");
    gadget.Items()->Add(AllBytes());
    gadget.Items()->Add("]");
    gadget.SetSource(&source);
    gadget.SetHitsForTest(7);
  }

  std::string Written() {
    TComponent* both[] = {&source, &gadget};
    return WriteSettings(both);
  }

  // Expects text to be refused by ReadSettings into a fresh gadget and
  // source, with the message on the given line containing problem, and the
  // targets left as they were.
  void ExpectRefused(const std::string& text, int line, const std::string& problem) {
    SCOPED_TRACE(text);
    TGadgetSource src(nullptr);
    src.SetName("Src");
    TGadget g(nullptr);
    g.SetName("Main");
    g.SetCaption("before");
    g.Items()->Add("kept");
    TComponent* targets[] = {&src, &g};
    try {
      ReadSettings(text, targets);
      ADD_FAILURE() << "accepted";
    } catch (const ESettingsError& e) {
      EXPECT_EQ(e.Line, line) << e.Message();
      EXPECT_EQ(e.Message().rfind("line " + std::to_string(line) + ": ", 0), 0u) << e.Message();
      EXPECT_NE(e.Message().find(problem), std::string::npos) << e.Message();
    }
    EXPECT_EQ(g.Caption(), "before");
    EXPECT_EQ(Items(g.Items()), std::vector<std::string>{"kept"});
    EXPECT_EQ(g.Source(), nullptr);
    EXPECT_EQ(src.Path(), "");
    EXPECT_EQ(LoadComponentsOrNull(text), 0u);
  }

  // Components LoadComponents creates from text; 0 when it refuses.
  static std::size_t LoadComponentsOrNull(const std::string& text) {
    try {
      return LoadComponents(text).size();
    } catch (const ESettingsError&) {
      return 0;
    }
  }

  // The written text with one line (found by its start) replaced.
  std::string WithLine(const std::string& start, const std::string& replacement) {
    std::string text = Written();
    std::size_t at = text.find(start);
    EXPECT_NE(at, std::string::npos) << start;
    std::size_t eol = text.find('\n', at);
    return text.replace(at, eol - at, replacement);
  }

  TGadgetClasses classes;
  TGadgetSource source{nullptr};
  TGadget gadget{nullptr};
};

TEST_F(SettingsTest, LoadRestoresEveryStoredPropertyAndReference) {
  auto loaded = LoadComponents(Written());
  ASSERT_EQ(loaded.size(), 2u);
  auto* src = dynamic_cast<TGadgetSource*>(loaded[0].get());
  auto* g = dynamic_cast<TGadget*>(loaded[1].get());
  ASSERT_NE(src, nullptr);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(src->Name(), "Src");
  EXPECT_EQ(src->Path(), "/data/in.txt");
  EXPECT_EQ(g->Name(), "Main");
  EXPECT_EQ(g->Caption(), gadget.Caption());
  EXPECT_EQ(g->Count(), gadget.Count());
  EXPECT_EQ(g->Level(), 32767);
  EXPECT_TRUE(g->Enabled());
  EXPECT_EQ(g->Ending(), rsLF);
  EXPECT_EQ(Items(g->Items()), Items(gadget.Items()));
  EXPECT_EQ(g->Source(), src);  // resolved to the loaded source, not the original
  EXPECT_EQ(g->Hits(), 0);      // read-only: a run's result, not stored
  // Writing the loaded components gives the same text again.
  TComponent* again[] = {src, g};
  EXPECT_EQ(WriteSettings(again), Written());
}

TEST_F(SettingsTest, WrittenTextIsPlainAsciiWithPropertiesByNameAndIdentifier) {
  std::string text = Written();
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    ASSERT_TRUE(c == '\n' || (b >= 0x20 && b < 0x7F)) << "byte " << int(b);
  }
  EXPECT_EQ(text.rfind("korvane-settings 1\n", 0), 0u);
  EXPECT_NE(text.find("component TGadget \"Main\" {\n"), std::string::npos);
  EXPECT_NE(text.find("  Ending = rsLF\n"), std::string::npos);
  EXPECT_NE(text.find("  Enabled = true\n"), std::string::npos);
  EXPECT_NE(text.find("  Source = \"Src\"\n"), std::string::npos);
  EXPECT_NE(text.find("  Items = [\n    \"\"\n    \"\\x00\\x01"), std::string::npos);
  EXPECT_NE(text.find("  Caption = \"a\\\"b\\\\c,d|e\\tf\\rg\\nh\\x00\\xFF\"\n"),
            std::string::npos);
  EXPECT_EQ(text.find("OnChange"), std::string::npos);  // events are left out
  EXPECT_EQ(text.find("Hits"), std::string::npos);      // so are read-only properties
  EXPECT_NE(text.find("  Version = \"9.9\"\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 5), "\nend\n");
}

TEST_F(SettingsTest, StoredVersionIsIgnoredOnReading) {
  std::string text = WithLine("  Version =", "  Version = \"0.1\"");
  auto loaded = LoadComponents(text);
  EXPECT_EQ(GetPropertyText(*loaded[1], "Version"), "9.9");
}

TEST_F(SettingsTest, ReadSettingsChangesOnlyThePropertiesInTheFile) {
  TGadget g(nullptr);
  g.SetName("main");  // names match ignoring case
  g.SetCount(5);
  g.Items()->Add("old");
  TComponent* targets[] = {&g};
  ReadSettings(
      "korvane-settings 1\n"
      "# a comment\n"
      "\r\n"
      "component TGadget \"Main\" {\r\n"
      "\tCaption = \"x\"   \r\n"
      "  items = [\n"
      "    # comments may stand between items\n"
      "    \"one\"\n"
      "  ]\n"
      "  Ending = rsCR\n"
      "  Source = none\n"
      "}\n"
      "end\n",
      targets);
  EXPECT_EQ(g.Caption(), "x");
  EXPECT_EQ(g.Count(), 5);
  EXPECT_EQ(Items(g.Items()), std::vector<std::string>{"one"});
  EXPECT_EQ(g.Ending(), rsCR);
  EXPECT_EQ(g.Name(), "main");
}

TEST_F(SettingsTest, ReadSettingsMatchesTargetsByNameOrTheOnlyOneOfItsClass) {
  std::string text = Written();
  TGadgetSource src(nullptr);
  src.SetName("Src");
  TGadget g(nullptr);
  g.SetName("Other");
  TComponent* both[] = {&src, &g};
  EXPECT_THROW(ReadSettings(text, both), ESettingsError);  // no gadget named Main
  EXPECT_EQ(src.Path(), "");

  // One target, one stored component of its class: they go together.
  TGadget lone(nullptr);
  lone.SetName("Lone");
  TComponent* one[] = {&lone};
  std::string single = "korvane-settings 1\ncomponent TGadget \"Main\" {\n  Count = 3\n}\nend\n";
  ReadSettings(single, one);
  EXPECT_EQ(lone.Count(), 3);
  EXPECT_EQ(lone.Name(), "Lone");

  // A reference to a stored component goes to that component's target.
  g.SetName("Main");
  ReadSettings(text, both);
  EXPECT_EQ(g.Source(), &src);
  EXPECT_EQ(src.Path(), "/data/in.txt");
}

TEST_F(SettingsTest, ReferencesResolveThroughTheHostLookupAndAreTypeChecked) {
  std::string text =
      "korvane-settings 1\ncomponent TGadget \"G\" {\n  Source = \"Outside\"\n}\nend\n";
  TFancySource fancy(nullptr);
  fancy.SetName("Outside");
  auto loaded = LoadComponents(text, [&](std::string_view name) -> TComponent* {
    return name == "Outside" ? &fancy : nullptr;
  });
  EXPECT_EQ(dynamic_cast<TGadget&>(*loaded[0]).Source(), &fancy);

  try {
    LoadComponents(text);
    ADD_FAILURE() << "unresolved reference accepted";
  } catch (const ESettingsError& e) {
    EXPECT_EQ(e.Message(),
              "line 3: Source refers to 'Outside', which is neither stored in this file nor a "
              "known component");
  }
  TUndescribed wrong(nullptr);
  try {
    LoadComponents(text, [&](std::string_view) -> TComponent* { return &wrong; });
    ADD_FAILURE() << "reference of the wrong type accepted";
  } catch (const ESettingsError& e) {
    EXPECT_NE(e.Message().find("is not a TGadgetSource"), std::string::npos) << e.Message();
  }
}

TEST_F(SettingsTest, BadFilesAreRefusedNamingTheLineAndLeaveComponentsUnchanged) {
  // The written file's lines: 1 header, 3 component Src, 4 Path, 5 },
  // 7 component Main, 8 Caption, 9 Count, 10 Level, 11 Enabled, 12 Ending,
  // 13 Items [, 14-16 items, 17 ], 18 Source, 19 Version, 20 }, 22 end.
  ExpectRefused(WithLine("korvane-settings 1", "korvane-settings 2"), 1, "version '2'");
  ExpectRefused(WithLine("korvane-settings 1", "some other file"), 1,
                "not a Korvane settings file");
  ExpectRefused(WithLine("component TGadget \"", "component TWidget \"Main\" {"), 7,
                "unknown component class 'TWidget' (known classes:");
  ExpectRefused(WithLine("  Count", "  Colour = 3"), 9,
                "TGadget has no published property 'Colour'");
  ExpectRefused(WithLine("  Ending", "  Ending = rsCRLF2"), 12,
                "'rsCRLF2' is not a valid TRecordSeparator identifier for Ending (expected one of "
                "rsCRLF, rsCR, rsLF)");
  ExpectRefused(WithLine("  Count", "  Count = 12x"), 9, "'12x' is not a valid value for Count");
  ExpectRefused(WithLine("  Count", "  Count = 2147483648"), 9, "from -2147483648 to 2147483647");
  ExpectRefused(WithLine("  Level", "  Level = -32769"), 10, "from -32768 to 32767");
  ExpectRefused(WithLine("  Count", "  Count = "), 9, "Count has no value");
  ExpectRefused(WithLine("  Enabled", "  Enabled = yes"), 11, "expected true or false");
  ExpectRefused(WithLine("  Caption", "  Caption = bare"), 8, "takes a string in double quotes");
  ExpectRefused(WithLine("  Caption", "  Caption \"x\""), 8, "expected '=' after Caption");
  ExpectRefused(WithLine("  Caption", "  Caption = \"x"), 8, "string not closed");
  ExpectRefused(WithLine("  Caption", "  Caption = \"\\q\""), 8, "unknown escape \\q");
  ExpectRefused(WithLine("  Caption", "  Caption = \"\\x4\""), 8, "two hex digits");
  ExpectRefused(WithLine("  Caption", std::string("  Caption = \"a\x01\"")), 8,
                "byte 0x01 inside a string");
  ExpectRefused(WithLine("  Caption", "  Caption = \"x\" \"y\""), 8, "unexpected '\"' after");
  ExpectRefused(WithLine("  Count", "  Caption = \"again\""), 9,
                "Caption is given twice (first on line 8)");
  ExpectRefused(WithLine("  Count", "  OnChange = \"Handler\""), 9, "OnChange is an event");
  ExpectRefused(WithLine("  Count", "  Hits = 3"), 9, "Hits is read-only");
  ExpectRefused(WithLine("  Source", "  Source = \"\""), 18, "names no component");
  ExpectRefused(WithLine("  Source", "  Source = Src"), 18, "component name in double quotes");
  ExpectRefused(WithLine("    \"]\"", "    ]]"), 16, "unexpected ']' after ']'");
  ExpectRefused(WithLine("    \"]\"", "    naked"), 16, "expected an item of Items");
  ExpectRefused(WithLine("  Items", "  Items = [ \"inline\""), 13, "one per line");
  ExpectRefused(WithLine("component TGadgetSource", "component TGadgetSource \"Main\" {"), 7,
                "a component named 'Main' is already stored on line 3");
  ExpectRefused(Written() + "component TGadget \"X\" {\n}\n", 23, "after the 'end' line");
  ExpectRefused(WithLine("  Count", std::string("  Count\0= 3", 11)), 9, "byte 0x00");
}

TEST_F(SettingsTest, EveryTruncationIsRefused) {
  std::string text = Written();
  std::size_t complete = text.size() - 1;  // all but the final line feed
  for (std::size_t n = 0; n < complete; ++n) {
    std::string cut = text.substr(0, n);
    EXPECT_EQ(LoadComponentsOrNull(cut), 0u) << "accepted after cutting to " << n << " bytes";
  }
  EXPECT_EQ(LoadComponentsOrNull(text.substr(0, complete)), 2u);
  ExpectRefused(text.substr(0, text.find("    \"]\"")), 15,
                "the list of Items (line 13) is not closed with ']'");
  ExpectRefused(text.substr(0, text.find("  Version")), 18,
                "component 'Main' (line 7) is not closed with '}'");
  ExpectRefused(text.substr(0, text.find("end")), 21, "ends without its 'end' line");
  ExpectRefused("", 1, "not a Korvane settings file");
}

TEST_F(SettingsTest, WritingRefusesWhatCouldNotBeReadBack) {
  TUndescribed stranger(nullptr);
  TComponent* undescribed[] = {&stranger};
  EXPECT_THROW(WriteSettings(undescribed), ESettingsError);

  source.SetName("");
  TComponent* unnamedTarget[] = {&gadget};
  try {
    WriteSettings(unnamedTarget);
    ADD_FAILURE() << "wrote a reference by an empty name";
  } catch (const ESettingsError& e) {
    EXPECT_NE(e.Message().find("the component it refers to has no name"), std::string::npos);
  }

  gadget.SetSource(nullptr);
  gadget.SetEnding(static_cast<TRecordSeparator>(7));
  try {
    WriteSettings(unnamedTarget);
    ADD_FAILURE() << "wrote an ordinal without identifier";
  } catch (const ESettingsError& e) {
    EXPECT_NE(e.Message().find("Ending holds the ordinal 7"), std::string::npos) << e.Message();
  }

  TGadget twin(nullptr);
  twin.SetName("MAIN");
  gadget.SetEnding(rsCR);
  TComponent* twins[] = {&gadget, &twin};
  EXPECT_THROW(WriteSettings(twins), ESettingsError);
}

class SettingsFileTest : public SettingsTest {
 protected:
  SettingsFileTest() {
    dir = std::filesystem::temp_directory_path() /
          ("korvane-settings-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    path = (dir / "job.kvs").string();
  }
  ~SettingsFileTest() override { std::filesystem::remove_all(dir); }

  static std::string Slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::filesystem::path dir;
  std::string path;
};

TEST_F(SettingsFileTest, FilesRoundTripAndErrorsNameTheFile) {
  TComponent* both[] = {&source, &gadget};
  WriteSettingsFile(path, both);
  EXPECT_EQ(Slurp(path), Written());
  auto loaded = LoadComponentsFromFile(path);
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(dynamic_cast<TGadget&>(*loaded[1]).Caption(), gadget.Caption());

  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "korvane-settings 1\ncomponent TGadget \"G\" {\n  Count = x\n}\nend\n";
  }
  try {
    LoadComponentsFromFile(path);
    ADD_FAILURE() << "accepted";
  } catch (const ESettingsError& e) {
    EXPECT_EQ(e.Message().rfind(path + ": line 3: ", 0), 0u) << e.Message();
  }
  EXPECT_THROW(LoadComponentsFromFile((dir / "missing.kvs").string()), ESettingsError);
}

TEST_F(SettingsFileTest, AFailedWriteLeavesTheExistingFileAlone) {
  TComponent* both[] = {&source, &gadget};
  WriteSettingsFile(path, both);
  std::string before = Slurp(path);
  TUndescribed stranger(nullptr);
  TComponent* bad[] = {&gadget, &stranger};
  EXPECT_THROW(WriteSettingsFile(path, bad), ESettingsError);
  EXPECT_EQ(Slurp(path), before);
  EXPECT_THROW(WriteSettingsFile((dir / "no" / "such" / "dir.kvs").string(), both), ESettingsError);
  // A folder in the file's place: written, but it cannot take the place.
  std::filesystem::create_directory(dir / "folder.kvs");
  EXPECT_THROW(WriteSettingsFile((dir / "folder.kvs").string(), both), ESettingsError);
  // No temporary file is left behind.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 2);
}

// Setting properties by name, as the command line's --set does.
class PropertyByNameTest : public SettingsTest {
 protected:
  std::string ErrorOf(std::string_view name, std::string_view text) {
    try {
      SetPropertyByName(gadget, name, text, [&](std::string_view n) -> TComponent* {
        if (n == "Src") return &source;
        if (n == "Stranger") return &stranger;
        return nullptr;
      });
    } catch (const EPropertyError& e) {
      return e.Message();
    }
    return "";
  }
  TUndescribed stranger{nullptr};
};

TEST_F(PropertyByNameTest, EveryKindTakesItsTextForm) {
  EXPECT_EQ(ErrorOf("caption", " spaced \\ \"text\" "), "");  // names ignore case
  EXPECT_EQ(gadget.Caption(), " spaced \\ \"text\" ");        // taken as it is, no escapes
  EXPECT_EQ(ErrorOf("Count", "-42"), "");
  EXPECT_EQ(gadget.Count(), -42);
  EXPECT_EQ(ErrorOf("Enabled", "FALSE"), "");
  EXPECT_FALSE(gadget.Enabled());
  EXPECT_EQ(ErrorOf("Ending", "rsCR"), "");
  EXPECT_EQ(gadget.Ending(), rsCR);
  EXPECT_EQ(ErrorOf("Items", "appended"), "");  // a string list gains one item
  EXPECT_EQ(gadget.Items()->Count(), 4);
  EXPECT_EQ(gadget.Items()->Strings(3), "appended");
  EXPECT_EQ(ErrorOf("Source", ""), "");  // empty: no component
  EXPECT_EQ(gadget.Source(), nullptr);
  EXPECT_EQ(ErrorOf("Source", "Src"), "");
  EXPECT_EQ(gadget.Source(), &source);
  EXPECT_EQ(GetPropertyText(gadget, "Ending"), "rsCR");
  EXPECT_EQ(GetPropertyText(gadget, "Source"), "Src");
  EXPECT_EQ(GetPropertyText(gadget, "Hits"), "7");
}

TEST_F(PropertyByNameTest, ErrorsNameThePropertyAndWhatItTakes) {
  EXPECT_EQ(ErrorOf("Colour", "red"),
            "TGadget has no published property 'Colour' (its properties are Caption, Count, "
            "Level, Enabled, Ending, Items, Source, Hits, OnChange, Version)");
  EXPECT_EQ(ErrorOf("Hits", "1"), "Hits is read-only");
  EXPECT_EQ(ErrorOf("OnChange", "x"),
            "OnChange is an event (TNotifyEvent) and cannot be set from text");
  EXPECT_EQ(ErrorOf("Count", "1.5"),
            "'1.5' is not a valid value for Count (Integer): expected a whole number from "
            "-2147483648 to 2147483647");
  EXPECT_NE(ErrorOf("Count", "+1"), "");
  EXPECT_NE(ErrorOf("Count", ""), "");
  EXPECT_NE(ErrorOf("Level", "40000"), "");
  EXPECT_EQ(ErrorOf("Enabled", "1"),
            "'1' is not a valid value for Enabled (Boolean): expected true or false");
  EXPECT_EQ(ErrorOf("Ending", "rscrlf"),
            "'rscrlf' is not a valid TRecordSeparator identifier for Ending (expected one of "
            "rsCRLF, rsCR, rsLF)");
  EXPECT_EQ(ErrorOf("Source", "Nobody"), "Source: there is no component named 'Nobody'");
  EXPECT_EQ(ErrorOf("Source", "Stranger"), "Source: component 'Stranger' is not a TGadgetSource");
  // Failed sets leave the values alone.
  EXPECT_EQ(gadget.Count(), -2147483647 - 1);
  EXPECT_EQ(gadget.Level(), 32767);
  EXPECT_EQ(gadget.Ending(), rsLF);
  EXPECT_EQ(gadget.Source(), &source);
  TUndescribed plain(nullptr);
  EXPECT_THROW(SetPropertyByName(plain, "Name", "x"), EPropertyError);
}

// The same property the fuzz target checks, over a fixed set of mutations of
// valid files, so that every build checks it.
TEST_F(SettingsTest, MutatedFilesAreRefusedOrRoundTrip) {
  std::vector<std::string> seeds = {
      Written(),
      "korvane-settings 1\ncomponent TGadget \"\" {\n  Items = []\n  Source = none\n}\n"
      "component TGadget \"\" {\n}\nend\n",
  };
  static const char* const kTokens[] = {"\"",      "\\",
                                        "\\x",     "\\xZZ",
                                        "[",       "]",
                                        "[]",      "{",
                                        "}",       "=",
                                        "#",       "\n",
                                        "\r\n",    "\t",
                                        "end\n",   "none",
                                        "-",       "99999999999",
                                        "true",    "rsCR",
                                        "\"Src\"", "component TGadgetSource \"Src\" {\n}\n"};
  std::mt19937 rng(20240611);  // fixed: the same mutations on every run
  auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
  int accepted = 0, refused = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string text = seeds[pick(seeds.size())];
    int edits = 1 + static_cast<int>(pick(3));
    for (int e = 0; e < edits; ++e) {
      std::size_t at = pick(text.size() + 1);
      switch (pick(6)) {
        case 0:
          if (!text.empty()) text[pick(text.size())] = static_cast<char>(rng() & 0xFF);
          break;
        case 1:
          text.insert(at, 1, static_cast<char>(rng() & 0xFF));
          break;
        case 2:
          text.erase(at, pick(8));
          break;
        case 3:
          text.insert(at, kTokens[pick(std::size(kTokens))]);
          break;
        case 4: {  // duplicate a line
          std::size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
          start = start == std::string::npos ? 0 : start + 1;
          std::size_t end = text.find('\n', start);
          if (end != std::string::npos) text.insert(start, text.substr(start, end - start + 1));
          break;
        }
        default:  // delete a line
        {
          std::size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
          start = start == std::string::npos ? 0 : start + 1;
          std::size_t end = text.find('\n', start);
          if (end != std::string::npos) text.erase(start, end - start + 1);
        }
      }
    }
    TRoundTripOutcome outcome = CheckSettingsRoundTrip(text);
    ASSERT_EQ(outcome.Failure, "") << text;
    ++(outcome.Accepted ? accepted : refused);
  }
  // Both sides of the property were exercised.
  EXPECT_GT(accepted, 300);
  EXPECT_GT(refused, 300);
}

// The package's own components.
std::vector<std::string> PropertyNames(TComponentClass cls) {
  std::vector<std::string> names;
  for (const TPropertyInfo& p : cls->Properties) names.push_back(p.Name);
  return names;
}

TEST(ComponentDescriptions, ImportPublishesItsPropertiesInTheirPublishedOrder) {
  TComponentClass cls = ComponentClass<TCSVImport>();
  EXPECT_EQ(PropertyNames(cls),
            (std::vector<std::string>{
                "ColumnFormats",      "ColumnMatching",  "CommentChar",       "Compression",
                "CustomSeparator",    "DataSet",         "DateSeparator",     "DateTimeStyle",
                "DecimalSeparator",   "DelimitedFields", "Dialect",           "Encoding",
                "ErrorRecords",       "EscapeChar",      "FieldDelimiter",    "FieldList",
                "FieldListAction",    "FieldSeparator",  "FixedLayout",       "FixedWidths",
                "FixedWidthUnit",     "HeaderData",      "HeaderRecords",     "HeaderStored",
                "ImportType",         "InputFile",       "KeepStrayQuotes",   "LongTimeFormat",    "LooseColumnNames",
                "OnBeginImport",      "OnFilterRecord",  "OnFinishImport",    "OnImportRecord",
                "OnMessage",          "OnRecordError",   "RefuseReadOnlyFields", "ReportRecordText",  "SeparatorChar",
                "SharedReading",      "ShortDateFormat", "ShowProgress",      "SkipBlankStart",    "SkipLines",
                "SkipUnknownColumns", "StartRecord",     "ThousandSeparator", "TimeSeparator",
                "TrailerData",        "TrailerRecords",  "TrailerStored",     "UtcTimes",
                "ValueErrors",        "Version",         "WholeValues",       "WideDates",
                "WideMoney"}));
  EXPECT_EQ(cls->FindProperty("DataSet")->Kind, pkComponent);
  EXPECT_EQ(cls->FindProperty("DataSet")->TypeName, "TDataSet");
  EXPECT_FALSE(cls->FindProperty("ErrorRecords")->Writable());
  EXPECT_EQ(cls->FindProperty("OnImportRecord")->TypeName, "TImportEvent");
  EXPECT_EQ(cls->FindProperty("FieldSeparator")->Identifiers,
            (std::vector<std::string>{"fspPipe", "fspTab", "fspComma", "fspCustom", "fspNone"}));
  EXPECT_EQ(cls->FindProperty("Dialect")->Identifiers,
            (std::vector<std::string>{"dlClassic", "dlStandard"}));
  EXPECT_EQ(cls->FindProperty("ValueErrors")->Identifiers,
            (std::vector<std::string>{"veLenient", "veStrict"}));
  EXPECT_EQ(cls->FindProperty("DateTimeStyle")->Identifiers,
            (std::vector<std::string>{"dsFormatSettings", "dsISO8601"}));
  EXPECT_EQ(cls->FindProperty("ColumnMatching")->Identifiers,
            (std::vector<std::string>{"cmByPosition", "cmByHeaderName", "cmByFieldList"}));
}

TEST(ComponentDescriptions, ExportPublishesItsPropertiesInTheirPublishedOrder) {
  TComponentClass cls = ComponentClass<TCSVExport>();
  EXPECT_EQ(PropertyNames(cls),
            (std::vector<std::string>{
                "ByteOrderMark",    "CheckUnquoted",     "Compression",      "CustomSeparator",
                "DataSet",
                "DateSeparator",    "DateTimeStyle",     "DecimalSeparator", "DelimitedFields",
                "Dialect",          "Encoding",          "EscapeChar",       "ExportRecordInterval",
                "ExportType",       "FieldDelimiter",    "FieldList",        "FieldListAction",
                "FieldSeparator",   "FixedLayout",       "FixedWidths",      "FixedWidthUnit",
                "HeaderData",       "HeaderFieldNames",  "HeaderOutput",     "LongTimeFormat",
                "NumericAlign",     "OnExportRecord",    "OnBeginExport",    "OnFinishExport",
                "OnMessage",        "OutputFile",        "RecordSeparator",  "SeparatorChar",
                "ShortDateFormat",  "ShowProgress",      "ThousandSeparator", "TimeSeparator",
                "TrailerData",      "TrailerOutput",     "UtcTimes",         "Version",
                "WholeValues",      "WriteMode"}));
  EXPECT_EQ(cls->FindProperty("OnExportRecord")->TypeName, "TExportEvent");
  EXPECT_EQ(cls->FindProperty("WriteMode")->Identifiers,
            (std::vector<std::string>{"wmInPlace", "wmReplace"}));
  EXPECT_EQ(cls->FindProperty("RecordSeparator")->Identifiers,
            (std::vector<std::string>{"rsCRLF", "rsCR", "rsLF"}));
  EXPECT_EQ(cls->FindProperty("FixedLayout")->Identifiers,
            (std::vector<std::string>{"flClassic", "flColumns"}));
}

class ComponentSettingsTest : public ::testing::Test {
 protected:
  ComponentSettingsTest() {
    RegisterKorvaneClasses();
    orders.SetName("Orders");
    import.SetName("Import");
    exporter.SetName("Export");
  }

  TComponent* Lookup(std::string_view name) { return SameText(name, "Orders") ? &orders : nullptr; }
  TComponentLookup lookup = [this](std::string_view name) { return Lookup(name); };

  // Every stored property of c as text, in published order.
  static std::vector<std::string> StoredTexts(const TComponent& c) {
    std::vector<std::string> texts;
    for (const TPropertyInfo& p : ClassOf(c)->Properties) {
      if (p.Stored()) texts.push_back(p.Name + "=" + GetPropertyText(c, p.Name));
    }
    return texts;
  }

  static std::string Odd() { return std::string("q\"u,o|t\te\r\n\0\xff'", 14); }

  TMemoryDataSet orders{nullptr};
  TCSVImport import{nullptr};
  TCSVExport exporter{nullptr};
};

TEST_F(ComponentSettingsTest, NewComponentsAreWrittenWithTheirFirstIdentifiers) {
  TComponent* both[] = {&import, &exporter};
  std::string text = WriteSettings(both);
  for (const char* line :
       {"  FieldDelimiter = fdlNone\n", "  FieldSeparator = fspPipe\n",
        "  FieldListAction = flaNone\n", "  DelimitedFields = dfAll\n",
        "  ImportType = impDelimited\n", "  ExportType = expDelimited\n",
        "  RecordSeparator = rsCRLF\n", "  NumericAlign = naLeft\n", "  Dialect = dlClassic\n",
        "  ValueErrors = veLenient\n", "  DateTimeStyle = dsFormatSettings\n",
        "  DataSet = none\n", "  Version = \"1.32\"\n", "  HeaderData = []\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("ErrorRecords"), std::string::npos);
  EXPECT_EQ(text.find("OnImportRecord"), std::string::npos);
  EXPECT_EQ(text.find("OnRecordError"), std::string::npos);
  EXPECT_EQ(text.find("OnBeginExport"), std::string::npos);
}

TEST_F(ComponentSettingsTest, ImportAndExportSettingsReadBackExactly) {
  import.SetCustomSeparator("\xff");
  import.SetDataSet(&orders);
  import.SetDelimitedFields(dfTextOnly);
  import.SetFieldDelimiter(fdlDouble);
  import.FieldList()->Add("Name");
  import.FieldList()->Add(Odd());
  import.SetFieldListAction(flaExclude);
  import.SetFieldSeparator(fspCustom);
  import.HeaderData()->Add(Odd());  // the run's own lists are stored too
  import.HeaderData()->Add(AllBytes());
  import.SetHeaderRecords(2);
  import.SetHeaderStored(true);
  import.SetDialect(dlStandard);
  import.SetValueErrors(veStrict);
  import.SetImportType(impFixed);
  import.SetInputFile("/data/\"in\".csv");
  import.SetShowProgress(true);
  import.TrailerData()->Add("");
  import.SetTrailerRecords(-1);
  import.SetTrailerStored(true);

  exporter.SetCustomSeparator(";");
  exporter.SetDataSet(&orders);
  exporter.SetDelimitedFields(dfTextOnly);
  exporter.SetExportType(expFixed);
  exporter.SetFieldDelimiter(fdlSingle);
  exporter.FieldList()->Add("Id");
  exporter.SetFieldListAction(flaInclude);
  exporter.SetFieldSeparator(fspNone);
  TStringList header{Odd(), AllBytes()};
  exporter.SetHeaderData(&header);
  exporter.SetHeaderOutput(true);
  exporter.SetNumericAlign(naRight);
  exporter.SetDialect(dlStandard);
  exporter.SetByteOrderMark(true);
  exporter.SetOutputFile("out\tfile");
  exporter.SetRecordSeparator(rsLF);
  exporter.SetShowProgress(true);
  TStringList trailer{"end of data", "\r\n"};
  exporter.SetTrailerData(&trailer);
  exporter.SetTrailerOutput(true);

  TComponent* both[] = {&import, &exporter};
  std::string text = WriteSettings(both);

  TCSVImport import2(nullptr);
  import2.SetName("Import");
  TCSVExport export2(nullptr);
  export2.SetName("Export");
  TComponent* targets[] = {&export2, &import2};
  ReadSettings(text, targets, lookup);
  EXPECT_EQ(StoredTexts(import2), StoredTexts(import));
  EXPECT_EQ(StoredTexts(export2), StoredTexts(exporter));
  EXPECT_EQ(import2.DataSet(), &orders);
  EXPECT_EQ(import2.CustomSeparator(), "\xff");
  EXPECT_EQ(Items(import2.HeaderData()), Items(import.HeaderData()));
  EXPECT_EQ(Items(export2.HeaderData()), (std::vector<std::string>{Odd(), AllBytes()}));
  TComponent* again[] = {&import2, &export2};
  EXPECT_EQ(WriteSettings(again), text);

  auto created = LoadComponents(text, lookup);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(StoredTexts(*created[0]), StoredTexts(import));
  EXPECT_EQ(dynamic_cast<TCSVExport&>(*created[1]).DataSet(), &orders);
}

TEST_F(ComponentSettingsTest, AStoredDataSetMustBeKnownAndADataSet) {
  std::string text =
      "korvane-settings 1\ncomponent TCSVImport \"I\" {\n  DataSet = \"Orders\"\n}\n"
      "component TCSVExport \"Export\" {\n}\nend\n";
  EXPECT_THROW(LoadComponents(text), ESettingsError);  // no dataset of that name
  std::string wrong = text;
  wrong.replace(wrong.find("\"Orders\""), 8, "\"Export\"");
  try {
    LoadComponents(wrong, lookup);
    ADD_FAILURE() << "an export accepted as a dataset";
  } catch (const ESettingsError& e) {
    EXPECT_EQ(e.Message(),
              "line 3: DataSet refers to 'Export', a TCSVExport, which is not a TDataSet");
  }
}

#ifdef KORVANE_WITH_SQLITE
TEST_F(ComponentSettingsTest, AFileCanHoldTheDataSetItsComponentsReferTo) {
  RegisterClass(ComponentClass<TSQLiteDataSet>());
  std::string text =
      "korvane-settings 1\n"
      "component TSQLiteDataSet \"People\" {\n"
      "  DatabaseFile = \"/data/people.db\"\n"
      "  TableName = \"people\"\n"
      "  Columns = [\n    \"id INTEGER PRIMARY KEY\"\n    \"name TEXT\"\n  ]\n"
      "}\n"
      "component TCSVImport \"Load\" {\n  DataSet = \"people\"\n  InputFile = \"p.csv\"\n}\n"
      "component TCSVExport \"Dump\" {\n  DataSet = \"People\"\n}\n"
      "end\n";
  auto created = LoadComponents(text);
  ASSERT_EQ(created.size(), 3u);
  auto* people = dynamic_cast<TSQLiteDataSet*>(created[0].get());
  ASSERT_NE(people, nullptr);
  EXPECT_EQ(people->TableName(), "people");
  EXPECT_EQ(Items(people->Columns()),
            (std::vector<std::string>{"id INTEGER PRIMARY KEY", "name TEXT"}));
  EXPECT_EQ(dynamic_cast<TCSVImport&>(*created[1]).DataSet(), people);
  EXPECT_EQ(dynamic_cast<TCSVExport&>(*created[2]).DataSet(), people);
  std::vector<TComponent*> all = {created[0].get(), created[1].get(), created[2].get()};
  std::string written = WriteSettings(all);
  EXPECT_NE(written.find("  DataSet = \"People\"\n"), std::string::npos);
  EXPECT_EQ(CheckSettingsRoundTrip(written).Failure, "");
  UnregisterClass(ComponentClass<TSQLiteDataSet>());
}
#endif

TEST_F(ComponentSettingsTest, SetByNameTakesThePublishedNamesAndIdentifiers) {
  for (auto [name, value] :
       std::initializer_list<std::pair<const char*, const char*>>{{"FieldSeparator", "fspComma"},
                                                                  {"FieldDelimiter", "fdlDouble"},
                                                                  {"HeaderRecords", "1"},
                                                                  {"HeaderStored", "true"},
                                                                  {"FieldList", "Name"},
                                                                  {"FieldList", "City"},
                                                                  {"DataSet", "Orders"},
                                                                  {"CustomSeparator", " ; "}}) {
    SetPropertyByName(import, name, value, lookup);
  }
  EXPECT_EQ(import.FieldSeparator(), fspComma);
  EXPECT_EQ(import.FieldDelimiter(), fdlDouble);
  EXPECT_EQ(import.HeaderRecords(), 1);
  EXPECT_TRUE(import.HeaderStored());
  EXPECT_EQ(Items(import.FieldList()), (std::vector<std::string>{"Name", "City"}));
  EXPECT_EQ(import.DataSet(), &orders);
  EXPECT_EQ(import.CustomSeparator(), ";");  // the component's own setter still runs
  EXPECT_THROW(SetPropertyByName(import, "ErrorRecords", "0"), EPropertyError);
  EXPECT_THROW(SetPropertyByName(exporter, "RecordSeparator", "rsLFCR"), EPropertyError);
}

TEST_F(ComponentSettingsTest, MutatedComponentFilesAreRefusedOrRoundTrip) {
  import.FieldList()->Add("A");
  import.HeaderData()->Add(AllBytes());
  exporter.TrailerData()->Add("x");
  TComponent* both[] = {&import, &exporter};
  std::string seed = WriteSettings(both);
  std::mt19937 rng(7);  // fixed: the same mutations on every run
  int accepted = 0;
  // Enough rounds that a good many mutations of a file this long still
  // read.
  for (int round = 0; round < 5000; ++round) {
    std::string text = seed;
    for (int e = 0; e < 2; ++e) {
      std::size_t at = rng() % (text.size() + 1);
      switch (rng() % 3) {
        case 0:
          text.insert(at, 1, static_cast<char>(rng() & 0xFF));
          break;
        case 1:
          text.erase(at, rng() % 6);
          break;
        default:
          text.insert(at, (rng() % 2) ? "\"" : "\n");
          break;
      }
    }
    TRoundTripOutcome outcome = CheckSettingsRoundTrip(text);
    ASSERT_EQ(outcome.Failure, "") << text;
    accepted += outcome.Accepted;
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
}  // namespace korvane
