#include "gui/qt_ui.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <optional>

#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::gui {
namespace {

constexpr const char* kDefaultCaption = "VERDAN_pro";

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = text.find(sep, start);
    parts.push_back(text.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

struct StandardButton {
  unsigned value;
  QMessageBox::StandardButton qt;
};

constexpr StandardButton kStandardButtons[] = {
    {platform::kButtonOk, QMessageBox::Ok},         {platform::kButtonYes, QMessageBox::Yes},
    {platform::kButtonNo, QMessageBox::No},         {platform::kButtonAbort, QMessageBox::Abort},
    {platform::kButtonRetry, QMessageBox::Retry},   {platform::kButtonIgnore, QMessageBox::Ignore},
    {platform::kButtonCancel, QMessageBox::Cancel},
};

QMessageBox::Icon QtIcon(platform::Icon icon) {
  switch (icon) {
    case platform::Icon::kExclamation:
      return QMessageBox::Warning;
    case platform::Icon::kQuestion:
      return QMessageBox::Question;
    case platform::Icon::kInformation:
      return QMessageBox::Information;
    case platform::Icon::kHand:
      return QMessageBox::Critical;
    case platform::Icon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

bool OnGuiThread(const QObject* object) { return QThread::currentThread() == object->thread(); }

}  // namespace

unsigned EscapeAnswer(const platform::MessageSpec& request) {
  if (!request.namedButtons.empty())
    return static_cast<unsigned>(Split(request.namedButtons, '|').size());
  if (request.buttons & platform::kButtonCancel) return platform::kButtonCancel;
  if (request.buttons & platform::kButtonNo) return platform::kButtonNo;
  return platform::kButtonOk;
}

std::vector<std::string> QtNameFilters(const std::string& filter) {
  std::vector<std::string> out;
  if (filter.empty()) return out;
  std::vector<std::string> parts = Split(filter, '|');
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string patterns;
    for (const std::string& p : Split(parts[i + 1], ';')) {
      std::string pattern(platform::TrimRight(p));
      while (!pattern.empty() && pattern.front() == ' ') pattern.erase(0, 1);
      if (pattern.empty()) continue;
      if (pattern == "*.*") pattern = "*";  // every file, with or without an extension
      if (!patterns.empty()) patterns += ' ';
      patterns += pattern;
    }
    out.push_back(parts[i] + " (" + (patterns.empty() ? "*" : patterns) + ")");
  }
  return out;
}

QtUi::QtUi(QObject* parent) : QObject(parent) {}

QtUi::~QtUi() {
  if (overrideCursor_) QApplication::restoreOverrideCursor();
}

template <class R>
R QtUi::Ask(std::function<void(std::function<void(R)>)> open, R fallback) {
  auto slot = std::make_shared<std::optional<R>>();
  auto finish = [this, slot](R value) {
    {
      std::lock_guard lock(mutex_);
      if (!slot->has_value()) *slot = std::move(value);
    }
    cv_.notify_all();
  };
  if (IsShutdown()) return fallback;
  if (OnGuiThread(this)) {
    // Called from the GUI thread itself: wait in a local loop so that painting goes on.
    QEventLoop loop;
    open([&loop, finish](R value) {
      finish(std::move(value));
      loop.quit();
    });
    {
      std::lock_guard lock(mutex_);
      if (slot->has_value()) return **slot;
    }
    loop.exec();
    std::lock_guard lock(mutex_);
    return slot->has_value() ? **slot : fallback;
  }
  QMetaObject::invokeMethod(
      this,
      [this, open, finish, fallback] {
        if (IsShutdown())
          finish(fallback);
        else
          open(finish);
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return slot->has_value() || shutdown_; });
  return slot->has_value() ? **slot : fallback;
}

unsigned QtUi::Message(const platform::MessageSpec& request) {
  platform::ThreadId caller = platform::CurrentThreadId();
  unsigned escape = EscapeAnswer(request);
  return Ask<unsigned>(
      [this, request, caller, escape](std::function<void(unsigned)> finish) {
        auto* box = new QMessageBox(ParentFor(caller));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowTitle(
            QString::fromStdString(request.caption.empty() ? kDefaultCaption : request.caption));
        box->setText(
            QString::fromStdString(request.text).replace(QLatin1Char('|'), QLatin1Char('\n')));
        box->setIcon(QtIcon(request.icon));
        auto values = std::make_shared<std::map<QAbstractButton*, unsigned>>();
        QAbstractButton* defaultButton = nullptr;
        QAbstractButton* escapeButton = nullptr;
        if (!request.namedButtons.empty()) {
          std::vector<std::string> names = Split(request.namedButtons, '|');
          for (std::size_t i = 0; i < names.size(); ++i) {
            QPushButton* b =
                box->addButton(QString::fromStdString(names[i]), QMessageBox::AcceptRole);
            unsigned value = static_cast<unsigned>(i + 1);
            (*values)[b] = value;
            if (value == request.defaultButton) defaultButton = b;
            if (value == escape) escapeButton = b;
          }
        } else {
          unsigned mask = request.buttons ? request.buttons : unsigned{platform::kButtonOk};
          for (const StandardButton& sb : kStandardButtons) {
            if (!(mask & sb.value)) continue;
            QPushButton* b = box->addButton(sb.qt);
            (*values)[b] = sb.value;
            if (sb.value == request.defaultButton) defaultButton = b;
            if (sb.value == escape) escapeButton = b;
          }
        }
        if (defaultButton) box->setDefaultButton(static_cast<QPushButton*>(defaultButton));
        if (escapeButton) box->setEscapeButton(escapeButton);
        box->setWindowModality(Qt::ApplicationModal);
        if (request.modality == platform::Modality::kSystem)
          box->setWindowFlag(Qt::WindowStaysOnTopHint);
        QObject::connect(box, &QDialog::finished, box, [box, values, escape, finish] {
          QAbstractButton* clicked = box->clickedButton();
          auto it = clicked ? values->find(clicked) : values->end();
          finish(it != values->end() ? it->second : escape);
        });
        Track(box);
        box->show();
      },
      escape);
}

std::vector<std::string> QtUi::FileOpen(const platform::FileOpenSpec& request) {
  platform::ThreadId caller = platform::CurrentThreadId();
  using Files = std::vector<std::string>;
  Files files = Ask<Files>(
      [this, request, caller](std::function<void(Files)> finish) {
        auto* dlg = new QFileDialog(ParentFor(caller), QString::fromStdString(request.title));
        dlg->setAttribute(Qt::WA_DeleteOnClose);
        dlg->setOption(QFileDialog::DontUseNativeDialog);
        dlg->setFileMode(request.multiSelect ? QFileDialog::ExistingFiles
                                             : QFileDialog::ExistingFile);
        QStringList filters;
        for (const std::string& f : QtNameFilters(request.filter))
          filters << QString::fromStdString(f);
        if (!filters.isEmpty()) dlg->setNameFilters(filters);
        QFileInfo start(QString::fromStdString(request.startPath));
        if (!request.startPath.empty() && start.isDir()) {
          dlg->setDirectory(start.absoluteFilePath());
        } else if (!request.startPath.empty()) {
          dlg->setDirectory(start.absolutePath());
          if (start.exists()) dlg->selectFile(start.fileName());
        } else {
          dlg->setDirectory(QString::fromStdString(platform::CurrentDirectory()));
        }
        dlg->setWindowModality(Qt::ApplicationModal);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int result) {
          Files chosen;
          if (result == QDialog::Accepted)
            for (const QString& f : dlg->selectedFiles())
              chosen.push_back(QDir::toNativeSeparators(f).toStdString());  // "\\" on Windows
          finish(std::move(chosen));
        });
        Track(dlg);
        dlg->show();
      },
      Files{});
  if (files.empty()) return files;
  for (const std::string& f : files) {
    if (platform::CharCount(f) > request.nameBufferLength) {
      // Cutting the name would name another file: refuse the choice instead.
      platform::MessageSpec tooLong;
      tooLong.text = "Ime datoteke je predugo (najviše " +
                     std::to_string(request.nameBufferLength) + " znakova):|" + f;
      tooLong.icon = platform::Icon::kExclamation;
      Message(tooLong);
      return {};
    }
  }
  if (!request.keepCurrentDirectory) {
    QFileInfo first(QString::fromStdString(files.front()));
    platform::ChangeDirectory(first.absolutePath().toStdString());
  }
  return files;
}

bool QtUi::AskPassword(const platform::PasswordSpec& request, std::string& password) {
  platform::ThreadId caller = platform::CurrentThreadId();
  using Answer = std::optional<std::string>;
  Answer given = Ask<Answer>(
      [this, request, caller](std::function<void(Answer)> finish) {
        auto* dlg = new QInputDialog(ParentFor(caller));
        dlg->setAttribute(Qt::WA_DeleteOnClose);
        dlg->setWindowTitle(QString::fromStdString(
            request.title.empty() ? std::string(kDefaultCaption) : request.title));
        QString text = QString::fromStdString(request.text);
        text.replace('|', '\n');
        dlg->setLabelText(text);
        dlg->setInputMode(QInputDialog::TextInput);
        dlg->setTextEchoMode(QLineEdit::Password);
        dlg->setWindowModality(Qt::ApplicationModal);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int result) {
          if (result == QDialog::Accepted)
            finish(dlg->textValue().toStdString());
          else
            finish(std::nullopt);
        });
        Track(dlg);
        dlg->show();
      },
      Answer{});
  if (!given) return false;
  password = *given;
  return true;
}

bool QtUi::ChooseDirectory(const std::string& title, std::string& path,
                           std::size_t nameBufferLength) {
  platform::ThreadId caller = platform::CurrentThreadId();
  std::string start = platform::CutChars(platform::TrimRight(path), nameBufferLength);
  using Answer = std::optional<std::string>;
  Answer chosen = Ask<Answer>(
      [this, title, start, caller](std::function<void(Answer)> finish) {
        auto* dlg = new QFileDialog(ParentFor(caller), QString::fromStdString(title));
        dlg->setAttribute(Qt::WA_DeleteOnClose);
        dlg->setOption(QFileDialog::DontUseNativeDialog);
        dlg->setOption(QFileDialog::ShowDirsOnly);
        dlg->setFileMode(QFileDialog::Directory);
        QFileInfo info(QString::fromStdString(start));
        if (!start.empty() && info.isDir())
          dlg->setDirectory(info.absoluteFilePath());
        else
          dlg->setDirectory(QString::fromStdString(platform::CurrentDirectory()));
        dlg->setWindowModality(Qt::ApplicationModal);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int result) {
          QStringList files = dlg->selectedFiles();
          if (result == QDialog::Accepted && !files.isEmpty())
            finish(QDir::toNativeSeparators(files.front()).toStdString());
          else
            finish(std::nullopt);
        });
        Track(dlg);
        dlg->show();
      },
      Answer{});
  if (!chosen) return false;
  if (platform::CharCount(*chosen) > nameBufferLength) {
    platform::MessageSpec tooLong;
    tooLong.text = "Ime direktorija je predugo (najviše " + std::to_string(nameBufferLength) +
                   " znakova):|" + *chosen;
    tooLong.icon = platform::Icon::kExclamation;
    Message(tooLong);
    return false;
  }
  path = *chosen;
  return true;
}

void QtUi::SetWaitCursor(bool on) {
  platform::ThreadId caller = platform::CurrentThreadId();
  {
    std::lock_guard lock(mutex_);
    if (on)
      waiting_.insert(caller);
    else
      waiting_.erase(caller);
    if (cursorQueued_) return;
    cursorQueued_ = true;
  }
  QMetaObject::invokeMethod(
      this, [this] { ApplyCursor(); }, Qt::QueuedConnection);
}

void QtUi::ApplyCursor() {
  bool want;
  {
    std::lock_guard lock(mutex_);
    cursorQueued_ = false;
    want = !waiting_.empty() && !shutdown_;
  }
  if (want && !overrideCursor_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    overrideCursor_ = true;
  } else if (!want && overrideCursor_) {
    QApplication::restoreOverrideCursor();
    overrideCursor_ = false;
  }
}

void QtUi::Progress(const platform::ProgressInfo& info) {
  platform::ThreadId caller = platform::CurrentThreadId();
  {
    std::lock_guard lock(mutex_);
    progress_[caller] = info;  // only the latest report of a thread is drawn
    if (progressFlushQueued_) return;
    progressFlushQueued_ = true;
  }
  QMetaObject::invokeMethod(
      this, [this] { FlushProgress(); }, Qt::QueuedConnection);
}

void QtUi::FlushProgress() {
  std::map<platform::ThreadId, platform::ProgressInfo> reports;
  {
    std::lock_guard lock(mutex_);
    reports.swap(progress_);
    progressFlushQueued_ = false;
  }
  for (const auto& [thread, info] : reports) {
    auto it = progressSinks_.find(thread);
    if (it != progressSinks_.end() && it->second)
      it->second(info);
    else if (defaultSink_)
      defaultSink_(info);
  }
}

void QtUi::SetDialogParent(platform::ThreadId thread, QWidget* widget) {
  if (widget)
    parents_[thread] = widget;
  else
    parents_.erase(thread);
}

void QtUi::SetDefaultParent(QWidget* widget) { defaultParent_ = widget; }

QWidget* QtUi::ParentFor(platform::ThreadId thread) const {
  auto it = parents_.find(thread);
  if (it != parents_.end() && it->second) return it->second.data();
  return defaultParent_.data();
}

void QtUi::SetProgressSink(platform::ThreadId thread, ProgressSink sink) {
  if (sink)
    progressSinks_[thread] = std::move(sink);
  else
    progressSinks_.erase(thread);
}

void QtUi::SetDefaultProgressSink(ProgressSink sink) { defaultSink_ = std::move(sink); }

void QtUi::Track(QWidget* dialog) {
  std::erase_if(dialogs_, [](const QPointer<QWidget>& d) { return d.isNull(); });
  dialogs_.push_back(dialog);
}

int QtUi::OpenDialogs() const {
  int n = 0;
  for (const auto& d : dialogs_)
    if (d && d->isVisible()) ++n;
  return n;
}

void QtUi::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
  }
  cv_.notify_all();
  std::vector<QPointer<QWidget>> open;
  open.swap(dialogs_);
  for (auto& d : open)
    if (d) d->close();
  ApplyCursor();
}

bool QtUi::IsShutdown() const {
  std::lock_guard lock(mutex_);
  return shutdown_;
}

}  // namespace verdan::gui
