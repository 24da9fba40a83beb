#include "core/classes.h"

#include <gtest/gtest.h>

#include "ui/dialogs.h"
#include "core/sysutils.h"
#include "text/formats.h"
#include "components/kvenums.h"

namespace korvane {
namespace {

// Counts destructions so ownership can be observed.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, int* destroyed) : TComponent(owner), FDestroyed(destroyed) {}
  ~Probe() override { ++*FDestroyed; }

 private:
  int* FDestroyed;
};

TEST(ComponentOwnership, OwnerFreesWhatItOwnsAndOwnedLeavesCleanly) {
  int destroyed = 0;
  {
    TComponent owner(nullptr);
    auto* a = new Probe(&owner, &destroyed);
    auto* b = new Probe(a, &destroyed);  // grandchild
    new Probe(&owner, &destroyed);
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(b->Owner(), a);
    delete a;  // freed first: leaves its owner and takes b with it
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(owner.ComponentCount(), 1);
  }
  EXPECT_EQ(destroyed, 3);
}

TEST(ComponentOwnership, FindComponentIsCaseInsensitive) {
  TComponent owner(nullptr);
  auto* c = new TComponent(&owner);
  c->SetName("Import1");
  EXPECT_EQ(owner.FindComponent("IMPORT1"), c);
  EXPECT_EQ(owner.FindComponent("Import"), nullptr);
  EXPECT_THROW(owner.Components(1), EListError);
}

TEST(StringList, AddDeleteAssignAndIndexOf) {
  TStringList list;
  list.Add("CustName");
  list.Add("city");
  list.Add("CustName ");
  EXPECT_EQ(list.IndexOf("CUSTNAME"), 0);
  EXPECT_EQ(list.IndexOf("City"), 1);
  EXPECT_EQ(list.IndexOf("Cust"), -1);
  EXPECT_EQ(list.IndexOf("CustName=1"), -1);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0], "city");
  EXPECT_THROW(list.Delete(5), EListError);
  TStringList copy;
  copy.Add("old");
  copy.Assign(list);
  list.Clear();
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy[1], "CustName ");
  copy.Assign(copy);
  EXPECT_EQ(copy.Count(), 2);
}

TEST(SameText, FoldsUtf8LettersAndFallsBackToBytesForInvalidText) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"CustName", "custNAME", true},
      {"\xC3\x89tat", "\xC3\xA9tat", true},                            // État, état
      {"\xC3\x89TAT", "\xC3\xA9tat", true},                            // ÉTAT, état
      {"\xCE\xA3\xCE\xB5", "\xCF\x83\xCE\xB5", true},                  // Σε, σε
      {"\xD0\x98\xD0\xBC\xD1\x8F", "\xD0\xB8\xD0\x9C\xD0\xAF", true},  // Имя, иМЯ
      {"\xE2\x84\xAA", "k", true},                                     // Kelvin sign, k
      {"\xC3\x9F", "SS", false},                                       // ß needs the full folding
      {"\xC3\x89tat", "Etat", false},
      {"\xC3\x89tat", "\xC3\x89ta", false},
      {"ab", "ab\xC3\xA9", false},
      // Not UTF-8: a to z fold, other bytes must match.
      {"\xC9tat", "\xC9TAT", true},
      {"\xC9tat", "\xE9tat", false},
      {"\xC3\x89tat\xFF", "\xC3\xA9tat\xFF", false},
      {"\xC0\x80", "\xC0\x80", true},  // overlong, same bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameText(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(SameText(c.b, c.a), c.same) << c.b << " / " << c.a;
  }
  TStringList names{"Nom", "\xC3\x89tat"};
  EXPECT_EQ(names.IndexOf("\xC3\xA9TAT"), 1);
}

TEST(TextHelpers, TrimUpperCaseAndIntToStr) {
  EXPECT_EQ(Trim(std::string("\t\x01 a b \r\n", 9)), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_TRUE(IsBlank(std::string("\0 \x1f", 3)));
  EXPECT_FALSE(IsBlank(" x "));
  EXPECT_EQ(UpperCase("abz\xe9{"), "ABZ\xe9{");
  EXPECT_EQ(IntToStr(-2147483648LL), "-2147483648");
  EXPECT_EQ(StrToInt(" +42 "), 42);
  EXPECT_THROW(StrToInt("4x2"), EConvertError);
  EXPECT_THROW(StrToInt("99999999999"), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_EQ(StrToInt64(" -9223372036854775808\t"), INT64_MIN);
  for (const char* text : {"9223372036854775808", "+-5", "5.", "1,000", "- 5"}) {
    EXPECT_THROW(StrToInt64(text), EConvertError) << text;
  }
}

TEST(MessageDialogs, HandlerReceivesEveryCallAndIsRestored) {
  std::vector<std::string> seen;
  {
    TScopedMessageHandler capture(
        [&](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int help) {
          seen.push_back(text + "|" + MsgDlgTypeCaption(type) + "|" +
                         (buttons == TMsgDlgButtons{mbOK} ? "ok" : "?") + "|" + IntToStr(help));
          return static_cast<int>(mrOk);
        });
    EXPECT_EQ(MessageDlg("Data conversion error!", mtError, {mbOK}, 0), mrOk);
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "Data conversion error!|Error|ok|0");
  TMessageHandler none = SetMessageHandler({});
  EXPECT_FALSE(none);
}

TEST(Enumerations, OrdinalsOneByteAndIdentifiersRoundTrip) {
  static_assert(sizeof(TFieldSeparator) == 1 && sizeof(TProgressCalc) == 1);
  EXPECT_EQ(static_cast<int>(fspNone), 4);
  EXPECT_EQ(static_cast<int>(rsLF), 2);
  EXPECT_EQ(EnumToString(fspComma), "fspComma");
  EXPECT_EQ(StringToEnum<TFieldSeparator>("fspComma"), fspComma);
  EXPECT_EQ(StringToEnum<TRecordSeparator>("rsCR"), rsCR);
  EXPECT_EQ(EnumToString(static_cast<TExportType>(7)), "7");
  try {
    StringToEnum<TFieldDelimiter>("fdlTriple");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(),
                 "'fdlTriple' is not a valid TFieldDelimiter identifier (expected one of "
                 "fdlNone, fdlSingle, fdlDouble)");
  }
  EXPECT_FALSE(TryStringToEnum<TFieldListAction>("FLAINCLUDE").has_value());
}

}  // namespace
}  // namespace korvane
