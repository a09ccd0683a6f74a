// The e-mail windows in the real GUI (Qt's offscreen platform): the settings window is filled
// in and sends an archive to a real SMTP server on loopback; the send window then offers the
// active archive and sends with what the settings window saved.
#include "gui/email_view.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <vector>

#include "app/tables.h"
#include "gui/gui.h"
#include "gui/session.h"
#include "gui_test_support.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"

namespace verdan::gui {
namespace {

using testing::OpenBox;

EmailView* FindEmailView(FrameView& frame, const char* name) {
  for (QMdiSubWindow* sub : frame.Area()->subWindowList())
    if (auto* v = qobject_cast<EmailView*>(sub->widget());
        v && sub->isVisible() && v->objectName() == name)
      return v;
  return nullptr;
}

void Type(QLineEdit* e, const QString& text) {
  e->setText(text);
  e->setModified(true);
}

TEST(EmailView, SettingsWindowSendsToARealServerAndTheSendWindowUsesWhatItSaved) {
  testing::App();
  verdan::testing::TempDir dir;
  verdan::testing::ScopedCwd cwd(dir.path());
  std::filesystem::create_directory(dir.File("out"));
  verdan::testing::WriteFile(dir.File("PONEDJELJAK.zip"), std::string(100000, 'p'));
  ASSERT_FALSE(std::filesystem::exists(dir.File("verdan.env")));
  verdan::testing::SmtpServerProcess server(dir.File("out"));
  ASSERT_FALSE(server.port().empty());
  {
    verdan::testing::ScriptedUi scripted;
    app::Program seed(scripted);
    ASSERT_TRUE(app::OpenTable(seed, seed.email));
    app::LoadEmailSettings(seed);  // the first start's record
    app::CloseTable(seed.email);
  }

  QtUi ui;
  app::Program program(ui);
  program.buffers.AKTIVNAARHIVA = platform::FitField(dir.File("PONEDJELJAK.zip"), 200);
  const QString port = QString::fromStdString(server.port());
  testing::Steps steps = {
      [](FrameView& f) {
        if (!f.Button(app::FrameButton::kEmailSettings)->isEnabled()) return false;
        f.Button(app::FrameButton::kEmailSettings)->click();
        return true;
      },
      [&](FrameView& f) {
        EmailView* v = FindEmailView(f, "emailSettings");
        if (!v || !v->Button(mail::kEmailSend)->isEnabled()) return false;  // not loaded yet
        EXPECT_EQ(v->parentWidget()->windowTitle(),
                  "Pošalji aktivnu arhivu kao privitak na e-mail");
        EXPECT_EQ(v->Sheet()->tabText(0), " &General");
        EXPECT_EQ(v->Field(mail::kFieldServer)->text(), "mail.example.com");
        EXPECT_EQ(v->Field(mail::kFieldPort)->text(), "25");
        EXPECT_EQ(v->Field(mail::kFieldPassword)->echoMode(), QLineEdit::Password);
        EXPECT_EQ(v->Field(mail::kFieldUser)->toolTip(),
                  "User name if SMTP Server requires Authorised Login");
        EXPECT_EQ(v->Button(mail::kEmailBrowse)->toolTip(), "Browse for file(s)");
        EXPECT_FALSE(v->Progress()->isVisible());
        // The login kind: the password, or a token from a provider's sign-in.
        EXPECT_EQ(v->SignIn()->count(), 4);
        EXPECT_EQ(v->SignIn()->currentText(), "Zaporka");
        EXPECT_EQ(v->SignInState()->text(), "");
        v->SignIn()->setCurrentIndex(2);
        emit v->SignIn()->activated(2);
        Type(v->Field(mail::kFieldServer), "127.0.0.1");
        Type(v->Field(mail::kFieldPort), port);
        Type(v->Field(mail::kFieldFrom), "Ured <ured@example.com>");
        Type(v->Field(mail::kFieldTo), "racunovoda@example.org");
        Type(v->Field(mail::kFieldSubject), "Arhiva za ponedjeljak");
        Type(v->Field(mail::kFieldAttachment), QString::fromStdString(dir.File("PONEDJELJAK.zip")));
        // The connection's security: the explicit choice of a login in clear is one of its own.
        auto* security = v->findChild<QComboBox*>("security");
        EXPECT_NE(security, nullptr);
        if (!security) return false;
        EXPECT_EQ(security->currentData().toString(), "none");
        const int clear = security->findData("cleartext");
        EXPECT_EQ(security->itemText(clear), "Bez zaštite, zaporka nešifrirano (port 25)");
        security->setCurrentIndex(clear);
        emit security->activated(clear);
        v->Button(mail::kEmailSend)->click();
        return true;
      },
      [](FrameView& f) {
        EmailView* v = FindEmailView(f, "emailSettings");
        return v && v->SignInState()->text() == "Token nije spremljen: prijavite se." &&
               v->SignIn()->currentText() == "Google";
      },
      [&](FrameView&) {
        QMessageBox* box = OpenBox();
        if (!box) return false;
        EXPECT_EQ(box->text(), "E-mail Poslan uspješno");
        box->button(QMessageBox::Ok)->click();
        return true;
      },
      [](FrameView& f) {
        EmailView* v = FindEmailView(f, "emailSettings");
        if (!v || !v->Status()->text().isEmpty()) return false;
        v->Button(mail::kEmailClose)->click();
        return true;
      },
      [](FrameView& f) {
        if (FindEmailView(f, "emailSettings")) return false;
        f.Button(app::FrameButton::kEmail)->click();
        return true;
      },
      [&](FrameView& f) {
        EmailView* v = FindEmailView(f, "emailSend");
        if (!v || !v->Button(mail::kEmailSend)->isEnabled()) return false;
        EXPECT_EQ(v->Field(mail::kFieldServer), nullptr);
        EXPECT_EQ(v->Field(mail::kFieldTo), nullptr);
        EXPECT_EQ(v->Field(mail::kFieldAttachment)->text().toStdString(),
                  dir.File("PONEDJELJAK.zip"));
        v->Button(mail::kEmailSend)->click();
        return true;
      },
      [](FrameView&) {
        QMessageBox* box = OpenBox();
        if (!box) return false;
        box->button(QMessageBox::Ok)->click();
        return true;
      },
      [](FrameView& f) {
        EmailView* v = FindEmailView(f, "emailSend");
        if (!v || !v->Status()->text().isEmpty()) return false;
        f.Button(app::FrameButton::kEnd)->click();
        return true;
      },
  };
  std::size_t reached = 0;
  int status = testing::RunSteps(program, ui, steps, reached);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(reached, steps.size());
  const std::string first = verdan::testing::ReadFile(dir.File("out/msg1.json"));
  EXPECT_NE(first.find("\"to\": [\"racunovoda@example.org\"]"), std::string::npos) << first;
  EXPECT_NE(first.find("\"login\": null"), std::string::npos) << first;
  const std::string second = verdan::testing::ReadFile(dir.File("out/msg2.eml"));
  EXPECT_NE(second.find("Subject: Arhiva za ponedjeljak"), std::string::npos);
  EXPECT_NE(second.find("filename=\"PONEDJELJAK.zip\""), std::string::npos);
  // There was no settings file: the first window that closed made it.
  const std::string env = verdan::testing::ReadFile(dir.File("verdan.env"));
  EXPECT_NE(env.find("[Email_Postavke]\r\nTLS=cleartext\r\n"), std::string::npos) << env;
  EXPECT_NE(env.find("\r\nCC=\r\nBCC=\r\nReplyTo=\r\nOrganization=\r\nAttachmentList=" +
                     dir.File("PONEDJELJAK.zip") + "\r\n"),
            std::string::npos)
      << env;
}

TEST(EmailView, QtsOwnDialogsSpeakCroatian) {
  testing::App();
  ASSERT_TRUE(InstallQtTranslation(testing::App()));
  EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
  EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
}

}  // namespace
}  // namespace verdan::gui
