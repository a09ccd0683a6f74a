// Loaded into the program under test (LD_PRELOAD) to change a data file at a chosen moment of
// a backup, the same way at every run: when the program has read the piece of the file that
// starts at a given offset, the file is rewritten with the other letter ('A' <-> 'B') of the
// same size, in place or as a new file renamed over it, before the read returns. Only the
// first given number of such readings change it.
//
//   VERDAN_CHANGE_FILE   the file (absolute path)
//   VERDAN_CHANGE_HOW    "inplace" or "rename"
//   VERDAN_CHANGE_AT     the offset of the piece (default 4194304, the second piece)
//   VERDAN_CHANGE_TIMES  how many readings change it (default 1)
//
// It also stands for a system that has no thread to give at a chosen moment: the thread
// start numbered VERDAN_REFUSE_THREAD (1 the first of the process) fails with EAGAIN, and the
// file VERDAN_REFUSE_MARK, when named, is created then, so that a test knows the run got
// that far.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using PreadFn = ssize_t (*)(int, void*, size_t, off_t);

std::atomic<int> gChanges{0};

const char* Env(const char* name, const char* otherwise) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : otherwise;
}

bool IsTheFile(int fd, const std::string& path) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return std::strncmp(target, path.c_str(), path.size()) == 0 &&
         (target[path.size()] == '\0' || target[path.size()] == ' ');  // " (deleted)"
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

void Change(PreadFn real, const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  char first = 'A';
  ::fstat(fd, &st);
  real(fd, &first, 1, 0);
  ::close(fd);
  const std::string bytes(static_cast<std::size_t>(st.st_size), first == 'A' ? 'B' : 'A');
  if (std::strcmp(Env("VERDAN_CHANGE_HOW", "inplace"), "rename") == 0) {
    const std::string next = path + ".novo";
    fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok = WriteAll(fd, bytes);
    ::close(fd);
    if (ok) ::rename(next.c_str(), path.c_str());
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    WriteAll(fd, bytes);
    ::close(fd);
  }
}

ssize_t Intercept(PreadFn real, int fd, void* buf, size_t n, off_t offset) {
  ssize_t r = real(fd, buf, n, offset);
  static const std::string path = Env("VERDAN_CHANGE_FILE", "");
  static const long long at = std::atoll(Env("VERDAN_CHANGE_AT", "4194304"));
  static const int times = std::atoi(Env("VERDAN_CHANGE_TIMES", "1"));
  if (r > 0 && !path.empty() && offset == at && IsTheFile(fd, path) &&
      gChanges.fetch_add(1) < times)
    Change(real, path);
  return r;
}

}  // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static const auto real = reinterpret_cast<PreadFn>(::dlsym(RTLD_NEXT, "pread"));
  return Intercept(real, fd, buf, n, offset);
}

extern "C" ssize_t pread64(int fd, void* buf, size_t n, off_t offset) {
  static const auto real = reinterpret_cast<PreadFn>(::dlsym(RTLD_NEXT, "pread64"));
  return Intercept(real, fd, buf, n, offset);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<CreateFn>(::dlsym(RTLD_NEXT, "pthread_create"));
  static const int refused = std::atoi(Env("VERDAN_REFUSE_THREAD", "0"));
  static std::atomic<int> starts{0};
  if (refused > 0 && starts.fetch_add(1) + 1 == refused) {
    const char* mark = std::getenv("VERDAN_REFUSE_MARK");
    if (mark != nullptr) ::close(::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    return EAGAIN;
  }
  return real(thread, attr, start, arg);
}
