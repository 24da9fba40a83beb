// TBackgroundWriter: writes buffers to a file on a thread of its own.
#pragma once

#include <cstddef>
#include <thread>

#include "io/batch_pipe.h"
#include "io/fileio.h"

namespace korvane {

class TByteSink;

// Writes buffers to a file on a thread of its own, one buffer at a time, so
// that the caller can fill the next buffer meanwhile. The file must stay
// open while the writer exists; the caller writes to it itself only after
// Wait. Destroying the writer waits for the write in progress.
class TBackgroundWriter {
 public:
  // Starts the thread; raises std::system_error when it cannot. With a
  // sink, the buffers go through it (which writes the file) instead.
  explicit TBackgroundWriter(const TFileHandle& file, TByteSink* sink = nullptr);
  ~TBackgroundWriter();
  TBackgroundWriter(const TBackgroundWriter&) = delete;
  TBackgroundWriter& operator=(const TBackgroundWriter&) = delete;

  // Starts writing count bytes at data, which must stay valid and unchanged
  // until the next Wait. Only when idle (after Wait).
  void Start(const char* data, std::size_t count);
  // Waits until the write in progress (if any) has ended. False when a write
  // failed: Error() gives the OS error code, and every later Wait is false.
  bool Wait();
  int Error() const { return FError; }

 private:
  struct TJob {
    const char* Data = nullptr;
    std::size_t Count = 0;
  };
  void Run();

  const TFileHandle& FFile;
  TByteSink* FSink;
  TBatchPipe<TJob, 1> FPipe{THandOff::hoBackgroundWrite};
  int FError = 0;       // the thread's until a Wait returns
  std::thread FThread;  // last: it starts once everything above exists
};

}  // namespace korvane
