#include "gui/qt_ui.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <atomic>
#include <filesystem>
#include <thread>

#include "gui_test_support.h"
#include "platform/paths.h"
#include "support/temp_dir.h"
#include "platform/event_loop.h"

namespace verdan::gui {
namespace {

using testing::App;
using testing::ProcessUntil;

QMessageBox* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
  return nullptr;
}

TEST(QtUiHelpers, EscapeAnswerAndNameFilters) {
  platform::MessageSpec request;
  EXPECT_EQ(EscapeAnswer(request), platform::kButtonOk);
  request.buttons = platform::kButtonYes | platform::kButtonNo;
  EXPECT_EQ(EscapeAnswer(request), platform::kButtonNo);
  request.buttons = platform::kButtonYes | platform::kButtonNo | platform::kButtonCancel;
  EXPECT_EQ(EscapeAnswer(request), platform::kButtonCancel);
  request.namedButtons = "&Raspakiraj|&Odustani";
  EXPECT_EQ(EscapeAnswer(request), 2u);

  EXPECT_EQ(QtNameFilters("Zip datoteke|*.zip|Sve datoteke|*.*"),
            (std::vector<std::string>{"Zip datoteke (*.zip)", "Sve datoteke (*)"}));
  EXPECT_EQ(QtNameFilters("Podaci|*.tps;*.TPS"),
            (std::vector<std::string>{"Podaci (*.tps *.TPS)"}));
  EXPECT_TRUE(QtNameFilters("").empty());
  // A name without its pattern is dropped rather than guessed.
  EXPECT_EQ(QtNameFilters("Zip|*.zip|Ostalo"), (std::vector<std::string>{"Zip (*.zip)"}));
}

TEST(QtUi, BoxFromAWindowThreadWaitsForTheAnswerWhileOtherWindowsGoOn) {
  App();
  QtUi ui;
  platform::WindowThreads windows;
  std::atomic<unsigned> answer{0};
  std::atomic<bool> answered{false};
  windows.Start([&](platform::EventQueue&) {
    platform::MessageSpec request;
    request.text = "Pazite!! |Druga linija";
    request.caption = "PAŽNJA!";
    request.icon = platform::Icon::kExclamation;
    request.namedButtons = "&Raspakiraj|&Odustani";
    request.defaultButton = 2;
    answer = ui.Message(request);
    answered = true;
  });
  std::atomic<int> handled{0};
  platform::ThreadId other = windows.Start([&](platform::EventQueue& q) {
    while (q.Wait().code != platform::kEventClose) ++handled;
  });

  QMessageBox* box = nullptr;
  ASSERT_TRUE(ProcessUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_EQ(box->text(), "Pazite!! \nDruga linija");
  EXPECT_EQ(box->windowTitle(), "PAŽNJA!");
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  ASSERT_EQ(box->buttons().size(), 2);
  ASSERT_NE(box->defaultButton(), nullptr);
  EXPECT_EQ(box->defaultButton()->text(), "&Odustani");

  // The box holds its own window only: another window's loop goes on meanwhile.
  for (int i = 0; i < 5; ++i) platform::PostToThread(other, platform::Event{platform::kEventUser});
  ASSERT_TRUE(ProcessUntil([&] { return handled == 5; }));
  EXPECT_FALSE(answered);

  for (QAbstractButton* b : box->buttons())
    if (b->text() == "&Raspakiraj") b->click();
  ASSERT_TRUE(ProcessUntil([&] { return answered.load(); }));
  EXPECT_EQ(answer, 1u);
  windows.CloseAll();
  windows.JoinAll();
}

TEST(QtUi, StandardButtonsAnswerTheirValuesAndEscapeTakesTheEscapeAnswer) {
  App();
  QtUi ui;
  platform::WindowThreads windows;
  std::atomic<int> step{0};
  std::vector<unsigned> answers;
  windows.Start([&](platform::EventQueue&) {
    platform::MessageSpec request;
    request.text = "Do you want to rebuild the key?";
    request.buttons = platform::kButtonYes | platform::kButtonNo;
    request.defaultButton = platform::kButtonYes;
    answers.push_back(ui.Message(request));
    step = 1;
    request.buttons = platform::kButtonRetry | platform::kButtonCancel;
    request.defaultButton = platform::kButtonCancel;
    answers.push_back(ui.Message(request));
    step = 2;
  });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(ProcessUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
  box->button(QMessageBox::No)->click();
  ASSERT_TRUE(ProcessUntil([&] { return step == 1 && (box = OpenBox()) != nullptr; }));
  box->close();  // closed without a choice
  ASSERT_TRUE(ProcessUntil([&] { return step == 2; }));
  windows.JoinAll();
  EXPECT_EQ(answers, (std::vector<unsigned>{platform::kButtonNo, platform::kButtonCancel}));
}

TEST(QtUi, ShutdownReleasesWaitingWindowsAndLaterCallsAnswerAtOnce) {
  App();
  QtUi ui;
  platform::WindowThreads windows;
  std::atomic<unsigned> first{0}, second{0};
  std::atomic<int> done{0};
  windows.Start([&](platform::EventQueue&) {
    platform::MessageSpec request;
    request.text = "Čekam";
    request.buttons = platform::kButtonOk | platform::kButtonCancel;
    first = ui.Message(request);
    second = ui.Message(request);
    std::string dir = "/tmp";
    EXPECT_FALSE(ui.ChooseDirectory("Odaberi", dir, 79));
    EXPECT_TRUE(ui.FileOpen(platform::FileOpenSpec{}).empty());
    std::string password;
    EXPECT_FALSE(ui.AskPassword(platform::PasswordSpec{}, password));
    ++done;
  });
  ASSERT_TRUE(ProcessUntil([] { return OpenBox() != nullptr; }));
  ui.Shutdown();
  windows.JoinAll();  // would hang if a caller were left waiting
  EXPECT_EQ(done, 1);
  EXPECT_EQ(first, platform::kButtonCancel);
  EXPECT_EQ(second, platform::kButtonCancel);
  EXPECT_TRUE(ProcessUntil([] { return OpenBox() == nullptr; }));
}

TEST(QtUi, ProgressReachesTheWindowsSinkAndEndsWithTheLastReport) {
  App();
  QtUi ui;
  platform::WindowThreads windows;
  std::vector<platform::ProgressInfo> seen, seenDefault;
  std::atomic<bool> finished{false};
  platform::ThreadId worker = windows.Start([&](platform::EventQueue& q) {
    while (q.Wait().code != platform::kEventUser) {
    }
    for (int i = 1; i <= 500; ++i) {
      platform::ProgressInfo info;
      info.what = "KUPCI.TPS";
      info.filesDone = i;
      info.filesTotal = 500;
      info.finished = i == 500;
      ui.Progress(info);
    }
    finished = true;
  });
  ui.SetProgressSink(worker, [&](const platform::ProgressInfo& info) { seen.push_back(info); });
  ui.SetDefaultProgressSink(
      [&](const platform::ProgressInfo& info) { seenDefault.push_back(info); });
  platform::PostToThread(worker, platform::Event{platform::kEventUser});
  ASSERT_TRUE(ProcessUntil([&] { return finished && !seen.empty() && seen.back().finished; }));
  windows.JoinAll();
  EXPECT_LE(seen.size(), 500u);
  EXPECT_EQ(seen.back().filesDone, 500);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1].filesDone, seen[i].filesDone);
  EXPECT_TRUE(seenDefault.empty());

  // A thread without a sink of its own reports to the default sink.
  std::thread loose([&] { ui.Progress(platform::ProgressInfo{"x", 1, 2, 0, 0, false}); });
  loose.join();
  EXPECT_TRUE(ProcessUntil([&] { return !seenDefault.empty(); }));
}

TEST(QtUi, WaitCursorFollowsTheWindowsThatAskForIt) {
  App();
  QtUi ui;
  std::thread a([&] { ui.SetWaitCursor(true); });
  a.join();
  ASSERT_TRUE(ProcessUntil([] { return QApplication::overrideCursor() != nullptr; }));
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  std::thread b([&] { ui.SetWaitCursor(false); });
  b.join();
  EXPECT_TRUE(ProcessUntil([] { return QApplication::overrideCursor() == nullptr; }));
}

// Types a name into a file dialog and accepts it, as the user does.
void TypeNameAndAccept(QFileDialog* dialog, const QString& name) {
  auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(edit, nullptr);
  edit->setText(name);
  static_cast<QDialog*>(dialog)->accept();
}

TEST(QtUi, FileOpenReturnsTheChosenFileAndRefusesOneTooLongForTheCaller) {
  App();
  QtUi ui;
  verdan::testing::TempDir dir;
  std::string chosen = dir.File("PETAK.zip");
  verdan::testing::WriteFile(chosen, "PK");
  std::string before = platform::CurrentDirectory();
  platform::WindowThreads windows;
  std::vector<std::vector<std::string>> results;
  std::atomic<int> step{0};
  windows.Start([&](platform::EventQueue&) {
    platform::FileOpenSpec request;
    request.title = "Odaberi arhivu";
    request.filter = "Zip arhive|*.zip|Sve datoteke|*.*";
    request.startPath = dir.path();
    request.nameBufferLength = 126;
    request.keepCurrentDirectory = false;
    results.push_back(ui.FileOpen(request));
    step = 1;
    request.nameBufferLength = 5;  // the caller cannot hold the name
    results.push_back(ui.FileOpen(request));
    step = 2;
  });
  auto openDialog = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) return d;
    return static_cast<QFileDialog*>(nullptr);
  };
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(ProcessUntil([&] { return (dialog = openDialog()) != nullptr; }));
  EXPECT_EQ(dialog->windowTitle(), "Odaberi arhivu");
  EXPECT_EQ(dialog->nameFilters(), (QStringList{"Zip arhive (*.zip)", "Sve datoteke (*)"}));
  TypeNameAndAccept(dialog, "PETAK.zip");
  ASSERT_TRUE(ProcessUntil([&] { return step == 1 && (dialog = openDialog()) != nullptr; }))
      << step;
  TypeNameAndAccept(dialog, "PETAK.zip");
  QMessageBox* box = nullptr;
  ASSERT_TRUE(ProcessUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_NE(box->text().indexOf("predugo"), -1);
  box->button(QMessageBox::Ok)->click();
  ASSERT_TRUE(ProcessUntil([&] { return step == 2; }));
  windows.JoinAll();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], (std::vector<std::string>{chosen}));
  EXPECT_TRUE(results[1].empty());
  // Not keeping the current directory makes the chosen file's directory current.
  EXPECT_EQ(platform::CurrentDirectory(), std::filesystem::canonical(dir.path()).string());
  platform::ChangeDirectory(before);
}

// A password dialog from a window thread hides what is typed and answers it; cancelled, it
// answers nothing.
TEST(QtUi, PasswordDialogHidesTheTypingAndAnswersWhatWasTyped) {
  App();
  QtUi ui;
  platform::WindowThreads windows;
  std::vector<std::pair<bool, std::string>> results;
  std::atomic<int> step{0};
  windows.Start([&](platform::EventQueue&) {
    platform::PasswordSpec request{"Zaporka arhive", "Arhiva je šifrirana.|Upišite zaporku:"};
    for (int i = 0; i < 2; ++i) {
      std::string password = "nepromijenjena";
      const bool given = ui.AskPassword(request, password);
      results.emplace_back(given, password);
      step = i + 1;
    }
  });
  auto openDialog = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QInputDialog*>(w); d && d->isVisible()) return d;
    return static_cast<QInputDialog*>(nullptr);
  };
  QInputDialog* dialog = nullptr;
  ASSERT_TRUE(ProcessUntil([&] { return (dialog = openDialog()) != nullptr; }));
  EXPECT_EQ(dialog->windowTitle(), "Zaporka arhive");
  EXPECT_EQ(dialog->labelText(), QString::fromUtf8("Arhiva je šifrirana.\nUpišite zaporku:"));
  EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
  dialog->setTextValue(QString::fromUtf8("Ključ 7"));
  dialog->accept();
  ASSERT_TRUE(ProcessUntil([&] { return step == 1 && (dialog = openDialog()) != nullptr; }));
  dialog->reject();
  ASSERT_TRUE(ProcessUntil([&] { return step == 2; }));
  windows.JoinAll();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], (std::pair<bool, std::string>{true, "Ključ 7"}));
  EXPECT_EQ(results[1], (std::pair<bool, std::string>{false, "nepromijenjena"}));
}

}  // namespace
}  // namespace verdan::gui
