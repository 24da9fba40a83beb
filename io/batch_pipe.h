// The one way work crosses between two threads here: a bounded pipe of
// batches from a single producer to a single consumer.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace korvane {

// Which hand-off a pipe serves, for HandOffBatches.
enum class THandOff : std::uint8_t {
  hoReadAhead,        // an import's records, read and split ahead
  hoFormatAhead,      // an export's records, handed to the thread that formats them
  hoBackgroundWrite,  // buffers handed to TBackgroundWriter
  hoDecompress,       // an input's text, decompressed ahead of its reader
  hoDatabaseJob,      // rows between a dataset and one of its database connections' threads
  hoCount
};

// How many batches pipes of that kind have handed over in this process: a
// run that went through a second thread raises it. For tests and hosts that
// want to know that the threaded path ran.
std::uint64_t HandOffBatches(THandOff kind);

namespace detail {
extern std::atomic<std::uint64_t> gHandOffBatches[static_cast<std::size_t>(THandOff::hoCount)];
}

// N batches, filled and read in turn. The producer Acquires a batch, fills
// it and Publishes it; the consumer Takes it, reads it and Releases it (and
// with it every batch it took before). Whoever holds a batch is the only
// one to touch it: the pipe's lock orders the hand-over. Close says that no
// more batches come; Fail, that the consumer cannot go on.
//
// Producer: Acquire waits while all N batches are published and not yet
// released, and gives nullptr once the pipe is closed or failed.
// Consumer: Take waits for the next published batch, and gives nullptr once
// the pipe is closed and every published batch has been taken.
template <class TBatch, std::size_t N>
class TBatchPipe {
 public:
  explicit TBatchPipe(THandOff kind) : FKind(kind) {}
  TBatchPipe(const TBatchPipe&) = delete;
  TBatchPipe& operator=(const TBatchPipe&) = delete;

  // A batch to fill, once fewer than `ahead` (at most N) batches are
  // published and not yet released; nullptr when the pipe is closed.
  TBatch* Acquire(std::size_t ahead = N) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [&] { return FClosed || FFailed || FPublished - FReleased < ahead; });
    if (FClosed || FFailed) return nullptr;
    return &FBatches[FPublished % N];
  }
  // Hands the batch Acquire gave over to the consumer.
  void Publish() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      ++FPublished;
    }
    FChanged.notify_all();
    detail::gHandOffBatches[static_cast<std::size_t>(FKind)].fetch_add(1,
                                                                       std::memory_order_relaxed);
  }

  TBatch* Take() {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return FClosed || FTaken < FPublished; });
    if (FTaken == FPublished) return nullptr;
    return &FBatches[FTaken++ % N];
  }
  // Waits up to `within` for a batch to take or for the close; false when
  // neither came.
  template <class TDuration>
  bool WaitReady(TDuration within) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, within, [this] { return FClosed || FTaken < FPublished; });
  }
  // Gives the batches taken so far back to the producer.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FReleased = FTaken;
    }
    FChanged.notify_all();
  }

  void Close() { Set(FClosed); }
  void Fail() { Set(FFailed); }
  bool Failed() {
    std::lock_guard<std::mutex> lock(FLock);
    return FFailed;
  }
  // Producer: waits until the consumer has released every batch published;
  // false when it failed.
  bool WaitReleased() {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return FReleased == FPublished; });
    return !FFailed;
  }

 private:
  void Set(bool& flag) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      flag = true;
    }
    FChanged.notify_all();
  }

  const THandOff FKind;
  std::array<TBatch, N> FBatches;
  // Counts of the batches published, taken and released since the start.
  alignas(64) std::mutex FLock;
  std::condition_variable FChanged;
  std::uint64_t FPublished = 0;
  std::uint64_t FTaken = 0;
  std::uint64_t FReleased = 0;
  bool FClosed = false;
  bool FFailed = false;
};

}  // namespace korvane
