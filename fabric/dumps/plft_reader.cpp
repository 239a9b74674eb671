// Private forwarding-table map (PLFT) reader: per switch, which table each
// ingress port uses.

#include <string>
#include <string_view>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/switch_header.h"
#include "fabric/fabric.h"
#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

bool readPlftFile(IBFabric& fabric, const std::string& fileName, std::string* err) {
  LineReader in;
  if (!in.open(fileName, err)) return false;
  GuidMap<IBNode*> byGuid = nodesByGuid(fabric);
  std::vector<bool> mapped(fabric.nodes().size());
  IBNode* sw = nullptr;
  // Ports listed in the current block, to catch a port given twice.
  std::vector<bool> listed;
  bool anyBlock = false;
  std::string_view line;
  auto fail = [&](std::string_view problem) {
    *err = in.lineError(problem);
    return false;
  };
  while (in.next(&line)) {
    if (isBlankOrComment(line)) continue;
    const char* p = line.data();
    const char* end = p + line.size();
    if (static_cast<unsigned>(*p - '0') < 10) {
      if (!sw) return fail("row before any 'Switch 0x<GUID>' header");
      uint64_t port = 0, table = 0;
      NumScan r = scanDec(&p, end, 255, &port);
      if (r == NumScan::kTooLarge || port == 0 || port > sw->portCount) {
        return fail("ingress port " + echoText(std::string_view(line.data(), p - line.data())) +
                    " is not a port of the switch (1 to " + std::to_string(sw->portCount) + ")");
      }
      if (!skipColon(&p, end)) return fail("expected ' : ' after the ingress port");
      const char* digits = p;
      r = scanDec(&p, end, kMaxLftTables - 1, &table);
      if (r == NumScan::kNoDigits || p != end) return fail("table number expected after ' : '");
      if (r == NumScan::kTooLarge) {
        return fail("table number " + echoText(std::string_view(digits, end - digits)) +
                    " is above " + std::to_string(kMaxLftTables - 1));
      }
      if (listed[port]) return fail("ingress port " + std::to_string(port) + " listed twice");
      listed[port] = true;
      sw->ingressTable[port] = static_cast<uint8_t>(table);
      continue;
    }
    if (hasWords(line, {"Port", ":", "PLFT"})) continue;
    SwitchHeader h;
    std::string problem;
    if (!parseSwitchHeader(line, /*allowPlft=*/false, &h, &problem)) {
      return fail(problem.empty() ? "unrecognised line: expected 'Switch 0x<GUID>', 'Port : PLFT'"
                                    " or a row 'PORT : TABLE'"
                                  : problem);
    }
    if (!lookUpSwitch(byGuid, h.guid, &sw, &problem)) return fail(problem);
    size_t index = static_cast<size_t>(sw - fabric.nodes().data());
    if (mapped[index]) return fail("second block for switch " + guidText(h.guid));
    mapped[index] = true;
    anyBlock = true;
    sw->ingressTable.assign(size_t{sw->portCount} + 1, 0);
    listed.assign(size_t{sw->portCount} + 1, false);
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  if (in.bytesRead() == 0) {
    *err = fileName + ": the file is empty";
    return false;
  }
  if (!anyBlock) {
    *err = fileName + ": no 'Switch 0x<GUID>' block found (not a private table file?)";
    return false;
  }
  return true;
}
