// Faults on purpose. Import: a SQLite VFS that fails one write, sync or
// truncate at every point of a small import; each run must end as failed,
// say how many records are committed, and leave a sound database holding
// exactly those records, in whole groups. Export: writes failing at every
// buffer boundary and a process killed midway leave the earlier file as it
// was and no other. Interrupts: an import stopped by a signal says where a
// rerun goes on, and the rerun completes the load.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/korvane_cli.h"
#include "datasets/memory/memory_dataset.h"
#include "datasets/sqlite/sqlite_dataset.h"
#include "io/fileio_faults.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "support/captured_messages.h"
#include "support/faulty_vfs.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::TFaultyVfs;

constexpr int kRecords = 25;
constexpr int kGroup = 4;

// The number before " records are committed" in text; -1 when there is none.
long long CommittedIn(const std::string& text) {
  const std::size_t end = text.find(" records are committed");
  if (end == std::string::npos) return -1;
  std::size_t start = end;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  return start == end ? -1 : std::stoll(text.substr(start, end - start));
}

// What a database file holds, read through SQLite itself: the integrity
// check's verdict, the row count and whether the ids run 1, 2, ... count.
struct TContent {
  std::string Integrity;
  long long Rows = -1;
  bool Consecutive = false;
};

TContent Inspect(const std::string& path) {
  TContent c;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    auto one = [db](const char* sql, std::string& text) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
          sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        text = t ? t : "";
      }
      sqlite3_finalize(stmt);
    };
    one("PRAGMA integrity_check", c.Integrity);
    std::string rows;
    std::string top;
    one("SELECT count(*) FROM t", rows);
    one("SELECT coalesce(max(id), 0) = count(*) AND count(DISTINCT id) = count(*) FROM t", top);
    if (!rows.empty()) c.Rows = std::stoll(rows);
    c.Consecutive = top == "1";
  }
  sqlite3_close(db);
  return c;
}

// The files live in memory where the machine has /dev/shm: a sync there
// costs nothing, and the VFS counts it all the same.
class DiskFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path shm = "/dev/shm";
    std::string pattern = ((std::filesystem::is_directory(shm) ? shm
                                                                : std::filesystem::temp_directory_path()) /
                           "korvane-faults-XXXXXX")
                              .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
    std::ofstream input(Path("in.csv"));
    for (int i = 1; i <= kRecords; ++i) input << i << ",name " << i << "\n";
    FInput = Path("in.csv");
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }

  // A new database with the empty table, made while no fault is armed.
  void NewDatabase(const char* journalMode = "DELETE") {
    std::remove(Db().c_str());
    TSQLiteDataSet ds(nullptr);
    ds.SetDatabaseFile(Db());
    ds.ExecSQL("CREATE TABLE t (id INTEGER, name TEXT)");
    FJournalMode = journalMode;
  }

  // Imports the file through the component, kGroup records per commit.
  int ComponentImport(std::string& error) {
    test::TCapturedMessages messages;
    TSQLiteDataSet ds(nullptr);
    ds.SetDatabaseFile(Db());
    ds.SetTableName("t");
    ds.SetBulkCommitCount(kGroup);
    ds.ExecSQL(std::string("PRAGMA journal_mode=") + FJournalMode);
    TCSVImport imp(nullptr);
    imp.SetDataSet(&ds);
    imp.SetInputFile(FInput);
    imp.SetFieldSeparator(fspComma);
    const int result = imp.Execute();
    for (const auto& m : messages.Shown()) {
      if (m.Type == mtError) error += m.Text;
    }
    EXPECT_EQ(imp.ErrorRecords(), 0) << "a fault of the disk counted as a refused record";
    if (result < 0) {
      EXPECT_EQ(imp.StoredRecords(), CommittedIn(error));
    }
    return result;
  }

  // The command's exit status; its stderr in error.
  int CommandImport(std::string& error) {
    std::vector<std::string> args = {"korvane", "import",           FInput, "--db", Db(),
                                     "--table", "t", "--commit-every", std::to_string(kGroup)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    const int status = RunKorvane(static_cast<int>(args.size()), argv.data(), out, err);
    error = err.str();
    return status;
  }

  std::string Path(const std::string& name) const { return FDir + "/" + name; }
  std::string Db() const { return Path("t.db"); }

  std::string FDir;
  std::string FInput;
  const char* FJournalMode = "DELETE";
};

struct TFaultCase {
  const char* Name;
  TFaultyVfs::TOperation Operation;
  int ResultCode;
  const char* JournalMode;  // TRUNCATE: each commit truncates the journal
};

const TFaultCase kFaults[] = {
    {"write, full", TFaultyVfs::opWrite, SQLITE_FULL, "DELETE"},
    {"write, I/O", TFaultyVfs::opWrite, SQLITE_IOERR_WRITE, "DELETE"},
    {"sync, I/O", TFaultyVfs::opSync, SQLITE_IOERR_FSYNC, "DELETE"},
    {"sync, full", TFaultyVfs::opSync, SQLITE_FULL, "DELETE"},
    {"truncate, I/O", TFaultyVfs::opTruncate, SQLITE_IOERR_TRUNCATE, "TRUNCATE"},
    {"truncate, full", TFaultyVfs::opTruncate, SQLITE_FULL, "TRUNCATE"},
};

// Every n until the import gets through without meeting the fault: the run
// fails (or, where SQLite recovered by itself, stores everything), and the
// database holds exactly the records it says are committed, in whole groups.
TEST_F(DiskFaultTest, EveryFailingOperationEndsTheRunWithWholeCommittedGroups) {
  TFaultyVfs vfs;
  for (const TFaultCase& fault : kFaults) {
    bool reached = true;
    int n = 1;
    for (; reached && n < 500; ++n) {
      SCOPED_TRACE(std::string(fault.Name) + ", operation " + std::to_string(n));
      NewDatabase(fault.JournalMode);
      vfs.Arm(fault.Operation, n, fault.ResultCode);
      std::string error;
      const int result = ComponentImport(error);
      reached = vfs.Fired();
      vfs.Disarm();
      const TContent content = Inspect(Db());
      EXPECT_EQ(content.Integrity, "ok");
      EXPECT_TRUE(content.Consecutive);
      if (result < 0) {
        EXPECT_TRUE(reached) << error;
        EXPECT_EQ(content.Rows, CommittedIn(error)) << error;
        EXPECT_EQ(content.Rows % kGroup, 0) << error;
      } else {
        EXPECT_EQ(result, kRecords);
        EXPECT_EQ(content.Rows, kRecords);
      }
    }
    EXPECT_FALSE(reached) << fault.Name << ": the fault was still met after 500 operations";
    EXPECT_GT(n, 2) << fault.Name << ": the import never met the fault";
  }
}

TEST_F(DiskFaultTest, TheCommandExitsWithFailureAndSaysWhatIsCommitted) {
  TFaultyVfs vfs;
  NewDatabase();
  vfs.Arm(TFaultyVfs::opWrite, 6, SQLITE_FULL);  // in the second group's commit
  std::string error;
  EXPECT_EQ(CommandImport(error), 1);
  ASSERT_TRUE(vfs.Fired());
  vfs.Disarm();
  EXPECT_NE(error.find("database or disk is full"), std::string::npos) << error;
  const TContent content = Inspect(Db());
  EXPECT_EQ(content.Integrity, "ok");
  EXPECT_EQ(content.Rows, CommittedIn(error)) << error;
}

// The one transaction of the run fails at its commit: the message, --json
// and the summary count only what is in the table, which is nothing.
TEST_F(DiskFaultTest, ACommitThatFailsCountsNothingStored) {
  TFaultyVfs vfs;
  NewDatabase();
  vfs.Arm(TFaultyVfs::opSync, 1, SQLITE_FULL);  // the commit's first sync
  std::vector<std::string> args = {"korvane", "import", FInput, "--db",   Db(),
                                   "--table", "t",      "--json", "--progress"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  EXPECT_EQ(RunKorvane(static_cast<int>(args.size()), argv.data(), out, err), 1);
  ASSERT_TRUE(vfs.Fired());
  vfs.Disarm();
  EXPECT_EQ(Inspect(Db()).Rows, 0);
  EXPECT_NE(out.str().find("\"stored\":0"), std::string::npos) << out.str();
  EXPECT_NE(err.str().find(std::to_string(kRecords) +
                           " posted records were not stored: database or disk is full; 0 "
                           "records are in the table"),
            std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("0 records stored, 0 failed"), std::string::npos) << err.str();
}

// ---------------------------------------------------------------------------
// The command in a child process, for what needs a process of its own: a
// file size limit, a signal. Its exit status comes back, its stderr in a
// file; input, when given, is its standard input; its standard output, when
// given a file, is that file opened for appending (a shell's >>).

struct TChild {
  pid_t Pid = -1;
  int Input = -1;  // the write end of its standard input, or -1
};

TChild StartCommand(std::vector<std::string> args, const std::string& errFile, bool pipeInput,
                    rlim_t fileSizeLimit = RLIM_INFINITY, const std::string& outFile = {}) {
  int fds[2] = {-1, -1};
  if (pipeInput && pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    if (!outFile.empty()) {
      const int out = open(outFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(99);
      close(out);
    }
    if (pipeInput) {
      dup2(fds[0], STDIN_FILENO);
      close(fds[0]);
      close(fds[1]);
    }
    if (fileSizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit {};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = fileSizeLimit;
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    args.insert(args.begin(), "korvane");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    const int status = RunKorvane(static_cast<int>(args.size()), argv.data(), out, err);
    struct rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::ofstream(errFile) << err.str();
    _exit(status);
  }
  if (pipeInput) close(fds[0]);
  return {pid, pipeInput ? fds[1] : -1};
}

// The exit status, or 128 + the signal that ended the child.
int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

std::string Records(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += std::to_string(i) + ",name " + std::to_string(i) + "\n";
  return text;
}

// Writes to a child's standard input; false once the child has gone (an
// interrupted child may end before it reads everything: the write then
// fails instead of killing this process with SIGPIPE).
bool WriteAll(int fd, const std::string& bytes) {
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool written = true;
  for (std::size_t done = 0; done < bytes.size() && written;) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  sigaction(SIGPIPE, &previous, nullptr);
  return written;
}

long long Number(const std::string& text, const std::string& before) {
  const std::size_t at = text.find(before);
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + before.size());
}

// Ctrl-C while the records come down a pipe: the run stops at a record
// boundary, says how many records are stored and which one comes next, and
// a rerun from there completes the load without a duplicate.
TEST_F(DiskFaultTest, AnInterruptedImportSaysWhereToGoOnAndARerunCompletesIt) {
  NewDatabase();
  const std::string errFile = Path("err.txt");
  TChild child = StartCommand({"import", "-", "--db", Db(), "--table", "t", "-s", ",", "-q", "\"",
                               "--header", "0", "--commit-every", "100"},
                              errFile, true);
  ASSERT_GT(child.Pid, 0);
  // The first half, and the signal once a group of it is committed: the
  // child is then inside the run, storing the rest or waiting for more.
  ASSERT_TRUE(WriteAll(child.Input, Records(1, 1000)));
  for (int i = 0; i < 20000 && Inspect(Db()).Rows < 100; ++i) usleep(500);
  ASSERT_GE(Inspect(Db()).Rows, 100);
  kill(child.Pid, SIGINT);
  WriteAll(child.Input, Records(1001, 2000));
  close(child.Input);
  EXPECT_EQ(WaitFor(child.Pid), 130);
  const std::string error = ReadAll(errFile);
  const long long stored = Number(error, "interrupted; ");
  const long long next = Number(error, "first record not stored is record ");
  EXPECT_GE(stored, 100) << error;
  EXPECT_EQ(next, stored + 1) << error;
  EXPECT_EQ(Number(error, "(line "), next) << error;
  const TContent first = Inspect(Db());
  EXPECT_EQ(first.Integrity, "ok");
  EXPECT_EQ(first.Rows, stored);
  EXPECT_TRUE(first.Consecutive);

  std::ofstream(Path("all.csv")) << Records(1, 2000);
  const std::string nextText = std::to_string(next);
  std::vector<std::string> args = {"korvane", "import", Path("all.csv"), "--db", Db(), "--table",
                                   "t", "--header", "0", "--start-record", nextText};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  EXPECT_EQ(RunKorvane(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
  const TContent all = Inspect(Db());
  EXPECT_EQ(all.Rows, 2000);
  EXPECT_TRUE(all.Consecutive);
}

class ExportFaultTest : public DiskFaultTest {
 protected:
  // A table of `rows` people and an earlier export file to keep.
  void SetUp() override {
    DiskFaultTest::SetUp();
    NewDatabase();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Db().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30000) "
                 "INSERT INTO t SELECT i, 'customer number ' || i FROM n",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    FTarget = Path("out.csv");
    std::ofstream(FTarget) << "the earlier export\n";
    FBefore = Entries(FDir);
  }

  std::vector<std::string> ExportArgs() const {
    return {"export", FTarget, "--db", Db(), "--table", "t"};
  }

  std::string FTarget;
  std::set<std::string> FBefore;
};

// A file size limit at every boundary of the export's writes (and a byte to
// either side): the command fails with the system's reason, the earlier file
// stays as it was, and no new file is left beside it.
TEST_F(ExportFaultTest, AWriteFailingAtAnyBufferBoundaryLeavesTheOldFileAndNoOther) {
  std::vector<rlim_t> limits = {0, 1};
  // The first write is 10 KiB, each later one as large as all before it.
  for (rlim_t at = 10240; at < 600000; at *= 2) {
    for (rlim_t limit : {at - 1, at, at + 1}) limits.push_back(limit);
  }
  for (const rlim_t limit : limits) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    const std::string errFile = Path("err.txt");
    TChild child = StartCommand(ExportArgs(), errFile, false, limit);
    ASSERT_GT(child.Pid, 0);
    EXPECT_EQ(WaitFor(child.Pid), 1);
    const std::string error = ReadAll(errFile);
    std::filesystem::remove(errFile);
    EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;
    EXPECT_EQ(ReadAll(FTarget), "the earlier export\n");
    EXPECT_EQ(Entries(FDir), FBefore);
  }
}

// The file writer failing at its first, second, ... write, plain and
// compressed: the command fails with the writer's reason, the earlier file
// stays as it was and nothing is left beside it; with no fault the export
// goes through.
TEST_F(ExportFaultTest, TheWriterFailingAtEachWriteLeavesTheOldFileAndNoOther) {
  for (const std::string extra : {"", "--compress=gzip"}) {
    std::vector<std::string> args = ExportArgs();
    if (!extra.empty()) args.push_back(extra);
    int failures = 0;
    for (int good = 0;; ++good) {
      ASSERT_LT(good, 100) << "the export never got through";
      const int error = good % 2 == 0 ? EIO : ENOSPC;
      SCOPED_TRACE(extra + " after " + std::to_string(good) + " writes");
      const std::string errFile = Path("err.txt");
      FailWritesAfter(good, error);
      TChild child = StartCommand(args, errFile, false);
      ClearWriteFault();
      ASSERT_GT(child.Pid, 0);
      const int status = WaitFor(child.Pid);
      const std::string message = ReadAll(errFile);
      std::filesystem::remove(errFile);
      if (status == 0) break;
      ++failures;
      EXPECT_EQ(status, 1);
      EXPECT_NE(message.find(std::strerror(error)), std::string::npos) << message;
      EXPECT_EQ(ReadAll(FTarget), "the earlier export\n");
      EXPECT_EQ(Entries(FDir), FBefore);
    }
    EXPECT_GE(failures, 2);
    EXPECT_NE(ReadAll(FTarget), "the earlier export\n");
    std::ofstream(FTarget, std::ios::trunc) << "the earlier export\n";
  }
}

// Standard output redirected to a file is given the export only once it has
// succeeded: a failed run says nothing went there, and a write to it that
// fails says how many bytes did.
TEST_F(ExportFaultTest, AFailedExportToRedirectedStandardOutputSaysWhatWentThere) {
  const std::string errFile = Path("err.txt");
  const std::string earlier = ReadAll(FTarget);
  TChild child = StartCommand({"export", "-", "--db", Db(), "--query",
                               "SELECT CASE WHEN id = 2 THEN abs(-9223372036854775807 - 1) "
                               "ELSE id END FROM t"},
                              errFile, false, RLIM_INFINITY, FTarget);
  ASSERT_GT(child.Pid, 0);
  EXPECT_EQ(WaitFor(child.Pid), 1);
  std::string error = ReadAll(errFile);
  EXPECT_NE(error.find("; nothing went to standard output\n"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(FTarget), earlier);
  // The export fits the size limit; appended to a file as large as it, it
  // does not: the first half goes there.
  std::vector<std::string> args = {"korvane", "export", Path("whole.csv"), "--db", Db(),
                                   "--table", "t"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  ASSERT_EQ(RunKorvane(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
  const std::string whole = ReadAll(Path("whole.csv"));
  std::ofstream(FTarget, std::ios::trunc) << whole;
  const rlim_t limit = whole.size() + whole.size() / 2;
  child = StartCommand({"export", "-", "--db", Db(), "--table", "t"}, errFile, false, limit,
                       FTarget);
  ASSERT_GT(child.Pid, 0);
  EXPECT_EQ(WaitFor(child.Pid), 1);
  error = ReadAll(errFile);
  EXPECT_EQ(error, "Error: cannot write to standard output (" + std::string(std::strerror(EFBIG)) +
                       "); the first " + std::to_string(whole.size() / 2) +
                       " bytes of the export went to standard output\n");
  EXPECT_EQ(ReadAll(FTarget), whole + whole.substr(0, whole.size() / 2));
}

TEST_F(ExportFaultTest, AFullDeviceFailsTheCommandWithTheSystemsReason) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  std::vector<std::string> args = {"korvane", "export", "/dev/full", "--db", Db(), "--table", "t"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  EXPECT_EQ(RunKorvane(static_cast<int>(argv.size()), argv.data(), out, err), 1);
  EXPECT_NE(err.str().find(std::strerror(ENOSPC)), std::string::npos) << err.str();
  // Standard output on the device is written as it comes, and named so.
  const std::string errFile = Path("err.txt");
  TChild child = StartCommand({"export", "-", "--db", Db(), "--table", "t"}, errFile, false,
                              RLIM_INFINITY, "/dev/full");
  ASSERT_GT(child.Pid, 0);
  EXPECT_EQ(WaitFor(child.Pid), 1);
  EXPECT_EQ(ReadAll(errFile), "Error: cannot write to standard output (" +
                                  std::string(std::strerror(ENOSPC)) +
                                  "); the lines before it went to standard output\n");
}

// Killed in the middle (no chance to clean up): the earlier file is as it
// was, and nothing is left beside it, or, where the file system has no
// unnamed files, what is left goes with the next export to that target.
TEST_F(ExportFaultTest, AKilledExportLeavesTheOldFileAndTheNextRunLeavesNothing) {
  // Ten times the rows, so that the export still runs when a busy machine
  // lets this process look.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Db().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "WITH RECURSIVE n(i) AS (SELECT 30001 UNION ALL SELECT i + 1 FROM n "
                         "WHERE i < 300000) INSERT INTO t SELECT i, 'customer number ' || i FROM n",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string errFile = Path("err.txt");
  TChild child = StartCommand(ExportArgs(), errFile, false);
  ASSERT_GT(child.Pid, 0);
  // Killed once its new file exists: an unnamed one in the target's folder
  // shows among its descriptors as deleted.
  const std::string fds = "/proc/" + std::to_string(child.Pid) + "/fd";
  bool seen = false;
  for (int i = 0; i < 20000 && !seen; ++i) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(fds, ec)) {
      const std::string link = std::filesystem::read_symlink(e.path(), ec).string();
      seen = seen || (link.rfind(FDir + "/", 0) == 0 && link != FTarget && link != Db() &&
                      link != errFile);
    }
    if (!seen) usleep(200);
  }
  kill(child.Pid, SIGKILL);
  EXPECT_EQ(WaitFor(child.Pid), 128 + SIGKILL);
  ASSERT_TRUE(seen) << "the export ended before its new file was seen";
  EXPECT_EQ(ReadAll(FTarget), "the earlier export\n");
  std::filesystem::remove(errFile);
  std::vector<std::string> args = {"korvane", "export", FTarget, "--db", Db(), "--table", "t"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  EXPECT_EQ(RunKorvane(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
  EXPECT_EQ(Entries(FDir), FBefore);
  EXPECT_NE(ReadAll(FTarget), "the earlier export\n");
}

// A new file named after a process that is gone goes with the next export
// to the same target; one of a live process (this one) stays.
TEST_F(ExportFaultTest, NamedLeftoversOfEndedProcessesAreRemoved) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(WaitFor(gone), 0);
  const std::string orphan = Path(".out.csv.korvane-" + std::to_string(gone) + "-a1b2c3");
  const std::string live = Path(".out.csv.korvane-" + std::to_string(getpid()) + "-d4e5f6");
  const std::string other = Path(".other.csv.korvane-" + std::to_string(gone) + "-g7h8i9");
  for (const std::string& p : {orphan, live, other}) std::ofstream(p) << "partial";
  std::vector<std::string> args = {"korvane", "export", FTarget, "--db", Db(), "--table", "t"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  EXPECT_EQ(RunKorvane(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_TRUE(std::filesystem::exists(live));
  EXPECT_TRUE(std::filesystem::exists(other));
}

// A host deleting a component from one of its own handlers would leave the
// run working on freed memory: the process ends there and says why.
TEST(HostFaultDeathTest, DeletingAComponentWhileItsRunGoesOnEndsTheProcessSayingSo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::TTempDir dir;
  const std::string input = dir.Put("in.txt", "1\r\n2\r\n");
  TMemoryDataSet data;
  data.AddFieldDef("A", ftString, 10);
  data.Open();
  data.AppendRecord({"x"});
  EXPECT_DEATH(
      {
        auto* imp = new TCSVImport(nullptr);
        imp->SetDataSet(&data);
        imp->SetInputFile(input);
        imp->SetOnImportRecord([](TObject* sender, std::int32_t) { delete sender; });
        static_cast<void>(imp->Execute());
      },
      "a TCSVImport was deleted while its Execute ran");
  EXPECT_DEATH(
      {
        auto* exp = new TCSVExport(nullptr);
        exp->SetDataSet(&data);
        exp->SetOutputFile(dir.Path("out.txt"));
        exp->SetOnExportRecord([](TObject* sender, std::int32_t, std::int64_t) { delete sender; });
        static_cast<void>(exp->Execute());
      },
      "a TCSVExport was deleted while its Execute ran");
}

}  // namespace
}  // namespace korvane
