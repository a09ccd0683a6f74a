// The test certificates, made with the openssl tool of the machine the tests run on.
#include "support/temp_dir.h"
#include "support/test_peers.h"

namespace verdan::testing {

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
