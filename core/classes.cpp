#include "core/classes.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/component_ref.h"
#include "core/sysutils.h"

namespace korvane {

namespace {

// The watches of TComponentRef, by the component they watch.
struct TWatches {
  std::mutex Lock;
  std::unordered_multimap<const TComponent*, TComponent**> ByComponent;
};

// Never destroyed: a component of static storage may go after it.
TWatches& Watches() {
  static TWatches* const watches = new TWatches;
  return *watches;
}

// Clears every watch on a component being destroyed.
void ComponentFreed(const TComponent* freed) {
  TWatches& w = Watches();
  const std::lock_guard lock(w.Lock);
  const auto [from, to] = w.ByComponent.equal_range(freed);
  for (auto it = from; it != to; ++it) *it->second = nullptr;
  w.ByComponent.erase(from, to);
}

}  // namespace

namespace detail {

void WatchComponent(const TComponent* watched, TComponent** watch) {
  TWatches& w = Watches();
  const std::lock_guard lock(w.Lock);
  w.ByComponent.emplace(watched, watch);
}

void UnwatchComponent(const TComponent* watched, TComponent** watch) {
  TWatches& w = Watches();
  const std::lock_guard lock(w.Lock);
  const auto [from, to] = w.ByComponent.equal_range(watched);
  for (auto it = from; it != to; ++it) {
    if (it->second == watch) {
      w.ByComponent.erase(it);
      return;
    }
  }
}

}  // namespace detail

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
  ComponentFreed(this);
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

// Runs of Unicode's simple case folding: every Step-th code point from First
// to Last folds to itself plus Delta.
struct TFoldRun {
  char32_t First;
  char32_t Last;
  std::int32_t Delta;
  std::int32_t Step;
};

constexpr TFoldRun kFoldRuns[] = {
#include "core/case_folding_table.inc"
};

char32_t FoldCodePoint(char32_t c) {
  const TFoldRun* run = std::upper_bound(std::begin(kFoldRuns), std::end(kFoldRuns), c,
                                         [](char32_t v, const TFoldRun& r) { return v < r.First; });
  if (run == std::begin(kFoldRuns)) return c;
  --run;
  if (c > run->Last || (c - run->First) % static_cast<char32_t>(run->Step) != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->Delta);
}

// Decodes the code point at s[i] and moves i past it; false for bytes that
// are not well-formed UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included).
bool NextCodePoint(std::string_view s, std::size_t& i, char32_t& c) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    c = b0;
    ++i;
    return true;
  }
  // Continuation bytes, the value bits of the lead byte, and the least
  // code point the length may hold (anything less is an overlong form).
  std::size_t n = 0;
  char32_t least = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 1;
    c = b0 & 0x1Fu;
    least = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 2;
    c = b0 & 0x0Fu;
    least = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 3;
    c = b0 & 0x07u;
    least = 0x10000;
  } else {
    return false;
  }
  if (s.size() - i <= n) return false;
  for (std::size_t k = 1; k <= n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0u) != 0x80u) return false;
    c = (c << 6) | (b & 0x3Fu);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  i += n + 1;
  return true;
}

// Compares two well-formed UTF-8 texts code point by code point under the
// simple case folding; nullopt when either is not well-formed.
std::optional<bool> SameFoldedUtf8(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  bool same = true;
  while (i < a.size() && j < b.size()) {
    char32_t x = 0;
    char32_t y = 0;
    if (!NextCodePoint(a, i, x) || !NextCodePoint(b, j, y)) return std::nullopt;
    same = same && FoldCodePoint(x) == FoldCodePoint(y);
  }
  // Whatever is left must still be well-formed for the answer to stand.
  for (char32_t c = 0; i < a.size();) {
    if (!NextCodePoint(a, i, c)) return std::nullopt;
    same = false;
  }
  for (char32_t c = 0; j < b.size();) {
    if (!NextCodePoint(b, j, c)) return std::nullopt;
    same = false;
  }
  return same;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  // Names are mostly ASCII: compare those bytes in place, and decode only
  // from the first byte above 127 on.
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if ((x | y) >= 0x80) break;
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  // Folding maps one code point to one: a longer text cannot equal a prefix.
  if (i == n) return a.size() == b.size();
  const std::optional<bool> folded = SameFoldedUtf8(a.substr(i), b.substr(i));
  return folded ? *folded : SameTextAscii(a, b);
}

}  // namespace korvane
