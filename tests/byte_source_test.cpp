// Compressed files: the byte sources under the import's reader, read in
// pieces of every size, the import of compressed files end to end, and the
// export's compressed output read back.
#include "io/byte_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "core/sysutils.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "support/captured_messages.h"
#include "support/compressed.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::Gzip;
using test::TTempDir;
using test::Zstd;

// Records of every length up to a few hundred bytes, so that records,
// compressed blocks and buffers end in every relation to each other.
std::string Records(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += std::to_string(i) + "," + std::string(static_cast<std::size_t>(i * 7 % 300), 'x') +
            (i % 3 == 0 ? "\r\n" : "\n");
  }
  return text;
}

std::string Text(const TFieldData& v) {
  const auto* s = std::get_if<std::string>(&v);
  return s != nullptr ? *s : "<not text>";
}

struct TReadOutcome {
  std::string Text;   // what was read before the end or the error
  std::string Error;  // the error's message; empty when the text ended
  TByteSource::TProgress Progress;
};

// Reads the whole source in pieces of 1 to 13 bytes.
TReadOutcome ReadAll(const std::string& path, bool thread, std::size_t chunk) {
  TReadOutcome out;
  const TFileHandle file = OpenFileForRead(path);
  try {
    const std::unique_ptr<TByteSource> source =
        OpenByteSource(file, {.Decompress = true, .Thread = thread, .ChunkSize = chunk});
    char buffer[13];
    for (std::size_t piece = 1;; piece = piece % 13 + 1) {
      const std::size_t n = source->Read(buffer, piece);
      if (n == 0) break;
      out.Text.append(buffer, n);
    }
    out.Progress = source->Progress();
  } catch (const EInOutError& e) {
    out.Error = e.what();
  }
  return out;
}

struct TFormatCase {
  const char* Name;
  std::string (*Make)(const std::string& text);
};

const TFormatCase kFormats[] = {
    {"plain", [](const std::string& t) { return t; }},
    {"gzip", [](const std::string& t) { return Gzip(t); }},
    // Members and frames one after another read as one text.
    {"gzip members",
     [](const std::string& t) { return Gzip(t.substr(0, 1000)) + Gzip(t.substr(1000)); }},
    {"zstd frames", [](const std::string& t) {
       return Zstd(t.substr(0, 777), true) + Zstd(t.substr(777), false);
     }}};

TEST(ByteSource, EveryFormatReadsBackItsTextInPiecesOfEverySize) {
  TTempDir dir;
  const std::string text = Records(400);
  for (const TFormatCase& format : kFormats) {
    const std::string bytes = format.Make(text);
    const std::string path = dir.Put("in", bytes);
    for (bool thread : {false, true}) {
      SCOPED_TRACE(std::string(format.Name) + (thread ? ", threaded" : ", direct"));
      const TReadOutcome out = ReadAll(path, thread, 4093);
      EXPECT_EQ(out.Error, "");
      EXPECT_EQ(out.Text, text);
      EXPECT_EQ(out.Progress.FileBytes, static_cast<std::int64_t>(bytes.size()));
      EXPECT_EQ(out.Progress.TextBytes, static_cast<std::int64_t>(text.size()));
    }
  }
}

// Damaged and cut-short files raise after the text decoded before the
// damage, and never hand out bytes that are not the file's.
TEST(ByteSource, DamagedOrTruncatedDataRaisesSayingWhich) {
  TTempDir dir;
  const std::string text = Records(2000);
  const std::string gz = Gzip(text);
  const std::string zst = Zstd(text, true);
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 0x55;  // the member's CRC
  std::string badChecksum = zst;
  badChecksum[badChecksum.size() - 1] ^= 0x55;  // the frame's checksum
  struct TCase {
    const char* Name;
    std::string Bytes;
    const char* Error;
  } cases[] = {
      {"gzip cut short", gz.substr(0, gz.size() / 2), "the gzip data ends early"},
      {"gzip header only", gz.substr(0, 3), "the gzip data ends early"},
      {"gzip bad CRC", badCrc, "the gzip data is damaged (incorrect data check)"},
      {"gzip then garbage", gz + "garbage", "the gzip data is damaged"},
      {"zstd cut short", zst.substr(0, zst.size() / 2), "the zstd data ends early"},
      {"zstd bad checksum", badChecksum, "the zstd data is damaged"},
  };
  for (const TCase& c : cases) {
    const std::string path = dir.Put("in", c.Bytes);
    for (bool thread : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (thread ? ", threaded" : ", direct"));
      const TReadOutcome out = ReadAll(path, thread, 1000);
      EXPECT_NE(out.Error.find(c.Error), std::string::npos) << out.Error;
      EXPECT_EQ(text.compare(0, out.Text.size(), out.Text), 0);
    }
  }
}

class CompressedImport : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.AddFieldDef("A", ftString, 10);
    data_.AddFieldDef("B", ftString, 400);
    imp_.SetDataSet(&data_);
    imp_.SetFieldSeparator(fspComma);
    imp_.SetCompression(cmAuto);
    imp_.SetOnImportRecord([this](TObject*, std::int32_t bytes) { bytes_ += bytes; });
  }
  // The run's records as "A|B" lines.
  std::string Run(const std::string& bytes, std::size_t bufferSize, bool readAhead) {
    data_.EmptyDataSet();
    bytes_ = 0;
    imp_.SetInputFile(dir_.Put("in", bytes));
    imp_.SetReadBufferSize(bufferSize);
    imp_.SetReadAhead(readAhead);
    EXPECT_GE(imp_.Execute(), 0);
    std::string rows;
    for (int r = 0; r < data_.RecordCount(); ++r) {
      rows += Text(data_.FieldValue(r, 0)) + "|" + Text(data_.FieldValue(r, 1)) + "\n";
    }
    return rows;
  }

  TTempDir dir_;
  test::TCapturedMessages messages_;
  TMemoryDataSet data_;
  TCSVImport imp_{nullptr};
  std::int64_t bytes_ = 0;
};

TEST_F(CompressedImport, RecordsAndEventBytesAreThoseOfThePlainText) {
  const std::string text = Records(600);
  const std::string plain = Run(text, TCSVImport::kDefaultReadBufferSize, false);
  const std::int64_t plainBytes = bytes_;
  ASSERT_EQ(data_.RecordCount(), 600);
  for (const TFormatCase& format : kFormats) {
    for (std::size_t bufferSize :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, TCSVImport::kDefaultReadBufferSize}) {
      for (bool readAhead : {false, true}) {
        SCOPED_TRACE(std::string(format.Name) + ", buffer " + std::to_string(bufferSize) +
                     (readAhead ? ", read ahead" : ""));
        EXPECT_EQ(Run(format.Make(text), bufferSize, readAhead), plain);
        EXPECT_EQ(bytes_, plainBytes);
      }
    }
  }
  // cmNone, the initial value, reads the bytes of the file as they are.
  imp_.SetCompression(cmNone);
  EXPECT_NE(Run(Gzip(text), TCSVImport::kDefaultReadBufferSize, true), plain);
}

TEST_F(CompressedImport, DamagedInputEndsTheRunAfterTheRecordsBeforeIt) {
  const std::string text = Records(3000);
  const std::string zst = Zstd(text, true);
  for (bool readAhead : {false, true}) {
    data_.EmptyDataSet();
    imp_.SetInputFile(dir_.Put("in", zst.substr(0, zst.size() * 2 / 3)));
    imp_.SetReadAhead(readAhead);
    EXPECT_THROW(
        {
          try {
            static_cast<void>(imp_.Execute());
          } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos);
            throw;
          }
        },
        EInOutError);
    // Whole records of the text only, the one cut short left out.
    ASSERT_GT(data_.RecordCount(), 0);
    EXPECT_LT(data_.RecordCount(), 3000);
    const int last = data_.RecordCount() - 1;
    EXPECT_EQ(Text(data_.FieldValue(last, 0)), std::to_string(last));
    EXPECT_EQ(Text(data_.FieldValue(last, 1)),
              std::string(static_cast<std::size_t>(last * 7 % 300), 'x'));
  }
}

// Long enough for the export's background writer to compress a few buffers.
TEST(CompressedExport, WritesTheTextOfThePlainExportAsAStreamOfTheFormat) {
  TTempDir dir;
  TMemoryDataSet data;
  data.AddFieldDef("A", ftString, 10);
  data.AddFieldDef("B", ftString, 400);
  data.Open();
  for (int i = 0; i < 20000; ++i) {
    data.AppendRecord({std::to_string(i), std::string(static_cast<std::size_t>(i % 300), 'y')});
  }
  TCSVExport exp(nullptr);
  exp.SetDataSet(&data);
  auto run = [&](TCompression compression, const std::string& name) {
    exp.SetCompression(compression);
    exp.SetOutputFile(dir.Path(name));
    EXPECT_EQ(exp.Execute(), 20000);
    return ReadAll(dir.Path(name), false, 1000);
  };
  const std::string plain = run(cmNone, "plain.gz").Text;
  ASSERT_GT(plain.size(), std::size_t{2} << 20);
  const struct {
    TCompression Compression;
    const char* Name;
    TFileFormat Format;
  } cases[] = {{cmGzip, "out", TFileFormat::ffGzip},
               {cmZstd, "out.gz", TFileFormat::ffZstd},
               {cmAuto, "out.gz", TFileFormat::ffGzip},
               {cmAuto, "out.zst", TFileFormat::ffZstd},
               {cmAuto, "out.txt", TFileFormat::ffPlain}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " " + EnumToString(c.Compression));
    const TReadOutcome out = run(c.Compression, c.Name);
    EXPECT_EQ(out.Error, "");
    EXPECT_EQ(out.Text, plain);
    const std::string head = dir.Get(c.Name).substr(0, 4);
    EXPECT_EQ(RecogniseFileFormat(head.data(), head.size()), c.Format);
  }
}

}  // namespace
}  // namespace korvane
