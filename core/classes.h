// Object model shared by every part of Korvane: TObject, TComponent with
// owner-based lifetime, and the TStrings/TStringList string lists.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Root of the class tree. Polymorphic so that event handlers can receive any
// object as Sender.
class KORVANE_API TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A component is owned by another component (or by nobody). Destroying an
// owner destroys everything it owns, newest first; destroying an owned
// component first removes it from its owner, so either order is safe.
// Components are created with new and handed to their owner, or held by a
// std::unique_ptr when they have no owner. Not thread-safe.
class KORVANE_API TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string value) { FName = std::move(value); }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const;
  // Finds an owned component by name (case-insensitive); nullptr when none.
  TComponent* FindComponent(std::string_view name) const;

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents;
};

// An ordered list of 8-bit strings. Indexes are 0-based; an index out of range
// raises EListError.
class KORVANE_API TStrings : public TObject {
 public:
  virtual int Count() const = 0;
  virtual const std::string& Strings(int index) const = 0;
  virtual void SetStrings(int index, std::string value) = 0;
  virtual int Add(std::string value) = 0;
  virtual void Insert(int index, std::string value) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  const std::string& operator[](int index) const { return Strings(index); }

  // Replaces the contents with a copy of source's strings. Assigning a list
  // to itself changes nothing.
  virtual void Assign(const TStrings& source);

  // Index of the first string equal to value under SameText (whole
  // strings, a linear search), or -1.
  virtual int IndexOf(std::string_view value) const;

  // The strings joined with CR LF after each one.
  std::string Text() const;
};

// The string list used everywhere: unsorted, duplicates allowed.
class KORVANE_API TStringList : public TStrings {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> items) : FItems(items) {}

  int Count() const override { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int index) const override;
  void SetStrings(int index, std::string value) override;
  int Add(std::string value) override;
  void Insert(int index, std::string value) override;
  void Delete(int index) override;
  void Clear() override { FItems.clear(); }
  void Assign(const TStrings& source) override;

  void Reserve(std::size_t n) { FItems.reserve(n); }
  const std::vector<std::string>& Items() const { return FItems; }

 private:
  void CheckIndex(int index, int limit) const;
  std::vector<std::string> FItems;
};

// Compares two names without regard to case, whatever the process locale:
// texts that are both well-formed UTF-8 (names coming from databases are)
// are equal when their code points are, one for one, under Unicode's simple
// case folding: "État" equals "état", but "Straße" does not equal "STRASSE",
// which only the full folding would give. When either
// is not well-formed UTF-8, a to z fold to A to Z and every other byte must
// match as it stands.
KORVANE_API bool SameText(std::string_view a, std::string_view b);

}  // namespace korvane
