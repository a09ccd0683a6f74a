// Python's aiosmtpd as a real SMTP server on loopback for the tests, run as a child process
// (tests/cli/smtp_server.py): started by the constructor, stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace verdan::testing {

class SmtpServerProcess {
 public:
  // Messages are stored in `outdir` as msgN.eml and msgN.json; `arguments` go to the script
  // after the directory (user and password to require AUTH LOGIN).
  SmtpServerProcess(const std::string& outdir, const std::vector<std::string>& arguments = {});
  ~SmtpServerProcess();
  SmtpServerProcess(const SmtpServerProcess&) = delete;
  SmtpServerProcess& operator=(const SmtpServerProcess&) = delete;
  // The port it listens on, empty when it did not start.
  const std::string& port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::string port_;
};

}  // namespace verdan::testing
