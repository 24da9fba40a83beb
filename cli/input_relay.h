// Standard input read again from its start: the bytes kept in a file for
// sniffing, then the rest of it, through a pipe that stands in for standard
// input while the import runs.
#pragma once

#include <string>
#include <thread>

#include "io/fileio.h"

namespace korvane::cli {

// While it lives, file descriptor 0 is a pipe that gives the bytes of
// keptFile and then what the original standard input has left; a thread
// copies them. When it goes, the copy stops and the original standard input
// is back.
class TInputRelay {
 public:
  // Raises EUsageError when the pipe cannot be made.
  explicit TInputRelay(const std::string& keptFile);
  ~TInputRelay();
  TInputRelay(const TInputRelay&) = delete;
  TInputRelay& operator=(const TInputRelay&) = delete;

  // Stops the copy where it stands and says why it stopped before the end
  // of standard input (empty when it reached it or was stopped so): after a
  // run that read the pipe to its end, a failure means the run missed the
  // rest of the input.
  std::string Finish();

 private:
  void Copy();
  // Copies from to the pipe until the end of from; false when stopped or
  // failed.
  bool CopyFrom(int from, const char* what);
  // Waits until fd is ready for events or the copy is stopped; false when
  // stopped.
  bool Wait(int fd, short events);

  std::string FKeptFile;
  TFileHandle FSaved;  // the original standard input
  TFileHandle FWrite;  // the pipe's end the thread writes, closed by it at the end
  // A byte written to FStopWrite stops the thread's waits on FStopRead.
  TFileHandle FStopRead;
  TFileHandle FStopWrite;
  std::string FFailure;  // the thread's, read after it is joined
  std::thread FThread;
  bool FFinished = false;
};

}  // namespace korvane::cli
