// Big buffers filled once (the arena's blocks, the list's rows, the list's text) are advised
// for huge pages: one page fault per 2 MiB instead of 512, and in a virtual machine every
// fault is dear.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace tavrik {

inline constexpr size_t kHugePage = size_t{2} << 20;

// Advises the whole huge pages inside [data, data + size): nothing for smaller buffers, and
// only advice where huge pages are off.
inline void AdviseHugePages(void* data, size_t size) {
  const auto at = reinterpret_cast<uintptr_t>(data);
  const uintptr_t begin = (at + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (at + size) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace tavrik
