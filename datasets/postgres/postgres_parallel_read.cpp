#include "datasets/postgres/postgres_parallel_read.h"

#include <cstring>
#include <utility>

#include "core/owned.h"
#include "core/sysutils.h"
#include "datasets/postgres/postgres_codec.h"

namespace korvane::pg {

namespace {

using TCopyBuffer = TOwned<char, &PQfreemem>;

// A batch is handed over once it holds this much: large enough that the
// hand-over costs nothing beside the rows, small enough that the pipes of
// all connections stay within a few tens of megabytes.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;

}  // namespace

TParallelRead::TParallelRead(TPlan plan, TConnection& first,
                             std::vector<std::unique_ptr<TConnection>> others)
    : FPlan(std::move(plan)), FJobs(others.size() + 1) {
  if (FPlan.PagesPerRange < 1) FPlan.PagesPerRange = 1;
  FJobs[0].Conn = &first;
  for (std::size_t j = 1; j < FJobs.size(); ++j) {
    FJobs[j].Owned = std::move(others[j - 1]);
    FJobs[j].Conn = FJobs[j].Owned.get();
  }
  for (TJob& job : FJobs) job.Pipe = std::make_unique<TPipe>(THandOff::hoDatabaseJob);
  try {
    for (std::size_t j = 0; j < FJobs.size(); ++j) {
      TJob& job = FJobs[j];
      job.Thread = std::thread([this, &job, j] { Run(job, static_cast<std::int64_t>(j)); });
    }
  } catch (...) {
    Stop();
    throw;
  }
}

TParallelRead::~TParallelRead() { Stop(); }

void TParallelRead::Stop() noexcept {
  for (TJob& job : FJobs) job.Pipe->Fail();
  for (TJob& job : FJobs) {
    if (job.Thread.joinable()) job.Thread.join();
  }
}

std::string TParallelRead::RangeCondition(std::int64_t first, std::int64_t end) {
  std::string text = "ctid >= '(" + std::to_string(first) + ",0)'::tid";
  if (end >= 0) text += " AND ctid < '(" + std::to_string(end) + ",0)'::tid";
  return text;
}

std::int64_t TParallelRead::Ranges() const {
  const std::int64_t n = (FPlan.Pages + FPlan.PagesPerRange - 1) / FPlan.PagesPerRange;
  return n < 1 ? 1 : n;
}

void TParallelRead::Run(TJob& job, std::int64_t first) noexcept {
  const auto step = static_cast<std::int64_t>(FJobs.size());
  for (std::int64_t range = first; range < Ranges(); range += step) {
    if (!CopyRange(job, range)) return;
  }
  job.Pipe->Close();
}

// Streams one range into the pipe; false when the reading ended early (a
// failure handed over, or the reader gone).
bool TParallelRead::CopyRange(TJob& job, std::int64_t range) {
  PGconn* conn = job.Conn->get();
  const std::int64_t firstPage = range * FPlan.PagesPerRange;
  const std::int64_t endPage = range + 1 == Ranges() ? -1 : firstPage + FPlan.PagesPerRange;
  const std::string sql = FPlan.CopyStart + RangeCondition(firstPage, endPage) + FPlan.CopyEnd;
  TBatch* batch = nullptr;
  const auto fail = [&](const TError& error) {
    if (TBatch* b = batch != nullptr ? batch : job.Pipe->Acquire()) {
      b->Bytes = error.Text();
      b->Ends.clear();
      b->Failed = true;
      b->RangeEnd = true;
      job.Pipe->Publish();
    }
    return false;
  };
  TResult started(PQexec(conn, sql.c_str()));
  if (!started || PQresultStatus(started.get()) != PGRES_COPY_OUT) {
    TError e = ErrorOf(conn, started.get());
    DrainResults(conn, e);
    return fail(e);
  }
  const auto fresh = [&]() -> TBatch* {
    TBatch* b = job.Pipe->Acquire();
    if (b != nullptr) {
      b->Bytes.clear();
      b->Ends.clear();
      b->Failed = false;
      b->RangeEnd = false;
    }
    return b;
  };
  const auto abandon = [&] {
    // The reader is gone: the server stops sending, what it sent is dropped.
    job.Conn->Cancel();
    char* raw = nullptr;
    while (PQgetCopyData(conn, &raw, 0) > 0) PQfreemem(raw);
    TError ignored;
    DrainResults(conn, ignored);
    return false;
  };
  batch = fresh();
  if (batch == nullptr) return abandon();
  bool header = FPlan.Binary;
  for (;;) {
    char* raw = nullptr;
    const int n = PQgetCopyData(conn, &raw, 0);
    if (n < 0) {
      TError e;
      const bool ok = DrainResults(conn, e);
      if (!ok || n == -2) {
        if (ok) e = ErrorOf(conn, nullptr);
        return fail(e);
      }
      break;
    }
    TCopyBuffer row(raw);
    const char* p = row.get();
    auto size = static_cast<std::size_t>(n);
    if (header) {
      // Every COPY of the binary format starts with its header; the reader
      // expects rows alone.
      const std::string_view signature = BinaryHeader().substr(0, 11);
      const TError malformed{"the server sent a COPY header that cannot be read", "", "", 0,
                             false};
      if (size < 19 || std::memcmp(p, signature.data(), signature.size()) != 0) {
        abandon();
        return fail(malformed);
      }
      const std::size_t skip = 19 + GetBE32(p + 15);
      if (skip > size) {
        abandon();
        return fail(malformed);
      }
      p += skip;
      size -= skip;
      header = false;
      if (size == 0) continue;
    }
    if (FPlan.Binary && size == 2 && static_cast<std::int16_t>(GetBE16(p)) == -1) continue;
    batch->Bytes.append(p, size);
    batch->Ends.push_back(static_cast<std::uint32_t>(batch->Bytes.size()));
    if (batch->Bytes.size() >= kBatchBytes) {
      job.Pipe->Publish();
      batch = fresh();
      if (batch == nullptr) return abandon();
    }
  }
  batch->RangeEnd = true;
  job.Pipe->Publish();
  return true;
}

bool TParallelRead::TakeBatch(TJob& job) {
  TBatch* b = job.Pipe->Take();
  if (b == nullptr) return false;
  if (b->Failed) {
    std::string reason = b->Bytes;
    job.Pipe->Release();
    throw EDatabaseError("Reading failed: " + reason);
  }
  FCurrent = &job;
  FBatch = b;
  FRow = 0;
  return true;
}

bool TParallelRead::Next(std::string_view& row) {
  for (;;) {
    if (FBatch != nullptr && FRow < FBatch->Ends.size()) {
      const std::size_t begin = FRow == 0 ? 0 : FBatch->Ends[FRow - 1];
      row = std::string_view(FBatch->Bytes).substr(begin, FBatch->Ends[FRow] - begin);
      ++FRow;
      return true;
    }
    if (FBatch != nullptr) {
      if (FBatch->RangeEnd) ++FRange;
      FBatch = nullptr;
      FCurrent->Pipe->Release();
    }
    if (FPlan.Ordered) {
      if (FRange >= Ranges()) return false;
      TJob& job = FJobs[static_cast<std::size_t>(FRange) % FJobs.size()];
      if (!TakeBatch(job)) throw EDatabaseError("Reading failed: a connection stopped early");
      continue;
    }
    bool any = false;
    for (std::size_t tried = 0; tried < FJobs.size() && FBatch == nullptr; ++tried) {
      TJob& job = FJobs[FNextJob];
      FNextJob = (FNextJob + 1) % FJobs.size();
      if (job.Done) continue;
      any = true;
      if (!TakeBatch(job)) job.Done = true;
    }
    if (!any) return false;
  }
}

}  // namespace korvane::pg
