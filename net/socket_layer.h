// NetDLL: the process-wide socket layer under every network object.
//
// It opens TCP client connections (with an optional asynchronous host-name look-up and a
// connect time-out), queues outgoing data per connection and sends it when the socket is
// writable, reads incoming data into a process-wide in-queue and posts the owning object's
// private event to the object's thread; the object then fetches the packet. Every socket
// event arrives as a message at the hidden window `NetMainWindow`, which runs on a callback
// thread of its own with a one-second general timer that drives open time-outs, idle checks
// and the closing check of the two-phase close.
//
// Thread-safety: every public function may be called from any thread. One lock serialises
// the tables and counters; it is never held while the layer waits on the network, and the
// only call-out to an object is the posted event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net_records.h"
#include "platform/event_loop.h"
#include "platform/sockets.h"

namespace verdan::net {

// Window messages and events of the layer.
constexpr std::int32_t kMsgAsyncDns = 3109;         // completion of an asynchronous look-up
constexpr std::int32_t kEventCallBackReady = 3107;  // callback thread -> loader: ready
constexpr std::int32_t kEventCloseDown = 3110;      // asks the callback thread to close down
constexpr std::int32_t kFirstClientMessage = 6180;
constexpr std::int32_t kLastClientMessage = 7179;
constexpr std::int32_t kWmQueryEndSession = 0x11;
constexpr std::int32_t kWmEndSession = 0x16;

// Close phases of NetSimpleConnectClose.
enum ClosePhase : std::int32_t { kPhaseAbort = -1, kPhaseOne = 1, kPhaseTwo = 2 };

// Timer settings in hundredths of a second.
struct NetTimerSettings {
  std::int32_t GeneralTimer = 100;
  std::int32_t MediumTimerInterval = 2000;
  std::int32_t LongTimerInterval = 120000;
  std::int32_t SimpleClosingSocketsInterval = 30000;
  // How long the loader waits for the callback thread's ready event, in milliseconds (0:
  // it only looks once).
  std::int32_t LoaderWaitMs = 10000;
  // Receives per read notification; the port reports data that remains again, so other
  // sockets get their turn. The read before closing on the peer's close takes everything.
  std::int32_t ReadsPerNotification = 256;
};

class NetDLL {
 public:
  explicit NetDLL(NetTimerSettings settings = {});
  // Closes down the callback thread and releases the sockets if that has not happened.
  ~NetDLL();
  NetDLL(const NetDLL&) = delete;
  NetDLL& operator=(const NetDLL&) = delete;

  // --- Start-up and shutdown ---
  // Expands and reads the switches of `commandLine`, then starts the socket interface.
  // Without it, the first open starts the sockets (leaving the trace switches alone).
  void DLLStartUp(const std::string& commandLine);
  // Starts the callback thread if the layer is not active: 0, kNetLoadFailed (sockets not
  // started), kNetThreadNotCreated or kNetCallBackWindowTimeout (no ready signal in time).
  std::int32_t LoadCallBackWindow();
  // Asks the callback thread to close down: 0, or kNetCallBackWindowClosed when the layer is not
  // active.
  std::int32_t NetCloseCallBackWindow();
  // Closes every socket and empties the tables; no object is notified.
  void CloseAll();
  // Runs once when the program ends: closes down and releases the socket interface.
  void DLLShutDown();
  // Delivers a window message to NetMainWindow (the desktop session's end arrives as
  // kWmQueryEndSession or kWmEndSession). False when the layer is not active.
  bool PostToCallBackWindow(const platform::Event& event);

  bool WinSockLoaded() const;
  bool NetDLLActive() const;
  bool NetDLLClosedDown() const;
  platform::ThreadId CallBackThread() const;

  // --- Entry points of the network object ---
  std::int32_t NetSimpleConnectOpen(NetConnection& connection);
  std::int32_t NetSimpleConnectSend(NetConnection& connection, const NetPacket& packet);
  std::int32_t NetSimpleConnectReceive(NetConnection& connection, NetPacket& packet);
  std::int32_t NetSimpleConnectClose(NetConnection& connection, std::uint32_t socket,
                                     std::int32_t sockID, std::int32_t phase);
  // Bytes of the descriptor's connection still queued for sending, in `queued`. With
  // `notifyAtOrBelow` > 0 the owner is also sent one kPacketSendRoom packet as soon as they
  // have dropped to that many or fewer (at once when they already have); a later call
  // replaces the request. Returns 0, or kNetConnectionNotFound when the connection is not
  // (or no longer) open.
  std::int32_t NetSimpleConnectSendRoom(NetConnection& connection, std::int64_t notifyAtOrBelow,
                                        std::int64_t& queued);
  // Packets of a connection still queued for sending, and their bytes (socket and sockID
  // 0: the descriptor's own connection).
  void CountSimpleOutgoing(const NetConnection& connection, std::uint32_t socket,
                           std::int32_t sockID, std::int32_t& packets, std::int64_t& bytes);
  // The first of the next object's five event numbers (2053, 2058, ...).
  std::int32_t NextObjectEvent();

  // --- Figures for tests and the benchmark ---
  struct Figures {
    std::size_t clientSockets = 0;
    std::size_t inPackets = 0;
    std::size_t outPackets = 0;
    std::int32_t countSimpleAsyncOpens = 0;
    std::int32_t countSimpleAsyncDNS = 0;
    std::int64_t bytesSent = 0;
    std::int64_t bytesReceived = 0;
  };
  Figures GetFigures() const;
  // Posts Event{code} to `thread` once no client connection is left (at once when there is
  // none): an owner waiting for its last close to end learns it without looking again and
  // again. One such request is kept; a new one replaces it.
  void NotifyWhenNoClientSockets(platform::ThreadId thread, std::int32_t code);
  // The record of a connection: false when there is none.
  struct ClientView {
    std::uint32_t Socket = 0;
    std::int32_t AsyncMessage = 0;
    bool ClosingState = false, PhaseOneCloseCalled = false, FD_Close_Received = false,
         PhaseTwoCloseCalled = false, AsyncOpenInProgress = false;
    std::int32_t PhaseOneCloseTime = 0, AsyncOpenStopTime = 0, LastActive = 0;
  };
  bool FindClient(std::int32_t sockID, ClientView& view) const;

 private:
  struct ClientRecord {
    std::uint32_t Socket = 0;
    std::int32_t SockID = 0;
    platform::SockAddrIn Addr;
    platform::SockAddrIn LocAddr;
    std::int32_t AsyncMessage = 0;
    std::int32_t NotifyThread = 0;
    std::int32_t NotifyMsg = 0;
    bool ClosingState = false;
    bool PhaseOneCloseCalled = false;
    std::int32_t PhaseOneCloseTime = 0;
    bool FD_Close_Received = false;
    bool PhaseTwoCloseCalled = false;
    bool AsyncOpenInProgress = false;
    std::int32_t AsyncOpenStopTime = 0;
    std::int32_t AsyncOpenTimeout = 0;  // the time-out the stop time was computed from
    std::int32_t AsyncOpenStartTime = 0;
    std::uint32_t AsyncDNSHandle = 0;
    std::string Server;
    std::uint16_t Port = 0;
    std::int32_t InactiveTimeout = 0;
    std::int32_t LastActive = 0;
    bool Accessed = false;  // a packet of it was fetched by the object
    // A write notification is on its way (armed by a send or by a send that would block):
    // a new packet needs no re-arming, the coming send loop takes it along.
    bool WriteDue = false;
    // Bytes of its packets still to be sent, and the level at or below which the owner
    // asked to hear of it (0: no request).
    std::int64_t QueuedBytes = 0;
    std::int64_t SendRoomAtOrBelow = 0;
  };
  struct OutData {
    std::vector<std::uint8_t> BinData;
    std::int32_t BytesSent = 0;
  };
  struct OutList {
    std::uint32_t SimplePacketID = 0;
    std::uint32_t Socket = 0;
    std::int32_t SockID = 0;
    platform::SockAddrIn Addr;
    std::int32_t Length = 0;  // BinDataLen of the packet, for counting without its data
  };
  struct InData {
    std::uint32_t FromIP = 0;
    std::uint32_t OnSocket = 0;
    std::int32_t SockID = 0;
    std::vector<std::uint8_t> BinData;
    std::int32_t PacketType = 0;
    std::int32_t Reserved2 = 0;
    std::int32_t Error = 0;
  };
  // Parameters of a socket creation.
  struct OpenParams {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::string server;
    std::int32_t thread = 0;
    std::int32_t event = 0;
    std::int32_t sockID = 0;
    std::int32_t asyncOpenTimeout = 0;
    std::int32_t inactiveTimeout = 0;
    bool fromLookUp = false;
    bool asyncMode = false;
  };

  // All of these run with mutex_ held unless said otherwise.
  std::int32_t SimpleClientOpen(NetConnection& c, std::unique_lock<std::mutex>& lock);
  std::int32_t SimpleClientOpenB(const OpenParams& p, std::uint32_t& socketOut,
                                 platform::SockAddrIn& localOut,
                                 std::unique_lock<std::mutex>& lock);
  void SimpleAsyncDNS(const platform::Event& e);
  std::int32_t SimpleClient_Async(const platform::Event& e);
  void OnConnect(ClientRecord& r, std::int32_t error);
  // How much one read loop takes: its share of a notification, or everything up to the
  // peer's close.
  enum class ReadAmount { kShare, kToTheEnd };
  void ReadLoop(ClientRecord& r, ReadAmount amount);
  // Sends the socket's queued packets until they are gone or the socket would block. Each
  // send runs with the lock let go; the loop runs on the callback thread only.
  void SendLoop(std::int32_t sockID);
  // Waits (letting the lock go) until no send runs without the lock: before a socket is
  // closed from another thread.
  void WaitForSendToEnd();
  std::int32_t SimpleClientSend(NetConnection& c, const NetPacket& packet);
  std::int32_t SimpleClientClose(NetConnection& c, std::int32_t phase);
  std::int32_t SimpleClientClosePhaseOne(std::uint32_t socket, std::int32_t sockID);
  std::int32_t SimpleClientClosePhaseTwo(std::uint32_t socket, std::int32_t sockID);
  std::int32_t SimpleClientAbort(NetConnection& c);
  void CloseTheSocket(std::int32_t sockID);
  void Timer_CheckSimpleAsyncOpens();
  void Timer_CheckForIdleConnections();
  void CheckToCloseNetSimpleSockets();
  void CloseAllLocked();
  std::int32_t AllocateClientMessage(std::int32_t& message);
  ClientRecord* FindBySockID(std::int32_t sockID);
  ClientRecord* FindByMessage(std::int32_t message);
  void DeleteRecord(std::int32_t sockID);
  void SimpleClearInQueue(std::int32_t sockID);
  void SimpleClearOutQueues(std::int32_t sockID);
  // Sends the owner its send-room packet when the queue has drained far enough.
  void CheckSendRoom(ClientRecord& r);
  std::size_t CountOutFor(std::int32_t sockID) const;
  void AddInPacket(const ClientRecord& r, std::int32_t type, const std::uint8_t* data,
                   std::int32_t length, std::int32_t error);
  void AddInPacketTo(std::uint32_t fromIP, std::uint32_t socket, std::int32_t sockID,
                     std::int32_t notifyThread, std::int32_t notifyMsg, std::int32_t type,
                     std::int32_t error);
  static std::int32_t StopTime(std::int32_t now, std::int32_t timeout);
  static std::int32_t Now();

  // Window procedures of NetMainWindow (lock not held on entry).
  std::int32_t CallBackWindowClientCallBack(const platform::Event& e);
  std::int32_t CallBackWindowMainCallBack(const platform::Event& e);
  void CallBackWindowSrc();
  void Tick();
  void StartSockets();

  const NetTimerSettings settings_;
  mutable std::mutex mutex_;
  // A send of the send loop runs with mutex_ let go; closes wait for sendEnded_.
  bool sendInFlight_ = false;
  std::condition_variable_any sendEnded_;
  std::vector<ClientRecord> qSimpleClientSockets;
  std::map<std::uint32_t, OutData> qSimpleOutData;
  std::deque<OutList> qSimpleOutList;
  std::deque<InData> qSimpleInData;
  // Data buffers of packets that have left, reused by the next sends instead of allocating.
  std::vector<std::vector<std::uint8_t>> spareOutBuffers_;
  // Who is told when the last client record goes (NotifyWhenNoClientSockets); 0: nobody.
  platform::ThreadId noClientsThread_ = 0;
  std::int32_t noClientsCode_ = 0;
  // Tells it when the table of client records has become empty.
  void ClientRecordsRemoved();
  std::int32_t NextSockID = 0;
  std::uint32_t NextSimplePacketID = 0;
  std::int32_t InPacketCounter = 0;
  std::int32_t NextClientMessage = kLastClientMessage;
  std::int32_t CountSimpleAsyncOpens = 0;
  std::int32_t CountSimpleAsyncDNS = 0;
  bool IdleCheckingOn = false;
  std::int64_t BytesSent = 0;
  std::int64_t BytesReceived = 0;
  std::int32_t objectEventCounter_ = 1024;

  // Start-up state.
  bool WinSockLoaded_ = false;
  bool WinSock2_ = false;
  bool NetDLLActive_ = false;
  bool NetDLLClosedDown_ = false;
  bool shutDown_ = false;
  bool startUpRan_ = false;
  platform::ThreadId callBackThread_ = 0;
  std::thread callBackThreadObject_;
  std::atomic<bool> stopRequested_{false};  // checked by the callback thread after every event
  std::mutex loadMutex_;                    // one loader at a time
  // The loader's mailbox for the ready event.
  std::mutex readyMutex_;
  std::condition_variable readyCv_;
  bool readyPosted_ = false;
  std::int32_t mediumTicks_ = 20;
  std::int32_t mediumCountdown_ = 20;
};

// The program's socket layer.
NetDLL& DefaultNetDLL();

// Start-up and shutdown hooks for the program's main.
void NetStartUp(const std::string& commandLine);  // DLLStartUp on the program's layer
void NetProgramEnd();  // NetCloseCallBackWindow and, with a logging switch, the closing lines
void NetShutDown();    // DLLShutDown on the program's layer

// The program's start and end around main: DLLStartUp with the command line (the
// arguments joined by blanks) at construction; at destruction NetProgramEnd and NetShutDown.
class NetProgramScope {
 public:
  NetProgramScope(int argc, char** argv);
  ~NetProgramScope();
  NetProgramScope(const NetProgramScope&) = delete;
  NetProgramScope& operator=(const NetProgramScope&) = delete;
};

}  // namespace verdan::net
