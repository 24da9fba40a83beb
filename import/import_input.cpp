// TCSVImport's input: the file opened and read as it is, or through sources
// that decompress it and convert its text to UTF-8, and its records taken
// from the scanner, or from the read-ahead, into the run's record cache.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/sysutils.h"
#include "io/text_encoding.h"
#include "import/kvcsvimp.h"
#include "import/read_ahead.h"
#include "import/import_run.h"

namespace korvane {

namespace {

std::uint32_t ClampToUInt32(std::size_t v) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max());
  return static_cast<std::uint32_t>(v > kMax ? kMax : v);
}

}  // namespace

bool TImportRun::OpenSource() {
  FScanner.SetSource(nullptr);
  FSource.reset();
  if (FProps.FCompression == cmNone && FProps.FEncoding.empty()) return true;
  TByteSourceOptions options;
  options.Decompress = FProps.FCompression != cmNone;
  // Decompressing beside the reader is one of the threads ReadAhead allows.
  options.Thread = FProps.FReadAheadEnabled;
  try {
    FSource = OpenByteSource(FFileHandle, options);
  } catch (const EInOutError& e) {
    SetLastError(e.ErrorCode != 0 ? e.ErrorCode : EIO);
    return false;
  }
  if (!FProps.FEncoding.empty()) FSource = OpenDecodingSource(std::move(FSource), FProps.FEncoding);
  FScanner.SetSource(FSource.get());
  return true;
}

std::int64_t TImportRun::FileBytesFor(std::int64_t textBytes) const {
  if (!FSource || (FSource->Format() == TFileFormat::ffPlain && FProps.FEncoding.empty())) {
    return textBytes;
  }
  // The text read so far came from so many bytes of the file: the records
  // handed out stand at the same share of it.
  const TByteSource::TProgress progress = FSource->Progress();
  if (progress.TextBytes <= 0) return 0;
  const double share = static_cast<double>(textBytes) / static_cast<double>(progress.TextBytes);
  return static_cast<std::int64_t>(share * static_cast<double>(progress.FileBytes));
}

std::string TImportRun::RecordFaultReason(TRecordFault fault, std::int64_t line,
                                          std::string_view text) const {
  if (fault == rfUnclosedQuote) {
    return "the quote opened in the record at line " + IntToStr(line) + " is never closed";
  }
  if (fault != rfInvalidText) return "the record at line " + IntToStr(line) + " cannot be read";
  const std::size_t at = FindInvalidUtf8(text);
  if (at == std::string_view::npos) return "the record at line " + IntToStr(line) + " is not text";
  // The line of the byte: the record's own line ends before it count (CR LF
  // as one).
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == at || text[i + 1] != '\n'))) ++line;
  }
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02X",
                static_cast<unsigned>(static_cast<unsigned char>(text[at])));
  const std::string read = FSource ? FSource->TextEncoding() : FProps.FEncoding;
  if (IsUtf8Encoding(read)) {
    return "invalid UTF-8 at line " + IntToStr(line) + ", byte " + byte +
           "; if the file is Latin-1, add --encoding latin1";
  }
  return "invalid " + read + " at line " + IntToStr(line) + ", byte " + byte;
}

void TCSVImport::SetReadBufferSize(std::size_t size) {
  FProps->FReadBufferSize = size == 0 ? 1 : size;
}

bool TImportRun::OpenInputFile() {
  CloseInputFile();
  FEndOfFile = false;
  const std::string& path = FProps.FInputFile;
  FFileHandle = FProps.FSharedReading ? OpenFileForSharedRead(path) : OpenFileForRead(path);
  if (!FFileHandle.Valid()) return false;
  FScanner.Reset(FProps.FReadBufferSize);
  FScanner.SetCheckText(ChecksText());
  if (!OpenSource()) {
    FFileHandle.Close();
    return false;
  }
  SetTextRules(FScanner, true);
  return true;
}

void TImportRun::SetTextRules(TRecordScanner& scanner, bool skipLines) const {
  const TCSVImport& o = FOwner;
  scanner.SetRule(MakeSplitRule(o.GetFieldDelimiterChar(), o.GetFieldSeparatorChar(),
                                FProps.FDialect, FProps.FEscapeChar, FProps.FKeepStrayQuotes),
                  FProps.FImportType == impDelimited);
  scanner.SetSkip(skipLines ? FProps.FSkipLines : 0,
                  FProps.FCommentChar.empty() ? '\0' : FProps.FCommentChar[0],
                  skipLines && FProps.FSkipBlankStart);
}

void TImportRun::CloseInputFile() {
  // The read-ahead thread reads the file: it stops before the file closes.
  StopReadAhead();
  FScanner.SetSource(nullptr);
  FSource.reset();
  FFileHandle.Close();
  FScanner.Release();
  FOtherScanner.Release();
  FOtherHandle = nullptr;
}

void TImportRun::StopReadAhead() {
  if (FReadAhead) FScanner = FReadAhead->Join();
  FReadAhead.reset();
}

void TImportRun::ReadPhysicalRecord(TFileHandle& Handle, std::string& text) {
  TScanResult result;
  if (FReadAhead && FReadAhead->Drained()) StopReadAhead();
  text.clear();
  if (&Handle != &FFileHandle) {
    // Another file than the run's (a handler's, a host's): a scanner of its
    // own, on this thread, whatever the read-ahead is doing.
    if (FOtherHandle != &Handle || FOtherFd != Handle.Fd()) {
      FOtherScanner.Reset(FProps.FReadBufferSize);
      FOtherHandle = &Handle;
      FOtherFd = Handle.Fd();
    }
    FOtherScanner.Scan(Handle, text, result);
  } else if (FReadAhead) {
    result = FReadAhead->Next();
    FReadAhead->TakeText(text);
  } else {
    FScanner.Scan(Handle, text, result);
  }
  TakeScanResult(result);
}

void TImportRun::TakeScanResult(const TScanResult& result) {
  FLineEndBytes = result.LineEndBytes;
  FSkippedBytes = result.SkippedBytes;
  FRecordFault = result.Fault;
  FRecordLine = result.Line;
  if (result.EndOfFile) FEndOfFile = true;
}

const TReadAheadRecord& TImportRun::NextReadAheadRecord() {
  try {
    return FReadAhead->Next();
  } catch (const EInOutError&) {
    throw;
  } catch (const std::exception&) {
    // As in ReadTextFileRecord: the caller sees one kind of failure.
    RaiseReadFailed();
  }
}

void TImportRun::RotateRecordCache(std::string& text) {
  // The record replaces the oldest one in the ring, which keeps each read
  // O(1) however many records are held back.
  const int count = FRecordCache->Count();
  if (FCacheHead >= count) FCacheHead = 0;
  std::string oldest = FRecordCache->Strings(FCacheHead);
  FRecordCache->SetStrings(FCacheHead, std::move(text));
  text = std::move(oldest);
  FCacheOrigins.resize(static_cast<std::size_t>(count));
  TCachedOrigin& origin = FCacheOrigins[static_cast<std::size_t>(FCacheHead)];
  std::swap(FRecordLine, origin.Line);
  std::swap(FRecordFault, origin.Fault);
  FCacheHead = (FCacheHead + 1) % count;
}

void TImportRun::ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes, std::string& text) {
  try {
    ReadPhysicalRecord(Handle, text);
    if (FProps.FUseRecordCache && FRecordCache->Count() > 0) {
      // The record read is held back and the oldest cached one handed out,
      // with its own line and fault (text not valid in the encoding, say).
      RotateRecordCache(text);
    }
  } catch (const EInOutError&) {
    throw;
  } catch (const std::exception&) {
    // Whatever stopped the read (a record too long to hold, ...), the caller
    // sees one kind of failure.
    RaiseReadFailed();
  }
  Bytes = ClampToUInt32(text.size());
}

std::string TCSVImport::ReadTextFileRecord(TFileHandle& Handle, std::uint32_t& Bytes) {
  std::string text;
  ReadTextFileRecord(Handle, Bytes, text);
  return text;
}

void TImportRun::NormalizeRecordCache() {
  if (FCacheHead == 0 || !FRecordCache) return;
  const int count = FRecordCache->Count();
  if (FCacheHead < count) {
    TStringList ordered;
    ordered.Reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ordered.Add(FRecordCache->Strings((FCacheHead + i) % count));
    FRecordCache->Assign(ordered);
    FCacheOrigins.resize(static_cast<std::size_t>(count));
    std::rotate(FCacheOrigins.begin(), FCacheOrigins.begin() + FCacheHead, FCacheOrigins.end());
  }
  FCacheHead = 0;
}

bool TImportRun::ReadAheadRecordCache(std::int32_t Count) {
  FCacheHead = 0;
  FCacheOrigins.clear();
  if (!FRecordCache) {
    FRecordCache = std::make_unique<TStringList>();
  } else {
    try {
      FRecordCache->Clear();
    } catch (const std::exception&) {
      // Clearing raises nothing today (only for want of memory could it);
      // should it, the run does not start, Setup naming the trailer
      // records as the reason.
      return false;
    }
  }
  std::int32_t counter = 0;
  std::string text;
  std::uint32_t bytes = 0;
  while (counter < Count && !FEndOfFile) {
    ReadTextFileRecord(FFileHandle, bytes, text);
    // With the cache on (a handler pre-filling it during a run), each read
    // has turned the ring: the record goes after its newest entry, which is
    // the end of the cache in order.
    if (FCacheHead == 0) {
      FRecordCache->Add(text);
      FCacheOrigins.push_back({FRecordLine, FRecordFault});
    } else {
      FRecordCache->Insert(FCacheHead, text);
      FCacheOrigins.resize(static_cast<std::size_t>(FRecordCache->Count()) - 1);
      FCacheOrigins.insert(FCacheOrigins.begin() + FCacheHead, {FRecordLine, FRecordFault});
      ++FCacheHead;
    }
    ++counter;
  }
  return counter == Count;
}

std::int64_t TImportRun::InputFileSize(std::string& warning) const {
  // A pipe has no size, and opening it only to measure it could lose what
  // its writer sends before the run's own open.
  if (IsNamedPipe(FProps.FInputFile)) return 0;
  TFileHandle file = FProps.FSharedReading ? OpenFileForSharedRead(FProps.FInputFile)
                                           : OpenFileForRead(FProps.FInputFile);
  if (!file.Valid()) {
    warning = "Error getting file handle";
    return -1;
  }
  std::int64_t size = FileSize(file);
  if (size < 0) {
    warning = "Error getting file information";
    return -1;
  }
  return size;
}

std::int64_t TCSVImport::GetFileSize() {
  std::string warning;
  const std::int64_t size = FRun->InputFileSize(warning);
  if (!warning.empty()) FRun->ShowMessage(warning, mtWarning);
  return size;
}

}  // namespace korvane
