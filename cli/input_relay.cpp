#include "cli/input_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/cli_util.h"

namespace korvane::cli {

namespace {

[[noreturn]] void Unavailable(int error) {
  throw EUsageError(std::string("standard input cannot be read again after sniffing (") +
                    std::strerror(error) + ")");
}

}  // namespace

TInputRelay::TInputRelay(const std::string& keptFile) : FKeptFile(keptFile) {
  int stop[2] = {-1, -1};
  if (::pipe2(stop, O_CLOEXEC) != 0) Unavailable(errno);
  FStopRead = TFileHandle(stop[0]);
  FStopWrite = TFileHandle(stop[1]);
  int pipeEnds[2] = {-1, -1};
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) Unavailable(errno);
  const TFileHandle read(pipeEnds[0]);  // standard input holds it from here on
  FWrite = TFileHandle(pipeEnds[1]);
  // The writes wait in poll, where a stop can reach them.
  ::fcntl(FWrite.Fd(), F_SETFL, ::fcntl(FWrite.Fd(), F_GETFL) | O_NONBLOCK);
  FSaved = TFileHandle(::fcntl(0, F_DUPFD_CLOEXEC, 3));
  if (!FSaved.Valid() || ::dup2(read.Fd(), 0) != 0) Unavailable(errno);
  try {
    FThread = std::thread([this] { Copy(); });
  } catch (...) {
    ::dup2(FSaved.Fd(), 0);  // the original standard input back; the error goes on
    throw;
  }
}

TInputRelay::~TInputRelay() {
  Finish();
  ::dup2(FSaved.Fd(), 0);
}

std::string TInputRelay::Finish() {
  if (!FFinished) {
    FFinished = true;
    const char stop = 1;
    while (::write(FStopWrite.Fd(), &stop, 1) < 0 && errno == EINTR) {
    }
    FThread.join();
  }
  return FFailure;
}

bool TInputRelay::Wait(int fd, short events) {
  pollfd fds[2] = {{fd, events, 0}, {FStopRead.Fd(), POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

bool TInputRelay::CopyFrom(int from, const char* what) {
  char buffer[64 << 10];
  for (;;) {
    if (from == FSaved.Fd() && !Wait(from, POLLIN)) return false;
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      FFailure = std::string(what) + " cannot be read (" + std::strerror(errno) + ")";
      return false;
    }
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      if (!Wait(FWrite.Fd(), POLLOUT)) return false;
      const ssize_t w = ::write(FWrite.Fd(), buffer + at, static_cast<std::size_t>(n - at));
      if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // No reader left (EPIPE): the run stopped reading; nothing to say.
      if (w < 0) return false;
      at += w;
    }
  }
}

void TInputRelay::Copy() {
  // A reader gone makes the write fail with EPIPE instead of ending the
  // process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  const TFileHandle kept(::open(FKeptFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!kept.Valid()) {
    FFailure = "the first bytes of standard input, kept in " + FKeptFile + ", cannot be read (" +
               std::strerror(errno) + ")";
  } else if (CopyFrom(kept.Fd(), "the first bytes of standard input")) {
    CopyFrom(FSaved.Fd(), "standard input");
  }
  FWrite.Close();  // the end of the pipe's input for the run reading it
}

}  // namespace korvane::cli
