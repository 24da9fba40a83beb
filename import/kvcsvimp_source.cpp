// TCSVImport's input below the scanner: the file read as it is, or through
// sources that decompress it and convert its text to UTF-8.
#include <cerrno>
#include <cstdio>

#include "core/sysutils.h"
#include "io/text_encoding.h"
#include "import/kvcsvimp.h"
#include "import/kvcsvimp_run.h"

namespace korvane {

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

}  // namespace korvane
