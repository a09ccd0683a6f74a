#include "gui/session.h"

#include <QApplication>
#include <QMdiSubWindow>

#include "app/splash.h"
#include "app/startup.h"
#include "archive/browse_windows.h"

namespace verdan::gui {

Session::Session(app::Program& program, QtUi& ui) : program_(program), ui_(ui) {
  app::FrameTargets targets;
  targets.archive = ArchiveProcedure();
  targets.options = OptionsProcedure();
  targets.email = EmailProcedure(mail::EmailWindowKind::kSend);
  targets.emailSettings = EmailProcedure(mail::EmailWindowKind::kSettings);
  targets.splash = SplashProcedure();
  frame_ = std::make_shared<app::FrameWindow>(program_, std::move(targets));
  view_ = std::make_unique<FrameView>(frame_);
  QPointer<FrameView> view = view_.get();
  frame_->SetListener([this, view] {
    PostGui([view] {
      if (view) view->Refresh();
    });
  });
  ui_.SetDefaultParent(view_.get());
  ui_.SetDefaultProgressSink([this](const platform::ProgressInfo& info) { ShowProgress(info); });
}

Session::~Session() {
  ui_.SetDefaultParent(nullptr);
  ui_.SetDefaultProgressSink({});
}

void Session::PostGui(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

template <class Logic, class Make>
void Session::Host(const std::shared_ptr<Logic>& logic, platform::EventQueue& queue, Make make) {
  auto slot = std::make_shared<QPointer<WindowView>>();
  platform::ThreadId thread = queue.Id();
  PostGui([this, slot, make, thread] {
    WindowView* view = make();
    *slot = view;
    ui_.SetDialogParent(thread, view);
    view->Refresh();
  });
  logic->SetListener([this, slot] {
    PostGui([slot] {
      if (*slot) (*slot)->Refresh();
    });
  });
  logic->Run(queue);
  PostGui([this, slot, thread] {
    ui_.SetDialogParent(thread, nullptr);
    ui_.SetProgressSink(thread, {});
    if (*slot) (*slot)->Dismiss();
  });
}

platform::WindowThreads::Procedure Session::SplashProcedure() {
  return [this](platform::EventQueue& queue) {
    auto splash = std::make_shared<app::SplashWindow>(program_, ArchiveProcedure());
    Host(splash, queue, [this, splash]() -> WindowView* {
      auto* view = new SplashView(splash);
      QMdiSubWindow* sub = view_->AddChild(view, Qt::FramelessWindowHint);
      QSize room = view_->Area()->viewport()->size();
      sub->resize(view->size());
      sub->move(std::max(0, (room.width() - sub->width()) / 2),
                std::max(0, (room.height() - sub->height()) / 2));
      view->setFocus();
      return view;
    });
  };
}

void Session::ShowProgress(const platform::ProgressInfo& info) {
  // The runs are one at a time and may report from their worker threads: the busy archiving
  // window is the one running.
  if (view_) view_->ShowProgress(info);
  std::erase_if(archiveViews_, [](const QPointer<ArchiveView>& v) { return v.isNull(); });
  for (const QPointer<ArchiveView>& v : archiveViews_)
    if (v->Busy()) v->ShowProgress(info);
}

QMdiSubWindow* Session::Place(WindowView* view, QSize size) {
  QMdiSubWindow* sub = view_->AddChild(view);
  sub->resize(size.expandedTo(sub->sizeHint()));
  int step = 28 * (placed_++ % 6);
  sub->move(16 + step, 12 + step);
  return sub;
}

platform::WindowThreads::Procedure Session::ArchiveProcedure() {
  return [this](platform::EventQueue& queue) {
    archive::ArchiveWindowTargets targets;
    targets.fileList = FileListProcedure();
    targets.definitions = DefinitionsProcedure();  // its button stays hidden and disabled
    auto window = std::make_shared<archive::ArchiveWindow>(program_, shared_, std::move(targets));
    Host(window, queue, [this, window]() -> WindowView* {
      auto* view = new ArchiveView(window);
      archiveViews_.push_back(view);
      Place(view, QSize(660, 600));
      return view;
    });
  };
}

platform::WindowThreads::Procedure Session::OptionsProcedure() {
  return [this](platform::EventQueue& queue) {
    auto window = std::make_shared<archive::SourceDestWindow>(program_);
    Host(window, queue, [this, window]() -> WindowView* {
      auto* view = new SourceDestView(window);
      Place(view, QSize(560, 330));
      return view;
    });
  };
}

platform::WindowThreads::Procedure Session::EmailProcedure(mail::EmailWindowKind kind) {
  return [this, kind](platform::EventQueue& queue) {
    auto window = std::make_shared<mail::EmailWindow>(program_, kind);
    Host(window, queue, [this, window, kind]() -> WindowView* {
      auto* view = new EmailView(window);
      Place(view, kind == mail::EmailWindowKind::kSettings ? QSize(560, 520) : QSize(560, 300));
      return view;
    });
  };
}

platform::WindowThreads::Procedure Session::DefinitionsProcedure() {
  return [this](platform::EventQueue& queue) {
    auto window = archive::MakeDefinitionBrowse(program_, shared_);
    Host(window, queue, [this, window]() -> WindowView* {
      auto* view = new BrowseView(window);
      Place(view, QSize(760, 460));
      return view;
    });
  };
}

platform::WindowThreads::Procedure Session::FileListProcedure() {
  return [this](platform::EventQueue& queue) {
    auto window = archive::MakeFileListBrowse(program_, shared_);
    Host(window, queue, [this, window]() -> WindowView* {
      auto* view = new BrowseView(window);
      Place(view, QSize(700, 460));
      return view;
    });
  };
}

void Session::RunFrame(const std::function<void(FrameView&)>& started) {
  bool quitOnLast = QApplication::quitOnLastWindowClosed();
  QApplication::setQuitOnLastWindowClosed(false);
  bool closed = false;
  QMetaObject::Connection c = connect(view_.get(), &FrameView::Closed, this, [&closed] {
    closed = true;
    // Not quit(): that first asks every top-level window to close, and a window whose logic
    // is still busy (an edit form, which closes with its list) refuses, so the program would
    // go on without its frame. The frame has ended; its windows are closed below.
    QCoreApplication::exit(0);
  });
  view_->show();
  program_.windows.Start([frame = frame_](platform::EventQueue& queue) { frame->Run(queue); });
  if (started) started(*view_);
  if (!closed) QApplication::exec();
  disconnect(c);
  ui_.Shutdown();
  view_->hide();
  QApplication::setQuitOnLastWindowClosed(quitOnLast);
}

int RunSession(app::Program& program, QtUi& ui, platform::Desktop& desktop,
               const std::function<void(FrameView&)>& started) {
  Session session(program, ui);
  return app::RunProgram(program, desktop, [&] { session.RunFrame(started); });
}

}  // namespace verdan::gui
