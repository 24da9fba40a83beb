#include "core/temporary_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace korvane {

TTemporaryFile::TTemporaryFile(std::string pattern) {
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return;
  FFd = fd;
  FPath = std::move(pattern);
}

TTemporaryFile TTemporaryFile::Adopt(std::string path) {
  TTemporaryFile file;
  file.FPath = std::move(path);
  return file;
}

TTemporaryFile::TTemporaryFile(TTemporaryFile&& other) noexcept
    : FPath(std::exchange(other.FPath, std::string())), FFd(std::exchange(other.FFd, -1)) {}

TTemporaryFile& TTemporaryFile::operator=(TTemporaryFile&& other) noexcept {
  if (this != &other) {
    Remove();
    FPath = std::exchange(other.FPath, std::string());
    FFd = std::exchange(other.FFd, -1);
  }
  return *this;
}

bool TTemporaryFile::Close() {
  const int fd = std::exchange(FFd, -1);
  return fd < 0 || ::close(fd) == 0;
}

bool TTemporaryFile::Replace(const std::string& target) {
  if (std::rename(FPath.c_str(), target.c_str()) != 0) return false;
  FPath.clear();
  return true;
}

void TTemporaryFile::Remove() noexcept {
  if (FFd >= 0) ::close(std::exchange(FFd, -1));
  if (!FPath.empty()) ::unlink(FPath.c_str());
  FPath.clear();
}

unsigned NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
}

}  // namespace korvane
