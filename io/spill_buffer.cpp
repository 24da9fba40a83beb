#include "io/spill_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/sysutils.h"

namespace korvane {

namespace {

// An unnamed file in dir where the file system has them, else a named one
// removed at once; an invalid handle on failure (errno says why).
TFileHandle OpenTemporaryFile(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return TFileHandle(fd);
  std::string pattern = dir + "/korvane-spill-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named < 0) return TFileHandle();
  ::unlink(name.data());
  return TFileHandle(named);
}

std::string TemporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

TSpillBuffer::TSpillBuffer(std::size_t memoryBytes) : FLimit(memoryBytes < 1 ? 1 : memoryBytes) {}

void TSpillBuffer::Fail(const char* what, int error) {
  FMemory.clear();
  FFileBytes = 0;
  FFile.Close();
  throw EInOutError(std::string("the temporary file that holds data to send again cannot be ") +
                    what + " (" + std::strerror(error) + ")");
}

void TSpillBuffer::Append(std::string_view bytes) {
  // The memory part is allocated once at its full size and never grows:
  // what does not fit sends what it holds to the file first, and a piece
  // as large as the whole part goes to the file at once.
  if (FMemory.size() + bytes.size() > FLimit && !FMemory.empty()) Spill();
  if (bytes.size() >= FLimit) {
    Write(bytes);
    return;
  }
  if (FMemory.capacity() < FLimit) FMemory.reserve(FLimit);
  FMemory.append(bytes);
}

void TSpillBuffer::Spill() {
  Write(FMemory);
  FMemory.clear();
}

void TSpillBuffer::Write(std::string_view bytes) {
  if (!FFile.Valid()) {
    FFile = OpenTemporaryFile(TemporaryFolder());
    if (!FFile.Valid()) Fail("created", errno);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(FFile.Fd(), bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(FFileBytes + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("written", n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  FFileBytes += bytes.size();
}

void TSpillBuffer::Read(std::uint64_t offset, std::size_t count, std::string& out) const {
  out.resize(count);
  std::size_t done = 0;
  while (done < count && offset + done < FFileBytes) {
    const std::uint64_t at = offset + done;
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(count - done, FFileBytes - at));
    const ssize_t n = ::pread(FFile.Fd(), out.data() + done, want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw EInOutError(std::string("the temporary file that holds data to send again cannot be "
                                    "read (") +
                        std::strerror(n < 0 ? errno : EIO) + ")");
    }
    done += static_cast<std::size_t>(n);
  }
  if (done < count) {
    const auto from = static_cast<std::size_t>(offset + done - FFileBytes);
    std::memcpy(out.data() + done, FMemory.data() + from, count - done);
  }
}

void TSpillBuffer::Clear() {
  FMemory.clear();
  if (FFileBytes > 0 && ::ftruncate(FFile.Fd(), 0) != 0) FFile.Close();
  FFileBytes = 0;
}

}  // namespace korvane
