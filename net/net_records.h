// The records a network object and the socket layer exchange: the packet record, the
// connection descriptor. The codes they carry are named in net_errors.h.
//
// Plain data with a fixed layout (field order and widths are part of the contract between
// the object and the layer). Thread-safety: none of its own; a record belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/net_errors.h"

namespace verdan::net {

constexpr std::int32_t kMaxBinData = 16384;  // data bytes of one packet

// Packet types of an in-queue record and of an object's packet.
enum PacketTypeCode : std::int32_t {
  kPacketNewConnection = 2,  // server sockets only
  kPacketData = 3,
  kPacketUnused = 4,
  kPacketClosedByServer = 5,
  kPacketClosedLocally = 6,
  kPacketOpenSucceeded = 7,  // "AsyncOpenSuccessful"
  kPacketOpenFailed = 8,     // "AsyncOpenFailed"
  kPacketIdle = 9,
  // The connection's queue of outgoing data has drained to the level its owner asked for
  // (NetSimpleConnectSendRoom); the owner may hand over more.
  kPacketSendRoom = 10,
};

// Connection mode of a descriptor.
enum ConnectionMode : std::uint8_t { kModeClient = 0, kModeServer = 1 };

// The packet record of a network object. Laid out without gaps.
struct NetPacket {
  char ToIP[16] = {};  // destination address (server mode only), zero-terminated
  std::uint32_t OnSocket = 0;
  std::int32_t SockID = 0;
  char FromIP[16] = {};  // remote address, dotted, zero-terminated
  std::uint8_t BinData[kMaxBinData] = {};
  std::int32_t BinDataLen = 0;
  std::int32_t PacketType = 0;
  std::int32_t Reserved2 = 0;  // running number of the received packet
  std::uint16_t UDPToPort = 0;
  std::uint16_t UDPFromPort = 0;
  std::int32_t Error = 0;  // error carried by a failure packet
  std::uint8_t Reserved[120] = {};
};
static_assert(offsetof(NetPacket, BinData) == 40);
static_assert(offsetof(NetPacket, Error) == 16440);
static_assert(sizeof(NetPacket) == 16564);

// The connection descriptor an object hands whole to the layer; the layer writes Socket,
// SockID, LocalIP and the resolved address back. Packed: the descriptor has no gaps.
#pragma pack(push, 1)
struct NetConnection {
  std::uint8_t Mode = kModeClient;
  char Server[81] = {};  // host name or dotted address, zero-terminated
  std::uint16_t Port = 0;
  std::uint32_t Socket = 0;
  std::int32_t SockID = 0;
  std::int32_t Thread = 0;  // thread to notify
  std::int32_t Event = 0;   // the object's private event number
  std::int32_t MaxServerConnections = 0;
  char LocalIP[16] = {};           // "<unknown>" until known
  std::uint8_t Reserved1[4] = {};  // the resolved IPv4 address, network order
  std::uint8_t UDPMode = 0;
  std::int32_t AsyncOpenTimeout = 0;  // hundredths; 0 = synchronous open
  std::int32_t InactiveTimeout = 0;   // hundredths; 0 = no idle time-out
  std::uint8_t Reserved2[115] = {};
};
#pragma pack(pop)
static_assert(sizeof(NetConnection) == 248);

// One entry of a server's connection list (server mode, kept for the object's interface).
struct NetServerConnection {
  std::uint32_t Socket = 0;
  std::int32_t SockID = 0;
  char FromIP[16] = {};
};

}  // namespace verdan::net
