// Node names for every topology reader: the description made one word, made
// unique where descriptions repeat.

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/text/scan.h"

const char* descriptionProblem(std::string_view description) {
  for (char c : description) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return "control character in the node description";
  }
  return nullptr;
}

namespace {

// Trimmed, every run of blanks inside made one '_'; an empty description
// gives the GUID.
std::string nameFromDescription(std::string_view d, uint64_t guid) {
  std::string name;
  name.reserve(d.size());
  size_t i = 0;
  while (i < d.size()) {
    while (i < d.size() && isBlank(d[i])) ++i;
    size_t start = i;
    while (i < d.size() && !isBlank(d[i])) ++i;
    if (i == start) break;
    if (!name.empty()) name += '_';
    name.append(d, start, i - start);
  }
  return name.empty() ? guidText(guid) : name;
}

// For each name, the first node that wants it: open addressing over node
// indices, so that the common case (every name unique) costs one probe per
// node and no allocation per name.
class FirstByName {
 public:
  explicit FirstByName(const std::vector<NodeDecl>& decls) : decls_(decls) {
    size_t size = 16;
    while (size < decls.size() * 2) size *= 2;
    slots_.assign(size, kEmpty);
    mask_ = size - 1;
  }
  // The first node named like decls[i] (i itself when it is the first).
  uint32_t add(uint32_t i) {
    std::string_view name = decls_[i].nodeName;
    for (size_t s = std::hash<std::string_view>{}(name)&mask_;; s = (s + 1) & mask_) {
      if (slots_[s] == kEmpty) return slots_[s] = i;
      if (decls_[slots_[s]].nodeName == name) return slots_[s];
    }
  }

 private:
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  const std::vector<NodeDecl>& decls_;
  std::vector<uint32_t> slots_;
  size_t mask_;
};

}  // namespace

void nameNodes(std::vector<NodeDecl>& decls) {
  for (NodeDecl& d : decls) d.nodeName = nameFromDescription(d.description, d.nodeGuid);
  // Which names more than one node wants.
  std::vector<bool> shared(decls.size());
  bool anyShared = false;
  {
    FirstByName first(decls);
    for (uint32_t i = 0; i < decls.size(); ++i) {
      uint32_t f = first.add(i);
      if (f != i) shared[i] = shared[f] = anyShared = true;
    }
  }
  if (!anyShared) return;
  // Names no other node wants are taken first, so that a node described as
  // "x_0x<GUID>" keeps its name and the renamed "x" steps aside.
  std::unordered_set<std::string> taken;
  taken.reserve(decls.size());
  for (size_t i = 0; i < decls.size(); ++i)
    if (!shared[i]) taken.insert(decls[i].nodeName);
  for (size_t i = 0; i < decls.size(); ++i) {
    if (!shared[i]) continue;
    NodeDecl& d = decls[i];
    std::string name = d.nodeName + '_' + guidText(d.nodeGuid);
    if (taken.count(name)) {
      std::string base = name + '_';
      for (unsigned k = 2;; ++k) {
        name = base + std::to_string(k);
        if (!taken.count(name)) break;
      }
    }
    taken.insert(name);
    d.nodeName = std::move(name);
  }
}
