// Plain sockets for the tests' own loopback peers, the same on POSIX systems and on Windows,
// so that a peer is never the port under test. Descriptors are ints (WinSock handles fit).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>

namespace verdan::testing {

#ifdef _WIN32
using PeerLen = int;

// WinSock counts start-ups: the peers' own keeps it running whatever the port under test does.
inline void StartPeerSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

inline int PeerSocket(bool nonBlocking = false) {
  StartPeerSockets();
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  if (nonBlocking) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
  }
  return static_cast<int>(s);
}
inline void ClosePeer(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
inline int PeerAccept(int listener) {
  SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
inline long PeerSend(int fd, const void* data, std::size_t n, bool dontWait = false) {
  if (dontWait) {
    u_long on = 1;
    ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
  }
  long sent =
      ::send(static_cast<SOCKET>(fd), static_cast<const char*>(data), static_cast<int>(n), 0);
  if (dontWait) {
    u_long off = 0;
    ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &off);
  }
  return sent;
}
inline long PeerRecv(int fd, void* buffer, std::size_t n) {
  return ::recv(static_cast<SOCKET>(fd), static_cast<char*>(buffer), static_cast<int>(n), 0);
}
inline void PeerSetOption(int fd, int level, int name, int value) {
  ::setsockopt(static_cast<SOCKET>(fd), level, name, reinterpret_cast<const char*>(&value),
               sizeof value);
}
// The next close of `fd` resets the connection instead of ending it in order.
inline void PeerResetOnClose(int fd) {
  linger l{1, 0};
  ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
               sizeof l);
}
// Waits for `fd` to be readable for at most `ms`.
inline bool WaitReadable(int fd, int ms) {
  WSAPOLLFD p{static_cast<SOCKET>(fd), POLLRDNORM, 0};
  return ::WSAPoll(&p, 1, ms) > 0;
}
inline bool WaitWritable(int fd, int ms) {
  WSAPOLLFD p{static_cast<SOCKET>(fd), POLLWRNORM, 0};
  return ::WSAPoll(&p, 1, ms) > 0 && (p.revents & POLLWRNORM) != 0;
}
#else
using PeerLen = socklen_t;

inline int PeerSocket(bool nonBlocking = false) {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}
inline void ClosePeer(int fd) { ::close(fd); }
inline int PeerAccept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
inline long PeerSend(int fd, const void* data, std::size_t n, bool dontWait = false) {
  return ::send(fd, data, n, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
}
inline long PeerRecv(int fd, void* buffer, std::size_t n) { return ::recv(fd, buffer, n, 0); }
inline void PeerSetOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}
// The next close of `fd` resets the connection instead of ending it in order.
inline void PeerResetOnClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}
// Waits for `fd` to be readable for at most `ms`.
inline bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}
inline bool WaitWritable(int fd, int ms) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT) != 0;
}
#endif

}  // namespace verdan::testing
