// Published properties as data. Each component class that can be stored,
// set by name or shown in the designer describes its published properties
// once, in a TClassInfo: name, kind, type name and how to read and write the
// value. Settings files, setting a property by name (the command line's
// --set) and the designer's property-editor lookup all work from that one
// description.
//
// Class descriptions are built once (usually as function-local statics) and
// live for the rest of the program; a TComponentClass is a plain pointer to
// one. The class registry is a process-wide table, filled at start-up. None
// of this is thread-safe.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "core/classes.h"
#include "core/sysutils.h"

namespace korvane {

// What a published property holds, which decides how it is read and written
// as text and whether it is stored.
enum TPropertyKind : std::uint8_t {
  pkString,       // 8-bit string
  pkInteger,      // whole number within [MinValue, MaxValue]
  pkBoolean,      // true / false
  pkEnumeration,  // one of Identifiers, held by ordinal
  pkStringList,   // the component's own TStrings, item by item
  pkComponent,    // reference to another component, stored by its name
  pkEvent,        // a handler set in code; never stored or set from text
};

// An enumeration value held by ordinal.
struct KORVANE_API TOrdinal {
  int Value = 0;
  bool operator==(const TOrdinal&) const = default;
};

// A property's value. The alternative is fixed by the kind: std::string for
// pkString, std::int64_t for pkInteger, bool for pkBoolean, TOrdinal for
// pkEnumeration, the items for pkStringList, the referenced component (or
// nullptr) for pkComponent.
using TPropertyValue =
    std::variant<std::string, std::int64_t, bool, TOrdinal, std::vector<std::string>, TComponent*>;

// A property that does not exist, cannot be written, or a text that is no
// valid value for it. The message names the property and says what was
// expected.
class KORVANE_API EPropertyError : public Exception {
 public:
  using Exception::Exception;
};

// Type names the descriptions use for the basic kinds; editors are
// registered against these.
inline constexpr std::string_view kStringTypeName = "string";
inline constexpr std::string_view kIntegerTypeName = "Integer";
inline constexpr std::string_view kBooleanTypeName = "Boolean";
inline constexpr std::string_view kStringsTypeName = "TStrings";

// One published property.
struct KORVANE_API TPropertyInfo {
  std::string Name;
  TPropertyKind Kind = pkString;
  // "string", "Integer", "Boolean", "TStrings", the enumeration's or the
  // referenced class's or the event's type name.
  std::string TypeName;
  // pkEnumeration: the identifiers by ordinal.
  std::vector<std::string> Identifiers;
  // pkInteger: the range of the underlying type.
  std::int64_t MinValue = std::numeric_limits<std::int32_t>::min();
  std::int64_t MaxValue = std::numeric_limits<std::int32_t>::max();
  // pkComponent: whether a component may be referenced (its type fits).
  std::function<bool(const TComponent&)> Accepts;
  // Reads the value; empty for events. For string lists the items of the
  // component's own list.
  std::function<TPropertyValue(const TComponent&)> Get;
  // Writes a value of the right alternative; empty for read-only properties
  // and events. String lists are loaded into the component's own list (the
  // one the getter returns), as stored settings are loaded, so a list
  // property whose setter ignores assignments still reads back.
  std::function<void(TComponent&, const TPropertyValue&)> Set;

  bool Writable() const { return static_cast<bool>(Set); }
  // Settings files store every property that can be read and written back;
  // events and read-only properties are left out.
  bool Stored() const { return Kind != pkEvent && Get && Set; }
};

// The description of a component class: its name, how to create one, how to
// recognise one, and its published properties in their published order.
struct KORVANE_API TClassInfo {
  std::string ClassName;
  std::function<TComponent*(TComponent* owner)> Create;
  std::function<bool(const TComponent&)> IsInstance;
  const std::type_info* ExactType = nullptr;
  std::vector<TPropertyInfo> Properties;

  // By name, ignoring case; nullptr when the class has no such property.
  const TPropertyInfo* FindProperty(std::string_view name) const;
  // The property names separated by ", ", for messages.
  std::string PropertyNames() const;
};

// A class reference (metaclass): a pointer to a class description that lives
// for the rest of the program.
using TComponentClass = const TClassInfo*;

// Adds a class to the registry that settings files and by-name access look
// classes up in. Registering the same description again does nothing; a
// different description under a name already taken raises EPropertyError.
KORVANE_API void RegisterClass(TComponentClass componentClass);
// Removes a class (tests use this to keep the registry as they found it).
KORVANE_API void UnregisterClass(TComponentClass componentClass);
// The registered class of that name (ignoring case), or nullptr.
KORVANE_API TComponentClass FindClass(std::string_view name);
// The registered class of a component: the one describing its exact type,
// else the first one it is an instance of; nullptr when none.
KORVANE_API TComponentClass ClassOf(const TComponent& component);
// The registered classes in the order they were registered.
KORVANE_API std::vector<TComponentClass> RegisteredClasses();

// Finds a component by name for a component reference; nullptr when there is
// none.
using TComponentLookup = std::function<TComponent*(std::string_view name)>;

// text in single quotes for a message: bytes outside printable ASCII shown as
// \xHH, and long texts cut to their first 60 bytes followed by "...".
KORVANE_API std::string MessageQuote(std::string_view text);

// The described property of a component (found by ClassOf). Raises
// EPropertyError when the component's class is not registered or has no
// such property; the message lists the properties it has.
KORVANE_API const TPropertyInfo& FindPublishedProperty(const TComponent& component,
                                                       std::string_view name);

// The value of a scalar property from its text form: the string itself; a
// decimal integer with an optional '-'; true or false (any case); an
// enumeration identifier, exactly as spelled. Raises EPropertyError naming
// the property, the text and what is accepted. String lists, component
// references and events have no single text form here.
KORVANE_API TPropertyValue ParsePropertyText(const TPropertyInfo& prop, std::string_view text);
// The text form of a scalar value (inverse of ParsePropertyText); a component
// reference gives the component's name (empty for none), a string list its
// items each followed by CR LF. Raises EPropertyError for an enumeration
// ordinal that has no identifier.
KORVANE_API std::string PropertyValueText(const TPropertyInfo& prop, const TPropertyValue& value);

// Sets one published property from text, as the command line's
// --set Name=Value does. Scalars take the text form above; a string list gets
// the text appended as one more item; a component reference takes the name of
// a component found through lookup, or the empty text for none. Raises
// EPropertyError (unknown property, read-only property, event, bad value,
// unknown or unfitting component) and leaves the property unchanged then.
KORVANE_API void SetPropertyByName(TComponent& component, std::string_view name,
                                   std::string_view text, const TComponentLookup& lookup = {});
// The text form of one published property (see PropertyValueText).
KORVANE_API std::string GetPropertyText(const TComponent& component, std::string_view name);

// Builds the description of component class C. The accessors are C's member
// functions: getters are called on a const C, setters with the value
// converted to the getter's type; a property given without a setter is
// read-only.
//
//   TClassBuilder<TThing>("TThing")
//       .String("Caption", &TThing::Caption, &TThing::SetCaption)
//       .Integer("Count", &TThing::Count)  // read-only
//       .Build();
template <class C>
class TClassBuilder {
 public:
  explicit TClassBuilder(std::string className) {
    FInfo.ClassName = std::move(className);
    if constexpr (std::is_constructible_v<C, TComponent*>) {
      FInfo.Create = [](TComponent* owner) -> TComponent* { return new C(owner); };
    }
    FInfo.IsInstance = [](const TComponent& c) { return dynamic_cast<const C*>(&c) != nullptr; };
    FInfo.ExactType = &typeid(C);
  }

  template <class G, class S = std::nullptr_t>
  TClassBuilder& String(std::string name, G get, S set = nullptr) {
    TPropertyInfo& p = Add(std::move(name), pkString, std::string(kStringTypeName));
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      return std::string(std::invoke(get, Self(c)));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      p.Set = [set](TComponent& c, const TPropertyValue& v) {
        std::invoke(set, Self(c), std::get<std::string>(v));
      };
    }
    return *this;
  }

  template <class G, class S = std::nullptr_t>
  TClassBuilder& Integer(std::string name, G get, S set = nullptr) {
    using T = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
    static_assert(std::is_integral_v<T> && (std::is_signed_v<T> || sizeof(T) < 8),
                  "integer properties must fit in a signed 64-bit value");
    TPropertyInfo& p = Add(std::move(name), pkInteger, std::string(kIntegerTypeName));
    p.MinValue = static_cast<std::int64_t>(std::numeric_limits<T>::min());
    p.MaxValue = static_cast<std::int64_t>(std::numeric_limits<T>::max());
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      return static_cast<std::int64_t>(std::invoke(get, Self(c)));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      p.Set = [set](TComponent& c, const TPropertyValue& v) {
        std::invoke(set, Self(c), static_cast<T>(std::get<std::int64_t>(v)));
      };
    }
    return *this;
  }

  template <class G, class S = std::nullptr_t>
  TClassBuilder& Boolean(std::string name, G get, S set = nullptr) {
    TPropertyInfo& p = Add(std::move(name), pkBoolean, std::string(kBooleanTypeName));
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      return static_cast<bool>(std::invoke(get, Self(c)));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      p.Set = [set](TComponent& c, const TPropertyValue& v) {
        std::invoke(set, Self(c), std::get<bool>(v));
      };
    }
    return *this;
  }

  // An enumeration of type E whose identifiers, by ordinal, are identifiers.
  template <class E, class G, class S = std::nullptr_t>
  TClassBuilder& Enumeration(std::string name, std::string_view typeName,
                             std::span<const std::string_view> identifiers, G get,
                             S set = nullptr) {
    TPropertyInfo& p = Add(std::move(name), pkEnumeration, std::string(typeName));
    for (std::string_view id : identifiers) p.Identifiers.emplace_back(id);
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      return TOrdinal{static_cast<int>(std::invoke(get, Self(c)))};
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      p.Set = [set](TComponent& c, const TPropertyValue& v) {
        std::invoke(set, Self(c), static_cast<E>(std::get<TOrdinal>(v).Value));
      };
    }
    return *this;
  }

  // The same with the enumeration type taken from the getter and its type
  // name and identifiers from Traits<E>::TypeName and Traits<E>::Names.
  template <template <class> class Traits, class G, class S = std::nullptr_t>
  TClassBuilder& Enumeration(std::string name, G get, S set = nullptr) {
    using E = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
    return Enumeration<E>(std::move(name), Traits<E>::TypeName, Traits<E>::Names, get, set);
  }

  // A string list: get returns the component's own TStrings*.
  template <class G>
  TClassBuilder& StringList(std::string name, G get) {
    TPropertyInfo& p = Add(std::move(name), pkStringList, std::string(kStringsTypeName));
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      const TStrings* list = std::invoke(get, Self(c));
      std::vector<std::string> items;
      if (list != nullptr) {
        items.reserve(static_cast<std::size_t>(list->Count()));
        for (int i = 0; i < list->Count(); ++i) items.push_back(list->Strings(i));
      }
      return items;
    };
    p.Set = [get](TComponent& c, const TPropertyValue& v) {
      TStrings* list = std::invoke(get, Self(c));
      if (list == nullptr) throw EPropertyError("string list is missing");
      TStringList copy;
      for (const std::string& item : std::get<std::vector<std::string>>(v)) copy.Add(item);
      list->Assign(copy);
    };
    return *this;
  }

  // A reference to a component of type T (or a descendant).
  template <class T, class G, class S = std::nullptr_t>
  TClassBuilder& Reference(std::string name, std::string_view typeName, G get, S set = nullptr) {
    TPropertyInfo& p = Add(std::move(name), pkComponent, std::string(typeName));
    p.Accepts = [](const TComponent& c) { return dynamic_cast<const T*>(&c) != nullptr; };
    p.Get = [get](const TComponent& c) -> TPropertyValue {
      T* target = std::invoke(get, Self(c));
      return static_cast<TComponent*>(target);
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      std::string propName = p.Name;
      std::string targetType = p.TypeName;
      p.Set = [set, propName, targetType](TComponent& c, const TPropertyValue& v) {
        TComponent* value = std::get<TComponent*>(v);
        T* target = dynamic_cast<T*>(value);
        if (value != nullptr && target == nullptr)
          throw EPropertyError(propName + ": component '" + value->Name() + "' is not a " +
                               targetType);
        std::invoke(set, Self(c), target);
      };
    }
    return *this;
  }

  // An event: described so that names and the designer know it, never read or
  // written as a value.
  TClassBuilder& Event(std::string name, std::string_view typeName) {
    Add(std::move(name), pkEvent, std::string(typeName));
    return *this;
  }

  TClassInfo Build() { return std::move(FInfo); }

 private:
  static const C& Self(const TComponent& c) { return Checked<const C>(&c); }
  static C& Self(TComponent& c) { return Checked<C>(&c); }
  template <class T, class From>
  static T& Checked(From* c) {
    auto* self = dynamic_cast<T*>(c);
    if (self == nullptr) throw EPropertyError("component is not of the described class");
    return *self;
  }

  TPropertyInfo& Add(std::string name, TPropertyKind kind, std::string typeName) {
    TPropertyInfo& p = FInfo.Properties.emplace_back();
    p.Name = std::move(name);
    p.Kind = kind;
    p.TypeName = std::move(typeName);
    return p;
  }

  TClassInfo FInfo;
};

// The class reference of C. Declared here and defined next to C's
// description (for example ComponentClass<TCSVImport>()).
template <class C>
TComponentClass ComponentClass();

}  // namespace korvane
