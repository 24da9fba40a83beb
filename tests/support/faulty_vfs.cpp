#include "tests/support/faulty_vfs.h"

#include <stdexcept>

namespace korvane::test {

namespace {

struct TFaultState {
  sqlite3_vfs* Real = nullptr;
  sqlite3_vfs Vfs{};
  bool Armed = false;
  TFaultyVfs::TOperation Operation = TFaultyVfs::opWrite;
  int Countdown = 0;
  int ResultCode = SQLITE_OK;
  bool Fired = false;
};

TFaultState& State() {
  static TFaultState state;
  return state;
}

// The result of an operation of this kind: the armed fault once its turn
// comes, SQLITE_OK otherwise.
int Fault(TFaultyVfs::TOperation operation) {
  TFaultState& s = State();
  if (!s.Armed || s.Operation != operation || --s.Countdown > 0) return SQLITE_OK;
  s.Armed = false;
  s.Fired = true;
  return s.ResultCode;
}

// Our file: the header SQLite sees, then the real VFS's file.
struct TFile {
  sqlite3_file Base;
  sqlite3_file* Real;
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<TFile*>(file)->Real; }
const sqlite3_io_methods* M(sqlite3_file* file) { return Real(file)->pMethods; }

int Close(sqlite3_file* f) { return M(f)->xClose(Real(f)); }
int Read(sqlite3_file* f, void* buf, int n, sqlite3_int64 at) {
  return M(f)->xRead(Real(f), buf, n, at);
}
int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 at) {
  const int rc = Fault(TFaultyVfs::opWrite);
  return rc != SQLITE_OK ? rc : M(f)->xWrite(Real(f), buf, n, at);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  const int rc = Fault(TFaultyVfs::opTruncate);
  return rc != SQLITE_OK ? rc : M(f)->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  const int rc = Fault(TFaultyVfs::opSync);
  return rc != SQLITE_OK ? rc : M(f)->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return M(f)->xFileSize(Real(f), size); }
int Lock(sqlite3_file* f, int level) { return M(f)->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return M(f)->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return M(f)->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return M(f)->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return M(f)->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return M(f)->xDeviceCharacteristics(Real(f)); }

// Version 1 methods: no shared memory (no WAL) and no memory mapping, so
// that every change goes through Write.
const sqlite3_io_methods kMethods = {
    1,    Close,      Read,       Write,       Truncate,
    Sync, FileSize,   Lock,       Unlock,      CheckReservedLock,
    FileControl, SectorSize, DeviceCharacteristics, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr};

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  sqlite3_vfs* real = static_cast<TFaultState*>(vfs->pAppData)->Real;
  auto* ours = reinterpret_cast<TFile*>(file);
  ours->Real = reinterpret_cast<sqlite3_file*>(ours + 1);
  const int rc = real->xOpen(real, name, ours->Real, flags, outFlags);
  ours->Base.pMethods = ours->Real->pMethods != nullptr ? &kMethods : nullptr;
  return rc;
}

}  // namespace

TFaultyVfs::TFaultyVfs() {
  TFaultState& s = State();
  if (s.Real != nullptr) throw std::logic_error("one TFaultyVfs at a time");
  s.Real = sqlite3_vfs_find(nullptr);
  s.Vfs = *s.Real;
  s.Vfs.iVersion = 1;  // no system-call overrides, no current-time extensions
  s.Vfs.szOsFile = static_cast<int>(sizeof(TFile)) + s.Real->szOsFile;
  s.Vfs.pNext = nullptr;
  s.Vfs.zName = "korvane-faulty";
  s.Vfs.pAppData = &s;
  s.Vfs.xOpen = Open;
  sqlite3_vfs_register(&s.Vfs, 1);
}

TFaultyVfs::~TFaultyVfs() {
  TFaultState& s = State();
  sqlite3_vfs_unregister(&s.Vfs);
  sqlite3_vfs_register(s.Real, 1);
  s = TFaultState{};
}

void TFaultyVfs::Arm(TOperation operation, int n, int resultCode) {
  TFaultState& s = State();
  s.Armed = true;
  s.Operation = operation;
  s.Countdown = n;
  s.ResultCode = resultCode;
  s.Fired = false;
}

void TFaultyVfs::Disarm() { State().Armed = false; }

bool TFaultyVfs::Fired() const { return State().Fired; }

}  // namespace korvane::test
