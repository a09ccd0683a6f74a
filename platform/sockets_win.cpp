// The socket port on WinSock 2. The selector thread waits in WSAPoll on the selected
// sockets and on a loopback datagram socket that other threads write to when the set changes.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/sockets.h"

namespace verdan::platform {
namespace {

thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return kSocketError;
}

// WinSock already reports the numbers the port promises.
int FailWsa() { return Fail(::WSAGetLastError()); }

// One socket under asynchronous selection (or merely known to the port).
struct Entry {
  ThreadId window = 0;
  std::int32_t message = 0;
  std::uint32_t mask = 0;
  std::uint64_t generation = 0;
  enum class Connect { kNone, kPending, kDone } connect = Connect::kNone;
  bool nonBlocking = false;
  bool readEnabled = true;
  bool writeArmed = false;
  bool closeSent = false;
  bool receiveShut = false;
  bool dead = false;  // no more events (failed connect, error without kFdClose)
};

struct LookUp {
  ThreadId window = 0;
  std::int32_t message = 0;
  bool cancelled = false;
  bool done = false;
  std::thread worker;
};

// The port's state: the selected sockets, the selector thread and the look-up workers.
class Port {
 public:
  std::mutex mutex;
  int startups = 0;
  std::unordered_map<SOCKET, Entry> entries;  // by socket
  std::uint64_t nextGeneration = 1;
  SOCKET wake = INVALID_SOCKET;  // a UDP socket connected to itself
  std::thread selector;
  bool stopping = false;
  std::unordered_map<std::uint32_t, std::unique_ptr<LookUp>> lookUps;
  std::uint32_t nextLookUp = 0;

  void Wake() {
    if (wake != INVALID_SOCKET) {
      char one = 1;
      ::send(wake, &one, 1, 0);  // a full queue already holds a wake-up
    }
  }
  bool OpenWake();
  void CloseWake() {
    if (wake != INVALID_SOCKET) ::closesocket(wake);
    wake = INVALID_SOCKET;
  }

  void Run();
  void ReapLookUps(std::vector<std::thread>& finished);
};

Port& ThePort() {
  static Port* port = new Port;  // never destroyed: sockets may be closed during exit
  return *port;
}

bool Port::OpenWake() {
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
  wake = s;
  return true;
}

int SoError(SOCKET fd) {
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return ::WSAGetLastError();
  return err;
}

void PostSelect(const Entry& e, SOCKET fd, std::uint32_t event, int error) {
  PostToThread(e.window,
               Event{e.message, static_cast<std::uint64_t>(fd), MakeSelectParam(event, error)});
}

void Port::Run() {
  std::vector<WSAPOLLFD> fds;
  std::vector<std::uint64_t> gens;
  std::unique_lock lock(mutex);
  while (!stopping) {
    fds.clear();
    gens.clear();
    fds.push_back(WSAPOLLFD{wake, POLLRDNORM, 0});
    gens.push_back(0);
    bool connectPending = false;
    for (auto& [fd, e] : entries) {
      if (e.mask == 0 || e.dead || e.closeSent || e.connect == Entry::Connect::kNone) continue;
      // WSAPoll reports a hang-up (POLLHUP) and errors whatever was asked for, so a socket
      // selected for kFdClose alone is watched with no events.
      short events = 0;
      if (e.connect == Entry::Connect::kPending) {
        events = POLLWRNORM;
        connectPending = true;
      } else {
        if ((e.mask & kFdRead) && e.readEnabled && !e.receiveShut) events |= POLLRDNORM;
        if ((e.mask & kFdWrite) && e.writeArmed) events |= POLLWRNORM;
      }
      if (events == 0 && !(e.mask & kFdClose)) continue;
      fds.push_back(WSAPOLLFD{fd, events, 0});
      gens.push_back(e.generation);
    }
    lock.unlock();
    // Windows before 10 version 2004 never reports a failed connect to WSAPoll: while one is
    // pending the selector looks at the sockets' error state every quarter second as well.
    int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), connectPending ? 250 : -1);
    lock.lock();
    if (n < 0) {
      // A socket closed while polled makes the whole call fail on some systems: look again
      // with the current set, without spinning on a set that keeps failing.
      lock.unlock();
      ::Sleep(1);
      lock.lock();
      continue;
    }
    if (fds[0].revents) {
      char drain[64];
      while (::recv(wake, drain, sizeof drain, 0) > 0) {
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      short re = fds[i].revents;
      if (re == 0 && connectPending) {
        auto it = entries.find(fds[i].fd);
        if (it != entries.end() && it->second.generation == gens[i] &&
            it->second.connect == Entry::Connect::kPending && SoError(fds[i].fd) != 0)
          re = POLLERR;
      }
      if (re == 0) continue;
      auto it = entries.find(fds[i].fd);
      if (it == entries.end() || it->second.generation != gens[i]) continue;  // closed meanwhile
      Entry& e = it->second;
      SOCKET fd = fds[i].fd;
      if (e.mask == 0 || e.dead || e.closeSent) continue;
      if (e.connect == Entry::Connect::kPending) {
        int so = SoError(fd);
        int err = so != 0 ? so : ((re & (POLLERR | POLLHUP)) ? kWsaEconnrefused : 0);
        e.connect = Entry::Connect::kDone;
        if (err != 0)
          e.dead = true;
        else if (e.mask & kFdWrite)
          e.writeArmed = true;
        if (e.mask & kFdConnect) PostSelect(e, fd, kFdConnect, err);
        continue;
      }
      // Whether a peer's orderly close shows as POLLHUP differs between Windows versions;
      // readable with nothing to read is that close on every one.
      if ((re & POLLRDNORM) && !(re & POLLHUP) && (e.mask & kFdClose)) {
        char c = 0;
        if (::recv(fd, &c, 1, MSG_PEEK) == 0) re |= POLLHUP;
      }
      if ((re & POLLRDNORM) && (e.mask & kFdRead) && e.readEnabled && !e.receiveShut) {
        e.readEnabled = false;
        PostSelect(e, fd, kFdRead, 0);
      }
      if ((re & POLLWRNORM) && (e.mask & kFdWrite) && e.writeArmed) {
        e.writeArmed = false;
        PostSelect(e, fd, kFdWrite, 0);
      }
      if (re & (POLLHUP | POLLERR | POLLNVAL)) {
        int err = SoError(fd);
        if (e.mask & kFdClose) {
          e.closeSent = true;
          PostSelect(e, fd, kFdClose, err);
        } else {
          e.dead = true;
        }
      }
    }
  }
}

void Port::ReapLookUps(std::vector<std::thread>& finished) {
  for (auto it = lookUps.begin(); it != lookUps.end();) {
    if (it->second->done) {
      finished.push_back(std::move(it->second->worker));
      it = lookUps.erase(it);
    } else {
      ++it;
    }
  }
}

bool Started() {
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  return p.startups > 0;
}

int ResolveFirst(const std::string& name, std::uint32_t& address, HostEntry* entry) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) return WsaErrorFromResolver(rc);
  int err = kWsaNoData;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    std::uint32_t a = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    if (err != 0) {
      address = a;
      err = 0;
    }
    if (entry) entry->addresses.push_back(a);
  }
  ::freeaddrinfo(result);
  return err;
}

}  // namespace

int WsaErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EWOULDBLOCK:
      return kWsaEwouldblock;
    case EAGAIN:
      return kWsaEwouldblock;
    case EINPROGRESS:
      return kWsaEwouldblock;
    case EINTR:
      return kWsaEintr;
    case EBADF:
      return kWsaEnotsock;
    case ENOTSOCK:
      return kWsaEnotsock;
    case EACCES:
      return kWsaEacces;
    case EPERM:
      return kWsaEacces;
    case EFAULT:
      return kWsaEfault;
    case EINVAL:
      return kWsaEinval;
    case EMFILE:
      return kWsaEmfile;
    case ENFILE:
      return kWsaEmfile;
    case EALREADY:
      return kWsaEalready;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
      return kWsaEconnreset;
    case ENOBUFS:
      return kWsaEnobufs;
    case ENOMEM:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case EPIPE:
      return kWsaEshutdown;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    default:
      return kWsaSyscallFailure;
  }
}

// getaddrinfo's results are WinSock numbers already (EAI_NONAME is 11001, EAI_AGAIN 11002).
int WsaErrorFromResolver(int result) { return result; }

int WsaStartup(std::uint16_t versionRequested, WsaData& data) {
  int major = versionRequested & 0xFF;
  int minor = versionRequested >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return 10092;  // WSAVERNOTSUPPORTED
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    if (p.startups == 0) {
      WSADATA wsa{};
      int rc = ::WSAStartup(MAKEWORD(2, 2), &wsa);
      if (rc != 0) return rc;
      if (!p.OpenWake()) {
        rc = ::WSAGetLastError();
        ::WSACleanup();
        return rc != 0 ? rc : kWsaSyscallFailure;
      }
      p.stopping = false;
      p.selector = std::thread([&p] { p.Run(); });
    }
    ++p.startups;
  }
  data.version = major >= 2 ? 0x0002 : versionRequested;
  data.highVersion = 0x0202;
  data.description = "WinSock 2.2";
  data.systemStatus = "Running";
  data.maxSockets = 65535;
  data.maxUdpDg = 65467;
  return 0;
}

int WsaCleanup() {
  Port& p = ThePort();
  std::thread selector;
  // A worker still resolving uses its record until it ends: the records live until joined.
  std::vector<std::unique_ptr<LookUp>> lookUps;
  {
    std::lock_guard lock(p.mutex);
    if (p.startups == 0) return Fail(kWsaNotInitialised);
    if (--p.startups > 0) return 0;
    p.stopping = true;
    p.Wake();
    selector = std::move(p.selector);
    for (auto& [h, l] : p.lookUps) {
      l->cancelled = true;
      lookUps.push_back(std::move(l));
    }
    p.lookUps.clear();
  }
  if (selector.joinable()) selector.join();
  for (auto& l : lookUps)
    if (l->worker.joinable()) l->worker.join();
  std::lock_guard lock(p.mutex);
  if (p.startups == 0 && p.wake != INVALID_SOCKET) {
    p.CloseWake();
    ::WSACleanup();
  }
  return 0;
}

int WsaGetLastError() { return t_lastError; }

SocketHandle Socket(int family, int type, int protocol) {
  if (!Started()) return Fail(kWsaNotInitialised), kInvalidSocket;
  if (family != kAfInet) return Fail(10047), kInvalidSocket;
  if (type != kSockStream) return Fail(10044), kInvalidSocket;
  SOCKET fd = ::WSASocketW(AF_INET, SOCK_STREAM, protocol, nullptr, 0,
                           WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) return FailWsa(), kInvalidSocket;
  // Socket handles fit in 32 bits (the system keeps them so for 32-bit peers).
  if (fd == 0 || fd >= kInvalidSocket) {
    ::closesocket(fd);
    return Fail(kWsaEmfile), kInvalidSocket;
  }
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  Entry e;
  e.generation = p.nextGeneration++;
  p.entries[fd] = e;
  return static_cast<SocketHandle>(fd);
}

int Connect(SocketHandle s, const SockAddrIn& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = address.port;
  sa.sin_addr.s_addr = address.address;
  SOCKET fd = static_cast<SOCKET>(s);
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it == p.entries.end()) return Fail(kWsaEnotsock);
  }
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int err = rc == 0 ? 0 : ::WSAGetLastError();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it != p.entries.end()) {
    Entry& e = it->second;
    if (!e.nonBlocking) {
      if (rc == 0) e.connect = Entry::Connect::kDone;
    } else if (rc != 0 && err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
      // A non-blocking connect reports its failure through kFdConnect only, as one that
      // fails later would.
      e.connect = Entry::Connect::kDone;
      e.dead = true;
      if (e.mask & kFdConnect) PostSelect(e, fd, kFdConnect, err);
      return Fail(kWsaEwouldblock);
    } else {
      // Watched only from now on: polled before connect(), an unconnected socket reads as
      // hung up and would be taken for a refused connect. Its result comes as kFdConnect.
      e.connect = Entry::Connect::kPending;
    }
    p.Wake();
  }
  if (rc == 0) return 0;
  return Fail(err == WSAEINPROGRESS ? kWsaEwouldblock : err);
}

int Send(SocketHandle s, const void* data, int length, int flags) {
  SOCKET fd = static_cast<SOCKET>(s);
  if (length < 0) return Fail(kWsaEinval);
  {
    // Never write to a number the port does not know: it may belong to someone else now.
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    if (p.entries.find(fd) == p.entries.end()) return Fail(kWsaEnotsock);
  }
  int n = ::send(fd, static_cast<const char*>(data), length, flags);
  if (n != SOCKET_ERROR) return n;
  int err = ::WSAGetLastError();
  if (err == WSAEWOULDBLOCK) {
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it != p.entries.end() && !it->second.writeArmed) {
      it->second.writeArmed = true;
      p.Wake();
    }
  }
  return Fail(err);
}

int Recv(SocketHandle s, void* buffer, int length, int flags) {
  SOCKET fd = static_cast<SOCKET>(s);
  if (length < 0) return Fail(kWsaEinval);
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it == p.entries.end()) return Fail(kWsaEnotsock);
    if (it->second.receiveShut) return Fail(kWsaEshutdown);
    // Reading re-enables kFdRead: if data remains, the selector reports it again.
    if (!it->second.readEnabled) {
      it->second.readEnabled = true;
      p.Wake();
    }
  }
  int n = ::recv(fd, static_cast<char*>(buffer), length, flags);
  if (n != SOCKET_ERROR) return n;
  return FailWsa();
}

int Shutdown(SocketHandle s, int how) {
  SOCKET fd = static_cast<SOCKET>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  switch (how) {
    case kSdReceive: {
      // Only marks the direction closed: a kernel read shutdown would look like the peer's
      // close to the selector.
      sockaddr_in peer{};
      int len = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return FailWsa();
      it->second.receiveShut = true;
      p.Wake();
      return 0;
    }
    case kSdSend:
      if (::shutdown(fd, SD_SEND) != 0) return FailWsa();
      return 0;
    case kSdBoth:
      if (::shutdown(fd, SD_BOTH) != 0) return FailWsa();
      it->second.receiveShut = true;
      p.Wake();
      return 0;
    default:
      return Fail(kWsaEinval);
  }
}

int CloseSocket(SocketHandle s) {
  SOCKET fd = static_cast<SOCKET>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  p.entries.erase(it);
  // Closed under the lock: the selector never sees the number before it is forgotten, and a
  // new socket that gets the same number also gets a new generation.
  ::closesocket(fd);
  p.Wake();
  return 0;
}

int SetLinger(SocketHandle s, bool on, std::uint16_t seconds) {
  SOCKET fd = static_cast<SOCKET>(s);
  bool nonBlocking = false;
  {
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it == p.entries.end()) return Fail(kWsaEnotsock);
    nonBlocking = it->second.nonBlocking;
  }
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = seconds;
  // A lingering close of a non-blocking socket fails with would-block here; the background
  // close keeps the same delivery of queued data and lets the close succeed.
  if (on && seconds > 0 && nonBlocking) l.l_onoff = 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) != 0)
    return FailWsa();
  return 0;
}

int SetDontLinger(SocketHandle s) { return SetLinger(s, false, 0); }

int GetSockName(SocketHandle s, SockAddrIn& address) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return FailWsa();
  address = SockAddrIn{};
  address.port = sa.sin_port;
  address.address = sa.sin_addr.s_addr;
  return 0;
}

std::uint32_t InetAddr(std::string_view text) {
  std::string t(text);
  in_addr a{};
  if (t.empty() || ::inet_pton(AF_INET, t.c_str(), &a) != 1) return kInaddrNone;
  return a.s_addr;
}

std::string InetNtoa(std::uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::uint16_t HostToNetShort(std::uint16_t v) { return htons(v); }
std::uint16_t NetToHostShort(std::uint16_t v) { return ntohs(v); }

std::string LocalHostName() {
  char name[256] = {};
  DWORD size = sizeof name - 1;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return {};
  return std::string(name, size);
}

int GetHostByName(std::string_view name, std::uint32_t& firstAddress) {
  if (!Started()) return Fail(kWsaNotInitialised), kWsaNotInitialised;
  int err = ResolveFirst(std::string(name), firstAddress, nullptr);
  if (err != 0) Fail(err);
  return err;
}

int AsyncSelect(SocketHandle s, ThreadId window, std::int32_t message, std::uint32_t events) {
  SOCKET fd = static_cast<SOCKET>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  Entry& e = it->second;
  if (!e.nonBlocking) {
    u_long on = 1;
    if (::ioctlsocket(fd, FIONBIO, &on) != 0) return FailWsa();
    e.nonBlocking = true;
  }
  if (e.connect == Entry::Connect::kNone) {
    sockaddr_in peer{};
    int len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
      e.connect = Entry::Connect::kDone;
  }
  bool writeArmed = (events & kFdWrite) != 0;
  bool unchanged = e.window == window && e.message == message && e.mask == events &&
                   e.readEnabled && e.writeArmed == writeArmed;
  e.window = window;
  e.message = message;
  e.mask = events;
  // Selecting again re-enables the events whose condition holds now.
  e.readEnabled = true;
  e.writeArmed = writeArmed;
  if (!unchanged) p.Wake();  // the selector already watches for exactly this
  return 0;
}

std::uint32_t AsyncGetHostByName(ThreadId window, std::int32_t message, std::string name) {
  Port& p = ThePort();
  std::vector<std::thread> finished;
  std::uint32_t handle = 0;
  {
    std::lock_guard lock(p.mutex);
    if (p.startups == 0) return Fail(kWsaNotInitialised), 0;
    p.ReapLookUps(finished);
    do handle = ++p.nextLookUp;
    while (handle == 0 || p.lookUps.count(handle));
    auto l = std::make_unique<LookUp>();
    l->window = window;
    l->message = message;
    LookUp* raw = l.get();
    p.lookUps[handle] = std::move(l);
    raw->worker = std::thread([&p, raw, handle, name = std::move(name)] {
      auto entry = std::make_shared<HostEntry>();
      entry->name = name;
      std::uint32_t first = 0;
      int err = ResolveFirst(name, first, entry.get());
      if (err != 0) entry->addresses.clear();
      std::lock_guard lock(p.mutex);
      if (!raw->cancelled)
        PostToThread(raw->window, Event{raw->message, handle, MakeSelectParam(1024, err), entry});
      raw->done = true;
    });
  }
  for (auto& t : finished)
    if (t.joinable()) t.join();
  return handle;
}

int CancelAsyncRequest(std::uint32_t handle) {
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.lookUps.find(handle);
  if (it == p.lookUps.end()) return Fail(kWsaEinval);
  if (it->second->done || it->second->cancelled) return Fail(kWsaEalready);
  it->second->cancelled = true;
  return 0;
}

}  // namespace verdan::platform
