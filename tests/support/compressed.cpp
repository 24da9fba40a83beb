#include "support/compressed.h"

#include <zlib.h>
#include <zstd.h>

#include <stdexcept>

namespace korvane::test {

std::string Gzip(std::string_view text) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::string Zstd(std::string_view text, bool checksum) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const std::size_t n = ZSTD_compress2(cctx, out.data(), out.size(), text.data(), text.size());
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
  out.resize(n);
  return out;
}

}  // namespace korvane::test
