#include "support/zip_peer.h"

#include "support/temp_dir.h"

namespace verdan::testing {

std::string ZipEntryNames(const std::string& archive) {
  ProcessResult r = RunProcess({"/usr/bin/python3", "-c",
                                "import sys,zipfile\n"
                                "z=zipfile.ZipFile(sys.argv[1])\n"
                                "assert z.testzip() is None\n"
                                "print(' '.join(sorted(z.namelist())))",
                                archive},
                               "/");
  return r.status == 0 ? r.out : "zipfile refused " + archive + ": " + r.err;
}

std::string ZipEntryBytes(const std::string& archive, const std::string& name) {
  ProcessResult r =
      RunProcess({"/usr/bin/python3", "-c",
                  "import sys,zipfile\n"
                  "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))",
                  archive, name},
                 "/");
  return r.status == 0 ? r.out : "refused " + archive + ": " + r.err;
}

bool ZipWithTool(const std::string& cwd, const std::string& archive,
                 const std::vector<std::string>& files, const std::string& password) {
  std::vector<std::string> argv{"/usr/bin/zip", "-q", "-j"};
  if (!password.empty()) argv.insert(argv.end(), {"-P", password});
  argv.push_back(archive);
  argv.insert(argv.end(), files.begin(), files.end());
  return RunProcess(argv, cwd).status == 0;
}

}  // namespace verdan::testing
