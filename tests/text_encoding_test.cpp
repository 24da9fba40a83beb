// Text encodings: exports written in an encoding and imported back from it,
// UTF-8 checked, and the bad input each side must refuse with a reason.
#include "io/text_encoding.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "support/captured_messages.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::TTempDir;

// The C library's own conversion, for comparing against.
std::string Iconv(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no converter>";
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return "<cannot convert>";
  out.resize(out.size() - outLeft);
  return out;
}

class EncodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.AddFieldDef("A", ftString, 10);
    data_.AddFieldDef("B", ftString, 100);
    data_.Open();
    imp_.SetDataSet(&data_);
    imp_.SetFieldSeparator(fspComma);
    imp_.SetDialect(dlStandard);
    imp_.SetFieldDelimiter(fdlDouble);
    imp_.SetValueErrors(veStrict);
    imp_.SetOnRecordError([this](TObject*, const TRecordError& error) {
      EXPECT_EQ(error.Reason, rerInvalidText);
      reasons_.push_back(error.Message);
    });
    exp_.SetDataSet(&data_);
    exp_.SetFieldSeparator(fspComma);
    exp_.SetRecordSeparator(rsCRLF);
  }
  std::vector<std::string> Values() const {
    std::vector<std::string> values;
    for (int r = 0; r < data_.RecordCount(); ++r) {
      const TFieldData v = data_.FieldValue(r, 1);
      values.push_back(std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : "-");
    }
    return values;
  }
  // Imports bytes as encoding and returns the values of B.
  std::vector<std::string> Import(const std::string& bytes, const std::string& encoding,
                                  std::size_t bufferSize = TCSVImport::kDefaultReadBufferSize) {
    data_.EmptyDataSet();
    reasons_.clear();
    imp_.SetInputFile(dir_.Put("in", bytes));
    imp_.SetEncoding(encoding);
    imp_.SetReadBufferSize(bufferSize);
    static_cast<void>(imp_.Execute());
    return Values();
  }

  TTempDir dir_;
  test::TCapturedMessages messages_;
  TMemoryDataSet data_;
  TCSVImport imp_{nullptr};
  TCSVExport exp_{nullptr};
  std::vector<std::string> reasons_;
};

TEST_F(EncodingTest, ExportAndImportRoundTripThroughEachEncoding) {
  const struct {
    const char* Encoding;
    std::vector<std::string> Values;
  } cases[] = {
      {"latin1", {"Café", "naïve façade", "ÿ"}},
      {"cp1252", {"€ 5", "“quoted” – dash", "Œuvre"}},
      {"utf-16", {"Ünï", "clef 𝄞 outside the plane", "中文"}},
      {"utf-16le", {"Ελληνικά", "𝄞𝄞", "line"}},
      {"shift_jis", {"日本語", "テキスト", "ｶﾅ"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Encoding);
    data_.EmptyDataSet();
    for (std::size_t i = 0; i < c.Values.size(); ++i) {
      data_.AppendRecord({std::to_string(i), c.Values[i]});
    }
    exp_.SetEncoding("");
    exp_.SetOutputFile(dir_.Path("utf8.csv"));
    ASSERT_EQ(exp_.Execute(), 3);
    exp_.SetEncoding(c.Encoding);
    exp_.SetOutputFile(dir_.Path("out.csv"));
    ASSERT_EQ(exp_.Execute(), 3) << exp_.WriteErrorText();
    const std::string file = dir_.Get("out.csv");
    EXPECT_EQ(file, Iconv(dir_.Get("utf8.csv"), c.Encoding, "UTF-8"));
    // Read back at buffer sizes that cut characters and line ends.
    for (std::size_t size : {std::size_t{1}, std::size_t{3}, TCSVImport::kDefaultReadBufferSize}) {
      EXPECT_EQ(Import(file, c.Encoding, size), c.Values) << size;
      EXPECT_EQ(imp_.ErrorRecords(), 0);
    }
  }
}

TEST_F(EncodingTest, Utf8WithAUtf16ByteOrderMarkReadsAsUtf16) {
  const std::string text = "1,Ünï 𝄞\r\n2,b\r\n";
  EXPECT_EQ(Import(Iconv(text, "UTF-16", "UTF-8"), "UTF-8"),
            (std::vector<std::string>{"Ünï 𝄞", "b"}));
  EXPECT_EQ(Import("\xFE\xFF" + Iconv(text, "UTF-16BE", "UTF-8"), "utf8"),
            (std::vector<std::string>{"Ünï 𝄞", "b"}));
  // Without an encoding the bytes are read as they are, as always.
  EXPECT_EQ(Import("1,caf\xE9\n", ""), (std::vector<std::string>{"caf\xE9"}));
}

TEST_F(EncodingTest, BytesNotValidInTheEncodingFailTheirRecordWithAReason) {
  const struct {
    const char* Name;
    std::string Bytes;
    const char* Encoding;
    std::vector<std::string> Stored;
    const char* Reason;
  } cases[] = {
      {"Latin-1 read as UTF-8",
       "1,ok\n2,caf\xE9\n3,\"two\nlines \xEF\"\n",
       "UTF-8",
       {"ok"},
       "invalid UTF-8 at line 2, byte 0xE9; if the file is Latin-1, add --encoding latin1"},
      {"lone surrogate",
       std::string("\xFF\xFE"
                   "1\0,\0a\0\n\0"
                   "2\0,\0\0\xD8\n\0",
                   18),
       "UTF-8",
       {"a"},
       "invalid UTF-16LE at line 2, byte 0xD8"},
      {"undefined in cp1252",
       "1,\x81x\n2,ok\n",
       "cp1252",
       {"ok"},
       "invalid cp1252 at line 1, byte 0x81"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Import(c.Bytes, c.Encoding), c.Stored);
    ASSERT_FALSE(reasons_.empty());
    EXPECT_EQ(reasons_[0], c.Reason);
    EXPECT_EQ(imp_.ErrorRecords(), static_cast<int>(reasons_.size()));
  }
  // The quoted record's bad byte is on the record's second line.
  EXPECT_EQ(Import(cases[0].Bytes, "UTF-8").size(), 1u);
  // Forgiving values: the bytes pass as they are.
  imp_.SetValueErrors(veLenient);
  EXPECT_EQ(Import("1,caf\xE9\n", "UTF-8"), (std::vector<std::string>{"caf\xE9"}));
  EXPECT_TRUE(reasons_.empty());
  imp_.SetValueErrors(veStrict);
  EXPECT_EQ(Import(cases[0].Bytes, "UTF-8").size(), 1u);
  ASSERT_EQ(reasons_.size(), 2u);
  EXPECT_NE(reasons_[1].find("at line 4, byte 0xEF"), std::string::npos);
  // A record held back while the trailer records are read keeps its fault.
  imp_.SetTrailerRecords(1);
  EXPECT_EQ(Import("1,ok\n2,caf\xE9\n3,fine\nend\n", "UTF-8"), (std::vector<std::string>{"ok", "fine"}));
  ASSERT_EQ(reasons_.size(), 1u);
  EXPECT_NE(reasons_[0].find("at line 2, byte 0xE9"), std::string::npos);
}

TEST_F(EncodingTest, Utf16CutInsideACharacterEndsTheRunAfterTheRecordsBeforeIt) {
  const std::string bytes = Iconv("1,a\n2,b\n3,c", "UTF-16LE", "UTF-8") + "x";
  data_.EmptyDataSet();
  imp_.SetInputFile(dir_.Put("in", bytes));
  imp_.SetEncoding("utf-16le");
  try {
    static_cast<void>(imp_.Execute());
    ADD_FAILURE() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(),
                 "Read failed: the input ends inside a utf-16le character (1 bytes left over)");
  }
  EXPECT_EQ(Values(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(EncodingTest, ACharacterTheEncodingCannotHoldFailsTheExportNamingIt) {
  data_.AppendRecord({"1", "Café"});
  data_.AppendRecord({"2", "clef 𝄞"});
  exp_.SetEncoding("latin1");
  exp_.SetOutputFile(dir_.Path("out.csv"));
  EXPECT_EQ(exp_.Execute(), -1);
  EXPECT_EQ(exp_.WriteErrorText(),
            "the character '𝄞' (U+1D11E) on line 2 of the output cannot be written in latin1");
}

// A name iconv does not know fails the run before it opens its dataset or
// makes its file, saying so, rather than raising from the first read or
// blaming the first character written.
TEST_F(EncodingTest, AnEncodingNotKnownFailsTheRunBeforeItStarts) {
  const std::string reason =
      "Encoding 'klingon' is not an encoding this system converts (`iconv -l` lists the names "
      "it knows)";
  data_.Close();
  imp_.SetInputFile(dir_.Put("in", "1,a\n"));
  imp_.SetEncoding("klingon");
  EXPECT_EQ(imp_.Execute(), -1);
  EXPECT_EQ(imp_.SetupFailure(), reason);
  EXPECT_FALSE(data_.Active());
  exp_.SetOutputFile(dir_.Path("out.csv"));
  exp_.SetEncoding("klingon");
  EXPECT_EQ(exp_.Execute(), -1);
  EXPECT_EQ(exp_.SetupFailure(), reason);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("out.csv")));
}

TEST(Utf8Check, FindsTheFirstByteThatIsNotPartOfValidUtf8) {
  const struct {
    std::string Text;
    std::size_t Bad;
  } cases[] = {
      {"plain ascii text, long enough for words", std::string::npos},
      {"é € 𝄞 \xF4\x8F\xBF\xBF", std::string::npos},
      {"ab\xC0\x80", 2},         // overlong
      {"\xED\xA0\x80", 0},       // surrogate
      {"x\xF4\x90\x80\x80", 1},  // past U+10FFFF
      {"12345678\xE2\x82", 8},   // cut short
      {"\x80", 0},               // continuation alone
      {"caf\xE9 au lait", 3},    // Latin-1
  };
  for (const auto& c : cases) EXPECT_EQ(FindInvalidUtf8(c.Text), c.Bad) << c.Text;
}

}  // namespace
}  // namespace korvane
