// A stream over the bytes of a blob or memo field of the current record.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <string>

namespace korvane {

class TField;

enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };

// A stream over the content of a blob, memo or formatted-memo field (any
// IsBlobType field) of the current record. bmRead reads it; bmWrite starts
// empty; bmReadWrite starts with the current content. The field must be
// writable (CheckWritable) when a writing stream is created and when its
// bytes are stored: Commit stores them and raises when it cannot; the
// destructor stores them silently when Commit was not called since the last
// write. Seeking past the end is allowed: a later Write fills the gap with
// zero bytes. Raises EDatabaseError for a field of another type, a Write on
// a bmRead stream, or a position before the start or beyond 64 bits.
class KORVANE_API TBlobStream {
 public:
  enum TSeekOrigin { soFromBeginning, soFromCurrent, soFromEnd };

  TBlobStream(TField* field, TBlobStreamMode mode);
  ~TBlobStream();
  TBlobStream(const TBlobStream&) = delete;
  TBlobStream& operator=(const TBlobStream&) = delete;

  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  std::int64_t Read(void* buffer, std::int64_t count);
  std::int64_t Write(const void* buffer, std::int64_t count);
  std::int64_t Size() const { return static_cast<std::int64_t>(FData.size()); }
  std::int64_t Position() const { return FPosition; }
  // Stores the bytes in the field now (nothing when unchanged).
  void Commit();

 private:
  TField* FField;
  TBlobStreamMode FMode;
  std::string FData;
  std::int64_t FPosition = 0;
  bool FModified = false;
};

}  // namespace korvane
