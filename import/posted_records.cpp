#include "import/posted_records.h"

#include <cstring>
#include <type_traits>

namespace korvane {

static_assert(std::is_trivially_copyable_v<TPostedRecords::TRecord>);

void TPostedRecords::Keep(std::int64_t post, std::int32_t record, std::int64_t line,
                          std::string_view text) {
  const TRecord r{post, record, line, FText.Size(), text.size()};
  FRecords.Append(std::string_view(reinterpret_cast<const char*>(&r), sizeof r));
  FText.Append(text);
  if (FCount++ == FHead) FHeadPost = post;
  FLastPost = post;
}

TPostedRecords::TRecord TPostedRecords::At(std::size_t index) const {
  FRecords.Read(std::uint64_t{index} * sizeof(TRecord), sizeof(TRecord), FScratch);
  TRecord r;
  std::memcpy(&r, FScratch.data(), sizeof r);
  return r;
}

std::optional<TPostedRecords::TRecord> TPostedRecords::Find(std::int64_t post) const {
  if (FHead == FCount || post < FHeadPost || post > FLastPost) return std::nullopt;
  std::size_t low = FHead;
  std::size_t high = FCount;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const TRecord r = At(middle);
    if (r.Post == post) return r;
    if (r.Post < post) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return std::nullopt;
}

std::string TPostedRecords::Text(const TRecord& record) const {
  std::string text;
  FText.Read(record.Offset, static_cast<std::size_t>(record.Size), text);
  return text;
}

void TPostedRecords::ForgetUpTo(std::int64_t post) {
  if (FHead == FCount || post < FHeadPost) return;
  if (post >= FLastPost) {
    Clear();
    return;
  }
  // Some settled, some not: the first one not settled, by its post number.
  std::size_t low = FHead;
  std::size_t high = FCount;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (At(middle).Post <= post) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  FHead = low;
  FHeadPost = At(FHead).Post;
}

void TPostedRecords::Clear() {
  FRecords.Clear();
  FText.Clear();
  FCount = 0;
  FHead = 0;
  FHeadPost = 0;
  FLastPost = 0;
}

}  // namespace korvane
