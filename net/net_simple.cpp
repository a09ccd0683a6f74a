#include "net/net_simple.h"

#include <cstring>

#include "net/net_trace.h"
#include "net/socket_layer.h"

namespace verdan::net {
namespace {

std::string FieldText(const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); }

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
  } else if (code < 0 && code >= -57) {
    // The object's own wording differs from the layer's in a few texts.
    switch (code) {
      case -33: text = "Host or Socket not specified. Please set the <object>.packet.ToIp and <object>.packet.OnSocket before sending data."; break;
      case -41: text = "a General FTP error occurred"; break;
      case -43: text = "No Phone Book Entry. You need a Phone Book Entry before you can dial."; break;
      case -44: text = "The Ras Object is not in the DLL queue."; break;
      case -45: text = "The Ras Object is busy opening another RAS connection."; break;
      case -52: text = "No Posting allowing"; break;
      case -55: text = "Connection already open"; break;
      default: text = NetErrorText(code); break;
    }
  } else {
    // Socket error numbers, and any code the object does not know.
    text = TrimRight(NetErrorStr(code)) + " [listed by NetErrorStr]";
  }
  if (text.size() > 512) text.resize(512);
  return text;
}

NetSimple::NetSimple(platform::Ui* ui, NetDLL* layer) : ui_(ui), layer_(layer ? layer : &DefaultNetDLL()) {}

NetSimple::~NetSimple() {
  // An object dropped without Kill must not leave its connection behind in the layer.
  if (OpenFlag == 1 || AsyncOpenBusy == 1) layer_->NetSimpleConnectClose(_Connection, 0, 0, kPhaseAbort);
}

void NetSimple::Init(ConnectionMode mode) {
  _QServerConnections = std::make_unique<std::vector<NetServerConnection>>();
  QServerConnections = _QServerConnections.get();
  _Connection.Mode = mode;
  _Connection.Thread = UseThisThread != 0 ? UseThisThread : static_cast<std::int32_t>(platform::CurrentThreadId());
  AsyncOpenTimeout = 900;
  if (!_Initalised) {
    _Connection.Event = layer_->NextObjectEvent();
    _Initalised = 1;
  }
}

void NetSimple::Kill() {
  if (OpenFlag == 1) Close();
  if (AsyncOpenBusy == 1) Abort();
  _Connection.Thread = 0;
  if (_QServerConnections) _QServerConnections->clear();
  _QServerConnections.reset();
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
  if (_BetweenPhaseOneAnTwo) _IgnorePhaseTwo = 1;
  SetField(_Connection.Server, sizeof _Connection.Server, server);
  _Connection.Port = port;
  if (AsyncOpenUse) {
    _Connection.AsyncOpenTimeout = AsyncOpenTimeout;
    Log("NetSimple.Open", "Will use Asynchronous Open. Timeout (hs) = " + std::to_string(AsyncOpenTimeout));
  } else {
    _Connection.AsyncOpenTimeout = 0;
  }
  if (InactiveTimeout != 0) {
    _Connection.InactiveTimeout = InactiveTimeout;
    Log("NetSimple(Client).Open", "Will use InActive (Idle) Timeout (hs) = " + std::to_string(InactiveTimeout));
  } else {
    _Connection.InactiveTimeout = 0;
  }
  Error = layer_->NetSimpleConnectOpen(_Connection);
  if (Error == 0) {
    if (_Connection.AsyncOpenTimeout > 0) {
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
  if (OpenFlag != 1) return;
  Error = layer_->NetSimpleConnectClose(_Connection, 0, 0, kPhaseOne);
  _BetweenPhaseOneAnTwo = 1;
  _IgnorePhaseTwo = 0;
  OpenFlag = 0;
  if (Error != 0) ReportError("Unable to Close connection", "NetSimple.Close");
}

void NetSimple::Process() {}

void NetSimple::Send() {
  Error = 0;
  if (Packet.BinDataLen > kMaxBinData) {
    Error = kNetInvalidStructureSize;
    ReportError("Trying to send too much data in self.packet.binData and self.packet.binDataLen", "NetSimple.Send");
    return;
  }
  if (OpenFlag == 0 && _Connection.UDPMode == 0) {
    Error = kNetConnectionNotOpen;
    ReportError("The connection is not open and therefore the data can not be sent.", "NetSimple.Send");
    return;
  }
  if (Packet.BinDataLen <= 0) {
    Error = kNetInvalidStructureSize;
    ReportError("Data length is less than or equal to zero", "NetSimple.Send");
    return;
  }
  if (_Connection.Mode == kModeClient &&
      (TrimRight(FieldText(_Connection.Server, sizeof _Connection.Server)).empty() || _Connection.Port == 0)) {
    Error = kNetHostOrSocketNotSpecified;
    ReportError("Hostname or Port are not set to anything. (You must call self.open first).", "NetSimple.Send");
    return;
  }
  Error = layer_->NetSimpleConnectSend(_Connection, Packet);
  if (Error == 0) return;
  if (_Connection.Mode == kModeClient && Error == kNetConnectionNotFound) OpenFlag = 0;
  if (Error == kNetConnectionNotFound && DontErrorTrapInSendIfConnectionClosed == 1) return;
  ReportError("Error sending data", "NetSimple.Send");
}

void NetSimple::ReportError(const std::string& errorText, const std::string& functionName) {
  std::string meaning = InterpretError();
  std::string number = std::to_string(Error);
  if (Error == 0)
    ErrorString = errorText + ".";
  else
    ErrorString = errorText + "." + " The error number was " + number + " which means " + meaning + ".";
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
    box.text = "A network communication error has occurred.||Error = " + errorText + "." + "||The error number was " +
               number + " which means " + meaning + "." + "||Error occurred in function " + functionName;
  ui_->Message(box);
}

void NetSimple::ConnectionClosed() {}

void NetSimple::CloseServerConnection(std::uint32_t, std::int32_t) { Error = kNetServiceNotSupported; }

void NetSimple::Abort() {
  if (!(OpenFlag == 1 || (_Connection.Mode == kModeClient && AsyncOpenBusy == 1))) return;
  Error = layer_->NetSimpleConnectClose(_Connection, 0, 0, kPhaseAbort);
  OpenFlag = 0;
  AsyncOpenBusy = 0;
  if (Error == 0) {
    ServerConnectionsCount = 0;
    return;
  }
  ReportError("Unable to Abort (Close) connection", "NetSimple.Abort");
}

void NetSimple::CountOutgoingPackets(OutgoingCount what, std::uint32_t socket, std::int32_t sockID) {
  std::int32_t packets = 0;
  std::int64_t bytes = 0;
  layer_->CountSimpleOutgoing(_Connection, socket, sockID, packets, bytes);
  OutgoingDLLPackets = packets;
  OutgoingDLLPacketsBytes = what == OutgoingCount::kPacketsAndBytes ? static_cast<std::int32_t>(bytes) : 0;
}

void NetSimple::AbortServerConnection(std::uint32_t, std::int32_t) { Error = kNetServiceNotSupported; }

void NetSimple::Ping(const std::string&) { Error = kNetServiceNotSupported; }

void NetSimple::HandleClosedByServer(std::uint32_t socket, std::int32_t sockID) {
  layer_->NetSimpleConnectClose(_Connection, socket, sockID, kPhaseTwo);
  OpenFlag = 0;
  AsyncOpenBusy = 0;
  ConnectionClosed();
}

void NetSimple::TakeEvent(const platform::Event& event) {
  const std::int32_t base = _Connection.Event;
  if (base == 0) return;
  if (event.code == base) {
    std::int32_t rc = layer_->NetSimpleConnectReceive(_Connection, Packet);
    if (rc == kNetNoRequest) {
      Log("NetSimple.TakeEvent",
          "Attention. This is not normally a problem. The DLL could not find a packet matching this connection.");
      return;
    }
    if (rc != 0) {
      Error = rc;
      ReportError("An error occurred while trying receive data", "NetSimple.TakeEvent");
      return;
    }
    std::string where = TrimRight(FieldText(_Connection.Server, sizeof _Connection.Server)) + ":" +
                        std::to_string(_Connection.Port);
    switch (Packet.PacketType) {
      case kPacketData:
      case kPacketIdle:
        Process();
        break;
      case kPacketClosedByServer:
        HandleClosedByServer(Packet.OnSocket, Packet.SockID);
        break;
      case kPacketClosedLocally:
        if (!_IgnorePhaseTwo) {
          layer_->NetSimpleConnectClose(_Connection, Packet.OnSocket, Packet.SockID, kPhaseTwo);
          OpenFlag = 0;
          AsyncOpenBusy = 0;
        }
        _BetweenPhaseOneAnTwo = 0;
        break;
      case kPacketOpenSucceeded:
        Log("NetSimple.TakeEvent", "PacketType -> \"AsyncOpenSuccessful\" to " + where + " Socket = " +
                                       std::to_string(Packet.OnSocket) + " SockID = " + std::to_string(Packet.SockID) +
                                       " LocalIP = " + FieldText(_Connection.LocalIP, sizeof _Connection.LocalIP));
        OpenFlag = 1;
        AsyncOpenBusy = 0;
        Process();
        break;
      case kPacketOpenFailed:
        Log("NetSimple.TakeEvent", "Error. PacketType -> \"AsyncOpenFailed\" to " + where + " Socket = " +
                                       std::to_string(Packet.OnSocket) + " SockID = " + std::to_string(Packet.SockID));
        OpenFlag = 0;
        AsyncOpenBusy = 0;
        // A refused or unresolvable connection keeps its own number; a time-out carries -53.
        Error = Packet.Error != 0 ? Packet.Error : kNetTimeout;
        layer_->NetSimpleConnectClose(_Connection, Packet.OnSocket, Packet.SockID, kPhaseTwo);
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
  if (event.code == base + 2 && !_IgnorePhaseTwo) layer_->NetSimpleConnectClose(_Connection, 0, 0, kPhaseTwo);
}

}  // namespace verdan::net
