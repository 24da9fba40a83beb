#include "io/fileio.h"
#include "io/background_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io/spill_buffer.h"
#include "core/sysutils.h"
#include "core/temporary_file.h"
#include "tests/support/unprivileged.h"

namespace korvane {
namespace {

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvane_fileio_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string ReadAll(const TFileHandle& h) {
    std::string all;
    char buf[3];
    std::size_t n = 0;
    while (ReadFile(h, buf, sizeof buf, n) && n > 0) all.append(buf, n);
    return all;
  }

  std::string dir_;
};

TEST_F(FileIoTest, ReadsWholeFileInShortChunksAndMeasuresIt) {
  Put("a.txt", std::string("ab\0c\r\n\xff", 7));
  TFileHandle h = OpenFileForRead(Path("a.txt"));
  ASSERT_TRUE(h.Valid());
  EXPECT_EQ(FileSize(h), 7);
  EXPECT_EQ(ReadAll(h), std::string("ab\0c\r\n\xff", 7));
  std::size_t n = 99;
  EXPECT_TRUE(ReadFile(h, nullptr, 0, n));
  EXPECT_EQ(n, 0u);
}

TEST_F(FileIoTest, SecondOpenFailsWhileHeldEvenInThisProcess) {
  Put("held.txt", "x");
  TFileHandle first = OpenFileForRead(Path("held.txt"));
  ASSERT_TRUE(first.Valid());
  TFileHandle second = OpenFileForRead(Path("held.txt"));
  EXPECT_FALSE(second.Valid());
  EXPECT_EQ(GetLastError(), EWOULDBLOCK);
  EXPECT_FALSE(CreateFileForWrite(Path("held.txt")).Valid());
  EXPECT_EQ(GetLastError(), EWOULDBLOCK);

  // Released by closing, and by moving the handle away and dropping it.
  TFileHandle moved(std::move(first));
  EXPECT_FALSE(first.Valid());  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(OpenFileForRead(Path("held.txt")).Valid());
  EXPECT_TRUE(moved.Close());
  EXPECT_TRUE(OpenFileForRead(Path("held.txt")).Valid());
}

TEST_F(FileIoTest, CreateForWriteLeavesAHeldFileUntouched) {
  Put("out.txt", "precious");
  {
    TFileHandle reader = OpenFileForRead(Path("out.txt"));
    ASSERT_TRUE(reader.Valid());
    EXPECT_FALSE(CreateFileForWrite(Path("out.txt")).Valid());
    EXPECT_EQ(Get("out.txt"), "precious");
  }
  TFileHandle w = CreateFileForWrite(Path("out.txt"));
  ASSERT_TRUE(w.Valid());
  EXPECT_EQ(Get("out.txt"), "");  // emptied once the lock is ours
  ASSERT_TRUE(WriteFile(w, "new\r\n", 5));
  EXPECT_EQ(FileSize(w), 5);
  EXPECT_FALSE(OpenFileForRead(Path("out.txt")).Valid());
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(Get("out.txt"), "new\r\n");
}

TEST_F(FileIoTest, FailuresGiveAnInvalidHandleAndTheOsError) {
  EXPECT_FALSE(OpenFileForRead(Path("missing.txt")).Valid());
  EXPECT_EQ(GetLastError(), ENOENT);
  EXPECT_FALSE(OpenFileForRead(dir_).Valid());
  EXPECT_EQ(GetLastError(), EISDIR);
  EXPECT_FALSE(CreateFileForWrite(dir_).Valid());
  EXPECT_EQ(GetLastError(), EISDIR);
  EXPECT_FALSE(CreateFileForWrite(Path("no/such/dir.txt")).Valid());
  EXPECT_EQ(GetLastError(), ENOENT);

  TFileHandle none;
  std::size_t n = 1;
  char c;
  EXPECT_FALSE(ReadFile(none, &c, 1, n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), EBADF);
  EXPECT_FALSE(WriteFile(none, "x", 1));
  EXPECT_EQ(FileSize(none), -1);
  EXPECT_TRUE(none.Close());  // closing nothing is not an error
}

TEST_F(FileIoTest, UnreadableFileIsRefused) {
  Put("secret.txt", "x");
  ASSERT_EQ(chmod(Path("secret.txt").c_str(), 0), 0);
  const std::string path = Path("secret.txt");
  auto refused = [&path] {
    TFileHandle h = OpenFileForRead(path);
    return !h.Valid() && GetLastError() == EACCES;
  };
  // Root passes every permission check: then it is tried as an unprivileged
  // user in a child process.
  const auto result = test_support::RunWithoutRoot(refused);
  if (result == test_support::TChildResult::CannotDropPrivileges) {
    GTEST_SKIP() << "cannot drop privileges here";
  }
  EXPECT_EQ(result, test_support::TChildResult::Passed);
}

// A named pipe's open waits for its writer, as cat's does, and the reads
// then take what it writes up to its end.
TEST_F(FileIoTest, FifoOpenedBeforeItsWriterReadsWhatItWrites) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  std::string read;
  std::thread reader([&] {
    TFileHandle h = OpenFileForRead(Path("fifo"));
    char buffer[16];
    std::size_t n = 0;
    while (h.Valid() && ReadFile(h, buffer, sizeof buffer, n) && n > 0) read.append(buffer, n);
  });
  const int w = ::open(Path("fifo").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(w, 0);
  ASSERT_EQ(::write(w, "a,b\n", 4), 4);
  ::close(w);
  reader.join();
  EXPECT_EQ(read, "a,b\n");
}

TEST_F(FileIoTest, DescriptorsAreCloseOnExec) {
  Put("a.txt", "x");
  TFileHandle h = OpenFileForRead(Path("a.txt"));
  ASSERT_TRUE(h.Valid());
  EXPECT_NE(fcntl(h.Fd(), F_GETFD) & FD_CLOEXEC, 0);
  TFileHandle w = CreateFileForWrite(Path("b.txt"));
  ASSERT_TRUE(w.Valid());
  EXPECT_NE(fcntl(w.Fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(FileIoTest, SizesPastFourGibibytesAreWhole) {
  // A sparse file: no disk space is used.
  TFileHandle w = CreateFileForWrite(Path("big.bin"));
  ASSERT_TRUE(w.Valid());
  const off_t size = (off_t{5} << 30) + 3;
  if (ftruncate(w.Fd(), size) != 0) GTEST_SKIP() << "file system refuses sparse files";
  EXPECT_EQ(FileSize(w), static_cast<std::int64_t>(size));
  ASSERT_EQ(lseek(w.Fd(), size - 1, SEEK_SET), size - 1);
  ASSERT_TRUE(WriteFile(w, "z", 1));
  ASSERT_TRUE(w.Close());
  TFileHandle r = OpenFileForRead(Path("big.bin"));
  ASSERT_TRUE(r.Valid());
  ASSERT_EQ(lseek(r.Fd(), size - 2, SEEK_SET), size - 2);
  char buf[4];
  std::size_t n = 0;
  ASSERT_TRUE(ReadFile(r, buf, sizeof buf, n));
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'z');
}

TEST_F(FileIoTest, BackgroundWriterWritesInTurnAndEverythingFailsAfterAFailedWrite) {
  const std::uint64_t batches = HandOffBatches(THandOff::hoBackgroundWrite);
  {
    TFileHandle file = CreateFileForWrite(Path("out"));
    TBackgroundWriter writer(file);
    for (const std::string part : {"one ", "two ", "three"}) {
      writer.Start(part.data(), part.size());
      EXPECT_TRUE(writer.Wait());
    }
  }
  EXPECT_EQ(Get("out"), "one two three");
  EXPECT_EQ(HandOffBatches(THandOff::hoBackgroundWrite) - batches, 3u);

  TFileHandle full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (!full.Valid()) GTEST_SKIP() << "no /dev/full";
  TBackgroundWriter writer(full);
  writer.Start("x", 1);
  EXPECT_FALSE(writer.Wait());
  EXPECT_EQ(writer.Error(), ENOSPC);
  writer.Start("y", 1);
  EXPECT_FALSE(writer.Wait());
}

// The pipe every hand-off between two threads goes through: batches arrive
// whole and in order however the two threads' steps interleave, the
// producer never gets more than N ahead, and a consumer's failure stops the
// producer.
// A new file goes with its owner unless it took its target's place, also
// when the rename fails or another file is assigned over it.
TEST_F(FileIoTest, TemporaryFileStaysOnlyWhenItReplacesItsTarget) {
  Put("target", "old");
  {
    TTemporaryFile file(Path("target.XXXXXX"));
    ASSERT_TRUE(file.Made());
    ASSERT_EQ(::write(file.Fd(), "new", 3), 3);
    EXPECT_TRUE(file.Close());
    ::mkdir(Path("folder").c_str(), 0700);
    EXPECT_FALSE(file.Replace(Path("folder")));
    EXPECT_TRUE(file.Replace(Path("target")));
  }
  EXPECT_EQ(Get("target"), "new");
  {
    TTemporaryFile file(Path("gone.XXXXXX"));
    const std::string first = file.Path();
    Put("adopted", "x");
    file = TTemporaryFile::Adopt(Path("adopted"));
    EXPECT_NE(::access(first.c_str(), F_OK), 0);
  }
  EXPECT_NE(::access(Path("adopted").c_str(), F_OK), 0);
  EXPECT_FALSE(TTemporaryFile(Path("none/x.XXXXXX")).Made());
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"folder", "target"}));
}

TEST(BatchPipeTest, HandsBatchesOverInOrderAndStopsTheProducerOnFailure) {
  for (const int failAt : {0, 1, 7}) {  // 0: never
    SCOPED_TRACE(failAt);
    TBatchPipe<std::vector<int>, 2> pipe(THandOff::hoFormatAhead);
    std::vector<int> seen;
    std::thread consumer([&] {
      int taken = 0;
      while (const std::vector<int>* batch = pipe.Take()) {
        if (!pipe.Failed()) seen.insert(seen.end(), batch->begin(), batch->end());
        if (++taken == failAt) pipe.Fail();
        pipe.Release();
      }
    });
    int published = 0;
    while (published < 200) {
      std::vector<int>* batch = pipe.Acquire();
      if (batch == nullptr) break;
      batch->assign({published, published});
      pipe.Publish();
      ++published;
    }
    EXPECT_EQ(pipe.WaitReleased(), failAt == 0);
    pipe.Close();
    consumer.join();
    EXPECT_EQ(pipe.Acquire(), nullptr);
    const int kept = failAt == 0 ? 200 : failAt;
    // Published past the failure: at most the batches in the pipe.
    EXPECT_LE(published, failAt == 0 ? 200 : failAt + 2);
    ASSERT_EQ(seen.size(), 2u * static_cast<std::size_t>(kept));
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int>(i / 2));
  }
}

// What a spill buffer keeps reads back the same, across its file and its
// memory, and again after it is cleared; a file that cannot be made fails
// the append.
TEST(SpillBufferTest, ReadsBackWhatItKept) {
  TSpillBuffer buffer(10);
  std::string all;
  for (int round = 0; round < 2; ++round) {
    buffer.Clear();
    all.clear();
    for (int i = 0; i < 30; ++i) {
      // Some pieces outgrow the memory part and go to the file whole.
      const std::string piece(static_cast<std::size_t>(i % 13), static_cast<char>('a' + i + round));
      buffer.Append(piece);
      all += piece;
    }
    ASSERT_EQ(buffer.Size(), all.size());
    std::string out;
    for (std::size_t from = 0; from < all.size(); from += 3) {
      for (std::size_t count : {0, 1, 9, 23}) {
        if (from + count > all.size()) continue;
        buffer.Read(from, count, out);
        ASSERT_EQ(out, all.substr(from, count)) << round << ": " << from << "+" << count;
      }
    }
  }
  const char* saved = std::getenv("TMPDIR");
  const std::string tmpdir = saved != nullptr ? saved : "";
  setenv("TMPDIR", "/nonexistent/korvane", 1);
  TSpillBuffer failing(4);
  EXPECT_THROW(failing.Append("12345"), EInOutError);
  EXPECT_EQ(failing.Size(), 0u);
  if (saved != nullptr) {
    setenv("TMPDIR", tmpdir.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
}  // namespace korvane
