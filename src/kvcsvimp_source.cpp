// TCSVImport's input below the scanner: the file read as it is, or through
// a source that decompresses it.
#include <cerrno>

#include "platform/sysutils.h"
#include "src/kvcsvimp.h"

namespace korvane {

bool TCSVImport::OpenSource() {
  FScanner.SetSource(nullptr);
  FSource.reset();
  if (FCompression == cmNone) return true;
  TByteSourceOptions options;
  // Decompressing beside the reader is one of the threads ReadAhead allows.
  options.Thread = FReadAheadEnabled;
  try {
    FSource = OpenByteSource(FFileHandle, options);
  } catch (const EInOutError& e) {
    SetLastError(e.ErrorCode != 0 ? e.ErrorCode : EIO);
    return false;
  }
  FScanner.SetSource(FSource.get());
  return true;
}

std::int64_t TCSVImport::FileBytesFor(std::int64_t textBytes) const {
  if (!FSource || FSource->Format() == TFileFormat::ffPlain) return textBytes;
  // The text read so far came from so many bytes of the file: the records
  // handed out stand at the same share of it.
  const TByteSource::TProgress progress = FSource->Progress();
  if (progress.TextBytes <= 0) return 0;
  const double share = static_cast<double>(textBytes) / static_cast<double>(progress.TextBytes);
  return static_cast<std::int64_t>(share * static_cast<double>(progress.FileBytes));
}

}  // namespace korvane
