// Where the e-mail road keeps its settings: the SMTP fields of the `email` record (server,
// port, credentials, sender, recipients, subject) and the keys of the settings file
// `verdan.env` (section "Email_Postavke": address lists, organisation, file lists).
//
// The record is read and written through the program-wide record buffer `PEM`, as every
// user of the table does; the table must be open. The settings file is read and written one
// key at a time through the profile-file port, in the working directory.
//
// Thread-safety: as the tables' routines (no lock of their own; the data layer keeps the file
// consistent); the settings-file calls are serialised by the profile-file port.
#pragma once

#include <cstdint>
#include <string>

#include "app/program.h"

namespace verdan::mail {

inline constexpr const char* kSettingsFile = "verdan.env";
inline constexpr const char* kSettingsSection = "Email_Postavke";

// The window variables kept in the settings file.
struct ProfileLists {
  std::string cc;              // "CC", 1024
  std::string bcc;             // "BCC", 1024
  std::string replyTo;         // "ReplyTo", 255 (written, never read back)
  std::string organization;    // "Organization", 255
  std::string attachmentList;  // "AttachmentList", 1024 (written, never read back)
  std::string embedList;       // "EmbedList", 1024
};

// Reads "CC", "BCC", "Organization" and "EmbedList" (trailing spaces removed; a missing file
// or key reads as empty). The other two members are left as they are.
void ReadProfileLists(ProfileLists& lists);
// Writes "CC", "BCC", "ReplyTo", "Organization", "AttachmentList" and "EmbedList", in that
// order, with trailing spaces removed. Failures are not reported.
void WriteProfileLists(const ProfileLists& lists);

// The SMTP settings of the `email` record, trimmed.
struct SmtpSettings {
  std::string server;
  std::uint16_t port = 25;
  std::string user;
  std::string password;
  std::string from;
  std::string to;
  std::string subject;
};

// Which SMTP settings a store replaces (a mask of these).
enum SmtpField : unsigned {
  kSmtpServer = 1,
  kSmtpPort = 2,
  kSmtpUser = 4,
  kSmtpPassword = 8,
  kSmtpFrom = 16,
  kSmtpTo = 32,
  kSmtpSubject = 64,
};

// A port given as text: 1..65535 (blanks around it allowed), else 0.
std::uint16_t ParsePort(const std::string& text);

// True when `path` is a ZIP archive whose entries are encrypted: its first entry's header
// says so without a password (the program encrypts every entry of an archive or none).
bool IsEncryptedArchive(const std::string& path);

// The plain-text body of a message carrying the files of `attachmentList` (a file list as
// the send windows hold it): `text`, and below it, when an attachment is an encrypted
// archive, the line that says so (never the password).
std::string BodyForAttachments(const std::string& text, const std::string& attachmentList);

// The settings a record holds, without the password (which the record does not hold: see
// LoadSmtpPassword). The record's built-in placeholder user (what a blank user name is
// replaced with when the record is saved) counts as none: without a user of its own a server
// is spoken to without AUTH. A port that is not a number gives 25.
SmtpSettings SmtpSettingsOf(const app::PemRecord& record);

// Fills `settings.password` from the credentials file (platform/credentials.h) when the
// settings have a user; a user stored without a password gets none, and so does the old
// placeholder password. False, with the password empty and `problem` saying why, when the
// file cannot be trusted or read.
bool LoadSmtpPassword(SmtpSettings& settings, std::string& problem);

// Reads the record into the program's buffer and returns its settings with the stored
// password. False (and the settings of an empty record) when the record cannot be read; a
// password that cannot be read is left empty and its problem put in `passwordProblem`.
bool ReadSmtpSettings(app::Program& program, SmtpSettings& settings,
                      std::string* passwordProblem = nullptr);

// Replaces the fields named by `fields` with `settings`: the password in the credentials
// file, the others in the record, which is rewritten (its password field blank). A value
// longer than its field is refused rather than cut (a cut recipient list loses recipients):
// nothing is written, false, and `problem` names the field. A credentials file that cannot
// be trusted or written gives false with the reason in `problem`, the other fields stored
// all the same; a failed rewrite gives false with the data layer's text.
bool StoreSmtpSettings(app::Program& program, const SmtpSettings& settings, unsigned fields,
                       std::string& problem);

}  // namespace verdan::mail
