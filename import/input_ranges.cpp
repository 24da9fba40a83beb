// TCSVImport over parts of its input: the pass that cuts a file into ranges
// of whole records, the read of one range, and the sum of the runs over the
// ranges.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "import/import_run.h"
#include "io/byte_source.h"
#include "io/text_encoding.h"

namespace korvane {

namespace {

// The bytes [offset, end) of an open file (end -1: to its end), read with
// pread so that the file's own position does not matter.
class TFileRangeSource final : public TByteSource {
 public:
  TFileRangeSource(const TFileHandle& file, std::int64_t offset, std::int64_t end,
                   std::string encoding)
      : FFd(file.Fd()), FStart(offset), FPos(offset), FEnd(end), FEncoding(std::move(encoding)) {}

  std::size_t Read(char* buffer, std::size_t count) override {
    if (FEnd >= 0)
      count = static_cast<std::size_t>(std::min<std::int64_t>(
          static_cast<std::int64_t>(count), std::max<std::int64_t>(FEnd - FPos, 0)));
    if (count == 0) return 0;
    ssize_t got = 0;
    do {
      got = ::pread(FFd, buffer, count, static_cast<off_t>(FPos));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      const int code = errno;
      SetLastError(code);
      throw EInOutError("Read failed with error code " + IntToStr(code), code);
    }
    FPos += got;
    Advanced(FPos - FStart, FPos - FStart);
    return static_cast<std::size_t>(got);
  }
  TFileFormat Format() const override { return TFileFormat::ffPlain; }
  std::string TextEncoding() const override { return FEncoding; }

 private:
  int FFd;
  std::int64_t FStart;
  std::int64_t FPos;
  std::int64_t FEnd;
  std::string FEncoding;
};

bool StartsUtf16(const char* head, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(head);
  return n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
}

}  // namespace

std::vector<TCSVImport::TInputRange> TCSVImport::CutInput(int parts, std::string& why) const {
  why.clear();
  if (FProps->FTrailerRecords > 0) {
    why = "the trailer records are known only at the end";
    return {};
  }
  const TFileHandle file = OpenFileForSharedRead(FProps->FInputFile);
  struct stat info {};
  if (!file.Valid() || ::fstat(file.Fd(), &info) != 0) {
    why = "'" + FProps->FInputFile + "' cannot be read (" + std::strerror(GetLastError()) + ")";
    return {};
  }
  if (!S_ISREG(info.st_mode)) {
    why = "the input is no regular file";
    return {};
  }
  char head[4] = {};
  const ssize_t got = ::pread(file.Fd(), head, sizeof head, 0);
  const std::size_t headBytes = got > 0 ? static_cast<std::size_t>(got) : 0;
  if (FProps->FCompression != cmNone &&
      RecogniseFileFormat(head, headBytes) != TFileFormat::ffPlain) {
    why = "a compressed file is read from its start";
    return {};
  }
  if (!FProps->FEncoding.empty() &&
      (!IsUtf8Encoding(FProps->FEncoding) || StartsUtf16(head, headBytes))) {
    why = "text converted to UTF-8 is read from its start";
    return {};
  }

  TRecordScanner scanner;
  scanner.Reset(FProps->FReadBufferSize);
  FRun->SetTextRules(scanner, true);
  std::string text;
  TScanResult result;
  std::int64_t offset = 0;  // where the next record's bytes start
  bool ended = false;
  // Each record as the run reads it: one scan, the bytes before it, its
  // text and its line ends.
  const auto next = [&] {
    text.clear();
    scanner.Scan(file, text, result);
    offset += result.SkippedBytes + static_cast<std::int64_t>(text.size()) + result.LineEndBytes;
    ended = result.EndOfFile;
  };
  try {
    if (FProps->FHeaderRecords > 0 && FProps->FHeaderStored) {
      for (std::int32_t read = 0; read < FProps->FHeaderRecords && !ended; ++read) next();
    }
    for (std::int32_t skipped = 1; skipped < FProps->FStartRecord && !ended; ++skipped) next();
    // Nothing read yet: the first range starts at the file's start, with
    // its byte-order mark and lines to skip.
    std::vector<TInputRange> ranges{{offset, ended ? offset : -1, 1, scanner.Line()}};
    const std::int64_t size = info.st_size;
    const std::int64_t dataStart = offset;
    std::int64_t records = 0;
    for (int k = 1; k < parts && !ended; ++k) {
      const std::int64_t target = dataStart + (size - dataStart) / parts * k;
      while (!ended && offset < target) {
        next();
        ++records;
      }
      if (ended) break;
      if (offset > ranges.back().Offset) {
        ranges.back().End = offset;
        ranges.push_back({offset, -1, records + 1, scanner.Line()});
      }
    }
    return ranges;
  } catch (const EInOutError& e) {
    why = e.what();
    return {};
  }
}

void TImportRun::EnterInputRange() {
  const TCSVImport::TInputRange& range = *FProps.FInputRange;
  FSkippedRecords = FProps.FStartRecord > 1 ? FProps.FStartRecord - 1 : 0;
  FRecordCounter = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(range.Record - 1, 0, std::numeric_limits<std::int32_t>::max()));
  FScanner.SetSource(nullptr);
  FSource =
      std::make_unique<TFileRangeSource>(FFileHandle, range.Offset, range.End, FProps.FEncoding);
  FScanner.Reset(FProps.FReadBufferSize);
  FScanner.SetCheckText(ChecksText());
  SetTextRules(FScanner, range.Offset == 0);
  if (range.Offset != 0) FScanner.StartInside(range.Line);
  FScanner.SetSource(FSource.get());
  if (range.End >= 0 && range.End <= range.Offset) FEndOfFile = true;
}

void TCSVImport::AbsorbRun(const TCSVImport& later) { FRun->Absorb(*later.FRun); }

void TImportRun::Absorb(const TImportRun& later) {
  const auto add32 = [](std::int32_t& to, std::int64_t n) {
    to = static_cast<std::int32_t>(
        std::min<std::int64_t>(to + n, std::numeric_limits<std::int32_t>::max()));
  };
  add32(FErrorRecords, later.FErrorRecords);
  // Its counter started at the records before its range.
  add32(FRecordCounter, later.FRecordCounter -
                            (later.FProps.FInputRange ? later.FProps.FInputRange->Record - 1 : 0));
  FStoredRecords += later.FStoredRecords;
  FFilteredRecords += later.FFilteredRecords;
  FRoundedValues += later.FRoundedValues;
  FUnconvertedValues += later.FUnconvertedValues;
  FExtraValueRecords += later.FExtraValueRecords;
  FCutValues += later.FCutValues;
  if (later.FTextAfterQuoteRecords > 0 && FTextAfterQuoteRecords == 0) {
    FFirstTextAfterQuoteLine = later.FFirstTextAfterQuoteLine;
  }
  FTextAfterQuoteRecords += later.FTextAfterQuoteRecords;
  for (const std::string& message : later.FRefusalMessages) {
    if (FRefusalMessages.size() >= TDataSet::kRefusalMessagesKept) break;
    FRefusalMessages.push_back(message);
  }
  if (later.FInterrupted) {
    FInterrupted = true;
    if (FNextRecord == 0) {
      FNextRecord = later.FNextRecord;
      FNextRecordLine = later.FNextRecordLine;
    }
  }
  if (FLastError.empty()) FLastError = later.FLastError;
  FEndOfFile = later.FEndOfFile;
}

}  // namespace korvane
