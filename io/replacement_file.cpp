#include "io/replacement_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>

#include "core/sysutils.h"
#include "core/temporary_file.h"

namespace korvane {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

std::atomic<TReplacementFile::TPendingWatch> gPendingWatch{nullptr};

void Watch(const char* path) {
  if (const TReplacementFile::TPendingWatch watch = gPendingWatch.load()) watch(path);
}

// What a failed Commit gave standard output.
std::string WentToStdout(std::uint64_t bytes) {
  if (bytes == 0) return "nothing went to standard output";
  return "the first " + std::to_string(bytes) + " bytes of the export went to standard output";
}

}  // namespace

void TReplacementFile::SetPendingWatch(TPendingWatch watch) { gPendingWatch.store(watch); }

TReplacementFile::TReplacementFile(const std::string& target) : FTarget(target) {
  struct stat info {};
  if (target == "-") {
    if (::fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
      FToStdout = true;
      const char* tmp = std::getenv("TMPDIR");
      std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
      CreateTemporary(dir, "korvane-export", "a temporary file in " + dir);
    } else {
      FDirect = true;
      FWritePath = "/dev/stdout";
    }
    return;
  }
  std::string real = target;
  if (::stat(target.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      if (S_ISDIR(info.st_mode)) throw EInOutError("'" + target + "' is a folder, not a file");
      FDirect = true;  // a device or pipe: nothing to keep safe
      FWritePath = target;
      return;
    }
    FTargetMode = static_cast<unsigned>(info.st_mode & 07777);
    // A link to a file: the file it names gets replaced, the link stays.
    if (char* resolved = ::realpath(target.c_str(), nullptr)) {
      real = resolved;
      std::free(resolved);
    }
  }
  FTarget = real;
  std::size_t slash = real.rfind('/');
  std::string dir = slash == std::string::npos ? "." : real.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? real : real.substr(slash + 1);
  CreateTemporary(dir, "." + base + ".korvane", "'" + target + "'");
}

// A named new file is PREFIX-PID-RANDOM: a later run for the same target
// removes those whose process is gone.
void TReplacementFile::CreateTemporary(const std::string& dir, const std::string& prefix,
                                       const std::string& shown) {
  FDir = dir;
  FPrefix = prefix + "-";
  RemoveOrphans(dir, FPrefix);
  // An unnamed file where the file system has them: nothing to remove, however
  // the process ends. Reached by its /proc path, which the export reopens.
  struct stat proc {};
  if (::stat("/proc/self/fd", &proc) == 0) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      FUnnamed = TFileHandle(fd);
      FWritePath = "/proc/self/fd/" + std::to_string(fd);
      return;
    }
  }
  FNamed = TTemporaryFile(dir + "/" + FPrefix + std::to_string(::getpid()) + "-XXXXXX");
  if (!FNamed.Made()) {
    int error = errno;
    throw EInOutError(shown + " cannot be written (" + ErrnoText(error) + ")");
  }
  FNamed.Close();
  FWritePath = FNamed.Path();
  Watch(FWritePath.c_str());
}

void TReplacementFile::RemoveOrphans(const std::string& dir, const std::string& prefix) {
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) return;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view rest = name.substr(prefix.size());
    long pid = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    if (ec != std::errc() || end == rest.data() || end == rest.data() + rest.size() ||
        *end != '-' || pid <= 0) {
      continue;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      ::unlink((dir + "/" + std::string(name)).c_str());
    }
  }
  ::closedir(folder);
}

// Gives the unnamed file a name beside the target (linkat can only make a
// new name) and returns it; the caller renames it over the target.
std::string TReplacementFile::NameUnnamed() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = FDir + "/" + FPrefix + std::to_string(::getpid()) + "-" +
                             std::to_string(random() % 1000000000u);
    if (::linkat(AT_FDCWD, FWritePath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return name;
    }
    if (errno != EEXIST) break;
  }
  int error = errno;
  throw EInOutError("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                    "); the old file is unchanged");
}

TReplacementFile::~TReplacementFile() {
  FNamed.Remove();
  if (!FDirect) Watch(nullptr);
}

void TReplacementFile::Commit() {
  if (FDirect || FCommitted) return;
  if (FToStdout) {
    FCommitted = true;
    int fd = ::open(FWritePath.c_str(), O_RDONLY | O_CLOEXEC);
    const int openError = errno;
    FNamed.Remove();
    FUnnamed.Close();
    Watch(nullptr);
    if (fd < 0) {
      throw EInOutError("cannot read back the export (" + ErrnoText(openError) + "); " +
                        WentToStdout(0));
    }
    char buffer[1 << 16];
    std::uint64_t written = 0;
    while (true) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int error = errno;
        ::close(fd);
        throw EInOutError("cannot read back the export (" + ErrnoText(error) + "); " +
                          WentToStdout(written));
      }
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(STDOUT_FILENO, buffer + done, static_cast<std::size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          int error = errno;
          ::close(fd);
          throw EInOutError("cannot write to standard output (" + ErrnoText(error) + "); " +
                            WentToStdout(written));
        }
        done += w;
        written += static_cast<std::uint64_t>(w);
      }
    }
    ::close(fd);
    return;
  }
  const unsigned mode = FTargetMode ? *FTargetMode : NewFileMode();
  if (::chmod(FWritePath.c_str(), static_cast<mode_t>(mode)) != 0) {
    int error = errno;
    throw EInOutError("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                      "); the old file is unchanged");
  }
  if (FUnnamed.Valid()) {
    FNamed = TTemporaryFile::Adopt(NameUnnamed());
    FWritePath = FNamed.Path();
    FUnnamed.Close();
    Watch(FWritePath.c_str());
  }
  if (!FNamed.Replace(FTarget)) {
    int error = errno;
    throw EInOutError("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                      "); the old file is unchanged");
  }
  FCommitted = true;
  Watch(nullptr);
}

}  // namespace korvane
