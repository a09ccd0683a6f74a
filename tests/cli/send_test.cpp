// `verdan send` against a real SMTP server on loopback (Python's aiosmtpd: plain, with AUTH
// LOGIN or PLAIN, with STARTTLS and with TLS from the start using certificates made at test
// time, with a size limit); the received messages are read back with Python's email package,
// and the server's log of commands shows what reached it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/smtp_server.h"
#include "support/temp_dir.h"
#include "support/test_peers.h"

namespace verdan {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;

constexpr char kPython[] = "/usr/bin/python3";

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

void MakeDir(const std::string& path) { std::filesystem::create_directory(path); }

using SmtpServer = testing::SmtpServerProcess;

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
    MakeDir(dir_.File("out"));
    MakeDir(dir_.File("work"));
    std::mt19937 rng(7);
    std::string zip;
    for (int i = 0; i < 200000; ++i) zip += static_cast<char>(rng());
    WriteFile(dir_.File("work/backup.zip"), zip);
    WriteFile(dir_.File("inspect.py"), kInspect);
  }

  testing::ProcessResult Send(const std::string& port, std::vector<std::string> extra) {
    std::vector<std::string> argv = {VERDAN_BINARY,
                                     "send",
                                     "backup.zip",
                                     "--server",
                                     "127.0.0.1",
                                     "--port",
                                     port,
                                     "--from",
                                     "Backup <backup@example.com>",
                                     "--to",
                                     "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, dir_.File("work"), {}, 60);
  }

  // The findings of kInspect as "name=value" lines.
  std::string Inspect(const std::string& out = "out") {
    auto r = RunProcess({kPython, "inspect.py", dir_.File(out), dir_.File("work/backup.zip")},
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
  // The server offers no TLS: the password may go in clear only because that is chosen.
  auto r = Send(server.port(), {"--user", "korisnik", "--password", "tajna", "--tls", "cleartext",
                                "--text", "Arhiva je u privitku, šaljem."});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.Commands().rfind("EHLO backup-client.example.net\nAUTH LOGIN\n", 0), 0u)
      << server.Commands();
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

// The round a user makes with the program: a backup, verified, restored over changed working
// files (the program's own tables among them), then mailed; the message carries the archive
// byte for byte under its own name.
TEST_F(SendCommand, ABackupVerifiedRestoredAndMailedArrivesWhole) {
  const std::string work = dir_.File("podaci"), dest = dir_.File("arhive");
  std::filesystem::create_directories(work);
  std::filesystem::create_directories(dest);
  WriteFile(work + "/KUPCI.TPS", std::string(40000, 'k') + "kraj");
  WriteFile(work + "/racuni.tps", "RACUN 1;KUPAC d.o.o.;Zagreb\n");
  testing::Verdan(work, {"settings", "--source", work, "--dest", dest + "/"});
  auto backup = testing::Verdan(work, {"backup", "dest"});
  ASSERT_EQ(backup.status, 0) << backup.err;
  const std::string archive = backup.out.substr(0, backup.out.size() - 1);
  auto verify = testing::Verdan(work, {"verify", archive});
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find("KUPCI.TPS"), std::string::npos) << verify.out;

  const std::string kupci = ReadFile(work + "/KUPCI.TPS");
  WriteFile(work + "/KUPCI.TPS", "izmijenjeno");
  auto restore = testing::Verdan(work, {"restore", archive, "--yes"});
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(ReadFile(work + "/KUPCI.TPS"), kupci);

  SmtpServer server(dir_.File("out"), {"korisnik", "tajna"});
  ASSERT_FALSE(server.port().empty());
  auto r = RunProcess({VERDAN_BINARY, "send", archive, "--server", "127.0.0.1", "--port",
                       server.port(), "--from", "backup@example.com", "--to", "ana@example.org",
                       "--user", "korisnik", "--password", "tajna", "--tls", "cleartext"},
                      work, {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  auto arrived = RunProcess({kPython, "-c",
                             "import email,sys\n"
                             "m=email.message_from_binary_file(open(sys.argv[1],'rb'))\n"
                             "p=[p for p in m.walk() if p.get_filename()]\n"
                             "print(len(p),p[0].get_filename(),"
                             "p[0].get_payload(decode=True)==open(sys.argv[2],'rb').read())\n",
                             dir_.File("out/msg1.eml"), archive},
                            dir_.path());
  EXPECT_EQ(arrived.out, "1 " + std::filesystem::path(archive).filename().string() + " True\n")
      << arrived.err;
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

// An encrypted archive is said to be one in the message text, below what was typed; the
// archive password (stored for the office's runs) is never in the message. A ZIP archive
// that is not encrypted gets no such line.
TEST_F(SendCommand, AnEncryptedArchiveIsSaidToBeOneAndItsPasswordIsNotSent) {
  const std::string work = dir_.File("work");
  auto stored = RunProcess({VERDAN_BINARY, "settings", "--archive-password-stdin"}, work, {}, 60,
                           "Zaporka-Ureda 9\n");
  ASSERT_NE(stored.out.find("ZAPORKAARHIVE=postavljena"), std::string::npos) << stored.out;
  WriteFile(dir_.File("kupci.tps"), "kupci");
  std::filesystem::remove(dir_.File("work/backup.zip"));
  ASSERT_EQ(RunProcess({"/usr/bin/7z", "a", "-bd", "-tzip", "-mem=AES256", "-pZaporka-Ureda 9",
                        dir_.File("work/backup.zip"), "kupci.tps"},
                       dir_.path())
                .status,
            0);
  {
    SmtpServer server(dir_.File("out"), {});
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), {"--user", "", "--text", "Arhiva je u privitku."});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string found = Inspect();
    EXPECT_NE(found.find("same=True\n"), std::string::npos) << found;
    EXPECT_NE(found.find("text=Arhiva je u privitku.\n\nArhiva je šifrirana (AES-256); za "
                         "raspakiranje treba zaporka arhive koju je postavio ured.\n"),
              std::string::npos)
        << found;
    EXPECT_EQ(ReadFile(dir_.File("out/msg1.eml")).find("Zaporka-Ureda"), std::string::npos);
  }

  // The same archive unencrypted: the text is what was typed, and nothing more.
  std::filesystem::create_directories(dir_.File("out2"));
  std::filesystem::remove(dir_.File("work/backup.zip"));
  ASSERT_EQ(
      RunProcess({"/usr/bin/zip", "-q", dir_.File("work/backup.zip"), "kupci.tps"}, dir_.path())
          .status,
      0);
  SmtpServer plain(dir_.File("out2"), {});
  ASSERT_FALSE(plain.port().empty());
  auto r = Send(plain.port(), {"--user", "", "--text", "Arhiva je u privitku."});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Inspect("out2").find("text=Arhiva je u privitku.\nmid="), std::string::npos)
      << Inspect("out2");
}

TEST_F(SendCommand, WrongPasswordAndMissingFilesAreReportedAndFail) {
  SmtpServer server(dir_.File("out"), {"korisnik", "tajna"});
  ASSERT_FALSE(server.port().empty());
  auto r = Send(server.port(), {"--user", "korisnik", "--password", "kriva", "--tls", "cleartext"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Fatal Error. Email (SMTP) server sent error = 535"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("(Poslužitelj nije prihvatio korisničko ime ili lozinku."),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Nastala je greška prilikom slanja !!!"), std::string::npos);
  EXPECT_EQ(r.err.find("E-mail Poslan uspješno"), std::string::npos);

  auto missing = RunProcess(
      {VERDAN_BINARY, "send", "nema.zip", "--server", "127.0.0.1", "--port", server.port()},
      dir_.File("work"), {}, 60);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Error opening attached file (nema.zip)"), std::string::npos)
      << missing.err;
  // The status line names the file; nothing suggests a connection problem.
  EXPECT_NE(missing.err.find("Privitak nije poslan: nema.zip"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("Could not connect"), std::string::npos) << missing.err;
  EXPECT_FALSE(Exists(dir_.File("out/msg1.eml")));
}

// A refused connection may pass: the send tries again after each of the pauses given, logs
// every try, and then gives up; a refused password is final and ends at the first try.
TEST_F(SendCommand, RefusedConnectionIsTriedAgainABoundedNumberOfTimes) {
  // Nothing listens on port 1 of the loopback address.
  auto r = Send("1", {"--retry-pauses", "1,1"});
  EXPECT_EQ(r.status, 1);
  std::size_t tries = 0;
  for (std::size_t at = 0;
       (at = r.err.find("Could not open a connection to the Email (SMTP) Server", at)) !=
       std::string::npos;
       ++at)
    ++tries;
  EXPECT_EQ(tries, 3u) << r.err;
  EXPECT_NE(r.err.find("pokušaj 1 nije uspio (privremena greška); novi pokušaj za 1 s"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("pokušaj 2 nije uspio"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("pokušaj 3 nije uspio"), std::string::npos) << r.err;
  auto log = RunProcess({VERDAN_BINARY, "log"}, dir_.File("work"));
  EXPECT_NE(log.out.find("novi pokušaj za 1 s"), std::string::npos) << log.out;

  SmtpServer server(dir_.File("out"), {"korisnik", "tajna"});
  ASSERT_FALSE(server.port().empty());
  r = Send(server.port(), {"--user", "korisnik", "--password", "kriva", "--retry-pauses", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("novi pokušaj"), std::string::npos) << r.err;
  EXPECT_EQ(Send("1", {"--retry-pauses", "1,x"}).status, 2);
}

TEST_F(SendCommand, RefusedConnectionAndBadOptions) {
  auto r = Send("1", {"--retry-pauses", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Could not open a connection to the Email (SMTP) Server"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("novi pokušaj"), std::string::npos) << r.err;
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
    std::vector<std::string> argv = {VERDAN_BINARY, "settings",
                                     "--server",    "127.0.0.1",
                                     "--port",      port,
                                     "--from",      "Backup <backup@example.com>",
                                     "--to",        "ana@example.org",
                                     "--subject",   "Noćna arhiva"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, work, {}, 60, passwordLine);
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
  MakeDir(dir_.File("out2"));
  SmtpServer guarded(dir_.File("out2"), {"korisnik", "tajna"});
  ASSERT_FALSE(guarded.port().empty());
  auto set = settings(guarded.port(), "tajna\n",
                      {"--user", "korisnik", "--password-stdin", "--tls", "cleartext"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.out.find("\nTLS=cleartext\n"), std::string::npos) << set.out;
  EXPECT_NE(set.out.find("USER=korisnik\nPASSWORD=********\n"), std::string::npos) << set.out;
  EXPECT_EQ(set.out.find("tajna"), std::string::npos);
  auto r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, work, {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFile(dir_.File("out2/msg1.json")).find("\"login\": \"korisnik\""),
            std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("out2/msg1.eml")).find("Subject: "), std::string::npos);
  // The password was kept in the credentials file, not in the table.
  EXPECT_EQ(ReadFile(dir_.File("work/PEMAIL.TPS")).find("tajna"), std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("work/verdan.credentials")).find("\nsmtp.password=tajna\n"),
            std::string::npos);

#ifndef _WIN32  // file modes are POSIX's
  // A credentials file others could read is not trusted: nothing is sent, and it says why.
  ::chmod(dir_.File("work/verdan.credentials").c_str(), 0644);
  const std::string before = guarded.Commands();
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, work, {}, 60);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("verdan send: Datoteka s tajnim podacima verdan.credentials mogu čitati ili "
                       "mijenjati i drugi korisnici (prava 0644)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("E-mail nije poslan."), std::string::npos) << r.err;
  EXPECT_EQ(guarded.Commands(), before);
  EXPECT_FALSE(Exists(dir_.File("out2/msg2.eml")));
#endif
}

// The server's record of message N: whether it came over TLS, the login mechanism and the
// parameters of MAIL FROM.
constexpr char kMeta[] = R"PY(
import json, sys
meta = json.load(open(sys.argv[1] + '/msg%s.json' % sys.argv[2]))
print('tls=%s mechanism=%s login=%s' % (meta['tls'], meta['mechanism'], meta['login']))
)PY";

// Reassembles the parts of a split attachment and checks each message.
constexpr char kReassemble[] = R"PY(
import email, email.policy, json, os, re, sys
out, original, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
n = 1
pieces, subjects, sizes, params, instructions = {}, [], [], [], []
while os.path.exists(out + '/msg%d.eml' % n):
    raw = open(out + '/msg%d.eml' % n, 'rb').read()
    meta = json.load(open(out + '/msg%d.json' % n))
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    sizes.append(len(raw) <= limit)
    params.append(any(re.fullmatch(r'SIZE=\d+', o) for o in meta['mail_options']))
    subjects.append(str(msg['Subject']))
    for part in msg.walk():
        if part.get_filename():
            pieces[part.get_filename()] = part.get_payload(decode=True)
        elif part.get_content_type() == 'text/plain':
            t = part.get_content()
            instructions.append(t)
    n += 1
count = n - 1
word = 'dio' if count % 10 == 1 and count % 100 != 11 else 'dijela' if count % 10 in (2, 3, 4) and count % 100 not in (12, 13, 14) else 'dijelova'
instructions = [('copy /b' in t and 'cat ' in t and 'Ovo je dio %d od' % (i + 1) in t and
                 'poslan u %d %s, svaki' % (count, word) in t) for i, t in enumerate(instructions)]
print('parts=%d' % count)
print('names=' + ','.join(sorted(pieces)))
print('same=%s' % (b''.join(pieces[k] for k in sorted(pieces)) == open(original, 'rb').read()))
print('under_limit=%s' % all(sizes))
print('size_param=%s' % all(params))
print('subjects=%s' % all(s == 'Arhiva (dio %d/%d)' % (i + 1, count) for i, s in enumerate(subjects)))
print('instructions=%s' % all(instructions))
)PY";

class SendCommandTls : public SendCommand {
 protected:
  void SetUp() override {
    SendCommand::SetUp();
    MakeDir(dir_.File("certs"));
    std::string error;
    ASSERT_TRUE(testing::MakeTestCertificates(dir_.File("certs"), error)) << error;
    WriteFile(dir_.File("meta.py"), kMeta);
  }
  std::vector<std::string> TlsServer(const std::string& mode, const std::string& cert) {
    return {"--tls",  mode,
            "--cert", dir_.File("certs/" + cert + ".pem"),
            "--key",  dir_.File("certs/" + cert + ".key")};
  }
  std::string Out(const std::string& name) {
    MakeDir(dir_.File(name));
    return dir_.File(name);
  }
  std::string Meta(const std::string& out, int n = 1) {
    auto r = RunProcess({kPython, "meta.py", dir_.File(out), std::to_string(n)}, dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
};

TEST_F(SendCommandTls, StartTlsAndImplicitTlsDeliverWithTheCertificateVerified) {
  const std::string ca = dir_.File("certs/ca.pem");
  {
    // STARTTLS from the command line: AUTH only after the second EHLO, over TLS.
    SmtpServer server(Out("starttls"), {"korisnik", "tajna"}, TlsServer("starttls", "server"));
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), {"--tls", "starttls", "--cafile", ca, "--user", "korisnik",
                                  "--password", "tajna"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("E-mail Poslan uspješno"), std::string::npos) << r.err;
    std::string found = Inspect("starttls");
    EXPECT_NE(found.find("same=True\n"), std::string::npos) << found;
    EXPECT_EQ(Meta("starttls"), "tls=True mechanism=LOGIN login=korisnik\n");
    EXPECT_EQ(server.Commands().rfind("EHLO backup-client.example.net\nSTARTTLS\n"
                                      "EHLO backup-client.example.net\nAUTH LOGIN\n"
                                      "MAIL FROM: <backup@example.com> SIZE=",
                                      0),
              0u)
        << server.Commands();
  }
  {
    // TLS from the first byte, chosen in verdan.env.
    WriteFile(dir_.File("work/verdan.env"),
              "[Email_Postavke]\r\nTLS=implicit\r\nCAFile=" + ca + "\r\n");
    SmtpServer server(Out("implicit"), {"korisnik", "tajna"}, TlsServer("implicit", "server"));
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), {"--user", "korisnik", "--password", "tajna"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string found = Inspect("implicit");
    EXPECT_NE(found.find("same=True\n"), std::string::npos) << found;
    EXPECT_EQ(Meta("implicit"), "tls=True mechanism=LOGIN login=korisnik\n");
    EXPECT_EQ(server.Commands().rfind("EHLO backup-client.example.net\nAUTH LOGIN\nMAIL FROM:", 0),
              0u)
        << server.Commands();
  }
}

// A certificate for another host or from a CA that is not trusted ends the connection
// before the credentials (or anything else) are sent; so does a server that does not offer
// the STARTTLS that was asked for. A login in clear to a server that insists on TLS is
// refused with an explanation.
TEST_F(SendCommandTls, RefusedCertificatesAndMissingStartTlsStopBeforeTheCredentials) {
  const std::string ca = dir_.File("certs/ca.pem");
  const std::vector<std::string> login = {"--cafile", ca,           "--user",
                                          "korisnik", "--password", "tajna"};
  int n = 0;
  for (const char* mode : {"starttls", "implicit"}) {
    for (const char* cert : {"wronghost", "rogue"}) {
      const std::string out = "refused" + std::to_string(++n);
      SmtpServer server(Out(out), {"korisnik", "tajna"}, TlsServer(mode, cert));
      ASSERT_FALSE(server.port().empty());
      std::vector<std::string> extra = {"--tls", mode};
      extra.insert(extra.end(), login.begin(), login.end());
      auto r = Send(server.port(), extra);
      EXPECT_EQ(r.status, 1) << mode << " " << cert;
      EXPECT_NE(r.err.find("Certifikat poslužitelja nije prihvaćen"), std::string::npos)
          << mode << " " << cert << ": " << r.err;
      EXPECT_EQ(server.Commands(),
                std::string(mode) == "starttls" ? "EHLO backup-client.example.net\nSTARTTLS\n" : "")
          << mode << " " << cert;
      EXPECT_FALSE(Exists(dir_.File(out + "/msg1.eml")));
    }
  }

  // STARTTLS asked of a server that does not offer it: no downgrade.
  SmtpServer plain(Out("plain"), {"korisnik", "tajna"});
  std::vector<std::string> extra = {"--tls", "starttls"};
  extra.insert(extra.end(), login.begin(), login.end());
  auto r = Send(plain.port(), extra);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Poslužitelj ne nudi STARTTLS"), std::string::npos) << r.err;
  EXPECT_EQ(plain.Commands(), "EHLO backup-client.example.net\nQUIT\n");

  // Clear text against a server that insists on TLS: the refusal comes with an explanation.
  SmtpServer strict(Out("strict"), {"korisnik", "tajna"}, TlsServer("starttls", "server"));
  r = Send(strict.port(), {"--user", "korisnik", "--password", "tajna", "--tls", "cleartext"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("530"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("uključite TLS (starttls ili implicit)"), std::string::npos) << r.err;
}

// With the security left at its default, a password goes out only under the STARTTLS the
// server offers (its certificate verified); a server without STARTTLS gets no AUTH and no
// message. Clear text needs the explicit choice, which the settings keep and show.
TEST_F(SendCommandTls, DefaultSecurityNeverSendsThePasswordInClear) {
  const std::vector<std::string> login = {
      "--cafile", dir_.File("certs/ca.pem"), "--user", "korisnik", "--password", "tajna"};
  {
    SmtpServer server(Out("offered"), {"korisnik", "tajna"}, TlsServer("starttls", "server"));
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), login);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Meta("offered"), "tls=True mechanism=LOGIN login=korisnik\n");
    EXPECT_EQ(server.Commands().rfind("EHLO backup-client.example.net\nSTARTTLS\n"
                                      "EHLO backup-client.example.net\nAUTH LOGIN\nMAIL FROM:",
                                      0),
              0u)
        << server.Commands();
  }
  {
    SmtpServer server(Out("plain"), {"korisnik", "tajna"});
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), login);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Poslužitelj ne nudi STARTTLS, a zaporka se ne šalje nešifrirano; ništa "
                         "nije poslano."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("E-mail Poslan uspješno"), std::string::npos) << r.err;
    EXPECT_EQ(server.Commands(), "EHLO backup-client.example.net\nQUIT\n");
    EXPECT_FALSE(Exists(dir_.File("plain/msg1.eml")));
  }
  {
    // The explicit choice, stored by `settings` and shown by it.
    auto set = RunProcess({VERDAN_BINARY, "settings", "--tls", "cleartext"}, dir_.File("work"));
    EXPECT_NE(set.out.find("\nTLS=cleartext\n"), std::string::npos) << set.out;
    SmtpServer server(Out("clear"), {"korisnik", "tajna"});
    ASSERT_FALSE(server.port().empty());
    auto r = Send(server.port(), login);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Meta("clear"), "tls=False mechanism=LOGIN login=korisnik\n");
    EXPECT_EQ(server.Commands().rfind("EHLO backup-client.example.net\nAUTH LOGIN\nMAIL FROM:", 0),
              0u)
        << server.Commands();
  }
}

TEST_F(SendCommandTls, AuthPlainWhenOnlyItIsOfferedAndLongPasswordsOnOneLine) {
  SmtpServer server(Out("plainauth"), {"korisnik", "tajna"},
                    {"--tls", "starttls", "--cert", dir_.File("certs/server.pem"), "--key",
                     dir_.File("certs/server.key"), "--only-plain"});
  auto r = Send(server.port(), {"--tls", "starttls", "--cafile", dir_.File("certs/ca.pem"),
                                "--user", "korisnik", "--password", "tajna"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Meta("plainauth"), "tls=True mechanism=PLAIN login=korisnik\n");
  EXPECT_NE(server.Commands().find("\nAUTH PLAIN "), std::string::npos) << server.Commands();

  // A password longer than one base64 line (57 bytes) still goes out as one line.
  const std::string longPassword(90, 'p');
  SmtpServer login(Out("longpassword"), {"korisnik", longPassword});
  r = Send(login.port(), {"--user", "korisnik", "--password", longPassword, "--tls", "cleartext"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Meta("longpassword"), "tls=False mechanism=LOGIN login=korisnik\n");
}

// A message larger than the server's SIZE is refused before MAIL FROM; with splitting on,
// the archive goes out in numbered parts that join back into the original.
// Sign-in by OAuth 2.0 against a local authorisation server over HTTPS (device grant with
// its polling states, refresh grant with rotation) and an SMTP server that takes XOAUTH2 and
// OAUTHBEARER only with the access token it issued last; both trust the test CA only.
class SendCommandOAuth : public SendCommandTls {
 protected:
  void SetUp() override {
    SendCommandTls::SetUp();
    MakeDir(dir_.File("auth"));
    WriteFile(dir_.File("auth/access_token"), "none-yet");
    // The first settings run in a directory makes the settings record (and says so).
    RunProcess({VERDAN_BINARY, "settings"}, dir_.File("work"));
  }
  std::unique_ptr<testing::ChildProcess> StartAuthServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {kPython,
                                     std::string(VERDAN_SOURCE_DIR) + "/tests/cli/oauth_server.py",
                                     dir_.File("auth"),
                                     "--cert",
                                     dir_.File("certs/server.pem"),
                                     "--key",
                                     dir_.File("certs/server.key"),
                                     "--client-id",
                                     "verdan-test"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<testing::ChildProcess>(argv);
    authPort_ = child->ReadyFile(dir_.File("auth/port"));
    return child;
  }
  std::vector<std::string> OAuthSmtp(const std::string& mechanisms) {
    auto o = TlsServer("starttls", "server");
    o.insert(o.end(),
             {"--oauth", dir_.File("auth/access_token"), "--oauth-mechanisms", mechanisms});
    return o;
  }
  std::string Url(const std::string& path) { return "https://127.0.0.1:" + authPort_ + path; }
  testing::ProcessResult Settings(const std::string& smtpPort, std::vector<std::string> extra) {
    std::vector<std::string> argv = {VERDAN_BINARY, "settings",
                                     "--server",    "127.0.0.1",
                                     "--port",      smtpPort,
                                     "--tls",       "starttls",
                                     "--cafile",    dir_.File("certs/ca.pem"),
                                     "--from",      "Backup <backup@example.com>",
                                     "--to",        "ivo@example.org"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, dir_.File("work"), {"VERDAN_OAUTH_CLIENT_SECRET=tajna-aplikacije"}, 60);
  }
  std::string Secrets() { return ReadFile(dir_.File("work/verdan.credentials")); }
  std::string Grants() { return ReadFile(dir_.File("auth/grants.log")); }
  std::string authPort_;
};

TEST_F(SendCommandOAuth, DeviceSignInThenSendsWithTheRotatedRefreshTokenOverBothMechanisms) {
  auto auth = StartAuthServer({"--client-secret", "tajna-aplikacije"});
  ASSERT_FALSE(authPort_.empty());
  SmtpServer bearer(Out("bearer"), {}, OAuthSmtp("XOAUTH2,OAUTHBEARER"));
  ASSERT_FALSE(bearer.port().empty());
  auto r = Settings(bearer.port(),
                    {"--oauth", "custom", "--oauth-device-url", Url("/device"), "--oauth-token-url",
                     Url("/token"), "--oauth-client-id", "verdan-test", "--oauth-scope",
                     "smtp offline_access", "--user", "backup@example.com"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Za prijavu otvorite " + Url("/verify") + " i upišite kod WDJB-MJHT\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("OAUTH=custom\nTOKEN=spremljen\n"), std::string::npos) << r.out;
  // Pending, then slow down (the client waits 5 s longer from then on), then the grant.
  EXPECT_EQ(Grants(),
            "device scope=smtp offline_access\ndevice_code authorization_pending\n"
            "device_code slow_down\ndevice_code granted\n");
  EXPECT_FALSE(Exists(dir_.File("auth/too_early")));
  EXPECT_NE(Secrets().find("oauth.refresh_token=rt-1\n"), std::string::npos);
  EXPECT_NE(Secrets().find("oauth.client_secret=tajna-aplikacije\n"), std::string::npos);
#ifndef _WIN32  // owner-only file modes are POSIX's
  struct stat st {};
  ASSERT_EQ(::stat(dir_.File("work/verdan.credentials").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  const std::string env = ReadFile(dir_.File("work/verdan.env"));
  EXPECT_NE(env.find("OAuthClientId=verdan-test"), std::string::npos) << env;
  EXPECT_EQ(env.find("rt-1"), std::string::npos) << env;

  // Each send trades the refresh token for a new access token; the server rotates it.
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, dir_.File("work"), {}, 60);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_.File("bearer/auth.log")), "OAUTHBEARER backup@example.com accepted\n");
  EXPECT_NE(Inspect("bearer").find("same=True\n"), std::string::npos);
  EXPECT_NE(Secrets().find("oauth.refresh_token=rt-2\n"), std::string::npos) << Secrets();

  SmtpServer xoauth(Out("xoauth"), {}, OAuthSmtp("XOAUTH2"));
  ASSERT_FALSE(xoauth.port().empty());
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip", "--port", xoauth.port()}, dir_.File("work"),
                 {}, 60);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_.File("xoauth/auth.log")), "XOAUTH2 backup@example.com accepted\n");
  EXPECT_EQ(Meta("xoauth"), "tls=True mechanism=XOAUTH2 login=backup@example.com\n");
  EXPECT_NE(Secrets().find("oauth.refresh_token=rt-3\n"), std::string::npos) << Secrets();
  EXPECT_EQ(Grants().substr(Grants().find("granted\n") + 8),
            "refresh_token granted\nrefresh_token granted\n");
}

// A revoked refresh token, a refused device sign-in and a wrong client id end at once with
// the way out; nothing is retried, nothing reaches the SMTP server.
TEST_F(SendCommandOAuth, RefusedGrantsEndAtOnceWithTheSignInHint) {
  auto auth = StartAuthServer({"--deny"});
  ASSERT_FALSE(authPort_.empty());
  SmtpServer server(Out("smtp"), {}, OAuthSmtp("XOAUTH2,OAUTHBEARER"));
  ASSERT_FALSE(server.port().empty());
  auto r = Settings(server.port(), {"--oauth", "custom", "--oauth-device-url", Url("/device"),
                                    "--oauth-token-url", Url("/token"), "--oauth-client-id",
                                    "verdan-test", "--oauth-scope", "smtp offline_access"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "Prijava je odbijena (access_denied); ponovite prijavu: verdan settings --oauth custom"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("OAUTH=\nTOKEN=nema\n"), std::string::npos) << r.out;
  EXPECT_EQ(Settings(server.port(), {"--oauth", "yahoo"}).status, 2);
  EXPECT_EQ(
      Settings(server.port(), {"--oauth", "custom", "--oauth-token-url", "http://127.0.0.1/t"})
          .status,
      2);
  EXPECT_EQ(Settings(server.port(), {"--oauth-client-id", "x"}).status, 2);

  auto signedIn = [&](const std::string& clientId) {
    WriteFile(dir_.File("work/verdan.env"),
              "[Email_Postavke]\r\nTLS=starttls\r\nCAFile=" + dir_.File("certs/ca.pem") +
                  "\r\nOAuth=custom\r\nOAuthTokenUrl=" + Url("/token") +
                  "\r\nOAuthClientId=" + clientId + "\r\n");
  };
  // The program makes its credentials file (for its owner alone, on either system); a revoked
  // sign-in is then written into it.
  RunProcess({VERDAN_BINARY, "settings", "--password-stdin"}, dir_.File("work"), {}, 60, "x\n");
  ASSERT_TRUE(Exists(dir_.File("work/verdan.credentials")));
  signedIn("verdan-test");
  WriteFile(dir_.File("work/verdan.credentials"), "oauth.refresh_token=rt-opozvan\n");
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip", "--retry-pauses", "1,1"}, dir_.File("work"),
                 {}, 60);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "Spremljena prijava više ne vrijedi (opozvana ili istekla; invalid_grant: AADSTS70000: "
          "token revoked); ponovite prijavu: verdan settings --oauth custom"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("novi pokušaj"), std::string::npos) << r.err;
  EXPECT_EQ(Grants().substr(Grants().find("access_denied\n") + 14),
            "refresh_token invalid_grant\n");
  EXPECT_EQ(server.Commands(), "");

  signedIn("tudji");
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip"}, dir_.File("work"), {}, 60);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ne prihvaća aplikaciju (client id tudji; invalid_client: Unknown client)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("novi pokušaj"), std::string::npos) << r.err;

  // A token endpoint that does not answer may come back: a bounded number of tries.
  authPort_ = "1";
  signedIn("verdan-test");
  r = RunProcess({VERDAN_BINARY, "send", "backup.zip", "--retry-pauses", "1"}, dir_.File("work"),
                 {}, 60);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Poslužitelj za prijavu (https://127.0.0.1:1/token) nije odgovorio"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("pokušaj 1 nije uspio (privremena greška); novi pokušaj za 1 s"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("pokušaj 2 nije uspio"), std::string::npos) << r.err;
  EXPECT_EQ(server.Commands(), "");

  // A provider's preset brings its SMTP server and STARTTLS; without a client id the sign-in
  // stops before asking anyone.
  r = RunProcess({VERDAN_BINARY, "settings", "--oauth", "google"}, dir_.File("work"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "Prijava tokenom nije potpuno postavljena: nedostaje client id (--oauth-client-id)"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("SERVER=smtp.gmail.com\nPORT=587\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("TLS=starttls\n"), std::string::npos) << r.out;
}

#ifndef _WIN32  // the token commands are Linux programs, whose output the emulator does not pipe
// A token command's first line is the access token. A token the server refuses gets the
// mechanism's answer to the error challenge (^A for OAUTHBEARER, empty for XOAUTH2) and
// the refusal is explained; over a connection in clear no token is sent at all.
#ifndef _WIN32  // the HTTPS client is a module of its own where libcurl is a shared library
// A program whose HTTPS module is missing says so and that it must be installed again; the
// sign-in request is never made, so nothing reaches the token endpoint.
TEST_F(SendCommandOAuth, WithoutItsHttpsModuleTheSignInSaysSoAndMakesNoRequest) {
  auto auth = StartAuthServer();
  ASSERT_FALSE(authPort_.empty());
  const std::string alone = dir_.File("alone/verdan");
  std::filesystem::create_directories(dir_.File("alone"));
  std::filesystem::copy_file(VERDAN_BINARY, alone);
  const std::vector<std::string> signIn = {alone,
                                           "settings",
                                           "--oauth",
                                           "custom",
                                           "--oauth-device-url",
                                           Url("/device"),
                                           "--oauth-token-url",
                                           Url("/token"),
                                           "--oauth-client-id",
                                           "verdan-test",
                                           "--oauth-scope",
                                           "smtp",
                                           "--cafile",
                                           dir_.File("certs/ca.pem")};
  auto r = RunProcess(signIn, dir_.File("work"), {}, 60);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("modul za HTTPS (verdan-https.so) nije instaliran ni uz program ni u " +
                       std::filesystem::path(dir_.File("lib/verdan")).lexically_normal().string() +
                       ". Ponovo instalirajte program"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Grants(), "");
  // Beside the program it is found, and the same request reaches the endpoint.
  std::filesystem::copy_file(std::filesystem::path(VERDAN_BINARY).parent_path() / "verdan-https.so",
                             dir_.File("alone/verdan-https.so"));
  r = RunProcess(signIn, dir_.File("work"), {}, 60);
  EXPECT_NE(Grants().find("device scope="), std::string::npos) << r.out << r.err;
}
#endif

TEST_F(SendCommandOAuth, TokenCommandAndRefusedAccessTokens) {
  WriteFile(dir_.File("auth/access_token"), "at-helper");
  WriteFile(dir_.File("helper.py"),
            "import sys\nprint(sys.argv[1] + '-' + sys.argv[2])\nprint('second line')\n");
  const std::string ca = dir_.File("certs/ca.pem");
  auto env = [&](const std::string& token, const std::string& tls,
                 const std::string& command = "") {
    WriteFile(dir_.File("work/verdan.env"),
              "[Email_Postavke]\r\nTLS=" + tls + "\r\nCAFile=" + ca + "\r\nTokenCommand=" +
                  (command.empty() ? std::string(kPython) + " '" + dir_.File("helper.py") + "' \"" +
                                         token + "\" helper"
                                   : command) +
                  "\r\n");
  };
  for (const std::string mechanisms : {"XOAUTH2,OAUTHBEARER", "XOAUTH2"}) {
    SmtpServer server(Out(mechanisms), {}, OAuthSmtp(mechanisms));
    ASSERT_FALSE(server.port().empty());
    const std::string used = mechanisms == "XOAUTH2" ? "XOAUTH2" : "OAUTHBEARER";
    env("at", "starttls");
    auto r = Send(server.port(), {"--user", "ana@example.org"});
    EXPECT_EQ(r.status, 0) << r.err;
    env("wrong", "starttls");
    r = Send(server.port(), {"--user", "ana@example.org", "--retry-pauses", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find(
            "Poslužitelj je odbio prijavu tokenom (535 5.7.8 Username and Password not accepted); "
            "ponovite prijavu: verdan settings --oauth custom"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("novi pokušaj"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir_.File(mechanisms + "/auth.log")),
              used + " ana@example.org accepted\n" + used + " ana@example.org refused, answer " +
                  (used == "XOAUTH2" ? "b''" : "b'\\x01'") + "\n");
  }
  SmtpServer plain(Out("plain"), {}, {});
  ASSERT_FALSE(plain.port().empty());
  env("at", "cleartext");
  auto r = Send(plain.port(), {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "Prijava tokenom (OAuth) moguća je samo šifriranom vezom, a zadano je TLS=cleartext"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(plain.Commands(), "");
  env("at", "none");
  r = Send(plain.port(), {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Poslužitelj ne nudi STARTTLS"), std::string::npos) << r.err;
  EXPECT_EQ(plain.Commands().find("AUTH"), std::string::npos) << plain.Commands();
  const std::string before = plain.Commands();  // a failing token command connects to nothing
  env("at", "starttls", "/bin/false");
  r = Send(plain.port(), {"--tls", "starttls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("TokenCommand nije uspio (izlazni status 1)"), std::string::npos) << r.err;
  env("at", "starttls", "/usr/bin/head -c 1000000 /dev/zero");
  r = Send(plain.port(), {"--tls", "starttls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("TokenCommand ispisuje više od 65536 bajtova; prekinut je"),
            std::string::npos)
      << r.err;
  env("at", "starttls", "'" + dir_.File("helper.py") + " \"nezatvoren");
  r = Send(plain.port(), {"--tls", "starttls"});
  EXPECT_NE(r.err.find("TokenCommand: navodnik nije zatvoren"), std::string::npos) << r.err;
  EXPECT_EQ(plain.Commands(), before);
}
#endif

TEST_F(SendCommand, OversizeMessageIsRefusedBeforeUploadOrSplitIntoParts) {
  const std::vector<std::string> login = {"--user",    "korisnik", "--password", "tajna",
                                          "--subject", "Arhiva",   "--tls",      "cleartext"};
  {
    SmtpServer server(dir_.File("out"), {"korisnik", "tajna"}, {"--size", "100000"});
    auto r = Send(server.port(), login);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a poslužitelj prima najviše 100000 bajtova; nije poslana."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(server.Commands(), "EHLO backup-client.example.net\nAUTH LOGIN\nQUIT\n");
    EXPECT_FALSE(Exists(dir_.File("out/msg1.eml")));
  }
  MakeDir(dir_.File("split"));
  // The server counts 3000 bytes of its own beyond each message, as a real one adds its
  // trace headers: the parts leave room for that.
  SmtpServer server(dir_.File("split"), {"korisnik", "tajna"},
                    {"--size", "100000", "--size-slack", "3000"});
  std::vector<std::string> extra = login;
  extra.push_back("--split");
  auto r = Send(server.port(), extra);
  EXPECT_EQ(r.status, 0) << r.err;
  std::size_t shown = 0;
  for (std::size_t pos = 0; (pos = r.err.find("E-mail Poslan uspješno", pos)) != std::string::npos;
       ++pos)
    ++shown;
  EXPECT_EQ(shown, 1u) << r.err;
  WriteFile(dir_.File("reassemble.py"), kReassemble);
  auto check = RunProcess(
      {kPython, "reassemble.py", dir_.File("split"), dir_.File("work/backup.zip"), "100000"},
      dir_.path());
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out,
            "parts=3\n"
            "names=backup.zip.001,backup.zip.002,backup.zip.003\n"
            "same=True\n"
            "under_limit=True\n"
            "size_param=True\n"
            "subjects=True\n"
            "instructions=True\n");
}

// A part the server refuses (it counts more of its own than the parts leave room for) fails
// the run and names the part; the parts after it are not sent, since the attachment cannot be
// joined without it. No success is shown and the log of runs records the failure.
TEST_F(SendCommand, ARefusedPartFailsTheRunAndNamesThePart) {
  SmtpServer server(dir_.File("out"), {}, {"--size", "100000", "--size-slack", "8000"});
  ASSERT_FALSE(server.port().empty());
  auto r = Send(server.port(), {"--user", "", "--password", "", "--subject", "Arhiva", "--split"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Privitak nije poslan cijeli: dio 1/3 (backup.zip.001) nije poslan, a bez "
                       "njega se dijelovi ne mogu spojiti pa se ni preostali (2) ne šalju."),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("552"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("E-mail Poslan uspješno"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(dir_.File("out/msg1.eml")));
  // One DATA only: the refused first part; nothing of the others reached the server.
  const std::string commands = server.Commands();
  EXPECT_EQ(commands.find("DATA"), commands.rfind("DATA")) << commands;
  const std::string log = ReadFile(dir_.File("work/verdan.log"));
  EXPECT_NE(log.find("\tsend\tbackup.zip\t1\t200000\t"), std::string::npos) << log;
  EXPECT_NE(log.find("GREŠKA: Privitak nije poslan cijeli: dio 1/3"), std::string::npos) << log;
  EXPECT_EQ(log.find("\tOK"), std::string::npos) << log;
}

// With --encode-headers the message is 7-bit and Python's email package reads the original
// subject, display names, file name and text back.
TEST_F(SendCommand, EncodedHeadersArriveSevenBitAndDecode) {
  SmtpServer server(dir_.File("out"), {});
  WriteFile(dir_.File("work/arhiva_ožujak.zip"), ReadFile(dir_.File("work/backup.zip")));
  WriteFile(dir_.File("work/verdan.env"),
            "[Email_Postavke]\r\nOrganization=Tvrtka d.o.o. Čakovec\r\n");
  auto r = RunProcess({VERDAN_BINARY,
                       "send",
                       "arhiva_ožujak.zip",
                       "--server",
                       "127.0.0.1",
                       "--port",
                       server.port(),
                       "--from",
                       "Računovodstvo Šibenik <backup@example.com>",
                       "--to",
                       "Ana Đurić <ana@example.org>",
                       "--subject",
                       "Sigurnosna kopija – ožujak",
                       "--text",
                       "Arhiva je u privitku, šaljem.",
                       "--encode-headers",
                       "--user",
                       "",
                       "--password",
                       ""},
                      dir_.File("work"), {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  WriteFile(dir_.File("decode.py"), R"PY(
import email, email.policy, sys
raw = open(sys.argv[1], 'rb').read()
msg = email.message_from_bytes(raw, policy=email.policy.default)
print('seven_bit=%s' % all(b < 128 for b in raw))
print('subject=' + msg['Subject'])
print('from=' + msg['From'].addresses[0].display_name)
print('to=' + msg['To'].addresses[0].display_name)
print('org=' + msg['Organization'])
for part in msg.walk():
    if part.get_filename():
        print('file=%s same=%s' % (part.get_filename(), part.get_payload(decode=True) == open(sys.argv[2], 'rb').read()))
    elif part.get_content_type() == 'text/plain':
        print('text=' + part.get_content().strip())
)PY");
  auto d = RunProcess(
      {kPython, "decode.py", dir_.File("out/msg1.eml"), dir_.File("work/backup.zip")}, dir_.path());
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out,
            "seven_bit=True\n"
            "subject=Sigurnosna kopija – ožujak\n"
            "from=Računovodstvo Šibenik\n"
            "to=Ana Đurić\n"
            "org=Tvrtka d.o.o. Čakovec\n"
            "text=Arhiva je u privitku, šaljem.\n"
            "file=arhiva_ožujak.zip same=True\n");
}

// A hundred attachments in one message; devices, pipes and missing files are refused at
// once, naming the file, without a connection.
TEST_F(SendCommand, HundredAttachmentsAndFilesThatCannotBeSent) {
  SmtpServer server(dir_.File("out"), {});
  std::vector<std::string> argv = {VERDAN_BINARY, "send"};
  std::mt19937 rng(3);
  for (int i = 0; i < 100; ++i) {
    std::string name = "f" + std::to_string(100 + i).substr(1) + ".bin";
    std::string bytes(static_cast<std::size_t>(1000 + i * 37), '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    WriteFile(dir_.File("work/" + name), bytes);
    argv.push_back(name);
  }
  for (std::string a :
       {"--server", "127.0.0.1", "--port", server.port().c_str(), "--from", "backup@example.com",
        "--to", "ana@example.org", "--user", "", "--password", ""})
    argv.push_back(a);
  auto r = RunProcess(argv, dir_.File("work"), {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  WriteFile(dir_.File("check.py"), R"PY(
import email, sys
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'))
parts = [p for p in msg.walk() if p.get_filename()]
print('files=%d same=%s' % (len(parts), all(p.get_payload(decode=True) == open(sys.argv[2] + '/' + p.get_filename(), 'rb').read() for p in parts)))
)PY");
  auto c =
      RunProcess({kPython, "check.py", dir_.File("out/msg1.eml"), dir_.File("work")}, dir_.path());
  EXPECT_EQ(c.out, "files=100 same=True\n") << c.err;

#ifndef _WIN32  // a device and a pipe: /dev/zero and mkfifo
  ASSERT_EQ(::mkfifo(dir_.File("work/cijev").c_str(), 0600), 0);
  for (const std::string& file : {std::string("/dev/zero"), std::string("cijev")}) {
    auto bad =
        RunProcess({VERDAN_BINARY, "send", file, "--server", "127.0.0.1", "--port", server.port(),
                    "--from", "backup@example.com", "--to", "ana@example.org"},
                   dir_.File("work"), {}, 60);
    EXPECT_EQ(bad.status, 1) << file;
    EXPECT_NE(bad.err.find("Privitak (" + file + ") nije obična datoteka"), std::string::npos)
        << bad.err;
    EXPECT_NE(bad.err.find("Privitak nije poslan: " + file), std::string::npos) << bad.err;
  }
#endif
  EXPECT_EQ(server.Commands().find("HELO"), server.Commands().rfind("HELO"));  // one connection
  EXPECT_FALSE(Exists(dir_.File("out/msg2.eml")));
}

}  // namespace
}  // namespace verdan
