// The e-mail windows' logic on their own threads, driven as a view drives them, against an
// SMTP peer on loopback that can hold back its answer to a message: status texts, the one
// success box, the close question, "Prekini", two windows at once, and the settings kept in
// the record and in verdan.env.
#include "mail/email_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/tables.h"
#include "net/loopback_peers.h"
#include "net/socket_layer.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#ifndef _WIN32
#include "support/smtp_server.h"
#include "support/test_peers.h"
#endif
#include "support/wait.h"

namespace verdan::mail {
namespace {

using namespace std::chrono_literals;
using verdan::testing::ReadFile;
using verdan::testing::ScriptedUi;
using verdan::testing::TempDir;
using verdan::testing::WaitFor;
using verdan::testing::WriteFile;

// An SMTP server that serves each connection on a thread of its own and keeps every message
// it accepted. While held, the answer to a message's end marker waits for `Release`.
class SmtpPeer {
 public:
  SmtpPeer() {
    listen_ = verdan::testing::ListenLoopback(port_);
    accept_ = std::thread([this] { Accept(); });
  }
  ~SmtpPeer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    accept_.join();
    for (std::thread& t : serving_) t.join();
    verdan::testing::ClosePeer(listen_);
  }
  std::uint16_t port() const { return port_; }
  void Hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      hold_ = false;
    }
    cv_.notify_all();
  }
  int Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  int Held() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  std::vector<std::string> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  void Accept() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
      }
      if (!verdan::testing::WaitReadable(listen_, 20)) continue;
      int fd = verdan::testing::PeerAccept(listen_);
      if (fd < 0) continue;
      std::lock_guard lock(mutex_);
      ++connections_;
      serving_.emplace_back([this, fd] {
        Serve(fd);
        verdan::testing::ClosePeer(fd);
      });
    }
  }

  static void Say(int fd, const std::string& text) {
    verdan::testing::PeerSend(fd, text.data(), text.size());
  }

  void Serve(int fd) {
    Say(fd, "220 peer ready\r\n");
    std::string in, body;
    bool data = false;
    int authStep = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    char buf[65536];
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
      }
      if (!verdan::testing::WaitReadable(fd, 20)) continue;
      long n = verdan::testing::PeerRecv(fd, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<std::size_t>(n));
      for (std::size_t eol; (eol = in.find("\r\n")) != std::string::npos;) {
        std::string line = in.substr(0, eol);
        in.erase(0, eol + 2);
        if (data) {
          if (line != ".") {
            body += line + "\r\n";
            continue;
          }
          data = false;
          std::unique_lock lock(mutex_);
          messages_.push_back(body);
          body.clear();
          ++held_;
          cv_.wait_for(lock, 20s, [this] { return !hold_ || stop_; });
          --held_;
          lock.unlock();
          Say(fd, "250 queued\r\n");
        } else if (authStep == 1 || authStep == 2) {
          Say(fd, authStep++ == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 ok\r\n");
        } else if (line.rfind("EHLO", 0) == 0) {
          Say(fd, "250-peer\r\n250 AUTH LOGIN\r\n");
        } else if (line == "AUTH LOGIN") {
          authStep = 1;
          Say(fd, "334 VXNlcm5hbWU6\r\n");
        } else if (line == "DATA") {
          data = true;
          Say(fd, "354 go on\r\n");
        } else if (line == "QUIT") {
          Say(fd, "221 bye\r\n");
          return;
        } else {
          Say(fd, "250 ok\r\n");
        }
      }
    }
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread accept_;
  std::vector<std::thread> serving_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool hold_ = false;
  int held_ = 0;
  int connections_ = 0;
  std::vector<std::string> messages_;
};

class EmailWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    layer_.DLLStartUp("");
    WriteFile(dir_.File("PETAK.zip"), std::string(300000, 'z'));
    WriteFile(dir_.File("a.zip"), "first archive");
    WriteFile(dir_.File("b.zip"), "second archive");
    WriteFile(dir_.File("verdan.env"),
              "[Email_Postavke]\r\nCC=kopija@example.org  \r\nOrganization=Tvrtka d.o.o.\r\n");
    // The saved profile: the peer, a sender and one recipient, no credentials.
    ScriptedUi seedUi;
    app::Program seed(seedUi);
    ASSERT_TRUE(app::OpenTable(seed, seed.email));
    app::LoadEmailSettings(seed);
    SmtpSettings s;
    s.server = "127.0.0.1";
    s.port = peer_.port();
    s.from = "Backup <backup@example.com>";
    s.to = "ured@example.org";
    s.subject = "Arhiva";
    std::string problem;
    ASSERT_TRUE(StoreSmtpSettings(
        seed, s, kSmtpServer | kSmtpPort | kSmtpFrom | kSmtpTo | kSmtpSubject, problem))
        << problem;
    app::CloseTable(seed.email);
    program_.buffers.AKTIVNAARHIVA = platform::FitField(dir_.File("PETAK.zip"), 200);
    ui_.Clear();
  }
  void TearDown() override {
    program_.windows.Shut();
    program_.windows.JoinAll();
    layer_.NetCloseCallBackWindow();
    layer_.DLLShutDown();
  }

  // Starts a window whose status texts are recorded as they change.
  std::shared_ptr<EmailWindow> Start(EmailWindowKind kind) {
    auto window = std::make_shared<EmailWindow>(program_, kind, &layer_);
    window->SetListener([this, w = window.get()] {
      std::string status = w->Snapshot().status;
      std::lock_guard lock(statusMutex_);
      if (statuses_.empty() || statuses_.back() != status) statuses_.push_back(status);
    });
    program_.windows.Start([window](platform::EventQueue& q) { window->Run(q); });
    EXPECT_TRUE(WaitFor([&] { return window->Snapshot().open; }));
    return window;
  }
  static bool StatusIs(const EmailWindow& w, const std::string& text) {
    return w.Snapshot().status == text;
  }
  int Boxes(const std::string& text) const {
    int n = 0;
    for (const std::string& t : ui_.Texts()) n += t == text;
    return n;
  }

  std::vector<std::string> Statuses() {
    std::lock_guard lock(statusMutex_);
    return statuses_;
  }

  std::mutex statusMutex_;
  std::vector<std::string> statuses_;
  TempDir dir_;
  verdan::testing::ScopedCwd cwd_{dir_.path()};
  SmtpPeer peer_;
  net::NetDLL layer_;
  ScriptedUi ui_;
  app::Program program_{ui_};
};

TEST_F(EmailWindowTest, SettingsWindowSendsWhatIsTypedAndKeepsItForTheNextStart) {
  auto w = Start(EmailWindowKind::kSettings);
  EmailWindowState s = w->Snapshot();
  EXPECT_EQ(s.title, "Pošalji aktivnu arhivu kao privitak na e-mail");
  EXPECT_EQ(s.server, "127.0.0.1");
  EXPECT_EQ(s.port, peer_.port());
  EXPECT_EQ(s.user, "");  // the record's placeholder credentials are not offered
  EXPECT_EQ(s.to, "ured@example.org");
  EXPECT_EQ(s.attachments, "");

  w->Edit(kFieldTo, "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org");
  w->Edit(kFieldSubject, "Tjedna arhiva");
  w->Edit(kFieldUser, "korisnik");
  w->Edit(kFieldPassword, "tajna");
  // The peer offers no STARTTLS: the password goes in clear only because that is chosen.
  w->Edit(kFieldTls, "cleartext");
  w->Edit(kFieldPort, "nije broj");  // refused: the port stays
  // Two files chosen in the dialog go out as two attachments of one message.
  ui_.QueueFiles({dir_.File("a.zip"), dir_.File("b.zip")});
  w->Press(kEmailBrowse);
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().attachmentSelections == 1; }));
  EXPECT_EQ(w->Snapshot().attachments, dir_.path() + "|a.zip|b.zip");
  EXPECT_EQ(ui_.FileDialogs().at(0).title, "Odaberi arhivu za slanje ...");
  EXPECT_EQ(ui_.FileDialogs().at(0).filter, "Zip|*.zip|All|*.*");
  EXPECT_TRUE(ui_.FileDialogs().at(0).multiSelect);

  peer_.Hold();
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*w, "Šaljem 1 email(s)"); }));
  ASSERT_TRUE(WaitFor([&] { return peer_.Held() == 1; }));
  EXPECT_TRUE(w->Snapshot().progressVisible);
  peer_.Release();
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*w, "") && !w->Snapshot().progressVisible; }));

  const std::string message = peer_.Messages().at(0);
  EXPECT_NE(message.find("filename=\"a.zip\""), std::string::npos);
  EXPECT_NE(message.find("filename=\"b.zip\""), std::string::npos);
  EXPECT_NE(message.find("Subject: Tjedna arhiva\r\n"), std::string::npos);
  EXPECT_NE(message.find("CC: \"kopija@example.org\" <kopija@example.org>\r\n"), std::string::npos);
  EXPECT_NE(message.find("Organization: Tvrtka d.o.o.\r\n"), std::string::npos);

  // Closing with an empty queue asks nothing and stores what was typed.
  w->RequestClose();
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().closed; }));
  EXPECT_EQ(Boxes(kEmailCloseQuestion), 0);
  ScriptedUi again;
  app::Program next(again);
  ASSERT_TRUE(app::OpenTable(next, next.email));
  SmtpSettings saved;
  ASSERT_TRUE(ReadSmtpSettings(next, saved));
  app::CloseTable(next.email);
  EXPECT_EQ(saved.to, "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org");
  EXPECT_EQ(saved.subject, "Tjedna arhiva");
  EXPECT_EQ(saved.user, "korisnik");
  EXPECT_EQ(saved.password, "tajna");
  EXPECT_EQ(saved.port, peer_.port());
  const std::string env = ReadFile(dir_.File("verdan.env"));
  EXPECT_NE(env.find("CC=kopija@example.org\r\n"), std::string::npos) << env;
  EXPECT_NE(env.find("AttachmentList=" + dir_.path() + "|a.zip|b.zip\r\n"), std::string::npos)
      << env;
  EXPECT_NE(env.find("ReplyTo=\r\n"), std::string::npos) << env;
  EXPECT_NE(env.find("TLS=cleartext\r\n"), std::string::npos) << env;
  EXPECT_EQ(ReadFile(dir_.File("PEMAIL.TPS")).find("tajna"), std::string::npos);
}

TEST_F(EmailWindowTest, SendWindowStatusWhileMoreWaitAndOneSuccessBoxAfterTheLast) {
  auto w = Start(EmailWindowKind::kSend);
  EXPECT_EQ(w->Snapshot().attachments, dir_.File("PETAK.zip"));
  EXPECT_FALSE(w->Edit(kFieldServer, "elsewhere"));  // the send window has no such entry
  peer_.Hold();
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return peer_.Held() == 1; }));
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*w, "Sending 2 email(s)"); }));
  peer_.Release();
  ASSERT_TRUE(WaitFor([&] { return peer_.Messages().size() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1 && StatusIs(*w, ""); }));
  // The first acceptance left one waiting: the status said so before it was cleared.
  EXPECT_EQ(Statuses(), (std::vector<std::string>{"", "Sending 1 email(s)", "Sending 2 email(s)",
                                                  "Šaljem . ..", ""}));
  EXPECT_EQ(peer_.Connections(), 1);
  EXPECT_NE(peer_.Messages().at(0).find("To: \"ured@example.org\" <ured@example.org>\r\n"),
            std::string::npos);
}

// The windows' messages carry no text of their own, except that an encrypted archive is
// said to be one.
TEST_F(EmailWindowTest, SendWindowSaysAnEncryptedArchiveIsOne) {
  WriteFile(dir_.File("kupci.tps"), "kupci");
  ASSERT_EQ(verdan::testing::RunProcess({"/usr/bin/7z", "a", "-bd", "-tzip", "-mem=AES256",
                                         "-pZaporka9", dir_.File("SUBOTA.zip"), "kupci.tps"},
                                        dir_.path())
                .status,
            0);
  program_.buffers.AKTIVNAARHIVA = platform::FitField(dir_.File("SUBOTA.zip"), 200);
  auto w = Start(EmailWindowKind::kSend);
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  const std::string message = peer_.Messages().at(0);
  EXPECT_NE(message.find("Arhiva je =C5=A1ifrirana (AES-256); za raspakiranje treba zaporka"),
            std::string::npos)
      << message.substr(0, 1500);
  EXPECT_NE(message.find("filename=\"SUBOTA.zip\""), std::string::npos);
}

TEST_F(EmailWindowTest, CloseWhileSendingAsksAndNoKeepsTheTransferGoing) {
  auto w = Start(EmailWindowKind::kSend);
  peer_.Hold();
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return peer_.Held() == 1; }));
  ui_.QueueAnswer(platform::kButtonNo);
  w->RequestClose();
  ASSERT_TRUE(WaitFor([&] { return Boxes(kEmailCloseQuestion) == 1; }));
  platform::MessageSpec question = ui_.Messages().back();
  EXPECT_EQ(question.caption, "P A Ž NJ A !!! ");
  EXPECT_EQ(question.icon, platform::Icon::kQuestion);
  EXPECT_EQ(question.buttons, unsigned{platform::kButtonYes | platform::kButtonNo});
  EXPECT_EQ(question.defaultButton, unsigned{platform::kButtonNo});
  peer_.Release();
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  EXPECT_FALSE(w->Snapshot().closed);

  // "Prekini" during a second transfer stops it and leaves the window usable; the message
  // stays queued, so closing asks again and Yes ends the window.
  peer_.Hold();
  w->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return peer_.Held() == 1; }));
  w->Press(kEmailAbort);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*w, "Prekinuto od strane korisnika !!!"); }));
  peer_.Release();
  ui_.QueueAnswer(platform::kButtonYes);
  w->Press(kEmailClose);
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().closed; }));
  EXPECT_EQ(Boxes(kEmailCloseQuestion), 2);
  EXPECT_EQ(Boxes("E-mail Poslan uspješno"), 1);
}

TEST_F(EmailWindowTest, TwoWindowsSendAtOnceOverTheirOwnConnections) {
  auto first = Start(EmailWindowKind::kSend);
  auto second = Start(EmailWindowKind::kSend);
  peer_.Hold();
  first->Press(kEmailSend);
  second->Press(kEmailSend);
  // Both messages are in the server's hands at the same time.
  ASSERT_TRUE(WaitFor([&] { return peer_.Held() == 2; }));
  EXPECT_EQ(peer_.Connections(), 2);
  peer_.Release();
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 2; }));
}

TEST_F(EmailWindowTest, FailuresShowTheWindowsOwnStatusTexts) {
  // Nothing listens: the settings window and the send window say it their own way.
  auto settings = Start(EmailWindowKind::kSettings);
  settings->Edit(kFieldPort, std::to_string(verdan::testing::RefusingPort()));
  settings->Edit(kFieldAttachment, dir_.File("a.zip"));
  settings->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*settings, "Ne mogu se spojiti na mail server."); }));
  settings->Edit(kFieldAttachment, dir_.File("nema.zip"));
  settings->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return ui_.Texts().size() >= 2; }));
  EXPECT_NE(ui_.Texts().back().find("nema.zip"), std::string::npos);

  // A missing attachment is not a connection problem: the status names the file.
  auto send = Start(EmailWindowKind::kSend);
  send->Edit(kFieldAttachment, dir_.File("nema.zip"));
  send->Press(kEmailSend);
  ASSERT_TRUE(
      WaitFor([&] { return StatusIs(*send, "Privitak nije poslan: " + dir_.File("nema.zip")); }));
}

#ifndef _WIN32  // the SMTP server (Python) and the certificates (openssl) are child processes
// The settings window's choice of STARTTLS and a private CA goes to verdan.env, and the send
// window then sends over STARTTLS with it; an unknown TLS value sends nothing.
TEST_F(EmailWindowTest, SecuredConnectionChosenInTheSettingsWindowIsUsedByTheSendWindow) {
  std::filesystem::create_directory(dir_.File("certs"));
  std::filesystem::create_directory(dir_.File("out"));
  std::string error;
  ASSERT_TRUE(verdan::testing::MakeTestCertificates(dir_.File("certs"), error)) << error;
  verdan::testing::SmtpServerProcess server(
      dir_.File("out"), {},
      {"--tls", "starttls", "--cert", dir_.File("certs/server.pem"), "--key",
       dir_.File("certs/server.key")});
  ASSERT_FALSE(server.port().empty());

  auto settings = Start(EmailWindowKind::kSettings);
  settings->Edit(kFieldPort, "25");
  settings->Edit(kFieldTls, "starttls");
  ASSERT_TRUE(WaitFor([&] { return settings->Snapshot().tls == TlsMode::kStartTls; }));
  EXPECT_EQ(settings->Snapshot().port, 587);  // the usual port of the kind replaced 25...
  settings->Edit(kFieldPort, server.port());  // ...and the test server's own replaces that
  settings->Edit(kFieldCaFile, dir_.File("certs/ca.pem"));
  settings->Edit(kFieldAttachment, dir_.File("a.zip"));
  settings->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  settings->RequestClose();
  ASSERT_TRUE(WaitFor([&] { return settings->Snapshot().closed; }));
  const std::string env = ReadFile(dir_.File("verdan.env"));
  EXPECT_NE(env.find("TLS=starttls\r\n"), std::string::npos) << env;
  EXPECT_NE(env.find("CAFile=" + dir_.File("certs/ca.pem") + "\r\n"), std::string::npos) << env;

  auto send = Start(EmailWindowKind::kSend);
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 2; }));
  // Both went through STARTTLS: the server read a second EHLO after it for each.
  const std::string commands = server.Commands();
  std::size_t n = 0;
  for (std::size_t at = commands.find("STARTTLS"); at != std::string::npos;
       at = commands.find("STARTTLS", at + 1))
    ++n;
  EXPECT_EQ(n, 2u) << commands;
  EXPECT_EQ(ReadFile(dir_.File("out/msg2.json")).find("\"tls\": false"), std::string::npos);

  platform::WriteProfileString("Email_Postavke", "TLS", "ssl", "verdan.env");
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*send, "Could not connect to email server."); }));
  EXPECT_EQ(Boxes(InvalidTlsText("ssl")), 1);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out/msg3.eml")));
}
#endif

#ifndef _WIN32  // the SMTP server (Python) and the certificates (openssl) are child processes
// With a sign-in by token the send window logs in with the access token its token command
// prints (OAUTHBEARER over STARTTLS); a token command that fails is shown and nothing is
// sent. The window does not try again by itself.
TEST_F(EmailWindowTest, SendWindowLogsInWithTheSignInToken) {
  std::filesystem::create_directory(dir_.File("certs"));
  std::filesystem::create_directory(dir_.File("out"));
  std::string error;
  ASSERT_TRUE(verdan::testing::MakeTestCertificates(dir_.File("certs"), error)) << error;
  WriteFile(dir_.File("token"), "at-okno");
  verdan::testing::SmtpServerProcess server(
      dir_.File("out"), {},
      {"--tls", "starttls", "--cert", dir_.File("certs/server.pem"), "--key",
       dir_.File("certs/server.key"), "--oauth", dir_.File("token")});
  ASSERT_FALSE(server.port().empty());
  ScriptedUi seedUi;
  app::Program seed(seedUi);
  ASSERT_TRUE(app::OpenTable(seed, seed.email));
  app::LoadEmailSettings(seed);
  SmtpSettings s;
  s.port = static_cast<std::uint16_t>(std::stoi(server.port()));
  std::string problem;
  ASSERT_TRUE(StoreSmtpSettings(seed, s, kSmtpPort, problem)) << problem;
  app::CloseTable(seed.email);
  auto env = [&](const std::string& command) {
    WriteFile(dir_.File("verdan.env"),
              "[Email_Postavke]\r\nTLS=starttls\r\nCAFile=" + dir_.File("certs/ca.pem") +
                  "\r\nTokenCommand=" + command + "\r\n");
  };
  env("/bin/cat '" + dir_.File("token") + "'");

  auto send = Start(EmailWindowKind::kSend);
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  EXPECT_EQ(ReadFile(dir_.File("out/auth.log")), "OAUTHBEARER backup@example.com accepted\n");

  env("/bin/false");
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*send, kEmailErrorStatus); }));
  EXPECT_EQ(Boxes("TokenCommand nije uspio (izlazni status 1)"), 1);
  EXPECT_EQ(ReadFile(dir_.File("out/auth.log")), "OAUTHBEARER backup@example.com accepted\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out/msg2.eml")));
}
#endif

#ifndef _WIN32  // the SMTP server that refuses the size is Python, a child process
// A message larger than the server takes is refused before it is sent; the send window then
// offers to send the attachment in parts: No leaves it refused, Yes sends the parts.
TEST_F(EmailWindowTest, SendWindowOffersSplittingWhenTheServerRefusesTheSize) {
  std::filesystem::create_directory(dir_.File("out"));
  verdan::testing::SmtpServerProcess server(dir_.File("out"), {}, {"--size", "150000"});
  ASSERT_FALSE(server.port().empty());
  ScriptedUi seedUi;
  app::Program seed(seedUi);
  ASSERT_TRUE(app::OpenTable(seed, seed.email));
  app::LoadEmailSettings(seed);
  SmtpSettings s;
  s.port = static_cast<std::uint16_t>(std::stoi(server.port()));
  std::string problem;
  ASSERT_TRUE(StoreSmtpSettings(seed, s, kSmtpPort, problem)) << problem;
  app::CloseTable(seed.email);

  auto send = Start(EmailWindowKind::kSend);
  ui_.QueueAnswer(platform::kButtonOk);  // the refusal
  ui_.QueueAnswer(platform::kButtonNo);  // the offer
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes(kEmailSplitQuestion) == 1; }));
  ASSERT_TRUE(WaitFor([&] { return StatusIs(*send, kEmailErrorStatus); }));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out/msg1.eml")));

  ui_.QueueAnswer(platform::kButtonOk);
  ui_.QueueAnswer(platform::kButtonYes);
  send->Press(kEmailSend);
  ASSERT_TRUE(WaitFor([&] { return Boxes(kEmailSplitQuestion) == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Boxes("E-mail Poslan uspješno") == 1; }));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("out/msg3.eml")));  // 300 000 bytes in three parts
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out/msg4.eml")));
  // The setting itself stays off.
  EXPECT_EQ(ReadFile(dir_.File("verdan.env")).find("Split=1"), std::string::npos);
}
#endif

#ifndef _WIN32  // the authorisation server (Python) and the certificates (openssl) are child
                // processes
// "Prijava" in the settings window signs in by the device grant against a local HTTPS
// authorisation server: the address and the code show while the window waits (and stays
// usable), then the refresh token is kept; the password kind signs out again.
TEST_F(EmailWindowTest, SettingsWindowSignsInByTokenShowingTheCodeWhileItWaits) {
  std::filesystem::create_directory(dir_.File("certs"));
  std::filesystem::create_directory(dir_.File("auth"));
  std::string error;
  ASSERT_TRUE(verdan::testing::MakeTestCertificates(dir_.File("certs"), error)) << error;
  verdan::testing::ChildProcess auth(
      {"/usr/bin/python3", std::string(VERDAN_SOURCE_DIR) + "/tests/cli/oauth_server.py",
       dir_.File("auth"), "--cert", dir_.File("certs/server.pem"), "--key",
       dir_.File("certs/server.key"), "--client-id", "verdan-test"});
  const std::string port = auth.ReadyFile(dir_.File("auth/port"));
  ASSERT_FALSE(port.empty());
  const std::string url = "https://127.0.0.1:" + port;
  WriteFile(dir_.File("verdan.env"), "[Email_Postavke]\r\nCAFile=" + dir_.File("certs/ca.pem") +
                                         "\r\nOAuthClientId=verdan-test\r\nOAuthDeviceUrl=" + url +
                                         "/device\r\nOAuthTokenUrl=" + url +
                                         "/token\r\nOAuthScope=smtp offline_access\r\n");
  auto w = Start(EmailWindowKind::kSettings);
  EXPECT_EQ(w->Snapshot().signIn, "");
  EXPECT_FALSE(w->Snapshot().tokenStored);
  w->Edit(kFieldSignIn, "drugo");
  w->Press(kEmailSignIn);
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().signInCode == "WDJB-MJHT"; }));
  EXPECT_EQ(w->Snapshot().signInAddress, url + "/verify");
  EXPECT_TRUE(w->Snapshot().signingIn);
  w->Edit(kFieldSubject, "Dok čeka");  // the window answers while the sign-in waits
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().subject == "Dok čeka"; }));
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().tokenStored; }, 30s));
  EXPECT_FALSE(w->Snapshot().signingIn);
  EXPECT_EQ(w->Snapshot().signInCode, "");
  EXPECT_EQ(w->Snapshot().status, "Prijava tokenom je spremljena.");
  EXPECT_NE(ReadFile(dir_.File("verdan.credentials")).find("oauth.refresh_token=rt-1\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("verdan.env")).find("OAuth=custom\r\n"), std::string::npos);

  w->Edit(kFieldSignIn, "zaporka");
  w->Press(kEmailSignIn);
  ASSERT_TRUE(WaitFor([&] { return !w->Snapshot().tokenStored; }));
  EXPECT_NE(ReadFile(dir_.File("verdan.credentials")).find("oauth.refresh_token=\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("verdan.env")).find("OAuth=\r\n"), std::string::npos);
}
#endif

TEST(AttachmentList, DialogAnswersBecomeListsOrAreRefused) {
  std::string problem;
  EXPECT_EQ(AttachmentListOf({"/d/a.zip"}, problem), "/d/a.zip");
  EXPECT_EQ(AttachmentListOf({"/d/a.zip", "/d/b.zip"}, problem), "/d|a.zip|b.zip");
  EXPECT_EQ(AttachmentListOf({"/d/a.zip", "/e/b.zip"}, problem), "\"/d/a.zip\", \"/e/b.zip\"");
  EXPECT_EQ(AttachmentListOf({"/d/a|b.zip"}, problem), "");
  EXPECT_NE(problem.find("a|b.zip"), std::string::npos);
  EXPECT_EQ(AttachmentListOf({"/" + std::string(1030, 'x')}, problem), "");
  EXPECT_NE(problem.find("1024"), std::string::npos);
}

}  // namespace
}  // namespace verdan::mail
