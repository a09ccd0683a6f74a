// Helpers for tests that talk to real peers: a server program run as a child process for the
// life of a test, and a small certificate authority made at test time for TLS peers.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace verdan::testing {

// Runs `argv` (argv[0] is the program path) in the background until the object goes; the
// child is asked to stop with SIGTERM, then killed. In the Windows build under its emulator
// the program is one of the Linux side's (a Python server), run there. `ReadyFile` waits (at most
// `seconds`) for a file the child writes when it is ready, and returns its content (empty on
// time-out).
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  std::string ReadyFile(const std::string& path, int seconds = 10) const;

 private:
  pid_t pid_ = -1;
  std::string pidFile_;  // Windows build: where the Linux side's shell wrote the server's number
};

// Certificates for TLS tests, made in `dir` with the openssl command-line tool:
//   ca.pem                        the CA the client is told to trust
//   server.pem / server.key       issued by it for 127.0.0.1 and localhost
//   wronghost.pem / wronghost.key issued by it for mail.example.test only
//   rogue.pem / rogue.key         for 127.0.0.1 and localhost, but issued by another CA
// Returns false (with the tool's output in `error`) when they could not be made.
bool MakeTestCertificates(const std::string& dir, std::string& error);

}  // namespace verdan::testing
