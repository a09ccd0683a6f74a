// The socket port's system calls on WinSock 2. WinSock already uses the port's error numbers.
// The selector waits in WSAPoll; its wake-up is a loopback datagram socket connected to
// itself, written to by the other threads.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket_os.h"

namespace verdan::platform {
namespace socket_os {
namespace {

// Set by Start before the selector exists and cleared by Stop after it has ended.
SOCKET g_wake = INVALID_SOCKET;

int Check(int rc) { return rc == 0 ? 0 : LastError(); }
// The bytes a transfer moved, or kSocketError with the number in `error`.
int Moved(int n, int& error) { return n != SOCKET_ERROR ? n : (error = LastError(), kSocketError); }

bool OpenWake() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::ioctlsocket(s, FIONBIO, &on) != 0) {
    ::closesocket(s);
    return false;
  }
  g_wake = s;
  return true;
}

// The poll bits that wait for what the selector watches. WSAPoll reports a hang-up (POLLHUP)
// and errors whatever was asked for, so a socket watched for its close alone is polled with
// no events.
short EventsOf(unsigned watch) {
  return static_cast<short>(((watch & kWatchRead) ? POLLRDNORM : 0) |
                            ((watch & kWatchWrite) ? POLLWRNORM : 0));
}

// What the poll bits of a socket tell, in the port's terms.
unsigned SeenOf(short re) {
  return ((re & POLLRDNORM) ? kReadable : 0u) | ((re & POLLWRNORM) ? kWritable : 0u) |
         ((re & POLLHUP) ? kHungUp : 0u) | ((re & (POLLERR | POLLNVAL)) ? kFailed : 0u);
}

}  // namespace

// The shared code passes kSdSend and kSdBoth to shutdown() as they are.
static_assert(SD_SEND == int{kSdSend} && SD_BOTH == int{kSdBoth});

int LastError() { return ::WSAGetLastError(); }
int ErrorNumber(int systemError) { return systemError; }

int Start() {
  WSADATA wsa{};
  int rc = ::WSAStartup(MAKEWORD(2, 2), &wsa);
  if (rc != 0) return rc;
  if (!OpenWake()) {
    rc = LastError();
    ::WSACleanup();
    return rc != 0 ? rc : kWsaSyscallFailure;
  }
  return 0;
}

void Stop() {
  if (g_wake == INVALID_SOCKET) return;
  ::closesocket(g_wake);
  g_wake = INVALID_SOCKET;
  ::WSACleanup();
}

void Wake() {
  if (g_wake != INVALID_SOCKET) {
    char one = 1;
    ::send(g_wake, &one, 1, 0);  // a full queue already holds a wake-up
  }
}

int Poll(std::vector<PollItem>& items, int timeoutMs) {
  thread_local std::vector<WSAPOLLFD> fds;
  fds.clear();
  fds.push_back(WSAPOLLFD{g_wake, POLLRDNORM, 0});
  for (const PollItem& item : items)
    fds.push_back(WSAPOLLFD{Native(item.socket), EventsOf(item.watch), 0});
  int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (n < 0) {
    // A socket closed while polled makes the whole call fail on some systems: the caller
    // looks again with the current set, and this pause keeps it from spinning on a set
    // that keeps failing.
    ::Sleep(1);
    return n;
  }
  if (fds[0].revents) {
    char drain[64];
    while (::recv(g_wake, drain, sizeof drain, 0) > 0) {
    }
  }
  for (std::size_t i = 0; i < items.size(); ++i) items[i].seen = SeenOf(fds[i + 1].revents);
  return n;
}

// Windows before 10 version 2004 never reports a failed connect to WSAPoll.
int PendingConnectRecheckMs() { return 250; }

// Whether a peer's orderly close shows as POLLHUP differs between Windows versions; readable
// with nothing to read is that close on every one.
bool ReadableButClosed(SocketHandle s) {
  char c = 0;
  return ::recv(Native(s), &c, 1, MSG_PEEK) == 0;
}

int Create(int protocol, SocketHandle& s) {
  SOCKET fd = ::WSASocketW(AF_INET, SOCK_STREAM, protocol, nullptr, 0,
                           WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) return LastError();
  // Socket handles fit in 32 bits (the system keeps them so for 32-bit peers).
  if (fd == 0 || fd >= kInvalidSocket) {
    ::closesocket(fd);
    return kWsaEmfile;
  }
  s = static_cast<SocketHandle>(fd);
  return 0;
}

int Close(SocketHandle s) { return Check(::closesocket(Native(s))); }

int SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return Check(::ioctlsocket(Native(s), FIONBIO, &on));
}

int Send(SocketHandle s, const void* data, int length, int flags, int& error) {
  // WinSock has no way to ask for a piece to be held for the next: the flag is dropped.
  return Moved(::send(Native(s), static_cast<const char*>(data), length, flags & ~kSendMore),
               error);
}

int Recv(SocketHandle s, void* buffer, int length, int flags, int& error) {
  return Moved(::recv(Native(s), static_cast<char*>(buffer), length, flags), error);
}

void Describe(WsaData& data) {
  data.description = "WinSock 2.2";
  data.maxSockets = 65535;
}

}  // namespace socket_os

// getaddrinfo's results are WinSock numbers already (EAI_NONAME is 11001, EAI_AGAIN 11002).
int WsaErrorFromResolver(int result) { return result; }

std::string LocalHostName() {
  char name[256] = {};
  DWORD size = sizeof name - 1;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return {};
  return std::string(name, size);
}

}  // namespace verdan::platform
