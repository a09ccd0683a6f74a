// NetSimple with a secure connection: a real TLS server (Python's ssl module) on loopback
// with certificates made at test time; the server's log shows what reached it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/net_simple.h"
#include "net/socket_layer.h"
#include "platform/event_loop.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/test_peers.h"

namespace verdan::net {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ReadFile;
using testing::TempDir;

class TlsRecorder : public NetSimple {
 public:
  using NetSimple::NetSimple;
  void Process() override {
    if (Packet.PacketType == kPacketData)
      data.append(reinterpret_cast<const char*>(Packet.BinData),
                  static_cast<std::size_t>(Packet.BinDataLen));
  }
  void TlsReady() override { ++ready; }
  void ReportError(const std::string& text, const std::string& function) override {
    NetSimple::ReportError(text, function);
    errors.push_back(Error);
    texts.push_back(text);
  }
  bool SendBytes(const std::string& bytes, bool part = false) {
    std::memcpy(Packet.BinData, bytes.data(), bytes.size());
    Packet.BinDataLen = static_cast<std::int32_t>(bytes.size());
    if (part)
      SendPart();
    else
      Send();
    return Error == 0;
  }
  std::string data;
  int ready = 0;
  std::vector<std::int32_t> errors;
  std::vector<std::string> texts;
};

// A TLS echo server presenting `cert`, run for the life of the object.
class TlsPeer {
 public:
  TlsPeer(const std::string& dir, const std::string& certs, const std::string& cert)
      : dir_(dir),
        child_({"/usr/bin/python3", std::string(VERDAN_SOURCE_DIR) + "/tests/net/tls_peer.py", dir,
                certs + "/" + cert + ".pem", certs + "/" + cert + ".key"}) {
    port_ = static_cast<std::uint16_t>(std::atoi(child_.ReadyFile(dir + "/port").c_str()));
  }
  std::uint16_t port() const { return port_; }
  std::string Log() const { return ReadFile(dir_ + "/log"); }

 private:
  std::string dir_;
  ChildProcess child_;
  std::uint16_t port_ = 0;
};

class NetTls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(testing::MakeTestCertificates(dir_.path(), error)) << error;
    layer_.DLLStartUp("");
    obj_ = std::make_unique<TlsRecorder>(&ui_, &layer_);
    obj_->Init();
    obj_->SuppressErrorMsg = 1;
  }
  void TearDown() override {
    obj_->Kill();
    obj_.reset();
    layer_.DLLShutDown();
  }
  std::string PeerDir(const std::string& name) {
    std::string d = dir_.File(name);
    std::filesystem::create_directory(d);
    return d;
  }
  bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      platform::Event e = queue_.WaitFor(20ms);
      if (e.code != platform::kEventNone) obj_->TakeEvent(e);
    }
    return true;
  }
  // Waits until the server has logged `lines` connections.
  bool WaitForLog(const TlsPeer& peer, std::size_t lines) {
    return PumpUntil([&] {
      std::string log = peer.Log();
      return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >= lines;
    });
  }

  TempDir dir_;
  platform::EventQueue queue_;
  NetDLL layer_;
  testing::ScriptedUi ui_;
  std::unique_ptr<TlsRecorder> obj_;
};

TEST_F(NetTls, TrustedServerEchoesEverythingAndNothingLeavesBeforeTheHandshake) {
  TlsPeer peer(PeerDir("good"), dir_.path(), "server");
  ASSERT_NE(peer.port(), 0);
  // By address and by name: the certificate is issued for both.
  std::string expectedLog;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    obj_->data.clear();
    obj_->ready = 0;
    // The second time with the trust built ahead while the connection opens.
    if (std::string(host) == "localhost") obj_->PrepareTls(dir_.File("ca.pem"));
    obj_->Open("127.0.0.1", peer.port());
    ASSERT_EQ(obj_->Error, 0);
    obj_->StartTls(host, dir_.File("ca.pem"));
    ASSERT_EQ(obj_->Error, 0);
    EXPECT_TRUE(obj_->TlsStarted());
    EXPECT_FALSE(obj_->TlsEstablished());
    // Data offered during the handshake is refused, not sent in clear.
    EXPECT_FALSE(obj_->SendBytes("AUTH PLAIN secret\r\n"));
    EXPECT_EQ(obj_->Error, kNetTlsNotReady);
    ASSERT_TRUE(PumpUntil([&] { return obj_->ready == 1; })) << host;
    EXPECT_TRUE(obj_->TlsEstablished());
    EXPECT_NE(obj_->TlsDescription().find("TLSv1."), std::string::npos);

    std::string sent;
    for (int i = 0; sent.size() < (1u << 20); ++i) {
      std::string chunk(kMaxBinData - static_cast<std::size_t>(i % 7),
                        static_cast<char>('a' + i % 26));
      chunk[0] = static_cast<char>(i);
      // Parts of a stream, whose ciphertext may wait for a later send, among whole sends.
      ASSERT_TRUE(obj_->SendBytes(chunk, i % 4 != 3));
      sent += chunk;
    }
    ASSERT_TRUE(obj_->SendBytes("end"));
    sent += "end";
    ASSERT_TRUE(PumpUntil([&] { return obj_->data.size() >= sent.size(); }));
    EXPECT_TRUE(obj_->data == sent);
    expectedLog += "echoed " + std::to_string(sent.size()) + "\n";
    obj_->Close();
    EXPECT_FALSE(obj_->TlsStarted());
  }
  ASSERT_TRUE(WaitForLog(peer, 2));
  EXPECT_EQ(peer.Log(), expectedLog);
  ASSERT_EQ(obj_->errors, (std::vector<std::int32_t>{kNetTlsNotReady, kNetTlsNotReady}));
}

TEST_F(NetTls, RefusedCertificatesEndTheConnectionBeforeAnyData) {
  struct Case {
    const char* cert;
    const char* expect;
  };
  const Case cases[] = {
      {"wronghost", "certifikat nije izdan za ime ni adresu zadanog poslužitelja"},
      {"rogue", "certifikat nije izdalo tijelo (CA) kojem se vjeruje"},
  };
  for (const Case& c : cases) {
    TlsPeer peer(PeerDir(c.cert), dir_.path(), c.cert);
    ASSERT_NE(peer.port(), 0);
    obj_->errors.clear();
    obj_->texts.clear();
    // Trust built ahead checks the same: the rogue CA is not in it.
    obj_->PrepareTls(dir_.File("ca.pem"));
    obj_->Open("127.0.0.1", peer.port());
    ASSERT_EQ(obj_->Error, 0);
    obj_->StartTls("127.0.0.1", dir_.File("ca.pem"));
    ASSERT_TRUE(PumpUntil([&] { return !obj_->errors.empty(); })) << c.cert;
    EXPECT_EQ(obj_->errors[0], kNetTlsCertificate);
    EXPECT_EQ(obj_->texts[0].rfind("Certifikat poslužitelja nije prihvaćen: ", 0), 0u)
        << obj_->texts[0];
    EXPECT_NE(obj_->texts[0].find(c.expect), std::string::npos) << obj_->texts[0];
    EXPECT_NE(obj_->ErrorString.find("which means Certifikat poslužitelja nije prošao provjeru"),
              std::string::npos);
    EXPECT_EQ(obj_->ready, 0);
    EXPECT_FALSE(obj_->TlsStarted());
    EXPECT_FALSE(obj_->SendBytes("secret\r\n"));  // nothing goes out in clear afterwards
    EXPECT_EQ(obj_->Error, kNetTlsFailed);
    obj_->Abort();
    ASSERT_TRUE(WaitForLog(peer, 1));
    EXPECT_EQ(peer.Log().rfind("handshake failed", 0), 0u) << peer.Log();
  }
  EXPECT_TRUE(obj_->data.empty());

  // A CA bundle that cannot be read is refused before anything is sent, even with trust
  // built ahead from another bundle.
  TlsPeer peer(PeerDir("nocafile"), dir_.path(), "server");
  obj_->errors.clear();
  obj_->texts.clear();
  obj_->PrepareTls(dir_.File("ca.pem"));
  obj_->Open("127.0.0.1", peer.port());
  obj_->StartTls("127.0.0.1", dir_.File("missing.pem"));
  EXPECT_EQ(obj_->Error, kNetTlsFailed);
  ASSERT_EQ(obj_->texts.size(), 1u);
  EXPECT_NE(obj_->texts[0].find("missing.pem"), std::string::npos) << obj_->texts[0];
  EXPECT_FALSE(obj_->TlsStarted());
  obj_->Abort();
}

}  // namespace
}  // namespace verdan::net
