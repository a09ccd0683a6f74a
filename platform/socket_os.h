// The operating-system calls under the socket port: sockets.cpp keeps the registry of
// sockets, the selector loop with its re-enabling rules and the look-ups once; each system
// gives it these few primitives (socket_os.cpp on POSIX, socket_os_win.cpp on WinSock 2).
//
// Every result that can fail is 0 or a Windows socket error number (10035 would-block, ...),
// already translated from the system's own. A socket is named by its SocketHandle.
//
// The system's socket headers come with this one: the calls both systems name and use alike
// (connect, shutdown, getsockopt, getaddrinfo, inet_pton, ...) are made by the shared code
// directly, on Native(s), with LastError() for their failures.
//
// Thread-safety: the socket calls are as thread-safe as the system's. Start, Stop and Wake
// are called under the port's lock; Poll only from the selector thread, between Start and
// Stop.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <vector>

#include "platform/sockets.h"

namespace verdan::platform::socket_os {

// The system's own socket handle and address-length types.
#ifdef _WIN32
using NativeSocket = SOCKET;
using AddressLength = int;
#else
using NativeSocket = int;
using AddressLength = socklen_t;
#endif
inline NativeSocket Native(SocketHandle s) { return static_cast<NativeSocket>(s); }

// The calling thread's last failed socket call, as a Windows number.
int LastError();
// A socket's own error code (SO_ERROR) as a Windows number.
int ErrorNumber(int systemError);

// Brings the system's sockets up for the port and opens the selector's wake-up; Stop undoes
// both. Start returns 0 or the error number.
int Start();
void Stop();
// Ends a Poll that waits, or the next one. Never blocks.
void Wake();

// What the selector waits for on a socket...
constexpr unsigned kWatchRead = 1, kWatchWrite = 2, kWatchClose = 4;
// ...and what it saw there.
constexpr unsigned kReadable = 1, kWritable = 2;
constexpr unsigned kPeerClosed = 4;  // the peer's orderly close, where the system reports it apart
constexpr unsigned kHungUp = 8;
constexpr unsigned kFailed = 16;  // an error, or a handle the system no longer knows

struct PollItem {
  SocketHandle socket = kInvalidSocket;
  unsigned watch = 0;  // kWatch… bits
  unsigned seen = 0;   // what was seen, filled by Poll
};

// Waits until an item shows something, the wake-up comes, or `timeoutMs` passes (-1: no
// limit); a wake-up that came is used up. Negative when the system call failed (the caller
// then polls again with a fresh set).
int Poll(std::vector<PollItem>& items, int timeoutMs);

// How often, in ms, a pending connect's error state must be looked at besides Poll, because
// the system may not report a failed connect to it; -1 when it always does.
int PendingConnectRecheckMs();
// Whether a socket Poll called readable holds nothing to read, the peer's close on a system
// that need not report that close by itself. Looks, takes nothing.
bool ReadableButClosed(SocketHandle s);

// A new blocking IPv4 stream socket, not inherited by child processes.
int Create(int protocol, SocketHandle& s);
int Close(SocketHandle s);
int SetNonBlocking(SocketHandle s);
// Bytes moved, or kSocketError with the number in `error`.
int Send(SocketHandle s, const void* data, int length, int flags, int& error);
int Recv(SocketHandle s, void* buffer, int length, int flags, int& error);

// The system's part of a start-up's answer: its description and how many sockets it allows.
void Describe(WsaData& data);

}  // namespace verdan::platform::socket_os
