#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/workers.h"

namespace verdan::platform {
namespace {

thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return kSocketError;
}

int FailErrno() { return Fail(WsaErrorFromErrno(errno)); }

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
  std::unordered_map<int, Entry> entries;  // by descriptor
  std::uint64_t nextGeneration = 1;
  int wakeFd = -1;
  std::thread selector;
  bool stopping = false;
  std::unordered_map<std::uint32_t, std::unique_ptr<LookUp>> lookUps;
  std::uint32_t nextLookUp = 0;

  void Wake() {
    if (wakeFd >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
  }

  void Run();
  void ReapLookUps(std::vector<std::thread>& finished);
};

Port& ThePort() {
  static Port* port = new Port;  // never destroyed: sockets may be closed during exit
  return *port;
}

int SoError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

void PostSelect(const Entry& e, int fd, std::uint32_t event, int error) {
  PostToThread(e.window,
               Event{e.message, static_cast<std::uint64_t>(fd), MakeSelectParam(event, error)});
}

void Port::Run() {
  std::vector<pollfd> fds;
  std::vector<std::uint64_t> gens;
  std::unique_lock lock(mutex);
  while (!stopping) {
    fds.clear();
    gens.clear();
    fds.push_back(pollfd{wakeFd, POLLIN, 0});
    gens.push_back(0);
    for (auto& [fd, e] : entries) {
      if (e.mask == 0 || e.dead || e.closeSent || e.connect == Entry::Connect::kNone) continue;
      short events = 0;
      if (e.connect == Entry::Connect::kPending) {
        events = POLLOUT;
      } else {
        if ((e.mask & kFdRead) && e.readEnabled && !e.receiveShut) events |= POLLIN;
        if ((e.mask & kFdWrite) && e.writeArmed) events |= POLLOUT;
        if (e.mask & kFdClose) events |= POLLRDHUP;
      }
      if (events == 0) continue;
      fds.push_back(pollfd{fd, events, 0});
      gens.push_back(e.generation);
    }
    lock.unlock();
    int n = ::poll(fds.data(), fds.size(), -1);
    lock.lock();
    if (n < 0) continue;
    if (fds[0].revents) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t r = ::read(wakeFd, &count, sizeof count);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      short re = fds[i].revents;
      if (re == 0) continue;
      auto it = entries.find(fds[i].fd);
      if (it == entries.end() || it->second.generation != gens[i]) continue;  // closed meanwhile
      Entry& e = it->second;
      int fd = fds[i].fd;
      if (e.mask == 0 || e.dead || e.closeSent) continue;
      if (e.connect == Entry::Connect::kPending) {
        int so = SoError(fd);
        int err =
            so != 0 ? WsaErrorFromErrno(so) : ((re & (POLLERR | POLLHUP)) ? kWsaEconnrefused : 0);
        e.connect = Entry::Connect::kDone;
        if (err != 0)
          e.dead = true;
        else if (e.mask & kFdWrite)
          e.writeArmed = true;
        if (e.mask & kFdConnect) PostSelect(e, fd, kFdConnect, err);
        continue;
      }
      if ((re & POLLIN) && (e.mask & kFdRead) && e.readEnabled && !e.receiveShut) {
        e.readEnabled = false;
        PostSelect(e, fd, kFdRead, 0);
      }
      if ((re & POLLOUT) && (e.mask & kFdWrite) && e.writeArmed) {
        e.writeArmed = false;
        PostSelect(e, fd, kFdWrite, 0);
      }
      if (re & (POLLRDHUP | POLLHUP | POLLERR)) {
        int err = 0;
        if (re & (POLLERR | POLLHUP)) {
          int so = SoError(fd);
          if (so != 0) err = WsaErrorFromErrno(so);
        }
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
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
      return kWsaEwouldblock;
#endif
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
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
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
    case ESHUTDOWN:
      return kWsaEshutdown;
    case EPIPE:
      return kWsaEshutdown;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return kWsaSyscallFailure;
  }
}

int WsaErrorFromResolver(int result) {
  switch (result) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return kWsaNoData;
#endif
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_FAIL:
      return kWsaNoRecovery;
    case EAI_MEMORY:
      return 8;  // WSA_NOT_ENOUGH_MEMORY
    case EAI_SYSTEM:
      return WsaErrorFromErrno(errno);
    default:
      return kWsaNoRecovery;
  }
}

int WsaStartup(std::uint16_t versionRequested, WsaData& data) {
  int major = versionRequested & 0xFF;
  int minor = versionRequested >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return 10092;  // WSAVERNOTSUPPORTED
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    if (p.startups == 0) {
      p.stopping = false;
      p.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (!StartThread(p.selector, [&p] { p.Run(); })) {
        // No thread for the selector: the sockets stay unavailable, as when the system
        // refuses its socket interface to one process too many.
        ::close(p.wakeFd);
        p.wakeFd = -1;
        return kWsaEproclim;
      }
    }
    ++p.startups;
  }
  data.version = major >= 2 ? 0x0002 : versionRequested;
  data.highVersion = 0x0202;
  data.description = "POSIX sockets";
  data.systemStatus = "Running";
  rlimit rl{};
  data.maxSockets = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65535
                        ? static_cast<std::uint32_t>(rl.rlim_cur)
                        : 65535;
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
  if (p.startups == 0 && p.wakeFd >= 0) {
    ::close(p.wakeFd);
    p.wakeFd = -1;
  }
  return 0;
}

int WsaGetLastError() { return t_lastError; }

SocketHandle Socket(int family, int type, int protocol) {
  if (!Started()) return Fail(kWsaNotInitialised), kInvalidSocket;
  if (family != kAfInet) return Fail(10047), kInvalidSocket;
  if (type != kSockStream) return Fail(10044), kInvalidSocket;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno(), kInvalidSocket;
  if (fd == 0) {  // handle 0 means "no socket" to callers
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    if (moved < 0) return FailErrno(), kInvalidSocket;
    fd = moved;
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
  int fd = static_cast<int>(s);
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it == p.entries.end()) return Fail(kWsaEnotsock);
  }
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int err = rc == 0 ? 0 : errno;
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it != p.entries.end()) {
    Entry& e = it->second;
    if (!e.nonBlocking) {
      if (rc == 0) e.connect = Entry::Connect::kDone;
    } else if (rc != 0 && err != EINPROGRESS && err != EAGAIN) {
      // A non-blocking connect reports its failure through kFdConnect only, as one that
      // fails later would.
      e.connect = Entry::Connect::kDone;
      e.dead = true;
      if (e.mask & kFdConnect) PostSelect(e, fd, kFdConnect, WsaErrorFromErrno(err));
      return Fail(kWsaEwouldblock);
    } else {
      // Watched only from now on: polled before connect(), an unconnected socket reads as
      // hung up and would be taken for a refused connect. Its result comes as kFdConnect.
      e.connect = Entry::Connect::kPending;
    }
    p.Wake();
  }
  if (rc == 0) return 0;
  return Fail(WsaErrorFromErrno(err));
}

int Send(SocketHandle s, const void* data, int length, int flags) {
  int fd = static_cast<int>(s);
  if (length < 0) return Fail(kWsaEinval);
  {
    // Never write to a number the port does not know: it may belong to someone else now.
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    if (p.entries.find(fd) == p.entries.end()) return Fail(kWsaEnotsock);
  }
  ssize_t n = ::send(fd, data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    auto it = p.entries.find(fd);
    if (it != p.entries.end() && !it->second.writeArmed) {
      it->second.writeArmed = true;
      p.Wake();
    }
  }
  return Fail(WsaErrorFromErrno(err));
}

int Recv(SocketHandle s, void* buffer, int length, int flags) {
  int fd = static_cast<int>(s);
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
  ssize_t n = ::recv(fd, buffer, static_cast<std::size_t>(length), flags);
  if (n >= 0) return static_cast<int>(n);
  return FailErrno();
}

int Shutdown(SocketHandle s, int how) {
  int fd = static_cast<int>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  switch (how) {
    case kSdReceive: {
      // Only marks the direction closed: a kernel read shutdown would look like the peer's
      // close to the selector.
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return FailErrno();
      it->second.receiveShut = true;
      p.Wake();
      return 0;
    }
    case kSdSend:
      if (::shutdown(fd, SHUT_WR) != 0) return FailErrno();
      return 0;
    case kSdBoth:
      if (::shutdown(fd, SHUT_RDWR) != 0) return FailErrno();
      it->second.receiveShut = true;
      p.Wake();
      return 0;
    default:
      return Fail(kWsaEinval);
  }
}

int CloseSocket(SocketHandle s) {
  int fd = static_cast<int>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  p.entries.erase(it);
  // Closed under the lock: the selector never sees the number before it is forgotten, and a
  // new socket that gets the same number also gets a new generation.
  ::close(fd);
  p.Wake();
  return 0;
}

int SetLinger(SocketHandle s, bool on, std::uint16_t seconds) {
  int fd = static_cast<int>(s);
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
  // A lingering close would block this thread on Linux even for a non-blocking socket; the
  // background close keeps the same delivery of queued data without blocking.
  if (on && seconds > 0 && nonBlocking) l.l_onoff = 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return FailErrno();
  return 0;
}

int SetDontLinger(SocketHandle s) { return SetLinger(s, false, 0); }

int GetSockName(SocketHandle s, SockAddrIn& address) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return FailErrno();
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
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return std::string(name);
}

int GetHostByName(std::string_view name, std::uint32_t& firstAddress) {
  if (!Started()) return Fail(kWsaNotInitialised), kWsaNotInitialised;
  int err = ResolveFirst(std::string(name), firstAddress, nullptr);
  if (err != 0) Fail(err);
  return err;
}

int AsyncSelect(SocketHandle s, ThreadId window, std::int32_t message, std::uint32_t events) {
  int fd = static_cast<int>(s);
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(fd);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  Entry& e = it->second;
  if (!e.nonBlocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
    e.nonBlocking = true;
  }
  if (e.connect == Entry::Connect::kNone) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
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
    const bool started = StartThread(raw->worker, [&p, raw, handle, name = std::move(name)] {
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
    if (!started) {
      p.lookUps.erase(handle);
      Fail(kWsaEnobufs);
      handle = 0;
    }
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
