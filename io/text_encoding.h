// Text in encodings other than UTF-8: read as UTF-8 below an import's
// reader, and written from UTF-8 on an export's way to the file, through
// the C library's iconv (any name `iconv -l` lists).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "io/byte_sink.h"
#include "io/byte_source.h"

namespace korvane {

// Whether iconv converts between name and UTF-8 both ways.
bool EncodingKnown(const std::string& name);
// Whether a component's Encoding can be used: empty (the bytes as they
// are) or EncodingKnown. False, with the reason in error, for a name iconv
// does not know, so that a run fails before it opens its input, output or
// dataset.
bool EncodingUsable(const std::string& name, std::string& error);
// Whether name is UTF-8 (utf8, UTF-8, ... in any case).
bool IsUtf8Encoding(const std::string& name);

// The offset of the first byte of text that is not part of valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF are not valid);
// npos when the whole text is valid.
std::size_t FindInvalidUtf8(std::string_view text);

// The UTF-8 text of inner's bytes in encoding, which must be known. For
// UTF-8 the bytes pass as they are, except that a UTF-16 byte-order mark
// (FF FE, FE FF) at the start switches to UTF-16 of that order. Bytes that
// are not valid in the encoding pass unchanged (a whole code unit of UTF-16
// or UTF-32 at a time), so that they stay visible as invalid UTF-8; input
// that ends inside a character raises EInOutError saying so. Progress
// counts inner's file bytes against the UTF-8 bytes handed out.
std::unique_ptr<TByteSource> OpenDecodingSource(std::unique_ptr<TByteSource> inner,
                                                const std::string& encoding);

// A sink that converts UTF-8 to encoding (which must be known) and passes
// the result to next, or to file when next is null. A character the
// encoding cannot hold, or bytes that are not UTF-8, fail the write: Failure
// then names the character and the line of the output it is on, and
// GetLastError gives EILSEQ.
std::unique_ptr<TByteSink> CreateEncodingSink(const TFileHandle& file,
                                              std::unique_ptr<TByteSink> next,
                                              const std::string& encoding);

// Gives text read through OpenDecodingSource back in the encoding it was
// read from, so that the same encoding reads it again as it was: valid UTF-8
// is converted, bytes that are not (those the source passed unchanged) stay
// as they are, as does a character the encoding has no bytes for. Keeps its
// state from one text to the next: a UTF-16 output gets one byte-order mark,
// before the first text. Used on one thread.
class TTextReencoder {
 public:
  // encoding must be known; for UTF-8 the text passes as it is.
  explicit TTextReencoder(const std::string& encoding);
  ~TTextReencoder();
  TTextReencoder(const TTextReencoder&) = delete;
  TTextReencoder& operator=(const TTextReencoder&) = delete;
  std::string Encode(std::string_view text);

 private:
  struct TState;
  std::unique_ptr<TState> FState;  // null for UTF-8
};

// Whether iconv begins a text in encoding with a byte-order mark of its own
// (UTF-16 and UTF-32 without an order in the name).
bool EncodingWritesByteOrderMark(const std::string& encoding);

}  // namespace korvane
