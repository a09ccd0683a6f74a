// Threads for parallel work. The system may refuse a thread (EAGAIN: too many threads or
// processes, not enough memory); a refused thread must never end the program or leave work
// half done. Every thread the program starts goes through `StartThread`, and every pool of
// workers through `Workers` or `RunOnWorkers`, which go on with the threads they got (the
// calling thread at least) and always join what they started.
//
// Thread-safety: `Workers` belongs to the thread that made it; the functions keep no state.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace verdan::platform {

// Starts `thread` running `work`. False when the system gave no thread: `thread` is then
// left as it was and `work` is never run.
bool StartThread(std::thread& thread, std::function<void()> work);

// Worker threads started one at a time, joined by `Join` or at the latest by the destructor.
class Workers {
 public:
  Workers() = default;
  ~Workers() { Join(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts one more worker running `work`; false when no thread could be had (then `work`
  // is never run).
  bool Start(std::function<void()> work);
  std::size_t size() const { return threads_.size(); }
  bool empty() const { return threads_.empty(); }
  // Waits for every worker started so far; the set is empty afterwards.
  void Join();

 private:
  std::vector<std::thread> threads_;
};

// Runs `work(slot)` for up to `slots` slots at once: slot 0 on the calling thread, the others
// on threads started for them, as many as the system gives (the first refusal ends the
// starting). Returns once every started slot has finished, with the number of slots that ran
// (1 or more; 0 only when `slots` is 0). `work` must take its items from a shared source, so
// that fewer slots still do all of it.
std::size_t RunOnWorkers(std::size_t slots, const std::function<void(std::size_t)>& work);

}  // namespace verdan::platform
