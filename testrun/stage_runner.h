// Runs the stages: hosts probed first, then stage by stage the servers, the
// wait for them to listen, the clients, the wait for them to end, and the
// kill of whatever is left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testrun/launchers.h"
#include "testrun/stage_pairs.h"

struct PairOutcome {
  bool measured = false;
  std::string reason;      // why the pair failed or was left out
  double clientGbps = -1;  // -1: none reported
  double serverGbps = -1;
  int clientStatus = -1;  // exit status of the client; -1: none seen
  bool timedOut = false;
  double start = 0, end = 0;  // seconds since the epoch, as seen here; 0: not seen
  std::string serverOutput, clientOutput;
  bool listening = false;
  int serverStatus = -1;
  std::string serverLog, clientLog;  // paths; empty when not written
};

struct StageRun {
  uint32_t number = 0;
  std::vector<RunPair> pairs;
  std::vector<PairOutcome> outcomes;
};

struct RunSettings {
  Launcher launcher;
  TestSettings test;
  uint32_t timeout = 10;
  std::string logsDir;
};

// How long a host script lets its servers (or clients) run before it kills
// them itself: a safety net for a lost launcher connection, well beyond the
// stage's own timeouts, which this program enforces. None on this machine,
// where this program kills the launchers' process groups.
inline unsigned watchdogSeconds(const RunSettings& settings, bool servers) {
  if (settings.launcher.kind == LauncherKind::kLocal) return 0;
  const unsigned t = settings.timeout, d = settings.test.duration;
  return 2 * ((servers ? 3 * t : t) + d + 2) + 60;
}

// Hosts by name: answered the probe, and the state of each (device, port).
struct HostProbe {
  bool answered = false;
  int launcherStatus = -1;
  std::vector<std::string> states;  // in the order asked
};

// Asks every host (the launcher running a probe script) whether it answers
// and whether each of the given ports is ACTIVE. Hosts map to the ports to
// look at. False with *err when a launcher cannot be started.
bool probeHosts(
    const RunSettings& settings,
    const std::vector<std::pair<std::string, std::vector<std::pair<std::string, unsigned>>>>& hosts,
    std::vector<HostProbe>* probes, std::string* err);

// Runs one stage's pairs (those not left out) and fills run->outcomes.
// False with *err when a launcher cannot be started or a log not written.
bool runStage(const RunSettings& settings, StageRun* run, std::string* err);

// Whether a port state file's text says ACTIVE; "unknown" counts as such
// (no state file to go by).
bool portActive(const std::string& state);
