// Reading settings files: the text parsed line by line and checked against
// the classes' published properties, references resolved, the values applied
// to components made for them or given.
#include "core/settings.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "core/settings_format.h"

namespace korvane {

namespace {

using settings_format::kFormatVersion;
using settings_format::kSignature;

// One property as read from a file, checked against its class but not yet
// applied.
struct StoredProperty {
  const TPropertyInfo* Info = nullptr;
  int Line = 0;
  TPropertyValue Value;
  // pkComponent naming a component: its name, resolved before applying.
  bool HasReference = false;
  std::string Reference;
};

struct StoredComponent {
  TComponentClass Class = nullptr;
  std::string Name;
  int Line = 0;
  std::vector<StoredProperty> Properties;
};

[[noreturn]] void Fail(int line, const std::string& problem) {
  throw ESettingsError("line " + IntToStr(line) + ": " + problem, line);
}

// What parts the words of a line: a space or a tab only, where a value's
// readers take off every blank (core/blanks.h).
bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }
bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a byte looks like in a message.
std::string ByteText(char c) {
  auto b = static_cast<unsigned char>(c);
  if (b > 0x20 && b < 0x7F) return std::string("'") + c + "'";
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("byte 0x") + kHex[b >> 4] + kHex[b & 0xF];
}

// Reads the tokens of one line.
class LineCursor {
 public:
  LineCursor(std::string_view text, int line) : FText(text), FLine(line) {}

  void SkipBlanks() {
    while (FPos < FText.size() && IsSpaceOrTab(FText[FPos])) ++FPos;
  }
  bool AtEnd() {
    SkipBlanks();
    return FPos == FText.size();
  }
  char Peek() {
    SkipBlanks();
    return FPos < FText.size() ? FText[FPos] : '\0';
  }
  bool Accept(char c) {
    if (AtEnd() || FText[FPos] != c) return false;
    ++FPos;
    return true;
  }
  void Expect(char c, const std::string& what) {
    if (!Accept(c)) Fail(FLine, "expected " + what + ", found " + Found());
  }
  // Everything up to the next blank.
  std::string_view Word() {
    SkipBlanks();
    std::size_t start = FPos;
    while (FPos < FText.size() && !IsSpaceOrTab(FText[FPos])) ++FPos;
    return FText.substr(start, FPos - start);
  }
  // [A-Za-z_][A-Za-z0-9_]*, or empty when none starts here.
  std::string_view Identifier() {
    SkipBlanks();
    std::size_t start = FPos;
    if (FPos < FText.size() && IsIdentStart(FText[FPos])) {
      while (FPos < FText.size() && IsIdentChar(FText[FPos])) ++FPos;
    }
    return FText.substr(start, FPos - start);
  }
  // A double-quoted string with escapes; the cursor is at the quote.
  std::string Quoted() {
    SkipBlanks();
    if (FPos >= FText.size() || FText[FPos] != '"')
      Fail(FLine, "expected a string in double quotes, found " + Found());
    ++FPos;
    std::string result;
    while (true) {
      if (FPos >= FText.size()) Fail(FLine, "string not closed (missing '\"')");
      char c = FText[FPos++];
      if (c == '"') return result;
      if (c == '\\') {
        if (FPos >= FText.size()) Fail(FLine, "string not closed (missing '\"')");
        char e = FText[FPos++];
        switch (e) {
          case '\\':
            result += '\\';
            break;
          case '"':
            result += '"';
            break;
          case 't':
            result += '\t';
            break;
          case 'r':
            result += '\r';
            break;
          case 'n':
            result += '\n';
            break;
          case 'x': {
            int hi = FPos < FText.size() ? HexValue(FText[FPos]) : -1;
            int lo = FPos + 1 < FText.size() ? HexValue(FText[FPos + 1]) : -1;
            if (hi < 0 || lo < 0) Fail(FLine, "bad escape: \\x must be followed by two hex digits");
            result += static_cast<char>(hi * 16 + lo);
            FPos += 2;
            break;
          }
          default: {
            auto b = static_cast<unsigned char>(e);
            std::string shown = b > 0x20 && b < 0x7F ? std::string(1, e) : " (" + ByteText(e) + ")";
            Fail(FLine, "unknown escape \\" + shown +
                            " in a string (use \\\\, \\\", \\t, \\r, \\n or \\xHH)");
          }
        }
        continue;
      }
      auto b = static_cast<unsigned char>(c);
      if ((b < 0x20 && c != '\t') || b == 0x7F)
        Fail(FLine, ByteText(c) + " inside a string (write it as an escape such as \\xHH)");
      result += c;
    }
  }
  void ExpectEnd(const std::string& after) {
    if (!AtEnd()) Fail(FLine, "unexpected " + Found() + " after " + after);
  }
  std::string Found() {
    if (AtEnd()) return "the end of the line";
    return ByteText(FText[FPos]);
  }

 private:
  std::string_view FText;
  std::size_t FPos = 0;
  int FLine;
};

std::string KnownClasses() {
  std::string result;
  for (TComponentClass c : RegisteredClasses()) {
    if (!result.empty()) result += ", ";
    result += c->ClassName;
  }
  return result.empty() ? "none" : result;
}

// Reads the value of prop from the rest of a property line; a string list
// only opens here (open is set) unless it is written as [].
void ReadValue(LineCursor& cur, int line, StoredProperty& sp, bool& open) {
  const TPropertyInfo& prop = *sp.Info;
  open = false;
  switch (prop.Kind) {
    case pkString:
      if (cur.Peek() != '"') Fail(line, prop.Name + " takes a string in double quotes");
      sp.Value = cur.Quoted();
      break;
    case pkInteger:
    case pkBoolean:
    case pkEnumeration: {
      if (cur.AtEnd()) Fail(line, prop.Name + " has no value");
      std::string_view word = cur.Word();
      try {
        sp.Value = ParsePropertyText(prop, word);
      } catch (const EPropertyError& e) {
        Fail(line, e.Message());
      }
      break;
    }
    case pkStringList:
      cur.Expect('[', "'[' to open the list of " + prop.Name);
      sp.Value = std::vector<std::string>();
      if (cur.Accept(']')) break;
      if (!cur.AtEnd())
        Fail(line, "the items of " + prop.Name + " go on the lines after '[', one per line");
      open = true;
      return;
    case pkComponent:
      if (cur.Peek() == '"') {
        sp.Reference = cur.Quoted();
        if (sp.Reference.empty())
          Fail(line, prop.Name + " names no component (write none for no component)");
        sp.HasReference = true;
        sp.Value = static_cast<TComponent*>(nullptr);
      } else if (cur.Word() == "none") {
        sp.Value = static_cast<TComponent*>(nullptr);
      } else {
        Fail(line, prop.Name + " takes a component name in double quotes, or none");
      }
      break;
    case pkEvent:
      break;
  }
  cur.ExpectEnd("the value of " + prop.Name);
}

// Reads a settings text line by line; each kind of line has its own step,
// chosen by where the reader stands (before the signature, between
// components, inside a component, inside a string list, after 'end').
class TSettingsParser {
 public:
  std::vector<StoredComponent> Parse(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t eol = text.find('\n', pos);
      std::string_view line =
          text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
      pos = eol == std::string_view::npos ? text.size() : eol + 1;
      ++FLineNo;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      LineCursor cur(line, FLineNo);
      if (cur.AtEnd() || cur.Peek() == '#') continue;
      ReadLine(cur);
    }
    Finish();
    return std::move(FResult);
  }

 private:
  enum State { kHeader, kTop, kComponent, kList, kAfterEnd };

  void ReadLine(LineCursor& cur) {
    switch (FState) {
      case kHeader:
        return HeaderLine(cur);
      case kTop:
        return TopLine(cur);
      case kComponent:
        return ComponentLine(cur);
      case kList:
        return ListLine(cur);
      case kAfterEnd:
        Fail(FLineNo, "unexpected text after the 'end' line");
    }
  }

  void HeaderLine(LineCursor& cur) {
    std::string_view word = cur.Word();
    if (word != kSignature)
      Fail(FLineNo, "not a Korvane settings file (the first line must be 'korvane-settings 1')");
    std::string_view version = cur.Word();
    if (version != kFormatVersion)
      Fail(FLineNo, "unsupported settings format version " + MessageQuote(version) +
                        " (this program reads version 1)");
    cur.ExpectEnd("the format version");
    FState = kTop;
  }

  // 'end', or the line that opens a component.
  void TopLine(LineCursor& cur) {
    std::string_view word = cur.Identifier();
    if (word == "end") {
      cur.ExpectEnd("'end'");
      FState = kAfterEnd;
      return;
    }
    if (word != "component")
      Fail(FLineNo, "expected 'component CLASS \"NAME\" {' or 'end', found " +
                        (word.empty() ? cur.Found() : MessageQuote(word)));
    std::string_view className = cur.Identifier();
    if (className.empty()) Fail(FLineNo, "expected a class name, found " + cur.Found());
    FCurrent = StoredComponent{};
    FCurrent.Class = FindClass(className);
    if (FCurrent.Class == nullptr)
      Fail(FLineNo, "unknown component class " + MessageQuote(className) +
                        " (known classes: " + KnownClasses() + ")");
    FCurrent.Name = cur.Quoted();
    FCurrent.Line = FLineNo;
    cur.Expect('{', "'{' after the component's name");
    cur.ExpectEnd("'{'");
    if (!FCurrent.Name.empty()) {
      auto [it, added] = FNamedOn.emplace(UpperCase(FCurrent.Name), FLineNo);
      if (!added)
        Fail(FLineNo, "a component named " + MessageQuote(FCurrent.Name) +
                          " is already stored on line " + IntToStr(it->second));
    }
    FState = kComponent;
  }

  // '}', or a property line of the component.
  void ComponentLine(LineCursor& cur) {
    if (cur.Accept('}')) {
      cur.ExpectEnd("'}'");
      FResult.push_back(std::move(FCurrent));
      FState = kTop;
      return;
    }
    const TPropertyInfo* prop = StorableProperty(cur);
    cur.Expect('=', "'=' after " + prop->Name);
    StoredProperty sp;
    sp.Info = prop;
    sp.Line = FLineNo;
    bool open = false;
    ReadValue(cur, FLineNo, sp, open);
    FCurrent.Properties.push_back(std::move(sp));
    if (open) {
      FList = &FCurrent.Properties.back();
      FListLine = FLineNo;
      FState = kList;
    }
  }

  // The property a property line names: published, stored, not yet given.
  const TPropertyInfo* StorableProperty(LineCursor& cur) {
    std::string_view name = cur.Identifier();
    if (name.empty()) Fail(FLineNo, "expected a property name or '}', found " + cur.Found());
    const TPropertyInfo* prop = FCurrent.Class->FindProperty(name);
    if (prop == nullptr)
      Fail(FLineNo, FCurrent.Class->ClassName + " has no published property " + MessageQuote(name));
    if (prop->Kind == pkEvent)
      Fail(FLineNo, prop->Name + " is an event; events are not stored in settings files");
    if (!prop->Stored()) Fail(FLineNo, prop->Name + " is read-only and cannot be stored");
    for (const StoredProperty& other : FCurrent.Properties) {
      if (other.Info == prop)
        Fail(FLineNo, prop->Name + " is given twice (first on line " + IntToStr(other.Line) + ")");
    }
    return prop;
  }

  // ']', or an item of the open string list.
  void ListLine(LineCursor& cur) {
    if (cur.Accept(']')) {
      cur.ExpectEnd("']'");
      FList = nullptr;
      FState = kComponent;
      return;
    }
    if (cur.Peek() != '"')
      Fail(FLineNo, "expected an item of " + FList->Info->Name +
                        " in double quotes or ']', found " + cur.Found());
    std::get<std::vector<std::string>>(FList->Value).push_back(cur.Quoted());
    cur.ExpectEnd("the item");
  }

  // The text has ended: anything but the 'end' line last is a cut-short file.
  void Finish() {
    int last = FLineNo == 0 ? 1 : FLineNo;
    switch (FState) {
      case kHeader:
        Fail(last, "not a Korvane settings file (it holds no 'korvane-settings 1' line)");
      case kTop:
        Fail(last, "the file ends without its 'end' line: it is cut short");
      case kComponent:
        Fail(last, "component " + MessageQuote(FCurrent.Name) + " (line " +
                       IntToStr(FCurrent.Line) + ") is not closed with '}': the file is cut short");
      case kList:
        Fail(last, "the list of " + FList->Info->Name + " (line " + IntToStr(FListLine) +
                       ") is not closed with ']': the file is cut short");
      case kAfterEnd:
        break;
    }
  }

  State FState = kHeader;
  std::vector<StoredComponent> FResult;
  StoredComponent FCurrent;
  StoredProperty* FList = nullptr;
  int FListLine = 0;
  int FLineNo = 0;
  // Lines of the named components so far, by name in capitals (names
  // ignore case).
  std::unordered_map<std::string, int> FNamedOn;
};

std::vector<StoredComponent> Parse(std::string_view text) { return TSettingsParser().Parse(text); }

std::string ClassNameOf(const TComponent& c) {
  TComponentClass cls = ClassOf(c);
  return cls != nullptr ? cls->ClassName : std::string("component of another class");
}

// Sets the Value of every reference: to the target of the stored component
// of that name, else a target of that name, else what lookup finds.
void ResolveReferences(std::vector<StoredComponent>& stored,
                       const std::vector<TComponent*>& targetOfStored,
                       std::span<TComponent* const> otherTargets, const TComponentLookup& lookup) {
  // Names in capitals, as names ignore case; the first of a name wins.
  std::unordered_map<std::string, TComponent*> byName;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (!stored[i].Name.empty()) byName.emplace(UpperCase(stored[i].Name), targetOfStored[i]);
  }
  for (TComponent* t : otherTargets) {
    if (t != nullptr && !t->Name().empty()) byName.emplace(UpperCase(t->Name()), t);
  }
  for (StoredComponent& sc : stored) {
    for (StoredProperty& sp : sc.Properties) {
      if (!sp.HasReference) continue;
      auto found = byName.find(UpperCase(sp.Reference));
      TComponent* target = found != byName.end() ? found->second : nullptr;
      if (target == nullptr && lookup) target = lookup(sp.Reference);
      if (target == nullptr)
        Fail(sp.Line, sp.Info->Name + " refers to " + MessageQuote(sp.Reference) +
                          ", which is neither stored in this file nor a known component");
      if (sp.Info->Accepts && !sp.Info->Accepts(*target))
        Fail(sp.Line, sp.Info->Name + " refers to " + MessageQuote(sp.Reference) + ", a " +
                          ClassNameOf(*target) + ", which is not a " + sp.Info->TypeName);
      sp.Value = target;
    }
  }
}

void Apply(const std::vector<StoredComponent>& stored, const std::vector<TComponent*>& targets) {
  for (std::size_t i = 0; i < stored.size(); ++i) {
    for (const StoredProperty& sp : stored[i].Properties) {
      try {
        sp.Info->Set(*targets[i], sp.Value);
      } catch (const Exception& e) {
        Fail(sp.Line, sp.Info->Name + ": " + e.Message());
      }
    }
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ESettingsError(path + ": cannot open: " + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw ESettingsError(path + ": cannot read: " + std::strerror(errno));
  return std::move(content).str();
}

template <class F>
auto WithPath(const std::string& path, F&& f) {
  try {
    return f();
  } catch (const ESettingsError& e) {
    if (e.Line == 0) throw;
    throw ESettingsError(path + ": " + e.Message(), e.Line);
  }
}

}  // namespace

std::vector<std::unique_ptr<TComponent>> LoadComponents(std::string_view text,
                                                        const TComponentLookup& lookup) {
  std::vector<StoredComponent> stored = Parse(text);
  for (const StoredComponent& sc : stored) {
    if (!sc.Class->Create)
      Fail(sc.Line, sc.Class->ClassName + " cannot be created from a settings file");
  }
  std::vector<std::unique_ptr<TComponent>> created;
  std::vector<TComponent*> targets;
  for (const StoredComponent& sc : stored) {
    created.emplace_back(sc.Class->Create(nullptr));
    created.back()->SetName(sc.Name);
    targets.push_back(created.back().get());
  }
  ResolveReferences(stored, targets, {}, lookup);
  Apply(stored, targets);
  return created;
}

void ReadSettings(std::string_view text, std::span<TComponent* const> targets,
                  const TComponentLookup& lookup) {
  std::vector<StoredComponent> stored = Parse(text);
  std::unordered_multimap<std::string, TComponent*> targetsByName;
  for (TComponent* t : targets) {
    if (t != nullptr) targetsByName.emplace(UpperCase(t->Name()), t);
  }
  std::vector<TComponent*> matched(stored.size(), nullptr);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    auto [from, to] = targetsByName.equal_range(UpperCase(stored[i].Name));
    for (auto it = from; it != to && matched[i] == nullptr; ++it) {
      if (ClassOf(*it->second) == stored[i].Class) matched[i] = it->second;
    }
  }
  if (targets.size() == 1 && targets[0] != nullptr && matched.size() == 1 &&
      matched[0] == nullptr && ClassOf(*targets[0]) == stored[0].Class) {
    matched[0] = targets[0];
  }
  std::unordered_map<TComponent*, int> readOn;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (matched[i] == nullptr)
      Fail(stored[i].Line, "there is no " + stored[i].Class->ClassName + " named " +
                               MessageQuote(stored[i].Name) + " to read these settings into");
    auto [it, added] = readOn.emplace(matched[i], stored[i].Line);
    if (!added)
      Fail(stored[i].Line,
           "the settings of line " + IntToStr(it->second) + " already go to the same component");
  }
  ResolveReferences(stored, matched, targets, lookup);
  Apply(stored, matched);
}

std::vector<std::unique_ptr<TComponent>> LoadComponentsFromFile(const std::string& path,
                                                                const TComponentLookup& lookup) {
  std::string text = ReadWholeFile(path);
  return WithPath(path, [&] { return LoadComponents(text, lookup); });
}

void ReadSettingsFile(const std::string& path, std::span<TComponent* const> targets,
                      const TComponentLookup& lookup) {
  std::string text = ReadWholeFile(path);
  WithPath(path, [&] { ReadSettings(text, targets, lookup); });
}

}  // namespace korvane
