#include "check/html/html_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <numeric>

#include "check/html/html_assets.h"

namespace {

using Json = nlohmann::ordered_json;

size_t indexOf(const IBFabric& f, const IBNode* n) {
  return static_cast<size_t>(n - f.nodes().data());
}
size_t indexOf(const IBFabric& f, const IBPort* p) {
  return static_cast<size_t>(p - f.ports().data());
}

size_t find(std::vector<size_t>& parent, size_t i) {
  while (parent[i] != i) i = parent[i] = parent[parent[i]];
  return i;
}

// Pods: the switches below the top tier, joined where cabled to each other;
// the top tier is one group of its own. -1 for hosts and unreached switches.
std::vector<int> switchPods(const IBFabric& f, const std::vector<int>& tiers) {
  int top = 0;
  for (int t : tiers) top = std::max(top, t);
  size_t n = f.nodes().size();
  std::vector<size_t> parent(n);
  std::iota(parent.begin(), parent.end(), size_t{0});
  auto below = [&](const IBNode* node) {
    int t = tiers[indexOf(f, node)];
    return node->isSwitch() && t >= 1 && t < top;
  };
  for (const IBPort& p : f.ports())
    if (p.remote && below(p.owner) && below(p.remote->owner))
      parent[find(parent, indexOf(f, p.owner))] = find(parent, indexOf(f, p.remote->owner));
  std::vector<int> pods(n, -1), podOfRoot(n, -1);
  int count = 0;
  for (size_t i = 0; i < n; ++i) {
    const IBNode& node = f.nodes()[i];
    if (!below(&node)) continue;
    int& pod = podOfRoot[find(parent, i)];
    if (pod < 0) pod = count++;
    pods[i] = pod;
  }
  for (size_t i = 0; i < n; ++i)
    if (f.nodes()[i].isSwitch() && tiers[i] == top && top >= 1) pods[i] = count;
  return pods;
}

// The directed link each port sends into: cable k is 2k leaving its first
// end, 2k+1 leaving the other; -1 for an uncabled port.
struct Cables {
  Json list = Json::array();
  std::vector<int64_t> dirOfPort;
  size_t count = 0;
};

Cables cablesOf(const CheckReport& r) {
  const IBFabric& f = *r.fabric;
  Cables c;
  c.dirOfPort.assign(f.ports().size(), -1);
  std::vector<char> degraded(f.ports().size(), 0);
  for (const DegradedLink& l : r.degraded.links) degraded[indexOf(f, l.a)] = 1;
  for (const IBPort& p : f.ports()) {
    if (!p.remote || p.remote < &p) continue;
    c.dirOfPort[indexOf(f, &p)] = static_cast<int64_t>(2 * c.count);
    c.dirOfPort[indexOf(f, p.remote)] = static_cast<int64_t>(2 * c.count + 1);
    c.list.push_back({indexOf(f, p.owner), p.portNumber, indexOf(f, p.remote->owner),
                      p.remote->portNumber, p.width, p.speed, degraded[indexOf(f, &p)]});
    ++c.count;
  }
  return c;
}

}  // namespace

std::vector<int> nodeTiers(const IBFabric& f) {
  std::vector<int> tiers(f.nodes().size(), -1);
  std::deque<const IBNode*> queue;
  for (const IBNode& n : f.nodes())
    if (!n.isSwitch()) {
      tiers[indexOf(f, &n)] = 0;
      queue.push_back(&n);
    }
  while (!queue.empty()) {
    const IBNode* n = queue.front();
    queue.pop_front();
    int next = tiers[indexOf(f, n)] + 1;
    for (const IBPort* p : n->portTable) {
      if (!p || !p->remote) continue;
      const IBNode* other = p->remote->owner;
      int& t = tiers[indexOf(f, other)];
      if (t >= 0) continue;
      t = next;
      queue.push_back(other);
    }
  }
  return tiers;
}

Json htmlData(const CheckReport& r) {
  const IBFabric& f = *r.fabric;
  Json data;
  data["report"] = jsonReport(r);
  size_t hosts = 0;
  for (const IBNode& n : f.nodes()) hosts += !n.isSwitch();
  bool full = hosts <= kDrawEveryLinkUpTo;
  data["view"] = full ? "full" : "aggregate";

  // Nodes: [name, tier, leaf switch of a host or pod of a switch (-1: none)].
  std::vector<int> tiers = nodeTiers(f);
  std::vector<int> pods = switchPods(f, tiers);
  Json nodes = Json::array();
  for (const IBNode& n : f.nodes()) {
    int64_t group = pods[indexOf(f, &n)];
    if (!n.isSwitch()) {
      group = -1;
      for (const IBPort* p : n.portTable)
        if (p && p->remote && p->remote->owner->isSwitch()) {
          group = static_cast<int64_t>(indexOf(f, p->remote->owner));
          break;
        }
    }
    nodes.push_back({n.nodeName, tiers[indexOf(f, &n)], group});
  }
  data["nodes"] = std::move(nodes);

  // Cables: [node, port, node, port, width, speed per lane, degraded].
  Cables cables = cablesOf(r);
  data["cables"] = std::move(cables.list);
  auto dirOf = [&](const IBPort* p) { return cables.dirOfPort[indexOf(f, p)]; };

  // Which pairs are slow, to keep their paths in the aggregated view.
  std::vector<std::vector<char>> slow(r.stages.size());
  for (size_t s = 0; s < r.stages.size(); ++s) slow[s].assign(r.stages[s].routes.size(), 0);
  if (r.suspects)
    for (const SlowPair& sp : r.suspects->slow) slow[sp.ref.stage][sp.ref.pair] = 1;

  // Per stage: the load of every directed link (switch egress ports as the
  // check counts them, and each host's own link by the pairs it sends), the
  // pairs by node, and the paths as directed links from the source's own.
  Json stages = Json::array();
  std::vector<uint32_t> load(2 * cables.count);
  for (size_t s = 0; s < r.stages.size(); ++s) {
    const StageCheck& st = r.stages[s];
    const Stage& plan = r.plan->stages[s];
    std::fill(load.begin(), load.end(), 0);
    Json pairs = Json::array();
    for (size_t i = 0; i < plan.pairs.size(); ++i) {
      const PlanPair& p = plan.pairs[i];
      pairs.push_back(indexOf(f, p.src->owner));
      pairs.push_back(indexOf(f, p.dst->owner));
      if (int64_t d = dirOf(p.src); d >= 0) ++load[static_cast<size_t>(d)];
    }
    for (const IBPort* hop : st.hops)
      if (int64_t d = dirOf(hop); d >= 0) ++load[static_cast<size_t>(d)];
    Json paths = Json::array();
    for (size_t i = 0; i < st.routes.size(); ++i) {
      const PairRoute& route = st.routes[i];
      bool keep = full || slow[s][i];
      for (uint32_t h = route.first; !keep && h < route.first + route.count; ++h) {
        int64_t d = dirOf(st.hops[h]);
        keep = d >= 0 && load[static_cast<size_t>(d)] > r.limits.maxFlows;
      }
      if (!keep) continue;
      Json path = {i};
      if (int64_t d = dirOf(plan.pairs[i].src); d >= 0) path.push_back(d);
      for (uint32_t h = route.first; h < route.first + route.count; ++h)
        path.push_back(dirOf(st.hops[h]));
      paths.push_back(std::move(path));
    }
    Json stage = {{"loads", load}, {"pairs", std::move(pairs)}, {"paths", std::move(paths)}};
    if (r.results) stage["values"] = r.results->values[s];  // NaN (no value) dumps as null
    stages.push_back(std::move(stage));
  }
  data["stages"] = std::move(stages);

  // Suspect classes in the text report's order: [link, the other links of
  // its class...]; slow pairs as [stage index, pair index].
  Json suspects = Json::array(), slowPairs = Json::array();
  if (r.suspects) {
    for (const Suspect& su : r.suspects->suspects) {
      Json c = Json::array();
      for (const IBPort* t : su.links) c.push_back(dirOf(t));
      suspects.push_back(std::move(c));
    }
    for (const SlowPair& sp : r.suspects->slow) slowPairs.push_back({sp.ref.stage, sp.ref.pair});
  }
  data["suspects"] = std::move(suspects);
  data["slow"] = std::move(slowPairs);
  return data;
}

std::string htmlReport(const CheckReport& r) {
  // Inside <script> only "</script" or "<!--" could end the data early; '<'
  // appears in the JSON text only within strings, where \u003c means the same.
  // Names are bytes from the topology: invalid UTF-8 becomes U+FFFD.
  std::string json = htmlData(r).dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string safe;
  safe.reserve(json.size() + json.size() / 64);
  for (char c : json) {
    if (c == '<')
      safe += "\\u003c";
    else
      safe += c;
  }
  std::string page;
  page.reserve(safe.size() + 64 * 1024);
  page +=
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>linkdeal-check report</title>\n<style>\n";
  page += kReportStyle;
  page += "</style>\n</head>\n<body>\n<div id=\"app\"></div>\n";
  page += "<script type=\"application/json\" id=\"data\">";
  page += safe;
  page += "</script>\n<script>\n";
  page += kReportScript;
  page += "</script>\n</body>\n</html>\n";
  return page;
}

bool writeHtmlReport(const std::string& path, const std::string& html, std::string* err) {
  // A new or regular file is replaced by a complete one through a temporary
  // file in its folder; anything else (a device, a pipe, a symlink) is
  // written in place.
  struct stat link;
  bool replace = lstat(path.c_str(), &link) != 0 || S_ISREG(link.st_mode);
  std::string temp = replace ? path + ".tmp" + std::to_string(getpid()) : path;
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    *err = "cannot write the HTML report " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(html.data(), 1, html.size(), f) == html.size();
  int error = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && replace && std::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    if (replace) std::remove(temp.c_str());
    *err = "cannot write the HTML report " + path + ": " + std::strerror(error);
  }
  return ok;
}
