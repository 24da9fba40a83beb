#include "cli/cli_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "core/backslash_escape.h"
#include "core/sysutils.h"
#include "io/text_encoding.h"

namespace korvane::cli {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// A byte as the user would recognise it in a message.
std::string Shown(std::string_view text) { return "'" + ShownControls(text) + "'"; }


// The bytes of the well-formed UTF-8 sequence at text[i] (no overlong
// forms, no surrogates, at most U+10FFFF), 0 when there is none.
std::size_t WellFormedLength(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  const std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
  bool valid = len != 0 && b <= 0xF4 && i + len <= text.size();
  for (std::size_t k = 1; valid && k < len; ++k) {
    valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
  }
  if (valid && len >= 3) {
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    valid = !((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 >= 0xA0) ||
              (b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 >= 0x90));
  }
  return valid ? len : 0;
}

}  // namespace

std::string ShownBytes(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t len = b < 0x80 ? 0 : WellFormedLength(text, i);
    if (len != 0) {
      result.append(text.substr(i, len));
      i += len - 1;
    } else if (b >= 0x80) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      result += "\\x";
      result += kHex[b >> 4];
      result += kHex[b & 15];
    } else {
      result += ShownControls(text.substr(i, 1));
    }
  }
  return result;
}

std::string ShownControls(std::string_view text) {
  std::string result;
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
  return result;
}

TSeparatorChoice ParseSeparator(std::string_view text) {
  std::string word = LowerCase(text);
  if (text == "," || word == "comma") return {fspComma, "", ""};
  if (text == "|" || word == "pipe") return {fspPipe, "", ""};
  if (text == "\t" || text == "\\t" || word == "tab") return {fspTab, "", ""};
  if (word == "none") return {fspNone, "", ""};
  if (text == " " || word == "space") return {fspCustom, "", " "};
  // A zero byte, as some tools part values where no character is free.
  if (word == "nul" || text == "\\0") return {fspCustom, "", std::string(1, '\0')};
  if (text.size() == 1 && static_cast<unsigned char>(text[0]) > 32 &&
      static_cast<unsigned char>(text[0]) != 127) {
    return {fspCustom, std::string(text), ""};
  }
  if (text.size() == 1) {
    throw EUsageError("--separator " + Shown(text) +
                      ": a control character cannot separate values (use tab, space or nul, "
                      "or --fixed for columns of blanks-padded values)");
  }
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == text.size() && FindInvalidUtf8(text) == std::string_view::npos) {
    return {fspCustom, "", std::string(text)};  // split on the whole character
  }
  throw EUsageError("--separator " + Shown(text) +
                    ": give one character (a UTF-8 character of any length), or comma, tab, "
                    "pipe, space, nul or none");
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
  std::string fault;
  if (!SplitNames(text, names, fault)) {
    throw EUsageError(std::string(option) + " " + Shown(text) + ": " + fault);
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
    const std::size_t len = WellFormedLength(text, i);
    if (len != 0) {
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

void WatchPending(const char* path) {
  const std::size_t size = std::strlen(path);
  if (size >= sizeof gPendingPath) return;  // too long to keep: left to chance
  std::memcpy(gPendingPath, path, size + 1);
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

// The pending watch of the replacement files the command makes.
void WatchOrForget(const char* path) {
  if (path != nullptr) {
    WatchPending(path);
  } else {
    ForgetPending();
  }
}

}  // namespace

std::string InputName(const std::string& path) {
  return path == kStandardInputPath ? std::string("standard input") : "input file '" + path + "'";
}

std::string NamingStandardInput(std::string text) {
  const std::string quoted = std::string("'") + kStandardInputPath + "'";
  for (std::size_t at = text.find(quoted); at != std::string::npos;
       at = text.find(quoted, at + 1)) {
    text.replace(at, quoted.size(), "standard input");
  }
  return text;
}

std::unique_ptr<TReplacementFile> OpenReplacement(const std::string& target) {
  TReplacementFile::SetPendingWatch(WatchOrForget);
  try {
    return std::make_unique<TReplacementFile>(target);
  } catch (const EInOutError& e) {
    throw EUsageError(e.Message());
  }
}


}  // namespace korvane::cli
