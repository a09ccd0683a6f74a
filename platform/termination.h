// The termination signals a user or the system sends to end the program: interrupt (Ctrl+C),
// terminate (shutdown, kill) and hang-up (the terminal closed).
//
// `OnTerminationSignal` lets the program finish what must not be left half done (remove its
// temporary files) before it ends: when one of these signals arrives, the cleanup runs on a
// thread of its own, and then the process ends through the same signal, as it would have
// without the cleanup. A second signal while the cleanup works changes nothing.
//
// Thread-safety: `OnTerminationSignal` is called once at start-up, before other threads run;
// the cleanup runs on the signal thread while the other threads go on until the process ends,
// so it takes the locks of whatever it touches.
#pragma once

#include <functional>

namespace verdan::platform {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP. Later calls replace the cleanup.
// Returns false when the handlers could not be installed (the signals then end the program
// at once, as by default).
bool OnTerminationSignal(std::function<void()> cleanup);

}  // namespace verdan::platform
