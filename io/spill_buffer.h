// Bytes kept in order and read back by offset, in flat memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/api.h"
#include "io/fileio.h"

namespace korvane {

// Keeps what a caller appends, to read any part of it back later: the
// latest bytes in memory, up to a set size, and everything before them in
// an unnamed temporary file (in TMPDIR, else /tmp) created at the first
// overflow. A caller that may need a long run of data again (rows to send
// again, records to report) so keeps it at a flat cost in memory; while
// the run fits the memory part, no file is made.
//
// A failing file raises EInOutError naming the cause (a full disk, ...);
// the buffer is then empty. Not thread-safe.
class TSpillBuffer {
 public:
  explicit TSpillBuffer(std::size_t memoryBytes = std::size_t{4} << 20);

  void Append(std::string_view bytes);
  std::uint64_t Size() const { return FFileBytes + FMemory.size(); }
  // Bytes [offset, offset + count) into out, which it replaces; the range
  // must lie within Size.
  void Read(std::uint64_t offset, std::size_t count, std::string& out) const;
  // Forgets everything; keeps the memory and the file (emptied) for reuse.
  void Clear();

 private:
  void Spill();
  // Appends bytes to the file, which keeps everything before the memory
  // part: called with the memory part empty, or with the memory part itself.
  void Write(std::string_view bytes);
  [[noreturn]] void Fail(const char* what, int error);

  std::size_t FLimit;
  std::string FMemory;          // bytes [FFileBytes, Size())
  std::uint64_t FFileBytes = 0;  // bytes in the file
  TFileHandle FFile;
};

}  // namespace korvane
