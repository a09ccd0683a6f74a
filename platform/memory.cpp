#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace verdan::platform {

std::size_t PageSize() {
  static const std::size_t page = [] {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
  }();
  return page;
}

void* TakePages(std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void ReturnTail(void* at, std::size_t size) {
  if (size != 0) ::munmap(at, size);
}

void FreePages(void* base, std::size_t size) {
  if (base != nullptr && size != 0) ::munmap(base, size);
}

}  // namespace verdan::platform
