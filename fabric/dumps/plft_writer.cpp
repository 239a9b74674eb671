#include <string>

#include "fabric/dumps/writers.h"

bool writePlftFile(const IBFabric& fabric, const std::string& path, std::string* err) {
  for (const IBNode& n : fabric.nodes()) {
    for (size_t p = 1; p < n.ingressTable.size(); ++p) {
      if (n.ingressTable[p] >= kMaxLftTables || (p > n.portCount && n.ingressTable[p] != 0)) {
        *err = path + ": switch " + n.nodeName + ": port " + std::to_string(p) + " maps to table " +
               std::to_string(n.ingressTable[p]) +
               (p > n.portCount ? ", but the switch has fewer ports" : ", above 15");
        return false;
      }
    }
  }
  DumpWriter out(path);
  for (const IBNode& n : fabric.nodes()) {
    if (!n.isSwitch() || n.ingressTable.empty()) continue;
    char* o = out.reserve(64);
    o = putStr(o, "dump_plft: Switch 0x");
    o = putHex(o, n.nodeGuid, 16, false);
    o = putStr(o, "\nPort : PLFT\n");
    out.commit(o);
    for (unsigned p = 1; p <= n.portCount; ++p) {
      o = out.reserve(16);
      o = putDec(o, p, 3);
      o = putStr(o, " : ");
      o = putDec(o, n.tableForIngress(p), 1);
      *o++ = '\n';
      out.commit(o);
    }
  }
  return out.finish(err);
}
