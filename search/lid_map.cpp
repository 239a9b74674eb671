#include "search/lid_map.h"

#include <algorithm>
#include <cstdio>

static uint64_t nextStamp = 0;

LidGroupMap::LidGroupMap()
    : groupOfLid_(size_t{1} << 16, kAbsent),
      posOfLid_(size_t{1} << 16, 0),
      ownerOfLid_(size_t{1} << 16, nullptr),
      stamp_(++nextStamp) {}

int32_t LidGroupMap::internGroup(const std::string& name) {
  auto [it, added] = groupIndex_.try_emplace(name, static_cast<int32_t>(groupNames_.size()));
  if (added) {
    groupNames_.push_back(name);
    groupSizes_.push_back(0);
  }
  return it->second;
}

int32_t LidGroupMap::findGroup(std::string_view name) const {
  auto it = groupIndex_.find(name);
  return it == groupIndex_.end() ? kAbsent : it->second;
}

void LidGroupMap::set(uint16_t lid, int32_t group, const IBPort* owner) {
  ownerOfLid_[lid] = owner;
  if (owner) freePorts_[owner] = group;
  const int32_t old = groupOfLid_[lid];
  if (old == kAbsent) {
    posOfLid_[lid] = static_cast<uint32_t>(freeLids_.size());
    freeLids_.push_back(lid);
  } else {
    --groupSizes_[static_cast<size_t>(old)];
  }
  groupOfLid_[lid] = group;
  ++groupSizes_[static_cast<size_t>(group)];
  stamp_ = ++nextStamp;
}

void LidGroupMap::erase(uint16_t lid) {
  if (groupOfLid_[lid] == kAbsent) return;
  uint32_t pos = posOfLid_[lid];
  uint16_t last = freeLids_.back();
  freeLids_[pos] = last;
  posOfLid_[last] = pos;
  freeLids_.pop_back();
  --groupSizes_[static_cast<size_t>(groupOfLid_[lid])];
  groupOfLid_[lid] = kAbsent;
}

void LidGroupMap::take(const IBPort& port, uint32_t lidCount) {
  freePorts_.erase(&port);
  for (uint32_t k = 0; k < lidCount; ++k) {
    const uint16_t lid = static_cast<uint16_t>(port.baseLid + k);
    if (ownerOfLid_[lid] == &port) erase(lid);
  }
}

std::vector<std::pair<uint16_t, std::string>> LidGroupMap::ordered() const {
  std::vector<std::pair<uint16_t, std::string>> out;
  out.reserve(freeLids_.size());
  for (uint32_t lid = 0; lid < groupOfLid_.size(); ++lid) {
    if (groupOfLid_[lid] != kAbsent) {
      out.emplace_back(static_cast<uint16_t>(lid), groupNames_[groupOfLid_[lid]]);
    }
  }
  return out;
}

int clearSwitchPortCounters(IBFabric& fabric) {
  for (auto& [name, node] : fabric.nodeMap) {
    if (!node->isSwitch()) continue;
    for (unsigned n = 1; n <= node->portCount; ++n) {
      if (IBPort* port = node->getPort(n)) port->flowCount = 0;
    }
  }
  return 0;
}

bool buildLidGroupMap(const PortGroups& groups, uint16_t lmc, LidGroupMap& lidMap,
                      std::string* err) {
  const uint32_t count = lidsPerPort(lmc);
  for (const auto& [name, ports] : groups) {
    int32_t group = lidMap.internGroup(name);
    for (const IBPort* port : ports) {
      if (port->baseLid == 0) {
        if (err) *err = "-E- Zero LID for DST port: " + port->getName();
        return false;
      }
      // LIDs wrap past 2^16 - 1 to 0.
      for (uint32_t k = 0; k < count; ++k) {
        lidMap.set(static_cast<uint16_t>(port->baseLid + k), group, port);
      }
    }
  }
  return true;
}

namespace {

std::string lidText(uint32_t lid) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", lid & 0xffff);
  return text;
}

std::string rangeText(const IBPort& port, uint32_t count) {
  if (count == 1) return "LID " + lidText(port.baseLid);
  return "LIDs " + lidText(port.baseLid) + "-" + lidText(port.baseLid + count - 1);
}

// The lines of one kind of problem: the first few in full, then a count.
struct WarningKind {
  static constexpr size_t kShown = 20;
  explicit WarningKind(const char* summary) : rest(summary) {}
  const char* rest;  // the summary's text after the count
  std::vector<std::string> lines;
  size_t count = 0;
  void add(std::string line) {
    if (count++ < kShown) lines.push_back("-W- " + line);
  }
  void appendTo(std::vector<std::string>& out) const {
    out.insert(out.end(), lines.begin(), lines.end());
    if (count > kShown) out.push_back("-W- ... and " + std::to_string(count - kShown) + rest);
  }
};

}  // namespace

std::vector<std::string> lidRangeWarnings(const PortGroups& groups, uint16_t lmc) {
  std::vector<const IBPort*> ports;
  for (const auto& [name, groupPorts] : groups) {
    for (const IBPort* port : groupPorts)
      if (port->baseLid != 0) ports.push_back(port);
  }
  // Port addresses follow the fabric's creation order: a stable tie-break.
  std::sort(ports.begin(), ports.end(), [](const IBPort* a, const IBPort* b) {
    return a->baseLid != b->baseLid ? a->baseLid < b->baseLid : a < b;
  });
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());

  const uint32_t count = lidsPerPort(lmc);
  WarningKind unaligned{" more base LIDs not a multiple of the range size"};
  WarningKind shared{" more ports sharing a base LID"};
  WarningKind overlapping{" more overlapping LID ranges"};
  for (const IBPort* port : ports) {
    if (port->baseLid % count != 0) {
      unaligned.add("Base LID " + lidText(port->baseLid) + " of " + port->getName() +
                    " is not a multiple of " + std::to_string(count) + " (LMC " +
                    std::to_string(lmc) + ")");
    }
  }
  // In base-LID order each port is held against the next one; bStart is the
  // next one's base, above 0xffff for a range that wraps onto the first.
  auto compare = [&](const IBPort& a, const IBPort& b, uint32_t bStart) {
    if (a.baseLid == b.baseLid) {
      shared.add(a.getName() + " and " + b.getName() + " share the base LID " + lidText(a.baseLid));
    } else if (bStart < a.baseLid + count) {
      overlapping.add(rangeText(a, count) + " of " + a.getName() + " overlap " +
                      rangeText(b, count) + " of " + b.getName());
    }
  };
  for (size_t i = 0; i + 1 < ports.size(); ++i)
    compare(*ports[i], *ports[i + 1], ports[i + 1]->baseLid);
  if (ports.size() > 1 && ports.front()->baseLid != ports.back()->baseLid)
    compare(*ports.back(), *ports.front(), ports.front()->baseLid + (uint32_t{1} << 16));

  std::vector<std::string> out;
  unaligned.appendTo(out);
  shared.appendTo(out);
  overlapping.appendTo(out);
  return out;
}
