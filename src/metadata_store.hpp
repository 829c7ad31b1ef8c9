// MetadataStore: the append-only metadata file ("metadata.bin") and, per document id,
// where its text lies in it. Only positions live in memory; texts are read back by
// position when results ask for metadata.
//
// Appends go through one descriptor kept open between calls; before each append the
// path is looked up again and the descriptor is reopened when the path no longer names
// the same file with the same owner and permission bits, so a file removed, replaced,
// moved away or truncated between calls gives the offsets and errors an open per call
// would give. Each reader opens the file afresh, so reads follow the path as it is now.
// Only a regular file is used, and opening never waits: a metadata file replaced by a
// FIFO, a device or a directory (or a symbolic link to one) fails every append with the
// system error text and reads as missing.
// A MetadataReader serves the reads of one result list from a single open.
// Thread-safety: none of its own. The database is externally synchronised (see
// core.hpp): one call at a time.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "zeroed_array.hpp"

namespace tovik {

constexpr uint64_t METADATA_FILE_LIMIT = 4294967296ULL;  // offsets are 32-bit
// The errno of an append to a metadata file that exists but is not a regular file (a
// FIFO, a device, a socket): ENXIO, "No such device or address", what the system
// answers itself for a FIFO without a reader and for a socket.
constexpr int NOT_A_REGULAR_FILE = ENXIO;

struct MetadataRecord {
  uint32_t offset;
  uint32_t length;
};

// bytes as UTF-8, with each maximal invalid subsequence (a byte that cannot start a
// sequence, or the valid start of a sequence cut short) replaced by one U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

class MetadataStore;

// Reads records of one store through one handle of its file, opened on the first
// read that has a record and kept until the reader is destroyed. Each read gives the
// outcome a fresh open would give as long as the file is not replaced meanwhile: the
// text at the recorded position, or nothing when there is no record or the file could
// not be opened or fully read. A failed open is not retried by the same reader.
// Not thread-safe: one reader per thread; it must not outlive its store.
class MetadataReader {
 public:
  explicit MetadataReader(const MetadataStore& store) : store_(store) {}
  MetadataReader(const MetadataReader&) = delete;
  MetadataReader& operator=(const MetadataReader&) = delete;
  ~MetadataReader();

  // The text recorded for id, with invalid UTF-8 replaced by U+FFFD, or nothing.
  std::optional<std::string> read(uint32_t id);

 private:
  enum class State { Unopened, Open, Failed };
  // Opens the file on first need. False when it could not be opened (now or before).
  bool ensure_open();

  const MetadataStore& store_;
  State state_ = State::Unopened;
  int fd_ = -1;
};

class MetadataStore {
 public:
  explicit MetadataStore(std::string file_path) : file_path_(std::move(file_path)) {}
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;
  ~MetadataStore();

  const std::string& file_path() const { return file_path_; }

  // Ensures the record list can hold `slots` entries without allocating later (its
  // capacity grows geometrically). OutOfMemory when `slots` exceeds what this platform
  // can index; throws std::bad_alloc when the memory cannot be had. Nothing changes on
  // failure.
  Result<void> reserve(uint64_t slots);

  // Appends text at the end of the file and records (offset, length) for id.
  // Errors: the system error text (NOT_A_REGULAR_FILE's when the path names something
  // other than a regular file, except a directory, which the open itself refuses);
  // "File too large (max 4GB)" when the file already
  // holds 4 GiB or more, or the text alone is 4 GiB or more (its length would not
  // fit the record); "failed to write whole buffer"; OutOfMemory (or std::bad_alloc)
  // when the record list cannot grow to id + 1 slots (checked before the file is opened).
  // No record on failure, and a failed open or write keeps no descriptor.
  // Costs two system calls once the file is open (a stat of the path and one write):
  // the offset is the size the stat reports, and the descriptor appends (O_APPEND), so
  // a process forked with the store writes at the end too, whatever the shared file
  // position says. The descriptor is closed on exec.
  // REQUIRES: appends are serialized by the caller.
  Result<void> append_metadata(uint32_t id, std::string_view text);

  // The text recorded for id, with invalid UTF-8 replaced by U+FFFD; nothing when
  // there is no record or the file cannot be opened, is not a regular file, or cannot
  // be positioned or fully read.
  // One open of the file per call; use a MetadataReader for many ids.
  std::optional<std::string> read_metadata(uint32_t id) const;

  // A copy of id's record, if any.
  std::optional<MetadataRecord> record(uint32_t id) const;

 private:
  // Grows the list to id + 1 slots and sets slot id.
  // REQUIRES: capacity for id + 1 slots was reserved.
  void set_record(uint32_t id, MetadataRecord record);

  // A record slot; all zero (what an unwritten slot reads as) means no record.
  struct Entry {
    uint32_t offset;
    uint32_t length;
    uint32_t present;
  };

  // The descriptor appends go through, and what the path's stat showed when it was
  // opened (or last matched): the file's identity and the access it was opened under.
  struct AppendHandle {
    int fd = -1;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t mode = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    bool kept = false;  // counted among the process's kept descriptors
  };

  // The kept descriptor if the path still names its file, else a fresh one; sets
  // `end` to the file's size. -1 with errno set when the path cannot be opened for
  // appending, is not a regular file, or cannot be examined.
  int append_descriptor(uint64_t& end);
  void close_append_handle();

  std::string file_path_;
  ZeroedArray<Entry> entries_;
  AppendHandle append_;
};

}  // namespace tovik
