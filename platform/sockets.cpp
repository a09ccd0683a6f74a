// The socket port on every system: the registry of sockets and their selected events, the
// selector thread that turns readiness into events with the re-enabling rules, and the
// asynchronous look-ups. The system calls under it are in socket_os.h.
#include "platform/sockets.h"

#include <cerrno>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/socket_os.h"
#include "platform/workers.h"

namespace verdan::platform {
namespace {

namespace os = socket_os;

thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return kSocketError;
}

// 0 stays 0; any other number is failed with.
int FailIf(int wsaError) { return wsaError == 0 ? 0 : Fail(wsaError); }

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
  std::unordered_map<SocketHandle, Entry> entries;
  std::uint64_t nextGeneration = 1;
  std::thread selector;
  // From the last clean-up's stop until its selector has ended; a start-up waits for `stopped`
  // meanwhile, so that the old selector never runs on beside a new one.
  bool stopping = false;
  std::condition_variable stopped;
  std::unordered_map<std::uint32_t, std::unique_ptr<LookUp>> lookUps;
  std::uint32_t nextLookUp = 0;

  void Run();
  void ReapLookUps(std::vector<std::thread>& finished);
  // The entry of a socket the port knows, or null.
  Entry* Find(SocketHandle s) {
    auto it = entries.find(s);
    return it == entries.end() ? nullptr : &it->second;
  }
};

Port& ThePort() {
  static Port* port = new Port;  // never destroyed: sockets may be closed during exit
  return *port;
}

// The port's IPv4 address and the system's.
sockaddr_in ToSystem(const SockAddrIn& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = address.port;
  sa.sin_addr.s_addr = address.address;
  return sa;
}

SockAddrIn FromSystem(const sockaddr_in& sa) {
  SockAddrIn address;
  address.port = sa.sin_port;
  address.address = sa.sin_addr.s_addr;
  return address;
}

// A call both systems make alike: 0, or the Windows number of its failure.
int Result(int rc) { return rc == 0 ? 0 : os::LastError(); }

// 0 when the socket has a peer (is connected).
int CheckPeer(SocketHandle s) {
  sockaddr_in peer{};
  os::AddressLength len = sizeof peer;
  return Result(::getpeername(os::Native(s), reinterpret_cast<sockaddr*>(&peer), &len));
}

// The socket's pending error (SO_ERROR), 0 when none.
int ErrorState(SocketHandle s) {
  int err = 0;
  os::AddressLength len = sizeof err;
  if (::getsockopt(os::Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return os::LastError();
  return os::ErrorNumber(err);
}

void PostSelect(const Entry& e, SocketHandle s, std::uint32_t event, int error) {
  PostToThread(e.window, Event{e.message, s, MakeSelectParam(event, error)});
}

void Port::Run() {
  std::vector<os::PollItem> items;
  std::vector<std::uint64_t> gens;
  std::unique_lock lock(mutex);
  while (!stopping) {
    items.clear();
    gens.clear();
    bool connectPending = false;
    for (auto& [s, e] : entries) {
      if (e.mask == 0 || e.dead || e.closeSent || e.connect == Entry::Connect::kNone) continue;
      unsigned watch = 0;
      if (e.connect == Entry::Connect::kPending) {
        watch = os::kWatchWrite;
        connectPending = true;
      } else {
        if ((e.mask & kFdRead) && e.readEnabled && !e.receiveShut) watch |= os::kWatchRead;
        if ((e.mask & kFdWrite) && e.writeArmed) watch |= os::kWatchWrite;
        if (e.mask & kFdClose) watch |= os::kWatchClose;
      }
      if (watch == 0) continue;
      items.push_back(os::PollItem{s, watch, 0});
      gens.push_back(e.generation);
    }
    const int recheck = connectPending ? os::PendingConnectRecheckMs() : -1;
    lock.unlock();
    int n = os::Poll(items, recheck);
    lock.lock();
    if (n < 0) continue;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const SocketHandle s = items[i].socket;
      Entry* e = Find(s);
      if (!e || e->generation != gens[i]) continue;  // closed meanwhile
      unsigned seen = items[i].seen;
      // Where the system may keep a failed connect from the poll, its error state tells.
      if (seen == 0 && recheck >= 0 && e->connect == Entry::Connect::kPending && ErrorState(s) != 0)
        seen = os::kFailed;
      if (seen == 0) continue;
      if (e->mask == 0 || e->dead || e->closeSent) continue;
      if (e->connect == Entry::Connect::kPending) {
        int err = ErrorState(s);
        if (err == 0 && (seen & (os::kHungUp | os::kFailed))) err = kWsaEconnrefused;
        e->connect = Entry::Connect::kDone;
        if (err != 0)
          e->dead = true;
        else if (e->mask & kFdWrite)
          e->writeArmed = true;
        if (e->mask & kFdConnect) PostSelect(*e, s, kFdConnect, err);
        continue;
      }
      if ((seen & os::kReadable) && !(seen & (os::kPeerClosed | os::kHungUp)) &&
          (e->mask & kFdClose) && os::ReadableButClosed(s))
        seen |= os::kHungUp;
      if ((seen & os::kReadable) && (e->mask & kFdRead) && e->readEnabled && !e->receiveShut) {
        e->readEnabled = false;
        PostSelect(*e, s, kFdRead, 0);
      }
      if ((seen & os::kWritable) && (e->mask & kFdWrite) && e->writeArmed) {
        e->writeArmed = false;
        PostSelect(*e, s, kFdWrite, 0);
      }
      if (seen & (os::kPeerClosed | os::kHungUp | os::kFailed)) {
        // An orderly close carries no error; a hang-up or a failure carries the socket's.
        int err = (seen & (os::kHungUp | os::kFailed)) ? ErrorState(s) : 0;
        if (e->mask & kFdClose) {
          e->closeSent = true;
          PostSelect(*e, s, kFdClose, err);
        } else {
          e->dead = true;
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

// The C library's numbers differ between systems; the names that one lacks are left out.
int WsaErrorFromErrno(int error) {
  // clang-format off
  switch (error) {
    case 0: return 0;
    case EWOULDBLOCK: return kWsaEwouldblock;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN: return kWsaEwouldblock;
#endif
    case EINPROGRESS: return kWsaEwouldblock;
    case EINTR: return kWsaEintr;
    case EBADF: return kWsaEnotsock;
    case ENOTSOCK: return kWsaEnotsock;
    case EACCES: return kWsaEacces;
    case EPERM: return kWsaEacces;
    case EFAULT: return kWsaEfault;
    case EINVAL: return kWsaEinval;
    case EMFILE: return kWsaEmfile;
    case ENFILE: return kWsaEmfile;
    case EALREADY: return kWsaEalready;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT: return 10044;
#endif
    case EOPNOTSUPP: return 10045;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT: return 10046;
#endif
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET: return kWsaEconnreset;
    case ENOBUFS: return kWsaEnobufs;
    case ENOMEM: return kWsaEnobufs;
    case EISCONN: return kWsaEisconn;
    case ENOTCONN: return kWsaEnotconn;
#ifdef ESHUTDOWN
    case ESHUTDOWN: return kWsaEshutdown;
#endif
    case EPIPE: return kWsaEshutdown;
#ifdef ETOOMANYREFS
    case ETOOMANYREFS: return 10059;
#endif
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return 10064;
#endif
    case EHOSTUNREACH: return kWsaEhostunreach;
    case ENOTEMPTY: return 10066;
#ifdef EUSERS
    case EUSERS: return 10068;
#endif
#ifdef EDQUOT
    case EDQUOT: return 10069;
#endif
#ifdef ESTALE
    case ESTALE: return 10070;
#endif
#ifdef EREMOTE
    case EREMOTE: return 10071;
#endif
    default: return kWsaSyscallFailure;
  }
  // clang-format on
}

int WsaStartup(std::uint16_t versionRequested, WsaData& data) {
  int major = versionRequested & 0xFF;
  int minor = versionRequested >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return 10092;  // WSAVERNOTSUPPORTED
  Port& p = ThePort();
  {
    std::unique_lock lock(p.mutex);
    p.stopped.wait(lock, [&p] { return !p.stopping; });
    if (p.startups == 0) {
      if (int err = os::Start(); err != 0) return err;
      if (!StartThread(p.selector, [&p] { p.Run(); })) {
        // No thread for the selector: the sockets stay unavailable, as when the system
        // refuses its socket interface to one process too many.
        os::Stop();
        return kWsaEproclim;
      }
    }
    ++p.startups;
  }
  data.version = major >= 2 ? 0x0002 : versionRequested;
  data.highVersion = 0x0202;
  data.systemStatus = "Running";
  data.maxUdpDg = 65467;
  os::Describe(data);
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
    os::Wake();
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
  os::Stop();
  p.stopping = false;
  p.stopped.notify_all();
  return 0;
}

int WsaGetLastError() { return t_lastError; }

SocketHandle Socket(int family, int type, int protocol) {
  if (!Started()) return Fail(kWsaNotInitialised), kInvalidSocket;
  if (family != kAfInet) return Fail(10047), kInvalidSocket;
  if (type != kSockStream) return Fail(10044), kInvalidSocket;
  SocketHandle s = kInvalidSocket;
  if (int err = os::Create(protocol, s); err != 0) return Fail(err), kInvalidSocket;
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  Entry e;
  e.generation = p.nextGeneration++;
  p.entries[s] = e;
  return s;
}

int Connect(SocketHandle s, const SockAddrIn& address) {
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    if (!p.Find(s)) return Fail(kWsaEnotsock);
  }
  sockaddr_in sa = ToSystem(address);
  int err = Result(::connect(os::Native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  if (err == kWsaEinprogress) err = kWsaEwouldblock;  // WinSock's number for it
  std::lock_guard lock(p.mutex);
  if (Entry* e = p.Find(s)) {
    if (!e->nonBlocking) {
      if (err == 0) e->connect = Entry::Connect::kDone;
    } else if (err != 0 && err != kWsaEwouldblock) {
      // A non-blocking connect reports its failure through kFdConnect only, as one that
      // fails later would.
      e->connect = Entry::Connect::kDone;
      e->dead = true;
      if (e->mask & kFdConnect) PostSelect(*e, s, kFdConnect, err);
      return Fail(kWsaEwouldblock);
    } else {
      // Watched only from now on: polled before connect(), an unconnected socket reads as
      // hung up and would be taken for a refused connect. Its result comes as kFdConnect.
      e->connect = Entry::Connect::kPending;
    }
    os::Wake();
  }
  return FailIf(err);
}

int Send(SocketHandle s, const void* data, int length, int flags) {
  if (length < 0) return Fail(kWsaEinval);
  Port& p = ThePort();
  {
    // Never write to a number the port does not know: it may belong to someone else now.
    std::lock_guard lock(p.mutex);
    if (!p.Find(s)) return Fail(kWsaEnotsock);
  }
  int err = 0;
  int n = os::Send(s, data, length, flags, err);
  if (n != kSocketError) return n;
  if (err == kWsaEwouldblock) {
    std::lock_guard lock(p.mutex);
    Entry* e = p.Find(s);
    if (e && !e->writeArmed) {
      e->writeArmed = true;
      os::Wake();
    }
  }
  return Fail(err);
}

int Recv(SocketHandle s, void* buffer, int length, int flags) {
  if (length < 0) return Fail(kWsaEinval);
  Port& p = ThePort();
  {
    std::lock_guard lock(p.mutex);
    Entry* e = p.Find(s);
    if (!e) return Fail(kWsaEnotsock);
    if (e->receiveShut) return Fail(kWsaEshutdown);
    // Reading re-enables kFdRead: if data remains, the selector reports it again.
    if (!e->readEnabled) {
      e->readEnabled = true;
      os::Wake();
    }
  }
  int err = 0;
  int n = os::Recv(s, buffer, length, flags, err);
  if (n != kSocketError) return n;
  return Fail(err);
}

int Shutdown(SocketHandle s, int how) {
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  Entry* e = p.Find(s);
  if (!e) return Fail(kWsaEnotsock);
  switch (how) {
    case kSdReceive:
      // Only marks the direction closed: a kernel read shutdown would look like the peer's
      // close to the selector.
      if (int err = CheckPeer(s); err != 0) return Fail(err);
      e->receiveShut = true;
      os::Wake();
      return 0;
    case kSdSend:
      return FailIf(Result(::shutdown(os::Native(s), kSdSend)));
    case kSdBoth:
      if (int err = Result(::shutdown(os::Native(s), kSdBoth)); err != 0) return Fail(err);
      e->receiveShut = true;
      os::Wake();
      return 0;
    default:
      return Fail(kWsaEinval);
  }
}

int CloseSocket(SocketHandle s) {
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  auto it = p.entries.find(s);
  if (it == p.entries.end()) return Fail(kWsaEnotsock);
  p.entries.erase(it);
  // Closed under the lock: the selector never sees the number before it is forgotten, and a
  // new socket that gets the same number also gets a new generation.
  os::Close(s);
  os::Wake();
  return 0;
}

int SetLinger(SocketHandle s, bool on, std::uint16_t seconds) {
  bool nonBlocking = false;
  {
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    Entry* e = p.Find(s);
    if (!e) return Fail(kWsaEnotsock);
    nonBlocking = e->nonBlocking;
  }
  // A lingering close of a non-blocking socket would block this thread (POSIX) or fail with
  // would-block (Windows); the background close keeps the same delivery of queued data
  // without either.
  linger l{};
  l.l_onoff = on && !(seconds > 0 && nonBlocking) ? 1 : 0;
  l.l_linger = seconds;
  return FailIf(Result(::setsockopt(os::Native(s), SOL_SOCKET, SO_LINGER,
                                    reinterpret_cast<const char*>(&l), sizeof l)));
}

int SetDontLinger(SocketHandle s) { return SetLinger(s, false, 0); }

int SetNoDelay(SocketHandle s) {
  {
    Port& p = ThePort();
    std::lock_guard lock(p.mutex);
    if (!p.Find(s)) return Fail(kWsaEnotsock);
  }
  const int on = 1;
  return FailIf(Result(::setsockopt(os::Native(s), IPPROTO_TCP, TCP_NODELAY,
                                    reinterpret_cast<const char*>(&on), sizeof on)));
}

int GetSockName(SocketHandle s, SockAddrIn& address) {
  sockaddr_in sa{};
  os::AddressLength len = sizeof sa;
  if (::getsockname(os::Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return Fail(os::LastError());
  address = FromSystem(sa);
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

int GetHostByName(std::string_view name, std::uint32_t& firstAddress) {
  if (!Started()) return Fail(kWsaNotInitialised), kWsaNotInitialised;
  int err = ResolveFirst(std::string(name), firstAddress, nullptr);
  if (err != 0) Fail(err);
  return err;
}

int AsyncSelect(SocketHandle s, ThreadId window, std::int32_t message, std::uint32_t events) {
  Port& p = ThePort();
  std::lock_guard lock(p.mutex);
  Entry* e = p.Find(s);
  if (!e) return Fail(kWsaEnotsock);
  if (!e->nonBlocking) {
    if (int err = os::SetNonBlocking(s); err != 0) return Fail(err);
    e->nonBlocking = true;
  }
  if (e->connect == Entry::Connect::kNone && CheckPeer(s) == 0) e->connect = Entry::Connect::kDone;
  bool writeArmed = (events & kFdWrite) != 0;
  bool unchanged = e->window == window && e->message == message && e->mask == events &&
                   e->readEnabled && e->writeArmed == writeArmed;
  e->window = window;
  e->message = message;
  e->mask = events;
  // Selecting again re-enables the events whose condition holds now.
  e->readEnabled = true;
  e->writeArmed = writeArmed;
  if (!unchanged) os::Wake();  // the selector already watches for exactly this
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
