// Windows: the console's control events (Ctrl+C, Ctrl+Break, the console window closed, the
// user logging off, the system shutting down) take the place of the signals. The system runs
// a control handler on a thread of its own, so the cleanup runs there directly; the handler
// then declines the event and the default handler ends the process as it would have.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/termination.h"

namespace verdan::platform {
namespace {

std::atomic<bool> gSignalled{false};
std::mutex gCleanupMutex;
std::function<void()> gCleanup;

BOOL WINAPI Handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // A second event while the cleanup works is swallowed: the first one ends the process.
  if (gSignalled.exchange(true)) return TRUE;
  std::function<void()> cleanup;
  {
    std::lock_guard lock(gCleanupMutex);
    cleanup = gCleanup;
  }
  if (cleanup) cleanup();
  return FALSE;
}

}  // namespace

bool OnTerminationSignal(std::function<void()> cleanup) {
  {
    std::lock_guard lock(gCleanupMutex);
    gCleanup = std::move(cleanup);
  }
  static const bool installed = ::SetConsoleCtrlHandler(Handler, TRUE) != 0;
  return installed;
}

}  // namespace verdan::platform
