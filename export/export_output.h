// The output of an export run: the write buffer lines are formatted onto,
// the file it goes to and the thread that writes it there in long runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "io/byte_sink.h"
#include "io/background_writer.h"
#include "io/fileio.h"

namespace korvane {

class TLineWriter;

// Owns the output file, the write buffer and (in long runs) a second buffer
// and the background writer that writes it. Lines are written straight onto
// the end of the buffer through TLineWriter or Append; the buffer goes out
// once it holds FlushAt() bytes (a longer line makes it grow for that one
// write). A run's first write goes out at kFirstWrite buffered bytes; after
// that each write is as large as everything written before it, up to
// kLargestWrite, so that a short run or an early failure is found soon and
// a long run makes few, large writes. A failed write drops what it held and
// keeps its error code: the run ends. Used by one thread at a time.
class alignas(64) TExportOutput {
 public:
  static constexpr std::size_t kFirstWrite = 10240;
  static constexpr std::size_t kLargestWrite = 1 << 20;

  TExportOutput() = default;
  ~TExportOutput() { Close(); }
  TExportOutput(const TExportOutput&) = delete;
  TExportOutput& operator=(const TExportOutput&) = delete;

  // Starts a run: an empty buffer with room for the first write, and no
  // bytes written and no error yet.
  void Begin();
  // Creates the file (closing one left open); false when it cannot be.
  // With a compressed format, what is written goes into a stream of that
  // format, which Close ends.
  // With an encoding (other than empty or UTF-8), the text is converted from
  // UTF-8 into it first.
  bool Create(const std::string& path, TFileFormat format = TFileFormat::ffPlain,
              const std::string& encoding = {});
  bool Valid() const { return FFile.Valid(); }

  void Append(std::string_view bytes);
  // True once the buffer holds enough for a write.
  bool Full() const { return FLength >= FFlushAt; }
  // In a long run, hands the buffer to the background writer and goes on
  // with the other one, so that formatting and writing overlap (before
  // that, writes the buffer as Flush does). False when a write failed.
  bool Queue();
  // Hands everything buffered to the operating system and waits until it
  // has taken it. False when a write failed.
  bool Flush();
  // Writes out what is buffered, ends the background writer and the
  // compressed stream, closes the file and frees the buffers. Does nothing
  // the second time.
  void Close();
  // The OS error code of the first failed write or close since Begin; 0
  // when none failed.
  int ErrorCode() const { return FErrorCode; }
  // Why the first failed write failed when the OS did not refuse it (a
  // character the encoding cannot hold); empty otherwise.
  const std::string& Failure() const { return FFailure; }
  // The bytes buffered and not yet written.
  std::string_view Held() const { return {FBuffer.get(), FLength}; }

 private:
  friend class TLineWriter;

  // Moves what is held, up to end (which lies in the buffer), to a buffer
  // with room for n more bytes after end, and returns end's place there.
  char* Grow(char* end, std::size_t n);
  void ReleaseBuffer() noexcept;
  // Waits for the background writer; false when one of its writes failed.
  bool WaitForWriter();
  void StopWriter() noexcept;
  void Counted(std::size_t written);

  std::unique_ptr<char[]> FBuffer;
  std::size_t FLength = 0;
  std::size_t FCapacity = 0;
  std::size_t FFlushAt = kFirstWrite;
  std::uint64_t FWrittenBytes = 0;
  int FErrorCode = 0;
  std::string FFailure;
  TFileHandle FFile;
  // What the buffers go through to the file, when they are compressed.
  std::unique_ptr<TByteSink> FSink;
  // The buffer the background writer is writing (or has written) while the
  // next one fills. Declared after the file and the buffer, so that the
  // writer ends before they go.
  std::unique_ptr<char[]> FSpare;
  std::size_t FSpareCapacity = 0;
  std::unique_ptr<TBackgroundWriter> FWriter;
};

// Writes one line onto the end of an output's buffer, through a cursor the
// caller keeps. Room(p, n) makes the n bytes from p on writable (p lies in
// the line) and returns p's place afterwards, which moves when the buffer
// grows. Between two calls of Room the caller may store anywhere in the
// room last asked for, also past the end it finally keeps: End keeps the
// bytes up to its cursor, and a line that is never ended leaves the output
// as it was. It may read anywhere in that room too, bytes it never stored
// included (the record plan looks for bytes that need quotes sixteen at a
// time, past a value's end, and drops what it read there).
class TLineWriter {
 public:
  explicit TLineWriter(TExportOutput& output)
      : FOutput(output), FStart(output.FBuffer.get() + output.FLength) {}
  TLineWriter(const TLineWriter&) = delete;
  TLineWriter& operator=(const TLineWriter&) = delete;

  // The line's first byte, with n bytes of room.
  char* Begin(std::size_t n) { return Room(FStart, n); }
  char* Room(char* p, std::size_t n) {
    if (static_cast<std::size_t>(FOutput.FBuffer.get() + FOutput.FCapacity - p) >= n) return p;
    char* const moved = FOutput.Grow(p, n);
    FStart = moved - (p - FStart);
    return moved;
  }
  // Bytes of the line up to p.
  std::size_t Length(const char* p) const { return static_cast<std::size_t>(p - FStart); }
  // The place of the byte at offset n of the line.
  char* At(std::size_t n) const { return FStart + n; }
  void End(const char* p) { FOutput.FLength = static_cast<std::size_t>(p - FOutput.FBuffer.get()); }

 private:
  TExportOutput& FOutput;
  char* FStart;
};

}  // namespace korvane
