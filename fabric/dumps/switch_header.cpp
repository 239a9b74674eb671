#include "fabric/dumps/switch_header.h"

#include "fabric/fabric.h"
#include "fabric/text/scan.h"

static bool guidAt(const char** p, const char* end, uint64_t* guid, std::string* problem) {
  switch (scanHex(p, end, ~uint64_t{0}, guid)) {
    case NumScan::kNoDigits:
      *problem = "switch GUID expected after '0x'";
      return false;
    case NumScan::kTooLarge:
      *problem = "switch GUID too large for 64 bits";
      return false;
    case NumScan::kOk:
      return true;
  }
  return false;
}

bool parseSwitchHeader(std::string_view line, bool allowPlft, SwitchHeader* h,
                       std::string* problem) {
  problem->clear();
  size_t at = line.rfind("Switch 0x");
  if (at == std::string_view::npos) return false;
  const char* p = line.data() + at + 9;
  const char* end = line.data() + line.size();
  if (!guidAt(&p, end, &h->guid, problem)) return false;
  h->table = 0;
  if (p == end) return true;
  std::string_view rest(p, static_cast<size_t>(end - p));
  if (allowPlft && rest.substr(0, 6) == " PLFT ") {
    p += 6;
    uint64_t table;
    const char* digits = p;
    NumScan r = scanDec(&p, end, kMaxLftTables - 1, &table);
    if (r == NumScan::kNoDigits || p != end) {
      *problem = "table number expected after 'PLFT '";
      return false;
    }
    if (r == NumScan::kTooLarge) {
      *problem = "table number " + std::string(digits, static_cast<size_t>(end - digits)) +
                 " is above " + std::to_string(kMaxLftTables - 1);
      return false;
    }
    h->table = static_cast<int>(table);
    return true;
  }
  *problem = "unexpected text after the switch GUID";
  return false;
}

bool parseUnicastHeader(std::string_view line, SwitchHeader* h, std::string* problem) {
  size_t at = line.find(" guid 0x");
  if (at == std::string_view::npos) {
    *problem = "no ' guid 0x<GUID>' in the 'Unicast lids' header";
    return false;
  }
  const char* p = line.data() + at + 8;
  const char* end = line.data() + line.size();
  if (!guidAt(&p, end, &h->guid, problem)) return false;
  if (p != end && !isBlank(*p)) {
    *problem = "switch GUID: hexadecimal number expected";
    return false;
  }
  h->table = 0;
  return true;
}

GuidMap<IBNode*> nodesByGuid(IBFabric& fabric) {
  GuidMap<IBNode*> byGuid;
  byGuid.reserve(fabric.nodes().size());
  for (IBNode& n : fabric.nodes()) byGuid.emplace(n.nodeGuid, &n);
  return byGuid;
}

bool lookUpSwitch(const GuidMap<IBNode*>& byGuid, uint64_t guid, IBNode** sw,
                  std::string* problem) {
  auto it = byGuid.find(guid);
  if (it == byGuid.end()) {
    *problem = "no node with GUID " + guidText(guid) + " in the topology";
    return false;
  }
  if (!it->second->isSwitch()) {
    *problem = "node " + guidText(guid) + " (" + it->second->nodeName + ") is not a switch";
    return false;
  }
  *sw = it->second;
  return true;
}
