// File operations the components use in place of the operating system's own
// calls, with the results the components rely on.
//
// Exclusive opening: every open through this API takes an exclusive,
// non-blocking flock() on the file. A second open of the same file through
// this API, from this process or another, fails with EWOULDBLOCK while the
// first is held (flock() locks belong to the open file description, so even
// two opens in one process exclude each other). What the lock does not
// cover: it is advisory, so programs that do not take flock() themselves
// (editors, cat, cp) can still read and write the file; on network file
// systems it is only as good as the server's lock emulation. The lock ends
// when the handle is closed.
//
// Descriptors are opened close-on-exec. Sizes and offsets are 64-bit, so
// files over 4 GiB are read and measured whole. Not thread-safe per handle;
// GetLastError is per thread.
#pragma once

#include "core/api.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

// An open file; closes it when destroyed. Movable, not copyable.
class KORVANE_API TFileHandle {
 public:
  TFileHandle() = default;
  explicit TFileHandle(int fd) : FFd(fd) {}
  TFileHandle(TFileHandle&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TFileHandle& operator=(TFileHandle&& other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  ~TFileHandle() { Close(); }

  bool Valid() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  // Closes the file if open; returns false when the OS reported an error.
  bool Close();

 private:
  int FFd = -1;
};

// The error code of the most recent failed call of this API on this thread
// (an errno value; 0 when none).
KORVANE_API int GetLastError();
// Sets this thread's error code: for an error that a call made on another
// thread reported.
KORVANE_API void SetLastError(int error);

// Opens an existing file for reading, exclusively. An invalid handle on
// failure: missing file (ENOENT), a directory (EISDIR), no permission
// (EACCES), held by another open (EWOULDBLOCK). Opening a FIFO never blocks.
KORVANE_API TFileHandle OpenFileForRead(const std::string& path);
// What follows "cannot open 'FILE'" in a message for a failed open whose
// error is error: " (No such file or directory)", or for a file another
// open holds (EWOULDBLOCK) ": it is locked by another program or run".
KORVANE_API std::string OpenFailureText(int error);
// The same, for shared reading: other shared opens of the file succeed
// while the handle is held, an exclusive one (OpenFileForRead,
// CreateFileForWrite) does not.
KORVANE_API TFileHandle OpenFileForSharedRead(const std::string& path);

// Creates a file for writing, exclusively, replacing an existing one. The
// lock is taken before the file is emptied, so a file held by another run is
// left untouched. An invalid handle on failure.
KORVANE_API TFileHandle CreateFileForWrite(const std::string& path);

// Reads up to count bytes. false on an OS error (GetLastError gives it);
// bytesRead 0 with true at the end of the file. Retries on EINTR.
KORVANE_API bool ReadFile(const TFileHandle& file, void* buffer, std::size_t count,
                          std::size_t& bytesRead);

// Writes all count bytes (looping over short writes). false on an OS error.
KORVANE_API bool WriteFile(const TFileHandle& file, const void* buffer, std::size_t count);

// Size of an open file in bytes, or -1.
KORVANE_API std::int64_t FileSize(const TFileHandle& file);

// Whether an open file is a regular file (not a pipe, socket or device),
// whose reads return at once.
KORVANE_API bool IsRegularFile(const TFileHandle& file);

// Whether path names a FIFO (a named pipe). Each open of one is a reader of
// its own: a reader opened and closed again takes bytes from the pipe or
// leaves a writer without a reader.
KORVANE_API bool IsNamedPipe(const std::string& path);

}  // namespace korvane
