// Writing settings files: the stored properties of components as text, and
// that text put in place of a file only once all of it is written.
#include "core/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "core/backslash_escape.h"
#include "core/settings_format.h"
#include "core/temporary_file.h"

namespace korvane {

namespace {

using settings_format::kFormatVersion;
using settings_format::kSignature;

// The mode a new settings file gets: the replaced file's, else the usual
// mode for new files under the process's umask.
mode_t SettingsFileMode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  return static_cast<mode_t>(NewFileMode());
}

}  // namespace

std::string QuoteSettingsString(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
      continue;
    }
    if (AppendBackslashEscape(out, c)) continue;
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  out += '"';
  return out;
}

std::string WriteSettings(std::span<TComponent* const> components) {
  std::unordered_set<std::string> names;
  for (TComponent* c : components) {
    if (c == nullptr) throw ESettingsError("cannot store a missing component");
    if (!c->Name().empty() && !names.insert(UpperCase(c->Name())).second)
      throw ESettingsError("cannot store two components named " + MessageQuote(c->Name()));
  }
  std::string out;
  out += kSignature;
  out += ' ';
  out += kFormatVersion;
  out += '\n';
  for (TComponent* c : components) {
    TComponentClass cls = ClassOf(*c);
    if (cls == nullptr)
      throw ESettingsError("cannot store component " + MessageQuote(c->Name()) +
                           ": its class has no published-property description");
    out += "\ncomponent " + cls->ClassName + " " + QuoteSettingsString(c->Name()) + " {\n";
    for (const TPropertyInfo& prop : cls->Properties) {
      if (!prop.Stored()) continue;
      TPropertyValue value = prop.Get(*c);
      out += "  " + prop.Name + " = ";
      switch (prop.Kind) {
        case pkString:
          out += QuoteSettingsString(std::get<std::string>(value));
          break;
        case pkStringList: {
          const auto& items = std::get<std::vector<std::string>>(value);
          if (items.empty()) {
            out += "[]";
            break;
          }
          out += "[\n";
          for (const std::string& item : items) out += "    " + QuoteSettingsString(item) + "\n";
          out += "  ]";
          break;
        }
        case pkComponent: {
          const TComponent* target = std::get<TComponent*>(value);
          if (target == nullptr) {
            out += "none";
          } else if (target->Name().empty()) {
            throw ESettingsError("cannot store " + prop.Name + " of " + MessageQuote(c->Name()) +
                                 ": the component it refers to has no name");
          } else {
            out += QuoteSettingsString(target->Name());
          }
          break;
        }
        default:
          try {
            out += PropertyValueText(prop, value);
          } catch (const EPropertyError& e) {
            throw ESettingsError("cannot store " + MessageQuote(c->Name()) + ": " + e.Message());
          }
      }
      out += '\n';
    }
    out += "}\n";
  }
  out += "\nend\n";
  return out;
}

void WriteSettingsFile(const std::string& path, std::span<TComponent* const> components) {
  std::string text = WriteSettings(components);
  TTemporaryFile temp(path + ".XXXXXX");
  if (!temp.Made() || ::fchmod(temp.Fd(), SettingsFileMode(path)) != 0)
    throw ESettingsError(path + ": cannot write: " + std::strerror(errno));
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(temp.Fd(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ESettingsError(path + ": cannot write: " + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(temp.Fd()) != 0 || !temp.Close())
    throw ESettingsError(path + ": cannot write: " + std::strerror(errno));
  if (!temp.Replace(path)) throw ESettingsError(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace korvane
