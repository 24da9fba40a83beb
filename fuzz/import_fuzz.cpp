// libFuzzer target for a whole import of arbitrary bytes into the memory
// dataset. The input's first bytes choose the settings (text rules, quote,
// separator, delimited or fixed-width records, header and trailer records,
// the fields and their types and widths, the field filter, whole values,
// compressed input recognised by its first bytes, forgiving or strict values);
// the rest is the file. The file is imported twice, once through a tiny read
// buffer on the caller's thread and once read ahead through a small buffer,
// so that records cross the worker's batches: both runs must give the same counts, header and trailer records,
// stored values and bytes reported; the bytes reported must be those of the
// file up to where it ends; and the dataset must hold the records the run
// says it stored.
//
//   cmake --build build/fuzz --target import_fuzz
//   build/fuzz/fuzz/import_fuzz -max_total_time=600 CORPUS_DIR SEEDS/import
// CORPUS_DIR starts as `fuzz/corpus.sh unpack import CORPUS_DIR`; what the run adds
// is kept with `fuzz/corpus.sh pack import CORPUS_DIR`.
// SEEDS is a folder `fuzz/make_seeds.py SEEDS` writes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "datasets/memory/memory_dataset.h"
#include "fuzz/fuzz_support.h"
#include "io/byte_source.h"
#include "io/fileio.h"
#include "import/kvcsvimp.h"

namespace {

using korvane::fuzz::Finding;

struct TSettings {
  korvane::TDialect Dialect = korvane::dlClassic;
  korvane::TImportType Type = korvane::impDelimited;
  korvane::TFieldDelimiter Quote = korvane::fdlNone;
  korvane::TFieldSeparator Separator = korvane::fspPipe;
  std::string Custom;
  std::int32_t Headers = 0;
  std::int32_t Trailers = 0;
  bool HeaderStored = false;
  bool TrailerStored = false;
  bool WholeValues = false;
  korvane::TCompression Compression = korvane::cmNone;
  korvane::TValueErrors ValueErrors = korvane::veLenient;
  korvane::TFieldListAction ListAction = korvane::flaNone;
  std::vector<korvane::TFieldDef> Fields;
  std::size_t BufferSize = 1;
};

TSettings ReadSettings(korvane::fuzz::TSettingsBytes& bytes) {
  TSettings s;
  const std::uint8_t flags = bytes.Next();
  s.Dialect = (flags & 1) != 0 ? korvane::dlStandard : korvane::dlClassic;
  s.Type = (flags & 2) != 0 ? korvane::impFixed : korvane::impDelimited;
  s.HeaderStored = (flags & 4) != 0;
  s.TrailerStored = (flags & 8) != 0;
  s.WholeValues = (flags & 16) != 0;
  s.ListAction = static_cast<korvane::TFieldListAction>(((flags >> 5) & 3) % 3);
  s.Compression = (flags & 0x80) != 0 ? korvane::cmAuto : korvane::cmNone;
  const std::uint8_t quoting = bytes.Next();
  s.Quote = static_cast<korvane::TFieldDelimiter>(quoting % 3);
  s.Separator = static_cast<korvane::TFieldSeparator>((quoting / 3) % 5);
  s.Custom = korvane::fuzz::PickSeparator(bytes.Next());
  const std::uint8_t counts = bytes.Next();
  s.Headers = counts & 3;
  s.Trailers = (counts >> 2) & 3;
  s.BufferSize = korvane::fuzz::PickBufferSize(static_cast<std::uint8_t>(counts >> 4));
  static constexpr korvane::TFieldType kTypes[] = {
      korvane::ftString, korvane::ftInteger, korvane::ftFloat,    korvane::ftBoolean,
      korvane::ftDate,   korvane::ftCurrency, korvane::ftMemo,    korvane::ftLargeint,
      korvane::ftBlob,   korvane::ftDateTime, korvane::ftTime,    korvane::ftString};
  const std::uint8_t fields = bytes.Next();
  const int fieldCount = 1 + fields % 4;
  s.ValueErrors = (fields & 0x80) != 0 ? korvane::veStrict : korvane::veLenient;
  for (int i = 0; i < fieldCount; ++i) {
    const std::uint8_t b = bytes.Next();
    korvane::TFieldDef def;
    def.Name = std::string("f").append(std::to_string(i));
    def.DataType = kTypes[b % (sizeof kTypes / sizeof kTypes[0])];
    // Text fields take a width for fixed-width records, which may be 0.
    if (def.DataType == korvane::ftString) def.Size = (b >> 4) % 6;
    def.Required = (b & 0x80) != 0 && i == 0;
    s.Fields.push_back(def);
  }
  return s;
}

// What a run gave.
struct TOutcome {
  std::int32_t Result = 0;
  std::int32_t Errors = 0;
  std::int32_t Counter = 0;
  std::int64_t Stored = 0;
  std::int64_t Bytes = 0;
  std::vector<std::string> Header;
  std::vector<std::string> Trailer;
  std::vector<korvane::TFieldData> Values;
  std::string Raised;  // the message of what the run raised
  bool operator==(const TOutcome&) const = default;
};

TOutcome Import(const TSettings& s, const std::string& path, bool readAhead, std::size_t bufferSize) {
  korvane::TMemoryDataSet data;
  data.SetFieldDefs(s.Fields);
  korvane::TCSVImport import(nullptr);
  import.SetDataSet(&data);
  import.SetInputFile(path);
  import.SetDialect(s.Dialect);
  import.SetImportType(s.Type);
  import.SetFieldDelimiter(s.Quote);
  import.SetFieldSeparator(s.Separator);
  import.SetCustomSeparator(s.Custom);
  import.SetHeaderRecords(s.Headers);
  import.SetTrailerRecords(s.Trailers);
  import.SetHeaderStored(s.HeaderStored);
  import.SetTrailerStored(s.TrailerStored);
  import.SetWholeValues(s.WholeValues);
  import.SetCompression(s.Compression);
  import.SetValueErrors(s.ValueErrors);
  import.SetFieldListAction(s.ListAction);
  korvane::TStringList list;
  list.Add("f0");
  import.SetFieldList(&list);
  import.SetReadAhead(readAhead);
  import.SetReadBufferSize(bufferSize);
  TOutcome out;
  import.SetOnImportRecord([&out](korvane::TObject*, std::int32_t bytes) { out.Bytes += bytes; });
  try {
    out.Result = import.Execute();
  } catch (const korvane::Exception& e) {
    // A damaged compressed input ends the run with an error.
    out.Result = -2;
    out.Raised = e.what();
  }
  out.Errors = import.ErrorRecords();
  out.Counter = import.RecordCounter();
  out.Stored = import.StoredRecords();
  for (int i = 0; i < import.HeaderData()->Count(); ++i) out.Header.push_back(import.HeaderData()->Strings(i));
  for (int i = 0; i < import.TrailerData()->Count(); ++i) out.Trailer.push_back(import.TrailerData()->Strings(i));
  if (out.Raised.empty() && data.RecordCount() != out.Stored) {
    Finding("the dataset holds " + std::to_string(data.RecordCount()) + " records, the run stored " +
            std::to_string(out.Stored));
  }
  for (int r = 0; r < data.RecordCount(); ++r) {
    for (int f = 0; f < static_cast<int>(s.Fields.size()); ++f) out.Values.push_back(data.FieldValue(r, f));
  }
  return out;
}

// The bytes a run without header and trailer records reports: the file up
// to where it ends (byte 26 ends it; under the standard rules only as its
// last byte).
std::int64_t BytesOfInput(const TSettings& s, std::string_view input) {
  if (s.Dialect == korvane::dlStandard) {
    return static_cast<std::int64_t>(input.size()) - (input.ends_with('\x1a') ? 1 : 0);
  }
  return static_cast<std::int64_t>(std::min(input.find('\x1a'), input.size()));
}

constexpr std::size_t kReadAheadBufferSize = 64;

// A compressed input of a few hundred bytes can hold megabytes of text, and
// a run through a one-byte buffer then takes most of a second: such inputs
// find nothing a short text would not, and at that cost they take most of a
// campaign. The decompressed size is measured without the import.
constexpr std::size_t kMaxExpandedText = 64 * 1024;

bool ExpandsTooFar(const std::string& path) {
  const korvane::TFileHandle handle = korvane::OpenFileForRead(path);
  if (!handle.Valid()) return false;
  try {
    const auto source = korvane::OpenByteSource(
        handle, {.Decompress = true, .Thread = false, .ChunkSize = 16 * 1024});
    if (source->Format() == korvane::TFileFormat::ffPlain) return false;
    std::vector<char> chunk(16 * 1024);
    std::size_t total = 0;
    while (const std::size_t got = source->Read(chunk.data(), chunk.size())) {
      total += got;
      if (total > kMaxExpandedText) return true;
    }
  } catch (const korvane::Exception&) {
    // Damaged compressed data: the import's runs report it.
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static korvane::fuzz::TMemoryFile file;
  korvane::fuzz::AnswerMessagesOk();
  korvane::fuzz::TSettingsBytes bytes(data, size);
  const TSettings s = ReadSettings(bytes);
  const std::string_view input = bytes.Rest();
  file.Write(input);
  // -1 keeps the input out of the corpus.
  if (s.Compression == korvane::cmAuto && ExpandsTooFar(file.Path())) return -1;
  // One read per byte of a long input costs most of a run in system calls;
  // a long input's records cross boundaries of a sixteen times larger
  // buffer as well.
  const std::size_t smallBuffer =
      input.size() > 512 && s.BufferSize < 16 ? s.BufferSize * 16 : s.BufferSize;
  const TOutcome small = Import(s, file.Path(), false, smallBuffer);
  // The read-ahead run's buffer is small: a record then spans several of the
  // worker's batches, and a run costs a fraction of one through the usual
  // buffer, which the reader tests cover.
  const TOutcome ahead = Import(s, file.Path(), true, kReadAheadBufferSize);
  if (!(small == ahead)) {
    Finding("runs differ: result " + std::to_string(small.Result) + "/" + std::to_string(ahead.Result) +
            ", errors " + std::to_string(small.Errors) + "/" + std::to_string(ahead.Errors) +
            ", stored " + std::to_string(small.Stored) + "/" + std::to_string(ahead.Stored) +
            ", bytes " + std::to_string(small.Bytes) + "/" + std::to_string(ahead.Bytes) +
            ", raised '" + small.Raised + "'/'" + ahead.Raised + "'");
  }
  if (small.Result >= 0 && small.Result != small.Counter - small.Errors) Finding("result is not records less errors");
  if (small.Result >= 0 && s.Headers == 0 && s.Trailers == 0 && s.Compression == korvane::cmNone &&
      small.Bytes != BytesOfInput(s, input)) {
    Finding("bytes reported " + std::to_string(small.Bytes) + ", the input has " +
            std::to_string(BytesOfInput(s, input)));
  }
  return 0;
}
