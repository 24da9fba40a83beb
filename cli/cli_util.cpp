#include "cli/cli_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/backslash_escape.h"
#include "core/sysutils.h"

namespace korvane::cli {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// A byte as the user would recognise it in a message.
std::string Shown(std::string_view text) {
  std::string result = "'";
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b == '\t') {
      result += "\\t";
    } else if (b < 32 || b == 127) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      result += "\\x";
      result += kHex[b >> 4];
      result += kHex[b & 15];
    } else {
      result += c;
    }
  }
  return result + "'";
}

}  // namespace

TSeparatorChoice ParseSeparator(std::string_view text) {
  std::string word = LowerCase(text);
  if (text == "," || word == "comma") return {fspComma, ""};
  if (text == "|" || word == "pipe") return {fspPipe, ""};
  if (text == "\t" || text == "\\t" || word == "tab") return {fspTab, ""};
  if (word == "none") return {fspNone, ""};
  if (text.size() == 1 && static_cast<unsigned char>(text[0]) > 32 &&
      static_cast<unsigned char>(text[0]) != 127) {
    return {fspCustom, std::string(text)};
  }
  if (text.size() == 1) {
    throw EUsageError("--separator " + Shown(text) +
                      ": a blank or control character cannot separate values (use tab, or "
                      "--fixed for columns of blanks-padded values)");
  }
  throw EUsageError("--separator " + Shown(text) +
                    ": give one character, or comma, tab, pipe or none");
}

TFieldDelimiter ParseQuote(std::string_view text) {
  std::string word = LowerCase(text);
  if (text == "\"" || word == "double") return fdlDouble;
  if (text == "'" || word == "single") return fdlSingle;
  if (text.empty() || word == "none") return fdlNone;
  throw EUsageError("--quote " + Shown(text) +
                    ": the quote character can be \" (double), ' (single) or none");
}

TDialect ParseDialect(std::string_view text) {
  std::string word = LowerCase(text);
  if (word == "standard") return dlStandard;
  if (word == "classic") return dlClassic;
  throw EUsageError("--dialect " + Shown(text) + ": use standard or classic");
}

TRecordSeparator ParseRecordSeparator(std::string_view text) {
  std::string word = LowerCase(text);
  if (word == "lf") return rsLF;
  if (word == "crlf") return rsCRLF;
  if (word == "cr") return rsCR;
  throw EUsageError("--record-separator " + Shown(text) + ": use lf, crlf or cr");
}

char ParseFormatChar(std::string_view option, std::string_view text) {
  if (text.size() != 1) {
    throw EUsageError(std::string(option) + " " + Shown(text) + ": give exactly one character");
  }
  return text[0];
}

std::vector<std::string> SplitColumnDefinitions(std::string_view text) {
  std::vector<std::string> items;
  std::string current;
  int depth = 0;
  char quote = 0;
  auto finish = [&](bool last) {
    std::string item = Trim(current);
    current.clear();
    if (item.empty()) {
      if (last && items.empty()) return;  // nothing given at all
      throw EUsageError("--columns " + Shown(text) +
                        ": an empty column definition (two commas in a row, or a comma at "
                        "an end)");
    }
    items.push_back(std::move(item));
  };
  for (char c : text) {
    if (quote != 0) {
      current += c;
      if (c == quote) quote = 0;  // a doubled quote closes and reopens: same result
      continue;
    }
    switch (c) {
      case '"':
      case '\'':
      case '`':
        quote = c;
        break;
      case '[':
        quote = ']';
        break;
      case '(':
        ++depth;
        break;
      case ')':
        if (--depth < 0) throw EUsageError("--columns " + Shown(text) + ": ')' without '('");
        break;
      case ',':
        if (depth == 0) {
          finish(false);
          continue;
        }
        break;
      default:
        break;
    }
    current += c;
  }
  if (quote != 0) throw EUsageError("--columns " + Shown(text) + ": a name's quote is not closed");
  if (depth != 0) throw EUsageError("--columns " + Shown(text) + ": '(' without ')'");
  finish(true);
  if (items.empty())
    throw EUsageError(
        "--columns is empty: give the columns as in SQL, "
        "for example --columns \"id INTEGER, name TEXT\"");
  return items;
}

std::vector<std::string> SplitNameList(std::string_view option, std::string_view text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = text.find(',', start);
    std::string name =
        Trim(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (name.empty()) {
      throw EUsageError(std::string(option) + " " + Shown(text) +
                        ": give field names separated by commas, without empty names");
    }
    names.push_back(std::move(name));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return names;
}

std::string TextColumnDefinition(std::string_view name, int position) {
  return ColumnDefinition(name, "TEXT", position);
}

std::string ColumnDefinition(std::string_view name, std::string_view type, int position) {
  std::string column = Trim(name);
  if (column.empty()) column = "column" + IntToStr(position);
  std::string quoted = "\"";
  for (char c : column) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\" " + std::string(type);
}

std::string JsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      continue;
    }
    // Well-formed: no overlong forms, no surrogates, at most U+10FFFF.
    std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    bool valid = len != 0 && b <= 0xF4 && i + len <= text.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (valid && len >= 3) {
      auto b1 = static_cast<unsigned char>(text[i + 1]);
      if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 >= 0xA0) || (b == 0xF0 && b1 < 0x90) ||
          (b == 0xF4 && b1 >= 0x90)) {
        valid = false;
      }
    }
    if (valid) {
      out.append(text.substr(i, len));
      i += len - 1;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : JsonText(text)) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
    } else if (!AppendBackslashEscape(out, c)) {
      if (b < 0x20 || b == 0x7F) {
        out += "\\u00";
        out += kHex[b >> 4];
        out += kHex[b & 15];
      } else {
        out += c;
      }
    }
  }
  out += '"';
  return out;
}

TEventLog::TEventLog(const std::string& path) {
  FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) {
    throw EUsageError("--events '" + path + "': cannot be written (" + ErrnoText(errno) + ")");
  }
}

TEventLog::~TEventLog() {
  if (FFd >= 0) ::close(FFd);
}

void TEventLog::Write(std::string_view event, std::string_view component,
                      std::initializer_list<TArg> args) {
  if (!FGood) return;
  FLine.clear();
  FLine += "{\"event\":";
  FLine += JsonString(event);
  if (!component.empty()) {
    FLine += ",\"component\":";
    FLine += JsonString(component);
  }
  for (const TArg& arg : args) {
    FLine += ',';
    FLine += JsonString(arg.Name);
    FLine += ':';
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, arg.Value);
    FLine.append(digits, end);
  }
  FLine += "}\n";
  const char* p = FLine.data();
  std::size_t left = FLine.size();
  while (left > 0) {
    ssize_t n = ::write(FFd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      FGood = false;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

namespace {

// The replacement file in progress, removed when the command is interrupted
// (Ctrl-C, a hang-up, kill), so that no stray file is left beside the
// target. A signal handler may only use a plain buffer and unlink().
char gPendingPath[4096];
struct sigaction gPreviousActions[3];
constexpr int kCleanupSignals[3] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemovePendingAndDie(int sig) {
  if (gPendingPath[0] != '\0') ::unlink(gPendingPath);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void WatchPending(const std::string& path) {
  if (path.size() >= sizeof gPendingPath) return;  // too long to keep: left to chance
  std::memcpy(gPendingPath, path.c_str(), path.size() + 1);
  struct sigaction action {};
  action.sa_handler = RemovePendingAndDie;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) ::sigaction(kCleanupSignals[i], &action, &gPreviousActions[i]);
}

void ForgetPending() {
  if (gPendingPath[0] == '\0') return;
  for (int i = 0; i < 3; ++i) ::sigaction(kCleanupSignals[i], &gPreviousActions[i], nullptr);
  gPendingPath[0] = '\0';
}

}  // namespace

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
      if (S_ISDIR(info.st_mode)) throw EUsageError("'" + target + "' is a folder, not a file");
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
  std::string pattern = dir + "/" + FPrefix + std::to_string(::getpid()) + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    int error = errno;
    throw EUsageError(shown + " cannot be written (" + ErrnoText(error) + ")");
  }
  ::close(fd);
  FWritePath = name.data();
  WatchPending(FWritePath);
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
    if (ec != std::errc() || end == rest.data() || end == rest.data() + rest.size() || *end != '-' ||
        pid <= 0) {
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
  throw std::runtime_error("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                           "); the old file is unchanged");
}

TReplacementFile::~TReplacementFile() {
  if (!FDirect && !FCommitted && !FUnnamed.Valid() && !FWritePath.empty()) {
    ::unlink(FWritePath.c_str());
  }
  if (!FDirect) ForgetPending();
}

void TReplacementFile::Commit() {
  if (FDirect || FCommitted) return;
  if (FToStdout) {
    FCommitted = true;
    int fd = ::open(FWritePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (!FUnnamed.Valid()) ::unlink(FWritePath.c_str());
    FUnnamed.Close();
    ForgetPending();
    if (fd < 0) throw std::runtime_error("cannot read back the export (" + ErrnoText(errno) + ")");
    char buffer[1 << 16];
    while (true) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(STDOUT_FILENO, buffer + done, static_cast<std::size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          int error = errno;
          ::close(fd);
          throw std::runtime_error("cannot write to standard output (" + ErrnoText(error) + ")");
        }
        done += w;
      }
    }
    ::close(fd);
    return;
  }
  unsigned mode = 0;
  if (FTargetMode) {
    mode = *FTargetMode;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666u & ~static_cast<unsigned>(mask);
  }
  if (::chmod(FWritePath.c_str(), static_cast<mode_t>(mode)) != 0) {
    int error = errno;
    throw std::runtime_error("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                             "); the old file is unchanged");
  }
  if (FUnnamed.Valid()) {
    FWritePath = NameUnnamed();
    FUnnamed.Close();
    WatchPending(FWritePath);
  }
  if (::rename(FWritePath.c_str(), FTarget.c_str()) != 0) {
    int error = errno;
    throw std::runtime_error("cannot replace '" + FTarget + "' (" + ErrnoText(error) +
                             "); the old file is unchanged");
  }
  FCommitted = true;
  ForgetPending();
}

}  // namespace korvane::cli
