// The SMTP dialogue of NetEmailSend against a scripted server on loopback: whole
// transcripts of what the client sent, reply collection over split packets, the error paths,
// and the refusal of addresses that would change the commands.
#include "mail/net_email_send.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mail/mime.h"
#include "net/loopback_peers.h"  // the system's socket headers
#ifdef _WIN32
#undef CreateFile  // the system's name for its ...A and ...W calls, not the files port's
#endif
#include "net/socket_layer.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::mail {
namespace {

using namespace std::chrono_literals;

// What the server does with one thing the client sent: the pieces to send back (each one
// written separately, with a pause between them so that they arrive as separate packets),
// and whether to close the connection afterwards.
struct Answer {
  std::vector<std::string> pieces;
  bool close = false;
};

// A single-threaded SMTP server with a scripted answer for each line. The body after DATA
// is collected up to the end marker and handed to the script as one item.
class ScriptedSmtpPeer {
 public:
  // `greeting` is sent on every new connection; `script(connection, received)` answers
  // each command line (CR LF included) or body (end marker excluded).
  using Script = std::function<Answer(int connection, const std::string& received)>;

  ScriptedSmtpPeer(std::vector<std::string> greeting, Script script)
      : greeting_(std::move(greeting)), script_(std::move(script)) {
    listener_ = testing::ListenLoopback(port_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedSmtpPeer() {
    stop_ = true;  // the server's waits are short: it sees this at once
    thread_.join();
    testing::ClosePeer(listener_);
  }

  std::uint16_t port() const { return port_; }
  int connections() const { return connections_; }
  // Connections the server has ended (after the client closed, or by its script).
  int ended() const { return ended_; }
  // Everything received, per connection, one item per command line or body.
  std::vector<std::vector<std::string>> Transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
  }

 private:
  void Serve() {
    while (!stop_) {
      if (!testing::WaitReadable(listener_, 100)) continue;
      int fd = testing::PeerAccept(listener_);
      if (fd < 0) continue;
      testing::PeerSetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
      const int index = connections_++;
      {
        std::lock_guard lock(mutex_);
        transcript_.emplace_back();
      }
      Converse(fd, index);
      testing::ClosePeer(fd);
      ++ended_;
    }
  }

  bool Write(int fd, const std::vector<std::string>& pieces) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(150ms);
      std::size_t done = 0;
      while (done < pieces[i].size()) {
        long n = testing::PeerSend(fd, pieces[i].data() + done, pieces[i].size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
    }
    return true;
  }

  void Converse(int fd, int index) {
    if (!Write(fd, greeting_)) return;
    std::string in;
    bool inBody = false;
    std::size_t searched = 0;  // body bytes already searched for the end marker
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    char buf[65536];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      // Take every complete item already received.
      while (true) {
        std::string item;
        if (inBody) {
          std::size_t end = in.find("\r\n.\r\n", searched);
          if (end == std::string::npos) {
            searched = in.size() < 4 ? 0 : in.size() - 4;
            break;
          }
          item = in.substr(0, end);
          in.erase(0, end + 5);
          inBody = false;
          searched = 0;
        } else {
          std::size_t eol = in.find("\r\n");
          if (eol == std::string::npos) break;
          item = in.substr(0, eol + 2);
          in.erase(0, eol + 2);
          if (item == "DATA\r\n") inBody = true;
        }
        {
          std::lock_guard lock(mutex_);
          transcript_[static_cast<std::size_t>(index)].push_back(item);
        }
        Answer a = script_(index, item);
        if (item == "DATA\r\n" && !a.pieces.empty() && a.pieces[0].rfind("354", 0) != 0)
          inBody = false;
        if (!Write(fd, a.pieces) || a.close) return;
      }
      if (!testing::WaitReadable(fd, 50)) continue;
      long n = testing::PeerRecv(fd, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::vector<std::string> greeting_;
  Script script_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> ended_{0};
  mutable std::mutex mutex_;
  std::vector<std::vector<std::string>> transcript_;
};

// The usual answers of a willing server.
Answer Willing(const std::string& r) {
  if (r.rfind("EHLO", 0) == 0) return {{"250-mail.example.org\r\n250 AUTH LOGIN\r\n"}};
  if (r == "AUTH LOGIN\r\n") return {{"334 VXNlcm5hbWU6\r\n"}};
  if (r == Base64("korisnik") + "\r\n") return {{"334 UGFzc3dvcmQ6\r\n"}};
  if (r == Base64("tajna") + "\r\n") return {{"235 Authentication successful\r\n"}};
  if (r == "DATA\r\n") return {{"354 End data with <CR><LF>.<CR><LF>\r\n"}};
  if (r == "QUIT\r\n") return {{"221 Bye\r\n"}, true};
  return {{"250 OK\r\n"}};
}

// The object as a window uses it, recording what it reports.
class RecordingEmailSend : public NetEmailSend {
 public:
  RecordingEmailSend(platform::Ui* ui, net::NetDLL* layer) : NetEmailSend(ui, layer) {}
  void ReportError(const std::string& text, const std::string& function) override {
    reports.push_back(text);
    functions.push_back(function);
    NetEmailSend::ReportError(text, function);
  }
  void MessageSent() override { ++sent; }
  void Log(const std::string&, const std::string& text) override { logs.push_back(text); }
  using NetEmailSend::SendCommand;
  void MessageComposed() override { composed.push_back(WHOLEMESSAGE); }
  std::vector<std::string> reports;
  std::vector<std::string> functions;
  std::vector<std::string> composed;
  std::vector<std::string> logs;
  int sent = 0;
};

class SmtpDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    layer_.DLLStartUp("");
    email_ = std::make_unique<RecordingEmailSend>(&ui_, &layer_);
    email_->Init();
    email_->SuppressErrorMsg = 1;
    email_->SERVER = "127.0.0.1";
    email_->FROM = "Backup <backup@example.com>";
    email_->TOLIST = "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org";
    email_->SUBJECT = "Arhiva";
  }
  void TearDown() override {
    email_->Kill();
    email_.reset();
    layer_.NetCloseCallBackWindow();
    layer_.DLLShutDown();
  }

  // Hands events to the object until `done` holds; false after the time limit.
  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      platform::Event e = queue_.WaitFor(20ms);
      if (e.code != platform::kEventNone) email_->TakeEvent(e);
    }
    return true;
  }
  bool QueueEmpty() const { return email_->DATAQUEUE->empty(); }
  // Runs until the queue is empty and the server has seen the connection end.
  bool RunToEnd(ScriptedSmtpPeer& peer, std::size_t connections = 1) {
    return RunUntil([&] {
      auto t = peer.Transcript();
      return QueueEmpty() && t.size() >= connections && !t.back().empty() &&
             t.back().back() == "QUIT\r\n";
    });
  }

  platform::EventQueue queue_;  // this thread's queue, bound before the object's Init
  net::NetDLL layer_;
  testing::ScriptedUi ui_;
  std::unique_ptr<RecordingEmailSend> email_;
};

TEST_F(SmtpDialogue, SplitGreetingAndHeloWithoutCredentials) {
  ScriptedSmtpPeer peer({"220 mail.exam", "ple.org ESMTP ready\r\n"},
                        [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->SUBJECT = "Hi\r\nBcc: victim@example.org";
  email_->SendMail(2);
  ASSERT_EQ(email_->Error, 0);
  ASSERT_TRUE(RunToEnd(peer));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(email_->composed.size(), 1u);
  std::string body = email_->composed[0];  // no line starts with "." in this message
  EXPECT_EQ(t[0], (std::vector<std::string>{
                      "HELO backup-client.example.net\r\n", "MAIL FROM: <backup@example.com>\r\n",
                      "RCPT TO: <ivo@example.org>\r\n", "RCPT TO: <ana@example.org>\r\n",
                      "DATA\r\n", body, "QUIT\r\n"}));
  EXPECT_EQ(email_->sent, 1);
  EXPECT_TRUE(email_->reports.empty());
  EXPECT_EQ(body.find("\r\nBcc:"), std::string::npos);
  EXPECT_NE(body.find("Subject: Hi  Bcc: victim@example.org\r\n"), std::string::npos);
  EXPECT_EQ(email_->STATE_, ES_NOTCONNECTED);
}

TEST_F(SmtpDialogue, SplitEhloReplyAuthLoginAndTwoMessagesWithRset) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) -> Answer {
    if (r.rfind("EHLO", 0) == 0)
      return {{"250-mail.example.org\r\n250-SIZE 100000\r\n", "250-AUTH LOG",
               "IN\r\n250 8BITMIME\r\n"}};
    return Willing(r);
  });
  email_->PORT = peer.port();
  email_->AUTHUSER = "korisnik  ";
  email_->OPTIONSTLS = TlsMode::kCleartext;  // the peer speaks no TLS
  email_->AUTHPASSWORD = "tajna";
  email_->RECONNECTAFTERXMSGS = 20;
  email_->SendMail(2);
  email_->SUBJECT = "Druga";
  email_->TOLIST = "ana@example.org";
  email_->SendMail(2);
  ASSERT_EQ(email_->DATAQUEUE->size(), 2u);
  ASSERT_TRUE(RunToEnd(peer));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(email_->composed.size(), 2u);
  EXPECT_EQ(
      t[0],
      (std::vector<std::string>{
          "EHLO backup-client.example.net\r\n", "AUTH LOGIN\r\n", Base64("korisnik") + "\r\n",
          Base64("tajna") + "\r\n",
          // The server announced SIZE: each MAIL FROM says how big its message is.
          "MAIL FROM: <backup@example.com> SIZE=" + std::to_string(email_->composed[0].size()) +
              "\r\n",
          "RCPT TO: <ivo@example.org>\r\n", "RCPT TO: <ana@example.org>\r\n", "DATA\r\n",
          email_->composed[0], "RSET\r\n",
          "MAIL FROM: <backup@example.com> SIZE=" + std::to_string(email_->composed[1].size()) +
              "\r\n",
          "RCPT TO: <ana@example.org>\r\n", "DATA\r\n", email_->composed[1], "QUIT\r\n"}));
  EXPECT_EQ(email_->sent, 2);
  EXPECT_TRUE(email_->reports.empty());
}

TEST_F(SmtpDialogue, ReconnectsAfterTheSetNumberOfMessages) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->RECONNECTAFTERXMSGS = 1;
  email_->SendMail(2);
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer, 2));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 2u);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(t[static_cast<std::size_t>(i)],
              (std::vector<std::string>{
                  "HELO backup-client.example.net\r\n", "MAIL FROM: <backup@example.com>\r\n",
                  "RCPT TO: <ana@example.org>\r\n", "DATA\r\n",
                  email_->composed[static_cast<std::size_t>(i)], "QUIT\r\n"}));
  EXPECT_EQ(email_->sent, 2);
  EXPECT_TRUE(email_->reports.empty());
}

TEST_F(SmtpDialogue, KeptConnectionIdlesAfterRsetAndTakesTheNextMessage) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->OPTIONSKEEPCONNECTIONOPEN = 1;
  email_->SendMail(2);
  ASSERT_TRUE(RunUntil([&] { return QueueEmpty() && email_->STATE_ == ES_CONNECTEDANDIDLE; }));
  EXPECT_EQ(email_->OpenFlag, 1);
  email_->SUBJECT = "Druga";
  email_->SendMail(2);
  EXPECT_EQ(email_->STATE_, ES_READY);  // RSET went out at once
  ASSERT_TRUE(RunUntil([&] { return QueueEmpty() && email_->STATE_ == ES_CONNECTEDANDIDLE; }));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(email_->composed.size(), 2u);
  EXPECT_EQ(t[0],
            (std::vector<std::string>{
                "HELO backup-client.example.net\r\n", "MAIL FROM: <backup@example.com>\r\n",
                "RCPT TO: <ana@example.org>\r\n", "DATA\r\n", email_->composed[0], "RSET\r\n",
                "RSET\r\n", "MAIL FROM: <backup@example.com>\r\n", "RCPT TO: <ana@example.org>\r\n",
                "DATA\r\n", email_->composed[1], "RSET\r\n"}));
  EXPECT_EQ(email_->sent, 2);
  EXPECT_TRUE(email_->reports.empty());
}

// A failure of the dialogue itself drops every queued message: the server hanging up, a
// refused login, and an access token that would have to go out in clear (never sent,
// whatever mechanisms the server offers).
TEST_F(SmtpDialogue, DialogueFailuresDropEveryQueuedMessage) {
  struct Case {
    std::function<Answer(const std::string&)> script;
    std::string user, token;
    std::string report, function;
    std::vector<std::string> transcript;
  };
  const Case cases[] = {
      {[](const std::string& r) -> Answer {
         if (r.rfind("RCPT TO", 0) == 0) return {{}, true};  // hangs up without a word
         return Willing(r);
       },
       "",
       "",
       "The (Email (SMTP)) server closed the connection or a dial-up connection closed",
       "NetEmailSend.ConnectionClosed",
       {"HELO backup-client.example.net\r\n", "MAIL FROM: <backup@example.com>\r\n",
        "RCPT TO: <ivo@example.org>\r\n"}},
      {[](const std::string& r) -> Answer {
         if (r == "AUTH LOGIN\r\n") return {{"504 Unrecognized authentication type\r\n"}};
         return Willing(r);
       },
       "korisnik",
       "",
       "Fatal Error. Email (SMTP) server sent error = 504 Unrecognized authentication type "
       "State = 80. Will abort all messages in the DataQueue",
       "NetEmailSend.Process",
       {"EHLO backup-client.example.net\r\n", "AUTH LOGIN\r\n"}},
      {[](const std::string& r) -> Answer {
         if (r.rfind("EHLO", 0) == 0)
           return {{"250-mail.example.org\r\n250 AUTH LOGIN XOAUTH2 OAUTHBEARER\r\n"}};
         return Willing(r);
       },
       "backup@example.com",
       "ya29.tajni-token",
       "Prijava tokenom (OAuth) moguća je samo šifriranom vezom; uključite TLS (starttls ili "
       "implicit). Ništa nije poslano",
       "NetEmailSend.Process",
       {"EHLO backup-client.example.net\r\n", "QUIT\r\n"}},
  };
  for (const Case& c : cases) {
    ScriptedSmtpPeer peer({"220 ready\r\n"},
                          [&](int, const std::string& r) { return c.script(r); });
    email_->reports.clear();
    email_->functions.clear();
    email_->PORT = peer.port();
    email_->AUTHUSER = c.user;
    email_->AUTHTOKEN = c.token;
    email_->OPTIONSTLS = TlsMode::kCleartext;  // the peer speaks no TLS; allows no token
    email_->SendMail(2);
    email_->SendMail(2);
    ASSERT_TRUE(RunUntil([&] { return !email_->reports.empty() && email_->OpenFlag == 0; }));
    EXPECT_TRUE(QueueEmpty());
    EXPECT_EQ(email_->reports[0], c.report);
    EXPECT_EQ(email_->functions[0], c.function);
    EXPECT_EQ(email_->STATE_, ES_NOTCONNECTED);
    EXPECT_EQ(email_->MESSAGESSENTONCURRENTCONNECTION_, 0);
    EXPECT_EQ(email_->sent, 0);
    ASSERT_TRUE(testing::WaitFor([&] { return peer.ended() == 1; }));
    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(peer.Transcript()[0], c.transcript);
  }
}

TEST_F(SmtpDialogue, UnusableSenderDropsOnlyItsMessage) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->FROM = "Nitko <>";  // not blank, but no address in it
  email_->SendMail(2);
  ASSERT_EQ(email_->Error, 0);
  email_->FROM = "backup@example.com";
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(email_->composed.size(), 2u);
  EXPECT_EQ(t[0], (std::vector<std::string>{"HELO backup-client.example.net\r\n", "RSET\r\n",
                                            "MAIL FROM: <backup@example.com>\r\n",
                                            "RCPT TO: <ana@example.org>\r\n", "DATA\r\n",
                                            email_->composed[1], "QUIT\r\n"}));
  ASSERT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(email_->reports[0], "Invalid from address found in data queue");
  EXPECT_EQ(email_->sent, 1);
}

TEST_F(SmtpDialogue, RejectedRecipientDropsOnlyThatMessage) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) -> Answer {
    if (r == "RCPT TO: <nobody@example.org>\r\n") return {{"550 5.1.1 No such user\r\n"}};
    return Willing(r);
  });
  email_->PORT = peer.port();
  email_->TOLIST = "nobody@example.org";
  email_->SendMail(2);
  email_->TOLIST = "ana@example.org";
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer, 2));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], (std::vector<std::string>{"HELO backup-client.example.net\r\n",
                                            "MAIL FROM: <backup@example.com>\r\n",
                                            "RCPT TO: <nobody@example.org>\r\n"}));
  ASSERT_EQ(t[1].size(), 6u);
  EXPECT_EQ(t[1][3], "DATA\r\n");
  EXPECT_EQ(t[1][4], email_->composed[1]);
  EXPECT_EQ(email_->sent, 1);
  ASSERT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(email_->reports[0],
            "Error in this Message. Email (SMTP) server sent error = 550 5.1.1 No such user "
            "State = 75. Will try and send next email");
  EXPECT_EQ(email_->functions[0], "NetEmailSend.Process");
}

TEST_F(SmtpDialogue, BodyIsDotStuffedAsOneStream) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  // Plain 7bit text, so dots at line starts reach the body; lines of varied length put
  // dots on and next to the 8192-byte chunk edges.
  std::string text;
  for (int i = 0; text.size() < 40000; ++i)
    text += "." + std::string(static_cast<std::size_t>(i % 97), 'x') + ".\r\n";
  ASSERT_EQ(email_->SetRequiredMessageSize(0, static_cast<std::int32_t>(text.size()), 0), 0);
  email_->MESSAGETEXT = text;
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(t[0].size(), 7u);
  std::string stuffed;  // what the message must look like on the wire
  const std::string& m = email_->composed[0];
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (m[i] == '.' && (i == 0 || (i >= 2 && m[i - 2] == '\r' && m[i - 1] == '\n'))) stuffed += '.';
    stuffed += m[i];
  }
  EXPECT_EQ(t[0][5], stuffed);
  EXPECT_NE(stuffed, m);
}

TEST_F(SmtpDialogue, DotStuffKeepsLineStartsAcrossChunks) {
  auto chunk = [&](const std::string& s) {
    std::memcpy(email_->Packet.BinData, s.data(), s.size());
    email_->Packet.BinDataLen = static_cast<std::int32_t>(s.size());
    email_->DotStuff();
    return std::string(reinterpret_cast<char*>(email_->Packet.BinData),
                       static_cast<std::size_t>(email_->Packet.BinDataLen));
  };
  // The stream starts at a line start (set by the body transmission); feed three chunks.
  EXPECT_EQ(chunk(".a\r\nb."), "..a\r\nb.");
  EXPECT_EQ(chunk(".c\r"), ".c\r");   // the dot continues the line "b."
  EXPECT_EQ(chunk("\n.d"), "\n..d");  // CR and LF split between chunks
  chunk("\r\n");
  std::string many;
  for (int i = 0; i < 2730; ++i) many += ".\r\n";
  EXPECT_EQ(chunk(many).size(), many.size() + 2730);
}

TEST_F(SmtpDialogue, MissingRecipientsLeaveTheMessageInFlightAlone) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->SendMail(2);
  ASSERT_TRUE(RunUntil([&] { return email_->STATE_ == ES_RCPTTO; }));
  email_->TOLIST = "   ";
  email_->SendMail(2);
  EXPECT_EQ(email_->Error, net::kNetPropertiesMissing);
  ASSERT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(email_->reports[0], "No To, CC or BCC field specified when sending Email (SMTP)");
  EXPECT_EQ(email_->DATAQUEUE->size(), 1u);
  ASSERT_TRUE(RunToEnd(peer));
  EXPECT_EQ(email_->sent, 1);
  EXPECT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(peer.Transcript()[0].back(), "QUIT\r\n");
}

TEST_F(SmtpDialogue, IdleTimeoutDropsTheMessage) {
  ScriptedSmtpPeer peer({}, [](int, const std::string& r) { return Willing(r); });  // silent
  email_->PORT = peer.port();
  email_->InactiveTimeout = 100;
  email_->SendMail(2);
  ASSERT_EQ(email_->STATE_, ES_WAITGREETING);
  ASSERT_TRUE(RunUntil([&] { return !email_->reports.empty(); }, 15s));
  EXPECT_EQ(email_->reports[0],
            "Error in this Message. Email (SMTP) server sent error = 0 Idle Timeout - Warning "
            "connection has been idle for more than 1 seconds. Connection will be closed "
            "State = 71. Will try and send next email");
  EXPECT_EQ(email_->Error, 0);  // the abort that followed succeeded
  EXPECT_TRUE(QueueEmpty());
  EXPECT_EQ(email_->STATE_, ES_NOTCONNECTED);
  EXPECT_EQ(email_->OpenFlag, 0);
}

TEST_F(SmtpDialogue, AddressesThatWouldChangeTheCommandsAreRefused) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  const std::string bad[][2] = {
      {"ivo@example.org>\r\nRCPT TO: <evil@example.org", "Backup <backup@example.com>"},
      {"<ivo@example.org\nDATA>", "Backup <backup@example.com>"},
      {"ivo@example.org", "backup@example.com>\r\nRCPT TO: <evil@example.org"},
      {"ivo@example.org", "backup@example.com\rX"},
  };
  for (const auto& b : bad) {
    email_->reports.clear();
    email_->TOLIST = b[0];
    email_->FROM = b[1];
    email_->SendMail(2);
    EXPECT_EQ(email_->Error, net::kNetPropertiesMissing) << b[0] << b[1];
    ASSERT_EQ(email_->reports.size(), 1u);
    EXPECT_EQ(email_->reports[0].rfind("Invalid address (", 0), 0u) << email_->reports[0];
    EXPECT_EQ(email_->reports[0].find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(QueueEmpty());
    EXPECT_EQ(email_->OpenFlag, 0);
  }
  // The server takes connections in order: the message sent next is on the first one.
  email_->TOLIST = "ana@example.org";
  email_->FROM = "backup@example.com";
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer));
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(peer.Transcript()[0][2], "RCPT TO: <ana@example.org>\r\n");
}

// A command goes out whole as one line or not at all: one that would not fit a packet, or
// that holds a line break, ends the dialogue before any of it is sent.
TEST_F(SmtpDialogue, CommandsGoOutWholeAsOneLineOrNotAtAll) {
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->OPTIONSKEEPCONNECTIONOPEN = 1;
  email_->HELO = std::string(kMaxCommandBytes - 5, 'h');  // "HELO " + domain: the longest
  email_->SendMail(2);
  ASSERT_TRUE(RunUntil([&] { return QueueEmpty() && email_->STATE_ == ES_CONNECTEDANDIDLE; }));
  EXPECT_EQ(peer.Transcript()[0][0], "HELO " + email_->HELO + "\r\n");
  EXPECT_EQ(email_->sent, 1);
  EXPECT_NE(std::find(email_->logs.begin(), email_->logs.end(),
                      "State ES_WAITGREETING (71) -> ES_READY (73)"),
            email_->logs.end());

  EXPECT_FALSE(email_->SendCommand("NOOP\r\nRSET"));
  EXPECT_EQ(email_->Error, net::kNetInvalidStringSize);
  ASSERT_TRUE(RunUntil([&] { return peer.Transcript()[0].back() == "QUIT\r\n"; }));
  const auto first = peer.Transcript()[0];
  EXPECT_EQ(std::count(first.begin(), first.end(), "RSET\r\n"), 1);  // none after the refusal

  email_->HELO += 'h';
  email_->SendMail(2);
  ASSERT_TRUE(RunUntil([&] {
    auto t = peer.Transcript();
    return QueueEmpty() && t.size() == 2 && !t[1].empty() && t[1].back() == "QUIT\r\n";
  }));
  EXPECT_EQ(peer.Transcript()[1], std::vector<std::string>{"QUIT\r\n"});
  EXPECT_EQ(email_->reports,
            (std::vector<std::string>{"Naredba poslužitelju nije poslana: sadrži prijelom retka",
                                      "Naredba poslužitelju nije poslana: duga je 16383 bajtova, a "
                                      "smije imati najviše 16382"}));
  EXPECT_EQ(email_->sent, 1);
}

// Replies that are not SMTP: none may crash the client, make it hold more than its reply
// buffer, or leave it waiting.
TEST_F(SmtpDialogue, MalformedAndEndlessRepliesEndInTheErrorPaths) {
  struct Case {
    std::vector<std::string> greeting;
    std::string expectStart;
  };
  const Case cases[] = {
      {{"ABC not a number\r\n"},
       "Fatal Error. Email (SMTP) server sent error = 0 not a number State = 71."},
      {{std::string(1 << 20, 'x')},
       "Fatal Error. Email (SMTP) server sent error = 0 Reply longer than 16384 bytes State = 71."},
      {{[] {
         std::string s;
         while (s.size() < (1 << 20)) s += "220-still greeting\r\n";
         return s;
       }()},
       "Fatal Error. Email (SMTP) server sent error = 0 Reply longer than 16384 bytes State = 71."},
  };
  for (const Case& c : cases) {
    ScriptedSmtpPeer peer(c.greeting, [](int, const std::string& r) { return Willing(r); });
    email_->reports.clear();
    email_->PORT = peer.port();
    email_->SendMail(2);
    std::size_t largest = 0;
    ASSERT_TRUE(RunUntil([&] {
      largest = std::max(largest, email_->SERVERREPLYBUFFER_.size());
      return !email_->reports.empty();
    }));
    // Late packets of the dropped connection are not taken as replies.
    RunUntil([] { return false; }, 1s);
    EXPECT_LE(largest, kReplyBufferBytes);
    ASSERT_EQ(email_->reports.size(), 1u);
    EXPECT_EQ(email_->reports[0].rfind(c.expectStart, 0), 0u) << email_->reports[0];
    EXPECT_TRUE(QueueEmpty());
    EXPECT_EQ(email_->STATE_, ES_NOTCONNECTED);
  }
}

TEST_F(SmtpDialogue, ProgressAndBuffers) {
  EXPECT_EQ(email_->SetRequiredMessageSize(-1, 0, 0), net::kNetInvalidStringSize);
  EXPECT_EQ(email_->reports.back(), "Invalid String Size (less than zero) passed to function");
  EXPECT_EQ(email_->SetRequiredMessageSize(10, 20, 30), 0);
  EXPECT_EQ(email_->MESSAGETEXT.size(), 20u);
  EXPECT_EQ(email_->MESSAGEHTMLLEN, 30);
  email_->CalcProgress();
  EXPECT_EQ(email_->PROGRESS1000, 1000);
  EXPECT_EQ(email_->PROGRESSBYTESMAX, 0);

  email_->ATTACHMENTLIST = "/nonexistent/verdan/arhiva.zip";
  email_->SetRequiredMessageSize(0, 0, 0);
  email_->SendMail(2);
  EXPECT_EQ(email_->Error, net::kNetFileError);
  EXPECT_EQ(email_->reports.back(),
            "Error opening attached file (/nonexistent/verdan/arhiva.zip) for sending via Email "
            "(SMTP). Error = 2 No such file or directory");
  EXPECT_TRUE(QueueEmpty());

  email_->SendMail(1);
  EXPECT_EQ(email_->Error, net::kNetBadParameters);
  EXPECT_EQ(email_->reports.back(), "Incorrect Mode parameter passed to function.");
}

// Line ends that arrive apart from their lines, or as a bare LF, still end the reply; above
// all the 250 after the end marker, which otherwise leaves an accepted message looking failed.
TEST_F(SmtpDialogue, RepliesWhoseLineEndsArriveSeparatelyOrAsBareLf) {
  ScriptedSmtpPeer peer({"220 ready\r", "\n"}, [](int, const std::string& r) -> Answer {
    if (r.rfind("EHLO", 0) == 0) return {{"250-mail.example.org\n250-AUTH LOGIN\r", "\n250 OK\n"}};
    if (r.rfind("MAIL FROM", 0) == 0) return {{"250 OK\n"}};
    if (r.rfind("RCPT TO", 0) == 0) return {{"250 O", "K\r", "\n"}};
    if (r == "DATA\r\n") return {{"354 go ahead\r", "\n"}};
    if (r.rfind("Message-ID:", 0) == 0) return {{"250 queued as 42\r", "\n"}};
    return Willing(r);
  });
  email_->PORT = peer.port();
  email_->AUTHUSER = "korisnik";
  email_->OPTIONSTLS = TlsMode::kCleartext;  // the peer speaks no TLS
  email_->AUTHPASSWORD = "tajna";
  email_->TOLIST = "ana@example.org";
  email_->SendMail(2);
  ASSERT_TRUE(RunToEnd(peer));
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(email_->composed.size(), 1u);
  EXPECT_EQ(t[0],
            (std::vector<std::string>{
                "EHLO backup-client.example.net\r\n", "AUTH LOGIN\r\n", Base64("korisnik") + "\r\n",
                Base64("tajna") + "\r\n", "MAIL FROM: <backup@example.com>\r\n",
                "RCPT TO: <ana@example.org>\r\n", "DATA\r\n", email_->composed[0], "QUIT\r\n"}));
  EXPECT_EQ(email_->sent, 1);
  EXPECT_TRUE(email_->reports.empty()) << email_->reports[0];
}

// A server that drips its greeting a byte at a time keeps the connection from ever being
// idle; the reply must still be complete within the reply time-out.
TEST_F(SmtpDialogue, DrippingReplyEndsAtTheReplyDeadline) {
  std::vector<std::string> drip;
  for (char c : std::string("220 a very slow server greeting\r\n")) drip.emplace_back(1, c);
  ScriptedSmtpPeer peer(drip, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->InactiveTimeout = 500;  // 5 s: longer than any gap between two bytes
  email_->REPLYTIMEOUT = 100;     // 1 s for the whole greeting
  email_->SendMail(2);
  ASSERT_TRUE(RunUntil([&] { return !email_->reports.empty(); }, 15s));
  EXPECT_EQ(email_->reports[0],
            "Error in this Message. Email (SMTP) server sent error = 0 Reply Timeout - poslužitelj "
            "nije dovršio odgovor u 1 sekundi (odgovor nije stigao ili stiže presporo). Veza se "
            "prekida State = 71. Will try and send next email");
  EXPECT_NE(email_->ErrorString.find("The error number was -53"), std::string::npos);
  EXPECT_TRUE(QueueEmpty());
  EXPECT_EQ(email_->OpenFlag, 0);
  EXPECT_EQ(email_->sent, 0);
}

// Reply text reaches message boxes and terminals: control characters must not, and refusals
// for reasons of security carry a plain explanation after the server's words.
TEST_F(SmtpDialogue, ServerTextIsShownSafelyAndSecurityRefusalsAreExplained) {
  struct Case {
    std::string reply;
    std::string expected;
  };
  const Case cases[] = {
      {"550 \x1b]0;naslov\x07\x1b[2J bad \xc2\x9b"
       "1m \xff user \xc4\x8d\r\n",
       "Error in this Message. Email (SMTP) server sent error = 550 ?]0;naslov??[2J bad ??1m ? "
       "user \xc4\x8d State = 75. Will try and send next email"},
      {"530 5.7.0 Must issue a STARTTLS command first\r\n",
       "Error in this Message. Email (SMTP) server sent error = 530 5.7.0 Must issue a STARTTLS "
       "command first (Poslužitelj traži prijavu ili šifriranu vezu prije slanja: uključite TLS "
       "(starttls ili implicit) i upišite korisnika i lozinku.) State = 75. Will try and send "
       "next email"},
      {"554 5.7.1 Relay access denied\r\n",
       "Error in this Message. Email (SMTP) server sent error = 554 5.7.1 Relay access denied "
       "(Poslužitelj je odbio zahtjev iz sigurnosnih razloga (prijava, šifriranje ili dopuštenja "
       "pošiljatelja i primatelja).) State = 75. Will try and send next email"},
  };
  for (const Case& c : cases) {
    ScriptedSmtpPeer peer({"220 ready\r\n"}, [&](int, const std::string& r) -> Answer {
      if (r.rfind("RCPT TO", 0) == 0) return {{c.reply}};
      return Willing(r);
    });
    email_->reports.clear();
    email_->PORT = peer.port();
    email_->SendMail(2);
    ASSERT_TRUE(RunUntil([&] { return !email_->reports.empty() && QueueEmpty(); }));
    EXPECT_EQ(email_->reports[0], c.expected);
  }
}

// A message with a large attachment is read from its file while it is sent: the socket layer
// never holds more than its high mark, and what arrives is exactly the planned message.
TEST_F(SmtpDialogue, AttachmentIsStreamedWithABoundedQueue) {
  testing::TempDir dir;
  std::string data(12u << 20, '\0');
  std::mt19937 rng(11);
  for (char& ch : data) ch = static_cast<char>(rng());
  testing::WriteFile(dir.File("velika.zip"), data);
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->ATTACHMENTLIST = dir.File("velika.zip");
  email_->SendMail(2);
  ASSERT_EQ(email_->Error, 0);
  ASSERT_EQ(email_->DATAQUEUE->size(), 1u);
  EXPECT_TRUE(email_->composed[0].empty());  // nothing of it is held as text
  std::string expected;
  ComposeFailure failure;
  ASSERT_EQ(ReadMessage(email_->DATAQUEUE->front().WHOLEMESSAGEPLAN, expected, failure),
            ComposeResult::kOk);
  EXPECT_EQ(static_cast<std::size_t>(email_->WHOLEMESSAGELEN), expected.size());
  std::int64_t largest = 0;
  ASSERT_TRUE(RunUntil(
      [&] {
        largest = std::max(largest, email_->QueuedSendBytes());
        auto t = peer.Transcript();
        return QueueEmpty() && !t.empty() && !t[0].empty() && t[0].back() == "QUIT\r\n";
      },
      60s));
  EXPECT_EQ(email_->sent, 1);
  EXPECT_TRUE(email_->reports.empty());
  EXPECT_LE(largest, kBodyHighWaterBytes + 2 * net::kMaxBinData);
  auto t = peer.Transcript();
  ASSERT_EQ(t[0].size(), 6u);
  EXPECT_TRUE(t[0][4] == expected);
  EXPECT_EQ(email_->MESSAGEBYTESSENT_, static_cast<std::int64_t>(expected.size()));
}

// A file that changes between composition and sending is not sent as something else: the
// message fails without its end marker and the next one goes out on a new connection.
TEST_F(SmtpDialogue, AttachmentChangedBeforeSendingFailsOnlyItsMessage) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("arhiva.zip"), std::string(300000, 'a'));
  ScriptedSmtpPeer peer({"220 ready\r\n"}, [](int, const std::string& r) { return Willing(r); });
  email_->PORT = peer.port();
  email_->TOLIST = "ana@example.org";
  email_->ATTACHMENTLIST = dir.File("arhiva.zip");
  email_->SendMail(2);
  email_->ATTACHMENTLIST.clear();
  email_->SUBJECT = "Bez privitka";
  email_->SendMail(2);
  testing::WriteFile(dir.File("arhiva.zip"), std::string(1000, 'b'));  // shorter now
  ASSERT_TRUE(RunToEnd(peer, 2));
  ASSERT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(email_->reports[0],
            "Privitak (" + dir.File("arhiva.zip") +
                ") promijenio se nakon što je poruka pripremljena; poruka nije poslana");
  auto t = peer.Transcript();
  ASSERT_EQ(t.size(), 2u);
  // The first connection ends after DATA: no body item, since no end marker came.
  EXPECT_EQ(t[0], (std::vector<std::string>{"HELO backup-client.example.net\r\n",
                                            "MAIL FROM: <backup@example.com>\r\n",
                                            "RCPT TO: <ana@example.org>\r\n", "DATA\r\n"}));
  ASSERT_EQ(t[1].size(), 6u);
  EXPECT_NE(t[1][4].find("Subject: Bez privitka\r\n"), std::string::npos);
  EXPECT_EQ(email_->sent, 1);
}

// The length limit of a message is checked from the files' sizes before anything is read:
// a sparse 1.6 GB file (over 2 GB once encoded) is refused at once, with the sizes named.
TEST_F(SmtpDialogue, MessageOverTheLengthLimitIsRefusedBeforeAnythingIsRead) {
  testing::TempDir dir;
  const std::string path = dir.File("ogromna.zip");
  platform::FileHandle file = platform::CreateFile(path, platform::Creation::kTruncate, 0644);
  ASSERT_NE(file, platform::kNoFile);
  ASSERT_TRUE(platform::SetFileSize(file, 1600ULL << 20));
  platform::CloseFile(file);
  email_->TOLIST = "ana@example.org";
  email_->ATTACHMENTLIST = path;
  email_->SendMail(2);
  EXPECT_EQ(email_->Error, net::kNetOutOfMemory);
  ASSERT_EQ(email_->reports.size(), 1u);
  EXPECT_EQ(email_->reports[0].rfind("Poruka bi imala 22", 0), 0u) << email_->reports[0];
  EXPECT_NE(email_->reports[0].find("a najviše se može poslati 2147483647 bajtova (2 GB)"),
            std::string::npos);
  EXPECT_TRUE(QueueEmpty());
  EXPECT_EQ(email_->OpenFlag, 0);
}

}  // namespace
}  // namespace verdan::mail

namespace verdan::mail {
namespace {

// The joining instruction counts the parts in Croatian, and the parts leave a real margin
// under the server's limit.
TEST(SplitParts, CroatianCountOfPartsAndTheMarginUnderTheLimit) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {1, "dio"},       {2, "dijela"},     {4, "dijela"},     {5, "dijelova"}, {11, "dijelova"},
      {12, "dijelova"}, {14, "dijelova"},  {21, "dio"},       {22, "dijela"},  {25, "dijelova"},
      {101, "dio"},     {111, "dijelova"}, {112, "dijelova"}, {124, "dijela"}};
  for (const auto& [count, word] : cases) EXPECT_STREQ(PartsWord(count), word) << count;
  EXPECT_EQ(SplitMargin(100000), 5000u);
  EXPECT_EQ(SplitMargin(10000), kSplitMarginMinBytes);
  EXPECT_EQ(SplitMargin(25u << 20), (25u << 20) / 20);
}

}  // namespace
}  // namespace verdan::mail
