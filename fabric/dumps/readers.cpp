// The model's own reading members: the readers, with the message printed.
#include "fabric/dumps/readers.h"

#include <cstdio>

static int printed(bool ok, const std::string& err) {
  if (ok) return 0;
  std::fprintf(stderr, "%s\n", err.c_str());
  std::fflush(stderr);
  return 1;
}

// LIDs from 0xC000 up are multicast LIDs: a subnet manager never gives one to
// a port as its base LID, so a topology that does is damaged or hand-made,
// and unicast tables will not route it. Said once per file, with the first.
static void warnMulticastLids(const IBFabric& fabric, const std::string& fileName) {
  constexpr uint32_t kFirstMulticastLid = 0xC000;
  const IBPort* first = nullptr;
  size_t count = 0;
  for (const IBPort& p : fabric.ports()) {
    if (p.owner->isSwitch() || p.baseLid < kFirstMulticastLid) continue;
    if (!first) first = &p;
    ++count;
  }
  for (const IBNode& n : fabric.nodes()) count += n.isSwitch() && n.lid >= kFirstMulticastLid;
  if (count == 0) return;
  char lid[8];
  std::snprintf(lid, sizeof lid, "0x%04x", first ? first->baseLid : 0);
  std::fprintf(stderr, "%s: warning: %zu LID%s in the multicast range (0xC000 and up)%s\n",
               fileName.c_str(), count, count == 1 ? "" : "s",
               first ? (", the first " + std::string(lid) + " of " + first->getName()).c_str()
                     : " on switches");
  std::fflush(stderr);
}

int IBFabric::parseSubnetLinks(const std::string& fileName, const char* reserved) {
  if (reserved) return printed(false, "parseSubnetLinks: the second argument is reserved");
  std::string err;
  if (!readLstFile(*this, fileName, &err)) return printed(false, err);
  warnMulticastLids(*this, fileName);
  return 0;
}

int IBFabric::parsePLFTFile(const std::string& fileName) {
  std::string err;
  return printed(readPlftFile(*this, fileName, &err), err);
}

int IBFabric::parseFdbFile(const std::string& fileName) {
  std::string err;
  return printed(readFdbFile(*this, fileName, &err), err);
}
