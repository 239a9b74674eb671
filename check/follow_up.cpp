#include "check/follow_up.h"

#include <algorithm>

#include "fabric/routing/route_walk.h"
#include "pairs/pairs_file.h"

namespace {

struct Room {
  std::vector<uint32_t> load;  // by port index
  std::vector<bool> sends, receives;
};

}  // namespace

std::vector<Stage> packFollowUp(const IBFabric& fabric,
                                const std::vector<std::vector<PlanPair>>& tests, uint32_t maxFlows,
                                uint32_t firstNumber) {
  const IBPort* first = fabric.ports().data();
  const size_t n = fabric.ports().size();
  auto index = [&](const IBPort* p) { return static_cast<size_t>(p - first); };
  RouteWalker walker(fabric);
  std::vector<Stage> stages;
  std::vector<Room> rooms;
  std::vector<const IBPort*> path;

  auto fits = [&](const Room& room, const PlanPair& p) {
    if (room.sends[index(p.src)] || room.receives[index(p.dst)]) return false;
    return std::all_of(path.begin(), path.end(),
                       [&](const IBPort* e) { return room.load[index(e)] < maxFlows; });
  };
  auto place = [&](size_t s, const PlanPair& p) {
    Room& room = rooms[s];
    room.sends[index(p.src)] = true;
    room.receives[index(p.dst)] = true;
    for (const IBPort* e : path) ++room.load[index(e)];
    stages[s].pairs.push_back(p);
  };

  for (const std::vector<PlanPair>& options : tests) {
    bool placed = false;
    for (size_t s = 0; s < stages.size() && !placed; ++s)
      for (const PlanPair& p : options) {
        if (!walker.walk(*p.src, p.dst->baseLid, &path).arrivedAt(*p.dst)) continue;
        if (!fits(rooms[s], p)) continue;
        place(s, p);
        placed = true;
        break;
      }
    if (placed || options.empty()) continue;
    const PlanPair& p = options.front();
    if (!walker.walk(*p.src, p.dst->baseLid, &path).arrivedAt(*p.dst)) continue;
    stages.push_back({firstNumber + static_cast<uint32_t>(stages.size()), {}});
    rooms.push_back(
        {std::vector<uint32_t>(n, 0), std::vector<bool>(n, false), std::vector<bool>(n, false)});
    place(stages.size() - 1, p);
  }
  return stages;
}

bool writeFollowUp(const std::string& fileName, const std::vector<Stage>& stages,
                   std::string* err) {
  PairsFileWriter out(fileName, false);
  for (const Stage& stage : stages) {
    out.writeStage(stage.number);
    for (const PlanPair& p : stage.pairs) out.writePair(*p.src, *p.dst);
  }
  if (out.close()) return true;
  *err = "cannot write the follow-up stages to " + fileName;
  return false;
}
