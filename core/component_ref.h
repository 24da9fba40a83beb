// A component's reference to another component that clears itself when the
// other is destroyed, so that a host may delete a dataset before the
// components that name it: they then see none, as if it was never given.
#pragma once

#include "core/classes.h"

namespace korvane {

namespace detail {

// The watches on components about to be destroyed: each watch's pointer is
// set to nullptr by the watched component's destructor. Safe to call from
// several threads; a watch is used on one thread at a time.
void WatchComponent(const TComponent* watched, TComponent** watch);
void UnwatchComponent(const TComponent* watched, TComponent** watch);

}  // namespace detail

// Holds a T* (a TComponent) as a plain pointer does, but that it becomes
// nullptr when the component is destroyed. Neither copied nor moved: the
// registry knows it by its address.
template <class T>
class TComponentRef {
 public:
  TComponentRef() = default;
  ~TComponentRef() { Set(nullptr); }
  TComponentRef(const TComponentRef&) = delete;
  TComponentRef& operator=(const TComponentRef&) = delete;

  TComponentRef& operator=(T* value) {
    Set(value);
    return *this;
  }
  T* Get() const { return static_cast<T*>(FWatched); }
  operator T*() const { return Get(); }
  T* operator->() const { return Get(); }

 private:
  void Set(T* value) {
    TComponent* next = value;
    if (next == FWatched) return;
    if (FWatched != nullptr) detail::UnwatchComponent(FWatched, &FWatched);
    FWatched = next;
    if (FWatched != nullptr) detail::WatchComponent(FWatched, &FWatched);
  }

  TComponent* FWatched = nullptr;
};

}  // namespace korvane
