// Decoding sources and encoding sinks over iconv.
#include "io/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/sysutils.h"

namespace korvane {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

// An iconv descriptor, closed when it goes.
class TConverter {
 public:
  TConverter(const std::string& to, const std::string& from)
      : FCd(iconv_open(to.c_str(), from.c_str())) {}
  ~TConverter() {
    if (Valid()) iconv_close(FCd);
  }
  TConverter(const TConverter&) = delete;
  TConverter& operator=(const TConverter&) = delete;
  bool Valid() const { return FCd != reinterpret_cast<iconv_t>(-1); }
  // iconv's conversion; the count of irreversible conversions, or -1 with
  // errno set.
  std::size_t Convert(const char*& in, std::size_t& inLeft, char*& out, std::size_t& outLeft) {
    char* input = const_cast<char*>(in);
    const std::size_t rc = iconv(FCd, in == nullptr ? nullptr : &input, &inLeft, &out, &outLeft);
    in = input;
    return rc;
  }

 private:
  iconv_t FCd;
};

std::string Folded(const std::string& name) {
  std::string folded;
  for (char c : UpperCase(name)) {
    if (c != '-' && c != '_') folded += c;
  }
  return folded;
}

// The size of the encoding's code units: invalid input passes a unit at a
// time, so that the text after it stays aligned.
std::size_t UnitSize(const std::string& encoding) {
  const std::string folded = Folded(encoding);
  if (folded.starts_with("UTF16") || folded.starts_with("UCS2")) return 2;
  if (folded.starts_with("UTF32") || folded.starts_with("UCS4")) return 4;
  return 1;
}

class TDecodingSource final : public TByteSource {
 public:
  TDecodingSource(std::unique_ptr<TByteSource> inner, const std::string& encoding)
      : FInner(std::move(inner)), FEncoding(encoding), FIn(kBufferSize), FOut(kBufferSize) {}

  std::size_t Read(char* buffer, std::size_t count) override {
    if (!FStarted) Start();
    while (FOutAt == FOutLen) {
      if (!Produce()) return 0;
    }
    const std::size_t n = std::min(count, FOutLen - FOutAt);
    std::memcpy(buffer, FOut.data() + FOutAt, n);
    FOutAt += n;
    FText += static_cast<std::int64_t>(n);
    Advanced(FInner->Progress().FileBytes, FText);
    return n;
  }
  TFileFormat Format() const override { return FInner->Format(); }
  std::string TextEncoding() const override { return FName; }

 private:
  // Reads more input behind what is left of it; false at its end.
  bool Refill() {
    if (FInEnded) return false;
    std::memmove(FIn.data(), FIn.data() + FInAt, FInLen - FInAt);
    FInLen -= FInAt;
    FInAt = 0;
    const std::size_t n = FInner->Read(FIn.data() + FInLen, FIn.size() - FInLen);
    if (n == 0) FInEnded = true;
    FInLen += n;
    return n > 0;
  }

  // A UTF-16 byte-order mark switches a UTF-8 input to UTF-16.
  void Start() {
    FStarted = true;
    while (FInLen < 2 && Refill()) {
    }
    std::string from = FEncoding;
    if (IsUtf8Encoding(FEncoding)) {
      const auto* b = reinterpret_cast<const unsigned char*>(FIn.data());
      if (FInLen >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        from = "UTF-16LE";
      } else if (FInLen >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        from = "UTF-16BE";
      } else {
        FName = "UTF-8";
        return;  // passes as it is
      }
      FInAt = 2;
    }
    FUnit = UnitSize(from);
    FName = from;
    FConverter = std::make_unique<TConverter>("UTF-8", from);
    if (!FConverter->Valid()) throw EInOutError("Read failed: unknown encoding " + from);
  }

  // Puts the next piece of text into FOut; false at the end.
  bool Produce() {
    FOutAt = 0;
    FOutLen = 0;
    if (!FConverter) {  // UTF-8: as it is
      if (FInAt == FInLen && !Refill()) return false;
      FOut.swap(FIn);
      FOutLen = FInLen;
      FInAt = FInLen = 0;
      return true;
    }
    if (FCutShort) {
      throw EInOutError("Read failed: the input ends inside a " + FName + " character (" +
                        IntToStr(static_cast<std::int64_t>(FInLen - FInAt)) + " bytes left over)");
    }
    if (FInAt == FInLen && !Refill()) return false;
    const char* in = FIn.data() + FInAt;
    std::size_t inLeft = FInLen - FInAt;
    char* out = FOut.data();
    std::size_t outLeft = FOut.size();
    const std::size_t rc = FConverter->Convert(in, inLeft, out, outLeft);
    const int error = errno;
    FInAt = FInLen - inLeft;
    FOutLen = FOut.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1) || error == E2BIG) return true;
    if (error == EINVAL) {
      // A character cut by the end of the buffer: more input completes it.
      // Cut by the end of the input, it fails once the text before it is out.
      if (Refill()) return true;
      FCutShort = true;
      if (FOutLen > 0) return true;
      return Produce();
    }
    // EILSEQ: not valid in the encoding; a code unit passes unchanged.
    const std::size_t pass = std::min(FUnit, FInLen - FInAt);
    if (FOut.size() - FOutLen < pass) return true;  // next time
    std::memcpy(FOut.data() + FOutLen, FIn.data() + FInAt, pass);
    FOutLen += pass;
    FInAt += pass;
    return true;
  }

  std::unique_ptr<TByteSource> FInner;
  std::string FEncoding;
  std::string FName;  // the encoding read, for messages
  std::unique_ptr<TConverter> FConverter;
  std::size_t FUnit = 1;
  std::vector<char> FIn;
  std::size_t FInAt = 0;
  std::size_t FInLen = 0;
  bool FInEnded = false;
  bool FStarted = false;
  bool FCutShort = false;  // the input ended inside a character
  std::vector<char> FOut;
  std::size_t FOutAt = 0;
  std::size_t FOutLen = 0;
  std::int64_t FText = 0;
};

// The character at the start of text (a UTF-8 sequence) as 'c' (U+XXXX).
std::string DescribeCharacter(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text.empty() ? 0 : text[0]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  const std::string_view ch = text.substr(0, std::min(length, text.size()));
  if (FindInvalidUtf8(ch) != std::string_view::npos) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", lead);
    return std::string("the byte ") + hex + ", which is not UTF-8";
  }
  std::uint32_t code = length == 1 ? lead : lead & (0xFFu >> (length + 1));
  for (std::size_t i = 1; i < ch.size(); ++i) {
    code = (code << 6) | (static_cast<unsigned char>(ch[i]) & 0x3Fu);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "U+%04X", code);
  return "the character '" + std::string(ch) + "' (" + hex + ")";
}

}  // namespace

class TEncodingSink final : public TByteSink {
 public:
  TEncodingSink(const TFileHandle& file, std::unique_ptr<TByteSink> next,
                const std::string& encoding)
      : FFile(file),
        FNext(std::move(next)),
        FEncoding(encoding),
        FConverter(encoding, "UTF-8"),
        FOut(kBufferSize) {}

  bool Write(const char* data, std::size_t count) override {
    if (FFailed) return false;
    if (FCarry.empty()) return Convert(data, count);
    // A character cut by the end of the last write goes on here. (Writes
    // end at line ends, so this is rare.)
    std::string joined = std::move(FCarry);
    FCarry.clear();
    joined.append(data, count);
    return Convert(joined.data(), joined.size());
  }
  bool Finish() override {
    if (FFailed) return false;
    if (!FCarry.empty()) return Fail(FCarry);
    // The shift state's end, where the encoding has one.
    const char* none = nullptr;
    std::size_t zero = 0;
    char* out = FOut.data();
    std::size_t outLeft = FOut.size();
    FConverter.Convert(none, zero, out, outLeft);
    if (!Pass(FOut.data(), FOut.size() - outLeft)) return false;
    return FNext == nullptr || FNext->Finish();
  }
  std::string Failure() const override {
    return !FFailure.empty() ? FFailure : FNext != nullptr ? FNext->Failure() : std::string();
  }

 private:
  // Converts count bytes at data; a character cut by the end is kept in
  // FCarry for the next write.
  bool Convert(const char* data, std::size_t count) {
    const char* in = data;
    std::size_t inLeft = count;
    for (;;) {
      const char* from = in;
      char* out = FOut.data();
      std::size_t outLeft = FOut.size();
      const std::size_t rc = FConverter.Convert(in, inLeft, out, outLeft);
      const int error = errno;
      CountLines(from, static_cast<std::size_t>(in - from));
      if (!Pass(FOut.data(), FOut.size() - outLeft)) return false;
      if (rc != static_cast<std::size_t>(-1)) return true;
      if (error == E2BIG) continue;
      if (error == EINVAL) {
        FCarry.assign(in, inLeft);
        return true;
      }
      return Fail(std::string_view(in, inLeft));
    }
  }

  void CountLines(const char* data, std::size_t count) {
    FLine += static_cast<std::int64_t>(std::count(data, data + count, '\n'));
  }

  bool Pass(const char* data, std::size_t count) {
    if (count == 0) return true;
    const bool ok = FNext != nullptr ? FNext->Write(data, count) : WriteFile(FFile, data, count);
    if (!ok) FFailed = true;
    return ok;
  }

  bool Fail(std::string_view at) {
    FFailed = true;
    FFailure = DescribeCharacter(at) + " on line " + IntToStr(FLine) +
               " of the output cannot be written in " + FEncoding;
    SetLastError(EILSEQ);
    return false;
  }

  const TFileHandle& FFile;
  std::unique_ptr<TByteSink> FNext;
  std::string FEncoding;
  TConverter FConverter;
  std::vector<char> FOut;
  std::string FCarry;
  std::int64_t FLine = 1;  // of the output, at the next byte to convert
  bool FFailed = false;
  std::string FFailure;
};

bool EncodingKnown(const std::string& name) {
  if (name.empty()) return false;
  return TConverter("UTF-8", name).Valid() && TConverter(name, "UTF-8").Valid();
}

bool EncodingUsable(const std::string& name, std::string& error) {
  if (name.empty() || EncodingKnown(name)) return true;
  error = "Encoding '" + name +
          "' is not an encoding this system converts (`iconv -l` lists the names it knows)";
  return false;
}

bool IsUtf8Encoding(const std::string& name) { return Folded(name) == "UTF8"; }

bool EncodingWritesByteOrderMark(const std::string& encoding) {
  const std::string folded = Folded(encoding);
  return folded == "UTF16" || folded == "UTF32";
}

std::size_t FindInvalidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return i;
    }
    if (i + length > n) return i;
    if (p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

struct TTextReencoder::TState {
  explicit TState(const std::string& encoding) : Converter(encoding, "UTF-8") {}
  TConverter Converter;
  std::vector<char> Out = std::vector<char>(4096);
};

TTextReencoder::TTextReencoder(const std::string& encoding) {
  if (!encoding.empty() && !IsUtf8Encoding(encoding)) {
    FState = std::make_unique<TState>(encoding);
    if (!FState->Converter.Valid()) throw EInOutError("unknown encoding " + encoding);
  }
}

TTextReencoder::~TTextReencoder() = default;

std::string TTextReencoder::Encode(std::string_view text) {
  if (!FState) return std::string(text);
  std::string encoded;
  while (!text.empty()) {
    const std::size_t valid = std::min(FindInvalidUtf8(text), text.size());
    const char* in = text.data();
    std::size_t inLeft = valid;
    while (inLeft > 0) {
      char* out = FState->Out.data();
      std::size_t outLeft = FState->Out.size();
      const std::size_t rc = FState->Converter.Convert(in, inLeft, out, outLeft);
      const int error = errno;
      encoded.append(FState->Out.data(), FState->Out.size() - outLeft);
      if (rc != static_cast<std::size_t>(-1) || error == E2BIG) continue;
      // A character the encoding has none for: its UTF-8 bytes as they are.
      const auto lead = static_cast<unsigned char>(*in);
      const std::size_t length = std::min<std::size_t>(lead < 0x80   ? 1
                                                       : lead < 0xE0 ? 2
                                                       : lead < 0xF0 ? 3
                                                                     : 4,
                                                       inLeft);
      encoded.append(in, length);
      in += length;
      inLeft -= length;
    }
    // A byte that is not UTF-8 was passed unchanged when the text was read.
    if (valid < text.size()) encoded += text[valid];
    text.remove_prefix(std::min(valid + 1, text.size()));
  }
  return encoded;
}

std::unique_ptr<TByteSource> OpenDecodingSource(std::unique_ptr<TByteSource> inner,
                                                const std::string& encoding) {
  return std::make_unique<TDecodingSource>(std::move(inner), encoding);
}

std::unique_ptr<TByteSink> CreateEncodingSink(const TFileHandle& file,
                                              std::unique_ptr<TByteSink> next,
                                              const std::string& encoding) {
  return std::make_unique<TEncodingSink>(file, std::move(next), encoding);
}

}  // namespace korvane
