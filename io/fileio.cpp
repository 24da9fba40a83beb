#include "io/fileio.h"

#include "io/fileio_faults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace korvane {

static_assert(sizeof(off_t) >= 8, "files over 4 GiB need a 64-bit off_t");

namespace {

thread_local int gLastError = 0;

// The writes still to succeed before every write fails with
// gWriteFaultError; negative when writes fail only on their own.
std::atomic<std::int64_t> gGoodWrites{-1};
std::atomic<int> gWriteFaultError{0};

// Whether this write is one that must fail on purpose (one relaxed load
// when no fault is set).
bool WriteFaultHere() {
  const std::int64_t left = gGoodWrites.load(std::memory_order_relaxed);
  if (left < 0) return false;
  if (left > 0) {
    gGoodWrites.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  gLastError = gWriteFaultError.load(std::memory_order_relaxed);
  return true;
}

// Records errno as the last error and returns false, for one-line failure
// paths.
bool Fail() {
  gLastError = errno;
  return false;
}

// Takes the exclusive lock that keeps other opens through this API out.
// flock() locks belong to the open file description, so a second open() of
// the same file in this process gets its own description and is refused like
// one from another process.
bool Lock(int fd, int how) {
  while (flock(fd, how | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool LockExclusive(int fd) { return Lock(fd, LOCK_EX); }

// Closes fd keeping the errno of the failure that made us give it up.
void Abandon(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
}

// An open that failed after fd was opened: closes it, records the errno of
// the failure and gives no handle.
TFileHandle GiveUpOpen(int fd) {
  Abandon(fd);
  Fail();
  return TFileHandle();
}

// An open whose open() failed: records its errno and gives no handle.
TFileHandle FailedOpen() {
  Fail();
  return TFileHandle();
}

}  // namespace

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = std::exchange(other.FFd, -1);
  }
  return *this;
}

bool TFileHandle::Close() {
  if (FFd < 0) return true;
  int fd = std::exchange(FFd, -1);
  // The lock goes with the last descriptor of the open file description.
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  if (::close(fd) != 0) return Fail();
  return true;
}

int GetLastError() { return gLastError; }

void SetLastError(int error) { gLastError = error; }

namespace {

TFileHandle OpenForRead(const std::string& path, int lock) {
  // A named pipe is opened as cat opens it: the open waits for a writer,
  // since reading one that has none yet would find its end at once. Any
  // other file opens with O_NONBLOCK (a device that would wait does not),
  // cleared again below so that reads block normally.
  struct stat before {};
  const bool fifo = ::stat(path.c_str(), &before) == 0 && S_ISFIFO(before.st_mode);
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (fifo ? 0 : O_NONBLOCK));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FailedOpen();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return GiveUpOpen(fd);
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return GiveUpOpen(fd);
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !Lock(fd, lock))
    return GiveUpOpen(fd);
  gLastError = 0;
  return TFileHandle(fd);
}

}  // namespace

std::string OpenFailureText(int error) {
  if (error == EWOULDBLOCK) return ": it is locked by another program or run";
  return error != 0 ? " (" + std::string(std::strerror(error)) + ")" : std::string();
}

TFileHandle OpenFileForRead(const std::string& path) { return OpenForRead(path, LOCK_EX); }

TFileHandle OpenFileForSharedRead(const std::string& path) { return OpenForRead(path, LOCK_SH); }

TFileHandle CreateFileForWrite(const std::string& path) {
  // No O_TRUNC: the file is emptied only once the lock is ours, so a file
  // held by another run keeps its contents.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return FailedOpen();
  if (!LockExclusive(fd)) return GiveUpOpen(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return GiveUpOpen(fd);
  // Only regular files are emptied; a device or FIFO is written as it is.
  if (S_ISREG(st.st_mode) && st.st_size != 0 && ::ftruncate(fd, 0) != 0) return GiveUpOpen(fd);
  gLastError = 0;
  return TFileHandle(fd);
}

bool ReadFile(const TFileHandle& file, void* buffer, std::size_t count, std::size_t& bytesRead) {
  bytesRead = 0;
  if (!file.Valid()) {
    gLastError = EBADF;
    return false;
  }
  // read() transfers at most about 2 GiB per call; larger requests are
  // simply answered in part, which the caller handles like any short read.
  if (count > static_cast<std::size_t>(SSIZE_MAX)) count = static_cast<std::size_t>(SSIZE_MAX);
  for (;;) {
    ssize_t n = ::read(file.Fd(), buffer, count);
    if (n >= 0) {
      bytesRead = static_cast<std::size_t>(n);
      return true;
    }
    if (errno != EINTR) return Fail();
  }
}

void FailWritesAfter(std::int64_t goodWrites, int error) {
  gWriteFaultError.store(error, std::memory_order_relaxed);
  gGoodWrites.store(goodWrites < 0 ? 0 : goodWrites, std::memory_order_relaxed);
}

void ClearWriteFault() { gGoodWrites.store(-1, std::memory_order_relaxed); }

bool WriteFile(const TFileHandle& file, const void* buffer, std::size_t count) {
  if (!file.Valid()) {
    gLastError = EBADF;
    return false;
  }
  if (WriteFaultHere()) return false;
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    std::size_t chunk =
        count > static_cast<std::size_t>(SSIZE_MAX) ? static_cast<std::size_t>(SSIZE_MAX) : count;
    ssize_t n = ::write(file.Fd(), p, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) {
      // A zero-byte write of a non-empty buffer would loop for ever.
      gLastError = EIO;
      return false;
    }
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t FileSize(const TFileHandle& file) {
  if (!file.Valid()) {
    gLastError = EBADF;
    return -1;
  }
  struct stat st {};
  if (::fstat(file.Fd(), &st) != 0) {
    Fail();
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

bool IsRegularFile(const TFileHandle& file) {
  struct stat st {};
  return file.Valid() && ::fstat(file.Fd(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsNamedPipe(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace korvane
