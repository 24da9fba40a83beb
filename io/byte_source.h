// Where an import's bytes come from: an open file read as it is, or the text
// inside a gzip or zstd file, decompressed as it is read. The kind of file is
// recognised by its first bytes, whatever its name, so that standard input
// can be compressed too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/fileio.h"

namespace korvane {

// What a file holds, as its first bytes tell.
enum class TFileFormat : std::uint8_t { ffPlain, ffGzip, ffZstd };

// The name a message gives the format: "gzip", "zstd" or "plain".
const char* FileFormatName(TFileFormat format);

// Raises EInOutError for a read of a file that failed, with the system's
// error code (GetLastError) in its message and as its ErrorCode.
[[noreturn]] void RaiseReadFailed();

// The bytes of an input, read from the front. Not thread-safe, except for
// Progress, which any thread may call while another reads.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  TByteSource() = default;
  TByteSource(const TByteSource&) = delete;
  TByteSource& operator=(const TByteSource&) = delete;

  // Reads up to count bytes (count > 0) into buffer; 0 only at the end.
  // Raises EInOutError when the file cannot be read ("Read failed with
  // error code %i", the OS error code set for GetLastError too) or when its
  // compressed data is damaged or cut short (a message saying which).
  virtual std::size_t Read(char* buffer, std::size_t count) = 0;

  // How far the reading has come: file bytes taken from the file behind the
  // bytes handed out, and bytes handed out. For a compressed file the two
  // differ, and progress measured against the file's size goes by the first.
  struct TProgress {
    std::int64_t FileBytes = 0;
    std::int64_t TextBytes = 0;
  };
  TProgress Progress() const {
    return {FFileBytes.load(std::memory_order_relaxed), FTextBytes.load(std::memory_order_relaxed)};
  }

  // The format of the file under the source.
  virtual TFileFormat Format() const = 0;
  // The encoding the text is converted from to UTF-8 (known once the first
  // byte has been read); empty for bytes handed out as they are.
  virtual std::string TextEncoding() const { return {}; }

 protected:
  void Advanced(std::int64_t fileBytes, std::int64_t textBytes) {
    FFileBytes.store(fileBytes, std::memory_order_relaxed);
    FTextBytes.store(textBytes, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t> FFileBytes{0};
  std::atomic<std::int64_t> FTextBytes{0};
};

// How OpenByteSource reads a file.
struct TByteSourceOptions {
  // Recognise gzip and zstd files by their first bytes and read their text;
  // false reads every file as it is.
  bool Decompress = true;
  // Decompress on a thread of its own, a few buffers ahead of the reader.
  // Only for a regular file: a pipe's read may wait for its writer, and a
  // run that ends early must not wait with it.
  bool Thread = true;
  // The size of the buffers the decompressed text is handed over in.
  std::size_t ChunkSize = 256 * 1024;
};

// A source over file, which must stay open while the source exists. Reads
// the first bytes at once to recognise the format (raising as Read does).
std::unique_ptr<TByteSource> OpenByteSource(const TFileHandle& file,
                                            const TByteSourceOptions& options = {});

// The format that bytes, the start of a file, announce.
TFileFormat RecogniseFileFormat(const char* bytes, std::size_t size);

}  // namespace korvane
