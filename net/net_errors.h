// The result codes of the network road and their texts.
//
// 0 is success; positive values are socket error numbers with Windows numbering; the
// negative values are the layer's own codes. The texts are the layer's own wording and
// appear in the messages the user sees together with the number.
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace verdan::net {

// Every code of the layer and of the objects built on it, one name per number.
enum NetResult : std::int32_t {
  kNetOk = 0,
  kNetUnknownError = -1,
  kNetAlreadyActive = -2,
  kNetTooManyInstances = -3,
  kNetInvalidStructureSize = -4,
  kNetManualBreak = -5,
  kNetCallBackWindowTimeout = -6,
  kNetDataTooShort = -7,
  kNetDataOutOfTopic = -8,
  kNetUnknownPacketType = -9,
  kNetNotAllDataSent = -10,
  kNetNotAllDataReceived = -11,
  kNetNotAReceiver = -12,
  kNetNoRequest = -13,
  kNetRequestNotFound = -14,
  kNetNoServers = -15,
  kNetServerNotFound = -16,
  kNetServiceNotSupported = -17,
  kNetBadResponseAddress = -18,
  kNetNewThreadFailed = -19,
  kNetAddressNotFound = -20,
  kNetIncorrectVersion = -21,
  kNetBadParameters = -22,
  kNetTooManyListeningSockets = -23,
  kNetSocketDead = -24,
  kNetIncompatiblePacketVersion = -25,
  kNetNoIpAddress = -26,
  kNetServiceInactive = -27,
  kNetNotClosedProperly = -28,
  kNetTooManySendingSockets = -29,
  kNetQueueError = -30,
  kNetLoadFailed = -31,
  kNetOutOfMemory = -32,
  kNetHostOrSocketNotSpecified = -33,
  kNetConnectionNotFound = -34,
  kNetFileError = -35,
  kNetConnectionNotOpen = -36,
  kNetPropertiesMissing = -37,
  kNetNoLongerSupported = -38,
  kNetCannotConnect = -39,
  kNetCannotSendData = -40,
  kNetFtpError = -41,
  kNetInvalidStringSize = -42,
  kNetNoDialUpEntry = -43,
  kNetDialUpNotQueued = -44,
  kNetDialUpBusy = -45,
  kNetDialUpNotLoaded = -46,
  kNetSocketsNotLoaded = -47,
  kNetCallBackWindowClosed = -48,
  kNetThreadNotCreated = -49,
  kNetProceduresNotLoaded = -50,
  kNetCorruptPacket = -51,
  kNetNoPosting = -52,
  kNetTimeout = -53,
  kNetPingFailed = -54,
  kNetConnectionAlreadyOpen = -55,
  kNetNotActive = -56,
  kNetIdleClosed = -57,
  // Secure connections (TLS) of the network object.
  kNetTlsFailed = -58,       // the secure connection could not be set up or broke down
  kNetTlsCertificate = -59,  // the server's certificate was refused
  kNetTlsNotReady = -60,     // data offered before the secure connection was set up
};

// True for the layer's own codes (-1 to -57), the ones its text table words.
constexpr bool IsLayerCode(std::int32_t code) {
  return code <= kNetUnknownError && code >= kNetIdleClosed;
}

// Text of a socket error number or a layer code, at most 255 characters. Writes the error
// line "Error (n) = text" when any trace switch is on.
std::string NetErrorStr(std::int32_t number);

// The text without the trace line (used where the text is only composed).
std::string NetErrorText(std::int32_t number);

}  // namespace verdan::net
