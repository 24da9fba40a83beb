// Compressing sinks: gzip through zlib, zstd through libzstd.
#include "io/byte_sink.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <vector>

namespace korvane {

namespace {

constexpr std::size_t kOutputSize = 256 * 1024;

// What the compressors share: an output buffer written to the file whenever
// it fills, and the first failure, after which nothing more is written.
class TCompressingSink : public TByteSink {
 protected:
  explicit TCompressingSink(const TFileHandle& file) : FFile(file), FOut(kOutputSize) {}

  bool WriteOut(std::size_t count) {
    if (count > 0 && !WriteFile(FFile, FOut.data(), count)) FFailed = true;
    return !FFailed;
  }
  // A compressor's own failure (memory, in practice), as an OS error.
  bool CompressorFailed() {
    FFailed = true;
    SetLastError(ENOMEM);
    return false;
  }

  const TFileHandle& FFile;
  std::vector<char> FOut;
  bool FFailed = false;
};

class TGzipSink final : public TCompressingSink {
 public:
  explicit TGzipSink(const TFileHandle& file) : TCompressingSink(file) {
    if (deflateInit2(&FZ, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~TGzipSink() override { deflateEnd(&FZ); }

  bool Write(const char* data, std::size_t count) override {
    while (count > 0) {
      const auto part = static_cast<uInt>(std::min<std::size_t>(count, UINT_MAX));
      FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
      FZ.avail_in = part;
      if (!Run(Z_NO_FLUSH)) return false;
      data += part;
      count -= part;
    }
    return !FFailed;
  }
  bool Finish() override { return Run(Z_FINISH); }

 private:
  // Deflates the input given until it is taken (or, finishing, until the
  // stream has ended), writing each full output buffer.
  bool Run(int flush) {
    if (FFailed) return false;
    for (;;) {
      FZ.next_out = reinterpret_cast<Bytef*>(FOut.data());
      FZ.avail_out = static_cast<uInt>(FOut.size());
      const int rc = deflate(&FZ, flush);
      if (rc == Z_STREAM_ERROR) return CompressorFailed();
      if (!WriteOut(FOut.size() - FZ.avail_out)) return false;
      if (flush == Z_FINISH ? rc == Z_STREAM_END : FZ.avail_in == 0 && FZ.avail_out > 0) {
        return true;
      }
    }
  }

  z_stream FZ{};
};

class TZstdSink final : public TCompressingSink {
 public:
  explicit TZstdSink(const TFileHandle& file)
      : TCompressingSink(file), FContext(ZSTD_createCCtx()) {
    if (FContext == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(FContext, ZSTD_c_checksumFlag, 1);
  }
  ~TZstdSink() override { ZSTD_freeCCtx(FContext); }

  bool Write(const char* data, std::size_t count) override {
    ZSTD_inBuffer in{data, count, 0};
    return Run(in, ZSTD_e_continue);
  }
  bool Finish() override {
    ZSTD_inBuffer in{nullptr, 0, 0};
    return Run(in, ZSTD_e_end);
  }

 private:
  bool Run(ZSTD_inBuffer& in, ZSTD_EndDirective mode) {
    if (FFailed) return false;
    for (;;) {
      ZSTD_outBuffer out{FOut.data(), FOut.size(), 0};
      const std::size_t left = ZSTD_compressStream2(FContext, &out, &in, mode);
      if (ZSTD_isError(left)) return CompressorFailed();
      if (!WriteOut(out.pos)) return false;
      // Continuing: done once the input is taken; ending: once nothing is
      // left to flush.
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return true;
    }
  }

  ZSTD_CCtx* FContext;
};

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

std::unique_ptr<TByteSink> CreateCompressingSink(const TFileHandle& file, TFileFormat format) {
  switch (format) {
    case TFileFormat::ffGzip:
      return std::make_unique<TGzipSink>(file);
    case TFileFormat::ffZstd:
      return std::make_unique<TZstdSink>(file);
    case TFileFormat::ffPlain:
      break;
  }
  return nullptr;
}

TFileFormat FileFormatForName(const std::string& path) {
  if (EndsWith(path, ".gz")) return TFileFormat::ffGzip;
  if (EndsWith(path, ".zst")) return TFileFormat::ffZstd;
  return TFileFormat::ffPlain;
}

}  // namespace korvane
