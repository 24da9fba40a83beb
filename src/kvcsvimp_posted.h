// The records of an import that a dataset holds before it knows whether the
// database takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Keeps the number, line and text of records posted to a dataset that
// stores them later (TDataSet::HeldPosts), by post number, until the
// dataset has settled them: a record the database refuses then is reported
// as any other failed record. Holds only the records not settled yet (the
// dataset's open batch); the memory is reused from batch to batch. Not
// thread-safe.
class TPostedRecords {
 public:
  struct TRecord {
    std::int64_t Post = 0;
    std::int32_t Record = 0;
    std::int64_t Line = 0;
    std::size_t Offset = 0;  // of the text in FText
    std::size_t Size = 0;
  };

  // Keeps a record; post numbers must rise from call to call.
  void Keep(std::int64_t post, std::int32_t record, std::int64_t line, std::string_view text);
  // The record kept under that post number, or nullptr.
  const TRecord* Find(std::int64_t post) const;
  std::string_view Text(const TRecord& record) const {
    return std::string_view(FText).substr(record.Offset, record.Size);
  }
  // Forgets the records with post numbers up to post.
  void ForgetUpTo(std::int64_t post);
  void Clear();
  std::size_t Count() const { return FRecords.size() - FHead; }

 private:
  std::vector<TRecord> FRecords;  // from FHead on, by rising post number
  std::size_t FHead = 0;
  std::string FText;
};

}  // namespace korvane
