// The start-up splash: product name, picture, version and maker. It closes itself after
// four seconds or on a mouse click (left, left double-click or right), never on a key
// press, and on closing starts the archiving window on a thread of its own, so that the
// archiving window opens by itself at every start of the program.
//
// `SplashWindow::Run` is the splash's procedure, on its own window thread. The view reads
// `Snapshot()` and forwards mouse and key input with `Input`; both are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/program.h"
#include "platform/event_loop.h"

namespace verdan::app {

inline constexpr const char* kSplashProduct = "VERDAN pro";
inline constexpr const char* kSplashVersion = "190506#3.8.4.";
inline constexpr const char* kSplashMaker = "Izradio VERDAN Software d.o.o., 2006.";
// The splash's life: 400 hundredths of a second.
inline constexpr std::int32_t kSplashTimer = 400;

// Input the view forwards: an event with this code and the key in wparam.
inline constexpr std::int32_t kEventSplashInput = platform::kEventUser + 20;
enum class SplashKey : int {
  kLeftButton = 1,
  kLeftDoubleClick,
  kRightButton,
  kMiddleButton,
  kKeyboard
};

// True for the keys the splash is alerted to (the ones that close it).
bool ClosesSplash(SplashKey key);

struct SplashState {
  std::string product = kSplashProduct;
  std::string version = kSplashVersion;
  std::string maker = kSplashMaker;
  bool open = false;
  bool closed = false;
};

class SplashWindow {
 public:
  // `archive` is the archiving window's procedure; empty while that window does not exist.
  // `timer` is the splash's life in hundredths of a second.
  SplashWindow(Program& program, platform::WindowThreads::Procedure archive,
               std::int32_t timer = kSplashTimer);

  void SetListener(std::function<void()> listener);  // called on the splash's thread
  void Run(platform::EventQueue& queue);

  SplashState Snapshot() const;
  bool Input(SplashKey key) const;  // false when the splash is not running

 private:
  void Publish();

  Program& program_;
  platform::WindowThreads::Procedure archive_;
  std::int32_t timer_;
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  SplashState state_;
  platform::ThreadId thread_ = 0;
};

}  // namespace verdan::app
