// FieldPaths: the dotted field paths of indexed metadata, each interned once as a small
// integer, so that the filter indexes key their maps by number and a path's text is
// never stored whole.
//
// A path's text is its parent's text, ".", and the key, or the key alone when the
// parent's text is empty. Keys are not escaped, so a text names a position in several
// documents at once: {"a.b": 1} and {"a": {"b": 1}} both have the path "a.b". The table
// therefore stores a path as a trie over the text's dot-separated segments: a node is
// its parent node plus one segment with no dot in it, and every text (the empty one
// included) has exactly one node. Memory is one node per distinct segment position,
// linear in the length of the keys that created them, however deep the nesting; the
// root stands for "no path yet" (the prefix of top-level keys).
//
// Thread-safety: none; the filter engine that owns it is externally synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tovik {

class FieldPaths {
 public:
  using Node = uint32_t;
  static constexpr Node ROOT = 0;

  // The node of the path of `key` inside the path `parent` (ROOT for a top-level key),
  // created when new. Costs one look-up per dot-separated segment of key.
  // Throws std::bad_alloc when memory (or the 32-bit node numbering) runs out; the
  // nodes created before that stay, unused.
  Node child(Node parent, std::string_view key);

  // The node of the path whose text is `path`, created when new.
  Node intern(std::string_view path) { return child(ROOT, path); }

  // The node of an existing path text; nothing when no indexed key ever made it.
  std::optional<Node> find(std::string_view path) const;

  // Number of nodes, the root included.
  size_t size() const { return next_; }

 private:
  // A node's identity: its parent and one segment. Looked up through SegmentView
  // without copying the segment.
  struct Segment {
    Node parent;
    std::string text;
  };
  struct SegmentView {
    Node parent;
    std::string_view text;
  };
  struct SegmentHash {
    using is_transparent = void;
    size_t operator()(const SegmentView& s) const;
    size_t operator()(const Segment& s) const { return (*this)(SegmentView{s.parent, s.text}); }
  };
  struct SegmentEq {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return a.parent == b.parent && std::string_view(a.text) == std::string_view(b.text);
    }
  };

  // Where a child of `node` starts: paths whose text is empty (the root and the path
  // "") pass the key on alone, so their children start again from the root.
  Node base_of(Node node) const { return node == empty_text_ ? ROOT : node; }

  std::unordered_map<Segment, Node, SegmentHash, SegmentEq> nodes_;
  Node next_ = 1;
  Node empty_text_ = ROOT;  // the node of the text "" once it exists (ROOT until then)
};

}  // namespace tovik
