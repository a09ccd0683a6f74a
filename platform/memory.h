// Memory taken straight from the system in whole pages, for large buffers: page-aligned (as
// writes past the system's cache need), returned whole when freed, and only the pages touched
// count against the process. Thread-safe (no state).
#pragma once

#include <cstddef>

namespace verdan::platform {

// The system's page size.
std::size_t PageSize();

// `size` bytes (rounded up to whole pages), zero-filled; null when the system has none.
void* TakePages(std::size_t size);

// Gives back the pages of [`at`, `at` + `size`) at the end of a block from TakePages, keeping
// the block's start; `at` is on a page boundary.
void ReturnTail(void* at, std::size_t size);

// Frees a whole block from TakePages: `base` as returned, `size` as asked (or as left by
// ReturnTail: the block's start up to the tail given back).
void FreePages(void* base, std::size_t size);

}  // namespace verdan::platform
