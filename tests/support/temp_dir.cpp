#include "support/temp_dir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace korvane::test {

TTempDir::TTempDir() {
  std::string base = std::filesystem::temp_directory_path().string() + "/korvane_XXXXXX";
  std::vector<char> tmpl(base.begin(), base.end());
  tmpl.push_back('\0');
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FDir = tmpl.data();
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Files a test made unreadable must still go.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(FDir, ec)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(FDir, ec);
}

std::string TTempDir::Put(const std::string& name, const std::string& bytes) const {
  std::string path = Path(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string TTempDir::Get(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace korvane::test
