// The metadata file: appends through a kept descriptor, reads by position, and the
// lossy UTF-8 decoding of what is read.
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

#include "fd_io.hpp"
#include "system_error.hpp"
#include "utf8.hpp"

// Offsets reach 4 GiB: off_t must be 64-bit on 32-bit targets too (the build defines
// _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "the metadata file needs 64-bit file offsets");

namespace tovik {

namespace {

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
    // A shortfall replaces the maximal valid prefix (at least the lead byte) by one
    // U+FFFD.
    const Utf8Lead expected = utf8_lead(lead);
    const size_t taken = utf8_continuations(bytes, i, expected);
    if (expected.continuations > 0 && taken == expected.continuations) {
      out.append(bytes.substr(i, taken + 1));
    } else {
      out.append(REPLACEMENT);
    }
    i += 1 + taken;
  }
  return out;
}

Result<void> MetadataStore::reserve(uint64_t slots) {
  if (!fits_in_size_t(slots) || slots > MAX_RECORD_SLOTS) return Error::oom();
  entries_.reserve(slots);
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
  if (const int err = write_all(fd, text); err != 0) {
    close_append_handle();
    return write_error(err);
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
  append_ = AppendHandle{fd,
                         static_cast<uint64_t>(st.st_dev),
                         static_cast<uint64_t>(st.st_ino),
                         st.st_mode,
                         st.st_uid,
                         st.st_gid,
                         take_keep_slot()};
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
  if (!pread_exact(fd_, bytes, where->offset)) return std::nullopt;
  if (all_ascii(bytes)) return bytes;  // the common case, well-formed as it is
  return decode_utf8_lossy(bytes);
}

}  // namespace tovik
