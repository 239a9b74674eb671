#include "testrun/dry_run.h"

#include <map>

#include "testrun/shell_words.h"

namespace {

const char kPreamble[] =
    "#!/bin/sh\n"
    "# linkdeal-run's plan of a run, stage by stage: the servers start on their\n"
    "# hosts, and once they all listen (or the timeout passes) the clients; the\n"
    "# next stage starts when they all have ended. Each host gets one script per\n"
    "# stage that starts its servers (or clients) at once; each test's output\n"
    "# comes back as lines \"%PAIR text\" in the .out file of its host.\n"
    "\n"
    "# listening COUNT SECONDS FILE...: waits until COUNT servers print their banner.\n"
    "listening() {\n"
    "  count=$1 tries=$(($2 * 5))\n"
    "  shift 2\n"
    "  while [ \"$(cat \"$@\" 2>/dev/null | grep -c 'Waiting for client to connect')\" -lt "
    "\"$count\" ] &&\n"
    "    [ \"$tries\" -gt 0 ]; do\n"
    "    sleep 0.2\n"
    "    tries=$((tries - 1))\n"
    "  done\n"
    "}\n";

// Writes the host scripts into the stage's folder and starts them.
void addRole(const RunSettings& settings, const std::string& dir, const std::string& role,
             const std::map<std::string, std::string>& scripts, std::string* s) {
  std::string base = dir + "/" + role + ".";
  for (const auto& [host, script] : scripts)
    *s += "cat > " + shellQuote(base + host + ".sh") + " <<'LINKDEAL_RUN_END'\n" + script +
          "LINKDEAL_RUN_END\n";
  if (launchesPerHost(settings.launcher)) {
    for (const auto& [host, script] : scripts)
      *s += shellCommand(hostLaunch(settings.launcher, host)) + " < " +
            shellQuote(base + host + ".sh") + " > " + shellQuote(base + host + ".out") + " 2> " +
            shellQuote(base + host + ".err") + " &\n";
  } else if (!scripts.empty()) {
    std::vector<std::string> hosts;
    for (const auto& entry : scripts) hosts.push_back(entry.first);
    *s += shellCommand(fanOutLaunch(settings.launcher, hosts, base)) + " > " +
          shellQuote(dir + "/" + role + ".out") + " 2> " + shellQuote(dir + "/" + role + ".err") +
          " &\n";
  }
}

}  // namespace

std::string dryRunScript(const RunSettings& settings, const std::vector<StageRun>& stages) {
  std::string s = kPreamble;
  for (const StageRun& stage : stages) {
    std::string dir = settings.logsDir + "/stage-" + std::to_string(stage.number);
    std::string title = "stage " + std::to_string(stage.number);
    std::map<std::string, std::vector<ScriptCommand>> servers, clients;
    size_t running = 0;
    s += "\n# ---- " + title + ": " + std::to_string(stage.pairs.size()) + " pairs\n";
    for (size_t i = 0; i < stage.pairs.size(); ++i) {
      const RunPair& p = stage.pairs[i];
      std::string pair = p.src.port->getName() + " " + p.dst.port->getName();
      if (!p.leftOut.empty()) {
        s += "# left out: " + pair + ": " + p.leftOut + "\n";
        continue;
      }
      ++running;
      servers[p.dst.host].push_back({i, pair, p.server});
      clients[p.src.host].push_back({i, pair, p.client});
    }
    std::map<std::string, std::string> scripts;
    for (const auto& [host, commands] : servers)
      scripts[host] =
          hostScript(title + ", servers on " + host, commands, watchdogSeconds(settings, true));
    s += "mkdir -p " + shellQuote(dir) + "\n# servers\n";
    addRole(settings, dir, "servers", scripts, &s);
    s += "listening " + std::to_string(running) + " " + std::to_string(settings.timeout) + " " +
         shellQuote(dir) + "/servers.*out\n# clients\n";
    scripts.clear();
    for (const auto& [host, commands] : clients)
      scripts[host] =
          hostScript(title + ", clients on " + host, commands, watchdogSeconds(settings, false));
    addRole(settings, dir, "clients", scripts, &s);
    s += "wait\n";
  }
  return s;
}
