// TovikDB and its Impl: every step of add, search, delete, count and the purge, and the one
// edge (at_edge) where running out of memory becomes an error.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "core_impl.hpp"
#include "fd_io.hpp"
#include "json.hpp"
#include "system_error.hpp"
#include "thread_state.hpp"
#include "worker_pool.hpp"

namespace tovik {
namespace {

constexpr uint64_t MAX_EXPIRY = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// mkdir -p with mode 0777 (before the umask). An existing directory is fine.
Result<void> create_dir_all(const std::string& path) {
  if (path.empty()) return Ok{};
  if (::mkdir(path.c_str(), 0777) == 0) return Ok{};
  int err = errno;
  if (err == ENOENT) {
    const size_t slash = path.find_last_not_of('/') == std::string::npos
                             ? std::string::npos
                             : path.rfind('/', path.find_last_not_of('/'));
    if (slash != std::string::npos && slash > 0) {
      if (auto parent = create_dir_all(path.substr(0, slash)); !parent) return parent;
      if (::mkdir(path.c_str(), 0777) == 0) return Ok{};
      err = errno;
    }
  }
  struct stat st;
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Ok{};
  return Error::msg(system_error_text(err));
}

std::string metadata_path(const std::string& dir) {
  if (dir.empty() || dir.back() == '/') return dir + "metadata.bin";
  return dir + "/metadata.bin";
}

// now + ttl, saturated to [0, 2^63 - 1]: a very negative ttl is already expired, a huge
// one never expires, and nothing wraps around.
uint64_t expiry_time(uint64_t now, int64_t ttl) {
  if (now > MAX_EXPIRY) now = MAX_EXPIRY;
  if (ttl >= 0) {
    const uint64_t add = static_cast<uint64_t>(ttl);
    return add > MAX_EXPIRY - now ? MAX_EXPIRY : now + add;
  }
  const uint64_t sub = static_cast<uint64_t>(-(ttl + 1)) + 1;  // |ttl| without overflow
  return sub > now ? 0 : now - sub;
}

// Writes the whole line to file descriptor 1, bypassing any interpreter buffering.
bool write_to_stdout(const std::string& line) { return write_all(1, line) == 0; }

// a comes before b when its score is greater; NaN is unordered against everything.
bool ranks_before(const ScoredPair& a, const ScoredPair& b) { return a.score > b.score; }

// Three-way partition of [lo, hi) around `pivot`: returns [eq_lo, eq_hi) holding the
// pairs neither before nor after it. Every loop is bounded by indices, so even the
// non-transitive NaN ordering cannot walk out of range.
std::pair<size_t, size_t> partition3(std::vector<ScoredPair>& v, size_t lo, size_t hi, ScoredPair pivot) {
  size_t lt = lo, i = lo, gt = hi;
  while (i < gt) {
    if (ranks_before(v[i], pivot)) {
      std::swap(v[lt++], v[i++]);
    } else if (ranks_before(pivot, v[i])) {
      std::swap(v[i], v[--gt]);
    } else {
      ++i;
    }
  }
  return {lt, gt};
}

// The result tuples of the pairs, in order; with `metadata`, each with
// its text (pairs whose text cannot be read are left out), otherwise with "".
std::vector<ResultTuple> results_of(const std::vector<ScoredPair>& scored, const MetadataStore* metadata) {
  std::vector<ResultTuple> out;
  out.reserve(scored.size());
  if (metadata == nullptr) {
    for (const ScoredPair& pair : scored) out.push_back({pair.id, pair.score, std::string()});
    return out;
  }
  // One open of the metadata file serves the whole list.
  MetadataReader reader(*metadata);
  for (const ScoredPair& pair : scored) {
    if (auto text = reader.read(pair.id)) out.push_back({pair.id, pair.score, std::move(*text)});
  }
  return out;
}

// The edge every TovikDB operation runs through, and the one place where running out
// of memory turns from an exception into a Result (the error rule: result.hpp). First
// the calling thread's runtime exception state is allocated (so that a std::bad_alloc
// can be thrown on it later), and reserve mapped for an earlier large bitmap operation
// is given back.
template <typename Operation>
auto at_edge(Operation&& operation) -> decltype(operation()) {
  prepare_thread();
  Bitmap::trim_reserve();
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return Error::oom();
  } catch (const std::length_error&) {
    return Error::oom();
  }
}

}  // namespace

// Expiry times must keep working past 2038 on the 32-bit target (built with _TIME_BITS=64).
static_assert(sizeof(std::time_t) >= 8, "a 32-bit time_t stops the clock in 2038");

Result<uint64_t> system_clock_seconds() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return Error::internal(system_error_text(errno));
  if (ts.tv_sec < 0) return Error::internal("system clock is before the Unix epoch");
  return static_cast<uint64_t>(ts.tv_sec);
}

size_t candidate_limit(size_t k) {
  const size_t scaled = k > std::numeric_limits<size_t>::max() / CANDIDATE_FACTOR
                            ? std::numeric_limits<size_t>::max()
                            : k * CANDIDATE_FACTOR;
  return std::max(MIN_CANDIDATES, scaled);
}

size_t full_scan_bound(size_t k) {
  return k > std::numeric_limits<size_t>::max() / FULL_SCAN_FACTOR ? std::numeric_limits<size_t>::max()
                                                                   : k * FULL_SCAN_FACTOR;
}

void select_best(std::vector<ScoredPair>& scored, size_t k) {
  if (k == 0) {
    scored.clear();
    return;
  }
  if (scored.size() > k) {
    // Quickselect: afterwards the first k places hold the k best.
    size_t lo = 0, hi = scored.size();
    const size_t target = k - 1;
    while (hi - lo > 1) {
      // A NaN pivot separates nothing; prefer any comparable score in the range.
      size_t at = lo + (hi - lo) / 2;
      for (size_t i = lo; std::isnan(scored[at].score) && i < hi; ++i) at = i;
      if (std::isnan(scored[at].score)) break;
      const ScoredPair pivot = scored[at];
      const auto [eq_lo, eq_hi] = partition3(scored, lo, hi, pivot);
      if (target < eq_lo) {
        hi = eq_lo;
      } else if (target >= eq_hi) {
        lo = eq_hi;
      } else {
        break;
      }
    }
    scored.resize(k);
  }
  std::stable_sort(scored.begin(), scored.end(), ranks_before);
}

// ---------------------------------------------------------------------------------------
// TovikDB: each operation is Impl's, run through the edge.

Result<std::unique_ptr<TovikDB>> TovikDB::open(std::string path) {
  return at_edge([&]() -> Result<std::unique_ptr<TovikDB>> {
    // The system would silently cut the path at the NUL and create another directory.
    if (path.find('\0') != std::string::npos) return Error::msg("path contains a NUL byte");
    if (auto made = create_dir_all(path); !made) return std::move(made).error();
    return std::unique_ptr<TovikDB>(new TovikDB(std::make_unique<Impl>(std::move(path))));
  });
}

TovikDB::TovikDB(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TovikDB::~TovikDB() = default;

Result<void> TovikDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                          std::optional<int64_t> ttl) {
  return at_edge([&] { return impl_->add(id, vector, metadata_json, ttl); });
}

Result<std::vector<ResultTuple>> TovikDB::search(std::span<const float> query, size_t k,
                                                 std::optional<std::string_view> filter_json,
                                                 bool include_metadata) {
  return at_edge([&] { return impl_->search(query, k, filter_json, include_metadata); });
}

Result<std::vector<ResultTuple>> TovikDB::build_results(std::vector<ScoredPair> scored,
                                                        bool include_metadata) const {
  return at_edge(
      [&]() -> Result<std::vector<ResultTuple>> { return impl_->build_results(scored, include_metadata); });
}

Result<uint64_t> TovikDB::delete_matching(std::string_view filter_json) {
  return at_edge([&] { return impl_->delete_matching(filter_json); });
}

Result<void> TovikDB::clean_expired() {
  return at_edge([&] { return impl_->purge_expired(); });
}

Result<uint64_t> TovikDB::count() {
  return at_edge([&]() -> Result<uint64_t> {
    if (auto purged = impl_->purge_expired(); !purged) return std::move(purged).error();
    return impl_->live_count();
  });
}

// ---------------------------------------------------------------------------------------
// TovikDB::Impl: the steps.

// A new LSH is moved in when the dimension is fixed; that must not be able to fail.
static_assert(std::is_nothrow_move_assignable_v<LSH>);

TovikDB::Impl::Impl(std::string path)
    : path_(std::move(path)),
      lsh_(INITIAL_DIMENSION),
      storage_(INITIAL_DIMENSION, QUANTIZATION_THRESHOLD),
      metadata_(metadata_path(path_)),
      announce_(write_to_stdout) {}

void TovikDB::Impl::SearchScratch::trim(size_t candidates) {
  auto trim_vector = [candidates](auto& v) {
    if (v.capacity() > candidates) std::remove_reference_t<decltype(v)>().swap(v);
  };
  trim_vector(ids);
  trim_vector(admitted);  // words: kept up to one per candidate
  trim_vector(scored);
  for (std::vector<ScoredPair>& piece : pieces) trim_vector(piece);
  lsh.trim(candidates);
}

struct TovikDB::Impl::PreparedAdd {
  std::optional<LSH> fresh_lsh;  // replaces lsh_ while the dimension is not fixed
  LSH::PreparedInsert lsh_insert;
  std::optional<Result<json::Value>> parsed;  // the parser's outcome, reported after storing
  std::optional<Result<uint64_t>> now;        // the clock, read when a ttl is given
};

Result<void> TovikDB::Impl::prepare_add(uint32_t id, std::span<const float> vector,
                                        std::string_view metadata_json, bool has_ttl, PreparedAdd& prepared) {
  const uint64_t slots = static_cast<uint64_t>(id) + 1;
  if (auto r = storage_.reserve(slots); !r) return r;
  if (auto r = metadata_.reserve(slots); !r) return r;
  LSH* lsh = &lsh_;
  if (dim_ == 0) lsh = &prepared.fresh_lsh.emplace(static_cast<uint32_t>(vector.size()));
  prepared.lsh_insert = lsh->prepare_insert(id, vector);
  prepared.parsed.emplace(json::parse(metadata_json));
  if (has_ttl) expirations_.reserve_for(id);
  // The two id sets add changes after its first change cannot fail then.
  Bitmap::ensure_room(stored_ids_.add_cost() + filter_.universe_add_cost());
  if (has_ttl) prepared.now.emplace(clock_());
  return Ok{};
}

Result<void> TovikDB::Impl::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                                std::optional<int64_t> ttl) {
  const uint64_t n = vector.size();
  if (dim_ != 0 && n != dim_) {
    return Error::msg("Dimension mismatch: expected " + std::to_string(dim_) + ", got " + std::to_string(n));
  }
  if (n > std::numeric_limits<uint32_t>::max()) return Error::oom("vector too long");
  PreparedAdd prepared;
  if (auto r = prepare_add(id, vector, metadata_json, ttl.has_value(), prepared); !r) return r;
  // Storage comes first of the changes: it is the one that can still fail for lack of
  // memory (the switch to quantization), and it then leaves itself as it was.
  if (auto r = storage_.store(id, vector, announce_); !r) return r;
  if (prepared.fresh_lsh) {
    lsh_ = std::move(*prepared.fresh_lsh);
    dim_ = static_cast<uint32_t>(n);
  }
  lsh_.commit_insert(std::move(prepared.lsh_insert));
  if (id_bound_ <= id) id_bound_ = static_cast<uint64_t>(id) + 1;
  stored_ids_.add(id);
  if (auto r = metadata_.append_metadata(id, metadata_json); !r) return r;
  filter_.add_to_universe(id);

  Result<json::Value>& parsed = *prepared.parsed;
  if (!parsed) return std::move(parsed).error();
  if (parsed->is_object()) filter_.index_object(parsed->as_object(), "", id);

  if (ttl) {
    Result<uint64_t>& now = *prepared.now;
    if (!now) return std::move(now).error();
    expirations_.set(id, expiry_time(now.value(), *ttl));
  }
  return Ok{};
}

void TovikDB::Impl::gather_candidates(std::span<const float> query, size_t k,
                                      const std::optional<Bitmap>& admissible, SearchScratch& scratch) const {
  std::vector<uint32_t>& ids = scratch.ids;
  const size_t limit = candidate_limit(k);
  lsh_.query(query, limit, scratch.lsh, ids);
  const bool full_scan = ids.size() < full_scan_bound(k) && ids.size() < id_bound_;
  if (!full_scan) {
    if (deleted_ids_.empty() && !admissible) return;  // nothing to remove
    if (admissible && keep_admitted(*admissible, ids, scratch.admitted)) return;
    std::erase_if(ids, [&](uint32_t id) {
      return deleted_ids_.contains(id) || (admissible && !admissible->contains(id));
    });
    return;
  }
  ids.clear();
  if (admissible) {
    admissible->for_each([&](uint32_t id) {
      if (!deleted_ids_.contains(id)) ids.push_back(id);
      return ids.size() < limit;
    });
    return;
  }
  // Every live id below the bound is a candidate, but ids that never had a vector
  // stored would only drop out at scoring: the scan visits the stored ones alone.
  ids = Bitmap::difference(stored_ids_, deleted_ids_).to_vector();
}

bool TovikDB::Impl::keep_admitted(const Bitmap& admissible, std::vector<uint32_t>& ids,
                                  std::vector<uint32_t>& marks) const {
  if (ids.empty()) return false;
  const auto [lowest, highest] = std::minmax_element(ids.begin(), ids.end());
  // Bit b of marks stands for id first + b, first rounded down to a whole word.
  const uint32_t first = *lowest & ~uint32_t{31};
  const uint32_t last = *highest;
  const uint64_t words = (last - first) / 32 + 1;
  // Worth it when zeroing the words and setting a bit per admissible id in the range
  // cost less than a set look-up per candidate; the bounds also keep the buffer linear
  // in the candidates.
  const uint64_t candidates = ids.size();
  if (words > ADMITTED_WORDS_PER_CANDIDATE * candidates) return false;
  if (admissible.range_cardinality(first, last) > ADMITTED_IDS_PER_CANDIDATE * candidates) return false;
  marks.assign(static_cast<size_t>(words), 0);
  admissible.mark_range(first, last, marks.data());
  const bool any_deleted = !deleted_ids_.empty();
  std::erase_if(ids, [&](uint32_t id) {
    const uint32_t bit = id - first;
    const bool admitted = (marks[bit >> 5] >> (bit & 31)) & 1u;
    return !admitted || (any_deleted && deleted_ids_.contains(id));
  });
  return true;
}

std::vector<uint32_t> TovikDB::Impl::TEST_candidates(std::span<const float> query, size_t k,
                                                     const std::optional<Bitmap>& admissible) const {
  SearchScratch scratch;
  gather_candidates(query, k, admissible, scratch);
  return std::move(scratch.ids);
}

size_t TovikDB::Impl::TEST_trim_scratch(size_t candidates) {
  scratch_.trim(candidates);
  return scratch_.ids.capacity() + scratch_.scored.capacity();
}

Result<std::vector<ScoredPair>> TovikDB::Impl::score(std::span<const float> query,
                                                     const std::vector<uint32_t>& ids,
                                                     SearchScratch& scratch) const {
  // The query's norm (raw) or its centroid distance table (quantized) is worked out
  // once here and shared by every piece.
  VectorStorage::PreparedQuery prepared = storage_.prepare(query, ids.size(), &scratch.table);
  auto score_range = [&](size_t begin, size_t end, std::vector<ScoredPair>& out) {
    out.clear();
    out.reserve(end - begin);
    storage_.score_many(prepared, std::span<const uint32_t>(ids).subspan(begin, end - begin), out);
  };
  // The scores go into the scratch's buffer, lent to the result: search hands it back.
  std::vector<ScoredPair> scored = std::move(scratch.scored);
  if (ids.size() <= PARALLEL_THRESHOLD) {
    score_range(0, ids.size(), scored);
    VectorStorage::recycle(prepared, scratch.table);
    return scored;
  }
  // One count for both the result slots and the split: asking twice could give two
  // answers if the processors available change in between.
  const size_t piece_total = piece_count(ids.size());
  std::vector<std::vector<ScoredPair>>& pieces = scratch.pieces;
  if (pieces.size() < piece_total) pieces.resize(piece_total);
  auto run = parallel_chunks(ids.size(), piece_total, [&](size_t begin, size_t end, size_t piece) {
    score_range(begin, end, pieces[piece]);
  });
  VectorStorage::recycle(prepared, scratch.table);
  if (!run) return std::move(run).error();
  size_t total = 0;
  for (size_t p = 0; p < piece_total; ++p) total += pieces[p].size();
  scored.clear();
  scored.reserve(total);
  for (size_t p = 0; p < piece_total; ++p) scored.insert(scored.end(), pieces[p].begin(), pieces[p].end());
  return scored;
}

Result<std::vector<ResultTuple>> TovikDB::Impl::search(std::span<const float> query, size_t k,
                                                       std::optional<std::string_view> filter_json,
                                                       bool include_metadata) {
  if (auto purged = purge_expired(); !purged) return std::move(purged).error();
  std::optional<Bitmap> admissible;
  if (filter_json) {
    auto filtered = filter_.apply_filter(*filter_json);
    if (!filtered) return std::move(filtered).error();
    admissible = filtered->has_value() ? std::move(**filtered) : Bitmap{};
  }
  gather_candidates(query, k, admissible, scratch_);
  auto scored = score(query, scratch_.ids, scratch_);
  if (!scored) return std::move(scored).error();
  select_best(scored.value(), k);
  std::vector<ResultTuple> results = results_of(scored.value(), include_metadata ? &metadata_ : nullptr);
  scratch_.scored = std::move(scored).value();  // kept for the next search
  scratch_.trim(SCRATCH_KEEP_CANDIDATES);
  return results;
}

std::vector<ResultTuple> TovikDB::Impl::build_results(const std::vector<ScoredPair>& scored,
                                                      bool include_metadata) const {
  return results_of(scored, include_metadata ? &metadata_ : nullptr);
}

void TovikDB::Impl::remove_ids(const Bitmap& ids) {
  deleted_ids_ |= ids;
  remove_from_indexes(ids);
}

void TovikDB::Impl::remove_from_indexes(const Bitmap& ids) {
  lsh_.remove_many(ids);
  filter_.remove_documents(ids);
}

Result<uint64_t> TovikDB::Impl::delete_matching(std::string_view filter_json) {
  auto filtered = filter_.apply_filter(filter_json);
  if (!filtered) return std::move(filtered).error();
  if (!filtered->has_value()) return uint64_t{0};
  const Bitmap& matched = **filtered;
  const uint64_t n = matched.cardinality();
  if (n > 0) remove_ids(matched);
  return n;
}

Result<void> TovikDB::Impl::purge_expired() {
  auto now = clock_();
  if (!now) return Ok{};  // a clock before the epoch: nothing can be judged expired
  if (!expirations_.may_have_before(now.value())) return Ok{};
  const ExpiryIndex::Taken expired = expirations_.take_before(now.value());
  if (expired.ids.empty()) return Ok{};
  try {
    deleted_ids_ |= expired.ids;
  } catch (const std::bad_alloc&) {
    expirations_.put_back(expired);  // nothing purged: the next purge retries
    throw;
  }
  expirations_.forget(expired);
  remove_from_indexes(expired.ids);
  return Ok{};
}

}  // namespace tovik
