// Pieces shared by the fuzz targets: the input as a file the reader can open,
// and the settings a target takes from the first bytes of its input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/dialogs.h"

namespace korvane::fuzz {

// Answers every message box of the runs OK, for the life of the process: a
// target shows none (a run's failure is what it checks).
inline void AnswerMessagesOk() {
  static const TScopedMessageHandler quiet(
      [](const std::string&, TMsgDlgType, TMsgDlgButtons, int) { return static_cast<int>(mrOk); });
}

// A file in memory that holds one input at a time; Path() opens it like any
// file on disk (a regular file, so that the import may read ahead).
class TMemoryFile {
 public:
  TMemoryFile() {
    FFd = ::memfd_create("korvane-fuzz", MFD_CLOEXEC);
    if (FFd < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    FPath = "/proc/self/fd/" + std::to_string(FFd);
  }
  ~TMemoryFile() { ::close(FFd); }
  TMemoryFile(const TMemoryFile&) = delete;
  TMemoryFile& operator=(const TMemoryFile&) = delete;

  // Replaces the file's content with bytes.
  void Write(std::string_view bytes) {
    if (::ftruncate(FFd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ::ssize_t n = ::pwrite(FFd, bytes.data() + done, bytes.size() - done,
                                   static_cast<::off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& Path() const { return FPath; }

 private:
  int FFd = -1;
  std::string FPath;
};

// Takes the settings bytes off the front of an input; past its end every
// byte reads as zero, so that a short input still makes settings.
class TSettingsBytes {
 public:
  TSettingsBytes(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  std::uint8_t Next() { return FPos < FSize ? FData[FPos++] : std::uint8_t{0}; }
  // What is left after the settings: the text under test.
  std::string_view Rest() const {
    return {reinterpret_cast<const char*>(FData) + FPos, FSize - FPos};
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

// Read buffer sizes that put every special byte at a buffer boundary
// somewhere, and the size a run uses.
inline std::size_t PickBufferSize(std::uint8_t b) {
  static constexpr std::size_t kSizes[] = {1, 2, 3, 4, 5, 7, 16, 256 * 1024};
  return kSizes[b % (sizeof kSizes / sizeof kSizes[0])];
}

// Separators a run can have: none, the three named ones and custom ones
// (printable, as a custom separator is never a blank or control character,
// and the first byte of a UTF-8 character).
inline std::string PickSeparator(std::uint8_t b) {
  static constexpr char kSeparators[] = {'|', '\t', ',', ';', '"', '\'', 'a', '#', '\\'};
  constexpr std::size_t n = sizeof kSeparators;
  if (b == 0) return std::string();
  if (b <= n) return std::string(1, kSeparators[b - 1]);
  if (b >= 0xC2 && b <= 0xF4) return std::string(1, static_cast<char>(b));
  return std::string(1, static_cast<char>(33 + b % 94));
}

// The quote characters a run can have: none, ' and ".
inline std::string PickQuote(std::uint8_t b) {
  switch (b % 3) {
    case 1:
      return "'";
    case 2:
      return "\"";
    default:
      return std::string();
  }
}

[[noreturn]] inline void Finding(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

}  // namespace korvane::fuzz
