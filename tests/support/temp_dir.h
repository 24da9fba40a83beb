// A temporary directory for tests that work on real files: created empty,
// removed with everything in it when the object goes.
#pragma once

#include <string>

namespace korvane::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Dir() const { return FDir; }
  std::string Path(const std::string& name) const { return FDir + "/" + name; }
  // Writes bytes to the file name (replacing it) and returns its path.
  std::string Put(const std::string& name, const std::string& bytes) const;
  // The whole content of the file name; empty when it cannot be read.
  std::string Get(const std::string& name) const;

 private:
  std::string FDir;
};

}  // namespace korvane::test
