// Waiting for a state another thread or process brings about: the condition is polled until
// it holds or the limit has passed, so a test neither sleeps a fixed time nor waits forever.
#pragma once

#include <chrono>
#include <functional>

namespace verdan::testing {

// Polls `done` every few milliseconds; true as soon as it holds, false once `limit` has
// passed without it (checked one last time at the end). The limit is an upper bound for a
// slow machine, not a time the test expects to take.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(15));

}  // namespace verdan::testing
