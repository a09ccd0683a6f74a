// The socket port's system calls on POSIX. The selector's wake-up is an eventfd.
#include "platform/socket_os.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace verdan::platform {
namespace socket_os {
namespace {

// Set by Start before the selector exists and cleared by Stop after it has ended.
int g_wakeFd = -1;

int Check(int rc) { return rc == 0 ? 0 : LastError(); }
// The bytes a transfer moved, or kSocketError with the number in `error`.
int Moved(ssize_t n, int& error) {
  return n >= 0 ? static_cast<int>(n) : (error = LastError(), kSocketError);
}

// The poll bits that wait for what the selector watches.
short EventsOf(unsigned watch) {
  return static_cast<short>(((watch & kWatchRead) ? POLLIN : 0) |
                            ((watch & kWatchWrite) ? POLLOUT : 0) |
                            ((watch & kWatchClose) ? POLLRDHUP : 0));
}

// What the poll bits of a socket tell, in the port's terms.
unsigned SeenOf(short re) {
  return ((re & POLLIN) ? kReadable : 0u) | ((re & POLLOUT) ? kWritable : 0u) |
         ((re & POLLRDHUP) ? kPeerClosed : 0u) | ((re & POLLHUP) ? kHungUp : 0u) |
         ((re & (POLLERR | POLLNVAL)) ? kFailed : 0u);
}

}  // namespace

// The shared code passes kSdSend and kSdBoth to shutdown() as they are.
static_assert(SHUT_WR == int{kSdSend} && SHUT_RDWR == int{kSdBoth});

int LastError() { return WsaErrorFromErrno(errno); }
int ErrorNumber(int systemError) { return WsaErrorFromErrno(systemError); }

int Start() {
  g_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return g_wakeFd >= 0 ? 0 : LastError();
}

void Stop() {
  if (g_wakeFd >= 0) ::close(g_wakeFd);
  g_wakeFd = -1;
}

void Wake() {
  if (g_wakeFd >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(g_wakeFd, &one, sizeof one);
  }
}

int Poll(std::vector<PollItem>& items, int timeoutMs) {
  thread_local std::vector<pollfd> fds;
  fds.clear();
  fds.push_back(pollfd{g_wakeFd, POLLIN, 0});
  for (const PollItem& item : items)
    fds.push_back(pollfd{Native(item.socket), EventsOf(item.watch), 0});
  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (n < 0) return n;
  if (fds[0].revents) {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t r = ::read(g_wakeFd, &count, sizeof count);
  }
  for (std::size_t i = 0; i < items.size(); ++i) items[i].seen = SeenOf(fds[i + 1].revents);
  return n;
}

int PendingConnectRecheckMs() { return -1; }  // poll reports a failed connect

bool ReadableButClosed(SocketHandle) { return false; }  // POLLRDHUP reports the close

int Create(int protocol, SocketHandle& s) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (fd < 0) return LastError();
  if (fd == 0) {  // handle 0 means "no socket" to callers
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int err = moved < 0 ? LastError() : 0;
    ::close(fd);
    if (err != 0) return err;
    fd = moved;
  }
  s = static_cast<SocketHandle>(fd);
  return 0;
}

int Close(SocketHandle s) { return Check(::close(Native(s))); }

int SetNonBlocking(SocketHandle s) {
  int flags = ::fcntl(Native(s), F_GETFL);
  if (flags < 0 || ::fcntl(Native(s), F_SETFL, flags | O_NONBLOCK) != 0) return LastError();
  return 0;
}

int Send(SocketHandle s, const void* data, int length, int flags, int& error) {
  int system = flags & ~kSendMore;
#ifdef MSG_MORE
  if (flags & kSendMore) system |= MSG_MORE;
#endif
  // MSG_NOSIGNAL: a closed peer is an error number here, never a signal.
  return Moved(::send(Native(s), data, static_cast<std::size_t>(length), system | MSG_NOSIGNAL),
               error);
}

int Recv(SocketHandle s, void* buffer, int length, int flags, int& error) {
  return Moved(::recv(Native(s), buffer, static_cast<std::size_t>(length), flags), error);
}

void Describe(WsaData& data) {
  data.description = "POSIX sockets";
  rlimit rl{};
  data.maxSockets = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65535
                        ? static_cast<std::uint32_t>(rl.rlim_cur)
                        : 65535;
}

}  // namespace socket_os

int WsaErrorFromResolver(int result) {
  // clang-format off
  switch (result) {
    case 0: return 0;
    case EAI_NONAME: return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kWsaNoData;
#endif
    case EAI_AGAIN: return kWsaTryAgain;
    case EAI_FAIL: return kWsaNoRecovery;
    case EAI_MEMORY: return 8;  // WSA_NOT_ENOUGH_MEMORY
    case EAI_SYSTEM: return WsaErrorFromErrno(errno);
    default: return kWsaNoRecovery;
  }
  // clang-format on
}

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return std::string(name);
}

}  // namespace verdan::platform
