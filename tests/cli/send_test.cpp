// `verdan send` against a real SMTP server on loopback (Python's aiosmtpd, with and without
// AUTH LOGIN); the received message is read back with Python's email package.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace verdan {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;

constexpr char kPython[] = "/usr/bin/python3";

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The SMTP server as a child process, stopped when the object goes.
class SmtpServer {
 public:
  SmtpServer(const std::string& outdir, const std::vector<std::string>& credentials)
      : outdir_(outdir) {
    std::vector<std::string> argv = {kPython, std::string(VERDAN_SOURCE_DIR) + "/tests/cli/smtp_server.py",
                                      outdir};
    argv.insert(argv.end(), credentials.begin(), credentials.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !Exists(outdir + "/port"); ++i) std::this_thread::sleep_for(50ms);
    if (Exists(outdir + "/port")) port_ = ReadFile(outdir + "/port");
  }
  ~SmtpServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(50ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  const std::string& port() const { return port_; }

 private:
  std::string outdir_;
  pid_t pid_ = -1;
  std::string port_;
};

// Reads what the server stored and prints one "name=value" line per finding.
constexpr char kInspect[] = R"PY(
import datetime, email, email.utils, json, re, sys, time
out, attachment = sys.argv[1], sys.argv[2]
meta = json.load(open(out + '/msg1.json'))
msg = email.message_from_binary_file(open(out + '/msg1.eml', 'rb'))
print('to=' + ','.join(meta['to']))
print('from=' + meta['from'])
print('login=' + str(meta['login']))
print('type=' + msg.get_content_type())
parts = [p for p in msg.walk() if p.get_content_disposition() == 'attachment']
print('attachments=%d' % len(parts))
if parts:
    print('filename=' + parts[0].get_filename())
    print('same=%s' % (parts[0].get_payload(decode=True) == open(attachment, 'rb').read()))
texts = [p for p in msg.walk() if p.get_content_type() == 'text/plain']
if texts:
    print('text=' + texts[0].get_payload(decode=True).decode(texts[0].get_content_charset()).strip())
mid = msg['Message-ID']
print('mid=%s' % bool(re.fullmatch(r'<d\d{8}t\d{6}\.\d{1,2}c1r\d{1,7}\.00@\S+>', mid)))
d = email.utils.parsedate_to_datetime(msg['Date'])
local = datetime.datetime.now().astimezone().utcoffset()
print('date=%s' % (abs(d.timestamp() - time.time()) < 300 and d.utcoffset() == local))
print('xmailer=' + msg['X-Mailer'])
print('xquillon=' + msg['X-Quillon'])
print('bcc=%s' % ('skriveni' in open(out + '/msg1.eml', 'rb').read().decode('latin-1')))
)PY";

class SendCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(dir_.File("out").c_str(), 0755);
    ::mkdir(dir_.File("work").c_str(), 0755);
    std::mt19937 rng(7);
    std::string zip;
    for (int i = 0; i < 200000; ++i) zip += static_cast<char>(rng());
    WriteFile(dir_.File("work/backup.zip"), zip);
    WriteFile(dir_.File("inspect.py"), kInspect);
  }

  testing::ProcessResult Send(const std::string& port, std::vector<std::string> extra) {
    std::vector<std::string> argv = {VERDAN_BINARY, "send", "backup.zip", "--server",
                                     "127.0.0.1", "--port", port, "--from",
                                     "Backup <backup@example.com>", "--to",
                                     "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, dir_.File("work"), {}, 60);
  }

  // The findings of kInspect as "name=value" lines.
  std::string Inspect() {
    auto r = RunProcess({kPython, "inspect.py", dir_.File("out"), dir_.File("work/backup.zip")},
                        dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  TempDir dir_;
};

TEST_F(SendCommand, DeliversTheArchiveWithAuthLogin) {
  SmtpServer server(dir_.File("out"), {"korisnik", "tajna"});
  ASSERT_FALSE(server.port().empty());
  WriteFile(dir_.File("work/verdan.env"),
            "[Email_Postavke]\r\nBCC=skriveni@example.org\r\nOrganization=Tvrtka d.o.o.\r\n");
  auto r = Send(server.port(), {"--user", "korisnik", "--password", "tajna", "--text",
                                "Arhiva je u privitku, šaljem."});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("E-mail Poslan uspješno"), std::string::npos) << r.err;
  ASSERT_TRUE(Exists(dir_.File("out/msg1.eml")));
  EXPECT_FALSE(Exists(dir_.File("out/msg2.eml")));
  EXPECT_EQ(Inspect(),
            "to=ivo@example.org,ana@example.org,skriveni@example.org\n"
            "from=backup@example.com\n"
            "login=korisnik\n"
            "type=multipart/mixed\n"
            "attachments=1\n"
            "filename=backup.zip\n"
            "same=True\n"
            "text=Arhiva je u privitku, šaljem.\n"
            "mid=True\n"
            "date=True\n"
            "xmailer=Quillon Email 2.93\n"
            "xquillon=Quillon Email 2.93\n"
            "bcc=False\n");
}

TEST_F(SendCommand, DeliversToExactlyTheTwoRecipientsWithoutAuthentication) {
  SmtpServer server(dir_.File("out"), {});
  ASSERT_FALSE(server.port().empty());
  auto r = Send(server.port(), {"--user", "", "--password", ""});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string found = Inspect();
  EXPECT_NE(found.find("to=ivo@example.org,ana@example.org\n"), std::string::npos) << found;
  EXPECT_NE(found.find("login=None\n"), std::string::npos) << found;
  EXPECT_NE(found.find("same=True\n"), std::string::npos) << found;
}

TEST_F(SendCommand, WrongPasswordAndMissingFilesAreReportedAndFail) {
  SmtpServer server(dir_.File("out"), {"korisnik", "tajna"});
  ASSERT_FALSE(server.port().empty());
  auto r = Send(server.port(), {"--user", "korisnik", "--password", "kriva"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Fatal Error. Email (SMTP) server sent error = 535"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Nastala je greška prilikom slanja !!!"), std::string::npos);
  EXPECT_EQ(r.err.find("E-mail Poslan uspješno"), std::string::npos);

  auto missing = RunProcess({VERDAN_BINARY, "send", "nema.zip", "--server", "127.0.0.1",
                             "--port", server.port()},
                            dir_.File("work"), {}, 60);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Error opening attached file (nema.zip)"), std::string::npos)
      << missing.err;
  EXPECT_FALSE(Exists(dir_.File("out/msg1.eml")));
}

TEST_F(SendCommand, RefusedConnectionAndBadOptions) {
  // Nothing listens on port 1 of the loopback address.
  auto r = Send("1", {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Could not open a connection to the Email (SMTP) Server"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(RunProcess({VERDAN_BINARY, "send", "--port", "70000"}, dir_.File("work")).status, 2);
  EXPECT_EQ(RunProcess({VERDAN_BINARY, "send", "--nepoznato"}, dir_.File("work")).status, 2);
  EXPECT_EQ(RunProcess({VERDAN_BINARY, "send", "a\"b.zip"}, dir_.File("work")).status, 2);
}

// The mail profile stored by `verdan settings` (the password read from standard input) is
// what a later `verdan send` without options uses; without a stored user no AUTH is sent.
TEST_F(SendCommand, TheSavedProfileIsUsedWhenOptionsAreAbsent) {
  const std::string work = dir_.File("work");
  auto settings = [&](const std::string& port, const std::string& passwordLine,
                      std::vector<std::string> extra) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "printf '" + passwordLine + "' | \"$0\" \"$@\"",
                                     VERDAN_BINARY, "settings", "--server", "127.0.0.1", "--port",
                                     port, "--from", "Backup <backup@example.com>", "--to",
                                     "ana@example.org", "--subject", "Noćna arhiva"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, work);
  };
  {
    SmtpServer open(dir_.File("out"), {});
    ASSERT_FALSE(open.port().empty());
    auto set = settings(open.port(), "", {});
    EXPECT_NE(set.out.find("USER=\nPASSWORD=\n"), std::string::npos) << set.out;
    auto r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, work, {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string meta = ReadFile(dir_.File("out/msg1.json"));
    EXPECT_NE(meta.find("\"to\": [\"ana@example.org\"]"), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"login\": null"), std::string::npos) << meta;
  }
  ::mkdir(dir_.File("out2").c_str(), 0755);
  SmtpServer guarded(dir_.File("out2"), {"korisnik", "tajna"});
  ASSERT_FALSE(guarded.port().empty());
  auto set = settings(guarded.port(), "tajna\\n", {"--user", "korisnik", "--password-stdin"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.out.find("USER=korisnik\nPASSWORD=********\n"), std::string::npos) << set.out;
  EXPECT_EQ(set.out.find("tajna"), std::string::npos);
  auto r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, work, {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFile(dir_.File("out2/msg1.json")).find("\"login\": \"korisnik\""), std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("out2/msg1.eml")).find("Subject: "), std::string::npos);
}

}  // namespace
}  // namespace verdan
