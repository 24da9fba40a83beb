#include "io/batch_pipe.h"

namespace korvane {

namespace detail {
std::atomic<std::uint64_t> gHandOffBatches[static_cast<std::size_t>(THandOff::hoCount)];
}

std::uint64_t HandOffBatches(THandOff kind) {
  return detail::gHandOffBatches[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
}

}  // namespace korvane
