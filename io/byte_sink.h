// Where an export's bytes go when they are changed on the way to the file:
// compressed into a gzip or zstd stream.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "io/byte_source.h"
#include "io/fileio.h"

namespace korvane {

// Takes bytes in order and writes what becomes of them to an open file,
// which must stay open while the sink exists. Used by one thread at a time;
// never raises.
class TByteSink {
 public:
  TByteSink() = default;
  virtual ~TByteSink() = default;
  TByteSink(const TByteSink&) = delete;
  TByteSink& operator=(const TByteSink&) = delete;

  // Takes count bytes. False when a write to the file failed (GetLastError
  // on this thread gives the OS error); nothing is written after that.
  virtual bool Write(const char* data, std::size_t count) = 0;
  // Ends the stream: writes what is held back and the stream's end (a
  // compressor's trailer). False as Write.
  virtual bool Finish() = 0;
  // Why the last Write or Finish failed when it was not the OS (a
  // character the output cannot hold); empty otherwise.
  virtual std::string Failure() const { return {}; }
};

// A sink that compresses into format (gzip or zstd, the latter with a
// checksum of its content); nullptr for ffPlain, whose bytes go to the file
// as they are.
std::unique_ptr<TByteSink> CreateCompressingSink(const TFileHandle& file, TFileFormat format);

// The format an output file's name asks for: ffGzip for a name ending in
// .gz, ffZstd for .zst, else ffPlain.
TFileFormat FileFormatForName(const std::string& path);

}  // namespace korvane
