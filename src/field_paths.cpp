// FieldPaths: interning dotted paths as a trie of segments, and finding them again.
#include "field_paths.hpp"

#include <limits>
#include <new>

namespace tovik {

size_t FieldPaths::SegmentHash::operator()(const SegmentView& s) const {
  const size_t h = std::hash<std::string_view>{}(s.text);
  return h ^ (size_t{s.parent} * 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
}

FieldPaths::Node FieldPaths::child(Node parent, std::string_view key) {
  Node at = base_of(parent);
  for (size_t start = 0;;) {
    const size_t dot = key.find('.', start);
    const std::string_view segment =
        key.substr(start, dot == std::string_view::npos ? key.npos : dot - start);
    if (auto it = nodes_.find(SegmentView{at, segment}); it != nodes_.end()) {
      at = it->second;
    } else {
      if (next_ == std::numeric_limits<Node>::max()) throw std::bad_alloc();
      nodes_.emplace(Segment{at, std::string(segment)}, next_);
      if (at == ROOT && segment.empty()) empty_text_ = next_;
      at = next_++;
    }
    if (dot == std::string_view::npos) return at;
    start = dot + 1;
  }
}

std::optional<FieldPaths::Node> FieldPaths::find(std::string_view path) const {
  Node at = ROOT;
  for (size_t start = 0;;) {
    const size_t dot = path.find('.', start);
    const std::string_view segment =
        path.substr(start, dot == std::string_view::npos ? path.npos : dot - start);
    const auto it = nodes_.find(SegmentView{at, segment});
    if (it == nodes_.end()) return std::nullopt;
    at = it->second;
    if (dot == std::string_view::npos) return at;
    start = dot + 1;
  }
}

}  // namespace tovik
