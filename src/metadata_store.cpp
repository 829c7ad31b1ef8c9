// Offsets reach 4 GiB: off_t must be 64-bit on 32-bit targets too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "metadata_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "system_error.hpp"

static_assert(sizeof(off_t) == 8, "the metadata file needs 64-bit file offsets");

namespace tovik {

namespace {

constexpr size_t MAX_IO_CHUNK = 2147483647;  // the most one read or write is asked for
constexpr uint64_t MAX_RECORD_SLOTS = uint64_t{1} << 32;  // one per 32-bit id

Error last_system_error() { return Error::msg(system_error_text(errno)); }

// At most this many stores of the process keep their append descriptor between adds;
// the others open and close per append as before. A program that makes many database
// objects (and under a tracing collector frees them late) must not run out of
// descriptors because of a saving meant for the one or two it uses at a time.
constexpr int MAX_KEPT_APPEND_DESCRIPTORS = 16;
std::atomic<int> kept_append_descriptors{0};

bool take_keep_slot() {
  int now = kept_append_descriptors.load(std::memory_order_relaxed);
  while (now < MAX_KEPT_APPEND_DESCRIPTORS) {
    if (kept_append_descriptors.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

// Opens the metadata file with `flags` and keeps it only if it is a regular file.
// The open never waits: a FIFO (with or without a peer) or a device would otherwise
// stall the caller, who holds the interpreter lock. Anything else that opens (a FIFO,
// a device, a socket, a directory opened for reading) is closed again and refused with
// NOT_A_REGULAR_FILE, the error the system itself gives for a FIFO that has no reader
// and for a socket. Returns the descriptor (and what fstat says of it in `st`), or -1
// with errno set.
int open_regular_file(const std::string& path, int flags, struct stat& st, mode_t mode = 0) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = NOT_A_REGULAR_FILE;
  } else {
    // Blocking again, so that reads and writes behave as for any regular file. F_SETFL
    // sets only the status flags (O_APPEND, O_NONBLOCK and the like; access mode and
    // creation flags are ignored), and `flags` names every one this file should have.
    if (::fcntl(fd, F_SETFL, flags) != 0) err = errno;
  }
  if (err == 0) return fd;
  ::close(fd);
  errno = err;
  return -1;
}

// Writes all of data; retries interrupted writes.
Result<void> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), std::min(data.size(), MAX_IO_CHUNK));
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_system_error();
    }
    if (n == 0) return Error::msg("failed to write whole buffer");
    data.remove_prefix(static_cast<size_t>(n));
  }
  return Ok{};
}

// Reads exactly out.size() bytes starting at `offset`, without moving the file
// position; false on any error other than an interruption, or when the file ends first.
bool pread_exact(int fd, std::string& out, off_t offset) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, std::min(out.size() - done, MAX_IO_CHUNK),
                              offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Whether a list of `slots` entries can be indexed on this platform: 2^32 slots (for
// id 2^32 - 1) cannot on a 32-bit target.
bool fits_in_size_t(uint64_t slots) { return slots <= SIZE_MAX; }

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {  // a run of ASCII is copied whole
      size_t end = i + 1;
      while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) < 0x80) ++end;
      out.append(bytes.substr(i, end - i));
      i = end;
      continue;
    }
    // The continuation count and the allowed range of the first continuation byte
    // exclude overlong forms, surrogates and code points above U+10FFFF.
    size_t needed = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    // Accept continuation bytes while they fit; a shortfall replaces the maximal
    // valid prefix (at least the lead byte) by one U+FFFD.
    size_t taken = 0;
    while (taken < needed && i + 1 + taken < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + 1 + taken]);
      if (c < low || c > high) break;
      low = 0x80;
      high = 0xBF;
      ++taken;
    }
    if (needed > 0 && taken == needed) {
      out.append(bytes.substr(i, needed + 1));
    } else {
      out.append(REPLACEMENT);
    }
    i += 1 + taken;
  }
  return out;
}

Result<void> MetadataStore::reserve(uint64_t slots) {
  if (!fits_in_size_t(slots) || slots > MAX_RECORD_SLOTS) return Error::oom();
  try {
    entries_.reserve(slots);
  } catch (const std::bad_alloc&) {
    return Error::oom();
  }
  return Ok{};
}

Result<void> MetadataStore::append_metadata(uint32_t id, std::string_view text) {
  // A length that does not fit the 32-bit record could never be read back whole.
  if (text.size() > UINT32_MAX) return Error::msg("File too large (max 4GB)");
  // Room for the record is made first, so that running out of memory writes nothing
  // and the record can be set once the bytes are in.
  const uint64_t slots = uint64_t{id} + 1;
  if (auto room = reserve(slots); !room) return room;
  uint64_t end = 0;
  const int fd = append_descriptor(end);
  if (fd < 0) return last_system_error();
  if (end >= METADATA_FILE_LIMIT) {
    if (!append_.kept) close_append_handle();
    return Error::msg("File too large (max 4GB)");
  }
  if (auto written = write_all(fd, text); !written) {
    close_append_handle();
    return written;
  }
  set_record(id, {static_cast<uint32_t>(end), static_cast<uint32_t>(text.size())});
  if (!append_.kept) close_append_handle();
  return Ok{};
}

MetadataStore::~MetadataStore() { close_append_handle(); }

void MetadataStore::close_append_handle() {
  if (append_.fd >= 0) ::close(append_.fd);
  if (append_.kept) kept_append_descriptors.fetch_sub(1, std::memory_order_relaxed);
  append_ = AppendHandle{};
}

// The path is looked up on every append because an open per call would follow it: a
// different file there (removed, renamed over, moved away, a FIFO or a link swapped
// in), or the same file with other permission bits or owner (an open might now be
// refused), closes the kept descriptor and opens the path as a first append would. The
// size comes from the same lookup, so a file truncated or grown by others meanwhile
// gives the offset a fresh open would.
int MetadataStore::append_descriptor(uint64_t& end) {
  struct stat st {};
  if (append_.fd >= 0) {
    if (::stat(file_path_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == append_.device &&
        static_cast<uint64_t>(st.st_ino) == append_.inode && st.st_mode == append_.mode &&
        st.st_uid == append_.owner && st.st_gid == append_.group) {
      end = static_cast<uint64_t>(st.st_size);
      return append_.fd;
    }
    close_append_handle();
  }
  const int fd = open_regular_file(file_path_, O_WRONLY | O_APPEND | O_CREAT, st, 0666);
  if (fd < 0) return -1;
  append_ = AppendHandle{fd, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_mode,
                         st.st_uid, st.st_gid, take_keep_slot()};
  end = static_cast<uint64_t>(st.st_size);
  return fd;
}

void MetadataStore::set_record(uint32_t id, MetadataRecord record) {
  if (entries_.size() <= id) entries_.resize(uint64_t{id} + 1);  // within the reserved capacity
  entries_.set(id, Entry{record.offset, record.length, 1});
}

std::optional<MetadataRecord> MetadataStore::record(uint32_t id) const {
  if (id >= entries_.size() || entries_[id].present == 0) return std::nullopt;
  return MetadataRecord{entries_[id].offset, entries_[id].length};
}

std::optional<std::string> MetadataStore::read_metadata(uint32_t id) const {
  return MetadataReader(*this).read(id);
}

MetadataReader::~MetadataReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool MetadataReader::ensure_open() {
  if (state_ == State::Unopened) {
    struct stat st {};
    fd_ = open_regular_file(store_.file_path(), O_RDONLY, st);
    state_ = fd_ >= 0 ? State::Open : State::Failed;
  }
  return state_ == State::Open;
}

std::optional<std::string> MetadataReader::read(uint32_t id) {
  const std::optional<MetadataRecord> where = store_.record(id);
  if (!where || !ensure_open()) return std::nullopt;
  std::string bytes;
  try {
    bytes.resize(where->length);
  } catch (const std::length_error&) {
    return std::nullopt;  // longer than a string can be on this platform
  }
  if (!pread_exact(fd_, bytes, static_cast<off_t>(where->offset))) return std::nullopt;
  return decode_utf8_lossy(bytes);
}

}  // namespace tovik
