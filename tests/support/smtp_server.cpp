#include "support/smtp_server.h"

#include "support/temp_dir.h"

namespace verdan::testing {

std::vector<std::string> SmtpServerProcess::Argv(const std::string& outdir,
                                                 const std::vector<std::string>& credentials,
                                                 const std::vector<std::string>& options) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", std::string(VERDAN_SOURCE_DIR) + "/tests/cli/smtp_server.py", outdir};
  argv.insert(argv.end(), credentials.begin(), credentials.end());
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

SmtpServerProcess::SmtpServerProcess(const std::string& outdir,
                                     const std::vector<std::string>& credentials,
                                     const std::vector<std::string>& options)
    : outdir_(outdir), child_(Argv(outdir, credentials, options)) {
  port_ = child_.ReadyFile(outdir + "/port");
}

std::string SmtpServerProcess::Commands() const { return ReadFile(outdir_ + "/commands.log"); }

}  // namespace verdan::testing
