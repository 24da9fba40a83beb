// A new file written beside the file it is to replace, which takes that
// file's place only once it is complete: what a settings file and an export
// write before the old file goes. Private to the library: no installed header
// includes it.
#pragma once

#include <string>

namespace korvane {

// Owns a new file until it takes a target's place: the destructor closes it
// and removes it unless Replace moved it. Not thread-safe.
class TTemporaryFile {
 public:
  // No file.
  TTemporaryFile() = default;
  // Makes a file named after pattern, whose last six characters "XXXXXX"
  // become a unique suffix (mkstemp), open for writing, readable and
  // writable by the owner only. Made() is false when it could not: errno
  // says why.
  explicit TTemporaryFile(std::string pattern);
  // Takes charge of a closed file that exists at path.
  static TTemporaryFile Adopt(std::string path);
  ~TTemporaryFile() { Remove(); }
  TTemporaryFile(TTemporaryFile&& other) noexcept;
  TTemporaryFile& operator=(TTemporaryFile&& other) noexcept;

  bool Made() const { return !FPath.empty(); }
  // The open descriptor, -1 once closed (or when there is no file).
  int Fd() const { return FFd; }
  const std::string& Path() const { return FPath; }
  // Closes the descriptor; false (errno) when closing reports a failed
  // write.
  bool Close();
  // Renames the file over target, whose it is from then on. False (errno)
  // when the rename fails: the file stays this object's.
  bool Replace(const std::string& target);
  // Closes and removes the file now; no file afterwards.
  void Remove() noexcept;

 private:
  std::string FPath;  // empty: no file
  int FFd = -1;
};

// The permission bits a new file gets: 0666 under the process's umask.
unsigned NewFileMode();

}  // namespace korvane
