#include "platform/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/workers.h"

namespace verdan::platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int gPipe[2] = {-1, -1};
std::atomic<bool> gSignalled{false};
std::mutex gCleanupMutex;
std::function<void()> gCleanup;

// Only async-signal-safe work here: the first signal is handed to the cleanup thread.
void Handler(int signo) {
  if (gSignalled.exchange(true)) return;
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t n = ::write(gPipe[1], &b, 1);
  errno = saved;
}

void CleanupThread() {
  unsigned char b = 0;
  for (;;) {
    ssize_t n = ::read(gPipe[0], &b, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR) continue;
    return;  // the pipe is gone: nothing will be signalled through it
  }
  std::function<void()> cleanup;
  {
    std::lock_guard lock(gCleanupMutex);
    cleanup = gCleanup;
  }
  if (cleanup) cleanup();
  // End as the signal would have ended the program: with its default action.
  int signo = b;
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(signo, &dfl, nullptr);
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, signo);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signo);
  ::_exit(128 + signo);  // only reached if the default action did not end the process
}

}  // namespace

bool OnTerminationSignal(std::function<void()> cleanup) {
  {
    std::lock_guard lock(gCleanupMutex);
    gCleanup = std::move(cleanup);
  }
  static const bool installed = [] {
    if (::pipe2(gPipe, O_CLOEXEC) != 0) return false;
    std::thread cleanupThread;
    if (!StartThread(cleanupThread, CleanupThread)) return false;
    cleanupThread.detach();
    struct sigaction sa {};
    sa.sa_handler = Handler;
    ::sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    bool ok = true;
    for (int s : kSignals) {
      // A signal the parent told us to ignore (nohup) stays ignored.
      struct sigaction old {};
      if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
      ok = ::sigaction(s, &sa, nullptr) == 0 && ok;
    }
    return ok;
  }();
  return installed;
}

}  // namespace verdan::platform
