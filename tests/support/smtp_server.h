// Python's aiosmtpd as a real SMTP server on loopback for the tests, run as a child process
// (tests/cli/smtp_server.py): started by the constructor, stopped when the object goes.
#pragma once

#include <string>
#include <vector>

#include "support/test_peers.h"

namespace verdan::testing {

class SmtpServerProcess {
 public:
  // Messages are stored in `outdir` as msgN.eml and msgN.json. `credentials` (user and
  // password) make it require AUTH; `options` go to the script after them (--tls, --size...).
  explicit SmtpServerProcess(const std::string& outdir,
                             const std::vector<std::string>& credentials = {},
                             const std::vector<std::string>& options = {});
  // The port it listens on, empty when it did not start.
  const std::string& port() const { return port_; }
  // The command lines the server has read, one per line.
  std::string Commands() const;

 private:
  static std::vector<std::string> Argv(const std::string& outdir,
                                       const std::vector<std::string>& credentials,
                                       const std::vector<std::string>& options);
  std::string outdir_;
  ChildProcess child_;
  std::string port_;
};

}  // namespace verdan::testing
