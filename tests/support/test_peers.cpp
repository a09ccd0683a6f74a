#include "support/test_peers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  if (WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(5)))
    return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

std::string ChildProcess::ReadyFile(const std::string& path, int seconds) const {
  if (!WaitFor([&] { return ::access(path.c_str(), F_OK) == 0; }, std::chrono::seconds(seconds)))
    return {};
  return ReadFile(path);
}

namespace {

bool Openssl(const std::string& dir, std::vector<std::string> args, std::string& error) {
  args.insert(args.begin(), "/usr/bin/openssl");
  ProcessResult r = RunProcess(args, dir, {}, 60);
  if (r.status == 0) return true;
  error = r.err;
  return false;
}

// A key and a certificate signed by `ca` for the names in `san`.
bool Issue(const std::string& dir, const std::string& name, const std::string& ca,
           const std::string& san, std::string& error) {
  WriteFile(dir + "/" + name + ".ext", "subjectAltName=" + san +
                                           "\nbasicConstraints=CA:FALSE"
                                           "\nextendedKeyUsage=serverAuth\n");
  return Openssl(
             dir,
             {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
              "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name},
             error) &&
         Openssl(dir,
                 {"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                  "-set_serial", std::to_string(100 + name.size()), "-days", "2", "-extfile",
                  name + ".ext", "-out", name + ".pem"},
                 error);
}

bool MakeCa(const std::string& dir, const std::string& name, std::string& error) {
  return Openssl(dir,
                 {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                  "-nodes", "-keyout", name + ".key", "-out", name + ".pem", "-days", "2", "-subj",
                  "/CN=VERDAN test " + name, "-addext", "basicConstraints=critical,CA:TRUE",
                  "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                 error);
}

}  // namespace

bool MakeTestCertificates(const std::string& dir, std::string& error) {
  return MakeCa(dir, "ca", error) && MakeCa(dir, "otherca", error) &&
         Issue(dir, "server", "ca", "IP:127.0.0.1,DNS:localhost", error) &&
         Issue(dir, "wronghost", "ca", "DNS:mail.example.test", error) &&
         Issue(dir, "rogue", "otherca", "IP:127.0.0.1,DNS:localhost", error);
}

}  // namespace verdan::testing
