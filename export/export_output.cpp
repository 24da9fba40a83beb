#include "export/export_output.h"

#include "io/text_encoding.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace korvane {

void TExportOutput::Begin() {
  FLength = 0;
  if (FCapacity < kFirstWrite + 1024) Grow(FBuffer.get(), kFirstWrite + 1024);
  FFlushAt = kFirstWrite;
  FWrittenBytes = 0;
  FErrorCode = 0;
  FFailure.clear();
}

bool TExportOutput::Create(const std::string& path, TFileFormat format,
                           const std::string& encoding) {
  StopWriter();
  FSink.reset();
  FFile.Close();  // left open by a host that drove the pieces itself
  FFile = CreateFileForWrite(path);
  if (!FFile.Valid()) return false;
  FSink = CreateCompressingSink(FFile, format);
  if (!encoding.empty() && !IsUtf8Encoding(encoding)) {
    FSink = CreateEncodingSink(FFile, std::move(FSink), encoding);
  }
  return true;
}

char* TExportOutput::Grow(char* end, std::size_t n) {
  const auto used = static_cast<std::size_t>(end - FBuffer.get());
  const std::size_t capacity = std::max(used + n, std::max(2 * FCapacity, kFirstWrite + 1024));
  auto grown = std::make_unique_for_overwrite<char[]>(capacity);
  if (used > 0) std::memcpy(grown.get(), FBuffer.get(), used);
  FBuffer = std::move(grown);
  FCapacity = capacity;
  return FBuffer.get() + used;
}

void TExportOutput::Append(std::string_view bytes) {
  TLineWriter line(*this);
  char* p = line.Begin(bytes.size());
  std::memcpy(p, bytes.data(), bytes.size());
  line.End(p + bytes.size());
}

void TExportOutput::ReleaseBuffer() noexcept {
  FBuffer.reset();
  FLength = 0;
  FCapacity = 0;
}

bool TExportOutput::WaitForWriter() {
  if (FWriter == nullptr || FWriter->Wait()) return true;
  if (FErrorCode == 0) {
    FErrorCode = FWriter->Error();
    if (FSink) FFailure = FSink->Failure();
  }
  FLength = 0;  // a failed write ends the run
  return false;
}

void TExportOutput::StopWriter() noexcept {
  FWriter.reset();  // waits for the write in progress
  FSpare.reset();
  FSpareCapacity = 0;
}

void TExportOutput::Counted(std::size_t written) {
  FWrittenBytes += written;
  FFlushAt = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(FWrittenBytes, kFirstWrite, kLargestWrite));
}

bool TExportOutput::Queue() {
  if (FLength == 0) return true;
  // Until the writes have reached their full size they go out here, so that
  // a short run needs no thread and an early failure is found as soon as
  // before; a long run then overlaps writing with formatting, and a failure
  // is found one write later.
  if (FFlushAt < kLargestWrite) return Flush();
  if (FWriter == nullptr) {
    try {
      FWriter = std::make_unique<TBackgroundWriter>(FFile, FSink.get());
    } catch (const std::system_error&) {
      return Flush();  // no thread to be had: write here, nothing lost
    }
  } else if (!WaitForWriter()) {
    return false;
  }
  FWriter->Start(FBuffer.get(), FLength);
  std::swap(FBuffer, FSpare);
  std::swap(FCapacity, FSpareCapacity);
  Counted(FLength);
  FLength = 0;
  if (FCapacity < FFlushAt + kFirstWrite) Grow(FBuffer.get(), FFlushAt + kFirstWrite);
  return true;
}

bool TExportOutput::Flush() {
  // Whatever the background writer holds goes out before what is buffered.
  if (!WaitForWriter()) return false;
  if (FLength == 0) return true;
  const bool ok =
      FSink ? FSink->Write(FBuffer.get(), FLength) : WriteFile(FFile, FBuffer.get(), FLength);
  if (ok) Counted(FLength);
  // What failed to go out is dropped: a failed write ends the run.
  FLength = 0;
  // Give back what a very long line made the buffer grow to, and make room
  // for the next write in one go.
  if (FCapacity > 4 * kLargestWrite) ReleaseBuffer();
  if (FCapacity < FFlushAt + kFirstWrite) Grow(FBuffer.get(), FFlushAt + kFirstWrite);
  if (!ok && FErrorCode == 0) {
    FErrorCode = GetLastError();
    if (FSink) FFailure = FSink->Failure();
  }
  return ok;
}

void TExportOutput::Close() {
  if (FFile.Valid()) Flush();
  StopWriter();
  // The stream's end goes out only after everything before it.
  if (FSink && FFile.Valid() && FErrorCode == 0 && !FSink->Finish()) {
    FErrorCode = GetLastError();
    FFailure = FSink->Failure();
  }
  FSink.reset();
  if (FFile.Valid()) {
    if (!FFile.Close() && FErrorCode == 0) FErrorCode = GetLastError();
  }
  ReleaseBuffer();  // a long run's buffer is not kept between runs
}

}  // namespace korvane
