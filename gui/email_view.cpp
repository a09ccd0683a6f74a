#include "gui/email_view.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QVBoxLayout>

#include "gui/artwork.h"

namespace verdan::gui {
namespace {

using mail::EmailField;

QString Text(const std::string& s) { return QString::fromStdString(s); }

// Puts a published value into an entry unless the user is in the middle of changing it.
void ShowValue(QLineEdit* edit, const QString& value) {
  if (edit->hasFocus() && edit->isModified()) return;
  if (edit->text() != value) edit->setText(value);
  edit->setModified(false);
}

struct EntryDef {
  EmailField field;
  const char* prompt;
  const char* tip;
  int maxLength;
};

constexpr EntryDef kServerEntries[] = {
    {mail::kFieldServer, "SMTP Server:", "", 80},
    {mail::kFieldPort, "Port (default 25):", "", 6},
    {mail::kFieldUser, "Korisnik:", "User name if SMTP Server requires Authorised Login", 255},
    {mail::kFieldPassword, "Zaporka:", "Password if SMTP Server requires Authorised Login", 255},
};

constexpr EntryDef kDetailEntries[] = {
    {mail::kFieldFrom, "Šalje:", "", 255},
    {mail::kFieldTo, "Prima:", "", 1024},
    {mail::kFieldSubject, "Predmet:", "", 255},
};

}  // namespace

EmailView::EmailView(std::shared_ptr<mail::EmailWindow> window, QWidget* parent)
    : WindowView(parent), window_(std::move(window)) {
  state_ = window_->Snapshot();
  const bool settings = state_.kind == mail::EmailWindowKind::kSettings;
  setObjectName(settings ? "emailSettings" : "emailSend");
  setWindowTitle(Text(state_.title));

  auto* top = new QVBoxLayout(this);
  sheet_ = new QTabWidget(this);
  sheet_->setObjectName("sheet");
  auto* general = new QWidget(sheet_);
  auto* page = new QVBoxLayout(general);

  if (settings) {
    auto* server = new QGroupBox("Server", general);
    server->setObjectName("server");
    auto* grid = new QGridLayout(server);
    int row = 0;
    for (const EntryDef& d : kServerEntries) {
      grid->addWidget(new QLabel(d.prompt, server), row, 0);
      QLineEdit* e = AddEntry(server, d.field);
      e->setMaxLength(d.maxLength);
      if (*d.tip) e->setToolTip(d.tip);
      grid->addWidget(e, row++, 1);
    }
    fields_[mail::kFieldPort]->setValidator(new QIntValidator(1, 65535, fields_[mail::kFieldPort]));
    fields_[mail::kFieldPort]->setMaximumWidth(
        fields_[mail::kFieldPort]->fontMetrics().horizontalAdvance("0000000") + 16);
    fields_[mail::kFieldPassword]->setEchoMode(QLineEdit::Password);
    // How the connection is secured; providers take mail only over TLS.
    grid->addWidget(new QLabel("Zaštita veze:", server), row, 0);
    security_ = new QComboBox(server);
    security_->setObjectName("security");
    security_->addItem("Bez zaštite; zaporka samo preko STARTTLS (port 25)", "none");
    security_->addItem("STARTTLS (port 587)", "starttls");
    security_->addItem("TLS od početka (port 465)", "implicit");
    security_->addItem("Bez zaštite, zaporka nešifrirano (port 25)", "cleartext");
    security_->setToolTip("Poslužitelji pružatelja usluga primaju poštu samo preko zaštićene veze");
    connect(security_, &QComboBox::activated, this, [this](int index) {
      CommitAll();
      window_->Edit(mail::kFieldTls, security_->itemData(index).toString().toStdString());
    });
    grid->addWidget(security_, row++, 1);
    grid->addWidget(new QLabel("CA datoteka:", server), row, 0);
    QLineEdit* ca = AddEntry(server, mail::kFieldCaFile);
    ca->setToolTip(
        "Vlastiti CA certifikati za provjeru poslužitelja (prazno: certifikati sustava)");
    grid->addWidget(ca, row++, 1);
    // The login: the password above, or a token from a provider's sign-in.
    grid->addWidget(new QLabel("Prijava:", server), row, 0);
    auto* signInRow = new QHBoxLayout;
    signIn_ = new QComboBox(server);
    signIn_->setObjectName("signIn");
    signIn_->addItem("Zaporka", "zaporka");
    signIn_->addItem("Microsoft 365", "microsoft");
    signIn_->addItem("Google", "google");
    signIn_->addItem("Drugo (OAuth, postavke u verdan.env)", "drugo");
    connect(signIn_, &QComboBox::activated, this, [this](int index) {
      CommitAll();
      window_->Edit(mail::kFieldSignIn, signIn_->itemData(index).toString().toStdString());
    });
    signInRow->addWidget(signIn_, 1);
    auto* signInButton = new QPushButton("Prijavi se", server);
    signInButton->setObjectName("signInButton");
    signInButton->setToolTip(
        "Prijava kod pružatelja usluga; token za obnovu čuva se u verdan.credentials");
    connect(signInButton, &QPushButton::clicked, this, [this] {
      CommitAll();
      window_->Press(mail::kEmailSignIn);
    });
    buttons_[mail::kEmailSignIn] = signInButton;
    signInRow->addWidget(signInButton);
    grid->addLayout(signInRow, row++, 1);
    signInState_ = new QLabel(server);
    signInState_->setObjectName("signInState");
    signInState_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    signInState_->setWordWrap(true);
    grid->addWidget(signInState_, row++, 1);
    grid->setColumnStretch(1, 1);
    page->addWidget(server);
  }

  auto* details = new QGroupBox("Detalji", general);
  details->setObjectName("details");
  auto* grid = new QGridLayout(details);
  int row = 0;
  if (settings) {
    auto* hint = new QLabel("Format adrese:  Ime Prezime <ime.prezime@tvrtka.hr>", details);
    hint->setObjectName("addressHint");
    grid->addWidget(hint, row++, 0, 1, 3);
    for (const EntryDef& d : kDetailEntries) {
      grid->addWidget(new QLabel(d.prompt, details), row, 0);
      QLineEdit* e = AddEntry(details, d.field);
      e->setMaxLength(d.maxLength);
      grid->addWidget(e, row++, 1, 1, 2);
    }
  }
  grid->addWidget(new QLabel("Privitak:", details), row, 0);
  QLineEdit* attachment = AddEntry(details, mail::kFieldAttachment);
  attachment->setMaxLength(static_cast<int>(mail::kAttachmentListLength));
  grid->addWidget(attachment, row, 1);
  auto* browse = new QPushButton("...", details);
  browse->setObjectName("browse");
  browse->setToolTip("Browse for file(s)");
  connect(browse, &QPushButton::clicked, this, [this] {
    CommitAll();
    window_->Press(mail::kEmailBrowse);
  });
  buttons_[mail::kEmailBrowse] = browse;
  grid->addWidget(browse, row++, 2);
  auto* format = new QLabel("Format privitka:  c:\\datoteka1.zip, c:\\datoteka2.zip", details);
  format->setObjectName("attachmentHint");
  grid->addWidget(format, row++, 1, 1, 2);
  grid->setColumnStretch(1, 1);
  page->addWidget(details);
  page->addStretch(1);
  sheet_->addTab(general, " &General");
  top->addWidget(sheet_);

  progress_ = new QProgressBar(this);
  progress_->setObjectName("progress");
  progress_->setRange(0, 1000);
  progress_->setTextVisible(false);
  top->addWidget(progress_);
  status_ = new QLabel(this);
  status_->setObjectName("status");
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  top->addWidget(status_);

  auto* row2 = new QHBoxLayout;
  auto addButton = [&](mail::EmailButton which, const char* caption, const char* name) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    connect(b, &QPushButton::clicked, this, [this, which] {
      CommitAll();
      window_->Press(which);
    });
    buttons_[which] = b;
    row2->addWidget(b);
  };
  addButton(mail::kEmailSend, "&Šalji", "send");
  buttons_[mail::kEmailSend]->setIcon(ButtonIcon(app::FrameButton::kEmail));
  row2->addStretch(1);
  addButton(mail::kEmailClose, "Zatvori", "close");
  addButton(mail::kEmailAbort, "Prekini", "abort");
  top->addLayout(row2);
  Refresh();
}

QLineEdit* EmailView::AddEntry(QWidget* parent, EmailField field) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString("field%1").arg(static_cast<int>(field)));
  connect(e, &QLineEdit::editingFinished, this, [this, field] { Commit(field); });
  fields_[field] = e;
  return e;
}

QLineEdit* EmailView::Field(EmailField field) const {
  auto it = fields_.find(field);
  return it == fields_.end() ? nullptr : it->second;
}

QPushButton* EmailView::Button(mail::EmailButton button) const {
  auto it = buttons_.find(button);
  return it == buttons_.end() ? nullptr : it->second;
}

void EmailView::Commit(EmailField field) {
  QLineEdit* e = fields_[field];
  if (!e->isModified()) return;
  e->setModified(false);
  window_->Edit(field, e->text().toStdString());
}

void EmailView::CommitAll() {
  for (const auto& [field, entry] : fields_) Commit(field);
}

void EmailView::Refresh() {
  state_ = window_->Snapshot();
  if (auto* sub = parentWidget()) sub->setWindowTitle(Text(state_.title));
  auto show = [this](EmailField field, const std::string& value) {
    if (QLineEdit* e = Field(field)) ShowValue(e, Text(value));
  };
  show(mail::kFieldServer, state_.server);
  show(mail::kFieldPort, std::to_string(state_.port));
  show(mail::kFieldUser, state_.user);
  show(mail::kFieldPassword, state_.password);
  show(mail::kFieldFrom, state_.from);
  show(mail::kFieldTo, state_.to);
  show(mail::kFieldSubject, state_.subject);
  show(mail::kFieldAttachment, state_.attachments);
  show(mail::kFieldCaFile, state_.caFile);
  if (security_) {
    const int index = security_->findData(QString(mail::TlsModeName(state_.tls)));
    if (index >= 0 && security_->currentIndex() != index) security_->setCurrentIndex(index);
  }
  if (signIn_) {
    const int index =
        signIn_->findData(QString::fromStdString(state_.signIn.empty()       ? "zaporka"
                                                 : state_.signIn == "custom" ? "drugo"
                                                                             : state_.signIn));
    if (index >= 0 && signIn_->currentIndex() != index) signIn_->setCurrentIndex(index);
    QString text;
    if (state_.signingIn)
      text = "Otvorite " + Text(state_.signInAddress) + " i upišite kod " + Text(state_.signInCode);
    else if (!state_.signIn.empty())
      text = state_.tokenStored ? "Token je spremljen." : "Token nije spremljen: prijavite se.";
    signInState_->setText(text);
  }
  if (state_.attachmentSelections != attachmentSelections_) {
    attachmentSelections_ = state_.attachmentSelections;
    QLineEdit* e = Field(mail::kFieldAttachment);
    e->setFocus();
    e->selectAll();
  }
  status_->setText(Text(state_.status));
  if (state_.statusSelections != statusSelections_) {
    statusSelections_ = state_.statusSelections;
    if (!state_.status.empty()) status_->setSelection(0, static_cast<int>(status_->text().size()));
  }
  progress_->setVisible(state_.progressVisible);
  progress_->setValue(state_.progress);
  // Until the window has loaded its settings there is nothing to edit: typing then would be
  // overwritten by what it loads.
  sheet_->setEnabled(state_.open && !state_.closed);
  for (const auto& [which, button] : buttons_) button->setEnabled(state_.open && !state_.closed);
}

bool EmailView::CloseRequested() {
  window_->RequestClose();  // the logic asks first while messages are queued
  return false;
}

}  // namespace verdan::gui
