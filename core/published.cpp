#include "core/published.h"

#include <algorithm>
#include <charconv>

namespace korvane {

namespace {

std::vector<TComponentClass>& Registry() {
  static std::vector<TComponentClass> classes;
  return classes;
}

std::string Describe(const TPropertyInfo& prop) { return prop.Name + " (" + prop.TypeName + ")"; }

std::string IdentifierList(const TPropertyInfo& prop) {
  std::string result;
  for (const std::string& id : prop.Identifiers) {
    if (!result.empty()) result += ", ";
    result += id;
  }
  return result;
}

bool ParseDecimal(std::string_view text, std::int64_t& value) {
  if (text.empty()) return false;
  std::size_t digitsFrom = text[0] == '-' ? 1 : 0;
  if (digitsFrom == text.size()) return false;
  for (std::size_t i = digitsFrom; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

const TPropertyInfo* TClassInfo::FindProperty(std::string_view name) const {
  for (const TPropertyInfo& p : Properties) {
    if (SameText(p.Name, name)) return &p;
  }
  return nullptr;
}

std::string TClassInfo::PropertyNames() const {
  std::string result;
  for (const TPropertyInfo& p : Properties) {
    if (!result.empty()) result += ", ";
    result += p.Name;
  }
  return result;
}

void RegisterClass(TComponentClass componentClass) {
  if (componentClass == nullptr) throw EPropertyError("cannot register a missing class");
  for (TComponentClass c : Registry()) {
    if (c == componentClass) return;
    if (SameText(c->ClassName, componentClass->ClassName))
      throw EPropertyError("a different class named " + c->ClassName + " is already registered");
  }
  Registry().push_back(componentClass);
}

void UnregisterClass(TComponentClass componentClass) {
  auto& r = Registry();
  r.erase(std::remove(r.begin(), r.end(), componentClass), r.end());
}

TComponentClass FindClass(std::string_view name) {
  for (TComponentClass c : Registry()) {
    if (SameText(c->ClassName, name)) return c;
  }
  return nullptr;
}

TComponentClass ClassOf(const TComponent& component) {
  const std::type_info& type = typeid(component);
  for (TComponentClass c : Registry()) {
    if (c->ExactType != nullptr && *c->ExactType == type) return c;
  }
  for (TComponentClass c : Registry()) {
    if (c->IsInstance && c->IsInstance(component)) return c;
  }
  return nullptr;
}

std::vector<TComponentClass> RegisteredClasses() { return Registry(); }

std::string MessageQuote(std::string_view text) {
  static constexpr std::size_t kLimit = 60;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result = "'";
  for (std::size_t i = 0; i < text.size() && i < kLimit; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x7F) {
      result += static_cast<char>(b);
    } else {
      result += "\\x";
      result += kHex[b >> 4];
      result += kHex[b & 0xF];
    }
  }
  result += "'";
  if (text.size() > kLimit) result += "...";
  return result;
}

const TPropertyInfo& FindPublishedProperty(const TComponent& component, std::string_view name) {
  TComponentClass cls = ClassOf(component);
  if (cls == nullptr) {
    throw EPropertyError("component " + MessageQuote(component.Name()) +
                         " has no published-property description");
  }
  const TPropertyInfo* prop = cls->FindProperty(name);
  if (prop == nullptr) {
    throw EPropertyError(cls->ClassName + " has no published property " + MessageQuote(name) +
                         " (its properties are " + cls->PropertyNames() + ")");
  }
  return *prop;
}

TPropertyValue ParsePropertyText(const TPropertyInfo& prop, std::string_view text) {
  switch (prop.Kind) {
    case pkString:
      return std::string(text);
    case pkInteger: {
      std::int64_t value = 0;
      if (!ParseDecimal(text, value) || value < prop.MinValue || value > prop.MaxValue) {
        throw EPropertyError(MessageQuote(text) + " is not a valid value for " + Describe(prop) +
                             ": expected a whole number from " + IntToStr(prop.MinValue) + " to " +
                             IntToStr(prop.MaxValue));
      }
      return value;
    }
    case pkBoolean:
      if (SameText(text, "true")) return true;
      if (SameText(text, "false")) return false;
      throw EPropertyError(MessageQuote(text) + " is not a valid value for " + Describe(prop) +
                           ": expected true or false");
    case pkEnumeration:
      for (std::size_t i = 0; i < prop.Identifiers.size(); ++i) {
        if (prop.Identifiers[i] == text) return TOrdinal{static_cast<int>(i)};
      }
      throw EPropertyError(MessageQuote(text) + " is not a valid " + prop.TypeName +
                           " identifier for " + prop.Name + " (expected one of " +
                           IdentifierList(prop) + ")");
    case pkStringList:
    case pkComponent:
    case pkEvent:
      break;
  }
  throw EPropertyError(Describe(prop) + " has no single-value text form");
}

std::string PropertyValueText(const TPropertyInfo& prop, const TPropertyValue& value) {
  switch (prop.Kind) {
    case pkString:
      return std::get<std::string>(value);
    case pkInteger:
      return IntToStr(std::get<std::int64_t>(value));
    case pkBoolean:
      return std::get<bool>(value) ? "true" : "false";
    case pkEnumeration: {
      int ordinal = std::get<TOrdinal>(value).Value;
      if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= prop.Identifiers.size()) {
        throw EPropertyError(prop.Name + " holds the ordinal " + IntToStr(ordinal) +
                             ", which is no " + prop.TypeName + " identifier");
      }
      return prop.Identifiers[static_cast<std::size_t>(ordinal)];
    }
    case pkStringList: {
      std::string result;
      for (const std::string& item : std::get<std::vector<std::string>>(value)) {
        result += item;
        result += "\r\n";
      }
      return result;
    }
    case pkComponent: {
      const TComponent* target = std::get<TComponent*>(value);
      return target != nullptr ? target->Name() : std::string();
    }
    case pkEvent:
      break;
  }
  throw EPropertyError(Describe(prop) + " is an event and has no value text");
}

void SetPropertyByName(TComponent& component, std::string_view name, std::string_view text,
                       const TComponentLookup& lookup) {
  const TPropertyInfo& prop = FindPublishedProperty(component, name);
  if (prop.Kind == pkEvent) {
    throw EPropertyError(prop.Name + " is an event (" + prop.TypeName +
                         ") and cannot be set from text");
  }
  if (!prop.Writable()) throw EPropertyError(prop.Name + " is read-only");
  switch (prop.Kind) {
    case pkStringList: {
      auto items = std::get<std::vector<std::string>>(prop.Get(component));
      items.emplace_back(text);
      prop.Set(component, items);
      return;
    }
    case pkComponent: {
      TComponent* target = nullptr;
      if (!text.empty()) {
        if (lookup) target = lookup(text);
        if (target == nullptr) {
          throw EPropertyError(prop.Name + ": there is no component named " + MessageQuote(text));
        }
        if (prop.Accepts && !prop.Accepts(*target)) {
          throw EPropertyError(prop.Name + ": component " + MessageQuote(text) + " is not a " +
                               prop.TypeName);
        }
      }
      prop.Set(component, target);
      return;
    }
    default:
      prop.Set(component, ParsePropertyText(prop, text));
  }
}

std::string GetPropertyText(const TComponent& component, std::string_view name) {
  const TPropertyInfo& prop = FindPublishedProperty(component, name);
  if (!prop.Get) throw EPropertyError(prop.Name + " is an event and has no value text");
  return PropertyValueText(prop, prop.Get(component));
}

}  // namespace korvane
