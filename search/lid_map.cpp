#include "search/lid_map.h"

static uint64_t nextStamp = 0;

LidGroupMap::LidGroupMap()
    : groupOfLid_(size_t{1} << 16, kAbsent), posOfLid_(size_t{1} << 16, 0), stamp_(++nextStamp) {}

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

void LidGroupMap::set(uint16_t lid, int32_t group) {
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
        lidMap.set(static_cast<uint16_t>(port->baseLid + k), group);
      }
    }
  }
  return true;
}
