#include "mail/mail_settings.h"

#include "app/archive_password.h"
#include "app/tables.h"
#include "mail/mime.h"
#include "platform/credentials.h"
#include "platform/files.h"
#include "platform/keyed_file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace verdan::mail {
namespace {

using platform::TrimRightCopy;

std::string Trim(const std::string& s) {
  std::string t = TrimRightCopy(s);
  std::size_t b = t.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : t.substr(b);
}

std::string Read(const char* key) {
  return TrimRightCopy(platform::GetProfileString(kSettingsSection, key, "", kSettingsFile));
}

void Write(const char* key, const std::string& value) {
  platform::WriteProfileString(kSettingsSection, key, TrimRightCopy(value), kSettingsFile);
}

// A record field to be replaced: where it goes, how long it may be, and its prompt for
// the message when it does not fit.
struct FieldSlot {
  unsigned mask;
  std::string app::PemRecord::*field;
  std::size_t length;
  const char* prompt;
};

const FieldSlot kFieldSlots[] = {
    {kSmtpServer, &app::PemRecord::SSERVER, app::kPemTextLength, "SMTP Server:"},
    {kSmtpUser, &app::PemRecord::USER, app::kPemTextLength, "Korisnik:"},
    {kSmtpPassword, nullptr, app::kPemTextLength, "Zaporka:"},  // the credentials file
    {kSmtpFrom, &app::PemRecord::FROM, app::kPemTextLength, "Šalje:"},
    {kSmtpTo, &app::PemRecord::TOFIELD, app::kPemTextLength, "Prima:"},
    {kSmtpSubject, &app::PemRecord::SUBJECT, app::kPemTextLength, "Predmet:"},
};

const std::string& ValueOf(const SmtpSettings& s, unsigned mask) {
  switch (mask) {
    case kSmtpServer:
      return s.server;
    case kSmtpUser:
      return s.user;
    case kSmtpPassword:
      return s.password;
    case kSmtpFrom:
      return s.from;
    case kSmtpTo:
      return s.to;
    default:
      return s.subject;
  }
}

std::string ErrorTextOf(const app::TableSlot& table) {
  return table.file ? table.file->LastStatus().text : platform::LastKeyedFileStatus().text;
}

}  // namespace

void ReadProfileLists(ProfileLists& lists) {
  lists.cc = Read("CC");
  lists.bcc = Read("BCC");
  lists.organization = Read("Organization");
  lists.embedList = Read("EmbedList");
}

void WriteProfileLists(const ProfileLists& lists) {
  Write("CC", lists.cc);
  Write("BCC", lists.bcc);
  Write("ReplyTo", lists.replyTo);
  Write("Organization", lists.organization);
  Write("AttachmentList", lists.attachmentList);
  Write("EmbedList", lists.embedList);
}

std::uint16_t ParsePort(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 5) return 0;
  unsigned long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  return v >= 1 && v <= 65535 ? static_cast<std::uint16_t>(v) : 0;
}

SmtpSettings SmtpSettingsOf(const app::PemRecord& r) {
  SmtpSettings s;
  s.server = Trim(r.SSERVER);
  std::uint16_t port = ParsePort(r.PPORT);
  s.port = port != 0 ? port : 25;
  s.user = TrimRightCopy(r.USER);
  if (s.user == app::kDefaultSmtpUser) s.user.clear();
  s.from = TrimRightCopy(r.FROM);
  s.to = TrimRightCopy(r.TOFIELD);
  s.subject = TrimRightCopy(r.SUBJECT);
  return s;
}

bool IsEncryptedArchive(const std::string& path) {
  platform::FileHandle file = platform::OpenFile(path, platform::Access::kRead);
  if (file == platform::kNoFile) return false;
  unsigned char header[8] = {};
  const bool read = platform::ReadAt(file, header, sizeof header, 0) == sizeof header;
  platform::CloseQuietly(file);
  // A local header: "PK\3\4", version needed (2 bytes), general-purpose flags, whose bit 0
  // marks an encrypted entry.
  return read && header[0] == 'P' && header[1] == 'K' && header[2] == 3 && header[3] == 4 &&
         (header[6] & 1) != 0;
}

std::string BodyForAttachments(const std::string& text, const std::string& attachmentList) {
  for (const std::string& file :
       FileListEntries(ConvertFileList(attachmentList, platform::kSeparator))) {
    if (!IsEncryptedArchive(file)) continue;
    return text.empty() ? std::string(app::kEncryptedArchiveMailText)
                        : text + "\r\n\r\n" + app::kEncryptedArchiveMailText;
  }
  return text;
}

bool LoadSmtpPassword(SmtpSettings& settings, std::string& problem) {
  problem.clear();
  settings.password.clear();
  if (settings.user.empty()) return true;  // no user: no authentication, no password needed
  bool found = false;
  std::string password;
  if (!platform::ReadSecret(platform::kCredentialsFile, app::kSmtpPasswordSecret, password, found,
                            problem))
    return false;
  if (password != app::kDefaultSmtpPassword) settings.password = TrimRightCopy(password);
  return true;
}

bool ReadSmtpSettings(app::Program& program, SmtpSettings& settings, std::string* passwordProblem) {
  std::string problem;
  {
    std::lock_guard lock(program.emailRecordMutex);
    app::SetOrder(program, program.email, platform::kRecordOrder);
    if (app::NextRecord(program, program.email) != 0) {
      settings = SmtpSettingsOf(app::PemRecord{});
      return false;
    }
    settings = SmtpSettingsOf(program.PEM);
  }
  LoadSmtpPassword(settings, problem);
  if (passwordProblem) *passwordProblem = problem;
  return true;
}

bool StoreSmtpSettings(app::Program& program, const SmtpSettings& settings, unsigned fields,
                       std::string& problem) {
  problem.clear();
  for (const FieldSlot& slot : kFieldSlots) {
    if ((fields & slot.mask) &&
        platform::CharCount(TrimRightCopy(ValueOf(settings, slot.mask))) > slot.length) {
      problem = std::string("Vrijednost polja \"") + slot.prompt +
                "\" je preduga za spremanje (najviše " + std::to_string(slot.length) + " znakova).";
      return false;
    }
  }
  if (fields == 0) return true;
  // The password goes to the credentials file, never into the table. When that file cannot
  // be trusted, the other settings are stored all the same and the problem is reported.
  std::string secretProblem;
  if ((fields & kSmtpPassword) &&
      !platform::WriteSecret(platform::kCredentialsFile, app::kSmtpPasswordSecret,
                             TrimRightCopy(settings.password), secretProblem))
    problem = secretProblem;
  if ((fields & ~static_cast<unsigned>(kSmtpPassword)) == 0) return problem.empty();
  std::lock_guard lock(program.emailRecordMutex);
  app::TableSlot& table = program.email;
  app::SetOrder(program, table, platform::kRecordOrder);
  if (app::NextRecord(program, table) != 0) {
    problem = " NEXT(email), Greška :" + ErrorTextOf(table);
    return false;
  }
  app::PemRecord& r = program.PEM;
  for (const FieldSlot& slot : kFieldSlots)
    if ((fields & slot.mask) && slot.field)
      r.*slot.field = platform::FitField(TrimRightCopy(ValueOf(settings, slot.mask)), slot.length);
  r.PASSWORD = platform::FitField("", app::kPemTextLength);
  if (fields & kSmtpPort)
    r.PPORT = platform::FitField(std::to_string(settings.port), app::kPemPortLength);
  if (app::PutRecord(program, table) != 0) {
    problem = " PUT(email), Greška :" + ErrorTextOf(table);
    return false;
  }
  return problem.empty();
}

}  // namespace verdan::mail
