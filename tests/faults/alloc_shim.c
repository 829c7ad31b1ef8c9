// An allocation-failure shim for fault tests, loaded with LD_PRELOAD into a test
// process. It replaces malloc, calloc, realloc, posix_memalign, aligned_alloc and
// memalign; once armed it counts the allocations made by the module, the bitmap
// library, the C++ runtime and the dynamic loader (the thread-local storage of a
// thread's first exception), on any thread, and fails the n-th of them: only that one
// (one-shot), or it and every later one until disarmed (sticky). The interpreter's own
// allocations are neither counted nor failed.
//
// Control, through the C symbols below (ctypes.CDLL(None) finds them):
//   tovik_shim_arm(n, sticky)  start counting from 0; allocation n fails
//   tovik_shim_disarm()        stop; returns the allocations counted since arming
//   tovik_shim_failures()      failures injected since arming
// Plain C, with nothing that allocates: this code runs inside malloc.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

#define MAX_RANGES 64
struct range {
  uintptr_t begin, end;
};
static struct range ranges[MAX_RANGES];
static int range_count = 0;

static volatile long armed_at = -1;  // the failing allocation's number; negative: disarmed
static volatile int sticky = 0;
static long counted = 0;
static long failures = 0;

static int watched_name(const char* name) {
  static const char* const WATCHED[] = {"tovik", "libroaring", "libstdc++", "ld-linux"};
  for (size_t i = 0; i < sizeof WATCHED / sizeof WATCHED[0]; ++i) {
    if (name != NULL && strstr(name, WATCHED[i]) != NULL) return 1;
  }
  return 0;
}

static int collect(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  if (!watched_name(info->dlpi_name)) return 0;
  for (int i = 0; i < info->dlpi_phnum && range_count < MAX_RANGES; ++i) {
    const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X)) continue;
    ranges[range_count].begin = info->dlpi_addr + ph->p_vaddr;
    ranges[range_count].end = ranges[range_count].begin + ph->p_memsz;
    ++range_count;
  }
  return 0;
}

static int from_watched(void* caller) {
  const uintptr_t at = (uintptr_t)caller;
  for (int i = 0; i < range_count; ++i) {
    if (at >= ranges[i].begin && at < ranges[i].end) return 1;
  }
  return 0;
}

// Whether this allocation, made from `caller`, is to fail.
static int should_fail(void* caller) {
  const long at = armed_at;
  if (at < 0 || !from_watched(caller)) return 0;
  const long n = __atomic_fetch_add(&counted, 1, __ATOMIC_RELAXED);
  if (n == at || (sticky && n > at)) {
    __atomic_fetch_add(&failures, 1, __ATOMIC_RELAXED);
    return 1;
  }
  return 0;
}

__attribute__((visibility("default"))) void tovik_shim_arm(long n, int is_sticky) {
  armed_at = -1;
  range_count = 0;
  dl_iterate_phdr(collect, NULL);  // modules loaded since the last arming included
  counted = 0;
  failures = 0;
  sticky = is_sticky;
  __atomic_store_n(&armed_at, n, __ATOMIC_SEQ_CST);
}

__attribute__((visibility("default"))) long tovik_shim_disarm() {
  __atomic_store_n(&armed_at, -1, __ATOMIC_SEQ_CST);
  return counted;
}

__attribute__((visibility("default"))) long tovik_shim_failures() { return failures; }

__attribute__((visibility("default"))) void* malloc(size_t size) {
  if (should_fail(__builtin_return_address(0))) return NULL;
  return __libc_malloc(size);
}

__attribute__((visibility("default"))) void* calloc(size_t n, size_t size) {
  if (should_fail(__builtin_return_address(0))) return NULL;
  return __libc_calloc(n, size);
}

__attribute__((visibility("default"))) void* realloc(void* p, size_t size) {
  if (should_fail(__builtin_return_address(0))) return NULL;
  return __libc_realloc(p, size);
}

__attribute__((visibility("default"))) void* memalign(size_t align, size_t size) {
  if (should_fail(__builtin_return_address(0))) return NULL;
  return __libc_memalign(align, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(size_t align, size_t size) {
  if (should_fail(__builtin_return_address(0))) return NULL;
  return __libc_memalign(align, size);
}

__attribute__((visibility("default"))) int posix_memalign(void** out, size_t align, size_t size) {
  if (should_fail(__builtin_return_address(0))) return ENOMEM;
  void* p = __libc_memalign(align, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
