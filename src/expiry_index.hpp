// ExpiryIndex: the expiry time of every id that has one, kept in order of time, so
// that a purge finds the ids expired by now in O(log n) each without looking at the
// ids that have not.
//
// Layout: a min-heap of (expiry, id) entries plus each id's current expiry in a per-id
// table (expiry + 1, 0 for none). Replacing an id's expiry pushes a new entry and
// leaves the old one in the heap (each id has at most one current entry); an entry whose time is no longer
// its id's current expiry is stale and dropped when it reaches the top, so an earlier expiry that was
// replaced never purges the id. When stale entries outnumber the live ones the heap
// is compacted in place. Memory: 16 bytes per heap entry and 8 bytes per id slot
// (slots never written cost no resident memory, see zeroed_array.hpp).
// No locks: the database is externally synchronised (see core.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bitmap.hpp"
#include "zeroed_array.hpp"

namespace tovik {

class ExpiryIndex {
 public:
  // Allocates what one set(id, ...) needs. Throws std::bad_alloc (nothing observable
  // changes then).
  void reserve_for(uint32_t id);
  // Records id's expiry, replacing any earlier one. Cannot fail.
  // REQUIRES: reserve_for(id) since the last set.
  void set(uint32_t id, uint64_t expiry) noexcept;

  std::optional<uint64_t> expiry_of(uint32_t id) const;
  // Whether an entry (possibly a stale one) lies strictly before `now`: when false, a
  // purge at `now` has nothing to do. O(1).
  bool may_have_before(uint64_t now) const { return !heap_.empty() && heap_.front().expiry < now; }
  // The entries due strictly before `now`, out of the heap but still each id's
  // expiry: the purge settles them with forget (the ids have no expiry any more) or,
  // when it could not remove the ids, put_back (as if never taken).
  struct Taken {
    Bitmap ids;
    std::vector<std::pair<uint64_t, uint32_t>> entries;  // (expiry, id)
  };
  // Throws std::bad_alloc with nothing changed.
  Taken take_before(uint64_t now);
  void forget(const Taken& taken) noexcept;
  // REQUIRES: no set() since take_before (the heap has room for the entries again).
  void put_back(const Taken& taken) noexcept;
  // Ids with an expiry.
  size_t size() const { return live_; }

 private:
  struct Entry {
    uint64_t expiry;
    uint32_t id;
  };
  // Heap order: the earliest expiry on top.
  static bool later(const Entry& a, const Entry& b) { return a.expiry > b.expiry; }
  bool is_current(const Entry& e) const { return e.id < current_.size() && current_[e.id] == e.expiry + 1; }
  void drop_stale() noexcept;

  std::vector<Entry> heap_;
  ZeroedArray<uint64_t> current_;  // per id: expiry + 1, or 0 for none
  size_t live_ = 0;
};

}  // namespace tovik
