// The bitmap library's allocation functions and the reserve behind them (bitmap_memory.hpp).
#include "bitmap_memory.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <malloc.h>
#include <roaring/roaring.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace tovik::bitmap_memory {
namespace {

// ---- The system's functions, as this module resolves them ----

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);
using PosixMemalignFn = int (*)(void**, size_t, size_t);
using AlignedFn = void* (*)(size_t, size_t);

// Taken before any slot is rewritten (if the library is linked into this module, its
// slots are this module's own).
MallocFn sys_malloc = &::malloc;
CallocFn sys_calloc = &::calloc;
ReallocFn sys_realloc = &::realloc;
FreeFn sys_free = &::free;
PosixMemalignFn sys_posix_memalign = &::posix_memalign;
AlignedFn sys_aligned_alloc = &::aligned_alloc;
AlignedFn sys_memalign = &::memalign;

// ---- The reserve ----

constexpr size_t BASE_REGION = size_t{1} << 20;  // kept mapped: covers ordinary calls
constexpr size_t MAX_REGIONS = 32;
constexpr size_t HEADER = 16;  // a block's size, keeping 16-byte alignment

struct Region {
  char* base;
  size_t size;
  size_t used;  // bump offset
  size_t live;  // blocks handed out and not freed
};

// regions[count - 1] is the one blocks are taken from; older ones stay until their
// last block is freed.
Region regions[MAX_REGIONS];
size_t count = 0;
std::atomic<size_t> spare{0};  // bytes left in the current region
std::atomic<size_t> current_size{0};
std::atomic<size_t> live_blocks{0};  // in every region
std::atomic<size_t> bytes_out{0};
std::atomic<uint64_t> requested{0};  // every size the library asked for, for tests
std::atomic_flag busy = ATOMIC_FLAG_INIT;

class Lock {
 public:
  Lock() {
    while (busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Lock() { busy.clear(std::memory_order_release); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

size_t page_round(size_t n) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

void publish() {
  const Region* r = count > 0 ? &regions[count - 1] : nullptr;
  spare.store(r != nullptr ? r->size - r->used : 0, std::memory_order_relaxed);
  current_size.store(r != nullptr ? r->size : 0, std::memory_order_relaxed);
}

void unmap_at(size_t i) {
  ::munmap(regions[i].base, regions[i].size);
  std::copy(regions + i + 1, regions + count, regions + i);
  --count;
}

// Maps a region of at least `bytes` as the current one, dropping empty ones. Under the
// lock. False when no room or no address space.
bool map_region(size_t bytes) {
  for (size_t i = count; i-- > 0;) {
    if (regions[i].live == 0) unmap_at(i);
  }
  if (count == MAX_REGIONS) return false;
  const size_t size = page_round(std::max(bytes, BASE_REGION));
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  regions[count++] = Region{static_cast<char*>(p), size, 0, 0};
  publish();
  return true;
}

void* take(Region& r, size_t size, size_t align) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(r.base);
  const uintptr_t at = (base + r.used + HEADER + align - 1) / align * align;
  if (at + size < at || at + size > base + r.size) return nullptr;
  std::memcpy(reinterpret_cast<void*>(at - HEADER), &size, sizeof size);
  r.used = at + size - base;
  ++r.live;
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  bytes_out.fetch_add(size, std::memory_order_relaxed);
  return reinterpret_cast<void*>(at);
}

// A block from the reserve, or null. Any thread.
void* reserve_block(size_t size, size_t align) {
  if (align < HEADER) align = HEADER;
  if ((align & (align - 1)) != 0) return nullptr;
  Lock lock;
  void* p = count > 0 ? take(regions[count - 1], size, align) : nullptr;
  // Past what ensure() promised: try to map more on the spot.
  if (p == nullptr && size < SIZE_MAX / 2 && map_region(size + align + HEADER))
    p = take(regions[count - 1], size, align);
  publish();
  return p;
}

Region* region_of(const void* p) {
  const char* c = static_cast<const char*>(p);
  for (size_t i = 0; i < count; ++i) {
    if (c >= regions[i].base && c < regions[i].base + regions[i].size) return &regions[i];
  }
  return nullptr;
}

size_t block_size(const void* p) {
  size_t size;
  std::memcpy(&size, static_cast<const char*>(p) - HEADER, sizeof size);
  return size;
}

// Frees p when it is a reserve block.
bool free_if_reserved(void* p) {
  if (live_blocks.load(std::memory_order_relaxed) == 0) return false;
  Lock lock;
  Region* r = region_of(p);
  if (r == nullptr) return false;
  bytes_out.fetch_sub(block_size(p), std::memory_order_relaxed);
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  if (--r->live == 0) {
    const size_t i = static_cast<size_t>(r - regions);
    if (i + 1 == count) {
      r->used = 0;
    } else {
      unmap_at(i);
    }
    publish();
  }
  return true;
}

// ---- What the library calls ----

void* lib_malloc(size_t size) {
  requested.fetch_add(size, std::memory_order_relaxed);
  void* p = sys_malloc(size);
  return p != nullptr || size == 0 ? p : reserve_block(size, HEADER);
}

void* lib_calloc(size_t n, size_t size) {
  requested.fetch_add(uint64_t{n} * size, std::memory_order_relaxed);
  void* p = sys_calloc(n, size);
  if (p != nullptr || n == 0 || size == 0 || size > SIZE_MAX / n) return p;
  p = reserve_block(n * size, HEADER);
  if (p != nullptr) std::memset(p, 0, n * size);
  return p;
}

void lib_free(void* p) {
  if (p != nullptr && !free_if_reserved(p)) sys_free(p);
}

void* lib_realloc(void* p, size_t size) {
  if (p == nullptr) return lib_malloc(size);
  size_t old_size = 0;
  bool reserved = false;
  {
    Lock lock;
    if (live_blocks.load(std::memory_order_relaxed) > 0 && region_of(p) != nullptr) {
      reserved = true;
      old_size = block_size(p);
    }
  }
  if (!reserved) {
    requested.fetch_add(size, std::memory_order_relaxed);
    void* q = sys_realloc(p, size);
    if (q != nullptr || size == 0) return q;
    old_size = ::malloc_usable_size(p);
    q = reserve_block(size, HEADER);
    if (q == nullptr) return nullptr;
    std::memcpy(q, p, std::min(old_size, size));
    sys_free(p);
    return q;
  }
  if (size == 0) {
    lib_free(p);
    return nullptr;
  }
  void* q = lib_malloc(size);
  if (q == nullptr) return nullptr;
  std::memcpy(q, p, std::min(old_size, size));
  lib_free(p);
  return q;
}

int lib_posix_memalign(void** out, size_t align, size_t size) {
  requested.fetch_add(size + align, std::memory_order_relaxed);
  const int r = sys_posix_memalign(out, align, size);
  if (r != ENOMEM) return r;
  void* p = reserve_block(size, align);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* lib_aligned_alloc(size_t align, size_t size) {
  requested.fetch_add(size + align, std::memory_order_relaxed);
  void* p = sys_aligned_alloc(align, size);
  return p != nullptr || size == 0 ? p : reserve_block(size, align);
}

void* lib_memalign(size_t align, size_t size) {
  requested.fetch_add(size + align, std::memory_order_relaxed);
  void* p = sys_memalign(align, size);
  return p != nullptr || size == 0 ? p : reserve_block(size, align);
}

// ---- Rewriting the library's relocation slots ----

struct Target {
  const char* name;
  void* function;
};

const Target TARGETS[] = {
    {"malloc", reinterpret_cast<void*>(&lib_malloc)},
    {"calloc", reinterpret_cast<void*>(&lib_calloc)},
    {"realloc", reinterpret_cast<void*>(&lib_realloc)},
    {"free", reinterpret_cast<void*>(&lib_free)},
    {"posix_memalign", reinterpret_cast<void*>(&lib_posix_memalign)},
    {"aligned_alloc", reinterpret_cast<void*>(&lib_aligned_alloc)},
    {"memalign", reinterpret_cast<void*>(&lib_memalign)},
};

#if defined(__x86_64__)
constexpr unsigned SLOT_TYPES[] = {R_X86_64_JUMP_SLOT, R_X86_64_GLOB_DAT};
#elif defined(__aarch64__)
constexpr unsigned SLOT_TYPES[] = {R_AARCH64_JUMP_SLOT, R_AARCH64_GLOB_DAT};
#elif defined(__arm__)
constexpr unsigned SLOT_TYPES[] = {R_ARM_JUMP_SLOT, R_ARM_GLOB_DAT};
#elif defined(__i386__)
constexpr unsigned SLOT_TYPES[] = {R_386_JMP_SLOT, R_386_GLOB_DAT};
#else
constexpr unsigned SLOT_TYPES[] = {};
#endif

#if __ELF_NATIVE_CLASS == 64
size_t symbol_of(uint64_t info) { return ELF64_R_SYM(info); }
unsigned type_of(uint64_t info) { return ELF64_R_TYPE(info); }
#else
size_t symbol_of(uint32_t info) { return ELF32_R_SYM(info); }
unsigned type_of(uint32_t info) { return ELF32_R_TYPE(info); }
#endif

struct Object {
  const char* name;  // the library's file, as the loader names it
  uintptr_t base = 0;
  const ElfW(Dyn) * dynamic = nullptr;
  uintptr_t relro_begin = 0, relro_end = 0;
  bool found = false;
};

int find_object(struct dl_phdr_info* info, size_t, void* data) {
  auto* object = static_cast<Object*>(data);
  if (info->dlpi_name == nullptr || std::strcmp(info->dlpi_name, object->name) != 0) return 0;
  object->base = info->dlpi_addr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_DYNAMIC)
      object->dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr);
    if (ph.p_type == PT_GNU_RELRO) {
      object->relro_begin = info->dlpi_addr + ph.p_vaddr;
      object->relro_end = object->relro_begin + ph.p_memsz;
    }
  }
  object->found = object->dynamic != nullptr;
  return 1;
}

// Writes `function` into the slot; slots the loader made read-only after relocation
// are opened for the write and closed again.
bool write_slot(const Object& object, uintptr_t slot, void* function) {
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  void* start = reinterpret_cast<void*>(slot & ~(page - 1));
  const bool read_only = slot >= object.relro_begin && slot < object.relro_end;
  if (read_only && ::mprotect(start, page, PROT_READ | PROT_WRITE) != 0) return false;
  std::memcpy(reinterpret_cast<void*>(slot), &function, sizeof function);
  if (read_only) ::mprotect(start, page, PROT_READ);
  return true;
}

// Rewrites every slot of the object that names one of TARGETS. True when the
// allocating ones it imports were all rewritten.
bool rewrite(const Object& object) {
  // Loaders differ in whether they relocate these addresses in place.
  auto address = [&](ElfW(Addr) a) { return a < object.base ? object.base + a : static_cast<uintptr_t>(a); };
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  uintptr_t tables[2] = {0, 0};  // jump slots, other relocations
  size_t sizes[2] = {0, 0};
  bool with_addend[2] = {false, false};
  for (const ElfW(Dyn)* d = object.dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB:
        symbols = reinterpret_cast<const ElfW(Sym)*>(address(d->d_un.d_ptr));
        break;
      case DT_STRTAB:
        names = reinterpret_cast<const char*>(address(d->d_un.d_ptr));
        break;
      case DT_JMPREL:
        tables[0] = address(d->d_un.d_ptr);
        break;
      case DT_PLTRELSZ:
        sizes[0] = d->d_un.d_val;
        break;
      case DT_PLTREL:
        with_addend[0] = d->d_un.d_val == DT_RELA;
        break;
      case DT_RELA:
        tables[1] = address(d->d_un.d_ptr), with_addend[1] = true;
        break;
      case DT_RELASZ:
        sizes[1] = d->d_un.d_val;
        break;
      case DT_REL:
        tables[1] = address(d->d_un.d_ptr), with_addend[1] = false;
        break;
      case DT_RELSZ:
        sizes[1] = d->d_un.d_val;
        break;
      default:
        break;
    }
  }
  if (symbols == nullptr || names == nullptr) return false;
  bool ok = true;
  size_t rewritten = 0;
  auto visit = [&](ElfW(Addr) offset, size_t symbol, unsigned type) {
    if (std::find(std::begin(SLOT_TYPES), std::end(SLOT_TYPES), type) == std::end(SLOT_TYPES)) return;
    const char* name = names + symbols[symbol].st_name;
    for (const Target& t : TARGETS) {
      if (std::strcmp(name, t.name) != 0) continue;
      ok = write_slot(object, object.base + offset, t.function) && ok;
      ++rewritten;
    }
  };
  for (int k = 0; k < 2; ++k) {
    if (tables[k] == 0) continue;
    if (with_addend[k]) {
      const auto* r = reinterpret_cast<const ElfW(Rela)*>(tables[k]);
      for (size_t i = 0; i < sizes[k] / sizeof *r; ++i)
        visit(r[i].r_offset, symbol_of(r[i].r_info), type_of(r[i].r_info));
    } else {
      const auto* r = reinterpret_cast<const ElfW(Rel)*>(tables[k]);
      for (size_t i = 0; i < sizes[k] / sizeof *r; ++i)
        visit(r[i].r_offset, symbol_of(r[i].r_info), type_of(r[i].r_info));
    }
  }
  return ok && rewritten > 0;
}

bool install() {
  Dl_info where;
  if (::dladdr(reinterpret_cast<void*>(&roaring_bitmap_create), &where) == 0 || where.dli_fname == nullptr)
    return false;
  Object object;
  object.name = where.dli_fname;
  ::dl_iterate_phdr(find_object, &object);
  return object.found && rewrite(object);
}

// At load, before any bitmap exists: a block the system allocated must never reach the
// reserve's free, and the other way round.
const bool installed = install();

}  // namespace

void ensure(size_t bytes) {
  if (spare.load(std::memory_order_relaxed) >= bytes) return;
  Lock lock;
  Region* r = count > 0 ? &regions[count - 1] : nullptr;
  if (r != nullptr && r->live == 0 && r->size >= bytes) {
    r->used = 0;
    publish();
    return;
  }
  if (bytes > SIZE_MAX / 2 || !map_region(bytes + HEADER)) throw std::bad_alloc();
}

void trim() noexcept {
  if (current_size.load(std::memory_order_relaxed) <= BASE_REGION) return;
  Lock lock;
  if (count > 0 && regions[count - 1].live == 0 && regions[count - 1].size > BASE_REGION) {
    unmap_at(count - 1);
    publish();
  }
}

bool routed() { return installed; }

uint64_t TEST_requested_by_library() { return requested.load(std::memory_order_relaxed); }

}  // namespace tovik::bitmap_memory
