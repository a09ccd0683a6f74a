#include "platform/workers.h"

#include <system_error>

namespace verdan::platform {

bool StartThread(std::thread& thread, std::function<void()> work) {
  try {
    thread = std::thread(std::move(work));
    return true;
  } catch (const std::system_error&) {
    return false;  // std::thread reports a refused pthread_create this way
  }
}

bool Workers::Start(std::function<void()> work) {
  std::thread t;
  try {
    threads_.reserve(threads_.size() + 1);  // the thread is never left unowned
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!StartThread(t, std::move(work))) return false;
  threads_.push_back(std::move(t));
  return true;
}

void Workers::Join() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

std::size_t RunOnWorkers(std::size_t slots, const std::function<void(std::size_t)>& work) {
  if (slots == 0) return 0;
  Workers workers;
  for (std::size_t s = 1; s < slots; ++s)
    if (!workers.Start([&work, s] { work(s); })) break;
  const std::size_t ran = workers.size() + 1;
  work(0);
  workers.Join();
  return ran;
}

}  // namespace verdan::platform
