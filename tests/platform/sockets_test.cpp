// The socket port: error numbers, asynchronous selection and its re-enabling rules, and the
// asynchronous look-up, against loopback peers.
#include "platform/sockets.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <netdb.h>
#include <sys/resource.h>
#endif

#include <chrono>
#include <thread>
#include <vector>

#include "support/peer_socket.h"

namespace verdan::platform {
namespace {

using verdan::testing::ClosePeer;
using verdan::testing::PeerAccept;
using verdan::testing::PeerLen;
using verdan::testing::PeerSend;
using verdan::testing::PeerSocket;

using namespace std::chrono_literals;

constexpr std::int32_t kMsg = 6180;

class SocketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WsaData data;
    ASSERT_EQ(WsaStartup(0x0002, data), 0);
    EXPECT_EQ(data.version, 0x0002);
    listen_ = PeerSocket();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listen_, 8);
    PeerLen len = sizeof sa;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = sa.sin_port;
  }
  void TearDown() override {
    ClosePeer(listen_);
    WsaCleanup();
  }
  SockAddrIn Target(std::uint16_t port = 0) {
    SockAddrIn a;
    a.port = port ? port : port_;
    a.address = InetAddr("127.0.0.1");
    return a;
  }
  // The next event within the limit (kEventNone when none came).
  Event Next(std::chrono::milliseconds limit = 5s) { return queue_.WaitFor(limit); }

  EventQueue queue_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(SocketsTest, AsynchronousConnectReportsConnectThenWrite) {
  SocketHandle s = Socket(kAfInet, kSockStream, 0);
  ASSERT_NE(s, kInvalidSocket);
  ASSERT_EQ(AsyncSelect(s, queue_.Id(), kMsg, kFdRead | kFdWrite | kFdConnect | kFdClose), 0);
  int rc = Connect(s, Target());
  if (rc != 0) {
    EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);
  }
  Event e = Next();
  EXPECT_EQ(e.code, kMsg);
  EXPECT_EQ(e.wparam, s);
  EXPECT_EQ(SelectEventOf(e.lparam), kFdConnect);
  EXPECT_EQ(SelectErrorOf(e.lparam), 0);
  e = Next();
  EXPECT_EQ(SelectEventOf(e.lparam), kFdWrite);
  // No second FD_WRITE without a would-block or a new selection.
  EXPECT_EQ(Next(200ms).code, kEventNone);
  ASSERT_EQ(AsyncSelect(s, queue_.Id(), kMsg, kFdRead | kFdWrite | kFdClose), 0);
  EXPECT_EQ(SelectEventOf(Next().lparam), kFdWrite);
  EXPECT_EQ(CloseSocket(s), 0);
  EXPECT_EQ(CloseSocket(s), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEnotsock);
}

TEST_F(SocketsTest, RefusedConnectNumbers) {
  int tmp = PeerSocket();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(tmp, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  PeerLen len = sizeof sa;
  ::getsockname(tmp, reinterpret_cast<sockaddr*>(&sa), &len);
  ClosePeer(tmp);
  SocketHandle blocking = Socket(kAfInet, kSockStream, 0);
  EXPECT_EQ(Connect(blocking, Target(sa.sin_port)), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEconnrefused);
  CloseSocket(blocking);
  SocketHandle async = Socket(kAfInet, kSockStream, 0);
  AsyncSelect(async, queue_.Id(), kMsg, kFdConnect | kFdRead | kFdWrite | kFdClose);
  Connect(async, Target(sa.sin_port));
  Event e = Next();
  EXPECT_EQ(SelectEventOf(e.lparam), kFdConnect);
  EXPECT_EQ(SelectErrorOf(e.lparam), kWsaEconnrefused);
  EXPECT_EQ(Next(200ms).code, kEventNone);  // nothing after a failed connect
  CloseSocket(async);
}

TEST_F(SocketsTest, ReadIsReportedAgainOnlyAfterRecvAndCloseOnce) {
  SocketHandle s = Socket(kAfInet, kSockStream, 0);
  ASSERT_EQ(Connect(s, Target()), 0);  // blocking before selection
  int peer = PeerAccept(listen_);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(AsyncSelect(s, queue_.Id(), kMsg, kFdRead | kFdClose), 0);
  PeerSend(peer, "abcdef", 6);
  Event e = Next();
  EXPECT_EQ(SelectEventOf(e.lparam), kFdRead);
  PeerSend(peer, "gh", 2);
  EXPECT_EQ(Next(200ms).code, kEventNone);  // not again until a recv
  char buf[4];
  EXPECT_EQ(Recv(s, buf, 4, 0), 4);
  EXPECT_EQ(SelectEventOf(Next().lparam), kFdRead);  // data remains
  char rest[16];
  EXPECT_EQ(Recv(s, rest, sizeof rest, 0), 4);
  EXPECT_EQ(Recv(s, rest, sizeof rest, 0), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);
  ClosePeer(peer);
  bool sawClose = false;
  for (int i = 0; i < 3 && !sawClose; ++i) {
    e = Next();
    if (SelectEventOf(e.lparam) == kFdClose) {
      sawClose = true;
      EXPECT_EQ(SelectErrorOf(e.lparam), 0);
    }
  }
  EXPECT_TRUE(sawClose);
  EXPECT_EQ(Recv(s, rest, sizeof rest, 0), 0);
  EXPECT_EQ(Next(200ms).code, kEventNone);  // FD_CLOSE only once
  CloseSocket(s);
}

TEST_F(SocketsTest, LocalReceiveShutdownIsNotThePeersClose) {
  SocketHandle s = Socket(kAfInet, kSockStream, 0);
  ASSERT_EQ(Connect(s, Target()), 0);
  int peer = PeerAccept(listen_);
  ASSERT_EQ(AsyncSelect(s, queue_.Id(), kMsg, kFdRead | kFdClose), 0);
  ASSERT_EQ(Shutdown(s, kSdReceive), 0);
  EXPECT_EQ(Next(200ms).code, kEventNone);
  char buf[4];
  EXPECT_EQ(Recv(s, buf, 4, 0), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEshutdown);
  ClosePeer(peer);
  EXPECT_EQ(SelectEventOf(Next().lparam), kFdClose);
  CloseSocket(s);
}

TEST_F(SocketsTest, AsynchronousLookUpAndCancel) {
  std::uint32_t h = AsyncGetHostByName(queue_.Id(), 3109, "localhost");
  ASSERT_NE(h, 0u);
  Event e = Next();
  EXPECT_EQ(e.code, 3109);
  EXPECT_EQ(e.wparam, h);
  EXPECT_EQ(SelectErrorOf(e.lparam), 0);
  auto entry = std::static_pointer_cast<HostEntry>(e.data);
  ASSERT_TRUE(entry);
  ASSERT_FALSE(entry->addresses.empty());
  EXPECT_EQ(InetNtoa(entry->addresses.front()), "127.0.0.1");
  EXPECT_EQ(CancelAsyncRequest(h), kSocketError);  // already completed

  std::uint32_t bad = AsyncGetHostByName(queue_.Id(), 3109, "no-such-host.invalid");
  e = Next();
  EXPECT_EQ(e.wparam, bad);
  EXPECT_GE(SelectErrorOf(e.lparam), kWsaHostNotFound);
  EXPECT_LE(SelectErrorOf(e.lparam), kWsaNoData);

  for (int i = 0; i < 5; ++i) {
    std::uint32_t c = AsyncGetHostByName(queue_.Id(), 3109, "localhost");
    if (CancelAsyncRequest(c) == 0) {
      EXPECT_EQ(Next(300ms).code, kEventNone);  // a cancelled look-up posts nothing
      return;
    }
    Next();  // it finished before the cancel; try again
  }
}

TEST(SocketsPort, CleanUpWithLookUpsStillRunningThenStartAgain) {
  EventQueue queue;
  for (int round = 0; round < 3; ++round) {
    WsaData data;
    ASSERT_EQ(WsaStartup(0x0002, data), 0);
    for (int i = 0; i < 8; ++i) ASSERT_NE(AsyncGetHostByName(queue.Id(), 3109, "localhost"), 0u);
    ASSERT_EQ(WsaCleanup(), 0);  // cancels and waits for the workers still resolving
  }
  // Answers that were already on their way are all this queue may hold; nothing comes late.
  while (queue.WaitFor(50ms).code != kEventNone) {
  }
  WsaData data;
  ASSERT_EQ(WsaStartup(0x0002, data), 0);
  std::uint32_t h = AsyncGetHostByName(queue.Id(), 3109, "localhost");
  Event e = queue.WaitFor(5s);
  EXPECT_EQ(e.code, 3109);
  EXPECT_EQ(e.wparam, h);
  EXPECT_EQ(SelectErrorOf(e.lparam), 0);
  EXPECT_EQ(WsaCleanup(), 0);
  EXPECT_EQ(WsaCleanup(), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
}

// The lowest descriptor number free now: what the next socket would get.
int LowestFreeDescriptor() {
  int fd = PeerSocket();
  ClosePeer(fd);
  return fd;
}

TEST(SocketsPort, StartUpsRacingTheLastCleanUpLeaveOneWorkingPort) {
  [[maybe_unused]] const int lowest = LowestFreeDescriptor();
  auto churn = [] {
    for (int i = 0; i < 200; ++i) {
      WsaData d;
      if (WsaStartup(0x0002, d) == 0) WsaCleanup();
    }
  };
  std::thread other(churn);
  churn();
  other.join();
#ifndef _WIN32
  // Every start-up's wake-up was closed again (POSIX hands out the lowest free number).
  EXPECT_EQ(LowestFreeDescriptor(), lowest);
#endif
  // The count is back at nothing.
  EXPECT_EQ(WsaCleanup(), kSocketError);
  // One selector serves the next start-up: a connect is reported once.
  WsaData data;
  ASSERT_EQ(WsaStartup(0x0002, data), 0);
  int listener = PeerSocket();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(listener, 1);
  PeerLen len = sizeof sa;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  EventQueue queue;
  SocketHandle s = Socket(kAfInet, kSockStream, 0);
  ASSERT_EQ(AsyncSelect(s, queue.Id(), kMsg, kFdConnect), 0);
  SockAddrIn target;
  target.port = sa.sin_port;
  target.address = InetAddr("127.0.0.1");
  Connect(s, target);
  EXPECT_EQ(SelectEventOf(queue.WaitFor(5s).lparam), kFdConnect);
  EXPECT_EQ(queue.WaitFor(200ms).code, kEventNone);
  CloseSocket(s);
  ClosePeer(listener);
  EXPECT_EQ(WsaCleanup(), 0);
}

#ifndef _WIN32
TEST(SocketsPort, StartUpWithoutADescriptorForTheWakeUpFailsAndCountsNothing) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  WsaData data;
  const int rc = WsaStartup(0x0002, data);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(rc, kWsaEmfile);  // not a port whose selector can never be woken
  EXPECT_EQ(WsaCleanup(), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
  ASSERT_EQ(WsaStartup(0x0002, data), 0);
  SocketHandle s = Socket(kAfInet, kSockStream, 0);
  EXPECT_NE(s, kInvalidSocket);
  EXPECT_EQ(CloseSocket(s), 0);
  EXPECT_EQ(WsaCleanup(), 0);
}
#endif

TEST(SocketsPort, NumbersAndAddresses) {
  EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaErrorFromResolver(EAI_NONAME), 11001);
  EXPECT_EQ(InetAddr("10.1.2.3"), htonl(0x0A010203));
  EXPECT_EQ(InetAddr("mail.example.com"), kInaddrNone);
  EXPECT_EQ(InetAddr(""), kInaddrNone);
  EXPECT_EQ(Socket(kAfInet, kSockStream, 0), kInvalidSocket);  // before any start-up
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
}

}  // namespace
}  // namespace verdan::platform
