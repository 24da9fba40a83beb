// Reading one table over several connections at once, in ranges of its
// pages, all in one snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "datasets/postgres/postgres_connection.h"
#include "io/batch_pipe.h"

namespace korvane::pg {

// Streams the rows of COPY (SELECT ... WHERE <page range>) TO STDOUT, one
// COPY per range of the table's pages, over several connections that share
// the snapshot of the transaction that exported it (each connection already
// in a REPEATABLE READ transaction set to that snapshot). Range k covers the
// pages [k * PagesPerRange, (k + 1) * PagesPerRange), the last one every
// page from its first on (pages added since are read too: their rows are not
// in the snapshot). Connection j reads ranges j, j + N, j + 2N, ... on a
// thread of its own and hands its rows over in batches through a bounded
// pipe, so memory stays bounded whatever the table's size.
//
// Ordered, Next gives the rows in the order of the pages, as one COPY of the
// whole table would (a TID range scan returns a page's rows in the order a
// sequential scan does); otherwise in whatever order the connections deliver
// them, batch by batch.
//
// In the binary format each COPY's header and trailer are taken off: Next
// gives rows alone. The first connection (the one whose transaction
// exported the snapshot) is lent for the run and reads the first ranges;
// the others it owns. The destructor cancels what is still running and
// joins the threads, leaving the lent connection in its transaction. Used
// from one thread.
class TParallelRead {
 public:
  struct TPlan {
    // "COPY (SELECT ... FROM table WHERE " : the range's condition and
    // ") TO STDOUT ..." follow.
    std::string CopyStart;
    std::string CopyEnd;
    bool Binary = true;
    std::int64_t Pages = 0;
    std::int64_t PagesPerRange = 1;
    bool Ordered = true;
  };

  TParallelRead(TPlan plan, TConnection& first, std::vector<std::unique_ptr<TConnection>> others);
  ~TParallelRead();
  TParallelRead(const TParallelRead&) = delete;
  TParallelRead& operator=(const TParallelRead&) = delete;

  // The next row (valid until the next call); false after the last.
  // Raises EDatabaseError with the server's message when a connection
  // failed.
  bool Next(std::string_view& row);

  // The condition of range k, "ctid >= '(first,0)' AND ctid < '(end,0)'".
  static std::string RangeCondition(std::int64_t first, std::int64_t end);
  // How many ranges a table of that many pages is cut into.
  std::int64_t Ranges() const;

 private:
  struct TBatch {
    std::string Bytes;                // the rows, one after another
    std::vector<std::uint32_t> Ends;  // where each row ends in Bytes
    bool RangeEnd = false;            // the range's last batch
    bool Failed = false;              // Bytes holds the error instead
  };
  static constexpr std::size_t kBatches = 8;
  using TPipe = TBatchPipe<TBatch, kBatches>;

  struct TJob {
    TConnection* Conn = nullptr;
    std::unique_ptr<TConnection> Owned;  // Conn, unless it is the lent one
    std::unique_ptr<TPipe> Pipe;
    std::thread Thread;
    bool Done = false;  // consumer side: every batch taken
  };

  void Run(TJob& job, std::int64_t first) noexcept;
  bool CopyRange(TJob& job, std::int64_t range);
  bool TakeBatch(TJob& job);
  void Stop() noexcept;

  TPlan FPlan;
  std::vector<TJob> FJobs;
  // Consumer: the batch being read and the place in it.
  TJob* FCurrent = nullptr;
  TBatch* FBatch = nullptr;
  std::size_t FRow = 0;
  std::int64_t FRange = 0;    // ordered: the range being read
  std::size_t FNextJob = 0;   // unordered: the job asked next
};

}  // namespace korvane::pg
