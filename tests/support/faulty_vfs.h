// A SQLite VFS for tests that fails one chosen write, sync or truncate.
#pragma once

#include <sqlite3.h>

namespace korvane::test {

// TFaultyVfs wraps the default VFS and, while it lives, is the default
// itself, so every connection the process opens goes through it. Armed, it
// fails the n-th write, sync or truncate (counted over every file from
// Arm on) with the given result code, once; everything else passes through.
// One at a time per process; not thread-safe.
class TFaultyVfs {
 public:
  enum TOperation { opWrite, opSync, opTruncate };

  TFaultyVfs();
  ~TFaultyVfs();
  TFaultyVfs(const TFaultyVfs&) = delete;
  TFaultyVfs& operator=(const TFaultyVfs&) = delete;

  void Arm(TOperation operation, int n, int resultCode);
  void Disarm();
  // True when the armed fault happened.
  bool Fired() const;
};

}  // namespace korvane::test
