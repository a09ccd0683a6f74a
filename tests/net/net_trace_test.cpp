// The trace line, the logging switches, the start-up lines and the error texts.
#include "net/net_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "net/socket_layer.h"
#include "platform/debug_output.h"

namespace verdan::net {
namespace {

// Restores the process-wide switches after a test.
class SwitchGuard {
 public:
  SwitchGuard() : saved_(GetTraceSwitches()) {}
  ~SwitchGuard() { SetTraceSwitches(saved_); }

 private:
  TraceSwitches saved_;
};

TEST(NetTrace, LineFormatAndClipping) {
  EXPECT_EQ(FormatTraceLine("SimpleClientOpen  ", "text  "),
            "[NetDLL] SimpleClientOpen() : text\r\n");
  std::string longText(2000, 'x');
  std::string line = FormatTraceLine("F", longText);
  ASSERT_EQ(line.size(), 1012u + std::string(" <clipped>\r\n").size());
  EXPECT_EQ(line.substr(0, 16), "[NetDLL] F() : x");
  EXPECT_EQ(line.substr(1012), " <clipped>\r\n");
  // 1021 characters are written whole; 1022 are clipped.
  std::string edge(1021 - 15, 'y');  // after the 15 characters of "[NetDLL] F() : "
  EXPECT_EQ(FormatTraceLine("F", edge).size(), 1021u + 2u);
  EXPECT_EQ(FormatTraceLine("F", edge + "y").size(), 1012u + 12u);
}

TEST(NetTrace, SwitchesAreWholeWordsAndErrorsOnlyWins) {
  SwitchGuard guard;
  platform::CapturingDebugOutput capture;
  EXPECT_TRUE(HasSwitch("verdan /NetDllLog x", "/netdlllog"));
  EXPECT_FALSE(HasSwitch("verdan /netdlllogall", "/netdlllog"));
  NetTurnOnLogging("/netdlllog /netdlllogerrors");
  TraceSwitches s = GetTraceSwitches();
  EXPECT_FALSE(s.logAll);
  EXPECT_TRUE(s.logErrors);
  EXPECT_FALSE(s.logDetail);
  capture.Clear();
  Trace(TraceLevel::kInfo, "F", "information");
  TraceError("F", "trouble");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0], "[NetDLL] F() : trouble\r\n");

  NetTurnOnLogging("/netdlllog");
  capture.Clear();
  Trace(TraceLevel::kInfo, "F", "information");
  TraceInfo("F", "detail");  // built only with /netdlllogall
  EXPECT_EQ(capture.Text(), "[NetDLL] F() : information\r\n");
  NetTurnOnLogging("/netdlllog /netdlllogall");
  EXPECT_NE(capture.Text().find("Log All (/netdlllogall) option on"), std::string::npos);
  EXPECT_NE(capture.Text().find("[NetDLL] ===== [QUILLON] ="), std::string::npos);
  NetTurnOnLogging("");
  capture.Clear();
  TraceError("F", "trouble");
  EXPECT_TRUE(capture.Text().empty());
}

TEST(NetTrace, NetAllWritesDetailedLinesAndNetErrorsOnlyErrors) {
  SwitchGuard guard;
  platform::CapturingDebugOutput capture;
  NetTurnOnLogging(ExpandNetCommandLine("verdan /netall"));
  TraceSwitches s = GetTraceSwitches();
  EXPECT_TRUE(s.logAll);
  EXPECT_TRUE(s.logDetail);
  EXPECT_TRUE(s.netDebugTrace);
  EXPECT_TRUE(s.quillonLog);
  capture.Clear();
  TraceInfo("SimpleClient_Async", "Nothing to read (WSAEWOULDBLOCK).");
  Trace(TraceLevel::kInfo, "CloseAll", "Information: Closing All");
  EXPECT_EQ(capture.Text(),
            "[NetDLL] SimpleClient_Async() : Nothing to read (WSAEWOULDBLOCK).\r\n"
            "[NetDLL] CloseAll() : Information: Closing All\r\n");

  NetTurnOnLogging(ExpandNetCommandLine("verdan /neterrors"));
  s = GetTraceSwitches();
  EXPECT_FALSE(s.logAll);
  EXPECT_TRUE(s.logErrors);
  EXPECT_FALSE(s.logDetail);
  capture.Clear();
  TraceInfo("F", "detail");
  Trace(TraceLevel::kInfo, "F", "information");
  TraceError("F", "trouble");
  EXPECT_EQ(capture.Text(), "[NetDLL] F() : trouble\r\n");

  // Errors only wins over the detailed switch given beside it.
  NetTurnOnLogging("/netdlllogall /netdlllogerrors");
  capture.Clear();
  Trace(TraceLevel::kInfo, "F", "information");
  EXPECT_TRUE(capture.Text().empty());
}

TEST(NetTrace, ShorthandsExpand) {
  EXPECT_TRUE(IsNetSwitch("/NETALL"));
  EXPECT_TRUE(IsNetSwitch("/quillonlogerrors"));
  EXPECT_FALSE(IsNetSwitch("/netal"));
  EXPECT_FALSE(IsNetSwitch("/home/ivo/PETAK.zip"));
  EXPECT_EQ(ExpandNetCommandLine("/netall"), "/netall /netdebugtrace /netdlllogall /quillonlog");
  EXPECT_EQ(ExpandNetCommandLine("x /neterrors"),
            "x /neterrors /netdebugtrace /netdlllogerrors /quillonlogerrors");
  EXPECT_EQ(ExpandNetCommandLine("/netallx"), "/netallx");
}

TEST(NetTrace, StartUpWithNetErrorsWritesOnlyErrorLines) {
  SwitchGuard guard;
  platform::CapturingDebugOutput capture;
  {
    NetDLL layer;
    layer.DLLStartUp("verdan /neterrors");
    EXPECT_TRUE(layer.WinSockLoaded());
    EXPECT_NE(capture.Text().find(
                  "[NetDLL] DLLStartUp() : WSA Startup Okay :  WinSock Asked Version = 2.0"),
              std::string::npos);
    EXPECT_NE(
        capture.Text().find("[NetDLL] DLLStartUp() : Cool. WinSock version 2.0 supported.\r\n"),
        std::string::npos);
    capture.Clear();
    NetConnection c;
    std::snprintf(c.Server, sizeof c.Server, "127.0.0.1");
    c.Port = 1;
    layer.NetSimpleConnectOpen(c);  // refused: an error line
    Trace(TraceLevel::kInfo, "F", "information is not written");
    std::string text = capture.Text();
    EXPECT_NE(text.find("[NetDLL] SimpleClientOpenB() : Error Connecting. To host = 127.0.0.1 Port "
                        "= 1 IP = 127.0.0.1 "
                        "Error = 10061 (WSAECONNREFUSED) Connection refused."),
              std::string::npos);
    EXPECT_EQ(text.find("information"), std::string::npos);
    for (const std::string& line : capture.Lines()) {
      EXPECT_EQ(line.rfind("[NetDLL] ", 0), 0u) << line;
      EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    }
    capture.Clear();
  }
  EXPECT_NE(capture.Text().find("[NetDLL] DLLShutDown(). About to try and unload NetDLL.\r\n"),
            std::string::npos);
}

TEST(NetTrace, ErrorTexts) {
  SwitchGuard guard;
  SetTraceSwitches(TraceSwitches{});
  EXPECT_EQ(NetErrorStr(10009), "WSAEBADF (BadF)");
  // The beginnings the texts must keep, each followed by an explanation of its own.
  const std::pair<int, std::string> beginnings[] = {
      {10035, "(WSAEWOULDBLOCK) Resource temporarily unavailable."},
      {10038, "(WSAENOTSOCK) Socket operation on non-socket."},
      {10050, "(WSAENETDOWN) Network is down."},
      {10051, "(WSAENETUNREACH) Network is unreachable."},
      {10053, "(WSAECONNABORTED) Software caused connection abort."},
      {10054, "(WSAECONNRESET) Connection reset by peer."},
      {10057, "(WSAENOTCONN) Socket is not connected."},
      {10060, "(WSAETIMEDOUT) Connection timed out."},
      {10061, "(WSAECONNREFUSED) Connection refused."},
      {10064, "(WSAEHOSTDOWN) Host is down."},
      {10065, "(WSAEHOSTUNREACH) No route to host."},
      {10091, "(WSASYSNOTREADY) Network subsystem is unavailable."},
      {10093, "(WSANOTINITIALISED) Successful WSAStartup not yet performed."},
      {11001, "(WSAHOST_NOT_FOUND) Host not found."},
      {11002, "(WSATRY_AGAIN) Non-authoritative host not found."},
      {11004, "(WSANO_DATA) Valid name, no data record of requested type."},
  };
  for (const auto& [number, begin] : beginnings) {
    std::string t = NetErrorStr(number);
    EXPECT_EQ(t.rfind(begin + " ", 0), 0u) << number << ": " << t;
    EXPECT_GT(t.size(), begin.size() + 10) << number;
  }
  EXPECT_EQ(NetErrorStr(12345), "General Winsock Error (unknown by NetErrorStr) [12345]");
  EXPECT_EQ(NetErrorStr(0), "General Winsock Error (unknown by NetErrorStr) [0]");
  EXPECT_EQ(NetErrorStr(kNetFtpError), "A General FTP error occurred");
  EXPECT_EQ(NetErrorStr(kNetConnectionAlreadyOpen), "Connection Already Open");
  EXPECT_EQ(NetErrorStr(kNetHostOrSocketNotSpecified),
            "Host or Socket not specified. Please set the <object>.packet.ToIp and "
            "<object>.packet.OnSocket before "
            "NetSimple sending data.");
  // Every listed number has its own text, each starting with its name.
  const int listed[] = {10013, 10048, 10049, 10047, 10037, 10009, 10053, 10061, 10054, 10039, 10069,
                        10014, 10064, 10065, 10036, 10004, 10022, 10056, 10062, 10024, 10040, 10063,
                        10050, 10052, 10051, 10055, 10042, 10057, 10066, 10038, 10045, 10046, 10067,
                        10043, 10041, 10071, 10058, 10044, 10070, 10060, 10059, 10068, 10109, 10035,
                        11001, 6,     10104, 10105, 996,   997,   8,     10093, 11004, 11003, 10106,
                        10107, 10091, 11002, 10092, 10101, 995};
  for (int n : listed) {
    std::string t = NetErrorStr(n);
    EXPECT_EQ(t.find("unknown by NetErrorStr"), std::string::npos) << n;
    EXPECT_LE(t.size(), 255u);
    EXPECT_NE(t.find("WSA"), std::string::npos) << n;
  }
  platform::CapturingDebugOutput capture;
  SetTraceSwitches(TraceSwitches{.logErrors = true});
  NetErrorStr(10054);
  EXPECT_EQ(
      capture.Text().rfind(
          "[NetDLL] NetErrorStr() : Error (10054) = (WSAECONNRESET) Connection reset by peer.", 0),
      0u);
}

}  // namespace
}  // namespace verdan::net
