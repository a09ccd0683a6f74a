// The window runtime: every window procedure runs on a thread of its own with an event
// queue; events are posted to a thread by its numeric id; a queue has one window timer.
//
// Thread-safety: `PostToThread`, `EventQueue::Post`, `SetTimer` and `Close` may be called
// from any thread; `Wait`/`WaitFor` only from the thread that owns the queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace verdan::platform {

using ThreadId = std::uint32_t;  // 0 names no thread

// Event codes of the runtime itself. Codes of 1000 and above belong to the program
// (window events, socket-layer messages such as 3107 and 3109, objects' private events).
enum EventCode : std::int32_t {
  kEventNone = 0,
  kEventTimer = 1,  // the queue's timer fell due (coalesced: at most one pending)
  kEventClose = 2,  // the window is asked to close
  kEventUser = 1000,
};

struct Event {
  Event() = default;
  Event(std::int32_t c, std::uint64_t w = 0, std::int64_t l = 0, std::shared_ptr<void> d = {})
      : code(c), wparam(w), lparam(l), data(std::move(d)) {}
  std::int32_t code = kEventNone;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
  std::shared_ptr<void> data;  // optional payload owned by the event
};

class EventQueue {
 public:
  // Registers a queue under a new thread id and binds it to the calling thread (so that
  // `CurrentThreadId()` names it there). Unregistered on destruction.
  EventQueue();
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  ThreadId Id() const { return id_; }

  // Appends an event; false when the queue is closed.
  bool Post(Event event);

  // Next event in order of posting; a due timer is delivered as kEventTimer once per
  // interval (between posted events, never ahead of one posted earlier). Once the queue is
  // closed and drained, returns kEventClose.
  Event Wait();
  // As Wait, but gives up after `timeout` and returns kEventNone.
  Event WaitFor(std::chrono::milliseconds timeout);

  // Window timer in hundredths of a second; 0 stops it.
  void SetTimer(std::int32_t hundredths);
  std::int32_t Timer() const;

  // Asks the window to close: posts kEventClose; later posts are refused.
  void Close();
  bool Closed() const;
  std::size_t Pending() const;

 private:
  Event Next(std::unique_lock<std::mutex>& lock,
             std::optional<std::chrono::steady_clock::time_point> until);

  ThreadId id_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Event> events_;
  bool closed_ = false;
  bool closeDelivered_ = false;
  std::int32_t timer_ = 0;
  std::chrono::steady_clock::time_point nextTick_{};
};

// Posts to the queue registered under `id`; false when there is none or it is closed.
bool PostToThread(ThreadId id, Event event);

// Id of the queue bound to the calling thread (0 when the thread has none).
ThreadId CurrentThreadId();

// Starts window procedures on threads of their own, each with a fresh queue, and ends them
// together: CloseAll asks every window to close, JoinAll waits for every thread.
class WindowThreads {
 public:
  using Procedure = std::function<void(EventQueue&)>;
  WindowThreads() = default;
  ~WindowThreads();  // shuts and joins what is still running
  WindowThreads(const WindowThreads&) = delete;
  WindowThreads& operator=(const WindowThreads&) = delete;

  // Starts `proc` on a new thread; returns once the queue exists, with its thread id, or 0
  // (and `proc` never runs) when the system gives no thread.
  ThreadId Start(Procedure proc);
  void CloseAll();
  // As CloseAll, and every window started from now on is asked to close at once (a window
  // that starts another while it closes cannot keep the program alive).
  void Shut();
  bool IsShut() const;
  void JoinAll();
  // Number of procedures that have not returned yet.
  std::size_t Running() const;

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    ThreadId id = 0;
    bool joining = false;  // a JoinAll has taken it; it stays listed so that it can be closed
  };
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  bool shut_ = false;
};

}  // namespace verdan::platform
