#include "testrun/stage_runner.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "testrun/perftest_output.h"
#include "testrun/processes.h"

namespace {

double epochNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool writeFile(const std::string& path, const std::string& text, std::string* err) {
  FILE* f = std::fopen(path.c_str(), "w");
  bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) *err = "cannot write " + path + ": " + std::strerror(errno);
  return ok;
}

bool makeDir(const std::string& path, std::string* err) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) *err = "cannot make the folder " + path + ": " + ec.message();
  return !ec;
}

// One launcher call: the hosts it covers and, for a per-host call, the host's
// script on its standard input.
struct Step {
  std::vector<std::string> hosts;
  Launch launch;
};

// Writes each host's script into dir as PREFIX.HOST.sh and makes the launcher
// calls: one per host, or one for them all.
bool makeSteps(const RunSettings& settings, const std::string& dir, const std::string& prefix,
               const std::map<std::string, std::string>& scripts, std::vector<Step>* steps,
               std::string* err) {
  std::string base = dir + "/" + prefix + ".";
  for (const auto& [host, script] : scripts)
    if (!writeFile(base + host + ".sh", script, err)) return false;
  if (launchesPerHost(settings.launcher)) {
    for (const auto& [host, script] : scripts)
      steps->push_back(
          {{host},
           {hostLaunch(settings.launcher, host), base + host + ".sh", base + host + ".err"}});
  } else if (!scripts.empty()) {
    Step all;
    for (const auto& entry : scripts) all.hosts.push_back(entry.first);
    all.launch = {fanOutLaunch(settings.launcher, all.hosts, base), "",
                  dir + "/" + prefix + ".err"};
    steps->push_back(std::move(all));
  }
  return true;
}

// Starts the steps' launchers, added to children. What the ones started
// already print is read between two starts, so that its times are the
// times it was printed even when starting them all takes a while.
bool startSteps(std::vector<Step>& steps, std::vector<Child>* children,
                const std::function<void(size_t, std::string_view)>& onLine, std::string* err) {
  children->reserve(children->size() + steps.size());
  for (Step& step : steps) {
    children->emplace_back();
    if (!startChild(step.launch, &children->back(), err)) {
      children->pop_back();
      killChildren(*children);
      return false;
    }
    pumpChildren(*children, Clock::now(), onLine, nullptr);
  }
  return true;
}

// The first (or last) line of output with text on it, for a message: a
// failing test program's first complaint names the cause, a hung one's last
// line how far it got.
std::string lineWithText(const std::string& output, bool first) {
  std::string found;
  for (size_t start = 0; start < output.size();) {
    size_t nl = output.find('\n', start);
    if (nl == std::string::npos) nl = output.size();
    std::string line = output.substr(start, nl - start);
    start = nl + 1;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    found = line.size() > 160 ? line.substr(0, 160) + "..." : line;
    if (first) break;
  }
  return found;
}

std::string withLine(std::string what, const std::string& output, bool first) {
  std::string line = lineWithText(output, first);
  return line.empty() ? what + ", printing nothing" : what + ": " + line;
}

// "@exit N" into status.
bool exitLine(std::string_view text, int* status) {
  if (!text.starts_with("@exit ")) return false;
  *status = std::atoi(std::string(text.substr(6)).c_str());
  return true;
}

}  // namespace

bool portActive(const std::string& state) {
  return state == "unknown" || state.find("ACTIVE") != std::string::npos;
}

bool probeHosts(
    const RunSettings& settings,
    const std::vector<std::pair<std::string, std::vector<std::pair<std::string, unsigned>>>>& hosts,
    std::vector<HostProbe>* probes, std::string* err) {
  probes->assign(hosts.size(), {});
  std::string dir = settings.logsDir + "/probe";
  if (!makeDir(dir, err)) return false;
  std::map<std::string, std::string> scripts;
  std::map<std::string, size_t> index;
  for (size_t h = 0; h < hosts.size(); ++h) {
    scripts[hosts[h].first] = probeScript(h, hosts[h].second);
    index[hosts[h].first] = h;
  }
  std::vector<Step> steps;
  if (!makeSteps(settings, dir, "probe", scripts, &steps, err)) return false;
  std::vector<Child> children;
  auto onLine = [&](size_t, std::string_view line) {
    size_t tag;
    std::string_view text;
    if (!readTaggedLine(line, &tag, &text) || tag >= probes->size()) return;
    if (text == "alive") (*probes)[tag].answered = true;
    if (text.starts_with("state ")) (*probes)[tag].states.emplace_back(text.substr(6));
  };
  if (!startSteps(steps, &children, onLine, err)) return false;
  pumpChildren(children, Clock::now() + std::chrono::seconds(settings.timeout), onLine, nullptr);
  killChildren(children);
  for (size_t s = 0; s < steps.size(); ++s)
    for (const std::string& host : steps[s].hosts) {
      HostProbe& p = (*probes)[index[host]];
      p.launcherStatus = children[s].killed ? -1 : children[s].status;
      // A host that did not get through the whole list is not relied on.
      if (p.states.size() != hosts[index[host]].second.size()) p.answered = false;
    }
  return true;
}

bool runStage(const RunSettings& settings, StageRun* run, std::string* err) {
  std::vector<RunPair>& pairs = run->pairs;
  run->outcomes.assign(pairs.size(), {});
  std::vector<PairOutcome>& out = run->outcomes;
  std::string dir = settings.logsDir + "/stage-" + std::to_string(run->number);
  if (!makeDir(dir, err)) return false;

  const uint32_t t = settings.timeout, d = settings.test.duration;
  std::map<std::string, std::vector<ScriptCommand>> serverCommands, clientCommands;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!pairs[i].leftOut.empty()) {
      out[i].reason = pairs[i].leftOut;
      continue;
    }
    std::string pair = pairs[i].src.port->getName() + " " + pairs[i].dst.port->getName();
    serverCommands[pairs[i].dst.host].push_back({i, pair, pairs[i].server});
  }
  std::string title = "stage " + std::to_string(run->number);
  std::map<std::string, std::string> scripts;
  for (const auto& [host, commands] : serverCommands)
    scripts[host] =
        hostScript(title + ", servers on " + host, commands, watchdogSeconds(settings, true));
  std::vector<Step> serverSteps;
  if (!makeSteps(settings, dir, "servers", scripts, &serverSteps, err)) return false;

  // 1. Every server, then the wait until each listens or has failed.
  // Servers come first in all, the clients after them.
  std::vector<Child> all;
  std::vector<char> serverDone(pairs.size(), 0);  // listening or ended
  size_t waitingFor = 0;
  for (size_t i = 0; i < pairs.size(); ++i) waitingFor += pairs[i].leftOut.empty();
  auto onServerLine = [&](size_t, std::string_view line) {
    size_t tag;
    std::string_view text;
    if (!readTaggedLine(line, &tag, &text) || tag >= pairs.size()) return;
    PairOutcome& o = out[tag];
    int status;
    if (text == "@start") return;
    if (exitLine(text, &status)) {
      o.serverStatus = status;
    } else {
      o.serverOutput.append(text).push_back('\n');
      if (isBannerLine(text)) o.listening = true;
    }
    if (!serverDone[tag] && (o.listening || o.serverStatus >= 0)) {
      serverDone[tag] = 1;
      --waitingFor;
    }
  };
  if (!startSteps(serverSteps, &all, onServerLine, err)) return false;
  pumpChildren(all, Clock::now() + std::chrono::seconds(t), onServerLine,
               [&] { return waitingFor == 0; });

  // 2. A client for every listening server.
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!pairs[i].leftOut.empty()) continue;
    if (!out[i].listening) {
      out[i].reason = out[i].serverStatus >= 0
                          ? withLine("server exited with status " +
                                         std::to_string(out[i].serverStatus) + " before listening",
                                     out[i].serverOutput, true)
                          : "server not listening after " + std::to_string(t) + " s";
      continue;
    }
    std::string pair = pairs[i].src.port->getName() + " " + pairs[i].dst.port->getName();
    clientCommands[pairs[i].src.host].push_back({i, pair, pairs[i].client});
  }
  scripts.clear();
  for (const auto& [host, commands] : clientCommands)
    scripts[host] =
        hostScript(title + ", clients on " + host, commands, watchdogSeconds(settings, false));
  // 3. Servers and clients read together until the clients end, or their time
  // is up; then the servers' own reports, for as long as they take to come.
  const size_t firstClient = all.size();
  auto onLine = [&](size_t child, std::string_view line) {
    if (child < firstClient) return onServerLine(child, line);
    size_t tag;
    std::string_view text;
    if (!readTaggedLine(line, &tag, &text) || tag >= pairs.size()) return;
    PairOutcome& o = out[tag];
    int status;
    if (text == "@start") {
      o.start = epochNow();
    } else if (exitLine(text, &status)) {
      o.clientStatus = status;
      o.end = epochNow();
    } else {
      o.clientOutput.append(text).push_back('\n');
    }
  };
  std::vector<Step> clientSteps;
  if (!makeSteps(settings, dir, "clients", scripts, &clientSteps, err) ||
      !startSteps(clientSteps, &all, onLine, err)) {
    killChildren(all);
    return false;
  }
  auto clientsEnded = [&] {
    for (size_t c = firstClient; c < all.size(); ++c)
      if (!all[c].ended) return false;
    return true;
  };
  pumpChildren(all, Clock::now() + std::chrono::seconds(d + 2 + t), onLine, clientsEnded);
  auto serversReported = [&] {
    for (size_t i = 0; i < pairs.size(); ++i)
      if (out[i].clientStatus == 0 && out[i].listening && out[i].serverStatus < 0) return false;
    return true;
  };
  pumpChildren(all, Clock::now() + std::chrono::seconds(t), onLine, serversReported);
  killChildren(all);

  // 4. Each pair's outcome, and its logs.
  for (size_t i = 0; i < pairs.size(); ++i) {
    PairOutcome& o = out[i];
    if (!pairs[i].leftOut.empty()) continue;
    BandwidthTable server = parseBandwidthTable(o.serverOutput);
    if (server.found && server.gbits) o.serverGbps = server.average;
    if (o.listening) {
      BandwidthTable client = parseBandwidthTable(o.clientOutput);
      if (client.found && client.gbits) o.clientGbps = client.average;
      if (o.clientStatus < 0) {
        o.timedOut = true;
        o.reason = withLine("client did not end within " + std::to_string(d + 2 + t) + " s",
                            o.clientOutput, false);
      } else if (o.clientStatus != 0) {
        o.reason = withLine("client exited with status " + std::to_string(o.clientStatus),
                            o.clientOutput, true);
      } else if (!client.found) {
        o.reason = "client printed no result table";
      } else if (!client.gbits) {
        o.reason = "client reported MB/sec, not Gb/sec";
      } else {
        o.measured = true;
      }
    }
    char name[32];
    std::snprintf(name, sizeof name, "/pair-%04zu", i + 1);
    o.serverLog = dir + name + ".server.log";
    if (!writeFile(o.serverLog, o.serverOutput, err)) return false;
    if (!o.listening) continue;
    o.clientLog = dir + name + ".client.log";
    if (!writeFile(o.clientLog, o.clientOutput, err)) return false;
  }
  return !interrupted() || (*err = "interrupted", false);
}
