#include "check/report.h"

#include <algorithm>
#include <cstdio>

namespace {

using Json = nlohmann::ordered_json;

std::string lidText(uint16_t lid) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", lid);
  return text;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

std::string rateText(uint8_t width, uint32_t speed) {
  std::string text = width ? std::to_string(width) + "x" : "?x";
  text += " ";
  if (!speed) return text + "unknown speed";
  std::string_view name = linkSpeedName(speed);
  return text + (name.empty() ? linkSpeedGbps(speed) + " Gb/s per lane" : std::string(name));
}

std::string lidChoiceText(LidSearch how) {
  switch (how) {
    case LidSearch::kFirstFit:
      return "first fit in file order";
    case LidSearch::kFound:
      return "found by search (first fit in file order overloads a port)";
    case LidSearch::kNoChoice:
      return "no choice keeps the limit (first fit shown)";
    case LidSearch::kStopped:
      return "search stopped after " + std::to_string(kLidSearchSteps) +
             " tries without an answer: another choice may keep the limit (first fit shown)";
  }
  return "";
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct FabricCounts {
  size_t switches = 0, hosts = 0, links = 0;
};

FabricCounts countFabric(const IBFabric& fabric) {
  FabricCounts c;
  for (const IBNode& n : fabric.nodes()) (n.isSwitch() ? c.switches : c.hosts) += 1;
  for (const IBPort& p : fabric.ports()) c.links += p.remote && &p < p.remote;
  return c;
}

const PlanPair& pairOf(const CheckReport& r, size_t stage, size_t pair) {
  return r.plan->stages[stage].pairs[pair];
}

}  // namespace

std::string textReport(const CheckReport& r) {
  std::string out;
  auto line = [&](const std::string& text) {
    out += text;
    out += '\n';
  };
  FabricCounts fc = countFabric(*r.fabric);
  line("fabric: " + plural(fc.switches, "switch", "switches") + ", " +
       plural(fc.hosts, "host", "hosts") + ", " + plural(fc.links, "link", "links") + "; LMC " +
       std::to_string(r.limits.lmc) + "; at most " + plural(r.limits.maxFlows, "pair", "pairs") +
       " per switch egress port");

  for (size_t s = 0; s < r.stages.size(); ++s) {
    const StageCheck& st = r.stages[s];
    line("");
    line("stage " + std::to_string(st.number) + ": " + plural(st.pairs, "pair", "pairs") + ", " +
         plural(st.sources, "source", "sources") + ", " +
         plural(st.destinations, "destination", "destinations") + ": " +
         (st.holds() ? "holds" : "FAILS"));
    for (bool sending : {true, false}) {
      const std::vector<HostTimes>& hosts = sending ? st.repeatedSources : st.repeatedDestinations;
      std::string text =
          sending ? "  hosts sending more than once:" : "  hosts receiving more than once:";
      if (hosts.empty()) text += " none";
      for (const HostTimes& h : hosts) {
        text += ' ';
        text += h.port->getName() + " (" + std::to_string(h.times) + " times)";
      }
      line(text);
    }
    line("  broken paths: " +
         (st.broken.empty() ? std::string("none") : std::to_string(st.broken.size())));
    for (uint32_t i : st.broken) {
      const PlanPair& p = pairOf(r, s, i);
      line("    " + p.src->getName() + " " + p.dst->getName() + " " + lidText(st.routes[i].dlid) +
           ": " + st.routes[i].why);
    }
    std::string lengths = "  path lengths:";
    for (const auto& [links, pairs] : st.pathLengths) {
      lengths += ' ';
      lengths += plural(links, "link", "links") + ": " + plural(pairs, "pair", "pairs") + ";";
    }
    if (st.pathLengths.empty()) lengths += " none";
    if (lengths.back() == ';') lengths.pop_back();
    line(lengths);
    std::string loads = "  port loads:";
    for (const auto& [load, ports] : st.loadHistogram) {
      loads += ' ';
      loads += std::to_string(load) + ": " + plural(ports, "port", "ports") + ";";
    }
    if (loads.back() == ';') loads.pop_back();
    line(loads);
    line("  busiest ports (highest load " + std::to_string(st.maxLoad) + ", " +
         std::to_string(st.portsOverLimit) + " above " + std::to_string(r.limits.maxFlows) + "):");
    for (const PortLoad& pl : st.busiest) {
      line("    " + std::to_string(pl.load) + "  " + linkName(*pl.port));
      for (uint32_t i : pl.pairs) {
        const PlanPair& p = pairOf(r, s, i);
        line("        " + p.src->getName() + " " + p.dst->getName());
      }
    }
    if (r.limits.anyLid) {
      line("  LID choice: " + lidChoiceText(st.lidSearch));
      line("  pairs and their destination LIDs:");
      for (size_t i = 0; i < st.routes.size(); ++i) {
        const PlanPair& p = pairOf(r, s, i);
        line("    " + p.src->getName() + " " + p.dst->getName() + " " + lidText(st.routes[i].dlid));
      }
    }
  }

  line("");
  const DegradedReport& d = r.degraded;
  if (!d.widthRecorded && !d.speedRecorded) {
    line("degraded links: the topology records no link width or speed");
  } else {
    std::string usual = "degraded links: " + std::to_string(d.links.size()) + " (usual:";
    for (int k = 0; k < 2; ++k) {
      const UsualRate& u = d.usual[k];
      if (u.links == 0) continue;
      usual += std::string(" ") + linkKindName(static_cast<LinkKind>(k)) + " " +
               rateText(u.width, u.speed) + ";";
    }
    usual.back() = ')';
    if (!d.widthRecorded) usual += "; the topology records no link width";
    if (!d.speedRecorded) usual += "; the topology records no link speed";
    line(usual);
    for (const DegradedLink& l : d.links) {
      const UsualRate& u = d.usual[static_cast<int>(l.kind)];
      line("  " + l.a->getName() + " - " + l.b->getName() + " (" + linkKindName(l.kind) +
           "): " + rateText(l.width, l.speed) + ", usual " + rateText(u.width, u.speed));
    }
  }

  if (r.suspects) {
    const SuspectReport& sr = *r.suspects;
    line("");
    line("results: " + plural(sr.unmeasured, "pair", "pairs") + " without a value");
    if (sr.reach > 0)
      line("  pairs reach " + number(100 * sr.reach) + "% of what they should (median over " +
           plural(sr.stages.size(), "stage", "stages") + ")");
    if (!sr.warning.empty()) line("  warning: " + sr.warning);
    for (size_t s = 0; s < sr.stages.size(); ++s) {
      const StageThreshold& t = sr.stages[s];
      std::string below = number(t.threshold);
      if (number(t.thresholdMax) != below) below += " to " + number(t.thresholdMax);
      line("  stage " + std::to_string(r.stages[s].number) + ": " + std::to_string(t.measured) +
           " measured, median " + number(t.median) + ", slow below " + below + ": " +
           std::to_string(t.slow) + " slow");
    }
    line("  slow pairs: " +
         (sr.slow.empty() ? std::string("none") : std::to_string(sr.slow.size())));
    for (const SlowPair& sp : sr.slow) {
      const PlanPair& p = pairOf(r, sp.ref.stage, sp.ref.pair);
      line("    stage " + std::to_string(r.stages[sp.ref.stage].number) + " " + p.src->getName() +
           " " + p.dst->getName() + " " + number(sp.value) + " (slow below " +
           number(sp.threshold) + ")");
    }
    size_t measured = 0;
    for (const StageThreshold& t : sr.stages) measured += t.measured;
    if (sr.mostSlow)
      line("  most pairs are slow (" + std::to_string(sr.slow.size()) + " of " +
           std::to_string(measured) +
           "): that says more about the bar than about links, so no suspects are picked; "
           "check --host-rate, --unit or --slow-below");
    line("  suspects: " +
         (sr.suspects.empty() ? std::string("none") : std::to_string(sr.suspects.size())));
    for (size_t i = 0; i < sr.suspects.size(); ++i) {
      const Suspect& su = sr.suspects[i];
      std::string counts = plural(su.slowPairs, "slow pair", "slow pairs") + ", " +
                           plural(su.fastPairs, "fast pair", "fast pairs") + ", explains " +
                           std::to_string(su.explains);
      std::string head = "    " + std::to_string(i + 1) + ". ";
      if (su.cable && su.links.size() == 2) {
        line(head + "cable " + su.links[0]->getName() + " - " + su.links[1]->getName() +
             " (both directions): " + counts);
      } else if (su.links.size() == 1) {
        line(head + linkName(*su.link) + ": " + counts);
      } else {
        std::string cables;
        for (const IBPort* l : su.links)
          if (l < l->remote &&
              std::find(su.links.begin(), su.links.end(), l->remote) != su.links.end())
            cables += (cables.empty() ? ", with both directions of cable " : ", of cable ") +
                      l->getName() + " - " + l->remote->getName();
        line(head + "one of these " + std::to_string(su.links.size()) + " links" + cables + ": " +
             counts);
        for (const IBPort* l : su.links) line("         " + linkName(*l));
      }
      for (const std::vector<const IBPort*>& group : su.together) {
        // A cable's two directions named as the cable is no news here.
        std::string names;
        for (const IBPort* l : group) names += (names.empty() ? "" : "; ") + linkName(*l);
        line("       no test on these routes can separate " + names +
             ": every valid pair crosses all or none of them; the ports' error counters "
             "(perfquery) can" +
             (r.limits.lmc > 0 ? ", or pairs aimed at another LID of the destination" : ""));
      }
      if (su.links.size() > 1 && su.splittable)
        line("       more tests would separate " +
             std::string(su.together.empty() ? "them" : "the rest") +
             (r.followUp ? ": the follow-up stages do" : ": --follow-up FILE writes them"));
      if (su.hidden)
        line("       the pairs that would separate " +
             std::string(su.together.empty() ? "them" : "the rest") +
             " cross slower links, which hide a fault of these; the ports' error counters "
             "(perfquery) can separate them");
      if (su.links.size() > 1 && !su.separationKnown)
        line("       too long a class to work out which tests would separate it");
    }
    std::string unexplained = "  slow pairs no suspect explains:";
    size_t count = 0;
    for (const SlowPair& sp : sr.slow) count += !sp.explained;
    line(unexplained + (count ? " " + std::to_string(count) : std::string(" none")));
    for (const SlowPair& sp : sr.slow) {
      if (sp.explained) continue;
      const PlanPair& p = pairOf(r, sp.ref.stage, sp.ref.pair);
      line("    stage " + std::to_string(r.stages[sp.ref.stage].number) + " " + p.src->getName() +
           " " + p.dst->getName() + " " + number(sp.value));
    }
  }
  if (r.followUp) {
    const FollowUp& f = *r.followUp;
    size_t pairs = 0;
    for (const Stage& st : f.stages) pairs += st.pairs.size();
    std::string numbers;
    if (!f.stages.empty())
      numbers = " (" + std::to_string(f.stages.front().number) +
                (f.stages.size() > 1 ? " to " + std::to_string(f.stages.back().number) : "") + ")";
    line("");
    line("follow-up: " + plural(pairs, "pair", "pairs") + " in " +
         plural(f.stages.size(), "stage", "stages") + numbers + " into " + f.file +
         (pairs ? ": run them, add their results and check again with this file too"
                : ": no test on these routes splits the suspects further"));
  }

  line("");
  size_t failing = 0;
  for (const StageCheck& st : r.stages) failing += !st.holds();
  line(failing == 0 ? "check: holds (" + plural(r.stages.size(), "stage", "stages") + ")"
                    : "check: FAILS (" + std::to_string(failing) + " of " +
                          plural(r.stages.size(), "stage", "stages") + ")");
  return out;
}

Json jsonReport(const CheckReport& r) {
  Json doc;
  FabricCounts fc = countFabric(*r.fabric);
  doc["fabric"] = {{"switches", fc.switches},
                   {"hosts", fc.hosts},
                   {"links", fc.links},
                   {"lmc", r.limits.lmc},
                   {"max_flows", r.limits.maxFlows}};
  auto pairJson = [&](size_t s, size_t i) {
    const PlanPair& p = pairOf(r, s, i);
    return Json{{"src", p.src->getName()}, {"dst", p.dst->getName()}};
  };

  Json stages = Json::array();
  for (size_t s = 0; s < r.stages.size(); ++s) {
    const StageCheck& st = r.stages[s];
    Json j;
    j["stage"] = st.number;
    j["holds"] = st.holds();
    j["pairs"] = st.pairs;
    j["sources"] = st.sources;
    j["destinations"] = st.destinations;
    for (bool sending : {true, false}) {
      Json hosts = Json::array();
      for (const HostTimes& h : sending ? st.repeatedSources : st.repeatedDestinations)
        hosts.push_back({{"port", h.port->getName()}, {"times", h.times}});
      j[sending ? "repeated_sources" : "repeated_destinations"] = std::move(hosts);
    }
    Json broken = Json::array();
    for (uint32_t i : st.broken) {
      Json b = pairJson(s, i);
      b["dlid"] = st.routes[i].dlid;
      b["why"] = st.routes[i].why;
      broken.push_back(std::move(b));
    }
    j["broken"] = std::move(broken);
    Json lengths = Json::array();
    for (const auto& [links, pairs] : st.pathLengths)
      lengths.push_back({{"links", links}, {"pairs", pairs}});
    j["path_lengths"] = std::move(lengths);
    Json loads = Json::array();
    for (const auto& [load, ports] : st.loadHistogram)
      loads.push_back({{"load", load}, {"ports", ports}});
    j["load_histogram"] = std::move(loads);
    j["max_load"] = st.maxLoad;
    j["ports_over_limit"] = st.portsOverLimit;
    Json busiest = Json::array();
    for (const PortLoad& pl : st.busiest) {
      Json pairs = Json::array();
      for (uint32_t i : pl.pairs) pairs.push_back(pairJson(s, i));
      busiest.push_back({{"port", pl.port->getName()},
                         {"remote", pl.port->remote->getName()},
                         {"load", pl.load},
                         {"pairs", std::move(pairs)}});
    }
    j["busiest"] = std::move(busiest);
    if (r.limits.anyLid) {
      Json pairs = Json::array();
      for (size_t i = 0; i < st.routes.size(); ++i) {
        Json p = pairJson(s, i);
        p["dlid"] = st.routes[i].dlid;
        pairs.push_back(std::move(p));
      }
      j["pairs_with_lids"] = std::move(pairs);
      j["lid_choice"] = lidChoiceText(st.lidSearch);
    }
    stages.push_back(std::move(j));
  }
  doc["stages"] = std::move(stages);

  const DegradedReport& d = r.degraded;
  Json usual = Json::array();
  for (int k = 0; k < 3; ++k) {
    const UsualRate& u = d.usual[k];
    if (u.links == 0) continue;
    usual.push_back({{"kind", linkKindName(static_cast<LinkKind>(k))},
                     {"links", u.links},
                     {"width", u.width},
                     {"speed", u.speed}});
  }
  Json degraded = Json::array();
  for (const DegradedLink& l : d.links)
    degraded.push_back({{"port", l.a->getName()},
                        {"remote", l.b->getName()},
                        {"kind", linkKindName(l.kind)},
                        {"width", l.width},
                        {"speed", l.speed}});
  doc["degraded"] = {{"width_recorded", d.widthRecorded},
                     {"speed_recorded", d.speedRecorded},
                     {"usual", std::move(usual)},
                     {"links", std::move(degraded)}};

  if (r.suspects) {
    const SuspectReport& sr = *r.suspects;
    Json thresholds = Json::array();
    for (size_t s = 0; s < sr.stages.size(); ++s) {
      const StageThreshold& t = sr.stages[s];
      thresholds.push_back({{"stage", r.stages[s].number},
                            {"measured", t.measured},
                            {"median", t.median},
                            {"slow_below", t.threshold},
                            {"slow_below_max", t.thresholdMax},
                            {"slow", t.slow}});
    }
    Json slow = Json::array();
    for (const SlowPair& sp : sr.slow) {
      Json p = pairJson(sp.ref.stage, sp.ref.pair);
      p["stage"] = r.stages[sp.ref.stage].number;
      p["value"] = sp.value;
      p["slow_below"] = sp.threshold;
      p["explained"] = sp.explained;
      slow.push_back(std::move(p));
    }
    auto links = [](const std::vector<const IBPort*>& ports) {
      Json out = Json::array();
      for (const IBPort* t : ports)
        out.push_back({{"port", t->getName()}, {"remote", t->remote->getName()}});
      return out;
    };
    Json suspects = Json::array();
    for (const Suspect& su : sr.suspects) {
      Json together = Json::array();
      for (const std::vector<const IBPort*>& group : su.together) together.push_back(links(group));
      Json separable = nullptr;
      if (su.separationKnown) separable = su.splittable;
      suspects.push_back({{"port", su.link->getName()},
                          {"remote", su.link->remote->getName()},
                          {"slow_pairs", su.slowPairs},
                          {"fast_pairs", su.fastPairs},
                          {"explains", su.explains},
                          {"indistinguishable_from", links(su.twins)},
                          {"links", links(su.links)},
                          {"cable", su.cable},
                          {"separable", std::move(separable)},
                          {"hidden_by_slower_links", su.hidden},
                          {"inseparable", std::move(together)}});
    }
    doc["results"] = {{"unmeasured", sr.unmeasured},
                      {"reach", sr.reach},
                      {"warning", sr.warning.empty() ? Json(nullptr) : Json(sr.warning)},
                      {"most_slow", sr.mostSlow},
                      {"stages", std::move(thresholds)},
                      {"slow_pairs", std::move(slow)},
                      {"suspects", std::move(suspects)}};
  } else {
    doc["results"] = nullptr;
  }
  if (r.followUp) {
    Json stages = Json::array();
    for (const Stage& st : r.followUp->stages)
      stages.push_back({{"stage", st.number}, {"pairs", st.pairs.size()}});
    doc["follow_up"] = {{"file", r.followUp->file}, {"stages", std::move(stages)}};
  } else {
    doc["follow_up"] = nullptr;
  }
  doc["holds"] = r.holds();
  return doc;
}
