// View of the two e-mail windows: the sheet with its " &General" tab, the "Server" and
// "Detalji" groups (the send window shows only the attachment), the progress bar, the
// status text and the three buttons, drawn from what the window logic publishes; input is
// forwarded to the logic's thread. GUI thread only.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <map>
#include <memory>

#include "gui/window_view.h"
#include "mail/email_window.h"

namespace verdan::gui {

class EmailView : public WindowView {
  Q_OBJECT
 public:
  explicit EmailView(std::shared_ptr<mail::EmailWindow> window, QWidget* parent = nullptr);

  void Refresh() override;
  bool CloseRequested() override;

  // For tests: the entry of a field (null when the window has none), a button, the parts.
  QLineEdit* Field(mail::EmailField field) const;
  QPushButton* Button(mail::EmailButton button) const;
  QLabel* Status() const { return status_; }
  QProgressBar* Progress() const { return progress_; }
  QTabWidget* Sheet() const { return sheet_; }
  QComboBox* Security() const { return security_; }
  QComboBox* SignIn() const { return signIn_; }
  QLabel* SignInState() const { return signInState_; }

 private:
  QLineEdit* AddEntry(QWidget* parent, mail::EmailField field);
  void Commit(mail::EmailField field);
  // Hands every changed entry to the logic before a button's press, so that the press acts
  // on what is typed even when the entry never lost the focus (a mnemonic key).
  void CommitAll();

  std::shared_ptr<mail::EmailWindow> window_;
  mail::EmailWindowState state_;
  std::map<mail::EmailField, QLineEdit*> fields_;
  std::map<mail::EmailButton, QPushButton*> buttons_;
  QTabWidget* sheet_ = nullptr;
  QComboBox* security_ = nullptr;  // settings window: how the connection is secured
  QComboBox* signIn_ = nullptr;    // settings window: password or a sign-in by token
  QLabel* signInState_ = nullptr;  // settings window: the code to type, or the token kept
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  int attachmentSelections_ = 0;
  int statusSelections_ = 0;
};

}  // namespace verdan::gui
