#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "data/db.h"

namespace korvane {
namespace {

std::string DatabaseErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

// Name (string) and Qty (integer), optionally pre-filled.
class DataSetTest : public ::testing::Test {
 protected:
  DataSetTest() { data.SetFieldDefs({{"Name", ftString, 10}, {"Qty", ftInteger}}); }

  // The Name of every record, walking from the first.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (data.First(); !data.Eof(); data.Next()) names.push_back(data.Fields(0)->AsString());
    return names;
  }

  TMemoryDataSet data;
};

TEST_F(DataSetTest, OpenAppendPostAndWalkInAppendOrder) {
  EXPECT_FALSE(data.Active());
  EXPECT_EQ(data.State(), dsInactive);
  data.Open();
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_TRUE(data.Eof());
  EXPECT_TRUE(data.Bof());
  EXPECT_TRUE(data.IsEmpty());

  for (const char* name : {"a", "b", "c"}) {
    data.Append();
    EXPECT_EQ(data.State(), dsInsert);
    EXPECT_TRUE(data.FieldByName("name")->IsNull()) << "a new record starts null";
    data.FieldByName("Name")->SetAsString(name);
    data.Post();
    EXPECT_EQ(data.State(), dsBrowse);
    EXPECT_EQ(data.Fields(0)->AsString(), name) << "the posted record is current";
  }
  EXPECT_EQ(data.RecordCount(), 3);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b", "c"}));

  data.First();
  data.Next();
  data.Next();
  EXPECT_FALSE(data.Eof());
  data.Next();
  EXPECT_TRUE(data.Eof());
  EXPECT_EQ(data.Fields(0)->AsString(), "c") << "Next past the end stays on the last record";
}

TEST_F(DataSetTest, WritesOutsideInsertOrEditAndUnknownFieldsRaise) {
  EXPECT_EQ(DatabaseErrorOf([&] { data.FieldByName("Nope"); }), "Field 'Nope' not found");
  EXPECT_EQ(data.FindField("nope"), nullptr);
  EXPECT_THROW(data.Append(), EDatabaseError) << "closed";
  EXPECT_THROW(data.First(), EDatabaseError) << "closed";
  data.Open();
  EXPECT_EQ(DatabaseErrorOf([&] { data.Fields(0)->SetAsString("x"); }),
            "Dataset not in edit or insert mode");
  EXPECT_THROW(data.Post(), EDatabaseError);
  EXPECT_THROW(data.Fields(2), EListError);
  EXPECT_THROW(data.AddFieldDef("Late", ftString), EDatabaseError) << "open";
}

TEST_F(DataSetTest, CancelDiscardsTheNewRecordAndShowsThePreviousOne) {
  data.AppendRecord({"first", "1"});
  data.Append();
  data.Fields(0)->SetAsString("dropped");
  data.Cancel();
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_EQ(data.RecordCount(), 1);
  EXPECT_EQ(data.Fields(0)->AsString(), "first");
  EXPECT_EQ(data.Fields(1)->AsInteger(), 1);
}

TEST_F(DataSetTest, RefusedPostStaysInInsertUntilCancelled) {
  data.AppendRecord({"kept"});
  data.SetBeforePost([](TDataSet* ds) {
    if (ds->FieldByName("Qty")->AsInteger() < 0) throw EDatabaseError("negative quantity");
  });
  data.Append();
  data.FieldByName("Qty")->SetAsInteger(-1);
  EXPECT_EQ(DatabaseErrorOf([&] { data.Post(); }), "negative quantity");
  EXPECT_EQ(data.State(), dsInsert);
  EXPECT_EQ(data.RecordCount(), 1);
  data.FieldByName("Qty")->SetAsInteger(2);  // still writable: the record can be mended
  data.Cancel();
  EXPECT_EQ(data.RecordCount(), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"kept"}));

  EXPECT_THROW(data.AppendRecord({"bad", "-5"}), EDatabaseError);
  data.AppendRecord({"good", "5"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"kept", "good"}));
}

TEST_F(DataSetTest, RequiredFieldMustHaveAValue) {
  TMemoryDataSet ds;
  ds.AddFieldDef("Id", ftInteger, 0, /*required=*/true);
  ds.Open();
  ds.Append();
  EXPECT_EQ(DatabaseErrorOf([&] { ds.Post(); }), "Field 'Id' must have a value");
  ds.Fields(0)->SetAsInteger(1);
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST_F(DataSetTest, RequiredFollowsEveryChangeOfTheFieldsAndTheirFlags) {
  TMemoryDataSet ds;
  ds.SetFieldDefs({{"Id", ftInteger}, {"Name", ftString, 10}});
  ds.Open();
  TField* name = ds.Fields(1);
  // Setting or clearing the flag again changes nothing.
  name->SetRequired(true);
  name->SetRequired(true);
  name->SetRequired(false);
  ds.Append();
  ds.Post();
  name->SetRequired(false);
  name->SetRequired(true);
  ds.Append();
  EXPECT_EQ(DatabaseErrorOf([&] { ds.Post(); }), "Field 'Name' must have a value");
  ds.Cancel();
  ds.Close();
  // Fields made anew in place of a required one are optional; the required
  // fields that go are no longer counted.
  ds.SetFieldDefs({{"Id", ftInteger}, {"Name", ftString, 10}});
  ds.Open();
  ds.Append();
  ds.Post();
  ds.Fields(0)->SetRequired(true);
  ds.Append();
  EXPECT_EQ(DatabaseErrorOf([&] { ds.Post(); }), "Field 'Id' must have a value");
  ds.Fields(0)->SetAsInteger(3);
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 2);
}

TEST_F(DataSetTest, ReadOnlyDataSetCanBeWalkedButNotAppendedTo) {
  data.AppendRecord({"x"});
  data.SetReadOnly(true);
  EXPECT_FALSE(data.CanModify());
  EXPECT_EQ(DatabaseErrorOf([&] { data.Append(); }), "Cannot modify a read-only dataset");
  EXPECT_THROW(data.Edit(), EDatabaseError);
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_EQ(Names(), (std::vector<std::string>{"x"}));
}

TEST_F(DataSetTest, FailingOpenRaisesItsMessageAndStaysClosed) {
  data.SetOpenError("database is locked");
  EXPECT_EQ(DatabaseErrorOf([&] { data.Open(); }), "database is locked");
  EXPECT_FALSE(data.Active());
  EXPECT_FALSE(data.CanModify());
  data.SetOpenError("");
  data.SetActive(true);
  EXPECT_TRUE(data.Active());
}

TEST_F(DataSetTest, CloseDiscardsAPendingRecordAndKeepsStoredOnes) {
  data.AppendRecord({"stored"});
  data.Append();
  data.Fields(0)->SetAsString("pending");
  data.Close();
  EXPECT_EQ(data.State(), dsInactive);
  EXPECT_TRUE(data.Fields(0)->IsNull());
  data.Open();
  EXPECT_EQ(Names(), (std::vector<std::string>{"stored"}));
  data.EmptyDataSet();
  EXPECT_TRUE(data.IsEmpty());
  EXPECT_EQ(data.RecordCount(), 0);
}

TEST_F(DataSetTest, EditChangesTheCurrentRecordAndCancelPutsItBack) {
  data.AppendRecord({"a", "1"});
  data.AppendRecord({"b", "2"});
  data.First();
  data.Edit();
  data.Fields(0)->SetAsString("A");
  data.Post();
  data.Next();
  data.Edit();
  data.Fields(0)->SetAsString("lost");
  data.Cancel();
  EXPECT_EQ(data.Fields(0)->AsString(), "b");
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "b"}));
}

TEST_F(DataSetTest, NavigatingWhileInsertingPostsTheRecord) {
  data.Open();
  data.Append();
  data.Fields(0)->SetAsString("implicit");
  data.First();
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_EQ(data.RecordCount(), 1);
}

TEST_F(DataSetTest, AppendRecordConvertsTextsAndCancelsOnFailure) {
  data.AppendRecord({"n", " 12 "});
  EXPECT_EQ(std::get<std::int64_t>(data.FieldValue(0, "Qty")), 12);
  EXPECT_THROW(data.AppendRecord({"n", "twelve"}), EConvertError);
  EXPECT_THROW(data.AppendRecord({"a", "1", "extra"}), EDatabaseError);
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_EQ(data.RecordCount(), 1);
  data.AppendData({std::string("raw"), std::int64_t{9}});
  EXPECT_EQ(std::get<std::string>(data.FieldValue(1, 0)), "raw");
  EXPECT_THROW(data.FieldValue(2, 0), EDatabaseError);
  EXPECT_THROW(data.FieldValue(0, "Nope"), EDatabaseError);
}

TEST_F(DataSetTest, StoredRecordsStayIntactAcrossManyAppends) {
  const int n = 10000;  // several storage chunks
  data.Open();
  for (int i = 0; i < n; ++i) {
    data.Append();
    data.Fields(0)->SetAsString("name number " + std::to_string(i));
    data.Fields(1)->SetAsInteger(i);
    data.Post();
  }
  EXPECT_EQ(data.RecordCount(), n);
  int expected = 0;
  for (data.First(); !data.Eof(); data.Next()) {
    ASSERT_EQ(data.Fields(1)->AsInteger(), expected);
    ASSERT_EQ(data.Fields(0)->AsString(), "name number " + std::to_string(expected));
    ++expected;
  }
  EXPECT_EQ(expected, n);
}

// Texts of every length class the store meets (empty, one-byte and
// multi-byte length prefixes, zero bytes, larger than a storage block),
// edits that shrink and grow a stored text, and nulls, read back by walking
// and by random access after the records were spread over many chunks.
TEST(MemoryDataSet, PackedRecordsKeepEveryValueThroughEditsAndReloads) {
  TMemoryDataSet ds;
  ds.SetFieldDefs({{"Text", ftMemo},
                   {"Qty", ftLargeint},
                   {"Amount", ftFloat},
                   {"Flag", ftBoolean},
                   {"Short", ftString, 20}});
  // Short texts of every length up to 17, each one shorter than the one
  // before until they start again at 17.
  auto shortText = [](int i) {
    std::string text;
    for (int k = 0; k < 17 - i % 18; ++k) text += static_cast<char>('a' + (i + k) % 26);
    return text;
  };
  ds.Open();
  const std::string texts[] = {"", "x", std::string(200, 'y'), std::string("a\0b", 3),
                               std::string(20000, 'z')};
  const std::string huge(9 << 20, 'w');
  const int n = 30000;
  for (int i = 0; i < n; ++i) {
    ds.Append();
    if (i % 7 != 3) ds.Fields(0)->SetAsString(i == 4097 ? huge : texts[i % 5]);
    if (i % 5 != 0) ds.Fields(1)->SetAsLargeInt(std::int64_t{i} * -3000000000LL);
    ds.Fields(2)->SetAsFloat(i + 0.25);
    ds.Fields(3)->SetAsBoolean(i % 2 == 0);
    ds.Fields(4)->SetAsString(shortText(i));
    ds.Post();
  }
  // Shrink one text in place, grow another past its room, clear a third.
  // Record 4 gives up a large text, whose room record 12 then takes.
  for (int i : {7, 202, 14000, 4, 12}) {
    ds.First();
    for (int k = 0; k < i; ++k) ds.Next();
    ds.Edit();
    if (i == 7) ds.Fields(0)->SetAsString("short");
    if (i == 202) ds.Fields(0)->SetAsString(std::string(300, 'g'));
    if (i == 14000) ds.Fields(1)->Clear();
    if (i == 4) ds.Fields(0)->SetAsString("tiny");
    if (i == 12) ds.Fields(0)->SetAsString(std::string(30000, 'q'));
    ds.Post();
  }
  auto expectedText = [&](int i) -> std::string {
    if (i == 7) return "short";
    if (i == 4) return "tiny";
    if (i == 12) return std::string(30000, 'q');
    if (i == 202) return std::string(300, 'g');
    if (i == 4097) return huge;
    return i % 7 == 3 ? "" : texts[i % 5];
  };
  int i = 0;
  for (ds.First(); !ds.Eof(); ds.Next(), ++i) {
    ASSERT_EQ(ds.Fields(0)->AsString(), expectedText(i)) << i;
    ASSERT_EQ(ds.Fields(0)->IsNull(), i % 7 == 3) << i;
    ASSERT_EQ(ds.Fields(1)->IsNull(), i % 5 == 0 || i == 14000) << i;
    if (!ds.Fields(1)->IsNull()) {
      ASSERT_EQ(ds.Fields(1)->AsLargeInt(), std::int64_t{i} * -3000000000LL);
    }
    ASSERT_EQ(ds.Fields(2)->AsFloat(), i + 0.25);
    ASSERT_EQ(ds.Fields(3)->AsBoolean(), i % 2 == 0);
    ASSERT_EQ(ds.Fields(4)->AsString(), shortText(i)) << i;
  }
  EXPECT_EQ(i, n);
  for (int r : {n - 1, 0, 202, 4097, 7, 4, 12}) {
    EXPECT_EQ(std::get<std::string>(ds.FieldValue(r, 0)), expectedText(r)) << r;
  }
  EXPECT_TRUE(std::holds_alternative<std::monostate>(ds.FieldValue(14000, 1)));
  // Emptied and refilled, the dataset starts from nothing.
  ds.EmptyDataSet();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Fields(0)->IsNull());
  ds.AppendRecord({"again", "7"});
  EXPECT_EQ(std::get<std::int64_t>(ds.FieldValue(0, 1)), 7);
}

// A backend that keeps copies of what is posted and leaves the current
// record to the base class, as database backends do.
class TCopyingDataSet : public TDataSet {
 public:
  TCopyingDataSet() : TDataSet(nullptr) {
    AddField("Name", ftString, 40);
    AddField("Note", ftMemo);
    AddField("Qty", ftInteger);
  }
  ~TCopyingDataSet() override { Close(); }
  std::vector<std::vector<TFieldData>> Posted;

 protected:
  void InternalOpen() override {}
  void InternalClose() override {}
  bool InternalFirst() override { return false; }
  bool InternalNext() override { return false; }
  void InternalPost() override { Posted.push_back(EditBuffer()); }
};

TEST(DataSetBuffers, NewRecordsStartNullWhileTextBuffersAreReused) {
  TCopyingDataSet ds;
  ds.Open();
  TField* name = ds.Fields(0);
  TField* note = ds.Fields(1);
  TField* qty = ds.Fields(2);
  for (int i = 0; i < 50; ++i) {
    ds.Append();
    ASSERT_TRUE(name->IsNull() && note->IsNull() && qty->IsNull()) << i;
    const std::string long_text = "a name long enough for the heap " + std::to_string(i);
    if (i % 3 != 2) name->SetAsString(i % 3 == 0 ? long_text : "short");
    note->SetAsString(std::string(static_cast<std::size_t>(i) * 7, 'x'));
    qty->SetAsInteger(i);
    ds.Post();
    // The posted record is the current one.
    ASSERT_EQ(name->AsString(), i % 3 == 0 ? long_text : i % 3 == 1 ? "short" : "") << i;
    ASSERT_EQ(name->IsNull(), i % 3 == 2);
    ASSERT_EQ(note->AsString(), std::string(static_cast<std::size_t>(i) * 7, 'x'));
  }
  ASSERT_EQ(ds.Posted.size(), 50u);
  for (std::size_t i = 0; i < ds.Posted.size(); ++i) {
    const auto& rec = ds.Posted[i];
    EXPECT_EQ(std::holds_alternative<std::monostate>(rec[0]), i % 3 == 2) << i;
    if (i % 3 == 0) {
      EXPECT_EQ(std::get<std::string>(rec[0]),
                "a name long enough for the heap " + std::to_string(i));
    }
    EXPECT_EQ(std::get<std::int64_t>(rec[2]), static_cast<std::int64_t>(i));
  }
  // A cancelled record leaves the last posted one showing, whole.
  ds.Append();
  name->SetAsString("another name long enough for the heap");
  ds.Cancel();
  EXPECT_EQ(name->AsString(), "short");
  EXPECT_EQ(note->AsString(), std::string(49 * 7, 'x'));
  EXPECT_EQ(qty->AsInteger(), 49);
}

TEST(DataSetBuffers, ALentBufferHoldingTheTextBecomesTheValueWithoutACopy) {
  TCopyingDataSet ds;
  ds.Open();
  const std::string lent(100, 'q');
  struct TCase {
    int Field;
    bool WriteLent;  // the lent buffer's own bytes, else Text
    std::string Text;
    bool Taken;  // the write kept the buffer
  };
  const TCase cases[] = {
      {0, true, "", true},
      {0, false, std::string(60, 'o'), true},  // copied into the buffer
      {0, false, "short", false},
      {2, false, "12", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.WriteLent ? "the lent bytes" : c.Text);
    ds.Append();
    std::string buffer = lent;
    const std::string_view bytes = buffer;
    ds.LendTextBuffer(c.Field, std::move(buffer));
    TField* field = ds.Fields(c.Field);
    field->SetAsString(c.WriteLent ? bytes : c.Text);
    const std::string back = ds.TakeLentText(c.Field);
    EXPECT_EQ(field->AsString(), c.WriteLent ? lent : c.Text);
    if (c.Taken) {
      EXPECT_TRUE(back.empty());
      EXPECT_EQ(std::get<std::string>(field->Data()).data(), bytes.data());
    } else {
      EXPECT_EQ(back, lent);
      EXPECT_EQ(back.data(), bytes.data());
    }
    ds.Post();
  }
  EXPECT_EQ(std::get<std::string>(ds.Posted[0][0]), lent);
  EXPECT_THROW(ds.LendTextBuffer(3, std::string(lent)), EListError);
}

TEST(MemoryDataSet, AutoIncFieldsNumberNewRecords) {
  TMemoryDataSet ds;
  ds.SetFieldDefs({{"Id", ftAutoInc}, {"V", ftString, 5}});
  ds.AppendRecord({"", "a"});
  ds.AppendRecord({"10", "b"});
  ds.AppendRecord({"", "c"});
  EXPECT_EQ(std::get<std::int64_t>(ds.FieldValue(0, 0)), 1);
  EXPECT_EQ(std::get<std::int64_t>(ds.FieldValue(1, 0)), 10);
  EXPECT_EQ(std::get<std::int64_t>(ds.FieldValue(2, 0)), 11);
}

TEST(MemoryDataSet, DuplicateFieldNamesAreRefused) {
  TMemoryDataSet ds;
  EXPECT_THROW(ds.SetFieldDefs({{"A", ftString, 1}, {"a", ftInteger}}), EDatabaseError);
  EXPECT_EQ(ds.FieldCount(), 0);
}

// Blob streams on a memo field of a record being inserted.
class BlobStreamTest : public ::testing::Test {
 protected:
  BlobStreamTest() {
    data.SetFieldDefs({{"Memo", ftMemo}, {"Num", ftInteger}});
    data.Open();
    data.Append();
    memo = data.Fields(0);
  }

  std::string ReadAll(TBlobStream& s) {
    std::string out(static_cast<std::size_t>(s.Size()), '?');
    s.Seek(0, TBlobStream::soFromBeginning);
    s.Read(out.data(), s.Size());
    return out;
  }

  TMemoryDataSet data;
  TField* memo = nullptr;
};

TEST_F(BlobStreamTest, ReadWriteKeepsTheContentAndAppendsAtTheEnd) {
  memo->SetAsString("ab");
  {
    TBlobStream s(memo, bmReadWrite);
    EXPECT_EQ(s.Size(), 2);
    EXPECT_EQ(s.Seek(0, TBlobStream::soFromEnd), 2);
    s.Write("cd", 2);
    EXPECT_EQ(memo->AsString(), "ab") << "stored only when the stream is freed";
  }
  EXPECT_EQ(memo->AsString(), "abcd");
  data.Post();
  EXPECT_EQ(std::get<std::string>(data.FieldValue(0, 0)), "abcd");
}

TEST_F(BlobStreamTest, WriteModeStartsEmptyAndSeekingPastTheEndFillsWithZeros) {
  memo->SetAsString("old content");
  {
    TBlobStream s(memo, bmWrite);
    EXPECT_EQ(s.Size(), 0);
    s.Seek(2, TBlobStream::soFromBeginning);
    s.Write("x", 1);
    s.Seek(-1, TBlobStream::soFromCurrent);
    s.Write("yz", 2);
  }
  EXPECT_EQ(memo->AsString(), std::string("\0\0yz", 4));
}

TEST_F(BlobStreamTest, ReadModeReadsAndRefusesWrites) {
  memo->SetAsString("hello");
  TBlobStream s(memo, bmRead);
  char buf[8] = {};
  s.Seek(-3, TBlobStream::soFromEnd);
  EXPECT_EQ(s.Read(buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "llo");
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_THROW(s.Write("x", 1), EDatabaseError);
  EXPECT_THROW(s.Seek(-6, TBlobStream::soFromEnd), EDatabaseError);
  s.Seek(1, TBlobStream::soFromBeginning);
  EXPECT_THROW(s.Seek(INT64_MAX, TBlobStream::soFromCurrent), EDatabaseError);
  EXPECT_EQ(s.Position(), 1) << "a refused seek leaves the position";
  EXPECT_EQ(ReadAll(s), "hello");
}

TEST_F(BlobStreamTest, CommitRaisesWhenTheFieldCanNoLongerBeWritten) {
  TBlobStream s(memo, bmReadWrite);
  s.Write("late", 4);
  data.Cancel();
  EXPECT_THROW(s.Commit(), EDatabaseError);
  // The destructor then gives up silently.
}

TEST_F(BlobStreamTest, OnlyBlobFieldsAndWritableFieldsTakeAStream) {
  EXPECT_THROW(TBlobStream(data.Fields(1), bmRead), EDatabaseError);
  memo->SetReadOnly(true);
  EXPECT_THROW(TBlobStream(memo, bmReadWrite), EDatabaseError);
  TBlobStream reader(memo, bmRead);  // reading is fine
  EXPECT_EQ(reader.Size(), 0);
}

}  // namespace
}  // namespace korvane
