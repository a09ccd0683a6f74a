#include "gui/archive_view.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <regex>
#include <vector>

#include "app/archive_password.h"
#include "app/tables.h"
#include "gui/session.h"
#include "gui_test_support.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace verdan::gui {
namespace {

using platform::CivilDate;

using testing::FindView;
using testing::OpenBox;
using testing::RunSteps;

class ArchiveViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::App();
    verdan::testing::WriteFile(dir.File("KUPCI.TPS"), std::string(200000, 'k'));
    verdan::testing::WriteFile(dir.File("racuni.tps"), std::string(50000, 'r'));
    std::filesystem::create_directory(dir.File("backup"));
    // Settings: source here, destination the backup folder, naming by weekday.
    verdan::testing::ScriptedUi scripted;
    app::Program seed(scripted);
    ASSERT_TRUE(app::OpenTable(seed, seed.email));
    app::LoadEmailSettings(seed);
    seed.run.ZAVDIR = platform::FitField(dir.File("backup") + "/", 127);
    app::SaveEmailSettings(seed);
    app::CloseTable(seed.email);
  }
  verdan::testing::TempDir dir;
  verdan::testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{platform::DayCountFromDate(CivilDate{2006, 3, 6}), 0};
  platform::ScopedClock scopedClock{clock};
};

TEST_F(ArchiveViewTest, FirstButtonOpensAWorkingArchivingWindow) {
  QtUi ui;
  app::Program program(ui);
  QString shownText;
  testing::Steps steps = {
      [](FrameView& f) {
        if (!f.Button(app::FrameButton::kArchive)->isEnabled()) return false;
        f.Button(app::FrameButton::kArchive)->click();
        return true;
      },
      [](FrameView& f) {
        ArchiveView* v = FindView<ArchiveView>(f);
        if (!v) return false;
        EXPECT_EQ(v->windowTitle(), "ARHIVIRANJE DATOTEKA ");
        EXPECT_EQ(static_cast<QPushButton*>(v->Control(4))->text(), "NA &TVRDI DISK");
        EXPECT_FALSE(v->Control(7)->isEnabled());
        EXPECT_TRUE(v->Control(14)->isHidden());
        EXPECT_EQ(static_cast<QLineEdit*>(v->Control(20))->text(), "E");
        static_cast<QPushButton*>(v->Control(4))->click();
        return true;
      },
      [&](FrameView& f) {
        QMessageBox* box = OpenBox();
        if (!box) return false;
        // The run's last message is open: the window is still busy and shows how far it got.
        ArchiveView* v = FindView<ArchiveView>(f);
        EXPECT_TRUE(v && v->Busy());
        EXPECT_FALSE(v->Control(4)->isEnabled());
        auto* text = v->findChild<QLabel*>("progressText");
        auto* bar = v->findChild<QProgressBar*>("progress");
        if (!text->isVisible()) return false;  // the last report is on its way
        EXPECT_TRUE(bar->isVisible());
        EXPECT_EQ(text->text(), "3 / 3");  // the two data files and the settings table
        EXPECT_EQ(bar->value(), 1000);
        shownText = box->text();
        box->button(QMessageBox::Ok)->click();
        return true;
      },
      [](FrameView& f) {
        ArchiveView* v = FindView<ArchiveView>(f);
        if (!v || v->Busy()) return false;
        QString active = static_cast<QLineEdit*>(v->Control(21))->text();
        if (active.isEmpty()) return false;
        EXPECT_TRUE(active.endsWith("backup/PONEDJELJAK.zip")) << active.toStdString();
        EXPECT_TRUE(v->Control(4)->isEnabled());
        // The window tells the last run from the log of runs.
        const std::string last = v->findChild<QLabel*>("lastRun")->text().toStdString();
        EXPECT_TRUE(std::regex_match(last, std::regex("Zadnje: 2006-03-06 00:00 backup /.*/backup/"
                                                      "PONEDJELJAK\\.zip, 3 datoteka, \\d+ KB, "
                                                      "\\d+\\.\\d\\d s: OK")))
            << last;
        static_cast<QPushButton*>(v->Control(24))->click();
        return true;
      },
      [](FrameView& f) {
        if (FindView<ArchiveView>(f)) return false;
        f.Button(app::FrameButton::kEnd)->click();
        return true;
      },
  };
  std::size_t reached = 0;
  int status = RunSteps(program, ui, steps, reached);
  EXPECT_EQ(reached, steps.size());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(shownText, " Arhiviranje uspješno završilo !");
  EXPECT_TRUE(std::filesystem::exists(dir.File("backup/PONEDJELJAK.zip")));
  EXPECT_EQ(program.windows.Running(), 0u);
}

TEST_F(ArchiveViewTest, OptionsButtonOpensSourceAndDestinationWindow) {
  QtUi ui;
  app::Program program(ui);
  testing::Steps steps = {
      [](FrameView& f) {
        if (!f.Button(app::FrameButton::kOptions)->isEnabled()) return false;
        f.Button(app::FrameButton::kOptions)->click();
        return true;
      },
      [](FrameView& f) {
        SourceDestView* v = FindView<SourceDestView>(f);
        if (!v) return false;
        EXPECT_EQ(v->Tabs()->tabText(0), "Osnovne");
        EXPECT_EQ(v->Tabs()->tabText(1), "Napredne");
        auto* radio = static_cast<QRadioButton*>(v->Control(archive::kSdRadioDay));
        EXPECT_TRUE(radio->isChecked());
        v->Tabs()->setCurrentIndex(1);
        static_cast<QRadioButton*>(v->Control(archive::kSdRadioMix))->click();
        auto* disk = static_cast<QLineEdit*>(v->Control(archive::kSdDiskEntry));
        disk->setFocus();
        disk->setText("F");
        disk->setModified(true);
        emit disk->editingFinished();
        // The archive password is typed hidden.
        auto* password = static_cast<QLineEdit*>(v->Control(archive::kSdArchivePasswordEntry));
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
        EXPECT_EQ(password->placeholderText().toStdString(), archive::kArchivePasswordNoneHint);
        password->setText("Ured 9");
        password->setModified(true);
        emit password->editingFinished();
        return true;
      },
      [&program](FrameView& f) {
        SourceDestView* v = FindView<SourceDestView>(f);
        // The window's answer to the click reaches the view after the program's state has
        // changed, so both are waited for.
        if (!v || platform::TrimRightCopy(program.run.TIP_ARH) != "mix" ||
            program.run.OZNAKAARHIVDISKA != "F" ||
            !static_cast<QRadioButton*>(v->Control(archive::kSdRadioMix))->isChecked() ||
            static_cast<QLineEdit*>(v->Control(archive::kSdArchivePasswordEntry))
                    ->placeholderText()
                    .toStdString() != archive::kArchivePasswordSetHint)
          return false;
        static_cast<QPushButton*>(v->Control(archive::kSdClose))->click();
        return true;
      },
      [](FrameView& f) {
        if (FindView<SourceDestView>(f)) return false;
        f.Button(app::FrameButton::kEnd)->click();
        return true;
      },
  };
  std::size_t reached = 0;
  EXPECT_EQ(RunSteps(program, ui, steps, reached), 0);
  EXPECT_EQ(reached, steps.size());
  // "Zatvori" stored the settings: a fresh load reads them back.
  verdan::testing::ScriptedUi scripted;
  app::Program again(scripted);
  ASSERT_TRUE(app::OpenTable(again, again.email));
  app::LoadEmailSettings(again);
  EXPECT_EQ(platform::TrimRightCopy(again.run.TIP_ARH), "mix");
  EXPECT_EQ(again.run.OZNAKAARHIVDISKA, "F");
  app::CloseTable(again.email);
  std::string password, problem;
  EXPECT_TRUE(app::LoadArchivePassword(password, problem)) << problem;
  EXPECT_EQ(password, "Ured 9");
}

QFileDialog* OpenFileDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) return d;
  return nullptr;
}

// Types a path into a file dialog and accepts it, as the user does.
void TypeAndAccept(QFileDialog* dialog, const std::string& path) {
  auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(edit, nullptr);
  edit->setText(QString::fromStdString(path));
  static_cast<QDialog*>(dialog)->accept();
}

// The directory and archive dialogs take paths as long as the receiving setting holds (127
// characters for a directory, 126 for an archive), longer than the 79 of the dialogs' old
// name buffer, and refuse longer ones with the limit in the message.
TEST_F(ArchiveViewTest, DialogsTakePathsAsLongAsTheSettingsHold) {
  std::string longDir = dir.path();
  while (longDir.size() < 100) longDir += "/" + std::string(20, 'p');
  std::string tooLong = longDir;
  while (tooLong.size() < 140) tooLong += "/" + std::string(20, 'q');
  std::filesystem::create_directories(tooLong);
  std::string archive = longDir + "/" + std::string(120 - longDir.size(), 'a') + ".zip";
  verdan::testing::WriteFile(archive, "PK");
  ASSERT_GT(archive.size(), 79u);
  ASSERT_LE(archive.size(), 126u);
  QtUi ui;
  app::Program program(ui);
  QString refusal;
  auto source = [&program] { return platform::TrimRightCopy(program.run.POCDIR); };
  std::string before;
  testing::Steps steps = {
      [](FrameView& f) {
        if (!f.Button(app::FrameButton::kOptions)->isEnabled()) return false;
        f.Button(app::FrameButton::kOptions)->click();
        return true;
      },
      [&](FrameView& f) {
        SourceDestView* v = FindView<SourceDestView>(f);
        if (!v) return false;
        before = source();
        static_cast<QPushButton*>(v->Control(archive::kSdSourceButton))->click();
        return true;
      },
      [&](FrameView&) {
        QFileDialog* d = OpenFileDialog();
        if (!d) return false;
        TypeAndAccept(d, longDir);
        return true;
      },
      [&](FrameView& f) {
        if (source() != longDir) return false;
        static_cast<QPushButton*>(FindView<SourceDestView>(f)->Control(archive::kSdSourceButton))
            ->click();
        return true;
      },
      [&](FrameView&) {
        QFileDialog* d = OpenFileDialog();
        if (!d) return false;
        TypeAndAccept(d, tooLong);
        return true;
      },
      [&](FrameView&) {
        QMessageBox* box = OpenBox();
        if (!box) return false;
        refusal = box->text();
        box->button(QMessageBox::Ok)->click();
        return true;
      },
      [&](FrameView& f) {
        if (OpenBox()) return false;
        EXPECT_EQ(source(), longDir);
        static_cast<QPushButton*>(FindView<SourceDestView>(f)->Control(archive::kSdClose))->click();
        return true;
      },
      [](FrameView& f) {
        if (FindView<SourceDestView>(f)) return false;
        f.Button(app::FrameButton::kArchive)->click();
        return true;
      },
      [](FrameView& f) {
        ArchiveView* v = FindView<ArchiveView>(f);
        if (!v || !v->Control(archive::kCtlChooseArchive)->isEnabled()) return false;
        static_cast<QPushButton*>(v->Control(archive::kCtlChooseArchive))->click();
        return true;
      },
      [&](FrameView&) {
        QFileDialog* d = OpenFileDialog();
        if (!d) return false;
        TypeAndAccept(d, archive);
        return true;
      },
      [&](FrameView& f) {
        ArchiveView* v = FindView<ArchiveView>(f);
        if (!v || static_cast<QLineEdit*>(v->Control(archive::kCtlZipArchive))->text().isEmpty())
          return false;
        EXPECT_EQ(
            static_cast<QLineEdit*>(v->Control(archive::kCtlZipArchive))->text().toStdString(),
            archive);
        static_cast<QPushButton*>(v->Control(archive::kCtlClose))->click();
        return true;
      },
      [](FrameView& f) {
        if (FindView<ArchiveView>(f)) return false;
        f.Button(app::FrameButton::kEnd)->click();
        return true;
      },
  };
  std::size_t reached = 0;
  EXPECT_EQ(RunSteps(program, ui, steps, reached), 0);
  EXPECT_EQ(reached, steps.size());
  EXPECT_EQ(refusal.toStdString(), "Ime direktorija je predugo (najviše 127 znakova):\n" + tooLong);
  EXPECT_NE(before, longDir);
}

}  // namespace
}  // namespace verdan::gui
