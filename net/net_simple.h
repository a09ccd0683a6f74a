// NetSimple: the object through which a window talks TCP.
//
// A window owns one instance (or an object of a derived class), calls `Init` once, `Open` to
// connect, fills `Packet` and calls `Send` to write, and hands every event of its window to
// `TakeEvent`. The socket layer does the network work on its own thread and posts the
// object's private event to the owner's thread whenever a packet waits; `TakeEvent` fetches
// it and calls the virtual hooks: `Process` for data, idle and open-succeeded packets,
// `ConnectionClosed` when the server closed the connection, `ReportError` for failures.
//
// A connection can be made secure with `StartTls` (at once for a server that expects TLS
// from the first byte, or after the protocol's own "start TLS" command). The TLS session sits
// between the object and the socket layer's packets: `Send` encrypts, received data is
// decrypted before `Process` sees it, and handshake traffic never reaches `Process`.
//
// Thread-safety: an object is used only on its owner's thread (the thread that called
// `Init`, or `UseThisThread`). Every operation sets `Error` (0 on success).
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "net/net_records.h"
#include "platform/event_loop.h"
#include "platform/ui.h"

namespace verdan::net {

class NetDLL;
class TlsContext;
class TlsSession;

// What CountOutgoingPackets fills in.
enum class OutgoingCount : std::int32_t {
  kPackets = 1,          // OutgoingDLLPackets only
  kPacketsAndBytes = 2,  // also OutgoingDLLPacketsBytes
};

class NetSimple {
 public:
  // `ui` shows the error boxes (none are shown without one); `layer` is the socket layer
  // (the program's own instance when null).
  explicit NetSimple(platform::Ui* ui = nullptr, NetDLL* layer = nullptr);
  virtual ~NetSimple();
  NetSimple(const NetSimple&) = delete;
  NetSimple& operator=(const NetSimple&) = delete;

  void SetUi(platform::Ui* ui) { ui_ = ui; }
  platform::Ui* ui() const { return ui_; }
  NetDLL& layer() const { return *layer_; }

  // --- Properties, in their declaration order ---
  std::int32_t Error = 0;
  std::string ErrorString;         // text of the last reported error (at most 255)
  std::int32_t UseThisThread = 0;  // if not 0 before Init: the thread to notify
  NetPacket Packet;
  std::uint8_t OpenFlag = 0;  // 1 = connection open
  std::int32_t OutgoingDLLPackets = 0;
  std::int32_t OutgoingDLLPacketsBytes = 0;
  std::vector<NetServerConnection>* QServerConnections = nullptr;  // server mode only
  std::int32_t ServerConnectionsCount = 0;                         // server mode only
  std::uint8_t SuppressErrorMsg = 0;                               // 1 = ReportError shows no box
  std::uint8_t DontErrorTrapInSendIfConnectionClosed =
      0;                              // 1 = Send does not report kNetConnectionNotFound
  std::uint8_t AsyncOpenUse = 0;      // 1 = open asynchronously
  std::int32_t AsyncOpenTimeout = 0;  // hundredths; Init sets 900
  std::uint8_t AsyncOpenBusy = 0;     // 1 = asynchronous open started, result not known
  std::int32_t InactiveTimeout = 0;   // hundredths; 0 = none
  NetConnection Connection_;
  std::uint8_t Initalised_ = 0;
  std::unique_ptr<std::vector<NetServerConnection>> QServerConnections_;
  std::uint8_t BetweenPhaseOneAnTwo_ = 0;
  std::uint8_t IgnorePhaseTwo_ = 0;

  // --- Not virtual ---
  // Prepares the object for `mode` and gives it its five event numbers (first object 2053,
  // next 2058, ...), starting at `Connection_.Event`.
  void Init(ConnectionMode mode = kModeClient);
  // Closes or aborts what is open and detaches the object from its thread.
  void Kill();
  // Handles one event of the owner's window; the owner calls it for every event, in order.
  void TakeEvent(const platform::Event& event);
  void TakeEvent(std::int32_t eventCode) { TakeEvent(platform::Event{eventCode}); }

  // --- Virtual operations, in the order of the method table ---
  virtual void Log(const std::string& functionName, const std::string& text);
  virtual std::string InterpretError();
  // Connects to server:port. On an object whose connection is still open or opening, the
  // call is refused with kNetConnectionAlreadyOpen: Close or Abort first.
  virtual void Open(const std::string& server, std::uint16_t port);
  virtual void Close();
  virtual void Process();
  virtual void Send();
  virtual void ReportError(const std::string& errorText, const std::string& functionName);
  virtual void ConnectionClosed();
  virtual void CloseServerConnection(std::uint32_t socket, std::int32_t sockID);
  virtual void Abort();
  virtual void CountOutgoingPackets(OutgoingCount what, std::uint32_t socket = 0,
                                    std::int32_t sockID = 0);
  virtual void AbortServerConnection(std::uint32_t socket, std::int32_t sockID);
  virtual void Ping(const std::string& host);
  // Called when the socket layer reports that this connection's queue of outgoing data has
  // drained to the level asked for with QueuedSendBytes. Does nothing here.
  virtual void SendRoom();
  // Called when the TLS handshake started by StartTls has succeeded and the server's
  // certificate was accepted. Does nothing here.
  virtual void TlsReady();

  // --- Secure connection ---
  // Starts the TLS handshake on the open connection. The server's certificate must be
  // trusted (by the system store, or by the CA bundle `caFile` when it is not empty) and
  // issued for `hostName`. Sets Error: 0, or kNetTlsFailed (reported) when no session could
  // be set up. The outcome arrives later: TlsReady, or ReportError with kNetTlsCertificate
  // or kNetTlsFailed (handshake failed). After a failure `Send` refuses (kNetTlsFailed) until
  // the next `Open`, so nothing meant for the secure connection can leave in clear; the
  // owner closes it.
  void StartTls(const std::string& hostName, const std::string& caFile);
  // Builds the trust for a StartTls with `caFile` ahead, on a thread of its own, while the
  // connection is opened and the server greets: StartTls then only waits for what is not
  // done yet. Nothing is reported here; StartTls reports as it would have.
  void PrepareTls(const std::string& caFile);
  bool TlsStarted() const { return tls_ != nullptr; }
  bool TlsEstablished() const;
  std::string TlsDescription() const;  // protocol and cipher once established

  // Bytes of this connection still queued in the socket layer (0 when it is not open). With
  // `notifyAtOrBelow` > 0, SendRoom is called once they have dropped to that many.
  std::int64_t QueuedSendBytes(std::int64_t notifyAtOrBelow = 0);

  // Sends Packet as one piece of a longer stream that more pieces follow. Over TLS the
  // ciphertext goes to the layer in whole packets only; a last part that does not fill one
  // waits for the next send, which takes it along (any Send sends all that waits). Without
  // TLS, the same as Send.
  void SendPart();

 private:
  // Second phase for the connection `sockID` names (0: the descriptor's), flags cleared,
  // then ConnectionClosed.
  void HandleClosedByServer(std::uint32_t socket, std::int32_t sockID);
  // Received data of a TLS connection: handshake progress, or decrypted data for Process.
  void TakeTlsData();
  // Sends the ciphertext the session has waiting; false when the layer refused it (reported
  // as a failed send when `report` is set).
  bool FlushTls(bool report, bool wholePacketsOnly = false);
  // A handshake or session failure: reported, session dropped.
  void TlsFailed(const std::string& when);
  void DropTls();
  platform::Ui* ui_ = nullptr;
  NetDLL* layer_ = nullptr;
  std::unique_ptr<TlsSession> tls_;
  std::future<std::shared_ptr<TlsContext>> preparedTls_;  // PrepareTls's work, until taken
  std::uint32_t tlsGeneration_ = 0;  // changes whenever the session is replaced or dropped
  bool tlsBroken_ = false;  // the secure connection failed: nothing more is sent until Open
  std::unique_ptr<NetPacket> tlsPacket_;  // ciphertext on its way to the layer
  bool sendingPart_ = false;              // in SendPart: whole packets of ciphertext only
};

// Text of a code of the layer or the object (0 and the negative codes), or of a socket error
// number; at most 512 characters. This is what `InterpretError` gives for `Error`.
std::string InterpretNetError(std::int32_t code);

}  // namespace verdan::net
