// TCSVImport as a host sees it: its properties and complete runs against an
// in-memory dataset and real files.
#include "src/kvcsvimp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

TEST(ImportProperties, StartValuesAreTheDocumentedOnes) {
  TCSVImport imp(nullptr);
  EXPECT_EQ(imp.CustomSeparator(), "");
  EXPECT_EQ(imp.DataSet(), nullptr);
  EXPECT_EQ(imp.DelimitedFields(), dfAll);
  EXPECT_EQ(imp.ErrorRecords(), 0);
  EXPECT_EQ(imp.FieldDelimiter(), fdlNone);
  ASSERT_NE(imp.FieldList(), nullptr);
  EXPECT_EQ(imp.FieldList()->Count(), 0);
  EXPECT_EQ(imp.FieldListAction(), flaNone);
  EXPECT_EQ(imp.FieldSeparator(), fspPipe);
  ASSERT_NE(imp.HeaderData(), nullptr);
  EXPECT_EQ(imp.HeaderData()->Count(), 0);
  EXPECT_EQ(imp.HeaderRecords(), 0);
  EXPECT_FALSE(imp.HeaderStored());
  EXPECT_EQ(imp.ImportType(), impDelimited);
  EXPECT_EQ(imp.InputFile(), "");
  EXPECT_FALSE(imp.OnBeginImport());
  EXPECT_FALSE(imp.OnFinishImport());
  EXPECT_FALSE(imp.OnImportRecord());
  EXPECT_FALSE(imp.ShowProgress());
  ASSERT_NE(imp.TrailerData(), nullptr);
  EXPECT_EQ(imp.TrailerData()->Count(), 0);
  EXPECT_EQ(imp.TrailerRecords(), 0);
  EXPECT_FALSE(imp.TrailerStored());
  EXPECT_EQ(imp.Version(), "1.32");
  EXPECT_EQ(imp.ProgressWindow(), nullptr);
}

TEST(ImportProperties, FieldListIsCopiedNeverShared) {
  TCSVImport imp(nullptr);
  TStringList host{"Name", "City"};
  imp.SetFieldList(&host);
  host.Add("Amount");
  host.SetStrings(0, "changed");
  EXPECT_EQ(imp.FieldList()->Count(), 2);
  EXPECT_EQ(imp.FieldList()->Strings(0), "Name");
  EXPECT_NE(imp.FieldList(), &host);
  imp.SetFieldList(nullptr);
  EXPECT_EQ(imp.FieldList()->Count(), 0);
}

TEST(ImportProperties, ResultListsAndVersionIgnoreAssignments) {
  TCSVImport imp(nullptr);
  TStringList host{"x"};
  TStrings* header = imp.HeaderData();
  imp.SetHeaderData(&host);
  imp.SetTrailerData(&host);
  EXPECT_EQ(imp.HeaderData(), header);
  EXPECT_EQ(imp.HeaderData()->Count(), 0);
  EXPECT_EQ(imp.TrailerData()->Count(), 0);
  imp.SetVersion("2.0");
  EXPECT_EQ(imp.Version(), "1.32");
}

TEST(ImportProperties, OwnerFreesTheComponent) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* imp = new TCSVImport(owner.get());
  EXPECT_EQ(imp->Owner(), owner.get());
  EXPECT_EQ(owner->ComponentCount(), 1);
  owner.reset();  // frees imp with its lists; the sanitizer build sees leaks
}

}  // namespace
}  // namespace korvane
