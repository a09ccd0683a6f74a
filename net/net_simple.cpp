#include "net/net_simple.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "net/net_trace.h"
#include "net/socket_layer.h"
#include "net/tls_session.h"

namespace verdan::net {
namespace {

std::string FieldText(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

void SetField(char* field, std::size_t size, const std::string& text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(size - 1, text.size()));
}

std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

std::string InterpretNetError(std::int32_t code) {
  std::string text;
  if (code == 0) {
    text = "General Object level error";
  } else if (code == kNetTlsFailed) {
    text = "Sigurna veza (TLS) s poslužiteljem nije uspostavljena";
  } else if (code == kNetTlsCertificate) {
    text = "Certifikat poslužitelja nije prošao provjeru";
  } else if (code == kNetTlsNotReady) {
    text = "Sigurna veza (TLS) još nije uspostavljena, pa podaci nisu poslani";
  } else if (IsLayerCode(code)) {
    // The object's own wording differs from the layer's in a few texts.
    switch (code) {
      case kNetHostOrSocketNotSpecified:
        text =
            "Host or Socket not specified. Please set the <object>.packet.ToIp and "
            "<object>.packet.OnSocket before sending data.";
        break;
      case kNetFtpError:
        text = "a General FTP error occurred";
        break;
      case kNetNoDialUpEntry:
        text = "No Phone Book Entry. You need a Phone Book Entry before you can dial.";
        break;
      case kNetDialUpNotQueued:
        text = "The Ras Object is not in the DLL queue.";
        break;
      case kNetDialUpBusy:
        text = "The Ras Object is busy opening another RAS connection.";
        break;
      case kNetNoPosting:
        text = "No Posting allowing";
        break;
      case kNetConnectionAlreadyOpen:
        text = "Connection already open";
        break;
      default:
        text = NetErrorText(code);
        break;
    }
  } else {
    // Socket error numbers, and any code the object does not know.
    text = TrimRight(NetErrorStr(code)) + " [listed by NetErrorStr]";
  }
  if (text.size() > 512) text.resize(512);
  return text;
}

NetSimple::NetSimple(platform::Ui* ui, NetDLL* layer)
    : ui_(ui), layer_(layer ? layer : &DefaultNetDLL()) {}

NetSimple::~NetSimple() {
  // An object dropped without Kill must not leave its connection behind in the layer.
  if (OpenFlag == 1 || AsyncOpenBusy == 1)
    layer_->NetSimpleConnectClose(Connection_, 0, 0, kPhaseAbort);
}

void NetSimple::Init(ConnectionMode mode) {
  QServerConnections_ = std::make_unique<std::vector<NetServerConnection>>();
  QServerConnections = QServerConnections_.get();
  Connection_.Mode = mode;
  Connection_.Thread =
      UseThisThread != 0 ? UseThisThread : static_cast<std::int32_t>(platform::CurrentThreadId());
  AsyncOpenTimeout = 900;
  if (!Initalised_) {
    Connection_.Event = layer_->NextObjectEvent();
    Initalised_ = 1;
  }
}

void NetSimple::Kill() {
  if (OpenFlag == 1) Close();
  if (AsyncOpenBusy == 1) Abort();
  Connection_.Thread = 0;
  if (QServerConnections_) QServerConnections_->clear();
  QServerConnections_.reset();
  QServerConnections = nullptr;
}

void NetSimple::Log(const std::string&, const std::string&) {}

std::string NetSimple::InterpretError() { return InterpretNetError(Error); }

void NetSimple::Open(const std::string& server, std::uint16_t port) {
  if (OpenFlag == 1 || AsyncOpenBusy == 1) {
    // Replacing the descriptor's connection would strand the open one in the layer.
    Error = kNetConnectionAlreadyOpen;
    ReportError("Unable to Open Connection", "NetSimple(Client).Open");
    return;
  }
  Error = 0;
  AsyncOpenBusy = 0;
  DropTls();
  tlsBroken_ = false;
  if (BetweenPhaseOneAnTwo_) IgnorePhaseTwo_ = 1;
  SetField(Connection_.Server, sizeof Connection_.Server, server);
  Connection_.Port = port;
  if (AsyncOpenUse) {
    Connection_.AsyncOpenTimeout = AsyncOpenTimeout;
    Log("NetSimple.Open",
        "Will use Asynchronous Open. Timeout (hs) = " + std::to_string(AsyncOpenTimeout));
  } else {
    Connection_.AsyncOpenTimeout = 0;
  }
  if (InactiveTimeout != 0) {
    Connection_.InactiveTimeout = InactiveTimeout;
    Log("NetSimple(Client).Open",
        "Will use InActive (Idle) Timeout (hs) = " + std::to_string(InactiveTimeout));
  } else {
    Connection_.InactiveTimeout = 0;
  }
  Error = layer_->NetSimpleConnectOpen(Connection_);
  if (Error == 0) {
    if (Connection_.AsyncOpenTimeout > 0) {
      OpenFlag = 0;
      AsyncOpenBusy = 1;
    } else {
      OpenFlag = 1;
    }
    return;
  }
  OpenFlag = 0;
  ReportError("Unable to Open Connection", "NetSimple(Client).Open");
}

void NetSimple::Close() {
  if (OpenFlag != 1) {
    DropTls();
    return;
  }
  if (tls_ && tls_->Established()) {
    // The closing alert goes out ahead of the close, after everything already queued.
    tls_->Shutdown();
    FlushTls(false);
  }
  DropTls();
  Error = layer_->NetSimpleConnectClose(Connection_, 0, 0, kPhaseOne);
  BetweenPhaseOneAnTwo_ = 1;
  IgnorePhaseTwo_ = 0;
  OpenFlag = 0;
  if (Error != 0) ReportError("Unable to Close connection", "NetSimple.Close");
}

void NetSimple::Process() {}

void NetSimple::Send() {
  Error = 0;
  if (Packet.BinDataLen > kMaxBinData) {
    Error = kNetInvalidStructureSize;
    ReportError("Trying to send too much data in self.packet.binData and self.packet.binDataLen",
                "NetSimple.Send");
    return;
  }
  if (OpenFlag == 0 && Connection_.UDPMode == 0) {
    Error = kNetConnectionNotOpen;
    ReportError("The connection is not open and therefore the data can not be sent.",
                "NetSimple.Send");
    return;
  }
  if (Packet.BinDataLen <= 0) {
    Error = kNetInvalidStructureSize;
    ReportError("Data length is less than or equal to zero", "NetSimple.Send");
    return;
  }
  if (Connection_.Mode == kModeClient &&
      (TrimRight(FieldText(Connection_.Server, sizeof Connection_.Server)).empty() ||
       Connection_.Port == 0)) {
    Error = kNetHostOrSocketNotSpecified;
    ReportError("Hostname or Port are not set to anything. (You must call self.open first).",
                "NetSimple.Send");
    return;
  }
  if (tlsBroken_) {
    Error = kNetTlsFailed;
    ReportError("Sigurna veza (TLS) je prekinuta; podaci nisu poslani", "NetSimple.Send");
    return;
  }
  if (tls_) {
    if (!tls_->Established()) {
      // Nothing leaves in clear text once a secure connection was asked for.
      Error = kNetTlsNotReady;
      ReportError("Sigurna veza (TLS) još nije uspostavljena; podaci nisu poslani",
                  "NetSimple.Send");
      return;
    }
    if (!tls_->WritePlaintext(Packet.BinData, static_cast<std::size_t>(Packet.BinDataLen))) {
      TlsFailed("NetSimple.Send");
      return;
    }
    FlushTls(true, sendingPart_);
    return;
  }
  Error = layer_->NetSimpleConnectSend(Connection_, Packet);
  if (Error == 0) return;
  if (Connection_.Mode == kModeClient && Error == kNetConnectionNotFound) OpenFlag = 0;
  if (Error == kNetConnectionNotFound && DontErrorTrapInSendIfConnectionClosed == 1) return;
  ReportError("Error sending data", "NetSimple.Send");
}

void NetSimple::ReportError(const std::string& errorText, const std::string& functionName) {
  std::string meaning = InterpretError();
  std::string number = std::to_string(Error);
  if (Error == 0)
    ErrorString = errorText + ".";
  else
    ErrorString =
        errorText + "." + " The error number was " + number + " which means " + meaning + ".";
  if (ErrorString.size() > 255) ErrorString.resize(255);
  if (SuppressErrorMsg == 1 || ui_ == nullptr) return;
  platform::MessageSpec box;
  box.caption = "Quillon Object Error";
  box.icon = platform::Icon::kExclamation;
  box.buttons = platform::kButtonOk;
  box.defaultButton = platform::kButtonOk;
  if (Error == 0)
    box.text = "A network communication error has occurred.||Error = " + errorText + "." +
               "||Error occurred in function " + functionName;
  else
    box.text = "A network communication error has occurred.||Error = " + errorText + "." +
               "||The error number was " + number + " which means " + meaning + "." +
               "||Error occurred in function " + functionName;
  ui_->Message(box);
}

void NetSimple::ConnectionClosed() {}

void NetSimple::CloseServerConnection(std::uint32_t, std::int32_t) {
  Error = kNetServiceNotSupported;
}

void NetSimple::Abort() {
  DropTls();
  if (!(OpenFlag == 1 || (Connection_.Mode == kModeClient && AsyncOpenBusy == 1))) return;
  Error = layer_->NetSimpleConnectClose(Connection_, 0, 0, kPhaseAbort);
  OpenFlag = 0;
  AsyncOpenBusy = 0;
  if (Error == 0) {
    ServerConnectionsCount = 0;
    return;
  }
  ReportError("Unable to Abort (Close) connection", "NetSimple.Abort");
}

void NetSimple::CountOutgoingPackets(OutgoingCount what, std::uint32_t socket,
                                     std::int32_t sockID) {
  std::int32_t packets = 0;
  std::int64_t bytes = 0;
  layer_->CountSimpleOutgoing(Connection_, socket, sockID, packets, bytes);
  OutgoingDLLPackets = packets;
  OutgoingDLLPacketsBytes =
      what == OutgoingCount::kPacketsAndBytes ? static_cast<std::int32_t>(bytes) : 0;
}

void NetSimple::AbortServerConnection(std::uint32_t, std::int32_t) {
  Error = kNetServiceNotSupported;
}

void NetSimple::Ping(const std::string&) { Error = kNetServiceNotSupported; }

void NetSimple::SendRoom() {}

void NetSimple::TlsReady() {}

std::int64_t NetSimple::QueuedSendBytes(std::int64_t notifyAtOrBelow) {
  if (OpenFlag != 1) return 0;
  std::int64_t queued = 0;
  layer_->NetSimpleConnectSendRoom(Connection_, notifyAtOrBelow, queued);
  return queued;
}

// ---- secure connection -----------------------------------------------------------------------

bool NetSimple::TlsEstablished() const { return tls_ && tls_->Established(); }

std::string NetSimple::TlsDescription() const { return tls_ ? tls_->Description() : std::string(); }

void NetSimple::DropTls() {
  if (!tls_) return;
  tls_.reset();
  ++tlsGeneration_;
}

void NetSimple::StartTls(const std::string& hostName, const std::string& caFile) {
  Error = 0;
  if (OpenFlag != 1) {
    Error = kNetConnectionNotOpen;
    ReportError("The connection is not open and therefore the data can not be sent.",
                "NetSimple.StartTls");
    return;
  }
  DropTls();
  std::shared_ptr<TlsContext> ready;
  if (preparedTls_.valid()) ready = preparedTls_.get();
  std::string why;
  std::unique_ptr<TlsSession> session = TlsSession::Create({hostName, caFile}, why, ready);
  if (!session) {
    Error = kNetTlsFailed;
    ReportError("Sigurna veza (TLS) se ne može pripremiti: " + why, "NetSimple.StartTls");
    return;
  }
  tls_ = std::move(session);
  const std::uint32_t generation = ++tlsGeneration_;
  Log("NetSimple.StartTls", "Starting TLS with " + hostName);
  const TlsSession::Handshake step = tls_->ContinueHandshake();  // the client's first message
  if (step == TlsSession::Handshake::kFailed) {
    FlushTls(false);
    TlsFailed("NetSimple.StartTls");
    return;
  }
  if (!FlushTls(true) || generation != tlsGeneration_) return;
}

void NetSimple::PrepareTls(const std::string& caFile) {
  try {
    preparedTls_ = std::async(std::launch::async, [caFile] {
      std::string error;  // a failure is met again, and reported, by StartTls
      return TlsContext::Create(caFile, error);
    });
  } catch (const std::system_error&) {
    preparedTls_ = {};  // no thread for it: StartTls builds the trust itself
  }
}

void NetSimple::SendPart() {
  sendingPart_ = true;
  Send();
  sendingPart_ = false;
}

bool NetSimple::FlushTls(bool report, bool wholePacketsOnly) {
  const std::size_t least = wholePacketsOnly ? kMaxBinData : 1;
  while (tls_ && tls_->PendingCiphertext() >= least) {
    if (!tlsPacket_) tlsPacket_ = std::make_unique<NetPacket>();
    const std::size_t n = tls_->TakeCiphertext(tlsPacket_->BinData, kMaxBinData);
    if (n == 0) break;
    tlsPacket_->BinDataLen = static_cast<std::int32_t>(n);
    Error = layer_->NetSimpleConnectSend(Connection_, *tlsPacket_);
    if (Error == 0) continue;
    if (Connection_.Mode == kModeClient && Error == kNetConnectionNotFound) OpenFlag = 0;
    if (report && !(Error == kNetConnectionNotFound && DontErrorTrapInSendIfConnectionClosed == 1))
      ReportError("Error sending data", "NetSimple.Send");
    return false;
  }
  return true;
}

void NetSimple::TlsFailed(const std::string& where) {
  const bool certificate = tls_ && tls_->CertificateRejected();
  const std::string why = tls_ ? tls_->FailureText() : std::string();
  DropTls();
  tlsBroken_ = true;
  Error = certificate ? kNetTlsCertificate : kNetTlsFailed;
  ReportError(certificate ? "Certifikat poslužitelja nije prihvaćen: " + why
                          : "Sigurna veza (TLS) s poslužiteljem nije uspostavljena: " + why,
              where);
}

void NetSimple::TakeTlsData() {
  const std::uint32_t generation = tlsGeneration_;
  const auto len =
      static_cast<std::size_t>(std::clamp<std::int32_t>(Packet.BinDataLen, 0, kMaxBinData));
  if (!tls_->PutCiphertext(Packet.BinData, len)) {
    TlsFailed("NetSimple.TakeEvent");
    return;
  }
  if (!tls_->Established()) {
    const TlsSession::Handshake step = tls_->ContinueHandshake();
    if (step == TlsSession::Handshake::kFailed) {
      FlushTls(false);  // the alert tells the server why
      TlsFailed("NetSimple.TakeEvent");
      return;
    }
    if (!FlushTls(true) || generation != tlsGeneration_) return;
    if (step == TlsSession::Handshake::kInProgress) return;
    Log("NetSimple.TakeEvent", "Secure connection established: " + tls_->Description());
    TlsReady();
    if (generation != tlsGeneration_ || !tls_) return;
  }
  for (;;) {
    const int n = tls_->ReadPlaintext(Packet.BinData, kMaxBinData);
    if (n < 0) {
      TlsFailed("NetSimple.TakeEvent");
      return;
    }
    if (!FlushTls(true) || generation != tlsGeneration_) return;
    if (n == 0) return;
    Packet.BinDataLen = n;
    Packet.PacketType = kPacketData;
    Packet.Error = 0;
    Process();
    if (generation != tlsGeneration_ || !tls_) return;
  }
}

void NetSimple::HandleClosedByServer(std::uint32_t socket, std::int32_t sockID) {
  DropTls();
  layer_->NetSimpleConnectClose(Connection_, socket, sockID, kPhaseTwo);
  OpenFlag = 0;
  AsyncOpenBusy = 0;
  ConnectionClosed();
}

void NetSimple::TakeEvent(const platform::Event& event) {
  const std::int32_t base = Connection_.Event;
  if (base == 0) return;
  if (event.code == base) {
    std::int32_t rc = layer_->NetSimpleConnectReceive(Connection_, Packet);
    if (rc == kNetNoRequest) {
      Log("NetSimple.TakeEvent",
          "Attention. This is not normally a problem. The DLL could not find a packet matching "
          "this connection.");
      return;
    }
    if (rc != 0) {
      Error = rc;
      ReportError("An error occurred while trying receive data", "NetSimple.TakeEvent");
      return;
    }
    std::string where = TrimRight(FieldText(Connection_.Server, sizeof Connection_.Server)) + ":" +
                        std::to_string(Connection_.Port);
    switch (Packet.PacketType) {
      case kPacketData:
        if (tls_)
          TakeTlsData();
        else
          Process();
        break;
      case kPacketIdle:
        Process();
        break;
      case kPacketSendRoom:
        SendRoom();
        break;
      case kPacketClosedByServer:
        HandleClosedByServer(Packet.OnSocket, Packet.SockID);
        break;
      case kPacketClosedLocally:
        if (!IgnorePhaseTwo_) {
          layer_->NetSimpleConnectClose(Connection_, Packet.OnSocket, Packet.SockID, kPhaseTwo);
          OpenFlag = 0;
          AsyncOpenBusy = 0;
        }
        BetweenPhaseOneAnTwo_ = 0;
        break;
      case kPacketOpenSucceeded:
        Log("NetSimple.TakeEvent",
            "PacketType -> \"AsyncOpenSuccessful\" to " + where + " Socket = " +
                std::to_string(Packet.OnSocket) + " SockID = " + std::to_string(Packet.SockID) +
                " LocalIP = " + FieldText(Connection_.LocalIP, sizeof Connection_.LocalIP));
        OpenFlag = 1;
        AsyncOpenBusy = 0;
        Process();
        break;
      case kPacketOpenFailed:
        Log("NetSimple.TakeEvent", "Error. PacketType -> \"AsyncOpenFailed\" to " + where +
                                       " Socket = " + std::to_string(Packet.OnSocket) +
                                       " SockID = " + std::to_string(Packet.SockID));
        OpenFlag = 0;
        AsyncOpenBusy = 0;
        // A refused or unresolvable connection keeps its own number; a time-out carries
        // kNetTimeout.
        Error = Packet.Error != 0 ? Packet.Error : kNetTimeout;
        layer_->NetSimpleConnectClose(Connection_, Packet.OnSocket, Packet.SockID, kPhaseTwo);
        ReportError("The requested connection could not be opened.", "NetSimple.TakeEvent");
        break;
      default:
        break;  // 2 belongs to server mode; 4 and others are not for a client
    }
    return;
  }
  if (event.code == base + 1) {
    // Nothing was fetched: Packet may still name an earlier connection, so the second phase
    // goes to the descriptor's own connection.
    HandleClosedByServer(0, 0);
    return;
  }
  if (event.code == base + 2 && !IgnorePhaseTwo_)
    layer_->NetSimpleConnectClose(Connection_, 0, 0, kPhaseTwo);
}

}  // namespace verdan::net
