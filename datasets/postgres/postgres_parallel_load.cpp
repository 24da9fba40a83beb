#include "datasets/postgres/postgres_parallel_load.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/sysutils.h"
#include "data/db_failure.h"
#include "datasets/postgres/postgres_copy_writer.h"

namespace korvane::pg {

// One connection of the run. The pipe carries the blocks; what the fields
// under "reported" hold is written by the job's thread and read by the
// dataset's, under the load's lock; the rest belongs to one side.
struct TParallelLoad::TJob {
  std::size_t Number = 0;  // 1-based, for messages
  std::unique_ptr<TConnection> Conn;
  bool Binary = true;
  std::unique_ptr<TCopyWriter> Writer;
  TPipe Pipe{THandOff::hoDatabaseJob};
  std::thread Thread;

  // The dataset's side: the blocks dealt to the job not known settled yet
  // (first post, rows), and how many records the job was given.
  std::deque<std::pair<std::int64_t, std::size_t>> Dealt;
  std::int64_t DealtSettled = 0;  // records of the blocks already dropped from Dealt
  std::int64_t Given = 0;
  std::int64_t FlushesAsked = 0;
  bool Reported = false;  // its failure was raised

  // The job's side: the blocks it took, to name its records by post
  // (the writer numbers them 1, 2, ... in the order it got them).
  std::deque<std::pair<std::int64_t, std::size_t>> Taken;
  std::int64_t TakenBase = 0;  // local number before Taken's first block
  std::int64_t Added = 0;

  // Reported.
  std::int64_t Settled = 0;    // records (in the order given) stored or refused
  std::int64_t Committed = 0;  // records committed
  std::int64_t Refused = 0;
  std::int64_t RolledBack = 0;
  std::string Failure;  // why the connection stopped; empty while it works
  bool Abandon = false;  // set before the pipe closes: roll back at the end
  std::int64_t Flushed = 0;  // flush blocks done

  std::int64_t GlobalPost(std::int64_t local) {
    while (!Taken.empty() && local > TakenBase + static_cast<std::int64_t>(Taken.front().second)) {
      TakenBase += static_cast<std::int64_t>(Taken.front().second);
      Taken.pop_front();
    }
    if (Taken.empty()) return 0;
    return Taken.front().first + (local - TakenBase - 1);
  }
};

TParallelLoad::TParallelLoad(TOptions options,
                             std::vector<std::unique_ptr<TConnection>> connections)
    : FOptions(std::move(options)) {
  for (std::size_t j = 0; j < connections.size(); ++j) {
    auto job = std::make_unique<TJob>();
    job->Number = j + 1;
    job->Conn = std::move(connections[j]);
    job->Binary = FOptions.Binary;
    job->Writer = std::make_unique<TCopyWriter>(*job->Conn, FOptions.Table, *FOptions.Columns,
                                                FOptions.Context, job->Binary);
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
    for (TDataSet::TRefusedPost& r : refused.Posts) {
      r.Post = job.GlobalPost(r.Post);
      FRefused.push_back(std::move(r));
    }
    job.Refused += refused.Count;
    job.Settled = job.Added - writer.Held();
    job.Committed = writer.Committed();
  };
  try {
    while (TBatch* batch = job.Pipe.Take()) {
      if (batch->Rows > 0) job.Taken.emplace_back(batch->FirstPost, batch->Rows);
      for (std::size_t row = 0; row < batch->Rows; ++row) {
        writer.Add(&batch->Values[row * columns], ++job.Added);
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

void TParallelLoad::Add(const TFieldData* values, std::int64_t post) {
  const std::size_t columns = FOptions.Columns->size();
  if (FFill == nullptr) {
    TJob& job = *FJobs[FDeal];
    FFill = job.Pipe.Acquire();
    if (FFill == nullptr) {
      if (job.Reported) throw EDatabaseFailure("connection " + std::to_string(job.Number) +
                                                   " stopped before",
                                               0);
      RaiseFailure(job);
    }
    FFill->FirstPost = post;
    FFill->Rows = 0;
    FFill->Flush = false;
    if (FFill->Values.size() < kRows * columns) FFill->Values.resize(kRows * columns);
  }
  std::copy(values, values + columns, FFill->Values.begin() +
                                          static_cast<std::ptrdiff_t>(FFill->Rows * columns));
  ++FFill->Rows;
  FLastPost = post;
  if (FFill->Rows == kRows) Publish();
}

void TParallelLoad::Publish() {
  if (FFill == nullptr) return;
  TJob& job = *FJobs[FDeal];
  if (FFill->Rows == 0) return;
  const std::int64_t first = FFill->FirstPost;
  const std::size_t rows = FFill->Rows;
  FFill = nullptr;
  {
    std::lock_guard<std::mutex> lock(FLock);
    job.Dealt.emplace_back(first, rows);
  }
  job.Given += static_cast<std::int64_t>(rows);
  job.Pipe.Publish();
  FDeal = (FDeal + 1) % FJobs.size();
}

void TParallelLoad::Flush() {
  // After a failure has ended the run every record is settled.
  if (FEnded) return;
  Publish();
  for (auto& job : FJobs) {
    if (job->Reported) continue;
    TBatch* batch = job->Pipe.Acquire();
    if (batch == nullptr) RaiseFailure(*job);
    batch->Rows = 0;
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
                            (FFill != nullptr && &job == FJobs[FDeal].get()
                                 ? static_cast<std::int64_t>(FFill->Rows)
                                 : 0) -
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
  // The block being filled goes to its job unless that job has failed.
  if (FFill != nullptr) {
    TJob& job = *FJobs[FDeal];
    bool failed = false;
    {
      std::lock_guard<std::mutex> lock(FLock);
      failed = !job.Failure.empty();
    }
    if (!failed) Publish();
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
    if (FFill != nullptr && j == FDeal) first = std::min(first, FFill->FirstPost);
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

bool TParallelLoad::Failed() const {
  std::lock_guard<std::mutex> lock(FLock);
  for (const auto& job : FJobs) {
    if (!job->Failure.empty()) return true;
  }
  return false;
}

}  // namespace korvane::pg
