#include "platform/classes.h"

#include <algorithm>

#include "platform/sysutils.h"

namespace korvane {

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Free owned components newest first. Each one removes itself from
  // FComponents in its own destructor.
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    delete last;
  }
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError("Component index out of bounds (" + IntToStr(index) + ")");
  }
  return FComponents[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : FComponents) {
    if (SameText(c->Name(), name)) return c;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  FComponents.push_back(component);
  component->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), component);
  if (it != FComponents.end()) FComponents.erase(it);
  component->FOwner = nullptr;
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  Clear();
  for (int i = 0; i < source.Count(); ++i) Add(source.Strings(i));
}

int TStrings::IndexOf(std::string_view value) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(Strings(i), value)) return i;
  }
  return -1;
}

std::string TStrings::Text() const {
  std::string result;
  for (int i = 0; i < Count(); ++i) {
    result += Strings(i);
    result += "\r\n";
  }
  return result;
}

void TStringList::CheckIndex(int index, int limit) const {
  if (index < 0 || index >= limit) {
    throw EListError("List index out of bounds (" + IntToStr(index) + ")");
  }
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index, Count());
  return FItems[static_cast<std::size_t>(index)];
}

void TStringList::SetStrings(int index, std::string value) {
  CheckIndex(index, Count());
  FItems[static_cast<std::size_t>(index)] = std::move(value);
}

int TStringList::Add(std::string value) {
  FItems.push_back(std::move(value));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string value) {
  CheckIndex(index, Count() + 1);
  FItems.insert(FItems.begin() + index, std::move(value));
}

void TStringList::Delete(int index) {
  CheckIndex(index, Count());
  FItems.erase(FItems.begin() + index);
}

void TStringList::Assign(const TStrings& source) {
  if (&source == this) return;
  if (auto* list = dynamic_cast<const TStringList*>(&source)) {
    FItems = list->FItems;
    return;
  }
  TStrings::Assign(source);
}

namespace {
char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace korvane
