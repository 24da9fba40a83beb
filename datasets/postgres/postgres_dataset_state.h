// What a TPostgresDataSet keeps between calls: its connection, what Open
// found, the read under way and the bulk run. Shared by the dataset's parts
// (postgres_dataset.cpp, the reading in postgres_dataset_read.cpp, the
// appending in postgres_dataset_append.cpp); nothing outside them uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "datasets/postgres/postgres_codec.h"
#include "datasets/postgres/postgres_connection.h"
#include "datasets/postgres/postgres_copy_writer.h"
#include "datasets/postgres/postgres_dataset.h"
#include "datasets/postgres/postgres_merge.h"
#include "datasets/postgres/postgres_parallel_load.h"
#include "datasets/postgres/postgres_parallel_read.h"

namespace korvane {

struct TPostgresDataSet::TState {
  // The properties' values.
  std::string FConnection;
  bool FBinaryCopy = true;
  bool FExactTimes = false;
  bool FUtcTimes = false;
  std::int32_t FJobs = 1;
  bool FUnorderedRead = false;
  TNoticeEvent FOnNotice;

  std::unique_ptr<pg::TConnection> Conn;
  // The connection's COPY format: binary until the server refuses it.
  bool Binary = true;

  // What Open found.
  bool IsQuery = false;
  bool Writable = false;
  char Kind = 'r';    // pg_class.relkind of the table
  std::string Table;  // quoted, schema-qualified when it was given so
  std::string QueryText;
  std::vector<pg::TColumn> Cols;
  pg::TCodecContext Context;

  // Reading.
  bool Reading = false;    // a COPY TO is streaming
  bool ReadBinary = true;  // in the binary format
  bool ReadTransaction = false;
  bool HeaderDone = false;
  bool AtFirst = false;  // on the first record, nothing read beyond it
  bool FirstFound = false;
  std::unique_ptr<pg::TCopyWriter> Writer;
  int BulkDepth = 0;
  // Keyed loads: the key's columns and the merge; by column, whether the
  // table fills it in itself.
  std::vector<std::size_t> Key;
  TLoadMode Mode = lmAppend;
  std::unique_ptr<pg::TMerge> Merge;
  std::vector<bool> AutoInc;
  std::vector<std::string> PrimaryKey;
  std::vector<std::vector<std::string>> UniqueKeys;

  // Several connections at once (Jobs): a read in ranges of pages, or a
  // bulk run dealing its records out; what the last one used, and why
  // fewer than asked. A run's refusals and commits outlive it until the
  // next one.
  std::unique_ptr<pg::TParallelRead> Parallel;
  std::unique_ptr<pg::TParallelLoad> Load;
  TRefusals LoadRefusals;
  std::int64_t LoadCommitted = 0;
  TLoadCounts LoadCounts;  // a keyed load's over several connections
  bool LoadRan = false;
  std::int32_t JobsUsed = 1;
  std::string JobsNote;
  std::string JobsCommitted;  // the last bulk run's count by connection
  std::string SessionSetup;   // run on every connection of the jobs first

  PGconn* conn() const { return Conn->get(); }

  void ForgetSource() noexcept {
    IsQuery = false;
    Writable = false;
    Table.clear();
    QueryText.clear();
    Cols.clear();
    Writer.reset();
    BulkDepth = 0;
    Key.clear();
    Mode = lmAppend;
    Merge.reset();
    AutoInc.clear();
    PrimaryKey.clear();
    UniqueKeys.clear();
    Load.reset();
    LoadRefusals = {};
    LoadCommitted = 0;
    LoadCounts = {};
    LoadRan = false;
  }

  // How the select list names column i: a query's columns c1, c2, ...
  std::string SelectName(std::size_t i) const {
    return IsQuery ? std::string("c").append(std::to_string(i + 1)) : pg::QuoteIdent(Cols[i].Name);
  }

  std::string SelectList() const {
    std::string list;
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      if (i > 0) list += ", ";
      list += SelectName(i);
    }
    return list;
  }

  // Jobs 0: the server's max_parallel_workers or the client's cores,
  // whichever is fewer (the cores alone on an engine without the setting).
  std::int32_t AutoJobs() const;

  // Opens up to count more connections for the jobs; fewer when the server
  // refuses one (JobsNote says why, counting open connections the jobs use
  // besides these). begin runs on each first.
  std::vector<std::unique_ptr<pg::TConnection>> OpenJobConnections(const std::string& connection,
                                                                   std::int64_t count,
                                                                   const std::string& begin,
                                                                   std::int64_t open = 0);

  // The select list that reads the columns in the format; cast is set when
  // it differs from the plain column list.
  std::string ReadExpressions(bool binary, bool& cast) const;

  std::string CopyOutCommand(bool binary) const;

  // Starts streaming the records; false (and the error) when the COPY is
  // refused.
  bool StartCopyOut(bool binary, pg::TError& error);

  // Copies an empty range of the table's pages in the format, inside the
  // read transaction (which a failure leaves usable); false and the
  // server's error when the server cannot.
  bool ProbeRangeCopy(bool binary, pg::TError& error);

  // Starts reading the table over several connections; false (JobsNote
  // saying why when jobs were asked for) when it is read over one.
  bool StartParallelRead(std::int32_t wanted, bool unordered, const std::string& connection);

  void StartReading(std::int32_t jobs = 1, bool unordered = false,
                    const std::string& connection = {});

  void EndReadTransaction() noexcept;

  // Stops a COPY TO still streaming: the server is asked to cancel it and
  // what it sent meanwhile is read and dropped.
  void StopReading() noexcept;

  // Reads the next record into record; false at the end.
  bool ReadRecord(TFieldData* record);

  [[noreturn]] static void Malformed();

  // False for a message that holds no record (the header, the trailer).
  bool DecodeBinaryRow(const char* p, std::size_t size, TFieldData* record);

  bool DecodeTextRow(const char* p, std::size_t size, TFieldData* record);

  // After a record stored on its own: the values its serial and identity
  // columns left null took, from the session's last value of each sequence.
  void TakeGeneratedValues(std::vector<TFieldData>& values);

  pg::TCopyWriter& WriterFor(std::int32_t perTransaction);
  // Before the first write in a session whose time zone is not UTC: the
  // wall times that zone skips (Context.SkippedTimes).
  void LearnSkippedTimes();

  // Starts a bulk run over several connections; false (JobsNote saying why
  // when jobs were asked for) when it runs on the dataset's own.
  bool StartParallelLoad(std::int32_t wanted, std::int32_t perTransaction,
                         const std::string& connection);

  // Ends the bulk run over several connections, keeping its refusals and
  // commits for TakeRefusals and LoadCounts.
  std::int64_t EndParallelLoad(bool abandon);

  // lmTruncate, in the writer's transaction: TRUNCATE, or DELETE where a
  // foreign key keeps TRUNCATE from the table.
  void Empty();

  // The primary key and the unique keys of plain columns, by the catalog.
  void ReadKeys(const std::string& oid);
};

}  // namespace korvane
