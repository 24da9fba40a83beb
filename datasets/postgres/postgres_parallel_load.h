// Appending to one table over several connections at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data/db.h"
#include "datasets/postgres/postgres_codec.h"
#include "datasets/postgres/postgres_connection.h"
#include "datasets/sql_dataset.h"
#include "io/batch_pipe.h"

namespace korvane::pg {

// A bulk run that deals the posted records out to several connections, each
// with a TCopyWriter on a thread of its own: records go in blocks of a few
// thousand, block k to connection k mod N, and each connection stores its
// records in its own transactions of RecordsPerTransaction records, and
// commits what it holds once it has waited a while for more (a record of
// another connection may wait for a row it holds, and this thread for that
// connection). The
// records are converted on the caller's thread; the server's work (the
// COPY, the indexes, the commits) runs on as many server processes as there
// are connections.
//
// A keyed load (lmReplace, lmUpsert, lmSkip) deals each record out by the
// value of its key instead: every record of a key goes to the same
// connection, in the order posted, which copies them into a temporary
// table of its own and merges them into the table (TMerge) after each
// COPY. The connections' key sets are apart, so their merges neither wait
// for nor undo each other, and each key meets its records as over one
// connection (the last wins, or the first under lmSkip). Keys are told
// apart by their values as the server compares them: integers by number,
// texts without the blanks that end them and with ASCII letters in either
// case alike (a char(n) key, a case-insensitive collation); records of keys
// that only look alike just go to the same connection. KeyDealable says
// which column kinds can be keys of such a load.
//
// Refusals keep the meaning of a single writer's: each is named by the post
// number Add was given, and Refusals hands them out in post order, only once
// every earlier post is settled (stored or refused), so a host sees them in
// the order of its records. Settled() is that prefix.
//
// A connection that fails (lost, a failed COMMIT) ends the run: the next Add,
// Flush or End has the others commit what they hold, then raises
// EDatabaseFailure, whose Lost counts the records every failed connection
// had been given and did not commit (CommittedText says how many each
// committed).
//
// The columns must outlive the load. Used from one thread (the dataset's).
class TParallelLoad {
 public:
  struct TOptions {
    std::string Table;  // quoted
    const std::vector<TColumn>* Columns = nullptr;
    TCodecContext Context;
    bool Binary = true;
    std::int64_t RecordsPerTransaction = 500000;
    // A keyed load: its mode and its key columns (indexes into Columns).
    TLoadMode Mode = lmAppend;
    std::vector<std::size_t> Key;
  };

  // Whether records can be dealt out by the values of a key column of that
  // kind: integers, numerics without decimals, texts, dates, truth values.
  // Not a numeric with decimals (1.5 and 1.50 are one key), a float, a time
  // or timestamp (one instant in several zones) or a type of no kind of its
  // own (a uuid in capitals and in small letters).
  static bool KeyDealable(TKind kind);

  // Starts a bulk run on each connection, each its own thread. Raises
  // EDatabaseError when a connection cannot start one.
  TParallelLoad(TOptions options, std::vector<std::unique_ptr<TConnection>> connections);
  // Abandons the run when End has not ended it (rolling back what each
  // connection has not committed) and joins the threads.
  ~TParallelLoad();
  TParallelLoad(const TParallelLoad&) = delete;
  TParallelLoad& operator=(const TParallelLoad&) = delete;

  // Queues one record (values in column order) under post number post
  // (rising from call to call).
  void Add(const TFieldData* values, std::int64_t post);
  // Waits until every record added so far is stored or refused (their
  // transactions stay open). Raises as Add does.
  void Flush();
  // Ends the run: every record added is stored or refused, and each
  // connection commits (or, abandoning, rolls back what it holds
  // uncommitted). Returns how many records were rolled back. Raises
  // EDatabaseFailure for a failed connection not reported yet.
  std::int64_t End(bool abandon);

  // Refused records whose posts, and all before them, are settled.
  TDataSet::TRefusals Refusals(bool named);
  // The last post number up to which every post was settled when Refusals
  // last ran: a refusal it has not handed out yet lies beyond it.
  std::int64_t Settled() const { return FHandedOut; }
  std::int64_t Committed() const;
  // What the committed records did (a keyed load), summed over the
  // connections.
  TLoadCounts Counts() const;
  // Whether a connection failed, and how many records each committed.
  bool Failed() const;
  std::string CommittedText() const;
  std::size_t Jobs() const { return FJobs.size(); }

 private:
  static constexpr std::size_t kRows = 2048;
  // Post numbers of records, as runs of consecutive ones: (first, count).
  using TRuns = std::deque<std::pair<std::int64_t, std::size_t>>;
  struct TBatch {
    std::vector<TFieldData> Values;
    TRuns Posts;  // of its rows, in order
    std::size_t Rows = 0;
    bool Flush = false;  // after its rows, settle everything the job holds
  };
  using TPipe = TBatchPipe<TBatch, 4>;

  struct TJob;
  void Run(TJob& job) noexcept;
  std::int64_t SettledNow();
  // The connection a record goes to.
  std::size_t JobFor(const TFieldData* values) const;
  // Hands the block job is filling over to it.
  void Publish(TJob& job);
  // Raises the failure of job, counting as lost the records it and every
  // other failed connection not reported yet had not committed.
  [[noreturn]] void RaiseFailure(TJob& job);
  // The records job was given and neither committed nor refused (under
  // FLock, or with the jobs ended).
  std::int64_t LostBy(const TJob& job) const;
  void StopAll(bool abandon) noexcept;
  // Ends the run: the block being filled goes to its connection (unless that
  // one failed), and every connection ends as StopAll has it.
  void Finish(bool abandon);

  TOptions FOptions;
  std::vector<std::unique_ptr<TJob>> FJobs;
  std::size_t FDeal = 0;          // the job the next block goes to (by blocks)
  std::int64_t FLastPost = 0;
  std::int64_t FHandedOut = 0;
  bool FEnded = false;

  // Guards what the jobs report back (see TJob).
  mutable std::mutex FLock;
  std::condition_variable FReported;
  std::vector<TDataSet::TRefusedPost> FRefused;
};

}  // namespace korvane::pg
