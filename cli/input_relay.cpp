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

TInputRelay::TInputRelay(const std::string& keptFile) : FKeptFile(keptFile) {
  int pipeEnds[2] = {-1, -1};
  if (::pipe2(FStop, O_CLOEXEC) != 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    const int error = errno;
    for (int fd : FStop) {
      if (fd >= 0) ::close(fd);
    }
    throw EUsageError(std::string("standard input cannot be read again after sniffing (") +
                      std::strerror(error) + ")");
  }
  FSaved = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  FWrite = pipeEnds[1];
  // The writes wait in poll, where a stop can reach them.
  ::fcntl(FWrite, F_SETFL, ::fcntl(FWrite, F_GETFL) | O_NONBLOCK);
  const bool moved = FSaved >= 0 && ::dup2(pipeEnds[0], 0) == 0;
  const int error = errno;
  ::close(pipeEnds[0]);
  if (!moved) {
    if (FSaved >= 0) ::close(FSaved);
    for (int fd : {FWrite, FStop[0], FStop[1]}) ::close(fd);
    throw EUsageError(std::string("standard input cannot be read again after sniffing (") +
                      std::strerror(error) + ")");
  }
  FThread = std::thread([this] { Copy(); });
}

TInputRelay::~TInputRelay() {
  Finish();
  ::dup2(FSaved, 0);
  for (int fd : {FSaved, FStop[0], FStop[1]}) ::close(fd);
}

std::string TInputRelay::Finish() {
  if (!FFinished) {
    FFinished = true;
    const char stop = 1;
    while (::write(FStop[1], &stop, 1) < 0 && errno == EINTR) {
    }
    FThread.join();
  }
  return FFailure;
}

bool TInputRelay::Wait(int fd, short events) {
  pollfd fds[2] = {{fd, events, 0}, {FStop[0], POLLIN, 0}};
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
    if (from == FSaved && !Wait(from, POLLIN)) return false;
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      FFailure = std::string(what) + " cannot be read (" + std::strerror(errno) + ")";
      return false;
    }
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      if (!Wait(FWrite, POLLOUT)) return false;
      const ssize_t w = ::write(FWrite, buffer + at, static_cast<std::size_t>(n - at));
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
  const int kept = ::open(FKeptFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (kept < 0) {
    FFailure = "the first bytes of standard input, kept in " + FKeptFile + ", cannot be read (" +
               std::strerror(errno) + ")";
  } else {
    if (CopyFrom(kept, "the first bytes of standard input")) CopyFrom(FSaved, "standard input");
    ::close(kept);
  }
  ::close(FWrite);
}

}  // namespace korvane::cli
