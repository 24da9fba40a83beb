// Owners of the handles C libraries give out.
#pragma once

#include <memory>

namespace korvane {

// Frees a handle with the library's own function (a deleter for
// std::unique_ptr).
template <auto Free>
struct TFreeWith {
  template <class T>
  void operator()(T* handle) const noexcept {
    Free(handle);
  }
};

// A handle that Free releases when its owner goes:
// TOwned<sqlite3_stmt, &sqlite3_finalize>.
template <class T, auto Free>
using TOwned = std::unique_ptr<T, TFreeWith<Free>>;

}  // namespace korvane
