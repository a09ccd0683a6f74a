// The two e-mail windows "Pošalji aktivnu arhivu kao privitak na e-mail": the settings
// window, where the user types the SMTP server, port, credentials, sender, recipients,
// subject and attachment, and the send window, which shows only the attachment (pre-filled
// with the active archive) and takes the rest from the saved settings.
//
// Each window owns one NetEmailSend for its whole life, created on the window's own thread;
// every event of the window is handed to the object's TakeEvent first, so server replies
// advance the SMTP dialogue while the window stays usable ("Prekini", more "&Šalji").
//
// Where the SMTP settings come from: the settings window loads server, port, user name,
// password, sender, recipients and subject from the `email` record when it opens, and stores
// the fields the user changed back into the record when it closes (before the run settings
// are saved). The send window reads them from the record at every "&Šalji", so it always
// sends with what was last saved. The record's built-in placeholder credentials count as none
// (see mail_settings.h). The TLS mode and CA file are kept in verdan.env (see
// mail_options.h); the settings window edits them too.
//
// `EmailWindow::Run` is the window's procedure on its own thread. A view reads `Snapshot()`
// after each change announced through the listener and forwards input with `Press`, `Edit`
// and `RequestClose`; those are thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/program.h"
#include "mail/mail_options.h"
#include "mail/mail_settings.h"
#include "mail/oauth.h"
#include "platform/event_loop.h"

namespace verdan::net {
class NetDLL;
}

namespace verdan::mail {

inline constexpr const char* kEmailWindowTitle = "Pošalji aktivnu arhivu kao privitak na e-mail";
inline constexpr const char* kEmailFileDialogTitle = "Odaberi arhivu za slanje ...";
inline constexpr const char* kEmailFileFilter = "Zip|*.zip|All|*.*";
inline constexpr const char* kEmailSentText = "E-mail Poslan uspješno";
inline constexpr const char* kEmailSendingMoreText = "Šaljem . ..";
inline constexpr const char* kEmailErrorStatus = "Nastala je greška prilikom slanja !!!";
inline constexpr const char* kEmailAbortedStatus = "Prekinuto od strane korisnika !!!";
inline constexpr const char* kEmailCloseQuestion =
    "Email se još uvijek šalje.|Da li ste sigurni da želite prekinuti?";
inline constexpr const char* kEmailCloseCaption = "P A Ž NJ A !!! ";
inline constexpr const char* kEmailSplitQuestion =
    "Poruka je veća nego što poslužitelj prima.|Poslati privitak u dijelovima, svaki u svojoj "
    "poruci?";
// Interval of the timer that moves the progress bar, in hundredths.
inline constexpr std::int32_t kEmailProgressInterval = 25;
// Longest attachment list the window holds.
inline constexpr std::size_t kAttachmentListLength = 1024;

enum class EmailWindowKind { kSettings, kSend };

// The entries of the windows (the send window has only the attachment).
enum EmailField : int {
  kFieldServer = 1,
  kFieldPort,
  kFieldUser,
  kFieldPassword,
  kFieldFrom,
  kFieldTo,
  kFieldSubject,
  kFieldAttachment,
  kFieldTls,     // settings window: "none", "starttls", "implicit" or "cleartext"
  kFieldCaFile,  // settings window
  kFieldSignIn,  // settings window: "zaporka", "microsoft", "google" or "drugo"
};

// The buttons of the windows.
enum EmailButton : int { kEmailBrowse = 1, kEmailSend, kEmailClose, kEmailAbort, kEmailSignIn };

struct EmailWindowState {
  EmailWindowKind kind = EmailWindowKind::kSend;
  std::string title = kEmailWindowTitle;
  std::string server;  // 80
  std::uint16_t port = 25;
  std::string user;         // 255
  std::string password;     // 255
  std::string from;         // 255
  std::string to;           // 1024
  std::string subject;      // 255
  std::string attachments;  // 1024
  TlsMode tls = TlsMode::kNone;
  std::string caFile;
  std::string status;
  bool progressVisible = false;
  std::int32_t progress = 0;     // 0..1000
  int attachmentSelections = 0;  // counts the times the attachment entry is to be selected
  int statusSelections = 0;      // counts the times the status text is to be selected
  bool open = false;
  bool closed = false;
  // Settings window: the sign-in kind ("" for the password, "microsoft", "google",
  // "custom"), whether a token is kept, and while a sign-in waits, where and with which
  // code the user signs in.
  std::string signIn;
  bool tokenStored = false;
  bool signingIn = false;
  std::string signInAddress;
  std::string signInCode;
};

// Events posted to the window's thread.
inline constexpr std::int32_t kEventEmailPress = platform::kEventUser + 40;     // wparam: button
inline constexpr std::int32_t kEventEmailEdit = platform::kEventUser + 41;      // wparam: field
inline constexpr std::int32_t kEventEmailSignedIn = platform::kEventUser + 42;  // data: result

// The attachment list for a file dialog's answer: one file as it is; several files as the
// directory followed by the names, all separated by "|" (the composer turns that into a list
// of full paths). Empty, with `problem` set, when a name could not stand in the list.
std::string AttachmentListOf(const std::vector<std::string>& files, std::string& problem);

class EmailWindow {
 public:
  // `layer` is the socket layer the window's object uses (the program's own when null).
  EmailWindow(app::Program& program, EmailWindowKind kind, net::NetDLL* layer = nullptr);
  ~EmailWindow();

  void SetListener(std::function<void()> listener);
  void Run(platform::EventQueue& queue);

  EmailWindowState Snapshot() const;
  platform::ThreadId Thread() const;

  bool Press(EmailButton button) const;
  bool Edit(EmailField field, const std::string& text) const;
  // The window's close box: asks first while messages are still queued.
  bool RequestClose() const;

 private:
  class Object;
  bool Post(platform::Event event) const;
  void Publish();
  void Open(platform::EventQueue& queue);
  void ApplyEdit(EmailField field, const std::string& text);
  void Browse();
  void Send();
  bool TakeAccessToken(NetEmailSend& e, const MailOptions& options, const std::string& attachments);
  void OfferSplit();
  // The sign-in by token ("Prijava"): the device grant, its polling on a thread of its own.
  void StartSignIn();
  void FinishSignIn(const TokenResult& result);
  void StopSignIn();
  bool MayClose();
  void Close();
  void SetStatus(const std::string& text);

  app::Program& program_;
  const EmailWindowKind kind_;
  net::NetDLL* layer_;
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  EmailWindowState state_;  // under mutex_; written on the window's thread only
  platform::ThreadId thread_ = 0;
  // Window-thread state.
  std::unique_ptr<Object> email_;
  ProfileLists lists_;
  unsigned edited_ = 0;         // SmtpField mask of the settings the user changed
  bool optionsEdited_ = false;  // the TLS mode or the CA file was changed
  bool splitOnce_ = false;      // the next send splits an attachment too big for the server
  MailOptions options_;         // as verdan.env had them when the window opened
  bool holdsTable_ = false;
  std::string logFile_;  // the log of runs in the working directory
  std::chrono::steady_clock::time_point sendStarted_{};
  OAuthConfig signInConfig_;             // the sign-in being made
  std::thread signInWorker_;             // polls the token endpoint while the user signs in
  std::atomic<bool> stopSignIn_{false};  // set when the window closes
};

}  // namespace verdan::mail
