#include "datasets/postgres/postgres_parallel_load.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <variant>

#include "core/sysutils.h"
#include "data/db_failure.h"
#include "datasets/postgres/postgres_copy_writer.h"
#include "datasets/postgres/postgres_merge.h"

namespace korvane::pg {

// One connection of the run. The pipe carries the blocks; what the fields
// under "reported" hold is written by the job's thread and read by the
// dataset's, under the load's lock; the rest belongs to one side.
struct TParallelLoad::TJob {
  std::size_t Number = 0;  // 1-based, for messages
  std::unique_ptr<TConnection> Conn;
  bool Binary = true;
  std::unique_ptr<TMerge> Merge;  // a keyed load's
  std::unique_ptr<TCopyWriter> Writer;
  TPipe Pipe{THandOff::hoDatabaseJob};
  std::thread Thread;

  // The dataset's side: the block being filled, the posts dealt to the job
  // not known settled yet, and how many records the job was given.
  TBatch* Fill = nullptr;
  TRuns Dealt;
  std::int64_t DealtSettled = 0;  // records of the runs already dropped from Dealt
  std::int64_t Given = 0;
  std::int64_t FlushesAsked = 0;
  bool Reported = false;  // its failure was raised

  // The job's side.
  std::int64_t Added = 0;

  // Reported.
  std::int64_t Settled = 0;    // records (in the order given) stored or refused
  std::int64_t Committed = 0;  // records committed
  std::int64_t Refused = 0;
  std::int64_t RolledBack = 0;
  TLoadCounts Counts;
  std::string Failure;  // why the connection stopped; empty while it works
  bool Abandon = false;  // set before the pipe closes: roll back at the end
  std::int64_t Flushed = 0;  // flush blocks done
};

namespace {

// How long a connection holding uncommitted records waits for more before
// it commits them.
constexpr std::chrono::milliseconds kIdleCommit{500};

void AddPost(std::deque<std::pair<std::int64_t, std::size_t>>& runs, std::int64_t post,
             std::size_t count = 1) {
  if (!runs.empty() && runs.back().first + static_cast<std::int64_t>(runs.back().second) == post) {
    runs.back().second += count;
  } else {
    runs.emplace_back(post, count);
  }
}

// Mixes the bits of a key's hash, so that keys that differ in their low
// bits alone (every other number) spread over the connections.
std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A key value's hash, alike for values the server takes for one key.
std::uint64_t KeyValueHash(const TFieldData& value) {
  struct {
    std::uint64_t operator()(std::monostate) const { return 0; }
    std::uint64_t operator()(std::int64_t v) const { return Mix(static_cast<std::uint64_t>(v)); }
    std::uint64_t operator()(double v) const {
      // A whole number alike whether held as a double or an integer, and a
      // fraction as the whole number a numeric column without decimals
      // stores (halves away from zero): 2.5 is the key 3.
      const double whole = std::round(v);
      if (whole >= -9.2e18 && whole <= 9.2e18) {
        return (*this)(static_cast<std::int64_t>(whole));
      }
      std::uint64_t bits = 0;
      std::memcpy(&bits, &v, sizeof bits);
      return Mix(bits);
    }
    std::uint64_t operator()(bool v) const { return Mix(v ? 1 : 2); }
    std::uint64_t operator()(const std::string& v) const {
      std::size_t end = v.size();
      while (end > 0 && v[end - 1] == ' ') --end;
      std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
      for (std::size_t i = 0; i < end; ++i) {
        char c = v[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      }
      return Mix(h);
    }
  } hash;
  return std::visit(hash, value);
}

}  // namespace

bool TParallelLoad::KeyDealable(TKind kind) {
  switch (kind) {
    case TKind::Int2:
    case TKind::Int4:
    case TKind::Int8:
    case TKind::Numeric:
    case TKind::Text:
    case TKind::Date:
    case TKind::Bool:
      return true;
    default:
      return false;
  }
}

TParallelLoad::TParallelLoad(TOptions options,
                             std::vector<std::unique_ptr<TConnection>> connections)
    : FOptions(std::move(options)) {
  const bool keyed = IsKeyedLoad(FOptions.Mode);
  for (std::size_t j = 0; j < connections.size(); ++j) {
    auto job = std::make_unique<TJob>();
    job->Number = j + 1;
    job->Conn = std::move(connections[j]);
    job->Binary = FOptions.Binary;
    if (keyed) {
      // As over one connection: the records go to a temporary table of the
      // connection's own, and from there into the table after each COPY.
      job->Merge = std::make_unique<TMerge>(*job->Conn, FOptions.Table, *FOptions.Columns,
                                            FOptions.Key, FOptions.Mode);
      job->Merge->Prepare();
      job->Merge->SetProbeKeys(true);
      job->Writer = std::make_unique<TCopyWriter>(*job->Conn, TMerge::kTable, *FOptions.Columns,
                                                  FOptions.Context, job->Binary);
      job->Writer->SetRowNumbers(job->Merge->RowColumn());
      TJob* merging = job.get();
      job->Writer->SetAfterCopy([merging](const TCopyWriter::TMask& omitted) {
        merging->Merge->Merge(omitted, *merging->Writer);
      });
    } else {
      job->Writer = std::make_unique<TCopyWriter>(*job->Conn, FOptions.Table, *FOptions.Columns,
                                                  FOptions.Context, job->Binary);
    }
    job->Writer->SetRecordsPerTransaction(FOptions.RecordsPerTransaction);
    job->Writer->BeginBulk();
    FJobs.push_back(std::move(job));
  }
  try {
    for (auto& job : FJobs) {
      TJob* j = job.get();
      j->Thread = std::thread([this, j] { Run(*j); });
    }
  } catch (...) {
    StopAll(true);
    throw;
  }
}

TParallelLoad::~TParallelLoad() { StopAll(true); }

void TParallelLoad::StopAll(bool abandon) noexcept {
  for (auto& job : FJobs) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      job->Abandon = abandon;
    }
    job->Pipe.Close();
  }
  for (auto& job : FJobs) {
    if (job->Thread.joinable()) job->Thread.join();
  }
}

void TParallelLoad::Run(TJob& job) noexcept {
  TCopyWriter& writer = *job.Writer;
  const std::size_t columns = FOptions.Columns->size();
  const auto report = [&] {
    TDataSet::TRefusals refused = writer.TakeRefusals();
    std::lock_guard<std::mutex> lock(FLock);
    for (TDataSet::TRefusedPost& r : refused.Posts) FRefused.push_back(std::move(r));
    job.Refused += refused.Count;
    job.Settled = job.Added - writer.Held();
    job.Committed = writer.Committed();
    job.Counts = writer.Counts();
  };
  try {
    for (;;) {
      // A connection that waits for records commits those it holds once
      // none came for a while: a record of another connection may wait for
      // a row it holds (a value of a unique column given twice), and the
      // dataset's thread for that record's connection, so that nothing
      // would come until this transaction ended.
      if (writer.InTransaction() && !job.Pipe.WaitReady(kIdleCommit)) {
        writer.CommitNow();
        report();
        continue;
      }
      TBatch* batch = job.Pipe.Take();
      if (batch == nullptr) break;
      // The writer names its refusals by the posts it is given.
      std::size_t row = 0;
      for (const auto& [first, count] : batch->Posts) {
        for (std::size_t k = 0; k < count; ++k, ++row) {
          writer.Add(&batch->Values[row * columns], first + static_cast<std::int64_t>(k));
          ++job.Added;
        }
      }
      const bool flush = batch->Flush;
      job.Pipe.Release();
      if (flush) writer.Flush();
      report();
      if (flush) {
        {
          std::lock_guard<std::mutex> lock(FLock);
          ++job.Flushed;
        }
        FReported.notify_all();
      }
    }
    bool abandon = false;
    {
      std::lock_guard<std::mutex> lock(FLock);
      abandon = job.Abandon;
    }
    std::int64_t rolledBack = 0;
    if (abandon) {
      rolledBack = writer.AbandonBulk();
    } else {
      writer.EndBulk();
    }
    report();
    std::lock_guard<std::mutex> lock(FLock);
    job.RolledBack = rolledBack;
    job.Settled = job.Added;
  } catch (const std::exception& e) {
    // The writer is broken: the job stores nothing more, and the dataset's
    // thread raises the reason at its next Add or at the end.
    report();
    {
      std::lock_guard<std::mutex> lock(FLock);
      job.Failure = e.what();
    }
    job.Pipe.Fail();
    FReported.notify_all();
  }
}

std::size_t TParallelLoad::JobFor(const TFieldData* values) const {
  if (!IsKeyedLoad(FOptions.Mode)) return FDeal;
  std::uint64_t h = 0;
  for (const std::size_t k : FOptions.Key) h = Mix(h ^ KeyValueHash(values[k]));
  return static_cast<std::size_t>(h % FJobs.size());
}

void TParallelLoad::Add(const TFieldData* values, std::int64_t post) {
  const std::size_t columns = FOptions.Columns->size();
  TJob& job = *FJobs[JobFor(values)];
  if (job.Fill == nullptr) {
    job.Fill = job.Pipe.Acquire();
    if (job.Fill == nullptr) {
      if (job.Reported) throw EDatabaseFailure("connection " + std::to_string(job.Number) +
                                                   " stopped before",
                                               0);
      RaiseFailure(job);
    }
    job.Fill->Posts.clear();
    job.Fill->Rows = 0;
    job.Fill->Flush = false;
    if (job.Fill->Values.size() < kRows * columns) job.Fill->Values.resize(kRows * columns);
  }
  TBatch& fill = *job.Fill;
  std::copy(values, values + columns,
            fill.Values.begin() + static_cast<std::ptrdiff_t>(fill.Rows * columns));
  ++fill.Rows;
  AddPost(fill.Posts, post);
  FLastPost = post;
  if (fill.Rows == kRows) Publish(job);
}

void TParallelLoad::Publish(TJob& job) {
  if (job.Fill == nullptr || job.Fill->Rows == 0) return;
  TBatch& fill = *job.Fill;
  job.Fill = nullptr;
  {
    std::lock_guard<std::mutex> lock(FLock);
    for (const auto& [first, count] : fill.Posts) AddPost(job.Dealt, first, count);
  }
  job.Given += static_cast<std::int64_t>(fill.Rows);
  job.Pipe.Publish();
  // Dealt in blocks, the next block goes to the next connection, also after
  // a block a Flush sent part full.
  if (!IsKeyedLoad(FOptions.Mode)) FDeal = (FDeal + 1) % FJobs.size();
}

void TParallelLoad::Flush() {
  // After a failure has ended the run every record is settled.
  if (FEnded) return;
  for (auto& job : FJobs) {
    if (!job->Reported) Publish(*job);
  }
  for (auto& job : FJobs) {
    if (job->Reported) continue;
    TBatch* batch = job->Pipe.Acquire();
    if (batch == nullptr) RaiseFailure(*job);
    batch->Rows = 0;
    batch->Posts.clear();
    batch->Flush = true;
    job->Pipe.Publish();
    ++job->FlushesAsked;
  }
  std::unique_lock<std::mutex> lock(FLock);
  FReported.wait(lock, [&] {
    for (auto& job : FJobs) {
      if (job->Failure.empty() && job->Flushed < job->FlushesAsked) return false;
    }
    return true;
  });
  for (auto& job : FJobs) {
    if (!job->Failure.empty() && !job->Reported) {
      lock.unlock();
      RaiseFailure(*job);
    }
  }
}

std::string TParallelLoad::CommittedText() const {
  std::lock_guard<std::mutex> lock(FLock);
  std::string text = "records committed by connection:";
  for (const auto& job : FJobs) {
    text += (job->Number > 1 ? ", " : " ") + std::to_string(job->Committed) + " (" +
            std::to_string(job->Number) + (job->Failure.empty() ? ")" : ", failed)");
  }
  return text;
}

std::int64_t TParallelLoad::LostBy(const TJob& job) const {
  const std::int64_t lost = job.Given +
                            (job.Fill != nullptr ? static_cast<std::int64_t>(job.Fill->Rows) : 0) -
                            job.Committed - job.Refused;
  return lost < 0 ? 0 : lost;
}

void TParallelLoad::RaiseFailure(TJob& job) {
  // A failed connection ends the run at once: the others commit what they
  // hold now, so that this failure counts every record the run lost (a
  // server that went away fails them all, some only at their commit).
  if (!FEnded) Finish(false);
  std::string message;
  std::int64_t lost = 0;
  {
    std::lock_guard<std::mutex> lock(FLock);
    job.Reported = true;
    message = job.Failure.empty() ? std::string("the connection stopped") : job.Failure;
    lost = LostBy(job);
    message = "connection " + std::to_string(job.Number) + " of " +
              std::to_string(FJobs.size()) + ": " + message;
    // The others that failed too: their lost records are part of this
    // failure, so that the records counted as stored are those the table
    // holds.
    std::string others;
    for (const auto& other : FJobs) {
      if (other.get() == &job || other->Reported || other->Failure.empty()) continue;
      other->Reported = true;
      lost += LostBy(*other);
      others += (others.empty() ? "" : ", ") + std::to_string(other->Number);
    }
    message += others.empty() ? "; the other connections committed the records they were given"
                              : "; connections " + others + " failed too";
  }
  throw EDatabaseFailure(message, lost);
}

void TParallelLoad::Finish(bool abandon) {
  FEnded = true;
  // The blocks being filled go to their jobs, but to one that has failed.
  for (auto& job : FJobs) {
    if (job->Fill == nullptr) continue;
    bool failed = false;
    {
      std::lock_guard<std::mutex> lock(FLock);
      failed = !job->Failure.empty();
    }
    if (!failed) Publish(*job);
  }
  StopAll(abandon);
}

std::int64_t TParallelLoad::End(bool abandon) {
  if (FEnded) return 0;
  Finish(abandon);
  std::int64_t rolledBack = 0;
  for (auto& job : FJobs) rolledBack += job->RolledBack;
  for (auto& job : FJobs) {
    if (!job->Failure.empty() && !job->Reported) RaiseFailure(*job);
  }
  return rolledBack;
}

std::int64_t TParallelLoad::SettledNow() {
  std::lock_guard<std::mutex> lock(FLock);
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  for (std::size_t j = 0; j < FJobs.size(); ++j) {
    TJob& job = *FJobs[j];
    while (!job.Dealt.empty() &&
           job.Settled - job.DealtSettled >= static_cast<std::int64_t>(job.Dealt.front().second)) {
      job.DealtSettled += static_cast<std::int64_t>(job.Dealt.front().second);
      job.Dealt.pop_front();
    }
    if (!job.Dealt.empty()) {
      first = std::min(first, job.Dealt.front().first + (job.Settled - job.DealtSettled));
    }
    if (job.Fill != nullptr && !job.Fill->Posts.empty()) {
      first = std::min(first, job.Fill->Posts.front().first);
    }
  }
  return first == std::numeric_limits<std::int64_t>::max() ? FLastPost : first - 1;
}

TDataSet::TRefusals TParallelLoad::Refusals(bool named) {
  const std::int64_t settled = SettledNow();
  FHandedOut = settled;
  TDataSet::TRefusals result;
  std::lock_guard<std::mutex> lock(FLock);
  std::sort(FRefused.begin(), FRefused.end(),
            [](const auto& a, const auto& b) { return a.Post < b.Post; });
  const auto end = std::find_if(FRefused.begin(), FRefused.end(),
                                [&](const auto& r) { return r.Post > settled; });
  for (auto it = FRefused.begin(); it != end; ++it) {
    ++result.Count;
    if (result.Messages.size() < TDataSet::kRefusalMessagesKept) {
      result.Messages.push_back(it->Message);
    }
    if (named) result.Posts.push_back(std::move(*it));
  }
  FRefused.erase(FRefused.begin(), end);
  return result;
}

std::int64_t TParallelLoad::Committed() const {
  std::lock_guard<std::mutex> lock(FLock);
  std::int64_t sum = 0;
  for (const auto& job : FJobs) sum += job->Committed;
  return sum;
}

TLoadCounts TParallelLoad::Counts() const {
  std::lock_guard<std::mutex> lock(FLock);
  TLoadCounts sum;
  for (const auto& job : FJobs) {
    sum.Inserted += job->Counts.Inserted;
    sum.Updated += job->Counts.Updated;
    sum.Skipped += job->Counts.Skipped;
  }
  return sum;
}

bool TParallelLoad::Failed() const {
  std::lock_guard<std::mutex> lock(FLock);
  for (const auto& job : FJobs) {
    if (!job->Failure.empty()) return true;
  }
  return false;
}

}  // namespace korvane::pg
