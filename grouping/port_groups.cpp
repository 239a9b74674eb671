#include "grouping/port_groups.h"

#include <cstdint>
#include <cstdio>

#include "grouping/regexp.h"

namespace {

// Groups the matching hosts; counts the hosts matched and those skipped.
void groupByExpression(IBFabric& fabric, const regExp& re, PortGroups& groups, uint32_t* matched,
                       uint32_t* skipped) {
  for (const auto& [name, node] : fabric.nodeMap) {
    if (node->isSwitch()) continue;
    if (node->portTable.size() < 2 || node->portTable[1] == nullptr) continue;
    std::optional<RegexMatch> m = re.match(node->nodeName);
    if (!m) {
      ++*skipped;
      continue;
    }
    groups[m->subMatch(1)].insert(node->portTable[1]);
    ++*matched;
  }
}

}  // namespace

bool fillPortGroups(IBFabric& fabric, const std::string& expression, PortGroups& groups) {
  regExp re(expression, REG_EXTENDED);
  if (re.status() != 0) return false;
  uint32_t matched = 0, skipped = 0;
  groupByExpression(fabric, re, groups, &matched, &skipped);
  return true;
}

int getPortGroups(IBFabric& fabric, const std::string& expression, PortGroups& groups) {
  regExp re(expression, REG_EXTENDED);
  // The compile failure has been reported; grouping with a broken expression
  // would only produce an empty run, so the caller stops here.
  if (re.status() != 0) return 1;

  std::printf("-I- definding nodes by regexp: %s\n", expression.c_str());
  std::fflush(stdout);

  uint32_t matched = 0;
  uint32_t skipped = 0;
  groupByExpression(fabric, re, groups, &matched, &skipped);

  for (const auto& [group, ports] : groups) {
    std::printf("-I- group: %s has: %zu ports\n", group.c_str(), ports.size());
    std::fflush(stdout);
  }
  std::printf("-I- Total of %u nodes (skipped %u)\n", static_cast<unsigned>(matched),
              static_cast<unsigned>(skipped));
  std::fflush(stdout);
  return 0;
}
