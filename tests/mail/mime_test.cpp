// The composer's exact bytes for each message structure, and the two encoders, with
// quoted-printable output checked against a standard decoder.
#include "mail/mime.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace verdan::mail {
namespace {

using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;

constexpr char kId[] = "d20261208t140509.7c1r4242";

MessageParts BaseParts() {
  MessageParts p;
  p.from = "Backup <backup@example.com>   ";
  p.toList = "\"Ivo, Horvat\" <ivo@example.org>; ana@example.org";
  p.subject = "Arhiva   ";
  p.organization = "Tvrtka d.o.o.";
  p.xMailer = "Quillon Email 2.93";
  p.textEncoding = "quoted-printable";
  p.day = platform::DayCountFromDate({2026, 12, 8});
  p.timeOfDay = ((14 * 60 + 5) * 60 + 9) * 100 + 7;
  p.utcOffsetMinutes = 60;
  p.messageId = MessageId(p.day, p.timeOfDay, 1, 4242);
  p.hostName = "host.example.net";
  return p;
}

std::string Header(const std::string& mimeLines) {
  return std::string("Message-ID: <") + kId + ".00@host.example.net>\r\n" +
         "From: \"Backup\" <backup@example.com>\r\n"
         "To: \"Ivo, Horvat\" <ivo@example.org>, \"ana@example.org\" <ana@example.org>\r\n"
         "Subject: Arhiva\r\n"
         "Date: Tue, 8 Dec 2026 14:05:09 +0100\r\n"
         "Organization: Tvrtka d.o.o.\r\n"
         "MIME-version: 1.0\r\n" +
         mimeLines +
         "X-Mailer: Quillon Email 2.93\r\n"
         "X-Quillon: Quillon Email 2.93\r\n"
         "\r\n";
}

const std::string kB0 = std::string("--=_NextPart_000_") + kId;
const std::string kB1 = std::string("--=_NextPart_001_") + kId;
const std::string kB2 = std::string("--=_NextPart_002_") + kId;
const std::string kPreamble =
    "This is a multi-part message in MIME format.\r\n"
    "This email requires a MIME compatible email reader.\r\n\r\n";
const std::string kTextPartLines =
    "Content-Type: text/plain;\r\n\tcharset=us-ascii\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
const std::string kText = "Pozdrav,\r\n.tocka a=b\r\nkraj \r\n";
const std::string kTextQp = "Pozdrav,\r\n=2Etocka a=3Db\r\nkraj=20\r\n";
const std::string kAttachmentB64 =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
    "OTo7";
const std::string kImageB64 = "iVBORw0KGgpJTUc=";

std::string AttachmentPart() {
  return "\r\n--" + kB0 +
         "\r\nContent-Type: application/x-unkown;\r\n name=\"data.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment;\r\n filename=\"data.bin\"\r\n\r\n" +
         kAttachmentB64 + "\r\n\r\n--" + kB0 + "--\r\n";
}

std::string HtmlPart(const std::string& htmlQp) {
  return "\r\n\r\n--" + kB1 +
         "\r\nContent-Type: text/html;\r\n\tcharset=us-ascii\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
         htmlQp + "\r\n\r\n--" + kB1 + "--\r\n";
}

class ComposerGolden : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string bytes;
    for (int i = 0; i < 60; ++i) bytes += static_cast<char>(i);
    WriteFile(dir_.File("data.bin"), bytes);
    WriteFile(dir_.File("logo.png"), std::string("\x89PNG\r\n\x1a\nIMG", 11));
  }
  std::string Compose(const MessageParts& p) {
    std::string out;
    ComposeFailure failure;
    EXPECT_EQ(ComposeMessage(p, out, failure), ComposeResult::kOk) << failure.path;
    return out;
  }
  TempDir dir_;
};

TEST_F(ComposerGolden, TextOnly) {
  MessageParts p = BaseParts();
  p.text = kText;
  p.embedList = dir_.File("logo.png");  // ignored without an HTML body
  EXPECT_EQ(Compose(p), Header("Content-Type: text/plain;\r\n\tcharset=us-ascii\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n") +
                            kTextQp);
}

TEST_F(ComposerGolden, TextWithAttachment) {
  MessageParts p = BaseParts();
  p.text = kText;
  p.attachmentList = "  " + dir_.File("data.bin") + "  ";
  EXPECT_EQ(Compose(p), Header("Content-Type: multipart/mixed;\r\n\tboundary=\"" + kB0 + "\"\r\n") +
                            kPreamble + "--" + kB0 + "\r\n" + kTextPartLines + kTextQp + "\r\n" +
                            AttachmentPart());
}

TEST_F(ComposerGolden, HtmlWithEmbeddedImageAndAttachment) {
  MessageParts p = BaseParts();
  p.text = kText;
  const std::string html = "<p>x=1</p>";
  p.html = html;
  p.embedList = "\"" + dir_.File("logo.png") + "\"";
  p.attachmentList = "\"" + dir_.File("data.bin") + "\"";
  const std::string expected =
      Header("Content-Type: multipart/mixed;\r\n\tboundary=\"" + kB0 + "\"\r\n") + kPreamble +
      "--" + kB0 + "\r\nContent-Type: multipart/related;\r\n\ttype=\"multipart/related\";\r\n" +
      "\tboundary=\"" + kB2 + "\"\r\n\r\n\r\n" + "--" + kB2 +
      "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"" + kB1 + "\"\r\n\r\n" + "--" +
      kB1 + "\r\n" + kTextPartLines + kTextQp + HtmlPart("<p>x=3D1</p>") + "\r\n--" + kB2 +
      "\r\nContent-Type: image/png;\r\n name=\"logo.png\"\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-ID: <logo.png>\r\n\r\n" +
      kImageB64 + "\r\n\r\n--" + kB2 + "--\r\n" + AttachmentPart();
  EXPECT_EQ(Compose(p), expected);
}

// The two structures between "everything" and "HTML only": the outer part is mixed when
// there are attachments, related when there are only images.
TEST_F(ComposerGolden, HtmlWithEitherAttachmentOrImage) {
  MessageParts p = BaseParts();
  p.text = kText;
  const std::string html = "<p>x=1</p>";
  p.html = html;
  const std::string alternative = "Content-Type: multipart/alternative;\r\n\tboundary=\"" + kB1 +
                                  "\"\r\n\r\n--" + kB1 + "\r\n" + kTextPartLines + kTextQp +
                                  HtmlPart("<p>x=3D1</p>");
  p.attachmentList = dir_.File("data.bin");
  EXPECT_EQ(Compose(p), Header("Content-Type: multipart/mixed;\r\n\tboundary=\"" + kB0 + "\"\r\n") +
                            kPreamble + "--" + kB0 + "\r\n" + alternative + AttachmentPart());

  p.attachmentList.clear();
  p.embedList = dir_.File("logo.png");
  EXPECT_EQ(Compose(p),
            Header("Content-Type: multipart/related; type=\"multipart/alternative\";\r\n"
                   "\tboundary=\"" +
                   kB2 + "\"\r\n") +
                kPreamble + "--" + kB2 + "\r\n" + alternative + "\r\n--" + kB2 +
                "\r\nContent-Type: image/png;\r\n name=\"logo.png\"\r\n"
                "Content-Transfer-Encoding: base64\r\nContent-ID: <logo.png>\r\n\r\n" +
                kImageB64 + "\r\n\r\n--" + kB2 + "--\r\n");
}

TEST_F(ComposerGolden, HtmlOnlyWithOptionalHeaders) {
  MessageParts p = BaseParts();
  const std::string html = "<b>.</b>";
  p.html = html;
  p.ccList = "Ana <ana@example.org>";
  p.replyTo = "odgovor@example.org";
  p.references = "<ref@example.org>";
  p.extraHeader = "X-One: 1\r\nX-Two: 2";
  const std::string header =
      std::string("Message-ID: <") + kId + ".00@host.example.net>\r\n" +
      "Reply-To: odgovor@example.org\r\n"
      "From: \"Backup\" <backup@example.com>\r\n"
      "To: \"Ivo, Horvat\" <ivo@example.org>, \"ana@example.org\" <ana@example.org>\r\n"
      "CC: \"Ana\" <ana@example.org>\r\n"
      "References: <ref@example.org>\r\n"
      "Subject: Arhiva\r\n"
      "Date: Tue, 8 Dec 2026 14:05:09 +0100\r\n"
      "Organization: Tvrtka d.o.o.\r\n"
      "MIME-version: 1.0\r\n"
      "Content-Type: multipart/alternative;\r\n\tboundary=\"" +
      kB1 + "\"\r\n" +
      "X-Mailer: Quillon Email 2.93\r\n"
      "X-Quillon: Quillon Email 2.93\r\n"
      "X-One: 1\r\nX-Two: 2\r\n"
      "\r\n";
  EXPECT_EQ(Compose(p),
            header + kPreamble + "--" + kB1 + "\r\n" + kTextPartLines + HtmlPart("<b>.</b>"));
}

TEST_F(ComposerGolden, NoHeaderValueCanStartALineOfItsOwn) {
  MessageParts p = BaseParts();
  p.subject = "Hi\r\nBcc: victim@example.org";
  p.toList = "\"Evil\r\nX-Injected: 1\" <to@example.org>";
  p.from = "Me\nX-From: 1 <me@example.com>";
  p.organization = "Org\rX-Org: 1";
  p.replyTo = "r@example.org\r\nX-Reply: 1";
  p.references = "<a>\r\nX-Ref: 1";
  p.deliveryReceiptTo = "d@example.org\nX-D: 1";
  p.dispositionNotificationTo = "n@example.org\nX-N: 1";
  p.text = "body";
  std::string out = Compose(p);
  std::string header = out.substr(0, out.find("\r\n\r\n") + 2);
  for (const char* injected : {"\nBcc:", "\nX-Injected", "\nX-From", "\nX-Org", "\nX-Reply",
                               "\nX-Ref", "\nX-D:", "\nX-N:", "\rX-"})
    EXPECT_EQ(header.find(injected), std::string::npos) << injected;
  EXPECT_NE(header.find("Subject: Hi  Bcc: victim@example.org\r\n"), std::string::npos);
  // Every header line but the last is a field line or a continuation.
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t eol = header.find("\r\n", pos);
    std::string line = header.substr(pos, eol - pos);
    EXPECT_TRUE(line[0] == '\t' || line.find(':') != std::string::npos) << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    pos = eol + 2;
  }
}

TEST_F(ComposerGolden, ShortExtraHeaderKeepsTheHeaderEnd) {
  MessageParts p = BaseParts();
  p.extraHeader = "X";
  p.text = "body";
  const std::string out = Compose(p);
  EXPECT_NE(out.find("X-Quillon: Quillon Email 2.93\r\nX\r\n\r\nbody"), std::string::npos);
}

TEST_F(ComposerGolden, MissingAttachmentFailsWithTheFileAndItsError) {
  MessageParts p = BaseParts();
  p.attachmentList = dir_.File("data.bin") + ", " + dir_.File("nema.zip");
  std::string out;
  ComposeFailure failure;
  EXPECT_EQ(ComposeMessage(p, out, failure), ComposeResult::kFileError);
  EXPECT_EQ(failure.path, dir_.File("nema.zip"));
  EXPECT_EQ(failure.errorNumber, ENOENT);
  EXPECT_FALSE(failure.errorText.empty());
}

TEST(MessageHeaders, IdDateAndZone) {
  const std::int64_t day = platform::DayCountFromDate({2027, 1, 3});  // a Sunday
  EXPECT_EQ(MessageId(day, ((9 * 60 + 5) * 60 + 3) * 100 + 40, 12, 1000000),
            "d20270103t090503.40c12r1000000");
  EXPECT_EQ(DateHeaderValue(day, 100, -330), "Sun, 3 Jan 2027 00:00:01 -0530");
  EXPECT_EQ(DateHeaderValue(day + 40, 8639999, 0), "Fri, 12 Feb 2027 23:59:59 +0000");
}

TEST(AddressList, EntriesNamesAndBadAddresses) {
  const std::string list = "\"Horvat, Ivo\" <ivo@example.org>; ana@example.org";
  std::string name, address;
  EXPECT_EQ(AddressEntryCount(list), 2u);
  ASSERT_TRUE(GetAddress(list, 1, name, address));
  EXPECT_EQ(name, "Horvat, Ivo");
  EXPECT_EQ(address, "ivo@example.org");
  ASSERT_TRUE(GetAddress(list, 2, name, address));
  EXPECT_EQ(name, "ana@example.org");
  EXPECT_EQ(address, "ana@example.org");
  EXPECT_FALSE(GetAddress(list, 3, name, address));
  EXPECT_FALSE(GetAddress(list, 0, name, address));
  EXPECT_FALSE(GetAddress("a@x, ,b@y", 2, name, address));
  EXPECT_TRUE(GetAddress("a@x, ,b@y", 3, name, address));
  EXPECT_EQ(address, "b@y");
  EXPECT_FALSE(GetAddress("Name <  >", 1, name, address));
  ASSERT_TRUE(GetAddress("\" <x@y>", 1, name, address));
  EXPECT_EQ(name, "");

  EXPECT_TRUE(IsSendableAddress("ivo@example.org"));
  EXPECT_FALSE(IsSendableAddress("a@x>\r\nRCPT TO: <b@y"));
  EXPECT_FALSE(IsSendableAddress("a@x\nDATA"));
  ASSERT_TRUE(GetAddress("<a<b@x>", 1, name, address));
  EXPECT_FALSE(IsSendableAddress(address));
}

TEST(FileList, ConvertsDialogSelections) {
  EXPECT_EQ(ConvertFileList("/data|a.zip|b.zip", '/'), "\"/data/a.zip\", \"/data/b.zip\"");
  EXPECT_EQ(ConvertFileList("/data/|a.zip", '/'), "\"/data/a.zip\"");
  EXPECT_EQ(ConvertFileList("/data/a.zip, /data/b.zip", '/'), "/data/a.zip, /data/b.zip");
}

TEST(Base64, LinesOf76AndPadding) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  std::string bytes;
  for (int i = 0; i < 60; ++i) bytes += static_cast<char>(i);
  EXPECT_EQ(Base64(bytes), kAttachmentB64);
  // A full record of 1026 bytes is exactly 18 lines, each ending in CR LF.
  std::string record(1026, '\xff');
  std::string enc = Base64(record);
  EXPECT_EQ(enc.size(), 18u * 78u);
  EXPECT_EQ(enc.substr(enc.size() - 2), "\r\n");
  // Calls that continue one stream break lines where one call would.
  std::string joined;
  std::size_t fill = 0;
  AppendBase64(bytes.substr(0, 30), joined, fill);
  AppendBase64(bytes.substr(30), joined, fill);
  EXPECT_EQ(joined, kAttachmentB64);

  // Against a plain bit-by-bit encoder: every byte value, lines begun by one call and ended
  // by the next at every group boundary, and the short last lines of every length.
  auto reference = [](const std::string& in) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string chars;
    std::uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
      acc = (acc << 8) | c;
      for (bits += 8; bits >= 6; bits -= 6) chars += alphabet[(acc >> (bits - 6)) & 63];
    }
    if (bits > 0) chars += alphabet[(acc << (6 - bits)) & 63];
    while (chars.size() % 4 != 0) chars += '=';
    std::string out;
    for (std::size_t i = 0; i < chars.size(); i += 76) {
      out += chars.substr(i, 76);
      if (i + 76 <= chars.size()) out += "\r\n";
    }
    return out;
  };
  std::string all;
  for (int i = 0; i < 1000; ++i) all += static_cast<char>((i * 131 + i / 7) & 0xff);
  for (std::size_t n : {0u, 1u, 2u, 56u, 57u, 58u, 113u, 114u, 115u, 1000u})
    ASSERT_EQ(Base64(all.substr(0, n)), reference(all.substr(0, n))) << n;
  const std::string whole = reference(all);
  for (std::size_t cut = 0; cut <= 240; cut += 3) {
    std::string pieces;
    std::size_t lineFill = 0;
    AppendBase64(all.substr(0, cut), pieces, lineFill);
    AppendBase64(all.substr(cut, 171), pieces, lineFill);
    AppendBase64(all.substr(cut + 171), pieces, lineFill);
    ASSERT_EQ(pieces, whole) << cut;
  }
}

std::string Qp(const std::string& in) {
  std::string out;
  AppendQuotedPrintable(in, out);
  return out;
}

TEST(QuotedPrintable, SoftBreakAndDotRules) {
  EXPECT_EQ(Qp("a=b\xe9"), "a=3Db=E9");
  EXPECT_EQ(Qp(".a\r\n.b"), "=2Ea\r\n=2Eb");
  EXPECT_EQ(Qp("a.b\r\nx \r\ny\t\r\nlone\rcr\nlf"), "a.b\r\nx=20\r\ny=09\r\nlone=0Dcr=0Alf");
  EXPECT_EQ(Qp("end "), "end=20");
  // 75 literal bytes fill a line; the next literal starts a new one after a soft break.
  const std::string l75(75, 'x');
  EXPECT_EQ(Qp(l75 + "yz"), l75 + "=\r\nyz");
  // An encoded triple needs the counter below 73.
  EXPECT_EQ(Qp(std::string(72, 'x') + "=" + "x"), std::string(72, 'x') + "=3D=\r\nx");
  EXPECT_EQ(Qp(std::string(73, 'x') + "="), std::string(73, 'x') + "=\r\n=3D");
  // A dot that would begin a new output line goes out encoded after the soft break.
  EXPECT_EQ(Qp(l75 + ".a"), l75 + "=\r\n=2Ea");
  EXPECT_EQ(Qp(std::string(74, 'x') + ".a"), std::string(74, 'x') + ".=\r\na");
}

TEST(QuotedPrintable, BlocksCarryTheLineCounterAndSeeAcrossTheirEdges) {
  // A dot as the first byte of the second block is encoded; the line counter carries over.
  std::string in(1026, 'a');
  in += ".b";
  std::string out = Qp(in);
  EXPECT_NE(out.find("=2Eb"), std::string::npos);
  // CR LF split over two blocks stays a line break; a blank before it is still encoded.
  std::string split(1024, 'a');
  split += " \r\nb";
  split[1000] = '\r';
  split[1001] = '\n';
  std::string enc = Qp(split);
  EXPECT_EQ(enc.substr(enc.size() - 7), "a=20\r\nb");
  std::string split2(1025, 'a');
  split2 += "\r\nb";
  split2[1000] = '\r';
  split2[1001] = '\n';
  std::string enc2 = Qp(split2);
  EXPECT_EQ(enc2.substr(enc2.size() - 4), "a\r\nb");
  EXPECT_EQ(enc2.find("=0D"), std::string::npos);
  EXPECT_EQ(enc2.find("=0A"), std::string::npos);
}

TEST(QuotedPrintable, WorstCaseBlockFitsTheDeclaredBound) {
  std::string in(kEncodeBlockBytes, '=');
  std::string out;
  int counter = 74;
  EXPECT_LE(NetQuotedPrintableEncode(in, 0, in.size(), counter, out),
            kQuotedPrintableBlockWorstCase);
}

#ifndef _WIN32  // the standard decoder is Python's, run as a child process
// Random bodies rich in the awkward cases, encoded here and decoded by Python's standard
// decoder; every output line is also checked against the format's limits.
TEST(QuotedPrintable, RoundTripsThroughAStandardDecoder) {
  TempDir dir;
  std::mt19937 rng(20261208);
  const std::string alphabet[] = {
      "=", ".",    " ",    "\t",   "\r\n", "\r",    "\n",    "a",
      "Z", "\xff", "\x80", "\x00", "~",    "\r\n.", " \r\n", std::string(80, 'q')};
  std::string script = "import quopri, sys\nok = True\n";
  const int kCases = 40;
  for (int c = 0; c < kCases; ++c) {
    std::string in;
    const int pieces = 1 + static_cast<int>(rng() % 1500);
    for (int i = 0; i < pieces; ++i) {
      const std::string& s = alphabet[rng() % std::size(alphabet)];
      in += s.empty() ? std::string(1, '\0') : s;
    }
    std::string enc = Qp(in);
    std::size_t pos = 0;
    while (pos <= enc.size()) {
      std::size_t eol = enc.find("\r\n", pos);
      std::string line = enc.substr(pos, eol == std::string::npos ? eol : eol - pos);
      ASSERT_LE(line.size(), 76u) << "case " << c;
      if (!line.empty()) {
        EXPECT_NE(line[0], '.') << "case " << c;
        EXPECT_NE(line.back(), ' ') << "case " << c;
        EXPECT_NE(line.back(), '\t') << "case " << c;
      }
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "case " << c;
      if (eol == std::string::npos) break;
      pos = eol + 2;
    }
    WriteFile(dir.File("in" + std::to_string(c)), in);
    WriteFile(dir.File("enc" + std::to_string(c)), enc);
  }
  script += "for c in range(" + std::to_string(kCases) +
            "):\n"
            "    want = open('in%d' % c, 'rb').read()\n"
            "    got = quopri.decodestring(open('enc%d' % c, 'rb').read())\n"
            "    if got != want:\n"
            "        ok = False\n"
            "        print('case', c, 'differs')\n"
            "print('OK' if ok else 'FAIL')\n";
  WriteFile(dir.File("check.py"), script);
  auto r = RunProcess({"/usr/bin/python3", "check.py"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\n") << r.out << r.err;
}
#endif

TEST(Base64, OneLineFormAndPlannedLengths) {
  std::string bytes;
  for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i * 7);
  std::string lines = Base64(bytes);
  std::string joined;
  for (char c : lines)
    if (c != '\r' && c != '\n') joined += c;
  EXPECT_EQ(Base64Line(bytes), joined);
  EXPECT_EQ(Base64Line(bytes.substr(0, 57)).size(), 76u);
  for (std::size_t n = 0; n <= 1200; ++n) {
    std::string out;
    std::size_t fill = 0;
    AppendBase64(std::string(n, 'x'), out, fill);
    ASSERT_EQ(Base64Length(n), out.size()) << n;
  }
}

// A plan read in pieces of any size gives the same bytes as the composed message, and a
// slice of a file is attached as exactly those bytes.
TEST_F(ComposerGolden, PlansReadInPiecesAndSlicesOfFiles) {
  std::string big;
  std::mt19937 rng(5);
  for (int i = 0; i < 700000; ++i) big += static_cast<char>(rng());
  WriteFile(dir_.File("big.bin"), big);
  MessageParts p = BaseParts();
  p.text = kText;
  p.attachmentList = "\"" + dir_.File("big.bin") + "\", \"" + dir_.File("data.bin") + "\"";
  const std::string whole = Compose(p);
  MessagePlan plan;
  ComposeFailure failure;
  ASSERT_EQ(PlanMessage(p, plan, failure), ComposeResult::kOk);
  EXPECT_EQ(plan.size, whole.size());
  EXPECT_TRUE(plan.HasFiles());
  for (std::size_t piece : {1u, 57u, 8192u, 100000u}) {
    MessageReader reader(plan);
    std::string got;
    std::vector<std::uint8_t> buf(piece);
    while (std::size_t n = reader.Read(buf.data(), buf.size())) {
      got.append(reinterpret_cast<const char*>(buf.data()), n);
      if (n < piece) {
        EXPECT_EQ(reader.Read(buf.data(), buf.size()), 0u);  // short only at the end
      }
    }
    EXPECT_FALSE(reader.Failed());
    EXPECT_TRUE(got == whole) << piece;
    EXPECT_EQ(reader.Position(), whole.size());
  }

  MessageParts slice = BaseParts();
  slice.attachmentList = dir_.File("big.bin");
  slice.attachmentSlice = FileSlice{100000, 60, "big.bin.002"};
  const std::string out = Compose(slice);
  EXPECT_NE(out.find(" filename=\"big.bin.002\"\r\n"), std::string::npos);
  EXPECT_NE(out.find("\r\n\r\n" + Base64(big.substr(100000, 60)) + "\r\n\r\n--" + kB0 + "--\r\n"),
            std::string::npos);
}

// The composer's buffer grows with the content: a hundred small files once made it double
// per file until no memory was left.
TEST_F(ComposerGolden, HundredAttachmentsNeedOnlyTheirOwnSize) {
  MessageParts p = BaseParts();
  std::string list;
  for (int i = 0; i < 100; ++i) {
    const std::string name = dir_.File("f" + std::to_string(i) + ".txt");
    WriteFile(name,
              std::string(static_cast<std::size_t>(100 + i), static_cast<char>('a' + i % 26)));
    list += (i ? ", \"" : "\"") + name + "\"";
  }
  p.attachmentList = list;
  std::string out;
  ComposeFailure failure;
  ASSERT_EQ(ComposeMessage(p, out, failure), ComposeResult::kOk) << failure.path;
  EXPECT_LT(out.capacity(), 2 * out.size() + 16384);
  std::size_t parts = 0;
  for (std::size_t pos = 0;
       (pos = out.find("Content-Disposition: attachment;", pos)) != std::string::npos; ++pos)
    ++parts;
  EXPECT_EQ(parts, 100u);
}

#ifndef _WIN32  // the device and the pipe are POSIX ones
// Devices and pipes are refused when the message is composed (reading them would never end,
// and opening a pipe would wait for a writer).
TEST_F(ComposerGolden, FilesThatAreNotRegularAreRefused) {
  ASSERT_EQ(::mkfifo(dir_.File("cijev").c_str(), 0600), 0);
  for (const std::string& path : {std::string("/dev/zero"), dir_.File("cijev")}) {
    MessageParts p = BaseParts();
    p.attachmentList = path;
    MessagePlan plan;
    ComposeFailure failure;
    EXPECT_EQ(PlanMessage(p, plan, failure), ComposeResult::kNotRegularFile) << path;
    EXPECT_EQ(failure.path, path);
  }
}
#endif

// A file that changes after the message was planned fails the read.
TEST_F(ComposerGolden, FilesThatChangeAfterThePlanAreRefused) {
  MessageParts p = BaseParts();
  p.attachmentList = dir_.File("data.bin");
  struct Change {
    const char* what;
    std::function<void()> apply;
  };
  const Change changes[] = {
      {"shorter", [&] { WriteFile(dir_.File("data.bin"), "xy"); }},
      {"longer", [&] { WriteFile(dir_.File("data.bin"), std::string(5000, 'z')); }},
      {"replaced",
       [&] {
         WriteFile(dir_.File("other.bin"), std::string(60, 'q'));
         platform::RenameName(dir_.File("other.bin"), dir_.File("data.bin"));
       }},
      {"removed", [&] { std::remove(dir_.File("data.bin").c_str()); }},
  };
  for (const Change& c : changes) {
    std::string bytes;
    for (int i = 0; i < 60; ++i) bytes += static_cast<char>(i);
    WriteFile(dir_.File("data.bin"), bytes);
    MessagePlan plan;
    ComposeFailure failure;
    ASSERT_EQ(PlanMessage(p, plan, failure), ComposeResult::kOk);
    c.apply();
    std::string out;
    const ComposeResult r = ReadMessage(plan, out, failure);
    EXPECT_NE(r, ComposeResult::kOk) << c.what;
    EXPECT_EQ(failure.path, dir_.File("data.bin")) << c.what;
  }
}

// With header encoding on, every header that is not plain ASCII is encoded and the whole
// message is 7-bit; Python's email package reads back the original texts.
TEST_F(ComposerGolden, EncodedHeadersAreSevenBitAndDecodeToTheOriginals) {
  const std::string longName =
      "Izvještaj_računovodstva_za_ožujak_i_travanj_šibenik_čakovec_đakovo.zip";
  WriteFile(dir_.File(longName), "sadržaj");
  WriteFile(dir_.File("čćž.png"), std::string("\x89PNG\r\n\x1a\nIMG", 11));
  MessageParts p = BaseParts();
  p.encodeHeaders = true;
  p.subject =
      "Sigurnosna kopija – čćžšđ ČĆŽŠĐ, vrlo dugačak predmet koji ne stane u jednu kodiranu riječ";
  p.from = "Računovodstvo Šibenik <backup@example.com>";
  p.toList = "\"Horvat, Ivo\" <ivo@example.org>; Ana Đurić <ana@example.org>";
  p.ccList = "Žana <zana@example.org>";
  p.replyTo = "Služba <sluzba@example.org>";
  p.organization = "Tvrtka d.o.o. Čakovec";
  p.extraHeader = "X-Napomena: Dnevna arhiva – utorak";
  p.text = "Arhiva je u privitku, šaljem.\r\n";
  p.textEncoding = "7bit";  // must become quoted-printable: the body is not ASCII
  const std::string html = "<p>Pozdrav iz Đakova</p>";
  p.html = html;
  p.embedList = dir_.File("čćž.png");
  p.attachmentList = "\"" + dir_.File(longName) + "\"";
  const std::string out = Compose(p);
  for (unsigned char c : out) ASSERT_LT(c, 128u) << "8-bit byte in the message";
  std::size_t pos = 0;
  const std::string header = out.substr(0, out.find("\r\n\r\n"));
  while (pos < header.size()) {
    const std::size_t eol = std::min(header.find("\r\n", pos), header.size());
    EXPECT_LE(eol - pos, 998u);
    pos = eol + 2;
  }
#ifndef _WIN32  // Python's email package reads the message as a child process
  WriteFile(dir_.File("msg.eml"), out);
  WriteFile(dir_.File("read.py"), R"PY(
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
print('subject=' + msg['Subject'])
print('from=' + msg['From'].addresses[0].display_name)
print('to=' + '|'.join(a.display_name for a in msg['To'].addresses))
print('cc=' + msg['CC'].addresses[0].display_name)
print('replyto=' + msg['Reply-To'].addresses[0].display_name)
print('org=' + msg['Organization'])
print('extra=' + msg['X-Napomena'])
for part in msg.walk():
    if part.get_content_type() == 'text/plain':
        print('text=' + part.get_content().strip())
    elif part.get_content_type() == 'text/html':
        print('html=' + part.get_content().strip())
    elif part.get_filename():
        print('file=' + part.get_filename() + ' ' + repr(part.get_payload(decode=True)[:4]))
)PY");
  auto r =
      RunProcess({"/usr/bin/python3", dir_.File("read.py"), dir_.File("msg.eml")}, dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "subject=" + p.subject +
                       "\n"
                       "from=Računovodstvo Šibenik\n"
                       "to=Horvat, Ivo|Ana Đurić\n"
                       "cc=Žana\n"
                       "replyto=Služba\n"
                       "org=Tvrtka d.o.o. Čakovec\n"
                       "extra=Dnevna arhiva – utorak\n"
                       "text=Arhiva je u privitku, šaljem.\n"
                       "html=<p>Pozdrav iz Đakova</p>\n"
                       "file=čćž.png b'\\x89PNG'\n"
                       "file=" +
                       longName + " b'sadr'\n");
#endif

  // Plain ASCII headers stay exactly as they were without the option.
  MessageParts ascii = BaseParts();
  ascii.text = kText;
  ascii.attachmentList = dir_.File("data.bin");
  const std::string plain = Compose(ascii);
  ascii.encodeHeaders = true;
  EXPECT_EQ(Compose(ascii), plain);
}

}  // namespace
}  // namespace verdan::mail
