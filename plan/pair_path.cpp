#include "plan/pair_path.h"

PairPathWalker::PairPathWalker(const IBFabric& fabric)
    : states_(fabric), firstPort_(fabric.ports().data()), seen_(states_.size(), 0) {}

bool PairPathWalker::walk(const IBPort& src, const IBPort& dst, uint16_t lid,
                          std::vector<uint32_t>& path, const std::vector<uint32_t>* load,
                          uint32_t limit) {
  using States = ForwardingStates;
  path.clear();
  if (!src.remote || !src.remote->owner->isSwitch()) return false;
  path.push_back(static_cast<uint32_t>(indexOf(&src)));
  ++now_;
  const uint32_t dstIndex = static_cast<uint32_t>(indexOf(&dst));
  for (uint32_t st = states_.stateFor(*src.remote);;) {
    if (seen_[st] == now_) return false;
    seen_[st] = now_;
    const uint8_t p = states_.egress(st, lid);
    const uint32_t next = states_.lead(st, p);
    if (next == States::kDeadEnd) return false;
    const uint32_t e = static_cast<uint32_t>(indexOf(states_.node(st).getPort(p)));
    if (load && (*load)[e] >= limit) return false;
    path.push_back(e);
    if (next & States::kHostBit) return (next & ~States::kHostBit) == dstIndex;
    st = next;
  }
}
