#include "net/socket_layer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "net/net_trace.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace verdan::net {

namespace sk = platform;
using platform::Event;
using platform::kHundredthsPerDay;

namespace {

constexpr std::uint32_t kClientEvents = sk::kFdRead | sk::kFdWrite | sk::kFdClose;
// Packet buffers kept for reuse (at most this many, 16384 bytes each).
constexpr std::size_t kSpareOutBuffers = 64;

std::string Str(std::int64_t v) { return std::to_string(v); }

std::string ErrAndText(std::int32_t err) { return Str(err) + " " + NetErrorStr(err); }

std::string TrimmedServer(const char* server, std::size_t size) {
  std::string s(server, strnlen(server, size));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void CopyText(char* dst, std::size_t size, const std::string& src) {
  std::memset(dst, 0, size);
  std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

const char* EventName(std::uint32_t event) {
  switch (event) {
    case sk::kFdRead:
      return "FD_READ";
    case sk::kFdWrite:
      return "FD_WRITE";
    case sk::kFdConnect:
      return "FD_CONNECT";
    case sk::kFdClose:
      return "FD_CLOSE";
    default:
      return "UNKNOWN";
  }
}

}  // namespace

NetDLL::NetDLL(NetTimerSettings settings) : settings_(settings) {}

NetDLL::~NetDLL() {
  bool needed = false;
  {
    std::lock_guard lock(mutex_);
    needed = WinSockLoaded_ || NetDLLActive_ || !qSimpleClientSockets.empty();
  }
  if (needed || callBackThreadObject_.joinable()) DLLShutDown();
}

std::int32_t NetDLL::Now() { return platform::GetClock().TimeOfDay(); }

std::int32_t NetDLL::StopTime(std::int32_t now, std::int32_t timeout) {
  if (timeout <= 0) return 0;
  std::int32_t t = now + timeout;
  if (t >= kHundredthsPerDay) t -= kHundredthsPerDay;
  return t == 0 ? 1 : t;
}

// ---------------------------------------------------------------------------------------
// Start-up and shutdown

void NetDLL::DLLStartUp(const std::string& commandLine) {
  std::string expanded = ExpandNetCommandLine(commandLine);
  NetTurnOnLogging(expanded);
  StartSockets();
}

void NetDLL::StartSockets() {
  {
    std::lock_guard lock(mutex_);
    startUpRan_ = true;
  }
  sk::WsaData data;
  std::uint16_t asked = 0x0002;
  int rc = sk::WsaStartup(asked, data);
  if (rc != 0) {
    StartUpTrace(
        " DLLStartUp() : WSA Startup error while trying to load WinSock 2.0, will try load WinSock "
        "1.1 instead");
    asked = 0x0101;
    rc = sk::WsaStartup(asked, data);
    if (rc != 0) {
      StartUpTrace(" DLLStartUp() : WSA Startup error: " + ErrAndText(rc) +
                   " Asked Version = " + Str(asked));
      return;
    }
  }
  auto version = [](std::uint16_t v) { return Str(v & 0xFF) + "." + Str(v >> 8); };
  StartUpTrace(" DLLStartUp() : WSA Startup Okay :  WinSock Asked Version = " + version(asked) +
               " Granted Version = " + version(data.version) + " High Version = " +
               version(data.highVersion) + " Description = " + data.description +
               " System Status = " + data.systemStatus + " Max Sockets = " + Str(data.maxSockets) +
               " Max UDP Datagram = " + Str(data.maxUdpDg));
  std::lock_guard lock(mutex_);
  if ((data.version & 0xFF) == 2) {
    StartUpTrace(" DLLStartUp() : Cool. WinSock version 2.0 supported.");
    WinSock2_ = true;
    WinSockLoaded_ = true;
  } else if (data.version == 0x0101) {
    StartUpTrace(
        " DLLStartUp() : Warning. Only WinSock 1.1 supported. Will use WinSock 1.1 features only.");
    WinSock2_ = false;
    WinSockLoaded_ = true;
  } else {
    StartUpTrace(" DLLStartUp() : Error. Unsupported WinSock version " + version(data.version));
    sk::WsaCleanup();
    WinSockLoaded_ = false;
  }
  shutDown_ = false;
}

std::int32_t NetDLL::LoadCallBackWindow() {
  std::lock_guard load(loadMutex_);
  bool startUp = false;
  {
    std::lock_guard lock(mutex_);
    if (NetDLLActive_) return 0;
    startUp = !startUpRan_;
  }
  // A layer whose start-up never ran (a test, a tool) starts its sockets now; one that
  // failed to start, or was shut down, stays down.
  if (startUp) StartSockets();
  {
    std::lock_guard lock(mutex_);
    if (!WinSockLoaded_) return kNetLoadFailed;
  }
  if (callBackThreadObject_.joinable()) {
    // A callback thread that closed down, or one that never reported ready.
    stopRequested_ = true;
    PostToCallBackWindow(Event{kEventCloseDown});
    callBackThreadObject_.join();
  }
  stopRequested_ = false;
  {
    std::lock_guard ready(readyMutex_);
    readyPosted_ = false;
  }
  try {
    callBackThreadObject_ = std::thread([this] { CallBackWindowSrc(); });
  } catch (const std::system_error&) {
    TraceError("LoadCallBackWindow", "Error. Could not create a new thread.");
    CloseAll();
    NetCloseCallBackWindow();
    return kNetThreadNotCreated;
  }
  std::unique_lock ready(readyMutex_);
  bool inTime = settings_.LoaderWaitMs > 0
                    ? readyCv_.wait_for(ready, std::chrono::milliseconds(settings_.LoaderWaitMs),
                                        [this] { return readyPosted_; })
                    : readyPosted_;
  if (!inTime) return kNetCallBackWindowTimeout;
  std::lock_guard lock(mutex_);
  NetDLLActive_ = true;
  NetDLLClosedDown_ = false;
  return 0;
}

void NetDLL::CallBackWindowSrc() {
  platform::EventQueue window;
  {
    std::lock_guard lock(mutex_);
    callBackThread_ = window.Id();
    std::int32_t general = std::max(settings_.GeneralTimer, 1);
    mediumTicks_ = std::max(settings_.MediumTimerInterval / general, 1);
    mediumCountdown_ = mediumTicks_;
  }
  window.SetTimer(std::max(settings_.GeneralTimer, 1));
  {
    // The ready event for the loader.
    std::lock_guard ready(readyMutex_);
    readyPosted_ = true;
  }
  readyCv_.notify_all();
  for (;;) {
    Event e = window.Wait();
    if (stopRequested_) e = Event{kEventCloseDown};  // a shutdown that could not post to us
    if (e.code == platform::kEventTimer) {
      Tick();
      continue;
    }
    if (e.code == kEventCloseDown || (e.code == platform::kEventClose && window.Closed())) {
      Trace(TraceLevel::kInfo, "CallBackWindowSrc",
            "Information: Got Event:CloseDown - will close down the DLL process.");
      CloseAll();
      std::lock_guard lock(mutex_);
      NetDLLClosedDown_ = true;
      NetDLLActive_ = false;
      break;
    }
    if (e.code == platform::kEventClose) {
      Trace(TraceLevel::kInfo, "CallBackWindowSrc",
            "Got Event:CloseWindow - Will ignore. You can only close NetMainWindow with a "
            "Event:CloseDown.");
      continue;
    }
    CallBackWindowClientCallBack(e);
  }
  window.SetTimer(0);
  Trace(TraceLevel::kInfo, "CallBackWindowSrc", "Quillon Call Back Window Closed.");
  std::lock_guard lock(mutex_);
  callBackThread_ = 0;
}

std::int32_t NetDLL::NetCloseCallBackWindow() {
  std::lock_guard lock(mutex_);
  if (!NetDLLActive_ || callBackThread_ == 0) {
    Trace(TraceLevel::kInfo, "NetCloseCallBackWindow", "NetCloseCallBackWindow already closed");
    return kNetCallBackWindowClosed;
  }
  Trace(TraceLevel::kInfo, "NetCloseCallBackWindow", "Closing NetCloseCallBackWindow.");
  platform::PostToThread(callBackThread_, Event{kEventCloseDown});
  return 0;
}

bool NetDLL::PostToCallBackWindow(const Event& event) {
  platform::ThreadId id;
  {
    std::lock_guard lock(mutex_);
    id = callBackThread_;
  }
  return id != 0 && platform::PostToThread(id, event);
}

void NetDLL::CloseAll() {
  std::lock_guard lock(mutex_);
  CloseAllLocked();
}

void NetDLL::CloseAllLocked() {
  WaitForSendToEnd();
  Trace(TraceLevel::kInfo, "CloseAll", "Information: Closing All");
  Trace(TraceLevel::kInfo, "CloseAll", "Information: Closing Sockets");
  while (!qSimpleClientSockets.empty()) {
    ClientRecord& r = qSimpleClientSockets.front();
    if (r.Socket == 0) {
      if (r.AsyncDNSHandle != 0) sk::CancelAsyncRequest(r.AsyncDNSHandle);
    } else if (!r.FD_Close_Received) {
      if (sk::Shutdown(r.Socket, sk::kSdReceive) != 0)
        TraceError("CloseAll",
                   "Error call to shutdown failed. Error = " + ErrAndText(sk::WsaGetLastError()));
      if (sk::SetDontLinger(r.Socket) != 0)
        TraceError("CloseAll",
                   "Error setting socket DONTLINGER options " + ErrAndText(sk::WsaGetLastError()));
      if (sk::CloseSocket(r.Socket) != 0)
        TraceError("CloseAll",
                   "Error setting closingsocket. Error = " + ErrAndText(sk::WsaGetLastError()));
    } else {
      Trace(TraceLevel::kInfo, "CloseAll",
            "Deleting a qSimpleClientSocket queue entry (socket previously closed)  Socket = " +
                Str(r.Socket));
    }
    qSimpleClientSockets.erase(qSimpleClientSockets.begin());
  }
  ClientRecordsRemoved();
  qSimpleInData.clear();
  qSimpleOutData.clear();
  qSimpleOutList.clear();
  spareOutBuffers_.clear();
  CountSimpleAsyncOpens = 0;
  CountSimpleAsyncDNS = 0;
}

void NetDLL::DLLShutDown() {
  StartUpTrace(" DLLShutDown(). About to try and unload NetDLL.");
  {
    std::lock_guard load(loadMutex_);
    if (callBackThreadObject_.joinable()) {
      stopRequested_ = true;
      PostToCallBackWindow(Event{kEventCloseDown});
      callBackThreadObject_.join();
    }
  }
  std::lock_guard lock(mutex_);
  CloseAllLocked();
  NetDLLActive_ = false;
  if (WinSockLoaded_) {
    sk::WsaCleanup();
    WinSockLoaded_ = false;
  }
  shutDown_ = true;
}

bool NetDLL::WinSockLoaded() const {
  std::lock_guard lock(mutex_);
  return WinSockLoaded_;
}
bool NetDLL::NetDLLActive() const {
  std::lock_guard lock(mutex_);
  return NetDLLActive_;
}
bool NetDLL::NetDLLClosedDown() const {
  std::lock_guard lock(mutex_);
  return NetDLLClosedDown_;
}
platform::ThreadId NetDLL::CallBackThread() const {
  std::lock_guard lock(mutex_);
  return callBackThread_;
}

std::int32_t NetDLL::NextObjectEvent() {
  std::lock_guard lock(mutex_);
  objectEventCounter_ += 5;
  return objectEventCounter_ + 1024;
}

void NetDLL::NotifyWhenNoClientSockets(platform::ThreadId thread, std::int32_t code) {
  std::lock_guard lock(mutex_);
  noClientsThread_ = thread;
  noClientsCode_ = code;
  ClientRecordsRemoved();
}

void NetDLL::ClientRecordsRemoved() {
  if (noClientsThread_ == 0 || !qSimpleClientSockets.empty()) return;
  platform::PostToThread(noClientsThread_, platform::Event{noClientsCode_});
  noClientsThread_ = 0;
}

NetDLL::Figures NetDLL::GetFigures() const {
  std::lock_guard lock(mutex_);
  Figures f;
  f.clientSockets = qSimpleClientSockets.size();
  f.inPackets = qSimpleInData.size();
  f.outPackets = qSimpleOutList.size();
  f.countSimpleAsyncOpens = CountSimpleAsyncOpens;
  f.countSimpleAsyncDNS = CountSimpleAsyncDNS;
  f.bytesSent = BytesSent;
  f.bytesReceived = BytesReceived;
  return f;
}

bool NetDLL::FindClient(std::int32_t sockID, ClientView& view) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : qSimpleClientSockets) {
    if (r.SockID != sockID) continue;
    view = ClientView{r.Socket,
                      r.AsyncMessage,
                      r.ClosingState,
                      r.PhaseOneCloseCalled,
                      r.FD_Close_Received,
                      r.PhaseTwoCloseCalled,
                      r.AsyncOpenInProgress,
                      r.PhaseOneCloseTime,
                      r.AsyncOpenStopTime,
                      r.LastActive};
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Tables

NetDLL::ClientRecord* NetDLL::FindBySockID(std::int32_t sockID) {
  if (sockID == 0) return nullptr;
  for (auto& r : qSimpleClientSockets)
    if (r.SockID == sockID) return &r;
  return nullptr;
}

NetDLL::ClientRecord* NetDLL::FindByMessage(std::int32_t message) {
  for (auto& r : qSimpleClientSockets)
    if (r.AsyncMessage == message) return &r;
  return nullptr;
}

void NetDLL::DeleteRecord(std::int32_t sockID) {
  std::erase_if(qSimpleClientSockets,
                [sockID](const ClientRecord& r) { return r.SockID == sockID; });
  ClientRecordsRemoved();
}

void NetDLL::SimpleClearInQueue(std::int32_t sockID) {
  std::size_t before = qSimpleInData.size();
  std::erase_if(qSimpleInData, [sockID](const InData& d) { return d.SockID == sockID; });
  std::size_t deleted = before - qSimpleInData.size();
  if (deleted > 0)
    TraceInfo("SimpleClearInQueue",
              "Attention. Had to clear up some old packets. Number of deleted In Packets = " +
                  Str(deleted));
}

void NetDLL::SimpleClearOutQueues(std::int32_t sockID) {
  if (ClientRecord* r = FindBySockID(sockID)) r->QueuedBytes = 0;
  for (auto it = qSimpleOutList.begin(); it != qSimpleOutList.end();) {
    if (it->SockID == sockID) {
      qSimpleOutData.erase(it->SimplePacketID);
      it = qSimpleOutList.erase(it);
    } else {
      ++it;
    }
  }
}

void NetDLL::CheckSendRoom(ClientRecord& r) {
  if (r.SendRoomAtOrBelow <= 0 || r.QueuedBytes > r.SendRoomAtOrBelow) return;
  r.SendRoomAtOrBelow = 0;
  AddInPacket(r, kPacketSendRoom, nullptr, 0, 0);
}

std::size_t NetDLL::CountOutFor(std::int32_t sockID) const {
  return static_cast<std::size_t>(
      std::count_if(qSimpleOutList.begin(), qSimpleOutList.end(),
                    [sockID](const OutList& o) { return o.SockID == sockID; }));
}

void NetDLL::AddInPacketTo(std::uint32_t fromIP, std::uint32_t socket, std::int32_t sockID,
                           std::int32_t notifyThread, std::int32_t notifyMsg, std::int32_t type,
                           std::int32_t error) {
  InData d;
  d.FromIP = fromIP;
  d.OnSocket = socket;
  d.SockID = sockID;
  d.PacketType = type;
  d.Reserved2 = ++InPacketCounter;
  d.Error = error;
  qSimpleInData.push_back(std::move(d));
  platform::PostToThread(static_cast<platform::ThreadId>(notifyThread),
                         Event{notifyMsg, static_cast<std::uint64_t>(sockID)});
}

void NetDLL::AddInPacket(const ClientRecord& r, std::int32_t type, const std::uint8_t* data,
                         std::int32_t length, std::int32_t error) {
  InData d;
  d.FromIP = r.Addr.address;
  d.OnSocket = r.Socket;
  d.SockID = r.SockID;
  if (data && length > 0) d.BinData.assign(data, data + length);
  d.PacketType = type;
  d.Reserved2 = ++InPacketCounter;
  d.Error = error;
  qSimpleInData.push_back(std::move(d));
  platform::PostToThread(static_cast<platform::ThreadId>(r.NotifyThread),
                         Event{r.NotifyMsg, static_cast<std::uint64_t>(r.SockID)});
}

std::int32_t NetDLL::AllocateClientMessage(std::int32_t& message) {
  for (int tries = 0; tries < kLastClientMessage - kFirstClientMessage + 1; ++tries) {
    if (++NextClientMessage > kLastClientMessage) NextClientMessage = kFirstClientMessage;
    if (!FindByMessage(NextClientMessage)) {
      message = NextClientMessage;
      return 0;
    }
  }
  TraceError("SimpleClientOpenB", "ERROR: Exceeded Maximum Simple Client Sockets.");
  return kNetTooManySendingSockets;
}

// ---------------------------------------------------------------------------------------
// Entry points

std::int32_t NetDLL::NetSimpleConnectOpen(NetConnection& connection) {
  if (!NetDLLActive()) {
    std::int32_t rc = LoadCallBackWindow();
    if (rc != 0)
      TraceError("NetSimpleConnectOpen", "Error. LoadCallBackWindow returned " + Str(rc));
  }
  std::unique_lock lock(mutex_);
  if (connection.Mode != kModeClient) return kNetServiceNotSupported;
  return SimpleClientOpen(connection, lock);
}

std::int32_t NetDLL::NetSimpleConnectSend(NetConnection& connection, const NetPacket& packet) {
  std::lock_guard lock(mutex_);
  if (connection.Mode != kModeClient) return kNetServiceNotSupported;
  return SimpleClientSend(connection, packet);
}

std::int32_t NetDLL::NetSimpleConnectClose(NetConnection& connection, std::uint32_t socket,
                                           std::int32_t sockID, std::int32_t phase) {
  std::lock_guard lock(mutex_);
  if (connection.Mode != kModeClient) return kNetServiceNotSupported;
  if (phase == kPhaseTwo && sockID != 0) {
    // A second phase names the connection its packet came from.
    if (NetDLLClosedDown_) {
      Trace(TraceLevel::kInfo, "SimpleClientClose",
            "DLL already closed down. This function is ignored");
      return 0;
    }
    return SimpleClientClosePhaseTwo(socket, sockID);
  }
  return SimpleClientClose(connection, phase);
}

std::int32_t NetDLL::NetSimpleConnectReceive(NetConnection& connection, NetPacket& packet) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(qSimpleInData.begin(), qSimpleInData.end(),
                         [&](const InData& d) { return d.SockID == connection.SockID; });
  if (connection.SockID == 0 || it == qSimpleInData.end()) {
    TraceInfo("NetSimpleConnectReceive",
              "No data to read. Returning 'No Request' Err. This is not normally a problem");
    return kNetNoRequest;
  }
  const InData& d = *it;
  std::int32_t len =
      static_cast<std::int32_t>(std::min<std::size_t>(d.BinData.size(), kMaxBinData));
  if (len > 0) std::memcpy(packet.BinData, d.BinData.data(), static_cast<std::size_t>(len));
  packet.BinDataLen = len;
  CopyText(packet.FromIP, sizeof packet.FromIP, d.FromIP ? sk::InetNtoa(d.FromIP) : std::string());
  packet.OnSocket = d.OnSocket;
  packet.SockID = d.SockID;
  packet.PacketType = d.PacketType;
  packet.Reserved2 = d.Reserved2;
  packet.Error = d.Error;
  packet.UDPFromPort = 0;
  qSimpleInData.erase(it);
  if (ClientRecord* r = FindBySockID(connection.SockID); r && !r->Accessed) {
    r->Accessed = true;
    connection.Socket = r->Socket;
    if (r->LocAddr.address != 0)
      CopyText(connection.LocalIP, sizeof connection.LocalIP, sk::InetNtoa(r->LocAddr.address));
    TraceInfo("NetSimpleConnectReceive",
              "This is the first time this connection is being accessed. Updated Socket to " +
                  Str(r->Socket));
  }
  return 0;
}

std::int32_t NetDLL::NetSimpleConnectSendRoom(NetConnection& connection,
                                              std::int64_t notifyAtOrBelow, std::int64_t& queued) {
  std::lock_guard lock(mutex_);
  queued = 0;
  ClientRecord* r = FindBySockID(connection.SockID);
  if (!r || r->Socket == 0 || r->ClosingState || r->PhaseOneCloseCalled || r->FD_Close_Received)
    return kNetConnectionNotFound;
  queued = r->QueuedBytes;
  if (notifyAtOrBelow > 0) {
    r->SendRoomAtOrBelow = notifyAtOrBelow;
    CheckSendRoom(*r);
  }
  return 0;
}

void NetDLL::CountSimpleOutgoing(const NetConnection& connection, std::uint32_t,
                                 std::int32_t sockID, std::int32_t& packets, std::int64_t& bytes) {
  std::lock_guard lock(mutex_);
  std::int32_t id = sockID != 0 ? sockID : connection.SockID;
  packets = 0;
  bytes = 0;
  if (id == 0) return;
  for (const auto& o : qSimpleOutList) {
    if (o.SockID != id) continue;
    ++packets;
    bytes += o.Length;
  }
}

// ---------------------------------------------------------------------------------------
// Open

std::int32_t NetDLL::SimpleClientOpen(NetConnection& c, std::unique_lock<std::mutex>& lock) {
  if (!NetDLLActive_) {
    TraceError("SimpleClientOpen", "Quillon DLL not active. Quillon was unable to initialise.");
    return kNetNotActive;
  }
  if (c.SockID > 0) SimpleClearInQueue(c.SockID);
  c.SockID = ++NextSockID;
  c.Socket = 0;
  std::memset(c.Reserved1, 0, sizeof c.Reserved1);
  CopyText(c.LocalIP, sizeof c.LocalIP, "<unknown>");
  std::string server = TrimmedServer(c.Server, sizeof c.Server);
  std::uint32_t address = sk::InetAddr(server);
  if (address == sk::kInaddrNone) {
    if (c.AsyncOpenTimeout > 0) {
      std::uint32_t handle = sk::AsyncGetHostByName(callBackThread_, kMsgAsyncDns, server);
      if (handle == 0) {
        std::int32_t err = sk::WsaGetLastError();
        TraceError("SimpleClientOpen",
                   "Error calling WSAAsyncGetHostByName(). Error = " + ErrAndText(err));
        return err;
      }
      ++CountSimpleAsyncDNS;
      ClientRecord r;
      r.Server = server;
      r.Port = c.Port;
      r.NotifyThread = c.Thread;
      r.NotifyMsg = c.Event;
      r.SockID = c.SockID;
      r.AsyncDNSHandle = handle;
      std::int32_t now = Now();
      r.AsyncOpenStartTime = now;
      r.AsyncOpenTimeout = c.AsyncOpenTimeout;
      r.AsyncOpenStopTime = StopTime(now, c.AsyncOpenTimeout);
      r.PhaseOneCloseTime = now;
      r.InactiveTimeout = c.InactiveTimeout;
      if (r.InactiveTimeout != 0) {
        r.LastActive = now;
        IdleCheckingOn = true;
      }
      qSimpleClientSockets.push_back(r);
      TraceInfo("SimpleClientOpen",
                "Requested Async DNS Lookup on HostName = [" + server + "] will wait for reply.");
      return 0;
    }
    lock.unlock();
    int err = sk::GetHostByName(server, address);
    lock.lock();
    if (err != 0) {
      TraceError("SimpleClientOpen", "Could not resolve host name. HostName = " + server);
      return kNetAddressNotFound;
    }
  }
  OpenParams p;
  p.address = address;
  p.port = c.Port;
  p.server = server;
  p.thread = c.Thread;
  p.event = c.Event;
  p.sockID = c.SockID;
  p.asyncOpenTimeout = c.AsyncOpenTimeout;
  p.inactiveTimeout = c.InactiveTimeout;
  p.asyncMode = c.AsyncOpenTimeout > 0;
  std::uint32_t socket = 0;
  sk::SockAddrIn local;
  std::int32_t rc = SimpleClientOpenB(p, socket, local, lock);
  if (rc == 0) {
    c.Socket = socket;
    std::memcpy(c.Reserved1, &address, sizeof address);
    if (local.address != 0) CopyText(c.LocalIP, sizeof c.LocalIP, sk::InetNtoa(local.address));
  }
  return rc;
}

std::int32_t NetDLL::SimpleClientOpenB(const OpenParams& p, std::uint32_t& socketOut,
                                       sk::SockAddrIn& localOut,
                                       std::unique_lock<std::mutex>& lock) {
  sk::SocketHandle s = sk::Socket(sk::kAfInet, sk::kSockStream, 0);
  if (s == sk::kInvalidSocket) {
    std::int32_t err = sk::WsaGetLastError();
    TraceError("SimpleClientOpenB",
               "Error could not create Simple Socket. Error = " + ErrAndText(err));
    return err;
  }
  // The dialogue is one request, one reply, and a message ends in a short piece: held back
  // until the peer acknowledges what went before, that piece would wait for the peer's
  // delayed acknowledgement (tens of milliseconds) at the end of every message.
  if (sk::SetNoDelay(s) != 0)
    TraceError("SimpleClientOpenB",
               "Error setting TCP_NODELAY. Error = " + ErrAndText(sk::WsaGetLastError()));
  ClientRecord r;
  r.Server = p.server;
  r.Port = p.port;
  r.Socket = s;
  r.SockID = p.sockID;
  r.Addr.family = sk::kAfInet;
  r.Addr.port = sk::HostToNetShort(p.port);
  r.Addr.address = p.address;
  auto connectFailed = [&](std::int32_t err) {
    TraceError("SimpleClientOpenB",
               "Error Connecting. To host = " + p.server + " Port = " + Str(p.port) +
                   " IP = " + sk::InetNtoa(p.address) + " Error = " + ErrAndText(err));
    sk::CloseSocket(s);
    return err;
  };
  if (!p.asyncMode) {
    // A synchronous open blocks in connect; the tables stay free meanwhile.
    lock.unlock();
    int rc = sk::Connect(s, r.Addr);
    std::int32_t err = rc == 0 ? 0 : sk::WsaGetLastError();
    lock.lock();
    if (rc != 0) return connectFailed(err);
  }
  SimpleClearInQueue(p.sockID);
  SimpleClearOutQueues(p.sockID);
  for (auto it = qSimpleClientSockets.begin(); it != qSimpleClientSockets.end();) {
    if (it->Socket == s) {
      TraceInfo("SimpleClientOpenB",
                "Deleting old entry still found in qSimpleClientSockets. Socket = " + Str(s) +
                    " SockID = " + Str(it->SockID));
      // Its packets stay: the in-queue is keyed by SockID, and the owner of that connection
      // still has to see the data and the close that came before its socket was reused.
      SimpleClearOutQueues(it->SockID);
      it = qSimpleClientSockets.erase(it);
    } else {
      ++it;
    }
  }
  std::int32_t message = 0;
  if (std::int32_t rc = AllocateClientMessage(message); rc != 0) {
    sk::CloseSocket(s);
    return rc;
  }
  r.AsyncMessage = message;
  std::int32_t now = Now();
  if (!p.fromLookUp && p.asyncMode) {
    r.AsyncOpenStartTime = now;
    r.AsyncOpenTimeout = p.asyncOpenTimeout;
    r.AsyncOpenStopTime = StopTime(now, p.asyncOpenTimeout);
  }
  if (p.asyncMode) {
    if (sk::AsyncSelect(s, callBackThread_, message, kClientEvents | sk::kFdConnect) != 0) {
      std::int32_t err = sk::WsaGetLastError();
      TraceError("SimpleClientOpenB",
                 "Error (Asynchronous Open) calling WSAAsyncSelect(). Error = " + ErrAndText(err));
      sk::CloseSocket(s);
      return err;
    }
    r.AsyncOpenInProgress = true;
    if (sk::Connect(s, r.Addr) != 0) {
      std::int32_t err = sk::WsaGetLastError();
      if (err != sk::kWsaEwouldblock) return connectFailed(err);
    }
  }
  r.NotifyThread = p.thread;
  r.NotifyMsg = p.event;
  r.PhaseOneCloseTime = now;
  r.InactiveTimeout = p.inactiveTimeout;
  if (r.InactiveTimeout != 0) {
    r.LastActive = now;
    IdleCheckingOn = true;
  }
  if (!p.asyncMode) {
    if (sk::AsyncSelect(s, callBackThread_, message, kClientEvents) != 0) {
      std::int32_t err = sk::WsaGetLastError();
      TraceError("SimpleClientOpenB",
                 "Error (Synchronous Open) calling WSAAsyncSelect(). Error = " + ErrAndText(err));
      sk::CloseSocket(s);
      return err;
    }
    if (sk::GetSockName(s, r.LocAddr) != 0)
      TraceError("SimpleClientOpenB",
                 "Error. Getsockname failed. Could not find out the local IP on this socket");
  }
  qSimpleClientSockets.push_back(r);
  if (p.asyncMode) ++CountSimpleAsyncOpens;
  socketOut = s;
  localOut = r.LocAddr;
  return 0;
}

void NetDLL::SimpleAsyncDNS(const Event& e) {
  std::uint32_t handle = static_cast<std::uint32_t>(e.wparam);
  std::int32_t error = sk::SelectErrorOf(e.lparam);
  auto it = std::find_if(
      qSimpleClientSockets.begin(), qSimpleClientSockets.end(),
      [handle](const ClientRecord& r) { return r.AsyncDNSHandle == handle && r.Socket == 0; });
  if (it == qSimpleClientSockets.end()) {
    // Cancelled or timed out after the answer was already on its way.
    TraceInfo("SimpleAsyncDNS",
              "DNS reply for a request that is no longer pending. DNSHandle = " + Str(handle));
    return;
  }
  --CountSimpleAsyncDNS;
  auto entry = std::static_pointer_cast<sk::HostEntry>(e.data);
  if (error == 0 && (!entry || entry->addresses.empty())) error = sk::kWsaNoData;
  ClientRecord& r = *it;
  if (error != 0) {
    TraceError("SimpleAsyncDNS",
               "DNS Lookup Error = " + Str(error) + " which means = " + NetErrorStr(error));
    r.AsyncDNSHandle = 0;
    r.AsyncOpenStopTime = 0;
    r.PhaseOneCloseCalled = true;
    r.PhaseOneCloseTime = Now();
    r.FD_Close_Received = true;
    r.AsyncMessage = 0;
    AddInPacketTo(0, 0, r.SockID, r.NotifyThread, r.NotifyMsg, kPacketOpenFailed, error);
    return;
  }
  std::uint32_t address = entry->addresses.front();
  TraceInfo("SimpleAsyncDNS",
            "Asynchronous DNS lookup returned. Hostname resolved. IP =" + sk::InetNtoa(address));
  OpenParams p;
  p.address = address;
  p.port = r.Port;
  p.server = r.Server;
  p.thread = r.NotifyThread;
  p.event = r.NotifyMsg;
  p.sockID = r.SockID;
  p.asyncOpenTimeout = r.AsyncOpenTimeout;
  p.inactiveTimeout = r.InactiveTimeout;
  p.fromLookUp = true;
  p.asyncMode = true;
  DeleteRecord(r.SockID);
  std::uint32_t socket = 0;
  sk::SockAddrIn local;
  std::unique_lock<std::mutex> none;  // the asynchronous path never lets go of the lock
  std::int32_t rc = SimpleClientOpenB(p, socket, local, none);
  if (rc != 0) AddInPacketTo(0, 0, p.sockID, p.thread, p.event, kPacketOpenFailed, rc);
}

// ---------------------------------------------------------------------------------------
// Socket events

std::int32_t NetDLL::CallBackWindowClientCallBack(const Event& e) {
  if (e.code < 1024 || e.code == 9226) return CallBackWindowMainCallBack(e);
  if (e.code == kMsgAsyncDns) {
    std::lock_guard lock(mutex_);
    SimpleAsyncDNS(e);
    return 1;
  }
  if (e.code >= kFirstClientMessage && e.code <= kLastClientMessage) {
    std::lock_guard lock(mutex_);
    SimpleClient_Async(e);
    return 1;
  }
  if (e.code == 3105 || e.code == 3106 || (e.code >= 4096 && e.code <= 6095) ||
      (e.code >= 8180 && e.code <= 9179) || (e.code >= 10180 && e.code <= 11179))
    return 1;  // peer messaging and server sockets: none are opened by this program
  TraceError(
      "CallBackWindowClientCallBack",
      "Attention. Received a message that isn't in one of our queues. p_wMsg " + Str(e.code));
  return 0;
}

std::int32_t NetDLL::CallBackWindowMainCallBack(const Event& e) {
  if (e.code == kWmQueryEndSession || e.code == kWmEndSession) {
    Trace(TraceLevel::kInfo, "CallBackWindowMainCallBack",
          "Received NETDLL:WM:EndSession or NETDLL:WM:QueryEndSession = " + Str(e.code));
    PostToCallBackWindow(Event{kEventCloseDown});
    return 1;
  }
  return 0;  // the default procedure does nothing with the rest
}

std::int32_t NetDLL::SimpleClient_Async(const Event& e) {
  std::uint32_t event = sk::SelectEventOf(e.lparam);
  std::int32_t error = sk::SelectErrorOf(e.lparam);
  ClientRecord* r = FindByMessage(e.code);
  if (r && r->Socket != static_cast<std::uint32_t>(e.wparam))
    r = nullptr;  // an earlier socket's message
  if (!r) {
    if (event == sk::kFdRead)
      TraceError("SimpleClient_Async",
                 "Warning! A socket is dead. Got a FD_READ message for a socket that is no longer "
                 "in qSimpleClientSockets. "
                 "(ie The connection was closed before the message arrived).Message = " +
                     Str(e.code));
    else if (event == sk::kFdConnect || event == sk::kFdWrite)
      TraceError("SimpleClient_Async",
                 std::string("Warning! A socket is dead. Got a ") + EventName(event) +
                     " message for a socket that is no longer in qSimpleClientSockets. "
                     "(ie The connection was closed before the package could be sent).Message = " +
                     Str(e.code));
    return kNetSocketDead;
  }
  std::int32_t sockID = r->SockID;
  auto logEventError = [&] {
    if (error != 0)
      TraceError("SimpleClient_Async", "Received an error = " + ErrAndText(error) +
                                           " WSAGetSelecEvent =  Message =" + Str(e.code) +
                                           " Event = " + EventName(event) + " Socket = " +
                                           Str(r->Socket) + " SockID = " + Str(sockID));
  };
  switch (event) {
    case sk::kFdConnect:
      OnConnect(*r, error);
      return 0;
    case sk::kFdWrite:
      logEventError();
      r->WriteDue = false;
      SendLoop(sockID);
      return 0;
    case sk::kFdRead:
      logEventError();
      ReadLoop(*r, ReadAmount::kShare);
      return 0;
    case sk::kFdClose: {
      std::string kind = error == sk::kWsaEconnreset ? " (hard close 10054)"
                         : error == 0                ? " (graceful close)"
                                                     : " (Error ocurred)";
      TraceInfo("SimpleClient_Async", "Client FD_CLOSE. Message = " + Str(e.code) + " Socket = " +
                                          Str(r->Socket) + " SockID = " + Str(sockID) + kind);
      if (error != 0 && error != sk::kWsaEconnreset) logEventError();
      ReadLoop(*r, ReadAmount::kToTheEnd);
      CloseTheSocket(sockID);
      return 0;
    }
    default:
      TraceError("SimpleClient_Async",
                 "Unknown Client Message = " + Str(e.code) + " Unknown param = " + Str(event));
      return 0;
  }
}

void NetDLL::OnConnect(ClientRecord& r, std::int32_t error) {
  if (sk::GetSockName(r.Socket, r.LocAddr) != 0)
    TraceError("SimpleClient_Async",
               "Error. Getsockname failed. Could not find out the local IP on this socket");
  r.AsyncDNSHandle = 0;
  if (r.AsyncOpenInProgress) {
    r.AsyncOpenInProgress = false;
    --CountSimpleAsyncOpens;
  }
  r.AsyncOpenStopTime = 0;
  std::int32_t now = Now();
  if (IdleCheckingOn && r.InactiveTimeout != 0) r.LastActive = now;
  if (error == 0) {
    TraceInfo("SimpleClient_Async",
              "Received SIMPLE_CLIENT-FD_CONNECT - Asychronous Connection Established");
    AddInPacket(r, kPacketOpenSucceeded, nullptr, 0, 0);
    return;
  }
  TraceError("SimpleClient_Async",
             "Received SIMPLE_CLIENT-FD_CONNECT with Error = " + ErrAndText(error));
  AddInPacket(r, kPacketOpenFailed, nullptr, 0, error);
  r.PhaseOneCloseCalled = true;
  r.PhaseOneCloseTime = now;
  r.FD_Close_Received = true;
  r.AsyncMessage = 0;
  // The failed socket is released now; the record only waits for the object's second phase
  // or the closing check.
  sk::CloseSocket(r.Socket);
}

void NetDLL::ReadLoop(ClientRecord& r, ReadAmount amount) {
  std::uint8_t buffer[kMaxBinData];
  bool readSomething = false;
  // The socket is closed right after the read on the peer's close: whatever is left in it
  // then would be lost, so that read goes on until the end of the data.
  const std::int32_t share = std::max(settings_.ReadsPerNotification, 1);
  for (std::int32_t pass = 0; amount == ReadAmount::kToTheEnd || pass < share; ++pass) {
    int n = sk::Recv(r.Socket, buffer, kMaxBinData, 0);
    if (n > 0) {
      BytesReceived += n;
      readSomething = true;
      if (IdleCheckingOn && r.InactiveTimeout != 0) r.LastActive = Now();
      AddInPacket(r, kPacketData, buffer, n, 0);
      continue;
    }
    if (n == 0) return;
    std::int32_t err = sk::WsaGetLastError();
    if (readSomething) return;
    if (err == sk::kWsaEwouldblock) {
      TraceInfo("SimpleClient_Async", "Nothing to read (WSAEWOULDBLOCK).");
      return;
    }
    TraceError("SimpleClient_Async", "Error trying to read Data from Socket. (loc:rc = " + Str(n) +
                                         ") Error = " + Str(err) + " => " + NetErrorStr(err));
    return;
  }
}

void NetDLL::SendLoop(std::int32_t sockID) {
  bool sentSomething = false;
  if (ClientRecord* r = FindBySockID(sockID)) r->WriteDue = true;  // this loop takes new packets
  for (;;) {
    ClientRecord* r = FindBySockID(sockID);
    if (!r || r->FD_Close_Received) return;  // a closed socket's number may be someone else's
    auto it = std::find_if(qSimpleOutList.begin(), qSimpleOutList.end(),
                           [sockID](const OutList& o) { return o.SockID == sockID; });
    if (it == qSimpleOutList.end()) {
      r->WriteDue = false;  // the next packet arms the write notification again
      TraceInfo("SimpleClient_Async", "Nothing to do for this Socket. records (qSimpleOutList) = " +
                                          Str(qSimpleOutList.size()));
      if (r->ClosingState) {
        TraceInfo("SimpleClient_Async",
                  "Going to close the socket now. It's set to the closing state, and should be "
                  "closed when there is no "
                  "more data to send");
        if (SimpleClientClosePhaseOne(r->Socket, sockID) == 0)
          if (ClientRecord* again = FindBySockID(sockID)) again->ClosingState = false;
      }
      return;
    }
    const std::uint32_t id = it->SimplePacketID;
    auto d = qSimpleOutData.find(id);
    if (d == qSimpleOutData.end()) {
      TraceError("SimpleClient_Async",
                 "Bad Error. Could not find record in qSimpleOutData. SimplePacketID =" + Str(id));
      qSimpleOutList.erase(it);  // a list entry without data could never leave
      r->WriteDue = false;
      return;
    }
    const std::int32_t length = static_cast<std::int32_t>(d->second.BinData.size());
    int n = 0;
    std::int32_t err = 0;
    if (length > d->second.BytesSent) {
      // The send runs without the lock, so that the owner queues its next packets meanwhile
      // instead of waiting for the system call. The bytes go along (a close may clear the
      // queue in the meantime); no socket is closed while a send runs (WaitForSendToEnd).
      std::vector<std::uint8_t> bytes = std::move(d->second.BinData);
      const std::int32_t offset = d->second.BytesSent;
      const std::uint32_t socket = r->Socket;
      // With the next packet already waiting, a short tail of this one may wait to leave
      // with it; the last packet of the queue leaves at once.
      const bool more = std::any_of(std::next(it), qSimpleOutList.end(),
                                    [sockID](const OutList& o) { return o.SockID == sockID; });
      sendInFlight_ = true;
      mutex_.unlock();
      n = sk::Send(socket, bytes.data() + offset, length - offset, more ? sk::kSendMore : 0);
      if (n < 0) err = sk::WsaGetLastError();
      mutex_.lock();
      sendInFlight_ = false;
      sendEnded_.notify_all();
      r = FindBySockID(sockID);
      d = qSimpleOutData.find(id);
      it = std::find_if(qSimpleOutList.begin(), qSimpleOutList.end(),
                        [id](const OutList& o) { return o.SimplePacketID == id; });
      if (!r || d == qSimpleOutData.end() || it == qSimpleOutList.end()) {
        // Cleared meanwhile by a close: what is left of the packet is not sent.
        if (spareOutBuffers_.size() < kSpareOutBuffers)
          spareOutBuffers_.push_back(std::move(bytes));
        continue;
      }
      d->second.BinData = std::move(bytes);
    }
    OutData& out = d->second;
    if (n >= 0) {
      out.BytesSent += n;
      BytesSent += n;
      r->QueuedBytes = std::max<std::int64_t>(r->QueuedBytes - n, 0);
      if (n > 0) sentSomething = true;
      if (IdleCheckingOn && r->InactiveTimeout != 0 && n > 0) r->LastActive = Now();
      if (out.BytesSent < length) {
        // Keep going: the next send either takes more or reports would-block, which is what
        // brings the next FD_WRITE.
        TraceInfo("SimpleClient_Async",
                  "Not all data sent now (more will be sent later). SimplePacketID =" + Str(id));
        continue;
      }
      if (spareOutBuffers_.size() < kSpareOutBuffers)
        spareOutBuffers_.push_back(std::move(out.BinData));
      qSimpleOutData.erase(d);
      qSimpleOutList.erase(it);
      CheckSendRoom(*r);
      continue;
    }
    if (err == sk::kWsaEwouldblock) {
      r->WriteDue = true;  // the port reports the socket writable again
      if (!sentSomething)
        TraceInfo("SimpleClient_Async",
                  "WinSock reported 10035 WSAEWOULDBLOCK. ie We can't send the first packet for "
                  "now. We'll send more later. SockID = " +
                      Str(sockID));
      else
        TraceInfo("SimpleClient_Async",
                  "10035 WSAEWOULDBLOCK. ie More data will be sent later. SockID = " + Str(sockID));
      return;
    }
    r->WriteDue = false;
    TraceError("SimpleClient_Async",
               "Error Sending Asyc Packet (connection was okay though) on socket = " +
                   Str(r->Socket) + " SockID = " + Str(sockID) + " Error = " + ErrAndText(err));
    return;
  }
}

void NetDLL::WaitForSendToEnd() {
  sendEnded_.wait(mutex_, [this] { return !sendInFlight_; });
}

// ---------------------------------------------------------------------------------------
// Send and close

std::int32_t NetDLL::SimpleClientSend(NetConnection& c, const NetPacket& packet) {
  ClientRecord* r = FindBySockID(c.SockID);
  if (!r || r->Socket == 0) {
    TraceError("SimpleClientSend", "Could not find host and Socket in qSimpleClientSockets");
    return kNetConnectionNotFound;
  }
  if (r->ClosingState || r->PhaseOneCloseCalled || r->FD_Close_Received || r->PhaseTwoCloseCalled) {
    TraceError("SimpleClientSend",
               "Warning. The object may not know, but the Connection is closed or closing. "
               "ClosingState = " +
                   Str(r->ClosingState) + " " + Str(r->PhaseOneCloseCalled) + " " +
                   Str(r->FD_Close_Received) + " " + Str(r->PhaseTwoCloseCalled));
    return kNetConnectionNotFound;
  }
  std::int32_t len = std::clamp(packet.BinDataLen, 0, kMaxBinData);
  std::uint32_t id = ++NextSimplePacketID;
  OutData d;
  if (!spareOutBuffers_.empty()) {
    d.BinData = std::move(spareOutBuffers_.back());
    spareOutBuffers_.pop_back();
  }
  d.BinData.assign(packet.BinData, packet.BinData + len);
  qSimpleOutData.emplace(id, std::move(d));
  OutList o;
  o.SimplePacketID = id;
  o.Socket = r->Socket;
  o.SockID = r->SockID;
  o.Addr = r->Addr;
  o.Length = len;
  qSimpleOutList.push_back(o);
  r->QueuedBytes += len;
  // While a write notification is due, the send loop it starts takes this packet along;
  // re-arming would only bring a second notification.
  if (r->WriteDue) return 0;
  if (sk::AsyncSelect(r->Socket, callBackThread_, r->AsyncMessage, kClientEvents) != 0) {
    std::int32_t err = sk::WsaGetLastError();
    TraceError(
        "SimpleClientSend",
        "Error calling (Reset) WSAAsyncSelect(). Closing Socket. Error = " + ErrAndText(err));
    SimpleClientAbort(c);
    return err;
  }
  r->WriteDue = true;
  return 0;
}

std::int32_t NetDLL::SimpleClientClose(NetConnection& c, std::int32_t phase) {
  if (NetDLLClosedDown_) {
    Trace(TraceLevel::kInfo, "SimpleClientClose",
          "DLL already closed down. This function is ignored");
    return 0;
  }
  switch (phase) {
    case kPhaseOne: {
      std::size_t count = CountOutFor(c.SockID);
      if (count > 0) {
        TraceInfo(
            "SimpleClientClose",
            "There are " + Str(count) +
                " packets waiting to be sent. This socket connection will only be closed when "
                "all packets are sent. Calling winsock shutdown function.");
        ClientRecord* r = FindBySockID(c.SockID);
        if (!r) return kNetConnectionNotFound;
        // A socket closed on the peer's close may already carry another connection.
        if (!r->FD_Close_Received && sk::Shutdown(r->Socket, sk::kSdReceive) != 0)
          TraceError("SimpleClientClose",
                     "Error call to shutdown failed. Error = " + ErrAndText(sk::WsaGetLastError()));
        r->ClosingState = true;
        return 0;
      }
      if (c.Socket == 0 || c.SockID == 0) {
        TraceError("SimpleClientClose",
                   "Error. Either Socket = 0 or SockID = 0 in p_SimpleConnection.");
        return kNetAddressNotFound;
      }
      return SimpleClientClosePhaseOne(c.Socket, c.SockID);
    }
    case kPhaseTwo:
      return SimpleClientClosePhaseTwo(c.Socket, c.SockID);
    case kPhaseAbort:
      return SimpleClientAbort(c);
    default:
      TraceError("SimpleClientClose",
                 "Error Warning. Unsupported Phase in SimpleClientClose p_Phase = " + Str(phase));
      return 0;
  }
}

std::int32_t NetDLL::SimpleClientClosePhaseOne(std::uint32_t, std::int32_t sockID) {
  ClientRecord* r = FindBySockID(sockID);
  if (!r) {
    TraceError("SimpleClientClosePhaseOne",
               "Error. Could not find connection in qSimpleClientSockets. Exiting function.");
    return kNetConnectionNotFound;
  }
  AddInPacket(*r, kPacketClosedLocally, nullptr, 0, 0);
  std::int32_t result = 0;
  if (r->FD_Close_Received) {
    TraceInfo("SimpleClientClosePhaseOne",
              "FD_CLOSE was previously received. Will skip calling shutdown on the socket.");
  } else {
    if (sk::SetLinger(r->Socket, true, 3) != 0) {
      result = sk::WsaGetLastError();
      TraceError("SimpleClientClosePhaseOne",
                 "Error setting socket SO_LINGER options " + ErrAndText(result));
    }
    if (sk::Shutdown(r->Socket, sk::kSdSend) != 0) {
      const std::int32_t err = sk::WsaGetLastError();
      if (err == sk::kWsaEnotconn || err == sk::kWsaEconnreset) {
        // The peer reset the connection before its close was seen here (a server that
        // answers QUIT and closes at once does): there is nothing left to close, and what was
        // sent before has been answered already.
        TraceInfo("SimpleClientClosePhaseOne",
                  "The peer has already closed the connection. Error = " + ErrAndText(err));
      } else {
        result = err;
        TraceError("SimpleClientClosePhaseOne",
                   "Error call to shutdown failed. Error = " + ErrAndText(result));
      }
    }
  }
  r->PhaseOneCloseCalled = true;
  r->PhaseOneCloseTime = Now();
  if (r->AsyncOpenInProgress) {
    r->AsyncOpenInProgress = false;
    --CountSimpleAsyncOpens;
  }
  SimpleClearOutQueues(sockID);
  return result;
}

void NetDLL::CloseTheSocket(std::int32_t sockID) {
  ClientRecord* r = FindBySockID(sockID);
  if (!r) return;
  r->FD_Close_Received = true;
  r->AsyncMessage = 0;
  bool phaseOneRan = r->PhaseOneCloseCalled;
  bool shutdownFailed = false;
  if (!phaseOneRan) {
    TraceInfo("CloseTheSocket",
              "This socket was closed from the remote side - so we call shutdown (SD_BOTH)");
    if (sk::Shutdown(r->Socket, sk::kSdBoth) != 0) {
      shutdownFailed = true;
      TraceError("CloseTheSocket",
                 "Error call to shutdown failed. Error = " + ErrAndText(sk::WsaGetLastError()));
    }
    AddInPacket(*r, kPacketClosedByServer, nullptr, 0, 0);
  }
  if (!shutdownFailed && sk::SetLinger(r->Socket, true, 3) != 0)
    TraceError("CloseTheSocket",
               "Error setting socket SO_LINGER options " + ErrAndText(sk::WsaGetLastError()));
  if (sk::CloseSocket(r->Socket) != 0)
    TraceError("CloseTheSocket",
               "Warning. Call to CloseSocket failed. Error = " + ErrAndText(sk::WsaGetLastError()));
  if (phaseOneRan && r->PhaseTwoCloseCalled) {
    SimpleClientClosePhaseTwo(r->Socket, sockID);
    return;
  }
  if (!phaseOneRan) {
    if (r->AsyncOpenInProgress) {
      r->AsyncOpenInProgress = false;
      --CountSimpleAsyncOpens;
    }
    r->PhaseOneCloseCalled = true;
    r->PhaseOneCloseTime = Now();
  }
}

std::int32_t NetDLL::SimpleClientClosePhaseTwo(std::uint32_t, std::int32_t sockID) {
  ClientRecord* r = FindBySockID(sockID);
  if (!r) {
    TraceError("SimpleClientClosePhaseTwo",
               "(Second Phase). Could not find connection in qSimpleClientSockets");
    return kNetConnectionNotFound;
  }
  if (!r->PhaseOneCloseCalled) {
    TraceError(
        "SimpleClientClosePhaseTwo",
        "(Second Phase). Error. Phase One has not been called this socket. Skipping function");
    return kNetBadParameters;
  }
  if (r->AsyncOpenInProgress) {
    r->AsyncOpenInProgress = false;
    --CountSimpleAsyncOpens;
  }
  if (r->FD_Close_Received) {
    SimpleClearInQueue(sockID);
    SimpleClearOutQueues(sockID);
    DeleteRecord(sockID);
    TraceInfo("SimpleClientClosePhaseTwo",
              "Deleted record from qSimpleClientSockets. There are now " +
                  Str(qSimpleClientSockets.size()) + " records in qSimpleClientSockets.");
  } else {
    r->PhaseTwoCloseCalled = true;
    TraceInfo("SimpleClientClosePhaseTwo",
              "Hold on, we haven't received FD_CLOSE yet. Will continue waiting for it or for the "
              "DLL to clear this socket up");
  }
  return 0;
}

std::int32_t NetDLL::SimpleClientAbort(NetConnection& c) {
  Trace(TraceLevel::kInfo, "SimpleClientClose",
        "Socket Abort! Using Phase = -1 (Single Phase Client Socket CloseDown (Abort)).");
  WaitForSendToEnd();
  ClientRecord* r = FindBySockID(c.SockID);
  if (!r) {
    TraceError("SimpleClientClose",
               "Error. Could not find connection in qSimpleClientSockets. Exiting function.");
    return kNetConnectionNotFound;
  }
  std::int32_t result = 0;
  if (r->Socket == 0) {
    if (r->AsyncDNSHandle != 0) {
      int rc = sk::CancelAsyncRequest(r->AsyncDNSHandle);
      --CountSimpleAsyncDNS;
      TraceInfo("SimpleClientClose", "Had to stop the Asynchronous DNS lookup. DNSHandle = " +
                                         Str(r->AsyncDNSHandle) + " result = " + Str(rc));
    }
  } else if (!r->FD_Close_Received || r->AsyncMessage != 0) {
    if (sk::SetDontLinger(r->Socket) != 0)
      TraceError("SimpleClientClose",
                 "Error setting socket DONTLINGER options on socket = " + Str(r->Socket) +
                     ". Error = " + Str(sk::WsaGetLastError()));
    if (sk::CloseSocket(r->Socket) != 0) {
      std::int32_t err = sk::WsaGetLastError();
      if (err == sk::kWsaEnotsock) {
        TraceInfo("SimpleClientClose", "Error 10038 Ignored.");
      } else {
        TraceError("SimpleClientClose", "Error closing socket. Error = " + ErrAndText(err));
        result = err;
      }
    }
  }
  if (r->AsyncOpenInProgress) --CountSimpleAsyncOpens;
  SimpleClearInQueue(c.SockID);
  SimpleClearOutQueues(c.SockID);
  DeleteRecord(c.SockID);
  return result;
}

// ---------------------------------------------------------------------------------------
// Timers

void NetDLL::Tick() {
  std::lock_guard lock(mutex_);
  Timer_CheckSimpleAsyncOpens();
  Timer_CheckForIdleConnections();
  if (--mediumCountdown_ <= 0) {
    mediumCountdown_ = mediumTicks_;
    CheckToCloseNetSimpleSockets();
  }
}

void NetDLL::Timer_CheckSimpleAsyncOpens() {
  if (CountSimpleAsyncOpens == 0 && CountSimpleAsyncDNS == 0) return;
  std::int32_t now = Now();
  for (auto& r : qSimpleClientSockets) {
    if (r.AsyncOpenStopTime == 0) continue;
    // Time since the open started, across midnight too.
    std::int32_t elapsed = (now - r.AsyncOpenStartTime + kHundredthsPerDay) % kHundredthsPerDay;
    if (elapsed < r.AsyncOpenTimeout) continue;
    std::string where = r.Server + ":" + Str(r.Port) + " on SockID = " + Str(r.SockID);
    if (r.AsyncDNSHandle != 0) {
      TraceError("Timer_CheckSimpleAsyncOpens",
                 "Error! DNS TimeOut occurred while trying to connect to " + where);
      sk::CancelAsyncRequest(r.AsyncDNSHandle);
      --CountSimpleAsyncDNS;
      r.AsyncDNSHandle = 0;
    } else if (r.AsyncOpenInProgress && !r.PhaseOneCloseCalled) {
      TraceError("Timer_CheckSimpleAsyncOpens",
                 "Error! TimeOut occurred while trying to connect to " + where);
      r.AsyncMessage = 0;
      sk::Shutdown(r.Socket, sk::kSdBoth);
      sk::SetLinger(r.Socket, true, 3);
      if (sk::CloseSocket(r.Socket) != 0)
        TraceError("Timer_CheckSimpleAsyncOpens", "Warning. Call to CloseSocket failed. Error = " +
                                                      ErrAndText(sk::WsaGetLastError()));
      r.AsyncOpenInProgress = false;
      --CountSimpleAsyncOpens;
    } else {
      r.AsyncOpenStopTime = 0;
      continue;
    }
    r.AsyncOpenStopTime = 0;
    r.PhaseOneCloseCalled = true;
    r.PhaseOneCloseTime = now;
    r.FD_Close_Received = true;
    r.AsyncMessage = 0;
    AddInPacket(r, kPacketOpenFailed, nullptr, 0, kNetTimeout);
  }
}

void NetDLL::Timer_CheckForIdleConnections() {
  if (!IdleCheckingOn) return;
  std::int32_t now = Now();
  for (auto& r : qSimpleClientSockets) {
    if (r.InactiveTimeout == 0 || r.PhaseOneCloseCalled) continue;
    if (r.LastActive > now) {  // midnight has passed
      r.LastActive -= kHundredthsPerDay;
      if (r.LastActive > now) r.LastActive = now;
    }
    if (now - r.LastActive >= r.InactiveTimeout) {
      TraceInfo("Timer_CheckForIdleConnections",
                "Idle (Client) Connection on Socket = " + Str(r.Socket) +
                    " SockID = " + Str(r.SockID) + " InactiveTimeout = " + Str(r.InactiveTimeout) +
                    " LastActive = " + Str(r.LastActive) + " Now = " + Str(now));
      r.LastActive = now;
      AddInPacket(r, kPacketIdle, nullptr, 0, 0);
    }
  }
}

void NetDLL::CheckToCloseNetSimpleSockets() {
  std::int32_t now = Now();
  for (std::size_t i = qSimpleClientSockets.size(); i-- > 0;) {
    ClientRecord& r = qSimpleClientSockets[i];
    if (!r.PhaseOneCloseCalled) continue;
    if (r.PhaseOneCloseTime > now) r.PhaseOneCloseTime = now;  // midnight has passed
    if (r.PhaseOneCloseTime + settings_.SimpleClosingSocketsInterval > now) continue;
    std::int32_t sockID = r.SockID;
    SimpleClearInQueue(sockID);
    SimpleClearOutQueues(sockID);
    TraceInfo("CheckToCloseNetSimpleSockets",
              "Closing State on Client Socket has expired. Will run 2nd Phase close on Socket = " +
                  Str(r.Socket) + " SockID = " + Str(sockID));
    if (!r.FD_Close_Received) {
      TraceInfo("CheckToCloseNetSimpleSockets",
                "We never received FD_CLOSE. Closing Socket and Simulating as if we had received "
                "FD_Close already");
      sk::SetLinger(r.Socket, true, 3);
      if (sk::CloseSocket(r.Socket) != 0)
        TraceError("CheckToCloseNetSimpleSockets", "Warning. Call to CloseSocket failed. Error = " +
                                                       ErrAndText(sk::WsaGetLastError()));
      r.FD_Close_Received = true;
      r.AsyncMessage = 0;
    }
    SimpleClientClosePhaseTwo(r.Socket, sockID);
  }
}

// ---------------------------------------------------------------------------------------
// The program's layer

NetDLL& DefaultNetDLL() {
  static NetDLL* dll = new NetDLL;  // shut down explicitly by NetShutDown
  return *dll;
}

void NetStartUp(const std::string& commandLine) { DefaultNetDLL().DLLStartUp(commandLine); }

void NetProgramEnd() {
  NetDLL& dll = DefaultNetDLL();
  dll.NetCloseCallBackWindow();
  if (AnyLoggingSwitch()) {
    platform::DebugOutput(FormatTraceLine("NetProgramEnd", "===== VERDAN closing down ====="));
    NetDLL::Figures f = dll.GetFigures();
    platform::DebugOutput(FormatTraceLine(
        "NetProgramEnd",
        "Bytes sent = " + Str(f.bytesSent) + " Bytes received = " + Str(f.bytesReceived)));
  }
}

void NetShutDown() { DefaultNetDLL().DLLShutDown(); }

NetProgramScope::NetProgramScope(int argc, char** argv) {
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += argv[i];
  }
  NetStartUp(commandLine);
}

NetProgramScope::~NetProgramScope() {
  NetProgramEnd();
  NetShutDown();
}

}  // namespace verdan::net
