// Running the korvane command in tests: in-process, or in a child process
// reading a pipe, and looking at a SQLite database with SQLite itself.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/korvane_cli.h"

namespace korvane::test::cli_run {

using json = nlohmann::json;

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

inline TRun Korvane(std::vector<std::string> args) {
  args.insert(args.begin(), "korvane");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  TRun run;
  run.Status = RunKorvane(static_cast<int>(args.size()), argv.data(), out, err);
  run.Out = out.str();
  run.Err = err.str();
  return run;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string text(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

// The run of a child that wrote its stderr to errFile and its stdout to
// errFile + ".out": its exit status once it ends, and both texts.
inline TRun ChildRun(pid_t child, const std::string& errFile) {
  TRun run;
  int status = 0;
  if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    run.Status = WEXITSTATUS(status);
  }
  run.Err = ReadText(errFile);
  run.Out = ReadText(errFile + ".out");
  return run;
}

// The command in a child process whose standard input is a pipe the parent
// writes input into; the child's stdout and stderr texts come back in Out
// and Err (through errFile and errFile.out).
inline TRun KorvaneReadingPipe(std::vector<std::string> args, const std::string& input,
                               const std::string& errFile) {
  TRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    TRun r = Korvane(std::move(args));
    std::ofstream(errFile) << r.Err;
    std::ofstream(errFile + ".out") << r.Out;
    ::_exit(r.Status);
  }
  ::close(fds[0]);
  // The child may end (a usage error, say) before it reads everything: the
  // write then fails instead of killing this process with SIGPIPE.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  for (std::size_t at = 0; at < input.size();) {
    const ssize_t n =
        ::write(fds[1], input.data() + at, std::min<std::size_t>(input.size() - at, 4096));
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  ::sigaction(SIGPIPE, &previous, nullptr);
  return ChildRun(child, errFile);
}

// The command in a child process whose standard input is the file at path
// (as a shell's < path gives it); Out and Err as for KorvaneReadingPipe.
inline TRun KorvaneReadingFile(std::vector<std::string> args, const std::string& path,
                               const std::string& errFile) {
  const pid_t child = ::fork();
  if (child == 0) {
    const int in = ::open(path.c_str(), O_RDONLY);
    if (in < 0 || ::dup2(in, STDIN_FILENO) < 0) ::_exit(125);
    ::close(in);
    TRun r = Korvane(std::move(args));
    std::ofstream(errFile) << r.Err;
    std::ofstream(errFile + ".out") << r.Out;
    ::_exit(r.Status);
  }
  return ChildRun(child, errFile);
}

// The rows of a query, every value as SQLite's text of it ("NULL" for null).
inline std::vector<std::vector<std::string>> Rows(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  std::vector<std::vector<std::string>> rows;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    ADD_FAILURE() << "cannot open " << db;
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(handle) << " in " << sql;
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row.push_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(handle);
  return rows;
}

inline void Exec(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  char* error = nullptr;
  int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(handle);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

inline std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  return lines;
}

}  // namespace korvane::test::cli_run
