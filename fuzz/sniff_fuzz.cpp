// libFuzzer target for the sniffer: the layout, header, line ends, encoding
// and column types `korvane sniff` finds, and the layout `korvane import`
// takes from it. The input's first byte chooses the sample (the default,
// a few records, a few bytes or every record) and how many bytes each read
// of the source gives; the rest is the file. Whatever the bytes:
// - the sniff of the file handed out a few bytes at a time is the sniff of
//   it whole;
// - an import that sniffs its layout (as the command does) and then reads
//   the file reads the records the sniff counted, and when the sniff read
//   every record with a separator, the records have the number of values
//   it says: as many as most have, each record that has another number
//   counted as ragged, and none wider than the widest.
//
// Built with the command (KORVANE_BUILD_CLI, the default), whose sniffer it is:
//   cmake --build build/fuzz --target sniff_fuzz
//   build/fuzz/fuzz/sniff_fuzz -max_total_time=600 CORPUS_DIR SEEDS/sniff
// CORPUS_DIR starts as `fuzz/corpus.sh unpack sniff CORPUS_DIR`; what the run adds
// is kept with `fuzz/corpus.sh pack sniff CORPUS_DIR`.
// SEEDS is a folder `fuzz/make_seeds.py SEEDS` writes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/sniff.h"
#include "cli/sniff_command.h"
#include "datasets/memory/memory_dataset.h"
#include "fuzz/fuzz_support.h"
#include "import/kvcsvimp.h"

namespace {

using korvane::cli::TSniffOptions;
using korvane::cli::TSniffResult;
using korvane::fuzz::Finding;

// Bytes as numbers, so that a zero byte prints.
std::string Bytes(std::string_view text) {
  std::string out;
  for (const char c : text) out += (out.empty() ? "" : ".") + std::to_string(static_cast<unsigned char>(c));
  return out;
}

// The sniff as one line, everything a reader of it goes by.
std::string Summary(const TSniffResult& r) {
  std::string s = "sep " + std::to_string(static_cast<unsigned char>(r.Separator)) + " quote " +
                  std::to_string(static_cast<unsigned char>(r.Quote)) + " wide " +
                  Bytes(r.WideSeparator) + " unsplit " + Bytes(r.UnsplitSeparator) + " widths";
  for (const std::size_t w : r.FixedWidths) s += " " + std::to_string(w);
  s += " skip " + std::to_string(r.SkipLines) + " comment " + std::to_string(r.Comment) +
       " escape " + std::to_string(r.Escape) + " stray " + std::to_string(r.KeepStrayQuotes) +
       " standard " + std::to_string(r.StandardFits) + " classic " +
       std::to_string(r.ClassicFits) + " records " + std::to_string(r.Records) + " bytes " +
       std::to_string(r.Bytes) + " whole " + std::to_string(r.WholeFile) + " most " +
       std::to_string(r.MostValues) + " widest " + std::to_string(r.WidestRecord) + "@" +
       std::to_string(r.WidestLine) + " ragged " + std::to_string(r.RaggedRecords) + " header " +
       std::to_string(r.HeaderRecords) + " ends " + r.LineEnds + " encoding " + r.Encoding +
       " binary " + std::to_string(r.Binary) + " comma " + std::to_string(r.DecimalComma) +
       " columns";
  for (const auto& c : r.Columns) {
    s += " " + c.Name + ":" + std::to_string(static_cast<int>(c.Guess.Type)) + ":" +
         c.Guess.DateFormat;
  }
  return s;
}

// What the import reads of the records: how many, and how many values
// each has.
struct TRead {
  std::int64_t Records = 0;  // records split or failed
  std::int64_t Split = 0;    // records split into values
  std::int64_t Ragged = 0;
  std::size_t Widest = 0;
  std::string Failure;
};

// Sniffs the layout as `korvane import` does (a table made from the file:
// every record sampled), and reads the file with it, as the suggested
// import command would.
TRead ImportWithSniffedLayout(const std::string& path, TSniffResult& sniffed, bool& checkable) {
  korvane::TMemoryDataSet data;
  korvane::TCSVImport import(nullptr);
  korvane::UseCommandDefaults(import);
  import.SetInputFile(path);
  korvane::cli::TImportSniffRequest request;
  request.InferTypes = true;
  const korvane::cli::TImportSniff sniff = korvane::cli::SniffForImport(import, request);
  TRead read;
  checkable = sniff.Result.has_value();
  if (!checkable) return read;
  sniffed = *sniff.Result;
  // A sample cut short, damaged data, binary data and fixed widths (whose
  // values are cut, not split) leave nothing to hold the import to; nor does
  // a layout the standard rules do not read as the sample shows.
  checkable = sniffed.WholeFile && sniffed.Damage.empty() && !sniffed.Binary &&
              sniffed.FixedWidths.empty() && sniffed.UnsplitSeparator.empty() &&
              (sniffed.StandardFits || !sniffed.ClassicFits);
  if (!checkable) return read;
  std::vector<korvane::TFieldDef> fields(std::clamp<std::size_t>(sniffed.Columns.size(), 1, 64));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    fields[i].Name = "c" + std::to_string(i);
    fields[i].DataType = korvane::ftMemo;
  }
  data.SetFieldDefs(fields);
  import.SetDataSet(&data);
  import.SetValueErrors(korvane::veLenient);
  if (!sniffed.SuggestedEncoding.empty()) import.SetEncoding(sniffed.SuggestedEncoding);
  const std::size_t most = sniffed.MostValues;
  import.SetOnFilterRecord(
      [&read, most](korvane::TObject*, const korvane::TValueList& values, std::int64_t, bool&) {
        const auto n = static_cast<std::size_t>(values.Count());
        ++read.Split;
        read.Ragged += n != most ? 1 : 0;
        read.Widest = std::max(read.Widest, n);
      });
  if (import.Execute() < 0) read.Failure = import.LastError();
  // Blank records are neither split nor failed, and the sniff leaves them
  // out too.
  read.Records = read.Split + import.ErrorRecords();
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static korvane::fuzz::TMemoryFile file;
  korvane::fuzz::AnswerMessagesOk();
  korvane::fuzz::TSettingsBytes bytes(data, size);
  const std::uint8_t flags = bytes.Next();
  TSniffOptions options;
  switch (flags & 3) {
    case 1:
      options.SampleRecords = 1 + (flags >> 5);
      break;
    case 2:
      options.SampleBytes = 1 + 4 * (flags >> 5);
      break;
    case 3:
      options.SampleRecords = -1;
      break;
    default:
      break;
  }
  if ((flags & 4) != 0) options.FixedWidthUnit = korvane::fuBytes;
  const std::size_t chunk = korvane::fuzz::PickBufferSize(static_cast<std::uint8_t>(flags >> 3));
  const std::string_view input = bytes.Rest();

  const TSniffResult whole = korvane::cli::SniffText(input, options);
  std::size_t at = 0;
  const TSniffResult pieces = korvane::cli::Sniff(
      [&](char* buffer, std::size_t room) {
        const std::size_t n = std::min({room, chunk, input.size() - at});
        std::memcpy(buffer, input.data() + at, n);
        at += n;
        return n;
      },
      options);
  if (Summary(whole) != Summary(pieces)) {
    Finding("the sniff of the input in reads of " + std::to_string(chunk) + " bytes differs:\n  " +
            Summary(whole) + "\n  " + Summary(pieces));
  }

  file.Write(input);
  TSniffResult sniffed;
  bool checkable = false;
  const TRead read = ImportWithSniffedLayout(file.Path(), sniffed, checkable);
  if (!checkable) return 0;
  const std::string what = "\n  " + Summary(sniffed);
  if (!read.Failure.empty()) Finding("the import with the sniffed layout failed: " + read.Failure + what);
  if (read.Records != sniffed.Records) {
    Finding("the import read " + std::to_string(read.Records) + " records, the sniff counted " +
            std::to_string(sniffed.Records) + what);
  }
  // Records never split (a quote left open) are not held to the counts.
  if (read.Split == read.Records && sniffed.Separator != '\0' &&
      (read.Ragged != sniffed.RaggedRecords || read.Widest != sniffed.WidestRecord)) {
    Finding("the import read " + std::to_string(read.Ragged) + " ragged records at most " +
            std::to_string(read.Widest) + " values wide" + what);
  }
  return 0;
}
