// TovikDB: the database object, the public face of the core and all the binding sees.
// Its operations are the Python methods' (add, search, build_results, delete,
// clean_expired, count). Each one forwards to TovikDB::Impl (core_impl.hpp), which holds
// the components and every step, through the one edge where running out of memory
// becomes an OutOfMemory error (the error rule: result.hpp): no operation throws.
// Nothing here knows about Python.
//
// Threading, the one model every component follows: a database is externally
// synchronised. The binding holds one lock around every call into the core (the
// interpreter lock, and under PyPy its own entry lock), so calls into one database, and
// into different databases, never overlap, and no component guards its own state with a
// lock. REQUIRES of C++ callers: the same, one call at a time. The one place other
// threads work is inside search (and the switch to quantization): the process-wide
// worker pool (worker_pool.hpp, whose queue has its own mutex) scores or encodes there,
// only reading storage, which nothing can change until the call returns.
//
// Running out of memory: every operation completes or returns OutOfMemory, and none
// ends the process (bitmap operations fail before they change anything: bitmap.hpp).
// Each contract below says what a failure leaves behind. Every operation first
// allocates the calling thread's runtime exception state (thread_state.hpp).
//
// Words the contracts use: id_bound is one more than the highest id ever added (0 for
// an empty database); an id is live when it is below id_bound and neither deleted nor
// expired; the purge deletes the ids whose expiry is strictly before now.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "scored_pair.hpp"

namespace tovik {

struct ResultTuple {
  uint32_t id;
  float score;
  std::string metadata;  // empty when metadata was not requested
};

class TovikDB {
 public:
  // Opens an empty database on directory `path`, creating it and any missing parents
  // (mode 0777 before the umask). An existing directory is used as it is and nothing in
  // it is read: the first add appends to path/metadata.bin, after any bytes already
  // there.
  // Errors: Message "path contains a NUL byte"; Message with the system's error text
  // when a directory cannot be created or a path component is not a directory;
  // OutOfMemory. Directories made before a failure stay.
  static Result<std::unique_ptr<TovikDB>> open(std::string path);
  ~TovikDB();
  TovikDB(const TovikDB&) = delete;
  TovikDB& operator=(const TovikDB&) = delete;

  // Stores `vector` and the text `metadata_json` under `id`, replacing the vector and
  // text an earlier add gave it (filters still match the earlier text's values too),
  // and indexes the text's fields when it is a JSON object. The first non-empty vector
  // fixes the dimension. id_bound grows to cover `id`; an id deleted or expired before
  // stays deleted. With `ttl` the id expires at now + ttl seconds (saturated to
  // [0, 2^63 - 1]); without, an earlier expiry stays. The add that finds id_bound at the
  // quantization threshold first writes the activation line to standard output, then
  // replaces every stored vector by its code. Does not purge.
  // Errors, and what each leaves behind:
  //   - Message "Dimension mismatch: expected D, got N"; OutOfMemory before the vector
  //     is stored (room in the per-id tables, the hashing, the parse, the switch to
  //     quantization, a vector longer than 2^32 - 1); Internal when the activation line
  //     cannot be written: nothing changed.
  //   - Message from appending the text (the system's error text, "File too large (max
  //     4GB)", "failed to write whole buffer"): the vector is stored and the id counted
  //     and scored, but this add stored no text (the id keeps an earlier add's text, or
  //     results asking for text leave it out) and indexed nothing.
  //   - Message with the parser's text when metadata_json is not JSON: the document is
  //     stored, counted and searchable with its text; no field indexed, no new expiry.
  //   - OutOfMemory while indexing the fields: the same, its fields indexed up to the
  //     one that failed. Adding it again completes it.
  //   - Internal when a ttl is given and the clock is before the epoch: stored and
  //     indexed, no new expiry.
  Result<void> add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                   std::optional<int64_t> ttl);

  // Purges, then returns up to k live ids best first: the candidates' scores (cosine
  // similarity until quantization is on, the code score after), the k highest kept and
  // sorted stably by descending score (NaN is unordered against everything). The
  // candidates are the ids the hashing proposes (up to max(1000, 10 k)) that are not
  // deleted; when it proposes fewer than 2 k and fewer than id_bound, the live stored ids
  // are instead (in ascending order, up to the same limit when filtered). With
  // `filter_json` only the ids it matches are candidates (a filter with no result
  // matches none). With `include_metadata` each result carries its text
  // and results whose text cannot be read are left out; otherwise the text is "".
  // Errors: Message with the parser's text when filter_json is not JSON; OutOfMemory;
  // Internal when a scoring worker fails otherwise. A failure leaves what the purge did
  // (see clean_expired) and nothing else.
  Result<std::vector<ResultTuple>> search(std::span<const float> query, size_t k,
                                          std::optional<std::string_view> filter_json, bool include_metadata);

  // The pairs as result tuples in the order given, the ids and scores untouched; with
  // `include_metadata` each with its text, pairs whose text cannot be read (an id never
  // added, a file gone) left out; otherwise with "". Does not purge.
  // Errors: OutOfMemory; nothing changes.
  Result<std::vector<ResultTuple>> build_results(std::vector<ScoredPair> scored, bool include_metadata) const;

  // Deletes every id the filter matches and returns how many it matched (0 for a filter
  // with no result). A deleted id is never counted or returned again, even when added
  // again; nothing is freed. Does not purge.
  // Errors: Message with the parser's text when filter_json is not JSON (nothing
  // changed); OutOfMemory: while evaluating the filter or marking the ids deleted,
  // nothing changed; while taking them out of the indexes afterwards, they stay deleted
  // but a later delete whose filter still matches them counts them again.
  Result<uint64_t> delete_matching(std::string_view filter_json);

  // Purges: every id whose expiry is strictly before now is deleted as by
  // delete_matching, in O(log n) per expired id. A clock before the epoch cannot judge
  // any expiry: nothing is purged and the call succeeds, so count and search keep
  // working.
  // Errors: OutOfMemory: while marking the ids deleted, nothing is purged (the next
  // purge tries again); afterwards, as delete_matching.
  Result<void> clean_expired();

  // Purges, then returns the live ids: id_bound minus the deleted ones.
  // Errors: those of clean_expired.
  Result<uint64_t> count();

  // Test hook: the state behind the face (core_impl.hpp), for tests to inspect.
  class Impl;
  Impl& TEST_impl() { return *impl_; }
  const Impl& TEST_impl() const { return *impl_; }

 private:
  explicit TovikDB(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovik
