#include "platform/event_loop.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <unordered_map>

#include "platform/workers.h"

namespace verdan::platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<ThreadId, EventQueue*> queues;
  ThreadId next = 1;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // never destroyed: threads may post during exit
  return *r;
}

thread_local ThreadId t_current = 0;

}  // namespace

EventQueue::EventQueue() {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  id_ = r.next++;
  r.queues[id_] = this;
  t_current = id_;
}

EventQueue::~EventQueue() {
  Registry& r = TheRegistry();
  {
    std::lock_guard lock(r.mutex);
    r.queues.erase(id_);
  }
  if (t_current == id_) t_current = 0;
}

bool EventQueue::Post(Event event) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    events_.push_back(std::move(event));
  }
  cv_.notify_one();
  return true;
}

Event EventQueue::Next(std::unique_lock<std::mutex>& lock,
                       std::optional<std::chrono::steady_clock::time_point> until) {
  for (;;) {
    if (!events_.empty()) {
      Event e = std::move(events_.front());
      events_.pop_front();
      if (e.code == kEventClose) closeDelivered_ = true;
      return e;
    }
    if (closed_) {
      closeDelivered_ = true;
      return Event{kEventClose};
    }
    auto now = std::chrono::steady_clock::now();
    if (timer_ > 0 && now >= nextTick_) {
      nextTick_ = now + std::chrono::milliseconds(timer_ * 10);
      return Event{kEventTimer};
    }
    std::optional<std::chrono::steady_clock::time_point> wake = until;
    if (timer_ > 0 && (!wake || nextTick_ < *wake)) wake = nextTick_;
    if (until && now >= *until) return Event{kEventNone};
    if (wake)
      cv_.wait_until(lock, *wake);
    else
      cv_.wait(lock);
  }
}

Event EventQueue::Wait() {
  std::unique_lock lock(mutex_);
  return Next(lock, std::nullopt);
}

Event EventQueue::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return Next(lock, std::chrono::steady_clock::now() + timeout);
}

void EventQueue::SetTimer(std::int32_t hundredths) {
  {
    std::lock_guard lock(mutex_);
    timer_ = hundredths > 0 ? hundredths : 0;
    nextTick_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timer_ * 10);
  }
  cv_.notify_one();
}

std::int32_t EventQueue::Timer() const {
  std::lock_guard lock(mutex_);
  return timer_;
}

void EventQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    events_.push_back(Event{kEventClose});
    closed_ = true;
  }
  cv_.notify_one();
}

bool EventQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::size_t EventQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

bool PostToThread(ThreadId id, Event event) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);  // held so the queue cannot be destroyed meanwhile
  auto it = r.queues.find(id);
  if (it == r.queues.end()) return false;
  return it->second->Post(std::move(event));
}

ThreadId CurrentThreadId() { return t_current; }

namespace {
void CloseThread(ThreadId id) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.queues.find(id);
  if (it != r.queues.end()) it->second->Close();
}
}  // namespace

WindowThreads::~WindowThreads() {
  Shut();  // a window that starts another while it closes is closed too
  JoinAll();
}

ThreadId WindowThreads::Start(Procedure proc) {
  // The new thread shares the promise: the thread library may still be inside set_value
  // (waking this thread, unlocking the promise's state) when get() here has returned, so the
  // state must outlive this call rather than be freed under the new thread.
  auto started = std::make_shared<std::promise<ThreadId>>();
  auto future = started->get_future();
  // The procedure runs only once its thread is listed, so that whoever sees it running can
  // also close it (CloseAll, Shut).
  auto listed = std::make_shared<std::promise<void>>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread t;
  const bool running = StartThread(t, [proc = std::move(proc), started, listed, done]() mutable {
    {
      EventQueue queue;
      started->set_value(queue.Id());
      listed->get_future().wait();
      proc(queue);
    }
    done->store(true);
  });
  if (!running) return 0;  // the system gave no thread: no window
  ThreadId id = future.get();
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::make_shared<Entry>(Entry{std::move(t), done, id}));
    if (shut_) CloseThread(id);
  }
  listed->set_value();
  return id;
}

void WindowThreads::CloseAll() {
  std::lock_guard lock(mutex_);
  for (auto& e : entries_)
    if (!e->done->load()) CloseThread(e->id);
}

void WindowThreads::Shut() {
  std::lock_guard lock(mutex_);
  shut_ = true;
  for (auto& e : entries_)
    if (!e->done->load()) CloseThread(e->id);
}

bool WindowThreads::IsShut() const {
  std::lock_guard lock(mutex_);
  return shut_;
}

void WindowThreads::JoinAll() {
  // A window may start another while it closes (the splash starts the archiving window), so
  // join until no thread is left. Threads being joined stay listed until they have ended, so
  // that a CloseAll or Shut from another thread (the frame ending) still reaches them.
  for (;;) {
    std::vector<std::shared_ptr<Entry>> taken;
    {
      std::lock_guard lock(mutex_);
      for (auto& e : entries_)
        if (!e->joining) {
          e->joining = true;
          taken.push_back(e);
        }
      if (taken.empty()) return;
    }
    for (auto& e : taken)
      if (e->thread.joinable()) e->thread.join();
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) {
      return std::find(taken.begin(), taken.end(), e) != taken.end();
    });
  }
}

std::size_t WindowThreads::Running() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (auto& e : entries_)
    if (!e->done->load()) ++n;
  return n;
}

}  // namespace verdan::platform
