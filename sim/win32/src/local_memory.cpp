// LocalAlloc and LocalFree: the local heap FormatMessage's buffers come from.
// Only blocks it handed out may be freed; anything else fails as on Windows.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <set>

namespace {

std::mutex &HeapLock() {
  static std::mutex lock;
  return lock;
}

std::set<void *> &LiveBlocks() {
  static auto *blocks = new std::set<void *>;
  return *blocks;
}

}  // namespace

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags & ~(UINT)LPTR) {  // movable blocks are not kept
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  void *p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  std::lock_guard<std::mutex> guard(HeapLock());
  LiveBlocks().insert(p);
  return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem == NULL) return NULL;
  {
    std::lock_guard<std::mutex> guard(HeapLock());
    if (!LiveBlocks().erase(hMem)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return hMem;
    }
  }
  free(hMem);
  return NULL;
}
