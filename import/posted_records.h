// The records of an import that a dataset holds before it knows whether the
// database takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "io/spill_buffer.h"

namespace korvane {

// Keeps the number, line and text of records posted to a dataset that
// stores them later (TDataSet::HeldPosts), by post number, until the
// dataset has settled them: a record the database refuses then is reported
// as any other failed record. A dataset may hold hundreds of thousands of
// records (a whole transaction sent as one stream), so the records go to
// spill buffers: a few megabytes in memory, the rest in a temporary file,
// emptied whenever every kept record is settled. Not thread-safe.
class TPostedRecords {
 public:
  struct TRecord {
    std::int64_t Post = 0;
    std::int32_t Record = 0;
    std::int64_t Line = 0;
    std::uint64_t Offset = 0;  // of the text among the texts kept
    std::uint64_t Size = 0;
  };

  // Keeps a record; post numbers must rise from call to call.
  void Keep(std::int64_t post, std::int32_t record, std::int64_t line, std::string_view text);
  // The record kept under that post number, if any.
  std::optional<TRecord> Find(std::int64_t post) const;
  std::string Text(const TRecord& record) const;
  // Forgets the records with post numbers up to post.
  void ForgetUpTo(std::int64_t post);
  void Clear();
  std::size_t Count() const { return FCount - FHead; }

 private:
  TRecord At(std::size_t index) const;

  TSpillBuffer FRecords{std::size_t{1} << 20};  // TRecord after TRecord
  TSpillBuffer FText;
  std::size_t FCount = 0;  // records in FRecords
  std::size_t FHead = 0;   // the first one not forgotten
  std::int64_t FHeadPost = 0;
  std::int64_t FLastPost = 0;
  mutable std::string FScratch;
};

}  // namespace korvane
