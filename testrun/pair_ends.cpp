#include "testrun/pair_ends.h"

#include <vector>

#include "cli/numbers.h"
#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"
#include "pairs/pairs_reader.h"

bool looksLikeDevice(std::string_view word) {
  if (word.empty() || word[0] < 'a' || word[0] > 'z') return false;
  if (word.back() < '0' || word.back() > '9') return false;
  for (char c : word)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

bool usableName(std::string_view word) {
  if (word.empty() || word.size() > 253 || word[0] == '-') return false;
  for (char c : word)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '_' || c == '-' || c == ':'))
      return false;
  return true;
}

bool readHostMap(const std::string& fileName, const EndpointIndex& endpoints, HostMap* map,
                 std::string* err) {
  LineReader in;
  if (!in.open(fileName, err)) return false;
  std::vector<std::string_view> words;
  std::string problem;
  std::string_view line;
  auto fail = [&](const std::string& what) {
    *err = in.lineError(what);
    return false;
  };
  while (in.next(&line)) {
    if (isBlankOrComment(line)) continue;
    if (!splitWords(line, &words, 4) || words.size() < 2)
      return fail("expected 'ENDPOINT HOST [DEVICE [PORT]]'");
    const IBPort* port = endpoints.find(words[0], &problem);
    if (!port) return fail(problem);
    HostMapEntry entry;
    entry.host = words[1];
    if (!usableName(entry.host)) return fail("host " + quoted(words[1]) + " is no host name");
    if (words.size() > 2) {
      entry.device = words[2];
      if (!usableName(entry.device))
        return fail("device " + quoted(words[2]) + " is no device name");
    }
    if (words.size() > 3) {
      uint64_t n;
      std::string text(words[3]);
      if (!readWholeNumber(text.c_str(), 254, &n) || n == 0)
        return fail("port " + quoted(words[3]) + " is not a number from 1 to 254");
      entry.ibPort = static_cast<unsigned>(n);
    }
    // A node name stands for the whole node; anything else for one port.
    if (words[0] == port->owner->nodeName)
      map->byNode[port->owner] = entry;
    else
      map->byPort[port] = entry;
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  return true;
}

PairEnd resolvePairEnd(const IBPort* port, const HostMap& map, const std::string& defaultDevice) {
  PairEnd end;
  end.port = port;
  end.ibPort = port->portNumber;
  const HostMapEntry* entry = nullptr;
  if (auto it = map.byPort.find(port); it != map.byPort.end())
    entry = &it->second;
  else if (auto n = map.byNode.find(port->owner); n != map.byNode.end())
    entry = &n->second;
  if (entry) {
    end.host = entry->host;
    end.device = entry->device.empty() ? defaultDevice : entry->device;
    if (entry->ibPort) end.ibPort = entry->ibPort;
    return end;
  }

  std::vector<std::string_view> words;
  splitWords(port->owner->description, &words, SIZE_MAX);
  if (words.empty()) {
    end.problem = port->owner->nodeName + " has no description to take its host from (see --map)";
    return end;
  }
  if (!usableName(words[0])) {
    end.problem = "the description of " + port->owner->nodeName + " starts with " +
                  quoted(words[0]) + ", which is no host name (see --map)";
    return end;
  }
  end.host = words[0];
  end.device =
      words.size() > 1 && looksLikeDevice(words[1]) ? std::string(words[1]) : defaultDevice;
  return end;
}
