// The e-mail options in verdan.env: what is read for missing, unknown and hand-written
// values, a round trip through the file, and their effect on the object.
#include "mail/mail_options.h"

#include <gtest/gtest.h>

#include "mail/net_email_send.h"
#include "net/socket_layer.h"
#include "support/temp_dir.h"

namespace verdan::mail {
namespace {

using testing::ReadFile;
using testing::ScopedCwd;
using testing::TempDir;
using testing::WriteFile;

TEST(MailOptions, ValuesAsWrittenByHandAndRoundTrip) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  // No file: the defaults, which are the program's old behaviour.
  MailOptions none = LoadMailOptions();
  EXPECT_EQ(none.tls, TlsMode::kNone);
  EXPECT_EQ(none.caFile, "");
  EXPECT_FALSE(none.splitOversize);
  EXPECT_FALSE(none.encodeHeaders);

  WriteFile("verdan.env",
            "[Email_Postavke]\r\nCC=ana@example.org\r\nTLS= StartTLS \r\n"
            "CAFile=/etc/ca/privatni.pem   \r\nSplit=da\r\nEncodeHeaders=YES\r\n");
  MailOptions read = LoadMailOptions();
  EXPECT_EQ(read.tls, TlsMode::kStartTls);
  EXPECT_EQ(read.caFile, "/etc/ca/privatni.pem");
  EXPECT_TRUE(read.splitOversize);
  EXPECT_TRUE(read.encodeHeaders);

  WriteFile("verdan.env", "[Email_Postavke]\r\nTLS=ssl\r\nSplit=možda\r\nEncodeHeaders=0\r\n");
  MailOptions unknown = LoadMailOptions();
  EXPECT_EQ(unknown.tls, TlsMode::kNone);
  EXPECT_FALSE(unknown.splitOversize);
  EXPECT_FALSE(unknown.encodeHeaders);

  MailOptions written;
  written.tls = TlsMode::kImplicit;
  written.caFile = "/tmp/ca.pem";
  written.splitOversize = true;
  SaveMailOptions(written);
  const std::string file = ReadFile("verdan.env");
  EXPECT_NE(file.find("TLS=implicit"), std::string::npos) << file;
  EXPECT_NE(file.find("Split=1"), std::string::npos) << file;
  EXPECT_NE(file.find("EncodeHeaders=0"), std::string::npos) << file;
  MailOptions back = LoadMailOptions();
  EXPECT_EQ(back.tls, TlsMode::kImplicit);
  EXPECT_EQ(back.caFile, "/tmp/ca.pem");
  EXPECT_TRUE(back.splitOversize);
  EXPECT_FALSE(back.encodeHeaders);

  TlsMode mode = TlsMode::kImplicit;
  EXPECT_FALSE(ParseTlsMode("tls", mode));
  EXPECT_EQ(mode, TlsMode::kImplicit);  // unchanged
  EXPECT_TRUE(ParseTlsMode("NONE", mode));
  EXPECT_EQ(mode, TlsMode::kNone);
  for (TlsMode m : {TlsMode::kNone, TlsMode::kStartTls, TlsMode::kImplicit, TlsMode::kCleartext}) {
    TlsMode parsed = TlsMode::kNone;
    EXPECT_TRUE(ParseTlsMode(TlsModeName(m), parsed));
    EXPECT_EQ(parsed, m);
  }

  net::NetDLL layer;
  NetEmailSend email(nullptr, &layer);
  email.Init();
  ApplyMailOptions(email, back);
  EXPECT_EQ(email.OPTIONSTLS, TlsMode::kImplicit);
  EXPECT_EQ(email.OPTIONSTLSCAFILE, "/tmp/ca.pem");
  EXPECT_EQ(email.OPTIONSSPLITOVERSIZE, 1);
  EXPECT_EQ(email.OPTIONSENCODEHEADERS, 0);
  email.Kill();
}

}  // namespace
}  // namespace verdan::mail
