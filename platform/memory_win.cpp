// Windows reserves and commits the block at once; a tail given back is decommitted (its
// address range stays reserved until the block is released whole).
#include <windows.h>

#include "platform/memory.h"

namespace verdan::platform {

std::size_t PageSize() {
  static const std::size_t page = [] {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize != 0 ? static_cast<std::size_t>(info.dwPageSize) : std::size_t{4096};
  }();
  return page;
}

void* TakePages(std::size_t size) {
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReturnTail(void* at, std::size_t size) {
  if (size != 0) ::VirtualFree(at, size, MEM_DECOMMIT);
}

void FreePages(void* base, std::size_t) {
  if (base != nullptr) ::VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace verdan::platform
