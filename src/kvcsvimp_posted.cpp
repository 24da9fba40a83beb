#include "src/kvcsvimp_posted.h"

#include <algorithm>

namespace korvane {

void TPostedRecords::Keep(std::int64_t post, std::int32_t record, std::int64_t line,
                          std::string_view text) {
  FRecords.push_back({post, record, line, FText.size(), text.size()});
  FText.append(text);
}

const TPostedRecords::TRecord* TPostedRecords::Find(std::int64_t post) const {
  const auto first = FRecords.begin() + static_cast<std::ptrdiff_t>(FHead);
  const auto at = std::lower_bound(first, FRecords.end(), post,
                                   [](const TRecord& r, std::int64_t p) { return r.Post < p; });
  return at != FRecords.end() && at->Post == post ? &*at : nullptr;
}

void TPostedRecords::ForgetUpTo(std::int64_t post) {
  while (FHead < FRecords.size() && FRecords[FHead].Post <= post) ++FHead;
  if (FHead == FRecords.size()) {
    Clear();
    return;
  }
  // A dataset that never settles all it holds at once: drop the settled
  // front now and then, so that memory follows what is held.
  if (FHead < 4096 || FHead < FRecords.size() / 2) return;
  const std::size_t textFrom = FRecords[FHead].Offset;
  FRecords.erase(FRecords.begin(), FRecords.begin() + static_cast<std::ptrdiff_t>(FHead));
  FHead = 0;
  FText.erase(0, textFrom);
  for (TRecord& r : FRecords) r.Offset -= textFrom;
}

void TPostedRecords::Clear() {
  FRecords.clear();
  FHead = 0;
  FText.clear();
}

}  // namespace korvane
