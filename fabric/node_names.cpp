// Node names for every topology reader: the description made one word, made
// unique where descriptions repeat.

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/line_reader.h"

namespace {

// Trimmed, every run of blanks inside made one '_'; an empty description
// gives the GUID.
std::string nameFromDescription(std::string_view d, uint64_t guid) {
  std::string name;
  size_t i = 0;
  while (i < d.size()) {
    if (isBlank(d[i])) {
      while (i < d.size() && isBlank(d[i])) ++i;
      if (!name.empty() && i < d.size()) name += '_';
    } else {
      name += d[i++];
    }
  }
  return name.empty() ? guidText(guid) : name;
}

}  // namespace

void nameNodes(std::vector<NodeDecl>& decls) {
  std::unordered_map<std::string, uint32_t> uses;
  uses.reserve(decls.size());
  for (NodeDecl& d : decls) {
    d.nodeName = nameFromDescription(d.description, d.nodeGuid);
    ++uses[d.nodeName];
  }
  // Names no other node wants are taken first, so that a node described as
  // "x_0x<GUID>" keeps its name and the renamed "x" steps aside.
  std::unordered_set<std::string> taken;
  taken.reserve(decls.size());
  for (const NodeDecl& d : decls)
    if (uses[d.nodeName] == 1) taken.insert(d.nodeName);
  for (NodeDecl& d : decls) {
    if (uses[d.nodeName] == 1) continue;
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
