#include "platform/credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/credentials_format.h"

namespace verdan::platform {
namespace {

using credentials::NotTrusted;
using credentials::Secrets;

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

}  // namespace

namespace credentials {

// Reads the whole file after checking that it can be trusted. True with `exists` false when
// there is no file.
bool Load(const std::string& file, Secrets& secrets, bool& exists, std::string& problem) {
  secrets.clear();
  exists = false;
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) return true;
    if (err == ELOOP) {
      problem = NotTrusted(file, "je simbolička veza, a ne obična datoteka");
    } else {
      problem = "Datoteka s tajnim podacima " + file +
                " ne može se pročitati: " + std::strerror(err) + ".";
    }
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    problem = NotTrusted(file, "nije obična datoteka");
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    ::close(fd);
    problem = NotTrusted(file, "nije vlasništvo korisnika koji pokreće program");
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    ::close(fd);
    problem = NotTrusted(file, "mogu čitati ili mijenjati i drugi korisnici (prava " +
                                   Octal(st.st_mode) + ")") +
              " Ostavite prava samo vlasniku: chmod 600 " + file;
    return false;
  }
  exists = true;
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      problem = "Datoteka s tajnim podacima " + file +
                " ne može se pročitati: " + std::strerror(err) + ".";
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  secrets = credentials::Parse(text);
  return true;
}

std::string DirectoryOf(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// Writes the whole file anew: a temporary made with mode 0600 beside it, synced, renamed
// into place, the directory synced. On failure the temporary is gone and the file as it was.
bool Store(const std::string& file, const Secrets& secrets, std::string& problem) {
  const std::string text = credentials::Compose(secrets, "chmod 600");

  const std::string temp = file + ".tmp" + std::to_string(::getpid());
  auto failed = [&](const char* what, int err, int fd) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    problem = "Datoteka s tajnim podacima " + file + " nije zapisana (" + what + ": " +
              std::strerror(err) + "); zaporka nije spremljena.";
    return false;
  };
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left by a run of this process id that was killed: ours to replace.
    ::unlink(temp.c_str());
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd < 0) return failed("open", errno, -1);
  // The umask may only have taken bits away; the mode is exactly 0600 whatever it was.
  if (::fchmod(fd, 0600) != 0) return failed("fchmod", errno, fd);
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failed("write", n < 0 ? errno : EIO, fd);
    off += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return failed("fsync", errno, fd);
  if (::close(fd) != 0) return failed("close", errno, -1);
  if (::rename(temp.c_str(), file.c_str()) != 0) return failed("rename", errno, -1);
  const int dir = ::open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace credentials

}  // namespace verdan::platform
