#include "app/splash.h"

namespace verdan::app {

bool ClosesSplash(SplashKey key) {
  return key == SplashKey::kLeftButton || key == SplashKey::kLeftDoubleClick ||
         key == SplashKey::kRightButton;
}

SplashWindow::SplashWindow(Program& program, platform::WindowThreads::Procedure archive,
                           std::int32_t timer)
    : program_(program), archive_(std::move(archive)), timer_(timer) {}

void SplashWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

SplashState SplashWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool SplashWindow::Input(SplashKey key) const {
  platform::ThreadId id;
  {
    std::lock_guard lock(mutex_);
    id = thread_;
  }
  return id != 0 && platform::PostToThread(
                        id, platform::Event{kEventSplashInput, static_cast<std::uint64_t>(key)});
}

void SplashWindow::Publish() {
  if (listener_) listener_();
}

void SplashWindow::Run(platform::EventQueue& queue) {
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
    state_.open = true;
  }
  Publish();
  queue.SetTimer(timer_);
  bool timeUp = false;  // closed by its timer or a click, not by the program closing
  for (;;) {
    platform::Event e = queue.Wait();
    if (e.code == platform::kEventClose) break;
    if (e.code == platform::kEventTimer ||
        (e.code == kEventSplashInput && ClosesSplash(static_cast<SplashKey>(e.wparam)))) {
      timeUp = true;
      break;
    }
  }
  queue.SetTimer(0);
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    thread_ = 0;
  }
  Publish();
  if (timeUp && archive_ && !program_.Ended()) program_.windows.Start(archive_);
}

}  // namespace verdan::app
