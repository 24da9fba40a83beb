// Byte sources: a file as it is, or the text of a gzip or zstd file, on the
// reader's thread or decompressed a few buffers ahead on a thread of its own.
#include "io/byte_source.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "io/batch_pipe.h"
#include "core/sysutils.h"

namespace korvane {

[[noreturn]] void RaiseReadFailed() {
  throw EInOutError("Read failed with error code " + IntToStr(GetLastError()), GetLastError());
}

namespace {

[[noreturn]] void RaiseCutShort(TFileFormat format) {
  throw EInOutError(std::string("Read failed: the ") + FileFormatName(format) +
                    " data ends early (the file is truncated)");
}

[[noreturn]] void RaiseDamaged(TFileFormat format, const char* detail) {
  throw EInOutError(std::string("Read failed: the ") + FileFormatName(format) +
                    " data is damaged (" + (detail != nullptr ? detail : "unknown error") + ")");
}

// The file's bytes: the few read to recognise its format first, then the
// rest straight from the file.
class TFileInput {
 public:
  TFileInput(const TFileHandle& file, std::string start) : FFile(file), FStart(std::move(start)) {}

  std::size_t Read(char* buffer, std::size_t count) {
    if (FAt < FStart.size()) {
      const std::size_t n = std::min(count, FStart.size() - FAt);
      std::memcpy(buffer, FStart.data() + FAt, n);
      FAt += n;
      FConsumed += static_cast<std::int64_t>(n);
      return n;
    }
    std::size_t got = 0;
    if (!ReadFile(FFile, buffer, count, got)) RaiseReadFailed();
    FConsumed += static_cast<std::int64_t>(got);
    return got;
  }
  // Bytes read from the file so far.
  std::int64_t Consumed() const { return FConsumed; }

 private:
  const TFileHandle& FFile;
  std::string FStart;
  std::size_t FAt = 0;
  std::int64_t FConsumed = 0;
};

// Turns the file's bytes into text, as many as fit, front to back.
class TDecoder {
 public:
  explicit TDecoder(TFileInput input) : FInput(std::move(input)) {}
  virtual ~TDecoder() = default;
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;
  // Fills out with up to count bytes of text, 0 once it has ended. The
  // decompressing decoders give fewer only at the end of the text; the plain
  // one gives what one read of the file gives. What stops the decoding is
  // raised once the text decoded before it has been handed out.
  //
  // A decompressor is always asked for a stage of the same size, whatever
  // count is: how much text it gives before it finds damage depends on how
  // much it is asked for, and the records stored before a damaged part must
  // not depend on the reader's buffer.
  std::size_t Decode(char* out, std::size_t count) {
    if (!Staged()) return DecodeOnce(out, count);
    if (FStage.empty()) FStage.resize(kStageSize);
    std::size_t given = 0;
    while (given < count) {
      if (FAt == FHave) {
        if (given > 0 && FFailure) break;
        // A whole stage that fits goes straight to out.
        const bool direct = count - given >= kStageSize;
        std::size_t got = 0;
        FAt = FHave = 0;
        try {
          got = DecodeOnce(direct ? out + given : FStage.data(), kStageSize);
        } catch (...) {
          if (given == 0) throw;
          FFailure = std::current_exception();  // raised by the next call
          break;
        }
        if (got == 0) break;
        if (direct) {
          given += got;
          continue;
        }
        FHave = got;
      }
      const std::size_t n = std::min(count - given, FHave - FAt);
      std::memcpy(out + given, FStage.data() + FAt, n);
      FAt += n;
      given += n;
    }
    return given;
  }
  // The file bytes the text decoded so far came from.
  virtual std::int64_t FileBytes() const { return FInput.Consumed(); }

 protected:
  // Decode's work; keeps produced at the bytes stored in out so far.
  virtual void DecodeInto(char* out, std::size_t count, std::size_t& produced) = 0;
  // Whether text goes through the stage (false: straight to the caller).
  virtual bool Staged() const { return true; }

  TFileInput FInput;

 private:
  static constexpr std::size_t kStageSize = 64 * 1024;

  std::size_t DecodeOnce(char* out, std::size_t count) {
    if (FFailure) std::rethrow_exception(FFailure);
    std::size_t produced = 0;
    try {
      DecodeInto(out, count, produced);
    } catch (...) {
      if (produced == 0) throw;
      FFailure = std::current_exception();
    }
    return produced;
  }

  std::exception_ptr FFailure;
  std::vector<char> FStage;  // text decoded and not yet handed out: [FAt, FHave)
  std::size_t FAt = 0;
  std::size_t FHave = 0;
};

class TPlainDecoder final : public TDecoder {
 public:
  using TDecoder::TDecoder;

 protected:
  void DecodeInto(char* out, std::size_t count, std::size_t& produced) override {
    produced = FInput.Read(out, count);
  }
  bool Staged() const override { return false; }
};

// Members one after another, as `cat a.gz b.gz` makes them, read as one text;
// each member's length and CRC are checked by zlib.
class TGzipDecoder final : public TDecoder {
 public:
  explicit TGzipDecoder(TFileInput input) : TDecoder(std::move(input)), FIn(64 * 1024) {
    // 16 + 15: a gzip wrapper around a window of up to 32 KiB.
    if (inflateInit2(&FZ, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~TGzipDecoder() override { inflateEnd(&FZ); }

  std::int64_t FileBytes() const override { return FInput.Consumed() - FZ.avail_in; }

 protected:
  void DecodeInto(char* out, std::size_t count, std::size_t& produced) override {
    FZ.next_out = reinterpret_cast<Bytef*>(out);
    FZ.avail_out = static_cast<uInt>(std::min<std::size_t>(count, UINT_MAX));
    const uInt wanted = FZ.avail_out;
    while (FZ.avail_out > 0) {
      Refill();
      if (FMemberEnded) {
        if (FZ.avail_in == 0) break;  // the last member has ended
        inflateReset(&FZ);            // another member follows
        FMemberEnded = false;
      }
      const int rc = inflate(&FZ, Z_NO_FLUSH);
      produced = wanted - FZ.avail_out;
      if (rc == Z_STREAM_END) {
        FMemberEnded = true;
      } else if (rc == Z_BUF_ERROR && FZ.avail_in == 0) {
        // No progress without more input, and there is none.
        if (FInputEnded) RaiseCutShort(TFileFormat::ffGzip);
      } else if (rc != Z_OK) {
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        RaiseDamaged(TFileFormat::ffGzip, FZ.msg);
      }
    }
    produced = wanted - FZ.avail_out;
  }

 private:
  void Refill() {
    if (FZ.avail_in > 0 || FInputEnded) return;
    const std::size_t n = FInput.Read(FIn.data(), FIn.size());
    if (n == 0) FInputEnded = true;
    FZ.next_in = reinterpret_cast<Bytef*>(FIn.data());
    FZ.avail_in = static_cast<uInt>(n);
  }

  z_stream FZ{};
  std::vector<char> FIn;
  bool FInputEnded = false;
  bool FMemberEnded = false;
};

// Frames one after another read as one text; a frame's checksum, where it
// has one, is checked by libzstd.
class TZstdDecoder final : public TDecoder {
 public:
  explicit TZstdDecoder(TFileInput input)
      : TDecoder(std::move(input)), FContext(ZSTD_createDCtx()), FIn(ZSTD_DStreamInSize()) {
    if (FContext == nullptr) throw std::bad_alloc();
  }
  ~TZstdDecoder() override { ZSTD_freeDCtx(FContext); }

  std::int64_t FileBytes() const override {
    return FInput.Consumed() - static_cast<std::int64_t>(FPending.size - FPending.pos);
  }

 protected:
  void DecodeInto(char* out, std::size_t count, std::size_t& produced) override {
    ZSTD_outBuffer output{out, count, 0};
    while (output.pos < output.size) {
      if (FPending.pos == FPending.size && !FInputEnded) {
        const std::size_t n = FInput.Read(FIn.data(), FIn.size());
        FInputEnded = n == 0;
        FPending = ZSTD_inBuffer{FIn.data(), n, 0};
      }
      const bool noInput = FPending.pos == FPending.size;
      // At the end of the input, between frames: the text has ended.
      if (noInput && FInputEnded && FFrameLeft == 0) break;
      const std::size_t before = output.pos;
      const std::size_t rc = ZSTD_decompressStream(FContext, &output, &FPending);
      produced = output.pos;
      if (ZSTD_isError(rc)) RaiseDamaged(TFileFormat::ffZstd, ZSTD_getErrorName(rc));
      FFrameLeft = rc;
      // A frame begun and no more input to finish it.
      if (noInput && FInputEnded && output.pos == before && rc != 0) {
        RaiseCutShort(TFileFormat::ffZstd);
      }
    }
    produced = output.pos;
  }

 private:
  ZSTD_DCtx* FContext;
  std::vector<char> FIn;
  ZSTD_inBuffer FPending{nullptr, 0, 0};
  bool FInputEnded = false;
  // What the last call said is left of the frame it is in: 0 between frames.
  std::size_t FFrameLeft = 0;
};

// Decodes on the reader's thread.
class TDirectSource final : public TByteSource {
 public:
  TDirectSource(std::unique_ptr<TDecoder> decoder, TFileFormat format)
      : FDecoder(std::move(decoder)), FFormat(format) {}

  std::size_t Read(char* buffer, std::size_t count) override {
    const std::size_t n = FDecoder->Decode(buffer, count);
    FText += static_cast<std::int64_t>(n);
    Advanced(FDecoder->FileBytes(), FText);
    return n;
  }
  TFileFormat Format() const override { return FFormat; }

 private:
  std::unique_ptr<TDecoder> FDecoder;
  TFileFormat FFormat;
  std::int64_t FText = 0;
};

// Decodes on a thread of its own into a few chunks ahead of the reader. What
// stops the decoding (a read error, damaged data) reaches the reader after
// the text decoded before it.
class TThreadedSource final : public TByteSource {
 public:
  // Takes the decoder over and starts the thread; raises std::system_error
  // when it cannot, leaving the decoder with the caller.
  TThreadedSource(std::unique_ptr<TDecoder>& decoder, TFileFormat format, std::size_t chunkSize)
      : FDecoder(std::move(decoder)),
        FFormat(format),
        FChunkSize(std::max<std::size_t>(chunkSize, 1)) {
    try {
      FThread = std::thread([this] { Run(); });
    } catch (...) {
      decoder = std::move(FDecoder);
      throw;
    }
  }
  ~TThreadedSource() override {
    FPipe.Fail();  // the thread stops after the chunk it is on
    FThread.join();
  }

  std::size_t Read(char* buffer, std::size_t count) override {
    while (FCurrent == nullptr || FAt == FCurrent->Size) {
      if (FCurrent != nullptr) {
        if (FCurrent->Error) {
          SetLastError(FCurrent->ErrorCode);
          std::rethrow_exception(FCurrent->Error);
        }
        if (FCurrent->Last) return 0;
        FPipe.Release();
      }
      FCurrent = FPipe.Take();
      FAt = 0;
      if (FCurrent == nullptr) return 0;
    }
    const std::size_t n = std::min(count, FCurrent->Size - FAt);
    std::memcpy(buffer, FCurrent->Data.data() + FAt, n);
    FAt += n;
    FText += static_cast<std::int64_t>(n);
    Advanced(FCurrent->FileBytes, FText);
    return n;
  }
  TFileFormat Format() const override { return FFormat; }

 private:
  struct alignas(64) TChunk {
    std::vector<char> Data;
    std::size_t Size = 0;
    std::int64_t FileBytes = 0;  // of the file, behind the chunk's last byte
    std::exception_ptr Error;    // what stopped the decoding after Size bytes
    int ErrorCode = 0;
    bool Last = false;  // nothing comes after this chunk
  };

  void Run() {
    while (TChunk* chunk = FPipe.Acquire()) {
      chunk->Size = 0;
      chunk->Error = nullptr;
      chunk->Last = false;
      try {
        chunk->Data.resize(FChunkSize);
        chunk->Size = FDecoder->Decode(chunk->Data.data(), FChunkSize);
        chunk->Last = chunk->Size == 0;
      } catch (...) {
        chunk->Error = std::current_exception();
        chunk->ErrorCode = GetLastError();
        chunk->Last = true;
      }
      chunk->FileBytes = FDecoder->FileBytes();
      const bool last = chunk->Last;
      FPipe.Publish();
      if (last) return;
    }
  }

  std::unique_ptr<TDecoder> FDecoder;  // the thread's while it runs
  TFileFormat FFormat;
  std::size_t FChunkSize;
  TBatchPipe<TChunk, 4> FPipe{THandOff::hoDecompress};
  // The reader's side: the chunk it reads from and how far.
  TChunk* FCurrent = nullptr;
  std::size_t FAt = 0;
  std::int64_t FText = 0;
  std::thread FThread;  // last: it starts once everything above exists
};

}  // namespace

const char* FileFormatName(TFileFormat format) {
  switch (format) {
    case TFileFormat::ffGzip:
      return "gzip";
    case TFileFormat::ffZstd:
      return "zstd";
    case TFileFormat::ffPlain:
      break;
  }
  return "plain";
}

TFileFormat RecogniseFileFormat(const char* bytes, std::size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  if (size >= 2 && b[0] == 0x1F && b[1] == 0x8B) return TFileFormat::ffGzip;
  if (size >= 4 && b[0] == 0x28 && b[1] == 0xB5 && b[2] == 0x2F && b[3] == 0xFD) {
    return TFileFormat::ffZstd;
  }
  return TFileFormat::ffPlain;
}

std::unique_ptr<TByteSource> OpenByteSource(const TFileHandle& file,
                                            const TByteSourceOptions& options) {
  // The first four bytes tell the format; they are handed on as the start of
  // the file, so that this works on a pipe too.
  std::string start;
  if (options.Decompress) {
    start.resize(4);
    std::size_t have = 0;
    while (have < start.size()) {
      std::size_t got = 0;
      if (!ReadFile(file, start.data() + have, start.size() - have, got)) RaiseReadFailed();
      if (got == 0) break;
      have += got;
    }
    start.resize(have);
  }
  const TFileFormat format = RecogniseFileFormat(start.data(), start.size());
  TFileInput input(file, std::move(start));
  std::unique_ptr<TDecoder> decoder;
  switch (format) {
    case TFileFormat::ffGzip:
      decoder = std::make_unique<TGzipDecoder>(std::move(input));
      break;
    case TFileFormat::ffZstd:
      decoder = std::make_unique<TZstdDecoder>(std::move(input));
      break;
    case TFileFormat::ffPlain:
      // Nothing to do beside the reader: read on its thread.
      return std::make_unique<TDirectSource>(std::make_unique<TPlainDecoder>(std::move(input)),
                                             format);
  }
  if (options.Thread && IsRegularFile(file)) {
    try {
      return std::make_unique<TThreadedSource>(decoder, format, options.ChunkSize);
    } catch (const std::system_error&) {
      // No thread to be had: decompressed on the reader's thread.
    }
  }
  return std::make_unique<TDirectSource>(std::move(decoder), format);
}

}  // namespace korvane
